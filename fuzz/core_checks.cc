#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "checks.h"
#include "reference_decoder.h"
#include "vek_guard/checkpoint.h"
#include "vek_guard/coding.h"
#include "vek_guard/fd_io.h"
#include "vek_guard/journal.h"
#include "vek_guard/journal_reader.h"
#include "vek_guard/journal_record.h"
#include "vek_guard/json_reader.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard::fuzz {
namespace {

namespace wire = checkpoint_wire;

CheckResult fail(std::string message) { return unexpected(std::move(message)); }

std::span<const uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// ---------------------------------------------------------------------------
// Journal files.

// A private directory for the journal files, made on first use and removed
// when the process ends normally.
class ScratchFile {
 public:
  ScratchFile() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = (base != nullptr && *base != '\0') ? base : "/tmp";
    pattern += "/vek-guard-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) {
      directory_ = pattern;
      path_ = directory_ + "/journal";
    }
  }
  ~ScratchFile() {
    if (directory_.empty()) return;
    ::unlink(path_.c_str());
    ::rmdir(directory_.c_str());
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Replaces the file's contents with `data` (mode 0600) and opens it for
  // reading; an empty descriptor when the scratch space is unusable.
  UniqueFd write_and_open(std::span<const uint8_t> data) const {
    if (directory_.empty()) return UniqueFd();
    ::unlink(path_.c_str());
    UniqueFd out(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!out.valid() || ::fchmod(out.get(), 0600) != 0) return UniqueFd();
    if (write_all(out.get(), data.data(), data.size()) != 0) return UniqueFd();
    return UniqueFd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  }

 private:
  std::string directory_;
  std::string path_;
};

// What a journal reader must make of a file, worked out directly on the
// bytes: the payloads whose frames check out (and that the record filter
// takes), and how the file ends.
struct ExpectedJournal {
  std::optional<StorageErrorKind> error;
  std::vector<std::span<const uint8_t>> payloads;
  JournalTail tail = JournalTail::Clean;
};

// Whether `payload` is the record a journal holds at `index`: a record of the
// current version carrying that sequence.
bool is_record_at(std::span<const uint8_t> payload, std::size_t index) {
  Result<JournalRecord, JournalDecodeError> record = decode_journal_record(payload);
  return record && record->version == kJournalRecordVersion && record->sequence == index;
}

ExpectedJournal expected_journal(std::span<const uint8_t> file) {
  ExpectedJournal expected;
  if (file.size() < kJournalMagic.size()) {
    expected.error = StorageErrorKind::ReadFailed;
    return expected;
  }
  if (!std::equal(kJournalMagic.begin(), kJournalMagic.end(), file.begin(),
                  [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; })) {
    expected.error = StorageErrorKind::InvalidRecord;
    return expected;
  }
  std::size_t at = kJournalMagic.size();
  for (;;) {
    const std::size_t left = file.size() - at;
    if (left == 0) {
      expected.tail = JournalTail::Clean;
      return expected;
    }
    if (left < 4) {
      expected.tail = JournalTail::Truncated;
      return expected;
    }
    const uint32_t length = decode_be32(file.data() + at);
    if (length > kMaxJournalPayloadBytes || expected.payloads.size() >= kMaxJournalRecords) {
      expected.tail = JournalTail::Corrupt;
      return expected;
    }
    if (left - 4 < uint64_t{length} + 4) {
      expected.tail = JournalTail::Truncated;
      return expected;
    }
    const std::span<const uint8_t> payload = file.subspan(at + 4, length);
    const uLong crc = ::crc32(::crc32(0L, Z_NULL, 0), payload.data(), static_cast<uInt>(length));
    if (static_cast<uint32_t>(crc) != decode_be32(file.data() + at + 4 + length) ||
        !is_record_at(payload, expected.payloads.size())) {
      expected.tail = JournalTail::Corrupt;
      return expected;
    }
    expected.payloads.push_back(payload);
    at += 8 + length;
  }
}

