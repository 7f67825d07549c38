#include "vek_guard/report.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "vek_guard/coding.h"
#include "vek_guard/json_writer.h"
#include "vek_guard/path.h"

namespace vek_guard {
namespace {

constexpr std::size_t kMaxPackageVersionBytes = 64;
constexpr std::size_t kMaxBasenameBytes = 255;
constexpr std::string_view kNonUtf8Basename = "<non-utf8>";

// Validation is on the path of every report, so each check reads the report
// in place: no copies, no temporary strings, one pass per list.

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_lower_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f'); }

// `prefix` followed by exactly `digits` lowercase hexadecimal digits.
bool is_prefixed_lower_hex(std::string_view text, std::string_view prefix, std::size_t digits) {
  if (text.size() != prefix.size() + digits || !text.starts_with(prefix)) return false;
  for (const char c : text.substr(prefix.size())) {
    if (!is_lower_hex(c)) return false;
  }
  return true;
}

// Up to 64 bytes of letters, digits, '.', '+' and '-', whose core (the text
// before the first '-' or '+') is three non-empty dot-separated runs of
// digits. Leading zeros and an empty suffix are accepted.
bool is_valid_package_version(std::string_view version) {
  if (version.size() > kMaxPackageVersionBytes) return false;
  for (const char c : version) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && !is_digit(c) && c != '.' && c != '+' && c != '-') return false;
  }
  const std::string_view core = version.substr(0, version.find_first_of("-+"));
  std::size_t pieces = 0;
  std::size_t piece_length = 0;
  for (std::size_t i = 0; i <= core.size(); ++i) {
    if (i == core.size() || core[i] == '.') {
      if (piece_length == 0) return false;
      ++pieces;
      piece_length = 0;
    } else if (is_digit(core[i])) {
      ++piece_length;
    } else {
      return false;
    }
  }
  return pieces == 3;
}

// A signal number read as a signed byte must be positive: 1 to 127.
bool is_valid_signal(uint8_t signal) { return signal >= 1 && signal <= 127; }

bool is_valid_configuration(const ReportConfiguration& config, const TerminalOutcome& outcome) {
  if (config.sample_interval_ms == 0 || config.max_sample_age_ms == 0 ||
      config.max_sample_window_ms == 0 || config.term_grace_ms == 0 ||
      config.required_breach_samples == 0 || config.max_missing_samples == 0) {
    return false;
  }
  if (config.wall_time_ms == 0U || config.checkpoint_timeout_ms == 0U) return false;

  switch (config.mode) {
    case ReportMode::Observe:
      if (config.max_footprint_bytes || config.warning_footprint_bytes ||
          config.recovery_footprint_bytes || config.emergency_footprint_bytes ||
          config.wall_time_ms || config.checkpoint_timeout_ms) {
        return false;
      }
      break;
    case ReportMode::Enforce:
      if (!config.max_footprint_bytes || !config.warning_footprint_bytes ||
          !config.recovery_footprint_bytes || !config.emergency_footprint_bytes) {
        return false;
      }
      if (!(*config.recovery_footprint_bytes < *config.warning_footprint_bytes &&
            *config.warning_footprint_bytes < *config.max_footprint_bytes &&
            *config.max_footprint_bytes < *config.emergency_footprint_bytes)) {
        return false;
      }
      break;
    default:
      return false;
  }

  if (config.on_parent_exit == OnParentExit::Detach && config.parent_watch != ParentWatch::Detach &&
      config.parent_watch != ParentWatch::ParentUnobservable) {
    return false;
  }
  if (config.parent_watch == ParentWatch::Detach && config.on_parent_exit != OnParentExit::Detach) {
    return false;
  }
  if (outcome.parent_exited_at_ms && config.parent_watch != ParentWatch::Active &&
      config.parent_watch != ParentWatch::Detach) {
    return false;
  }
  return true;
}

