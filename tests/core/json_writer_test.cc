#include "vek_guard/json_writer.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/report_samples.h"
#include "vek_guard/report.h"

namespace vek_guard {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
constexpr const char* kRunId = "run_0123456789abcdef0123456789abcdef";

std::string compact(const auto& value) { return to_json(value, JsonLayout::Compact); }
std::string pretty(const auto& value) { return to_json(value, JsonLayout::Pretty); }

// Every byte that must be escaped next to bytes that must not be: "/", 0x7F
// and a two-byte UTF-8 letter stay as they are.
const std::string kAwkwardName =
    std::string("a\nb\tc\"d\\e\x01\x0b\x1f/\xc3\xa9\x7f\b\f\r") + std::string("\0z", 2);
const std::string kAwkwardNameJson =
    R"("a\nb\tc\"d\\e\u0001\u000b\u001f/)" "\xc3\xa9\x7f" R"(\b\f\r\u0000z")";

TEST(JsonWriter, StringsCarryExactlyTheMandatoryEscapes) {
  const RunIdentity run{.run_id = kRunId,
                        .executable_basename = kAwkwardName,
                        .argument_count = 4294967295U,
                        .correlation_hash = "sha256:ab"};
  EXPECT_EQ(compact(run), std::string(R"({"run_id":"run_0123456789abcdef0123456789abcdef",)") +
                              R"("executable_basename":)" + kAwkwardNameJson +
                              R"(,"argument_count":4294967295,"correlation_hash":"sha256:ab"})");

  RunIdentity without_hash = run;
  without_hash.correlation_hash.reset();
  EXPECT_EQ(pretty(without_hash),
            std::string("{\n  \"run_id\": \"run_0123456789abcdef0123456789abcdef\",\n") +
                "  \"executable_basename\": " + kAwkwardNameJson +
                ",\n  \"argument_count\": 4294967295\n}");
}

TEST(JsonWriter, EveryControlByteHasItsEscape) {
  std::string all_controls;
  for (int byte = 0; byte < 0x20; ++byte) all_controls.push_back(static_cast<char>(byte));
  std::string out;
  JsonWriter(out, JsonLayout::Compact).string_value(all_controls);
  EXPECT_EQ(out,
            R"("\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
            R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c)"
            R"(\u001d\u001e\u001f")");
}

TEST(JsonWriter, IntegersAreWrittenInFull) {
  EXPECT_EQ(compact(Observed<int64_t>::available(-1)), R"({"status":"available","value":-1})");
  EXPECT_EQ(compact(Observed<int64_t>::available(kI64Min)),
            R"({"status":"available","value":-9223372036854775808})");
  EXPECT_EQ(compact(Observed<int64_t>::available(0)), R"({"status":"available","value":0})");
  EXPECT_EQ(compact(Observed<uint64_t>::available(kU64Max)),
            R"({"status":"available","value":18446744073709551615})");
  EXPECT_EQ(compact(Observed<uint64_t>::available(0)), R"({"status":"available","value":0})");
  EXPECT_EQ(compact(SignalRecord{.at_ms = 0, .signal = 255}),
            R"({"at_ms":0,"signal":255,"target":"owned_process_group","result":"delivered"})");
}

TEST(JsonWriter, ObservedVariantsPutTheStatusFirstAndOnePayloadAfter) {
  EXPECT_EQ(compact(Observed<uint64_t>::unknown()), R"({"status":"unknown"})");
  EXPECT_EQ(compact(Observed<bool>::unavailable(UnavailableReason::NonUtf8)),
            R"({"status":"unavailable","reason":"non_utf8"})");
  EXPECT_EQ(compact(Observed<uint64_t>::stale(7)), R"({"status":"stale","last_seen_at_ms":7})");
  EXPECT_EQ(compact(Observed<int64_t>::error(ObservationError::ClockAnomaly)),
            R"({"status":"error","code":"clock_anomaly"})");
  EXPECT_EQ(compact(Observed<bool>::available(false)), R"({"status":"available","value":false})");
  EXPECT_EQ(compact(Observed<MemoryPressureLevel>::available(MemoryPressureLevel::Critical)),
            R"({"status":"available","value":"critical"})");
  EXPECT_EQ(compact(ChildStatus::exited(0)), R"({"status":"exited","code":0})");
  EXPECT_EQ(pretty(Observed<uint64_t>::unknown()), "{\n  \"status\": \"unknown\"\n}");
  EXPECT_EQ(pretty(ChildStatus::signaled(9)),
            "{\n  \"status\": \"signaled\",\n  \"signal\": 9\n}");
}

