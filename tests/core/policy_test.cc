#include "vek_guard/policy.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace vek_guard {

// Readable failure output: "[SampleAccepted, Terminate(5), RequestCheckpoint(42, 0, 13s)]".
inline void PrintTo(const PolicyAction& action, std::ostream* os) {
  static constexpr const char* kNames[] = {
      "SampleAccepted", "SampleMissing",   "RequestCheckpoint", "Terminate", "Kill",
      "Overshoot",      "SupervisorError", "ForwardSignal",     "Exited",    "InterventionFailed"};
  *os << kNames[action.index()];
  if (const auto* r = action.get_if<PolicyAction::RequestCheckpoint>()) {
    *os << "(" << r->request_id << ", " << r->excess_bytes << ", " << r->deadline.secs() << "s)";
  } else if (const auto* t = action.get_if<PolicyAction::Terminate>()) {
    *os << "(" << static_cast<int>(t->reason) << ")";
  } else if (const auto* o = action.get_if<PolicyAction::Overshoot>()) {
    *os << "(" << o->bytes << ")";
  }
}

namespace {

using Event = PolicyEvent;
using Action = PolicyAction;
using State = PolicyState;
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

// Sample bounds of 1 s, a 5 s grace, a 10 s checkpoint timeout, one breach
// sample to intervene and three missing samples to fail.
PolicyConfig test_config() {
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
  return config;
}

PolicyConfig with(std::function<void(PolicyConfig&)> change) {
  PolicyConfig config = test_config();
  change(config);
  return config;
}
const PolicyConfig kNoCheckpoint = with([](PolicyConfig& c) { c.checkpoint_timeout.reset(); });
const PolicyConfig kWallTime = with([](PolicyConfig& c) { c.wall_time = secs(60); });
const PolicyConfig kWallTimeNoCheckpoint = with([](PolicyConfig& c) {
  c.wall_time = secs(60);
  c.checkpoint_timeout.reset();
});

PolicyMachine enforcing(const PolicyConfig& config = test_config(), uint64_t id = kInitialId) {
  auto machine = PolicyMachine::enforce_with_initial_request_id(config, id);
  EXPECT_TRUE(machine.ok());
  return std::move(machine).value();
}

// A fresh, well-timed sample of `bytes` taken at `at`.
Event sample(uint64_t bytes, Duration at) { return Event::Sample{bytes, at, at, Duration()}; }
// A pass the sampler could not complete.
Event unusable(Duration at) { return Event::Sample{std::nullopt, at, at, Duration()}; }
Event tick(Duration at) { return Event::Tick{at}; }
Event ack(uint64_t at, uint64_t id, bool accepted) {
  return Event::CheckpointAcknowledged{secs(at), id, accepted};
}
Event sig(uint64_t at, uint8_t number) { return Event::TerminalSignal{secs(at), number}; }
Event failed(Kind kind, uint8_t code) { return Event::InterventionFailed{secs(2), kind, code}; }

Action terminate(Reason reason) { return Action::Terminate{reason}; }
const PolicyActions kNone;
const PolicyActions kAccepted{Action::SampleAccepted{}};
const PolicyActions kMissing{Action::SampleMissing{}};
const PolicyActions kKill{Action::Kill{}};

// Events that put an enforcing machine (test_config) into each state at 1 s.
const Event kToWarning = sample(kWarning, secs(1));
const Event kToRequested = sample(kLimit, secs(1));         // request 42, deadline 11 s
const Event kToTerminating = Event::ParentExited{secs(1)};  // grace deadline 6 s
const Event kToEmergency = sample(kEmergency, secs(1));
const Event kToSupervisorError = Event::SupervisorFault{secs(1)};  // grace deadline 6 s

// Applies `steps` in order, checking each step's decisions and resulting state.
struct Step {
  Event event;
  PolicyActions actions;
  State state;
};
void run(PolicyMachine& m, const std::vector<Step>& steps) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(m.apply(steps[i].event), steps[i].actions) << "step " << i;
    EXPECT_EQ(m.state(), steps[i].state) << "step " << i;
  }
}

