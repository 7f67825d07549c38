// The run's crash-safe journal and the publication of its final report.
//
// Everything a run produces is first appended to a private journal beside the
// final report, one checksummed frame per event (journal_format.h). At the
// end the journal is read back from disk and the report is rebuilt from it
// (journal_reader.h), so the published report is exactly what was durably
// recorded, and a crash of the supervisor leaves a readable record of what
// happened until then.
//
// The journal of the report "r.json" is ".r.json.journal" in the same
// directory, mode 0600, owned by the effective user. Nothing ever deletes a
// journal, so a report path serves one run until the user removes its
// journal.
//
// Typical use by the runtime:
//
//   auto journal = SecureJournal::initialize("/d/r.json");
//   if (!journal) return fail(journal.error());
//   journal->append(JournalEntry::header(h), /*durable=*/true);    // record 0
//   journal->append(JournalEntry::sample(s), /*durable=*/false);   // record 1
//   ...
//   auto published = journal->finalize();   // writes /d/r.json
//   if (published) print(published->summary);
//
// Everything here runs on the runtime's single supervision thread; nothing is
// locked. Errors are `StorageError` values (atomic_file.h) whose display text
// is the kind's message alone.
#ifndef VEK_GUARD_JOURNAL_H_
#define VEK_GUARD_JOURNAL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vek_guard/atomic_file.h"
#include "vek_guard/error.h"
#include "vek_guard/journal_format.h"
#include "vek_guard/journal_record.h"
#include "vek_guard/report.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard {

// ---------------------------------------------------------------------------
// Records in the journal.

// Whether an entry of this type must be appended durably. Samples, the most
// frequent records, and the rare escape, artifact error and calibration
// records may reach the disk with the next sync; everything that decides the
// outcome must be on disk before the run acts on it.
constexpr bool entry_requires_sync(JournalEntry::Type type) {
  switch (type) {
    case JournalEntry::Type::Sample:
    case JournalEntry::Type::Escape:
    case JournalEntry::Type::ArtifactError:
    case JournalEntry::Type::Calibration:
      return false;
    default:
      return true;
  }
}

// What `SecureJournal::finalize` publishes: the report and its summary line
// for standard output.
struct FinalizedReport {
  ReportV1 report;
  std::string summary;  // see summary_line
};

// The journal as the runtime's sink sees it. `append_record` does exactly
// what `SecureJournal::append` does but returns only the kind of a failure:
// the sink keeps the first failed kind and reports it at the end of the run.
class JournalAppender {
 public:
  virtual ~JournalAppender() = default;
  [[nodiscard]] virtual Result<void, StorageErrorKind> append_record(JournalEntry entry,
                                                                     bool durable) = 0;
};

// ---------------------------------------------------------------------------
// The journal of one run.

// Owns the report directory and the journal file for the whole run. Files are
// reached relative to the directory descriptor only, never by a full path.
// Move-only; dropping it closes both descriptors and never removes a file.
class SecureJournal final : public JournalAppender {
 public:
  // Checks the report target and its directory and creates the journal with
  // its magic, synced together with its directory entry. `report_path` is a
  // file path (arbitrary bytes); a bare file name lives in the current
  // directory. `io` carries the writes and syncs and must outlive the
  // journal. In order, the first failure ends it:
  //   InvalidTarget        the path's last component (ignoring trailing
  //                        separators and "." components) is missing, "." or
  //                        "..", or the path names something other than a
  //                        regular file (a directory, a symbolic link, ...);
  //   DirectoryNotPrivate  the parent cannot be opened without following a
  //                        link or examined (with the errno), or is not a
  //                        directory of the effective user with permission
  //                        bits exactly 0700 (sticky and set-id bits ignored);
  //   check_output_target  on the report name (UnsafeTarget, InvalidTarget);
  //   check_name_free      on the temporary report's name (UnsafeTarget,
  //                        InvalidTarget): a stale one would only fail the
  //                        publication after the command has run;
  //   JournalExists        the journal name exists (left untouched);
  //   JournalCreateFailed  creating the journal or setting its mode failed;
  //   WriteFailed          writing the magic failed;
  //   SyncFailed           syncing the journal or the directory failed.
  // A journal created before a later failure stays on disk.
  [[nodiscard]] static Result<SecureJournal, StorageError> initialize(
      std::string_view report_path, FileIo& io = FileIo::system());

