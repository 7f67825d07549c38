// The supervision skeleton: the one start-up, the one pass and the one finish
// that `run` and `observe` share. The modes hold only what differs:
// run_mode.h (its own start-up, the policy dispatch and the intervention
// records) and observe_mode.h (its endings and the calibration).
//
// A supervised run goes through three stages:
//
//  1. Start-up. The mode takes the client's readiness descriptor
//     (take_client_ready) and makes its own preparations; start_command then
//     settles the sampling configuration and the launching parent's watch,
//     creates the journal, installs the terminal-signal monitor, launches the
//     command as the root of a process group of its own and identifies it.
//     A failure before the journal exists is the run's outcome as it stands;
//     a failure after it still publishes a report (finalize_early_report),
//     and once the command runs its group is killed first.
//  2. Passes (Supervisor::supervise). Each pass looks at the root, then the
//     group, then the launching parent, then the terminal signals received,
//     takes one footprint sample and waits for the next one. The mode
//     (SupervisionMode) decides what each observation means.
//  3. Finish. The mode decides how the run ended; the closing records go to
//     the journal and the report is published.
//
//   Result<ClientReady, cli::ExecutionOutcome> ready = take_client_ready(fd);
//   ... the mode's own preparations ...
//   Result<StartedCommand, cli::ExecutionOutcome> started = start_command(command, plan);
//   if (!started) return started.error();
//   MonotonicRunClock clock;
//   Supervisor supervisor(std::move(started->parts), clock);
//   std::move(*ready).notify();
//   return supervisor.supervise(mode);
//
// Everything here runs on the main thread; the terminal-signal handler and
// the memory-pressure reader touch only their own objects.
#ifndef VEK_GUARD_CLI_SUPERVISOR_H_
#define VEK_GUARD_CLI_SUPERVISOR_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "run_journal.h"
#include "vek_guard/advisory.h"
#include "vek_guard/duration.h"
#include "vek_guard/error.h"
#include "vek_guard/parent_watcher.h"
#include "vek_guard/policy.h"
#include "vek_guard/process_control.h"
#include "vek_guard/report.h"
#include "vek_guard/run_clock.h"
#include "vek_guard/sampling.h"
#include "vek_guard/supervisor_signals.h"
#include "vek_guard/unique_fd.h"
#include "vek_guard_cli/cli.h"
#include "vek_guard_cli/outcome.h"