// The journal's record reader on the same file: the records of the frames
// that checked out, in order, and the same tail; rebuilding a report from
// them either fails or gives a valid report.
CheckResult check_recovery(UniqueFd fd, const ExpectedJournal& expected) {
  if (!fd.valid()) return fail("cannot reopen the scratch journal file");
  Result<JournalRecovery, StorageError> recovery = read_journal(std::move(fd));
  if (expected.error) {
    if (recovery || recovery.error().kind != *expected.error) {
      return fail("read_journal took a file without a valid start");
    }
    return {};
  }
  if (!recovery) return fail("read_journal failed: " + std::string(recovery.error().message()));
  if (recovery->tail != expected.tail) return fail("read_journal ended with another tail");
  if (recovery->records.size() != expected.payloads.size()) {
    return fail("read_journal returned " + std::to_string(recovery->records.size()) +
                " records, expected " + std::to_string(expected.payloads.size()));
  }
  for (std::size_t i = 0; i < expected.payloads.size(); ++i) {
    const JournalRecord& record = recovery->records[i];
    Result<JournalRecord, JournalDecodeError> decoded = decode_journal_record(expected.payloads[i]);
    if (record.sequence != i || record.version != kJournalRecordVersion || !decoded ||
        !(*decoded == record)) {
      return fail("read_journal record " + std::to_string(i) + " is not the frame's record");
    }
  }
  if (Result<ReportV1, StorageError> report = recovery->to_report(); report) {
    if (recovery->tail != JournalTail::Clean) return fail("a report from a damaged journal");
    if (!report->validate()) return fail("to_report gave a report that does not validate");
  }
  return {};
}

// ---------------------------------------------------------------------------
// Checkpoint frames.

// An acknowledgement as the wire describes it, decoded here without the
// module's decoder so that the two can be compared.
std::optional<CheckpointAcknowledgement> reference_acknowledgement(std::span<const uint8_t> frame) {
  if (frame.size() != 61 || decode_be32(frame.data()) != 57) return std::nullopt;
  if (frame[4] != 'V' || frame[5] != 'G' || frame[6] != 'C' || frame[7] != 'P' || frame[8] != 1 ||
      frame[9] != 2) {
    return std::nullopt;
  }
  CheckpointAcknowledgement ack;
  std::copy_n(frame.begin() + 10, 32, ack.nonce.begin());
  ack.request_id = decode_be64(frame.data() + 42);
  const uint8_t status = frame[50];
  const uint8_t kind = frame[51];
  const uint8_t has_size = frame[52];
  const uint64_t size = decode_be64(frame.data() + 53);
  if (ack.request_id == 0 || status < 1 || status > 3 || kind > 3 || has_size > 1) {
    return std::nullopt;
  }
  if ((kind == 0 || has_size == 0) && (has_size != 0 || size != 0)) return std::nullopt;
  ack.status = static_cast<AcknowledgementStatus>(status);
  if (kind != 0) {
    ack.artifact = CheckpointArtifactRecord{.kind = static_cast<ArtifactKind>(kind - 1)};
    if (has_size == 1) ack.artifact->size_bytes = size;
  }
  return ack;
}

