// The supervision runtime: one invocation of `observe` or `run`, from the
// normalised command line to its outcome.
//
//   cli::ExecutionOutcome outcome = runtime::execute(command);
//   cli::write_summary(outcome, ...);
//
// `execute` launches the command as the root of a process group it owns,
// supervises it until the root has exited and the group is gone (or, in
// observe mode, until the root exits), journals every event beside the report
// and publishes the report rebuilt from that journal. It never throws and
// never exits the process: every end of a run, including a failure to start,
// becomes one ExecutionOutcome whose kind decides the exit status.
//
// Single-threaded: call it from the main thread, once per process (it
// installs the process-wide terminal-signal monitor for the run's length).
#ifndef VEK_GUARD_CLI_RUNTIME_H_
#define VEK_GUARD_CLI_RUNTIME_H_

#include "vek_guard_cli/cli.h"
#include "vek_guard_cli/outcome.h"

namespace vek_guard::runtime {

cli::ExecutionOutcome execute(const cli::NormalizedCommand& command);

}  // namespace vek_guard::runtime

#endif  // VEK_GUARD_CLI_RUNTIME_H_
