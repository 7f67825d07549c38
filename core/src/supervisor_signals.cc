#include "vek_guard/supervisor_signals.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <utility>

#include "vek_guard/fd_io.h"

namespace vek_guard {
namespace {

Unexpected<ControlError> control_error(ControlErrorKind kind, std::optional<int> os_error = {}) {
  return unexpected(ControlError{kind, os_error});
}

// The write end of the installed monitor's pipe, or -1. The handler may run
// at any moment on any thread, so this is the only state it touches.
std::atomic<int> g_monitor_write_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free int");

// The group a job-control stop stops with the supervisor, or 0.
std::atomic<int32_t> g_stop_group{0};
static_assert(std::atomic<int32_t>::is_always_lock_free,
              "the signal handler needs a lock-free int32_t");

void on_terminal_signal(int signal) {
  // write() may change errno under the feet of the interrupted code.
  const int saved_errno = errno;
  const int fd = g_monitor_write_fd.load(std::memory_order_acquire);
  if (signal >= 0 && signal <= 255 && fd >= 0) {
    const auto byte = static_cast<uint8_t>(signal);
    // A full pipe drops the byte: the loop is already behind on reading and
    // will see the earlier ones.
    const ssize_t ignored = ::write(fd, &byte, 1);
    (void)ignored;
  }
  errno = saved_errno;
}

// SIGTSTP, SIGTTIN, SIGTTOU. Runs entirely in the handler, with only
// async-signal-safe calls, because the stop must not wait for the loop: the
// loop may itself be what the terminal holds up.
void on_stop_signal(int signal) {
  const int saved_errno = errno;
  const int32_t group = g_stop_group.load(std::memory_order_acquire);
  // The command first: it must not run on unwatched, even for the moment it
  // takes the supervisor to stop.
  if (group > 1) (void)::kill(-group, SIGSTOP);
  // Then the supervisor, through the signal's own default action, so that a
  // shell sees the stop it expects and the kernel may discard it for an
  // orphaned process group, where nobody would ever continue us.
  struct sigaction stop_action {};
  stop_action.sa_handler = SIG_DFL;
  sigemptyset(&stop_action.sa_mask);
  struct sigaction ours {};
  (void)::sigaction(signal, &stop_action, &ours);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigset_t mask;
  (void)::pthread_sigmask(SIG_UNBLOCK, &only, &mask);
  (void)::raise(signal);  // returns once continued (or at once if discarded)
  (void)::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  (void)::sigaction(signal, &ours, nullptr);
  if (group > 1) (void)::kill(-group, SIGCONT);
  errno = saved_errno;
}

// The signals prepare_supervisor_signals set to ignored, bit N-1 for signal
// N: the launch reads them from whichever thread launches.
std::atomic<uint64_t> g_ignored_for_supervisor{0};
static_assert(NSIG - 1 <= 64, "one bit per signal number");

uint64_t signal_bit(int signal) { return uint64_t{1} << (signal - 1); }

bool is_stop_signal(int signal) {
  return signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
}

sigset_t terminal_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : TerminalSignalMonitor::kSignals) {
    if (process_control::is_terminal_signal(signal)) sigaddset(&set, signal);
  }
  return set;
}

bool action_is_ignore(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN;
}

}  // namespace

namespace process_control {

Result<bool, ControlError> hangup_is_ignored() {
  struct sigaction current {};
  if (::sigaction(SIGHUP, nullptr, &current) != 0) {
    return control_error(ControlErrorKind::MonitorFailed, errno);
  }
  return action_is_ignore(current);
}

void prepare_supervisor_signals() {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_IGN;
  (void)::sigaction(SIGPIPE, &action, nullptr);

  struct sigaction child {};
  if (::sigaction(SIGCHLD, nullptr, &child) == 0 && action_is_ignore(child)) {
    action.sa_handler = SIG_DFL;
    (void)::sigaction(SIGCHLD, &action, nullptr);
  }

  const sigset_t terminal = terminal_signal_set();
  (void)::pthread_sigmask(SIG_BLOCK, &terminal, nullptr);

  // Ignored rather than caught: a caught signal is delivered, which cuts
  // short the loop's wait and costs a pass its time, and a command that sends
  // them in a loop could starve the supervision that way. Ignored ones the
  // kernel drops at once.
  action.sa_handler = SIG_IGN;
  uint64_t ignored = 0;
  const auto quieten = [&](int signal) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) != 0) return;
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) return;
    if (::sigaction(signal, &action, nullptr) == 0) ignored |= signal_bit(signal);
  };
  for (const int signal : {SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSTKFLT,
                           SIGXCPU, SIGXFSZ}) {
    quieten(signal);
  }
  // SIGRTMIN is past the real-time signals that the C library keeps for
  // itself.
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) quieten(signal);
  g_ignored_for_supervisor.fetch_or(ignored, std::memory_order_release);
}

sigset_t signals_ignored_for_supervisor() {
  sigset_t set;
  sigemptyset(&set);
  // Ignored from the start of the program whatever it was before, and never
  // wanted ignored by a command that did not ask for it.
  sigaddset(&set, SIGPIPE);
  const uint64_t ignored = g_ignored_for_supervisor.load(std::memory_order_acquire);
  for (int signal = 1; signal <= 64; ++signal) {
    if ((ignored & signal_bit(signal)) != 0) sigaddset(&set, signal);
  }
  return set;
}