// The protocol's receive rules while a request is pending, kept apart from
// the module: what one ingest of `bytes` must report.
class ReferenceReceiver {
 public:
  CheckpointPoll ingest(std::span<const uint8_t> bytes, const CheckpointNonce& nonce,
                        uint64_t pending_id) {
    CheckpointPoll poll;
    if (buffer_.size() + bytes.size() > 132) {
      buffer_.clear();
      poll.events.push_back(CheckpointEvent::Oversize);
      return poll;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    if (buffer_.size() < 4) return poll;
    const uint64_t frame = 4 + uint64_t{decode_be32(buffer_.data())};
    if (frame > 4 + 128) {
      buffer_.clear();
      poll.events.push_back(CheckpointEvent::Oversize);
      return poll;
    }
    if (buffer_.size() < frame) return poll;
    const std::vector<uint8_t> taken = std::move(buffer_);
    buffer_.clear();
    if (taken.size() > frame) {
      poll.events.push_back(CheckpointEvent::Malformed);
      return poll;
    }
    std::optional<CheckpointAcknowledgement> ack = reference_acknowledgement(taken);
    if (!ack) {
      poll.events.push_back(CheckpointEvent::Malformed);
    } else if (ack->nonce != nonce) {
      poll.events.push_back(CheckpointEvent::NonceMismatch);
    } else if (ack->request_id != pending_id) {
      poll.events.push_back(CheckpointEvent::RequestNotPending);
    } else {
      poll.acknowledgement = std::move(ack);
    }
    return poll;
  }

  std::size_t buffered() const { return buffer_.size(); }
  void clear() { buffer_.clear(); }

 private:
  std::vector<uint8_t> buffer_;
};

const char* state_name(CheckpointProtocolState state) {
  switch (state) {
    case CheckpointProtocolState::Idle:
      return "Idle";
    case CheckpointProtocolState::AwaitingAcknowledgement:
      return "AwaitingAcknowledgement";
    case CheckpointProtocolState::Accepted:
      return "Accepted";
    case CheckpointProtocolState::AcknowledgedNotAccepted:
      return "AcknowledgedNotAccepted";
    case CheckpointProtocolState::TimedOut:
      return "TimedOut";
    case CheckpointProtocolState::Closed:
      return "Closed";
  }
  return "?";
}

CheckpointProtocolState state_after(AcknowledgementStatus status) {
  switch (status) {
    case AcknowledgementStatus::Accepted:
      return CheckpointProtocolState::Accepted;
    case AcknowledgementStatus::NotAccepted:
      return CheckpointProtocolState::AcknowledgedNotAccepted;
    case AcknowledgementStatus::NotAcceptedClosed:
      break;
  }
  return CheckpointProtocolState::Closed;
}

std::string describe(const CheckpointPoll& poll) {
  std::string text = poll.acknowledgement ? "ack" : "no ack";
  text += " events [";
  for (const CheckpointEvent event : poll.events) {
    text += std::to_string(static_cast<int>(event));
    text += ' ';
  }
  text += ']';
  return text;
}

// ---------------------------------------------------------------------------
// Negotiation replies.

// The supervisor's socket as the client's writes fill it and poll_ready
// drains it, with the reply rules applied to what is taken.
class ReferenceNegotiation {
 public:
  enum class Outcome { NotYet, Ready, Failed };

  void written(std::span<const uint8_t> bytes) {
    queue_.insert(queue_.end(), bytes.begin(), bytes.end());
  }
  void client_closed() { closed_ = true; }

  Outcome poll(const std::vector<uint8_t>& valid_reply) {
    if (ready_) return Outcome::Ready;
    const std::size_t taken = std::min<std::size_t>(42, queue_.size());
    if (taken == 0) return closed_ ? Outcome::Failed : Outcome::NotYet;
    if (taken > 42 - reply_.size()) return Outcome::Failed;
    reply_.insert(reply_.end(), queue_.begin(),
                  queue_.begin() + static_cast<std::ptrdiff_t>(taken));
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(taken));
    if (reply_.size() < 42) return Outcome::NotYet;
    if (reply_ != valid_reply) return Outcome::Failed;
    ready_ = true;
    return Outcome::Ready;
  }

 private:
  std::deque<uint8_t> queue_;
  std::vector<uint8_t> reply_;
  bool closed_ = false;
  bool ready_ = false;
};

}  // namespace

