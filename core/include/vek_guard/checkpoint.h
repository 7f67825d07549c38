// The checkpoint channel: asking a cooperative client inside the supervised
// command to write a checkpoint before it is terminated.
//
// The channel is a private Unix stream socket pair. The supervisor keeps one
// end, non-blocking, in a `CheckpointChannel`; the child receives the other on
// descriptor 198 (see process_control.h). The conversation is:
//
//   supervisor -> client   negotiation        (carries a 32-byte random nonce)
//   client -> supervisor   negotiation reply  (echoes the nonce: the client
//                                              proves it holds this endpoint)
//   ... later, at most once per run ...
//   supervisor -> client   request            (request id, deadline), followed
//                                              by SIGUSR1 to the endpoint
//   client -> supervisor   acknowledgement    (status, artifact, size)
//
// Wire format (an external interface; every integer big-endian). Each message
// is one frame: a u32 body length N, then N body bytes. Every body starts with
// "VGCP", the version byte 1 and the message kind byte:
//
//   kind 3 negotiation        body 38: header(6) nonce(32)
//   kind 4 negotiation reply  body 38: header(6) nonce(32)
//   kind 1 request            body 54: header(6) nonce(32) request_id(u64)
//                                      deadline_ns(u64, since the run start)
//   kind 2 acknowledgement    body 57: header(6) nonce(32) request_id(u64)
//                                      status(u8) artifact_kind(u8)
//                                      has_size(u8) size_bytes(u64)
//
// Acknowledgement status 1 is accepted, 2 not accepted, 3 not accepted and the
// client closes the protocol. Artifact kind 0 is none, 1 file, 2 directory,
// 3 opaque; with kind 0, has_size and size are 0; with has_size 0, size is 0.
//
// `CheckpointProtocol` is the pure request/acknowledgement state machine (no
// I/O), so every byte-level case is testable with literals;
// `CheckpointChannel` adds the socket, the negotiation and the reads and
// writes. Everything runs on the supervision thread and never blocks.
//
//   auto channel = CheckpointChannel::pair(nonce);        // before the launch
//   channel->channel.begin_negotiation();
//   ... launch with channel->child_end ...
//   while (!*channel->channel.poll_ready()) { ... }       // each loop pass
//   channel->channel.begin_request(id, now, deadline);    // then SIGUSR1
//   auto polled = channel->channel.poll(now);             // each loop pass
#ifndef VEK_GUARD_CHECKPOINT_H_
#define VEK_GUARD_CHECKPOINT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "vek_guard/duration.h"
#include "vek_guard/error.h"
#include "vek_guard/report.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard {

// ---------------------------------------------------------------------------
// Wire constants, shared by the encoder and the decoder.

inline constexpr std::size_t kCheckpointNonceBytes = 32;
using CheckpointNonce = std::array<uint8_t, kCheckpointNonceBytes>;

enum class CheckpointMessageKind : uint8_t {
  Request = 1,
  Acknowledgement = 2,
  Negotiation = 3,
  NegotiationReply = 4,
};

namespace checkpoint_wire {
inline constexpr std::array<uint8_t, 4> kMagic{'V', 'G', 'C', 'P'};
inline constexpr uint8_t kVersion = 1;
// Length prefix of every frame.
inline constexpr std::size_t kLengthBytes = 4;
// magic, version, kind.
inline constexpr std::size_t kHeaderBytes = 6;
inline constexpr std::size_t kNonceOffset = 6;
inline constexpr std::size_t kRequestIdOffset = 38;
inline constexpr std::size_t kDeadlineOffset = 46;
inline constexpr std::size_t kStatusOffset = 46;
inline constexpr std::size_t kArtifactKindOffset = 47;
inline constexpr std::size_t kHasSizeOffset = 48;
inline constexpr std::size_t kSizeOffset = 49;

inline constexpr std::size_t kNegotiationBody = 38;
inline constexpr std::size_t kRequestBody = 54;
inline constexpr std::size_t kAcknowledgementBody = 57;
inline constexpr std::size_t kNegotiationFrame = kLengthBytes + kNegotiationBody;
inline constexpr std::size_t kRequestFrame = kLengthBytes + kRequestBody;
inline constexpr std::size_t kAcknowledgementFrame = kLengthBytes + kAcknowledgementBody;

// A received body longer than this is oversize.
inline constexpr std::size_t kMaxBody = 128;
// The protocol's receive buffer: one frame of the largest allowed body.
inline constexpr std::size_t kReceiveCapacity = kLengthBytes + kMaxBody;
}  // namespace checkpoint_wire