bool is_valid_privacy(const PrivacyDefaults& privacy, const RunIdentity& run) {
  const CapturePolicy expected_capture = run.correlation_hash
                                             ? CapturePolicy::RedactedMetadataWithCorrelationHash
                                             : CapturePolicy::RedactedMetadataOnly;
  return privacy.redacted_before_persistence && privacy.file_mode == "0600" &&
         privacy.upload == UploadPolicy::Disabled &&
         privacy.retention == RetentionPolicy::UserManaged && privacy.capture == expected_capture;
}

bool is_valid_metadata_entry(const AdvisoryMetricMetadata& entry, AdvisoryScope scope,
                             AdvisorySource source, ObservedStatus status,
                             uint64_t processed_at_ms) {
  return entry.scope == scope && entry.source == source &&
         entry.freshness == freshness_for(status) && entry.captured_at_ms <= processed_at_ms;
}

bool is_valid_advisory(const SampleWindow& sample) {
  const AdvisoryMetrics& advisory = sample.advisory;
  if (advisory.pressure_level.has_value() != advisory.metadata.has_value()) return false;
  if (!advisory.metadata) return true;
  const AdvisoryMetadata& meta = *advisory.metadata;
  const uint64_t at = sample.processed_at_ms;
  using enum AdvisoryScope;
  using enum AdvisorySource;
  return is_valid_metadata_entry(meta.pressure_events, System, DispatchMemoryPressure,
                                 advisory.pressure_events.status(), at) &&
         is_valid_metadata_entry(meta.pressure_level, System, DispatchMemoryPressure,
                                 advisory.pressure_level->status(), at) &&
         is_valid_metadata_entry(meta.swap_bytes, System, SysctlVmSwapusage,
                                 advisory.swap_bytes.status(), at) &&
         is_valid_metadata_entry(meta.compressor_bytes, System, HostStatistics64,
                                 advisory.compressor_bytes.status(), at) &&
         is_valid_metadata_entry(meta.wired_bytes, System, HostStatistics64,
                                 advisory.wired_bytes.status(), at) &&
         is_valid_metadata_entry(meta.growth_bytes_per_second, OwnedProcessGroup,
                                 DerivedFootprintSamples, advisory.growth_bytes_per_second.status(),
                                 at);
}

// The greatest of the times fed to it, if any.
class LatestTime {
 public:
  void see(uint64_t at_ms) {
    if (!latest_ || at_ms > *latest_) latest_ = at_ms;
  }
  std::optional<uint64_t> get() const { return latest_; }

 private:
  std::optional<uint64_t> latest_;
};

// What one pass over the samples finds. The advisory metadata and the sample
// times belong to different rule groups, and the metadata group is reported
// first, so a pass cannot stop at the first bad time.
struct SampleScan {
  bool advisory_ok = true;
  bool times_ok = true;
};

SampleScan scan_samples(std::span<const SampleWindow> samples, LatestTime& latest) {
  SampleScan scan;
  std::optional<uint64_t> previous;
  for (const SampleWindow& sample : samples) {
    if (!is_valid_advisory(sample)) {
      scan.advisory_ok = false;
      return scan;  // decides the verdict whatever follows
    }
    if (sample.captured_at_ms > sample.processed_at_ms || sample.window_ms == 0 ||
        (previous && sample.processed_at_ms < *previous)) {
      scan.times_ok = false;
    }
    previous = sample.processed_at_ms;
    latest.see(sample.processed_at_ms);
  }
  return scan;
}

// True when `at_ms` of each record never decreases; feeds every time to
// `latest`. `extra` is a further per-record rule.
template <class Rec, class Rule>
bool scan_ordered(std::span<const Rec> records, LatestTime& latest, Rule extra) {
  std::optional<uint64_t> previous;
  for (const Rec& record : records) {
    if ((previous && record.at_ms < *previous) || !extra(record)) return false;
    previous = record.at_ms;
    latest.see(record.at_ms);
  }
  return true;
}