TEST(PolicyConstruction, StartsNormalAndRefusesEachInvalidCondition) {
  PolicyMachine m = enforcing();
  EXPECT_EQ(m.state(), Normal);
  EXPECT_EQ(m.next_request_id(), kInitialId);
  EXPECT_EQ(m.pending_request_id(), std::nullopt);
  EXPECT_EQ(m.grace_deadline(), std::nullopt);
  EXPECT_TRUE(m.enforcing());
  EXPECT_FALSE(m.terminating());

  std::vector<std::pair<const char*, std::function<void(PolicyConfig&)>>> breakers = {
      {"recovery equals warning", [](PolicyConfig& c) { c.recovery_footprint_bytes = kWarning; }},
      {"warning equals limit", [](PolicyConfig& c) { c.warning_footprint_bytes = kLimit; }},
      {"limit equals emergency", [](PolicyConfig& c) { c.emergency_footprint_bytes = kLimit; }},
      {"no breach samples", [](PolicyConfig& c) { c.required_breach_samples = 0; }},
      {"no missing samples", [](PolicyConfig& c) { c.max_missing_samples = 0; }},
      {"zero sample age", [](PolicyConfig& c) { c.max_sample_age = Duration(); }},
      {"zero sample window", [](PolicyConfig& c) { c.max_sample_window = Duration(); }},
      {"zero grace", [](PolicyConfig& c) { c.term_grace = Duration(); }},
      {"zero checkpoint timeout", [](PolicyConfig& c) { c.checkpoint_timeout = Duration(); }},
      {"zero wall time", [](PolicyConfig& c) { c.wall_time = Duration(); }},
  };
  for (const auto& [name, breaker] : breakers) {
    auto machine = PolicyMachine::enforce_with_initial_request_id(with(breaker), kInitialId);
    ASSERT_FALSE(machine.ok()) << name;
    EXPECT_EQ(machine.error(), PolicyConfigError::InvalidThresholdsOrDurations);
  }
  EXPECT_FALSE(PolicyMachine::enforce_with_initial_request_id(test_config(), 0).ok());
  EXPECT_EQ(error_message(PolicyConfigError::InvalidThresholdsOrDurations),
            "policy thresholds or durations are invalid");

  // The smallest non-zero values and absent optionals are all accepted.
  const PolicyConfig minimal = with([](PolicyConfig& c) {
    c.max_sample_age = c.max_sample_window = c.term_grace = Duration::from_nanos(1);
    c.checkpoint_timeout = c.wall_time = Duration::from_nanos(1);
  });
  EXPECT_TRUE(PolicyMachine::enforce_with_initial_request_id(minimal, 1).ok());
  EXPECT_TRUE(PolicyMachine::enforce_with_initial_request_id(kNoCheckpoint, 1).ok());
}

// One event applied to a machine driven into a state by `before` (decisions
// unchecked), with the decisions, state and grace deadline it must lead to.
struct Transition {
  const char* what;
  std::vector<Event> before;
  Event event;
  PolicyActions actions;
  State state;
  std::optional<Duration> grace = std::nullopt;
  PolicyConfig config = test_config();
};

