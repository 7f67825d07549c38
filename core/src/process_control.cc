#include "vek_guard/process_control.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "vek_guard/fd_io.h"
#include "vek_guard/supervisor_signals.h"

namespace vek_guard {

// Shared by an OwnedProcess and every handle taken from it. Only the
// supervision thread reads or changes it.
struct RootProcessLink {
  pid_t pid = 0;
  // Pins the root: signals through it can never reach a later process that
  // reuses the pid. Invalid where pidfd_open is unavailable.
  UniqueFd pidfd;
  // Its exit has been seen but not collected: a zombie now, which keeps its
  // pid, and with it the group's id, from being handed to anyone else.
  bool exited = false;
  // The root has been waited for (or given up): its pid may name another
  // process by now, so it is never signalled or waited for again.
  bool released = false;
};

namespace {

Unexpected<LaunchError> launch_error(LaunchErrorKind kind, std::optional<int> os_error = {}) {
  return unexpected(LaunchError{kind, os_error});
}

Unexpected<ControlError> control_error(ControlErrorKind kind, std::optional<int> os_error = {}) {
  return unexpected(ControlError{kind, os_error});
}

pid_t wait_retrying(pid_t pid, int* status, int options) {
  pid_t waited;
  do {
    waited = ::waitpid(pid, status, options);
  } while (waited < 0 && errno == EINTR);
  return waited;
}

// How a child ended, from what waitid tells without collecting it. Only
// exits are asked for, so anything else is not an end.
Result<ChildStatus, ControlError> status_from_exit_info(const siginfo_t& info) {
  switch (info.si_code) {
    case CLD_EXITED:
      return ChildStatus::exited(static_cast<uint8_t>(info.si_status & 0xff));
    case CLD_KILLED:
    case CLD_DUMPED:
      return ChildStatus::signaled(static_cast<uint8_t>(info.si_status));
    default:
      return control_error(ControlErrorKind::InvalidStatus);
  }
}

// Kills one process (not its group) and reaps it; used only for a child whose
// group could not be validated, so there is no group to speak of.
void kill_and_reap(pid_t pid) {
  (void)::kill(pid, SIGKILL);
  int status = 0;
  (void)wait_retrying(pid, &status, 0);
}

Result<SignalDelivery, ControlError> delivery_from_kill(int rc) {
  if (rc == 0) return SignalDelivery::Delivered;
  const int error = errno;
  if (error == ESRCH) return SignalDelivery::ProcessMissing;
  if (error == EPERM) return SignalDelivery::PermissionDenied;
  return control_error(ControlErrorKind::DeliveryFailed, error);
}

// Signals the root itself: through its pidfd, or, without one, by pid,
// which is safe only because the caller checked that the root is unreaped.
Result<SignalDelivery, ControlError> signal_root(const RootProcessLink& root, int signal) {
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)
  if (root.pidfd.valid()) {
    return delivery_from_kill(
        static_cast<int>(::syscall(SYS_pidfd_send_signal, root.pidfd.get(), signal, nullptr, 0)));
  }
#endif
  return delivery_from_kill(::kill(root.pid, signal));
}

// One result for a signal sent to the group and to the root beside it: a
// refusal or a failure on either side is reported, and the signal counts as
// delivered when it reached anyone.
Result<SignalDelivery, ControlError> combined(Result<SignalDelivery, ControlError> group,
                                              Result<SignalDelivery, ControlError> root) {
  if (!group) return group;
  if (!root) return root;
  if (*group == SignalDelivery::PermissionDenied || *root == SignalDelivery::PermissionDenied) {
    return SignalDelivery::PermissionDenied;
  }
  if (*group == SignalDelivery::Delivered || *root == SignalDelivery::Delivered) {
    return SignalDelivery::Delivered;
  }
  return SignalDelivery::ProcessMissing;
}

// The environment the child starts with, as "KEY=VALUE" entries.
class ChildEnvironment {
 public:
  explicit ChildEnvironment(bool inherit) {
    if (!inherit) return;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      entries_.emplace_back(*entry);
    }
  }

