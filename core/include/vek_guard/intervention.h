// Carrying out the policy's decisions on real processes, and the bounded log
// of what was attempted.
//
//  - `InterventionCommand` is what the runtime asks for, built from a policy
//    action; its variant index is the `InterventionKind` that a failure
//    reports back to the policy.
//  - `InterventionActuator` is the interface the runtime calls;
//    `ProcessInterventionActuator` implements it over the owned process group,
//    the negotiated checkpoint endpoint and the checkpoint channel, and turns
//    what the channel reports into the next `PolicyEvent`.
//  - `InterventionEvidence` keeps the newest 64 attempts (time, command,
//    result) and counts every attempt ever made.
//
//   ProcessInterventionActuator actuator(&channel, endpoint, process.control_handle());
//   InterventionResult result = actuator.execute(now, InterventionCommand::Kill{});
//   evidence.record_result(now, InterventionCommand::Kill{}, result);
//   if (!result) machine.apply(PolicyEvent::InterventionFailed{now, kind, code});
//
// Everything runs on the supervision thread.
#ifndef VEK_GUARD_INTERVENTION_H_
#define VEK_GUARD_INTERVENTION_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "vek_guard/checkpoint.h"
#include "vek_guard/duration.h"
#include "vek_guard/error.h"
#include "vek_guard/policy.h"
#include "vek_guard/process_control.h"
#include "vek_guard/report.h"

namespace vek_guard {

// One thing the runtime asks the actuator to do.
struct InterventionCommand {
  // The policy's decisions are carried out as it made them, so the commands
  // are its own action types.
  //
  // Send the run's checkpoint request, then the checkpoint signal to the
  // endpoint. The excess is not sent; it only travels to the evidence.
  using RequestCheckpoint = PolicyAction::RequestCheckpoint;
  // SIGTERM to the group. The reason is not sent; it travels with the
  // attempt so that its records can name it.
  using Terminate = PolicyAction::Terminate;
  // SIGKILL to the group.
  using Kill = PolicyAction::Kill;
  // Forward a terminal signal the supervisor received to the group.
  using Signal = PolicyAction::ForwardSignal;

  // The alternatives in `InterventionKind` order.
  using Variant = std::variant<RequestCheckpoint, Terminate, Kill, Signal>;

  // Implicit on purpose: `actuator.execute(now, InterventionCommand::Kill{})`.
  template <class Alternative>
  requires std::is_constructible_v<Variant, Alternative&&>
  constexpr InterventionCommand(Alternative&& alternative)  // NOLINT(google-explicit-constructor)
      : value(std::forward<Alternative>(alternative)) {}

  constexpr InterventionKind kind() const { return static_cast<InterventionKind>(value.index()); }
  template <class Alternative>
  constexpr const Alternative* get_if() const {
    return std::get_if<Alternative>(&value);
  }

  friend bool operator==(const InterventionCommand&, const InterventionCommand&) = default;

  Variant value;
};

static_assert(std::variant_size_v<InterventionCommand::Variant> == 4);

// Why an intervention failed. The value is the code the policy receives.
enum class InterventionFailure : uint8_t {
  CheckpointUnavailable = 0,  // no channel, not negotiated, or the write failed
  CheckpointRefused = 1,      // the protocol refused the request
  EndpointMissing = 2,        // the checkpoint endpoint is gone
  PermissionDenied = 3,       // EPERM
  NotPermitted = 4,           // the signal or the endpoint is not ours to use
  Failed = 5,                 // any other failure
};

// Success is Delivered, or ProcessMissing for a group that is already gone
// (never PermissionDenied: that is a failure here).
using InterventionResult = Result<SignalDelivery, InterventionFailure>;

// What polling the checkpoint channel means for the policy.
struct CheckpointProgress {
  // The artifact of an accepted acknowledgement that named one.
  std::optional<CheckpointArtifactRecord> artifact;
  // The next event for the policy: CheckpointAcknowledged (accepted) for
  // status 1; InterventionFailed(checkpoint request, 1) for status 2 or 3;
  // InterventionFailed(checkpoint request, 0) when the endpoint went away.
  // Absent while nothing decisive happened (the policy's own deadline rules).
  std::optional<PolicyEvent> event;
  // The channel's diagnostics, always passed on.
  std::vector<CheckpointEvent> events;
};

// What the run mode asks of the outside world: carrying out the policy's
// commands and following the checkpoint channel. A fake stands in for it in
// the runtime's tests, so that every answer a real group and client can give
// is given on cue.
class InterventionActuator {
 public:
  virtual ~InterventionActuator() = default;

