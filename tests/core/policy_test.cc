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

// Readable failure output: "[SampleAccepted, Terminate(5), Overshoot(200)]".
inline void PrintTo(const PolicyAction& action, std::ostream* os) {
  static constexpr const char* kNames[] = {
      "SampleAccepted", "SampleMissing",  "RequestCheckpoint", "Terminate",
      "Kill",           "Overshoot",      "SupervisorError",   "ForwardSignal",
      "Exited",         "InterventionFailed"};
  *os << kNames[action.index()];
  if (const auto* r = action.get_if<PolicyAction::RequestCheckpoint>()) {
    *os << "(" << r->request_id << ", " << r->excess_bytes << ", " << r->deadline.secs() << "s+"
        << r->deadline.subsec_nanos() << "ns)";
  } else if (const auto* t = action.get_if<PolicyAction::Terminate>()) {
    *os << "(" << static_cast<int>(t->reason) << ")";
  } else if (const auto* o = action.get_if<PolicyAction::Overshoot>()) {
    *os << "(" << o->bytes << ")";
  } else if (const auto* f = action.get_if<PolicyAction::ForwardSignal>()) {
    *os << "(" << static_cast<int>(f->signal) << ")";
  } else if (const auto* e = action.get_if<PolicyAction::Exited>()) {
    *os << "(" << (e->final_footprint_bytes ? std::to_string(*e->final_footprint_bytes) : "none")
        << ", " << e->samples_while_terminating << ")";
  } else if (const auto* i = action.get_if<PolicyAction::InterventionFailed>()) {
    *os << "(" << static_cast<int>(i->kind) << ", " << static_cast<int>(i->code) << ")";
  }
}

