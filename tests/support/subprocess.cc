#include "support/subprocess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace vek_guard::test_support {
namespace {

void close_quietly(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Everything the child needs is built before fork: after fork only
// async-signal-safe calls are made.
struct PreparedExec {
  std::vector<std::string> argv_storage;
  std::vector<std::string> env_storage;
  std::vector<char*> argv;
  std::vector<char*> envp;
};

PreparedExec prepare(const SubprocessOptions& options) {
  PreparedExec prepared;
  prepared.argv_storage = options.argv;
  std::map<std::string, std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const auto eq = text.find('=');
    if (eq != std::string::npos) env[text.substr(0, eq)] = text.substr(eq + 1);
  }
  for (const auto& [key, value] : options.env) env[key] = value;
  for (const auto& [key, value] : env) prepared.env_storage.push_back(key + "=" + value);
  for (auto& arg : prepared.argv_storage) prepared.argv.push_back(arg.data());
  prepared.argv.push_back(nullptr);
  for (auto& entry : prepared.env_storage) prepared.envp.push_back(entry.data());
  prepared.envp.push_back(nullptr);
  return prepared;
}

[[noreturn]] void child_fail(const char* what) {
  const char prefix[] = "subprocess: ";
  (void)!::write(2, prefix, sizeof prefix - 1);
  (void)!::write(2, what, std::strlen(what));
  (void)!::write(2, "\n", 1);
  _exit(127);
}

}  // namespace

Subprocess Subprocess::start(const SubprocessOptions& options) {
  Subprocess process;
  if (options.argv.empty()) {
    ADD_FAILURE() << "Subprocess::start without argv";
    return process;
  }
  PreparedExec prepared = prepare(options);

  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed: " << std::strerror(errno);
    return process;
  }

  int master = -1;
  std::string slave_name;
  if (options.stdin_pty) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
      ADD_FAILURE() << "pseudo-terminal set-up failed: " << std::strerror(errno);
      return process;
    }
    slave_name = ptsname(master);
  }

  std::vector<int> keep = options.inherit_fds;
  std::sort(keep.begin(), keep.end());

  const pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork failed: " << std::strerror(errno);
    return process;
  }
  if (pid == 0) {
    if (options.stdin_pty && setsid() < 0) child_fail("setsid");
    if (options.new_process_group && setpgid(0, 0) < 0) child_fail("setpgid");
    if (options.stdin_pty) {
      const int slave = ::open(slave_name.c_str(), O_RDWR);
      if (slave < 0 || dup2(slave, 0) < 0) child_fail("pty slave");
      if (slave > 2) ::close(slave);
    } else {
      const int null_fd = ::open("/dev/null", O_RDONLY);
      if (null_fd < 0 || dup2(null_fd, 0) < 0) child_fail("/dev/null");
      if (null_fd > 2) ::close(null_fd);
    }
    if (dup2(out_pipe[1], 1) < 0 || dup2(err_pipe[1], 2) < 0) child_fail("dup2");
    // Close every descriptor the test process holds except those handed on.
    unsigned int next = 3;
    for (const int fd : keep) {
      if (fd < 3) continue;
      if (static_cast<unsigned int>(fd) > next)
        close_range(next, static_cast<unsigned int>(fd) - 1, 0);
      const int flags = fcntl(fd, F_GETFD);
      if (flags >= 0) fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
      next = static_cast<unsigned int>(fd) + 1;
    }
    close_range(next, ~0U, 0);
    signal(SIGPIPE, SIG_DFL);
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);
    for (const int pending : options.pending_signals) {
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, pending);
      sigprocmask(SIG_BLOCK, &one, nullptr);
      raise(pending);
    }
    execve(prepared.argv[0], prepared.argv.data(), prepared.envp.data());
    child_fail("execve");
  }

  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  process.pid_ = pid;
  process.stdout_fd_ = out_pipe[0];
  process.stderr_fd_ = err_pipe[0];
  process.pty_master_fd_ = master;
  return process;
}

