#include "vek_guard/intervention.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/owned_process_waits.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "vek_guard/identity.h"

namespace vek_guard {
namespace {

using std::chrono::seconds;
using test_support::eventually;
using test_support::helper_program;
using test_support::TempDir;
using Events = std::vector<CheckpointEvent>;
using Request = InterventionCommand::RequestCheckpoint;
using Failure = InterventionFailure;

const Duration kNow = Duration::from_secs(2);
const Duration kDeadline = Duration::from_secs(100);

CheckpointNonce nonce() {
  CheckpointNonce value;
  for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(0xa0 + i);
  return value;
}

uint64_t start_time_of(int32_t pid) {
  auto record = NativeProcessInventory().inspect(pid);
  EXPECT_TRUE(record.ok());
  return record.ok() ? record->start_time : 0;
}

// A negotiated channel whose client end the test plays by hand.
struct HandChannel {
  HandChannel() {
    auto created = CheckpointChannel::pair(nonce());
    EXPECT_TRUE(created.ok());
    channel.emplace(std::move(created->channel));
    client = std::move(created->child_end);
    EXPECT_TRUE(channel->begin_negotiation().ok());
    uint8_t negotiation[42];
    EXPECT_EQ(::read(client.get(), negotiation, sizeof negotiation), 42);
    negotiation[9] = 4;  // the reply is the negotiation with kind 4
    EXPECT_EQ(::write(client.get(), negotiation, sizeof negotiation), 42);
    EXPECT_EQ(channel->poll_ready().value(), true);
  }
  std::optional<CheckpointChannel> channel;
  UniqueFd client;
};

TEST(InterventionActuator, ForwardsOnlyTerminalSignalsAndAGoneGroupIsSuccess) {
  TempDir dir;
  const std::string ready = dir.file("ready");
  auto process =
      OwnedProcess::launch({.argv = {helper_program("stubborn"), "--ready-file", ready}});
  ASSERT_TRUE(process.ok());
  ASSERT_FALSE(test_support::wait_for_file(ready).empty());  // SIGTERM is ignored from here on
  ProcessInterventionActuator actuator(nullptr, {}, process->control_handle());
  for (uint8_t signal : {uint8_t{9}, uint8_t{10}}) {
    EXPECT_EQ(actuator.execute(kNow, InterventionCommand::Signal{signal}).error(),
              Failure::NotPermitted);
  }
  EXPECT_EQ(process->try_wait_root().value(), std::nullopt);
  EXPECT_EQ(actuator.execute(kNow, InterventionCommand::Signal{SIGTERM}).value(),
            SignalDelivery::Delivered);
  EXPECT_EQ(actuator.execute(kNow, InterventionCommand::Kill{}).value(), SignalDelivery::Delivered);
  EXPECT_EQ(test_support::wait_for_root(*process), ChildStatus::signaled(SIGKILL));
  // The root's zombie holds the group until it is reaped; then it is gone.
  std::move(*process).relinquish();
  EXPECT_EQ(actuator.execute(kNow, InterventionCommand::Terminate{}).value(),
            SignalDelivery::ProcessMissing);

  // Group ids 0 and 1 would address our own group and every process.
  for (auto group : {std::optional<int32_t>(), std::optional<int32_t>(0), std::optional(1)}) {
    ProcessInterventionActuator unusable(nullptr, {}, ProcessControlHandle(group));
    EXPECT_EQ(unusable.execute(kNow, InterventionCommand::Kill{}).error(), Failure::Failed);
  }
}

TEST(InterventionActuator, WithoutAChannelNoCheckpointIsAvailable) {
  ProcessInterventionActuator actuator(nullptr, {}, ProcessControlHandle(12345));
  EXPECT_EQ(actuator.execute(kNow, Request{1, 0, kDeadline}).error(),
            Failure::CheckpointUnavailable);
  EXPECT_EQ(actuator.poll_checkpoint(kNow).error(), Failure::CheckpointUnavailable);
}

// An endpoint that is not the negotiated live process in our group is never
// signalled, and the request already written is cut off by shutting the channel.
TEST(InterventionActuator, EndpointRefusalsCancelTheChannel) {
  const struct {
    const char* what;
    bool exit_first;
    Failure failure;
  } cases[] = {{"pid reused", false, Failure::NotPermitted},
               {"another group", false, Failure::NotPermitted},
               {"exited, not reaped", true, Failure::EndpointMissing}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    HandChannel hand;
    const std::string go = dir.file("go");
    auto process = OwnedProcess::launch(
        {.argv = {helper_program("stubborn"), "--wait-for-file", go, "--exit-when-ready", "0"}});
    ASSERT_TRUE(process.ok());
    const int32_t pid = process->root_pid();
    CheckpointEndpoint endpoint{start_time_of(pid), pid, pid};
    if (c.what == cases[0].what) ++endpoint.start_time;
    // Our own pid claimed to be in the owned group: SIGUSR1 would end this test.
    if (c.what == cases[1].what) endpoint = {start_time_of(::getpid()), ::getpid(), pid};
    if (c.exit_first) {
      std::ofstream{go};
      ASSERT_TRUE(eventually([&] { return !test_support::process_running(pid); }, seconds(20)));
    }
    ProcessInterventionActuator actuator(&*hand.channel, endpoint, process->control_handle());
    EXPECT_EQ(actuator.execute(kNow, Request{9, 0, kDeadline}).error(), c.failure);
    uint8_t bytes[64];
    EXPECT_EQ(::recv(hand.client.get(), bytes, sizeof bytes, MSG_DONTWAIT), 58);  // the request
    EXPECT_EQ(::recv(hand.client.get(), bytes, 1, MSG_DONTWAIT), 0);  // then end of file
    EXPECT_EQ(hand.channel->protocol().state(), CheckpointProtocolState::Closed);
    if (!c.exit_first) {
      EXPECT_EQ(process->try_wait_root().value(), std::nullopt);  // SIGUSR1 would end it
    }
  }
}

// Only a client that goes away fails the request; the deadline is left to
// the policy's own timer.
TEST(InterventionActuator, PollingDecidesOnlyOnAClientExit) {
  HandChannel hand;
  ProcessInterventionActuator actuator(&*hand.channel, {}, ProcessControlHandle());
  ASSERT_TRUE(hand.channel->begin_request(4, kNow, kDeadline).ok());
  auto late = actuator.poll_checkpoint(kDeadline);
  EXPECT_EQ(late.value().event, std::nullopt);
  EXPECT_EQ(late->events, Events{CheckpointEvent::TimedOut});

  HandChannel gone;
  ProcessInterventionActuator waiting(&*gone.channel, {}, ProcessControlHandle());
  ASSERT_TRUE(gone.channel->begin_request(4, kNow, kDeadline).ok());
  gone.client.reset();
  auto polled = waiting.poll_checkpoint(kNow);
  EXPECT_EQ(polled.value().events, Events{CheckpointEvent::EndpointExited});
  EXPECT_EQ(polled->event, PolicyEvent(PolicyEvent::InterventionFailed{
                               kNow, InterventionKind::CheckpointRequest,
                               static_cast<uint8_t>(Failure::CheckpointUnavailable)}));
}

TEST(InterventionEvidence, KeepsTheNewest64AndCountsEveryAttempt) {
  InterventionEvidence evidence;
  const InterventionCommand request = Request{7, 4096, kDeadline};
  evidence.record_result(kNow, request, InterventionResult(SignalDelivery::ProcessMissing));
  evidence.record_result(kNow, InterventionCommand::Kill{},
                         InterventionResult(unexpected(Failure::EndpointMissing)));
  EXPECT_EQ(
      evidence.entries()[0],
      (InterventionAttempt{.issued_at = kNow, .command = request, .failed = false, .code = 1}));
  EXPECT_EQ(evidence.entries()[1].code, 2);
  EXPECT_TRUE(evidence.entries()[1].failed);
  for (uint64_t i = 3; i <= 65; ++i) {
    evidence.record_attempt(Duration::from_millis(i), InterventionCommand::Signal{15}, false, 0);
  }
  EXPECT_EQ(evidence.attempts(), 65U);
  EXPECT_EQ(evidence.entries().front().command.kind(), InterventionKind::Kill);
  EXPECT_EQ(evidence.newest(1000).size(), 64U);
  EXPECT_EQ(evidence.newest(2).front().issued_at, Duration::from_millis(64));
}

}  // namespace
}  // namespace vek_guard