TEST(JsonWriter, AbsentOptionalsAreLeftOutWithTheirSeparators) {
  const TransitionRecord transition{
      .at_ms = 0, .from = PolicyState::Normal, .to = PolicyState::Emergency};
  EXPECT_EQ(compact(transition), R"({"at_ms":0,"from":"normal","to":"emergency"})");
  EXPECT_EQ(pretty(transition),
            "{\n  \"at_ms\": 0,\n  \"from\": \"normal\",\n  \"to\": \"emergency\"\n}");

  // Absent fields in the middle and at both ends of the record.
  const CheckpointRecord checkpoint{.status = CheckpointStatus::AcknowledgedUnverifiedDurability,
                                    .request_id = 3,
                                    .artifact = CheckpointArtifactRecord{}};
  EXPECT_EQ(compact(checkpoint),
            R"({"status":"acknowledged_unverified_durability","request_id":3,)"
            R"("artifact":{"kind":"file"}})");
}

TEST(JsonWriter, TerminalOutcomeFlattensItsKind) {
  const TerminalOutcome signaled{.at_ms = 5,
                                 .kind = TerminalKind::child_signaled(9),
                                 .child_status = ChildStatus::signaled(9),
                                 .parent_exited_at_ms = 4};
  EXPECT_EQ(compact(signaled),
            R"({"at_ms":5,"kind":"child_signaled","signal":9,)"
            R"("final_footprint_bytes":{"status":"unknown"},)"
            R"("child_status":{"status":"signaled","signal":9},"parent_exited_at_ms":4})");

  const TerminalOutcome intervention{
      .at_ms = 5,
      .kind = TerminalKind::of(TerminalKind::Tag::PolicyIntervention),
      .final_footprint_bytes = Observed<uint64_t>::available(0),
      .owned_group_survivors = true};
  EXPECT_EQ(compact(intervention),
            R"({"at_ms":5,"kind":"policy_intervention",)"
            R"("final_footprint_bytes":{"status":"available","value":0},)"
            R"("owned_group_survivors":true})");

  const TerminalOutcome exited{.at_ms = kU64Max,
                               .kind = TerminalKind::child_exited(0),
                               .final_footprint_bytes = Observed<uint64_t>::stale(3),
                               .child_status = ChildStatus::exited(0)};
  EXPECT_EQ(pretty(exited), R"({
  "at_ms": 18446744073709551615,
  "kind": "child_exited",
  "code": 0,
  "final_footprint_bytes": {
    "status": "stale",
    "last_seen_at_ms": 3
  },
  "child_status": {
    "status": "exited",
    "code": 0
  }
})");
}

TEST(JsonWriter, CalibrationWritesAnAbsentAutomaticLimitAsNull) {
  const CalibrationArtifact calibration{};
  EXPECT_EQ(pretty(calibration), R"({
  "schema_version": 1,
  "observation_only": true,
  "safety_certified": false,
  "total_samples": 0,
  "complete_samples": 0,
  "incomplete_samples": 0,
  "observed_duration_ms": 0,
  "peak_aggregate_footprint_bytes": {
    "status": "unknown"
  },
  "peak_growth_bytes_per_second": {
    "status": "unknown"
  },
  "automatic_limit_bytes": null,
  "guidance": "choose_explicit_limit_from_repeated_representative_runs"
})");
  CalibrationArtifact with_limit = calibration;
  with_limit.automatic_limit_bytes = 5;
  EXPECT_NE(compact(with_limit).find(R"("peak_growth_bytes_per_second":{"status":"unknown"},)"
                                     R"("automatic_limit_bytes":5,"guidance":)"),
            std::string::npos);
}

ReportV1 minimal_report() {
  ReportV1 report;
  report.package_version = "0.3.0";
  report.run = RunIdentity{.run_id = kRunId, .executable_basename = "sh"};
  report.configuration = ReportConfiguration{.required_breach_samples = 1,
                                             .max_missing_samples = 1,
                                             .sample_interval_ms = 10,
                                             .max_sample_age_ms = 20,
                                             .max_sample_window_ms = 30,
                                             .term_grace_ms = 40};
  report.outcome.kind = TerminalKind::of(TerminalKind::Tag::LaunchNotFound);
  return report;
}

