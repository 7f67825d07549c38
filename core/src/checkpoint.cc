#include "vek_guard/checkpoint.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "vek_guard/coding.h"
#include "vek_guard/fd_io.h"

namespace vek_guard {
namespace {

namespace wire = checkpoint_wire;

// Writes the length prefix and the common body header at the start of `out`.
void put_header(uint8_t* out, std::size_t body_bytes, CheckpointMessageKind kind) {
  encode_be32(out, static_cast<uint32_t>(body_bytes));
  uint8_t* body = out + wire::kLengthBytes;
  std::copy(wire::kMagic.begin(), wire::kMagic.end(), body);
  body[4] = wire::kVersion;
  body[5] = static_cast<uint8_t>(kind);
}

// Checks the length prefix and header of a complete frame of `body_bytes`.
bool has_header(std::span<const uint8_t> frame, std::size_t body_bytes,
                CheckpointMessageKind kind) {
  if (frame.size() != wire::kLengthBytes + body_bytes) return false;
  if (decode_be32(frame.data()) != body_bytes) return false;
  const uint8_t* body = frame.data() + wire::kLengthBytes;
  return std::equal(wire::kMagic.begin(), wire::kMagic.end(), body) && body[4] == wire::kVersion &&
         body[5] == static_cast<uint8_t>(kind);
}

bool nonce_matches(const uint8_t* body, const CheckpointNonce& nonce) {
  return std::equal(nonce.begin(), nonce.end(), body + wire::kNonceOffset);
}

// One send of the whole frame. MSG_NOSIGNAL keeps a closed peer from raising
// SIGPIPE even where the process has not ignored it (tests, embedders); the
// socket is non-blocking, so a full buffer fails instead of waiting.
Result<void, CheckpointChannelError> send_frame(int fd, std::span<const uint8_t> frame) {
  const ssize_t written = send_some(fd, frame, MSG_NOSIGNAL);
  if (written < 0) {
    return unexpected(
        CheckpointChannelError{CheckpointChannelErrorKind::RequestWriteFailed, errno});
  }
  // A short write would leave half a frame on the wire; the peer could never
  // resynchronise, so it counts as a failure.
  if (static_cast<std::size_t>(written) != frame.size()) {
    return unexpected(CheckpointChannelError{CheckpointChannelErrorKind::RequestWriteFailed, {}});
  }
  return {};
}

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool connection_gone(int error) {
  return error == ECONNRESET || error == ENOTCONN || error == EPIPE;
}

}  // namespace

NegotiationFrame encode_negotiation(const CheckpointNonce& nonce) {
  NegotiationFrame frame{};
  put_header(frame.data(), wire::kNegotiationBody, CheckpointMessageKind::Negotiation);
  std::copy(nonce.begin(), nonce.end(), frame.data() + wire::kLengthBytes + wire::kNonceOffset);
  return frame;
}

std::optional<CheckpointAcknowledgement> decode_acknowledgement(std::span<const uint8_t> frame) {
  if (!has_header(frame, wire::kAcknowledgementBody, CheckpointMessageKind::Acknowledgement)) {
    return std::nullopt;
  }
  const uint8_t* body = frame.data() + wire::kLengthBytes;
  CheckpointAcknowledgement ack;
  ack.request_id = decode_be64(body + wire::kRequestIdOffset);
  if (ack.request_id == 0) return std::nullopt;

  const uint8_t status = body[wire::kStatusOffset];
  if (status < 1 || status > 3) return std::nullopt;
  ack.status = static_cast<AcknowledgementStatus>(status);

  const uint8_t kind = body[wire::kArtifactKindOffset];
  const uint8_t has_size = body[wire::kHasSizeOffset];
  const uint64_t size = decode_be64(body + wire::kSizeOffset);
  if (kind > 3 || has_size > 1) return std::nullopt;
  // A size is only meaningful when it is flagged as present, and only for a
  // real artifact; anything else is a client bug we refuse to paper over.
  if (has_size == 0 && size != 0) return std::nullopt;
  if (kind == 0) {
    if (has_size != 0) return std::nullopt;
  } else {
    // Wire kinds 1..3 are the report's artifact kinds in order.
    ack.artifact = CheckpointArtifactRecord{
        .kind = static_cast<ArtifactKind>(kind - 1),
        .size_bytes = has_size == 1 ? std::optional<uint64_t>(size) : std::nullopt,
    };
  }
  std::copy(body + wire::kNonceOffset, body + wire::kNonceOffset + kCheckpointNonceBytes,
            ack.nonce.begin());
  return ack;
}

// ---------------------------------------------------------------------------

CheckpointProtocol::CheckpointProtocol(const CheckpointNonce& nonce) : nonce_(nonce) {}

Result<RequestFrame, RequestRefusal> CheckpointProtocol::begin_request(uint64_t request_id,
                                                                       Duration now,
                                                                       Duration deadline) {
  if (state_ != CheckpointProtocolState::Idle) return unexpected(RequestRefusal::NotIdle);
  if (request_id == 0 || deadline <= now || exited_) {
    return unexpected(RequestRefusal::InvalidRequest);
  }
  const std::optional<uint64_t> deadline_ns = deadline.as_nanos_checked();
  if (!deadline_ns) return unexpected(RequestRefusal::DeadlineTooLarge);

  RequestFrame frame{};
  put_header(frame.data(), wire::kRequestBody, CheckpointMessageKind::Request);
  uint8_t* body = frame.data() + wire::kLengthBytes;
  std::copy(nonce_.begin(), nonce_.end(), body + wire::kNonceOffset);
  encode_be64(body + wire::kRequestIdOffset, request_id);
  encode_be64(body + wire::kDeadlineOffset, *deadline_ns);

  state_ = CheckpointProtocolState::AwaitingAcknowledgement;
  pending_request_id_ = request_id;
  deadline_ = deadline;
  return frame;
}

CheckpointPoll CheckpointProtocol::ingest(Duration now, std::span<const uint8_t> bytes) {
  CheckpointPoll result;
  auto only = [&result](CheckpointEvent event) {
    result.events.push_back(event);
    return std::move(result);
  };

  if (exited_) return only(CheckpointEvent::BytesAfterExit);
  switch (state_) {
    case CheckpointProtocolState::Accepted:
    case CheckpointProtocolState::AcknowledgedNotAccepted:
      return only(CheckpointEvent::AlreadyAcknowledged);
    case CheckpointProtocolState::Closed:
      return only(CheckpointEvent::Closed);
    case CheckpointProtocolState::TimedOut:
      return only(CheckpointEvent::TimedOut);
    case CheckpointProtocolState::Idle:
    case CheckpointProtocolState::AwaitingAcknowledgement:
      break;
  }
  // The deadline is judged before the bytes: an acknowledgement that arrives
  // late is late, however well-formed.
  if (deadline_ && now >= *deadline_) {
    state_ = CheckpointProtocolState::TimedOut;
    clear_buffer();
    return only(CheckpointEvent::TimedOut);
  }
  if (state_ == CheckpointProtocolState::Idle) {
    if (bytes.empty()) return result;
    return only(CheckpointEvent::Malformed);
  }

  if (bytes.size() > buffer_.size() - buffered_) {
    clear_buffer();
    return only(CheckpointEvent::Oversize);
  }
  std::copy(bytes.begin(), bytes.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(buffered_));
  buffered_ += bytes.size();

  if (buffered_ < wire::kLengthBytes) return result;
  const uint32_t body_bytes = decode_be32(buffer_.data());
  if (body_bytes > wire::kMaxBody) {
    clear_buffer();
    return only(CheckpointEvent::Oversize);
  }
  const std::size_t frame_bytes = wire::kLengthBytes + body_bytes;
  if (buffered_ < frame_bytes) return result;
  if (buffered_ > frame_bytes) {
    // The client may send one acknowledgement and nothing else; bytes after
    // it mean the stream cannot be trusted to be framed where we think.
    clear_buffer();
    return only(CheckpointEvent::Malformed);
  }

  const std::optional<CheckpointAcknowledgement> ack =
      decode_acknowledgement(std::span<const uint8_t>(buffer_.data(), frame_bytes));
  clear_buffer();
  if (!ack) return only(CheckpointEvent::Malformed);
  if (ack->nonce != nonce_) return only(CheckpointEvent::NonceMismatch);
  if (!pending_request_id_ || *pending_request_id_ != ack->request_id) {
    return only(CheckpointEvent::RequestNotPending);
  }

  pending_request_id_.reset();
  deadline_.reset();
  switch (ack->status) {
    case AcknowledgementStatus::Accepted:
      state_ = CheckpointProtocolState::Accepted;
      break;
    case AcknowledgementStatus::NotAccepted:
      state_ = CheckpointProtocolState::AcknowledgedNotAccepted;
      break;
    case AcknowledgementStatus::NotAcceptedClosed:
      state_ = CheckpointProtocolState::Closed;
      break;
  }
  result.acknowledgement = ack;
  return result;
}

std::vector<CheckpointEvent> CheckpointProtocol::endpoint_exited() {
  std::vector<CheckpointEvent> events;
  if (buffered_ > 0) events.push_back(CheckpointEvent::PartialFrameDiscarded);
  events.push_back(CheckpointEvent::EndpointExited);
  clear_buffer();
  pending_request_id_.reset();
  deadline_.reset();
  exited_ = true;
  state_ = CheckpointProtocolState::Closed;
  return events;
}

void CheckpointProtocol::cancel() {
  clear_buffer();
  pending_request_id_.reset();
  deadline_.reset();
  state_ = CheckpointProtocolState::Closed;
}

// ---------------------------------------------------------------------------

CheckpointChannel::CheckpointChannel(const CheckpointNonce& nonce, UniqueFd socket)
    : protocol_(nonce), nonce_(nonce), socket_(std::move(socket)) {}

Result<CheckpointChannelPair, CheckpointChannelError> CheckpointChannel::pair(
    const CheckpointNonce& nonce) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    return unexpected(CheckpointChannelError{CheckpointChannelErrorKind::CreationFailed, errno});
  }
  UniqueFd ours(ends[0]);
  UniqueFd theirs(ends[1]);
  const int flags = ::fcntl(ours.get(), F_GETFL);
  if (flags < 0 || ::fcntl(ours.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return unexpected(
        CheckpointChannelError{CheckpointChannelErrorKind::ConfigurationFailed, errno});
  }
  return CheckpointChannelPair{CheckpointChannel(nonce, std::move(ours)), std::move(theirs)};
}

