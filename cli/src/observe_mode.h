// `observe` mode: what it adds to the supervision skeleton (supervisor.h).
//
// Observe mode records a command's footprint and advisory readings and
// writes the same report as `run`, plus a calibration summary, but makes no
// memory intervention: there is no limit and no checkpoint channel. A policy
// machine that never enforces judges only whether samples are usable. It
// acts on the group in two cases only: when the launching parent exits
// (SIGTERM at once, SIGKILL a second later, unless told to detach) and when
// the supervisor gets a terminal signal (the first is forwarded, every later
// one kills the group, and a group that outlives that kill is killed again
// on every pass until it is gone). It stops at the root's exit and leaves
// surviving members running, unless it was told to kill them.
//
//   ObserveMode mode(PolicyMachine::observe_only(age, window));
//   Supervisor supervisor(std::move(parts), clock);
//   return supervisor.supervise(mode);
#ifndef VEK_GUARD_CLI_OBSERVE_MODE_H_
#define VEK_GUARD_CLI_OBSERVE_MODE_H_

#include <cstdint>
#include <optional>
#include <string>

#include "supervisor.h"
#include "vek_guard/policy.h"
#include "vek_guard_cli/cli.h"
#include "vek_guard_cli/outcome.h"

namespace vek_guard::runtime {

// Runs an `observe` command from start-up (take_client_ready, start_command)
// to its outcome.
cli::ExecutionOutcome execute_observe(const cli::NormalizedCommand& command);

// The report's configuration of an observe run at `interval` (the journal
// header's; the parent watch is filled in by start_command). It has no
// thresholds; the counts are those the observe machine judges samples by,
// and the term grace is that of the stop after the parent's exit.
ReportConfiguration observe_report_configuration(Duration interval);

// The observe loop's side of each pass. The loop ends in one of these ways:
//
//   ending                          outcome             message  survivors  group
//   root exit, group gone           the root's status   -        -          kept
//   root exit, members running      the root's status   (1)      true       let go
//     (once the group was killed, members still running are killed again,
//     and the root's exit ends the run only when they are gone)
//   parent exit, group gone         policy_intervention (2)      false      kept
//   parent exit, SIGKILL sent       policy_intervention (2)      true       kept
//   three unusable samples          supervisor_failure  (3)      -          let go
//   process-control failure         supervisor_failure  its text -          let go
//
//   (1) "observe ended at root exit; owned-group members were still running
//       and were not signalled"
//   (2) "observe ended because the launching parent exited; the owned group
//       was terminated"
//   (3) "footprint observation failed"
//
// A group that is let go keeps running after the supervisor, its root too:
// the command is launched without the parent-death signal, so observing
// never ends it, not even when the supervisor is killed outright. A kept
// group is killed when the supervision ends (what is left of it).
class ObserveMode final : public SupervisionMode {
 public:
  // `policy` is PolicyMachine::observe_only for the sampling bounds.
  explicit ObserveMode(PolicyMachine policy) : policy_(std::move(policy)) {}

  // Once the parent's deadline is set, the loop waits only for the group to
  // go or for the deadline (then SIGKILL); once the group was killed, a pass
  // that finds it alive kills it again; otherwise the root's exit ends it.
  Result<AfterGroup, ControlError> after_group(Supervisor& supervisor, bool group_exists) override;
  // SIGTERM to the group, and the SIGKILL deadline a second later.
  Result<void, ControlError> on_parent_exit(Supervisor& supervisor, Duration now) override;
  // The first is forwarded, every later one kills the group.
  Result<void, ControlError> on_terminal_signal(Supervisor& supervisor, uint8_t signal) override;
  // Sampling stops once the machine has seen observation fail.
  bool wants_sample() const override { return !observation_failed_; }
  // Applies the sample to the machine and journals its one transition.
  void on_sample(Supervisor& supervisor, const SampleTaken& sample) override;
  std::optional<Duration> wait_before_next_pass(Supervisor& supervisor) override;
  Closing close(Supervisor& supervisor, const std::optional<ControlError>& control_error) override;

 private:
  enum class Ending : uint8_t {
    RootExitGroupGone,
    RootExitMembersRunning,
    ParentExitGroupGone,
    ParentExitKilled,
    ObservationFailure,
  };

  PolicyMachine policy_;
  // Set by the step that ends the loop; absent after a control error.
  std::optional<Ending> ending_;
  // When the group is killed after the launching parent's exit.
  std::optional<Duration> parent_deadline_;
  // Terminal signals handled so far (saturating).
  uint32_t signals_received_ = 0;
  // A terminal signal killed the group: it is to be dead.
  bool group_killed_ = false;
  // Kills repeated on a group that outlived that kill (saturating), for the
  // record budget.
  uint32_t repeated_kills_ = 0;
  // The machine has reached supervisor_error; sampling stops.
  bool observation_failed_ = false;
};

}  // namespace vek_guard::runtime

#endif  // VEK_GUARD_CLI_OBSERVE_MODE_H_
