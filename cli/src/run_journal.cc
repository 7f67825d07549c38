#include "run_journal.h"

#include <array>
#include <utility>

#include "vek_guard/identity.h"
#include "vek_guard/random_source.h"
#include "vek_guard/version.h"

namespace vek_guard::runtime {
namespace {

using Tag = TerminalKind::Tag;

constexpr char kHexDigits[] = "0123456789abcdef";

bool is_child_kind(Tag tag) { return tag == Tag::ChildExited || tag == Tag::ChildSignaled; }

}  // namespace

Result<SecureJournal, cli::ExecutionOutcome> create_run_journal(
    const cli::NormalizedCommand& command, const ReportConfiguration& configuration,
    bool checkpoint_channel, FileIo& io) {
  // Refused before anything exists: a run whose footprints cannot be read
  // could enforce nothing.
  if (!NativeProcessInventory().probe_footprint()) {
    return unexpected(cli::failure_outcome(Tag::SupervisorFailure,
                                           "OS-accounted footprint observation is unavailable"));
  }

  constexpr std::string_view kIdentityFailed = "secure run identity generation failed";
  std::array<uint8_t, 16> random{};
  {
    std::optional<RandomSource> source = RandomSource::open();
    if (!source || !source->fill(random)) {
      return unexpected(cli::failure_outcome(Tag::SupervisorFailure, kIdentityFailed));
    }
  }
  std::string run_id = "run_";
  for (const uint8_t byte : random) {
    run_id.push_back(kHexDigits[byte >> 4]);
    run_id.push_back(kHexDigits[byte & 0x0f]);
  }
  Result<RunIdentity, ReportError> identity =
      RunIdentity::from_argv(run_id, command.common.command, std::nullopt);
  if (!identity) return unexpected(cli::failure_outcome(Tag::SupervisorFailure, kIdentityFailed));

  JournalHeader header;
  header.schema_version = kReportSchemaVersion;
  header.package_version = std::string(kPackageVersion);
  header.run = std::move(*identity);
  header.capabilities.darwin_footprint = Observed<bool>::available(true);
  header.capabilities.owned_process_group = Observed<bool>::available(true);
  header.capabilities.checkpoint_channel =
      checkpoint_channel ? Observed<bool>::available(true)
                         : Observed<bool>::unavailable(UnavailableReason::NotNegotiated);
  header.configuration = configuration;
  header.privacy = PrivacyDefaults::defaults();

  Result<SecureJournal, StorageError> journal =
      SecureJournal::initialize(command.common.report_path, io);
  if (!journal) {
    return unexpected(cli::failure_outcome(Tag::PartialArtifactFailure, journal.error().message()));
  }
  Result<void, StorageError> appended =
      journal->append(JournalEntry::header(std::move(header)), true);
  if (!appended) {
    return unexpected(
        cli::failure_outcome(Tag::PartialArtifactFailure, appended.error().message()));
  }
  return std::move(*journal);
}

cli::ExecutionOutcome finalize_early_report(SecureJournal journal, TerminalKind kind,
                                            std::string_view message) {
  const bool child = is_child_kind(kind.tag());
  const std::string_view unpublished = child
                                           ? "child exited but its report could not be finalized"
                                           : "launch failed and its report could not be finalized";

  // Nothing was supervised, so nothing was measured and every time is the
  // run's start.
  TerminalOutcome outcome;
  outcome.at_ms = 0;
  switch (kind.tag()) {
    case Tag::ChildExited:
    case Tag::ChildSignaled:
    case Tag::LaunchNotFound:
    case Tag::LaunchNotExecutable:
    case Tag::InvalidConfiguration:
      outcome.kind = kind;
      break;
    default:
      outcome.kind = TerminalKind::of(Tag::SupervisorFailure);
      break;
  }
  outcome.final_footprint_bytes = Observed<uint64_t>::unknown();
  if (kind.tag() == Tag::ChildExited) {
    outcome.child_status = ChildStatus::exited(kind.number().value_or(0));
  } else if (kind.tag() == Tag::ChildSignaled) {
    outcome.child_status = ChildStatus::signaled(kind.number().value_or(0));
  }

  EscapeEvidence escape;
  escape.detected = Observed<bool>::available(false);

  const bool appended = journal.append(JournalEntry::checkpoint(CheckpointRecord{}), true).ok() &&
                        journal.append(JournalEntry::escape(escape), false).ok() &&
                        journal.append(JournalEntry::outcome(outcome), true).ok();
  if (!appended) return cli::failure_outcome(Tag::PartialArtifactFailure, unpublished);

  Result<FinalizedReport, StorageError> finalized = journal.finalize();
  if (!finalized) return cli::failure_outcome(Tag::PartialArtifactFailure, unpublished);

  // A command that ran and ended on its own is reported as any run is, by
  // its summary line; a launch that failed is told by its message alone.
  if (child) {
    cli::ExecutionOutcome result;
    result.kind = kind.tag();
    result.code = kind.number().value_or(0);
    result.stdout_text = std::move(finalized->summary);
    return result;
  }
  return cli::failure_outcome(kind.tag(), message);
}

void SupervisionJournal::record(JournalEntry entry, bool durable, RecordRoom room) {
  if (!journal_ || !has_room(room)) return;
  Result<void, StorageErrorKind> appended = journal_->append_record(std::move(entry), durable);
  if (appended) return;
  failure_ = appended.error();
  // Releasing the journal closes its descriptors; the file stays on disk
  // with every record that made it, for whoever investigates.
  journal_.reset();
}

bool SupervisionJournal::has_room(RecordRoom room) const {
  if (room == RecordRoom::Closing) return true;
  // The journal numbers its records from 0, so the next sequence is also
  // the number of records it holds.
  const uint64_t records = journal_->next_sequence();
  const uint64_t kept_limit =
      record_limit_ > kClosingRecordReserve ? record_limit_ - kClosingRecordReserve : 0;
  const uint64_t limit = room == RecordRoom::Kept           ? kept_limit
                         : kept_limit > kKeptRecordHeadroom ? kept_limit - kKeptRecordHeadroom
                                                            : 0;
  return records < limit;
}

cli::ExecutionOutcome SupervisionJournal::publish(TerminalKind kind,
                                                  const std::optional<std::string>& message) {
  if (!journal_) {
    cli::ExecutionOutcome lost;
    lost.kind = Tag::PartialArtifactFailure;
    if (!failure_) {
      lost.stderr_text = "vek-guard: artifact persistence failed\n";
    } else if (*failure_ == StorageErrorKind::WriteFailed) {
      lost.stderr_text =
          "vek-guard: artifact write failed; safety enforcement continues; complete report "
          "unavailable\n";
    } else if (*failure_ == StorageErrorKind::SyncFailed) {
      lost.stderr_text =
          "vek-guard: artifact synchronization failed; safety enforcement continues; complete "
          "report unavailable\n";
    } else {
      lost.stderr_text =
          "vek-guard: artifact persistence failed; safety enforcement continues; complete report "
          "unavailable\n";
    }
    return lost;
  }
  Result<FinalizedReport, StorageError> finalized = journal_->finalize();
  if (!finalized)
    return cli::failure_outcome(Tag::PartialArtifactFailure, finalized.error().message());
  cli::ExecutionOutcome result;
  result.kind = kind.tag();
  result.code = kind.number().value_or(0);
  result.stdout_text = std::move(finalized->summary);
  if (message) result.stderr_text = "vek-guard: " + *message + "\n";
  return result;
}

}  // namespace vek_guard::runtime
