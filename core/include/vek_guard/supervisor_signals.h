// The supervisor's own signals: the set-up that keeps any signal from ending
// it while it looks after a command, the terminal-signal monitor of a run,
// and the link that makes a job-control stop of the supervisor stop the
// command's group with it.
//
//   int main() {
//     process_control::prepare_supervisor_signals();   // first thing
//     ...
//     auto monitor = TerminalSignalMonitor::install();  // for the run
//     GroupStopLink link(owned.process_group());         // once launched
//     ... each pass: for (uint8_t signal : *monitor->poll()) act_on(signal);
//   }
//
// Everything here belongs to the supervision thread, except the handlers the
// monitor installs, which run in signal context and touch only the monitor's
// pipe and the linked group id. Failures are `ControlError` values
// (process_control.h).
#ifndef VEK_GUARD_SUPERVISOR_SIGNALS_H_
#define VEK_GUARD_SUPERVISOR_SIGNALS_H_

#include <signal.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "vek_guard/error.h"
#include "vek_guard/process_control.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard {

namespace process_control {

// The signals that ask the supervisor to stop its command: SIGHUP, SIGINT,
// SIGQUIT and SIGTERM. The first is forwarded to the group, a later one kills
// it.
constexpr bool is_terminal_signal(int signal) {
  return signal == SIGHUP || signal == SIGINT || signal == SIGQUIT || signal == SIGTERM;
}

// The supervisor's own signal set-up, made first thing in main and kept for
// the life of the process, so that no signal ends it while a command or a
// half-written journal depends on it:
//  - SIGPIPE is ignored: a closed pipe or socket is a write error instead.
//  - SIGCHLD inherited as ignored is set back to its default; ignored, the
//    kernel would reap the command itself and its status would be lost.
//  - The terminal signals are blocked. They wait, pending, until a
//    TerminalSignalMonitor takes them over, and are blocked again when it is
//    dropped, so one that comes before the run is set up is acted on at its
//    first pass, and one that comes while the report is being published
//    cannot cost the report. release_terminal_signals gives them back once
//    nothing is left to do but the summary.
//  - Every other signal whose default action ends the process, apart from
//    those that report a fault of the process itself (SIGILL, SIGTRAP,
//    SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS) and SIGKILL: SIGUSR1, SIGUSR2,
//    SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSTKFLT, SIGXCPU, SIGXFSZ
//    and the real-time signals, is ignored (SIGXFSZ then shows as the write
//    error EFBIG). The kernel drops an ignored signal as it is sent, so a
//    flood of them, from the command or anyone else, costs the supervisor
//    nothing; a caught one would cut every wait short and cost a delivery
//    each. A signal that was not at its default action, ignored (as under
//    nohup) or already caught, is left as it is.
// The command gets an empty signal mask at launch, so the blocked terminal
// signals do not reach it, and the default action of every signal ignored
// here (signals_ignored_for_supervisor); one that was ignored when the
// program started stays ignored for it, as exec leaves it.
void prepare_supervisor_signals();

// The signals the supervisor ignores for its own sake, which the command gets
// back at their default action: SIGPIPE, and those that
// prepare_supervisor_signals turned from their default action to ignored
// (none before it is called). Safe to call from any thread.
sigset_t signals_ignored_for_supervisor();

// The end of the program's signal handling, once the report is published (or
// could not be) and only the summary line is left to write: the terminal
// signals (SIGHUP, SIGINT, SIGQUIT, SIGTERM) get their default actions back,
// except one that is ignored (SIGHUP under nohup), and are unblocked. A full
// pipe that holds up the summary then holds the supervisor only until one of
// them ends it, as it would end any program; one that has waited, blocked,
// since the monitor was dropped ends it at once. Call it only while no
// TerminalSignalMonitor is installed.
void release_terminal_signals();

// Whether SIGHUP's current action is "ignore" (e.g. under nohup), read without
// changing it. A failed query is MonitorFailed.
Result<bool, ControlError> hangup_is_ignored();

}  // namespace process_control

// ---------------------------------------------------------------------------
// Terminal signals.

