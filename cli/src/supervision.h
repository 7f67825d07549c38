// What the `run` and `observe` loops share: the sampling step, the launching
// parent's watch, the final journal records and the publication of the
// report. The wait between passes is the core's wait_for.
#ifndef VEK_GUARD_CLI_SUPERVISION_H_
#define VEK_GUARD_CLI_SUPERVISION_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "artifacts.h"
#include "startup.h"
#include "vek_guard/advisory.h"
#include "vek_guard/duration.h"
#include "vek_guard/identity.h"
#include "vek_guard/parent_watcher.h"
#include "vek_guard/policy.h"
#include "vek_guard/process_control.h"
#include "vek_guard/report.h"
#include "vek_guard/sampling.h"
#include "vek_guard/supervisor_signals.h"
#include "vek_guard_cli/outcome.h"

namespace vek_guard::runtime {

// The last `capacity` sample windows, oldest first; a push onto a full ring
// drops the oldest. Storage is reserved once.
class WindowHistory {
 public:
  explicit WindowHistory(std::size_t capacity);

  void push(SampleWindow window);
  std::size_t size() const { return windows_.size(); }
  // The i-th oldest window.
  const SampleWindow& at(std::size_t i) const { return windows_[(head_ + i) % windows_.size()]; }
  // Frees the storage once the windows are journaled, so that the end of a
  // long run rebuilds its report in the memory they held (over a megabyte).
  void release() {
    std::vector<SampleWindow>().swap(windows_);
    head_ = 0;
  }

 private:
  std::size_t capacity_;
  std::size_t head_ = 0;  // index of the oldest window once the ring is full
  std::vector<SampleWindow> windows_;
};

// Everything both loops hold for one supervised command. Members are
// destroyed in reverse order: the stop link goes first, then the owned process
// (a group that is still owned is killed and its root reaped), then the
// sampler, observer and histories, and the terminal-signal monitor last, which
// restores the previous signal actions only once the group has been dealt
// with.
struct SupervisionCommon {
  SupervisionCommon(TerminalSignalMonitor monitor, JournalSink sink, const SamplingConfig& config,
                    Duration interval, ParentWatcher parent, FootprintSampler sampler,
                    OwnedProcess owned, GroupStopLink stop_link);

  // A fresh reading of the time since `started_at`.
  Duration now() const { return started_at.elapsed(); }

  // One sample: probe the group, derive its policy event, take the advisory
  // snapshot, build the window, keep it in the history, and journal it while
  // the sampler has recorded fewer than 4096 samples.
  struct SampleStep {
    PolicyEvent::Sample event;
    Observed<uint64_t> aggregate;
    Duration now;
  };
  SampleStep take_sample();

  // Checks the watched launching parent while it has not been seen gone.
  // Returns true when it is gone now (and records `now` as its exit time).
  bool check_parent(Duration now);

  // Asks for the root's status while it is unknown; errors pass through.
  Result<void, ControlError> poll_root();

  // Whether the owned group still exists. Once the root has exited, a group
  // whose remaining members have all exited too counts as gone: they are
  // orphans that only their new parent can reap, and an init that reaps late
  // (or never, in some containers) would otherwise keep the run going, or
  // turn a clean end into a kill at the grace deadline.
  Result<bool, ControlError> group_exists();

  // The escape evidence of the run.
  EscapeEvidence escape_evidence() const;

  // The closing records: the sample history again when samples were dropped,
  // then the checkpoint, the escape evidence, the calibration (observe only)
  // and the outcome. Each goes through the sink whatever became of the
  // others, into the room the journal keeps for them.
  void append_final_records(const CheckpointRecord& checkpoint,
                            const std::optional<CalibrationArtifact>& calibration,
                            const TerminalOutcome& outcome);

  // Publishes the report: the summary line on success with `message` (when
  // there is one) as the diagnostic, or the storage failure.
  cli::ExecutionOutcome publish(TerminalKind kind, const std::optional<std::string>& message);

  // Waits for `duration`, waking early when a terminal signal arrives or the
  // root exits (wait_for).
  void sleep(Duration duration) const { wait_for(duration, &terminal_signals, &owned); }

  TerminalSignalMonitor terminal_signals;
  JournalSink journal;
  SamplingConfig sampling_config;
  Duration sample_interval;
  ParentWatcher parent_watch;
  std::optional<uint64_t> parent_exited_at_ms;
  bool detach_on_parent_exit;
  WindowHistory sample_history{kSampleHistoryCapacity};
  ObserveCalibration calibration;
  NativeAdvisoryObserver observer;
  FootprintSampler sampler;
  Observed<uint64_t> last_aggregate;
  bool escape_detected = false;
  std::optional<ChildStatus> root_status;
  OwnedProcess owned;
  // Declared after `owned`, so it is dropped first: a job-control stop never
  // reaches a group that is being killed, or whose id may be reused.
  GroupStopLink stop_link;
  MonotonicInstant started_at;
};

}  // namespace vek_guard::runtime

#endif  // VEK_GUARD_CLI_SUPERVISION_H_
