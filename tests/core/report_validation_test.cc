#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/report_samples.h"
#include "vek_guard/json_writer.h"
#include "vek_guard/report.h"

namespace vek_guard {
namespace {

using test_support::valid_observe_report;
using test_support::valid_run_report;

constexpr const char* kRunId = "run_0123456789abcdef0123456789abcdef";

// The kind validation reports, or nullopt for a valid report.
std::optional<ReportError> verdict(const ReportV1& report) {
  const Result<void, ReportError> result = report.validate();
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

TEST(ReportValidation, SampleReportsAreValid) {
  EXPECT_EQ(verdict(valid_run_report()), std::nullopt);
  EXPECT_EQ(verdict(valid_observe_report()), std::nullopt);
}

TEST(ReportValidation, SchemaVersionMustBeOne) {
  expect_verdicts(valid_run_report(),
                  {{"0", [](ReportV1& r) { r.schema_version = 0; },
                    ReportError::UnsupportedSchemaVersion},
                   {"2", [](ReportV1& r) { r.schema_version = 2; },
                    ReportError::UnsupportedSchemaVersion}});
}

TEST(ReportValidation, PackageVersions) {
  const std::string longest = "1.2.3-" + std::string(58, 'a');
  ASSERT_EQ(longest.size(), 64U);
  for (const std::string& version :
       std::vector<std::string>{"1.2.3", "0.3.0", "01.2.3", "1.2.3-rc.1", "1.2.3+build.7",
                                "1.2.3-", "1.2.3+", "1.2.3-a-b+c.d", longest}) {
    ReportV1 report = valid_run_report();
    report.package_version = version;
    EXPECT_EQ(verdict(report), std::nullopt) << version;
  }
  for (const std::string& version : std::vector<std::string>{
           "1.2", "1.2.3.4", "1..3", "1.2a.3", "1.2.3_4", "", ".1.2", "1.2.", "v1.2.3", "1.2.3 ",
           "-1.2.3", "1.2.3-rc_1", longest + "b"}) {
    ReportV1 report = valid_run_report();
    report.package_version = version;
    EXPECT_EQ(verdict(report), ReportError::InvalidPackageVersion) << version;
  }
}

TEST(RunIdentity, ValidateChecksRunIdBasenameAndHash) {
  const RunIdentity valid{.run_id = kRunId, .executable_basename = "tool", .argument_count = 0};
  ASSERT_TRUE(valid.validate());
  const auto check = [&](const std::string& label, auto change, bool expect_valid) {
    RunIdentity identity = valid;
    change(identity);
    const Result<void, ReportError> result = identity.validate();
    EXPECT_EQ(result.ok(), expect_valid) << label;
    if (!result) {
      EXPECT_EQ(result.error(), ReportError::InvalidRunIdentity) << label;
    }
  };
  check("upper-case hex", [](RunIdentity& r) { r.run_id = "run_0123456789ABCDEF0123456789abcdef"; },
        false);
  check("35 bytes", [](RunIdentity& r) { r.run_id.pop_back(); }, false);
  check("37 bytes", [](RunIdentity& r) { r.run_id += "0"; }, false);
  check("wrong prefix", [](RunIdentity& r) { r.run_id[3] = '-'; }, false);
  check("non-hex letter", [](RunIdentity& r) { r.run_id.back() = 'g'; }, false);
  check("255-byte name", [](RunIdentity& r) { r.executable_basename = std::string(255, 'x'); },
        true);
  check("256-byte name", [](RunIdentity& r) { r.executable_basename = std::string(256, 'x'); },
        false);
  check("empty name", [](RunIdentity& r) { r.executable_basename.clear(); }, false);
  check(".", [](RunIdentity& r) { r.executable_basename = "."; }, false);
  check("..", [](RunIdentity& r) { r.executable_basename = ".."; }, false);
  check("...", [](RunIdentity& r) { r.executable_basename = "..."; }, true);
  check("<non-utf8>", [](RunIdentity& r) { r.executable_basename = "<non-utf8>"; }, true);
  check("slash", [](RunIdentity& r) { r.executable_basename = "a/b"; }, false);
  check("backslash", [](RunIdentity& r) { r.executable_basename = "a\\b"; }, false);
  check("hash", [](RunIdentity& r) { r.correlation_hash = "sha256:" + std::string(64, 'a'); },
        true);
  check("short hash",
        [](RunIdentity& r) { r.correlation_hash = "sha256:" + std::string(63, 'a'); }, false);
  check("upper-case hash",
        [](RunIdentity& r) { r.correlation_hash = "sha256:" + std::string(64, 'A'); }, false);
  check("other algorithm",
        [](RunIdentity& r) { r.correlation_hash = "sha512:" + std::string(64, 'a'); }, false);

  ReportV1 report = valid_run_report();
  report.run.run_id.pop_back();
  EXPECT_EQ(verdict(report), ReportError::InvalidRunIdentity);
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
  const auto env = RunIdentity::from_argv(kRunId, env_argv, std::nullopt);
  ASSERT_TRUE(env);
  EXPECT_EQ(*env, (RunIdentity{.run_id = kRunId,
                               .executable_basename = "env",
                               .argument_count = 2,
                               .correlation_hash = std::nullopt}));

  EXPECT_EQ(basename_of("bin/tool/"), "tool");
  EXPECT_EQ(basename_of("bin/tool/."), "tool");
  EXPECT_EQ(basename_of("bin//tool//"), "tool");
  EXPECT_EQ(basename_of("./tool"), "tool");
  EXPECT_EQ(basename_of("tool"), "tool");
  EXPECT_EQ(basename_of("a/./b/./."), "b");
  EXPECT_EQ(basename_of("../tool"), "tool");
  EXPECT_EQ(basename_of(std::string(255, 'n')), std::string(255, 'n'));
  EXPECT_EQ(basename_of("dir/" + std::string(255, 'n')), std::string(255, 'n'));
  EXPECT_EQ(basename_of("t\xc3\xa9l"), "t\xc3\xa9l");
  for (const std::string non_utf8 :
       {"\xff", "a\x80", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe0\x80\x80"}) {
    EXPECT_EQ(basename_of("/bin/" + non_utf8), "<non-utf8>");
  }
  // A long name that is not UTF-8 is replaced before the length rule applies.
  EXPECT_EQ(basename_of(std::string(300, '\xff')), "<non-utf8>");

  for (const std::string& no_name : std::vector<std::string>{
           "", "/", ".", "./", "..", "a/..", "/.", "//", "a\\b", std::string(256, 'n')}) {
    EXPECT_EQ(basename_of(no_name), std::nullopt) << no_name;
  }

  const std::vector<std::string> empty;
  EXPECT_FALSE(RunIdentity::from_argv(kRunId, empty, std::nullopt));
  const std::vector<std::string> only_executable{"tool"};
  const std::string hash = "sha256:" + std::string(64, '0');
  const auto with_hash = RunIdentity::from_argv(kRunId, only_executable, hash);
  ASSERT_TRUE(with_hash);
  EXPECT_EQ(with_hash->argument_count, 0U);
  EXPECT_EQ(with_hash->correlation_hash, hash);
  EXPECT_FALSE(RunIdentity::from_argv("run_1", only_executable, std::nullopt));
  EXPECT_FALSE(RunIdentity::from_argv(kRunId, only_executable, "sha256:0"));
}

TEST(ReportValidation, Configuration) {
  constexpr auto kBad = ReportError::InvalidConfiguration;
  expect_verdicts(
      valid_run_report(),
      {{"sample interval 0", [](ReportV1& r) { r.configuration.sample_interval_ms = 0; }, kBad},
       {"sample age 0", [](ReportV1& r) { r.configuration.max_sample_age_ms = 0; }, kBad},
       {"sample window 0", [](ReportV1& r) { r.configuration.max_sample_window_ms = 0; }, kBad},
       {"term grace 0", [](ReportV1& r) { r.configuration.term_grace_ms = 0; }, kBad},
       {"breach samples 0", [](ReportV1& r) { r.configuration.required_breach_samples = 0; },
        kBad},
       {"missing samples 0", [](ReportV1& r) { r.configuration.max_missing_samples = 0; }, kBad},
       {"wall time 0", [](ReportV1& r) { r.configuration.wall_time_ms = 0; }, kBad},
       {"wall time set", [](ReportV1& r) { r.configuration.wall_time_ms = 1; }, std::nullopt},
       {"checkpoint timeout 0", [](ReportV1& r) { r.configuration.checkpoint_timeout_ms = 0; },
        kBad},
       {"no checkpoint timeout",
        [](ReportV1& r) { r.configuration.checkpoint_timeout_ms.reset(); }, std::nullopt},
       {"warning equal to max", [](ReportV1& r) { r.configuration.warning_footprint_bytes = 1000; },
        kBad},
       {"recovery equal to warning",
        [](ReportV1& r) { r.configuration.recovery_footprint_bytes = 800; }, kBad},
       {"emergency equal to max",
        [](ReportV1& r) { r.configuration.emergency_footprint_bytes = 1000; }, kBad},
       {"no emergency", [](ReportV1& r) { r.configuration.emergency_footprint_bytes.reset(); },
        kBad},
       {"detach with watch detach",
        [](ReportV1& r) {
          r.configuration.on_parent_exit = OnParentExit::Detach;
          r.configuration.parent_watch = ParentWatch::Detach;
        },
        std::nullopt},
       {"detach with unobservable parent",
        [](ReportV1& r) {
          r.configuration.on_parent_exit = OnParentExit::Detach;
          r.configuration.parent_watch = ParentWatch::ParentUnobservable;
        },
        std::nullopt},
       {"detach with active watch",
        [](ReportV1& r) { r.configuration.on_parent_exit = OnParentExit::Detach; }, kBad},
       {"detach without watch",
        [](ReportV1& r) {
          r.configuration.on_parent_exit = OnParentExit::Detach;
          r.configuration.parent_watch.reset();
        },
        kBad},
       {"watch detach without detach",
        [](ReportV1& r) { r.configuration.parent_watch = ParentWatch::Detach; }, kBad},
       {"watch detach with absent on-parent-exit",
        [](ReportV1& r) {
          r.configuration.parent_watch = ParentWatch::Detach;
          r.configuration.on_parent_exit.reset();
        },
        kBad},
       {"parent exit seen while watched",
        [](ReportV1& r) { r.outcome.parent_exited_at_ms = 300; }, std::nullopt},
       {"parent exit seen while launchd parent",
        [](ReportV1& r) {
          r.outcome.parent_exited_at_ms = 300;
          r.configuration.parent_watch = ParentWatch::ParentIsLaunchd;
        },
        kBad},
       {"parent exit seen without watch",
        [](ReportV1& r) {
          r.outcome.parent_exited_at_ms = 300;
          r.configuration.parent_watch.reset();
        },
        kBad}});

  expect_verdicts(
      valid_observe_report(),
      {{"observe with wall time", [](ReportV1& r) { r.configuration.wall_time_ms = 1; }, kBad},
       {"observe with limit", [](ReportV1& r) { r.configuration.max_footprint_bytes = 1; }, kBad},
       {"observe with recovery",
        [](ReportV1& r) { r.configuration.recovery_footprint_bytes = 1; }, kBad},
       {"observe with checkpoint timeout",
        [](ReportV1& r) { r.configuration.checkpoint_timeout_ms = 1; }, kBad},
       {"observe without parent settings",
        [](ReportV1& r) {
          r.configuration.on_parent_exit.reset();
          r.configuration.parent_watch.reset();
        },
        std::nullopt}});
}

TEST(ReportValidation, Privacy) {
  constexpr auto kBad = ReportError::InvalidPrivacy;
  EXPECT_EQ(PrivacyDefaults::defaults(), (PrivacyDefaults{.redacted_before_persistence = true,
                                                          .file_mode = "0600",
                                                          .upload = UploadPolicy::Disabled,
                                                          .retention = RetentionPolicy::UserManaged,
                                                          .capture =
                                                              CapturePolicy::RedactedMetadataOnly}));
  const std::string hash = "sha256:" + std::string(64, 'e');
  expect_verdicts(
      valid_run_report(),
      {{"defaults", [](ReportV1& r) { r.privacy = PrivacyDefaults::defaults(); }, std::nullopt},
       {"not redacted", [](ReportV1& r) { r.privacy.redacted_before_persistence = false; }, kBad},
       {"mode 600", [](ReportV1& r) { r.privacy.file_mode = "600"; }, kBad},
       {"mode 0644", [](ReportV1& r) { r.privacy.file_mode = "0644"; }, kBad},
       {"hash capture without hash",
        [](ReportV1& r) {
          r.privacy.capture = CapturePolicy::RedactedMetadataWithCorrelationHash;
        },
        kBad},
       {"hash without hash capture", [&](ReportV1& r) { r.run.correlation_hash = hash; }, kBad},
       {"hash with hash capture",
        [&](ReportV1& r) {
          r.run.correlation_hash = hash;
          r.privacy.capture = CapturePolicy::RedactedMetadataWithCorrelationHash;
        },
        std::nullopt}});
}

TEST(ReportValidation, AdvisoryMetadata) {
  constexpr auto kBad = ReportError::InvalidAdvisoryMetadata;
  const auto advisory = [](ReportV1& r) -> AdvisoryMetrics& { return r.samples[1].advisory; };
  expect_verdicts(
      valid_run_report(),
      {{"both absent",
        [&](ReportV1& r) {
          advisory(r).pressure_level.reset();
          advisory(r).metadata.reset();
        },
        std::nullopt},
       {"level without metadata", [&](ReportV1& r) { advisory(r).metadata.reset(); }, kBad},
       {"metadata without level", [&](ReportV1& r) { advisory(r).pressure_level.reset(); },
        kBad},
       {"wrong scope",
        [&](ReportV1& r) {
          advisory(r).metadata->growth_bytes_per_second.scope = AdvisoryScope::System;
        },
        kBad},
       {"wrong source",
        [&](ReportV1& r) {
          advisory(r).metadata->compressor_bytes.source = AdvisorySource::SysctlVmSwapusage;
        },
        kBad},
       {"fresh but unknown",
        [&](ReportV1& r) { advisory(r).swap_bytes = Observed<uint64_t>::unknown(); }, kBad},
       {"initial unknown and unknown",
        [&](ReportV1& r) {
          advisory(r).swap_bytes = Observed<uint64_t>::unknown();
          advisory(r).metadata->swap_bytes.freshness = AdvisoryFreshness::InitialUnknown;
        },
        std::nullopt},
       {"stale level",
        [&](ReportV1& r) {
          advisory(r).pressure_level = Observed<MemoryPressureLevel>::stale(3);
          advisory(r).metadata->pressure_level.freshness = AdvisoryFreshness::Stale;
        },
        std::nullopt},
       {"error is unavailable",
        [&](ReportV1& r) {
          advisory(r).wired_bytes = Observed<uint64_t>::error(ObservationError::Internal);
          advisory(r).metadata->wired_bytes.freshness = AdvisoryFreshness::Unavailable;
        },
        std::nullopt},
       {"unavailable growth",
        [&](ReportV1& r) {
          advisory(r).growth_bytes_per_second =
              Observed<int64_t>::unavailable(UnavailableReason::NotApplicable);
          advisory(r).metadata->growth_bytes_per_second.freshness = AdvisoryFreshness::Unavailable;
        },
        std::nullopt},
       {"pressure events freshness",
        [&](ReportV1& r) {
          advisory(r).metadata->pressure_events.freshness = AdvisoryFreshness::Stale;
        },
        kBad},
       {"captured when processed",
        [&](ReportV1& r) {
          advisory(r).metadata->wired_bytes.captured_at_ms = r.samples[1].processed_at_ms;
        },
        std::nullopt},
       {"captured after processed",
        [&](ReportV1& r) {
          advisory(r).metadata->wired_bytes.captured_at_ms = r.samples[1].processed_at_ms + 1;
        },
        kBad}});
}

TEST(ReportValidation, SampleTransitionSignalAndArtifactErrorEvents) {
  constexpr auto kBad = ReportError::InvalidEvents;
  expect_verdicts(
      valid_run_report(),
      {{"same processed time",
        [](ReportV1& r) { r.samples[1] = test_support::sample_with_full_advisory(50); },
        std::nullopt},
       {"decreasing processed time",
        [](ReportV1& r) { std::swap(r.samples[0], r.samples[1]); }, kBad},
       {"captured after processed",
        [](ReportV1& r) { r.samples[0].captured_at_ms = r.samples[0].processed_at_ms + 1; },
        kBad},
       {"empty window", [](ReportV1& r) { r.samples[0].window_ms = 0; }, kBad},
       {"decreasing transition time",
        [](ReportV1& r) {
          r.transitions.push_back(r.transitions[0]);
          r.transitions[1].at_ms -= 1;
          r.transitions[1].from = PolicyState::Warning;
          r.transitions[1].to = PolicyState::Normal;
        },
        kBad},
       {"transition to the same state",
        [](ReportV1& r) { r.transitions[0].to = r.transitions[0].from; }, kBad},
       {"signal 127", [](ReportV1& r) { r.signals[0].signal = 127; }, std::nullopt},
       {"signal 128", [](ReportV1& r) { r.signals[0].signal = 128; }, kBad},
       {"signal 255", [](ReportV1& r) { r.signals[0].signal = 255; }, kBad},
       {"signal 0", [](ReportV1& r) { r.signals[0].signal = 0; }, kBad},
       {"equal signal times",
        [](ReportV1& r) { r.signals.push_back(r.signals[0]); }, std::nullopt},
       {"decreasing signal time",
        [](ReportV1& r) {
          r.signals.push_back(r.signals[0]);
          r.signals[1].at_ms = 199;
        },
        kBad},
       {"artifact errors in order",
        [](ReportV1& r) {
          r.artifact_errors = {ArtifactErrorRecord{.at_ms = 10}, ArtifactErrorRecord{.at_ms = 10}};
        },
        std::nullopt},
       {"decreasing artifact error time",
        [](ReportV1& r) {
          r.artifact_errors = {ArtifactErrorRecord{.at_ms = 10}, ArtifactErrorRecord{.at_ms = 9}};
        },
        kBad}});
}

TEST(ReportValidation, CheckpointRules) {
  constexpr auto kBad = ReportError::InvalidEvents;
  const auto set = [](CheckpointRecord checkpoint) {
    return [checkpoint](ReportV1& r) { r.checkpoint = checkpoint; };
  };
  using enum CheckpointStatus;
  expect_verdicts(
      valid_run_report(),
      {{"timed out", set({.status = TimedOut, .at_ms = 250, .request_id = 7}), std::nullopt},
       {"timed out without time", set({.status = TimedOut, .request_id = 7}), kBad},
       {"not negotiated with time", set({.status = NotNegotiated, .at_ms = 1}), kBad},
       {"not negotiated with request",
        set({.status = NotNegotiated, .request_id = 7}), kBad},
       {"cancelled with request", set({.status = Cancelled, .at_ms = 250, .request_id = 7}),
        kBad},
       {"cancelled", set({.status = Cancelled, .at_ms = 250}), std::nullopt},
       {"request id 0", set({.status = RequestedUnverified, .at_ms = 250, .request_id = 0}),
        kBad},
       {"acknowledged with artifact",
        set({.status = AcknowledgedUnverifiedDurability,
             .at_ms = 250,
             .request_id = 7,
             .reason = SignalReason::WallTime,
             .artifact = CheckpointArtifactRecord{.kind = ArtifactKind::Directory}}),
        std::nullopt},
       {"timed out with artifact",
        set({.status = TimedOut,
             .at_ms = 250,
             .request_id = 7,
             .artifact = CheckpointArtifactRecord{}}),
        kBad},
       {"footprint reason",
        set({.status = RequestedUnverified,
             .at_ms = 250,
             .request_id = 7,
             .reason = SignalReason::Footprint}),
        std::nullopt},
       {"external signal reason",
        set({.status = RequestedUnverified,
             .at_ms = 250,
             .request_id = 7,
             .reason = SignalReason::ExternalSignal}),
        kBad}});
}

TEST(ReportValidation, OutcomeAndEscape) {
  constexpr auto kBad = ReportError::InvalidEvents;
  expect_verdicts(
      valid_run_report(),
      {{"signaled 128",
        [](ReportV1& r) {
          r.outcome.kind = TerminalKind::child_signaled(128);
          r.outcome.child_status.reset();
        },
        kBad},
       {"signaled 0",
        [](ReportV1& r) {
          r.outcome.kind = TerminalKind::child_signaled(0);
          r.outcome.child_status.reset();
        },
        kBad},
       {"status signaled 200 with another kind",
        [](ReportV1& r) {
          r.outcome.kind = TerminalKind::of(TerminalKind::Tag::SupervisorFailure);
          r.outcome.child_status = ChildStatus::signaled(200);
        },
        kBad},
       {"status exited with another kind",
        [](ReportV1& r) {
          r.outcome.kind = TerminalKind::of(TerminalKind::Tag::PolicyIntervention);
          r.outcome.child_status = ChildStatus::exited(3);
        },
        std::nullopt},
       {"signaled with another signal",
        [](ReportV1& r) { r.outcome.child_status = ChildStatus::signaled(9); }, kBad},
       {"signaled kind with exited status",
        [](ReportV1& r) { r.outcome.child_status = ChildStatus::exited(15); }, kBad},
       {"exited with the same code",
        [](ReportV1& r) {
          r.outcome.kind = TerminalKind::child_exited(3);
          r.outcome.child_status = ChildStatus::exited(3);
        },
        std::nullopt},
       {"exited with another code",
        [](ReportV1& r) {
          r.outcome.kind = TerminalKind::child_exited(3);
          r.outcome.child_status = ChildStatus::exited(4);
        },
        kBad},
       {"exited with signaled status",
        [](ReportV1& r) {
          r.outcome.kind = TerminalKind::child_exited(3);
          r.outcome.child_status = ChildStatus::signaled(3);
        },
        kBad},
       {"parent exit at the end",
        [](ReportV1& r) { r.outcome.parent_exited_at_ms = r.outcome.at_ms; }, std::nullopt},
       {"parent exit after the end",
        [](ReportV1& r) { r.outcome.parent_exited_at_ms = r.outcome.at_ms + 1; }, kBad},
       {"escape counted",
        [](ReportV1& r) {
          r.escape = EscapeEvidence{.detected = Observed<bool>::available(true),
                                    .escaped_count = 1};
        },
        std::nullopt},
       {"escape count 0",
        [](ReportV1& r) {
          r.escape = EscapeEvidence{.detected = Observed<bool>::available(true),
                                    .escaped_count = 0};
        },
        kBad},
       {"escape count but none detected",
        [](ReportV1& r) { r.escape.escaped_count = 1; }, kBad},
       {"escape count but detection unknown",
        [](ReportV1& r) {
          r.escape = EscapeEvidence{.detected = Observed<bool>::unknown(), .escaped_count = 1};
        },
        kBad},
       {"no count, detection failed",
        [](ReportV1& r) {
          r.escape.detected = Observed<bool>::error(ObservationError::PermissionDenied);
        },
        std::nullopt}});
}

// The outcome must not precede the latest event, whichever list holds it.
TEST(ReportValidation, OutcomeIsNoEarlierThanTheLatestEvent) {
  const auto with_latest_from = [](const std::string& source) {
    ReportV1 report = valid_run_report();
    report.outcome.at_ms = 1000;
    if (source == "sample") {
      report.samples.push_back(test_support::sample_with_full_advisory(999));
    } else if (source == "transition") {
      report.transitions.push_back(TransitionRecord{
          .at_ms = 1000, .from = PolicyState::Warning, .to = PolicyState::Terminating});
    } else if (source == "signal") {
      report.signals.push_back(SignalRecord{.at_ms = 1000, .signal = 9});
    } else if (source == "artifact error") {
      report.artifact_errors.push_back(ArtifactErrorRecord{.at_ms = 1000});
    } else {
      report.checkpoint = CheckpointRecord{
          .status = CheckpointStatus::TimedOut, .at_ms = 1000, .request_id = 1};
    }
    return report;
  };
  for (const std::string source :
       {"sample", "transition", "signal", "artifact error", "checkpoint"}) {
    ReportV1 report = with_latest_from(source);
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
  const auto calibration = [](ReportV1& r) -> CalibrationArtifact& { return *r.calibration; };
  expect_verdicts(
      valid_observe_report(),
      {{"absent", [](ReportV1& r) { r.calibration.reset(); }, std::nullopt},
       {"no complete sample, peak unknown",
        [&](ReportV1& r) {
          calibration(r).complete_samples = 0;
          calibration(r).incomplete_samples = 2;
          calibration(r).peak_aggregate_footprint_bytes = Observed<uint64_t>::unknown();
        },
        std::nullopt},
       {"no complete sample, peak available",
        [&](ReportV1& r) {
          calibration(r).complete_samples = 0;
          calibration(r).incomplete_samples = 2;
        },
        kBad},
       {"complete samples, peak unknown",
        [&](ReportV1& r) {
          calibration(r).peak_aggregate_footprint_bytes = Observed<uint64_t>::unknown();
        },
        kBad},
       {"peak stale",
        [&](ReportV1& r) {
          calibration(r).peak_aggregate_footprint_bytes = Observed<uint64_t>::stale(1);
        },
        kBad},
       {"counts do not add up", [&](ReportV1& r) { calibration(r).total_samples = 3; }, kBad},
       {"counts overflow",
        [&](ReportV1& r) {
          calibration(r).complete_samples = std::numeric_limits<uint64_t>::max();
          calibration(r).incomplete_samples = 3;
          calibration(r).total_samples = 2;  // the wrapped sum
        },
        kBad},
       {"automatic limit set", [&](ReportV1& r) { calibration(r).automatic_limit_bytes = 1; },
        kBad},
       {"peak growth 0",
        [&](ReportV1& r) {
          calibration(r).peak_growth_bytes_per_second = Observed<int64_t>::available(0);
        },
        kBad},
       {"peak growth negative",
        [&](ReportV1& r) {
          calibration(r).peak_growth_bytes_per_second = Observed<int64_t>::available(-5);
        },
        kBad},
       {"peak growth unavailable",
        [&](ReportV1& r) {
          calibration(r).peak_growth_bytes_per_second =
              Observed<int64_t>::unavailable(UnavailableReason::NotApplicable);
        },
        std::nullopt},
       {"schema 2", [&](ReportV1& r) { calibration(r).schema_version = 2; }, kBad},
       {"not observation only", [&](ReportV1& r) { calibration(r).observation_only = false; },
        kBad},
       {"safety certified", [&](ReportV1& r) { calibration(r).safety_certified = true; }, kBad}});

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
    r.transitions.push_back(TransitionRecord{
        .at_ms = 100, .from = PolicyState::Warning, .to = PolicyState::Normal});
  };
  const auto bad_calibration = [](ReportV1& r) { r.calibration->safety_certified = true; };
  const auto both = [](auto first, auto second) {
    return [=](ReportV1& r) {
      second(r);
      first(r);
    };
  };
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
        ReportError::UnsupportedSchemaVersion}});

