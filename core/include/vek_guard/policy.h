// The supervision policy state machine.
//
// `PolicyMachine` turns what the supervision loop observes (footprint samples,
// timer passes, checkpoint acknowledgements, terminal signals, failed
// interventions, supervisor faults, process exits and a group that lives
// on) into a new `PolicyState` and an ordered list of decisions
// (`PolicyAction`) for the runtime to carry out. It performs no I/O, reads no
// clock and starts no timer: every event carries its own time as a
// `Duration` since the run's start instant, and the machine only keeps the
// deadlines the loop must sleep to (`checkpoint_deadline`, `grace_deadline`).
//
//   auto machine = PolicyMachine::enforce_with_initial_request_id(config, id);
//   if (!machine) return unexpected(machine.error());
//   PolicyState before = machine->state();
//   PolicyActions actions = machine->apply(PolicyEvent::Tick{now});
//   if (machine->state() != before) journal_transition(before, machine->state());
//   for (const PolicyAction& action : actions) carry_out(action);
//
// The configuration the program runs with (the band around a footprint
// limit, the sample bounds, the fixed counts and grace periods) is built at
// the end of this header, by `enforcement_config` for `run`; the command
// line and `observe` take their numbers from the same place.
//
// Every sum of a time and a duration saturates at `Duration::max()` and every
// counter saturates at its greatest value, so huge configured durations mean
// "never" rather than wrapping around into the past.
//
// Thread safety: none. One machine exists per run, owned and driven by the
// supervision loop alone.
#ifndef VEK_GUARD_POLICY_H_
#define VEK_GUARD_POLICY_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "vek_guard/duration.h"
#include "vek_guard/error.h"

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

// Why the machine decided to send SIGTERM to the group. The numeric values are
// part of the records and must not be reordered.
enum class TerminateReason : uint8_t {
  CheckpointAcknowledged = 0,      // the client saved its work; stop it now
  CheckpointTimedOut = 1,          // no acknowledgement before the deadline
  CheckpointFailed = 2,            // the checkpoint request could not be made
  ObservationFailure = 3,          // too many unusable samples, or time ran backwards
  SupervisorFault = 4,             // the supervisor itself failed
  ThresholdWithoutCheckpoint = 5,  // limit breached with no checkpoint step configured
  RootExitCleanup = 6,             // the root exited and left group members behind
  ParentExit = 7,                  // the launching parent went away
};

// The kind of intervention that failed. Equal to the variant index of the
// actuator's intervention command, so the runtime can feed a failed command
// back without a mapping table.
enum class InterventionKind : uint8_t {
  CheckpointRequest = 0,
  Terminate = 1,
  Kill = 2,
  ForwardedSignal = 3,
};

// The only way construction can fail: the configuration as a whole is refused.
enum class PolicyConfigError : uint8_t {
  InvalidThresholdsOrDurations = 0,
};

constexpr std::string_view error_message(PolicyConfigError /*error*/) {
  return "policy thresholds or durations are invalid";
}

// The enforcement configuration, copied into the machine. Field names match
// the report's configuration record, so the runtime derives both from the same
// values. Defaults are all zero/absent, which does not validate: every field
// must be chosen deliberately.
struct PolicyConfig {
  // Greatest age (event time minus completion time) of a usable sample.
  Duration max_sample_age;
  // Greatest length of one sampling pass for its sample to be usable.
  Duration max_sample_window;
  // Time from a terminate decision to the SIGKILL escalation.
  Duration term_grace;
  // Time a checkpoint request may stay unacknowledged. Absent: breaches
  // terminate directly, with no checkpoint step.
  std::optional<Duration> checkpoint_timeout;
  // Run time after which the machine acts as on a footprint breach (with an
  // excess of 0). Absent: no wall-time limit.
  std::optional<Duration> wall_time;
  uint64_t max_footprint_bytes = 0;       // the limit
  uint64_t warning_footprint_bytes = 0;   // at or above (below the limit): warning
  uint64_t recovery_footprint_bytes = 0;  // at or below: back to normal
  // At or above: kill at once, also while waiting for the grace deadline.
  uint64_t emergency_footprint_bytes = 0;
  // Usable samples at or above the limit, with no usable sample below it in
  // between, before the machine intervenes. Unusable samples neither count
  // nor reset the count.
  uint32_t required_breach_samples = 0;
  // Unusable samples in a row after which observation has failed.
  uint32_t max_missing_samples = 0;

  friend bool operator==(const PolicyConfig&, const PolicyConfig&) = default;
};

