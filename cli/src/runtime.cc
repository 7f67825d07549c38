#include "vek_guard_cli/runtime.h"

#include "observe_mode.h"
#include "run_mode.h"

namespace vek_guard::runtime {

cli::ExecutionOutcome execute(const cli::NormalizedCommand& command) {
  if (command.run) return execute_run(command, *command.run);
  return execute_observe(command);
}

}  // namespace vek_guard::runtime