using NegotiationFrame = std::array<uint8_t, checkpoint_wire::kNegotiationFrame>;
using RequestFrame = std::array<uint8_t, checkpoint_wire::kRequestFrame>;

// The 42-byte negotiation frame the supervisor sends first.
NegotiationFrame encode_negotiation(const CheckpointNonce& nonce);

// ---------------------------------------------------------------------------
// Decoded messages and diagnostics.

// The client's answer to the request. Wire values 1 to 3.
enum class AcknowledgementStatus : uint8_t {
  Accepted = 1,
  NotAccepted = 2,
  NotAcceptedClosed = 3,  // not accepted, and the client closes the protocol
};

struct CheckpointAcknowledgement {
  uint64_t request_id = 0;  // never 0 in a decoded acknowledgement
  AcknowledgementStatus status = AcknowledgementStatus::Accepted;
  // Absent for wire artifact kind 0; the report's record for the others.
  std::optional<CheckpointArtifactRecord> artifact;
  CheckpointNonce nonce{};

  friend bool operator==(const CheckpointAcknowledgement&,
                         const CheckpointAcknowledgement&) = default;
};

// Decodes one complete received frame (length prefix included). Valid only
// when, checked in this order: the frame is exactly 61 bytes, its length field
// is 57, magic "VGCP", version 1, kind 2, request id non-zero, status 1 to 3,
// artifact kind 0 with has_size 0 and size 0, or 1 to 3 with has_size 0 and
// size 0, or 1 to 3 with has_size 1 and any size. Anything else is absent
// (malformed). The nonce is not compared here.
std::optional<CheckpointAcknowledgement> decode_acknowledgement(std::span<const uint8_t> frame);

enum class CheckpointProtocolState : uint8_t {
  Idle = 0,                     // no request yet; the only state accepting one
  AwaitingAcknowledgement = 1,  // a request was framed
  Accepted = 2,                 // acknowledged with status 1
  AcknowledgedNotAccepted = 3,  // acknowledged with status 2
  TimedOut = 4,                 // the deadline passed first
  Closed = 5,                   // status 3, endpoint exited, or cancelled
};

// Diagnostics that protocol operations report. None of them fails the
// channel: bad bytes from a client are its problem, not the supervisor's.
enum class CheckpointEvent : uint8_t {
  NonceMismatch = 0,
  RequestNotPending = 1,
  AlreadyAcknowledged = 2,
  Malformed = 3,  // also unexpected or trailing bytes
  Oversize = 4,
  PartialFrameDiscarded = 5,
  TimedOut = 6,
  EndpointExited = 7,
  BytesAfterExit = 8,
  Closed = 9,
};

// Why a request was refused before anything was sent.
enum class RequestRefusal : uint8_t {
  NotIdle = 0,           // a request was already made on this channel
  InvalidRequest = 1,    // id 0, deadline not after now, or endpoint exited
  DeadlineTooLarge = 2,  // the deadline does not fit u64 nanoseconds
};

// What one ingest or poll produced: at most one acknowledgement of the
// pending request, and diagnostics in the order they arose.
struct CheckpointPoll {
  std::optional<CheckpointAcknowledgement> acknowledgement;
  std::vector<CheckpointEvent> events;

  friend bool operator==(const CheckpointPoll&, const CheckpointPoll&) = default;
};

// ---------------------------------------------------------------------------
// The pure protocol.

// The request/acknowledgement state machine of one run. It performs no I/O:
// the channel hands it the bytes it read and sends the frames it returns.
// Transitions: Idle -> AwaitingAcknowledgement (request framed);
// AwaitingAcknowledgement -> Accepted / AcknowledgedNotAccepted / Closed (valid
// acknowledgement with status 1 / 2 / 3), -> TimedOut (deadline reached while
// ingesting); any state -> Closed (endpoint exited, cancel). Nothing returns
// to Idle: a run makes at most one request.
class CheckpointProtocol {
 public:
  explicit CheckpointProtocol(const CheckpointNonce& nonce);