  // A bad sample time before a sample with bad metadata: the metadata group
  // is still the one reported.
  ReportV1 report = valid_observe_report();
  report.samples[0].window_ms = 0;
  report.samples[1].advisory.metadata->swap_bytes.scope = AdvisoryScope::OwnedProcessGroup;
  EXPECT_EQ(verdict(report), ReportError::InvalidAdvisoryMetadata);
}

TEST(ReportToJsonPretty, RefusesAnInvalidReportAndWritesNothing) {
  ReportV1 report = valid_run_report();
  report.signals[0].signal = 128;
  const Result<std::string, ReportError> text = report.to_json_pretty();
  ASSERT_FALSE(text);
  EXPECT_EQ(text.error(), ReportError::InvalidEvents);
}

TEST(ReportToJsonPretty, WritesThePrettyFormAndOneLineFeed) {
  for (const ReportV1& report : {valid_run_report(), valid_observe_report()}) {
    const Result<std::string, ReportError> text = report.to_json_pretty();
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, to_json(report, JsonLayout::Pretty) + "\n");
    ASSERT_GE(text->size(), 3U);
    EXPECT_EQ(text->substr(text->size() - 3), "\n}\n");
    EXPECT_EQ(nlohmann::ordered_json::parse(*text).dump(2) + "\n", *text);
  }
  const std::string run_text = *valid_run_report().to_json_pretty();
  EXPECT_EQ(run_text.find("\"calibration\""), std::string::npos);
  EXPECT_NE(run_text.find("  },\n  \"privacy\": {"), std::string::npos);
  const std::string observe_text = *valid_observe_report().to_json_pretty();
  EXPECT_NE(observe_text.find("\"automatic_limit_bytes\": null,\n    \"guidance\""),
            std::string::npos);
}

}  // namespace
}  // namespace vek_guard