namespace vek_guard::runtime {

// ---------------------------------------------------------------------------
// Start-up.

// Takes over the client's readiness descriptor (--client-ready-fd), first
// thing, so that every end of start-up closes it: the client learns that
// supervision runs when it is notified, and that it never will when it is
// dropped. A refusal is the run's outcome: invalid_configuration with the
// error's text.
Result<ClientReady, cli::ExecutionOutcome> take_client_ready(std::optional<int32_t> fd);

// The terminal kind that a root's own status stands for: child_exited with
// its code, or child_signaled with its signal.
TerminalKind kind_of_status(const ChildStatus& status);

// How a signal went, as its record tells it.
SignalResult signal_result_of(SignalDelivery delivery);

// What a mode adds to the common start-up.
struct StartPlan {
  // The report's configuration; start_command fills in on_parent_exit and
  // parent_watch.
  ReportConfiguration configuration;
  // The child's end of the run's checkpoint channel: the command gets it on
  // descriptor 198, and once identified its root is accepted as the
  // checkpoint endpoint. Without one (observe) the launch has no channel, and
  // the journal header says so.
  UniqueFd checkpoint_child_end;
  // The command's soft descriptor limit, when the supervisor had to raise its
  // own (make_room_for_checkpoint_descriptor).
  std::optional<uint64_t> descriptor_soft_limit;
  // When the sampler counts the pages a forked family shares once.
  ShareRefinement refinement;
  // The command's root dies with the supervisor should it be killed outright
  // (LaunchSpec::dies_with_supervisor). Without it, a supervisor that ends in
  // any way leaves a command it has not killed running.
  bool command_dies_with_supervisor = false;
};

// Everything the supervision of one command holds. start_command builds it
// for the program; a test builds its own, with a fake process table behind
// the sampler.
struct SupervisionParts {
  TerminalSignalMonitor monitor;
  SupervisionJournal journal;
  SamplingConfig sampling;
  ParentWatcher parent;
  NativeAdvisoryObserver observer;
  FootprintSampler sampler;
  OwnedProcess owned;
  // Links a job-control stop of the supervisor to the group (see
  // GroupStopLink); let go of before the group is killed or given up.
  GroupStopLink stop_link;
};

struct StartedCommand {
  SupervisionParts parts;
  // The negotiated checkpoint endpoint; present exactly when the plan had a
  // checkpoint channel.
  std::optional<CheckpointEndpoint> endpoint;
};

// The common start-up, in order; the first failure ends it:
//  1. the sampling configuration for the interval (the policy's
//     sample_bounds, a history of kSampleHistoryCapacity): a refusal is
//     invalid_configuration with its text;
//  2. the launching parent's watch (ParentWatcher::start), which completes
//     the report's configuration;
//  3. the journal with its header (create_run_journal), whose failure is the
//     outcome;
//  4. the terminal-signal monitor: a failure ends early as
//     supervisor_failure with the error's text;
//  5. the launch (with the plan's checkpoint end, descriptor limit and
//     parent-death choice): a failure ends early with the launch error's
//     text, as launch_not_found, launch_not_executable,
//     invalid_configuration (empty argv, bad working directory, checkpoint
//     configuration) or supervisor_failure. A job-control stop of the
//     supervisor stops the group from here on. When the command's standard
//     input was replaced because the supervisor's is a terminal, "vek-guard:
//     standard input is a terminal, so the command reads from /dev/null
//     instead" is printed at once;
//  6. the root's identity, which seeds the group's identity tracking: a
//     negative root pid ends early with "root process identity is invalid";
//     a root that cannot be inspected ends early with its own status when it
//     has exited, else with "root process identity could not be
//     established"; a record the tracking refuses (no start time, or no
//     owned group) with "owned process identity could not be established";
//  7. with a checkpoint channel, the root is accepted as the checkpoint
//     endpoint; a refusal ends early with the root's own status when it has
//     exited, else with the error's text (supervisor_failure).
// An early end kills the group (after the launch) and publishes a report
// (finalize_early_report), whose outcome is the run's.
Result<StartedCommand, cli::ExecutionOutcome> start_command(const cli::NormalizedCommand& command,
                                                            StartPlan plan);

// ---------------------------------------------------------------------------
// The loop.

class Supervisor;

// One sampling pass as a mode sees it.
struct SampleTaken {
  // The policy machine's event for the sample, taken at `now`.
  PolicyEvent::Sample event;
  // The sample's aggregate footprint, as its record holds it.
  Observed<uint64_t> aggregate;
  Duration now;
};

// How a run ended, as its mode decides at the finish.
struct Closing {
  // The time of the outcome record.
  Duration at;
  // The outcome's kind, with the child's code or signal.
  TerminalKind kind;
  // The diagnostic printed with the published report, if any.
  std::optional<std::string> message;
  std::optional<ChildStatus> child_status;
  std::optional<bool> owned_group_survivors;
  CheckpointRecord checkpoint;
  // Observe mode's calibration summary; run mode writes none.
  std::optional<CalibrationArtifact> calibration;
};

// What a mode does at each step of a pass. The skeleton calls the steps in
// the order they are declared here, every pass; a ControlError from a step
// ends the loop as one from the skeleton's own queries does, and close() is
// told about it.
class SupervisionMode {
 public:
  enum class AfterGroup : uint8_t {
    WatchParent,  // go on, with the parent check
    SkipParent,   // go on without it this pass
    EndLoop,
  };

  virtual ~SupervisionMode() = default;

  // 1. Root and group. The root's status has been asked for while unknown
  // (Supervisor::root_status) and `group_exists` tells whether any member of
  // the owned group is left; once the root has exited, only a live member
  // counts (the root's own zombie, which the group keeps until the end, and
  // those of members that only their new parent can reap do not).
  virtual Result<AfterGroup, ControlError> after_group(Supervisor& supervisor,
                                                       bool group_exists) = 0;

  // 2. The watched launching parent was seen gone at `now`, and the run is
  // not told to detach. (Parent exits are seen once, and recorded in the
  // outcome either way.)
  virtual Result<void, ControlError> on_parent_exit(Supervisor& supervisor, Duration now) = 0;

  // 3. What the mode watches besides, before the signals; `group_exists` as
  // in step 1, and `now` the time the pass went on from there (that of the
  // parent check).
  virtual void before_signals(Supervisor& supervisor, bool group_exists, Duration now) {
    (void)supervisor;
    (void)group_exists;
    (void)now;
  }

  // 4. One terminal signal the supervisor received, in arrival order.
  virtual Result<void, ControlError> on_terminal_signal(Supervisor& supervisor, uint8_t signal) = 0;

  // 5. Whether this pass samples, and what its sample means.
  virtual bool wants_sample() const { return true; }
  virtual void on_sample(Supervisor& supervisor, const SampleTaken& sample) = 0;