  // Replaces every inherited entry of `key` (the environment may hold
  // duplicates, and the last one is not the one every reader sees).
  void set(std::string_view key, std::string_view value) {
    std::erase_if(entries_, [key](const std::string& entry) {
      return entry.size() > key.size() && entry[key.size()] == '=' && entry.starts_with(key);
    });
    std::string entry(key);
    entry += '=';
    entry += value;
    entries_.push_back(std::move(entry));
  }

  std::vector<char*> pointers() {
    std::vector<char*> out;
    out.reserve(entries_.size() + 1);
    for (std::string& entry : entries_) out.push_back(entry.data());
    out.push_back(nullptr);
    return out;
  }

 private:
  std::vector<std::string> entries_;
};

bool valid_environment_key(const std::string& key) {
  return !key.empty() && key.find('=') == std::string::npos && key.find('\0') == std::string::npos;
}

LaunchErrorKind kind_of_exec_error(int error) {
  if (error == ENOENT) return LaunchErrorKind::NotFound;
  if (error == EACCES || error == EPERM) return LaunchErrorKind::NotExecutable;
  return LaunchErrorKind::LaunchFailed;
}

// What execvp runs a file with when the kernel does not know its format (a
// script without a "#!" line).
constexpr char kShell[] = "/bin/sh";

// The child's exit status when it cannot run the command (the launch reports
// why) or finds its supervisor already gone (nobody is left to tell).
constexpr int kChildFailedStatus = 127;

// Everything the child does between fork and exec, prepared before the fork:
// the supervisor may run other threads, so the child must not allocate or
// take a lock, and makes only async-signal-safe calls.
struct ExecPlan {
  pid_t supervisor = 0;
  // Arm the parent-death signal (LaunchSpec::dies_with_supervisor).
  bool dies_with_supervisor = false;
  // Write end of the pipe that carries an exec failure back as an errno; it
  // is close-on-exec, so a successful exec shows as end of file.
  int error_pipe = -1;
  int endpoint = -1;  // put on descriptor 198 when >= 0
  // open(2) flags of /dev/null for standard input, output and error; -1
  // keeps the supervisor's.
  int null_flags[3] = {-1, -1, -1};
  const char* working_directory = nullptr;
  // The soft RLIMIT_NOFILE to set once the descriptors are in place;
  // RLIM_INFINITY keeps the supervisor's.
  rlim_t descriptor_soft_limit = RLIM_INFINITY;
  sigset_t defaulted{};
  // Paths execve is tried on in order: the file itself when it holds a
  // slash, else each entry of the search path joined with it.
  std::vector<std::string> candidates;
  bool searching = false;
  std::vector<char*> argv;
  std::vector<char*> envp;
  // {kShell, <candidate>, argv[1], ..., nullptr}; slot 1 is set per try.
  std::vector<char*> script_argv;
};

// execvpe's search as glibc does it: an empty entry is the working
// directory; a candidate that is missing, or not a directory, or refused
// (EACCES, remembered) moves on to the next; any other failure ends the
// search. A file the kernel cannot execute (ENOEXEC) is run by the shell.
// Returns the errno that ends it.
int exec_searching(ExecPlan& plan) {
  bool refused = false;
  int error = ENOENT;
  for (const std::string& candidate : plan.candidates) {
    ::execve(candidate.c_str(), plan.argv.data(), plan.envp.data());
    error = errno;
    if (error == ENOEXEC) {
      plan.script_argv[1] = const_cast<char*>(candidate.c_str());
      ::execve(kShell, plan.script_argv.data(), plan.envp.data());
      error = errno;
    }
    if (!plan.searching) return error;
    switch (error) {
      case EACCES:
        refused = true;
        break;
      case ENOENT:
      case ESTALE:
      case ENOTDIR:
      case ENODEV:
      case ETIMEDOUT:
        break;
      default:
        return error;
    }
  }
  return refused ? EACCES : error;
}

