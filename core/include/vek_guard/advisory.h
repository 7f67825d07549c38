// System-wide memory context for footprint samples, and the calibration
// statistics of an observe run.
//
// Nothing here influences enforcement; the policy machine never sees these
// values. Each supervision pass calls, in this order: the sampler's pass, the
// sampler's policy event, `NativeAdvisoryObserver::snapshot`, and (with the
// calibration) `ObserveCalibration::record_sample`, whose `SampleWindow` the
// runtime journals.
//
//   NativeAdvisoryObserver observer = NativeAdvisoryObserver::create();
//   ObserveCalibration calibration;  // created with the sampler
//   // once per pass, after the sampler:
//   AdvisorySnapshot snap = observer.snapshot(now, max_age);
//   SampleWindow window = calibration.record_sample(sample, now, snap);
//   // observe mode, at the end:
//   CalibrationArtifact summary = calibration.artifact();
//
// Every failure of a system reading becomes an `Observed` value (unavailable
// or error with a code); no function here returns an error.
#ifndef VEK_GUARD_ADVISORY_H_
#define VEK_GUARD_ADVISORY_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vek_guard/duration.h"
#include "vek_guard/error.h"
#include "vek_guard/platform_memory.h"
#include "vek_guard/report.h"
#include "vek_guard/sampling.h"

namespace vek_guard {

// The three values that the pressure source shares with the supervision
// thread. Shared ownership: the observer holds one reference and the source's
// notification handler another, so neither outlives the state.
//
// Thread safety: one writer (the handler) and any number of readers, without
// locks. The writer stores the level and the time, then raises the count
// (release); a reader loads the count first (acquire), so a non-zero count is
// never seen with the level and time from before its notification. The three
// loads are not one atomic snapshot: a reader racing with a notification may
// pair a count with the level and time of the next one, which is harmless.
struct PressureState {
  std::atomic<uint64_t> events{0};         // notifications received, saturating
  std::atomic<uint64_t> level{0};          // level bits of the last notification
  std::atomic<uint64_t> last_event_ns{0};  // CLOCK_MONOTONIC ns of it; 0 if unknown

  // Records one notification: level bits, then the time (`at_ns`, 0 when the
  // clock could not be read), then count + 1, saturating at u64::MAX.
  void record_notification(uint64_t level_bits, uint64_t at_ns);
};

// The memory-pressure source and the observer's reference to its state.
// Movable, not copyable. Dropping it stops the source: the watcher thread is
// woken and joined before the destructor returns, and with it goes the
// handler's reference to the state.
class PressureMonitor {
 public:
  // Starts the watcher on the system's pressure file. Nothing when the
  // system offers no readable pressure information or the thread cannot be
  // started; the observer then reports pressure as not supported.
  static std::optional<PressureMonitor> start();

  // Starts a watcher on another PSI file with another read period (tests).
  static std::optional<PressureMonitor> start_on(const std::string& path,
                                                 std::chrono::milliseconds period);

  // A monitor without a source, over a state that the caller feeds through
  // `PressureState::record_notification` (tests, and any other source).
  static PressureMonitor from_state(std::shared_ptr<PressureState> state);

  const PressureState& state() const { return *state_; }
  const std::shared_ptr<PressureState>& shared_state() const { return state_; }

  // The source's thread, or null for a monitor made by `from_state`.
  const platform::PressureWatcher* watcher() const { return watcher_.get(); }

 private:
  PressureMonitor(std::shared_ptr<PressureState> state,
                  std::unique_ptr<platform::PressureWatcher> watcher);

  std::shared_ptr<PressureState> state_;
  // Declared after the state so it is destroyed (thread joined) first.
  std::unique_ptr<platform::PressureWatcher> watcher_;
};

// One advisory reading. `captured_at` is the time since the run's start at
// which the caller took it.
struct AdvisorySnapshot {
  Observed<uint64_t> pressure_events;
  Observed<MemoryPressureLevel> pressure_level;
  Observed<uint64_t> swap_bytes;
  Observed<uint64_t> compressor_bytes;
  Observed<uint64_t> wired_bytes;
  Duration captured_at;

