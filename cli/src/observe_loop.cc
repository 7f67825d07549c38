#include <signal.h>

#include <algorithm>
#include <string>
#include <utility>

#include "artifacts.h"
#include "observe_supervision.h"
#include "startup.h"
#include "supervision.h"
#include "vek_guard/identity.h"
#include "vek_guard/parent_watcher.h"
#include "vek_guard/policy.h"
#include "vek_guard/process_control.h"
#include "vek_guard/supervisor_signals.h"

namespace vek_guard::runtime {
namespace {

// The grace between the SIGTERM and the SIGKILL of a group whose launching
// parent exited; the report records it as the term grace.
constexpr Duration kParentKillDelay = kTermGrace;
constexpr std::string_view kSurvivorsMessage =
    "observe ended at root exit; owned-group members were still running and were not signalled";
constexpr std::string_view kParentExitMessage =
    "observe ended because the launching parent exited; the owned group was terminated";

enum class Ending : uint8_t {
  RootExitGroupGone,
  RootExitMembersRunning,
  ParentExitGroupGone,
  ParentExitKilled,
  ObservationFailure,
  ControlFailure,
};

ReportConfiguration observe_configuration(const SamplingConfig& sampling, Duration interval,
                                          const ParentWatcher& parent) {
  ReportConfiguration report;
  report.mode = ReportMode::Observe;
  // Observe never intervenes; the counts are those its policy machine
  // judges samples by, and the grace is that of its parent-exit stop.
  report.required_breach_samples = kRequiredBreachSamples;
  report.max_missing_samples = kMaxMissingSamples;
  report.sample_interval_ms = interval.as_millis_saturating();
  report.max_sample_age_ms = sampling.max_sample_age().as_millis_saturating();
  report.max_sample_window_ms = sampling.max_sample_window().as_millis_saturating();
  report.term_grace_ms = kParentKillDelay.as_millis_saturating();
  report.on_parent_exit = parent.on_parent_exit();
  report.parent_watch = parent.watch();
  return report;
}

SignalResult signal_result_of(SignalDelivery delivery) {
  switch (delivery) {
    case SignalDelivery::Delivered:
      return SignalResult::Delivered;
    case SignalDelivery::ProcessMissing:
      return SignalResult::ProcessMissing;
    case SignalDelivery::PermissionDenied:
      return SignalResult::PermissionDenied;
  }
  return SignalResult::Failed;
}

void record_group_signal(SupervisionCommon& common, uint8_t signal_number, SignalReason reason,
                         SignalDelivery delivery, RecordRoom room = RecordRoom::Kept) {
  SignalRecord record;
  record.at_ms = common.now().as_millis_saturating();
  record.signal = signal_number;
  record.target = SignalTarget::OwnedProcessGroup;
  record.result = signal_result_of(delivery);
  record.reason = reason;
  journal_event(common.journal, JournalEntry::signal(record), true, room);
}

// The observe loop proper, from the first pass to the published report.
class ObserveLoop {
 public:
  ObserveLoop(SupervisionCommon& common, PolicyMachine policy)
      : common_(common), policy_(std::move(policy)) {}

  cli::ExecutionOutcome run() {
    const Ending ending = supervise();
    return finish(ending);
  }