  // 6. How long to wait before the next pass (zero: at once), or nothing to
  // end the loop here.
  virtual std::optional<Duration> wait_before_next_pass(Supervisor& supervisor) = 0;

  // After the loop: how the run ended. `control_error` is the
  // process-control failure that ended the loop, if one did.
  virtual Closing close(Supervisor& supervisor,
                        const std::optional<ControlError>& control_error) = 0;
};

// The supervision of one launched command, from its first pass to the
// published report. It owns the command's group and everything it is
// watched with; the clock must outlive it.
//
// Dropping it deals with the group first (a group it still owns is killed and
// its root reaped, after the job-control link is let go), then with the
// sampler, the observer and the histories, and with the terminal-signal
// monitor last, which gives back the previous signal actions only once the
// group is taken care of.
class Supervisor {
 public:
  Supervisor(SupervisionParts parts, RunClock& clock);
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  // Runs passes until the mode or a process-control failure ends them, then
  // journals the closing records (the sample history again when samples
  // were dropped, then the checkpoint, escape, calibration and outcome
  // records) and publishes the report (SupervisionJournal::publish). Call it
  // once.
  cli::ExecutionOutcome supervise(SupervisionMode& mode);

  // What the modes use.
  //
  // A fresh reading of the run's clock.
  Duration now() { return clock_.now(); }
  RunClock& clock() { return clock_; }
  // Journals one record (SupervisionJournal::record).
  void record(JournalEntry entry, bool durable, RecordRoom room = RecordRoom::Kept) {
    journal_.record(std::move(entry), durable, room);
  }
  OwnedProcess& owned() { return owned_; }
  // Gives up the group: it keeps running, and is neither stopped with the
  // supervisor nor killed when the supervision ends.
  void let_group_go();
  // The root's status once the root has been seen to exit.
  const std::optional<ChildStatus>& root_status() const { return root_status_; }
  // Once the root has exited: whether this pass's look at the group found a
  // process in it that is alive and has not begun to exit either, one that
  // no kill sent before has reached (it was outside the group then, or
  // joined it since). False while the root runs: a kill reaches the root
  // wherever it is.
  bool group_running() const { return group_running_; }
  // The aggregate footprint of the latest sample (unknown before the first).
  const Observed<uint64_t>& last_aggregate() const { return last_aggregate_; }
  // The wait until the next sample is due at `now`, or the sample interval
  // when the clock went back.
  Duration next_sample_delay(Duration now) const;
  Duration sample_interval() const { return sampling_.sample_interval(); }
  const ObserveCalibration& calibration() const { return calibration_; }

 private:
  // The last `capacity` sample windows, oldest first; a push onto a full ring
  // drops the oldest. Storage is reserved once.
  class WindowHistory {
   public:
    explicit WindowHistory(std::size_t capacity);
    void push(SampleWindow window);
    std::size_t size() const { return windows_.size(); }
    // The i-th oldest window.
    const SampleWindow& at(std::size_t i) const { return windows_[(head_ + i) % windows_.size()]; }
    // Frees the storage once the windows are journaled, so that the end of
    // a long run rebuilds its report in the memory they held (over a
    // megabyte).
    void release() {
      std::vector<SampleWindow>().swap(windows_);
      head_ = 0;
    }

   private:
    std::size_t capacity_;
    std::size_t head_ = 0;  // index of the oldest window once the ring is full
    std::vector<SampleWindow> windows_;
  };

  std::optional<ControlError> run_passes(SupervisionMode& mode);
  Result<void, ControlError> poll_root();
  Result<bool, ControlError> group_exists();
  SampleTaken take_sample();
  void append_closing_records(const Closing& closing);

  RunClock& clock_;
  TerminalSignalMonitor monitor_;
  SupervisionJournal journal_;
  SamplingConfig sampling_;
  ParentWatcher parent_;
  std::optional<uint64_t> parent_exited_at_ms_;
  WindowHistory sample_history_;
  ObserveCalibration calibration_;
  NativeAdvisoryObserver observer_;
  FootprintSampler sampler_;
  Observed<uint64_t> last_aggregate_;
  bool escape_detected_ = false;
  std::optional<ChildStatus> root_status_;
  bool group_running_ = false;
  OwnedProcess owned_;
  // Declared after `owned_`, so it is dropped first: a job-control stop
  // never reaches a group that is being killed, or whose id may be reused.
  GroupStopLink stop_link_;
};

}  // namespace vek_guard::runtime

#endif  // VEK_GUARD_CLI_SUPERVISOR_H_