  // Frames a request, checking in this order: the state is Idle (else
  // NotIdle); the id is non-zero, `deadline` is after `now` and the endpoint
  // has not exited (else InvalidRequest); the deadline in whole nanoseconds
  // fits u64 (else DeadlineTooLarge). On success the state becomes
  // AwaitingAcknowledgement with the id pending until the deadline.
  Result<RequestFrame, RequestRefusal> begin_request(uint64_t request_id, Duration now,
                                                     Duration deadline);

  // Takes bytes received from the client (possibly none), first matching
  // rule:
  //  1. after endpoint_exited: [BytesAfterExit];
  //  2. acknowledged (Accepted, AcknowledgedNotAccepted): [AlreadyAcknowledged];
  //  3. Closed: [Closed]; TimedOut: [TimedOut];
  //  4. a deadline is set and now >= deadline: state TimedOut, buffered bytes
  //     dropped, [TimedOut] (the pending id and deadline are kept);
  //  5. Idle: [Malformed] for any bytes (nobody asked for them); nothing when
  //     `bytes` is empty;
  //  6. awaiting: the bytes are buffered (more than 132 buffered: buffer
  //     emptied, [Oversize]). A frame is judged once its length prefix is in:
  //     a length above 128 empties the buffer with [Oversize]; bytes beyond
  //     one complete frame empty it with [Malformed]; an exactly complete frame
  //     is taken out and decoded: [Malformed], [NonceMismatch] or
  //     [RequestNotPending] keep the request pending;
  //  7. a valid acknowledgement of the pending request is returned without
  //     events and moves the state by its status.
  CheckpointPoll ingest(Duration now, std::span<const uint8_t> bytes);

  // The client's end is gone: [PartialFrameDiscarded] when bytes were
  // buffered, then [EndpointExited]. The request is dropped and the state is
  // Closed for good; later ingests report BytesAfterExit.
  std::vector<CheckpointEvent> endpoint_exited();

  // Closes the protocol without events (the channel's cancel).
  void cancel();

  CheckpointProtocolState state() const { return state_; }
  std::optional<uint64_t> pending_request_id() const { return pending_request_id_; }
  std::optional<Duration> deadline() const { return deadline_; }
  bool exited() const { return exited_; }
  std::size_t buffered_bytes() const { return buffered_; }

 private:
  void clear_buffer() { buffered_ = 0; }

  std::optional<uint64_t> pending_request_id_;
  std::array<uint8_t, checkpoint_wire::kReceiveCapacity> buffer_{};
  std::size_t buffered_ = 0;
  std::optional<Duration> deadline_;
  CheckpointNonce nonce_;
  bool exited_ = false;
  CheckpointProtocolState state_ = CheckpointProtocolState::Idle;
};

// ---------------------------------------------------------------------------
// The channel.

enum class CheckpointChannelErrorKind : uint8_t {
  CreationFailed = 0,
  ConfigurationFailed = 1,
  RequestWriteFailed = 2,
  AcknowledgementReadFailed = 3,
  NegotiationFailed = 4,
};

constexpr std::string_view error_message(CheckpointChannelErrorKind kind) {
  switch (kind) {
    case CheckpointChannelErrorKind::CreationFailed:
      return "checkpoint channel creation failed";
    case CheckpointChannelErrorKind::ConfigurationFailed:
      return "checkpoint channel configuration failed";
    case CheckpointChannelErrorKind::RequestWriteFailed:
      return "checkpoint request write failed";
    case CheckpointChannelErrorKind::AcknowledgementReadFailed:
      return "checkpoint acknowledgement read failed";
    case CheckpointChannelErrorKind::NegotiationFailed:
      return "checkpoint channel negotiation failed";
  }
  return "checkpoint channel failed";
}

using CheckpointChannelError = KindError<CheckpointChannelErrorKind>;

// The outcome of CheckpointChannel::begin_request when nothing failed.
struct CheckpointRequestSent {
  friend bool operator==(const CheckpointRequestSent&, const CheckpointRequestSent&) = default;
};
struct CheckpointNotNegotiated {
  friend bool operator==(const CheckpointNotNegotiated&, const CheckpointNotNegotiated&) = default;
};
using CheckpointRequestOutcome =
    std::variant<CheckpointRequestSent, CheckpointNotNegotiated, RequestRefusal>;

