#include "support/report_samples.h"

#include <cstdint>
#include <string>

#include "vek_guard/report.h"
#include "vek_guard/version.h"

namespace vek_guard::test_support {

AdvisoryMetadata fresh_advisory_metadata(uint64_t captured_at_ms) {
  const auto entry = [captured_at_ms](AdvisoryScope scope, AdvisorySource source) {
    return AdvisoryMetricMetadata{.scope = scope,
                                  .source = source,
                                  .captured_at_ms = captured_at_ms,
                                  .freshness = AdvisoryFreshness::Fresh};
  };
  return AdvisoryMetadata{
      .pressure_events = entry(AdvisoryScope::System, AdvisorySource::DispatchMemoryPressure),
      .pressure_level = entry(AdvisoryScope::System, AdvisorySource::DispatchMemoryPressure),
      .swap_bytes = entry(AdvisoryScope::System, AdvisorySource::SysctlVmSwapusage),
      .compressor_bytes = entry(AdvisoryScope::System, AdvisorySource::HostStatistics64),
      .wired_bytes = entry(AdvisoryScope::System, AdvisorySource::HostStatistics64),
      .growth_bytes_per_second =
          entry(AdvisoryScope::OwnedProcessGroup, AdvisorySource::DerivedFootprintSamples),
  };
}

SampleWindow sample_with_full_advisory(uint64_t at_ms) {
  return SampleWindow{
      .captured_at_ms = at_ms,
      .processed_at_ms = at_ms + 1,
      .window_ms = 10,
      .aggregate_footprint_bytes = Observed<uint64_t>::available(700 + at_ms),
      .advisory =
          AdvisoryMetrics{
              .pressure_events = Observed<uint64_t>::available(0),
              .swap_bytes = Observed<uint64_t>::available(4096),
              .compressor_bytes = Observed<uint64_t>::available(8192),
              .wired_bytes = Observed<uint64_t>::available(1 << 20),
              .growth_bytes_per_second = Observed<int64_t>::available(-1),
              .pressure_level =
                  Observed<MemoryPressureLevel>::available(MemoryPressureLevel::Normal),
              .metadata = fresh_advisory_metadata(at_ms),
          },
  };
}

ReportV1 valid_run_report() {
  ReportV1 report;
  report.schema_version = 1;
  report.package_version = std::string(kPackageVersion);
  report.run = RunIdentity{.run_id = "run_0123456789abcdef0123456789abcdef",
                           .executable_basename = "tool",
                           .argument_count = 2,
                           .correlation_hash = std::nullopt};
  report.capabilities = Capabilities{
      .darwin_footprint = Observed<bool>::available(true),
      .owned_process_group = Observed<bool>::available(true),
      .checkpoint_channel = Observed<bool>::unavailable(UnavailableReason::NotNegotiated)};
  report.configuration = ReportConfiguration{.mode = ReportMode::Enforce,
                                             .max_footprint_bytes = 1000,
                                             .warning_footprint_bytes = 800,
                                             .recovery_footprint_bytes = 600,
                                             .emergency_footprint_bytes = 1200,
                                             .required_breach_samples = 3,
                                             .max_missing_samples = 5,
                                             .wall_time_ms = std::nullopt,
                                             .sample_interval_ms = 50,
                                             .max_sample_age_ms = 200,
                                             .max_sample_window_ms = 100,
                                             .checkpoint_timeout_ms = 5000,
                                             .term_grace_ms = 2000,
                                             .on_parent_exit = OnParentExit::Terminate,
                                             .parent_watch = ParentWatch::Active};
  report.samples = {sample_with_full_advisory(50), sample_with_full_advisory(100)};
  report.transitions = {TransitionRecord{.at_ms = 150,
                                         .from = PolicyState::Normal,
                                         .to = PolicyState::Warning,
                                         .aggregate_footprint_bytes = 850}};
  report.signals = {SignalRecord{.at_ms = 200,
                                 .signal = 15,
                                 .target = SignalTarget::OwnedProcessGroup,
                                 .result = SignalResult::Delivered,
                                 .reason = SignalReason::Footprint}};
  report.checkpoint = CheckpointRecord{};
  report.escape =
      EscapeEvidence{.detected = Observed<bool>::available(false), .escaped_count = std::nullopt};
  report.outcome = TerminalOutcome{.at_ms = 300,
                                   .kind = TerminalKind::child_signaled(15),
                                   .final_footprint_bytes = Observed<uint64_t>::available(900),
                                   .child_status = ChildStatus::signaled(15),
                                   .owned_group_survivors = false,
                                   .parent_exited_at_ms = std::nullopt};
  report.privacy = PrivacyDefaults{};
  return report;
}

ReportV1 valid_observe_report() {
  ReportV1 report = valid_run_report();
  report.configuration = ReportConfiguration{.mode = ReportMode::Observe,
                                             .required_breach_samples = 3,
                                             .max_missing_samples = 5,
                                             .sample_interval_ms = 50,
                                             .max_sample_age_ms = 200,
                                             .max_sample_window_ms = 100,
                                             .term_grace_ms = 2000,
                                             .on_parent_exit = OnParentExit::Terminate,
                                             .parent_watch = ParentWatch::Active};
  report.transitions = {TransitionRecord{.at_ms = 250,
                                         .from = PolicyState::Observe,
                                         .to = PolicyState::Exited,
                                         .aggregate_footprint_bytes = std::nullopt}};
  report.signals.clear();
  report.outcome = TerminalOutcome{.at_ms = 300,
                                   .kind = TerminalKind::child_exited(0),
                                   .final_footprint_bytes = Observed<uint64_t>::available(800),
                                   .child_status = ChildStatus::exited(0),
                                   .owned_group_survivors = false,
                                   .parent_exited_at_ms = std::nullopt};
  report.calibration = CalibrationArtifact{
      .total_samples = 2,
      .complete_samples = 2,
      .incomplete_samples = 0,
      .observed_duration_ms = 50,
      .peak_aggregate_footprint_bytes = Observed<uint64_t>::available(800),
      .peak_growth_bytes_per_second = Observed<int64_t>::available(2),
  };
  return report;
}

}  // namespace vek_guard::test_support
