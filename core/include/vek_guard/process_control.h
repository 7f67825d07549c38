// Process control: launching the command and acting on what was launched.
//
//  - `OwnedProcess` launches the command as the root of a new process group
//    whose id it verifies, optionally handing the child its end of the
//    checkpoint channel on descriptor 198; it then signals, probes and waits
//    for the owned group, and kills it and reaps the root when dropped.
//  - `ProcessControlHandle` signals the owned group and the negotiated
//    checkpoint endpoint without holding the `OwnedProcess`.
//  - `ClientReady` holds the readiness descriptor of an invoking client.
//
// The supervisor's own signals (its start-up set-up, the terminal-signal
// monitor, the job-control link to the group) are supervisor_signals.h.
//
// `wait_for` is the one wait of the supervision loop: the time between two
// passes, cut short by a terminal signal or the root's exit.
//
// Every call is synchronous and belongs to the supervision thread. Failures are
// `LaunchError` or `ControlError`; a vanished target or refused permission is
// a `SignalDelivery` result, not an error.
//
//   LaunchSpec spec{.argv = {"make", "-j8"}};
//   auto process = OwnedProcess::launch_with_checkpoint(spec, std::move(child_end));
//   if (!process) return process.error().message();
//   ... each loop pass: process->try_wait_root() ...
//   process->terminate_group();
//
// Descriptors: every descriptor this program opens is close-on-exec, so only
// standard input, output and error (and descriptor 198 for a checkpoint
// launch) reach the command from the supervisor's own descriptors.
// Descriptors the supervisor itself inherited without close-on-exec pass
// through to the command, as with any Unix program that runs another.
#ifndef VEK_GUARD_PROCESS_CONTROL_H_
#define VEK_GUARD_PROCESS_CONTROL_H_

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vek_guard/duration.h"
#include "vek_guard/error.h"
#include "vek_guard/identity.h"
#include "vek_guard/report.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard {

class TerminalSignalMonitor;  // supervisor_signals.h

// ---------------------------------------------------------------------------
// Errors.

enum class LaunchErrorKind : uint8_t {
  EmptyArgv = 0,
  InvalidWorkingDirectory = 1,
  NotFound = 2,
  NotExecutable = 3,
  LaunchFailed = 4,
  GroupNotValidated = 5,
  CheckpointConfiguration = 6,
};

constexpr std::string_view error_message(LaunchErrorKind kind) {
  switch (kind) {
    case LaunchErrorKind::EmptyArgv:
      return "command argv is empty";
    case LaunchErrorKind::InvalidWorkingDirectory:
      return "child working directory is invalid";
    case LaunchErrorKind::NotFound:
      return "command was not found";
    case LaunchErrorKind::NotExecutable:
      return "command is not executable";
    case LaunchErrorKind::LaunchFailed:
      return "command launch failed";
    case LaunchErrorKind::GroupNotValidated:
      return "new process group could not be validated";
    case LaunchErrorKind::CheckpointConfiguration:
      return "checkpoint channel configuration is invalid";
  }
  return "command launch failed";
}

// A launch failure; `os_error` is the errno behind it, never displayed.
using LaunchError = KindError<LaunchErrorKind>;

enum class ControlErrorKind : uint8_t {
  WaitFailed = 0,
  InvalidStatus = 1,
  NotForwardable = 2,
  EndpointNotOwned = 3,
  GroupQueryFailed = 4,
  MonitorFailed = 5,
  MonitorAlreadyInstalled = 6,
  ClientReadyConfiguration = 7,
  DeliveryFailed = 8,
};

