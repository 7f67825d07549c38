#include "artifacts.h"

#include <array>
#include <utility>
#include <vector>

#include "vek_guard/identity.h"
#include "vek_guard/random_source.h"
#include "vek_guard/version.h"

namespace vek_guard::runtime {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool is_child_kind(TerminalKind::Tag tag) {
  return tag == TerminalKind::Tag::ChildExited || tag == TerminalKind::Tag::ChildSignaled;
}

}  // namespace

cli::ExecutionOutcome failure_outcome(TerminalKind::Tag kind, std::string_view message) {
  cli::ExecutionOutcome outcome;
  outcome.kind = kind;
  outcome.stderr_text = "vek-guard: ";
  outcome.stderr_text.append(message);
  outcome.stderr_text.push_back('\n');
  return outcome;
}

Result<SecureJournal, cli::ExecutionOutcome> prepare_run_artifacts(
    const cli::NormalizedCommand& command, const ReportConfiguration& configuration,
    bool checkpoint_channel_available) {
  if (!NativeProcessInventory().probe_footprint()) {
    return unexpected(failure_outcome(TerminalKind::Tag::SupervisorFailure,
                                      "OS-accounted footprint observation is unavailable"));
  }

  constexpr std::string_view kIdentityFailed = "secure run identity generation failed";
  std::array<uint8_t, 16> random{};
  {
    std::optional<RandomSource> source = RandomSource::open();
    if (!source || !source->fill(random)) {
      return unexpected(failure_outcome(TerminalKind::Tag::SupervisorFailure, kIdentityFailed));
    }
  }
  std::string run_id = "run_";
  for (const uint8_t byte : random) {
    run_id.push_back(kHexDigits[byte >> 4]);
    run_id.push_back(kHexDigits[byte & 0x0f]);
  }
  Result<RunIdentity, ReportError> identity =
      RunIdentity::from_argv(run_id, command.common.command, std::nullopt);
  if (!identity) {
    return unexpected(failure_outcome(TerminalKind::Tag::SupervisorFailure, kIdentityFailed));
  }

  JournalHeader header;
  header.schema_version = kReportSchemaVersion;
  header.package_version = std::string(kPackageVersion);
  header.run = std::move(*identity);
  header.capabilities.darwin_footprint = Observed<bool>::available(true);
  header.capabilities.owned_process_group = Observed<bool>::available(true);
  header.capabilities.checkpoint_channel =
      checkpoint_channel_available ? Observed<bool>::available(true)
                                   : Observed<bool>::unavailable(UnavailableReason::NotNegotiated);
  header.configuration = configuration;
  header.privacy = PrivacyDefaults::defaults();

  Result<SecureJournal, StorageError> journal =
      SecureJournal::initialize(command.common.report_path);
  if (!journal) {
    return unexpected(
        failure_outcome(TerminalKind::Tag::PartialArtifactFailure, journal.error().message()));
  }
  Result<void, StorageError> appended =
      journal->append(JournalEntry::header(std::move(header)), true);
  if (!appended) {
    return unexpected(
        failure_outcome(TerminalKind::Tag::PartialArtifactFailure, appended.error().message()));
  }
  return std::move(*journal);
}

JournalSink::AppendResult JournalSink::append(JournalEntry entry, bool durable) {
  if (!journal_) {
    return {Status::NoJournal, failure_.value_or(StorageErrorKind::WriteFailed)};
  }
  Result<void, StorageErrorKind> result = journal_->append_record(std::move(entry), durable);
  if (result) return {Status::Appended, StorageErrorKind::WriteFailed};
  failure_ = result.error();
  // Releasing the journal closes its descriptors; the file stays on disk.
  journal_.reset();
  return {Status::FailedNow, result.error()};
}

bool JournalSink::has_room(RecordRoom room) const {
  if (room == RecordRoom::Closing || !journal_) return true;
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

void journal_event(JournalSink& sink, JournalEntry entry, bool durable, RecordRoom room) {
  if (!sink.has_room(room)) return;
  (void)sink.append(std::move(entry), durable);
}

cli::ExecutionOutcome finalize_early_report(SecureJournal journal, TerminalKind kind,
                                            std::string_view message) {
  const bool child = is_child_kind(kind.tag());
  const std::string_view unpublished = child
                                           ? "child exited but its report could not be finalized"
                                           : "launch failed and its report could not be finalized";

  TerminalOutcome outcome;
  outcome.at_ms = 0;
  switch (kind.tag()) {
    case TerminalKind::Tag::ChildExited:
    case TerminalKind::Tag::ChildSignaled:
    case TerminalKind::Tag::LaunchNotFound:
    case TerminalKind::Tag::LaunchNotExecutable:
    case TerminalKind::Tag::InvalidConfiguration:
      outcome.kind = kind;
      break;
    default:
      outcome.kind = TerminalKind::of(TerminalKind::Tag::SupervisorFailure);
      break;
  }
  outcome.final_footprint_bytes = Observed<uint64_t>::unknown();
  if (kind.tag() == TerminalKind::Tag::ChildExited) {
    outcome.child_status = ChildStatus::exited(kind.number().value_or(0));
  } else if (kind.tag() == TerminalKind::Tag::ChildSignaled) {
    outcome.child_status = ChildStatus::signaled(kind.number().value_or(0));
  }

  EscapeEvidence escape;
  escape.detected = Observed<bool>::available(false);

  const bool appended = journal.append(JournalEntry::checkpoint(CheckpointRecord{}), true).ok() &&
                        journal.append(JournalEntry::escape(escape), false).ok() &&
                        journal.append(JournalEntry::outcome(outcome), true).ok();
  if (!appended) return failure_outcome(TerminalKind::Tag::PartialArtifactFailure, unpublished);

  Result<FinalizedReport, StorageError> finalized = journal.finalize();
  if (!finalized) return failure_outcome(TerminalKind::Tag::PartialArtifactFailure, unpublished);

  if (child) {
    cli::ExecutionOutcome result;
    result.kind = kind.tag();
    result.code = kind.number().value_or(0);
    result.stdout_text = std::move(finalized->summary);
    return result;
  }
  return failure_outcome(kind.tag(), message);
}

}  // namespace vek_guard::runtime
