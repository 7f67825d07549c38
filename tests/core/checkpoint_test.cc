#include "vek_guard/checkpoint.h"

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
  using Record = CheckpointArtifactRecord;
  const std::pair<Ack, std::optional<Record>> valid[] = {
      {{}, Record{ArtifactKind::File, 4096}},
      {{.status = 3, .artifact = 0, .has_size = 0, .size = 0}, std::nullopt},
      {{.artifact = 2, .has_size = 0, .size = 0}, Record{ArtifactKind::Directory, std::nullopt}},
      {{.artifact = 3, .has_size = 1, .size = 0}, Record{ArtifactKind::Opaque, 0}},
  };
  for (const auto& [ack, artifact] : valid) {
    const auto decoded = decode_acknowledgement(ack_frame(ack));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->artifact, artifact);
    EXPECT_EQ(static_cast<uint8_t>(decoded->status), ack.status);
  }
  const Ack invalid[] = {
      {.request_id = 0},
      {.status = 0},
      {.status = 4},
      {.artifact = 4, .has_size = 0, .size = 0},
      {.artifact = 2, .has_size = 0, .size = 1},  // a size without its flag
      {.artifact = 3, .has_size = 2, .size = 0},
  };
  for (const Ack& ack : invalid) {
    EXPECT_FALSE(decode_acknowledgement(ack_frame(ack)).has_value()) << int{ack.status};
  }
  // The length field, the magic and the message kind; then one byte too many.
  for (const auto& [at, value] : {std::pair<int, uint8_t>{3, 58}, {4, 'X'}, {9, 1}}) {
    Bytes bytes = ack_frame({});
    bytes[static_cast<std::size_t>(at)] = value;
    EXPECT_FALSE(decode_acknowledgement(bytes).has_value()) << at;
  }
  Bytes longer = ack_frame({});
  longer.push_back(0);
  EXPECT_FALSE(decode_acknowledgement(longer).has_value());
}

TEST(CheckpointProtocol, OneRequestPerRunAndRefusalsOtherwise) {
  CheckpointProtocol protocol(kNonce);
  EXPECT_EQ(protocol.begin_request(0, kNow, kDeadline).error(), RequestRefusal::InvalidRequest);
  EXPECT_EQ(protocol.begin_request(1, kNow, kNow).error(), RequestRefusal::InvalidRequest);
  EXPECT_EQ(protocol.begin_request(1, kNow, Duration::max()).error(),
            RequestRefusal::DeadlineTooLarge);
  CheckpointProtocol exited(kNonce);
  (void)exited.endpoint_exited();
  EXPECT_EQ(exited.begin_request(1, kNow, kDeadline).error(), RequestRefusal::NotIdle);

  CheckpointProtocol answered = awaiting();
  ASSERT_TRUE(answered.ingest(kNow, ack_frame({.status = 3})).acknowledgement.has_value());
  EXPECT_EQ(answered.state(), CheckpointProtocolState::Closed);
  EXPECT_EQ(answered.begin_request(9, kNow, kDeadline).error(), RequestRefusal::NotIdle);
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
  EXPECT_EQ(protocol.state(), CheckpointProtocolState::Accepted);
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
  EXPECT_FALSE(partial.pending_request_id().has_value());
  EXPECT_EQ(partial.ingest(kNow, ack).events, Events{CheckpointEvent::BytesAfterExit});

  CheckpointProtocol cancelled = awaiting();
  cancelled.cancel();
  EXPECT_EQ(cancelled.ingest(kNow, ack).events, Events{CheckpointEvent::Closed});

  CheckpointProtocol idle(kNonce);  // nobody asked for these bytes
  EXPECT_EQ(idle.ingest(kNow, ack).events, Events{CheckpointEvent::Malformed});
}

// A channel whose negotiation went out, with the test playing the client.
struct Pair {
  explicit Pair(bool read_negotiation = true) {
    auto created = CheckpointChannel::pair(kNonce);
    EXPECT_TRUE(created.ok());
    channel.emplace(std::move(created->channel));
    client = std::move(created->child_end);
    EXPECT_TRUE(channel->begin_negotiation().ok());
    uint8_t sent[42];
    if (read_negotiation) {
      EXPECT_EQ(::recv(client.get(), sent, 42, MSG_WAITALL), 42);
    }
  }
  // Sends `reply` in two pieces: nothing is decided on the first.
  Result<bool, CheckpointChannelError> reply(const Bytes& bytes) {
    EXPECT_EQ(::write(client.get(), bytes.data(), 10), 10);
    EXPECT_EQ(channel->poll_ready().value(), false);
    const auto rest = static_cast<ssize_t>(bytes.size() - 10);
    EXPECT_EQ(::write(client.get(), bytes.data() + 10, bytes.size() - 10), rest);
    return channel->poll_ready();
  }
  std::optional<CheckpointChannel> channel;
  UniqueFd client;
};

TEST(CheckpointChannel, NegotiationIsSentOnceAndGatesTheRequest) {
  Pair pair;
  EXPECT_EQ(pair.channel->begin_negotiation().error().kind,
            CheckpointChannelErrorKind::NegotiationFailed);
  EXPECT_TRUE(std::holds_alternative<CheckpointNotNegotiated>(
      pair.channel->begin_request(8, kNow, kDeadline).value()));
  EXPECT_EQ(pair.reply(frame(38, 4, kNonce)).value(), true);
  EXPECT_EQ(pair.channel->poll_ready().value(), true);
}

TEST(CheckpointChannel, BadOrMissingNegotiationReplyFails) {
  Bytes overlong = frame(38, 4, kNonce);
  overlong.push_back(0);
  // One byte too many, our own negotiation echoed back, someone else's nonce.
  for (const Bytes& reply : {overlong, frame(38, 3, kNonce), frame(38, 4, make_nonce(9))}) {
    Pair pair;
    EXPECT_EQ(pair.reply(reply).error().kind, CheckpointChannelErrorKind::NegotiationFailed);
  }
  // The client closes after reading our frame (end of file), or with it
  // unread (the kernel resets the connection instead).
  for (const bool read_first : {true, false}) {
    Pair pair(read_first);
    pair.client.reset();
    EXPECT_EQ(pair.channel->poll_ready().error().kind,
              CheckpointChannelErrorKind::NegotiationFailed);
  }
}

TEST(CheckpointChannel, RequestWriteToAClosedClientFailsAndStaysPending) {
  Pair pair;
  ASSERT_EQ(pair.reply(frame(38, 4, kNonce)).value(), true);
  pair.client.reset();
  auto sent = pair.channel->begin_request(8, kNow, kDeadline);
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().kind, CheckpointChannelErrorKind::RequestWriteFailed);
  EXPECT_EQ(sent.error().os_error, EPIPE);
  // Only the caller decides to cancel.
  EXPECT_EQ(pair.channel->protocol().state(), CheckpointProtocolState::AwaitingAcknowledgement);
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
