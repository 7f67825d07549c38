#include "vek_guard/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vek_guard/coding.h"
#include "vek_guard/fd_io.h"
#include "vek_guard/json_reader.h"
#include "vek_guard/json_writer.h"
#include "vek_guard/path.h"
#include "vek_guard/sampling.h"

namespace vek_guard {
namespace {

// Permission bits of a private file or directory; the set-id and sticky bits
// are left out of the comparison on purpose (a sticky private directory is
// still private).
constexpr mode_t kPermissionMask = 0777;

// The report path split into the directory to open and the report's name.
struct ReportLocation {
  std::string directory;
  std::string name;
};

// The last component is the report's name; trailing separators and "."
// components are not names. A path ending in ".." is refused rather than
// resolved: which directory it means depends on links we must not follow.
std::optional<ReportLocation> locate_report(std::string_view path) {
  const std::optional<std::string_view> name = last_path_component(path);
  if (!name) return std::nullopt;
  // The name is a view into `path`; everything before it is the directory.
  const size_t name_begin = static_cast<size_t>(name->data() - path.data());

  std::string_view directory = path.substr(0, name_begin);
  while (!directory.empty() && directory.back() == '/') directory.remove_suffix(1);
  if (directory.empty()) directory = path.front() == '/' ? "/" : ".";
  return ReportLocation{std::string(directory), std::string(*name)};
}

std::string join_path(const std::string& directory, const std::string& name) {
  return directory == "/" ? directory + name : directory + "/" + name;
}

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

uint32_t journal_checksum(std::span<const uint8_t> payload) {
  // zlib's length type is uInt; payloads never come near its limit, but feed
  // it in pieces anyway so the function is right for any span.
  uLong crc = ::crc32(0L, Z_NULL, 0);
  const uint8_t* next = payload.data();
  size_t left = payload.size();
  while (left > 0) {
    const uInt chunk = static_cast<uInt>(std::min<size_t>(left, 1u << 30));
    crc = ::crc32(crc, next, chunk);
    next += chunk;
    left -= chunk;
  }
  return static_cast<uint32_t>(crc);
}

void begin_journal_frame(std::string* frame) { frame->assign(kFrameLengthBytes, '\0'); }

void seal_journal_frame(std::string* frame) {
  const size_t payload_bytes = frame->size() - kFrameLengthBytes;
  auto* bytes = reinterpret_cast<uint8_t*>(frame->data());
  encode_be32(bytes, static_cast<uint32_t>(payload_bytes));
  append_be32(*frame, journal_checksum({bytes + kFrameLengthBytes, payload_bytes}));
}

Result<JournalTail, StorageError> read_journal_frames(UniqueFd fd, const JournalFrameSink& sink) {
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    return unexpected(storage_error(StorageErrorKind::ReadFailed, errno));
  }
  // Someone else's file, or one others could have written to, is not our
  // record of the run, whatever it holds.
  if (!S_ISREG(st.st_mode) || (st.st_mode & kPermissionMask) != 0600 || st.st_uid != ::geteuid()) {
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
    if (!sink(payload)) return JournalTail::Corrupt;
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

Result<SecureJournal, StorageError> SecureJournal::initialize(std::string_view report_path,
                                                              FileIo& io) {
  auto location = locate_report(report_path);
  if (!location) return unexpected(storage_error(StorageErrorKind::InvalidTarget));

  // Whatever the path names must be a plain file: a link could redirect the
  // final rename, a directory cannot become a report. Not existing yet is
  // the usual case, and other lstat failures surface below with the
  // directory checks.
  if (!has_nul(report_path)) {
    const std::string c_path(report_path);
    struct stat st {};
    if (::lstat(c_path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      return unexpected(storage_error(StorageErrorKind::InvalidTarget));
    }
  }

  auto journal_name = hidden_sibling_name(location->name, ".journal");
  if (!journal_name) return unexpected(journal_name.error());

  SecureJournal journal;
  journal.io_ = &io;
  journal.report_path_ = std::string(report_path);
  journal.report_file_name_ = location->name;
  journal.journal_file_name_ = std::move(*journal_name);
  journal.journal_path_ = join_path(location->directory, journal.journal_file_name_);

  if (has_nul(location->directory)) {
    return unexpected(storage_error(StorageErrorKind::DirectoryNotPrivate));
  }
  // O_NOFOLLOW: a report directory that is itself a link could be pointed
  // elsewhere between our checks and our writes.
  journal.directory_fd_.reset(
      ::open(location->directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!journal.directory_fd_.valid()) {
    return unexpected(storage_error(StorageErrorKind::DirectoryNotPrivate, errno));
  }
  struct stat dir_st {};
  if (::fstat(journal.directory_fd_.get(), &dir_st) != 0) {
    return unexpected(storage_error(StorageErrorKind::DirectoryNotPrivate, errno));
  }
  // Only an owner-only directory keeps other users from creating, renaming
  // or replacing names next to the journal and the report.
  if (!S_ISDIR(dir_st.st_mode) || (dir_st.st_mode & kPermissionMask) != 0700 ||
      dir_st.st_uid != ::geteuid()) {
    return unexpected(storage_error(StorageErrorKind::DirectoryNotPrivate));
  }

  if (auto target = check_output_target(journal.directory_fd_.get(), journal.report_file_name_);
      !target) {
    return unexpected(target.error());
  }
  // A temporary report left by a crash would make publication fail at the
  // very end, after the command has run; refusing now costs nothing and
  // leaves no journal behind to block the path.
  auto temp_name = hidden_sibling_name(journal.report_file_name_, ".tmp");
  if (!temp_name) return unexpected(temp_name.error());
  if (auto temp = check_name_free(journal.directory_fd_.get(), *temp_name); !temp) {
    return unexpected(temp.error());
  }

  if (has_nul(journal.journal_file_name_)) {
    return unexpected(storage_error(StorageErrorKind::InvalidTarget));
  }
  // O_EXCL: an existing journal belongs to an earlier run (or to someone
  // else) and is never reused, truncated or followed.
  journal.journal_fd_.reset(::openat(journal.directory_fd_.get(),
                                     journal.journal_file_name_.c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!journal.journal_fd_.valid()) {
    const int err = errno;
    return unexpected(storage_error(
        err == EEXIST ? StorageErrorKind::JournalExists : StorageErrorKind::JournalCreateFailed,
        err));
  }
  // The creation mode went through the umask; set it exactly.
  if (::fchmod(journal.journal_fd_.get(), 0600) != 0) {
    return unexpected(storage_error(StorageErrorKind::JournalCreateFailed, errno));
  }
  if (const int err = write_all(io, journal.journal_fd_.get(), kJournalMagic); err != 0) {
    return unexpected(storage_error(StorageErrorKind::WriteFailed, err));
  }
  // The journal is of no use after a crash unless both its bytes and its
  // directory entry reached the disk.
  if (const int err = full_sync(io, journal.journal_fd_.get()); err != 0) {
    return unexpected(storage_error(StorageErrorKind::SyncFailed, err));
  }
  if (const int err = full_sync(io, journal.directory_fd_.get()); err != 0) {
    return unexpected(storage_error(StorageErrorKind::SyncFailed, err));
  }
  return journal;
}

Result<void, StorageError> SecureJournal::append(const JournalRecord& record, bool durable) {
  const auto refuse = [] { return unexpected(storage_error(StorageErrorKind::InvalidRecord)); };
  // After a failed write the file may end in a torn frame; anything appended
  // behind it would be unreadable, so the journal takes nothing more.
  if (poisoned_) return refuse();
  if (record.version != kJournalRecordVersion) return refuse();
  if (record.sequence != next_sequence_) return refuse();
  if (!durable && entry_requires_sync(record.entry.type())) return refuse();
  // One write per frame: a torn frame from a crash or a short write is
  // recognised by the reader all the same, and the buffer is reused, so a
  // sample costs no allocation once the buffer has grown to its size.
  begin_journal_frame(&frame_);
  append_journal_record(record, &frame_);
  const size_t payload_bytes = frame_.size() - kFrameLengthBytes;
  if (payload_bytes == 0 || payload_bytes > kMaxJournalPayloadBytes) return refuse();
  seal_journal_frame(&frame_);

  if (const int err = write_all(*io_, journal_fd_.get(), frame_); err != 0) {
    poisoned_ = true;
    return unexpected(storage_error(StorageErrorKind::WriteFailed, err));
  }
  if (durable) {
    if (const int err = full_sync(*io_, journal_fd_.get()); err != 0) {
      // A failed fsync may have dropped the dirty pages it could not write
      // while marking them clean; a later sync could then report success for
      // data that never reached the disk. Only stopping is safe.
      poisoned_ = true;
      return unexpected(storage_error(StorageErrorKind::SyncFailed, err));
    }
  }
  if (next_sequence_ != UINT64_MAX) ++next_sequence_;
  return {};
}

Result<void, StorageErrorKind> SecureJournal::append_record(const JournalRecord& record,
                                                            bool durable) {
  auto appended = append(record, durable);
  if (!appended) return unexpected(appended.error().kind);
  return {};
}

namespace {

// Writes pieces of the report to the temporary file; after the first failed
// write it keeps that error and writes nothing more.
class FileJsonSink final : public JsonSink {
 public:
  FileJsonSink(FileIo& io, int fd) : io_(io), fd_(fd) {}
  void write(std::string_view text) override {
    if (error_ == 0) error_ = write_all(io_, fd_, text);
  }
  int error() const { return error_; }

 private:
  FileIo& io_;
  int fd_;
  int error_ = 0;
};

}  // namespace

Result<FinalizedReport, StorageError> SecureJournal::finalize() {
  if (poisoned_) return unexpected(storage_error(StorageErrorKind::SyncFailed));
  // Non-durable records are only in the page cache until now; the report is
  // rebuilt from the disk's view of the journal, so make it the whole view.
  if (const int err = full_sync(*io_, journal_fd_.get()); err != 0) {
    poisoned_ = true;
    return unexpected(storage_error(StorageErrorKind::SyncFailed, err));
  }

  if (has_nul(journal_file_name_)) {
    return unexpected(storage_error(StorageErrorKind::InvalidTarget));
  }
  UniqueFd reader(
      ::openat(directory_fd_.get(), journal_file_name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!reader.valid()) return unexpected(storage_error(StorageErrorKind::ReadFailed, errno));
  // The report is rebuilt while the journal is read (read_journal followed
  // by to_report, without holding the records): a long run's journal holds
  // every sample twice over, and the end of a run must not cost the
  // supervisor more memory than the report itself.
  ReportBuilder builder;
  auto tail = read_journal_records(std::move(reader),
                                   [&](JournalRecord&& record) { (void)builder.add(record); });
  if (!tail) return unexpected(tail.error());
  std::optional<ReportV1> rebuilt;
  if (*tail == JournalTail::Clean) rebuilt = std::move(builder).finish();
  if (!rebuilt) return unexpected(storage_error(StorageErrorKind::InvalidRecord));
  ReportV1 report = std::move(*rebuilt);  // validated by finish

  if (auto target = check_output_target(directory_fd_.get(), report_file_name_); !target) {
    return unexpected(target.error());
  }
  auto temp_name = hidden_sibling_name(report_file_name_, ".tmp");
  if (!temp_name) return unexpected(temp_name.error());
  // The text goes to the temporary file in pieces as it is written, instead
  // of being built whole first: a report of 4096 samples is some 8 MB.
  const auto write_report = [&](int fd) {
    FileJsonSink sink(*io_, fd);
    (void)report.write_json_pretty(sink);  // validated above
    return sink.error();
  };
  if (auto published = publish_atomically(*io_, directory_fd_.get(), *temp_name, report_file_name_,
                                          write_report);
      !published) {
    return unexpected(published.error());
  }

  std::string summary = summary_line(report);
  return FinalizedReport{std::move(report), std::move(summary)};
}

std::string summary_line(const ReportV1& report) {
  const auto decimal = [](uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return std::string(digits, end);
  };
  const uint64_t samples = report.samples.size();
  const uint64_t signals = report.signals.size();
  std::string line = "vek-guard: ";
  line += terminal_kind_name(report.outcome.kind.tag());
  line += " at ";
  line += decimal(report.outcome.at_ms);
  line += "ms; ";
  line += decimal(samples);
  line += samples == 1 ? " sample, " : " samples, ";
  line += decimal(signals);
  line += signals == 1 ? " signal\n" : " signals\n";
  return line;
}

}  // namespace vek_guard
