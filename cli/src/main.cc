// The vek-guard program: parse the command line, run the supervision, write
// the summary and exit with the status the outcome maps to.
#include <unistd.h>

#include <string>
#include <vector>

#include "vek_guard/supervisor_signals.h"
#include "vek_guard_cli/entry.h"
#include "vek_guard_cli/runtime.h"

int main(int argc, char** argv) {
  // Before anything else: from here on no signal can end the supervisor
  // while a command or a journal depends on it (SIGPIPE ignored, terminal
  // signals held until the run's monitor takes them, the rest ignored).
  vek_guard::process_control::prepare_supervisor_signals();
  const std::vector<std::string> args = vek_guard::cli::collect_args(argc, argv);
  // Once the report is published only the summary is left, and no command
  // depends on the supervisor any more: a terminal signal may end a summary
  // write that a full pipe holds up, as it would end any program.
  return vek_guard::cli::program_main(args, vek_guard::runtime::execute, STDOUT_FILENO,
                                      STDERR_FILENO,
                                      vek_guard::process_control::release_terminal_signals);
}
