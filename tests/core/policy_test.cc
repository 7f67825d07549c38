#include "vek_guard/policy.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <vector>

#include <gtest/gtest.h>

namespace vek_guard {

// Failure output names the alternative rather than dumping the variant's bytes.
inline void PrintTo(const PolicyAction& action, std::ostream* os) {
  *os << "action#" << action.index();
}

namespace {

using Event = PolicyEvent;
using Action = PolicyAction;
using enum PolicyState;
using Reason = TerminateReason;
using Kind = InterventionKind;

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kInitialId = 42;
constexpr uint64_t kRecovery = 500;
constexpr uint64_t kWarning = 800;
constexpr uint64_t kLimit = 1000;
constexpr uint64_t kEmergency = 2000;

Duration secs(uint64_t s) { return Duration::from_secs(s); }
Duration just_before(uint64_t s) { return secs(s).saturating_sub(Duration::from_nanos(1)); }

// Samples within 1 s, a 5 s grace, a 10 s checkpoint timeout, one breach
// sample to intervene and three missing samples to fail.
PolicyConfig with(std::function<void(PolicyConfig&)> change = [](PolicyConfig&) {}) {
  PolicyConfig config;
  config.max_sample_age = config.max_sample_window = secs(1);
  config.term_grace = secs(5);
  config.checkpoint_timeout = secs(10);
  config.max_footprint_bytes = kLimit;
  config.warning_footprint_bytes = kWarning;
  config.recovery_footprint_bytes = kRecovery;
  config.emergency_footprint_bytes = kEmergency;
  config.required_breach_samples = 1;
  config.max_missing_samples = 3;
  change(config);
  return config;
}
const PolicyConfig kNoCheckpoint = with([](PolicyConfig& c) { c.checkpoint_timeout.reset(); });
const PolicyConfig kWallTime = with([](PolicyConfig& c) { c.wall_time = secs(60); });

PolicyMachine enforcing(const PolicyConfig& config = with(), uint64_t id = kInitialId) {
  auto machine = PolicyMachine::enforce_with_initial_request_id(config, id);
  EXPECT_TRUE(machine.ok());
  return std::move(machine).value();
}

Event sample(uint64_t bytes, Duration at) { return Event::Sample{bytes, at, at, Duration()}; }
Event unusable(Duration at) { return Event::Sample{std::nullopt, at, at, Duration()}; }
Event tick(Duration at) { return Event::Tick{at}; }
Event ack(uint64_t at, uint64_t id, bool accepted) {
  return Event::CheckpointAcknowledged{secs(at), id, accepted};
}
Event sig(uint64_t at, uint8_t number) { return Event::TerminalSignal{secs(at), number}; }
Event failed(Kind kind, uint8_t code) { return Event::InterventionFailed{secs(2), kind, code}; }

Event root_exit(uint64_t at) { return Event::RootExited{secs(at)}; }
Event parent_exit(uint64_t at) { return Event::ParentExited{secs(at)}; }
Event fault(uint64_t at) { return Event::SupervisorFault{secs(at)}; }
Event group_alive(uint64_t at) { return Event::GroupAlive{secs(at)}; }

Action terminate(Reason reason) { return Action::Terminate{reason}; }
Action request(uint64_t excess, uint64_t deadline) {
  return Action::RequestCheckpoint{kInitialId, excess, secs(deadline)};
}
const Action kOk = Action::SampleAccepted{};
const PolicyActions kObservationFailure{Action::SampleMissing{},
                                        Action::Terminate{Reason::ObservationFailure}};
const PolicyActions kNone;
const PolicyActions kAccepted{Action::SampleAccepted{}};
const PolicyActions kMissing{Action::SampleMissing{}};
const PolicyActions kKill{Action::Kill{}};

// Events that put an enforcing machine into each state at 1 s.
const Event kToWarning = sample(kWarning, secs(1));
const Event kToRequested = sample(kLimit, secs(1));  // request 42, deadline 11 s
const Event kToTerminating = parent_exit(1);         // grace deadline 6 s
const Event kToEmergency = sample(kEmergency, secs(1));

// Applies `steps` in order, checking each step's decisions and resulting state.
struct Step {
  Event event;
  PolicyActions actions;
  PolicyState state;
};
void run(PolicyMachine& m, const std::vector<Step>& steps) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(m.apply(steps[i].event), steps[i].actions) << "step " << i;
    EXPECT_EQ(m.state(), steps[i].state) << "step " << i;
  }
}