class CheckpointChannel;

// What CheckpointChannel::pair creates: the supervisor's channel and the
// child's end of the socket pair (blocking, close-on-exec), to be handed to
// the launch.
struct CheckpointChannelPair;

// The supervisor's side of the checkpoint conversation. Move-only: it owns
// its socket end. Calling order in a run: pair and begin_negotiation before
// the launch; poll_ready each loop pass until it reports true or fails (the
// endpoint is then unavailable); begin_request at most once; poll each pass
// while a request is outstanding; cancel when a sent request cannot be
// followed by the endpoint signal.
//
// Frames are written with exactly one send each, on a non-blocking socket and
// without raising SIGPIPE: a full socket buffer or a closed peer is a write
// failure, never a block or a signal.
class CheckpointChannel {
 public:
  // Creates the socket pair; failure is CreationFailed. The supervisor's end
  // is made non-blocking; failure is ConfigurationFailed (both ends closed).
  static Result<CheckpointChannelPair, CheckpointChannelError> pair(const CheckpointNonce& nonce);

  CheckpointChannel(CheckpointChannel&&) noexcept = default;
  CheckpointChannel& operator=(CheckpointChannel&&) noexcept = default;
  CheckpointChannel(const CheckpointChannel&) = delete;
  CheckpointChannel& operator=(const CheckpointChannel&) = delete;

  // Sends the 42-byte negotiation frame. Sending twice, or after the
  // negotiation completed, is NegotiationFailed; a failed or short write is
  // RequestWriteFailed.
  Result<void, CheckpointChannelError> begin_negotiation();

  // Reads what the client sent of its negotiation reply (one read, at most
  // 42 bytes). True once a reply with length 38, "VGCP", version 1, kind 4
  // and this channel's nonce is complete (and from then on without reading);
  // false while nothing was sent or the reply is incomplete. A closed client
  // end (end of file or a reset connection), more than 42 bytes in all, or
  // any difference in the reply is
  // NegotiationFailed; another read error is AcknowledgementReadFailed.
  Result<bool, CheckpointChannelError> poll_ready();

  // Sends the one request of the run. Not negotiated: CheckpointNotNegotiated
  // and nothing written. A protocol refusal is returned unchanged. A failed or
  // short write is RequestWriteFailed, and the request stays pending in the
  // protocol (the caller decides whether to cancel).
  Result<CheckpointRequestOutcome, CheckpointChannelError> begin_request(uint64_t request_id,
                                                                         Duration now,
                                                                         Duration deadline);

  // While a request is outstanding: checks the deadline first (reporting
  // [TimedOut] without reading), then reads once (at most 132 bytes) and
  // ingests what arrived. End of file and the connection-gone errors
  // (ECONNRESET, ENOTCONN, EPIPE) are the endpoint's exit, reported as
  // events; another read error is AcknowledgementReadFailed. In any other
  // state: nothing.
  Result<CheckpointPoll, CheckpointChannelError> poll(Duration now);

  // Drops any request and closes the protocol (no events), then shuts the
  // socket down in both directions so that the client sees the end; a failed
  // shutdown is ConfigurationFailed.
  Result<void, CheckpointChannelError> cancel();

  const CheckpointProtocol& protocol() const { return protocol_; }
  bool negotiation_sent() const { return negotiation_sent_; }
  bool negotiated() const { return negotiated_; }
  // The supervisor's socket end, for waiting on readability with poll(2).
  // Owned by the channel.
  int fd() const { return socket_.get(); }

 private:
  CheckpointChannel(const CheckpointNonce& nonce, UniqueFd socket);

  CheckpointProtocol protocol_;
  std::array<uint8_t, checkpoint_wire::kNegotiationFrame> reply_{};
  std::size_t reply_buffered_ = 0;
  CheckpointNonce nonce_;
  UniqueFd socket_;
  bool negotiation_sent_ = false;
  bool negotiated_ = false;
};

struct CheckpointChannelPair {
  CheckpointChannel channel;
  UniqueFd child_end;
};

}  // namespace vek_guard

#endif  // VEK_GUARD_CHECKPOINT_H_