// One input to the machine. Each alternative carries its own time (`time()`),
// taken by the caller on the run's monotonic timeline.
struct PolicyEvent {
  // One sampling pass. `footprint_bytes` is present only when the sampler
  // judged the pass complete and well timed; even then the machine refuses the
  // sample when it is too old, took too long, or claims to have completed
  // after `now`.
  struct Sample {
    std::optional<uint64_t> footprint_bytes;
    Duration completed_at;  // when the pass finished
    Duration now;           // when the sample is handed to the machine
    Duration latency;       // length of the sampling pass
    constexpr Duration time() const { return now; }
    friend bool operator==(const Sample&, const Sample&) = default;
  };
  // A timer pass: the loop woke for a deadline or the wall-time limit.
  struct Tick {
    Duration at;
    constexpr Duration time() const { return at; }
    friend bool operator==(const Tick&, const Tick&) = default;
  };
  // The client answered checkpoint request `request_id`.
  struct CheckpointAcknowledged {
    Duration at;
    uint64_t request_id = 0;
    bool accepted = false;
    constexpr Duration time() const { return at; }
    friend bool operator==(const CheckpointAcknowledged&, const CheckpointAcknowledged&) = default;
  };
  // The supervisor received a terminal signal: SIGHUP (1), SIGINT (2),
  // SIGQUIT (3) or SIGTERM (15).
  struct TerminalSignal {
    Duration at;
    uint8_t signal = 0;
    constexpr Duration time() const { return at; }
    friend bool operator==(const TerminalSignal&, const TerminalSignal&) = default;
  };
  // Carrying out an earlier action failed; `code` is the actuator's failure
  // code, passed through untouched.
  struct InterventionFailed {
    Duration at;
    InterventionKind kind = InterventionKind::CheckpointRequest;
    uint8_t code = 0;
    constexpr Duration time() const { return at; }
    friend bool operator==(const InterventionFailed&, const InterventionFailed&) = default;
  };
  // The supervisor could not go on supervising (for example its own I/O).
  struct SupervisorFault {
    Duration at;
    constexpr Duration time() const { return at; }
    friend bool operator==(const SupervisorFault&, const SupervisorFault&) = default;
  };
  // The root process was reaped. Its time is informational only: the exit is
  // final whatever its time, so it is never checked against earlier events.
  struct ChildExited {
    std::optional<uint64_t> final_footprint_bytes;
    Duration at;
    constexpr Duration time() const { return at; }
    friend bool operator==(const ChildExited&, const ChildExited&) = default;
  };
  // The root exited while other members of its group are still alive.
  struct RootExited {
    Duration at;
    constexpr Duration time() const { return at; }
    friend bool operator==(const RootExited&, const RootExited&) = default;
  };
  // The process that launched the supervisor went away.
  struct ParentExited {
    Duration at;
    constexpr Duration time() const { return at; }
    friend bool operator==(const ParentExited&, const ParentExited&) = default;
  };
  // A supervision pass found, after the root's exit, a process of the group
  // alive that has not begun to exit: one that no kill sent to the group has
  // reached (it was outside the group then, or joined it since). Fed at most
  // once per pass.
  struct GroupAlive {
    Duration at;
    constexpr Duration time() const { return at; }
    friend bool operator==(const GroupAlive&, const GroupAlive&) = default;
  };

  // The alternatives in their fixed order; `index()` is the position here.
  using Variant =
      std::variant<Sample, Tick, CheckpointAcknowledged, TerminalSignal, InterventionFailed,
                   SupervisorFault, ChildExited, RootExited, ParentExited, GroupAlive>;

  // Implicit on purpose: `machine.apply(PolicyEvent::Tick{t})`.
  template <class Alternative>
  requires std::is_constructible_v<Variant, Alternative&&>
  constexpr PolicyEvent(Alternative&& alternative)  // NOLINT(google-explicit-constructor)
      : value(std::forward<Alternative>(alternative)) {}

  // The event's time on the run's timeline (`now` for a sample).
  constexpr Duration time() const {
    return std::visit([](const auto& event) { return event.time(); }, value);
  }
  constexpr std::size_t index() const { return value.index(); }
  template <class Alternative>
  constexpr const Alternative* get_if() const {
    return std::get_if<Alternative>(&value);
  }

  friend bool operator==(const PolicyEvent&, const PolicyEvent&) = default;

  Variant value;
};