TEST(JsonWriter, PrettyReportWithEmptyListsAndNoCalibration) {
  EXPECT_EQ(pretty(minimal_report()), R"({
  "schema_version": 1,
  "package_version": "0.3.0",
  "run": {
    "run_id": "run_0123456789abcdef0123456789abcdef",
    "executable_basename": "sh",
    "argument_count": 0
  },
  "capabilities": {
    "darwin_footprint": {
      "status": "unknown"
    },
    "owned_process_group": {
      "status": "unknown"
    },
    "checkpoint_channel": {
      "status": "unknown"
    }
  },
  "configuration": {
    "mode": "observe",
    "required_breach_samples": 1,
    "max_missing_samples": 1,
    "sample_interval_ms": 10,
    "max_sample_age_ms": 20,
    "max_sample_window_ms": 30,
    "term_grace_ms": 40
  },
  "samples": [],
  "transitions": [],
  "signals": [],
  "checkpoint": {
    "status": "not_negotiated"
  },
  "escape": {
    "detected": {
      "status": "unknown"
    }
  },
  "artifact_errors": [],
  "outcome": {
    "at_ms": 0,
    "kind": "launch_not_found",
    "final_footprint_bytes": {
      "status": "unknown"
    }
  },
  "privacy": {
    "redacted_before_persistence": true,
    "file_mode": "0600",
    "upload": "disabled",
    "retention": "user_managed",
    "capture": "redacted_metadata_only"
  }
})");
}

TEST(JsonWriter, PrettyListPutsEachElementOnItsOwnLine) {
  ReportV1 report = minimal_report();
  report.artifact_errors = {ArtifactErrorRecord{.at_ms = 1},
                            ArtifactErrorRecord{.at_ms = 2, .code = ArtifactErrorCode::SyncFailed}};
  EXPECT_NE(pretty(report).find(R"(
  "artifact_errors": [
    {
      "at_ms": 1,
      "code": "create_failed"
    },
    {
      "at_ms": 2,
      "code": "sync_failed"
    }
  ],
  "outcome": {
)"),
            std::string::npos);
}

TEST(JsonWriter, WriterApiNestsContainersAndAppendsToExistingText) {
  const auto write = [](JsonLayout layout) {
    std::string out = "x";
    JsonWriter writer(out, layout);
    writer.begin_array();
    writer.value(uint8_t{7});
    writer.begin_array();
    writer.end_array();
    writer.begin_object();
    writer.member("absent", std::optional<uint64_t>{});
    writer.member("s", "v");
    writer.member("list", std::vector<std::string>{"a"});
    writer.end_object();
    writer.begin_object();
    writer.end_object();
    writer.null_value();
    writer.value(std::optional<int64_t>{});
    writer.end_array();
    return out;
  };
  EXPECT_EQ(write(JsonLayout::Compact), R"(x[7,[],{"s":"v","list":["a"]},{},null,null])");
  EXPECT_EQ(write(JsonLayout::Pretty), R"(x[
  7,
  [],
  {
    "s": "v",
    "list": [
      "a"
    ]
  },
  {},
  null,
  null
])");
}

TEST(JsonWriter, RecordMembersLetACallerAddEntriesAroundARecord) {
  std::string out;
  JsonWriter writer(out, JsonLayout::Compact);
  writer.begin_object();
  writer.member("type", "artifact_error");
  writer.record_members(ArtifactErrorRecord{.at_ms = 9});
  writer.member("sequence", uint64_t{1});
  writer.end_object();
  EXPECT_EQ(out, R"({"type":"artifact_error","at_ms":9,"code":"create_failed","sequence":1})");
}

