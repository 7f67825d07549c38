#include "vek_guard/checkpoint.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "vek_guard/coding.h"

namespace vek_guard {
namespace {

using Bytes = std::vector<uint8_t>;
using Events = std::vector<CheckpointEvent>;

CheckpointNonce make_nonce(uint8_t seed) {
  CheckpointNonce nonce;
  for (std::size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<uint8_t>(seed + i * 7);
  return nonce;
}

const CheckpointNonce kNonce = make_nonce(3);
const Duration kNow = Duration::from_secs(1);
const Duration kDeadline = Duration::from_secs(5);

// Frames are built here byte by byte, independently of the encoder under
// test, so that a mistake shared by encoder and decoder cannot hide.
Bytes frame(uint32_t body_length, uint8_t kind, const CheckpointNonce& nonce) {
  Bytes out(4);
  encode_be32(out.data(), body_length);
  out.insert(out.end(), {'V', 'G', 'C', 'P', 1, kind});
  out.insert(out.end(), nonce.begin(), nonce.end());
  return out;
}

struct Ack {
  uint64_t request_id = 8;
  uint8_t status = 1;
  uint8_t artifact = 1;
  uint8_t has_size = 1;
  uint64_t size = 4096;
  CheckpointNonce nonce = kNonce;
};

Bytes ack_frame(const Ack& ack) {
  Bytes out = frame(57, 2, ack.nonce);
  out.resize(out.size() + 19);
  encode_be64(out.data() + 42, ack.request_id);
  out[50] = ack.status;
  out[51] = ack.artifact;
  out[52] = ack.has_size;
  encode_be64(out.data() + 53, ack.size);
  return out;
}

CheckpointProtocol awaiting(uint64_t request_id = 8) {
  CheckpointProtocol protocol(kNonce);
  EXPECT_TRUE(protocol.begin_request(request_id, kNow, kDeadline).ok());
  return protocol;
}

TEST(CheckpointWire, FramesAreLaidOutByteByByte) {
  const NegotiationFrame negotiation = encode_negotiation(kNonce);
  EXPECT_EQ(Bytes(negotiation.begin(), negotiation.end()), frame(38, 3, kNonce));

  CheckpointProtocol protocol(kNonce);
  auto request = protocol.begin_request(0x0102030405060708, kNow, Duration::from_parts(3, 5));
  ASSERT_TRUE(request.ok());
  Bytes expected = frame(54, 1, kNonce);
  // The id, then the deadline in nanoseconds: 3'000'000'005.
  expected.insert(expected.end(), {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0xb2, 0xd0, 0x5e, 0x05});
  EXPECT_EQ(Bytes(request->begin(), request->end()), expected);
}

TEST(CheckpointWire, AcknowledgementDecoding) {
  struct Case {
    const char* what;
    Ack ack;
    std::optional<CheckpointArtifactRecord> artifact;  // when valid
    bool valid = true;
    int patch_at = -1;  // a byte overwritten after encoding
    uint8_t patch = 0;
  };
  using Record = CheckpointArtifactRecord;
  const Case cases[] = {
      {"file with size", {}, Record{ArtifactKind::File, 4096}},
      {"no artifact", {.artifact = 0, .has_size = 0, .size = 0}, std::nullopt},
      {"size flag without artifact", {.artifact = 0, .has_size = 1, .size = 0}, {}, false},
      {"size without flag, no artifact", {.artifact = 0, .has_size = 0, .size = 9}, {}, false},
      {"directory without size",
       {.artifact = 2, .has_size = 0, .size = 0},
       Record{ArtifactKind::Directory, std::nullopt}},
      {"size without flag", {.artifact = 2, .has_size = 0, .size = 1}, {}, false},
      {"opaque of size 0",
       {.artifact = 3, .has_size = 1, .size = 0},
       Record{ArtifactKind::Opaque, 0}},
      {"size flag 2", {.artifact = 3, .has_size = 2, .size = 0}, {}, false},
      {"artifact kind 4", {.artifact = 4, .has_size = 0, .size = 0}, {}, false},
      {"request id 0", {.request_id = 0}, {}, false},
      {"status 0", {.status = 0}, {}, false},
      {"status 3", {.status = 3}, Record{ArtifactKind::File, 4096}},
      {"status 4", {.status = 4}, {}, false},
      {"length field 58", {}, {}, false, 3, 58},
      {"magic", {}, {}, false, 4, 'X'},
      {"version 2", {}, {}, false, 8, 2},
      {"kind 1", {}, {}, false, 9, 1},
  };
  for (const Case& c : cases) {
    Bytes bytes = ack_frame(c.ack);
    if (c.patch_at >= 0) bytes[static_cast<std::size_t>(c.patch_at)] = c.patch;
    const auto decoded = decode_acknowledgement(bytes);
    ASSERT_EQ(decoded.has_value(), c.valid) << c.what;
    if (c.valid) {
      EXPECT_EQ(decoded->artifact, c.artifact) << c.what;
      EXPECT_EQ(static_cast<uint8_t>(decoded->status), c.ack.status) << c.what;
    }
  }
  Bytes longer = ack_frame({});
  longer.push_back(0);
  EXPECT_FALSE(decode_acknowledgement(longer).has_value());
}

TEST(CheckpointProtocol, RequestRefusals) {
  CheckpointProtocol protocol(kNonce);
  EXPECT_EQ(protocol.begin_request(0, kNow, kDeadline).error(), RequestRefusal::InvalidRequest);
  EXPECT_EQ(protocol.begin_request(1, kNow, kNow).error(), RequestRefusal::InvalidRequest);
  EXPECT_EQ(protocol.begin_request(1, kNow, Duration::max()).error(),
            RequestRefusal::DeadlineTooLarge);
  EXPECT_EQ(protocol.state(), CheckpointProtocolState::Idle);

  ASSERT_TRUE(protocol.begin_request(1, kNow, kDeadline).ok());
  EXPECT_EQ(protocol.begin_request(2, kNow, kDeadline).error(), RequestRefusal::NotIdle);

  CheckpointProtocol exited(kNonce);
  (void)exited.endpoint_exited();
  // Not idle wins over invalid: the exit already closed the protocol.
  EXPECT_EQ(exited.begin_request(1, kNow, kDeadline).error(), RequestRefusal::NotIdle);
}

TEST(CheckpointProtocol, AcknowledgementStatusesMoveTheState) {
  using enum CheckpointProtocolState;
  const CheckpointProtocolState states[] = {Accepted, AcknowledgedNotAccepted, Closed};
  for (uint8_t status = 1; status <= 3; ++status) {
    CheckpointProtocol protocol = awaiting();
    const CheckpointPoll polled = protocol.ingest(kNow, ack_frame({.status = status}));
    ASSERT_TRUE(polled.acknowledgement.has_value());
    EXPECT_TRUE(polled.events.empty());
    EXPECT_EQ(protocol.state(), states[status - 1]);
    EXPECT_FALSE(protocol.pending_request_id().has_value());
    EXPECT_FALSE(protocol.deadline().has_value());
    // One request per run, whatever the answer was.
    EXPECT_EQ(protocol.begin_request(9, kNow, kDeadline).error(), RequestRefusal::NotIdle);
  }
}

// Everything a client can send wrong leaves the request pending, so that a
// clean acknowledgement is still taken afterwards, in pieces.
TEST(CheckpointProtocol, BadInputKeepsTheRequestPending) {
  Bytes trailing = ack_frame({});
  trailing.insert(trailing.end(), {0, 0});
  Bytes largest(132, 0);  // a length of exactly 128 is allowed
  largest[3] = 128;
  const struct {
    const char* what;
    Bytes bytes;
    Events events;
  } cases[] = {
      {"bytes after the frame", trailing, {CheckpointEvent::Malformed}},
      {"another nonce", ack_frame({.nonce = make_nonce(4)}), {CheckpointEvent::NonceMismatch}},
      {"another request", ack_frame({.request_id = 7}), {CheckpointEvent::RequestNotPending}},
      {"length prefix in pieces", {0, 0, 0}, {}},
      {"length 129", {129}, {CheckpointEvent::Oversize}},
      {"largest frame, not an acknowledgement", largest, {CheckpointEvent::Malformed}},
      {"more than the buffer holds", Bytes(133, 0), {CheckpointEvent::Oversize}},
  };
  CheckpointProtocol protocol = awaiting(8);
  for (const auto& c : cases) {
    const CheckpointPoll polled = protocol.ingest(kNow, c.bytes);
    EXPECT_EQ(polled.events, c.events) << c.what;
    EXPECT_FALSE(polled.acknowledgement.has_value()) << c.what;
    EXPECT_EQ(protocol.state(), CheckpointProtocolState::AwaitingAcknowledgement) << c.what;
    EXPECT_EQ(protocol.buffered_bytes(), c.events.empty() ? 3U : 0U) << c.what;
  }
  EXPECT_EQ(protocol.pending_request_id(), 8U);

  const Bytes ack = ack_frame({});
  EXPECT_EQ(protocol.ingest(kNow, std::span(ack).first(3)), CheckpointPoll{});
  const CheckpointPoll taken = protocol.ingest(kNow, std::span(ack).subspan(3));
  ASSERT_TRUE(taken.acknowledgement.has_value());
  EXPECT_EQ(taken.acknowledgement->request_id, 8U);
  EXPECT_EQ(taken.acknowledgement->nonce, kNonce);
  EXPECT_EQ(protocol.ingest(kNow, ack).events, Events{CheckpointEvent::AlreadyAcknowledged});
}

TEST(CheckpointProtocol, DeadlineAtAndAfter) {
  CheckpointProtocol at = awaiting();
  const Bytes ack = ack_frame({});
  EXPECT_EQ(at.ingest(kNow, std::span(ack).first(10)).events, Events{});
  // At the deadline a complete acknowledgement is too late.
  const CheckpointPoll late = at.ingest(kDeadline, std::span(ack).subspan(10));
  EXPECT_FALSE(late.acknowledgement.has_value());
  EXPECT_EQ(late.events, Events{CheckpointEvent::TimedOut});
  EXPECT_EQ(at.state(), CheckpointProtocolState::TimedOut);
  EXPECT_EQ(at.buffered_bytes(), 0U);
  EXPECT_EQ(at.pending_request_id(), 8U);
  EXPECT_EQ(at.ingest(kNow, ack).events, Events{CheckpointEvent::TimedOut});

  CheckpointProtocol just_before = awaiting();
  EXPECT_TRUE(
      just_before.ingest(Duration::from_parts(4, 999'999'999), ack).acknowledgement.has_value());
}

TEST(CheckpointProtocol, ExitCancelAndUnrequestedBytes) {
  const Bytes ack = ack_frame({});
  CheckpointProtocol partial = awaiting();
  (void)partial.ingest(kNow, std::span(ack).first(5));
  EXPECT_EQ(partial.endpoint_exited(),
            (Events{CheckpointEvent::PartialFrameDiscarded, CheckpointEvent::EndpointExited}));
  EXPECT_EQ(partial.state(), CheckpointProtocolState::Closed);
  EXPECT_FALSE(partial.pending_request_id().has_value());
  EXPECT_EQ(partial.ingest(kNow, ack).events, Events{CheckpointEvent::BytesAfterExit});

  CheckpointProtocol clean = awaiting();
  EXPECT_EQ(clean.endpoint_exited(), Events{CheckpointEvent::EndpointExited});

  CheckpointProtocol cancelled = awaiting();
  cancelled.cancel();
  EXPECT_FALSE(cancelled.pending_request_id().has_value());
  EXPECT_EQ(cancelled.ingest(kNow, ack).events, Events{CheckpointEvent::Closed});

  // Nobody asked for these bytes.
  CheckpointProtocol idle(kNonce);
  EXPECT_EQ(idle.ingest(kNow, ack).events, Events{CheckpointEvent::Malformed});
  EXPECT_EQ(idle.ingest(kNow, {}).events, Events{});
}

// ---------------------------------------------------------------------------
// The channel, with the test playing the client on the other end.

struct ChannelFixture : ::testing::Test {
  void SetUp() override {
    auto created = CheckpointChannel::pair(kNonce);
    ASSERT_TRUE(created.ok());
    channel.emplace(std::move(created->channel));
    client = std::move(created->child_end);
  }

  void client_send(std::span<const uint8_t> bytes) {
    ASSERT_EQ(::write(client.get(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }

  Bytes client_receive(std::size_t count) {
    Bytes out(count);
    out.resize(static_cast<std::size_t>(
        std::max<ssize_t>(0, ::recv(client.get(), out.data(), count, MSG_WAITALL))));
    return out;
  }

  // Sends the negotiation and lets the client read it.
  void begin_negotiation() {
    ASSERT_TRUE(channel->begin_negotiation().ok());
    ASSERT_EQ(client_receive(42).size(), 42U);
  }

  void negotiate() {
    begin_negotiation();
    client_send(frame(38, 4, kNonce));
    ASSERT_EQ(channel->poll_ready().value(), true);
  }

  void negotiate_and_request() {
    negotiate();
    ASSERT_TRUE(channel->begin_request(8, kNow, kDeadline).ok());
  }

  std::optional<CheckpointChannel> channel;
  UniqueFd client;
};

TEST_F(ChannelFixture, EndsAreCloseOnExecAndOnlyOursIsNonBlocking) {
  EXPECT_TRUE(::fcntl(channel->fd(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(::fcntl(client.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(::fcntl(channel->fd(), F_GETFL) & O_NONBLOCK);
  EXPECT_FALSE(::fcntl(client.get(), F_GETFL) & O_NONBLOCK);
}

TEST_F(ChannelFixture, NegotiationSentOnceAndReplyMayArriveInPieces) {
  EXPECT_EQ(channel->poll_ready().value(), false);  // nothing sent yet
  ASSERT_TRUE(channel->begin_negotiation().ok());
  EXPECT_EQ(channel->begin_negotiation().error().kind,
            CheckpointChannelErrorKind::NegotiationFailed);
  const NegotiationFrame expected = encode_negotiation(kNonce);
  EXPECT_EQ(client_receive(42), Bytes(expected.begin(), expected.end()));
  // No request goes out before the reply.
  EXPECT_TRUE(std::holds_alternative<CheckpointNotNegotiated>(
      channel->begin_request(8, kNow, kDeadline).value()));
  uint8_t byte;
  EXPECT_EQ(::recv(client.get(), &byte, 1, MSG_DONTWAIT), -1);
  EXPECT_EQ(channel->protocol().state(), CheckpointProtocolState::Idle);

  EXPECT_EQ(channel->poll_ready().value(), false);  // would block
  const Bytes reply = frame(38, 4, kNonce);
  client_send(std::span(reply).first(10));
  EXPECT_EQ(channel->poll_ready().value(), false);
  client_send(std::span(reply).subspan(10));
  EXPECT_EQ(channel->poll_ready().value(), true);
  EXPECT_TRUE(channel->negotiated());
  EXPECT_EQ(channel->poll_ready().value(), true);
  EXPECT_EQ(channel->begin_negotiation().error().kind,
            CheckpointChannelErrorKind::NegotiationFailed);
}

TEST_F(ChannelFixture, BadOrMissingNegotiationReplyFails) {
  Bytes overlong = frame(38, 4, kNonce);
  overlong.push_back(0);
  const Bytes bad_replies[] = {
      overlong,                     // one byte too many
      frame(38, 3, kNonce),         // our own negotiation echoed back
      frame(42, 4, kNonce),         // wrong length field
      frame(38, 4, make_nonce(9)),  // someone else's nonce
  };
  for (const Bytes& reply : bad_replies) {
    SetUp();
    begin_negotiation();
    // In two pieces, as the reply is read at most one frame at a time.
    client_send(std::span(reply).first(10));
    EXPECT_EQ(channel->poll_ready().value(), false);
    client_send(std::span(reply).subspan(10));
    EXPECT_EQ(channel->poll_ready().error().kind, CheckpointChannelErrorKind::NegotiationFailed);
    EXPECT_FALSE(channel->negotiated());
  }
  // The client closes after reading our frame (end of file), or with it
  // unread (the kernel resets the connection instead).
  for (const bool read_first : {true, false}) {
    SetUp();
    ASSERT_TRUE(channel->begin_negotiation().ok());
    if (read_first) client_receive(42);
    client.reset();
    EXPECT_EQ(channel->poll_ready().error().kind, CheckpointChannelErrorKind::NegotiationFailed);
  }
}

TEST_F(ChannelFixture, PollAtTheDeadlineDoesNotReadTheSocket) {
  negotiate_and_request();
  client_send(ack_frame({}));
  EXPECT_EQ(channel->poll(kDeadline).value().events, Events{CheckpointEvent::TimedOut});
  EXPECT_EQ(channel->poll(kDeadline).value(), CheckpointPoll{});
  uint8_t byte;
  EXPECT_EQ(::recv(channel->fd(), &byte, 1, MSG_PEEK), 1);  // still unread
}

TEST_F(ChannelFixture, RequestWriteToAClosedClientFails) {
  negotiate();
  client.reset();
  auto sent = channel->begin_request(8, kNow, kDeadline);
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().kind, CheckpointChannelErrorKind::RequestWriteFailed);
  EXPECT_EQ(sent.error().os_error, EPIPE);
  // The request stays pending: only the caller decides to cancel.
  EXPECT_EQ(channel->protocol().state(), CheckpointProtocolState::AwaitingAcknowledgement);
}

TEST_F(ChannelFixture, CancelClosesTheProtocolAndTheClientSeesTheEnd) {
  negotiate_and_request();
  ASSERT_EQ(client_receive(58).size(), 58U);
  ASSERT_TRUE(channel->cancel().ok());
  EXPECT_EQ(channel->protocol().state(), CheckpointProtocolState::Closed);
  uint8_t byte;
  EXPECT_EQ(::recv(client.get(), &byte, 1, MSG_DONTWAIT), 0);  // end of file, not a wait
  EXPECT_EQ(channel->poll(kNow).value(), CheckpointPoll{});
}

TEST(CheckpointChannelError, Texts) {
  using enum CheckpointChannelErrorKind;
  EXPECT_EQ(error_message(CreationFailed), "checkpoint channel creation failed");
  EXPECT_EQ(error_message(ConfigurationFailed), "checkpoint channel configuration failed");
  EXPECT_EQ(error_message(RequestWriteFailed), "checkpoint request write failed");
  EXPECT_EQ(error_message(AcknowledgementReadFailed), "checkpoint acknowledgement read failed");
  EXPECT_EQ(error_message(NegotiationFailed), "checkpoint channel negotiation failed");
}

}  // namespace
}  // namespace vek_guard