 private:
  Ending supervise() {
    while (true) {
      if (Result<void, ControlError> polled = common_.poll_root(); !polled) {
        return control_failure(polled.error());
      }
      Result<bool, ControlError> exists = common_.group_exists();
      if (!exists) return control_failure(exists.error());

      bool skip_exits = false;
      if (parent_deadline_) {
        if (!*exists) return Ending::ParentExitGroupGone;
        if (common_.now() >= *parent_deadline_) {
          Result<SignalDelivery, ControlError> killed = common_.owned.kill_group();
          if (!killed) return control_failure(killed.error());
          record_group_signal(common_, SIGKILL, SignalReason::ParentExit, *killed);
          return Ending::ParentExitKilled;
        }
        skip_exits = true;
      }
      if (!skip_exits) {
        if (common_.root_status) {
          return *exists ? Ending::RootExitMembersRunning : Ending::RootExitGroupGone;
        }
        const Duration now = common_.now();
        if (common_.check_parent(now) && !common_.detach_on_parent_exit) {
          Result<SignalDelivery, ControlError> terminated = common_.owned.terminate_group();
          if (!terminated) return control_failure(terminated.error());
          record_group_signal(common_, SIGTERM, SignalReason::ParentExit, *terminated);
          parent_deadline_ = now.saturating_add(kParentKillDelay);
        }
      }

      Result<std::vector<uint8_t>, ControlError> signals = common_.terminal_signals.poll();
      if (!signals) return control_failure(signals.error());
      for (const uint8_t received : *signals) {
        Result<SignalDelivery, ControlError> delivered =
            signals_received_ == 0 ? common_.owned.forward_terminal_signal(received)
                                   : common_.owned.kill_group();
        if (!delivered) return control_failure(delivered.error());
        const uint8_t recorded = signals_received_ == 0 ? received : uint8_t{SIGKILL};
        if (signals_received_ != UINT32_MAX) ++signals_received_;
        record_group_signal(
            common_, recorded, SignalReason::ExternalSignal, *delivered,
            signals_received_ > kKeptTerminalSignals ? RecordRoom::Optional : RecordRoom::Kept);
      }

      if (!observation_failed_) {
        const SupervisionCommon::SampleStep sample = common_.take_sample();
        const PolicyState before = policy_.state();
        (void)policy_.apply(sample.event);
        if (policy_.state() != before) {
          TransitionRecord transition;
          transition.at_ms = sample.now.as_millis_saturating();
          transition.from = before;
          transition.to = policy_.state();
          if (const uint64_t* value = sample.aggregate.value()) {
            transition.aggregate_footprint_bytes = *value;
          }
          journal_event(common_.journal, JournalEntry::transition(transition), true);
        }
        observation_failed_ = policy_.state() == PolicyState::SupervisorError;
      }
      if (observation_failed_ && !parent_deadline_) return Ending::ObservationFailure;

      const Duration now = common_.now();
      Duration pause =
          observation_failed_
              ? common_.sample_interval
              : common_.sampler.delay_until_next(now).value_or(common_.sample_interval);
      if (parent_deadline_) pause = std::min(pause, parent_deadline_->saturating_sub(now));
      if (!pause.is_zero()) common_.sleep(pause);
    }
  }

  Ending control_failure(const ControlError& error) {
    control_error_ = std::string(error.message());
    return Ending::ControlFailure;
  }

  cli::ExecutionOutcome finish(Ending ending) {
    TerminalKind kind = TerminalKind::of(TerminalKind::Tag::SupervisorFailure);
    std::optional<std::string> message;
    std::optional<ChildStatus> child_status;
    std::optional<bool> survivors;
    bool relinquish = false;
    switch (ending) {
      case Ending::RootExitGroupGone:
        kind = kind_of_status(*common_.root_status);
        child_status = common_.root_status;
        break;
      case Ending::RootExitMembersRunning:
        kind = kind_of_status(*common_.root_status);
        message = std::string(kSurvivorsMessage);
        child_status = common_.root_status;
        survivors = true;
        relinquish = true;
        break;
      case Ending::ParentExitGroupGone:
      case Ending::ParentExitKilled:
        kind = TerminalKind::of(TerminalKind::Tag::PolicyIntervention);
        message = std::string(kParentExitMessage);
        child_status = common_.root_status;
        survivors = ending == Ending::ParentExitKilled;
        break;
      case Ending::ObservationFailure:
        message = "footprint observation failed";
        relinquish = true;
        break;
      case Ending::ControlFailure:
        message = control_error_;
        relinquish = true;
        break;
    }
    // Left running on purpose: observe mode never fails closed, and members
    // that outlive the root are not ours to stop (nor to stop with us).
    if (relinquish) {
      common_.stop_link.release();
      std::move(common_.owned).relinquish();
    }

    TerminalOutcome outcome;
    outcome.at_ms = common_.now().as_millis_saturating();
    outcome.kind = kind;
    outcome.final_footprint_bytes = common_.last_aggregate;
    outcome.child_status = child_status;
    outcome.owned_group_survivors = survivors;
    outcome.parent_exited_at_ms = common_.parent_exited_at_ms;
    common_.append_final_records(CheckpointRecord{}, common_.calibration.artifact(), outcome);
    return common_.publish(kind, message);
  }

