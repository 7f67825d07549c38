// The program entry as a function: one argument vector in, one exit status
// out, with the supervision itself passed in so that tests can replace it.
//
//   int main(int argc, char** argv) {
//     process_control::prepare_supervisor_signals();
//     const std::vector<std::string> args = collect_args(argc, argv);
//     return program_main(args, runtime::execute, STDOUT_FILENO, STDERR_FILENO,
//                         process_control::release_terminal_signals);
//   }
#ifndef VEK_GUARD_CLI_ENTRY_H_
#define VEK_GUARD_CLI_ENTRY_H_

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "vek_guard_cli/cli.h"
#include "vek_guard_cli/outcome.h"

namespace vek_guard::cli {

// Runs one validated command to its end.
using Executor = std::function<ExecutionOutcome(const NormalizedCommand&)>;

// The argument vector as byte strings; no encoding is assumed.
std::vector<std::string> collect_args(int argc, const char* const* argv);

// Parses and validates `args` (parse_command_line). Help and version output
// that the user asked for goes to `stdout_fd` with status 0; every other
// command-line text (errors, and the help shown for an empty argument
// vector) goes to `stderr_fd` with status kExitUsage, and `execute` is not
// called. Otherwise `execute` runs the command and its outcome is written
// with write_summary, whose status is returned. `before_output`, when given,
// is called once before anything is written: after `execute` returns, or
// once the command line is refused.
//
// The caller must ignore SIGPIPE beforehand (prepare_supervisor_signals
// does), so that a closed output shows up as EPIPE instead of killing the
// supervisor with its child still running.
[[nodiscard]] int program_main(std::span<const std::string> args, const Executor& execute,
                               int stdout_fd, int stderr_fd,
                               const std::function<void()>& before_output = {});

}  // namespace vek_guard::cli

#endif  // VEK_GUARD_CLI_ENTRY_H_