TEST(PolicyConstruction, RefusesEachInvalidCondition) {
  const std::function<void(PolicyConfig&)> breakers[] = {
      [](PolicyConfig& c) { c.recovery_footprint_bytes = kWarning; },
      [](PolicyConfig& c) { c.warning_footprint_bytes = kLimit; },
      [](PolicyConfig& c) { c.emergency_footprint_bytes = kLimit; },
      [](PolicyConfig& c) { c.required_breach_samples = 0; },
      [](PolicyConfig& c) { c.max_missing_samples = 0; },
      [](PolicyConfig& c) { c.max_sample_age = Duration(); },
      [](PolicyConfig& c) { c.term_grace = Duration(); },
      [](PolicyConfig& c) { c.checkpoint_timeout = Duration(); },
  };
  for (std::size_t i = 0; i < std::size(breakers); ++i) {
    auto machine = PolicyMachine::enforce_with_initial_request_id(with(breakers[i]), kInitialId);
    EXPECT_EQ(machine.error(), PolicyConfigError::InvalidThresholdsOrDurations) << "breaker " << i;
  }
  EXPECT_FALSE(PolicyMachine::enforce_with_initial_request_id(with(), 0).ok());
  EXPECT_EQ(error_message(PolicyConfigError::InvalidThresholdsOrDurations),
            "policy thresholds or durations are invalid");
}

// The program's own configuration: the band a tenth apart (a step of 1 below
// 10 bytes) up to the largest limit whose emergency edge fits, the sample
// bounds above their floors, and what `run` makes of both.
TEST(ProgramPolicy, BandSampleBoundsAndEnforcementFollowTheLimitAndInterval) {
  EXPECT_EQ(footprint_band(2), (FootprintBand{1, 0, 3}));
  EXPECT_EQ(footprint_band(10), (FootprintBand{9, 8, 11}));
  EXPECT_EQ(footprint_band(1000), (FootprintBand{900, 800, 1100}));
  constexpr uint64_t kLargest = 16769767339735956014u;
  EXPECT_EQ(footprint_band(kLargest)->emergency_bytes, kU64Max);
  EXPECT_FALSE(footprint_band(kLargest + 1));

  EXPECT_EQ(sample_bounds(Duration::from_millis(10)),
            (SampleBounds{Duration::from_millis(500), Duration::from_millis(250)}));
  EXPECT_EQ(sample_bounds(Duration::from_millis(300)),
            (SampleBounds{Duration::from_millis(600), Duration::from_millis(300)}));

  const PolicyConfig config =
      enforcement_config(1000, Duration::from_secs(10), Duration::from_secs(60), std::nullopt)
          .value();
  EXPECT_EQ(config.emergency_footprint_bytes, 1100u);
  EXPECT_EQ(config.max_sample_age, Duration::from_secs(20));
  EXPECT_EQ(config.checkpoint_timeout, kDefaultCheckpointTimeout);
  EXPECT_EQ(config.wall_time, Duration::from_secs(60));
  EXPECT_EQ(config.required_breach_samples, 2u);
  EXPECT_EQ(config.max_missing_samples, 3u);
  EXPECT_EQ(config.term_grace, Duration::from_secs(1));
  EXPECT_TRUE(PolicyMachine::enforce_with_initial_request_id(config, kInitialId).ok());
  EXPECT_EQ(enforcement_config(kLargest + 1, Duration::from_secs(1), {}, {}).error(),
            PolicyConfigError::InvalidThresholdsOrDurations);
}

// One event applied to a machine driven into a state by `before` (decisions
// unchecked), with the decisions, state and grace deadline it must lead to.
struct Transition {
  const char* what;
  std::vector<Event> before;
  Event event;
  PolicyActions actions;
  PolicyState state;
  std::optional<Duration> grace = std::nullopt;
  PolicyConfig config = with();
};

