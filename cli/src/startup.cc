#include "startup.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "artifacts.h"
#include "vek_guard/unique_fd.h"

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
  const Duration age = std::max(sample_interval.saturating_mul(2), Duration::from_millis(500));
  const Duration window = std::max(sample_interval, Duration::from_millis(250));
  Result<SamplingConfig, SamplingConfigError> config =
      SamplingConfig::create(sample_interval, age, window, kSampleHistoryCapacity);
  if (!config) {
    return unexpected(
        failure_outcome(TerminalKind::Tag::InvalidConfiguration, error_message(config.error())));
  }
  return *config;
}

ParentWatchSetup watch_parent_setup(OnParentExit on_parent_exit) {
  ParentWatchSetup setup;
  setup.on_parent_exit = on_parent_exit;
  Result<bool, ControlError> ignored = process_control::hangup_is_ignored();
  if (!ignored) {
    setup.parent_watch = ParentWatch::ParentUnobservable;
    return setup;
  }
  const pid_t parent = getppid();
  const bool terminate = on_parent_exit == OnParentExit::Terminate;
  if (terminate && parent < 2) {
    setup.parent_watch = ParentWatch::ParentIsLaunchd;
    return setup;
  }
  if (terminate && *ignored) {
    setup.parent_watch = ParentWatch::HangupIgnored;
    return setup;
  }
  Result<ProcessRecord, InspectionError> record =
      NativeProcessInventory().inspect(parent < 0 ? 0 : parent);
  if (!record || record->exited) {
    setup.parent_watch = ParentWatch::ParentUnobservable;
    return setup;
  }
  setup.parent = record->identity();
  setup.parent_watch = terminate ? ParentWatch::Active : ParentWatch::Detach;
  return setup;
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

namespace {

// Writes what can be written at once, retrying only interruptions; the rest
// of the text is dropped.
void write_without_waiting(int fd, std::string_view text, bool socket) {
  while (!text.empty()) {
    const ssize_t n = socket ? ::send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                             : ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void print_now(std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  struct stat info {};
  if (::fstat(STDERR_FILENO, &info) != 0) return;
  if (S_ISSOCK(info.st_mode)) {
    write_without_waiting(STDERR_FILENO, text, /*socket=*/true);
    return;
  }
  if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
    // A pipe nobody reads, or a terminal held by flow control, would block
    // the write, and with it the loop. O_NONBLOCK cannot be set on
    // descriptor 2 itself: the command shares its open file description and
    // would find its own writes failing. A second description of the same
    // pipe or terminal is ours alone.
    UniqueFd own(::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (own.valid()) {
      write_without_waiting(own.get(), text, /*socket=*/false);
      return;
    }
    // Not reopenable (a terminal of another user, a pipe without a reader):
    // write only when there is room now, in one call, as a second could be
    // the one that waits. The command may take the room in between, which is
    // as far as a shared description allows.
    pollfd room{STDERR_FILENO, POLLOUT, 0};
    if (::poll(&room, 1, 0) == 1 && (room.revents & POLLOUT) != 0) {
      const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
      (void)written;
    }
    return;
  }
  // A regular file (or /dev/null) takes the line without waiting on anyone.
  write_without_waiting(STDERR_FILENO, text, /*socket=*/false);
}

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
