// Forked processes for tests that need real processes, always cleaned up.
#ifndef VEK_GUARD_TESTS_SUPPORT_PROCESS_FAMILY_H_
#define VEK_GUARD_TESTS_SUPPORT_PROCESS_FAMILY_H_

#include <errno.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace vek_guard::test_support {

// A forked child that runs `body` and then exits with status 0 without running
// any exit handler, so it never returns into GoogleTest. It is killed and
// reaped at the latest when this object goes. `body` must not fork: only the
// child itself is cleaned up.
class ForkedChild {
 public:
  explicit ForkedChild(const std::function<void()>& body) : pid_(::fork()) {
    if (pid_ == 0) {
      body();
      ::_exit(0);
    }
  }
  ~ForkedChild() { kill_and_reap(); }
  ForkedChild(const ForkedChild&) = delete;
  ForkedChild& operator=(const ForkedChild&) = delete;

  // The child's pid, or -1 when fork failed or it was already reaped.
  pid_t pid() const { return pid_; }

  // For tests that need the child gone (and its pid free) before the end.
  void kill_and_reap() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

// Blocks the calling (child) process until it is killed.
[[noreturn]] inline void sleep_forever() {
  for (;;) ::pause();
}

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_PROCESS_FAMILY_H_