TEST(PolicyTransitions, EachEventInEachRelevantState) {
  // clang-format off
  const Transition rows[] = {
      {"limit", {}, sample(kLimit, secs(3)), {kOk, request(0, 13)}, CheckpointRequested},
      {"below emergency", {}, sample(kEmergency - 1, secs(1)), {kOk, request(999, 11)},
       CheckpointRequested},
      {"limit, no checkpoint step", {}, sample(kLimit + 200, secs(3)),
       {kOk, terminate(Reason::ThresholdWithoutCheckpoint), Action::Overshoot{200}}, Terminating,
       secs(8), kNoCheckpoint},
      {"emergency", {kToWarning}, sample(kEmergency, secs(2)),
       {kOk, Action::Kill{}, Action::Overshoot{kEmergency - kLimit}}, Emergency},
      // The band does not wait for the grace deadline, wherever a tick at that
      // deadline would kill; once a kill was sent or has failed it is not
      // repeated.
      {"emergency while terminating", {kToTerminating}, sample(kEmergency + 5, secs(2)),
       {kOk, Action::Kill{}, Action::Overshoot{kEmergency + 5 - kLimit}}, Emergency, secs(6)},
      {"emergency after a fault", {fault(1)}, sample(kEmergency, secs(2)),
       {kOk, Action::Kill{}, Action::Overshoot{kEmergency - kLimit}}, Emergency, secs(6)},
      {"below emergency while terminating", {kToTerminating}, sample(kEmergency - 1, secs(2)),
       kAccepted, Terminating, secs(6)},
      {"emergency again", {kToEmergency}, sample(kEmergency, secs(2)), kAccepted, Emergency},
      {"emergency after a failed kill", {kToTerminating, failed(Kind::Kill, 4)},
       sample(kEmergency, secs(3)), kAccepted, SupervisorError},
      {"grace not yet over", {kToTerminating}, tick(just_before(6)), kNone, Terminating, secs(6)},
      {"grace over", {kToTerminating}, tick(secs(6)), kKill, Emergency, secs(6)},
      {"before checkpoint deadline", {kToRequested}, tick(just_before(11)), kNone,
       CheckpointRequested},
      {"checkpoint deadline", {kToRequested}, tick(secs(11)),
       {terminate(Reason::CheckpointTimedOut)}, Terminating, secs(16)},
      {"before wall time", {kToWarning}, tick(just_before(60)), kNone, Warning, {}, kWallTime},
      {"wall time", {kToWarning}, tick(secs(60)), {request(0, 70)}, CheckpointRequested, {},
       kWallTime},
      {"accepted ack", {kToRequested}, ack(4, kInitialId, true),
       {terminate(Reason::CheckpointAcknowledged)}, Terminating, secs(9)},
      {"foreign ack", {kToRequested}, ack(2, kInitialId + 1, true), kNone, CheckpointRequested},
      {"ack after a kill", {kToRequested, sample(kEmergency, secs(2))}, ack(3, kInitialId, true),
       kNone, Emergency},
      {"first signal", {kToRequested}, sig(2, 2), {Action::ForwardSignal{2}}, Terminating, secs(7)},
      {"second signal", {kToRequested, sig(2, 2)}, sig(3, 15), kKill, Emergency, secs(7)},
      {"root exit", {kToRequested}, root_exit(2), {terminate(Reason::RootExitCleanup)},
       Terminating, secs(7)},
      {"parent exit, requested", {kToRequested}, parent_exit(2), kNone, CheckpointRequested},
      {"fault", {kToRequested}, fault(2), {terminate(Reason::SupervisorFault)}, SupervisorError,
       secs(7)},
      {"fault keeps the grace", {kToTerminating}, fault(3), kNone, SupervisorError, secs(6)},
      {"regression, terminating", {parent_exit(5)}, tick(secs(4)), kNone, Terminating, secs(10)},
      {"checkpoint request failed", {kToRequested}, failed(Kind::CheckpointRequest, 1),
       {terminate(Reason::CheckpointFailed)}, Terminating, secs(7)},
      {"terminate failed", {kToTerminating}, failed(Kind::Terminate, 3), kKill, Emergency},
      {"kill failed", {kToTerminating}, failed(Kind::Kill, 4),
       {Action::InterventionFailed{Kind::Kill, 4}}, SupervisorError},
      // A group found alive once it was killed is killed again, whatever
      // decided the kill; before that, or after a kill that failed, it only
      // goes on.
      {"group alive after the band's kill", {kToEmergency}, group_alive(2), kKill, Emergency},
      {"group alive after the grace", {kToTerminating, tick(secs(6))}, group_alive(7), kKill,
       Emergency, secs(6)},
      {"group alive after a second signal", {sig(1, 2), sig(2, 2)}, group_alive(3), kKill,
       Emergency, secs(6)},
      {"group alive, normal", {}, group_alive(1), kNone, Normal},
      {"group alive while terminating", {kToTerminating}, group_alive(2), kNone, Terminating,
       secs(6)},
      {"group alive after a failed kill", {kToTerminating, failed(Kind::Kill, 4)}, group_alive(3),
       kNone, SupervisorError},
  };
  // clang-format on
  for (const Transition& row : rows) {
    SCOPED_TRACE(row.what);
    PolicyMachine m = enforcing(row.config);
    for (const Event& event : row.before) (void)m.apply(event);
    EXPECT_EQ(m.apply(row.event), row.actions);
    EXPECT_EQ(m.state(), row.state);
    EXPECT_EQ(m.grace_deadline(), row.grace);
    // Only an emergency kill leaves a request as it was; every other way out
    // of CheckpointRequested drops it with its deadline.
    if (m.state() != Emergency) {
      EXPECT_EQ(m.pending_request_id().has_value(), m.state() == CheckpointRequested);
    }
    EXPECT_EQ(m.checkpoint_deadline().has_value(), m.pending_request_id().has_value());
    EXPECT_EQ(m.terminating(),
              m.state() == Terminating || m.state() == Emergency || m.state() == SupervisorError);
  }
}

