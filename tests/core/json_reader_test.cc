#include "vek_guard/json_reader.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "vek_guard/report.h"

namespace vek_guard {
namespace {

using Kind = BufferedValue::Kind;

template <class T>
bool accepts(std::string_view text) {
  return read_json<T>(text).ok();
}

// The value of `text`, which must read as a T.
template <class T>
T read(std::string_view text) {
  Result<T, JsonRejection> value = read_json<T>(text);
  EXPECT_TRUE(value.ok()) << text;
  return value.ok() ? std::move(value).value() : T{};
}

BufferedValue parsed(std::string_view text) {
  Result<BufferedValue, JsonRejection> value = BufferedValue::parse(text);
  EXPECT_TRUE(value.ok()) << text;
  return value.ok() ? std::move(value).value() : BufferedValue();
}

std::string nested_arrays(int depth) {
  return std::string(static_cast<std::size_t>(depth), '[') +
         std::string(static_cast<std::size_t>(depth), ']');
}

std::string signal_with(std::string_view signal) {
  return R"({"at_ms":12,"signal":)" + std::string(signal) +
         R"(,"target":"owned_process_group","result":"delivered"})";
}

std::string outcome_with(std::string_view members) {
  return R"({"at_ms":5,"final_footprint_bytes":{"status":"unknown"},)" + std::string(members) + "}";
}

// ---------------------------------------------------------------------------
// The buffered tree.

TEST(BufferedValue, NumbersKeepTheKindOfTheirToken) {
  EXPECT_EQ(parsed("0").kind(), Kind::Unsigned);
  EXPECT_EQ(parsed("18446744073709551615").as_unsigned(), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(parsed("-1").as_negative(), -1);
  EXPECT_EQ(parsed("-9223372036854775808").as_negative(), std::numeric_limits<int64_t>::min());
  // "-0" is not an integer token for any field, unlike "0".
  for (const std::string_view text :
       {"18446744073709551616", "-9223372036854775809", "-0", "1.0", "1e2", "-0.0"}) {
    EXPECT_EQ(parsed(text).kind(), Kind::Floating) << text;
  }
}

TEST(BufferedValue, ObjectsKeepTextOrderAndDuplicateKeysAndStringsUnescapeToUtf8) {
  const BufferedValue value = parsed(R"({"b":1,"a":[true,null],"b":"x\u0041\n"})");
  const BufferedValue::Object* members = value.as_object();
  ASSERT_NE(members, nullptr);
  ASSERT_EQ(members->size(), 3u);
  EXPECT_EQ((*members)[0].key, "b");
  EXPECT_EQ((*members)[1].key, "a");
  EXPECT_EQ((*members)[2].key, "b");
  EXPECT_EQ((*members)[1].value,
            BufferedValue::array({BufferedValue::boolean(true), BufferedValue()}));
  EXPECT_EQ(*(*members)[2].value.as_string(), "xA\n");

  EXPECT_EQ(*parsed(R"("\ud83d\ude00\u00e9\/")").as_string(), "\xF0\x9F\x98\x80\xC3\xA9/");
  EXPECT_EQ(*parsed("\"caf\xC3\xA9\"").as_string(), "caf\xC3\xA9");
  EXPECT_EQ(parsed(R"("\u0000")").as_string()->size(), 1u);
}

TEST(BufferedValue, RejectsMalformedTextInvalidUtf8AndForeignWhitespace) {
  std::vector<std::string> bad = {
      "", " ", "{", "}", "[1,]", R"({"a":1,})", R"({"a" 1})", R"({a:1})", "01", "-", "+1", "1.",
      ".5", "1e", "nul", "True", "'x'", R"("\q")", R"("\u12")", "\"a\x01\"", R"("unterminated)",
      "{} {}", "{}x", "1 2", "[] ]", "/*c*/{}", "{}//c", "NaN", "Infinity", "0x10",
      // A NUL byte is not the end of the text.
      std::string("{}\0{}", 5), std::string("1\0", 2),
      // Invalid UTF-8 and lone or reversed surrogates.
      "\"\xFF\"", "\"\x80\"", "\"\xC0\xAF\"", "\"\xE2\x82\"", "\"\xED\xA0\x80\"",
      "\"\xF4\x90\x80\x80\"", R"("\ud800")", R"("\udc00")", R"("\ude00\ud83d")",
      R"("\ud800\u0041")", R"("\ud800x")"};
  // Only space, tab, line feed and carriage return separate tokens.
  EXPECT_TRUE(BufferedValue::parse(" \t\r\n{ \"a\" \t:\r\n[ 1 , 2 ] }\n \t\r").ok());
  for (const std::string& space : {std::string("\f"), std::string("\v"), std::string("\xC2\xA0"),
                                   std::string("\xEF\xBB\xBF"), std::string("\0", 1)}) {
    bad.insert(bad.end(), {space + "{}", "{}" + space, "{\"a\":" + space + "1}"});
  }
  for (const std::string& text : bad) {
    EXPECT_FALSE(BufferedValue::parse(text).ok()) << testing::PrintToString(text);
  }
}

// The budget holds while the tree is built, before any record reads it, so it
// also covers members that a record skips or hands on.
TEST(BufferedValue, NestingStopsAtTheBudget) {
  EXPECT_TRUE(BufferedValue::parse(nested_arrays(127)).ok());
  EXPECT_FALSE(BufferedValue::parse(nested_arrays(128)).ok());
  EXPECT_FALSE(BufferedValue::parse(nested_arrays(100000)).ok());
  // Objects and arrays count alike.
  std::string mixed;
  for (int i = 0; i < 63; ++i) mixed += R"({"a":[)";
  mixed += "{}";
  for (int i = 0; i < 63; ++i) mixed += "]}";
  EXPECT_TRUE(BufferedValue::parse(mixed).ok());  // 127 levels
  EXPECT_FALSE(BufferedValue::parse("[" + mixed + "]").ok());
}

// ---------------------------------------------------------------------------
// Records.

TEST(RecordReader, KeysMatchExactlyAfterUnescaping) {
  const TransitionRecord escaped =
      read<TransitionRecord>(R"({"at\u005fms":7,"\u0066rom":"normal","to":"emergency"})");
  EXPECT_EQ(escaped.at_ms, 7u);
  EXPECT_EQ(escaped.to, PolicyState::Emergency);
  // A key that differs in case, length or by a blank is unknown, so at_ms is
  // then missing.
  for (const std::string_view key :
       {"At_ms", "at_ms ", "at_m", "at_mss", " at_ms", "at\\u0000ms"}) {
    const std::string text = "{\"" + std::string(key) + R"(":7,"from":"normal","to":"emergency"})";
    EXPECT_FALSE(accepts<TransitionRecord>(text)) << text;
  }
}

