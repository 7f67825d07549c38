// Reading a journal back (journal_format.h) and rebuilding the run's report
// from it: frame by frame, then record by record, then into the report.
//
// A file that ends inside a frame is what a crash in the middle of an append
// leaves (a truncated tail); a frame whose checksum fails, whose length is
// out of bounds or whose record is out of turn is damage (a corrupt tail):
// the reader stops there and trusts nothing after it, not even the length
// it would have read next. Only a clean tail yields a report.
//
//   auto recovery = read_journal(std::move(fd));   // every record, and the tail
//   if (recovery) auto report = recovery->to_report();
//   auto report = rebuild_report(std::move(fd));   // the same, records not kept
//
// Errors are `StorageError` values (atomic_file.h). Nothing here writes or
// keeps any state between calls; each call owns the descriptor it is given.
#ifndef VEK_GUARD_JOURNAL_READER_H_
#define VEK_GUARD_JOURNAL_READER_H_

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "vek_guard/atomic_file.h"
#include "vek_guard/error.h"
#include "vek_guard/journal_format.h"
#include "vek_guard/journal_record.h"
#include "vek_guard/report.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard {

// How a journal file ended when it was read back.
enum class JournalTail : uint8_t {
  // The file ends exactly at a frame boundary.
  Clean,
  // The file ends inside a frame (length, payload or checksum cut short):
  // what a crash in the middle of an append leaves.
  Truncated,
  // A frame is unacceptable: a length over the limit, the record limit
  // reached, a checksum mismatch, or a payload the caller refused.
  Corrupt,
};

// Receives the payload of each frame whose checksum matched, in file order,
// and says whether to keep going; false ends the reading with a corrupt tail.
// The payload is only valid during the call.
using JournalFrameVisitor = std::function<bool(std::span<const uint8_t> payload)>;

// Reads a journal from `fd` frame by frame and hands every checksummed
// payload to `sink`. Takes ownership of `fd` and closes it on every path.
// The file must be a regular file of the effective user with permission bits
// exactly 0600 (set-id and sticky bits ignored) that starts with
// kJournalMagic. At most kMaxJournalRecords payloads are accepted; one more
// frame makes the tail corrupt. Returns how the file ended.
// Errors: ReadFailed with the errno when examining or reading fails (also for
// a file shorter than the magic); InvalidRecord when the file's type, owner,
// mode or magic is wrong.
[[nodiscard]] Result<JournalTail, StorageError> read_journal_frames(
    UniqueFd fd, const JournalFrameVisitor& visit);

// Everything read back from a journal file.
struct JournalRecovery {
  // Every record read, in file order; record i has sequence i and version 1.
  std::vector<JournalRecord> records;
  // How the file ended after the last of them.
  JournalTail tail = JournalTail::Clean;

  // Rebuilds the run's report from the records, all or nothing. Requires a
  // clean tail and: the header first and only there; at most one checkpoint,
  // escape, calibration and history reset; exactly one outcome, as the last
  // record; a header, checkpoint, escape and outcome all present (the
  // calibration may be missing). A "sample_history_reset" drops every sample
  // before it. The lists keep record order, and the result must pass
  // `ReportV1::validate`. Any failure is InvalidRecord without an errno;
  // which rule failed is not reported.
  [[nodiscard]] Result<ReportV1, StorageError> to_report() const;
};

// Reads a journal file into its records. Takes ownership of `fd` and closes
// it on every path. Each frame's payload is decoded with
// `decode_journal_record`; a payload that does not decode, or whose record
// has a version other than 1 or a sequence other than its position, ends the
// records with a corrupt tail. Errors are those of `read_journal_frames`;
// after a read failure no record is returned.
[[nodiscard]] Result<JournalRecovery, StorageError> read_journal(UniqueFd fd);

// What read_journal followed by JournalRecovery::to_report gives, folded
// record by record as the frames are read, so that the records are never all
// held at once: the end of a long run must not cost the supervisor more
// memory than its report. Takes ownership of `fd`. Errors are those of
// read_journal, and InvalidRecord (without an errno) for a journal that
// yields no report.
[[nodiscard]] Result<ReportV1, StorageError> rebuild_report(UniqueFd fd);

}  // namespace vek_guard

#endif  // VEK_GUARD_JOURNAL_READER_H_