constexpr std::string_view error_message(ControlErrorKind kind) {
  switch (kind) {
    case ControlErrorKind::WaitFailed:
      return "waiting for the root process failed";
    case ControlErrorKind::InvalidStatus:
      return "root process returned an invalid Unix status";
    case ControlErrorKind::NotForwardable:
      // SIGQUIT is forwarded too; the text stays as users and scripts know it.
      return "only SIGHUP, SIGINT, and SIGTERM can be forwarded as terminal signals";
    case ControlErrorKind::EndpointNotOwned:
      return "checkpoint endpoint is not the identity it was negotiated for, or is not a live "
             "member of the owned process group";
    case ControlErrorKind::GroupQueryFailed:
      return "owned process-group query failed";
    case ControlErrorKind::MonitorFailed:
      return "terminal signal monitoring failed";
    case ControlErrorKind::MonitorAlreadyInstalled:
      return "a terminal signal monitor is already installed";
    case ControlErrorKind::ClientReadyConfiguration:
      return "client readiness descriptor configuration failed";
    case ControlErrorKind::DeliveryFailed:
      return "signal delivery failed";
  }
  return "signal delivery failed";
}

// A process-control failure; `os_error` is the errno behind it, never
// displayed.
using ControlError = KindError<ControlErrorKind>;

// The result of every successful signalling operation.
enum class SignalDelivery : uint8_t {
  Delivered = 0,
  ProcessMissing = 1,    // ESRCH: the target is already gone
  PermissionDenied = 2,  // EPERM (or EACCES)
};

namespace process_control {

// The signal that asks the checkpoint endpoint to read its request: SIGUSR1,
// which is 10 on Linux (30 on macOS; the number sent is always the
// platform's).
constexpr uint8_t checkpoint_signal_usr1() { return static_cast<uint8_t>(SIGUSR1); }

// A checkpoint launch puts the child's endpoint on descriptor 198, which the
// soft RLIMIT_NOFILE must admit (199 or more). A lower soft limit is raised
// to 199 when the hard limit allows it; the result is then the soft limit
// found, which the command is to get back, and absent when nothing had to
// change (or the limit could not be read). A hard limit below 199, or a raise
// that fails, is CheckpointConfiguration with the errno (EMFILE for the hard
// limit).
Result<std::optional<uint64_t>, LaunchError> make_room_for_checkpoint_descriptor();

// Decodes a raw wait status: exited with its code, or signaled with its
// number. A stopped (or continued) status is not an end of the process and
// is InvalidStatus.
Result<ChildStatus, ControlError> decode_wait_status(int status);

}  // namespace process_control

// ---------------------------------------------------------------------------
// Launching.

// Where one of the child's standard streams comes from.
enum class StdioDisposition : uint8_t {
  Inherit,  // the supervisor's own descriptor
  DevNull,  // /dev/null (read-only for input, write-only for output)
};

struct LaunchSpec {
  // The first element is the executable, looked up on the supervisor's search
  // path (PATH, not the child's environment; the C library's default path
  // when unset) as execvp does when it holds no slash; a relative path with a
  // slash is taken from the child's working directory. As with execvp, a file
  // the kernel cannot execute (a script without "#!") is run by /bin/sh. The
  // rest are its arguments.
  std::vector<std::string> argv;
  // The child's working directory; must name an existing directory
  // (symbolic links followed). Absent: the supervisor's.
  std::optional<std::string> working_directory;
  // Start from an empty environment instead of the supervisor's.
  bool clear_environment = false;
  // Added (or replacing inherited entries) in key order. Keys are non-empty
  // and hold neither '=' nor NUL; values hold no NUL.
  std::map<std::string, std::string> environment;
  StdioDisposition stdin_disposition = StdioDisposition::Inherit;
  StdioDisposition stdout_disposition = StdioDisposition::Inherit;
  StdioDisposition stderr_disposition = StdioDisposition::Inherit;
  // The command's soft RLIMIT_NOFILE, set in the child once its descriptors
  // are in place (the hard limit is kept): the limit the supervisor started
  // with, when it had to raise its own for descriptor 198
  // (make_room_for_checkpoint_descriptor). Absent: the supervisor's.
  std::optional<uint64_t> descriptor_soft_limit;
  // Arms the kernel's parent-death signal (SIGKILL) in the child, so that a
  // supervisor that dies without cleaning up (SIGKILL, a crash) takes the
  // root with it. Only the root: what it starts lives on unless it ends with
  // it, and executing a set-user-ID or set-group-ID file (or one with file
  // capabilities) as a user it changes clears the signal. A child that finds
  // its supervisor already gone once the signal is armed exits with 127
  // instead of running the command. Without it the root outlives its
  // supervisor, whatever way that ends.
  bool dies_with_supervisor = false;
};