Result<void, CheckpointChannelError> CheckpointChannel::begin_negotiation() {
  if (negotiation_sent_ || negotiated_) {
    return unexpected(CheckpointChannelError{CheckpointChannelErrorKind::NegotiationFailed, {}});
  }
  const NegotiationFrame frame = encode_negotiation(nonce_);
  if (auto sent = send_frame(socket_.get(), frame); !sent) return sent;
  negotiation_sent_ = true;
  return {};
}

Result<bool, CheckpointChannelError> CheckpointChannel::poll_ready() {
  if (negotiated_) return true;
  if (!negotiation_sent_) return false;

  const auto failed = [this] {
    reply_buffered_ = 0;
    return unexpected(CheckpointChannelError{CheckpointChannelErrorKind::NegotiationFailed, {}});
  };
  // Read up to a whole frame even when part of it is buffered, so that a
  // client that sends more than the reply is caught rather than left unread.
  std::array<uint8_t, wire::kNegotiationFrame> chunk;
  const ssize_t got = read_some(socket_.get(), chunk.data(), chunk.size());
  if (got < 0) {
    if (would_block(errno)) return false;
    // A client that closes without reading our frame makes the kernel reset
    // the connection instead of delivering end of file; either way the client
    // is gone, which is a failed negotiation, not a failed read.
    if (connection_gone(errno)) return failed();
    return unexpected(
        CheckpointChannelError{CheckpointChannelErrorKind::AcknowledgementReadFailed, errno});
  }
  if (got == 0) return failed();
  const auto received = static_cast<std::size_t>(got);
  if (received > reply_.size() - reply_buffered_) return failed();
  std::copy_n(chunk.begin(), received,
              reply_.begin() + static_cast<std::ptrdiff_t>(reply_buffered_));
  reply_buffered_ += received;
  if (reply_buffered_ < reply_.size()) return false;

  if (!has_header(reply_, wire::kNegotiationBody, CheckpointMessageKind::NegotiationReply) ||
      !nonce_matches(reply_.data() + wire::kLengthBytes, nonce_)) {
    return failed();
  }
  reply_buffered_ = 0;
  negotiated_ = true;
  return true;
}