CheckpointNonce fuzz_nonce() {
  CheckpointNonce nonce{};
  for (std::size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<uint8_t>(0xA0 + i);
  return nonce;
}

CheckResult check_journal_record(std::span<const uint8_t> data) {
  Result<JournalRecord, JournalDecodeError> first = decode_journal_record(data);
  if (!first) return {};
  const std::string text = encode_journal_record(*first);
  Result<JournalRecord, JournalDecodeError> second = decode_journal_record(as_bytes(text));
  if (!second) return fail("the encoding of a decoded record does not decode: " + text);
  if (!(*second == *first)) return fail("a record changed through encoding: " + text);
  const std::string again = encode_journal_record(*second);
  if (again != text) return fail("the encoding is not stable: " + text + " then " + again);
  return {};
}

namespace {

// Where the JSON number token starting at `at` ends, by RFC 8259's grammar
// (minus sign, integer part without leading zeros, fraction, exponent), or
// npos when no token starts there.
std::size_t number_token_end(std::string_view text, std::size_t at) {
  const auto digit = [&](std::size_t i) {
    return i < text.size() && text[i] >= '0' && text[i] <= '9';
  };
  if (at < text.size() && text[at] == '-') ++at;
  if (!digit(at)) return std::string_view::npos;
  if (text[at] == '0') {
    ++at;
  } else {
    while (digit(at)) ++at;
  }
  if (at < text.size() && text[at] == '.') {
    if (!digit(++at)) return std::string_view::npos;
    while (digit(at)) ++at;
  }
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    if (!digit(at)) return std::string_view::npos;
    while (digit(at)) ++at;
  }
  return at;
}

// The payload with every number token beyond a double's range (1e400, a
// 400-digit integer; strtod gives an infinity) written as 1e308 of the same
// sign; strings are copied as they are. The old decoder refused such a token
// wherever it stood. The in-place reader takes a number by its syntax alone
// and only a field asks what it holds; and every field refuses the token and
// its stand-in alike (an exponent, or a value beyond 64 bits), so the old
// decoder must decide the rewritten payload as the in-place one decides the
// original. A malformed text stays malformed: only tokens are replaced, by
// tokens.
std::string with_numbers_in_double_range(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const char c = text[at];
    if (c == '"') {
      std::size_t close = at + 1;
      while (close < text.size() && text[close] != '"') close += text[close] == '\\' ? 2 : 1;
      close = std::min(close + 1, text.size());
      out.append(text.substr(at, close - at));
      at = close;
      continue;
    }
    const std::size_t end =
        (c == '-' || (c >= '0' && c <= '9')) ? number_token_end(text, at) : std::string_view::npos;
    if (end == std::string_view::npos) {
      out.push_back(c);
      ++at;
      continue;
    }
    const std::string token(text.substr(at, end - at));
    if (std::isinf(std::strtod(token.c_str(), nullptr))) {
      out.append(c == '-' ? "-1e308" : "1e308");
    } else {
      out.append(token);
    }
    at = end;
  }
  return out;
}

}  // namespace

