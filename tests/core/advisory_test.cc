#include "vek_guard/advisory.h"

#include <stdio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
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
  EXPECT_EQ(
      NativeAdvisoryObserver(std::nullopt).snapshot_at(secs(3), secs(1), kSecond).pressure_level,
      L::unavailable(UnavailableReason::NotSupported));
  PressureState state;
  const auto observe = [&](Duration now, Duration max_age, std::optional<uint64_t> clock_ns) {
    return advisory::pressure_observations(&state, now, max_age, clock_ns);
  };
  EXPECT_EQ(observe(secs(1), secs(1), 50 * kSecond).level, L::unknown());

  state.record_notification(platform::kPressureLevelWarning, 5 * kSecond);
  state.record_notification(platform::kPressureLevelCritical, 5 * kSecond);
  const advisory::PressureObservations fresh = observe(secs(10), secs(2), 7 * kSecond);
  EXPECT_EQ(fresh.events, O::available(2));
  EXPECT_EQ(fresh.level, L::available(Level::Critical));
  // Age 2 s + 1 ns: last seen at 10 s - 2.000000001 s = 7999 ms (truncated).
  const advisory::PressureObservations stale = observe(secs(10), secs(2), 7 * kSecond + 1);
  EXPECT_EQ(stale.events, O::stale(7999));
  EXPECT_EQ(stale.level, L::stale(7999));
  // Ages beyond the run's own time or beyond any duration saturate.
  EXPECT_EQ(observe(secs(3), secs(1), 110 * kSecond).events, O::stale(0));
  EXPECT_EQ(observe(secs(3), Duration::max(), kU64Max).events, O::available(2));
}

TEST(AdvisorySources, AnOverflowingPageCountFailsBothFigures) {
  const advisory::VmObservations over =
      advisory::vm_observations(platform::VmStatistics{4096, {1, kU64Max / 4096 + 1}});
  EXPECT_EQ(over.compressor_bytes, O::error(ObservationError::Internal));
  EXPECT_EQ(over.wired_bytes, O::error(ObservationError::Internal));
}

FootprintSample sample_of(SampleStatus status, Duration started_at, Duration completed_at) {
  return {.status = std::move(status), .started_at = started_at, .completed_at = completed_at};
}

// Records a sample that completed at `at_ms` after a 1 ms pass, with the
// snapshot taken 2 ms later.
SampleWindow record(ObserveCalibration& calibration, uint64_t at_ms, SampleStatus status) {
  const Duration now = ms(at_ms + 2);
  return calibration.record_sample(sample_of(std::move(status), ms(at_ms - 1), ms(at_ms)), now,
                                   {.captured_at = now});
}

Growth complete(ObserveCalibration& calibration, uint64_t at_ms, uint64_t bytes) {
  return record(calibration, at_ms, {SampleStatus::Complete{bytes}})
      .advisory.growth_bytes_per_second;
}

TEST(ObserveCalibration, GrowthNeedsAnUnbrokenBaseAndThePeaksKeepTheLargest) {
  ObserveCalibration calibration;
  const SampleWindow first = record(calibration, 1000, {SampleStatus::Complete{100}});
  EXPECT_EQ(std::pair(first.captured_at_ms, first.processed_at_ms), std::pair(1000UL, 1002UL));
  EXPECT_EQ(first.aggregate_footprint_bytes, O::available(100));
  EXPECT_EQ(first.advisory.growth_bytes_per_second, Growth::unknown());
  const AdvisoryMetrics shrink = record(calibration, 1500, {SampleStatus::Complete{50}}).advisory;
  EXPECT_EQ(shrink.growth_bytes_per_second, Growth::available(-100));
  // Dated by the sample's completion, not by the snapshot taken after it.
  EXPECT_EQ(shrink.metadata->growth_bytes_per_second.captured_at_ms, 1500U);
  EXPECT_EQ(complete(calibration, 2500, 50), Growth::available(0));
  // Neither a shrink nor a standstill is a peak; the footprint peak stays.
  EXPECT_EQ(calibration.peak_growth(), std::nullopt);
  EXPECT_EQ(calibration.peak_footprint(), 100U);
  EXPECT_EQ(complete(calibration, 3500, 1050), Growth::available(1000));

  // An incomplete sample shows the last rate as stale, dated when it was
  // seen, and leaves the next complete sample without a base.
  const AdvisoryMetrics gap =
      record(calibration, 4000, {SampleStatus::Incomplete{{}, {}, 7}}).advisory;
  EXPECT_EQ(gap.growth_bytes_per_second, Growth::stale(3500));
  EXPECT_EQ(gap.metadata->growth_bytes_per_second.captured_at_ms, 3500U);
  EXPECT_EQ(complete(calibration, 5000, 1550), Growth::unknown());
  EXPECT_EQ(complete(calibration, 6000, 2050), Growth::available(500));
  // A complete sample not later than its base is a clock anomaly and also
  // removes the base.
  EXPECT_EQ(complete(calibration, 6000, 2050), Growth::error(ObservationError::ClockAnomaly));
  EXPECT_EQ(complete(calibration, 7000, 2150), Growth::unknown());

  const CalibrationArtifact artifact = calibration.artifact();
  EXPECT_EQ(artifact.total_samples, 9U);
  EXPECT_EQ(artifact.incomplete_samples, 1U);
  EXPECT_EQ(artifact.observed_duration_ms, 6000U);
  EXPECT_EQ(artifact.peak_growth_bytes_per_second, Growth::available(1000));
  EXPECT_EQ(artifact.peak_aggregate_footprint_bytes, O::available(2150));
}