TEST(PolicyTransitions, EachEventInEachRelevantState) {
  const Action accepted = Action::SampleAccepted{};
  // clang-format off
  const Transition rows[] = {
      // Footprint.
      {"limit reached", {}, sample(kLimit, secs(3)),
       {accepted, Action::RequestCheckpoint{kInitialId, 0, secs(13)}}, CheckpointRequested},
      {"one below emergency is a breach", {}, sample(kEmergency - 1, secs(1)),
       {accepted, Action::RequestCheckpoint{kInitialId, kEmergency - 1 - kLimit, secs(11)}},
       CheckpointRequested},
      {"limit without a checkpoint step", {}, sample(kLimit + 200, secs(3)),
       {accepted, terminate(Reason::ThresholdWithoutCheckpoint), Action::Overshoot{200}},
       Terminating, secs(8), kNoCheckpoint},
      {"emergency from warning", {kToWarning}, sample(kEmergency, secs(2)),
       {accepted, Action::Kill{}, Action::Overshoot{kEmergency - kLimit}}, Emergency},
      {"request outstanding ignores breaches", {kToRequested}, sample(kEmergency - 1, secs(2)),
       kAccepted, CheckpointRequested},
      {"terminating decides nothing more", {kToTerminating}, sample(kEmergency, secs(2)),
       kAccepted, Terminating, secs(6)},
      // Timer passes.
      {"grace not yet over", {kToTerminating}, tick(just_before(6)), kNone, Terminating, secs(6)},
      {"grace over", {kToTerminating}, tick(secs(6)), kKill, Emergency, secs(6)},
      {"grace over after a fault", {kToSupervisorError}, tick(secs(6)), kKill, Emergency, secs(6)},
      {"checkpoint deadline not yet", {kToRequested}, tick(just_before(11)), kNone,
       CheckpointRequested},
      {"checkpoint deadline", {kToRequested}, tick(secs(11)),
       {terminate(Reason::CheckpointTimedOut)}, Terminating, secs(16)},
      {"wall time not yet", {kToWarning}, tick(just_before(60)), kNone, Warning, {}, kWallTime},
      {"wall time", {kToWarning}, tick(secs(60)),
       {Action::RequestCheckpoint{kInitialId, 0, secs(70)}}, CheckpointRequested, {}, kWallTime},
      {"wall time without a checkpoint step", {}, tick(secs(61)),
       {terminate(Reason::ThresholdWithoutCheckpoint)}, Terminating, secs(66),
       kWallTimeNoCheckpoint},
      // Acknowledgements.
      {"accepted ack", {kToRequested}, ack(4, kInitialId, true),
       {terminate(Reason::CheckpointAcknowledged)}, Terminating, secs(9)},
      {"foreign ack", {kToRequested}, ack(2, kInitialId + 1, true), kNone, CheckpointRequested},
      {"refused ack", {kToRequested}, ack(2, kInitialId, false), kNone, CheckpointRequested},
      {"ack after an emergency kill", {kToRequested, sample(kEmergency, secs(2))},
       ack(3, kInitialId, true), kNone, Emergency},
      // Signals, exits and faults.
      {"first signal", {kToRequested}, sig(2, 2), {Action::ForwardSignal{2}}, Terminating, secs(7)},
      {"second signal", {kToRequested, sig(2, 2)}, sig(3, 15), kKill, Emergency, secs(7)},
      {"signal in emergency", {kToEmergency}, sig(2, 1), kKill, Emergency},
      {"root exit", {kToRequested}, Event::RootExited{secs(2)},
       {terminate(Reason::RootExitCleanup)}, Terminating, secs(7)},
      {"root exit while terminating", {kToTerminating}, Event::RootExited{secs(2)}, kNone,
       Terminating, secs(6)},
      {"parent exit leaves the request", {kToRequested}, Event::ParentExited{secs(2)}, kNone,
       CheckpointRequested},
      {"parent exit in warning", {kToWarning}, Event::ParentExited{secs(2)},
       {terminate(Reason::ParentExit)}, Terminating, secs(7)},
      {"fault", {kToRequested}, Event::SupervisorFault{secs(2)},
       {terminate(Reason::SupervisorFault)}, SupervisorError, secs(7)},
      {"fault keeps the earlier deadline", {kToTerminating}, Event::SupervisorFault{secs(3)},
       kNone, SupervisorError, secs(6)},
      {"regression while terminating", {Event::ParentExited{secs(5)}}, tick(secs(4)), kNone,
       Terminating, secs(10)},
      // Failed interventions.
      {"checkpoint request failed", {kToRequested}, failed(Kind::CheckpointRequest, 1),
       {terminate(Reason::CheckpointFailed)}, Terminating, secs(7)},
      {"terminate failed", {kToTerminating}, failed(Kind::Terminate, 3), kKill, Emergency},
      {"forward failed", {kToTerminating}, failed(Kind::ForwardedSignal, 3), kKill, Emergency},
      {"kill failed", {kToTerminating}, failed(Kind::Kill, 4),
       {Action::InterventionFailed{Kind::Kill, 4}}, SupervisorError},
      {"checkpoint failed with none pending", {kToTerminating}, failed(Kind::CheckpointRequest, 4),
       {Action::InterventionFailed{Kind::CheckpointRequest, 4}}, SupervisorError},
      {"nothing after a final failure", {kToTerminating, failed(Kind::Kill, 4)}, tick(secs(100)),
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

TEST(PolicyTransitions, EmergencyKeepsTheOutstandingRequest) {
  PolicyMachine m = enforcing();
  (void)m.apply(kToRequested);
  EXPECT_EQ(m.next_request_id(), kInitialId + 1);
  EXPECT_EQ(m.apply(sample(kEmergency, secs(2))).size(), 3u);
  EXPECT_EQ(m.pending_request_id(), kInitialId);
  EXPECT_EQ(m.grace_deadline(), std::nullopt);

  PolicyMachine last = enforcing(test_config(), kU64Max);  // the id saturates, never wraps to 0
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
          // Unusable samples neither count nor reset.
          {unusable(secs(9)), kMissing, Warning},
          {unusable(secs(10)), kMissing, Warning},
          {sample(kLimit + 7, secs(11)),
           {Action::SampleAccepted{}, Action::RequestCheckpoint{kInitialId, 7, secs(21)}},
           CheckpointRequested}});
}

TEST(PolicySamples, UsabilityBoundsAreInclusive) {
  const Duration now = secs(10);
  const Duration ns = Duration::from_nanos(1);
  struct Case {
    const char* name;
    Event::Sample sample;
    bool usable;
  };
  const Case cases[] = {
      {"age at the bound", {kRecovery, secs(9), now, Duration()}, true},
      {"age 1 ns beyond", {kRecovery, just_before(9), now, Duration()}, false},
      {"latency at the bound", {kRecovery, now, now, secs(1)}, true},
      {"latency 1 ns beyond", {kRecovery, now, now, secs(1).saturating_add(ns)}, false},
      {"completed 1 ns after now", {kRecovery, now.saturating_add(ns), now, Duration()}, false},
      {"no footprint", {std::nullopt, now, now, Duration()}, false},
  };
  for (const Case& c : cases) {
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
          {unusable(secs(6)),
           {Action::SampleMissing{}, terminate(Reason::ObservationFailure)},
           SupervisorError},
          {unusable(secs(7)), kMissing, SupervisorError}});
  EXPECT_EQ(m.grace_deadline(), secs(11));
  EXPECT_EQ(m.missing_samples(), 4u);

  // Usable samples after the decision are counted and reported with the exit.
  PolicyMachine stopping = enforcing();
  run(stopping, {{kToTerminating, {terminate(Reason::ParentExit)}, Terminating},
                 {sample(kRecovery, secs(2)), kAccepted, Terminating},
                 {unusable(secs(3)), kMissing, Terminating},
                 {sample(kRecovery, secs(4)), kAccepted, Terminating},
                 {Event::ChildExited{77, secs(5)}, {Action::Exited{77, 2}}, Exited}});
}

