#include "vek_guard_cli/runtime.h"

#include <array>
#include <string>
#include <utility>

#include "artifacts.h"
#include "observe_supervision.h"
#include "run_supervision.h"
#include "startup.h"
#include "vek_guard/checkpoint.h"
#include "vek_guard/coding.h"
#include "vek_guard/identity.h"
#include "vek_guard/parent_watcher.h"
#include "vek_guard/policy.h"
#include "vek_guard/process_control.h"
#include "vek_guard/random_source.h"
#include "vek_guard/supervisor_signals.h"

namespace vek_guard::runtime {
namespace {

constexpr std::string_view kDescriptorLimitTooLow =
    "open-file limit is too low for the checkpoint descriptor 198 (ulimit -n must allow 199)";

ReportConfiguration run_report_configuration(const PolicyConfig& config, Duration interval,
                                             const ParentWatcher& parent) {
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
  report.on_parent_exit = parent.on_parent_exit();
  report.parent_watch = parent.watch();
  return report;
}

struct LaunchedRun {
  OwnedProcess owned;
  CheckpointEndpoint endpoint;
  ProcessIdentity root;
  // Declared after `owned`, so it goes first.
  GroupStopLink stop_link;
};

Result<LaunchedRun, EarlyEnd> launch_run_child(const cli::NormalizedCommand& command,
                                               UniqueFd child_end,
                                               std::optional<uint64_t> descriptor_soft_limit) {
  LaunchSpec spec = launch_spec_for(command);
  spec.descriptor_soft_limit = descriptor_soft_limit;
  Result<OwnedProcess, LaunchError> launched =
      OwnedProcess::launch_with_checkpoint(spec, std::move(child_end));
  if (!launched) {
    return unexpected(EarlyEnd{TerminalKind::of(launch_failure_kind(launched.error().kind)),
                               std::string(launched.error().message())});
  }
  OwnedProcess owned = std::move(*launched);
  // From the launch on, a stop of the supervisor stops the command too.
  GroupStopLink stop_link(owned.process_group());
  if (owned.stdin_was_terminal()) print_now(kStdinNotice);
  const auto supervisor_failure = [](std::string_view text) {
    return EarlyEnd{TerminalKind::of(TerminalKind::Tag::SupervisorFailure), std::string(text)};
  };
  if (owned.root_pid() < 0)
    return unexpected(supervisor_failure("root process identity is invalid"));

  Result<ProcessRecord, InspectionError> root = NativeProcessInventory().inspect(owned.root_pid());
  if (!root) {
    Result<std::optional<ChildStatus>, ControlError> status = owned.try_wait_root();
    if (status && *status) return unexpected(EarlyEnd{kind_of_status(**status), std::string()});
    return unexpected(supervisor_failure("root process identity could not be established"));
  }
  if (root->start_time == 0 || root->pid < 1 || owned.process_group().value_or(0) < 1) {
    return unexpected(supervisor_failure("owned process identity could not be established"));
  }
  Result<CheckpointEndpoint, ControlError> endpoint =
      owned.negotiate_checkpoint_endpoint(root->start_time, root->pid);
  if (!endpoint) {
    Result<std::optional<ChildStatus>, ControlError> status = owned.try_wait_root();
    if (status && *status) return unexpected(EarlyEnd{kind_of_status(**status), std::string()});
    return unexpected(supervisor_failure(endpoint.error().message()));
  }
  const ProcessIdentity root_identity = root->identity();
  return LaunchedRun{std::move(owned), *endpoint, root_identity, std::move(stop_link)};
}

cli::ExecutionOutcome execute_run(const cli::NormalizedCommand& command,
                                  const cli::NormalizedRun& run, uint64_t journal_record_limit) {
  const cli::NormalizedCommon& common = command.common;
  Result<ClientReady, cli::ExecutionOutcome> ready = take_client_ready(common.client_ready_fd);
  if (!ready) return ready.error();

  // Refused here, before anything exists: with a journal already on disk the
  // launch would fail on descriptor 198 and leave the report path blocked.
  Result<std::optional<uint64_t>, LaunchError> room =
      process_control::make_room_for_checkpoint_descriptor();
  if (!room) {
    return failure_outcome(TerminalKind::Tag::InvalidConfiguration, kDescriptorLimitTooLow);
  }

  std::optional<RandomSource> random = RandomSource::open();
  CheckpointNonce nonce{};
  if (!random || !random->fill(nonce)) {
    return failure_outcome(TerminalKind::Tag::SupervisorFailure,
                           "secure checkpoint nonce generation failed");
  }
  uint64_t request_id = 0;
  while (request_id == 0) {
    std::array<uint8_t, 8> bytes{};
    if (!random->fill(bytes)) {
      return failure_outcome(TerminalKind::Tag::SupervisorFailure,
                             "secure checkpoint request-id generation failed");
    }
    request_id = decode_be64(bytes.data());
  }
  Result<CheckpointChannelPair, CheckpointChannelError> pair = CheckpointChannel::pair(nonce);
  random.reset();
  if (!pair) return failure_outcome(TerminalKind::Tag::SupervisorFailure, pair.error().message());
  CheckpointChannel channel = std::move(pair->channel);
  UniqueFd child_end = std::move(pair->child_end);

  // The policy's bounds are derived from the limit and the interval alone,
  // so building them here changes no failure order. A limit whose band does
  // not fit (the command line refuses it first) fails as the machine would.
  Result<PolicyConfig, PolicyConfigError> policy_config = enforcement_config(
      run.max_footprint_bytes, common.sample_interval, run.wall_time, run.checkpoint_timeout);
  Result<PolicyMachine, PolicyConfigError> machine =
      policy_config ? PolicyMachine::enforce_with_initial_request_id(*policy_config, request_id)
                    : Result<PolicyMachine, PolicyConfigError>(unexpected(policy_config.error()));
  if (!machine) {
    return failure_outcome(TerminalKind::Tag::InvalidConfiguration, error_message(machine.error()));
  }
  const std::string enforcing_line = "vek-guard: enforcing a " +
                                     std::to_string(policy_config->max_footprint_bytes) +
                                     "-byte footprint limit; emergency KILL at " +
                                     std::to_string(policy_config->emergency_footprint_bytes) +
                                     " bytes, about 10% above the limit";
  if (Result<void, CheckpointChannelError> sent = channel.begin_negotiation(); !sent) {
    return failure_outcome(TerminalKind::Tag::SupervisorFailure, sent.error().message());
  }
  Result<SamplingConfig, cli::ExecutionOutcome> sampling =
      make_sampling_config(common.sample_interval);
  if (!sampling) return sampling.error();
  const ParentWatcher parent = ParentWatcher::start(common.on_parent_exit);

  Result<SecureJournal, cli::ExecutionOutcome> journal = prepare_run_artifacts(
      command, run_report_configuration(*policy_config, common.sample_interval, parent), true);
  if (!journal) return journal.error();

  Result<TerminalSignalMonitor, ControlError> monitor = TerminalSignalMonitor::install();
  if (!monitor) {
    return finalize_early_report(std::move(*journal),
                                 TerminalKind::of(TerminalKind::Tag::SupervisorFailure),
                                 monitor.error().message());
  }
  // The command gets back the descriptor limit it was started with.
  Result<LaunchedRun, EarlyEnd> launched = launch_run_child(command, std::move(child_end), *room);
  if (!launched) {
    return finalize_early_report(std::move(*journal), launched.error().kind,
                                 launched.error().message);
  }

  print_now(enforcing_line);

  LaunchedRun& child = *launched;
  ProcessInterventionActuator actuator(&channel, child.endpoint, child.owned.control_handle(),
                                       process_control::checkpoint_signal_usr1());
  Result<IdentityTracker, InspectionError> tracker =
      IdentityTracker::create(child.root, child.owned.process_group().value_or(0));
  if (!tracker) {
    // The identity was checked above; a refusal here means it cannot seed
    // the tracking, which start-up treats like an unestablished identity.
    child.stop_link.release();
    { OwnedProcess released = std::move(child.owned); }
    return finalize_early_report(std::move(*journal),
                                 TerminalKind::of(TerminalKind::Tag::SupervisorFailure),
                                 "owned process identity could not be established");
  }
  // Near the limit a forked family is counted by what it holds, not once
  // per member that maps its shared pages.
  FootprintSampler sampler(*sampling, std::move(*tracker), NativeProcessInventory(),
                           ShareRefinement::at_level(policy_config->warning_footprint_bytes));
  RunSupervision supervision{
      .policy = std::move(*machine),
      .evidence = InterventionEvidence(),
      .actuator = std::move(actuator),
      .checkpoint_record = CheckpointRecord{},
      .common = SupervisionCommon(std::move(*monitor),
                                  JournalSink(std::move(*journal), journal_record_limit), *sampling,
                                  common.sample_interval, parent, std::move(sampler),
                                  std::move(child.owned), std::move(child.stop_link)),
  };
  std::move(*ready).notify();
  return supervise_run(std::move(supervision));
}

}  // namespace

cli::ExecutionOutcome execute(const cli::NormalizedCommand& command) {
  if (command.run) return execute_run(command, *command.run, kMaxJournalRecords);
  return supervise_observe(command);
}

cli::ExecutionOutcome execute_with_journal_limit(const cli::NormalizedCommand& command,
                                                 uint64_t journal_record_limit) {
  if (command.run) return execute_run(command, *command.run, journal_record_limit);
  return supervise_observe(command);
}

}  // namespace vek_guard::runtime
