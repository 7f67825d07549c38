// `run` mode: what it adds to the supervision skeleton (supervisor.h).
//
//  - Start-up (execute_run): before the common start-up, a descriptor limit
//    that admits the checkpoint descriptor, the checkpoint nonce and first
//    request id from the random source, the checkpoint channel, the policy
//    machine for the footprint limit and the negotiation frame; after it, the
//    enforcing line on standard error.
//  - The loop (RunMode): every observation becomes a PolicyEvent, which
//    dispatch_policy_input applies to the enforcing machine; the actions it
//    decides are carried out through the intervention actuator, and the
//    transitions, the signal records and the checkpoint record are journaled
//    as they happen.
//  - The finish: the outcome is the root's own status unless the supervisor
//    intervened, failed closed or never saw the root exit.
//
//   ProcessInterventionActuator actuator(&channel, endpoint, owned.control_handle());
//   RunMode mode(std::move(machine), actuator);
//   Supervisor supervisor(std::move(parts), clock);
//   return supervisor.supervise(mode);
#ifndef VEK_GUARD_CLI_RUN_MODE_H_
#define VEK_GUARD_CLI_RUN_MODE_H_

#include <cstdint>
#include <optional>
#include <string_view>

#include "supervisor.h"
#include "vek_guard/intervention.h"
#include "vek_guard/policy.h"
#include "vek_guard/report.h"
#include "vek_guard_cli/cli.h"
#include "vek_guard_cli/outcome.h"

namespace vek_guard::runtime {

// Runs a `run` command from start-up to its outcome. Start-up failures of its
// own, before anything exists on disk, are the outcome: the descriptor limit
// ("open-file limit is too low for the checkpoint descriptor 198 (ulimit -n
// must allow 199)", invalid_configuration), the random source ("secure
// checkpoint nonce generation failed", "secure checkpoint request-id
// generation failed"), the channel and its negotiation frame (their error's
// text), all supervisor_failure, and a policy band the machine refuses
// (invalid_configuration). Then start_command, the enforcing line
// "vek-guard: enforcing a {L}-byte footprint limit; emergency KILL at {E}
// bytes, about 10% above the limit", and the supervision.
cli::ExecutionOutcome execute_run(const cli::NormalizedCommand& command,
                                  const cli::NormalizedRun& run);

// The report's configuration of a run under `config` (the journal header's;
// the parent watch is filled in by start_command).
ReportConfiguration run_report_configuration(const PolicyConfig& config, Duration interval);

// The run loop's side of each pass, and its records.
class RunMode final : public SupervisionMode {
 public:
  // `policy` is the enforcing machine; `actuator` carries out its commands
  // and follows the checkpoint channel, and must outlive the mode.
  RunMode(PolicyMachine policy, InterventionActuator& actuator);

  // Ends the loop once the root has exited and the group is gone; the root
  // may exit long before its group, and enforcement goes on until then.
  Result<AfterGroup, ControlError> after_group(Supervisor& supervisor, bool group_exists) override;
  // Feeds ParentExited.
  Result<void, ControlError> on_parent_exit(Supervisor& supervisor, Duration now) override;
  // Feeds GroupAlive at `now` when the pass found a member running after the
  // root's exit (Supervisor::group_running), then RootExited once, when the
  // root has exited and members are left (after a look at the checkpoint
  // channel, so that an acknowledgement already there is applied first),
  // then follows the checkpoint channel.
  void before_signals(Supervisor& supervisor, bool group_exists, Duration now) override;
  // Feeds TerminalSignal.
  Result<void, ControlError> on_terminal_signal(Supervisor& supervisor, uint8_t signal) override;
  // Feeds the sample's event.
  void on_sample(Supervisor& supervisor, const SampleTaken& sample) override;
  // Feeds Tick; the wait is the time to the next sample, cut to the policy's
  // pending deadline (the checkpoint deadline, the grace deadline, or the
  // wall time while nothing else is pending).
  std::optional<Duration> wait_before_next_pass(Supervisor& supervisor) override;
  // After a process-control failure the policy first gets its chance to stop
  // the group (terminate_after_fault); otherwise ChildExited is fed. The
  // outcome, first match: the control error (supervisor_failure, its text);
  // the first entry into supervisor_error (supervisor_failure, its label);
  // an intervention (policy_intervention); no root status seen
  // (supervisor_failure, "supervision ended without an observed root
  // status"); the root's own status.
  Closing close(Supervisor& supervisor, const std::optional<ControlError>& control_error) override;

  // Applies one event to the policy machine, carries out its actions
  // (feeding every failed one back at once), journals the transitions and
  // signal records, and keeps the checkpoint record and the run's
  // bookkeeping up to date. Every event of the run goes through here.
  void dispatch_policy_input(Supervisor& supervisor, const PolicyEvent& event);

  const PolicyMachine& policy() const { return policy_; }

 private:
  // Latch of the client's checkpoint negotiation: pending until it completes
  // (ready) or cannot (unavailable); it never moves back.
  enum class CheckpointReadiness : uint8_t { Pending, Ready, Unavailable };

  // What the dispatch of one event records about the state changes it
  // causes, whichever action of the dispatch causes them.
  struct DispatchContext {
    std::optional<SignalReason> reason_candidate;
    std::string_view label_candidate;
    std::optional<uint64_t> transition_footprint;
    RecordRoom room = RecordRoom::Kept;
  };

  void execute_intervention(Supervisor& supervisor, const PolicyEvent& event,
                            const DispatchContext& context);
  void record_state_change(Supervisor& supervisor, const DispatchContext& context, PolicyState from,
                           PolicyState to, Duration at);
  void record_attempt(Supervisor& supervisor, const InterventionAttempt& attempt, RecordRoom room);
  void poll_checkpoint_progress(Supervisor& supervisor);
  void terminate_after_fault(Supervisor& supervisor);

  PolicyMachine policy_;
  InterventionActuator& actuator_;
  InterventionEvidence evidence_;
  CheckpointRecord checkpoint_record_;
  CheckpointReadiness checkpoint_readiness_ = CheckpointReadiness::Pending;
  // Names the first entry into supervisor_error.
  std::optional<std::string_view> fault_label_;
  // The run counts as a policy intervention (see dispatch_policy_input).
  bool intervened_ = false;
  bool root_exit_reported_ = false;
  // Reason of the first decision out of normal or warning.
  std::optional<SignalReason> intervention_reason_;
  // Reason given to the next group signal record.
  std::optional<SignalReason> next_signal_reason_;
  // Terminal signals dispatched so far (saturating), for the record budget.
  uint32_t terminal_signals_received_ = 0;
  // Kills repeated on a group that outlived its kill (saturating), for the
  // record budget.
  uint32_t repeated_kills_ = 0;
};

}  // namespace vek_guard::runtime

#endif  // VEK_GUARD_CLI_RUN_MODE_H_
