// The one result of a supervised run, and how it leaves the process: the two
// texts written to standard output and standard error, and the exit status.
//
//   ExecutionOutcome outcome = runtime::execute(command);
//   return write_summary(outcome, STDOUT_FILENO, STDERR_FILENO);
#ifndef VEK_GUARD_CLI_OUTCOME_H_
#define VEK_GUARD_CLI_OUTCOME_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "vek_guard/report.h"

namespace vek_guard::cli {

// Every end of `observe` or `run` produces exactly one of these.
struct ExecutionOutcome {
  // Written to standard output unchanged: the published report's summary
  // line, or empty.
  std::string stdout_text;
  // Written to standard error unchanged: each diagnostic of the run's end as
  // "vek-guard: {message}\n"; empty when there is nothing to say.
  std::string stderr_text;
  // How the run ended.
  TerminalKind::Tag kind = TerminalKind::Tag::SupervisorFailure;
  // The child's exit status for ChildExited, its signal number for
  // ChildSignaled; ignored for every other kind.
  uint8_t code = 0;

  friend bool operator==(const ExecutionOutcome&, const ExecutionOutcome&) = default;
};

// An outcome of kind `kind` with nothing on standard output and the one
// diagnostic "vek-guard: {message}\n" on standard error: how every failure
// to start or to publish ends.
ExecutionOutcome failure_outcome(TerminalKind::Tag kind, std::string_view message);

// Exit statuses that do not come from the child.
inline constexpr int kExitUsage = 64;  // command-line errors and invalid_configuration
inline constexpr int kExitSummaryWriteFailed = 101;

// The process exit status for an outcome:
//   child_exited             the child's exit status
//   child_signaled           128 + the signal number, modulo 256 (SIGKILL: 137)
//   launch_not_found         127
//   launch_not_executable    126
//   invalid_configuration    64
//   policy_intervention      75
//   supervisor_failure       70
//   partial_artifact_failure 74
int exit_status(const ExecutionOutcome& outcome);

// Writes the stdout text in full to `stdout_fd`, then the stderr text to
// `stderr_fd`, retrying interrupted and short writes, and returns the status
// the program exits with.
//
// A reader that has gone away (EPIPE; the process must ignore SIGPIPE) is not
// an error: after a broken standard output the stderr text is still written,
// and the status stays exit_status(outcome). Any other write error stops the
// writing at once: "vek-guard: summary write failed: {error}\n" is written to
// `stderr_fd` as far as it goes, and the status is kExitSummaryWriteFailed.
[[nodiscard]] int write_summary(const ExecutionOutcome& outcome, int stdout_fd, int stderr_fd);

}  // namespace vek_guard::cli

#endif  // VEK_GUARD_CLI_OUTCOME_H_