// Sets every caught signal, and the named ones, back to the default action.
// Exec would reset the caught ones too, but a signal that arrives between
// unblocking and exec must not run the supervisor's handler in the child:
// the terminal-signal handler would write into the supervisor's own pipe.
int reset_signal_actions(const sigset_t& defaulted) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  for (int signal = 1; signal < NSIG; ++signal) {
    if (signal == SIGKILL || signal == SIGSTOP) continue;
    struct sigaction current {};
    // The C library keeps a few real-time signals to itself and refuses them.
    if (::sigaction(signal, nullptr, &current) != 0) continue;
    const bool caught = (current.sa_flags & SA_SIGINFO) != 0 ||
                        (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
    if ((caught || sigismember(&defaulted, signal) == 1) &&
        ::sigaction(signal, &default_action, nullptr) != 0) {
      return errno;
    }
  }
  return 0;
}

// The endpoint on descriptor 198 without close-on-exec. dup2 clears the flag
// on its target, except when source and target are the same descriptor,
// where it does nothing: hence the explicit clear.
int place_endpoint(int endpoint) {
  if (endpoint != kCheckpointChildFd && ::dup2(endpoint, kCheckpointChildFd) < 0) return errno;
  const int flags = ::fcntl(kCheckpointChildFd, F_GETFD);
  if (flags < 0 || ::fcntl(kCheckpointChildFd, F_SETFD, flags & ~FD_CLOEXEC) != 0) return errno;
  return 0;
}

int open_null_on(int target, int flags) {
  const int fd = ::open("/dev/null", flags);
  if (fd < 0) return errno;
  if (fd == target) return 0;
  const int error = ::dup2(fd, target) < 0 ? errno : 0;
  ::close(fd);
  return error;
}

[[noreturn]] void fail_in_child(int error_pipe, int error) {
  // A report that cannot be written cannot be reported either; the child
  // exits all the same.
  (void)write_all(error_pipe, &error, sizeof error);
  ::_exit(kChildFailedStatus);
}

// The child's side of the launch; every signal is blocked on entry.
[[noreturn]] void exec_child(ExecPlan& plan) {
  // The kernel sends the parent-death signal when the thread that forked
  // exits, not the process: launches are made from the supervision thread,
  // which lives as long as the supervisor. A supervisor that died before
  // the signal was armed would never send it, so check for that after.
  if (plan.dies_with_supervisor) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail_in_child(plan.error_pipe, errno);
    if (::getppid() != plan.supervisor) ::_exit(kChildFailedStatus);
  }

  int error = reset_signal_actions(plan.defaulted);
  if (error == 0 && ::setpgid(0, 0) != 0) error = errno;
  // First, so that replacing a standard stream below cannot clobber an
  // endpoint that happens to sit on 0, 1 or 2.
  if (error == 0 && plan.endpoint >= 0) error = place_endpoint(plan.endpoint);
  for (int fd = 0; fd < 3 && error == 0; ++fd) {
    if (plan.null_flags[fd] >= 0) error = open_null_on(fd, plan.null_flags[fd]);
  }
  // Only now: descriptor 198 may have needed the supervisor's raised limit.
  // A limit below an open descriptor leaves that descriptor usable.
  if (error == 0 && plan.descriptor_soft_limit != RLIM_INFINITY) {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
      error = errno;
    } else {
      limit.rlim_cur = plan.descriptor_soft_limit;
      if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) error = errno;
    }
  }
  if (error == 0 && plan.working_directory != nullptr && ::chdir(plan.working_directory) != 0) {
    error = errno;
  }
  if (error == 0) {
    // Nothing blocked, whatever mask the supervisor runs with.
    sigset_t empty;
    sigemptyset(&empty);
    if (::sigprocmask(SIG_SETMASK, &empty, nullptr) != 0) error = errno;
  }
  if (error == 0) error = exec_searching(plan);
  fail_in_child(plan.error_pipe, error);
}

