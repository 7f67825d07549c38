#include "vek_guard/advisory.h"

#include <errno.h>

#include <algorithm>
#include <limits>
#include <utility>
#include <variant>

namespace vek_guard {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

template <class T>
AdvisoryMetricMetadata metadata_for(const Observed<T>& metric, AdvisoryScope scope,
                                    AdvisorySource source, uint64_t captured_at_ms) {
  return AdvisoryMetricMetadata{
      .scope = scope,
      .source = source,
      .captured_at_ms = metric.last_seen_at_ms().value_or(captured_at_ms),
      .freshness = freshness_for(metric.status()),
  };
}

}  // namespace

void PressureState::record_notification(uint64_t level_bits, uint64_t at_ns) {
  level.store(level_bits, std::memory_order_release);
  last_event_ns.store(at_ns, std::memory_order_release);
  uint64_t count = events.load(std::memory_order_relaxed);
  while (count != kU64Max &&
         !events.compare_exchange_weak(count, count + 1, std::memory_order_release,
                                       std::memory_order_relaxed)) {
  }
}

PressureMonitor::PressureMonitor(std::shared_ptr<PressureState> state,
                                 std::unique_ptr<platform::PressureWatcher> watcher)
    : state_(std::move(state)), watcher_(std::move(watcher)) {}

std::optional<PressureMonitor> PressureMonitor::start() {
  return start_on(platform::kPressureMemoryPath, platform::kPressureReadPeriod);
}

std::optional<PressureMonitor> PressureMonitor::start_on(const std::string& path,
                                                         std::chrono::milliseconds period) {
  auto state = std::make_shared<PressureState>();
  // The handler keeps its own reference, so the state stays valid for as long
  // as the thread can call it, whatever happens to the monitor's reference.
  auto watcher =
      platform::PressureWatcher::start(path, period, [handler_state = state](uint64_t level_bits) {
        handler_state->record_notification(level_bits, platform::monotonic_clock_ns().value_or(0));
      });
  if (!watcher) return std::nullopt;
  return PressureMonitor(std::move(state), std::move(*watcher));
}

PressureMonitor PressureMonitor::from_state(std::shared_ptr<PressureState> state) {
  return PressureMonitor(std::move(state), nullptr);
}

AdvisoryMetrics AdvisorySnapshot::with_growth(const Observed<int64_t>& growth,
                                              std::optional<Duration> growth_time) const {
  const uint64_t at_ms = captured_at.as_millis_saturating();
  using Scope = AdvisoryScope;
  using Source = AdvisorySource;
  AdvisoryMetadata metadata{
      .pressure_events =
          metadata_for(pressure_events, Scope::System, Source::DispatchMemoryPressure, at_ms),
      .pressure_level =
          metadata_for(pressure_level, Scope::System, Source::DispatchMemoryPressure, at_ms),
      .swap_bytes = metadata_for(swap_bytes, Scope::System, Source::SysctlVmSwapusage, at_ms),
      .compressor_bytes =
          metadata_for(compressor_bytes, Scope::System, Source::HostStatistics64, at_ms),
      .wired_bytes = metadata_for(wired_bytes, Scope::System, Source::HostStatistics64, at_ms),
      .growth_bytes_per_second =
          metadata_for(growth, Scope::OwnedProcessGroup, Source::DerivedFootprintSamples, at_ms),
  };
  if (growth_time) {
    metadata.growth_bytes_per_second.captured_at_ms = growth_time->as_millis_saturating();
  }
  return AdvisoryMetrics{
      .pressure_events = pressure_events,
      .swap_bytes = swap_bytes,
      .compressor_bytes = compressor_bytes,
      .wired_bytes = wired_bytes,
      .growth_bytes_per_second = growth,
      .pressure_level = pressure_level,
      .metadata = metadata,
  };
}

NativeAdvisoryObserver::NativeAdvisoryObserver(std::optional<PressureMonitor> monitor)
    : monitor_(std::move(monitor)) {}

NativeAdvisoryObserver NativeAdvisoryObserver::create() {
  return NativeAdvisoryObserver(PressureMonitor::start());
}

AdvisorySnapshot NativeAdvisoryObserver::snapshot(Duration now, Duration max_age) const {
  return snapshot_at(now, max_age, platform::monotonic_clock_ns());
}

AdvisorySnapshot NativeAdvisoryObserver::snapshot_at(Duration now, Duration max_age,
                                                     std::optional<uint64_t> clock_ns) const {
  advisory::PressureObservations pressure = advisory::pressure_observations(
      monitor_ ? &monitor_->state() : nullptr, now, max_age, clock_ns);
  advisory::VmObservations vm = advisory::vm_observations(vm_statistics_.read());
  return AdvisorySnapshot{
      .pressure_events = std::move(pressure.events),
      .pressure_level = std::move(pressure.level),
      .swap_bytes = advisory::swap_observation(platform::swap_used_bytes()),
      .compressor_bytes = std::move(vm.compressor_bytes),
      .wired_bytes = std::move(vm.wired_bytes),
      .captured_at = now,
  };
}

