#include "vek_guard/journal_reader.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "vek_guard/coding.h"
#include "vek_guard/fd_io.h"
#include "vek_guard/json_reader.h"
#include "vek_guard/sampling.h"

namespace vek_guard {
namespace {

// Reads a journal through one buffer so that a frame costs no system call of
// its own; the end of the file is still recognised at each of the three reads
// of a frame, as the tail classification needs.
class JournalReader {
 public:
  explicit JournalReader(int fd) : fd_(fd), buffer_(kBufferBytes) {}

  // Makes up to `wanted` bytes available at data(); returns how many are (fewer
  // only at the end of the file) or -1 with the errno in `os_error`.
  ssize_t fill(size_t wanted, int& os_error) {
    if (end_ - begin_ >= wanted) return static_cast<ssize_t>(wanted);
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (buffer_.size() < wanted) buffer_.resize(wanted);
    while (!eof_ && end_ < wanted) {
      const ssize_t got = read_some(fd_, buffer_.data() + end_, buffer_.size() - end_);
      if (got < 0) {
        os_error = errno;
        return -1;
      }
      if (got == 0) {
        eof_ = true;
        break;
      }
      end_ += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(std::min(wanted, end_ - begin_));
  }

  const uint8_t* data() const { return buffer_.data() + begin_; }
  void consume(size_t bytes) { begin_ += bytes; }

 private:
  // Exactly the biggest frame, so a frame is always contiguous; no larger,
  // since it is read into at the end of every run, when the supervisor's
  // memory is at its peak.
  static constexpr size_t kBufferBytes =
      kFrameLengthBytes + kMaxJournalPayloadBytes + kFrameChecksumBytes;

  int fd_;
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
};

}  // namespace

Result<JournalTail, StorageError> read_journal_frames(UniqueFd fd,
                                                      const JournalFrameVisitor& visit) {
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    return unexpected(storage_error(StorageErrorKind::ReadFailed, errno));
  }
  // Someone else's file, or one others could have written to, is not our
  // record of the run, whatever it holds.
  if (!is_private_file(st)) {
    return unexpected(storage_error(StorageErrorKind::InvalidRecord));
  }

  JournalReader reader(fd.get());
  int os_error = 0;
  const ssize_t magic = reader.fill(kJournalMagic.size(), os_error);
  if (magic < 0) return unexpected(storage_error(StorageErrorKind::ReadFailed, os_error));
  if (static_cast<size_t>(magic) < kJournalMagic.size()) {
    return unexpected(storage_error(StorageErrorKind::ReadFailed));
  }
  if (std::memcmp(reader.data(), kJournalMagic.data(), kJournalMagic.size()) != 0) {
    return unexpected(storage_error(StorageErrorKind::InvalidRecord));
  }
  reader.consume(kJournalMagic.size());

  size_t accepted = 0;
  for (;;) {
    // A file that ends cleanly between frames is the normal end; one that
    // ends inside a frame is what a crash in the middle of an append leaves.
    const ssize_t head = reader.fill(kFrameLengthBytes, os_error);
    if (head < 0) return unexpected(storage_error(StorageErrorKind::ReadFailed, os_error));
    if (head == 0) return JournalTail::Clean;
    if (static_cast<size_t>(head) < kFrameLengthBytes) return JournalTail::Truncated;

    // The length is not covered by the checksum, so it is bounded before it
    // is trusted with a read; a damaged length must not make us read (or
    // allocate) far beyond any real frame.
    const uint32_t length = decode_be32(reader.data());
    if (length > kMaxJournalPayloadBytes || accepted >= kMaxJournalRecords) {
      return JournalTail::Corrupt;
    }
    const size_t frame_bytes = kFrameLengthBytes + length + kFrameChecksumBytes;
    const ssize_t frame = reader.fill(frame_bytes, os_error);
    if (frame < 0) return unexpected(storage_error(StorageErrorKind::ReadFailed, os_error));
    if (static_cast<size_t>(frame) < frame_bytes) return JournalTail::Truncated;

    const std::span<const uint8_t> payload(reader.data() + kFrameLengthBytes, length);
    const uint32_t stored = decode_be32(reader.data() + kFrameLengthBytes + length);
    // After a checksum mismatch nothing further in the file can be trusted:
    // not even where the next frame would start.
    if (journal_checksum(payload) != stored) return JournalTail::Corrupt;
    if (!visit(payload)) return JournalTail::Corrupt;
    ++accepted;
    reader.consume(frame_bytes);
  }
}

namespace {

// Folds records, in journal order, into the run's report by the rules of
// JournalRecovery::to_report. Each record is looked at once and then may be
// dropped, so a report can be rebuilt while its journal is read, without
// holding every record first.
class ReportBuilder {
 public:
  // One report holds at most the sampler's history; reserving it up front
  // spares the copies of a growing list (untouched pages cost nothing).
  ReportBuilder() { report_.samples.reserve(SamplingConfig::kMaxHistoryCapacity); }

  // Takes the next record. False once any rule is broken (and from then on).
  bool add(const JournalRecord& record) {
    if (broken_) return false;
    broken_ = !fold(record.entry);
    ++count_;
    return !broken_;
  }

