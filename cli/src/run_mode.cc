#include "run_mode.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <deque>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "vek_guard/checkpoint.h"
#include "vek_guard/coding.h"
#include "vek_guard/fd_io.h"
#include "vek_guard/random_source.h"

namespace vek_guard::runtime {
namespace {

using Tag = TerminalKind::Tag;

constexpr std::string_view kDescriptorLimitTooLow =
    "open-file limit is too low for the checkpoint descriptor 198 (ulimit -n must allow 199)";

bool is_one_of(PolicyState state, std::initializer_list<PolicyState> states) {
  return std::find(states.begin(), states.end(), state) != states.end();
}

std::optional<InterventionCommand> command_for(const PolicyAction& action) {
  if (const auto* request = action.get_if<PolicyAction::RequestCheckpoint>()) return *request;
  if (const auto* terminate = action.get_if<PolicyAction::Terminate>()) return *terminate;
  if (const auto* kill = action.get_if<PolicyAction::Kill>()) return *kill;
  if (const auto* forward = action.get_if<PolicyAction::ForwardSignal>()) return *forward;
  return std::nullopt;
}

// How the group signal (or the checkpoint signal) of an attempt went. A
// successful attempt carries its SignalDelivery (Delivered, or
// ProcessMissing for a group already gone); a failed one its
// InterventionFailure.
SignalResult attempt_signal_result(const InterventionAttempt& attempt) {
  if (!attempt.failed) return signal_result_of(static_cast<SignalDelivery>(attempt.code));
  switch (static_cast<InterventionFailure>(attempt.code)) {
    case InterventionFailure::EndpointMissing:
      return SignalResult::ProcessMissing;
    case InterventionFailure::PermissionDenied:
      return SignalResult::PermissionDenied;
    default:
      return SignalResult::Failed;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Start-up.

ReportConfiguration run_report_configuration(const PolicyConfig& config, Duration interval) {
  ReportConfiguration report;
  report.mode = ReportMode::Enforce;
  report.max_footprint_bytes = config.max_footprint_bytes;
  report.warning_footprint_bytes = config.warning_footprint_bytes;
  report.recovery_footprint_bytes = config.recovery_footprint_bytes;
  report.emergency_footprint_bytes = config.emergency_footprint_bytes;
  report.required_breach_samples = config.required_breach_samples;
  report.max_missing_samples = config.max_missing_samples;
  if (config.wall_time) report.wall_time_ms = config.wall_time->as_millis_saturating();
  report.sample_interval_ms = interval.as_millis_saturating();
  report.max_sample_age_ms = config.max_sample_age.as_millis_saturating();
  report.max_sample_window_ms = config.max_sample_window.as_millis_saturating();
  if (config.checkpoint_timeout) {
    report.checkpoint_timeout_ms = config.checkpoint_timeout->as_millis_saturating();
  }
  report.term_grace_ms = config.term_grace.as_millis_saturating();
  return report;
}

cli::ExecutionOutcome execute_run(const cli::NormalizedCommand& command,
                                  const cli::NormalizedRun& run) {
  const cli::NormalizedCommon& common = command.common;
  Result<ClientReady, cli::ExecutionOutcome> ready = take_client_ready(common.client_ready_fd);
  if (!ready) return ready.error();

  // Refused here, before anything exists: with a journal already on disk the
  // launch would fail on descriptor 198 and leave the report path blocked.
  Result<std::optional<uint64_t>, LaunchError> room =
      process_control::make_room_for_checkpoint_descriptor();
  if (!room) return cli::failure_outcome(Tag::InvalidConfiguration, kDescriptorLimitTooLow);

  std::optional<RandomSource> random = RandomSource::open();
  CheckpointNonce nonce{};
  if (!random || !random->fill(nonce)) {
    return cli::failure_outcome(Tag::SupervisorFailure,
                                "secure checkpoint nonce generation failed");
  }
  // Request id 0 is never used: the client could not tell it from no
  // request at all.
  uint64_t request_id = 0;
  while (request_id == 0) {
    std::array<uint8_t, 8> bytes{};
    if (!random->fill(bytes)) {
      return cli::failure_outcome(Tag::SupervisorFailure,
                                  "secure checkpoint request-id generation failed");
    }
    request_id = decode_be64(bytes.data());
  }
  Result<CheckpointChannelPair, CheckpointChannelError> pair = CheckpointChannel::pair(nonce);
  random.reset();
  if (!pair) return cli::failure_outcome(Tag::SupervisorFailure, pair.error().message());
  CheckpointChannel channel = std::move(pair->channel);

  // The policy's bounds come from the limit and the interval alone, so
  // building them here changes no failure order. A limit whose band does not
  // fit (the command line refuses it first) fails as the machine would.
  Result<PolicyConfig, PolicyConfigError> policy_config = enforcement_config(
      run.max_footprint_bytes, common.sample_interval, run.wall_time, run.checkpoint_timeout);
  Result<PolicyMachine, PolicyConfigError> machine =
      policy_config ? PolicyMachine::enforce_with_initial_request_id(*policy_config, request_id)
                    : Result<PolicyMachine, PolicyConfigError>(unexpected(policy_config.error()));
  if (!machine)
    return cli::failure_outcome(Tag::InvalidConfiguration, error_message(machine.error()));
  const std::string enforcing_line = "vek-guard: enforcing a " +
                                     std::to_string(policy_config->max_footprint_bytes) +
                                     "-byte footprint limit; emergency KILL at " +
                                     std::to_string(policy_config->emergency_footprint_bytes) +
                                     " bytes, about 10% above the limit";
  // Written before the command exists, so that the client finds it waiting.
  if (Result<void, CheckpointChannelError> sent = channel.begin_negotiation(); !sent) {
    return cli::failure_outcome(Tag::SupervisorFailure, sent.error().message());
  }

  Result<StartedCommand, cli::ExecutionOutcome> started = start_command(
      command,
      StartPlan{
          .configuration = run_report_configuration(*policy_config, common.sample_interval),
          .checkpoint_child_end = std::move(pair->child_end),
          // The command gets back the descriptor limit it was started with.
          .descriptor_soft_limit = *room,
          // Near the limit a forked family is counted by what it holds, not
          // once per member that maps its shared pages; past the emergency
          // band nothing is left to read for.
          .refinement = ShareRefinement::at_level(policy_config->warning_footprint_bytes,
                                                  policy_config->emergency_footprint_bytes),
          // A limit that a killed supervisor stopped enforcing must not leave
          // the command running unchecked.
          .command_dies_with_supervisor = true,
      });
  if (!started) return started.error();
  write_line_without_waiting(STDERR_FILENO, enforcing_line);

  // Declared in the order they must outlive each other: the supervisor goes
  // first (the group with it), the channel last.
  ProcessInterventionActuator actuator(&channel, *started->endpoint,
                                       started->parts.owned.control_handle(),
                                       process_control::checkpoint_signal_usr1());
  RunMode mode(std::move(*machine), actuator);
  MonotonicRunClock clock;
  Supervisor supervisor(std::move(started->parts), clock);
  std::move(*ready).notify();
  return supervisor.supervise(mode);
}

// ---------------------------------------------------------------------------
// The loop.

RunMode::RunMode(PolicyMachine policy, InterventionActuator& actuator)
    : policy_(std::move(policy)), actuator_(actuator) {}

Result<SupervisionMode::AfterGroup, ControlError> RunMode::after_group(Supervisor& supervisor,
                                                                       bool group_exists) {
  if (supervisor.root_status() && !group_exists) return AfterGroup::EndLoop;
  return AfterGroup::WatchParent;
}

Result<void, ControlError> RunMode::on_parent_exit(Supervisor& supervisor, Duration now) {
  dispatch_policy_input(supervisor, PolicyEvent::ParentExited{now});
  return {};
}

void RunMode::before_signals(Supervisor& supervisor, bool group_exists, Duration now) {
  if (supervisor.group_running()) dispatch_policy_input(supervisor, PolicyEvent::GroupAlive{now});
  if (supervisor.root_status() && group_exists && !root_exit_reported_) {
    root_exit_reported_ = true;
    poll_checkpoint_progress(supervisor);
    dispatch_policy_input(supervisor, PolicyEvent::RootExited{supervisor.now()});
  }
  poll_checkpoint_progress(supervisor);
}

Result<void, ControlError> RunMode::on_terminal_signal(Supervisor& supervisor, uint8_t signal) {
  dispatch_policy_input(supervisor, PolicyEvent::TerminalSignal{supervisor.now(), signal});
  return {};
}

void RunMode::on_sample(Supervisor& supervisor, const SampleTaken& sample) {
  dispatch_policy_input(supervisor, sample.event);
}

std::optional<Duration> RunMode::wait_before_next_pass(Supervisor& supervisor) {
  const Duration tick_at = supervisor.now();
  dispatch_policy_input(supervisor, PolicyEvent::Tick{tick_at});

  const Duration delay = supervisor.next_sample_delay(tick_at);
  std::optional<Duration> deadline;
  const PolicyState state = policy_.state();
  if (state == PolicyState::CheckpointRequested) {
    deadline = policy_.checkpoint_deadline();
  } else if (state == PolicyState::Terminating || state == PolicyState::SupervisorError) {
    deadline = policy_.grace_deadline();
  } else if (state == PolicyState::Normal || state == PolicyState::Warning) {
    // Only a tick acts on the wall time, so a long sample interval must not
    // carry the run past it.
    deadline = policy_.config().wall_time;
  }
  if (!deadline) return delay;
  return std::min(delay, deadline->saturating_sub(tick_at));
}

Closing RunMode::close(Supervisor& supervisor, const std::optional<ControlError>& control_error) {
  if (control_error) terminate_after_fault(supervisor);
  const Duration finished_at = supervisor.now();
  // A loop that ended normally saw the root exit and the group go: the
  // policy learns the run is over. One that failed leaves the policy where
  // terminate_after_fault brought it.
  if (!control_error) {
    std::optional<uint64_t> final_footprint;
    if (const uint64_t* value = supervisor.last_aggregate().value()) final_footprint = *value;
    dispatch_policy_input(supervisor, PolicyEvent::ChildExited{final_footprint, finished_at});
  }

  Closing closing{.at = finished_at,
                  .kind = TerminalKind::of(Tag::SupervisorFailure),
                  .child_status = supervisor.root_status(),
                  .checkpoint = checkpoint_record_};
  if (control_error) {
    closing.message = std::string(control_error->message());
  } else if (fault_label_) {
    closing.message = std::string(*fault_label_);
  } else if (intervened_) {
    closing.kind = TerminalKind::of(Tag::PolicyIntervention);
  } else if (!supervisor.root_status()) {
    closing.message = "supervision ended without an observed root status";
  } else {
    closing.kind = kind_of_status(*supervisor.root_status());
  }
  return closing;
}

void RunMode::dispatch_policy_input(Supervisor& supervisor, const PolicyEvent& event) {
  // Bookkeeping in the state before the event: what the coming group signal
  // is for, and an accepted acknowledgement.
  const PolicyState state = policy_.state();
  DispatchContext context;
  if (event.get_if<PolicyEvent::TerminalSignal>() != nullptr) {
    next_signal_reason_ = SignalReason::ExternalSignal;
    if (terminal_signals_received_ != UINT32_MAX) ++terminal_signals_received_;
    // A flood of terminal signals is acted on in full, but past the first
    // ones its records are the first to give way to the budget.
    if (terminal_signals_received_ > kKeptTerminalSignals) context.room = RecordRoom::Optional;
  } else if (event.get_if<PolicyEvent::RootExited>() != nullptr &&
             is_one_of(state, {PolicyState::Normal, PolicyState::Warning,
                               PolicyState::CheckpointRequested})) {
    next_signal_reason_ = SignalReason::RootExitCleanup;
  } else if (event.get_if<PolicyEvent::ParentExited>() != nullptr &&
             is_one_of(state, {PolicyState::Normal, PolicyState::Warning})) {
    next_signal_reason_ = SignalReason::ParentExit;
  } else if (event.get_if<PolicyEvent::GroupAlive>() != nullptr &&
             state == PolicyState::Emergency) {
    // A group that will not die is killed on every pass for as long as it
    // lives; past the first few of those kills, their records give way first.
    if (repeated_kills_ != UINT32_MAX) ++repeated_kills_;
    if (repeated_kills_ > kKeptRepeatedKills) context.room = RecordRoom::Optional;
  } else if (const auto* ack = event.get_if<PolicyEvent::CheckpointAcknowledged>();
             ack != nullptr && ack->accepted) {
    checkpoint_record_.status = CheckpointStatus::AcknowledgedUnverifiedDurability;
    checkpoint_record_.at_ms = ack->at.as_millis_saturating();
  }

  // What a decision out of normal or warning, or an entry into
  // supervisor_error, is put down to: only samples and ticks can decide to
  // intervene (the footprint, the wall time).
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
  if (const uint64_t* footprint = supervisor.last_aggregate().value()) {
    context.transition_footprint = *footprint;
  }

  // The evidence counts every attempt ever made; its growth across the
  // dispatch is this event's attempts (the ring keeps the newest 64, far more
  // than one dispatch makes).
  const uint64_t attempts_before = evidence_.attempts();
  execute_intervention(supervisor, event, context);
  const uint64_t grown =
      evidence_.attempts() >= attempts_before ? evidence_.attempts() - attempts_before : 0;
  const std::vector<InterventionAttempt> fresh = evidence_.newest(grown);

  // The intervened rule. A terminal signal is the user's request, carried
  // out by forwarding it (or killing on a second one), and the SIGTERM that
  // follows the root's exit only clears out members the root left behind:
  // neither is the supervisor stepping in, so a run whose command then ends
  // by itself keeps the command's own status. Every other attempt (a
  // checkpoint request, a SIGTERM or SIGKILL for the footprint, the wall time
  // or the parent's exit, and a SIGKILL that a later tick or sample decides
  // after any of these) makes the run a policy intervention. A kill repeated
  // because the group outlived it is the same decision carried through, and
  // counts as the kill it repeats already did.
  const bool counts = event.get_if<PolicyEvent::TerminalSignal>() == nullptr &&
                      event.get_if<PolicyEvent::RootExited>() == nullptr &&
                      event.get_if<PolicyEvent::GroupAlive>() == nullptr;
  if (counts && !fresh.empty()) intervened_ = true;
  // Once terminating, a sample leads to an attempt only through the emergency
  // band: that SIGKILL is the footprint's doing, whatever the SIGTERM before it
  // was for (a wall-time SIGTERM must not lend the kill its reason).
  if (event.get_if<PolicyEvent::Sample>() != nullptr && !fresh.empty() &&
      is_one_of(state, {PolicyState::Terminating, PolicyState::SupervisorError})) {
    next_signal_reason_ = SignalReason::Footprint;
  }
  for (const InterventionAttempt& attempt : fresh)
    record_attempt(supervisor, attempt, context.room);
}

void RunMode::execute_intervention(Supervisor& supervisor, const PolicyEvent& event,
                                   const DispatchContext& context) {
  const Duration at = event.time();
  // The state changes are journaled, in the order they happened, once the
  // actions they call for have gone out: each transition record is synced to
  // disk, which takes a millisecond or more, and tens of them on a busy disk,
  // so a SIGKILL at the emergency band must not wait for it. The journal
  // holds the same records in the same order either way.
  std::vector<std::pair<PolicyState, PolicyState>> changes;
  PolicyState before = policy_.state();
  PolicyActions actions = policy_.apply(event);
  if (policy_.state() != before) changes.emplace_back(before, policy_.state());

  // A failed intervention goes back to the machine at once, at the same time;
  // what it answers is carried out after the actions already queued.
  std::deque<PolicyAction> queue(actions.begin(), actions.end());
  while (!queue.empty()) {
    const PolicyAction action = queue.front();
    queue.pop_front();
    const std::optional<InterventionCommand> command = command_for(action);
    if (!command) continue;
    const InterventionResult result = actuator_.execute(at, *command);
    evidence_.record_result(at, *command, result);
    if (result.ok()) continue;
    before = policy_.state();
    PolicyActions answer = policy_.apply(
        PolicyEvent::InterventionFailed{at, command->kind(), static_cast<uint8_t>(result.error())});
    if (policy_.state() != before) changes.emplace_back(before, policy_.state());
    queue.insert(queue.end(), answer.begin(), answer.end());
  }
  for (const auto& [from, to] : changes) record_state_change(supervisor, context, from, to, at);
}

void RunMode::record_state_change(Supervisor& supervisor, const DispatchContext& context,
                                  PolicyState from, PolicyState to, Duration at) {
  if (is_one_of(from, {PolicyState::Normal, PolicyState::Warning}) &&
      is_one_of(to, {PolicyState::CheckpointRequested, PolicyState::Terminating,
                     PolicyState::Emergency}) &&
      !intervention_reason_) {
    intervention_reason_ = context.reason_candidate;
  } else if (to == PolicyState::SupervisorError && !fault_label_) {
    fault_label_ = context.label_candidate;
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
  supervisor.record(JournalEntry::transition(transition), true,
                    flapping ? RecordRoom::Optional : context.room);
}

// One new intervention attempt becomes the reason it carries, the checkpoint
// record's progress and, unless the request never reached the signal step, a
// signal record.
void RunMode::record_attempt(Supervisor& supervisor, const InterventionAttempt& attempt,
                             RecordRoom room) {
  const InterventionCommand& command = attempt.command;
  const uint64_t issued_ms = attempt.issued_at.as_millis_saturating();
  std::optional<SignalReason> reason = intervention_reason_;
  uint8_t signal_number = 0;
  SignalTarget target = SignalTarget::OwnedProcessGroup;

  switch (command.kind()) {
    case InterventionKind::Kill:
      // A SIGKILL finishes what the signal before it started: after a
      // forwarded SIGINT it is the user's, after a root-exit cleanup the
      // cleanup's.
      reason = next_signal_reason_ ? next_signal_reason_ : intervention_reason_;
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
        default:  // the checkpoint's outcomes: the run's own reason
          break;
      }
      signal_number = SIGTERM;
      if (terminate_reason == TerminateReason::CheckpointTimedOut) {
        checkpoint_record_.status = CheckpointStatus::TimedOut;
        checkpoint_record_.at_ms = issued_ms;
      }
      break;
    }
    case InterventionKind::CheckpointRequest:
      signal_number = static_cast<uint8_t>(process_control::checkpoint_signal_usr1());
      target = SignalTarget::CooperativeEndpoint;
      checkpoint_record_.reason = reason;
      if (!attempt.failed) {
        checkpoint_record_.request_id =
            command.get_if<InterventionCommand::RequestCheckpoint>()->request_id;
        checkpoint_record_.status = CheckpointStatus::RequestedUnverified;
        checkpoint_record_.at_ms = issued_ms;
      } else if (checkpoint_readiness_ == CheckpointReadiness::Ready) {
        // A client that negotiated had its request cancelled; one that never
        // did was never asked, and its record stays not_negotiated.
        checkpoint_record_.status = CheckpointStatus::Cancelled;
        checkpoint_record_.at_ms = issued_ms;
      }
      break;
  }
  if (command.kind() != InterventionKind::CheckpointRequest) next_signal_reason_ = reason;

  if (command.kind() == InterventionKind::CheckpointRequest && attempt.failed &&
      (attempt.code == static_cast<uint8_t>(InterventionFailure::CheckpointUnavailable) ||
       attempt.code == static_cast<uint8_t>(InterventionFailure::CheckpointRefused))) {
    return;  // the request never reached the endpoint signal
  }
  SignalRecord record;
  record.at_ms = issued_ms;
  record.signal = signal_number;
  record.target = target;
  record.result = attempt_signal_result(attempt);
  record.reason = reason;
  supervisor.record(JournalEntry::signal(record), true, room);
}

void RunMode::poll_checkpoint_progress(Supervisor& supervisor) {
  const Duration now = supervisor.now();
  if (checkpoint_readiness_ == CheckpointReadiness::Unavailable) return;
  if (checkpoint_readiness_ == CheckpointReadiness::Pending) {
    const Result<bool, InterventionFailure> ready = actuator_.poll_checkpoint_ready();
    if (!ready) {
      checkpoint_readiness_ = CheckpointReadiness::Unavailable;
      return;
    }
    if (!*ready) return;
    checkpoint_readiness_ = CheckpointReadiness::Ready;
  }
  if (policy_.state() != PolicyState::CheckpointRequested) return;
  Result<CheckpointProgress, InterventionFailure> progress = actuator_.poll_checkpoint(now);
  if (!progress) {
    dispatch_policy_input(supervisor,
                          PolicyEvent::InterventionFailed{now, InterventionKind::CheckpointRequest,
                                                          static_cast<uint8_t>(progress.error())});
    return;
  }
  if (progress->artifact) checkpoint_record_.artifact = progress->artifact;
  if (progress->event) dispatch_policy_input(supervisor, *progress->event);
}

// The supervisor can no longer look after the group (a wait, the group
// query or the signal monitor failed), so the group must not outlive it
// unwatched: the fault goes to the machine, which decides SIGTERM unless it
// was already stopping the group, and once the pending deadline has passed a
// tick lets it escalate to SIGKILL. The group is not looked at again while
// waiting: that is what just failed.
void RunMode::terminate_after_fault(Supervisor& supervisor) {
  dispatch_policy_input(supervisor, PolicyEvent::SupervisorFault{supervisor.now()});
  std::optional<Duration> deadline;
  switch (policy_.state()) {
    case PolicyState::CheckpointRequested:
      deadline = policy_.checkpoint_deadline();
      break;
    case PolicyState::Terminating:
    case PolicyState::SupervisorError:
      deadline = policy_.grace_deadline();
      break;
    default:
      break;
  }
  if (!deadline) return;
  while (true) {
    const Duration now = supervisor.now();
    if (now >= *deadline) {
      dispatch_policy_input(supervisor, PolicyEvent::Tick{now});
      return;
    }
    // A plain timed wait: neither a signal nor the root cuts it short.
    supervisor.clock().wait(deadline->saturating_sub(now), nullptr, nullptr);
  }
}

}  // namespace vek_guard::runtime
