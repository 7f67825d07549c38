// The run's artifacts as the runtime sees them: the journal with its header, the sink that survives
// a failing journal, and the report of a run that ends before supervision starts.
#ifndef VEK_GUARD_CLI_ARTIFACTS_H_
#define VEK_GUARD_CLI_ARTIFACTS_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "startup.h"
#include "vek_guard/error.h"
#include "vek_guard/journal.h"
#include "vek_guard/journal_record.h"
#include "vek_guard/report.h"
#include "vek_guard/unique_fd.h"
#include "vek_guard_cli/cli.h"
#include "vek_guard_cli/outcome.h"

namespace vek_guard::runtime {

// An outcome of kind `kind` with an empty standard output and "vek-guard: ",
// `message` and a line feed as standard error.
cli::ExecutionOutcome failure_outcome(TerminalKind::Tag kind, std::string_view message);

// Probes footprint observation, generates the run identity, creates the
// journal beside the report and appends the header durably, as record 0.
// Failures are the run's outcome (supervisor_failure or
// partial_artifact_failure).
Result<SecureJournal, cli::ExecutionOutcome> prepare_run_artifacts(
    const cli::NormalizedCommand& command, const ReportConfiguration& configuration,
    bool checkpoint_channel_available);

// How much of the journal a record may take. The journal's reader accepts at
// most kMaxJournalRecords records, so a journal that grew past that would
// cost the run its report. The closing records always find room; the records
// of what the supervisor observed and did come next; records that may be
// left out stop first, kKeptRecordHeadroom records earlier, which leaves the
// records that follow them (an enforcement, the first terminal signals, a
// supervision fault) room of their own.
enum class RecordRoom : uint8_t {
  Closing,   // the end of the run: history reset, samples, checkpoint, escape,
             // calibration, outcome
  Kept,      // everything not named below
  Optional,  // normal <-> warning transitions, and the records of terminal
             // signals after the first kKeptTerminalSignals
};

// The most the closing records take: the history reset, the whole sample
// history again, checkpoint, escape, calibration and outcome.
inline constexpr uint64_t kClosingRecordReserve = 1 + kSampleHistoryCapacity + 4;
// Room kept between the optional records and the closing reserve. Kept
// records are few once the samples are journaled: a handful of enforcement
// transitions and signals, and kKeptTerminalSignals terminal signals with
// the few records each can cause.
inline constexpr uint64_t kKeptRecordHeadroom = 1024;
// Terminal signals whose records are kept; a flood of them is still acted on
// in full, but its records beyond these may be left out.
inline constexpr uint32_t kKeptTerminalSignals = 64;

// The journal as the loops see it. It keeps the kind of the first failed
// append, releases the journal at once (its file stays on disk) and answers
// every later append with that kind, so supervision goes on without it.
class JournalSink {
 public:
  enum class Status : uint8_t { Appended, FailedNow, NoJournal };
  struct AppendResult {
    Status status = Status::Appended;
    StorageErrorKind kind = StorageErrorKind::WriteFailed;  // meaningful unless Appended
  };

  // `record_limit` is the most records the journal may hold, its reader's
  // limit unless a test asks for less; it should leave room for
  // kClosingRecordReserve and kKeptRecordHeadroom.
  explicit JournalSink(SecureJournal journal, uint64_t record_limit = kMaxJournalRecords)
      : journal_(std::move(journal)), record_limit_(record_limit) {}

  AppendResult append(JournalEntry entry, bool durable);

  // Whether a record of `room` fits in the journal as it stands (true once
  // there is no journal: the append then answers NoJournal).
  bool has_room(RecordRoom room) const;

  // The journal while no append has failed; null afterwards.
  SecureJournal* journal() { return journal_ ? &*journal_ : nullptr; }
  std::optional<StorageErrorKind> failure() const { return failure_; }

 private:
  std::optional<SecureJournal> journal_;
  std::optional<StorageErrorKind> failure_;
  uint64_t record_limit_;
};

// Appends through the sink, which keeps failures for the end of the run. A
// record for which the journal has no room left is left out, and nothing
// else changes.
void journal_event(JournalSink& sink, JournalEntry entry, bool durable,
                   RecordRoom room = RecordRoom::Kept);

// Closes a run that ends before supervision starts: appends the checkpoint,
// escape and outcome records at 0 ms and publishes the report. The kind is
// kept for the child, launch and configuration kinds, every other becomes
// supervisor_failure in the report.
cli::ExecutionOutcome finalize_early_report(SecureJournal journal, TerminalKind kind,
                                            std::string_view message);

}  // namespace vek_guard::runtime

#endif  // VEK_GUARD_CLI_ARTIFACTS_H_