Subprocess::Subprocess(Subprocess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdout_fd_(std::exchange(other.stdout_fd_, -1)),
      stderr_fd_(std::exchange(other.stderr_fd_, -1)),
      pty_master_fd_(std::exchange(other.pty_master_fd_, -1)),
      reaped_(std::exchange(other.reaped_, true)) {}

Subprocess::~Subprocess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  close_quietly(stdout_fd_);
  close_quietly(stderr_fd_);
  close_quietly(pty_master_fd_);
}

void Subprocess::send_signal(int signal) const {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

SubprocessResult Subprocess::wait(std::chrono::milliseconds timeout) {
  SubprocessResult result;
  if (pid_ <= 0 || reaped_) return result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool exited = false;
  int status = 0;
  // A descendant that outlives the child may keep the pipes open; after the
  // child's exit, output is collected only for a short while longer.
  std::chrono::steady_clock::time_point drain_deadline{};
  char buffer[4096];
  while (true) {
    if (!exited) {
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exited = true;
        drain_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
      }
    }
    if (exited && stdout_fd_ < 0 && stderr_fd_ < 0) break;
    const auto now = std::chrono::steady_clock::now();
    if (exited && now >= drain_deadline) break;
    if (now >= deadline) {
      result.timed_out = true;
      if (!exited) {
        ::kill(pid_, SIGKILL);
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        exited = true;
      }
      break;
    }
    pollfd fds[2];
    nfds_t count = 0;
    if (stdout_fd_ >= 0) fds[count++] = {stdout_fd_, POLLIN, 0};
    if (stderr_fd_ >= 0) fds[count++] = {stderr_fd_, POLLIN, 0};
    if (count == 0) {
      // Output is closed but the child (or a descendant holding nothing) is
      // still running: wait for it in small steps.
      usleep(2000);
      continue;
    }
    const int ready = poll(fds, count, 10);
    if (ready <= 0) continue;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      std::string& sink = fds[i].fd == stdout_fd_ ? result.stdout_text : result.stderr_text;
      if (n > 0) {
        sink.append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        if (fds[i].fd == stdout_fd_) {
          close_quietly(stdout_fd_);
        } else {
          close_quietly(stderr_fd_);
        }
      }
    }
  }
  reaped_ = true;
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  return result;
}

SubprocessResult run_subprocess(const SubprocessOptions& options,
                                std::chrono::milliseconds timeout) {
  Subprocess process = Subprocess::start(options);
  return process.wait(timeout);
}

bool process_exists(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

bool process_running(pid_t pid) {
  const char state = process_state(pid);
  return state != '\0' && state != 'Z' && state != 'X';
}

bool process_ending(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::string stat = read_file(proc + "/stat");
  const auto close = stat.rfind(')');
  char state = '\0';
  unsigned long flags = 0;
  // State, parent, group, session, terminal, its group, then the flags.
  if (close == std::string::npos ||
      std::sscanf(stat.c_str() + close, ") %c %*d %*d %*d %*d %*d %lu", &state, &flags) != 2) {
    return true;
  }
  constexpr unsigned long kExitingFlag = 0x4;  // PF_EXITING
  if (state == 'Z' || state == 'X' || (flags & kExitingFlag) != 0) return true;
  // A SIGKILL is pending for the main thread, or for the whole process.
  const std::string status = read_file(proc + "/status");
  for (const char* key : {"\nSigPnd:", "\nShdPnd:"}) {
    const auto at = status.find(key);
    if (at == std::string::npos) return true;
    const uint64_t pending = std::strtoull(status.c_str() + at + std::strlen(key), nullptr, 16);
    if ((pending & (uint64_t{1} << (SIGKILL - 1))) != 0) return true;
  }
  return false;
}

char process_state(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return '\0';
  return stat[close + 2];
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace vek_guard::test_support
