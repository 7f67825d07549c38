// The supervision policy state machine.
#ifndef VEK_GUARD_POLICY_H_
#define VEK_GUARD_POLICY_H_

#include <cstdint>

#include "vek_guard/duration.h"

namespace vek_guard {

// The state of the policy machine. The report names each state with the
// string of the records' enumeration table ("observe", "normal", ...).
enum class PolicyState : uint8_t {
  Observe = 0,              // observe-only machine, no enforcement
  Normal = 1,               // enforcing, footprint at or below recovery
  Warning = 2,              // enforcing, at or above warning, or breaches being counted
  CheckpointRequested = 3,  // a checkpoint request is outstanding
  Terminating = 4,          // SIGTERM decided (or a terminal signal forwarded)
  Emergency = 5,            // SIGKILL decided
  Exited = 6,               // the root process has exited; final
  SupervisorError = 7,      // observation or supervision failed
};

}  // namespace vek_guard

#endif  // VEK_GUARD_POLICY_H_
