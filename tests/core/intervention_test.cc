#include "vek_guard/intervention.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
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
using test_support::read_file;
using test_support::TempDir;
using test_support::wait_for_file;
using test_support::wait_for_root;
using Events = std::vector<CheckpointEvent>;
using Request = InterventionCommand::RequestCheckpoint;

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

// A channel whose client end the test plays by hand, already negotiated.
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

  std::vector<uint8_t> client_read_available() {
    std::vector<uint8_t> bytes(256);
    const ssize_t got = ::recv(client.get(), bytes.data(), bytes.size(), MSG_DONTWAIT);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
  }

  std::optional<CheckpointChannel> channel;
  UniqueFd client;
};

// ---------------------------------------------------------------------------
// Group commands.

TEST(InterventionActuator, GroupAlreadyGoneIsSuccessWithProcessMissing) {
  auto process = OwnedProcess::launch({.argv = {"sh", "-c", "exit 0"}});
  ASSERT_TRUE(process.ok());
  ASSERT_EQ(wait_for_root(*process), ChildStatus::exited(0));
  ProcessInterventionActuator actuator(nullptr, {}, process->control_handle());
  for (const InterventionCommand& command :
       {InterventionCommand(InterventionCommand::Terminate{}),
        InterventionCommand(InterventionCommand::Kill{}),
        InterventionCommand(InterventionCommand::Signal{SIGINT})}) {
    const InterventionResult result = actuator.execute(kNow, command);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(*result, SignalDelivery::ProcessMissing);
  }
}

TEST(InterventionActuator, OnlyTerminalSignalsAreForwarded) {
  TempDir dir;
  const std::string ready = dir.file("ready");
  auto process =
      OwnedProcess::launch({.argv = {helper_program("stubborn"), "--ready-file", ready}});
  ASSERT_TRUE(process.ok());
  // Only once it reports ready is SIGTERM known to be ignored.
  ASSERT_FALSE(wait_for_file(ready).empty());
  ProcessInterventionActuator actuator(nullptr, {}, process->control_handle());
  for (uint8_t signal : {uint8_t{9}, uint8_t{10}, uint8_t{30}}) {
    const InterventionResult result = actuator.execute(kNow, InterventionCommand::Signal{signal});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), InterventionFailure::NotPermitted);
  }
  EXPECT_EQ(process->try_wait_root().value(), std::nullopt);  // nothing was sent

  // The stubborn root ignores SIGTERM, so the forwarded one is delivered and
  // it stays; the kill ends it.
  EXPECT_EQ(actuator.execute(kNow, InterventionCommand::Signal{SIGTERM}).value(),
            SignalDelivery::Delivered);
  EXPECT_EQ(actuator.execute(kNow, InterventionCommand::Kill{}).value(), SignalDelivery::Delivered);
  EXPECT_EQ(wait_for_root(*process), ChildStatus::signaled(SIGKILL));
}

TEST(InterventionActuator, NoUsableGroupFailsWithoutSignalling) {
  // Group ids 0 and 1 would address our own group and every process.
  for (std::optional<int32_t> group :
       {std::optional<int32_t>(), std::optional<int32_t>(0), std::optional<int32_t>(1)}) {
    EXPECT_EQ(ProcessControlHandle(group).signal_group(0).error().kind,
              ControlErrorKind::DeliveryFailed);
  }
  ProcessInterventionActuator actuator(nullptr, {}, ProcessControlHandle());
  EXPECT_EQ(actuator.execute(kNow, InterventionCommand::Terminate{}).error(),
            InterventionFailure::Failed);
  EXPECT_EQ(actuator.execute(kNow, InterventionCommand::Signal{9}).error(),
            InterventionFailure::NotPermitted);
}

// ---------------------------------------------------------------------------
// Checkpoint requests.

TEST(InterventionActuator, RequestWithoutChannelOrBeforeNegotiation) {
  ProcessInterventionActuator no_channel(nullptr, {}, ProcessControlHandle(12345));
  EXPECT_EQ(no_channel.execute(kNow, Request{1, 0, kDeadline}).error(),
            InterventionFailure::CheckpointUnavailable);
  EXPECT_EQ(no_channel.poll_checkpoint_ready().error(), InterventionFailure::CheckpointUnavailable);
  EXPECT_EQ(no_channel.poll_checkpoint(kNow).error(), InterventionFailure::CheckpointUnavailable);

  auto created = CheckpointChannel::pair(nonce());
  ASSERT_TRUE(created.ok());
  ASSERT_TRUE(created->channel.begin_negotiation().ok());
  ProcessInterventionActuator actuator(&created->channel, {}, ProcessControlHandle(12345));
  EXPECT_EQ(actuator.poll_checkpoint_ready().value(), false);
  EXPECT_EQ(actuator.execute(kNow, Request{1, 0, kDeadline}).error(),
            InterventionFailure::CheckpointUnavailable);
  created->child_end.reset();  // the client goes away: negotiation failed
  EXPECT_EQ(actuator.poll_checkpoint_ready().error(), InterventionFailure::CheckpointUnavailable);
}

