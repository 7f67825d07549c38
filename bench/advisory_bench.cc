// Cost of one advisory snapshot (sysinfo, /proc/meminfo and the pressure
// atomics) and how often the pressure watcher wakes when the system is idle.
#include <chrono>
#include <cstdint>
#include <thread>

#include <benchmark/benchmark.h>

#include "vek_guard/advisory.h"
#include "vek_guard/platform_memory.h"

namespace vek_guard {
namespace {

void BM_SnapshotWithMonitor(benchmark::State& state) {
  const NativeAdvisoryObserver observer = NativeAdvisoryObserver::create();
  state.counters["monitor"] = observer.monitor().has_value() ? 1 : 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(observer.snapshot(Duration::from_secs(1), Duration::from_secs(5)));
  }
}
BENCHMARK(BM_SnapshotWithMonitor);

void BM_SnapshotWithGrowth(benchmark::State& state) {
  const NativeAdvisoryObserver observer = NativeAdvisoryObserver::create();
  for (auto _ : state) {
    const AdvisorySnapshot snap = observer.snapshot(Duration::from_secs(1), Duration::from_secs(5));
    benchmark::DoNotOptimize(snap.with_growth(Observed<int64_t>::available(42), std::nullopt));
  }
}
BENCHMARK(BM_SnapshotWithGrowth);

void BM_SwapUsed(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(platform::swap_used_bytes());
}
BENCHMARK(BM_SwapUsed);

void BM_VmStatistics(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(platform::read_vm_statistics());
}
BENCHMARK(BM_VmStatistics);

// Runs the system watcher for a few seconds and reports its wake-ups per
// second (the goal is at most one when idle) and whether a PSI trigger was
// armed.
void BM_WatcherIdleWakeups(benchmark::State& state) {
  constexpr auto kWindow = std::chrono::seconds(5);
  for (auto _ : state) {
    auto watcher = platform::PressureWatcher::start(platform::kPressureMemoryPath,
                                                    platform::kPressureReadPeriod, [](uint64_t) {});
    if (!watcher) {
      state.SkipWithError("no pressure information on this system");
      return;
    }
    std::this_thread::sleep_for(kWindow);
    const uint64_t wakeups = (*watcher)->wakeups();
    state.counters["wakeups_per_s"] =
        static_cast<double>(wakeups) / std::chrono::duration<double>(kWindow).count();
  }
}
BENCHMARK(BM_WatcherIdleWakeups)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace vek_guard

BENCHMARK_MAIN();
