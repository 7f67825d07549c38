#include "startup.h"

#include <unistd.h>

#include <string>

#include "artifacts.h"
#include "vek_guard/fd_io.h"

namespace vek_guard::runtime {

Result<ClientReady, cli::ExecutionOutcome> take_client_ready(std::optional<int32_t> fd) {
  Result<ClientReady, ControlError> ready = ClientReady::take(fd);
  if (!ready) {
    return unexpected(
        failure_outcome(TerminalKind::Tag::InvalidConfiguration, ready.error().message()));
  }
  return std::move(*ready);
}

Result<SamplingConfig, cli::ExecutionOutcome> make_sampling_config(Duration sample_interval) {
  const SampleBounds bounds = sample_bounds(sample_interval);
  Result<SamplingConfig, SamplingConfigError> config = SamplingConfig::create(
      sample_interval, bounds.max_sample_age, bounds.max_sample_window, kSampleHistoryCapacity);
  if (!config) {
    return unexpected(
        failure_outcome(TerminalKind::Tag::InvalidConfiguration, error_message(config.error())));
  }
  return *config;
}

TerminalKind kind_of_status(const ChildStatus& status) {
  return status.kind() == ChildStatus::Kind::Exited ? TerminalKind::child_exited(status.number())
                                                    : TerminalKind::child_signaled(status.number());
}

EarlyEnd child_exited_before(const std::optional<ChildStatus>& status, std::string_view stage,
                             std::string_view fallback_message, TerminalKind fallback_kind) {
  if (status) {
    return {kind_of_status(*status), "child exited before " + std::string(stage)};
  }
  return {fallback_kind, std::string(fallback_message)};
}

void print_now(std::string_view line) { write_line_without_waiting(STDERR_FILENO, line); }

LaunchSpec launch_spec_for(const cli::NormalizedCommand& command) {
  LaunchSpec spec;
  spec.argv = command.common.command;
  spec.working_directory = command.common.cwd;
  spec.clear_environment = command.common.clear_env;
  spec.environment = command.common.env;
  return spec;
}

TerminalKind::Tag launch_failure_kind(LaunchErrorKind kind) {
  switch (kind) {
    case LaunchErrorKind::EmptyArgv:
    case LaunchErrorKind::InvalidWorkingDirectory:
    case LaunchErrorKind::CheckpointConfiguration:
      return TerminalKind::Tag::InvalidConfiguration;
    case LaunchErrorKind::NotFound:
      return TerminalKind::Tag::LaunchNotFound;
    case LaunchErrorKind::NotExecutable:
      return TerminalKind::Tag::LaunchNotExecutable;
    default:
      return TerminalKind::Tag::SupervisorFailure;
  }
}

}  // namespace vek_guard::runtime