SampleWindow ObserveCalibration::record_sample(const FootprintSample& sample, Duration now,
                                               const AdvisorySnapshot& snapshot) {
  const Duration completed_at = sample.completed_at;
  // The counters move together so that complete + incomplete = total holds
  // even at saturation, which the report's validation requires.
  const bool counting = total_samples_ != kU64Max;
  if (counting) ++total_samples_;
  if (!first_captured_) first_captured_ = completed_at;
  last_captured_ = completed_at;

  Observed<int64_t> growth;
  std::optional<Duration> growth_time;
  const auto stale_growth = [&] {
    if (last_growth_at_) {
      growth = Observed<int64_t>::stale(last_growth_at_->as_millis_saturating());
      growth_time = last_growth_at_;
    }
  };
  const std::optional<uint64_t> aggregate = sample.status.complete_bytes();
  if (aggregate && sample.shared_pages.deferred) {
    // Some of its members' pages were counted once per member that shares
    // them, an upper bound its refined neighbours are not comparable with:
    // it counts as complete, raises the peak only to what the group provably
    // held, and neither uses nor replaces the growth base.
    if (counting) {
      ++complete_samples_;
      peak_footprint_ =
          std::max(peak_footprint_.value_or(0), peak_footprint_of(sample).value_or(0));
    }
    stale_growth();
  } else if (aggregate) {
    // Past saturation the peak stays with the counted samples, so a known
    // peak never goes with zero complete samples.
    if (counting) {
      ++complete_samples_;
      peak_footprint_ = std::max(peak_footprint_.value_or(0), *aggregate);
    }
    const std::optional<GrowthBase> base = previous_complete_;
    previous_complete_ = GrowthBase{completed_at, *aggregate};
    if (!base) {
      growth = Observed<int64_t>::unknown();
    } else if (completed_at <= base->completed_at) {
      growth = Observed<int64_t>::error(ObservationError::ClockAnomaly);
      previous_complete_.reset();
    } else if (const std::optional<int64_t> rate =
                   advisory::growth_rate(base->aggregate_bytes, *aggregate,
                                         completed_at.saturating_sub(base->completed_at))) {
      growth = Observed<int64_t>::available(*rate);
      last_growth_at_ = completed_at;
      growth_time = completed_at;
      if (*rate > 0) peak_growth_ = std::max(peak_growth_.value_or(0), *rate);
    } else {
      growth = Observed<int64_t>::error(ObservationError::Internal);
    }
  } else {
    if (counting) ++incomplete_samples_;
    previous_complete_.reset();
    stale_growth();
  }

  return SampleWindow{
      .captured_at_ms = completed_at.as_millis_saturating(),
      .processed_at_ms = now.as_millis_saturating(),
      .window_ms = advisory::window_ms(sample.started_at, completed_at),
      .aggregate_footprint_bytes = advisory::aggregate_observation(sample.status),
      .advisory = snapshot.with_growth(growth, growth_time),
  };
}

CalibrationArtifact ObserveCalibration::artifact() const {
  uint64_t observed_duration_ms = 0;
  if (first_captured_ && last_captured_) {
    observed_duration_ms = last_captured_->saturating_sub(*first_captured_).as_millis_saturating();
  }
  CalibrationArtifact summary;
  summary.schema_version = 1;
  summary.observation_only = true;
  summary.safety_certified = false;
  summary.total_samples = total_samples_;
  summary.complete_samples = complete_samples_;
  summary.incomplete_samples = incomplete_samples_;
  summary.observed_duration_ms = observed_duration_ms;
  summary.peak_aggregate_footprint_bytes = peak_footprint_
                                               ? Observed<uint64_t>::available(*peak_footprint_)
                                               : Observed<uint64_t>::unknown();
  summary.peak_growth_bytes_per_second =
      peak_growth_ ? Observed<int64_t>::available(*peak_growth_) : Observed<int64_t>::unknown();
  summary.automatic_limit_bytes = std::nullopt;
  summary.guidance = CalibrationGuidance::ChooseExplicitLimitFromRepeatedRepresentativeRuns;
  return summary;
}