TEST(RecordReader, KnownKeysOnceAndRequiredUnknownKeysSkippedNullMeansAbsent) {
  const auto transition = [](std::string_view head) {
    return "{" + std::string(head) + R"("from":"normal","to":"exited"})";
  };
  const TransitionRecord skipped =
      read<TransitionRecord>(transition(R"("x":{"at_ms":"no"},"at_ms":1,"x":[1,2,{}],"y":null,)"));
  EXPECT_EQ(skipped.at_ms, 1u);
  EXPECT_FALSE(skipped.aggregate_footprint_bytes.has_value());
  for (const std::string& bad :
       {transition(R"("at_ms":1,"at_ms":1,)"), transition(""), transition(R"("at_ms":null,)"),
        transition(
            R"("at_ms":1,"aggregate_footprint_bytes":null,"aggregate_footprint_bytes":null,)")}) {
    EXPECT_FALSE(accepts<TransitionRecord>(bad)) << bad;
  }
  EXPECT_FALSE(accepts<CheckpointRecord>(R"({"status":null})"));
  CheckpointRecord expected;
  expected.status = CheckpointStatus::TimedOut;
  expected.request_id = 9;
  EXPECT_EQ(read<CheckpointRecord>(R"({"status":"timed_out","at_ms":null,"request_id":9})"),
            expected);
}

TEST(RecordReader, IntegersAreCheckedAgainstTheirTypeAndWidth) {
  EXPECT_TRUE(accepts<SignalRecord>(signal_with("255")));  // u8
  for (const std::string_view bad :
       {"256", "-1", "1.0", "1e1", "\"15\"", "true", "null", "-0", "015"}) {
    EXPECT_FALSE(accepts<SignalRecord>(signal_with(bad))) << bad;
  }
  const auto identity = [](std::string_view count) {
    return R"({"run_id":"r","executable_basename":"e","argument_count":)" + std::string(count) +
           "}";
  };
  EXPECT_TRUE(accepts<RunIdentity>(identity("4294967295")));  // u32
  EXPECT_FALSE(accepts<RunIdentity>(identity("4294967296")));
  const auto transition = [](std::string_view at) {
    return R"({"from":"normal","to":"exited","at_ms":)" + std::string(at) + "}";
  };
  EXPECT_EQ(read<TransitionRecord>(transition("18446744073709551615")).at_ms,
            std::numeric_limits<uint64_t>::max());
  for (const std::string_view bad :
       {"18446744073709551616", "99999999999999999999999", "-0", "0.0", "1E2", "-5"}) {
    EXPECT_FALSE(accepts<TransitionRecord>(transition(bad))) << bad;
  }
  const auto growth = [](std::string_view v) {
    return R"({"status":"available","value":)" + std::string(v) + "}";
  };
  for (const int64_t v :
       {int64_t{-5}, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()}) {
    EXPECT_EQ(read<Observed<int64_t>>(growth(std::to_string(v))), Observed<int64_t>::available(v));
  }
  for (const std::string_view bad :
       {"9223372036854775808", "-9223372036854775809", "-0", "-1.0", "1e3", "\"-5\"", "null"}) {
    EXPECT_FALSE(accepts<Observed<int64_t>>(growth(bad))) << bad;
  }
}

