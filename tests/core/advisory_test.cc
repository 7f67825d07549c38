#include "vek_guard/advisory.h"

#include <errno.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "support/file_state.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace vek_guard {
namespace {

using Level = MemoryPressureLevel;
using L = Observed<Level>;
using O = Observed<uint64_t>;
using Growth = Observed<int64_t>;
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kSecond = 1'000'000'000;

Duration secs(uint64_t value) { return Duration::from_secs(value); }
Duration ms(uint64_t value) { return Duration::from_millis(value); }

TEST(AdvisoryPressure, FreshUpToMaxAgeThenStaleSinceTheLastNotification) {
  const AdvisorySnapshot unsupported =
      NativeAdvisoryObserver(std::nullopt).snapshot_at(secs(3), secs(1), 99 * kSecond);
  EXPECT_EQ(unsupported.pressure_events, O::unavailable(UnavailableReason::NotSupported));
  EXPECT_EQ(unsupported.pressure_level, L::unavailable(UnavailableReason::NotSupported));

  PressureState state;
  const auto observe = [&](Duration now, Duration max_age, std::optional<uint64_t> clock_ns) {
    return advisory::pressure_observations(&state, now, max_age, clock_ns);
  };
  const advisory::PressureObservations before = observe(secs(1), secs(1), 50 * kSecond);
  EXPECT_EQ(before.events, O::unknown());
  EXPECT_EQ(before.level, L::unknown());

  state.record_notification(platform::kPressureLevelWarning, 5 * kSecond);
  state.record_notification(platform::kPressureLevelCritical, 5 * kSecond);
  const advisory::PressureObservations fresh = observe(secs(10), secs(2), 7 * kSecond);
  EXPECT_EQ(fresh.events, O::available(2));
  EXPECT_EQ(fresh.level, L::available(Level::Critical));
  // Age 2 s + 1 ns: last seen at 10 s - 2.000000001 s = 7999 ms (truncated).
  const advisory::PressureObservations stale = observe(secs(10), secs(2), 7 * kSecond + 1);
  EXPECT_EQ(stale.events, O::stale(7999));
  EXPECT_EQ(stale.level, L::stale(7999));

  // A clock reading before the notification, or a failed read, is age 0.
  EXPECT_EQ(observe(secs(1), secs(1), kSecond).events, O::available(2));
  EXPECT_EQ(observe(secs(1), secs(1), std::nullopt).events, O::available(2));
  // An age beyond the run's own time puts the last sighting at 0 ms.
  EXPECT_EQ(observe(secs(3), secs(1), 110 * kSecond).events, O::stale(0));
  // A huge max_age saturates instead of wrapping.
  EXPECT_EQ(observe(secs(3), Duration::max(), kU64Max).events, O::available(2));
}

TEST(AdvisoryPressure, TheMostSevereKnownBitWinsAndTheCountSaturates) {
  PressureState state;
  const auto notify = [&](uint64_t bits) {
    state.record_notification(bits, kSecond);
    return advisory::pressure_observations(&state, secs(1), secs(1), kSecond);
  };
  const auto malformed = L::error(ObservationError::MalformedKernelData);
  const advisory::PressureObservations none = notify(0);
  EXPECT_EQ(none.level, malformed);
  EXPECT_EQ(none.events, O::available(1));
  EXPECT_EQ(notify(8).level, malformed);
  EXPECT_EQ(notify(7).level, L::available(Level::Critical));
  EXPECT_EQ(notify(3).level, L::available(Level::Warning));
  EXPECT_EQ(notify(1 | 8).level, L::available(Level::Normal));

  state.events.store(kU64Max - 1);
  state.record_notification(platform::kPressureLevelNormal, 1);
  state.record_notification(platform::kPressureLevelWarning, 2);
  EXPECT_EQ(state.events.load(), kU64Max);
  EXPECT_EQ(state.level.load(), platform::kPressureLevelWarning);
  EXPECT_EQ(state.last_event_ns.load(), 2U);
}

TEST(AdvisorySources, FailuresAndOverflowsMapToObservations) {
  EXPECT_EQ(advisory::swap_observation(uint64_t{4096}), O::available(4096));
  EXPECT_EQ(advisory::swap_observation(unexpected(ENOSYS)),
            O::unavailable(UnavailableReason::NotSupported));
  EXPECT_EQ(advisory::swap_observation(unexpected(EOVERFLOW)),
            O::error(ObservationError::Internal));

  using platform::VmStatistics;
  const advisory::VmObservations ok = advisory::vm_observations(VmStatistics{4096, {3, 5}});
  EXPECT_EQ(ok.compressor_bytes, O::available(3 * 4096));
  EXPECT_EQ(ok.wired_bytes, O::available(5 * 4096));
  EXPECT_EQ(advisory::vm_observations(VmStatistics{4096, {0, kU64Max / 4096}}).wired_bytes,
            O::available(kU64Max / 4096 * 4096));
  // One overflowing product fails both figures, as does an unreadable file.
  for (const advisory::VmObservations& failed :
       {advisory::vm_observations(VmStatistics{4096, {1, kU64Max / 4096 + 1}}),
        advisory::vm_observations(unexpected(ENOENT))}) {
    EXPECT_EQ(failed.compressor_bytes, O::error(ObservationError::Internal));
    EXPECT_EQ(failed.wired_bytes, O::error(ObservationError::Internal));
  }
}

TEST(AdvisoryWithGrowth, MetadataCarriesFixedScopesSourcesAndCaptureTimes) {
  const AdvisorySnapshot snap{
      .pressure_events = O::available(3),
      .pressure_level = L::available(Level::Warning),
      .swap_bytes = O::unavailable(UnavailableReason::NotSupported),
      .compressor_bytes = O::error(ObservationError::Internal),
      .wired_bytes = O::available(8192),
      .captured_at = Duration::from_parts(12, 345'999'999),
  };
  using F = AdvisoryFreshness;
  using Scope = AdvisoryScope;
  using Source = AdvisorySource;
  const AdvisoryMetadata metadata{
      .pressure_events = {Scope::System, Source::DispatchMemoryPressure, 12'345, F::Fresh},
      .pressure_level = {Scope::System, Source::DispatchMemoryPressure, 12'345, F::Fresh},
      .swap_bytes = {Scope::System, Source::SysctlVmSwapusage, 12'345, F::Unavailable},
      .compressor_bytes = {Scope::System, Source::HostStatistics64, 12'345, F::Unavailable},
      .wired_bytes = {Scope::System, Source::HostStatistics64, 12'345, F::Fresh},
      .growth_bytes_per_second = {Scope::OwnedProcessGroup, Source::DerivedFootprintSamples, 11'000,
                                  F::Fresh},
  };
  EXPECT_EQ(
      snap.with_growth(Growth::available(-100), ms(11'000)),
      (AdvisoryMetrics{snap.pressure_events, snap.swap_bytes, snap.compressor_bytes,
                       snap.wired_bytes, Growth::available(-100), snap.pressure_level, metadata}));

  // A given growth time wins over a stale growth's last sighting, which wins
  // over the snapshot's own time.
  const auto growth_meta = [&](const Growth& growth, std::optional<Duration> at) {
    return snap.with_growth(growth, at).metadata->growth_bytes_per_second;
  };
  EXPECT_EQ(growth_meta(Growth::stale(4000), secs(5)).captured_at_ms, 5000U);
  const AdvisoryMetricMetadata stale = growth_meta(Growth::stale(4000), std::nullopt);
  EXPECT_EQ(stale.captured_at_ms, 4000U);
  EXPECT_EQ(stale.freshness, F::Stale);
  const AdvisoryMetricMetadata unknown = growth_meta(Growth::unknown(), std::nullopt);
  EXPECT_EQ(unknown.captured_at_ms, 12'345U);
  EXPECT_EQ(unknown.freshness, F::InitialUnknown);
}

FootprintSample sample_of(SampleStatus status, Duration started_at, Duration completed_at) {
  return {.status = std::move(status), .started_at = started_at, .completed_at = completed_at};
}

// A complete sample of `bytes` that completed at `at_ms` after a 1 ms pass.
FootprintSample complete_at(uint64_t at_ms, uint64_t bytes) {
  return sample_of({SampleStatus::Complete{bytes}}, ms(at_ms - 1), ms(at_ms));
}

FootprintSample incomplete_at(uint64_t at_ms) {
  return sample_of({SampleStatus::Incomplete{{}, {}, 7}}, ms(at_ms - 1), ms(at_ms));
}

AdvisorySnapshot snapshot_at_ms(uint64_t at_ms) { return {.captured_at = ms(at_ms)}; }

// Records `sample`, processed 2 ms after its completion, and returns its growth.
Growth record(ObserveCalibration& calibration, const FootprintSample& sample) {
  const Duration now = sample.completed_at.saturating_add(ms(2));
  return calibration.record_sample(sample, now, snapshot_at_ms(now.as_millis_saturating()))
      .advisory.growth_bytes_per_second;
}

// The artifact passes the report's own calibration rules in an observe run.
void expect_valid_calibration(const CalibrationArtifact& artifact) {
  ReportV1 report;
  report.configuration.mode = ReportMode::Observe;
  report.calibration = artifact;
  EXPECT_TRUE(report.validate_calibration().ok());
}

TEST(ObserveCalibration, GrowthNeedsAnUnbrokenBaseAndThePeaksKeepTheLargest) {
  ObserveCalibration calibration;
  EXPECT_EQ(record(calibration, complete_at(1000, 100)), Growth::unknown());
  const SampleWindow shrink =
      calibration.record_sample(complete_at(1500, 50), ms(1502), snapshot_at_ms(1502));
  EXPECT_EQ(shrink.advisory.growth_bytes_per_second, Growth::available(-100));
  // The growth is dated by the sample's completion, not by the snapshot.
  EXPECT_EQ(shrink.advisory.metadata->growth_bytes_per_second.captured_at_ms, 1500U);
  EXPECT_EQ(record(calibration, complete_at(2500, 50)), Growth::available(0));
  // Neither a shrink nor a standstill is a peak; the footprint peak stays.
  EXPECT_EQ(calibration.peak_growth(), std::nullopt);
  EXPECT_EQ(calibration.peak_footprint(), 100U);
  EXPECT_EQ(record(calibration, complete_at(3500, 1050)), Growth::available(1000));

  // An incomplete sample shows the last rate as stale, dated when it was
  // seen, and leaves the next complete sample without a base.
  const SampleWindow gap =
      calibration.record_sample(incomplete_at(4000), ms(4002), snapshot_at_ms(4002));
  EXPECT_EQ(gap.advisory.growth_bytes_per_second, Growth::stale(3500));
  EXPECT_EQ(gap.advisory.metadata->growth_bytes_per_second.captured_at_ms, 3500U);
  EXPECT_EQ(record(calibration, complete_at(5000, 1550)), Growth::unknown());
  EXPECT_EQ(record(calibration, complete_at(6000, 2050)), Growth::available(500));
  // A complete sample not later than its base is a clock anomaly and also
  // removes the base.
  EXPECT_EQ(record(calibration, complete_at(6000, 2050)),
            Growth::error(ObservationError::ClockAnomaly));
  EXPECT_EQ(record(calibration, complete_at(7000, 2150)), Growth::unknown());
  EXPECT_EQ(record(calibration, complete_at(8000, 2250)), Growth::available(100));

  const CalibrationArtifact artifact = calibration.artifact();
  EXPECT_EQ(artifact.total_samples, 10U);
  EXPECT_EQ(artifact.complete_samples, 9U);
  EXPECT_EQ(artifact.incomplete_samples, 1U);
  EXPECT_EQ(artifact.observed_duration_ms, 7000U);
  EXPECT_EQ(artifact.peak_growth_bytes_per_second, Growth::available(1000));
  EXPECT_EQ(artifact.peak_aggregate_footprint_bytes, O::available(2250));
  expect_valid_calibration(artifact);
}

TEST(ObserveCalibration, GrowthTruncatesTowardZeroAndRejectsWhatDoesNotFit) {
  EXPECT_EQ(advisory::growth_rate(10, 0, secs(3)), -3);  // not -4
  EXPECT_EQ(advisory::growth_rate(0, 10, secs(3)), 3);
  EXPECT_EQ(advisory::growth_rate(0, 1, Duration::from_nanos(3)), 333'333'333);
  EXPECT_EQ(advisory::growth_rate(0, kU64Max, secs(1)), std::nullopt);
  EXPECT_EQ(advisory::growth_rate(kU64Max, 0, secs(1)), std::nullopt);
  // The full range of aggregates over a huge interval still computes exactly.
  EXPECT_EQ(advisory::growth_rate(0, kU64Max, Duration::max()), 0);
  EXPECT_EQ(advisory::growth_rate(0, uint64_t{1} << 62, secs(1)), int64_t{1} << 62);
  EXPECT_EQ(advisory::growth_rate(1, 2, Duration()), std::nullopt);

  ObserveCalibration calibration;
  (void)record(calibration, complete_at(1000, 0));
  EXPECT_EQ(record(calibration, complete_at(1001, kU64Max)),
            Growth::error(ObservationError::Internal));
  // A rate that does not fit still leaves a base behind.
  EXPECT_EQ(record(calibration, complete_at(2001, kU64Max - 5)), Growth::available(-5));
  EXPECT_EQ(calibration.peak_growth(), std::nullopt);
}

TEST(ObserveCalibration, WithoutCompleteSamplesThePeaksAreUnknown) {
  const CalibrationArtifact empty = ObserveCalibration().artifact();
  EXPECT_EQ(empty.total_samples, 0U);
  EXPECT_EQ(empty.observed_duration_ms, 0U);
  expect_valid_calibration(empty);

  ObserveCalibration calibration;
  for (uint64_t at_ms : {100, 200, 300}) {
    EXPECT_EQ(record(calibration, incomplete_at(at_ms)), Growth::unknown());
  }
  // The latest completion comes before the first: no time, not a wrapped one.
  (void)record(calibration, sample_of({SampleStatus::ClockRegressed{}}, ms(400), ms(50)));
  const CalibrationArtifact artifact = calibration.artifact();
  EXPECT_EQ(artifact.total_samples, 4U);
  EXPECT_EQ(artifact.complete_samples, 0U);
  EXPECT_EQ(artifact.incomplete_samples, 4U);
  EXPECT_EQ(artifact.observed_duration_ms, 0U);
  EXPECT_EQ(artifact.peak_aggregate_footprint_bytes, O::unknown());
  EXPECT_EQ(artifact.peak_growth_bytes_per_second, Growth::unknown());
  expect_valid_calibration(artifact);
}

TEST(ObserveCalibration, SampleWindowCarriesTimesStatusAndAdvisory) {
  ObserveCalibration calibration;
  AdvisorySnapshot snap = snapshot_at_ms(1'234);
  snap.swap_bytes = O::available(4096);
  const SampleWindow window = calibration.record_sample(
      sample_of({SampleStatus::Complete{777}}, Duration::from_micros(1'230'000),
                Duration::from_micros(1'230'400)),
      ms(1'234), snap);
  EXPECT_EQ(window.captured_at_ms, 1'230U);
  EXPECT_EQ(window.processed_at_ms, 1'234U);
  EXPECT_EQ(window.window_ms, 1U);  // a sub-millisecond pass rounds up
  EXPECT_EQ(window.aggregate_footprint_bytes, O::available(777));
  EXPECT_EQ(window.advisory, snap.with_growth(Growth::unknown(), std::nullopt));

  const Duration start = secs(2);
  EXPECT_EQ(advisory::window_ms(start, start.saturating_add(Duration::from_nanos(1))), 1U);
  EXPECT_EQ(advisory::window_ms(start, start.saturating_add(Duration::from_micros(1999))), 1U);
  EXPECT_EQ(advisory::window_ms(start, start.saturating_add(ms(25))), 25U);
  EXPECT_EQ(advisory::window_ms(start, start), 0U);
  EXPECT_EQ(advisory::window_ms(start, secs(1)), 0U);
  EXPECT_EQ(advisory::window_ms(Duration(), Duration::max()), kU64Max);
}

TEST(ObserveCalibration, AggregateFollowsTheSampleStatus) {
  const auto probe_failed = [](InspectionError error) {
    return SampleStatus{SampleStatus::ProbeFailed{error}};
  };
  const std::pair<SampleStatus, O> rows[] = {
      {{SampleStatus::Complete{5}}, O::available(5)},
      {{SampleStatus::Incomplete{{}, {}, 5}}, O::unknown()},
      {{SampleStatus::AggregateOverflow{}}, O::error(ObservationError::Internal)},
      {{SampleStatus::ClockRegressed{}}, O::error(ObservationError::ClockAnomaly)},
      {probe_failed(InspectionError::Missing), O::error(ObservationError::ProcessMissing)},
      {probe_failed(InspectionError::IdentityChanged), O::error(ObservationError::ProcessMissing)},
      {probe_failed(InspectionError::PermissionDenied),
       O::error(ObservationError::PermissionDenied)},
      {probe_failed(InspectionError::InvalidData), O::error(ObservationError::MalformedKernelData)},
      {probe_failed(InspectionError::Unsupported), O::unavailable(UnavailableReason::NotSupported)},
      {probe_failed(InspectionError::Failed), O::error(ObservationError::Internal)},
  };
  for (const auto& [status, expected] : rows) {
    EXPECT_EQ(advisory::aggregate_observation(status), expected)
        << "status kind " << static_cast<int>(status.kind());
  }
}

// Replaces the file by a rename, so the monitor's thread never reads half of it.
void publish(const std::string& path, const char* text) {
  ASSERT_TRUE(test_support::write_file(path + ".new", text));
  ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
}

TEST(PressureMonitor, ThreadFeedsSnapshotsAndDropReleasesItsState) {
  test_support::TempDir dir;
  const std::string path = dir.file("psi");
  EXPECT_FALSE(PressureMonitor::start_on(path, std::chrono::seconds(1)));  // no file yet
  publish(path, "some avg10=0.00 avg60=0 avg300=0 total=0\n");
  auto monitor = PressureMonitor::start_on(path, std::chrono::milliseconds(2));
  ASSERT_TRUE(monitor.has_value());
  const std::weak_ptr<PressureState> weak = monitor->shared_state();
  EXPECT_EQ(weak.use_count(), 2);  // the monitor's and the thread's handler's
  const PressureState& state = monitor->state();
  auto observer = std::make_unique<NativeAdvisoryObserver>(std::move(monitor));

  // Snapshots race with the thread's notifications on purpose; the sanitizer
  // run checks that they share nothing but the atomics.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      const AdvisorySnapshot snap = observer->snapshot(secs(1), secs(3600));
      EXPECT_NE(snap.pressure_events.status(), ObservedStatus::Unavailable);
    }
  });
  uint64_t expected_events = 0;
  for (const char* text : {
           "some avg10=30.00 avg60=0 avg300=0 total=0\n",
           "some avg10=30.00 avg60=0 avg300=0 total=0\nfull avg10=9.00 avg60=0 avg300=0 total=0\n",
           "some avg10=0.00 avg60=0 avg300=0 total=0\n",
       }) {
    publish(path, text);
    ++expected_events;
    EXPECT_TRUE(test_support::eventually([&] { return state.events.load() >= expected_events; },
                                         std::chrono::seconds(30)));
    EXPECT_EQ(state.events.load(), expected_events);
  }
  done.store(true);
  reader.join();
  EXPECT_NE(state.last_event_ns.load(), 0U);
  const AdvisorySnapshot snap = observer->snapshot(secs(1), secs(3600));
  EXPECT_EQ(snap.pressure_events, O::available(3));
  EXPECT_EQ(snap.pressure_level, L::available(Level::Normal));
  observer.reset();
  EXPECT_TRUE(weak.expired());
}

TEST(PressureMonitor, SystemObserverReadsThisSystem) {
  const NativeAdvisoryObserver observer = NativeAdvisoryObserver::create();
  const bool has_psi = platform::read_small_file(platform::kPressureMemoryPath).ok();
  EXPECT_EQ(observer.monitor().has_value(), has_psi);
  const AdvisorySnapshot snap = observer.snapshot(secs(1), secs(5));
  EXPECT_TRUE(snap.swap_bytes.is_available());
  EXPECT_TRUE(snap.compressor_bytes.is_available());
  EXPECT_TRUE(snap.wired_bytes.is_available());
  if (!has_psi) {
    EXPECT_EQ(snap.pressure_events, O::unavailable(UnavailableReason::NotSupported));
  }
}

}  // namespace
}  // namespace vek_guard