// One decision for the runtime. Actions are carried out in list order; only
// RequestCheckpoint, Terminate, Kill and ForwardSignal need the outside world.
struct PolicyAction {
  // A usable sample was taken into account.
  struct SampleAccepted {
    friend bool operator==(const SampleAccepted&, const SampleAccepted&) = default;
  };
  // A sample was unusable (or time ran backwards).
  struct SampleMissing {
    friend bool operator==(const SampleMissing&, const SampleMissing&) = default;
  };
  // Ask the client to checkpoint; it must acknowledge before `deadline`.
  struct RequestCheckpoint {
    uint64_t request_id = 0;
    uint64_t excess_bytes = 0;  // footprint above the limit; 0 for wall time
    Duration deadline;
    friend bool operator==(const RequestCheckpoint&, const RequestCheckpoint&) = default;
  };
  // Send SIGTERM to the group; SIGKILL follows at the grace deadline.
  struct Terminate {
    TerminateReason reason = TerminateReason::CheckpointAcknowledged;
    friend bool operator==(const Terminate&, const Terminate&) = default;
  };
  // Send SIGKILL to the group (again, when the group outlived the last one).
  struct Kill {
    friend bool operator==(const Kill&, const Kill&) = default;
  };
  // The footprint went over the limit by `bytes`; recorded, nothing to send.
  struct Overshoot {
    uint64_t bytes = 0;
    friend bool operator==(const Overshoot&, const Overshoot&) = default;
  };
  // A non-enforcing machine's observation or supervision failed.
  struct SupervisorError {
    friend bool operator==(const SupervisorError&, const SupervisorError&) = default;
  };
  // Pass the supervisor's terminal signal on to the group.
  struct ForwardSignal {
    uint8_t signal = 0;
    friend bool operator==(const ForwardSignal&, const ForwardSignal&) = default;
  };
  // The root has exited; the machine is final.
  struct Exited {
    std::optional<uint64_t> final_footprint_bytes;  // copied from the event
    uint32_t samples_while_terminating = 0;
    friend bool operator==(const Exited&, const Exited&) = default;
  };
  // An intervention failed with no escalation left to try.
  struct InterventionFailed {
    InterventionKind kind = InterventionKind::CheckpointRequest;
    uint8_t code = 0;
    friend bool operator==(const InterventionFailed&, const InterventionFailed&) = default;
  };

  // The alternatives in their fixed order; `index()` is the position here.
  using Variant =
      std::variant<SampleAccepted, SampleMissing, RequestCheckpoint, Terminate, Kill, Overshoot,
                   SupervisorError, ForwardSignal, Exited, InterventionFailed>;

  // Implicit on purpose: `actions.push_back(PolicyAction::Kill{})`.
  template <class Alternative>
  requires std::is_constructible_v<Variant, Alternative&&>
  constexpr PolicyAction(Alternative&& alternative)  // NOLINT(google-explicit-constructor)
      : value(std::forward<Alternative>(alternative)) {}

  constexpr std::size_t index() const { return value.index(); }
  template <class Alternative>
  constexpr const Alternative* get_if() const {
    return std::get_if<Alternative>(&value);
  }

  friend bool operator==(const PolicyAction&, const PolicyAction&) = default;

  Variant value;
};

// The decisions of one `apply`, in the order they must be carried out: empty,
// or one to three entries.
using PolicyActions = std::vector<PolicyAction>;

// The supervision state machine. Copyable and movable: it is a plain value.
class PolicyMachine {
 public:
  // The enforcing machine of a `run`. The configuration is refused as a whole
  // (PolicyConfigError) unless all of these hold:
  //   - recovery < warning < limit < emergency footprint, all strict;
  //   - required_breach_samples and max_missing_samples are at least 1;
  //   - max_sample_age, max_sample_window and term_grace are non-zero;
  //   - checkpoint_timeout and wall_time are each absent or non-zero;
  //   - initial_request_id is non-zero (the first checkpoint request's id).
  // The machine starts in Normal with no deadlines and no last event time.
  [[nodiscard]] static Result<PolicyMachine, PolicyConfigError> enforce_with_initial_request_id(
      const PolicyConfig& config, uint64_t initial_request_id);

  // The never-enforcing machine of `observe`, in state Observe. Only the two
  // sample bounds are chosen; thresholds sit at the top of the u64 range, the
  // grace period is the greatest duration and three unusable samples in a row
  // count as failed observation. Not validated, cannot fail.
  [[nodiscard]] static PolicyMachine observe_only(Duration max_sample_age,
                                                  Duration max_sample_window);

  // Applies one event and returns the decisions it leads to, in order. Never
  // fails: every event in every state yields a (possibly empty) list. An event
  // timed earlier than the last accepted one is an observation failure, not an
  // error, and is otherwise ignored. Once the state is Exited every event is
  // ignored. The caller compares `state()` before and after to see a
  // transition.
  [[nodiscard]] PolicyActions apply(const PolicyEvent& event);

  PolicyState state() const { return state_; }
  // When the outstanding checkpoint request times out; the loop sleeps at most
  // until then in CheckpointRequested and then feeds a Tick.
  std::optional<Duration> checkpoint_deadline() const { return checkpoint_deadline_; }
  // When SIGTERM escalates to SIGKILL (a usable sample at or above the
  // emergency band escalates sooner); the loop sleeps at most until then in
  // Terminating and SupervisorError and then feeds a Tick.
  std::optional<Duration> grace_deadline() const { return grace_deadline_; }