TEST(RecordReader, StringsAndBooleansAreOnlyThemselvesAndNullIsAnAbsentLimit) {
  EXPECT_FALSE(
      accepts<RunIdentity>(R"({"run_id":1,"executable_basename":"e","argument_count":0})"));
  EXPECT_FALSE(accepts<PrivacyDefaults>(
      R"({"redacted_before_persistence":1,"file_mode":"0600","upload":"disabled",)"
      R"("retention":"user_managed","capture":"redacted_metadata_only"})"));
  const std::string calibration_head =
      R"({"schema_version":1,"observation_only":true,"safety_certified":false,"total_samples":3,)"
      R"("complete_samples":2,"incomplete_samples":1,"observed_duration_ms":40,)"
      R"("peak_aggregate_footprint_bytes":{"status":"available","value":9},)"
      R"("peak_growth_bytes_per_second":{"status":"unknown"},)"
      R"("guidance":"choose_explicit_limit_from_repeated_representative_runs")";
  const auto with_null =
      read<CalibrationArtifact>(calibration_head + R"(,"automatic_limit_bytes":null})");
  EXPECT_EQ(with_null.total_samples, 3u);
  EXPECT_FALSE(with_null.automatic_limit_bytes.has_value());
  EXPECT_EQ(read<CalibrationArtifact>(calibration_head + "}"), with_null);
}

TEST(EnumReader, OnlyTheExactVariantStringReads) {
  EXPECT_EQ(read<ReportMode>(R"("enforc\u0065")"), ReportMode::Enforce);
  EXPECT_EQ(read<PolicyState>(R"("supervisor_error")"), PolicyState::SupervisorError);
  for (const std::string_view bad :
       {R"("Enforce")", R"(" enforce")", R"("enforce ")", R"("enforc")", R"("")", "1", "null",
        "[\"enforce\"]", R"({"enforce":null})"}) {
    EXPECT_FALSE(accepts<ReportMode>(bad)) << bad;
  }
}

// ---------------------------------------------------------------------------
// Tagged values.

TEST(TaggedReader, TagMayStandAnywhereAndOtherMembersAreDropped) {
  const Observed<uint64_t> five = Observed<uint64_t>::available(5);
  EXPECT_EQ(read<Observed<uint64_t>>(R"({"value":5,"status":"available"})"), five);
  EXPECT_EQ(read<Observed<uint64_t>>(
                R"({"extra":{"status":"error"},"value":5,"x":[],"status":"available"})"),
            five);
  EXPECT_EQ(read<Observed<uint64_t>>(R"({"status":"unknown","value":5,"value":"x"})"),
            Observed<uint64_t>::unknown());
  EXPECT_EQ(read<ChildStatus>(R"({"status":"signaled","signal":9,"code":1})"),
            ChildStatus::signaled(9));
  EXPECT_EQ(read<ChildStatus>(R"({"code":255,"status":"exited"})"), ChildStatus::exited(255));
}

TEST(TaggedReader, TagAndPayloadRules) {
  for (const std::string_view bad : {
           R"({})",
           R"({"value":1})",
           R"({"status":"available"})",
           R"({"status":"available","value":1,"value":1})",
           R"({"status":"available","status":"available","value":1})",
           R"({"status":"Available","value":1})",
           R"({"status":"available ","value":1})",
           R"({"status":0,"value":1})",
           R"({"status":null})",
           R"({"status":["unknown"]})",
           R"(["available",1])",
           R"("unknown")",
           "null",
           R"({"status":"available","value":-1})",
           R"({"status":"available","value":1.5})",
           R"({"status":"available","value":"5"})",
           R"({"status":"available","value":null})",
           R"({"status":"stale","value":3})",
       }) {
    EXPECT_FALSE(accepts<Observed<uint64_t>>(bad)) << bad;
  }
  EXPECT_FALSE(accepts<Observed<bool>>(R"({"status":"available","value":0})"));
  EXPECT_FALSE(accepts<Observed<MemoryPressureLevel>>(R"({"status":"available","value":2})"));
  EXPECT_FALSE(accepts<Observed<bool>>(R"({"status":"unavailable","reason":"unknown"})"));
  for (const std::string_view bad :
       {R"({"status":"exited","code":256})", R"({"status":"exited","signal":1})",
        R"({"status":1,"code":1})"}) {
    EXPECT_FALSE(accepts<ChildStatus>(bad)) << bad;
  }
}

