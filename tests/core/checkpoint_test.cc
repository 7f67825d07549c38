#include "vek_guard/checkpoint.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <limits>
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
  Bytes out;
  uint8_t length[4];
  encode_be32(length, body_length);
  out.insert(out.end(), length, length + 4);
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
  uint8_t word[8];
  encode_be64(word, ack.request_id);
  out.insert(out.end(), word, word + 8);
  out.insert(out.end(), {ack.status, ack.artifact, ack.has_size});
  encode_be64(word, ack.size);
  out.insert(out.end(), word, word + 8);
  return out;
}

Bytes reply_frame(const CheckpointNonce& nonce) { return frame(38, 4, nonce); }

CheckpointProtocol awaiting(uint64_t request_id = 8) {
  CheckpointProtocol protocol(kNonce);
  EXPECT_TRUE(protocol.begin_request(request_id, kNow, kDeadline).ok());
  return protocol;
}

TEST(CheckpointWire, NegotiationFrameLayout) {
  const NegotiationFrame encoded = encode_negotiation(kNonce);
  const Bytes expected = frame(38, 3, kNonce);
  EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), expected);
}

TEST(CheckpointWire, RequestCarriesIdAndDeadlineInNanoseconds) {
  CheckpointProtocol protocol(kNonce);
  auto request = protocol.begin_request(0x0102030405060708, kNow, Duration::from_parts(3, 5));
  ASSERT_TRUE(request.ok());
  Bytes expected = frame(54, 1, kNonce);
  const uint8_t tail[16] = {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0xb2, 0xd0, 0x5e, 0x05};
  expected.insert(expected.end(), tail, tail + 16);
  EXPECT_EQ(Bytes(request->begin(), request->end()), expected);
  EXPECT_EQ(decode_be64(request->data() + 4 + 46), 3'000'000'005U);
}

TEST(CheckpointWire, AcknowledgementArtifactAndSizeCombinations) {
  struct Case {
    uint8_t artifact, has_size;
    uint64_t size;
    bool valid;
    std::optional<CheckpointArtifactRecord> expected;
  };
  const Case cases[] = {
      {0, 0, 0, true, std::nullopt},
      {0, 1, 0, false, std::nullopt},
      {0, 0, 9, false, std::nullopt},
      {1, 1, 4096, true, CheckpointArtifactRecord{ArtifactKind::File, 4096}},
      {2, 0, 0, true, CheckpointArtifactRecord{ArtifactKind::Directory, std::nullopt}},
      {2, 0, 1, false, std::nullopt},
      {3, 1, 0, true, CheckpointArtifactRecord{ArtifactKind::Opaque, 0}},
      {3, 2, 0, false, std::nullopt},
      {4, 0, 0, false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int{c.artifact} << "/" << int{c.has_size} << "/" << c.size);
    const Bytes bytes =
        ack_frame({.artifact = c.artifact, .has_size = c.has_size, .size = c.size});
    const auto ack = decode_acknowledgement(bytes);
    ASSERT_EQ(ack.has_value(), c.valid);
    if (c.valid) {
      EXPECT_EQ(ack->artifact, c.expected);
    }
  }
}

TEST(CheckpointWire, AcknowledgementHeaderAndFieldChecks) {
  const Bytes good = ack_frame({});
  ASSERT_TRUE(decode_acknowledgement(good).has_value());
  EXPECT_EQ(decode_acknowledgement(good)->status, AcknowledgementStatus::Accepted);

  auto damaged = [&good](std::size_t offset, uint8_t value) {
    Bytes copy = good;
    copy[offset] = value;
    return decode_acknowledgement(copy).has_value();
  };
  EXPECT_FALSE(damaged(3, 58));       // length field
  EXPECT_FALSE(damaged(4, 'X'));      // magic
  EXPECT_FALSE(damaged(8, 2));        // version
  EXPECT_FALSE(damaged(9, 1));        // kind
  EXPECT_FALSE(damaged(4 + 46, 0));   // status 0
  EXPECT_FALSE(damaged(4 + 46, 4));   // status 4
  EXPECT_TRUE(damaged(4 + 46, 3));
  EXPECT_FALSE(decode_acknowledgement(ack_frame({.request_id = 0})).has_value());
  Bytes longer = good;
  longer.push_back(0);
  EXPECT_FALSE(decode_acknowledgement(longer).has_value());
}

TEST(CheckpointProtocol, RequestRefusals) {
  CheckpointProtocol protocol(kNonce);
  EXPECT_EQ(protocol.begin_request(0, kNow, kDeadline).error(), RequestRefusal::InvalidRequest);
  EXPECT_EQ(protocol.begin_request(1, kNow, kNow).error(), RequestRefusal::InvalidRequest);
  EXPECT_EQ(protocol.begin_request(1, kDeadline, kNow).error(), RequestRefusal::InvalidRequest);
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
  struct Case {
    uint8_t status;
    CheckpointProtocolState state;
  };
  for (const Case c : {Case{1, CheckpointProtocolState::Accepted},
                       Case{2, CheckpointProtocolState::AcknowledgedNotAccepted},
                       Case{3, CheckpointProtocolState::Closed}}) {
    CheckpointProtocol protocol = awaiting();
    const CheckpointPoll polled = protocol.ingest(kNow, ack_frame({.status = c.status}));
    ASSERT_TRUE(polled.acknowledgement.has_value());
    EXPECT_TRUE(polled.events.empty());
    EXPECT_EQ(static_cast<uint8_t>(polled.acknowledgement->status), c.status);
    EXPECT_EQ(protocol.state(), c.state);
    EXPECT_FALSE(protocol.pending_request_id().has_value());
    EXPECT_FALSE(protocol.deadline().has_value());
    // One request per run, whatever the answer was.
    EXPECT_EQ(protocol.begin_request(9, kNow, kDeadline).error(), RequestRefusal::NotIdle);
  }
}

TEST(CheckpointProtocol, SplitAcknowledgementIsDecodedWhenComplete) {
  CheckpointProtocol protocol = awaiting();
  const Bytes ack = ack_frame({});
  const CheckpointPoll first = protocol.ingest(kNow, std::span(ack).first(3));
  EXPECT_EQ(first, CheckpointPoll{});
  const CheckpointPoll second = protocol.ingest(kNow, std::span(ack).subspan(3));
  ASSERT_TRUE(second.acknowledgement.has_value());
  EXPECT_EQ(second.acknowledgement->request_id, 8U);
  EXPECT_EQ(second.acknowledgement->nonce, kNonce);
}

TEST(CheckpointProtocol, BytesAfterTheFrameAreMalformed) {
  CheckpointProtocol protocol = awaiting();
  Bytes ack = ack_frame({});
  ack.push_back(0);
  ack.push_back(0);
  const CheckpointPoll polled = protocol.ingest(kNow, ack);
  EXPECT_FALSE(polled.acknowledgement.has_value());
  EXPECT_EQ(polled.events, Events{CheckpointEvent::Malformed});
  EXPECT_EQ(protocol.state(), CheckpointProtocolState::AwaitingAcknowledgement);
  EXPECT_EQ(protocol.buffered_bytes(), 0U);
  // The request is still pending: a clean acknowledgement is taken after it.
  EXPECT_TRUE(protocol.ingest(kNow, ack_frame({})).acknowledgement.has_value());
}

TEST(CheckpointProtocol, OversizeLengthAndOverfullBuffer) {
  CheckpointProtocol protocol = awaiting();
  const uint8_t length_129[4] = {0, 0, 0, 129};
  EXPECT_EQ(protocol.ingest(kNow, std::span(length_129).first(3)).events, Events{});
  EXPECT_EQ(protocol.ingest(kNow, std::span(length_129).subspan(3)).events,
            Events{CheckpointEvent::Oversize});
  EXPECT_EQ(protocol.buffered_bytes(), 0U);

  // A length of exactly 128 is allowed, and 132 bytes fill the buffer.
  Bytes max_frame(132, 0);
  max_frame[3] = 128;
  EXPECT_EQ(protocol.ingest(kNow, max_frame).events, Events{CheckpointEvent::Malformed});
  Bytes too_many(133, 0);
  EXPECT_EQ(protocol.ingest(kNow, too_many).events, Events{CheckpointEvent::Oversize});
  EXPECT_EQ(protocol.state(), CheckpointProtocolState::AwaitingAcknowledgement);
}

TEST(CheckpointProtocol, WrongNonceOrForeignRequestKeepsTheRequestPending) {
  CheckpointProtocol protocol = awaiting(8);
  EXPECT_EQ(protocol.ingest(kNow, ack_frame({.nonce = make_nonce(4)})).events,
            Events{CheckpointEvent::NonceMismatch});
  EXPECT_EQ(protocol.ingest(kNow, ack_frame({.request_id = 7})).events,
            Events{CheckpointEvent::RequestNotPending});
  EXPECT_EQ(protocol.state(), CheckpointProtocolState::AwaitingAcknowledgement);
  EXPECT_EQ(protocol.pending_request_id(), 8U);
  EXPECT_TRUE(protocol.ingest(kNow, ack_frame({.request_id = 8})).acknowledgement.has_value());
  EXPECT_EQ(protocol.ingest(kNow, ack_frame({})).events,
            Events{CheckpointEvent::AlreadyAcknowledged});
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

  CheckpointProtocol after = awaiting();
  EXPECT_EQ(after.ingest(kDeadline.saturating_add(Duration::from_nanos(1)), {}).events,
            Events{CheckpointEvent::TimedOut});

  CheckpointProtocol just_before = awaiting();
  EXPECT_TRUE(just_before.ingest(Duration::from_parts(4, 999'999'999), ack)
                  .acknowledgement.has_value());
}

TEST(CheckpointProtocol, EndpointExitWithPartialFrame) {
  CheckpointProtocol protocol = awaiting();
  const Bytes ack = ack_frame({});
  (void)protocol.ingest(kNow, std::span(ack).first(5));
  EXPECT_EQ(protocol.endpoint_exited(),
            (Events{CheckpointEvent::PartialFrameDiscarded, CheckpointEvent::EndpointExited}));
  EXPECT_EQ(protocol.state(), CheckpointProtocolState::Closed);
  EXPECT_FALSE(protocol.pending_request_id().has_value());
  EXPECT_EQ(protocol.ingest(kNow, ack).events, Events{CheckpointEvent::BytesAfterExit});

  CheckpointProtocol clean = awaiting();
  EXPECT_EQ(clean.endpoint_exited(), Events{CheckpointEvent::EndpointExited});
}

TEST(CheckpointProtocol, UnrequestedBytesAndClosedStates) {
  CheckpointProtocol idle(kNonce);
  EXPECT_EQ(idle.ingest(kNow, ack_frame({})).events, Events{CheckpointEvent::Malformed});
  EXPECT_EQ(idle.ingest(kNow, {}).events, Events{});

  CheckpointProtocol cancelled = awaiting();
  cancelled.cancel();
  EXPECT_EQ(cancelled.ingest(kNow, ack_frame({})).events, Events{CheckpointEvent::Closed});
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
    std::size_t got = 0;
    while (got < count) {
      const ssize_t n = ::read(client.get(), out.data() + got, count - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return out;
  }

  bool client_has_pending_bytes() {
    uint8_t byte;
    return ::recv(client.get(), &byte, 1, MSG_DONTWAIT | MSG_PEEK) > 0;
  }

  void negotiate() {
    ASSERT_TRUE(channel->begin_negotiation().ok());
    ASSERT_EQ(client_receive(42).size(), 42U);
    client_send(reply_frame(kNonce));
    auto ready = channel->poll_ready();
    ASSERT_TRUE(ready.ok());
    ASSERT_TRUE(*ready);
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
  EXPECT_FALSE(client_has_pending_bytes());

  EXPECT_EQ(channel->poll_ready().value(), false);  // would block
  const Bytes reply = reply_frame(kNonce);
  client_send(std::span(reply).first(10));
  EXPECT_EQ(channel->poll_ready().value(), false);
  client_send(std::span(reply).subspan(10));
  EXPECT_EQ(channel->poll_ready().value(), true);
  EXPECT_TRUE(channel->negotiated());
  EXPECT_EQ(channel->poll_ready().value(), true);
  EXPECT_EQ(channel->begin_negotiation().error().kind,
            CheckpointChannelErrorKind::NegotiationFailed);
}

TEST_F(ChannelFixture, NegotiationReplyOverlong) {
  ASSERT_TRUE(channel->begin_negotiation().ok());
  Bytes reply = reply_frame(kNonce);
  reply.push_back(0);
  client_send(std::span(reply).first(10));
  EXPECT_EQ(channel->poll_ready().value(), false);
  client_send(std::span(reply).subspan(10));  // 33 more bytes
  EXPECT_EQ(channel->poll_ready().error().kind, CheckpointChannelErrorKind::NegotiationFailed);
  EXPECT_FALSE(channel->negotiated());
}

TEST_F(ChannelFixture, NegotiationReplyWrongKindLengthOrNonce) {
  const Bytes bad_replies[] = {
      frame(38, 3, kNonce),          // our own negotiation echoed back
      frame(42, 4, kNonce),          // wrong length field
      frame(38, 4, make_nonce(9)),   // someone else's nonce
  };
  for (const Bytes& reply : bad_replies) {
    auto created = CheckpointChannel::pair(kNonce);
    ASSERT_TRUE(created.ok());
    ASSERT_TRUE(created->channel.begin_negotiation().ok());
    ASSERT_EQ(::write(created->child_end.get(), reply.data(), reply.size()), 42);
    EXPECT_EQ(created->channel.poll_ready().error().kind,
              CheckpointChannelErrorKind::NegotiationFailed);
  }
}

TEST_F(ChannelFixture, ClientClosingDuringNegotiationFails) {
  // Closed after reading our frame: end of file.
  ASSERT_TRUE(channel->begin_negotiation().ok());
  ASSERT_EQ(client_receive(42).size(), 42U);
  client.reset();
  EXPECT_EQ(channel->poll_ready().error().kind, CheckpointChannelErrorKind::NegotiationFailed);

  // Closed with our frame unread: the kernel resets the connection instead.
  auto created = CheckpointChannel::pair(kNonce);
  ASSERT_TRUE(created.ok());
  ASSERT_TRUE(created->channel.begin_negotiation().ok());
  created->child_end.reset();
  EXPECT_EQ(created->channel.poll_ready().error().kind,
            CheckpointChannelErrorKind::NegotiationFailed);
}

TEST_F(ChannelFixture, RequestBeforeNegotiationWritesNothing) {
  ASSERT_TRUE(channel->begin_negotiation().ok());
  ASSERT_EQ(client_receive(42).size(), 42U);
  auto outcome = channel->begin_request(8, kNow, kDeadline);
  ASSERT_TRUE(outcome.ok());
  EXPECT_TRUE(std::holds_alternative<CheckpointNotNegotiated>(*outcome));
  EXPECT_FALSE(client_has_pending_bytes());
  EXPECT_EQ(channel->protocol().state(), CheckpointProtocolState::Idle);
}

TEST_F(ChannelFixture, RequestAndAcknowledgementRoundTrip) {
  negotiate();
  EXPECT_EQ(channel->poll(kNow).value(), CheckpointPoll{});  // idle: nothing to read

  auto refused = channel->begin_request(8, kNow, kNow);
  ASSERT_TRUE(refused.ok());
  EXPECT_EQ(std::get<RequestRefusal>(*refused), RequestRefusal::InvalidRequest);

  auto sent = channel->begin_request(8, kNow, kDeadline);
  ASSERT_TRUE(sent.ok());
  EXPECT_TRUE(std::holds_alternative<CheckpointRequestSent>(*sent));
  const Bytes request = client_receive(58);
  ASSERT_EQ(request.size(), 58U);
  EXPECT_EQ(request[9], 1);  // kind
  EXPECT_EQ(decode_be64(request.data() + 4 + 38), 8U);
  EXPECT_EQ(decode_be64(request.data() + 4 + 46), 5'000'000'000U);

  EXPECT_EQ(channel->poll(kNow).value(), CheckpointPoll{});  // would block
  const Bytes ack = ack_frame({.status = 1, .artifact = 2, .has_size = 0, .size = 0});
  client_send(std::span(ack).first(3));
  EXPECT_EQ(channel->poll(kNow).value(), CheckpointPoll{});
  client_send(std::span(ack).subspan(3));
  const CheckpointPoll polled = channel->poll(kNow).value();
  ASSERT_TRUE(polled.acknowledgement.has_value());
  EXPECT_EQ(polled.acknowledgement->artifact,
            (CheckpointArtifactRecord{ArtifactKind::Directory, std::nullopt}));
  EXPECT_EQ(channel->protocol().state(), CheckpointProtocolState::Accepted);

  auto second = channel->begin_request(9, kNow, kDeadline);
  EXPECT_EQ(std::get<RequestRefusal>(*second), RequestRefusal::NotIdle);
}

TEST_F(ChannelFixture, PollAtTheDeadlineDoesNotReadTheSocket) {
  negotiate();
  ASSERT_TRUE(channel->begin_request(8, kNow, kDeadline).ok());
  client_send(ack_frame({}));
  EXPECT_EQ(channel->poll(kDeadline).value().events, Events{CheckpointEvent::TimedOut});
  EXPECT_EQ(channel->poll(kDeadline).value(), CheckpointPoll{});
  uint8_t byte;
  EXPECT_EQ(::recv(channel->fd(), &byte, 1, MSG_PEEK), 1);  // still unread
}

TEST_F(ChannelFixture, ClientExitWithPartialFrame) {
  negotiate();
  ASSERT_TRUE(channel->begin_request(8, kNow, kDeadline).ok());
  const Bytes ack = ack_frame({});
  client_send(std::span(ack).first(5));
  EXPECT_EQ(channel->poll(kNow).value(), CheckpointPoll{});
  client.reset();
  EXPECT_EQ(channel->poll(kNow).value().events,
            (Events{CheckpointEvent::PartialFrameDiscarded, CheckpointEvent::EndpointExited}));
  EXPECT_TRUE(channel->protocol().exited());
  EXPECT_EQ(channel->poll(kNow).value(), CheckpointPoll{});
}

TEST_F(ChannelFixture, RequestWriteToAClosedClientFails) {
  negotiate();
  client.reset();
  auto sent = channel->begin_request(8, kNow, kDeadline);
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().kind, CheckpointChannelErrorKind::RequestWriteFailed);
  EXPECT_EQ(sent.error().os_error, EPIPE);
  EXPECT_EQ(sent.error().message(), "checkpoint request write failed");
  // The request stays pending: only the caller decides to cancel.
  EXPECT_EQ(channel->protocol().state(), CheckpointProtocolState::AwaitingAcknowledgement);
}

TEST_F(ChannelFixture, CancelClosesTheProtocolAndTheClientSeesTheEnd) {
  negotiate();
  ASSERT_TRUE(channel->begin_request(8, kNow, kDeadline).ok());
  ASSERT_EQ(client_receive(58).size(), 58U);
  ASSERT_TRUE(channel->cancel().ok());
  EXPECT_EQ(channel->protocol().state(), CheckpointProtocolState::Closed);
  EXPECT_FALSE(channel->protocol().pending_request_id().has_value());
  uint8_t byte;
  EXPECT_EQ(::read(client.get(), &byte, 1), 0);
  EXPECT_EQ(channel->poll(kNow).value(), CheckpointPoll{});
}

TEST(CheckpointChannelError, Texts) {
  EXPECT_EQ(error_message(CheckpointChannelErrorKind::CreationFailed),
            "checkpoint channel creation failed");
  EXPECT_EQ(error_message(CheckpointChannelErrorKind::ConfigurationFailed),
            "checkpoint channel configuration failed");
  EXPECT_EQ(error_message(CheckpointChannelErrorKind::RequestWriteFailed),
            "checkpoint request write failed");
  EXPECT_EQ(error_message(CheckpointChannelErrorKind::AcknowledgementReadFailed),
            "checkpoint acknowledgement read failed");
  EXPECT_EQ(error_message(CheckpointChannelErrorKind::NegotiationFailed),
            "checkpoint channel negotiation failed");
}

}  // namespace
}  // namespace vek_guard