  // The report's metrics for this snapshot with the owned group's growth rate
  // (bytes per second) and the time since the run's start that the rate
  // belongs to, if any. `pressure_level` and `metadata` are always present.
  // Each metadata entry carries the metric's fixed scope and source, the
  // freshness that follows its status (available: fresh, unknown:
  // initial_unknown, stale: stale, unavailable and error: unavailable) and a
  // capture time in milliseconds: the last-seen time of a stale metric, else
  // `captured_at`. For growth, `growth_time` comes first when given.
  AdvisoryMetrics with_growth(const Observed<int64_t>& growth,
                              std::optional<Duration> growth_time) const;

  friend bool operator==(const AdvisorySnapshot&, const AdvisorySnapshot&) = default;
};

// Takes advisory snapshots: pressure from the monitor's state, swap and
// virtual-memory figures read fresh each time. Used on the supervision thread
// only; besides the monitor it keeps only the open /proc/meminfo that each
// snapshot reads again.
class NativeAdvisoryObserver {
 public:
  // An observer with the system's pressure monitor when one can be started,
  // else without one. Never fails.
  static NativeAdvisoryObserver create();

  // An observer with the given monitor, or none (pressure not supported).
  explicit NativeAdvisoryObserver(std::optional<PressureMonitor> monitor);

  // One reading at `now` (time since the run's start). A pressure
  // notification older than `max_age` makes both pressure values stale.
  AdvisorySnapshot snapshot(Duration now, Duration max_age) const;

  // As `snapshot`, with the monotonic clock reading (ns) supplied by the
  // caller; nothing stands for a failed clock read, which makes the last
  // notification's age 0.
  AdvisorySnapshot snapshot_at(Duration now, Duration max_age,
                               std::optional<uint64_t> clock_ns) const;

  const std::optional<PressureMonitor>& monitor() const { return monitor_; }

 private:
  std::optional<PressureMonitor> monitor_;
  // Read again by every snapshot; the descriptor is a cache, not state.
  mutable platform::VmStatisticsFile vm_statistics_;
};

// The running statistics of a run's samples, and the source of each sample's
// growth rate. Starts empty; only `record_sample` changes it. Supervision
// thread only.
//
// Growth is derived from consecutive complete samples: (A − A') × 10^9 /
// (T − T' in ns), in signed 128-bit arithmetic truncated toward zero, where
// (T', A') is the previous complete sample's completion time and aggregate.
// Any other sample, or a complete sample that is not later than its base (a
// clock anomaly), removes the base, so the next complete sample has no growth
// (unknown) even if earlier rates were available.
//
// A complete sample whose refinement of shared pages was deferred
// (SharedPages::deferred: forked members whose shares were never read)
// counts their shared pages once per member that maps them, while the
// samples around it count them once: it is counted as complete, but it
// raises the peak only to what its group provably held (peak_footprint_of),
// and it neither uses nor removes the growth base (its growth is stale since
// the last available rate, or unknown). So the peak and the growth come from
// samples that count the same way, and the peak is never below what a group
// was seen to hold for certain.
class ObserveCalibration {
 public:
  ObserveCalibration() = default;

  // Counts `sample`, updates the peaks and the growth base, and returns the
  // `SampleWindow` the runtime journals for it:
  //  - captured_at_ms: the sample's completed_at; processed_at_ms: `now`;
  //  - window_ms: see `advisory::window_ms`;
  //  - aggregate_footprint_bytes: see `advisory::aggregate_observation`;
  //  - advisory: `snapshot.with_growth(growth, growth time)`, where growth is
  //    available (at the sample's completion time) when it could be derived,
  //    unknown without a base, error clock_anomaly when the sample is not
  //    later than its base, error internal when the rate does not fit in 64
  //    bits; for a sample that is not complete, or is deferred, it is stale
  //    since the last available rate (at that rate's time), or unknown when
  //    there never was one.
  // Counters saturate together: once total_samples reaches u64::MAX nothing
  // is counted any more, so complete + incomplete = total always holds.
  SampleWindow record_sample(const FootprintSample& sample, Duration now,
                             const AdvisorySnapshot& snapshot);

