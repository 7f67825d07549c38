#include "observe_mode.h"

#include <signal.h>

#include <algorithm>
#include <string_view>
#include <utility>

namespace vek_guard::runtime {
namespace {

using Tag = TerminalKind::Tag;

// The grace between the SIGTERM and the SIGKILL of a group whose launching
// parent exited; the report records it as the term grace.
constexpr Duration kParentKillDelay = kTermGrace;

void record_group_signal(Supervisor& supervisor, uint8_t signal_number, SignalReason reason,
                         SignalDelivery delivery, RecordRoom room = RecordRoom::Kept) {
  SignalRecord record;
  record.at_ms = supervisor.now().as_millis_saturating();
  record.signal = signal_number;
  record.target = SignalTarget::OwnedProcessGroup;
  record.result = signal_result_of(delivery);
  record.reason = reason;
  supervisor.record(JournalEntry::signal(record), true, room);
}

}  // namespace

ReportConfiguration observe_report_configuration(Duration interval) {
  const SampleBounds bounds = sample_bounds(interval);
  ReportConfiguration report;
  report.mode = ReportMode::Observe;
  // Observe never intervenes; the counts are those its policy machine
  // judges samples by, and the grace is that of its parent-exit stop.
  report.required_breach_samples = kRequiredBreachSamples;
  report.max_missing_samples = kMaxMissingSamples;
  report.sample_interval_ms = interval.as_millis_saturating();
  report.max_sample_age_ms = bounds.max_sample_age.as_millis_saturating();
  report.max_sample_window_ms = bounds.max_sample_window.as_millis_saturating();
  report.term_grace_ms = kParentKillDelay.as_millis_saturating();
  return report;
}

cli::ExecutionOutcome execute_observe(const cli::NormalizedCommand& command) {
  Result<ClientReady, cli::ExecutionOutcome> ready =
      take_client_ready(command.common.client_ready_fd);
  if (!ready) return ready.error();
  // The calibration's peak is what a user picks a limit from: it counts a
  // forked family's shared pages once.
  Result<StartedCommand, cli::ExecutionOutcome> started = start_command(
      command,
      StartPlan{.configuration = observe_report_configuration(command.common.sample_interval),
                .refinement = ShareRefinement::above_peak()});
  if (!started) return started.error();

  const SamplingConfig& sampling = started->parts.sampling;
  ObserveMode mode(
      PolicyMachine::observe_only(sampling.max_sample_age(), sampling.max_sample_window()));
  MonotonicRunClock clock;
  Supervisor supervisor(std::move(started->parts), clock);
  std::move(*ready).notify();
  return supervisor.supervise(mode);
}

Result<SupervisionMode::AfterGroup, ControlError> ObserveMode::after_group(Supervisor& supervisor,
                                                                           bool group_exists) {
  if (parent_deadline_) {
    // No root-exit and no parent check while the deadline runs: the group is
    // on its way out, one way or the other.
    if (!group_exists) {
      ending_ = Ending::ParentExitGroupGone;
      return AfterGroup::EndLoop;
    }
    if (supervisor.now() < *parent_deadline_) return AfterGroup::SkipParent;
    Result<SignalDelivery, ControlError> killed = supervisor.owned().kill_group();
    if (!killed) return unexpected(killed.error());
    record_group_signal(supervisor, SIGKILL, SignalReason::ParentExit, *killed);
    ending_ = Ending::ParentExitKilled;
    return AfterGroup::EndLoop;
  }
  if (group_killed_ && supervisor.root_status() && group_exists) {
    // The group was killed at the user's request: the run ends when it is
    // gone, and a member that the kill did not reach (it was outside the
    // group then) is killed again, once a pass.
    if (!supervisor.group_running()) return AfterGroup::SkipParent;
    Result<SignalDelivery, ControlError> killed = supervisor.owned().kill_group();
    if (!killed) return unexpected(killed.error());
    if (repeated_kills_ != UINT32_MAX) ++repeated_kills_;
    record_group_signal(
        supervisor, SIGKILL, SignalReason::ExternalSignal, *killed,
        repeated_kills_ > kKeptRepeatedKills ? RecordRoom::Optional : RecordRoom::Kept);
    return AfterGroup::SkipParent;
  }
  if (supervisor.root_status()) {
    ending_ = group_exists ? Ending::RootExitMembersRunning : Ending::RootExitGroupGone;
    return AfterGroup::EndLoop;
  }
  return AfterGroup::WatchParent;
}

Result<void, ControlError> ObserveMode::on_parent_exit(Supervisor& supervisor, Duration now) {
  Result<SignalDelivery, ControlError> terminated = supervisor.owned().terminate_group();
  if (!terminated) return unexpected(terminated.error());
  record_group_signal(supervisor, SIGTERM, SignalReason::ParentExit, *terminated);
  parent_deadline_ = now.saturating_add(kParentKillDelay);
  return {};
}

Result<void, ControlError> ObserveMode::on_terminal_signal(Supervisor& supervisor, uint8_t signal) {
  // The first signal is the user's request, passed on; a second one means
  // the command did not listen.
  const bool first = signals_received_ == 0;
  Result<SignalDelivery, ControlError> delivered =
      first ? supervisor.owned().forward_terminal_signal(signal) : supervisor.owned().kill_group();
  if (!delivered) return unexpected(delivered.error());
  if (!first) group_killed_ = true;
  if (signals_received_ != UINT32_MAX) ++signals_received_;
  // A flood of terminal signals is acted on in full, but past the first ones
  // its records are the first to give way to the record budget.
  record_group_signal(
      supervisor, first ? signal : uint8_t{SIGKILL}, SignalReason::ExternalSignal, *delivered,
      signals_received_ > kKeptTerminalSignals ? RecordRoom::Optional : RecordRoom::Kept);
  return {};
}

void ObserveMode::on_sample(Supervisor& supervisor, const SampleTaken& sample) {
  const PolicyState before = policy_.state();
  // The observe machine decides no action; only its state matters.
  (void)policy_.apply(sample.event);
  if (policy_.state() != before) {
    TransitionRecord transition;
    transition.at_ms = sample.now.as_millis_saturating();
    transition.from = before;
    transition.to = policy_.state();
    if (const uint64_t* value = sample.aggregate.value()) {
      transition.aggregate_footprint_bytes = *value;
    }
    supervisor.record(JournalEntry::transition(transition), true);
  }
  observation_failed_ = policy_.state() == PolicyState::SupervisorError;
}

std::optional<Duration> ObserveMode::wait_before_next_pass(Supervisor& supervisor) {
  // A run that can no longer be observed ends, unless the group is being
  // stopped after the parent's exit: that goes on to its deadline.
  if (observation_failed_ && !parent_deadline_) {
    ending_ = Ending::ObservationFailure;
    return std::nullopt;
  }
  const Duration now = supervisor.now();
  Duration wait =
      observation_failed_ ? supervisor.sample_interval() : supervisor.next_sample_delay(now);
  if (parent_deadline_) wait = std::min(wait, parent_deadline_->saturating_sub(now));
  return wait;
}

Closing ObserveMode::close(Supervisor& supervisor,
                           const std::optional<ControlError>& control_error) {
  Closing closing{.kind = TerminalKind::of(Tag::SupervisorFailure)};
  bool let_go = false;
  if (control_error) {
    closing.message = std::string(control_error->message());
    let_go = true;
  } else {
    switch (*ending_) {
      case Ending::RootExitGroupGone:
        closing.kind = kind_of_status(*supervisor.root_status());
        closing.child_status = supervisor.root_status();
        break;
      case Ending::RootExitMembersRunning:
        closing.kind = kind_of_status(*supervisor.root_status());
        closing.message =
            "observe ended at root exit; owned-group members were still running and were not "
            "signalled";
        closing.child_status = supervisor.root_status();
        closing.owned_group_survivors = true;
        let_go = true;
        break;
      case Ending::ParentExitGroupGone:
      case Ending::ParentExitKilled:
        closing.kind = TerminalKind::of(Tag::PolicyIntervention);
        closing.message =
            "observe ended because the launching parent exited; the owned group was terminated";
        closing.child_status = supervisor.root_status();
        closing.owned_group_survivors = *ending_ == Ending::ParentExitKilled;
        break;
      case Ending::ObservationFailure:
        closing.message = "footprint observation failed";
        let_go = true;
        break;
    }
  }
  // Left running on purpose: observe mode never fails closed, and members
  // that outlive the root are not ours to stop (nor to stop with us).
  if (let_go) supervisor.let_group_go();
  closing.at = supervisor.now();
  closing.calibration = supervisor.calibration().artifact();
  return closing;
}

}  // namespace vek_guard::runtime