TEST(PolicyTransitions, RequestIdsSaturateInsteadOfWrappingToZero) {
  PolicyMachine last = enforcing(with(), kU64Max);
  EXPECT_EQ(last.apply(kToRequested)[1], Action(Action::RequestCheckpoint{kU64Max, 0, secs(11)}));
  EXPECT_EQ(last.next_request_id(), kU64Max);
}

TEST(PolicyTransitions, HysteresisAndBreachCounting) {
  PolicyMachine m = enforcing(with([](PolicyConfig& c) { c.required_breach_samples = 2; }));
  run(m, {{sample(kRecovery + 1, secs(1)), kAccepted, Normal},
          {sample(kWarning - 1, secs(2)), kAccepted, Normal},
          {sample(kWarning, secs(3)), kAccepted, Warning},
          {sample(kRecovery + 1, secs(4)), kAccepted, Warning},
          {sample(kRecovery, secs(5)), kAccepted, Normal},
          {sample(kLimit, secs(6)), kAccepted, Warning},      // first breach
          {sample(kLimit - 1, secs(7)), kAccepted, Warning},  // resets the count
          {sample(kLimit, secs(8)), kAccepted, Warning},
          {unusable(secs(9)), kMissing, Warning},  // neither counts nor resets
          {sample(kLimit + 7, secs(11)), {kOk, request(7, 21)}, CheckpointRequested}});
}

TEST(PolicySamples, UsabilityBoundsAreInclusive) {
  const Duration now = secs(10);
  const Duration ns = Duration::from_nanos(1);
  const struct {
    const char* name;
    Event::Sample sample;
    bool usable;
  } cases[] = {
      {"age at the bound", {kRecovery, secs(9), now, Duration()}, true},
      {"age 1 ns beyond", {kRecovery, just_before(9), now, Duration()}, false},
      {"latency at the bound", {kRecovery, now, now, secs(1)}, true},
      {"latency 1 ns beyond", {kRecovery, now, now, secs(1).saturating_add(ns)}, false},
      {"completed 1 ns after now", {kRecovery, now.saturating_add(ns), now, Duration()}, false},
  };
  for (const auto& c : cases) {
    PolicyMachine m = enforcing();
    EXPECT_EQ(m.apply(c.sample), c.usable ? kAccepted : kMissing) << c.name;
  }
  // A sample's time is when it is handed over, not when the pass completed.
  EXPECT_EQ(Event(Event::Sample{1, secs(1), secs(2), secs(3)}).time(), secs(2));
}