  // The calibration summary of an observe run: the counts, the time from the
  // first to the latest sample's completion (0 when negative or without
  // samples), the peak complete aggregate and the peak positive growth rate
  // (each unknown without one), no automatic limit. It always satisfies the
  // report's calibration rules: complete + incomplete = total, a known peak
  // footprint exactly when a sample was complete, a peak growth of at least 1.
  CalibrationArtifact artifact() const;

  // The largest complete aggregate so far, of a deferred sample only what
  // its group provably held.
  std::optional<uint64_t> peak_footprint() const { return peak_footprint_; }
  // The largest positive growth rate so far.
  std::optional<int64_t> peak_growth() const { return peak_growth_; }
  uint64_t total_samples() const { return total_samples_; }
  uint64_t complete_samples() const { return complete_samples_; }
  uint64_t incomplete_samples() const { return incomplete_samples_; }

 private:
  struct GrowthBase {
    Duration completed_at;
    uint64_t aggregate_bytes = 0;
  };

  std::optional<uint64_t> peak_footprint_;
  std::optional<int64_t> peak_growth_;
  std::optional<Duration> first_captured_;
  std::optional<Duration> last_captured_;
  std::optional<GrowthBase> previous_complete_;
  std::optional<Duration> last_growth_at_;
  uint64_t total_samples_ = 0;
  uint64_t complete_samples_ = 0;
  uint64_t incomplete_samples_ = 0;
};

// The building blocks of a snapshot, one per source, exposed so each mapping
// from a system result to an `Observed` value can be checked on its own.
namespace advisory {

struct PressureObservations {
  Observed<uint64_t> events;
  Observed<MemoryPressureLevel> level;
};

// Pressure from `state` (null: no monitor, both unavailable/not_supported).
// With a state: a count of 0 gives both unknown; a last notification at most
// `max_age` old (by `clock_ns`, or age 0 when that is nothing or earlier than
// the notification) gives the count and the level (critical for bit 4, else
// warning for bit 2, else normal for bit 1, else error
// malformed_kernel_data); an older one gives both stale, last seen at
// now − age in milliseconds (0 when the age exceeds `now`).
PressureObservations pressure_observations(const PressureState* state, Duration now,
                                           Duration max_age, std::optional<uint64_t> clock_ns);

// Swap in use: available with the bytes; ENOSYS gives unavailable
// not_supported; any other failure error internal.
Observed<uint64_t> swap_observation(const Result<uint64_t, int>& swap_used);

struct VmObservations {
  Observed<uint64_t> compressor_bytes;
  Observed<uint64_t> wired_bytes;
};

// Compressor and wired bytes as page counts × page size; both available only
// when neither product overflows 64 bits. A failed read or an overflow gives
// error internal for both.
VmObservations vm_observations(const Result<platform::VmStatistics, int>& statistics);

// A sample's duration in whole milliseconds, saturating: 0 when completed_at
// is earlier than started_at or equal to it; a duration below one
// millisecond but above zero counts as 1, so a real pass never shows as
// instantaneous.
uint64_t window_ms(Duration started_at, Duration completed_at);

// A sample's aggregate footprint as reported: available for Complete,
// unknown for Incomplete, error internal for AggregateOverflow, error
// clock_anomaly for ClockRegressed; a failed probe by its error: Missing and
// IdentityChanged give process_missing, PermissionDenied permission_denied,
// InvalidData malformed_kernel_data, Unsupported unavailable not_supported,
// Failed error internal.
Observed<uint64_t> aggregate_observation(const SampleStatus& status);

// (later − earlier bytes) × 10^9 / elapsed ns, truncated toward zero; nothing
// when the result does not fit in 64 bits. `elapsed` must not be zero.
std::optional<int64_t> growth_rate(uint64_t earlier_bytes, uint64_t later_bytes, Duration elapsed);

}  // namespace advisory
}  // namespace vek_guard

#endif  // VEK_GUARD_ADVISORY_H_