namespace {

using Event = PolicyEvent;
using Action = PolicyAction;
using State = PolicyState;
using Reason = TerminateReason;

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kInitialId = 42;

constexpr uint64_t kRecovery = 500;
constexpr uint64_t kWarning = 800;
constexpr uint64_t kLimit = 1000;
constexpr uint64_t kEmergency = 2000;

Duration secs(uint64_t s) { return Duration::from_secs(s); }
Duration nanos(uint64_t ns) { return Duration::from_nanos(ns); }

// Sample bounds of 1 s, a 5 s grace, a 10 s checkpoint timeout, one breach
// sample to intervene and three missing samples to fail.
PolicyConfig test_config() {
  PolicyConfig config;
  config.max_sample_age = secs(1);
  config.max_sample_window = secs(1);
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

PolicyMachine enforcing(const PolicyConfig& config = test_config(),
                        uint64_t initial_id = kInitialId) {
  auto machine = PolicyMachine::enforce_with_initial_request_id(config, initial_id);
  EXPECT_TRUE(machine.ok());
  return std::move(machine).value();
}

PolicyConfig without_checkpoint() {
  PolicyConfig config = test_config();
  config.checkpoint_timeout.reset();
  return config;
}

// A fresh, well-timed sample of `bytes` taken at `at`.
Event sample(uint64_t bytes, Duration at) { return Event::Sample{bytes, at, at, Duration()}; }
// A pass the sampler could not complete.
Event unusable(Duration at) { return Event::Sample{std::nullopt, at, at, Duration()}; }
Event tick(Duration at) { return Event::Tick{at}; }

Action terminate(Reason reason) { return Action::Terminate{reason}; }
const PolicyActions kNone;
const PolicyActions kAccepted{Action::SampleAccepted{}};

// Drivers that put an enforcing machine (test_config) into each state at 1 s.
void to_warning(PolicyMachine& m) { (void)m.apply(sample(kWarning, secs(1))); }
void to_checkpoint_requested(PolicyMachine& m) { (void)m.apply(sample(kLimit, secs(1))); }
void to_terminating(PolicyMachine& m) { (void)m.apply(Event::ParentExited{secs(1)}); }
void to_emergency(PolicyMachine& m) { (void)m.apply(sample(kEmergency, secs(1))); }
void to_supervisor_error(PolicyMachine& m) { (void)m.apply(Event::SupervisorFault{secs(1)}); }

struct StateDriver {
  State state;
  std::function<void(PolicyMachine&)> drive;
};

std::vector<StateDriver> every_enforcing_state() {
  return {{State::Normal, [](PolicyMachine&) {}},
          {State::Warning, to_warning},
          {State::CheckpointRequested, to_checkpoint_requested},
          {State::Terminating, to_terminating},
          {State::Emergency, to_emergency},
          {State::SupervisorError, to_supervisor_error}};
}

// --- Construction ---------------------------------------------------------

TEST(PolicyConstruction, EnforcingMachineStartsNormalWithNothingPending) {
  PolicyMachine m = enforcing();
  EXPECT_EQ(m.state(), State::Normal);
  EXPECT_EQ(m.config(), test_config());
  EXPECT_EQ(m.next_request_id(), kInitialId);
  EXPECT_EQ(m.pending_request_id(), std::nullopt);
  EXPECT_EQ(m.checkpoint_deadline(), std::nullopt);
  EXPECT_EQ(m.grace_deadline(), std::nullopt);
  EXPECT_EQ(m.last_event_at(), std::nullopt);
  EXPECT_TRUE(m.enforcing());
  EXPECT_FALSE(m.terminating());
}

TEST(PolicyConstruction, RefusesEachInvalidCondition) {
  std::vector<std::pair<const char*, std::function<void(PolicyConfig&)>>> breakers = {
      {"recovery equals warning", [](PolicyConfig& c) { c.recovery_footprint_bytes = kWarning; }},
      {"warning equals limit", [](PolicyConfig& c) { c.warning_footprint_bytes = kLimit; }},
      {"limit equals emergency", [](PolicyConfig& c) { c.emergency_footprint_bytes = kLimit; }},
      {"emergency below limit", [](PolicyConfig& c) { c.emergency_footprint_bytes = 1; }},
      {"no breach samples", [](PolicyConfig& c) { c.required_breach_samples = 0; }},
      {"no missing samples", [](PolicyConfig& c) { c.max_missing_samples = 0; }},
      {"zero sample age", [](PolicyConfig& c) { c.max_sample_age = Duration(); }},
      {"zero sample window", [](PolicyConfig& c) { c.max_sample_window = Duration(); }},
      {"zero grace", [](PolicyConfig& c) { c.term_grace = Duration(); }},
      {"zero checkpoint timeout", [](PolicyConfig& c) { c.checkpoint_timeout = Duration(); }},
      {"zero wall time", [](PolicyConfig& c) { c.wall_time = Duration(); }},
  };
  for (const auto& [name, breaker] : breakers) {
    PolicyConfig config = test_config();
    breaker(config);
    auto machine = PolicyMachine::enforce_with_initial_request_id(config, kInitialId);
    ASSERT_FALSE(machine.ok()) << name;
    EXPECT_EQ(machine.error(), PolicyConfigError::InvalidThresholdsOrDurations);
  }
  EXPECT_FALSE(PolicyMachine::enforce_with_initial_request_id(test_config(), 0).ok());
  EXPECT_EQ(error_message(PolicyConfigError::InvalidThresholdsOrDurations),
            "policy thresholds or durations are invalid");

  // The smallest non-zero values and absent optionals are all accepted.
  PolicyConfig minimal = test_config();
  minimal.max_sample_age = minimal.max_sample_window = minimal.term_grace = nanos(1);
  minimal.checkpoint_timeout = nanos(1);
  minimal.wall_time = nanos(1);
  EXPECT_TRUE(PolicyMachine::enforce_with_initial_request_id(minimal, 1).ok());
  EXPECT_TRUE(PolicyMachine::enforce_with_initial_request_id(without_checkpoint(), 1).ok());
}

// --- Footprint thresholds ---------------------------------------------------

TEST(PolicyThresholds, WarningAndRecoveryWithHysteresis) {
  PolicyMachine m = enforcing();
  // Between recovery and warning, a normal machine stays normal.
  EXPECT_EQ(m.apply(sample(kRecovery + 1, secs(1))), kAccepted);
  EXPECT_EQ(m.state(), State::Normal);
  EXPECT_EQ(m.apply(sample(kWarning - 1, secs(1))), kAccepted);
  EXPECT_EQ(m.state(), State::Normal);
  // Exactly at warning.
  EXPECT_EQ(m.apply(sample(kWarning, secs(2))), kAccepted);
  EXPECT_EQ(m.state(), State::Warning);
  // Between the two, a warning machine stays in warning.
  EXPECT_EQ(m.apply(sample(kRecovery + 1, secs(3))), kAccepted);
  EXPECT_EQ(m.state(), State::Warning);
  // Exactly at recovery.
  EXPECT_EQ(m.apply(sample(kRecovery, secs(4))), kAccepted);
  EXPECT_EQ(m.state(), State::Normal);
  EXPECT_EQ(m.breach_samples(), 0u);
}

TEST(PolicyThresholds, SampleExactlyAtTheLimitRequestsACheckpoint) {
  PolicyMachine m = enforcing();
  EXPECT_EQ(m.apply(sample(kLimit, secs(3))),
            (PolicyActions{Action::SampleAccepted{},
                           Action::RequestCheckpoint{kInitialId, 0, secs(13)}}));
  EXPECT_EQ(m.state(), State::CheckpointRequested);
  EXPECT_EQ(m.pending_request_id(), kInitialId);
  EXPECT_EQ(m.checkpoint_deadline(), secs(13));
  EXPECT_EQ(m.next_request_id(), kInitialId + 1);
  EXPECT_FALSE(m.terminating());
  EXPECT_EQ(m.grace_deadline(), std::nullopt);
}

TEST(PolicyThresholds, BreachWithoutCheckpointTerminatesAndReportsOvershoot) {
  PolicyMachine m = enforcing(without_checkpoint());
  EXPECT_EQ(m.apply(sample(kLimit + 200, secs(3))),
            (PolicyActions{Action::SampleAccepted{}, terminate(Reason::ThresholdWithoutCheckpoint),
                           Action::Overshoot{200}}));
  EXPECT_EQ(m.state(), State::Terminating);
  EXPECT_TRUE(m.terminating());
  EXPECT_EQ(m.grace_deadline(), secs(8));
  EXPECT_EQ(m.next_request_id(), kInitialId);
}

TEST(PolicyThresholds, EmergencyKillsFromEveryEnforcingState) {
  for (auto drive : {to_warning, to_checkpoint_requested}) {
    PolicyMachine m = enforcing();
    drive(m);
    const std::optional<uint64_t> pending = m.pending_request_id();
    EXPECT_EQ(m.apply(sample(kEmergency, secs(2))),
              (PolicyActions{Action::SampleAccepted{}, Action::Kill{},
                             Action::Overshoot{kEmergency - kLimit}}));
    EXPECT_EQ(m.state(), State::Emergency);
    EXPECT_TRUE(m.terminating());
    // The request is left as it was and no grace period is started.
    EXPECT_EQ(m.pending_request_id(), pending);
    EXPECT_EQ(m.grace_deadline(), std::nullopt);
  }
  PolicyMachine m = enforcing();
  EXPECT_EQ(m.apply(sample(kEmergency - 1, secs(1))).size(), 2u);  // a breach, not an emergency
  EXPECT_EQ(m.state(), State::CheckpointRequested);
}

TEST(PolicyThresholds, OutstandingRequestIgnoresFurtherBreaches) {
  PolicyMachine m = enforcing();
  to_checkpoint_requested(m);
  EXPECT_EQ(m.apply(sample(kEmergency - 1, secs(2))), kAccepted);
  EXPECT_EQ(m.apply(sample(kRecovery, secs(3))), kAccepted);
  EXPECT_EQ(m.state(), State::CheckpointRequested);
  EXPECT_EQ(m.next_request_id(), kInitialId + 1);
}

TEST(PolicyThresholds, BreachCountSurvivesUnusableSamplesAndResetsBelowLimit) {
  PolicyConfig config = test_config();
  config.required_breach_samples = 2;

  PolicyMachine m = enforcing(config);
  EXPECT_EQ(m.apply(sample(kLimit + 5, secs(1))), kAccepted);
  EXPECT_EQ(m.state(), State::Warning);
  EXPECT_EQ(m.apply(unusable(secs(2))), PolicyActions{Action::SampleMissing{}});
  EXPECT_EQ(m.apply(unusable(secs(3))), PolicyActions{Action::SampleMissing{}});
  EXPECT_EQ(m.breach_samples(), 1u);
  EXPECT_EQ(m.apply(sample(kLimit + 7, secs(4))),
            (PolicyActions{Action::SampleAccepted{},
                           Action::RequestCheckpoint{kInitialId, 7, secs(14)}}));
  EXPECT_EQ(m.state(), State::CheckpointRequested);

  PolicyMachine reset = enforcing(config);
  (void)reset.apply(sample(kLimit, secs(1)));
  EXPECT_EQ(reset.apply(sample(kLimit - 1, secs(2))), kAccepted);
  EXPECT_EQ(reset.breach_samples(), 0u);
  EXPECT_EQ(reset.apply(sample(kLimit, secs(3))), kAccepted);
  EXPECT_EQ(reset.state(), State::Warning);
}

// --- Sample usability --------------------------------------------------------

TEST(PolicySampleUsability, BoundsAreInclusive) {
  const Duration now = secs(10);
  struct Case {
    const char* name;
    Event event;
    bool usable;
  };
  const Case cases[] = {
      {"age at the bound", Event::Sample{kRecovery, secs(9), now, Duration()}, true},
      {"age 1 ns beyond", Event::Sample{kRecovery, secs(9).saturating_sub(nanos(1)), now, Duration()},
       false},
      {"latency at the bound", Event::Sample{kRecovery, now, now, secs(1)}, true},
      {"latency 1 ns beyond", Event::Sample{kRecovery, now, now, secs(1).saturating_add(nanos(1))},
       false},
      {"completed exactly now", Event::Sample{kRecovery, now, now, Duration()}, true},
      {"completed 1 ns after now", Event::Sample{kRecovery, now.saturating_add(nanos(1)), now,
                                                 Duration()},
       false},
      {"no footprint", Event::Sample{std::nullopt, now, now, Duration()}, false},
  };
  for (const Case& c : cases) {
    PolicyMachine m = enforcing();
    const PolicyActions expected =
        c.usable ? kAccepted : PolicyActions{Action::SampleMissing{}};
    EXPECT_EQ(m.apply(c.event), expected) << c.name;
    EXPECT_EQ(m.missing_samples(), c.usable ? 0u : 1u) << c.name;
  }
}

TEST(PolicySampleUsability, MissingSamplesFailObservationOnce) {
  PolicyMachine m = enforcing();
  (void)m.apply(unusable(secs(1)));
  (void)m.apply(unusable(secs(2)));
  // A usable sample in between restarts the count.
  (void)m.apply(sample(kRecovery, secs(3)));
  EXPECT_EQ(m.missing_samples(), 0u);
  EXPECT_EQ(m.apply(unusable(secs(4))), PolicyActions{Action::SampleMissing{}});
  EXPECT_EQ(m.apply(unusable(secs(5))), PolicyActions{Action::SampleMissing{}});
  EXPECT_EQ(m.apply(unusable(secs(6))),
            (PolicyActions{Action::SampleMissing{}, terminate(Reason::ObservationFailure)}));
  EXPECT_EQ(m.state(), State::SupervisorError);
  EXPECT_EQ(m.grace_deadline(), secs(11));
  EXPECT_EQ(m.apply(unusable(secs(7))), PolicyActions{Action::SampleMissing{}});
  EXPECT_EQ(m.missing_samples(), 4u);
}

TEST(PolicySampleUsability, SamplesWhileTerminatingAreCountedAndReportedOnExit) {
  PolicyMachine m = enforcing();
  to_terminating(m);
  EXPECT_EQ(m.apply(sample(kEmergency, secs(2))), kAccepted);  // no second kill decision
  EXPECT_EQ(m.apply(sample(kRecovery, secs(3))), kAccepted);
  EXPECT_EQ(m.state(), State::Terminating);
  EXPECT_EQ(m.apply(Event::ChildExited{77, secs(4)}), (PolicyActions{Action::Exited{77, 2}}));
}

// --- Time ---------------------------------------------------------------------

TEST(PolicyTime, EqualTimeIsAcceptedAndEarlierTimeFailsObservation) {
  PolicyMachine m = enforcing();
  (void)m.apply(sample(kRecovery, secs(10)));
  EXPECT_EQ(m.apply(tick(secs(10))), kNone);
  const Duration earlier = secs(10).saturating_sub(nanos(1));
  EXPECT_EQ(m.apply(sample(kRecovery, earlier)),
            (PolicyActions{Action::SampleMissing{}, terminate(Reason::ObservationFailure)}));
  EXPECT_EQ(m.state(), State::SupervisorError);
  EXPECT_TRUE(m.terminating());
  // The grace period counts from the last trusted time, not the regressed one.
  EXPECT_EQ(m.grace_deadline(), secs(15));
  EXPECT_EQ(m.last_event_at(), secs(10));
  // A second regression changes nothing.
  EXPECT_EQ(m.apply(tick(secs(1))), kNone);
  EXPECT_EQ(m.last_event_at(), secs(10));
  EXPECT_EQ(m.apply(tick(secs(15))), PolicyActions{Action::Kill{}});
}

TEST(PolicyTime, RegressionWhileTerminatingIsIgnored) {
  PolicyMachine m = enforcing();
  (void)m.apply(Event::ParentExited{secs(5)});
  EXPECT_EQ(m.apply(tick(secs(4))), kNone);
  EXPECT_EQ(m.state(), State::Terminating);
  EXPECT_EQ(m.last_event_at(), secs(5));
}

TEST(PolicyTime, DeadlinesSaturateAndAreNeverReached) {
  PolicyConfig config = test_config();
  config.term_grace = Duration::max().saturating_sub(secs(1));
  config.checkpoint_timeout = Duration::max();
  PolicyMachine m = enforcing(config);
  (void)m.apply(sample(kLimit, secs(5)));
  EXPECT_EQ(m.checkpoint_deadline(), Duration::max());
  EXPECT_EQ(m.apply(tick(Duration::from_secs(kU64Max))), kNone);
  EXPECT_EQ(m.state(), State::CheckpointRequested);

  (void)m.apply(Event::TerminalSignal{Duration::from_secs(kU64Max), 15});
  EXPECT_EQ(m.grace_deadline(), Duration::max());
  EXPECT_EQ(m.apply(tick(Duration::from_secs(kU64Max))), kNone);
  EXPECT_EQ(m.state(), State::Terminating);
}

// --- Timer passes -------------------------------------------------------------

TEST(PolicyTick, GraceDeadlineEscalatesOnceToKill) {
  for (auto drive : {to_terminating, to_supervisor_error}) {
    PolicyMachine m = enforcing();
    drive(m);
    EXPECT_EQ(m.apply(tick(secs(6).saturating_sub(nanos(1)))), kNone);
    EXPECT_EQ(m.apply(tick(secs(6))), PolicyActions{Action::Kill{}});
    EXPECT_EQ(m.state(), State::Emergency);
    EXPECT_EQ(m.grace_deadline(), secs(6));
    // Kill is not repeated by the timer.
    EXPECT_EQ(m.apply(tick(secs(7))), kNone);
  }
}

TEST(PolicyTick, WallTimeRequestsACheckpointWithoutOvershoot) {
  PolicyConfig config = test_config();
  config.wall_time = secs(60);
  PolicyMachine m = enforcing(config);
  to_warning(m);
  EXPECT_EQ(m.apply(tick(secs(59))), kNone);
  EXPECT_EQ(m.apply(tick(secs(60))),
            (PolicyActions{Action::RequestCheckpoint{kInitialId, 0, secs(70)}}));
  EXPECT_EQ(m.state(), State::CheckpointRequested);

  config.checkpoint_timeout.reset();
  PolicyMachine direct = enforcing(config);
  EXPECT_EQ(direct.apply(tick(secs(61))),
            PolicyActions{terminate(Reason::ThresholdWithoutCheckpoint)});
  EXPECT_EQ(direct.state(), State::Terminating);
  EXPECT_EQ(direct.grace_deadline(), secs(66));
}

TEST(PolicyTick, RequestIdAdvancesAndSaturates) {
  PolicyMachine m = enforcing(test_config(), kU64Max);
  EXPECT_EQ(m.apply(sample(kLimit, secs(1))),
            (PolicyActions{Action::SampleAccepted{},
                           Action::RequestCheckpoint{kU64Max, 0, secs(11)}}));
  EXPECT_EQ(m.next_request_id(), kU64Max);
}

// --- Checkpoint acknowledgements -------------------------------------------------

TEST(PolicyCheckpoint, AcceptedAcknowledgementOfThePendingIdTerminates) {
  PolicyMachine m = enforcing();
  to_checkpoint_requested(m);
  EXPECT_EQ(m.apply(Event::CheckpointAcknowledged{secs(4), kInitialId, true}),
            PolicyActions{terminate(Reason::CheckpointAcknowledged)});
  EXPECT_EQ(m.state(), State::Terminating);
  EXPECT_EQ(m.pending_request_id(), std::nullopt);
  EXPECT_EQ(m.checkpoint_deadline(), std::nullopt);
  EXPECT_EQ(m.grace_deadline(), secs(9));
  // A late duplicate changes nothing.
  EXPECT_EQ(m.apply(Event::CheckpointAcknowledged{secs(5), kInitialId, true}), kNone);
}

TEST(PolicyCheckpoint, ForeignOrRefusedAcknowledgementWaitsForTheDeadline) {
  for (const auto& ack : {Event::CheckpointAcknowledged{secs(2), kInitialId + 1, true},
                          Event::CheckpointAcknowledged{secs(2), kInitialId, false}}) {
    PolicyMachine m = enforcing();
    to_checkpoint_requested(m);
    EXPECT_EQ(m.apply(ack), kNone);
    EXPECT_EQ(m.state(), State::CheckpointRequested);
    EXPECT_EQ(m.pending_request_id(), kInitialId);
    EXPECT_EQ(m.apply(tick(secs(11))), PolicyActions{terminate(Reason::CheckpointTimedOut)});
    EXPECT_EQ(m.state(), State::Terminating);
    EXPECT_EQ(m.grace_deadline(), secs(16));
  }
  PolicyMachine idle = enforcing();
  EXPECT_EQ(idle.apply(Event::CheckpointAcknowledged{secs(2), kInitialId, true}), kNone);
  EXPECT_EQ(idle.state(), State::Normal);
}

// --- Signals, exits and faults --------------------------------------------------

TEST(PolicySignals, FirstSignalIsForwardedAndTheNextOneKills) {
  PolicyMachine m = enforcing();
  to_checkpoint_requested(m);
  EXPECT_EQ(m.apply(Event::TerminalSignal{secs(2), 2}), PolicyActions{Action::ForwardSignal{2}});
  EXPECT_EQ(m.state(), State::Terminating);
  EXPECT_EQ(m.pending_request_id(), std::nullopt);
  EXPECT_EQ(m.checkpoint_deadline(), std::nullopt);
  EXPECT_EQ(m.grace_deadline(), secs(7));
  EXPECT_EQ(m.apply(Event::TerminalSignal{secs(3), 15}), PolicyActions{Action::Kill{}});
  EXPECT_EQ(m.state(), State::Emergency);
  EXPECT_EQ(m.apply(Event::TerminalSignal{secs(4), 1}), PolicyActions{Action::Kill{}});
  EXPECT_EQ(m.grace_deadline(), secs(7));
}

TEST(PolicySignals, ExitsOfRootAndParent) {
  PolicyMachine root = enforcing();
  to_checkpoint_requested(root);
  EXPECT_EQ(root.apply(Event::RootExited{secs(2)}),
            PolicyActions{terminate(Reason::RootExitCleanup)});
  EXPECT_EQ(root.state(), State::Terminating);
  EXPECT_EQ(root.apply(Event::RootExited{secs(3)}), kNone);

  PolicyMachine parent = enforcing();
  to_checkpoint_requested(parent);
  EXPECT_EQ(parent.apply(Event::ParentExited{secs(2)}), kNone);
  EXPECT_EQ(parent.state(), State::CheckpointRequested);

  PolicyMachine warned = enforcing();
  to_warning(warned);
  EXPECT_EQ(warned.apply(Event::ParentExited{secs(2)}),
            PolicyActions{terminate(Reason::ParentExit)});
  EXPECT_EQ(warned.grace_deadline(), secs(7));
}

TEST(PolicySignals, SupervisorFaultTerminatesUnlessAlreadyTerminating) {
  PolicyMachine m = enforcing();
  to_checkpoint_requested(m);
  EXPECT_EQ(m.apply(Event::SupervisorFault{secs(2)}),
            PolicyActions{terminate(Reason::SupervisorFault)});
  EXPECT_EQ(m.state(), State::SupervisorError);
  EXPECT_EQ(m.pending_request_id(), std::nullopt);
  EXPECT_EQ(m.grace_deadline(), secs(7));

  PolicyMachine late = enforcing();
  to_terminating(late);
  EXPECT_EQ(late.apply(Event::SupervisorFault{secs(3)}), kNone);
  EXPECT_EQ(late.state(), State::SupervisorError);
  EXPECT_EQ(late.grace_deadline(), secs(6));  // the earlier decision's deadline
}

TEST(PolicySignals, InterventionFailuresPerKind) {
  using Kind = InterventionKind;
  // The checkpoint request failed while it was outstanding.
  PolicyMachine requested = enforcing();
  to_checkpoint_requested(requested);
  EXPECT_EQ(requested.apply(Event::InterventionFailed{secs(2), Kind::CheckpointRequest, 1}),
            PolicyActions{terminate(Reason::CheckpointFailed)});
  EXPECT_EQ(requested.state(), State::Terminating);
  EXPECT_EQ(requested.grace_deadline(), secs(7));

  // A gentle stop that failed escalates to a kill and drops every deadline.
  for (Kind kind : {Kind::Terminate, Kind::ForwardedSignal}) {
    PolicyMachine m = enforcing();
    to_terminating(m);
    EXPECT_EQ(m.apply(Event::InterventionFailed{secs(2), kind, 3}), PolicyActions{Action::Kill{}});
    EXPECT_EQ(m.state(), State::Emergency);
    EXPECT_EQ(m.grace_deadline(), std::nullopt);
  }

  // A failed kill, or a checkpoint failure outside a request, is final.
  for (Kind kind : {Kind::Kill, Kind::CheckpointRequest}) {
    PolicyMachine m = enforcing();
    to_terminating(m);
    EXPECT_EQ(m.apply(Event::InterventionFailed{secs(2), kind, 4}),
              (PolicyActions{Action::InterventionFailed{kind, 4}}));
    EXPECT_EQ(m.state(), State::SupervisorError);
    EXPECT_TRUE(m.terminating());
    EXPECT_EQ(m.grace_deadline(), std::nullopt);
    EXPECT_EQ(m.apply(tick(secs(100))), kNone);
  }
}

TEST(PolicySignals, ChildExitIsFinalFromEveryState) {
  for (const StateDriver& driver : every_enforcing_state()) {
    PolicyMachine m = enforcing();
    driver.drive(m);
    ASSERT_EQ(m.state(), driver.state);
    // The exit is taken even with a time earlier than the last event.
    EXPECT_EQ(m.apply(Event::ChildExited{std::nullopt, Duration()}),
              (PolicyActions{Action::Exited{std::nullopt, 0}}));
    EXPECT_EQ(m.state(), State::Exited);
    const Event later[] = {sample(kEmergency, secs(9)), tick(Duration::max()),
                           Event::TerminalSignal{secs(9), 15},
                           Event::SupervisorFault{secs(9)},
                           Event::InterventionFailed{secs(9), InterventionKind::Kill, 5},
                           Event::RootExited{secs(9)}, Event::ChildExited{1, secs(9)},
                           Event::ParentExited{secs(0)}};
    for (const Event& event : later) {
      EXPECT_EQ(m.apply(event), kNone) << "event index " << event.index();
    }
    EXPECT_EQ(m.state(), State::Exited);
  }
}

// --- Observe machine -------------------------------------------------------------

TEST(PolicyObserve, FixedConfiguration) {
  PolicyMachine m = PolicyMachine::observe_only(secs(2), secs(3));
  EXPECT_EQ(m.state(), State::Observe);
  EXPECT_FALSE(m.enforcing());
  EXPECT_EQ(m.next_request_id(), 1u);
  const PolicyConfig& c = m.config();
  EXPECT_EQ(c.max_sample_age, secs(2));
  EXPECT_EQ(c.max_sample_window, secs(3));
  EXPECT_EQ(c.term_grace, Duration::max());
  EXPECT_EQ(c.checkpoint_timeout, std::nullopt);
  EXPECT_EQ(c.wall_time, std::nullopt);
  EXPECT_EQ(c.max_footprint_bytes, kU64Max);
  EXPECT_EQ(c.warning_footprint_bytes, kU64Max - 1);
  EXPECT_EQ(c.recovery_footprint_bytes, kU64Max - 2);
  EXPECT_EQ(c.emergency_footprint_bytes, kU64Max);
  EXPECT_EQ(c.required_breach_samples, kU32Max);
  EXPECT_EQ(c.max_missing_samples, 3u);
}

TEST(PolicyObserve, UsableSamplesNeverEnforce) {
  PolicyMachine m = PolicyMachine::observe_only(secs(1), secs(1));
  EXPECT_EQ(m.apply(sample(kU64Max, secs(1))), kAccepted);
  EXPECT_EQ(m.apply(sample(0, secs(2))), kAccepted);
  EXPECT_EQ(m.apply(tick(secs(3))), kNone);
  EXPECT_EQ(m.state(), State::Observe);
}

TEST(PolicyObserve, ThreeUnusableSamplesReportSupervisorError) {
  PolicyMachine m = PolicyMachine::observe_only(secs(1), secs(1));
  (void)m.apply(unusable(secs(1)));
  (void)m.apply(unusable(secs(2)));
  EXPECT_EQ(m.apply(unusable(secs(3))),
            (PolicyActions{Action::SampleMissing{}, Action::SupervisorError{}}));
  EXPECT_EQ(m.state(), State::SupervisorError);
  EXPECT_FALSE(m.terminating());
  EXPECT_EQ(m.grace_deadline(), std::nullopt);
  EXPECT_EQ(m.apply(unusable(secs(4))), PolicyActions{Action::SampleMissing{}});
}

TEST(PolicyObserve, TimeRegressionReportsSupervisorErrorOnce) {
  PolicyMachine m = PolicyMachine::observe_only(secs(1), secs(1));
  (void)m.apply(sample(1, secs(5)));
  EXPECT_EQ(m.apply(sample(1, secs(4))),
            (PolicyActions{Action::SampleMissing{}, Action::SupervisorError{}}));
  EXPECT_EQ(m.state(), State::SupervisorError);
  EXPECT_FALSE(m.terminating());
  EXPECT_EQ(m.apply(sample(1, secs(3))), kNone);
}

TEST(PolicyObserve, TerminalSignalWaitsForeverForTheChild) {
  PolicyMachine m = PolicyMachine::observe_only(secs(1), secs(1));
  EXPECT_EQ(m.apply(Event::TerminalSignal{secs(5), 2}), PolicyActions{Action::ForwardSignal{2}});
  EXPECT_EQ(m.state(), State::Terminating);
  EXPECT_EQ(m.grace_deadline(), Duration::max());
  EXPECT_EQ(m.apply(tick(Duration::from_secs(kU64Max))), kNone);
  EXPECT_EQ(m.apply(Event::SupervisorFault{Duration::from_secs(kU64Max)}),
            PolicyActions{Action::SupervisorError{}});
}

// --- Event plumbing ---------------------------------------------------------------

TEST(PolicyEvents, TimeOfEachKind) {
  EXPECT_EQ(Event(Event::Sample{1, secs(1), secs(2), secs(3)}).time(), secs(2));
  EXPECT_EQ(Event(Event::ChildExited{1, secs(4)}).time(), secs(4));
  EXPECT_EQ(Event(Event::InterventionFailed{secs(5), InterventionKind::Kill, 0}).time(), secs(5));
  EXPECT_EQ(Event(Event::ParentExited{secs(6)}).index(), 8u);
  EXPECT_EQ(Action(Action::InterventionFailed{}).index(), 9u);
}

}  // namespace
}  // namespace vek_guard
