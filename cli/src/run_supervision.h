// `run` mode's supervision: the loop, the policy dispatch and the
// intervention records.
#ifndef VEK_GUARD_CLI_RUN_SUPERVISION_H_
#define VEK_GUARD_CLI_RUN_SUPERVISION_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "supervision.h"
#include "vek_guard/intervention.h"
#include "vek_guard/policy.h"
#include "vek_guard/report.h"

namespace vek_guard::runtime {

// Latch of the client's checkpoint negotiation: pending until it completes
// (ready) or cannot (unavailable); it never moves back.
enum class CheckpointReadiness : uint8_t { Pending, Ready, Unavailable };

// Every object and flag of one `run` supervision, owned by supervise_run for
// the whole run. `common` is declared last so that it is released first: the
// owned group is dealt with before anything else goes.
struct RunSupervision {
  PolicyMachine policy;
  InterventionEvidence evidence;
  ProcessInterventionActuator actuator;
  CheckpointRecord checkpoint_record;
  // Names the first entry into supervisor_error.
  std::optional<std::string_view> fault_label;
  bool intervened = false;
  bool root_exit_reported = false;
  CheckpointReadiness checkpoint_readiness = CheckpointReadiness::Pending;
  // Reason of the first decision out of normal or warning.
  std::optional<SignalReason> intervention_reason;
  // Reason given to the next group signal record.
  std::optional<SignalReason> next_signal_reason;
  // Terminal signals dispatched so far (saturating).
  uint32_t terminal_signals_received = 0;
  SupervisionCommon common;
};

// Runs the loop until the root has exited and the group is gone (or a
// process-control operation fails), then journals the final records,
// publishes the report and returns the run's outcome.
cli::ExecutionOutcome supervise_run(RunSupervision supervision);

// Applies one event to the policy machine, carries out its actions, journals
// the transition and the signal records, and keeps the checkpoint record.
void dispatch_policy_input(RunSupervision& run, const PolicyEvent& event);

}  // namespace vek_guard::runtime

#endif  // VEK_GUARD_CLI_RUN_SUPERVISION_H_