// The descriptor the checkpoint endpoint occupies in the child, and the
// environment variable that names it.
inline constexpr int kCheckpointChildFd = 198;
inline constexpr std::string_view kCheckpointFdVariable = "VEK_GUARD_CHECKPOINT_FD";

// The negotiated checkpoint endpoint: the process that proved it holds the
// child's end of the checkpoint channel.
struct CheckpointEndpoint {
  // The start time the process inspector reported for the pid; with the pid
  // it names one process instance, so a reused pid never passes for it.
  uint64_t start_time = 0;
  int32_t pid = 0;
  int32_t process_group = 0;

  friend bool operator==(const CheckpointEndpoint&, const CheckpointEndpoint&) = default;
};

// The launched root as the handles of its OwnedProcess see it (its pid, a
// pidfd, whether it has been reaped); private to process_control.cc.
struct RootProcessLink;

// A copyable view of the owned group for signalling it, and the checkpoint
// endpoint, without the OwnedProcess. It does not keep the group alive.
// A handle taken from an OwnedProcess also shares that process's link to the
// root (kept open as long as any handle or the process lives); one made from
// a bare group id signals the group alone. Supervision thread only.
class ProcessControlHandle {
 public:
  ProcessControlHandle() = default;
  explicit ProcessControlHandle(std::optional<int32_t> process_group)
      : process_group_(process_group) {}

  std::optional<int32_t> process_group() const { return process_group_; }

  // kill(-group, signal): ESRCH is ProcessMissing, EPERM PermissionDenied;
  // other errors are DeliveryFailed, and so is having no group or a group id
  // below 2 (kill(-1) would reach every process, kill(-0) our own group).
  // While the root of the OwnedProcess it came from has not been seen to
  // exit and has moved itself out of the group, the root gets the signal
  // too, through its pidfd (by pid where pidfd_open is missing, before Linux
  // 5.3: an unreaped child's pid cannot name anyone else). The result is then the worse of
  // the two (a failure, then PermissionDenied), else Delivered when either
  // reached a process: an empty group with the root reached is Delivered.
  Result<SignalDelivery, ControlError> signal_group(int signal) const;

  // Sends `signal` to the endpoint after checking, in order, each failure
  // EndpointNotOwned unless said otherwise: the endpoint belongs to this
  // handle's group; its pid is >= 1; getpgid(pid) is still the group (a
  // failing getpgid never is); the process inspector finds the pid (Missing:
  // ProcessMissing; PermissionDenied: PermissionDenied; IdentityChanged:
  // EndpointNotOwned; another failure: DeliveryFailed) with the endpoint's pid
  // and start time, and not exited (exited: ProcessMissing). Then
  // kill(pid, signal): ESRCH is ProcessMissing, EPERM or EACCES
  // PermissionDenied, other errors DeliveryFailed.
  Result<SignalDelivery, ControlError> signal_checkpoint(const CheckpointEndpoint& endpoint,
                                                         uint8_t signal) const;
  // As above with the given inspector (a fake /proc tree in tests).
  Result<SignalDelivery, ControlError> signal_checkpoint(
      const CheckpointEndpoint& endpoint, uint8_t signal,
      const NativeProcessInventory& inspector) const;

  friend bool operator==(const ProcessControlHandle&, const ProcessControlHandle&) = default;

 private:
  friend class OwnedProcess;
  ProcessControlHandle(std::optional<int32_t> process_group,
                       std::shared_ptr<const RootProcessLink> root);

  std::optional<int32_t> process_group_;
  std::shared_ptr<const RootProcessLink> root_;
};

