// The supervisor's own signals: the terminal-signal monitor's pipe, what it
// installs and what it restores.
#include "vek_guard/supervisor_signals.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/signal_state.h"

namespace vek_guard {
namespace {

using test_support::SignalStateGuard;

bool handler_is(int signal, void (*handler)(int)) {
  struct sigaction action {};
  ::sigaction(signal, nullptr, &action);
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == handler;
}

// Runs `body` in a forked child, which exits with what it returns, and gives
// the child's wait status.
template <class Body>
int status_in_child(Body body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  if (child < 0) {
    ADD_FAILURE() << "fork failed";
    return status;
  }
  EXPECT_EQ(::waitpid(child, &status, 0), child);
  return status;
}

TEST(TerminalSignalMonitor, PassesSignalsThroughItsPipeAndRestoresTheActionsOnDrop) {
  SignalStateGuard guard;
  ::signal(SIGHUP, SIG_DFL);
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_IGN);
  // A terminal signal that waits blocked (as the program keeps them until its
  // monitor runs) comes in with the installation, and is blocked again after.
  sigset_t quit;
  sigemptyset(&quit);
  sigaddset(&quit, SIGQUIT);
  ::sigprocmask(SIG_BLOCK, &quit, nullptr);
  ::raise(SIGQUIT);
  {
    auto first = TerminalSignalMonitor::install();
    ASSERT_TRUE(first.ok());
    EXPECT_TRUE(first->catches_hangup());
    // Only one at a time, and the refused attempt changes nothing.
    EXPECT_EQ(TerminalSignalMonitor::install().error().kind,
              ControlErrorKind::MonitorAlreadyInstalled);
    ::raise(SIGINT);
    ::raise(SIGTERM);
    ::raise(SIGHUP);
    EXPECT_EQ(first->poll().value(), (std::vector<uint8_t>{3, 2, 15, 1}));
    EXPECT_TRUE(first->poll().value().empty());
    // The moved-from monitor must not uninstall the handlers.
    TerminalSignalMonitor moved = std::move(*first);
    ::raise(SIGTERM);
    EXPECT_EQ(moved.poll().value(), std::vector<uint8_t>{15});
  }
  EXPECT_TRUE(handler_is(SIGHUP, SIG_DFL));
  EXPECT_TRUE(handler_is(SIGINT, SIG_DFL));
  EXPECT_TRUE(handler_is(SIGTERM, SIG_IGN));
  EXPECT_TRUE(handler_is(SIGTSTP, SIG_DFL));
  sigset_t blocked;
  ::sigprocmask(SIG_BLOCK, nullptr, &blocked);
  EXPECT_EQ(sigismember(&blocked, SIGQUIT), 1);
  EXPECT_EQ(sigismember(&blocked, SIGINT), 0);

  // Under nohup SIGHUP stays ignored throughout.
  ::signal(SIGHUP, SIG_IGN);
  EXPECT_EQ(process_control::hangup_is_ignored().value(), true);
  {
    auto monitor = TerminalSignalMonitor::install();
    ASSERT_TRUE(monitor.ok());
    EXPECT_FALSE(monitor->catches_hangup());
    ::raise(SIGHUP);
    EXPECT_TRUE(monitor->poll().value().empty());
  }
  EXPECT_TRUE(handler_is(SIGHUP, SIG_IGN));
}

// The program's set-up holds a terminal signal that comes before the run's
// monitor exists, and the monitor takes it in: it neither ends the process
// nor is lost. In a child, whose signal state may change for good.
TEST(SupervisorSignals, ATerminalSignalBeforeTheMonitorWaitsForIt) {
  const int status = status_in_child([] {
    // As a program starts when nobody told it otherwise.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) ::signal(signal, SIG_DFL);
    process_control::prepare_supervisor_signals();
    for (const int signal : {SIGTERM, SIGINT, SIGQUIT, SIGHUP}) ::raise(signal);
    auto monitor = TerminalSignalMonitor::install();
    if (!monitor) return 2;
    auto received = monitor->poll();
    if (!received) return 3;
    std::sort(received->begin(), received->end());
    return *received == std::vector<uint8_t>{1, 2, 3, 15} ? 0 : 3;
  });
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no monitor, 3: not the signals raised";
}

// A signal at its default action is ignored and handed back to the command
// at its default; one ignored at the start (as under nohup) stays ignored
// for both. At the end the terminal signals get their default actions back,
// except an ignored one, and are unblocked. In a child, as above.
TEST(SupervisorSignals, IgnoreWhatWouldEndTheSupervisorAndGiveTheTerminalOnesBackAtTheEnd) {
  const int status = status_in_child([] {
    ::signal(SIGUSR1, SIG_DFL);
    ::signal(SIGUSR2, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGTERM, SIG_DFL);
    process_control::prepare_supervisor_signals();
    const sigset_t defaulted = process_control::signals_ignored_for_supervisor();
    sigset_t blocked;
    ::sigprocmask(SIG_BLOCK, nullptr, &blocked);
    if (!handler_is(SIGUSR1, SIG_IGN) || !handler_is(SIGRTMIN, SIG_IGN) ||
        !handler_is(SIGUSR2, SIG_IGN) || sigismember(&blocked, SIGTERM) != 1) {
      return 2;
    }
    if (sigismember(&defaulted, SIGUSR1) != 1 || sigismember(&defaulted, SIGRTMIN) != 1 ||
        sigismember(&defaulted, SIGPIPE) != 1 || sigismember(&defaulted, SIGUSR2) != 0 ||
        sigismember(&defaulted, SIGTERM) != 0) {
      return 3;
    }
    ::signal(SIGINT, [](int) {});  // as a monitor would leave it, were one installed
    process_control::release_terminal_signals();
    ::sigprocmask(SIG_BLOCK, nullptr, &blocked);
    const bool released = handler_is(SIGTERM, SIG_DFL) && handler_is(SIGINT, SIG_DFL) &&
                          handler_is(SIGHUP, SIG_IGN) && sigismember(&blocked, SIGTERM) == 0 &&
                          sigismember(&blocked, SIGQUIT) == 0;
    return released ? 0 : 4;
  });
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "2: not ignored, 3: not handed back as it should, 4: not given back at the end";
}

}  // namespace
}  // namespace vek_guard