// Reads the errno a failed child sent; none when the exec succeeded (end of
// file without a byte).
Result<std::optional<int>, int> read_exec_error(int fd) {
  int error = 0;
  const ssize_t got = read_full(fd, {reinterpret_cast<uint8_t*>(&error), sizeof error});
  if (got < 0) return unexpected(errno);
  if (got == 0) return std::optional<int>();
  if (static_cast<std::size_t>(got) != sizeof error) return unexpected(EIO);
  return std::optional<int>(error);
}

UniqueFd open_pidfd(pid_t pid) {
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) return UniqueFd(static_cast<int>(fd));
#endif
  (void)pid;
  return UniqueFd();
}

}  // namespace

// ---------------------------------------------------------------------------

namespace process_control {

Result<std::optional<uint64_t>, LaunchError> make_room_for_checkpoint_descriptor() {
  constexpr rlim_t kNeeded = kCheckpointChildFd + 1;
  struct rlimit limit {};
  // Unknown: nothing to change, and a launch that fails for it says so.
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::optional<uint64_t>();
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= kNeeded) {
    return std::optional<uint64_t>();
  }
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < kNeeded) {
    return launch_error(LaunchErrorKind::CheckpointConfiguration, EMFILE);
  }
  const rlim_t original = limit.rlim_cur;
  limit.rlim_cur = kNeeded;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return launch_error(LaunchErrorKind::CheckpointConfiguration, errno);
  }
  return std::optional<uint64_t>(static_cast<uint64_t>(original));
}

Result<ChildStatus, ControlError> decode_wait_status(int status) {
  const int low = status & 0x7f;
  // 0x7f in the low bits is a stopped (or continued) child: it is still
  // there, so treating it as an exit would abandon a live process.
  if (low == 0x7f) return control_error(ControlErrorKind::InvalidStatus);
  if (low != 0) return ChildStatus::signaled(static_cast<uint8_t>(low));
  return ChildStatus::exited(static_cast<uint8_t>((status >> 8) & 0xff));
}

}  // namespace process_control

// ---------------------------------------------------------------------------

ProcessControlHandle::ProcessControlHandle(std::optional<int32_t> process_group,
                                           std::shared_ptr<const RootProcessLink> root)
    : process_group_(process_group), root_(std::move(root)) {}

Result<SignalDelivery, ControlError> ProcessControlHandle::signal_group(int signal) const {
  if (!process_group_ || *process_group_ < 2) {
    return control_error(ControlErrorKind::DeliveryFailed);
  }
  Result<SignalDelivery, ControlError> group = delivery_from_kill(::kill(-*process_group_, signal));
  // A root whose exit has been seen has nothing left to signal.
  if (!root_ || root_->released || root_->exited) return group;
  // A root may move itself into another group of its session, where the
  // group signal no longer reaches it. Asked after the group signal, so a
  // root that leaves in between is signalled twice rather than not at all.
  // An unreaped root answers getpgid even as a zombie.
  const pid_t root_group = ::getpgid(root_->pid);
  if (root_group < 0 || root_group == *process_group_) return group;
  return combined(group, signal_root(*root_, signal));
}

Result<SignalDelivery, ControlError> ProcessControlHandle::signal_checkpoint(
    const CheckpointEndpoint& endpoint, uint8_t signal) const {
  return signal_checkpoint(endpoint, signal, NativeProcessInventory());
}

