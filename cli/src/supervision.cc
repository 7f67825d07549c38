#include "supervision.h"

#include <utility>

namespace vek_guard::runtime {
WindowHistory::WindowHistory(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {
  windows_.reserve(capacity_);
}

void WindowHistory::push(SampleWindow window) {
  if (windows_.size() < capacity_) {
    windows_.push_back(std::move(window));
    return;
  }
  windows_[head_] = std::move(window);
  head_ = (head_ + 1) % capacity_;
}

SupervisionCommon::SupervisionCommon(TerminalSignalMonitor monitor, JournalSink sink,
                                     const SamplingConfig& config, Duration interval,
                                     ParentWatcher parent, FootprintSampler footprint_sampler,
                                     OwnedProcess owned_process, GroupStopLink link)
    : terminal_signals(std::move(monitor)),
      journal(std::move(sink)),
      sampling_config(config),
      sample_interval(interval),
      parent_watch(parent),
      detach_on_parent_exit(parent.on_parent_exit() == OnParentExit::Detach),
      observer(NativeAdvisoryObserver::create()),
      sampler(std::move(footprint_sampler)),
      owned(std::move(owned_process)),
      stop_link(std::move(link)),
      started_at(MonotonicInstant::now()) {}

SupervisionCommon::SampleStep SupervisionCommon::take_sample() {
  const FootprintSample& sample = sampler.sample_native(started_at);
  const Duration at = now();
  PolicyEvent::Sample event = sampler.policy_event(sample, at);
  const AdvisorySnapshot snapshot = observer.snapshot(at, sampling_config.max_sample_age());
  SampleWindow window = calibration.record_sample(sample, at, snapshot);
  const Observed<uint64_t> aggregate = window.aggregate_footprint_bytes;
  last_aggregate = aggregate;
  escape_detected = escape_detected || sample.escaped;
  if (sample.sequence < kSampleHistoryCapacity) {
    journal_event(journal, JournalEntry::sample(window), false);
  }
  sample_history.push(std::move(window));
  return {event, aggregate, at};
}

bool SupervisionCommon::check_parent(Duration at) {
  if (!parent_watch.check_exited()) return false;
  parent_exited_at_ms = at.as_millis_saturating();
  return true;
}

Result<void, ControlError> SupervisionCommon::poll_root() {
  if (root_status) return {};
  Result<std::optional<ChildStatus>, ControlError> status = owned.try_wait_root();
  if (!status) return unexpected(status.error());
  if (*status) root_status = **status;
  return {};
}

Result<bool, ControlError> SupervisionCommon::group_exists() {
  Result<bool, ControlError> exists = owned.owned_group_exists();
  if (!exists || !*exists || !root_status) return exists;
  const Result<bool, InspectionError> alive = sampler.owned_group_alive(started_at);
  if (!alive) return exists;  // no better knowledge: trust the signal probe
  return *alive;
}

EscapeEvidence SupervisionCommon::escape_evidence() const {
  EscapeEvidence escape;
  escape.detected = Observed<bool>::available(escape_detected);
  const uint64_t escaped = sampler.tracker().escaped_count();
  if (escaped != 0) escape.escaped_count = escaped;
  return escape;
}

void SupervisionCommon::append_final_records(const CheckpointRecord& checkpoint,
                                             const std::optional<CalibrationArtifact>& summary,
                                             const TerminalOutcome& outcome) {
  constexpr RecordRoom kClosing = RecordRoom::Closing;
  const SampleHistory history = sampler.history();
  if (!history.empty() && history.oldest_sequence != 0) {
    journal_event(journal, JournalEntry::sample_history_reset(), true, kClosing);
    for (std::size_t i = 0; i < sample_history.size(); ++i) {
      journal_event(journal, JournalEntry::sample(sample_history.at(i)), false, kClosing);
    }
  }
  journal_event(journal, JournalEntry::checkpoint(checkpoint), true, kClosing);
  journal_event(journal, JournalEntry::escape(escape_evidence()), false, kClosing);
  if (summary) {
    journal_event(journal, JournalEntry::calibration(*summary), false, kClosing);
  }
  journal_event(journal, JournalEntry::outcome(outcome), true, kClosing);
}

cli::ExecutionOutcome SupervisionCommon::publish(TerminalKind kind,
                                                 const std::optional<std::string>& message) {
  SecureJournal* held = journal.journal();
  if (held == nullptr) {
    cli::ExecutionOutcome lost;
    lost.kind = TerminalKind::Tag::PartialArtifactFailure;
    const std::optional<StorageErrorKind> kept = journal.failure();
    if (!kept) {
      lost.stderr_text = "vek-guard: artifact persistence failed\n";
    } else if (*kept == StorageErrorKind::WriteFailed) {
      lost.stderr_text =
          "vek-guard: artifact write failed; safety enforcement continues; complete report "
          "unavailable\n";
    } else if (*kept == StorageErrorKind::SyncFailed) {
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
  sample_history.release();
  Result<FinalizedReport, StorageError> finalized = held->finalize();
  if (!finalized) {
    return failure_outcome(TerminalKind::Tag::PartialArtifactFailure, finalized.error().message());
  }
  cli::ExecutionOutcome result;
  result.kind = kind.tag();
  result.code = kind.number().value_or(0);
  result.stdout_text = std::move(finalized->summary);
  if (message) result.stderr_text = "vek-guard: " + *message + "\n";
  return result;
}

}  // namespace vek_guard::runtime