TEST(PolicySamples, MissingSamplesFailObservationOnceAndCountWhileTerminating) {
  PolicyMachine m = enforcing();
  run(m, {{unusable(secs(1)), kMissing, Normal},
          {unusable(secs(2)), kMissing, Normal},
          {sample(kRecovery, secs(3)), kAccepted, Normal},  // restarts the count
          {unusable(secs(4)), kMissing, Normal},
          {unusable(secs(5)), kMissing, Normal},
          {unusable(secs(6)), kObservationFailure, SupervisorError},
          {unusable(secs(7)), kMissing, SupervisorError}});
  EXPECT_EQ(m.grace_deadline(), secs(11));

  // Usable samples after the decision are counted and reported with the exit.
  for (const Event& event :
       {sample(kRecovery, secs(8)), unusable(secs(9)), sample(kEmergency, secs(9))}) {
    (void)m.apply(event);
  }
  EXPECT_EQ(m.apply(Event::ChildExited{77, secs(9)}), (PolicyActions{Action::Exited{77, 2}}));
}

TEST(PolicyTime, EqualTimeIsAcceptedAndEarlierTimeFailsObservation) {
  PolicyMachine m = enforcing();
  run(m, {{sample(kRecovery, secs(10)), kAccepted, Normal},
          {tick(secs(10)), kNone, Normal},
          {sample(kRecovery, just_before(10)), kObservationFailure, SupervisorError},
          {tick(secs(1)), kNone, SupervisorError}});
  // The grace period counts from the last trusted time, not the regressed one.
  EXPECT_EQ(m.grace_deadline(), secs(15));
  EXPECT_EQ(m.apply(tick(secs(15))), kKill);
}

TEST(PolicyTime, DeadlinesSaturateAndAreNeverReached) {
  const Duration end = Duration::from_secs(kU64Max);
  PolicyMachine m = enforcing(with([](PolicyConfig& c) {
    c.term_grace = Duration::max().saturating_sub(secs(1));
    c.checkpoint_timeout = Duration::max();
  }));
  (void)m.apply(sample(kLimit, secs(5)));
  run(m, {{tick(end), kNone, CheckpointRequested},
          {Event::TerminalSignal{end, 15}, {Action::ForwardSignal{15}}, Terminating},
          {tick(end), kNone, Terminating}});
  EXPECT_EQ(m.grace_deadline(), Duration::max());
}

TEST(PolicyExit, ChildExitIsTakenEvenWithAnEarlierTimeAndIsFinal) {
  PolicyMachine m = enforcing();
  (void)m.apply(kToEmergency);
  run(m, {{Event::ChildExited{std::nullopt, Duration()}, {Action::Exited{std::nullopt, 0}}, Exited},
          {sample(kEmergency, secs(9)), kNone, Exited},
          {sig(9, 15), kNone, Exited}});
}

TEST(PolicyObserve, NeverEnforcesAndReportsFailuresWithoutTerminating) {
  const PolicyActions error{Action::SampleMissing{}, Action::SupervisorError{}};
  PolicyMachine m = PolicyMachine::observe_only(secs(1), secs(1));
  run(m, {{sample(kU64Max, secs(5)), kAccepted, Observe},
          {tick(Duration::max()), kNone, Observe},
          {sample(1, secs(4)), error, SupervisorError}});
  EXPECT_FALSE(m.terminating());

  // A terminal signal is passed on and the child is waited for without end.
  PolicyMachine signalled = PolicyMachine::observe_only(secs(1), secs(1));
  run(signalled, {{sig(5, 2), {Action::ForwardSignal{2}}, Terminating},
                  {sample(kU64Max, secs(6)), kAccepted, Terminating},
                  {tick(Duration::from_secs(kU64Max)), kNone, Terminating}});
}

}  // namespace
}  // namespace vek_guard