Result<SignalDelivery, ControlError> ProcessControlHandle::signal_checkpoint(
    const CheckpointEndpoint& endpoint, uint8_t signal,
    const NativeProcessInventory& inspector) const {
  const auto not_owned = [] { return control_error(ControlErrorKind::EndpointNotOwned); };
  if (!process_group_ || endpoint.process_group != *process_group_) return not_owned();
  if (endpoint.pid < 1) return not_owned();
  if (::getpgid(endpoint.pid) != *process_group_) return not_owned();

  // The group check alone would accept any process that reused the pid
  // inside our group; the start time pins the one that negotiated.
  Result<ProcessRecord, InspectionError> record = inspector.inspect(endpoint.pid);
  if (!record) {
    switch (record.error()) {
      case InspectionError::Missing:
        return SignalDelivery::ProcessMissing;
      case InspectionError::PermissionDenied:
        return SignalDelivery::PermissionDenied;
      case InspectionError::IdentityChanged:
        return not_owned();
      case InspectionError::InvalidData:
      case InspectionError::Unsupported:
      case InspectionError::Failed:
        break;
    }
    return control_error(ControlErrorKind::DeliveryFailed);
  }
  if (record->pid != endpoint.pid || record->start_time != endpoint.start_time) {
    return not_owned();
  }
  if (record->exited) return SignalDelivery::ProcessMissing;

  if (::kill(endpoint.pid, signal) == 0) return SignalDelivery::Delivered;
  const int error = errno;
  if (error == ESRCH) return SignalDelivery::ProcessMissing;
  if (error == EPERM || error == EACCES) return SignalDelivery::PermissionDenied;
  return control_error(ControlErrorKind::DeliveryFailed, error);
}

// ---------------------------------------------------------------------------

Result<OwnedProcess, LaunchError> OwnedProcess::launch(const LaunchSpec& spec) {
  return launch_impl(spec, -1);
}

Result<OwnedProcess, LaunchError> OwnedProcess::launch_with_checkpoint(const LaunchSpec& spec,
                                                                       UniqueFd endpoint) {
  if (!endpoint.valid()) return launch_error(LaunchErrorKind::CheckpointConfiguration, EBADF);
  // `endpoint` goes out of scope on return, closing the supervisor's copy:
  // only the child may hold that end, or the supervisor would never see the
  // client's end of file.
  return launch_impl(spec, endpoint.get());
}