void release_terminal_signals() {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  for (const int signal : TerminalSignalMonitor::kSignals) {
    if (!is_terminal_signal(signal)) continue;
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) != 0 || action_is_ignore(current)) continue;
    (void)::sigaction(signal, &default_action, nullptr);
  }
  const sigset_t terminal = terminal_signal_set();
  (void)::pthread_sigmask(SIG_UNBLOCK, &terminal, nullptr);
}

}  // namespace process_control

Result<TerminalSignalMonitor, ControlError> TerminalSignalMonitor::install() {
  std::array<struct sigaction, kSignals.size()> current{};
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    if (::sigaction(kSignals[i], nullptr, &current[i]) != 0) {
      return control_error(ControlErrorKind::MonitorFailed, errno);
    }
  }
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    return control_error(ControlErrorKind::MonitorFailed, errno);
  }
  TerminalSignalMonitor monitor;
  monitor.read_end_.reset(ends[0]);
  monitor.write_end_.reset(ends[1]);

  int expected = -1;
  if (!g_monitor_write_fd.compare_exchange_strong(expected, ends[1], std::memory_order_acq_rel)) {
    return control_error(ControlErrorKind::MonitorAlreadyInstalled);
  }
  const auto fail = [&monitor](int error) {
    monitor.restore_actions();
    g_monitor_write_fd.store(-1, std::memory_order_release);
    return control_error(ControlErrorKind::MonitorFailed, error);
  };

  struct sigaction terminal {};
  terminal.sa_handler = on_terminal_signal;
  sigemptyset(&terminal.sa_mask);
  terminal.sa_flags = SA_RESTART;
  // One stop at a time: a second one waits until the first is over.
  struct sigaction stop {};
  stop.sa_handler = on_stop_signal;
  sigemptyset(&stop.sa_mask);
  for (const int signal : kSignals) {
    if (is_stop_signal(signal)) sigaddset(&stop.sa_mask, signal);
  }
  stop.sa_flags = SA_RESTART;

  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    const int signal = kSignals[i];
    // Under nohup SIGHUP stays ignored: catching it would make the run end
    // with the terminal that the user deliberately detached from. An ignored
    // stop signal never stops the supervisor, so it needs no handling.
    if ((signal == SIGHUP || is_stop_signal(signal)) && action_is_ignore(current[i])) continue;
    struct sigaction previous {};
    if (::sigaction(signal, is_stop_signal(signal) ? &stop : &terminal, &previous) != 0) {
      return fail(errno);
    }
    monitor.previous_[i] = previous;
  }

  // Only now, with the handlers in place, may a signal that has waited since
  // the start of the program come in.
  const sigset_t terminal_signals = terminal_signal_set();
  sigset_t mask;
  if (const int error = ::pthread_sigmask(SIG_UNBLOCK, &terminal_signals, &mask); error != 0) {
    return fail(error);
  }
  sigemptyset(&monitor.reblock_);
  for (const int signal : kSignals) {
    if (process_control::is_terminal_signal(signal) && sigismember(&mask, signal) == 1) {
      sigaddset(&monitor.reblock_, signal);
    }
  }
  monitor.installed_ = true;
  return monitor;
}

TerminalSignalMonitor::TerminalSignalMonitor(TerminalSignalMonitor&& other) noexcept
    : previous_(other.previous_),
      reblock_(other.reblock_),
      read_end_(std::move(other.read_end_)),
      write_end_(std::move(other.write_end_)),
      installed_(other.installed_) {
  other.installed_ = false;
}

void TerminalSignalMonitor::restore_actions() {
  for (std::size_t i = kSignals.size(); i-- > 0;) {
    if (previous_[i]) (void)::sigaction(kSignals[i], &*previous_[i], nullptr);
    previous_[i].reset();
  }
}

TerminalSignalMonitor::~TerminalSignalMonitor() {
  if (!installed_) return;
  // Blocked first, so that no signal finds its old action again in between:
  // in the program that action is the default one, which would end the
  // process before it has written its summary.
  (void)::pthread_sigmask(SIG_BLOCK, &reblock_, nullptr);
  restore_actions();
  // Only after the handlers are gone may the descriptor stop being valid.
  g_monitor_write_fd.store(-1, std::memory_order_release);
  read_end_.reset();
  write_end_.reset();
}

Result<std::vector<uint8_t>, ControlError> TerminalSignalMonitor::poll() {
  std::vector<uint8_t> signals;
  uint8_t chunk[32];
  for (;;) {
    const ssize_t got = read_some(read_end_.get(), chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return control_error(ControlErrorKind::MonitorFailed, errno);
    }
    if (got == 0) break;
    for (ssize_t i = 0; i < got; ++i) {
      if (process_control::is_terminal_signal(chunk[i])) signals.push_back(chunk[i]);
    }
  }
  return signals;
}

GroupStopLink::GroupStopLink(std::optional<int32_t> group) {
  if (!group || *group < 2) return;
  group_ = *group;
  g_stop_group.store(group_, std::memory_order_release);
}

GroupStopLink::GroupStopLink(GroupStopLink&& other) noexcept
    : group_(std::exchange(other.group_, 0)) {}

void GroupStopLink::release() {
  if (group_ == 0) return;
  int32_t expected = group_;
  // A newer link owns the slot now; it is not ours to clear.
  (void)g_stop_group.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
  group_ = 0;
}

}  // namespace vek_guard
