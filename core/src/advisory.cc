#include "vek_guard/advisory.h"

#include <errno.h>

#include <limits>
#include <utility>

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
      .freshness = advisory::freshness_of(metric.status()),
  };
}

}  // namespace

void PressureState::record_notification(uint64_t level_bits, uint64_t at_ns) {
  level.store(level_bits, std::memory_order_release);
  last_event_ns.store(at_ns, std::memory_order_release);
  uint64_t count = events.load(std::memory_order_relaxed);
  while (count != kU64Max && !events.compare_exchange_weak(count, count + 1,
                                                           std::memory_order_release,
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
  auto watcher = platform::PressureWatcher::start(
      path, period, [handler_state = state](uint64_t level_bits) {
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
      .growth_bytes_per_second = metadata_for(growth, Scope::OwnedProcessGroup,
                                              Source::DerivedFootprintSamples, at_ms),
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
  advisory::VmObservations vm = advisory::vm_observations(platform::read_vm_statistics());
  return AdvisorySnapshot{
      .pressure_events = std::move(pressure.events),
      .pressure_level = std::move(pressure.level),
      .swap_bytes = advisory::swap_observation(platform::swap_used_bytes()),
      .compressor_bytes = std::move(vm.compressor_bytes),
      .wired_bytes = std::move(vm.wired_bytes),
      .captured_at = now,
  };
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

AdvisoryFreshness freshness_of(ObservedStatus status) {
  switch (status) {
    case ObservedStatus::Available:
      return AdvisoryFreshness::Fresh;
    case ObservedStatus::Unknown:
      return AdvisoryFreshness::InitialUnknown;
    case ObservedStatus::Stale:
      return AdvisoryFreshness::Stale;
    case ObservedStatus::Unavailable:
    case ObservedStatus::Error:
      break;
  }
  return AdvisoryFreshness::Unavailable;
}

}  // namespace advisory
}  // namespace vek_guard