namespace advisory {

PressureObservations pressure_observations(const PressureState* state, Duration now,
                                           Duration max_age, std::optional<uint64_t> clock_ns) {
  if (state == nullptr) {
    return {Observed<uint64_t>::unavailable(UnavailableReason::NotSupported),
            Observed<MemoryPressureLevel>::unavailable(UnavailableReason::NotSupported)};
  }
  // The count first: its acquire pairs with the handler's release, so the
  // level and time loaded next are at least as new as that notification.
  const uint64_t events = state->events.load(std::memory_order_acquire);
  const uint64_t level_bits = state->level.load(std::memory_order_acquire);
  const uint64_t last_event_ns = state->last_event_ns.load(std::memory_order_acquire);
  if (events == 0) return {};

  const uint64_t clock = clock_ns.value_or(last_event_ns);
  const uint64_t age_ns = clock > last_event_ns ? clock - last_event_ns : 0;
  if (age_ns > max_age.as_nanos_saturating()) {
    const std::optional<Duration> seen = now.checked_sub(Duration::from_nanos(age_ns));
    const uint64_t seen_ms = seen ? seen->as_millis_saturating() : 0;
    return {Observed<uint64_t>::stale(seen_ms), Observed<MemoryPressureLevel>::stale(seen_ms)};
  }

  Observed<MemoryPressureLevel> level =
      Observed<MemoryPressureLevel>::error(ObservationError::MalformedKernelData);
  if ((level_bits & platform::kPressureLevelCritical) != 0) {
    level = Observed<MemoryPressureLevel>::available(MemoryPressureLevel::Critical);
  } else if ((level_bits & platform::kPressureLevelWarning) != 0) {
    level = Observed<MemoryPressureLevel>::available(MemoryPressureLevel::Warning);
  } else if ((level_bits & platform::kPressureLevelNormal) != 0) {
    level = Observed<MemoryPressureLevel>::available(MemoryPressureLevel::Normal);
  }
  return {Observed<uint64_t>::available(events), std::move(level)};
}

Observed<uint64_t> swap_observation(const Result<uint64_t, int>& swap_used) {
  if (swap_used) return Observed<uint64_t>::available(*swap_used);
  if (swap_used.error() == ENOSYS) {
    return Observed<uint64_t>::unavailable(UnavailableReason::NotSupported);
  }
  return Observed<uint64_t>::error(ObservationError::Internal);
}

VmObservations vm_observations(const Result<platform::VmStatistics, int>& statistics) {
  const VmObservations failed{Observed<uint64_t>::error(ObservationError::Internal),
                              Observed<uint64_t>::error(ObservationError::Internal)};
  if (!statistics) return failed;
  const uint64_t page_size = statistics->page_size;
  const auto bytes = [page_size](uint64_t pages) -> std::optional<uint64_t> {
    if (page_size != 0 && pages > kU64Max / page_size) return std::nullopt;
    return pages * page_size;
  };
  const std::optional<uint64_t> compressor = bytes(statistics->pages.compressor_pages);
  const std::optional<uint64_t> wired = bytes(statistics->pages.wired_pages);
  if (!compressor || !wired) return failed;
  return {Observed<uint64_t>::available(*compressor), Observed<uint64_t>::available(*wired)};
}

uint64_t window_ms(Duration started_at, Duration completed_at) {
  const std::optional<Duration> latency = completed_at.checked_sub(started_at);
  if (!latency || latency->is_zero()) return 0;
  return std::max<uint64_t>(1, latency->as_millis_saturating());
}

Observed<uint64_t> aggregate_observation(const SampleStatus& status) {
  using O = Observed<uint64_t>;
  switch (status.kind()) {
    case SampleStatus::Kind::Complete:
      return O::available(*status.complete_bytes());
    case SampleStatus::Kind::Incomplete:
      return O::unknown();
    case SampleStatus::Kind::AggregateOverflow:
      return O::error(ObservationError::Internal);
    case SampleStatus::Kind::ClockRegressed:
      return O::error(ObservationError::ClockAnomaly);
    case SampleStatus::Kind::ProbeFailed:
      break;
  }
  switch (std::get<SampleStatus::ProbeFailed>(status.value).error) {
    case InspectionError::Missing:
    case InspectionError::IdentityChanged:
      return O::error(ObservationError::ProcessMissing);
    case InspectionError::PermissionDenied:
      return O::error(ObservationError::PermissionDenied);
    case InspectionError::InvalidData:
      return O::error(ObservationError::MalformedKernelData);
    case InspectionError::Unsupported:
      return O::unavailable(UnavailableReason::NotSupported);
    case InspectionError::Failed:
      break;
  }
  return O::error(ObservationError::Internal);
}

std::optional<int64_t> growth_rate(uint64_t earlier_bytes, uint64_t later_bytes, Duration elapsed) {
  // Both factors stay far inside 128 bits: the difference below 2^65, the
  // scaled difference below 2^95, the elapsed nanoseconds below 2^94.
  const __int128 elapsed_ns =
      static_cast<__int128>(elapsed.secs()) * Duration::kNanosPerSecond + elapsed.subsec_nanos();
  if (elapsed_ns == 0) return std::nullopt;
  const __int128 delta = static_cast<__int128>(later_bytes) - static_cast<__int128>(earlier_bytes);
  // Integer division truncates toward zero, for negative rates too.
  const __int128 rate = delta * Duration::kNanosPerSecond / elapsed_ns;
  if (rate > std::numeric_limits<int64_t>::max() || rate < std::numeric_limits<int64_t>::min()) {
    return std::nullopt;
  }
  return static_cast<int64_t>(rate);
}

}  // namespace advisory
}  // namespace vek_guard
