// A guard for tests that change signal actions and the signal mask.
#ifndef VEK_GUARD_TESTS_SUPPORT_SIGNAL_STATE_H_
#define VEK_GUARD_TESTS_SUPPORT_SIGNAL_STATE_H_

#include <signal.h>

#include <iterator>

namespace vek_guard::test_support {

// Restores the actions of the signals the supervisor handles, and the mask,
// whatever the outcome of the test that changed them.
struct SignalStateGuard {
  static constexpr int kSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,
                                     SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE};
  struct sigaction saved[std::size(kSignals)]{};
  sigset_t mask{};
  SignalStateGuard() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
      ::sigaction(kSignals[i], nullptr, &saved[i]);
    ::sigprocmask(SIG_BLOCK, nullptr, &mask);
  }
  ~SignalStateGuard() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
      ::sigaction(kSignals[i], &saved[i], nullptr);
    ::sigprocmask(SIG_SETMASK, &mask, nullptr);
  }
};

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_SIGNAL_STATE_H_
