#include "vek_guard/policy.h"

#include <algorithm>
#include <limits>

namespace vek_guard {
namespace {

using Event = PolicyEvent;
using Action = PolicyAction;

// Counters report "at least this many"; wrapping to 0 would silently re-arm
// the breach and missing-sample thresholds.
uint32_t saturating_increment(uint32_t value) {
  return value == std::numeric_limits<uint32_t>::max() ? value : value + 1;
}

bool config_is_valid(const PolicyConfig& config) {
  const bool thresholds_ordered =
      config.recovery_footprint_bytes < config.warning_footprint_bytes &&
      config.warning_footprint_bytes < config.max_footprint_bytes &&
      config.max_footprint_bytes < config.emergency_footprint_bytes;
  const bool counts_positive =
      config.required_breach_samples >= 1 && config.max_missing_samples >= 1;
  const bool durations_positive = !config.max_sample_age.is_zero() &&
                                  !config.max_sample_window.is_zero() &&
                                  !config.term_grace.is_zero();
  // A zero timeout would expire the request at the instant it is made, and a
  // zero wall time would stop every run at its first tick: both are mistakes.
  const bool optionals_positive =
      (!config.checkpoint_timeout || !config.checkpoint_timeout->is_zero()) &&
      (!config.wall_time || !config.wall_time->is_zero());
  return thresholds_ordered && counts_positive && durations_positive && optionals_positive;
}

}  // namespace

std::optional<FootprintBand> footprint_band(uint64_t max_footprint_bytes) {
  const uint64_t limit = max_footprint_bytes;
  const uint64_t step = limit < 10 ? 1 : limit / 10;
  if (limit > std::numeric_limits<uint64_t>::max() - step) return std::nullopt;
  FootprintBand band;
  band.warning_bytes = limit >= step ? limit - step : 0;
  band.recovery_bytes = band.warning_bytes >= step ? band.warning_bytes - step : 0;
  band.emergency_bytes = limit + step;
  return band;
}

SampleBounds sample_bounds(Duration sample_interval) {
  // Twice the interval lets one late pass go by before a sample counts as
  // stale; the floors keep short intervals from failing on scheduling noise.
  return SampleBounds{
      .max_sample_age = std::max(sample_interval.saturating_mul(2), Duration::from_millis(500)),
      .max_sample_window = std::max(sample_interval, Duration::from_millis(250)),
  };
}

Result<PolicyConfig, PolicyConfigError> enforcement_config(
    uint64_t max_footprint_bytes, Duration sample_interval, std::optional<Duration> wall_time,
    std::optional<Duration> checkpoint_timeout) {
  const std::optional<FootprintBand> band = footprint_band(max_footprint_bytes);
  if (!band) return unexpected(PolicyConfigError::InvalidThresholdsOrDurations);
  const SampleBounds bounds = sample_bounds(sample_interval);
  PolicyConfig config;
  config.max_footprint_bytes = max_footprint_bytes;
  config.warning_footprint_bytes = band->warning_bytes;
  config.recovery_footprint_bytes = band->recovery_bytes;
  config.emergency_footprint_bytes = band->emergency_bytes;
  config.required_breach_samples = kRequiredBreachSamples;
  config.max_missing_samples = kMaxMissingSamples;
  config.max_sample_age = bounds.max_sample_age;
  config.max_sample_window = bounds.max_sample_window;
  config.term_grace = kTermGrace;
  config.checkpoint_timeout = checkpoint_timeout.value_or(kDefaultCheckpointTimeout);
  config.wall_time = wall_time;
  return config;
}

PolicyMachine::PolicyMachine(const PolicyConfig& config, uint64_t next_request_id, bool enforcing,
                             PolicyState state)
    : config_(config), next_request_id_(next_request_id), enforcing_(enforcing), state_(state) {}

Result<PolicyMachine, PolicyConfigError> PolicyMachine::enforce_with_initial_request_id(
    const PolicyConfig& config, uint64_t initial_request_id) {
  // Ids come from the random source, which is read again while it yields 0;
  // a 0 here means the caller skipped that step.
  if (!config_is_valid(config) || initial_request_id == 0) {
    return unexpected(PolicyConfigError::InvalidThresholdsOrDurations);
  }
  return PolicyMachine(config, initial_request_id, /*enforcing=*/true, PolicyState::Normal);
}

PolicyMachine PolicyMachine::observe_only(Duration max_sample_age, Duration max_sample_window) {
  // Thresholds at the top of the range are never crossed by a real footprint,
  // and an unreachable breach count keeps the enforcing rules inert; observe
  // mode only reports. The grace period of Duration::max() makes a forwarded
  // terminal signal wait for the child rather than escalate on a timer.
  constexpr uint64_t kTop = std::numeric_limits<uint64_t>::max();
  PolicyConfig config;
  config.max_sample_age = max_sample_age;
  config.max_sample_window = max_sample_window;
  config.term_grace = Duration::max();
  config.max_footprint_bytes = kTop;
  config.warning_footprint_bytes = kTop - 1;
  config.recovery_footprint_bytes = kTop - 2;
  config.emergency_footprint_bytes = kTop;
  config.required_breach_samples = std::numeric_limits<uint32_t>::max();
  config.max_missing_samples = kMaxMissingSamples;
  return PolicyMachine(config, /*next_request_id=*/1, /*enforcing=*/false, PolicyState::Observe);
}

PolicyActions PolicyMachine::apply(const PolicyEvent& event) {
  if (state_ == PolicyState::Exited) return {};

  // The exit is final whatever its time: refusing it for a stale timestamp
  // would leave the loop waiting on a process that no longer exists.
  if (const auto* exited = event.get_if<Event::ChildExited>()) {
    state_ = PolicyState::Exited;
    return {Action::Exited{exited->final_footprint_bytes, samples_while_terminating_}};
  }

  const Duration at = event.time();
  if (last_event_at_ && at < *last_event_at_) return apply_time_regression();
  last_event_at_ = at;

  if (const auto* sample = event.get_if<Event::Sample>()) return apply_sample(*sample);
  if (event.get_if<Event::Tick>() != nullptr) return apply_tick(at);
  if (const auto* ack = event.get_if<Event::CheckpointAcknowledged>()) {
    return apply_acknowledgement(*ack);
  }
  if (const auto* signal = event.get_if<Event::TerminalSignal>()) {
    return apply_terminal_signal(*signal);
  }
  if (const auto* failure = event.get_if<Event::InterventionFailed>()) {
    return apply_intervention_failure(*failure);
  }
  if (event.get_if<Event::SupervisorFault>() != nullptr) return apply_supervisor_fault(at);
  if (event.get_if<Event::GroupAlive>() != nullptr) {
    // A kill reaches every process in the group when it is sent, but not one
    // that was outside it then and comes back (while the root's zombie holds
    // the group open), nor one that joins it later. The group is to be dead:
    // it is killed again, once per pass that finds such a process. A kill
    // that failed is not retried (the machine then sits in supervisor_error).
    if (state_ == PolicyState::Emergency) return {Action::Kill{}};
    return {};
  }
  if (event.get_if<Event::RootExited>() != nullptr) {
    if (state_ == PolicyState::Normal || state_ == PolicyState::Warning ||
        state_ == PolicyState::CheckpointRequested) {
      return terminate(at, TerminateReason::RootExitCleanup);
    }
    return {};
  }
  // ParentExited. An outstanding checkpoint request already leads to a
  // terminate on acknowledgement or deadline, so it is left to run its course.
  if (state_ == PolicyState::Normal || state_ == PolicyState::Warning) {
    return terminate(at, TerminateReason::ParentExit);
  }
  return {};
}

PolicyActions PolicyMachine::apply_time_regression() {
  // The monotonic clock cannot run backwards, so a regression means the
  // supervisor's own observations are unreliable. Nothing after this can be
  // trusted enough to be processed, but an earlier decision stands.
  if (state_ == PolicyState::SupervisorError || terminating_) return {};
  state_ = PolicyState::SupervisorError;
  if (!enforcing_) return {Action::SampleMissing{}, Action::SupervisorError{}};
  terminating_ = true;
  // The grace period runs from the last time known to be good; the regressed
  // time could place the deadline arbitrarily far in the past.
  grace_deadline_ = last_event_at_->saturating_add(config_.term_grace);
  return {Action::SampleMissing{}, Action::Terminate{TerminateReason::ObservationFailure}};
}

bool PolicyMachine::sample_is_usable(const PolicyEvent::Sample& sample) const {
  if (!sample.footprint_bytes) return false;
  const std::optional<Duration> age = sample.now.checked_sub(sample.completed_at);
  return age && *age <= config_.max_sample_age && sample.latency <= config_.max_sample_window;
}

PolicyActions PolicyMachine::apply_sample(const PolicyEvent::Sample& sample) {
  if (!sample_is_usable(sample)) {
    // An unusable sample says nothing about the footprint, so the breach
    // count is neither advanced nor reset by it.
    missing_samples_ = saturating_increment(missing_samples_);
    PolicyActions actions{Action::SampleMissing{}};
    if (missing_samples_ >= config_.max_missing_samples && state_ != PolicyState::SupervisorError &&
        !terminating_) {
      state_ = PolicyState::SupervisorError;
      if (enforcing_) {
        // Supervising blind is not safe: stop the command.
        terminating_ = true;
        grace_deadline_ = sample.now.saturating_add(config_.term_grace);
        actions.emplace_back(Action::Terminate{TerminateReason::ObservationFailure});
      } else {
        actions.emplace_back(Action::SupervisorError{});
      }
    }
    return actions;
  }

  const uint64_t footprint = *sample.footprint_bytes;
  const uint64_t excess =
      footprint > config_.max_footprint_bytes ? footprint - config_.max_footprint_bytes : 0;
  missing_samples_ = 0;

  if (terminating_) {
    samples_while_terminating_ = saturating_increment(samples_while_terminating_);
    // A command that ignores SIGTERM can go on allocating for the whole grace
    // period. The band brings forward the SIGKILL that the grace deadline
    // would send, so it applies exactly where a tick at that deadline would
    // kill: never in emergency, and not after a failed kill, which clears the
    // deadline.
    if (enforcing_ && footprint >= config_.emergency_footprint_bytes && grace_deadline_ &&
        (state_ == PolicyState::Terminating || state_ == PolicyState::SupervisorError)) {
      state_ = PolicyState::Emergency;
      return {Action::SampleAccepted{}, Action::Kill{}, Action::Overshoot{excess}};
    }
    return {Action::SampleAccepted{}};
  }
  if (!enforcing_) return {Action::SampleAccepted{}};
  if (footprint >= config_.emergency_footprint_bytes) {
    // No time for a checkpoint or a grace period: the host itself is at risk.
    terminating_ = true;
    state_ = PolicyState::Emergency;
    return {Action::SampleAccepted{}, Action::Kill{}, Action::Overshoot{excess}};
  }
  // While a request is outstanding its acknowledgement or deadline decides
  // what happens next; further breaches cannot change that.
  if (state_ == PolicyState::CheckpointRequested) return {Action::SampleAccepted{}};

  if (footprint >= config_.max_footprint_bytes) {
    breach_samples_ = saturating_increment(breach_samples_);
    state_ = PolicyState::Warning;
    PolicyActions actions{Action::SampleAccepted{}};
    if (breach_samples_ >= config_.required_breach_samples) {
      PolicyActions decided = request_checkpoint_or_terminate(sample.now, excess);
      actions.insert(actions.end(), decided.begin(), decided.end());
      if (!config_.checkpoint_timeout) actions.emplace_back(Action::Overshoot{excess});
    }
    return actions;
  }

  breach_samples_ = 0;
  // Between recovery and warning the state is kept, so a footprint hovering
  // around one threshold does not flap between normal and warning.
  if (footprint >= config_.warning_footprint_bytes) {
    state_ = PolicyState::Warning;
  } else if (footprint <= config_.recovery_footprint_bytes) {
    state_ = PolicyState::Normal;
  }
  return {Action::SampleAccepted{}};
}

PolicyActions PolicyMachine::apply_tick(Duration at) {
  switch (state_) {
    case PolicyState::Terminating:
    case PolicyState::SupervisorError:
      if (grace_deadline_ && at >= *grace_deadline_) {
        // The deadline is kept so the escalation stays visible to the loop.
        state_ = PolicyState::Emergency;
        return {Action::Kill{}};
      }
      return {};
    case PolicyState::CheckpointRequested:
      if (checkpoint_deadline_ && at >= *checkpoint_deadline_) {
        return terminate(at, TerminateReason::CheckpointTimedOut);
      }
      return {};
    case PolicyState::Normal:
    case PolicyState::Warning:
      if (!terminating_ && config_.wall_time && at >= *config_.wall_time) {
        // Running out of time is handled like a breach with nothing to
        // report as overshoot.
        return request_checkpoint_or_terminate(at, /*excess_bytes=*/0);
      }
      return {};
    default:
      // Observe, and Emergency: a kill is repeated on a new terminal signal
      // or a pass that finds the group alive, never by the timer.
      return {};
  }
}

PolicyActions PolicyMachine::apply_acknowledgement(const PolicyEvent::CheckpointAcknowledged& ack) {
  // A refused or foreign acknowledgement leaves the request to its deadline.
  if (state_ == PolicyState::CheckpointRequested && pending_request_id_ == ack.request_id &&
      ack.accepted) {
    return terminate(ack.at, TerminateReason::CheckpointAcknowledged);
  }
  return {};
}

PolicyActions PolicyMachine::apply_terminal_signal(const PolicyEvent::TerminalSignal& signal) {
  if (state_ == PolicyState::Terminating || state_ == PolicyState::Emergency ||
      state_ == PolicyState::SupervisorError) {
    // The user asked again (or the group is already being stopped): escalate.
    terminating_ = true;
    state_ = PolicyState::Emergency;
    return {Action::Kill{}};
  }
  // The first signal is the user's own request to stop; pass it on and give
  // the group the grace period, abandoning any outstanding checkpoint.
  pending_request_id_.reset();
  checkpoint_deadline_.reset();
  terminating_ = true;
  state_ = PolicyState::Terminating;
  grace_deadline_ = signal.at.saturating_add(config_.term_grace);
  return {Action::ForwardSignal{signal.signal}};
}

PolicyActions PolicyMachine::apply_intervention_failure(
    const PolicyEvent::InterventionFailed& failure) {
  if (failure.kind == InterventionKind::CheckpointRequest &&
      state_ == PolicyState::CheckpointRequested) {
    return terminate(failure.at, TerminateReason::CheckpointFailed);
  }
  pending_request_id_.reset();
  checkpoint_deadline_.reset();
  grace_deadline_.reset();
  terminating_ = true;
  if (failure.kind == InterventionKind::Terminate ||
      failure.kind == InterventionKind::ForwardedSignal) {
    // A gentle stop could not be delivered; SIGKILL is the only step left.
    state_ = PolicyState::Emergency;
    return {Action::Kill{}};
  }
  // A failed kill leaves nothing further to try. Kinds outside the known range
  // land here too: failing closed is the safe reading of an unknown failure.
  state_ = PolicyState::SupervisorError;
  return {Action::InterventionFailed{failure.kind, failure.code}};
}

PolicyActions PolicyMachine::apply_supervisor_fault(Duration at) {
  pending_request_id_.reset();
  checkpoint_deadline_.reset();
  state_ = PolicyState::SupervisorError;
  if (!enforcing_) return {Action::SupervisorError{}};
  // An earlier terminate or kill decision stands with its own deadline.
  if (terminating_) return {};
  terminating_ = true;
  grace_deadline_ = at.saturating_add(config_.term_grace);
  return {Action::Terminate{TerminateReason::SupervisorFault}};
}

PolicyActions PolicyMachine::terminate(Duration at, TerminateReason reason) {
  pending_request_id_.reset();
  checkpoint_deadline_.reset();
  terminating_ = true;
  state_ = PolicyState::Terminating;
  grace_deadline_ = at.saturating_add(config_.term_grace);
  return {Action::Terminate{reason}};
}

PolicyActions PolicyMachine::request_checkpoint_or_terminate(Duration at, uint64_t excess_bytes) {
  // Only reached from normal or warning, where nothing is pending, so the
  // plain terminate path fits.
  if (!config_.checkpoint_timeout)
    return terminate(at, TerminateReason::ThresholdWithoutCheckpoint);
  // A machine issues at most one request, so saturating instead of wrapping
  // can never hand out a duplicate id in practice; it only avoids 0.
  const uint64_t id = next_request_id_;
  if (next_request_id_ != std::numeric_limits<uint64_t>::max()) ++next_request_id_;
  pending_request_id_ = id;
  checkpoint_deadline_ = at.saturating_add(*config_.checkpoint_timeout);
  state_ = PolicyState::CheckpointRequested;
  return {Action::RequestCheckpoint{id, excess_bytes, *checkpoint_deadline_}};
}

}  // namespace vek_guard
