#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/report_samples.h"
#include "vek_guard/json_writer.h"
#include "vek_guard/report.h"

namespace vek_guard {
namespace {

using test_support::valid_observe_report;
using test_support::valid_run_report;

constexpr const char* kRunId = "run_0123456789abcdef0123456789abcdef";
const std::string kHash = "sha256:" + std::string(64, 'e');

// The kind validation reports, or nullopt for a valid record.
template <class R>
std::optional<ReportError> verdict(const R& record) {
  const Result<void, ReportError> result = record.validate();
  if (result) return std::nullopt;
  return result.error();
}

struct Case {
  std::string name;
  std::function<void(ReportV1&)> change;
  std::optional<ReportError> expected;
};

// Applies each change to a fresh copy of `base` and checks the verdict.
void expect_verdicts(const ReportV1& base, const std::vector<Case>& cases) {
  ASSERT_EQ(verdict(base), std::nullopt);
  for (const Case& c : cases) {
    ReportV1 report = base;
    c.change(report);
    EXPECT_EQ(verdict(report), c.expected) << c.name;
  }
}

using Change = std::function<void(ReportV1&)>;

Change both(Change first, Change second) {
  return [=](ReportV1& r) {
    first(r);
    second(r);
  };
}

Change config(std::function<void(ReportConfiguration&)> change) {
  return [=](ReportV1& r) { change(r.configuration); };
}

Change calibration(std::function<void(CalibrationArtifact&)> change) {
  return [=](ReportV1& r) { change(*r.calibration); };
}

TEST(ReportValidation, SchemaAndPackageVersions) {
  expect_verdicts(valid_observe_report(), {});
  const auto versions = [](uint32_t schema, std::string package) -> Change {
    return [=](ReportV1& r) {
      r.schema_version = schema;
      r.package_version = package;
    };
  };
  const std::string longest = "1.2.3-" + std::string(58, 'a');
  ASSERT_EQ(longest.size(), 64U);
  std::vector<Case> cases = {
      {"schema 0", versions(0, "0.3.0"), ReportError::UnsupportedSchemaVersion},
      {"schema 2", versions(2, "0.3.0"), ReportError::UnsupportedSchemaVersion}};
  for (const std::string& valid : std::vector<std::string>{
           "01.2.3", "1.2.3-rc.1", "1.2.3+build.7", "1.2.3-", "1.2.3+", "1.2.3-a-b+c.d", longest}) {
    cases.push_back({valid, versions(1, valid), std::nullopt});
  }
  for (const std::string& invalid :
       std::vector<std::string>{"1.2", "1.2.3.4", "1..3", "1.2a.3", "1.2.3_4", "", ".1.2", "1.2.",
                                "v1.2.3", "1.2.3 ", "-1.2.3", "1.2.3-rc_1", longest + "b"}) {
    cases.push_back({invalid, versions(1, invalid), ReportError::InvalidPackageVersion});
  }
  expect_verdicts(valid_run_report(), cases);
}

TEST(RunIdentity, ValidateChecksRunIdBasenameAndHash) {
  constexpr std::optional<ReportError> kBad = ReportError::InvalidRunIdentity;
  const auto check = [](std::string run_id, std::string name, std::optional<std::string> hash) {
    return verdict(RunIdentity{.run_id = std::move(run_id),
                               .executable_basename = std::move(name),
                               .correlation_hash = std::move(hash)});
  };
  const std::string id = kRunId;
  EXPECT_EQ(check(id, "tool", std::nullopt), std::nullopt);
  // Upper-case hex, 35 and 37 bytes, another prefix, a letter beyond "f".
  for (const std::string& run_id :
       std::vector<std::string>{"run_0123456789ABCDEF0123456789abcdef", id.substr(0, 35), id + "0",
                                "run-" + id.substr(4), id.substr(0, 35) + "g"}) {
    EXPECT_EQ(check(run_id, "tool", std::nullopt), kBad) << run_id;
  }
  const std::vector<std::pair<std::string, bool>> names = {{std::string(255, 'x'), true},
                                                           {std::string(256, 'x'), false},
                                                           {"", false},
                                                           {".", false},
                                                           {"..", false},
                                                           {"...", true},
                                                           {"<non-utf8>", true},
                                                           {"a/b", false},
                                                           {"a\\b", false}};
  for (const auto& [name, valid] : names) {
    EXPECT_EQ(check(id, name, std::nullopt), valid ? std::nullopt : kBad) << name;
  }
  const std::vector<std::pair<std::string, bool>> hashes = {
      {kHash, true},
      {kHash.substr(0, kHash.size() - 1), false},
      {"sha256:" + std::string(64, 'A'), false},
      {"sha512:" + kHash.substr(7), false}};
  for (const auto& [hash, valid] : hashes) {
    EXPECT_EQ(check(id, "tool", hash), valid ? std::nullopt : kBad) << hash;
  }
  ReportV1 report = valid_run_report();
  report.run.run_id.pop_back();
  EXPECT_EQ(verdict(report), kBad);
}

TEST(RunIdentity, FromArgvTakesTheFileNameAndCountsArguments) {
  const auto basename_of = [](std::string executable) -> std::optional<std::string> {
    const std::vector<std::string> argv{std::move(executable), "x"};
    auto identity = RunIdentity::from_argv(kRunId, argv, std::nullopt);
    if (!identity) {
      EXPECT_EQ(identity.error(), ReportError::InvalidRunIdentity);
      return std::nullopt;
    }
    EXPECT_EQ(identity->argument_count, 1U);
    return identity->executable_basename;
  };
  const std::vector<std::string> env_argv{"/usr/bin/env", "true", "x"};
  EXPECT_EQ(RunIdentity::from_argv(kRunId, env_argv, std::nullopt),
            (RunIdentity{.run_id = kRunId, .executable_basename = "env", .argument_count = 2}));
  const std::string long_name(255, 'n');
  for (const std::string executable :
       {"bin/tool/", "bin/tool/.", "bin//tool//", "tool", "../tool", "a/./tool/./."}) {
    EXPECT_EQ(basename_of(executable), "tool") << executable;
  }
  EXPECT_EQ(basename_of(long_name), long_name);
  EXPECT_EQ(basename_of("dir/" + long_name), long_name);
  EXPECT_EQ(basename_of("t\xc3\xa9l"), "t\xc3\xa9l");
  // A long name that is not UTF-8 is replaced before the length rule applies.
  EXPECT_EQ(basename_of(std::string(300, '\xff')), "<non-utf8>");
  for (const std::string non_utf8 :
       {"\xff", "a\x80", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe0\x80\x80"}) {
    EXPECT_EQ(basename_of("/bin/" + non_utf8), "<non-utf8>");
  }
  for (const std::string& no_name : std::vector<std::string>{"", "/", ".", "./", "..", "a/..", "/.",
                                                             "//", "a\\b", std::string(256, 'n')}) {
    EXPECT_EQ(basename_of(no_name), std::nullopt) << no_name;
  }

  const std::vector<std::string> empty;
  EXPECT_FALSE(RunIdentity::from_argv(kRunId, empty, std::nullopt));
  const std::vector<std::string> only_executable{"tool"};
  const auto with_hash = RunIdentity::from_argv(kRunId, only_executable, kHash);
  ASSERT_TRUE(with_hash);
  EXPECT_EQ(with_hash->argument_count, 0U);
  EXPECT_EQ(with_hash->correlation_hash, kHash);
  EXPECT_FALSE(RunIdentity::from_argv("run_1", only_executable, std::nullopt));
  EXPECT_FALSE(RunIdentity::from_argv(kRunId, only_executable, "sha256:0"));
}

TEST(ReportValidation, ConfigurationAndPrivacy) {
  constexpr auto kBad = ReportError::InvalidConfiguration;
  constexpr auto kPrivacy = ReportError::InvalidPrivacy;
  constexpr auto kDetach = OnParentExit::Detach;
  constexpr auto kTerminate = OnParentExit::Terminate;
  constexpr auto kHashCapture = CapturePolicy::RedactedMetadataWithCorrelationHash;
  // The parent settings, and when the parent was seen to exit.
  const auto parent = [](std::optional<OnParentExit> on_exit, std::optional<ParentWatch> watch,
                         std::optional<uint64_t> exited_at_ms = std::nullopt) -> Change {
    return [=](ReportV1& r) {
      r.configuration.on_parent_exit = on_exit;
      r.configuration.parent_watch = watch;
      r.outcome.parent_exited_at_ms = exited_at_ms;
    };
  };
  const auto privacy = [](CapturePolicy capture, std::optional<std::string> hash) -> Change {
    return [=](ReportV1& r) {
      r.privacy.capture = capture;
      r.run.correlation_hash = hash;
    };
  };
  expect_verdicts(
      valid_run_report(),
      {{"sample interval 0", config([](auto& c) { c.sample_interval_ms = 0; }), kBad},
       {"sample age 0", config([](auto& c) { c.max_sample_age_ms = 0; }), kBad},
       {"sample window 0", config([](auto& c) { c.max_sample_window_ms = 0; }), kBad},
       {"term grace 0", config([](auto& c) { c.term_grace_ms = 0; }), kBad},
       {"breach samples 0", config([](auto& c) { c.required_breach_samples = 0; }), kBad},
       {"missing samples 0", config([](auto& c) { c.max_missing_samples = 0; }), kBad},
       {"wall time 0", config([](auto& c) { c.wall_time_ms = 0; }), kBad},
       {"wall time 1", config([](auto& c) { c.wall_time_ms = 1; }), std::nullopt},
       {"checkpoint timeout 0", config([](auto& c) { c.checkpoint_timeout_ms = 0; }), kBad},
       {"no checkpoint timeout", config([](auto& c) { c.checkpoint_timeout_ms.reset(); }),
        std::nullopt},
       {"warning = max", config([](auto& c) { c.warning_footprint_bytes = 1000; }), kBad},
       {"recovery = warning", config([](auto& c) { c.recovery_footprint_bytes = 800; }), kBad},
       {"emergency = max", config([](auto& c) { c.emergency_footprint_bytes = 1000; }), kBad},
       {"no emergency", config([](auto& c) { c.emergency_footprint_bytes.reset(); }), kBad},
       {"detach, watch detach", parent(kDetach, ParentWatch::Detach), std::nullopt},
       {"detach, unobservable", parent(kDetach, ParentWatch::ParentUnobservable), std::nullopt},
       {"detach, active watch", parent(kDetach, ParentWatch::Active), kBad},
       {"detach, no watch", parent(kDetach, std::nullopt), kBad},
       {"watch detach, terminate", parent(kTerminate, ParentWatch::Detach), kBad},
       {"watch detach, no on-parent-exit", parent(std::nullopt, ParentWatch::Detach), kBad},
       {"exit seen, watched", parent(kTerminate, ParentWatch::Active, 300), std::nullopt},
       {"exit seen, launchd", parent(kTerminate, ParentWatch::ParentIsLaunchd, 300), kBad},
       {"exit seen, no watch", parent(kTerminate, std::nullopt, 300), kBad},
       // Only the default privacy record, and a hash only with its capture policy.
       {"privacy defaults", [](ReportV1& r) { r.privacy = PrivacyDefaults::defaults(); },
        std::nullopt},
       {"not redacted", [](ReportV1& r) { r.privacy.redacted_before_persistence = false; },
        kPrivacy},
       {"mode 0644", [](ReportV1& r) { r.privacy.file_mode = "0644"; }, kPrivacy},
       {"hash capture, no hash", privacy(kHashCapture, std::nullopt), kPrivacy},
       {"hash, no hash capture", privacy(CapturePolicy::RedactedMetadataOnly, kHash), kPrivacy},
       {"hash with hash capture", privacy(kHashCapture, kHash), std::nullopt}});

  expect_verdicts(
      valid_observe_report(),
      {{"wall time", config([](auto& c) { c.wall_time_ms = 1; }), kBad},
       {"limit", config([](auto& c) { c.max_footprint_bytes = 1; }), kBad},
       {"recovery", config([](auto& c) { c.recovery_footprint_bytes = 1; }), kBad},
       {"checkpoint timeout", config([](auto& c) { c.checkpoint_timeout_ms = 1; }), kBad},
       {"no parent settings", parent(std::nullopt, std::nullopt), std::nullopt}});
}

TEST(ReportValidation, AdvisoryMetadata) {
  constexpr auto kBad = ReportError::InvalidAdvisoryMetadata;
  // Changes to the second sample's metrics and to their metadata.
  const auto metrics = [](std::function<void(AdvisoryMetrics&)> change) -> Change {
    return [=](ReportV1& r) { change(r.samples[1].advisory); };
  };
  const auto meta = [](std::function<void(AdvisoryMetadata&)> change) -> Change {
    return [=](ReportV1& r) { change(*r.samples[1].advisory.metadata); };
  };
  const auto freshness = [&](AdvisoryMetricMetadata AdvisoryMetadata::*metric,
                             AdvisoryFreshness value) {
    return meta([=](AdvisoryMetadata& m) { (m.*metric).freshness = value; });
  };
  const auto captured_after_processed = [](uint64_t ms) -> Change {
    return [=](ReportV1& r) {
      r.samples[1].advisory.metadata->wired_bytes.captured_at_ms =
          r.samples[1].processed_at_ms + ms;
    };
  };
  const Change no_level = metrics([](auto& m) { m.pressure_level.reset(); });
  const Change no_metadata = metrics([](auto& m) { m.metadata.reset(); });
  const Change unknown_swap =
      metrics([](auto& m) { m.swap_bytes = Observed<uint64_t>::unknown(); });
  using enum AdvisoryFreshness;
  expect_verdicts(
      valid_run_report(),
      {{"both absent", both(no_level, no_metadata), std::nullopt},
       {"level without metadata", no_metadata, kBad},
       {"metadata without level", no_level, kBad},
       {"wrong scope",
        meta([](auto& m) { m.growth_bytes_per_second.scope = AdvisoryScope::System; }), kBad},
       {"wrong source",
        meta([](auto& m) { m.compressor_bytes.source = AdvisorySource::SysctlVmSwapusage; }), kBad},
       {"fresh but unknown", unknown_swap, kBad},
       {"initial unknown and unknown",
        both(unknown_swap, freshness(&AdvisoryMetadata::swap_bytes, InitialUnknown)), std::nullopt},
       {"stale level",
        both(metrics([](auto& m) { m.pressure_level = Observed<MemoryPressureLevel>::stale(3); }),
             freshness(&AdvisoryMetadata::pressure_level, Stale)),
        std::nullopt},
       {"error is unavailable",
        both(metrics([](auto& m) { m.wired_bytes = Observed<uint64_t>::error({}); }),
             freshness(&AdvisoryMetadata::wired_bytes, Unavailable)),
        std::nullopt},
       {"unavailable growth",
        both(metrics([](auto& m) {
               m.growth_bytes_per_second =
                   Observed<int64_t>::unavailable(UnavailableReason::NotApplicable);
             }),
             freshness(&AdvisoryMetadata::growth_bytes_per_second, Unavailable)),
        std::nullopt},
       {"pressure events freshness", freshness(&AdvisoryMetadata::pressure_events, Stale), kBad},
       {"captured when processed", captured_after_processed(0), std::nullopt},
       {"captured after processed", captured_after_processed(1), kBad}});
}

TEST(ReportValidation, EventsCheckpointOutcomeAndEscape) {
  constexpr auto kBad = ReportError::InvalidEvents;
  const auto checkpoint = [](CheckpointStatus status, std::optional<uint64_t> at_ms,
                             std::optional<uint64_t> request_id,
                             std::optional<SignalReason> reason = std::nullopt,
                             std::optional<CheckpointArtifactRecord> artifact = std::nullopt) {
    return [=](ReportV1& r) { r.checkpoint = {status, at_ms, request_id, reason, artifact}; };
  };
  const auto artifact_errors = [](uint64_t first_ms, uint64_t second_ms) -> Change {
    return [=](ReportV1& r) { r.artifact_errors = {{.at_ms = first_ms}, {.at_ms = second_ms}}; };
  };
  const auto outcome = [](TerminalKind kind, std::optional<ChildStatus> status) {
    return [=](ReportV1& r) {
      r.outcome.kind = kind;
      r.outcome.child_status = status;
    };
  };
  const auto escape = [](Observed<bool> detected, std::optional<uint32_t> count) {
    return [=](ReportV1& r) { r.escape = {.detected = detected, .escaped_count = count}; };
  };
  using enum CheckpointStatus;
  using Tag = TerminalKind::Tag;
  const auto yes = Observed<bool>::available(true);
  expect_verdicts(
      valid_run_report(),
      {{"same processed time",
        [](ReportV1& r) { r.samples[1] = test_support::sample_with_full_advisory(50); },
        std::nullopt},
       {"decreasing processed time", [](ReportV1& r) { std::swap(r.samples[0], r.samples[1]); },
        kBad},
       {"captured after processed",
        [](ReportV1& r) { r.samples[0].captured_at_ms = r.samples[0].processed_at_ms + 1; }, kBad},
       {"empty window", [](ReportV1& r) { r.samples[0].window_ms = 0; }, kBad},
       {"decreasing transition time",
        [](ReportV1& r) {
          r.transitions.push_back({.at_ms = r.transitions[0].at_ms - 1,
                                   .from = PolicyState::Warning,
                                   .to = PolicyState::Normal});
        },
        kBad},
       {"transition to the same state",
        [](ReportV1& r) { r.transitions[0].to = r.transitions[0].from; }, kBad},
       {"signal 127", [](ReportV1& r) { r.signals[0].signal = 127; }, std::nullopt},
       {"signal 128", [](ReportV1& r) { r.signals[0].signal = 128; }, kBad},
       {"signal 0", [](ReportV1& r) { r.signals[0].signal = 0; }, kBad},
       {"equal signal times", [](ReportV1& r) { r.signals.push_back(r.signals[0]); }, std::nullopt},
       {"decreasing signal time",
        [](ReportV1& r) { r.signals.push_back({.at_ms = r.signals[0].at_ms - 1, .signal = 9}); },
        kBad},
       {"equal artifact error times", artifact_errors(10, 10), std::nullopt},
       {"decreasing artifact error time", artifact_errors(10, 9), kBad},
       // Checkpoints.
       {"timed out", checkpoint(TimedOut, 250, 7), std::nullopt},
       {"timed out without time", checkpoint(TimedOut, std::nullopt, 7), kBad},
       {"not negotiated with time", checkpoint(NotNegotiated, 1, std::nullopt), kBad},
       {"not negotiated with request", checkpoint(NotNegotiated, std::nullopt, 7), kBad},
       {"cancelled with request", checkpoint(Cancelled, 250, 7), kBad},
       {"cancelled", checkpoint(Cancelled, 250, std::nullopt), std::nullopt},
       {"request id 0", checkpoint(RequestedUnverified, 250, 0), kBad},
       {"acknowledged with artifact",
        checkpoint(AcknowledgedUnverifiedDurability, 250, 7, SignalReason::WallTime,
                   CheckpointArtifactRecord{.kind = ArtifactKind::Directory}),
        std::nullopt},
       {"timed out with artifact", checkpoint(TimedOut, 250, 7, std::nullopt, {{}}), kBad},
       {"footprint reason", checkpoint(RequestedUnverified, 250, 7, SignalReason::Footprint),
        std::nullopt},
       {"external signal reason",
        checkpoint(RequestedUnverified, 250, 7, SignalReason::ExternalSignal), kBad},
       // The terminal kind and the child status must agree.
       {"signaled 128", outcome(TerminalKind::child_signaled(128), std::nullopt), kBad},
       {"signaled 0", outcome(TerminalKind::child_signaled(0), std::nullopt), kBad},
       {"status signaled 200, other kind",
        outcome(TerminalKind::of(Tag::SupervisorFailure), ChildStatus::signaled(200)), kBad},
       {"status exited, other kind",
        outcome(TerminalKind::of(Tag::PolicyIntervention), ChildStatus::exited(3)), std::nullopt},
       {"signaled, another signal",
        [](ReportV1& r) { r.outcome.child_status = ChildStatus::signaled(9); }, kBad},
       {"signaled, exited status",
        [](ReportV1& r) { r.outcome.child_status = ChildStatus::exited(15); }, kBad},
       {"exited, same code", outcome(TerminalKind::child_exited(3), ChildStatus::exited(3)),
        std::nullopt},
       {"exited, another code", outcome(TerminalKind::child_exited(3), ChildStatus::exited(4)),
        kBad},
       {"exited, signaled status", outcome(TerminalKind::child_exited(3), ChildStatus::signaled(3)),
        kBad},
       {"parent exit at the end",
        [](ReportV1& r) { r.outcome.parent_exited_at_ms = r.outcome.at_ms; }, std::nullopt},
       {"parent exit after the end",
        [](ReportV1& r) { r.outcome.parent_exited_at_ms = r.outcome.at_ms + 1; }, kBad},
       // A count of escaped processes needs a detection.
       {"escape counted", escape(yes, 1), std::nullopt},
       {"escape count 0", escape(yes, 0), kBad},
       {"escape count, none detected", escape(Observed<bool>::available(false), 1), kBad},
       {"escape count, detection unknown", escape(Observed<bool>::unknown(), 1), kBad},
       {"no count, detection failed",
        escape(Observed<bool>::error(ObservationError::PermissionDenied), std::nullopt),
        std::nullopt}});
}

// The outcome must not precede the latest event, whichever list holds it.
TEST(ReportValidation, OutcomeIsNoEarlierThanTheLatestEvent) {
  const std::vector<std::pair<std::string, std::function<void(ReportV1&)>>> sources = {
      {"sample",
       [](ReportV1& r) { r.samples.push_back(test_support::sample_with_full_advisory(999)); }},
      {"transition",
       [](ReportV1& r) {
         r.transitions.push_back(
             {.at_ms = 1000, .from = PolicyState::Warning, .to = PolicyState::Terminating});
       }},
      {"signal", [](ReportV1& r) { r.signals.push_back({.at_ms = 1000, .signal = 9}); }},
      {"artifact error", [](ReportV1& r) { r.artifact_errors.push_back({.at_ms = 1000}); }},
      {"checkpoint", [](ReportV1& r) {
         r.checkpoint = {.status = CheckpointStatus::TimedOut, .at_ms = 1000, .request_id = 1};
       }}};
  for (const auto& [source, add_latest] : sources) {
    ReportV1 report = valid_run_report();
    report.outcome.at_ms = 1000;
    add_latest(report);
    EXPECT_EQ(latest_report_timestamp(report), 1000U) << source;
    EXPECT_EQ(verdict(report), std::nullopt) << source;
    report.outcome.at_ms = 999;
    EXPECT_EQ(verdict(report), ReportError::InvalidEvents) << source;
  }

  ReportV1 empty = valid_run_report();
  empty.samples.clear();
  empty.transitions.clear();
  empty.signals.clear();
  empty.outcome.at_ms = 0;
  EXPECT_EQ(latest_report_timestamp(empty), std::nullopt);
  EXPECT_EQ(verdict(empty), std::nullopt);

  // The bound is the greatest time, not the last one listed.
  ReportV1 unordered = valid_run_report();
  unordered.transitions[0].at_ms = 5;
  EXPECT_EQ(latest_report_timestamp(unordered), 200U);
}

TEST(ReportValidation, Calibration) {
  constexpr auto kBad = ReportError::InvalidCalibration;
  const auto counts = [](uint64_t total, uint64_t complete, uint64_t incomplete) {
    return calibration([=](CalibrationArtifact& c) {
      c.total_samples = total;
      c.complete_samples = complete;
      c.incomplete_samples = incomplete;
    });
  };
  const auto peak = [](Observed<uint64_t> value) {
    return calibration([=](CalibrationArtifact& c) { c.peak_aggregate_footprint_bytes = value; });
  };
  const auto growth = [](Observed<int64_t> value) {
    return calibration([=](CalibrationArtifact& c) { c.peak_growth_bytes_per_second = value; });
  };
  const uint64_t u64_max = std::numeric_limits<uint64_t>::max();
  expect_verdicts(
      valid_observe_report(),
      {{"absent", [](ReportV1& r) { r.calibration.reset(); }, std::nullopt},
       {"no complete sample, peak unknown", both(counts(2, 0, 2), peak({})), std::nullopt},
       {"no complete sample, peak available", counts(2, 0, 2), kBad},
       {"complete samples, peak unknown", peak({}), kBad},
       {"peak stale", peak(Observed<uint64_t>::stale(1)), kBad},
       {"counts do not add up", counts(3, 2, 0), kBad},
       {"counts overflow", counts(2, u64_max, 3), kBad},  // 2 is the wrapped sum
       {"automatic limit set", calibration([](auto& c) { c.automatic_limit_bytes = 1; }), kBad},
       {"peak growth 0", growth(Observed<int64_t>::available(0)), kBad},
       {"peak growth negative", growth(Observed<int64_t>::available(-5)), kBad},
       {"peak growth unavailable",
        growth(Observed<int64_t>::unavailable(UnavailableReason::NotApplicable)), std::nullopt},
       {"schema 2", calibration([](auto& c) { c.schema_version = 2; }), kBad},
       {"not observation only", calibration([](auto& c) { c.observation_only = false; }), kBad},
       {"safety certified", calibration([](auto& c) { c.safety_certified = true; }), kBad}});

  ReportV1 enforce = valid_run_report();
  enforce.calibration = valid_observe_report().calibration;
  EXPECT_EQ(verdict(enforce), kBad);
  EXPECT_EQ(enforce.validate_calibration().error(), kBad);
}

// Each pair breaks two groups; the group checked first decides the kind.
TEST(ReportValidation, FirstFailingGroupWins) {
  const auto bad_schema = [](ReportV1& r) { r.schema_version = 2; };
  const auto bad_package = [](ReportV1& r) { r.package_version = "1.2"; };
  const auto bad_run = [](ReportV1& r) { r.run.run_id = "run_"; };
  const auto bad_configuration = [](ReportV1& r) { r.configuration.term_grace_ms = 0; };
  const auto bad_privacy = [](ReportV1& r) { r.privacy.file_mode = "0644"; };
  const auto bad_advisory = [](ReportV1& r) { r.samples[1].advisory.metadata.reset(); };
  const auto bad_events = [](ReportV1& r) {
    r.transitions.push_back(
        {.at_ms = 100, .from = PolicyState::Warning, .to = PolicyState::Normal});
  };
  const auto bad_calibration = [](ReportV1& r) { r.calibration->safety_certified = true; };

  expect_verdicts(
      valid_observe_report(),
      {{"schema, package", both(bad_schema, bad_package), ReportError::UnsupportedSchemaVersion},
       {"package, run", both(bad_package, bad_run), ReportError::InvalidPackageVersion},
       {"run, configuration", both(bad_run, bad_configuration), ReportError::InvalidRunIdentity},
       {"configuration, privacy", both(bad_configuration, bad_privacy),
        ReportError::InvalidConfiguration},
       {"privacy, advisory", both(bad_privacy, bad_advisory), ReportError::InvalidPrivacy},
       {"advisory, events", both(bad_advisory, bad_events), ReportError::InvalidAdvisoryMetadata},
       {"events, calibration", both(bad_events, bad_calibration), ReportError::InvalidEvents},
       {"schema, calibration", both(bad_schema, bad_calibration),
        ReportError::UnsupportedSchemaVersion},
       // A bad sample time before a sample with bad metadata: the metadata
       // group is still the one reported.
       {"sample window, later metadata",
        [](ReportV1& r) {
          r.samples[0].window_ms = 0;
          r.samples[1].advisory.metadata->swap_bytes.scope = AdvisoryScope::OwnedProcessGroup;
        },
        ReportError::InvalidAdvisoryMetadata}});
}

TEST(ReportToJsonPretty, WritesThePrettyFormAndOneLineFeedOnlyForAValidReport) {
  for (const ReportV1& report : {valid_run_report(), valid_observe_report()}) {
    const Result<std::string, ReportError> text = report.to_json_pretty();
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, to_json(report, JsonLayout::Pretty) + "\n");
  }
  ReportV1 report = valid_run_report();
  report.signals[0].signal = 128;
  EXPECT_EQ(report.to_json_pretty().error(), ReportError::InvalidEvents);
}

}  // namespace
}  // namespace vek_guard