TEST(PolicyTime, EqualTimeIsAcceptedAndEarlierTimeFailsObservation) {
  PolicyMachine m = enforcing();
  run(m, {{sample(kRecovery, secs(10)), kAccepted, Normal},
          {tick(secs(10)), kNone, Normal},
          {sample(kRecovery, just_before(10)),
           {Action::SampleMissing{}, terminate(Reason::ObservationFailure)},
           SupervisorError},
          {tick(secs(1)), kNone, SupervisorError}});  // a second regression changes nothing
  // The grace period counts from the last trusted time, not the regressed one.
  EXPECT_EQ(m.grace_deadline(), secs(15));
  EXPECT_EQ(m.last_event_at(), secs(10));
  EXPECT_EQ(m.apply(tick(secs(15))), kKill);
}

TEST(PolicyTime, DeadlinesSaturateAndAreNeverReached) {
  const Duration end = Duration::from_secs(kU64Max);
  PolicyMachine m = enforcing(with([](PolicyConfig& c) {
    c.term_grace = Duration::max().saturating_sub(secs(1));
    c.checkpoint_timeout = Duration::max();
  }));
  (void)m.apply(sample(kLimit, secs(5)));
  EXPECT_EQ(m.checkpoint_deadline(), Duration::max());
  run(m, {{tick(end), kNone, CheckpointRequested},
          {Event::TerminalSignal{end, 15}, {Action::ForwardSignal{15}}, Terminating},
          {tick(end), kNone, Terminating}});
  EXPECT_EQ(m.grace_deadline(), Duration::max());
}