  SecureJournal(SecureJournal&&) noexcept = default;
  SecureJournal& operator=(SecureJournal&&) noexcept = default;
  SecureJournal(const SecureJournal&) = delete;
  SecureJournal& operator=(const SecureJournal&) = delete;
  ~SecureJournal() override = default;

  // Appends `entry` as the next record, version 1 with sequence
  // next_sequence(), in one frame; `durable` syncs the journal after it. The
  // journal numbers its records itself, so frame i always holds record i.
  // The entry is not kept. Refused with InvalidRecord (nothing written, no
  // sequence used, the journal stays usable unless it was poisoned already),
  // checked in order: the journal is poisoned; `durable` is false for an
  // entry that entry_requires_sync; the record's JSON is longer than
  // kMaxJournalPayloadBytes. A failed write (WriteFailed) or sync
  // (SyncFailed), both with the errno, poisons the journal: every later
  // append is refused and finalize fails. On success next_sequence() grows
  // by one, saturating.
  [[nodiscard]] Result<void, StorageError> append(JournalEntry entry, bool durable);

  // append() without the errno.
  [[nodiscard]] Result<void, StorageErrorKind> append_record(JournalEntry entry,
                                                             bool durable) override;

  // Publishes the report rebuilt from the journal as it is on disk: syncs the
  // journal, reads it back from its start through the descriptor it was
  // appended to and rebuilds and validates the report (what read_journal and
  // JournalRecovery::to_report give, folded record by record as the frames
  // are read, so the records are never all held at once), writes it as
  // pretty JSON to ".<report>.tmp" and renames that over the report name,
  // then syncs the directory. The report file either keeps its old contents
  // or holds the complete new report; the journal is never removed. Both
  // descriptors stay open. Only this journal's own file is published from:
  // the journal's name must still refer to it, it must hold exactly the
  // bytes appended, and its header must carry the run id of the header
  // appended as record 0. Errors, in order:
  //   SyncFailed     the journal is poisoned (nothing is read), or its sync
  //                  fails (which poisons it);
  //   InvalidTarget, ReadFailed  the journal's name is gone, or the file
  //                  cannot be examined or read again (with the errno);
  //   InvalidRecord  the name refers to another file, or the file does not
  //                  hold exactly what was appended;
  //   read_journal and to_report errors (no report is written);
  //   InvalidRecord  the header is another run's (or none was appended);
  //   check_output_target on the report name;
  //   publish_atomically errors (UnsafeTarget for a stale temporary file,
  //                  which is left alone; FinalReportFailed, with the
  //                  temporary file removed, for any write, sync or rename
  //                  that fails, with or without an errno; SyncFailed of the
  //                  directory, with the new report already in place), and
  //                  InvalidRecord when the report does not encode (the
  //                  temporary file removed).
  [[nodiscard]] Result<FinalizedReport, StorageError> finalize();

  // The report path as given.
  const std::string& report_path() const { return report_path_; }
  // The report directory joined with the journal file name.
  const std::string& journal_path() const { return journal_path_; }
  // The report path's last component and ".<it>.journal".
  const std::string& report_file_name() const { return report_file_name_; }
  const std::string& journal_file_name() const { return journal_file_name_; }
  // The sequence the next appended record gets, which is also the number of
  // records appended so far; 0 after initialize.
  uint64_t next_sequence() const { return next_sequence_; }
  // Set by a failed frame write or sync; there is no way back.
  bool poisoned() const { return poisoned_; }

 private:
  SecureJournal() = default;
  // A descriptor of the journal file for reading from its start, after
  // checking that it is this journal's (see finalize).
  Result<UniqueFd, StorageError> read_back() const;

  std::string report_path_;
  std::string journal_path_;
  std::string report_file_name_;
  std::string journal_file_name_;
  uint64_t next_sequence_ = 0;
  UniqueFd directory_fd_;
  UniqueFd journal_fd_;
  bool poisoned_ = false;
  // Every byte written to the journal file: the magic and each whole frame.
  uint64_t appended_bytes_ = 0;
  // The run id of the header appended as record 0.
  std::optional<std::string> run_id_;
  FileIo* io_ = nullptr;
  // The frame being appended, kept to reuse its storage.
  std::string frame_;
};

// ---------------------------------------------------------------------------
// Summary.

// The one line printed on standard output for a published report:
// "vek-guard: <terminal kind> at <at_ms>ms; <n> sample[s], <m> signal[s]\n",
// the plural "s" left out for a count of exactly 1.
[[nodiscard]] std::string summary_line(const ReportV1& report);

}  // namespace vek_guard

#endif  // VEK_GUARD_JOURNAL_H_