bool is_valid_checkpoint(const CheckpointRecord& checkpoint) {
  const bool negotiated = checkpoint.status != CheckpointStatus::NotNegotiated;
  if (checkpoint.at_ms.has_value() != negotiated) return false;
  if (checkpoint.request_id == 0U) return false;
  if (checkpoint.request_id && (checkpoint.status == CheckpointStatus::NotNegotiated ||
                                checkpoint.status == CheckpointStatus::Cancelled)) {
    return false;
  }
  if (checkpoint.artifact &&
      checkpoint.status != CheckpointStatus::AcknowledgedUnverifiedDurability) {
    return false;
  }
  return !checkpoint.reason || *checkpoint.reason == SignalReason::Footprint ||
         *checkpoint.reason == SignalReason::WallTime;
}

bool is_valid_outcome(const TerminalOutcome& outcome, std::optional<uint64_t> latest) {
  const TerminalKind::Tag tag = outcome.kind.tag();
  const std::optional<uint8_t> number = outcome.kind.number();
  if (tag == TerminalKind::Tag::ChildSignaled && !is_valid_signal(*number)) return false;
  if (outcome.child_status) {
    const ChildStatus& status = *outcome.child_status;
    if (status.kind() == ChildStatus::Kind::Signaled && !is_valid_signal(status.number())) {
      return false;
    }
    if (tag == TerminalKind::Tag::ChildSignaled && status != ChildStatus::signaled(*number)) {
      return false;
    }
    if (tag == TerminalKind::Tag::ChildExited && status != ChildStatus::exited(*number)) {
      return false;
    }
  }
  if (outcome.parent_exited_at_ms && *outcome.parent_exited_at_ms > outcome.at_ms) return false;
  return !latest || outcome.at_ms >= *latest;
}

bool is_valid_escape(const EscapeEvidence& escape) {
  if (!escape.escaped_count) return true;
  const bool* detected = escape.detected.value();
  return *escape.escaped_count != 0 && detected != nullptr && *detected;
}

// Transitions, signals, artifact errors, checkpoint, outcome and escape; the
// samples' part of the group arrives as `sample_times_ok`, with their latest
// time already in `latest`.
bool are_valid_events(const ReportV1& report, bool sample_times_ok, LatestTime& latest) {
  if (!sample_times_ok) return false;
  if (!scan_ordered<TransitionRecord>(report.transitions, latest,
                                      [](const TransitionRecord& t) { return t.from != t.to; })) {
    return false;
  }
  if (!scan_ordered<SignalRecord>(report.signals, latest, [](const SignalRecord& s) {
        return is_valid_signal(s.signal);
      })) {
    return false;
  }
  if (!scan_ordered<ArtifactErrorRecord>(report.artifact_errors, latest,
                                         [](const ArtifactErrorRecord&) { return true; })) {
    return false;
  }
  if (!is_valid_checkpoint(report.checkpoint)) return false;
  if (report.checkpoint.at_ms) latest.see(*report.checkpoint.at_ms);
  return is_valid_outcome(report.outcome, latest.get()) && is_valid_escape(report.escape);
}

}  // namespace

Result<RunIdentity, ReportError> RunIdentity::from_argv(
    std::string_view run_id, std::span<const std::string> argv,
    std::optional<std::string> correlation_hash) {
  if (argv.empty()) return unexpected(ReportError::InvalidRunIdentity);
  const std::optional<std::string_view> name = last_path_component(argv.front());
  if (!name) return unexpected(ReportError::InvalidRunIdentity);
  if (argv.size() - 1 > std::numeric_limits<uint32_t>::max()) {
    return unexpected(ReportError::InvalidRunIdentity);
  }
  RunIdentity identity;
  identity.run_id = std::string(run_id);
  identity.executable_basename = std::string(is_valid_utf8(*name) ? *name : kNonUtf8Basename);
  identity.argument_count = static_cast<uint32_t>(argv.size() - 1);
  identity.correlation_hash = std::move(correlation_hash);
  if (!identity.validate()) return unexpected(ReportError::InvalidRunIdentity);
  return identity;
}

Result<void, ReportError> RunIdentity::validate() const {
  const std::string_view name = executable_basename;
  const bool valid = is_prefixed_lower_hex(run_id, "run_", 32) && !name.empty() &&
                     name.size() <= kMaxBasenameBytes && name != "." && name != ".." &&
                     name.find_first_of("/\\") == std::string_view::npos &&
                     (!correlation_hash || is_prefixed_lower_hex(*correlation_hash, "sha256:", 64));
  if (!valid) return unexpected(ReportError::InvalidRunIdentity);
  return {};
}

