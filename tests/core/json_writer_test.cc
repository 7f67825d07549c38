#include "vek_guard/json_writer.h"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/report_samples.h"
#include "vek_guard/report.h"

namespace vek_guard {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();

std::string compact(const auto& value) { return to_json(value, JsonLayout::Compact); }
std::string pretty(const auto& value) { return to_json(value, JsonLayout::Pretty); }

// nlohmann-json is an independent implementation of the same grammar, with the
// same escapes and the same two-space layout: re-indenting our pretty text
// must give it back byte for byte, and its compact form must be `expected`.
void expect_pretty_agrees(const std::string& pretty_text, const std::string& expected_compact) {
  const auto parsed = nlohmann::ordered_json::parse(pretty_text);
  EXPECT_EQ(parsed.dump(2), pretty_text);
  EXPECT_EQ(parsed.dump(), expected_compact);
}

TEST(JsonWriter, StringsCarryExactlyTheMandatoryEscapes) {
  // Every control byte (NUL included), then bytes that must stay as they
  // are: "/", 0x7F and a two-byte UTF-8 letter.
  std::string text;
  for (int byte = 0; byte < 0x20; ++byte) text.push_back(static_cast<char>(byte));
  text += "\"\\/\x7f\xc3\xa9z";
  std::string out;
  JsonWriter(out, JsonLayout::Compact).string_value(text);
  EXPECT_EQ(out, R"("\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
                 R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c)"
                 R"(\u001d\u001e\u001f\"\\/)"
                 "\x7f\xc3\xa9z\"");
}

struct Row {
  std::string compact;
  std::string pretty;
  std::string expected;
};

Row row(const auto& value, std::string expected) {
  return {compact(value), pretty(value), std::move(expected)};
}

TEST(JsonWriter, ValuesAndRecordsInBothLayouts) {
  const TerminalOutcome signaled{.at_ms = 5,
                                 .kind = TerminalKind::child_signaled(9),
                                 .child_status = ChildStatus::signaled(9),
                                 .parent_exited_at_ms = 4};
  const std::vector<Row> rows = {
      // Integers in full, at both ends of their ranges.
      row(Observed<int64_t>::available(kI64Min),
          R"({"status":"available","value":-9223372036854775808})"),
      row(Observed<uint64_t>::available(kU64Max),
          R"({"status":"available","value":18446744073709551615})"),
      // Tagged values: the tag first and at most one payload after it.
      row(Observed<uint64_t>::unknown(), R"({"status":"unknown"})"),
      row(Observed<uint64_t>::stale(7), R"({"status":"stale","last_seen_at_ms":7})"),
      row(Observed<int64_t>::error(ObservationError::ClockAnomaly),
          R"({"status":"error","code":"clock_anomaly"})"),
      // Absent optionals are left out with their separators.
      row(CheckpointRecord{.status = CheckpointStatus::AcknowledgedUnverifiedDurability,
                           .request_id = 3,
                           .artifact = CheckpointArtifactRecord{}},
          R"({"status":"acknowledged_unverified_durability","request_id":3,)"
          R"("artifact":{"kind":"file"}})"),
      // The outcome flattens its kind, with the kind's payload right after it.
      row(signaled, R"({"at_ms":5,"kind":"child_signaled","signal":9,)"
                    R"("final_footprint_bytes":{"status":"unknown"},)"
                    R"("child_status":{"status":"signaled","signal":9},"parent_exited_at_ms":4})"),
      // The calibration writes an absent automatic limit as null.
      row(CalibrationArtifact{},
          R"({"schema_version":1,"observation_only":true,"safety_certified":false,)"
          R"("total_samples":0,"complete_samples":0,"incomplete_samples":0,)"
          R"("observed_duration_ms":0,"peak_aggregate_footprint_bytes":{"status":"unknown"},)"
          R"("peak_growth_bytes_per_second":{"status":"unknown"},"automatic_limit_bytes":null,)"
          R"("guidance":"choose_explicit_limit_from_repeated_representative_runs"})"),
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.expected);
    EXPECT_EQ(r.compact, r.expected);
    expect_pretty_agrees(r.pretty, r.expected);
  }
}

TEST(JsonWriter, ReportWithEmptyListsAndNoCalibration) {
  ReportV1 report;
  report.package_version = "0.3.0";
  report.run =
      RunIdentity{.run_id = "run_0123456789abcdef0123456789abcdef", .executable_basename = "sh"};
  report.configuration = ReportConfiguration{.required_breach_samples = 1,
                                             .max_missing_samples = 1,
                                             .sample_interval_ms = 10,
                                             .max_sample_age_ms = 20,
                                             .max_sample_window_ms = 30,
                                             .term_grace_ms = 40};
  report.outcome.kind = TerminalKind::of(TerminalKind::Tag::LaunchNotFound);
  const std::string expected =
      R"({"schema_version":1,"package_version":"0.3.0","run":{"run_id":)"
      R"("run_0123456789abcdef0123456789abcdef","executable_basename":"sh","argument_count":0},)"
      R"("capabilities":{"darwin_footprint":{"status":"unknown"},)"
      R"("owned_process_group":{"status":"unknown"},"checkpoint_channel":{"status":"unknown"}},)"
      R"("configuration":{"mode":"observe","required_breach_samples":1,"max_missing_samples":1,)"
      R"("sample_interval_ms":10,"max_sample_age_ms":20,"max_sample_window_ms":30,)"
      R"("term_grace_ms":40},"samples":[],"transitions":[],"signals":[],)"
      R"("checkpoint":{"status":"not_negotiated"},"escape":{"detected":{"status":"unknown"}},)"
      R"("artifact_errors":[],"outcome":{"at_ms":0,"kind":"launch_not_found",)"
      R"("final_footprint_bytes":{"status":"unknown"}},"privacy":{)"
      R"("redacted_before_persistence":true,"file_mode":"0600","upload":"disabled",)"
      R"("retention":"user_managed","capture":"redacted_metadata_only"}})";
  EXPECT_EQ(compact(report), expected);
  expect_pretty_agrees(pretty(report), expected);
}

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
// text left behind in the buffer, would corrupt the published file. An
// invalid report is never written at all.
TEST(JsonWriterPieces, StreamedReportEqualsTheWholeTextAndAnInvalidOneHandsNothingOver) {
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
  ASSERT_EQ(whole->back(), '\n');
  expect_pretty_agrees(whole->substr(0, whole->size() - 1), compact(report));
  EXPECT_GT(sink.pieces.size(), 5U);

  report.schema_version = 2;
  PieceCollector refused;
  EXPECT_EQ(report.write_json_pretty(refused).error(), ReportError::UnsupportedSchemaVersion);
  EXPECT_TRUE(refused.whole.empty());
  EXPECT_FALSE(report.to_json_pretty().ok());
}

}  // namespace
}  // namespace vek_guard
