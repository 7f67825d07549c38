#include <signal.h>

#include <algorithm>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "run_supervision.h"

namespace vek_guard::runtime {
namespace {

bool is_one_of(PolicyState state, std::initializer_list<PolicyState> states) {
  return std::find(states.begin(), states.end(), state) != states.end();
}

// What the dispatch of one event records about the state changes it causes.
struct DispatchContext {
  std::optional<SignalReason> reason_candidate;
  std::string_view label_candidate;
  std::optional<uint64_t> transition_footprint;
  // Room in the journal for the records of this event.
  RecordRoom room = RecordRoom::Kept;
};

std::optional<InterventionCommand> command_for(const PolicyAction& action) {
  if (const auto* request = action.get_if<PolicyAction::RequestCheckpoint>()) return *request;
  if (const auto* terminate = action.get_if<PolicyAction::Terminate>()) return *terminate;
  if (const auto* kill = action.get_if<PolicyAction::Kill>()) return *kill;
  if (const auto* forward = action.get_if<PolicyAction::ForwardSignal>()) return *forward;
  return std::nullopt;
}

void record_state_change(RunSupervision& run, const DispatchContext& context, PolicyState from,
                         PolicyState to, Duration at) {
  if (is_one_of(from, {PolicyState::Normal, PolicyState::Warning}) &&
      is_one_of(to, {PolicyState::CheckpointRequested, PolicyState::Terminating,
                     PolicyState::Emergency}) &&
      !run.intervention_reason) {
    run.intervention_reason = context.reason_candidate;
  } else if (to == PolicyState::SupervisorError && !run.fault_label) {
    run.fault_label = context.label_candidate;
  }
  TransitionRecord transition;
  transition.at_ms = at.as_millis_saturating();
  transition.from = from;
  transition.to = to;
  transition.aggregate_footprint_bytes = context.transition_footprint;
  // A footprint swinging across the warning band makes one of these every
  // few samples for as long as it runs; they are the first to give way.
  const bool flapping = is_one_of(from, {PolicyState::Normal, PolicyState::Warning}) &&
                        is_one_of(to, {PolicyState::Normal, PolicyState::Warning});
  journal_event(run.common.journal, JournalEntry::transition(transition), true,
                flapping ? RecordRoom::Optional : context.room);
}

// Applies the event, carries out each resulting action in order, and feeds
// every failed intervention back to the machine at the same time; the actions
// that answer a failure are carried out after those already queued.
void execute_intervention(RunSupervision& run, const PolicyEvent& event,
                          const DispatchContext& context) {
  const Duration at = event.time();
  PolicyState before = run.policy.state();
  PolicyActions actions = run.policy.apply(event);
  if (run.policy.state() != before)
    record_state_change(run, context, before, run.policy.state(), at);

  std::deque<PolicyAction> queue(actions.begin(), actions.end());
  while (!queue.empty()) {
    const PolicyAction action = queue.front();
    queue.pop_front();
    const std::optional<InterventionCommand> command = command_for(action);
    if (!command) continue;
    const InterventionResult result = run.actuator.execute(at, *command);
    run.evidence.record_result(at, *command, result);
    if (result.ok()) continue;
    before = run.policy.state();
    PolicyActions answer = run.policy.apply(
        PolicyEvent::InterventionFailed{at, command->kind(), static_cast<uint8_t>(result.error())});
    if (run.policy.state() != before) {
      record_state_change(run, context, before, run.policy.state(), at);
    }
    queue.insert(queue.end(), answer.begin(), answer.end());
  }
}

SignalResult signal_result_of(const InterventionAttempt& attempt) {
  if (!attempt.failed) {
    return attempt.code == static_cast<uint8_t>(SignalDelivery::ProcessMissing)
               ? SignalResult::ProcessMissing
               : SignalResult::Delivered;
  }
  switch (static_cast<InterventionFailure>(attempt.code)) {
    case InterventionFailure::EndpointMissing:
      return SignalResult::ProcessMissing;
    case InterventionFailure::PermissionDenied:
      return SignalResult::PermissionDenied;
    default:
      return SignalResult::Failed;
  }
}

// Turns one new intervention attempt into its records: the reason it carries,
// the checkpoint record and, unless the request never reached the signal
// step, a signal record.
void record_attempt(RunSupervision& run, const InterventionAttempt& attempt, RecordRoom room) {
  const InterventionCommand& command = attempt.command;
  const uint64_t issued_ms = attempt.issued_at.as_millis_saturating();
  std::optional<SignalReason> reason = run.intervention_reason;
  uint8_t signal_number = 0;
  SignalTarget target = SignalTarget::OwnedProcessGroup;

  switch (command.kind()) {
    case InterventionKind::Kill:
      reason = run.next_signal_reason ? run.next_signal_reason : run.intervention_reason;
      signal_number = SIGKILL;
      break;
    case InterventionKind::ForwardedSignal:
      reason = SignalReason::ExternalSignal;
      signal_number = command.get_if<InterventionCommand::Signal>()->signal;
      break;
    case InterventionKind::Terminate: {
      const TerminateReason terminate_reason =
          command.get_if<InterventionCommand::Terminate>()->reason;
      switch (terminate_reason) {
        case TerminateReason::ObservationFailure:
          reason = SignalReason::ObservationFailure;
          break;
        case TerminateReason::SupervisorFault:
          reason = SignalReason::SupervisorFault;
          break;
        case TerminateReason::RootExitCleanup:
          reason = SignalReason::RootExitCleanup;
          break;
        case TerminateReason::ParentExit:
          reason = SignalReason::ParentExit;
          break;
        default:
          break;
      }
      signal_number = SIGTERM;
      if (terminate_reason == TerminateReason::CheckpointTimedOut) {
        run.checkpoint_record.status = CheckpointStatus::TimedOut;
        run.checkpoint_record.at_ms = issued_ms;
      }
      break;
    }
    case InterventionKind::CheckpointRequest:
      signal_number = static_cast<uint8_t>(process_control::checkpoint_signal_usr1());
      target = SignalTarget::CooperativeEndpoint;
      run.checkpoint_record.reason = reason;
      if (!attempt.failed) {
        run.checkpoint_record.request_id =
            command.get_if<InterventionCommand::RequestCheckpoint>()->request_id;
        run.checkpoint_record.status = CheckpointStatus::RequestedUnverified;
        run.checkpoint_record.at_ms = issued_ms;
      } else if (run.checkpoint_readiness == CheckpointReadiness::Ready) {
        run.checkpoint_record.status = CheckpointStatus::Cancelled;
        run.checkpoint_record.at_ms = issued_ms;
      }
      break;
  }
  if (command.kind() != InterventionKind::CheckpointRequest) run.next_signal_reason = reason;

  if (command.kind() == InterventionKind::CheckpointRequest && attempt.failed &&
      (attempt.code == static_cast<uint8_t>(InterventionFailure::CheckpointUnavailable) ||
       attempt.code == static_cast<uint8_t>(InterventionFailure::CheckpointRefused))) {
    return;  // the request never reached the endpoint signal
  }
  SignalRecord record;
  record.at_ms = issued_ms;
  record.signal = signal_number;
  record.target = target;
  record.result = signal_result_of(attempt);
  record.reason = reason;
  journal_event(run.common.journal, JournalEntry::signal(record), true, room);
}

void poll_checkpoint_progress(RunSupervision& run) {
  const Duration now = run.common.now();
  if (run.checkpoint_readiness == CheckpointReadiness::Unavailable) return;
  if (run.checkpoint_readiness == CheckpointReadiness::Pending) {
    const Result<bool, InterventionFailure> ready = run.actuator.poll_checkpoint_ready();
    if (!ready) {
      run.checkpoint_readiness = CheckpointReadiness::Unavailable;
      return;
    }
    if (!*ready) return;
    run.checkpoint_readiness = CheckpointReadiness::Ready;
  }
  if (run.policy.state() != PolicyState::CheckpointRequested) return;
  Result<CheckpointProgress, InterventionFailure> progress = run.actuator.poll_checkpoint(now);
  if (!progress) {
    dispatch_policy_input(run,
                          PolicyEvent::InterventionFailed{now, InterventionKind::CheckpointRequest,
                                                          static_cast<uint8_t>(progress.error())});
    return;
  }
  if (progress->artifact) run.checkpoint_record.artifact = progress->artifact;
  if (progress->event) dispatch_policy_input(run, *progress->event);
}

// Feeds the fault to the machine and, when it decided to terminate, waits for
// its deadline and feeds the tick that escalates; the group is not examined
// again while waiting.
std::string fail_closed(RunSupervision& run, std::string error_text) {
  dispatch_policy_input(run, PolicyEvent::SupervisorFault{run.common.now()});
  std::optional<Duration> deadline;
  switch (run.policy.state()) {
    case PolicyState::CheckpointRequested:
      deadline = run.policy.checkpoint_deadline();
      break;
    case PolicyState::Terminating:
    case PolicyState::SupervisorError:
      deadline = run.policy.grace_deadline();
      break;
    default:
      break;
  }
  if (!deadline) return error_text;
  while (true) {
    const Duration now = run.common.now();
    if (now >= *deadline) {
      dispatch_policy_input(run, PolicyEvent::Tick{now});
      return error_text;
    }
    // A plain timed wait: neither a signal nor the root cuts it short.
    wait_for(deadline->saturating_sub(now), nullptr, nullptr);
  }
}

Duration sleep_after_pass(const RunSupervision& run, Duration tick_at) {
  const Duration delay =
      run.common.sampler.delay_until_next(tick_at).value_or(run.common.sample_interval);
  std::optional<Duration> deadline;
  const PolicyState state = run.policy.state();
  if (state == PolicyState::CheckpointRequested) {
    deadline = run.policy.checkpoint_deadline();
  } else if (state == PolicyState::Terminating || state == PolicyState::SupervisorError) {
    deadline = run.policy.grace_deadline();
  } else if (state == PolicyState::Normal || state == PolicyState::Warning) {
    // Only a tick acts on the wall time, so a long sample interval must not
    // carry the run past it.
    deadline = run.policy.config().wall_time;
  }
  if (!deadline) return delay;
  const Duration remaining = deadline->saturating_sub(tick_at);
  return std::min(delay, remaining);
}

}  // namespace

void dispatch_policy_input(RunSupervision& run, const PolicyEvent& event) {
  const PolicyState state = run.policy.state();
  DispatchContext context;
  if (event.get_if<PolicyEvent::TerminalSignal>() != nullptr) {
    run.next_signal_reason = SignalReason::ExternalSignal;
    if (run.terminal_signals_received != UINT32_MAX) ++run.terminal_signals_received;
    if (run.terminal_signals_received > kKeptTerminalSignals) context.room = RecordRoom::Optional;
  } else if (event.get_if<PolicyEvent::RootExited>() != nullptr &&
             is_one_of(state, {PolicyState::Normal, PolicyState::Warning,
                               PolicyState::CheckpointRequested})) {
    run.next_signal_reason = SignalReason::RootExitCleanup;
  } else if (event.get_if<PolicyEvent::ParentExited>() != nullptr &&
             is_one_of(state, {PolicyState::Normal, PolicyState::Warning})) {
    run.next_signal_reason = SignalReason::ParentExit;
  } else if (const auto* ack = event.get_if<PolicyEvent::CheckpointAcknowledged>();
             ack != nullptr && ack->accepted) {
    run.checkpoint_record.status = CheckpointStatus::AcknowledgedUnverifiedDurability;
    run.checkpoint_record.at_ms = ack->at.as_millis_saturating();
  }

  context.label_candidate = "supervision failed closed";
  if (event.get_if<PolicyEvent::Sample>() != nullptr) {
    context.reason_candidate = SignalReason::Footprint;
    context.label_candidate = "footprint observation failed";
  } else if (event.get_if<PolicyEvent::Tick>() != nullptr) {
    context.reason_candidate = SignalReason::WallTime;
  } else if (event.get_if<PolicyEvent::InterventionFailed>() != nullptr) {
    context.label_candidate = "signal delivery failed";
  } else if (event.get_if<PolicyEvent::SupervisorFault>() != nullptr) {
    context.label_candidate = "supervisor fault";
  }
  if (const uint64_t* footprint = run.common.last_aggregate.value()) {
    context.transition_footprint = *footprint;
  }

  const uint64_t attempts_before = run.evidence.attempts();
  execute_intervention(run, event, context);
  const uint64_t grown =
      run.evidence.attempts() >= attempts_before ? run.evidence.attempts() - attempts_before : 0;
  const std::vector<InterventionAttempt> fresh = run.evidence.newest(grown);

  const bool counts = event.get_if<PolicyEvent::TerminalSignal>() == nullptr &&
                      event.get_if<PolicyEvent::RootExited>() == nullptr;
  if (counts && !fresh.empty()) run.intervened = true;
  // Once terminating, a sample leads to an attempt only through the emergency
  // band: that SIGKILL is the footprint's doing, whatever the SIGTERM before it
  // was for (a wall-time SIGTERM must not lend the kill its reason).
  if (event.get_if<PolicyEvent::Sample>() != nullptr && !fresh.empty() &&
      is_one_of(state, {PolicyState::Terminating, PolicyState::SupervisorError})) {
    run.next_signal_reason = SignalReason::Footprint;
  }
  for (const InterventionAttempt& attempt : fresh) record_attempt(run, attempt, context.room);
}

cli::ExecutionOutcome supervise_run(RunSupervision run) {
  SupervisionCommon& common = run.common;
  std::optional<std::string> control_error;
  while (true) {
    if (Result<void, ControlError> polled = common.poll_root(); !polled) {
      control_error = std::string(polled.error().message());
      break;
    }
    Result<bool, ControlError> exists = common.group_exists();
    if (!exists) {
      control_error = std::string(exists.error().message());
      break;
    }
    if (common.root_status && !*exists) break;

    const Duration now = common.now();
    if (common.check_parent(now) && !common.detach_on_parent_exit) {
      dispatch_policy_input(run, PolicyEvent::ParentExited{now});
    }

    if (common.root_status && *exists && !run.root_exit_reported) {
      run.root_exit_reported = true;
      poll_checkpoint_progress(run);
      dispatch_policy_input(run, PolicyEvent::RootExited{common.now()});
    }

    poll_checkpoint_progress(run);

    Result<std::vector<uint8_t>, ControlError> signals = common.terminal_signals.poll();
    if (!signals) {
      control_error = std::string(signals.error().message());
      break;
    }
    for (const uint8_t signal_number : *signals) {
      dispatch_policy_input(run, PolicyEvent::TerminalSignal{common.now(), signal_number});
    }

    const SupervisionCommon::SampleStep sample = common.take_sample();
    dispatch_policy_input(run, sample.event);

    const Duration tick_at = common.now();
    dispatch_policy_input(run, PolicyEvent::Tick{tick_at});

    const Duration pause = sleep_after_pass(run, tick_at);
    if (!pause.is_zero()) common.sleep(pause);
  }

  if (control_error) control_error = fail_closed(run, *control_error);

  const Duration finished_at = common.now();
  if (!control_error) {
    std::optional<uint64_t> final_footprint;
    if (const uint64_t* value = common.last_aggregate.value()) final_footprint = *value;
    dispatch_policy_input(run, PolicyEvent::ChildExited{final_footprint, finished_at});
  }

  TerminalKind kind = TerminalKind::of(TerminalKind::Tag::SupervisorFailure);
  std::optional<std::string> message;
  if (control_error) {
    message = *control_error;
  } else if (run.fault_label) {
    message = std::string(*run.fault_label);
  } else if (run.intervened) {
    kind = TerminalKind::of(TerminalKind::Tag::PolicyIntervention);
  } else if (!common.root_status) {
    message = "supervision ended without an observed root status";
  } else {
    kind = kind_of_status(*common.root_status);
  }

  TerminalOutcome outcome;
  outcome.at_ms = finished_at.as_millis_saturating();
  outcome.kind = kind;
  outcome.final_footprint_bytes = common.last_aggregate;
  outcome.child_status = common.root_status;
  outcome.parent_exited_at_ms = common.parent_exited_at_ms;
  common.append_final_records(run.checkpoint_record, std::nullopt, outcome);
  return common.publish(kind, message);
}

}  // namespace vek_guard::runtime