Result<OwnedProcess, LaunchError> OwnedProcess::launch_impl(const LaunchSpec& spec, int endpoint) {
  const bool stdin_was_terminal =
      spec.stdin_disposition == StdioDisposition::Inherit && ::isatty(STDIN_FILENO) == 1;

  if (spec.argv.empty() || spec.argv.front().empty()) {
    return launch_error(LaunchErrorKind::EmptyArgv);
  }
  if (spec.working_directory) {
    struct stat info {};
    if (::stat(spec.working_directory->c_str(), &info) != 0) {
      return launch_error(LaunchErrorKind::InvalidWorkingDirectory, errno);
    }
    if (!S_ISDIR(info.st_mode)) {
      return launch_error(LaunchErrorKind::InvalidWorkingDirectory, ENOTDIR);
    }
  }
  // An embedded NUL would silently cut an argument or variable short in the
  // child; refuse it rather than run something other than what was asked.
  for (const std::string& argument : spec.argv) {
    if (argument.find('\0') != std::string::npos) {
      return launch_error(LaunchErrorKind::LaunchFailed, EINVAL);
    }
  }

  ChildEnvironment environment(!spec.clear_environment);
  for (const auto& [key, value] : spec.environment) {
    if (!valid_environment_key(key) || value.find('\0') != std::string::npos) {
      return launch_error(LaunchErrorKind::LaunchFailed, EINVAL);
    }
    environment.set(key, value);
  }
  if (endpoint >= 0) {
    if (spec.environment.contains(std::string(kCheckpointFdVariable))) {
      return launch_error(LaunchErrorKind::CheckpointConfiguration);
    }
    environment.set(kCheckpointFdVariable, std::to_string(kCheckpointChildFd));
  }

  ExecPlan plan;
  plan.supervisor = ::getpid();
  plan.dies_with_supervisor = spec.dies_with_supervisor;
  plan.endpoint = endpoint;
  const StdioDisposition streams[] = {
      stdin_was_terminal ? StdioDisposition::DevNull : spec.stdin_disposition,
      spec.stdout_disposition, spec.stderr_disposition};
  for (int fd = 0; fd < 3; ++fd) {
    if (streams[fd] == StdioDisposition::DevNull) {
      plan.null_flags[fd] = fd == STDIN_FILENO ? O_RDONLY : O_WRONLY;
    }
  }
  if (spec.working_directory) plan.working_directory = spec.working_directory->c_str();
  if (spec.descriptor_soft_limit) {
    plan.descriptor_soft_limit = static_cast<rlim_t>(*spec.descriptor_soft_limit);
  }
  // Exec resets a caught signal by itself, but an ignored one stays ignored,
  // and the supervisor ignores these for its own sake, not the command's.
  plan.defaulted = process_control::signals_ignored_for_supervisor();

  // The search uses the supervisor's PATH, as execvp would in its place, and
  // the C library's default path when PATH is unset.
  const std::string& file = spec.argv.front();
  if (file.find('/') != std::string::npos) {
    plan.candidates.push_back(file);
  } else {
    if (file.size() >= NAME_MAX) return launch_error(LaunchErrorKind::LaunchFailed, ENAMETOOLONG);
    plan.searching = true;
    std::string search_path;
    if (const char* path = ::getenv("PATH")) {
      search_path = path;
    } else {
      search_path.resize(::confstr(_CS_PATH, nullptr, 0));
      ::confstr(_CS_PATH, search_path.data(), search_path.size());
      search_path.resize(std::strlen(search_path.c_str()));
    }
    std::size_t begin = 0;
    while (true) {
      const std::size_t colon = std::min(search_path.find(':', begin), search_path.size());
      const std::string_view entry(search_path.data() + begin, colon - begin);
      if (entry.size() < PATH_MAX) {
        plan.candidates.push_back(entry.empty() ? file : std::string(entry) + "/" + file);
      }
      if (colon == search_path.size()) break;
      begin = colon + 1;
    }
  }
  std::vector<std::string> arguments = spec.argv;
  for (std::string& argument : arguments) plan.argv.push_back(argument.data());
  plan.argv.push_back(nullptr);
  plan.envp = environment.pointers();
  plan.script_argv.push_back(const_cast<char*>(kShell));
  plan.script_argv.push_back(nullptr);
  plan.script_argv.insert(plan.script_argv.end(), plan.argv.begin() + 1, plan.argv.end());

  int error_pipe[2];
  if (::pipe2(error_pipe, O_CLOEXEC) != 0) {
    return launch_error(LaunchErrorKind::LaunchFailed, errno);
  }
  UniqueFd error_read(error_pipe[0]);
  UniqueFd error_write(error_pipe[1]);
  plan.error_pipe = error_write.get();

  // Everything blocked across the fork, so that no handler of ours runs in
  // the child before it has put the default actions back.
  sigset_t everything;
  sigset_t previous_mask;
  sigfillset(&everything);
  ::pthread_sigmask(SIG_SETMASK, &everything, &previous_mask);
  const pid_t pid = ::fork();
  if (pid == 0) exec_child(plan);
  const int fork_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  error_write.reset();
  if (pid < 0) return launch_error(LaunchErrorKind::LaunchFailed, fork_error);

  OwnedProcess process;
  process.root_pid_ = pid;
  process.stdin_was_terminal_ = stdin_was_terminal;
  process.root_ = std::make_shared<RootProcessLink>();
  process.root_->pid = pid;
  // Opened now, while the child cannot have been waited for, so the pidfd
  // is certain to name it.
  process.root_->pidfd = open_pidfd(pid);

  // Until the child execs or fails, `process` owns nothing: a launch that
  // fails below reaps the child itself.
  Result<std::optional<int>, int> exec_error = read_exec_error(error_read.get());
  if (!exec_error) {
    kill_and_reap(pid);
    return launch_error(LaunchErrorKind::LaunchFailed, exec_error.error());
  }
  if (*exec_error) {
    int status = 0;
    (void)wait_retrying(pid, &status, 0);  // it exits right after reporting
    return launch_error(kind_of_exec_error(**exec_error), **exec_error);
  }

  const pid_t group = ::getpgid(pid);
  if (group == pid) {
    process.process_group_ = pid;
    process.owns_group_ = true;
    return process;
  }
  const int group_error = group < 0 ? errno : 0;
  if (group < 0 && group_error == ESRCH) {
    // The child is gone already (an unreaped child would still answer, so
    // someone reaped it or it is on its way out); settle its status now.
    int status = 0;
    const pid_t waited = wait_retrying(pid, &status, WNOHANG);
    if (waited < 0) return launch_error(LaunchErrorKind::GroupNotValidated, errno);
    if (waited == 0) {
      kill_and_reap(pid);
      return launch_error(LaunchErrorKind::GroupNotValidated, ESRCH);
    }
    Result<ChildStatus, ControlError> decoded = process_control::decode_wait_status(status);
    if (!decoded) {
      // Never a stopped child left behind, even though this wait does not
      // ask for stops.
      kill_and_reap(pid);
      return launch_error(LaunchErrorKind::GroupNotValidated);
    }
    process.process_group_ = pid;
    process.root_status_ = *decoded;
    process.root_->exited = true;
    process.root_->released = true;
    process.owns_group_ = true;
    return process;
  }
  kill_and_reap(pid);
  return launch_error(LaunchErrorKind::GroupNotValidated,
                      group < 0 ? std::optional<int>(group_error) : std::nullopt);
}