  SupervisionCommon& common_;
  PolicyMachine policy_;
  std::optional<Duration> parent_deadline_;
  uint32_t signals_received_ = 0;
  bool observation_failed_ = false;
  std::string control_error_;
};

}  // namespace

cli::ExecutionOutcome supervise_observe(const cli::NormalizedCommand& command) {
  return supervise_observe(command, NativeProcessInventory());
}

cli::ExecutionOutcome supervise_observe(const cli::NormalizedCommand& command,
                                        NativeProcessInventory sampling_inventory) {
  const cli::NormalizedCommon& options = command.common;
  Result<ClientReady, cli::ExecutionOutcome> ready = take_client_ready(options.client_ready_fd);
  if (!ready) return ready.error();
  Result<SamplingConfig, cli::ExecutionOutcome> sampling =
      make_sampling_config(options.sample_interval);
  if (!sampling) return sampling.error();
  const ParentWatcher parent = ParentWatcher::start(options.on_parent_exit);
  Result<SecureJournal, cli::ExecutionOutcome> journal = prepare_run_artifacts(
      command, observe_configuration(*sampling, options.sample_interval, parent), false);
  if (!journal) return journal.error();

  const auto early_end = [&](TerminalKind kind, std::string_view message) {
    return finalize_early_report(std::move(*journal), kind, message);
  };
  Result<TerminalSignalMonitor, ControlError> monitor = TerminalSignalMonitor::install();
  if (!monitor) {
    return early_end(TerminalKind::of(TerminalKind::Tag::SupervisorFailure),
                     monitor.error().message());
  }
  Result<OwnedProcess, LaunchError> launched = OwnedProcess::launch(launch_spec_for(command));
  if (!launched) {
    return early_end(TerminalKind::of(launch_failure_kind(launched.error().kind)),
                     launched.error().message());
  }
  // From the launch on, a stop of the supervisor stops the command too.
  GroupStopLink stop_link(launched->process_group());
  if (launched->stdin_was_terminal()) print_now(kStdinNotice);

  std::optional<EarlyEnd> failed;
  std::optional<ProcessRecord> root;
  if (launched->root_pid() < 0) {
    failed = EarlyEnd{TerminalKind::of(TerminalKind::Tag::SupervisorFailure),
                      "root process identity is invalid"};
  } else if (Result<ProcessRecord, InspectionError> inspected =
                 NativeProcessInventory().inspect(launched->root_pid());
             !inspected) {
    Result<std::optional<ChildStatus>, ControlError> status = launched->try_wait_root();
    failed = child_exited_before(status ? *status : std::nullopt, "identity inspection",
                                 "root process identity could not be established",
                                 TerminalKind::of(TerminalKind::Tag::SupervisorFailure));
  } else if (inspected->start_time == 0 || inspected->pid < 1 ||
             launched->process_group().value_or(0) < 1) {
    failed = EarlyEnd{TerminalKind::of(TerminalKind::Tag::SupervisorFailure),
                      "owned process identity could not be established"};
  } else {
    root = *inspected;
  }
  if (failed) {
    // Released first: the group is killed and the root reaped before the
    // report is written.
    stop_link.release();
    { OwnedProcess released = std::move(*launched); }
    return early_end(failed->kind, failed->message);
  }

  Result<IdentityTracker, InspectionError> tracker =
      IdentityTracker::create(root->identity(), launched->process_group().value_or(0));
  if (!tracker) {
    stop_link.release();
    { OwnedProcess released = std::move(*launched); }
    return early_end(TerminalKind::of(TerminalKind::Tag::SupervisorFailure),
                     "owned process identity could not be established");
  }
  // The calibration's peak is what a user picks a limit from: it counts a
  // forked family's shared pages once.
  FootprintSampler sampler(*sampling, std::move(*tracker), std::move(sampling_inventory),
                           ShareRefinement::above_peak());
  SupervisionCommon common(std::move(*monitor), JournalSink(std::move(*journal)), *sampling,
                           options.sample_interval, parent, std::move(sampler),
                           std::move(*launched), std::move(stop_link));
  ObserveLoop loop(common, PolicyMachine::observe_only(sampling->max_sample_age(),
                                                       sampling->max_sample_window()));
  std::move(*ready).notify();
  return loop.run();
}

}  // namespace vek_guard::runtime
