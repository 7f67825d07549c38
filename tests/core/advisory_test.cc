#include "vek_guard/advisory.h"

#include <errno.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vek_guard {
namespace {

using Level = MemoryPressureLevel;
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kSecond = 1'000'000'000;

NativeAdvisoryObserver fed_observer(const std::shared_ptr<PressureState>& state) {
  return NativeAdvisoryObserver(PressureMonitor::from_state(state));
}

TEST(AdvisoryPressure, WithoutAMonitorPressureIsNotSupported) {
  const NativeAdvisoryObserver observer(std::nullopt);
  const AdvisorySnapshot snap =
      observer.snapshot_at(Duration::from_secs(3), Duration::from_secs(1), 99 * kSecond);
  EXPECT_EQ(snap.pressure_events, Observed<uint64_t>::unavailable(UnavailableReason::NotSupported));
  EXPECT_EQ(snap.pressure_level, Observed<Level>::unavailable(UnavailableReason::NotSupported));
  EXPECT_EQ(snap.captured_at, Duration::from_secs(3));

  const AdvisoryMetrics metrics = snap.with_growth(Observed<int64_t>::unknown(), std::nullopt);
  ASSERT_TRUE(metrics.metadata.has_value());
  EXPECT_EQ(metrics.metadata->pressure_events.freshness, AdvisoryFreshness::Unavailable);
  EXPECT_EQ(metrics.metadata->pressure_level.freshness, AdvisoryFreshness::Unavailable);
  EXPECT_EQ(metrics.metadata->pressure_level.captured_at_ms, 3000U);
}

TEST(AdvisoryPressure, UnknownBeforeTheFirstNotification) {
  const auto state = std::make_shared<PressureState>();
  const AdvisorySnapshot snap = fed_observer(state).snapshot_at(
      Duration::from_secs(1), Duration::from_secs(1), 50 * kSecond);
  EXPECT_EQ(snap.pressure_events, Observed<uint64_t>::unknown());
  EXPECT_EQ(snap.pressure_level, Observed<Level>::unknown());
  const AdvisoryMetrics metrics = snap.with_growth(Observed<int64_t>::unknown(), std::nullopt);
  EXPECT_EQ(metrics.metadata->pressure_events.freshness, AdvisoryFreshness::InitialUnknown);
  EXPECT_EQ(metrics.metadata->pressure_level.freshness, AdvisoryFreshness::InitialUnknown);
}

TEST(AdvisoryPressure, ANotificationExactlyMaxAgeOldIsFreshAndOneNanosecondOlderIsStale) {
  const auto state = std::make_shared<PressureState>();
  state->record_notification(platform::kPressureLevelWarning, 5 * kSecond);
  state->record_notification(platform::kPressureLevelCritical, 5 * kSecond);
  const NativeAdvisoryObserver observer = fed_observer(state);
  const Duration now = Duration::from_secs(10);
  const Duration max_age = Duration::from_secs(2);

  const AdvisorySnapshot fresh = observer.snapshot_at(now, max_age, 7 * kSecond);
  EXPECT_EQ(fresh.pressure_events, Observed<uint64_t>::available(2));
  EXPECT_EQ(fresh.pressure_level, Observed<Level>::available(Level::Critical));

  // Age 2 s + 1 ns: last seen at 10 s − 2.000000001 s = 7999 ms (truncated).
  const AdvisorySnapshot stale = observer.snapshot_at(now, max_age, 7 * kSecond + 1);
  EXPECT_EQ(stale.pressure_events, Observed<uint64_t>::stale(7999));
  EXPECT_EQ(stale.pressure_level, Observed<Level>::stale(7999));
  const AdvisoryMetrics metrics = stale.with_growth(Observed<int64_t>::unknown(), std::nullopt);
  EXPECT_EQ(metrics.metadata->pressure_events.freshness, AdvisoryFreshness::Stale);
  EXPECT_EQ(metrics.metadata->pressure_events.captured_at_ms, 7999U);
  EXPECT_EQ(metrics.metadata->pressure_level.captured_at_ms, 7999U);
  EXPECT_EQ(metrics.metadata->swap_bytes.captured_at_ms, 10'000U);
}

TEST(AdvisoryPressure, AgeEdgeCases) {
  const auto state = std::make_shared<PressureState>();
  state->record_notification(platform::kPressureLevelNormal, 100 * kSecond);
  const NativeAdvisoryObserver observer = fed_observer(state);
  const Duration max_age = Duration::from_secs(1);

  // A clock reading before the notification, or a failed read, is age 0.
  EXPECT_EQ(observer.snapshot_at(Duration::from_secs(1), max_age, kSecond).pressure_level,
            Observed<Level>::available(Level::Normal));
  EXPECT_EQ(observer.snapshot_at(Duration::from_secs(1), max_age, std::nullopt).pressure_level,
            Observed<Level>::available(Level::Normal));
  // An age beyond the run's own time puts the last sighting at 0 ms.
  EXPECT_EQ(observer.snapshot_at(Duration::from_secs(3), max_age, 110 * kSecond).pressure_events,
            Observed<uint64_t>::stale(0));
  // A huge max_age saturates instead of wrapping.
  EXPECT_EQ(observer.snapshot_at(Duration::from_secs(3), Duration::max(), kU64Max).pressure_events,
            Observed<uint64_t>::available(1));
}

TEST(AdvisoryPressure, LevelBitsWithoutAKnownLevelAreMalformed) {
  const auto state = std::make_shared<PressureState>();
  const NativeAdvisoryObserver observer = fed_observer(state);
  const auto level_for = [&](uint64_t bits) {
    state->record_notification(bits, kSecond);
    return observer.snapshot_at(Duration::from_secs(1), Duration::from_secs(1), kSecond);
  };
  const AdvisorySnapshot none = level_for(0);
  EXPECT_EQ(none.pressure_level, Observed<Level>::error(ObservationError::MalformedKernelData));
  EXPECT_EQ(none.pressure_events, Observed<uint64_t>::available(1));
  EXPECT_EQ(level_for(8).pressure_level,
            Observed<Level>::error(ObservationError::MalformedKernelData));
  // Several bits: the most severe wins.
  EXPECT_EQ(level_for(7).pressure_level, Observed<Level>::available(Level::Critical));
  EXPECT_EQ(level_for(3).pressure_level, Observed<Level>::available(Level::Warning));
  EXPECT_EQ(level_for(1 | 8).pressure_level, Observed<Level>::available(Level::Normal));
  EXPECT_EQ(level_for(1).pressure_events, Observed<uint64_t>::available(6));
}

TEST(AdvisoryPressure, EventCountSaturates) {
  PressureState state;
  state.events.store(kU64Max - 1);
  state.record_notification(platform::kPressureLevelNormal, 1);
  state.record_notification(platform::kPressureLevelWarning, 2);
  EXPECT_EQ(state.events.load(), kU64Max);
  EXPECT_EQ(state.level.load(), platform::kPressureLevelWarning);
  EXPECT_EQ(state.last_event_ns.load(), 2U);
}

TEST(AdvisoryPressure, FedPsiTextNotifiesOncePerChange) {
  // The watcher's path without its thread: PSI text through the change
  // detector into the shared state.
  const auto state = std::make_shared<PressureState>();
  platform::PressureChangeDetector detector;
  const auto feed = [&](const char* text, uint64_t at_ns) {
    if (const auto bits = detector.feed(text)) state->record_notification(*bits, at_ns);
  };
  const char* const warning = "some avg10=20.00 avg60=0 avg300=0 total=1\n";
  feed("some avg10=0.00 avg60=0 avg300=0 total=1\nfull avg10=0.00 avg60=0 avg300=0 total=1\n",
       kSecond);
  EXPECT_EQ(state->events.load(), 0U);
  feed(warning, 2 * kSecond);
  feed(warning, 3 * kSecond);
  EXPECT_EQ(state->events.load(), 1U);
  EXPECT_EQ(state->last_event_ns.load(), 2 * kSecond);
  const AdvisorySnapshot snap = fed_observer(state).snapshot_at(
      Duration::from_secs(4), Duration::from_secs(5), 4 * kSecond);
  EXPECT_EQ(snap.pressure_level, Observed<Level>::available(Level::Warning));
}

TEST(AdvisorySources, SwapFailuresMapToObservations) {
  EXPECT_EQ(advisory::swap_observation(uint64_t{4096}), Observed<uint64_t>::available(4096));
  EXPECT_EQ(advisory::swap_observation(unexpected(ENOSYS)),
            Observed<uint64_t>::unavailable(UnavailableReason::NotSupported));
  for (const int error : {EPERM, EFAULT, EOVERFLOW, EINVAL}) {
    EXPECT_EQ(advisory::swap_observation(unexpected(error)),
              Observed<uint64_t>::error(ObservationError::Internal));
  }
}

TEST(AdvisorySources, VmStatisticsMultiplyWithOverflowChecks) {
  using platform::VmStatistics;
  const auto ok = advisory::vm_observations(VmStatistics{4096, {3, 5}});
  EXPECT_EQ(ok.compressor_bytes, Observed<uint64_t>::available(3 * 4096));
  EXPECT_EQ(ok.wired_bytes, Observed<uint64_t>::available(5 * 4096));

  const auto internal = Observed<uint64_t>::error(ObservationError::Internal);
  // One overflowing product fails both figures.
  const auto overflow = advisory::vm_observations(VmStatistics{4096, {1, kU64Max / 4096 + 1}});
  EXPECT_EQ(overflow.compressor_bytes, internal);
  EXPECT_EQ(overflow.wired_bytes, internal);
  const auto failed = advisory::vm_observations(unexpected(ENOENT));
  EXPECT_EQ(failed.compressor_bytes, internal);
  EXPECT_EQ(failed.wired_bytes, internal);
  EXPECT_EQ(advisory::vm_observations(VmStatistics{4096, {0, kU64Max / 4096}}).wired_bytes,
            Observed<uint64_t>::available(kU64Max / 4096 * 4096));
}

TEST(AdvisorySources, LiveSnapshotReadsThisSystem) {
  const NativeAdvisoryObserver observer(std::nullopt);
  const AdvisorySnapshot snap = observer.snapshot(Duration::from_secs(1), Duration::from_secs(1));
  EXPECT_TRUE(snap.swap_bytes.is_available());
  EXPECT_TRUE(snap.compressor_bytes.is_available());
  EXPECT_TRUE(snap.wired_bytes.is_available());
}

TEST(AdvisoryWithGrowth, MetadataCarriesFixedScopesAndSources) {
  const AdvisorySnapshot snap{
      .pressure_events = Observed<uint64_t>::available(3),
      .pressure_level = Observed<Level>::available(Level::Warning),
      .swap_bytes = Observed<uint64_t>::unavailable(UnavailableReason::NotSupported),
      .compressor_bytes = Observed<uint64_t>::error(ObservationError::Internal),
      .wired_bytes = Observed<uint64_t>::available(8192),
      .captured_at = Duration::from_parts(12, 345'999'999),
  };
  const Observed<int64_t> growth = Observed<int64_t>::available(-100);
  const AdvisoryMetrics metrics = snap.with_growth(growth, Duration::from_millis(11'000));

  EXPECT_EQ(metrics.pressure_events, snap.pressure_events);
  EXPECT_EQ(metrics.pressure_level, snap.pressure_level);
  EXPECT_EQ(metrics.swap_bytes, snap.swap_bytes);
  EXPECT_EQ(metrics.compressor_bytes, snap.compressor_bytes);
  EXPECT_EQ(metrics.wired_bytes, snap.wired_bytes);
  EXPECT_EQ(metrics.growth_bytes_per_second, growth);

  using F = AdvisoryFreshness;
  using Scope = AdvisoryScope;
  using Source = AdvisorySource;
  const AdvisoryMetadata expected{
      .pressure_events = {Scope::System, Source::DispatchMemoryPressure, 12'345, F::Fresh},
      .pressure_level = {Scope::System, Source::DispatchMemoryPressure, 12'345, F::Fresh},
      .swap_bytes = {Scope::System, Source::SysctlVmSwapusage, 12'345, F::Unavailable},
      .compressor_bytes = {Scope::System, Source::HostStatistics64, 12'345, F::Unavailable},
      .wired_bytes = {Scope::System, Source::HostStatistics64, 12'345, F::Fresh},
      .growth_bytes_per_second = {Scope::OwnedProcessGroup, Source::DerivedFootprintSamples,
                                  11'000, F::Fresh},
  };
  EXPECT_EQ(metrics.metadata, expected);
}

TEST(AdvisoryWithGrowth, GrowthCaptureTimePrecedence) {
  AdvisorySnapshot snap;
  snap.captured_at = Duration::from_secs(9);
  const auto growth_meta = [&](const Observed<int64_t>& growth, std::optional<Duration> at) {
    return snap.with_growth(growth, at).metadata->growth_bytes_per_second;
  };
  // A given growth time wins, even over a stale growth's last sighting.
  EXPECT_EQ(growth_meta(Observed<int64_t>::stale(4000), Duration::from_secs(5)).captured_at_ms,
            5000U);
  EXPECT_EQ(growth_meta(Observed<int64_t>::stale(4000), std::nullopt).captured_at_ms, 4000U);
  EXPECT_EQ(growth_meta(Observed<int64_t>::stale(4000), std::nullopt).freshness,
            AdvisoryFreshness::Stale);
  EXPECT_EQ(growth_meta(Observed<int64_t>::unknown(), std::nullopt).captured_at_ms, 9000U);
  EXPECT_EQ(growth_meta(Observed<int64_t>::unknown(), std::nullopt).freshness,
            AdvisoryFreshness::InitialUnknown);
  EXPECT_EQ(growth_meta(Observed<int64_t>::error(ObservationError::ClockAnomaly), std::nullopt)
                .freshness,
            AdvisoryFreshness::Unavailable);
}

FootprintSample sample_with(SampleStatus::Kind kind, Duration started_at, Duration completed_at,
                            uint64_t aggregate = 0) {
  FootprintSample sample;
  sample.started_at = started_at;
  sample.completed_at = completed_at;
  switch (kind) {
    case SampleStatus::Kind::Complete:
      sample.status.value = SampleStatus::Complete{aggregate};
      break;
    case SampleStatus::Kind::Incomplete:
      sample.status.value = SampleStatus::Incomplete{{}, {}, aggregate};
      break;
    case SampleStatus::Kind::AggregateOverflow:
      sample.status.value = SampleStatus::AggregateOverflow{};
      break;
    case SampleStatus::Kind::ProbeFailed:
      sample.status.value = SampleStatus::ProbeFailed{InspectionError::Failed};
      break;
    case SampleStatus::Kind::ClockRegressed:
      sample.status.value = SampleStatus::ClockRegressed{};
      break;
  }
  return sample;
}

// A complete sample of `bytes` that completed at `at_ms` after a 1 ms pass.
FootprintSample complete_at(uint64_t at_ms, uint64_t bytes) {
  const Duration at = Duration::from_millis(at_ms);
  return sample_with(SampleStatus::Kind::Complete, at.saturating_sub(Duration::from_millis(1)),
                     at, bytes);
}

FootprintSample incomplete_at(uint64_t at_ms) {
  const Duration at = Duration::from_millis(at_ms);
  return sample_with(SampleStatus::Kind::Incomplete, at.saturating_sub(Duration::from_millis(1)),
                     at, 7);
}

AdvisorySnapshot snapshot_at_ms(uint64_t at_ms) {
  AdvisorySnapshot snap;
  snap.captured_at = Duration::from_millis(at_ms);
  return snap;
}

// Records `sample`, processed 2 ms after its completion, and returns its growth.
Observed<int64_t> record(ObserveCalibration& calibration, const FootprintSample& sample) {
  const Duration now = sample.completed_at.saturating_add(Duration::from_millis(2));
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

TEST(ObserveCalibration, ShrinkingGivesNegativeGrowthAndLeavesThePeakAlone) {
  ObserveCalibration calibration;
  EXPECT_EQ(record(calibration, complete_at(1000, 100)), Observed<int64_t>::unknown());
  const FootprintSample second = complete_at(1500, 50);
  const SampleWindow window =
      calibration.record_sample(second, Duration::from_millis(1502), snapshot_at_ms(1502));
  EXPECT_EQ(window.advisory.growth_bytes_per_second, Observed<int64_t>::available(-100));
  // The growth metadata carries the sample's completion time.
  EXPECT_EQ(window.advisory.metadata->growth_bytes_per_second.captured_at_ms, 1500U);
  EXPECT_EQ(window.advisory.metadata->growth_bytes_per_second.freshness, AdvisoryFreshness::Fresh);
  EXPECT_EQ(calibration.peak_growth(), std::nullopt);
  EXPECT_EQ(calibration.peak_footprint(), 100U);

  const CalibrationArtifact artifact = calibration.artifact();
  EXPECT_EQ(artifact.peak_growth_bytes_per_second, Observed<int64_t>::unknown());
  EXPECT_EQ(artifact.peak_aggregate_footprint_bytes, Observed<uint64_t>::available(100));
  EXPECT_EQ(artifact.observed_duration_ms, 500U);
  expect_valid_calibration(artifact);
}

TEST(ObserveCalibration, PeakGrowthKeepsTheLargestPositiveRate) {
  ObserveCalibration calibration;
  (void)record(calibration, complete_at(1000, 100));
  EXPECT_EQ(record(calibration, complete_at(2000, 1100)), Observed<int64_t>::available(1000));
  EXPECT_EQ(record(calibration, complete_at(3000, 1600)), Observed<int64_t>::available(500));
  EXPECT_EQ(record(calibration, complete_at(4000, 1600)), Observed<int64_t>::available(0));
  EXPECT_EQ(calibration.peak_growth(), 1000);
  EXPECT_EQ(calibration.peak_footprint(), 1600U);
  EXPECT_EQ(calibration.artifact().peak_growth_bytes_per_second,
            Observed<int64_t>::available(1000));
}

TEST(ObserveCalibration, GrowthTruncatesTowardZeroAndRejectsWhatDoesNotFit) {
  EXPECT_EQ(advisory::growth_rate(10, 0, Duration::from_secs(3)), -3);  // not -4
  EXPECT_EQ(advisory::growth_rate(0, 10, Duration::from_secs(3)), 3);
  EXPECT_EQ(advisory::growth_rate(0, 1, Duration::from_nanos(3)), 333'333'333);
  EXPECT_EQ(advisory::growth_rate(0, kU64Max, Duration::from_secs(1)), std::nullopt);
  EXPECT_EQ(advisory::growth_rate(kU64Max, 0, Duration::from_secs(1)), std::nullopt);
  // The full range of aggregates over a huge interval still computes exactly.
  EXPECT_EQ(advisory::growth_rate(0, kU64Max, Duration::max()), 0);
  EXPECT_EQ(advisory::growth_rate(0, uint64_t{1} << 62, Duration::from_secs(1)),
            int64_t{1} << 62);
  EXPECT_EQ(advisory::growth_rate(1, 2, Duration()), std::nullopt);

  ObserveCalibration calibration;
  (void)record(calibration, complete_at(1000, 0));
  EXPECT_EQ(record(calibration, complete_at(1001, kU64Max)),
            Observed<int64_t>::error(ObservationError::Internal));
  // A rate that does not fit still leaves a base behind.
  EXPECT_EQ(record(calibration, complete_at(2001, kU64Max - 5)), Observed<int64_t>::available(-5));
  EXPECT_EQ(calibration.peak_growth(), std::nullopt);
}

TEST(ObserveCalibration, GapsResetTheGrowthBase) {
  ObserveCalibration calibration;
  (void)record(calibration, complete_at(1000, 100));
  EXPECT_EQ(record(calibration, complete_at(2000, 300)), Observed<int64_t>::available(200));

  // An incomplete sample shows the last rate as stale, dated when it was seen.
  const SampleWindow gap = calibration.record_sample(incomplete_at(3000), Duration::from_millis(3002),
                                                     snapshot_at_ms(3002));
  EXPECT_EQ(gap.advisory.growth_bytes_per_second, Observed<int64_t>::stale(2000));
  EXPECT_EQ(gap.advisory.metadata->growth_bytes_per_second.captured_at_ms, 2000U);
  EXPECT_EQ(gap.advisory.metadata->growth_bytes_per_second.freshness, AdvisoryFreshness::Stale);
  EXPECT_EQ(gap.aggregate_footprint_bytes, Observed<uint64_t>::unknown());

  // The next complete sample has no base, however many rates came before.
  EXPECT_EQ(record(calibration, complete_at(4000, 500)), Observed<int64_t>::unknown());
  EXPECT_EQ(record(calibration, complete_at(5000, 600)), Observed<int64_t>::available(100));

  // A complete sample not later than its base is a clock anomaly and also
  // removes the base.
  EXPECT_EQ(record(calibration, complete_at(5000, 700)),
            Observed<int64_t>::error(ObservationError::ClockAnomaly));
  EXPECT_EQ(record(calibration, complete_at(6000, 800)), Observed<int64_t>::unknown());
  EXPECT_EQ(record(calibration, complete_at(7000, 900)), Observed<int64_t>::available(100));

  EXPECT_EQ(calibration.total_samples(), 8U);
  EXPECT_EQ(calibration.complete_samples(), 7U);
  EXPECT_EQ(calibration.incomplete_samples(), 1U);
  EXPECT_EQ(calibration.peak_growth(), 200);
  expect_valid_calibration(calibration.artifact());
}

TEST(ObserveCalibration, OnlyIncompleteSamplesGiveUnknownPeaks) {
  ObserveCalibration calibration;
  for (uint64_t at_ms : {100, 200, 300}) {
    EXPECT_EQ(record(calibration, incomplete_at(at_ms)), Observed<int64_t>::unknown());
  }
  (void)record(calibration,
               sample_with(SampleStatus::Kind::ClockRegressed, Duration::from_millis(400),
                           Duration::from_millis(390)));
  const CalibrationArtifact artifact = calibration.artifact();
  EXPECT_EQ(artifact.total_samples, 4U);
  EXPECT_EQ(artifact.complete_samples, 0U);
  EXPECT_EQ(artifact.incomplete_samples, 4U);
  EXPECT_EQ(artifact.observed_duration_ms, 290U);
  EXPECT_EQ(artifact.peak_aggregate_footprint_bytes, Observed<uint64_t>::unknown());
  EXPECT_EQ(artifact.peak_growth_bytes_per_second, Observed<int64_t>::unknown());
  EXPECT_EQ(artifact.guidance, CalibrationGuidance::ChooseExplicitLimitFromRepeatedRepresentativeRuns);
  expect_valid_calibration(artifact);
}

TEST(ObserveCalibration, EmptyArtifactAndBackwardsDuration) {
  const ObserveCalibration empty;
  const CalibrationArtifact artifact = empty.artifact();
  EXPECT_EQ(artifact.total_samples, 0U);
  EXPECT_EQ(artifact.observed_duration_ms, 0U);
  expect_valid_calibration(artifact);

  // A latest completion before the first gives 0, not a wrapped duration.
  ObserveCalibration calibration;
  (void)record(calibration, complete_at(5000, 1));
  (void)record(calibration, complete_at(1000, 1));
  EXPECT_EQ(calibration.artifact().observed_duration_ms, 0U);
}

TEST(ObserveCalibration, WindowRoundsSubMillisecondPassesUp) {
  const Duration start = Duration::from_secs(2);
  EXPECT_EQ(advisory::window_ms(start, start.saturating_add(Duration::from_micros(400))), 1U);
  EXPECT_EQ(advisory::window_ms(start, start.saturating_add(Duration::from_nanos(1))), 1U);
  EXPECT_EQ(advisory::window_ms(start, start), 0U);
  EXPECT_EQ(advisory::window_ms(start, start.saturating_add(Duration::from_micros(1999))), 1U);
  EXPECT_EQ(advisory::window_ms(start, start.saturating_add(Duration::from_millis(25))), 25U);
  EXPECT_EQ(advisory::window_ms(start, Duration::from_secs(1)), 0U);
  EXPECT_EQ(advisory::window_ms(Duration(), Duration::max()), kU64Max);
}

TEST(ObserveCalibration, SampleWindowCarriesTimesStatusAndAdvisory) {
  ObserveCalibration calibration;
  AdvisorySnapshot snap = snapshot_at_ms(1'234);
  snap.swap_bytes = Observed<uint64_t>::available(4096);
  const FootprintSample sample = sample_with(SampleStatus::Kind::Complete,
                                             Duration::from_micros(1'230'000),
                                             Duration::from_micros(1'230'400), 777);
  const SampleWindow window = calibration.record_sample(sample, Duration::from_millis(1'234), snap);
  EXPECT_EQ(window.captured_at_ms, 1'230U);
  EXPECT_EQ(window.processed_at_ms, 1'234U);
  EXPECT_EQ(window.window_ms, 1U);
  EXPECT_EQ(window.aggregate_footprint_bytes, Observed<uint64_t>::available(777));
  EXPECT_EQ(window.advisory, snap.with_growth(Observed<int64_t>::unknown(), std::nullopt));
}

TEST(ObserveCalibration, AggregateFollowsTheSampleStatus) {
  using Kind = SampleStatus::Kind;
  using O = Observed<uint64_t>;
  const Duration t = Duration::from_secs(1);
  EXPECT_EQ(advisory::aggregate_observation(sample_with(Kind::Complete, t, t, 5).status),
            O::available(5));
  EXPECT_EQ(advisory::aggregate_observation(sample_with(Kind::Incomplete, t, t, 5).status),
            O::unknown());
  EXPECT_EQ(advisory::aggregate_observation(sample_with(Kind::AggregateOverflow, t, t).status),
            O::error(ObservationError::Internal));
  EXPECT_EQ(advisory::aggregate_observation(sample_with(Kind::ClockRegressed, t, t).status),
            O::error(ObservationError::ClockAnomaly));
  const std::pair<InspectionError, O> probe_failures[] = {
      {InspectionError::Missing, O::error(ObservationError::ProcessMissing)},
      {InspectionError::PermissionDenied, O::error(ObservationError::PermissionDenied)},
      {InspectionError::IdentityChanged, O::error(ObservationError::ProcessMissing)},
      {InspectionError::InvalidData, O::error(ObservationError::MalformedKernelData)},
      {InspectionError::Unsupported, O::unavailable(UnavailableReason::NotSupported)},
      {InspectionError::Failed, O::error(ObservationError::Internal)},
  };
  for (const auto& [error, expected] : probe_failures) {
    SampleStatus status;
    status.value = SampleStatus::ProbeFailed{error};
    EXPECT_EQ(advisory::aggregate_observation(status), expected) << static_cast<int>(error);
  }
}

// Publishes a PSI text for the monitor's thread (rename, so never half a file).
void publish(const std::string& path, const char* text) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary);
    out << text;
  }
  ASSERT_EQ(::rename(temporary.c_str(), path.c_str()), 0);
}

TEST(PressureMonitor, ThreadFeedsSnapshotsAndStopsOnDrop) {
  test_support::TempDir dir;
  const std::string path = dir.file("psi");
  publish(path, "some avg10=0.00 avg60=0 avg300=0 total=0\n");
  auto monitor = PressureMonitor::start_on(path, std::chrono::milliseconds(2));
  ASSERT_TRUE(monitor.has_value());
  const std::shared_ptr<PressureState> state = monitor->shared_state();
  const NativeAdvisoryObserver observer(std::move(monitor));

  // Snapshots race with the thread's notifications on purpose; the sanitizer
  // run checks that they share nothing but the atomics.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      const AdvisorySnapshot snap =
          observer.snapshot(Duration::from_secs(1), Duration::from_secs(3600));
      EXPECT_NE(snap.pressure_events.status(), ObservedStatus::Unavailable);
    }
  });
  const char* const texts[] = {
      "some avg10=30.00 avg60=0 avg300=0 total=0\n",
      "some avg10=30.00 avg60=0 avg300=0 total=0\nfull avg10=9.00 avg60=0 avg300=0 total=0\n",
      "some avg10=0.00 avg60=0 avg300=0 total=0\n",
  };
  uint64_t expected_events = 0;
  for (const char* text : texts) {
    publish(path, text);
    ++expected_events;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (state->events.load() < expected_events &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(state->events.load(), expected_events);
  }
  done.store(true);
  reader.join();
  EXPECT_EQ(state->level.load(), platform::kPressureLevelNormal);
  EXPECT_NE(state->last_event_ns.load(), 0U);
  const AdvisorySnapshot snap =
      observer.snapshot(Duration::from_secs(1), Duration::from_secs(3600));
  EXPECT_EQ(snap.pressure_events, Observed<uint64_t>::available(3));
  EXPECT_EQ(snap.pressure_level, Observed<Level>::available(Level::Normal));
}

TEST(PressureMonitor, DropReleasesTheHandlersReference) {
  test_support::TempDir dir;
  const std::string path = dir.file("psi");
  publish(path, "some avg10=0.00 avg60=0 avg300=0 total=0\n");
  std::weak_ptr<PressureState> weak;
  {
    auto monitor = PressureMonitor::start_on(path, std::chrono::hours(1));
    ASSERT_TRUE(monitor.has_value());
    weak = monitor->shared_state();
    EXPECT_EQ(weak.use_count(), 2);  // the observer's and the handler's
  }
  EXPECT_TRUE(weak.expired());
  EXPECT_FALSE(PressureMonitor::start_on(dir.file("absent"), std::chrono::seconds(1)));
}

TEST(PressureMonitor, SystemObserverStartsWhereThereIsPressureInformation) {
  const NativeAdvisoryObserver observer = NativeAdvisoryObserver::create();
  const bool has_psi = platform::read_small_file(platform::kPressureMemoryPath).ok();
  EXPECT_EQ(observer.monitor().has_value(), has_psi);
  const AdvisorySnapshot snap = observer.snapshot(Duration::from_secs(1), Duration::from_secs(5));
  if (!has_psi) {
    EXPECT_EQ(snap.pressure_events,
              Observed<uint64_t>::unavailable(UnavailableReason::NotSupported));
  }
}

}  // namespace
}  // namespace vek_guard
