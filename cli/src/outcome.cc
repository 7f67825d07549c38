#include "vek_guard_cli/outcome.h"

#include <errno.h>
#include <string.h>

#include <string>
#include <string_view>
#include <utility>

#include "vek_guard/fd_io.h"

namespace vek_guard::cli {

ExecutionOutcome failure_outcome(TerminalKind::Tag kind, std::string_view message) {
  ExecutionOutcome outcome;
  outcome.kind = kind;
  outcome.stderr_text = "vek-guard: ";
  outcome.stderr_text.append(message);
  outcome.stderr_text.push_back('\n');
  return outcome;
}

int exit_status(const ExecutionOutcome& outcome) {
  using Tag = TerminalKind::Tag;
  switch (outcome.kind) {
    case Tag::ChildExited:
      return outcome.code;
    case Tag::ChildSignaled:
      // A shell reports a death by signal N as 128 + N; statuses are one
      // byte, so numbers from 128 up wrap around.
      return (128 + outcome.code) % 256;
    case Tag::LaunchNotFound:
      return 127;
    case Tag::LaunchNotExecutable:
      return 126;
    case Tag::InvalidConfiguration:
      return kExitUsage;
    case Tag::PolicyIntervention:
      return 75;
    case Tag::SupervisorFailure:
      return 70;
    case Tag::PartialArtifactFailure:
      return 74;
  }
  return 70;
}

int write_summary(const ExecutionOutcome& outcome, int stdout_fd, int stderr_fd) {
  // Descriptors are unbuffered, so a completed write is already "flushed";
  // there is nothing to lock either, as only this thread writes at the end.
  for (const auto& [fd, text] : {std::pair{stdout_fd, std::string_view(outcome.stdout_text)},
                                 std::pair{stderr_fd, std::string_view(outcome.stderr_text)}}) {
    const int error = write_all(fd, text);
    // A reader that closed its end early (`vek-guard ... | head`) only
    // loses what it chose not to read; the run's status still stands.
    if (error == 0 || error == EPIPE) continue;
    std::string diagnostic = "vek-guard: summary write failed: ";
    diagnostic += ::strerror(error);
    diagnostic += '\n';
    (void)write_all(stderr_fd, diagnostic);
    return kExitSummaryWriteFailed;
  }
  return exit_status(outcome);
}

}  // namespace vek_guard::cli