TEST(TaggedReader, OptionalTaggedFieldsTakeNullAsAbsent) {
  const std::string metrics_head =
      R"({"pressure_events":{"status":"unknown"},"swap_bytes":{"status":"unknown"},)"
      R"("compressor_bytes":{"status":"unknown"},"wired_bytes":{"status":"unknown"},)"
      R"("growth_bytes_per_second":{"status":"unknown"})";
  EXPECT_FALSE(read<AdvisoryMetrics>(metrics_head + "}").pressure_level.has_value());
  EXPECT_FALSE(read<AdvisoryMetrics>(metrics_head + R"(,"pressure_level":null})")
                   .pressure_level.has_value());
  EXPECT_EQ(read<AdvisoryMetrics>(metrics_head + R"(,"pressure_level":{"status":"unknown"}})")
                .pressure_level,
            Observed<MemoryPressureLevel>::unknown());
  EXPECT_FALSE(accepts<AdvisoryMetrics>(metrics_head + R"(,"pressure_level":{}})"));
  EXPECT_FALSE(accepts<SampleWindow>(R"({"captured_at_ms":1,"processed_at_ms":1,"window_ms":1,)"
                                     R"("aggregate_footprint_bytes":null,"advisory":)" +
                                     metrics_head + "}}"));
  EXPECT_FALSE(
      read<TerminalOutcome>(outcome_with(R"("kind":"launch_not_found","child_status":null)"))
          .child_status.has_value());
}

// ---------------------------------------------------------------------------
// TerminalOutcome and its flattened kind.

TEST(TerminalOutcomeReader, KindAndPayloadStandAmongTheOwnMembers) {
  EXPECT_EQ(
      read<TerminalOutcome>(R"({"code":3,"at_ms":5,"kind":"child_exited","final_footprint_bytes":)"
                            R"({"status":"unknown"},"child_status":{"status":"exited","code":3},)"
                            R"("owned_group_survivors":false,"parent_exited_at_ms":4})"),
      (TerminalOutcome{.at_ms = 5,
                       .kind = TerminalKind::child_exited(3),
                       .final_footprint_bytes = Observed<uint64_t>::unknown(),
                       .child_status = ChildStatus::exited(3),
                       .owned_group_survivors = false,
                       .parent_exited_at_ms = 4}));
  const auto kind_of = [](std::string_view members) {
    return read<TerminalOutcome>(outcome_with(members)).kind;
  };
  EXPECT_EQ(kind_of(R"("kind":"child_signaled","signal":9,"code":2)"),
            TerminalKind::child_signaled(9));
  // A kind without payload drops every other member, whatever its key.
  EXPECT_EQ(kind_of(R"("kind":"launch_not_found","code":3,"code":4,"signal":"x")"),
            TerminalKind::of(TerminalKind::Tag::LaunchNotFound));
  EXPECT_EQ(kind_of(R"("kin\u0064":"partial_artifact_failure")"),
            TerminalKind::of(TerminalKind::Tag::PartialArtifactFailure));

  for (const std::string_view bad : {
           R"("code":3)",
           R"("kind":"child_exited","signal":9)",
           R"("kind":"child_exited","code":1,"code":1)",
           R"("kind":"launch_not_found","kind":"launch_not_found")",
           R"("kind":2)",
           R"("kind":"Launch_not_found")",
           R"("kind":null)",
           R"("kind":"child_exited","code":256)",
           R"("kind":"child_signaled","signal":-1)",
           R"("kind":"launch_not_found","at_ms":6)",
           R"("kind":"launch_not_found","final_footprint_bytes":{"status":"unknown"})",
           R"("kind":"launch_not_found","x":[1,)",
       }) {
    EXPECT_FALSE(accepts<TerminalOutcome>(outcome_with(bad))) << bad;
  }
  // Without final_footprint_bytes, or not an object.
  EXPECT_FALSE(accepts<TerminalOutcome>(R"({"at_ms":5,"kind":"launch_not_found"})"));
  EXPECT_FALSE(accepts<TerminalOutcome>(R"([5,"launch_not_found",{"status":"unknown"}])"));
}

}  // namespace
}  // namespace vek_guard