// The launched command: the root process and the process group it leads.
//
// Move-only; a moved-from object holds no process and no group. While it
// owns the group, destroying it sends SIGKILL to the whole group (and to the
// root itself while it runs, in case it left the group) and then reaps the
// root with a blocking wait, so no error path (or failing test) leaves
// processes behind. `relinquish` gives the group up instead.
//
// The root is reaped there, or when the group is given up, and nowhere else:
// try_wait_root sees its exit without collecting it. Its zombie keeps its
// pid, which is the group's id, so while the group may still be signalled no
// other process can take that id, and the group signals reach only what is
// ours. (A process of the same session may still move into the group by
// setpgid while it exists: it is then a member like any other.)
//
// Launched with LaunchSpec::dies_with_supervisor, the root carries the
// kernel's parent-death signal (SIGKILL): should the supervisor die without
// any of this running (SIGKILL, a crash), the kernel kills the root.
class OwnedProcess {
 public:
  // Launches `spec.argv` as the root of a new process group (group id = its
  // pid). In order:
  //  - standard input is replaced by /dev/null when it is inherited and the
  //    supervisor's is a terminal (stdin_was_terminal());
  //  - an empty argv, or an empty first word, is EmptyArgv;
  //  - a working directory that is not an existing directory is
  //    InvalidWorkingDirectory;
  //  - malformed environment keys or values, or NUL in an argument, are
  //    LaunchFailed with EINVAL;
  //  - the child is forked from the calling thread, which must live as long
  //    as the root when it is to die with the supervisor (the parent-death
  //    signal follows the thread that forked, not the process);
  //  - failures in the child up to and including exec come back as the
  //    launch's result: ENOENT is NotFound, EACCES or EPERM NotExecutable,
  //    anything else LaunchFailed;
  //  - the new group is checked with getpgid; a group that is not the child's
  //    own is GroupNotValidated, after killing and reaping the child. A child
  //    that is already gone (and reaped) by then is a success with its status
  //    cached.
  // The child gets an empty signal mask and the default action of every
  // signal the supervisor ignores for itself (SIGPIPE and those of
  // process_control::signals_ignored_for_supervisor); other dispositions are
  // as exec leaves them (caught signals revert to default, ignored ones stay
  // ignored).
  static Result<OwnedProcess, LaunchError> launch(const LaunchSpec& spec);

  // As launch, and hands the child `endpoint` (the child's end of the
  // checkpoint socket pair) on descriptor 198 without close-on-exec, with
  // VEK_GUARD_CHECKPOINT_FD=198 in its environment even when the environment
  // is cleared. An environment map holding that exact key (case-sensitive) is
  // CheckpointConfiguration. The supervisor's copy of `endpoint` is closed
  // when this returns, whatever the result.
  static Result<OwnedProcess, LaunchError> launch_with_checkpoint(const LaunchSpec& spec,
                                                                  UniqueFd endpoint);

  OwnedProcess(OwnedProcess&& other) noexcept;
  OwnedProcess& operator=(OwnedProcess&& other) noexcept;
  OwnedProcess(const OwnedProcess&) = delete;
  OwnedProcess& operator=(const OwnedProcess&) = delete;
  ~OwnedProcess();

  // The root's status once it has ended, absent while it runs (a non-blocking
  // waitid that leaves the root a zombie, see the class comment). Once
  // known, the status is returned again without any system call. A failed
  // wait is WaitFailed; a root that was reaped or given up already is
  // WaitFailed with ECHILD.
  Result<std::optional<ChildStatus>, ControlError> try_wait_root();

  // Whether any process is left in the owned group (kill(-pgid, 0); EPERM
  // counts as existing). Zombies count: once the root has exited, its own
  // keeps this true until the drop, so only the process table tells live
  // members from the dead. Failure, or no group, is GroupQueryFailed.
  Result<bool, ControlError> owned_group_exists() const;

  // SIGTERM / SIGKILL to the whole group, and to a root that left it, as
  // ProcessControlHandle::signal_group. ESRCH is ProcessMissing, EPERM
  // PermissionDenied; other errors, or no group, are DeliveryFailed.
  Result<SignalDelivery, ControlError> terminate_group() const;
  Result<SignalDelivery, ControlError> kill_group() const;