// A report exercising every value form: escapes, extremes, absent and null
// optionals, every tagged value, the flattened kind and non-empty lists.
ReportV1 rich_report() {
  ReportV1 report = test_support::valid_observe_report();
  report.run.executable_basename = kAwkwardName;
  report.run.correlation_hash = "sha256:" + std::string(64, 'f');
  report.samples.push_back(test_support::sample_with_full_advisory(200));
  report.samples.back().aggregate_footprint_bytes = Observed<uint64_t>::available(kU64Max);
  report.samples.back().advisory.growth_bytes_per_second =
      Observed<int64_t>::available(kI64Min);
  report.samples.back().advisory.pressure_level.reset();
  report.samples.back().advisory.metadata.reset();
  report.signals = {SignalRecord{.at_ms = 260, .signal = 9}};
  report.checkpoint = CheckpointRecord{.status = CheckpointStatus::TimedOut,
                                       .at_ms = 270,
                                       .request_id = kU64Max,
                                       .reason = SignalReason::WallTime};
  report.escape = EscapeEvidence{.detected = Observed<bool>::available(true), .escaped_count = 2};
  report.outcome.kind = TerminalKind::child_signaled(9);
  report.outcome.child_status = ChildStatus::signaled(9);
  report.calibration->peak_growth_bytes_per_second = Observed<int64_t>::stale(0);
  return report;
}

// nlohmann-json is an independent implementation of the same grammar, with
// the same escapes and the same two-space layout: parsing our text and
// re-indenting it must give back our text byte for byte.
TEST(JsonWriter, PrettyAndCompactTextsAgreeWithAnIndependentParser) {
  const ReportV1 report = rich_report();
  const std::string text = pretty(report);
  const auto parsed = nlohmann::ordered_json::parse(text);
  EXPECT_EQ(parsed.dump(2), text);
  EXPECT_EQ(parsed.dump(), compact(report));

  EXPECT_EQ(parsed["run"]["executable_basename"].get<std::string>(), kAwkwardName);
  const auto& last_sample = parsed["samples"][2];
  EXPECT_EQ(last_sample["aggregate_footprint_bytes"]["value"].get<uint64_t>(), kU64Max);
  EXPECT_EQ(last_sample["advisory"]["growth_bytes_per_second"]["value"].get<int64_t>(), kI64Min);
  EXPECT_FALSE(last_sample["advisory"].contains("metadata"));
  EXPECT_EQ(parsed["samples"][0]["advisory"]["metadata"]["growth_bytes_per_second"]["scope"],
            "owned_process_group");
  EXPECT_EQ(parsed["checkpoint"]["request_id"].get<uint64_t>(), kU64Max);
  EXPECT_TRUE(parsed["calibration"]["automatic_limit_bytes"].is_null());

  std::vector<std::string> top_keys;
  for (const auto& [key, value] : parsed.items()) top_keys.push_back(key);
  EXPECT_EQ(top_keys, (std::vector<std::string>{
                          "schema_version", "package_version", "run", "capabilities",
                          "configuration", "samples", "transitions", "signals", "checkpoint",
                          "escape", "artifact_errors", "outcome", "calibration", "privacy"}));
  std::vector<std::string> outcome_keys;
  for (const auto& [key, value] : parsed["outcome"].items()) outcome_keys.push_back(key);
  EXPECT_EQ(outcome_keys,
            (std::vector<std::string>{"at_ms", "kind", "signal", "final_footprint_bytes",
                                      "child_status", "owned_group_survivors"}));
}

}  // namespace
}  // namespace vek_guard

namespace vek_guard {
namespace {

class PieceCollector final : public JsonSink {
 public:
  void write(std::string_view text) override {
    pieces.emplace_back(text);
    whole.append(text);
  }
  std::vector<std::string> pieces;
  std::string whole;
};

// Publication streams the report in pieces; a piece handed over twice, or
// text left behind in the buffer, would corrupt the published file.
TEST(JsonWriterPieces, StreamedReportEqualsTheWholeText) {
  ReportV1 report = test_support::valid_run_report();
  for (uint64_t i = 0; i < 400; ++i) {
    report.samples.push_back(
        test_support::sample_with_full_advisory(report.samples.back().processed_at_ms + 1));
  }
  report.outcome.at_ms = report.samples.back().processed_at_ms + 1;
  const auto whole = report.to_json_pretty();
  ASSERT_TRUE(whole.ok());

  PieceCollector sink;
  ASSERT_TRUE(report.write_json_pretty(sink).ok());
  EXPECT_EQ(sink.whole, *whole);
  EXPECT_GT(sink.pieces.size(), 5U);
}

TEST(JsonWriterPieces, InvalidReportHandsNothingOver) {
  ReportV1 report = test_support::valid_run_report();
  report.schema_version = 2;
  PieceCollector sink;
  EXPECT_EQ(report.write_json_pretty(sink).error(), ReportError::UnsupportedSchemaVersion);
  EXPECT_TRUE(sink.whole.empty());
}

}  // namespace
}  // namespace vek_guard
