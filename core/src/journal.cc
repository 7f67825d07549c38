#include "vek_guard/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <optional>
#include <string>
#include <utility>

#include "vek_guard/journal_reader.h"
#include "vek_guard/json_writer.h"
#include "vek_guard/path.h"

namespace vek_guard {
namespace {

// Permission bits of the private report directory; the set-id and sticky
// bits are left out of the comparison on purpose (a sticky private directory
// is still private).
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

}  // namespace

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
  // else) and is never reused, truncated or followed. Readable, because the
  // report is rebuilt from this very file (finalize); appending, so that
  // reading it moves no frame.
  journal.journal_fd_.reset(
      ::openat(journal.directory_fd_.get(), journal.journal_file_name_.c_str(),
               O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
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
  journal.appended_bytes_ = kJournalMagic.size();
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

Result<void, StorageError> SecureJournal::append(JournalEntry entry, bool durable) {
  const auto refuse = [] { return unexpected(storage_error(StorageErrorKind::InvalidRecord)); };
  // After a failed write the file may end in a torn frame; anything appended
  // behind it would be unreadable, so the journal takes nothing more.
  if (poisoned_) return refuse();
  if (!durable && entry_requires_sync(entry.type())) return refuse();
  // The reader accepts record i only in frame i; numbering here, where the
  // frames are written, keeps the two from ever disagreeing.
  const JournalRecord record{kJournalRecordVersion, next_sequence_, std::move(entry)};
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
  appended_bytes_ += frame_.size();
  if (record.sequence == 0) {
    if (const JournalHeader* header = record.entry.payload_if<JournalHeader>()) {
      run_id_ = header->run.run_id;
    }
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

Result<void, StorageErrorKind> SecureJournal::append_record(JournalEntry entry, bool durable) {
  auto appended = append(std::move(entry), durable);
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

  Result<UniqueFd, StorageError> reader = read_back();
  if (!reader) return unexpected(reader.error());
  // The report is rebuilt while the journal is read, without holding the
  // records: a long run's journal holds every sample twice over.
  Result<ReportV1, StorageError> rebuilt = rebuild_report(std::move(*reader));
  if (!rebuilt) return unexpected(rebuilt.error());
  // Another run's journal copied into this file reads as a sound journal of
  // that run; its report must never pass for this one's.
  if (!run_id_ || rebuilt->run.run_id != *run_id_) {
    return unexpected(storage_error(StorageErrorKind::InvalidRecord));
  }
  ReportV1 report = std::move(*rebuilt);  // validated by rebuild_report

  if (auto target = check_output_target(directory_fd_.get(), report_file_name_); !target) {
    return unexpected(target.error());
  }
  auto temp_name = hidden_sibling_name(report_file_name_, ".tmp");
  if (!temp_name) return unexpected(temp_name.error());
  // The text goes to the temporary file in pieces as it is written, instead
  // of being built whole first: a report of 4096 samples is some 8 MB. A
  // writer that refuses the report hands over nothing at all, which must not
  // be renamed over the report as if it were one.
  bool encoded = true;
  const auto write_report = [&](int fd) {
    FileJsonSink sink(*io_, fd);
    encoded = report.write_json_pretty(sink).ok();
    return encoded ? sink.error() : EINVAL;
  };
  if (auto published = publish_atomically(*io_, directory_fd_.get(), *temp_name, report_file_name_,
                                          write_report);
      !published) {
    if (!encoded) return unexpected(storage_error(StorageErrorKind::InvalidRecord));
    return unexpected(published.error());
  }

  std::string summary = summary_line(report);
  return FinalizedReport{std::move(report), std::move(summary)};
}

Result<UniqueFd, StorageError> SecureJournal::read_back() const {
  // The command runs as the same user and may write in the report
  // directory: the name may have been pointed at another file, or the file
  // overwritten, since the journal was created. Only the file this journal
  // appended to, holding exactly what it appended, is this run's record.
  if (has_nul(journal_file_name_)) {
    return unexpected(storage_error(StorageErrorKind::InvalidTarget));
  }
  struct stat named {};
  if (::fstatat(directory_fd_.get(), journal_file_name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) !=
      0) {
    return unexpected(storage_error(StorageErrorKind::ReadFailed, errno));
  }
  struct stat appended {};
  if (::fstat(journal_fd_.get(), &appended) != 0) {
    return unexpected(storage_error(StorageErrorKind::ReadFailed, errno));
  }
  if (named.st_dev != appended.st_dev || named.st_ino != appended.st_ino ||
      static_cast<uint64_t>(appended.st_size) != appended_bytes_) {
    return unexpected(storage_error(StorageErrorKind::InvalidRecord));
  }
  // Read through the descriptor appended to, never by the name again: the
  // name could be swapped between a check and an open. The copy shares its
  // offset, which appends do not use.
  UniqueFd reader(::fcntl(journal_fd_.get(), F_DUPFD_CLOEXEC, 0));
  if (!reader.valid()) return unexpected(storage_error(StorageErrorKind::ReadFailed, errno));
  if (::lseek(reader.get(), 0, SEEK_SET) != 0) {
    return unexpected(storage_error(StorageErrorKind::ReadFailed, errno));
  }
  return reader;
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