Result<CheckpointRequestOutcome, CheckpointChannelError> CheckpointChannel::begin_request(
    uint64_t request_id, Duration now, Duration deadline) {
  if (!negotiated_) return CheckpointRequestOutcome(CheckpointNotNegotiated{});
  Result<RequestFrame, RequestRefusal> frame = protocol_.begin_request(request_id, now, deadline);
  if (!frame) return CheckpointRequestOutcome(frame.error());
  if (auto sent = send_frame(socket_.get(), *frame); !sent) return unexpected(sent.error());
  return CheckpointRequestOutcome(CheckpointRequestSent{});
}

Result<CheckpointPoll, CheckpointChannelError> CheckpointChannel::poll(Duration now) {
  if (protocol_.state() != CheckpointProtocolState::AwaitingAcknowledgement) {
    return CheckpointPoll{};
  }
  // A passed deadline is reported without touching the socket, so an
  // acknowledgement that arrives too late is never read as a success.
  CheckpointPoll timed = protocol_.ingest(now, {});
  if (!timed.events.empty() || timed.acknowledgement) return timed;

  std::array<uint8_t, wire::kReceiveCapacity> chunk;
  const ssize_t got = read_some(socket_.get(), chunk.data(), chunk.size());
  if (got < 0) {
    const int error = errno;
    if (would_block(error)) return CheckpointPoll{};
    if (connection_gone(error)) {
      return CheckpointPoll{.acknowledgement = std::nullopt, .events = protocol_.endpoint_exited()};
    }
    return unexpected(
        CheckpointChannelError{CheckpointChannelErrorKind::AcknowledgementReadFailed, error});
  }
  if (got == 0) {
    return CheckpointPoll{.acknowledgement = std::nullopt, .events = protocol_.endpoint_exited()};
  }
  return protocol_.ingest(now,
                          std::span<const uint8_t>(chunk.data(), static_cast<std::size_t>(got)));
}

Result<void, CheckpointChannelError> CheckpointChannel::cancel() {
  protocol_.cancel();
  if (::shutdown(socket_.get(), SHUT_RDWR) != 0) {
    return unexpected(
        CheckpointChannelError{CheckpointChannelErrorKind::ConfigurationFailed, errno});
  }
  return {};
}

}  // namespace vek_guard