OwnedProcess::OwnedProcess(OwnedProcess&& other) noexcept
    : root_pid_(other.root_pid_),
      process_group_(other.process_group_),
      root_status_(other.root_status_),
      root_(std::move(other.root_)),
      owns_group_(other.owns_group_),
      stdin_was_terminal_(other.stdin_was_terminal_) {
  other.release_everything();
}

OwnedProcess& OwnedProcess::operator=(OwnedProcess&& other) noexcept {
  if (this != &other) {
    OwnedProcess previous(std::move(*this));  // killed and reaped at the end of this scope
    root_pid_ = other.root_pid_;
    process_group_ = other.process_group_;
    root_status_ = other.root_status_;
    root_ = std::move(other.root_);
    owns_group_ = other.owns_group_;
    stdin_was_terminal_ = other.stdin_was_terminal_;
    other.release_everything();
  }
  return *this;
}

void OwnedProcess::release_everything() {
  root_pid_ = 0;
  process_group_.reset();
  root_status_.reset();
  root_.reset();
  owns_group_ = false;
}

OwnedProcess::~OwnedProcess() {
  if (!owns_group_) return;
  // Reaches the root too when it moved itself to another group, so the
  // blocking wait below cannot hang for as long as it would live.
  (void)control_handle().signal_group(SIGKILL);
  // Only now, after the last signal to the group: until the root is
  // collected, its pid keeps the group's id from being handed to a process
  // that is not ours.
  if (root_ && !root_->released) {
    root_->released = true;
    int status = 0;
    (void)wait_retrying(root_pid_, &status, 0);
  }
}

ProcessControlHandle OwnedProcess::control_handle() const {
  return ProcessControlHandle(process_group_, root_);
}