TEST(PolicyExit, ChildExitIsFinalFromEveryState) {
  const std::vector<Event> drivers[] = {
      {}, {kToWarning}, {kToRequested}, {kToTerminating}, {kToEmergency}, {kToSupervisorError}};
  const State states[] = {Normal,      Warning,   CheckpointRequested,
                          Terminating, Emergency, SupervisorError};
  const Event later[] = {
      sample(kEmergency, secs(9)),     tick(Duration::max()),       sig(9, 15),
      Event::SupervisorFault{secs(9)}, failed(Kind::Kill, 5),       Event::RootExited{secs(9)},
      Event::ChildExited{1, secs(9)},  Event::ParentExited{secs(0)}};
  for (std::size_t i = 0; i < std::size(drivers); ++i) {
    PolicyMachine m = enforcing();
    for (const Event& event : drivers[i]) (void)m.apply(event);
    ASSERT_EQ(m.state(), states[i]);
    // The exit is taken even with a time earlier than the last event.
    EXPECT_EQ(m.apply(Event::ChildExited{std::nullopt, Duration()}),
              (PolicyActions{Action::Exited{std::nullopt, 0}}));
    for (const Event& event : later) {
      EXPECT_EQ(m.apply(event), kNone) << "event index " << event.index();
    }
    EXPECT_EQ(m.state(), Exited);
  }
}

TEST(PolicyObserve, NeverEnforcesAndReportsFailuresWithoutTerminating) {
  const PolicyActions error{Action::SampleMissing{}, Action::SupervisorError{}};
  PolicyMachine m = PolicyMachine::observe_only(secs(2), secs(3));
  EXPECT_FALSE(m.enforcing());
  EXPECT_EQ(m.config().max_sample_age, secs(2));
  EXPECT_EQ(m.config().max_sample_window, secs(3));
  run(m, {{sample(kU64Max, secs(1)), kAccepted, Observe},
          {tick(Duration::max()), kNone, Observe},
          {unusable(Duration::max()), kMissing, Observe},
          {unusable(Duration::max()), kMissing, Observe},
          {unusable(Duration::max()), error, SupervisorError},
          {unusable(Duration::max()), kMissing, SupervisorError}});
  EXPECT_FALSE(m.terminating());
  EXPECT_EQ(m.grace_deadline(), std::nullopt);

  PolicyMachine regressed = PolicyMachine::observe_only(secs(1), secs(1));
  run(regressed, {{sample(1, secs(5)), kAccepted, Observe},
                  {sample(1, secs(4)), error, SupervisorError},
                  {sample(1, secs(3)), kNone, SupervisorError}});
  EXPECT_FALSE(regressed.terminating());

  // A terminal signal is passed on and the child is waited for without end.
  PolicyMachine signalled = PolicyMachine::observe_only(secs(1), secs(1));
  run(signalled, {{sig(5, 2), {Action::ForwardSignal{2}}, Terminating},
                  {tick(Duration::from_secs(kU64Max)), kNone, Terminating},
                  {Event::SupervisorFault{Duration::from_secs(kU64Max)},
                   {Action::SupervisorError{}},
                   SupervisorError}});
  EXPECT_EQ(signalled.grace_deadline(), Duration::max());
}

}  // namespace
}  // namespace vek_guard
