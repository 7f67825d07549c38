#include "vek_guard/intervention.h"

#include <signal.h>

#include <algorithm>
#include <limits>

#include "vek_guard/supervisor_signals.h"

namespace vek_guard {
namespace {

InterventionResult failure(InterventionFailure code) { return unexpected(code); }

bool has_event(const std::vector<CheckpointEvent>& events, CheckpointEvent wanted) {
  return std::find(events.begin(), events.end(), wanted) != events.end();
}

}  // namespace

ProcessInterventionActuator::ProcessInterventionActuator(CheckpointChannel* channel,
                                                         CheckpointEndpoint endpoint,
                                                         ProcessControlHandle group,
                                                         uint8_t checkpoint_signal)
    : channel_(channel),
      endpoint_(endpoint),
      checkpoint_signal_(checkpoint_signal),
      group_(group) {}

InterventionResult ProcessInterventionActuator::execute(Duration now,
                                                        const InterventionCommand& command) {
  if (const auto* request = command.get_if<InterventionCommand::RequestCheckpoint>()) {
    return request_checkpoint(now, *request);
  }
  if (command.get_if<InterventionCommand::Terminate>() != nullptr) return signal_group(SIGTERM);
  if (command.get_if<InterventionCommand::Kill>() != nullptr) return signal_group(SIGKILL);
  const auto& forwarded = *command.get_if<InterventionCommand::Signal>();
  // Refused before anything else: the policy only ever forwards what the
  // supervisor itself received, so anything else is a bug upstream.
  if (!process_control::is_terminal_signal(forwarded.signal)) {
    return failure(InterventionFailure::NotPermitted);
  }
  return signal_group(forwarded.signal);
}

InterventionResult ProcessInterventionActuator::signal_group(int signal) const {
  Result<SignalDelivery, ControlError> sent = group_.signal_group(signal);
  if (!sent) return failure(InterventionFailure::Failed);
  switch (*sent) {
    case SignalDelivery::Delivered:
    case SignalDelivery::ProcessMissing:
      // A group that is already gone needs no stopping: success, so that
      // terminating an exited group does not escalate.
      return *sent;
    case SignalDelivery::PermissionDenied:
      break;
  }
  return failure(InterventionFailure::PermissionDenied);
}

InterventionResult ProcessInterventionActuator::request_checkpoint(
    Duration now, const InterventionCommand::RequestCheckpoint& request) {
  if (channel_ == nullptr) return failure(InterventionFailure::CheckpointUnavailable);
  Result<CheckpointRequestOutcome, CheckpointChannelError> begun =
      channel_->begin_request(request.request_id, now, request.deadline);
  if (!begun) return failure(InterventionFailure::CheckpointUnavailable);
  if (std::holds_alternative<CheckpointNotNegotiated>(*begun)) {
    return failure(InterventionFailure::CheckpointUnavailable);
  }
  if (std::holds_alternative<RequestRefusal>(*begun)) {
    return failure(InterventionFailure::CheckpointRefused);
  }

  Result<SignalDelivery, ControlError> signalled =
      group_.signal_checkpoint(endpoint_, checkpoint_signal_);
  if (signalled && *signalled == SignalDelivery::Delivered) return SignalDelivery::Delivered;
  // The request is on the wire but nobody will be told to read it: close the
  // channel so that no acknowledgement can ever arrive for it.
  (void)channel_->cancel();
  if (signalled) {
    return failure(*signalled == SignalDelivery::ProcessMissing
                       ? InterventionFailure::EndpointMissing
                       : InterventionFailure::PermissionDenied);
  }
  switch (signalled.error().kind) {
    case ControlErrorKind::NotForwardable:
    case ControlErrorKind::EndpointNotOwned:
      return failure(InterventionFailure::NotPermitted);
    default:
      return failure(InterventionFailure::Failed);
  }
}

Result<bool, InterventionFailure> ProcessInterventionActuator::poll_checkpoint_ready() {
  if (channel_ == nullptr) return unexpected(InterventionFailure::CheckpointUnavailable);
  Result<bool, CheckpointChannelError> ready = channel_->poll_ready();
  if (!ready) return unexpected(InterventionFailure::CheckpointUnavailable);
  return *ready;
}

Result<CheckpointProgress, InterventionFailure> ProcessInterventionActuator::poll_checkpoint(
    Duration now) {
  if (channel_ == nullptr) return unexpected(InterventionFailure::CheckpointUnavailable);
  Result<CheckpointPoll, CheckpointChannelError> polled = channel_->poll(now);
  if (!polled) return unexpected(InterventionFailure::CheckpointUnavailable);

  CheckpointProgress progress;
  progress.events = std::move(polled->events);
  const auto failed = [now](InterventionFailure code) {
    return PolicyEvent(PolicyEvent::InterventionFailed{
        .at = now,
        .kind = InterventionKind::CheckpointRequest,
        .code = static_cast<uint8_t>(code),
    });
  };
  if (const auto& ack = polled->acknowledgement) {
    if (ack->status == AcknowledgementStatus::Accepted) {
      progress.event = PolicyEvent::CheckpointAcknowledged{
          .at = now, .request_id = ack->request_id, .accepted = true};
      progress.artifact = ack->artifact;
    } else {
      progress.event = failed(InterventionFailure::CheckpointRefused);
    }
  } else if (has_event(progress.events, CheckpointEvent::EndpointExited) ||
             has_event(progress.events, CheckpointEvent::BytesAfterExit)) {
    progress.event = failed(InterventionFailure::CheckpointUnavailable);
  }
  return progress;
}

// ---------------------------------------------------------------------------

InterventionEvidence::InterventionEvidence() { ring_.reserve(kCapacity); }

void InterventionEvidence::record_attempt(Duration issued_at, InterventionCommand command,
                                          bool failed, uint8_t code) {
  if (attempts_ != std::numeric_limits<uint64_t>::max()) ++attempts_;
  if (ring_.size() == kCapacity) ring_.erase(ring_.begin());
  ring_.push_back(InterventionAttempt{
      .issued_at = issued_at, .command = std::move(command), .failed = failed, .code = code});
}

void InterventionEvidence::record_result(Duration issued_at, InterventionCommand command,
                                         const InterventionResult& result) {
  const uint8_t code =
      result ? static_cast<uint8_t>(*result) : static_cast<uint8_t>(result.error());
  record_attempt(issued_at, std::move(command), !result.ok(), code);
}

std::vector<InterventionAttempt> InterventionEvidence::newest(uint64_t count) const {
  const std::size_t kept =
      static_cast<std::size_t>(std::min<uint64_t>(count, static_cast<uint64_t>(ring_.size())));
  return std::vector<InterventionAttempt>(ring_.end() - static_cast<std::ptrdiff_t>(kept),
                                          ring_.end());
}

}  // namespace vek_guard
