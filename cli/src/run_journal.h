// The run's journal as the runtime keeps it, from its creation before the
// launch to the publication of the report:
//
//  - create_run_journal makes the journal beside the report, with its header
//    as record 0, before anything is launched;
//  - finalize_early_report closes a run that ends before supervision starts
//    (the monitor, the launch or the command's identity failed), so that such
//    a run is reported too;
//  - SupervisionJournal is the journal as the supervision loop writes it: it
//    outlives a failing journal, keeps the journal within what its reader
//    accepts, and publishes the report at the end.
//
//   Result<SecureJournal, cli::ExecutionOutcome> created =
//       create_run_journal(command, configuration, /*checkpoint_channel=*/true);
//   if (!created) return created.error();
//   SupervisionJournal journal(std::move(*created));
//   journal.record(JournalEntry::sample(window), /*durable=*/false);
//   ...
//   return journal.publish(kind, message);
//
// Supervision thread only.
#ifndef VEK_GUARD_CLI_RUN_JOURNAL_H_
#define VEK_GUARD_CLI_RUN_JOURNAL_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vek_guard/error.h"
#include "vek_guard/journal.h"
#include "vek_guard/journal_record.h"
#include "vek_guard/report.h"
#include "vek_guard/sampling.h"
#include "vek_guard_cli/cli.h"
#include "vek_guard_cli/outcome.h"

namespace vek_guard::runtime {

// The sample windows a run keeps for its report, and the samples it journals
// one by one before the kept windows take over: the sampler's largest
// history.
inline constexpr std::size_t kSampleHistoryCapacity = SamplingConfig::kMaxHistoryCapacity;

// Creates the run's journal, before anything is launched: probes footprint
// observation, draws the run identity (16 random bytes, "run_" and 32
// lowercase hex digits), creates the journal beside the report and appends
// the header durably as record 0. The header's checkpoint_channel capability
// is available for a run with a checkpoint channel, else unavailable as
// not_negotiated. A failure is the run's outcome: supervisor_failure with
// "OS-accounted footprint observation is unavailable" or "secure run
// identity generation failed", partial_artifact_failure with the storage
// error's text (a journal file already created stays on disk). The journal
// writes and syncs through `io`, which must outlive it.
Result<SecureJournal, cli::ExecutionOutcome> create_run_journal(
    const cli::NormalizedCommand& command, const ReportConfiguration& configuration,
    bool checkpoint_channel, FileIo& io = FileIo::system());

// Closes a run that ends before supervision starts: appends the checkpoint
// (not negotiated), escape (none detected) and outcome records, all at 0 ms,
// and publishes the report. The report keeps `kind` for the child, launch and
// configuration kinds; any other kind is reported as supervisor_failure. The
// outcome is `kind` with:
//  - for a child kind, the summary line on standard output and nothing on
//    standard error (`message` is not shown);
//  - for any other kind, "vek-guard: {message}\n" on standard error and
//    nothing on standard output.
// When an append or the publication fails it is partial_artifact_failure
// with "child exited but its report could not be finalized" (child kinds) or
// "launch failed and its report could not be finalized".
cli::ExecutionOutcome finalize_early_report(SecureJournal journal, TerminalKind kind,
                                            std::string_view message);

// The record budget. The journal's reader accepts at most kMaxJournalRecords
// records, so a journal that grew past that would cost the run its report;
// a run that flaps around its warning level for days would get there. Every
// record asks for room of one of three kinds. The closing records always find
// room; records of what the supervisor observed and did come next; records
// that may be left out stop first, kKeptRecordHeadroom records earlier,
// which leaves the records that follow them (an enforcement, the first
// terminal signals, a supervision fault) room of their own.
enum class RecordRoom : uint8_t {
  Closing,   // the end of the run: history reset, samples again, checkpoint,
             // escape, calibration, outcome
  Kept,      // everything not named below
  Optional,  // normal <-> warning transitions, the records of terminal
             // signals after the first kKeptTerminalSignals, and those of a
             // kill repeated on a group that lives on, after the first
             // kKeptRepeatedKills
};

// The most the closing records take: the history reset, the whole sample
// history again, checkpoint, escape, calibration and outcome.
inline constexpr uint64_t kClosingRecordReserve = 1 + kSampleHistoryCapacity + 4;
// Room kept between the optional records and the closing reserve. Kept
// records are few once the samples are journaled: a handful of enforcement
// transitions and signals, kKeptTerminalSignals terminal signals with the
// few records each can cause, and kKeptRepeatedKills repeated kills.
inline constexpr uint64_t kKeptRecordHeadroom = 1024;
// Terminal signals whose records are kept; a flood of them is still acted on
// in full, but its records beyond these may be left out.
inline constexpr uint32_t kKeptTerminalSignals = 64;
// Kills repeated on a group that outlives its kill (once per pass) whose
// records are kept; past these the kills go on, their records may be left
// out.
inline constexpr uint32_t kKeptRepeatedKills = 64;

// The journal as the supervision loop writes it. A failed append does not
// stop supervision: the first failure's kind is kept, the journal is
// released at once (its file stays on disk) and every later record is
// dropped, so enforcement goes on without a journal and the end of the run
// says why there is no report. Move-only.
class SupervisionJournal {
 public:
  // `record_limit` is the most records the journal may hold: its reader's
  // limit, unless a test asks for less to reach the budget in a few passes.
  // It should leave room for kClosingRecordReserve and kKeptRecordHeadroom.
  explicit SupervisionJournal(SecureJournal journal, uint64_t record_limit = kMaxJournalRecords)
      : journal_(std::move(journal)), record_limit_(record_limit) {}

  // Appends `entry` (durably when asked) if the budget has room of kind
  // `room` for it; a record without room is left out and nothing else
  // changes. A failed append is kept as described above.
  void record(JournalEntry entry, bool durable, RecordRoom room = RecordRoom::Kept);

  // Publishes the report rebuilt from the journal (SecureJournal::finalize):
  // the outcome is `kind` with the summary line on standard output and
  // "vek-guard: {message}\n" (when there is a message) on standard error. A
  // failed publication is partial_artifact_failure with the storage error's
  // text instead (the message is dropped). A journal lost to a failed append
  // is partial_artifact_failure with the kept failure's line: "vek-guard:
  // artifact write failed; ...", "... synchronization failed; ...", "...
  // persistence failed; ..." (any other kind), each ending "safety
  // enforcement continues; complete report unavailable", or "vek-guard:
  // artifact persistence failed" when no failure was kept.
  cli::ExecutionOutcome publish(TerminalKind kind, const std::optional<std::string>& message);

  // The kind of the first failed append, if any.
  std::optional<StorageErrorKind> failure() const { return failure_; }

 private:
  bool has_room(RecordRoom room) const;

  std::optional<SecureJournal> journal_;
  std::optional<StorageErrorKind> failure_;
  uint64_t record_limit_;
};

}  // namespace vek_guard::runtime

#endif  // VEK_GUARD_CLI_RUN_JOURNAL_H_
