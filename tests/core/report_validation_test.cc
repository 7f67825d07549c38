#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/report_samples.h"
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

using Change = std::function<void(ReportV1&)>;

struct Case {
  std::string name;
  Change change;
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

Change both(Change first, Change second) {
  return [=](ReportV1& r) {
    first(r);
    second(r);
  };
}

Change config(std::function<void(ReportConfiguration&)> change) {
  return [=](ReportV1& r) { change(r.configuration); };
}

TEST(ReportValidation, VersionsAndRunIdentity) {
  constexpr auto kPackage = ReportError::InvalidPackageVersion;
  constexpr auto kRun = ReportError::InvalidRunIdentity;
  const auto package = [](std::string version) -> Change {
    return [=](ReportV1& r) { r.package_version = version; };
  };
  // A hash is checked with the identity, before the privacy rules that tie it
  // to the capture policy.
  const auto run = [](std::string id, std::string name,
                      std::optional<std::string> hash = std::nullopt) -> Change {
    return [=](ReportV1& r) {
      r.run = {.run_id = id, .executable_basename = name, .correlation_hash = hash};
    };
  };
  const std::string longest = "1.2.3-" + std::string(58, 'a');
  const std::string id = kRunId;
  expect_verdicts(valid_run_report(),
                  {{"schema 0", [](ReportV1& r) { r.schema_version = 0; },
                    ReportError::UnsupportedSchemaVersion},
                   {"schema 2", [](ReportV1& r) { r.schema_version = 2; },
                    ReportError::UnsupportedSchemaVersion},
                   {"pre-release and build", package("1.2.3-rc.1+build.7"), std::nullopt},
                   {"64 bytes", package(longest), std::nullopt},
                   {"65 bytes", package(longest + "b"), kPackage},
                   {"two parts", package("1.2"), kPackage},
                   {"bad pre-release", package("1.2.3-rc_1"), kPackage},
                   {"upper-case run id", run("run_0123456789ABCDEF0123456789abcdef", "tool"), kRun},
                   {"35-byte run id", run(id.substr(0, 35), "tool"), kRun},
                   {"255-byte name", run(id, std::string(255, 'x')), std::nullopt},
                   {"256-byte name", run(id, std::string(256, 'x')), kRun},
                   {"name ..", run(id, ".."), kRun},
                   {"name with a slash", run(id, "a/b"), kRun},
                   {"short hash", run(id, "tool", kHash.substr(0, 70)), kRun},
                   {"upper-case hash", run(id, "tool", "sha256:" + std::string(64, 'A')), kRun}});
}

TEST(RunIdentity, FromArgvTakesTheFileNameAndCountsArguments) {
  const auto basename_of = [](std::string executable) -> std::optional<std::string> {
    const std::vector<std::string> argv{std::move(executable)};
    auto identity = RunIdentity::from_argv(kRunId, argv, std::nullopt);
    if (!identity) return std::nullopt;
    return identity->executable_basename;
  };
  const std::vector<std::string> env_argv{"/usr/bin/env", "true", "x"};
  EXPECT_EQ(RunIdentity::from_argv(kRunId, env_argv, std::nullopt),
            (RunIdentity{.run_id = kRunId, .executable_basename = "env", .argument_count = 2}));
  for (const std::string executable : {"bin//tool//", "a/./tool/./.", "../tool"}) {
    EXPECT_EQ(basename_of(executable), "tool") << executable;
  }
  // A long name that is not UTF-8 is replaced before the length rule applies.
  EXPECT_EQ(basename_of(std::string(300, '\xff')), "<non-utf8>");
  EXPECT_EQ(basename_of("/bin/\xed\xa0\x80"), "<non-utf8>");  // a surrogate
  for (const std::string& no_name :
       {std::string(""), std::string("/"), std::string("a/.."), std::string(256, 'n')}) {
    EXPECT_EQ(basename_of(no_name), std::nullopt) << no_name;
  }
  EXPECT_FALSE(RunIdentity::from_argv(kRunId, std::vector<std::string>{}, std::nullopt));
  EXPECT_FALSE(RunIdentity::from_argv(kRunId, env_argv, "sha256:0"));
}

TEST(ReportValidation, ConfigurationAndPrivacy) {
  constexpr auto kBad = ReportError::InvalidConfiguration;
  constexpr auto kPrivacy = ReportError::InvalidPrivacy;
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
  constexpr auto kHashCapture = CapturePolicy::RedactedMetadataWithCorrelationHash;
  expect_verdicts(
      valid_run_report(),
      {{"sample interval 0", config([](auto& c) { c.sample_interval_ms = 0; }), kBad},
       {"wall time 0", config([](auto& c) { c.wall_time_ms = 0; }), kBad},
       {"wall time 1", config([](auto& c) { c.wall_time_ms = 1; }), std::nullopt},
       {"warning = max", config([](auto& c) { c.warning_footprint_bytes = 1000; }), kBad},
       {"recovery = warning", config([](auto& c) { c.recovery_footprint_bytes = 800; }), kBad},
       {"emergency = max", config([](auto& c) { c.emergency_footprint_bytes = 1000; }), kBad},
       {"detach, watch detach", parent(OnParentExit::Detach, ParentWatch::Detach), std::nullopt},
       {"detach, active watch", parent(OnParentExit::Detach, ParentWatch::Active), kBad},
       {"exit seen, no watch", parent(OnParentExit::Terminate, std::nullopt, 300), kBad},
       {"mode 0644", [](ReportV1& r) { r.privacy.file_mode = "0644"; }, kPrivacy},
       {"hash capture, no hash", privacy(kHashCapture, std::nullopt), kPrivacy},
       {"hash, no hash capture", privacy(CapturePolicy::RedactedMetadataOnly, kHash), kPrivacy}});
  // Observation sets no thresholds.
  expect_verdicts(valid_observe_report(),
                  {{"wall time", config([](auto& c) { c.wall_time_ms = 1; }), kBad},
                   {"limit", config([](auto& c) { c.max_footprint_bytes = 1; }), kBad}});
}

TEST(ReportValidation, AdvisoryMetadata) {
  constexpr auto kBad = ReportError::InvalidAdvisoryMetadata;
  const auto metrics = [](std::function<void(AdvisoryMetrics&)> change) -> Change {
    return [=](ReportV1& r) { change(r.samples[1].advisory); };
  };
  const auto meta = [](std::function<void(AdvisoryMetadata&)> change) -> Change {
    return [=](ReportV1& r) { change(*r.samples[1].advisory.metadata); };
  };
  const Change no_level = metrics([](auto& m) { m.pressure_level.reset(); });
  const Change no_metadata = metrics([](auto& m) { m.metadata.reset(); });
  const Change unknown_swap =
      metrics([](auto& m) { m.swap_bytes = Observed<uint64_t>::unknown(); });
  const Change initial_unknown_swap =
      meta([](auto& m) { m.swap_bytes.freshness = AdvisoryFreshness::InitialUnknown; });
  const auto captured_after_processed = [](uint64_t ms) -> Change {
    return [=](ReportV1& r) {
      r.samples[1].advisory.metadata->wired_bytes.captured_at_ms =
          r.samples[1].processed_at_ms + ms;
    };
  };
  expect_verdicts(
      valid_run_report(),
      {{"both absent", both(no_level, no_metadata), std::nullopt},
       {"level without metadata", no_metadata, kBad},
       {"metadata without level", no_level, kBad},
       {"wrong scope",
        meta([](auto& m) { m.growth_bytes_per_second.scope = AdvisoryScope::System; }), kBad},
       {"fresh but unknown", unknown_swap, kBad},
       {"initial unknown and unknown", both(unknown_swap, initial_unknown_swap), std::nullopt},
       {"captured when processed", captured_after_processed(0), std::nullopt},
       {"captured after processed", captured_after_processed(1), kBad}});
}

TEST(ReportValidation, EventsCheckpointOutcomeAndEscape) {
  constexpr auto kBad = ReportError::InvalidEvents;
  const auto signal = [](uint8_t number) -> Change {
    return [=](ReportV1& r) { r.signals[0].signal = number; };
  };
  const auto checkpoint = [](CheckpointStatus status, std::optional<uint64_t> at_ms,
                             std::optional<uint64_t> request_id,
                             std::optional<SignalReason> reason = std::nullopt,
                             std::optional<CheckpointArtifactRecord> artifact = std::nullopt) {
    return [=](ReportV1& r) { r.checkpoint = {status, at_ms, request_id, reason, artifact}; };
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
  expect_verdicts(
      valid_run_report(),
      {{"decreasing processed time", [](ReportV1& r) { std::swap(r.samples[0], r.samples[1]); },
        kBad},
       {"transition to the same state",
        [](ReportV1& r) { r.transitions[0].to = r.transitions[0].from; }, kBad},
       {"signal 127", signal(127), std::nullopt},
       {"signal 128", signal(128), kBad},
       {"timed out", checkpoint(TimedOut, 250, 7), std::nullopt},
       {"timed out without time", checkpoint(TimedOut, std::nullopt, 7), kBad},
       {"timed out with artifact", checkpoint(TimedOut, 250, 7, std::nullopt, {{}}), kBad},
       {"external signal reason",
        checkpoint(RequestedUnverified, 250, 7, SignalReason::ExternalSignal), kBad},
       // The terminal kind and the child status must agree.
       {"signaled 128", outcome(TerminalKind::child_signaled(128), std::nullopt), kBad},
       {"exited, another code", outcome(TerminalKind::child_exited(3), ChildStatus::exited(4)),
        kBad},
       {"parent exit after the end",
        [](ReportV1& r) { r.outcome.parent_exited_at_ms = r.outcome.at_ms + 1; }, kBad},
       // A count of escaped processes needs a detection.
       {"escape count, detection unknown", escape(Observed<bool>::unknown(), 1), kBad}});
}

// The outcome must not precede the latest event, whichever record holds it.
TEST(ReportValidation, OutcomeIsNoEarlierThanTheLatestEvent) {
  const auto end_at = [](uint64_t at_ms) -> Change {
    return [=](ReportV1& r) { r.outcome.at_ms = at_ms; };
  };
  const Change sample = [](ReportV1& r) {
    r.samples.push_back(test_support::sample_with_full_advisory(999));
  };
  const Change checkpoint = [](ReportV1& r) {
    r.checkpoint = {.status = CheckpointStatus::TimedOut, .at_ms = 1000, .request_id = 1};
  };
  expect_verdicts(
      valid_run_report(),
      {{"sample at the end", both(end_at(1000), sample), std::nullopt},
       {"sample after the end", both(end_at(999), sample), ReportError::InvalidEvents},
       {"checkpoint at the end", both(end_at(1000), checkpoint), std::nullopt},
       {"checkpoint after the end", both(end_at(999), checkpoint), ReportError::InvalidEvents}});
  // The bound is the greatest time, not the last one listed.
  ReportV1 unordered = valid_run_report();
  unordered.transitions[0].at_ms = 5;
  EXPECT_EQ(latest_report_timestamp(unordered), 200U);
}

TEST(ReportValidation, Calibration) {
  constexpr auto kBad = ReportError::InvalidCalibration;
  const auto calibration = [](std::function<void(CalibrationArtifact&)> change) -> Change {
    return [=](ReportV1& r) { change(*r.calibration); };
  };
  const auto counts = [&](uint64_t total, uint64_t complete, uint64_t incomplete) {
    return calibration([=](CalibrationArtifact& c) {
      c.total_samples = total;
      c.complete_samples = complete;
      c.incomplete_samples = incomplete;
    });
  };
  const Change no_peak = calibration([](auto& c) { c.peak_aggregate_footprint_bytes = {}; });
  expect_verdicts(
      valid_observe_report(),
      {{"no complete sample, peak unknown", both(counts(2, 0, 2), no_peak), std::nullopt},
       {"no complete sample, peak available", counts(2, 0, 2), kBad},
       {"complete samples, peak unknown", no_peak, kBad},
       // 2 is the wrapped sum.
       {"counts overflow", counts(2, std::numeric_limits<uint64_t>::max(), 3), kBad},
       {"safety certified", calibration([](auto& c) { c.safety_certified = true; }), kBad}});
  ReportV1 enforce = valid_run_report();
  enforce.calibration = valid_observe_report().calibration;
  EXPECT_EQ(verdict(enforce), kBad);
}

}  // namespace
}  // namespace vek_guard