// The checkpointer helper, cooperative or misbehaving, signalled for real:
// what each client looks like from the supervisor's side.
TEST(InterventionActuator, CheckpointClientsThroughTheEndpointSignal) {
  using Record = CheckpointArtifactRecord;
  const PolicyEvent accepted = PolicyEvent::CheckpointAcknowledged{kNow, 5, true};
  const auto failed = [](uint8_t code) -> PolicyEvent {
    return PolicyEvent::InterventionFailed{kNow, InterventionKind::CheckpointRequest, code};
  };
  struct Case {
    std::vector<std::string> arguments;
    std::optional<PolicyEvent> event;
    Events events;
    std::optional<Record> artifact;
  };
  const Case cases[] = {
      {{"--artifact", "2", "--size", "777"}, accepted, {}, Record{ArtifactKind::Directory, 777}},
      {{"--mode", "wrong-nonce"}, std::nullopt, {CheckpointEvent::NonceMismatch}},
      {{"--mode", "wrong-request-id"}, std::nullopt, {CheckpointEvent::RequestNotPending}},
      {{"--mode", "malformed"}, std::nullopt, {CheckpointEvent::Malformed}},
      {{"--mode", "close-early"}, failed(0), {CheckpointEvent::EndpointExited}},
      {{"--status", "2", "--artifact", "0", "--has-size", "0", "--size", "0"}, failed(1), {}},
      {{"--status", "3", "--artifact", "0", "--has-size", "0", "--size", "0"}, failed(1), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.back());
    TempDir dir;
    auto created = CheckpointChannel::pair(nonce());
    ASSERT_TRUE(created.ok());
    CheckpointChannel channel = std::move(created->channel);
    ASSERT_TRUE(channel.begin_negotiation().ok());
    std::vector<std::string> argv = {helper_program("checkpointer"), "--request-file",
                                     dir.file("request")};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    auto process =
        OwnedProcess::launch_with_checkpoint({.argv = argv}, std::move(created->child_end));
    ASSERT_TRUE(process.ok());
    const int32_t pid = process->root_pid();
    ProcessInterventionActuator actuator(
        &channel, {.start_time = start_time_of(pid), .pid = pid, .process_group = pid},
        process->control_handle());
    ASSERT_TRUE(eventually(
        [&] {
          auto ready = actuator.poll_checkpoint_ready();
          return ready.ok() && *ready;
        },
        seconds(20)));
    ASSERT_EQ(actuator.execute(kNow, Request{5, 100, kDeadline}).value(),
              SignalDelivery::Delivered);
    std::optional<CheckpointProgress> seen;
    eventually(
        [&] {
          auto polled = actuator.poll_checkpoint(kNow);
          if (!polled) return true;
          if (polled->event || !polled->events.empty()) seen = std::move(*polled);
          return seen.has_value();
        },
        seconds(20));
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->event, c.event);
    EXPECT_EQ(seen->events, c.events);
    EXPECT_EQ(seen->artifact, c.artifact);
    if (c.event == accepted) {
      // The client received the id and the deadline the command carried.
      EXPECT_EQ(read_file(dir.file("request")), "request_id 5\ndeadline_ns 100000000000\n");
    }
    // One request per run, whatever came of it.
    EXPECT_EQ(actuator.execute(kNow, Request{6, 100, kDeadline}).error(),
              InterventionFailure::CheckpointRefused);
  }
}