// Catches the terminal signals (SIGHUP, SIGINT, SIGQUIT, SIGTERM) for the
// supervisor. The handler writes the signal number as one byte to a
// non-blocking close-on-exec pipe (a full pipe drops it); `poll` drains the
// pipe. At most one monitor exists per process. When SIGHUP is ignored at
// installation (nohup), it is left ignored and not caught. Installing it
// unblocks the terminal signals, so one that has waited blocked since the
// start of the program (prepare_supervisor_signals) reaches the pipe at once;
// dropping it blocks again those that were blocked at installation.
//
// It also catches the job-control stops, SIGTSTP, SIGTTIN and SIGTTOU (each
// unless ignored at installation): the group named by the live
// `GroupStopLink`, if any, is stopped with SIGSTOP, then the supervisor stops
// as the signal's default action would (not at all when its process group is
// orphaned, where the kernel discards such a stop), and once it is continued
// the group is continued with SIGCONT. The stop happens inside the handler,
// wherever the supervisor is, so a write that the terminal holds up
// (SIGTTOU) stops it as well. Times read after a stop simply lie later.
//
// Move-only. Dropping it blocks the terminal signals again where they were
// blocked, restores every action it replaced, then closes the pipe.
class TerminalSignalMonitor {
 public:
  // Installs the handlers (SA_RESTART; the terminal-signal handler with an
  // empty mask) and unblocks the terminal signals. A monitor already
  // installed is MonitorAlreadyInstalled; any system failure is MonitorFailed
  // and leaves every action and the mask as they were.
  static Result<TerminalSignalMonitor, ControlError> install();

  TerminalSignalMonitor(TerminalSignalMonitor&& other) noexcept;
  TerminalSignalMonitor& operator=(TerminalSignalMonitor&&) = delete;
  TerminalSignalMonitor(const TerminalSignalMonitor&) = delete;
  TerminalSignalMonitor& operator=(const TerminalSignalMonitor&) = delete;
  ~TerminalSignalMonitor();

  // The terminal signals received since the last poll, in arrival order
  // (empty when none). Never blocks. A read failure is MonitorFailed.
  Result<std::vector<uint8_t>, ControlError> poll();

  // The pipe's read end, readable when a signal arrived: the run loop waits
  // on it with poll(2). Owned by the monitor.
  int fd() const { return read_end_.get(); }

  // Whether SIGHUP is caught by this monitor (false when it was ignored).
  bool catches_hangup() const { return previous_[0].has_value(); }

  // The signals it may catch, in the order they are installed: the terminal
  // signals, then the job-control stops.
  static constexpr std::array<int, 7> kSignals = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,
                                                  SIGTSTP, SIGTTIN, SIGTTOU};

 private:
  TerminalSignalMonitor() = default;
  // Restores, newest first, every action replaced so far.
  void restore_actions();

  // The action each of kSignals had before; absent where it was left alone.
  std::array<std::optional<struct sigaction>, kSignals.size()> previous_;
  // The terminal signals that were blocked at installation.
  sigset_t reblock_{};
  UniqueFd read_end_;
  UniqueFd write_end_;
  bool installed_ = false;
};

// Names the group that a job-control stop of the supervisor stops with it
// (see TerminalSignalMonitor), for as long as the link lives. The runtime
// holds one while it owns the group, and drops it before the group is killed
// or let go, so a group id that may name someone else's group by then is
// never signalled. One group at a time: a newer link replaces an older one,
// whose release then changes nothing. Move-only.
class GroupStopLink {
 public:
  GroupStopLink() = default;
  // No group, or a group id below 2, links nothing.
  explicit GroupStopLink(std::optional<int32_t> group);
  GroupStopLink(GroupStopLink&& other) noexcept;
  GroupStopLink& operator=(GroupStopLink&&) = delete;
  GroupStopLink(const GroupStopLink&) = delete;
  GroupStopLink& operator=(const GroupStopLink&) = delete;
  ~GroupStopLink() { release(); }

  // Unlinks the group now; a stop from here on stops the supervisor alone.
  void release();

 private:
  int32_t group_ = 0;
};

}  // namespace vek_guard

#endif  // VEK_GUARD_SUPERVISOR_SIGNALS_H_
