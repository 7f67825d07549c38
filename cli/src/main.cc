// The vek-guard program: parse the command line, run the supervision, write
// the summary and exit with the status the outcome maps to.
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "vek_guard_cli/entry.h"
#include "vek_guard_cli/runtime.h"

int main(int argc, char** argv) {
  // Writing to a closed pipe or socket must be an error the supervisor
  // handles, not the end of the process; launched commands get the default
  // action back.
  signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> args = vek_guard::cli::collect_args(argc, argv);
  return vek_guard::cli::program_main(args, vek_guard::runtime::execute, STDOUT_FILENO,
                                      STDERR_FILENO);
}