// An endpoint that is not the negotiated process in our group is never
// signalled: the request already written is cut off by shutting the channel.
TEST(InterventionActuator, EndpointRefusalsCancelTheChannel) {
  struct Case {
    const char* what;
    std::function<CheckpointEndpoint(int32_t pid)> endpoint;
    bool exit_first;
    InterventionFailure failure;
  };
  const Case cases[] = {
      // The right pid in the right group, but another start time: as if the
      // negotiated process had died and its pid been reused.
      {"replaced",
       [](int32_t pid) {
         return CheckpointEndpoint{start_time_of(pid) + 1, pid, pid};
       },
       false, InterventionFailure::NotPermitted},
      // Our own pid, claimed to be in the owned group: SIGUSR1 would end this test.
      {"another group",
       [](int32_t pid) {
         return CheckpointEndpoint{start_time_of(::getpid()), ::getpid(), pid};
       },
       false, InterventionFailure::NotPermitted},
      // Exited but not yet reaped: still in the group, recorded as exited.
      {"exited",
       [](int32_t pid) {
         return CheckpointEndpoint{start_time_of(pid), pid, pid};
       },
       true, InterventionFailure::EndpointMissing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    HandChannel hand;
    const std::string go = dir.file("go");
    auto process = OwnedProcess::launch(
        {.argv = {helper_program("stubborn"), "--wait-for-file", go, "--exit-when-ready", "0"}});
    ASSERT_TRUE(process.ok());
    const int32_t pid = process->root_pid();
    const CheckpointEndpoint endpoint = c.endpoint(pid);
    if (c.exit_first) {
      std::ofstream{go};
      ASSERT_TRUE(eventually([&] { return !test_support::process_running(pid); }, seconds(20)));
    }
    ProcessInterventionActuator actuator(&*hand.channel, endpoint, process->control_handle());
    EXPECT_EQ(actuator.execute(kNow, Request{9, 0, kDeadline}).error(), c.failure);
    EXPECT_EQ(hand.client_read_available().size(), 58U);  // the request was written
    uint8_t byte;
    EXPECT_EQ(::recv(hand.client.get(), &byte, 1, MSG_DONTWAIT), 0);  // then the channel was shut
    EXPECT_EQ(hand.channel->protocol().state(), CheckpointProtocolState::Closed);
    if (!c.exit_first) {
      EXPECT_EQ(process->try_wait_root().value(), std::nullopt);  // SIGUSR1 would have ended it
    }
  }
}

// ---------------------------------------------------------------------------
// What polling the channel means for the policy.

TEST(InterventionActuator, NothingDecisiveWhileWaitingOrAtTheDeadline) {
  HandChannel hand;
  ProcessInterventionActuator actuator(&*hand.channel, {}, ProcessControlHandle());
  EXPECT_EQ(actuator.poll_checkpoint(kNow).value().event, std::nullopt);  // no request yet
  ASSERT_TRUE(hand.channel->begin_request(4, kNow, kDeadline).ok());
  EXPECT_EQ(actuator.poll_checkpoint(kNow).value().event, std::nullopt);
  // The deadline is left to the policy's own timer.
  auto late = actuator.poll_checkpoint(kDeadline);
  EXPECT_EQ(late.value().event, std::nullopt);
  EXPECT_EQ(late->events, Events{CheckpointEvent::TimedOut});
}

// ---------------------------------------------------------------------------
// Evidence.

TEST(InterventionEvidence, KeepsTheNewest64AndCountsEveryAttempt) {
  InterventionEvidence evidence;
  EXPECT_EQ(evidence.attempts(), 0U);
  EXPECT_TRUE(evidence.entries().empty());
  for (uint64_t i = 1; i <= 65; ++i) {
    evidence.record_attempt(Duration::from_millis(i), InterventionCommand::Signal{15}, false, 0);
  }
  EXPECT_EQ(evidence.attempts(), 65U);
  ASSERT_EQ(evidence.entries().size(), 64U);
  EXPECT_EQ(evidence.entries().front().issued_at, Duration::from_millis(2));
  EXPECT_EQ(evidence.entries().back().issued_at, Duration::from_millis(65));

  const auto newest = evidence.newest(2);
  ASSERT_EQ(newest.size(), 2U);
  EXPECT_EQ(newest[0].issued_at, Duration::from_millis(64));
  EXPECT_EQ(evidence.newest(1000).size(), 64U);
}

TEST(InterventionEvidence, RecordsResultsAsFlagAndCode) {
  InterventionEvidence evidence;
  const InterventionCommand request = Request{7, 4096, kDeadline};
  evidence.record_result(kNow, request, InterventionResult(SignalDelivery::ProcessMissing));
  evidence.record_result(kNow, InterventionCommand::Kill{},
                         InterventionResult(unexpected(InterventionFailure::EndpointMissing)));
  ASSERT_EQ(evidence.entries().size(), 2U);
  EXPECT_EQ(
      evidence.entries()[0],
      (InterventionAttempt{.issued_at = kNow, .command = request, .failed = false, .code = 1}));
  EXPECT_EQ(evidence.entries()[1].failed, true);
  EXPECT_EQ(evidence.entries()[1].code, 2);
  EXPECT_EQ(evidence.entries()[0].command.kind(), InterventionKind::CheckpointRequest);
  EXPECT_EQ(evidence.entries()[1].command.kind(), InterventionKind::Kill);
}

}  // namespace
}  // namespace vek_guard
