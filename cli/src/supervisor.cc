#include "supervisor.h"

#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>

#include "vek_guard/fd_io.h"
#include "vek_guard/identity.h"

namespace vek_guard::runtime {
namespace {

using Tag = TerminalKind::Tag;

constexpr std::string_view kStdinNotice =
    "vek-guard: standard input is a terminal, so the command reads from /dev/null instead";

// Why start-up ended after the journal was created: the kind the report
// gives and the message shown for it.
struct EarlyEnd {
  TerminalKind kind;
  std::string message;
};

EarlyEnd supervisor_failure(std::string_view message) {
  return {TerminalKind::of(Tag::SupervisorFailure), std::string(message)};
}

Tag launch_failure_kind(LaunchErrorKind kind) {
  switch (kind) {
    case LaunchErrorKind::EmptyArgv:
    case LaunchErrorKind::InvalidWorkingDirectory:
    case LaunchErrorKind::CheckpointConfiguration:
      return Tag::InvalidConfiguration;
    case LaunchErrorKind::NotFound:
      return Tag::LaunchNotFound;
    case LaunchErrorKind::NotExecutable:
      return Tag::LaunchNotExecutable;
    default:
      return Tag::SupervisorFailure;
  }
}

// The end of a start-up step about the root that failed: a root that has
// exited meanwhile ends the run with its own status (which is why the step
// failed, and is told by the report's summary line, without a message);
// otherwise the step's failure.
EarlyEnd root_exited_or(OwnedProcess& owned, std::string_view failure) {
  Result<std::optional<ChildStatus>, ControlError> status = owned.try_wait_root();
  if (status && *status) return {kind_of_status(**status), std::string()};
  return supervisor_failure(failure);
}

// The launched and identified command.
struct LaunchedCommand {
  OwnedProcess owned;
  IdentityTracker tracker;
  std::optional<CheckpointEndpoint> endpoint;
  // Declared after `owned`, so it goes first.
  GroupStopLink stop_link;
};

// Steps 5 to 7 of start_command. Every early return after the launch drops
// the stop link and then the owned process, which kills the group and reaps
// the root before the report is written.
Result<LaunchedCommand, EarlyEnd> launch_and_identify(const cli::NormalizedCommand& command,
                                                      StartPlan& plan) {
  LaunchSpec spec;
  spec.argv = command.common.command;
  spec.working_directory = command.common.cwd;
  spec.clear_environment = command.common.clear_env;
  spec.environment = command.common.env;
  spec.descriptor_soft_limit = plan.descriptor_soft_limit;
  spec.dies_with_supervisor = plan.command_dies_with_supervisor;
  const bool checkpoint = plan.checkpoint_child_end.valid();
  Result<OwnedProcess, LaunchError> launched =
      checkpoint ? OwnedProcess::launch_with_checkpoint(spec, std::move(plan.checkpoint_child_end))
                 : OwnedProcess::launch(spec);
  if (!launched) {
    return unexpected(EarlyEnd{TerminalKind::of(launch_failure_kind(launched.error().kind)),
                               std::string(launched.error().message())});
  }
  OwnedProcess owned = std::move(*launched);
  // From the launch on, a stop of the supervisor stops the command too.
  GroupStopLink stop_link(owned.process_group());
  // Said at once: the user at that terminal may be waiting for a prompt.
  if (owned.stdin_was_terminal()) write_line_without_waiting(STDERR_FILENO, kStdinNotice);

  if (owned.root_pid() < 0)
    return unexpected(supervisor_failure("root process identity is invalid"));
  Result<ProcessRecord, InspectionError> root = NativeProcessInventory().inspect(owned.root_pid());
  if (!root) {
    return unexpected(root_exited_or(owned, "root process identity could not be established"));
  }
  // The tracking refuses exactly what cannot name one process instance in
  // one group: no start time, no pid, no group.
  Result<IdentityTracker, InspectionError> tracker =
      IdentityTracker::create(root->identity(), owned.process_group().value_or(0));
  if (!tracker) {
    return unexpected(supervisor_failure("owned process identity could not be established"));
  }
  std::optional<CheckpointEndpoint> endpoint;
  if (checkpoint) {
    Result<CheckpointEndpoint, ControlError> negotiated =
        owned.negotiate_checkpoint_endpoint(root->start_time, root->pid);
    if (!negotiated) return unexpected(root_exited_or(owned, negotiated.error().message()));
    endpoint = *negotiated;
  }
  return LaunchedCommand{std::move(owned), std::move(*tracker), endpoint, std::move(stop_link)};
}

}  // namespace

// ---------------------------------------------------------------------------
// Start-up.

Result<ClientReady, cli::ExecutionOutcome> take_client_ready(std::optional<int32_t> fd) {
  Result<ClientReady, ControlError> ready = ClientReady::take(fd);
  if (!ready)
    return unexpected(cli::failure_outcome(Tag::InvalidConfiguration, ready.error().message()));
  return std::move(*ready);
}

TerminalKind kind_of_status(const ChildStatus& status) {
  return status.kind() == ChildStatus::Kind::Exited ? TerminalKind::child_exited(status.number())
                                                    : TerminalKind::child_signaled(status.number());
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

Result<StartedCommand, cli::ExecutionOutcome> start_command(const cli::NormalizedCommand& command,
                                                            StartPlan plan) {
  const Duration interval = command.common.sample_interval;
  const SampleBounds bounds = sample_bounds(interval);
  Result<SamplingConfig, SamplingConfigError> sampling = SamplingConfig::create(
      interval, bounds.max_sample_age, bounds.max_sample_window, kSampleHistoryCapacity);
  if (!sampling) {
    return unexpected(
        cli::failure_outcome(Tag::InvalidConfiguration, error_message(sampling.error())));
  }
  const ParentWatcher parent = ParentWatcher::start(command.common.on_parent_exit);
  plan.configuration.on_parent_exit = parent.on_parent_exit();
  plan.configuration.parent_watch = parent.watch();

  // From here on the journal exists, and every end publishes a report.
  Result<SecureJournal, cli::ExecutionOutcome> journal =
      create_run_journal(command, plan.configuration, plan.checkpoint_child_end.valid());
  if (!journal) return unexpected(journal.error());
  Result<TerminalSignalMonitor, ControlError> monitor = TerminalSignalMonitor::install();
  if (!monitor) {
    return unexpected(finalize_early_report(
        std::move(*journal), TerminalKind::of(Tag::SupervisorFailure), monitor.error().message()));
  }
  Result<LaunchedCommand, EarlyEnd> launched = launch_and_identify(command, plan);
  if (!launched) {
    return unexpected(finalize_early_report(std::move(*journal), launched.error().kind,
                                            launched.error().message));
  }

  return StartedCommand{
      .parts =
          SupervisionParts{
              .monitor = std::move(*monitor),
              .journal = SupervisionJournal(std::move(*journal)),
              .sampling = *sampling,
              .parent = parent,
              .observer = NativeAdvisoryObserver::create(),
              .sampler = FootprintSampler(*sampling, std::move(launched->tracker),
                                          NativeProcessInventory(), plan.refinement),
              .owned = std::move(launched->owned),
              .stop_link = std::move(launched->stop_link),
          },
      .endpoint = launched->endpoint,
  };
}

// ---------------------------------------------------------------------------
// The loop.

Supervisor::Supervisor(SupervisionParts parts, RunClock& clock)
    : clock_(clock),
      monitor_(std::move(parts.monitor)),
      journal_(std::move(parts.journal)),
      sampling_(parts.sampling),
      parent_(parts.parent),
      sample_history_(parts.sampling.history_capacity()),
      observer_(std::move(parts.observer)),
      sampler_(std::move(parts.sampler)),
      owned_(std::move(parts.owned)),
      stop_link_(std::move(parts.stop_link)) {}

cli::ExecutionOutcome Supervisor::supervise(SupervisionMode& mode) {
  const std::optional<ControlError> control_error = run_passes(mode);
  const Closing closing = mode.close(*this, control_error);
  append_closing_records(closing);
  // The windows are in the journal now; their memory is better spent on
  // rebuilding the report from it.
  sample_history_.release();
  return journal_.publish(closing.kind, closing.message);
}

std::optional<ControlError> Supervisor::run_passes(SupervisionMode& mode) {
  using AfterGroup = SupervisionMode::AfterGroup;
  while (true) {
    // The root, then the group.
    if (Result<void, ControlError> polled = poll_root(); !polled) return polled.error();
    Result<bool, ControlError> exists = group_exists();
    if (!exists) return exists.error();
    Result<AfterGroup, ControlError> next = mode.after_group(*this, *exists);
    if (!next) return next.error();
    if (*next == AfterGroup::EndLoop) return std::nullopt;

    // The launching parent. Its exit is noted once, whether or not the run
    // acts on it.
    const Duration now = clock_.now();
    if (*next == AfterGroup::WatchParent && parent_.check_exited()) {
      parent_exited_at_ms_ = now.as_millis_saturating();
      if (parent_.on_parent_exit() != OnParentExit::Detach) {
        if (Result<void, ControlError> acted = mode.on_parent_exit(*this, now); !acted) {
          return acted.error();
        }
      }
    }
    mode.before_signals(*this, *exists, now);

    // The terminal signals received since the last pass, in arrival order.
    Result<std::vector<uint8_t>, ControlError> signals = monitor_.poll();
    if (!signals) return signals.error();
    for (const uint8_t signal : *signals) {
      if (Result<void, ControlError> handled = mode.on_terminal_signal(*this, signal); !handled) {
        return handled.error();
      }
    }

    // One sample.
    if (mode.wants_sample()) mode.on_sample(*this, take_sample());

    // The wait, cut short by a terminal signal or the root's exit.
    const std::optional<Duration> wait = mode.wait_before_next_pass(*this);
    if (!wait) return std::nullopt;
    if (!wait->is_zero()) clock_.wait(*wait, &monitor_, &owned_);
  }
}

Result<void, ControlError> Supervisor::poll_root() {
  if (root_status_) return {};
  Result<std::optional<ChildStatus>, ControlError> status = owned_.try_wait_root();
  if (!status) return unexpected(status.error());
  if (*status) root_status_ = **status;
  return {};
}

Result<bool, ControlError> Supervisor::group_exists() {
  group_running_ = false;
  Result<bool, ControlError> exists = owned_.owned_group_exists();
  if (!exists || !*exists || !root_status_) return exists;
  // Once the root has exited, a group whose remaining members have all
  // exited too counts as gone: the root's zombie stays in it until the
  // supervision ends (which keeps its id ours), and the others are orphans
  // that only their new parent can reap; an init that reaps late (or never,
  // in some containers) would otherwise keep the run going, or turn a clean
  // end into a kill at the grace deadline.
  const Result<bool, InspectionError> alive = sampler_.owned_group_alive(clock_);
  if (!alive) return exists;  // no better knowledge: trust the signal probe
  group_running_ = *alive && sampler_.owned_group_running();
  return *alive;
}

SampleTaken Supervisor::take_sample() {
  const FootprintSample& sample = sampler_.sample_native(clock_);
  const Duration now = clock_.now();
  PolicyEvent::Sample event = sampler_.policy_event(sample, now);
  const AdvisorySnapshot snapshot = observer_.snapshot(now, sampling_.max_sample_age());
  SampleWindow window = calibration_.record_sample(sample, now, snapshot);
  const Observed<uint64_t> aggregate = window.aggregate_footprint_bytes;
  last_aggregate_ = aggregate;
  escape_detected_ = escape_detected_ || sample.escaped;
  // Samples go to the journal one by one only while the sampler's history
  // still holds every sample. After that they are kept only in the history,
  // which the closing records write out again, so the journal of a run that
  // lasts for days stays within what its reader accepts.
  if (sample.sequence < sampling_.history_capacity()) {
    record(JournalEntry::sample(window), false);
  }
  sample_history_.push(std::move(window));
  return {event, aggregate, now};
}

void Supervisor::append_closing_records(const Closing& closing) {
  constexpr RecordRoom kClosing = RecordRoom::Closing;
  // The sampler has dropped samples: the journal's samples stop at the
  // history's capacity, so the reset tells the report's rebuild to forget
  // them and take the history that follows, the last samples of the run.
  const SampleHistory history = sampler_.history();
  if (!history.empty() && history.oldest_sequence != 0) {
    record(JournalEntry::sample_history_reset(), true, kClosing);
    for (std::size_t i = 0; i < sample_history_.size(); ++i) {
      record(JournalEntry::sample(sample_history_.at(i)), false, kClosing);
    }
  }
  record(JournalEntry::checkpoint(closing.checkpoint), true, kClosing);

  EscapeEvidence escape;
  escape.detected = Observed<bool>::available(escape_detected_);
  const uint64_t escaped = sampler_.tracker().escaped_count();
  if (escaped != 0) escape.escaped_count = escaped;
  record(JournalEntry::escape(escape), false, kClosing);

  if (closing.calibration) record(JournalEntry::calibration(*closing.calibration), false, kClosing);

  TerminalOutcome outcome;
  outcome.at_ms = closing.at.as_millis_saturating();
  outcome.kind = closing.kind;
  outcome.final_footprint_bytes = last_aggregate_;
  outcome.child_status = closing.child_status;
  outcome.owned_group_survivors = closing.owned_group_survivors;
  outcome.parent_exited_at_ms = parent_exited_at_ms_;
  record(JournalEntry::outcome(outcome), true, kClosing);
}

void Supervisor::let_group_go() {
  stop_link_.release();
  std::move(owned_).relinquish();
}

Duration Supervisor::next_sample_delay(Duration now) const {
  return sampler_.delay_until_next(now).value_or(sampling_.sample_interval());
}

Supervisor::WindowHistory::WindowHistory(std::size_t capacity)
    : capacity_(capacity == 0 ? 1 : capacity) {
  windows_.reserve(capacity_);
}

void Supervisor::WindowHistory::push(SampleWindow window) {
  if (windows_.size() < capacity_) {
    windows_.push_back(std::move(window));
    return;
  }
  windows_[head_] = std::move(window);
  head_ = (head_ + 1) % capacity_;
}

}  // namespace vek_guard::runtime