  // Carries out `command` at `now` (the time since the run's start, used for
  // the checkpoint request). Every operating-system error is reported as a
  // failure code; nothing here ends the run.
  virtual InterventionResult execute(Duration now, const InterventionCommand& command) = 0;

  // Whether the client's checkpoint negotiation has completed (false: not
  // yet). No channel or a failed negotiation is CheckpointUnavailable.
  virtual Result<bool, InterventionFailure> poll_checkpoint_ready() = 0;

  // Follows an outstanding checkpoint request at `now` and decides the next
  // policy event (see CheckpointProgress). No channel, or a failed read, is
  // CheckpointUnavailable.
  virtual Result<CheckpointProgress, InterventionFailure> poll_checkpoint(Duration now) = 0;
};

// The actuator over real processes. Holds a pointer to the run's checkpoint
// channel (absent when the run has none), which must outlive the actuator;
// the runtime owns the channel for the whole run.
class ProcessInterventionActuator final : public InterventionActuator {
 public:
  ProcessInterventionActuator(
      CheckpointChannel* channel, CheckpointEndpoint endpoint, ProcessControlHandle group,
      uint8_t checkpoint_signal = process_control::checkpoint_signal_usr1());

  // Terminate, Kill: SIGTERM / SIGKILL to the group (and to a root that left
  // it, when `group` came from the OwnedProcess; see
  // ProcessControlHandle::signal_group). Signal(s): s must be a terminal
  // signal, 1, 2, 3 or 15 (else NotPermitted, checked first), then s the same
  // way. For all three: no group is Failed; ESRCH is success ProcessMissing;
  // EPERM is PermissionDenied; other errors Failed.
  //
  // RequestCheckpoint: no channel, not negotiated or a failed write is
  // CheckpointUnavailable (after a failed write the request stays pending); a
  // protocol refusal is CheckpointRefused. Once the request is written the
  // endpoint is signalled; if that does not deliver, the channel is cancelled
  // (so no acknowledgement can arrive for it) and the result is
  // EndpointMissing (gone), PermissionDenied, NotPermitted (the endpoint is
  // not the negotiated process in our group) or Failed.
  InterventionResult execute(Duration now, const InterventionCommand& command) override;

  // The negotiation as the channel tells it.
  Result<bool, InterventionFailure> poll_checkpoint_ready() override;

  // Polls the channel while a request is outstanding.
  Result<CheckpointProgress, InterventionFailure> poll_checkpoint(Duration now) override;

  const CheckpointEndpoint& endpoint() const { return endpoint_; }
  uint8_t checkpoint_signal() const { return checkpoint_signal_; }

 private:
  InterventionResult request_checkpoint(Duration now,
                                        const InterventionCommand::RequestCheckpoint& request);
  InterventionResult signal_group(int signal) const;

  CheckpointChannel* channel_;
  CheckpointEndpoint endpoint_;
  uint8_t checkpoint_signal_;
  ProcessControlHandle group_;
};

// One attempt: when it was issued, what was asked, and how it went.
struct InterventionAttempt {
  Duration issued_at;
  InterventionCommand command = InterventionCommand::Kill{};
  bool failed = false;
  // The InterventionFailure code when failed, else the SignalDelivery value
  // (0 Delivered, 1 ProcessMissing).
  uint8_t code = 0;

  friend bool operator==(const InterventionAttempt&, const InterventionAttempt&) = default;
};

// The newest attempts of a run, oldest first, at most kCapacity of them, and
// the count of every attempt ever recorded (saturating). The runtime reads
// attempts() before and after a dispatch and journals the newest entries.
class InterventionEvidence {
 public:
  static constexpr std::size_t kCapacity = 64;

  InterventionEvidence();

  // Counts the attempt and appends it, dropping the oldest when full.
  void record_attempt(Duration issued_at, InterventionCommand command, bool failed, uint8_t code);
  // record_attempt with the failed flag and code taken from `result`.
  void record_result(Duration issued_at, InterventionCommand command,
                     const InterventionResult& result);

  // The kept attempts, oldest first.
  const std::vector<InterventionAttempt>& entries() const { return ring_; }
  // The newest min(count, entries().size()) attempts, oldest first.
  std::vector<InterventionAttempt> newest(uint64_t count) const;
  uint64_t attempts() const { return attempts_; }

 private:
  std::vector<InterventionAttempt> ring_;
  uint64_t attempts_ = 0;
};

}  // namespace vek_guard

#endif  // VEK_GUARD_INTERVENTION_H_