  // The report, when the records seen so far make a complete, valid one.
  std::optional<ReportV1> finish() && {
    if (broken_ || !have_header_ || !have_checkpoint_ || !have_escape_ || !have_outcome_) {
      return std::nullopt;
    }
    if (!report_.validate()) return std::nullopt;
    return std::move(report_);
  }

 private:
  bool fold(const JournalEntry& entry) {
    // The outcome closes the run; anything after it was written by something
    // that did not know the run had ended.
    if (have_outcome_) return false;
    switch (entry.type()) {
      case JournalEntry::Type::Header: {
        if (count_ != 0) return false;
        const JournalHeader& header = *entry.payload_if<JournalHeader>();
        report_.schema_version = header.schema_version;
        report_.package_version = header.package_version;
        report_.run = header.run;
        report_.capabilities = header.capabilities;
        report_.configuration = header.configuration;
        report_.privacy = header.privacy;
        have_header_ = true;
        return true;
      }
      case JournalEntry::Type::Sample:
        report_.samples.push_back(*entry.payload_if<SampleWindow>());
        return true;
      case JournalEntry::Type::SampleHistoryReset:
        // The runtime ends a run with one reset and its bounded history, so
        // the report holds that history rather than every sample ever taken.
        if (history_reset_) return false;
        report_.samples.clear();
        history_reset_ = true;
        return true;
      case JournalEntry::Type::Transition:
        report_.transitions.push_back(*entry.payload_if<TransitionRecord>());
        return true;
      case JournalEntry::Type::Signal:
        report_.signals.push_back(*entry.payload_if<SignalRecord>());
        return true;
      case JournalEntry::Type::ArtifactError:
        report_.artifact_errors.push_back(*entry.payload_if<ArtifactErrorRecord>());
        return true;
      case JournalEntry::Type::Checkpoint:
        if (have_checkpoint_) return false;
        report_.checkpoint = *entry.payload_if<CheckpointRecord>();
        have_checkpoint_ = true;
        return true;
      case JournalEntry::Type::Escape:
        if (have_escape_) return false;
        report_.escape = *entry.payload_if<EscapeEvidence>();
        have_escape_ = true;
        return true;
      case JournalEntry::Type::Calibration:
        if (report_.calibration.has_value()) return false;
        report_.calibration = *entry.payload_if<CalibrationArtifact>();
        return true;
      case JournalEntry::Type::Outcome:
        report_.outcome = *entry.payload_if<TerminalOutcome>();
        have_outcome_ = true;
        return true;
    }
    return false;
  }

  ReportV1 report_;
  std::size_t count_ = 0;
  bool broken_ = false;
  bool have_header_ = false;
  bool have_checkpoint_ = false;
  bool have_escape_ = false;
  bool have_outcome_ = false;
  bool history_reset_ = false;
};

// Reads the journal's records in turn and hands each to `take`. Returns how
// the file ended; a payload that does not decode, or whose record is not the
// next of the journal, ends it with a corrupt tail.
template <class Take>
Result<JournalTail, StorageError> read_journal_records(UniqueFd fd, Take&& take) {
  // One reader for every frame: its buffers grow once, not once per frame.
  JsonReader reader({});
  uint64_t next_sequence = 0;
  return read_journal_frames(std::move(fd), [&](std::span<const uint8_t> payload) {
    auto record = decode_journal_record(payload, reader);
    // A record out of turn means frames were lost, duplicated or spliced in:
    // what follows cannot be placed in the run, so it ends the journal.
    if (!record || record->version != kJournalRecordVersion || record->sequence != next_sequence) {
      return false;
    }
    ++next_sequence;
    take(std::move(*record));
    return true;
  });
}

}  // namespace

Result<JournalRecovery, StorageError> read_journal(UniqueFd fd) {
  JournalRecovery recovery;
  auto tail = read_journal_records(std::move(fd), [&](JournalRecord&& record) {
    recovery.records.push_back(std::move(record));
  });
  if (!tail) return unexpected(tail.error());
  recovery.tail = *tail;
  return recovery;
}

Result<ReportV1, StorageError> JournalRecovery::to_report() const {
  // A torn or damaged journal yields no report at all, even though every
  // record before the damage is intact: a report that silently lacks the
  // end of the run would claim an outcome the journal never recorded.
  if (tail != JournalTail::Clean) return unexpected(storage_error(StorageErrorKind::InvalidRecord));
  ReportBuilder builder;
  for (const JournalRecord& record : records) {
    if (!builder.add(record)) break;
  }
  std::optional<ReportV1> report = std::move(builder).finish();
  if (!report) return unexpected(storage_error(StorageErrorKind::InvalidRecord));
  return std::move(*report);
}

Result<ReportV1, StorageError> rebuild_report(UniqueFd fd) {
  ReportBuilder builder;
  auto tail = read_journal_records(std::move(fd),
                                   [&](JournalRecord&& record) { (void)builder.add(record); });
  if (!tail) return unexpected(tail.error());
  std::optional<ReportV1> rebuilt;
  if (*tail == JournalTail::Clean) rebuilt = std::move(builder).finish();
  if (!rebuilt) return unexpected(storage_error(StorageErrorKind::InvalidRecord));
  return std::move(*rebuilt);  // validated by finish
}

}  // namespace vek_guard
