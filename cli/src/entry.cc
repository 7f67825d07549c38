#include "vek_guard_cli/entry.h"

#include <span>
#include <string>
#include <vector>

#include "vek_guard/fd_io.h"

namespace vek_guard::cli {

std::vector<std::string> collect_args(int argc, const char* const* argv) {
  std::vector<std::string> args;
  args.reserve(argc > 0 ? static_cast<std::size_t>(argc) : 0);
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

int program_main(std::span<const std::string> args, const Executor& execute, int stdout_fd,
                 int stderr_fd, const std::function<void()>& before_output) {
  const auto about_to_write = [&] {
    if (before_output) before_output();
  };
  Result<NormalizedCommand, CliParseError> command = parse_command_line(args);
  if (!command) {
    about_to_write();
    const CliParseError& error = command.error();
    // The text is printed as is, with no line feed of its own. Nothing is
    // left to report should the write fail, so its result is not looked at.
    (void)write_all(error.display ? stdout_fd : stderr_fd, error.message);
    return error.display ? 0 : kExitUsage;
  }
  const ExecutionOutcome outcome = execute(*command);
  about_to_write();
  return write_summary(outcome, stdout_fd, stderr_fd);
}

}  // namespace vek_guard::cli