  const PolicyConfig& config() const { return config_; }
  std::optional<uint64_t> pending_request_id() const { return pending_request_id_; }
  // Time of the latest accepted event (never moved backwards).
  std::optional<Duration> last_event_at() const { return last_event_at_; }
  uint64_t next_request_id() const { return next_request_id_; }
  uint32_t breach_samples() const { return breach_samples_; }
  uint32_t missing_samples() const { return missing_samples_; }
  // Usable samples seen after the terminate decision (reported on exit).
  uint32_t samples_while_terminating() const { return samples_while_terminating_; }
  bool enforcing() const { return enforcing_; }
  // A terminate or kill has been decided (or a signal forwarded).
  bool terminating() const { return terminating_; }

 private:
  PolicyMachine(const PolicyConfig& config, uint64_t next_request_id, bool enforcing,
                PolicyState state);

  PolicyActions apply_sample(const PolicyEvent::Sample& sample);
  PolicyActions apply_tick(Duration at);
  PolicyActions apply_acknowledgement(const PolicyEvent::CheckpointAcknowledged& ack);
  PolicyActions apply_terminal_signal(const PolicyEvent::TerminalSignal& signal);
  PolicyActions apply_intervention_failure(const PolicyEvent::InterventionFailed& failure);
  PolicyActions apply_supervisor_fault(Duration at);
  PolicyActions apply_time_regression();
  PolicyActions terminate(Duration at, TerminateReason reason);
  PolicyActions request_checkpoint_or_terminate(Duration at, uint64_t excess_bytes);
  bool sample_is_usable(const PolicyEvent::Sample& sample) const;

  std::optional<uint64_t> pending_request_id_;
  PolicyConfig config_;
  std::optional<Duration> checkpoint_deadline_;
  std::optional<Duration> grace_deadline_;
  std::optional<Duration> last_event_at_;
  uint64_t next_request_id_ = 1;
  uint32_t breach_samples_ = 0;
  uint32_t missing_samples_ = 0;
  uint32_t samples_while_terminating_ = 0;
  bool enforcing_ = false;
  bool terminating_ = false;
  PolicyState state_ = PolicyState::Observe;
};

// ---------------------------------------------------------------------------
// The program's policy: what `run` enforces and `observe` reports, derived
// from the footprint limit and the sample interval the user gave. Every
// number here is the one rule both modes and the command-line checks use.

// Usable samples at or above the limit before `run` intervenes.
inline constexpr uint32_t kRequiredBreachSamples = 2;
// Unusable samples in a row after which observation has failed, in both
// modes.
inline constexpr uint32_t kMaxMissingSamples = 3;
// From SIGTERM to SIGKILL: `run`'s grace period, and the delay of
// `observe`'s kill after the launching parent exits.
inline constexpr Duration kTermGrace = Duration::from_secs(1);
// How long a checkpoint request waits for its acknowledgement unless the
// user chose otherwise.
inline constexpr Duration kDefaultCheckpointTimeout = Duration::from_secs(1);

// The footprints around a limit L at which the policy acts, one step of a
// tenth of L apart (a step of 1 below 10 bytes): warning at L - step,
// recovery at L - 2 steps (0 when the steps do not fit below L), emergency
// at L + step.
struct FootprintBand {
  uint64_t warning_bytes = 0;
  uint64_t recovery_bytes = 0;
  uint64_t emergency_bytes = 0;

  friend bool operator==(const FootprintBand&, const FootprintBand&) = default;
};

// The band around `max_footprint_bytes`; absent when its emergency edge would
// not fit in 64 bits, so that such a limit cannot be enforced.
[[nodiscard]] std::optional<FootprintBand> footprint_band(uint64_t max_footprint_bytes);

// How old and how long a sample may be for the policy to use it, for a
// sample interval S: age max(2S, 500 ms), window max(S, 250 ms). The
// sampler is configured with the same bounds.
struct SampleBounds {
  Duration max_sample_age;
  Duration max_sample_window;

  friend bool operator==(const SampleBounds&, const SampleBounds&) = default;
};

[[nodiscard]] SampleBounds sample_bounds(Duration sample_interval);

// What `run` enforces for a limit: footprint_band around it, the constants
// above, sample_bounds of the interval, the checkpoint timeout (or
// kDefaultCheckpointTimeout) and the wall-time limit, if any. A limit whose
// band does not fit is InvalidThresholdsOrDurations; everything else is
// checked when the machine is made.
[[nodiscard]] Result<PolicyConfig, PolicyConfigError> enforcement_config(
    uint64_t max_footprint_bytes, Duration sample_interval, std::optional<Duration> wall_time,
    std::optional<Duration> checkpoint_timeout);

}  // namespace vek_guard

#endif  // VEK_GUARD_POLICY_H_
