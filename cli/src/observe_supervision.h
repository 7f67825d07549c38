// `observe` mode: launch, sample and record without memory intervention.
#ifndef VEK_GUARD_CLI_OBSERVE_SUPERVISION_H_
#define VEK_GUARD_CLI_OBSERVE_SUPERVISION_H_

#include "vek_guard/identity.h"
#include "vek_guard_cli/cli.h"
#include "vek_guard_cli/outcome.h"

namespace vek_guard::runtime {

// Runs an `observe` command from start-up to its outcome. It acts on the
// group only when the launching parent exits (SIGTERM, then SIGKILL a second
// later, unless told to detach) and on terminal signals (the first is
// forwarded, every later one kills the group); it stops at the root's exit and
// leaves surviving members running.
cli::ExecutionOutcome supervise_observe(const cli::NormalizedCommand& command);

// The same, with every sampling pass probing the group through
// `sampling_inventory` instead of the live /proc. Start-up (the parent watch
// and the root's identity) still reads the live system. Only tests call this,
// to put the loop in front of a process table that no real command produces;
// the program always takes the overload above.
cli::ExecutionOutcome supervise_observe(const cli::NormalizedCommand& command,
                                        NativeProcessInventory sampling_inventory);

}  // namespace vek_guard::runtime

#endif  // VEK_GUARD_CLI_OBSERVE_SUPERVISION_H_