PrivacyDefaults PrivacyDefaults::defaults() {
  PrivacyDefaults privacy;
  privacy.redacted_before_persistence = true;
  privacy.file_mode = "0600";
  privacy.upload = UploadPolicy::Disabled;
  privacy.retention = RetentionPolicy::UserManaged;
  privacy.capture = CapturePolicy::RedactedMetadataOnly;
  return privacy;
}

Result<void, ReportError> ReportV1::validate() const {
  if (schema_version != kReportSchemaVersion) {
    return unexpected(ReportError::UnsupportedSchemaVersion);
  }
  if (!is_valid_package_version(package_version)) {
    return unexpected(ReportError::InvalidPackageVersion);
  }
  if (!run.validate()) return unexpected(ReportError::InvalidRunIdentity);
  if (!is_valid_configuration(configuration, outcome)) {
    return unexpected(ReportError::InvalidConfiguration);
  }
  if (!is_valid_privacy(privacy, run)) return unexpected(ReportError::InvalidPrivacy);

  LatestTime latest;
  const SampleScan samples_scan = scan_samples(samples, latest);
  if (!samples_scan.advisory_ok) return unexpected(ReportError::InvalidAdvisoryMetadata);
  if (!are_valid_events(*this, samples_scan.times_ok, latest)) {
    return unexpected(ReportError::InvalidEvents);
  }
  return validate_calibration();
}

Result<void, ReportError> ReportV1::validate_calibration() const {
  if (!calibration) return {};
  const CalibrationArtifact& c = *calibration;
  const bool counts_add_up =
      c.complete_samples <= std::numeric_limits<uint64_t>::max() - c.incomplete_samples &&
      c.complete_samples + c.incomplete_samples == c.total_samples;
  const ObservedStatus peak_status = c.peak_aggregate_footprint_bytes.status();
  const bool peak_agrees = peak_status == ObservedStatus::Unknown
                               ? c.complete_samples == 0
                               : peak_status == ObservedStatus::Available && c.complete_samples > 0;
  const int64_t* peak_growth = c.peak_growth_bytes_per_second.value();
  const bool valid = configuration.mode == ReportMode::Observe && !c.automatic_limit_bytes &&
                     counts_add_up && peak_agrees &&
                     (peak_growth == nullptr || *peak_growth >= 1) && c.schema_version == 1 &&
                     c.observation_only && !c.safety_certified;
  if (!valid) return unexpected(ReportError::InvalidCalibration);
  return {};
}

Result<std::string, ReportError> ReportV1::to_json_pretty() const {
  if (auto valid = validate(); !valid) return unexpected(valid.error());
  std::string text;
  text.reserve(128);
  JsonWriter writer(text, JsonLayout::Pretty);
  writer.value(*this);
  text.push_back('\n');
  return text;
}

Result<void, ReportError> ReportV1::write_json_pretty(JsonSink& sink) const {
  constexpr std::size_t kPieceBytes = 64 * 1024;
  if (auto valid = validate(); !valid) return unexpected(valid.error());
  std::string piece;
  piece.reserve(kPieceBytes + 4096);
  JsonWriter writer(piece, JsonLayout::Pretty);
  writer.flush_into(&sink, kPieceBytes);
  writer.value(*this);
  piece.push_back('\n');
  sink.write(piece);
  return {};
}

std::optional<uint64_t> latest_report_timestamp(const ReportV1& report) {
  LatestTime latest;
  for (const SampleWindow& sample : report.samples) latest.see(sample.processed_at_ms);
  for (const TransitionRecord& transition : report.transitions) latest.see(transition.at_ms);
  for (const SignalRecord& signal : report.signals) latest.see(signal.at_ms);
  for (const ArtifactErrorRecord& error : report.artifact_errors) latest.see(error.at_ms);
  if (report.checkpoint.at_ms) latest.see(*report.checkpoint.at_ms);
  return latest.get();
}

}  // namespace vek_guard