CheckResult check_journal_record_decoders(std::span<const uint8_t> data) {
  static JsonReader reused({});
  const Result<JournalRecord, JournalDecodeError> fresh = decode_journal_record(data);
  const Result<JournalRecord, JournalDecodeError> again = decode_journal_record(data, reused);
  if (fresh.ok() != again.ok() || (fresh.ok() && !(*fresh == *again))) {
    return fail("a reused reader decodes differently from a fresh one");
  }

  const std::string in_range = with_numbers_in_double_range(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
  const reference::ReferenceDecode old = reference::reference_decode(as_bytes(in_range), true);
  const reference::ReferenceDecode unlimited =
      reference::reference_decode(as_bytes(in_range), false);
  const bool expected = unlimited.record.has_value() &&
                        reference::direct_form_depth(*unlimited.tree) < kMaxJsonNesting;
  if (old.record && !expected) return fail("the reference decoders disagree");
  if (fresh.ok() != expected) {
    return fail(std::string("in place: ") + (fresh.ok() ? "accepted" : "refused") +
                "; old decoder: " + (old.record ? "accepted" : "refused") +
                "; old without budget: " + (unlimited.record ? "accepted" : "refused"));
  }
  if (fresh.ok() && !(*fresh == *unlimited.record)) {
    return fail("decoded a different record: " + encode_journal_record(*fresh) + " instead of " +
                encode_journal_record(*unlimited.record));
  }
  return {};
}

CheckResult check_journal_file(std::span<const uint8_t> data) {
  static const ScratchFile scratch;
  UniqueFd fd = scratch.write_and_open(data);
  if (!fd.valid()) return fail("cannot write the scratch journal file");

  const ExpectedJournal expected = expected_journal(data);
  std::vector<std::vector<uint8_t>> payloads;
  std::vector<uint64_t> sequences;
  Result<JournalTail, StorageError> tail =
      read_journal_frames(std::move(fd), [&](std::span<const uint8_t> payload) {
        payloads.emplace_back(payload.begin(), payload.end());
        Result<JournalRecord, JournalDecodeError> record = decode_journal_record(payload);
        if (!record || record->version != kJournalRecordVersion ||
            record->sequence != sequences.size()) {
          return false;
        }
        sequences.push_back(record->sequence);
        return true;
      });

  if (expected.error) {
    if (tail) return fail("a file without a valid start was read");
    if (tail.error().kind != *expected.error) return fail("wrong error for a bad start");
    return check_recovery(scratch.write_and_open(data), expected);
  }
  if (!tail) return fail(std::string("reading failed: ") + std::string(tail.error().message()));
  if (*tail != expected.tail) {
    return fail("tail " + std::to_string(static_cast<int>(*tail)) + ", expected " +
                std::to_string(static_cast<int>(expected.tail)));
  }
  // Every payload handed over is one that checked out, in file order; a
  // refused one may follow them (it made the tail corrupt).
  if (sequences.size() != expected.payloads.size()) {
    return fail("accepted " + std::to_string(sequences.size()) + " records, expected " +
                std::to_string(expected.payloads.size()));
  }
  for (std::size_t i = 0; i < expected.payloads.size(); ++i) {
    if (!std::equal(payloads[i].begin(), payloads[i].end(), expected.payloads[i].begin(),
                    expected.payloads[i].end())) {
      return fail("payload " + std::to_string(i) + " differs from the file's frame");
    }
    if (sequences[i] != i) return fail("records are not numbered 0..n-1");
  }
  if (payloads.size() > expected.payloads.size() + 1) return fail("payloads after a refusal");
  return check_recovery(scratch.write_and_open(data), expected);
}

CheckResult check_checkpoint_ingest(std::span<const uint8_t> data) {
  const CheckpointNonce nonce = fuzz_nonce();
  const Duration deadline = Duration::from_millis(kFuzzDeadlineMs);
  CheckpointProtocol protocol(nonce);
  if (!protocol.begin_request(kFuzzRequestId, Duration::zero(), deadline)) {
    return fail("the request was refused");
  }
  if (protocol.begin_request(kFuzzRequestId + 1, Duration::zero(), deadline)) {
    return fail("a second request was framed");
  }

  ReferenceReceiver reference;
  std::vector<uint8_t> stream;
  uint64_t now_ms = 0;
  int acknowledgements = 0;
  std::size_t at = 0;
  while (at < data.size()) {
    const uint8_t control = data[at++];
    const uint8_t advance = at < data.size() ? data[at++] : 0;
    const std::size_t length = std::min<std::size_t>(control & 0x7F, data.size() - at);
    const std::span<const uint8_t> chunk = data.subspan(at, length);
    at += length;
    now_ms += advance;

    const CheckpointProtocolState before = protocol.state();
    const bool was_exited = protocol.exited();
    const CheckpointPoll poll = protocol.ingest(Duration::from_millis(now_ms), chunk);
    stream.insert(stream.end(), chunk.begin(), chunk.end());
    const CheckpointProtocolState after = protocol.state();
    // Only built when a check fails: the fuzzer runs this loop millions of times.
    const auto at_step = [&](std::string_view what) {
      return std::string(what) + " " + state_name(before) + " -> " + state_name(after) + " at " +
             std::to_string(now_ms) + "ms: " + describe(poll);
    };

    if (protocol.buffered_bytes() > wire::kReceiveCapacity) return fail(at_step("buffer overrun"));
    // Whatever frame the stream ends with, the module's decoder must read it
    // as the wire format says.
    if (stream.size() >= wire::kAcknowledgementFrame) {
      const std::span<const uint8_t> last(stream.data() + stream.size() - 61, 61);
      if (decode_acknowledgement(last) != reference_acknowledgement(last)) {
        return fail(at_step("decode_acknowledgement disagrees with the wire format"));
      }
    }
    if (after == CheckpointProtocolState::Idle) return fail(at_step("back to idle"));

    if (before != CheckpointProtocolState::AwaitingAcknowledgement) {
      // Nothing is pending: the state stays and the bytes are only reported.
      CheckpointEvent only = CheckpointEvent::Closed;
      if (was_exited) {
        only = CheckpointEvent::BytesAfterExit;
      } else if (before == CheckpointProtocolState::Accepted ||
                 before == CheckpointProtocolState::AcknowledgedNotAccepted) {
        only = CheckpointEvent::AlreadyAcknowledged;
      } else if (before == CheckpointProtocolState::TimedOut) {
        only = CheckpointEvent::TimedOut;
      }
      if (after != before || poll.acknowledgement ||
          poll.events != std::vector<CheckpointEvent>{only}) {
        return fail(at_step("settled protocol changed"));
      }
    } else if (now_ms >= kFuzzDeadlineMs) {
      reference.clear();
      if (after != CheckpointProtocolState::TimedOut || poll.acknowledgement ||
          poll.events != std::vector<CheckpointEvent>{CheckpointEvent::TimedOut} ||
          protocol.buffered_bytes() != 0) {
        return fail(at_step("no timeout at the deadline"));
      }
    } else {
      const CheckpointPoll expected = reference.ingest(chunk, nonce, kFuzzRequestId);
      if (!(poll == expected)) return fail(at_step("expected " + describe(expected) + ", got"));
      if (protocol.buffered_bytes() != reference.buffered()) {
        return fail(at_step("buffered " + std::to_string(protocol.buffered_bytes()) +
                            ", expected " + std::to_string(reference.buffered())));
      }
      if (poll.acknowledgement) {
        ++acknowledgements;
        const CheckpointAcknowledgement& ack = *poll.acknowledgement;
        if (acknowledgements > 1) return fail(at_step("second acknowledgement"));
        if (ack.request_id != kFuzzRequestId || ack.nonce != nonce) {
          return fail(at_step("acknowledgement of another request"));
        }
        if (after != state_after(ack.status)) return fail(at_step("wrong state for the status"));
        if (stream.size() < wire::kAcknowledgementFrame) return fail(at_step("ack from nothing"));
        const std::span<const uint8_t> last(stream.data() + stream.size() - 61, 61);
        if (decode_acknowledgement(last) != poll.acknowledgement) {
          return fail(at_step("the acknowledgement is not the stream's last frame"));
        }
      } else if (after != CheckpointProtocolState::AwaitingAcknowledgement ||
                 protocol.pending_request_id() != kFuzzRequestId) {
        return fail(at_step("left waiting without an acknowledgement"));
      }
    }

    if ((control & 0x80) != 0 && !protocol.exited()) {
      const bool had_bytes = protocol.buffered_bytes() > 0;
      const std::vector<CheckpointEvent> events = protocol.endpoint_exited();
      std::vector<CheckpointEvent> expected;
      if (had_bytes) expected.push_back(CheckpointEvent::PartialFrameDiscarded);
      expected.push_back(CheckpointEvent::EndpointExited);
      reference.clear();
      if (events != expected || protocol.state() != CheckpointProtocolState::Closed ||
          protocol.buffered_bytes() != 0 || protocol.pending_request_id()) {
        return fail(at_step("endpoint exit not handled"));
      }
    }
  }

  return {};
}

CheckResult check_negotiation_reply(std::span<const uint8_t> data) {
  Result<CheckpointChannelPair, CheckpointChannelError> pair =
      CheckpointChannel::pair(fuzz_nonce());
  if (!pair) return fail("cannot create the channel");
  CheckpointChannel& channel = pair->channel;
  UniqueFd child = std::move(pair->child_end);
  if (!channel.begin_negotiation()) return fail("cannot send the negotiation");

  // The client's side first receives exactly the negotiation frame.
  std::array<uint8_t, wire::kNegotiationFrame + 1> received{};
  const ssize_t got = ::recv(child.get(), received.data(), received.size(), MSG_DONTWAIT);
  const NegotiationFrame sent = encode_negotiation(fuzz_nonce());
  if (got != static_cast<ssize_t>(sent.size()) ||
      !std::equal(sent.begin(), sent.end(), received.begin())) {
    return fail("the client did not receive the negotiation frame");
  }

  const std::vector<uint8_t> valid = negotiation_reply_frame();
  ReferenceNegotiation reference;
  using Outcome = ReferenceNegotiation::Outcome;
  int polls = 0;
  // One poll on both sides; the outcome when they agree.
  auto poll_both = [&]() -> Result<Outcome, std::string> {
    ++polls;
    const Outcome expected = reference.poll(valid);
    Result<bool, CheckpointChannelError> ready = channel.poll_ready();
    Outcome actual = Outcome::Failed;
    if (ready) {
      actual = *ready ? Outcome::Ready : Outcome::NotYet;
    } else if (ready.error().kind != CheckpointChannelErrorKind::NegotiationFailed) {
      return unexpected(std::string("unexpected channel error: ") +
                        std::string(ready.error().message()));
    }
    if (actual != expected) {
      return unexpected("poll " + std::to_string(polls) + " gave " +
                        std::to_string(static_cast<int>(actual)) + ", expected " +
                        std::to_string(static_cast<int>(expected)));
    }
    if ((actual == Outcome::Ready) != channel.negotiated()) {
      return unexpected(std::string("negotiated() disagrees with poll_ready"));
    }
    return actual;
  };

  std::size_t at = 0;
  Outcome outcome = Outcome::NotYet;
  while (at < data.size() && outcome == Outcome::NotYet) {
    const uint8_t control = data[at++];
    const std::size_t length = std::min<std::size_t>(control & 0x3F, data.size() - at);
    if (length > 0) {
      const ssize_t wrote =
          ::send(child.get(), data.data() + at, length, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (wrote < 0) return fail("the client's write failed");
      reference.written(data.subspan(at, static_cast<std::size_t>(wrote)));
    }
    at += length;
    for (int i = 0; i < ((control & 0x40) != 0 ? 2 : 1) && outcome == Outcome::NotYet; ++i) {
      Result<Outcome, std::string> polled = poll_both();
      if (!polled) return fail(polled.error());
      outcome = *polled;
    }
  }
  if (outcome == Outcome::Ready) {
    // Settled: no further reads, whatever the client does.
    Result<bool, CheckpointChannelError> again = channel.poll_ready();
    if (!again || !*again) return fail("a completed negotiation did not stay complete");
    return {};
  }
  if (outcome == Outcome::Failed) return {};

  // The client goes away; the channel must settle within a few polls.
  child.reset();
  reference.client_closed();
  for (int i = 0; i < 4; ++i) {
    Result<Outcome, std::string> polled = poll_both();
    if (!polled) return fail(polled.error());
    if (*polled != Outcome::NotYet) return {};
  }
  return fail("the negotiation did not settle after the client closed");
}

std::vector<uint8_t> encode_ingest_steps(std::span<const IngestStep> steps) {
  std::vector<uint8_t> out;
  for (const IngestStep& step : steps) {
    out.push_back(static_cast<uint8_t>(step.bytes.size() | (step.exit_after ? 0x80 : 0)));
    out.push_back(step.advance_ms);
    out.insert(out.end(), step.bytes.begin(), step.bytes.end());
  }
  return out;
}

std::vector<uint8_t> encode_reply_steps(std::span<const ReplyStep> steps) {
  std::vector<uint8_t> out;
  for (const ReplyStep& step : steps) {
    out.push_back(static_cast<uint8_t>(step.bytes.size() | (step.poll_twice ? 0x40 : 0)));
    out.insert(out.end(), step.bytes.begin(), step.bytes.end());
  }
  return out;
}

std::vector<uint8_t> acknowledgement_frame(uint64_t request_id, uint8_t status,
                                           uint8_t artifact_kind, uint8_t has_size,
                                           uint64_t size_bytes) {
  std::vector<uint8_t> frame(wire::kAcknowledgementFrame);
  encode_be32(frame.data(), wire::kAcknowledgementBody);
  std::copy(wire::kMagic.begin(), wire::kMagic.end(), frame.begin() + 4);
  frame[8] = wire::kVersion;
  frame[9] = static_cast<uint8_t>(CheckpointMessageKind::Acknowledgement);
  const CheckpointNonce nonce = fuzz_nonce();
  std::copy(nonce.begin(), nonce.end(), frame.begin() + 10);
  encode_be64(frame.data() + 42, request_id);
  frame[50] = status;
  frame[51] = artifact_kind;
  frame[52] = has_size;
  encode_be64(frame.data() + 53, size_bytes);
  return frame;
}

std::vector<uint8_t> negotiation_reply_frame() {
  const NegotiationFrame negotiation = encode_negotiation(fuzz_nonce());
  std::vector<uint8_t> reply(negotiation.begin(), negotiation.end());
  reply[9] = static_cast<uint8_t>(CheckpointMessageKind::NegotiationReply);
  return reply;
}

}  // namespace vek_guard::fuzz