// A deferred sample counted shared pages once per member, unlike the samples
// around it: complete, but it raises the peak only to what its group
// provably held, and the growth goes from one comparable sample to the next
// past it.
TEST(ObserveCalibration, ADeferredSampleIsCountedButComparedWithNothing) {
  const auto deferred = [](ObserveCalibration& calibration, uint64_t at_ms, uint64_t bytes,
                           uint64_t above_floor) {
    FootprintSample sample = sample_of({SampleStatus::Complete{bytes}}, ms(at_ms - 1), ms(at_ms));
    sample.shared_pages = {.sharing = 5, .deferred = true, .above_floor_bytes = above_floor};
    return calibration.record_sample(sample, ms(at_ms + 2), {.captured_at = ms(at_ms + 2)})
        .advisory.growth_bytes_per_second;
  };
  ObserveCalibration calibration;
  EXPECT_EQ(complete(calibration, 1000, 100), Growth::unknown());
  EXPECT_EQ(deferred(calibration, 1500, 900, 850), Growth::unknown());
  EXPECT_EQ(calibration.peak_footprint(), 100U);
  EXPECT_EQ(complete(calibration, 2000, 150), Growth::available(50));
  EXPECT_EQ(deferred(calibration, 2500, 900, 700), Growth::stale(2000));
  const CalibrationArtifact artifact = calibration.artifact();
  EXPECT_EQ(artifact.complete_samples, 4U);
  EXPECT_EQ(artifact.peak_aggregate_footprint_bytes, O::available(200));
  EXPECT_EQ(artifact.peak_growth_bytes_per_second, Growth::available(50));

  ObserveCalibration first_deferred;
  (void)deferred(first_deferred, 1000, 900, 1000);
  EXPECT_EQ(first_deferred.peak_footprint(), 0U);
}

TEST(ObserveCalibration, GrowthTruncatesTowardZeroAndRejectsWhatDoesNotFit) {
  EXPECT_EQ(advisory::growth_rate(10, 0, secs(3)), -3);  // not -4
  EXPECT_EQ(advisory::growth_rate(0, kU64Max, secs(1)), std::nullopt);
  EXPECT_EQ(advisory::growth_rate(0, kU64Max, Duration::max()), 0);
  EXPECT_EQ(advisory::growth_rate(1, 2, Duration()), std::nullopt);

  ObserveCalibration calibration;
  (void)complete(calibration, 1000, 0);
  EXPECT_EQ(complete(calibration, 1001, kU64Max), Growth::error(ObservationError::Internal));
  // A rate that does not fit still leaves a base behind.
  EXPECT_EQ(complete(calibration, 2001, kU64Max - 5), Growth::available(-5));

  // Completion times running backwards give no duration, not a wrapped one.
  ObserveCalibration regressed;
  (void)regressed.record_sample(sample_of({SampleStatus::ClockRegressed{}}, ms(400), ms(50)),
                                ms(400), {});
  EXPECT_EQ(regressed.artifact().observed_duration_ms, 0U);
}

TEST(ObserveCalibration, WindowTimesRoundUpAndTheAggregateFollowsTheStatus) {
  const Duration start = secs(2);
  EXPECT_EQ(advisory::window_ms(start, start.saturating_add(Duration::from_nanos(1))), 1U);
  EXPECT_EQ(advisory::window_ms(start, secs(1)), 0U);

  const auto probe_failed = [](InspectionError error) {
    return SampleStatus{SampleStatus::ProbeFailed{error}};
  };
  const std::pair<SampleStatus, O> rows[] = {
      {{SampleStatus::AggregateOverflow{}}, O::error(ObservationError::Internal)},
      {{SampleStatus::ClockRegressed{}}, O::error(ObservationError::ClockAnomaly)},
      {probe_failed(InspectionError::IdentityChanged), O::error(ObservationError::ProcessMissing)},
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

TEST(PressureMonitor, ThreadFeedsSnapshotsThatRaceWithIt) {
  test_support::TempDir dir;
  const std::string path = dir.file("psi");
  publish(path, "some avg10=0.00 avg60=0 avg300=0 total=0\n");
  auto monitor = PressureMonitor::start_on(path, std::chrono::milliseconds(2));
  ASSERT_TRUE(monitor.has_value());
  const PressureState& state = monitor->state();
  const NativeAdvisoryObserver observer(std::move(monitor));

  // Snapshots race with the thread's notifications on purpose; the sanitizer
  // run checks that they share nothing but the atomics.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) (void)observer.snapshot(secs(1), secs(3600));
  });
  uint64_t expected_events = 0;
  for (const char* text :
       {"some avg10=30.00 total=0\n", "some avg10=30.00 total=0\nfull avg10=9.00 total=0\n",
        "some avg10=0.00 total=0\n"}) {
    publish(path, text);
    ++expected_events;
    EXPECT_TRUE(test_support::eventually([&] { return state.events.load() >= expected_events; },
                                         std::chrono::seconds(30)));
  }
  done.store(true);
  reader.join();
  const AdvisorySnapshot snap = observer.snapshot(secs(1), secs(3600));
  EXPECT_EQ(snap.pressure_events, O::available(3));
  EXPECT_EQ(snap.pressure_level, L::available(Level::Normal));
}

TEST(PressureMonitor, SystemObserverReadsThisSystem) {
  const NativeAdvisoryObserver observer = NativeAdvisoryObserver::create();
  const bool has_psi = platform::read_small_file(platform::kPressureMemoryPath).ok();
  EXPECT_EQ(observer.monitor().has_value(), has_psi);
  const AdvisorySnapshot snap = observer.snapshot(secs(1), secs(5));
  // The parsers must accept what the running kernel actually prints.
  EXPECT_TRUE(snap.swap_bytes.is_available());
  EXPECT_TRUE(snap.wired_bytes.is_available());
}

}  // namespace
}  // namespace vek_guard