Result<std::optional<ChildStatus>, ControlError> OwnedProcess::try_wait_root() {
  if (root_status_) return root_status_;
  if (!root_ || root_->released) return control_error(ControlErrorKind::WaitFailed, ECHILD);
  // Seen, not collected: until the drop reaps it, the zombie keeps the pid,
  // which is the group's id, so that no process started later can take it
  // and be signalled as the group.
  siginfo_t info{};
  int rc;
  do {
    info.si_pid = 0;
    rc = ::waitid(P_PID, static_cast<id_t>(root_pid_), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return control_error(ControlErrorKind::WaitFailed, errno);
  if (info.si_pid == 0) return std::optional<ChildStatus>();
  Result<ChildStatus, ControlError> decoded = status_from_exit_info(info);
  if (!decoded) return unexpected(decoded.error());
  root_status_ = *decoded;
  root_->exited = true;
  return root_status_;
}

Result<bool, ControlError> OwnedProcess::owned_group_exists() const {
  if (!process_group_ || *process_group_ < 2) {
    return control_error(ControlErrorKind::GroupQueryFailed);
  }
  if (::kill(-*process_group_, 0) == 0) return true;
  const int error = errno;
  if (error == EPERM) return true;
  if (error == ESRCH) return false;
  return control_error(ControlErrorKind::GroupQueryFailed, error);
}

Result<SignalDelivery, ControlError> OwnedProcess::terminate_group() const {
  return control_handle().signal_group(SIGTERM);
}

Result<SignalDelivery, ControlError> OwnedProcess::kill_group() const {
  return control_handle().signal_group(SIGKILL);
}

Result<SignalDelivery, ControlError> OwnedProcess::forward_terminal_signal(uint8_t signal) const {
  if (!process_control::is_terminal_signal(signal)) {
    return control_error(ControlErrorKind::NotForwardable);
  }
  return control_handle().signal_group(signal);
}

Result<CheckpointEndpoint, ControlError> OwnedProcess::negotiate_checkpoint_endpoint(
    uint64_t start_time, int32_t pid) const {
  if (pid < 1 || !process_group_) return control_error(ControlErrorKind::EndpointNotOwned);
  const pid_t group = ::getpgid(pid);
  if (group != *process_group_) return control_error(ControlErrorKind::EndpointNotOwned);
  return CheckpointEndpoint{.start_time = start_time, .pid = pid, .process_group = group};
}

void OwnedProcess::relinquish() && {
  OwnedProcess released(std::move(*this));
  released.owns_group_ = false;
  // Handles taken earlier must not reach for a root that nobody waits for.
  // Nothing signals the group from here on, so a root that has ended may be
  // collected now; one still running is left to whoever inherits it.
  if (released.root_ && !released.root_->released) {
    released.root_->released = true;
    int status = 0;
    (void)wait_retrying(released.root_pid_, &status, WNOHANG);
  }
}

// ---------------------------------------------------------------------------

void wait_for(Duration duration, const TerminalSignalMonitor* monitor, const OwnedProcess* owned) {
  // The longest single wait; a longer one is taken in several, which keeps
  // the timeout well inside what ppoll accepts.
  constexpr Duration kLongestWait = Duration::from_secs(3600);
  pollfd fds[2];
  nfds_t count = 0;
  if (monitor != nullptr) fds[count++] = {monitor->fd(), POLLIN, 0};
  // Once the root has exited its pidfd stays readable for good, reaped or
  // not; polling it then would turn the wait into a spin.
  if (owned != nullptr && owned->root_ && !owned->root_->exited && !owned->root_->released &&
      owned->root_->pidfd.valid()) {
    fds[count++] = {owned->root_->pidfd.get(), POLLIN, 0};
  }
  Duration remaining = duration;
  const MonotonicInstant start = MonotonicInstant::now();
  while (!remaining.is_zero()) {
    const Duration wait = std::min(remaining, kLongestWait);
    timespec timeout{};
    timeout.tv_sec = static_cast<time_t>(wait.secs());
    timeout.tv_nsec = static_cast<long>(wait.subsec_nanos());
    const int ready = ::ppoll(count == 0 ? nullptr : fds, count, &timeout, nullptr);
    if (ready > 0) return;  // a signal arrived or the root exited: next pass now
    if (ready < 0 && errno != EINTR) return;
    remaining = duration.saturating_sub(start.elapsed());
  }
}

// ---------------------------------------------------------------------------

Result<ClientReady, ControlError> ClientReady::take(std::optional<int> fd) {
  if (!fd) return ClientReady();
  // Standard streams are never taken: closing one would hand its number to
  // the next descriptor we open.
  if (*fd <= STDERR_FILENO) return control_error(ControlErrorKind::ClientReadyConfiguration, EBADF);
  const int flags = ::fcntl(*fd, F_GETFD);
  if (flags < 0 || ::fcntl(*fd, F_SETFD, flags | FD_CLOEXEC) != 0) {
    return control_error(ControlErrorKind::ClientReadyConfiguration, errno);
  }
  return ClientReady(UniqueFd(*fd));
}

void ClientReady::notify() && { fd_.reset(); }

}  // namespace vek_guard