  // Forwards a terminal signal the supervisor received to the whole group.
  // Only the terminal signals, SIGHUP (1), SIGINT (2), SIGQUIT (3) and SIGTERM
  // (15), are forwarded; anything else is NotForwardable before anything is
  // looked at. Then as terminate_group.
  Result<SignalDelivery, ControlError> forward_terminal_signal(uint8_t signal) const;

  // Accepts the process that answered the checkpoint negotiation as the
  // endpoint: its pid must be >= 1 and getpgid(pid) must be the owned group,
  // else EndpointNotOwned. `start_time` is what the process inspector
  // reported for the pid.
  Result<CheckpointEndpoint, ControlError> negotiate_checkpoint_endpoint(uint64_t start_time,
                                                                         int32_t pid) const;

  // Gives the group up: it keeps running and is neither signalled nor waited
  // for. A root that has ended is reaped now (without blocking); one that
  // still runs is left to run, and to whoever inherits it. Used when the
  // supervision stops but leaves the command alone.
  void relinquish() &&;

  // A handle on the group that also reaches the root while it is unreaped.
  ProcessControlHandle control_handle() const;

  int32_t root_pid() const { return root_pid_; }
  std::optional<int32_t> process_group() const { return process_group_; }
  bool owns_group() const { return owns_group_; }
  bool stdin_was_terminal() const { return stdin_was_terminal_; }

 private:
  OwnedProcess() = default;
  static Result<OwnedProcess, LaunchError> launch_impl(const LaunchSpec& spec, int endpoint);
  // Waits on the root's pidfd while the root's exit has not been seen.
  friend void wait_for(Duration duration, const TerminalSignalMonitor* monitor,
                       const OwnedProcess* owned);
  // Leaves a moved-from object with no process, no group and nothing to do.
  void release_everything();

  int32_t root_pid_ = 0;
  std::optional<int32_t> process_group_;
  std::optional<ChildStatus> root_status_;
  // Shared with the handles; absent in a moved-from object. Its `exited`
  // flag says the root's exit has been seen (it is a zombie of ours), its
  // `released` flag that the root has been reaped (or given up): its pid may
  // already name another process, so it is never waited for again.
  std::shared_ptr<RootProcessLink> root_;
  bool owns_group_ = false;
  bool stdin_was_terminal_ = false;
};

// ---------------------------------------------------------------------------
// Waiting between supervision passes.

// Waits for `duration`, or less: it returns early when a signal byte is
// waiting in `monitor`'s pipe, or when the root of `owned` exits while its
// exit has not been seen yet (through the root's pidfd; without pidfd_open,
// before Linux 5.3, the root's exit waits for the timeout like everything
// else). With neither, it is a plain timed sleep. Either may be null.
// Interruptions by a signal handler are waited out against the monotonic
// clock, so a handled signal shortens nothing. The wait is taken in pieces of
// at most an hour, well inside what ppoll accepts; a failing wait (other than
// an interruption) returns at once. Supervision thread only.
void wait_for(Duration duration, const TerminalSignalMonitor* monitor, const OwnedProcess* owned);

// ---------------------------------------------------------------------------
// Client readiness.

// The readiness descriptor of an invoking client (--client-ready-fd). The
// client waits for end of file on its side: closing ours tells it that
// supervision is running. Held from start-up until supervision begins, then
// notified once; dropping an un-notified holder closes it too, so a start-up
// that ends early releases the client as well.
class ClientReady {
 public:
  // Takes ownership of `fd` and marks it close-on-exec so that the command
  // never inherits it. No descriptor: an empty holder. Standard input, output
  // or error (0 to 2) are refused (ClientReadyConfiguration with EBADF) and
  // left open; a descriptor that cannot be configured is
  // ClientReadyConfiguration with the error (and is not owned).
  static Result<ClientReady, ControlError> take(std::optional<int> fd);

  ClientReady() = default;

  // Closes the descriptor.
  void notify() &&;

  bool holds_descriptor() const { return fd_.valid(); }

 private:
  explicit ClientReady(UniqueFd fd) : fd_(std::move(fd)) {}

  UniqueFd fd_;
};

}  // namespace vek_guard

#endif  // VEK_GUARD_PROCESS_CONTROL_H_
