// Running a program from a test: arguments, environment, extra descriptors,
// captured standard output and error, signals, and bounded waits.
//
//   Subprocess child = Subprocess::start({.argv = {"/bin/echo", "hi"}});
//   SubprocessResult result = child.wait(std::chrono::seconds(10));
//   EXPECT_EQ(result.exit_code, 0);
//   EXPECT_EQ(result.stdout_text, "hi\n");
#ifndef VEK_GUARD_TESTS_SUPPORT_SUBPROCESS_H_
#define VEK_GUARD_TESTS_SUPPORT_SUBPROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace vek_guard::test_support {

struct SubprocessOptions {
  std::vector<std::string> argv;  // argv[0] is run as a path (execv, no search)
  // Added to (or overriding) the test's own environment.
  std::map<std::string, std::string> env;
  // Descriptors of the test to hand to the child under the same number.
  std::vector<int> inherit_fds;
  // Give the child a new session with a pseudo-terminal as its standard
  // input (for tests of terminal handling).
  bool stdin_pty = false;
  // Put the child in a process group of its own within the test's session:
  // unlike the test's group (which may have no parent in the session), it is
  // not orphaned, so a job-control stop does stop it.
  bool new_process_group = false;
  // Signals blocked and raised in the child just before exec: the program
  // starts with them pending (and blocked).
  std::vector<int> pending_signals;
};

struct SubprocessResult {
  // Exit status when the child exited, or -1.
  int exit_code = -1;
  // Signal number when the child was killed by a signal, or 0.
  int term_signal = 0;
  bool timed_out = false;
  std::string stdout_text;
  std::string stderr_text;
};

// A running child process. Destroying it before wait() kills it with SIGKILL
// and reaps it, so a failing test never leaks a process.
class Subprocess {
 public:
  static Subprocess start(const SubprocessOptions& options);

  Subprocess(Subprocess&& other) noexcept;
  Subprocess& operator=(Subprocess&&) = delete;
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;
  ~Subprocess();

  pid_t pid() const { return pid_; }
  void send_signal(int signal) const;

  // Collects output until the child exits and both pipes close, or until the
  // timeout passes; on timeout the child is killed and `timed_out` is set.
  SubprocessResult wait(std::chrono::milliseconds timeout);

 private:
  Subprocess() = default;

  pid_t pid_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  int pty_master_fd_ = -1;
  bool reaped_ = false;
};

// Runs a program to completion (see Subprocess::wait).
SubprocessResult run_subprocess(const SubprocessOptions& options,
                                std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Waits until `predicate` is true, polling every few milliseconds, for at most
// `timeout`. Returns the predicate's last value.
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout);

// Whether a process with this pid exists (kill(pid, 0)); a zombie counts.
bool process_exists(pid_t pid);
// Whether the process is alive and not a zombie, from /proc/PID/stat.
bool process_running(pid_t pid);
// Whether the process is gone, a zombie, on its way out (it has begun to
// exit) or has SIGKILL pending: unlike process_running, true from the moment
// it is sent SIGKILL, however long it then takes to die.
bool process_ending(pid_t pid);
// The state letter of /proc/PID/stat ('R', 'S', 'T' for stopped, ...), or
// '\0' when there is no such process.
char process_state(pid_t pid);

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace vek_guard::test_support

#include <thread>

namespace vek_guard::test_support {

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return predicate();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_SUBPROCESS_H_
