#include "vek_guard/json_reader.h"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "vek_guard/report.h"

namespace vek_guard {
namespace {

using Kind = BufferedValue::Kind;

// Reads `text` as a T in both forms, in place and from its tree, which must
// agree (on texts that do not nest deeper than the budget).
template <class T>
Result<T, JsonRejection> read_both(std::string_view text) {
  Result<T, JsonRejection> direct = read_json<T>(text);
  Result<BufferedValue, JsonRejection> tree = BufferedValue::parse(text);
  const bool buffered_ok = tree.ok() && read_buffered<T>(*tree).ok();
  EXPECT_EQ(direct.ok(), buffered_ok) << text;
  if (direct.ok() && buffered_ok) {
    EXPECT_TRUE(*direct == *read_buffered<T>(*tree)) << text;
  }
  return direct;
}

template <class T>
bool accepts(std::string_view text) {
  return read_both<T>(text).ok();
}

// The value of `text`, which must read as a T.
template <class T>
T read(std::string_view text) {
  Result<T, JsonRejection> value = read_both<T>(text);
  EXPECT_TRUE(value.ok()) << text;
  return value.ok() ? std::move(value).value() : T{};
}

BufferedValue parsed(std::string_view text) {
  Result<BufferedValue, JsonRejection> value = BufferedValue::parse(text);
  EXPECT_TRUE(value.ok()) << text;
  return value.ok() ? std::move(value).value() : BufferedValue();
}

std::string with(std::string_view head, std::string_view middle, std::string_view tail) {
  return std::string(head) + std::string(middle) + std::string(tail);
}

// ---------------------------------------------------------------------------
// The buffered tree.

TEST(BufferedValue, NumbersKeepTheKindOfTheirTokenAndStringsUnescapeToUtf8) {
  EXPECT_EQ(*parsed(R"("\ud83d\ude00\u00e9\/\n")").as_string(), "\xF0\x9F\x98\x80\xC3\xA9/\n");
  EXPECT_EQ(parsed("18446744073709551615").as_unsigned(), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(parsed("-9223372036854775808").as_negative(), std::numeric_limits<int64_t>::min());
  // One past either end, and "-0", are no integer for any field.
  for (const std::string_view text :
       {"18446744073709551616", "-9223372036854775809", "-0", "1e2"}) {
    EXPECT_EQ(parsed(text).kind(), Kind::Floating) << text;
  }
  // Beyond a double's range a number is an infinity, below it a zero.
  EXPECT_EQ(parsed("-1e400").as_floating(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(parsed(std::string(400, '9')).as_floating(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(parsed("1e-400").as_floating(), 0.0);
}

// The same grammar holds for a tree and for a value that a record reading in
// place skips.
TEST(BufferedValue, RejectsMalformedTextInvalidUtf8AndForeignWhitespace) {
  const auto as_unknown_member = [](std::string_view value) {
    return with(R"({"at_ms":1,"from":"normal","to":"exited","x":)", value, "}");
  };
  const std::string huge_integer(400, '9');
  for (const std::string_view good :
       {std::string_view(" \t\r\n{ \"a\" :\r\n[ 1 , 2 ] }\n"), std::string_view("1e-400"),
        std::string_view("-0.0E+1"), std::string_view("1e400"), std::string_view("-1e400"),
        std::string_view(huge_integer)}) {
    EXPECT_TRUE(BufferedValue::parse(good).ok()) << good;
    EXPECT_TRUE(accepts<TransitionRecord>(as_unknown_member(good))) << good;
  }
  const std::vector<std::string> bad = {
      "", "[1,]", R"({"a":1,})", R"({a:1})", "01", "1.", "nul", R"("\q")", R"("\u12")", "\"a\x01\"",
      R"("unterminated)", "{}x", "NaN",
      // A NUL byte is not the end of the text.
      std::string("{}\0{}", 5),
      // Invalid UTF-8 and lone or reversed surrogates.
      "\"\xC0\xAF\"", "\"\xE2\x82\"", "\"\xED\xA0\x80\"", R"("\ud800")", R"("\ude00\ud83d")",
      // Only space, tab, line feed and carriage return separate tokens.
      "\f{}", "{}\xC2\xA0", "\xEF\xBB\xBF{}"};
  for (const std::string& text : bad) {
    EXPECT_FALSE(BufferedValue::parse(text).ok()) << testing::PrintToString(text);
    EXPECT_FALSE(read_json<TransitionRecord>(as_unknown_member(text)).ok())
        << testing::PrintToString(text);
  }
}

// The budget holds while the tree is built, before any record reads it, so it
// also covers members that a record skips or hands on.
TEST(BufferedValue, NestingStopsAtTheBudget) {
  const auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  EXPECT_TRUE(BufferedValue::parse(nested(127)).ok());
  EXPECT_FALSE(BufferedValue::parse(nested(128)).ok());
  EXPECT_FALSE(BufferedValue::parse(nested(100000)).ok());
  EXPECT_FALSE(BufferedValue::parse(with(R"({"a":)", nested(127), "}")).ok());
}

// In place, a record walks an unknown member without counting it; what is
// buffered (a tagged value's or an outcome's kept members, a tree) counts.
TEST(RecordReader, OnlyBufferedMembersTakeFromTheBudget) {
  const auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  const std::string signal = with(R"({"at_ms":12,"signal":15,"target":"owned_process_group",)",
                                  R"("result":"delivered","x":)", nested(200) + "}");
  EXPECT_TRUE(read_json<SignalRecord>(signal).ok());
  EXPECT_FALSE(BufferedValue::parse(signal).ok());
  // The record is level 1, so a kept member may nest 126 levels more.
  const auto outcome = [&](std::size_t depth) {
    return with(R"({"at_ms":5,"kind":"launch_not_found","final_footprint_bytes":)",
                R"({"status":"unknown"},"x":)", nested(depth) + "}");
  };
  const auto observed = [&](std::size_t depth) {
    return with(R"({"status":"unknown","x":)", nested(depth), "}");
  };
  EXPECT_TRUE(read_json<TerminalOutcome>(outcome(126)).ok());
  EXPECT_TRUE(read_json<Observed<uint64_t>>(observed(126)).ok());
  for (const std::size_t depth : {127, 200}) {
    EXPECT_FALSE(read_json<TerminalOutcome>(outcome(depth)).ok()) << depth;
    EXPECT_FALSE(read_json<Observed<uint64_t>>(observed(depth)).ok()) << depth;
  }
}

// ---------------------------------------------------------------------------
// Records, unit enumerations and tagged values.

TEST(RecordReader, KnownKeysExactlyOnceUnknownKeysSkippedNullMeansAbsent) {
  const auto transition = [](std::string_view head) {
    return with("{", head, R"("from":"normal","to":"exited"})");
  };
  const TransitionRecord skipped = read<TransitionRecord>(
      transition(R"("x":{"at_ms":"no"},"at\u005fms":1,"x":[1,2,{}],"y":null,)"));
  EXPECT_EQ(skipped.at_ms, 1u);
  EXPECT_FALSE(skipped.aggregate_footprint_bytes.has_value());
  // A key that differs in case or by a blank is unknown, so at_ms is missing.
  for (const std::string& bad :
       {transition(R"("at_ms":1,"at_ms":1,)"), transition(""), transition(R"("at_ms":null,)"),
        transition(R"("At_ms":1,)"), transition(R"("at_ms ":1,)"),
        transition(R"("at_ms":1,"aggregate_footprint_bytes":null,"aggregate_footprint_bytes":1,)"),
        std::string(R"(["at_ms",1])")}) {
    EXPECT_FALSE(accepts<TransitionRecord>(bad)) << bad;
  }
  EXPECT_EQ(read<CheckpointRecord>(R"({"status":"timed_out","at_ms":null,"request_id":9})"),
            (CheckpointRecord{.status = CheckpointStatus::TimedOut, .request_id = 9}));
}

TEST(RecordReader, ValuesAreCheckedAgainstTheirTypeAndWidth) {
  const auto signal = [](std::string_view number) {
    return with(R"({"at_ms":12,"signal":)", number,
                R"(,"target":"owned_process_group","result":"delivered"})");
  };
  EXPECT_TRUE(accepts<SignalRecord>(signal("255")));
  for (const std::string_view bad : {"256", "-1", "1.0", "\"15\"", "true", "null"}) {
    EXPECT_FALSE(accepts<SignalRecord>(signal(bad))) << bad;
  }
  const auto identity = [](std::string_view count) {
    return with(R"({"run_id":"r","executable_basename":"e","argument_count":)", count, "}");
  };
  EXPECT_TRUE(accepts<RunIdentity>(identity("4294967295")));
  EXPECT_FALSE(accepts<RunIdentity>(identity("4294967296")));
  EXPECT_FALSE(
      accepts<RunIdentity>(R"({"run_id":1,"executable_basename":"e","argument_count":0})"));
  const auto growth = [](std::string_view v) {
    return with(R"({"status":"available","value":)", v, "}");
  };
  EXPECT_EQ(read<Observed<int64_t>>(growth("-9223372036854775808")),
            Observed<int64_t>::available(std::numeric_limits<int64_t>::min()));
  EXPECT_FALSE(accepts<Observed<int64_t>>(growth("9223372036854775808")));
  EXPECT_FALSE(accepts<Observed<uint64_t>>(growth("-1")));
  EXPECT_FALSE(accepts<Observed<bool>>(growth("0")));
  // Unit enumerations read only their exact variant string.
  EXPECT_EQ(read<ReportMode>(R"("enforc\u0065")"), ReportMode::Enforce);
  for (const std::string_view bad : {R"("Enforce")", R"("enforce ")", R"("")", "1", "null"}) {
    EXPECT_FALSE(accepts<ReportMode>(bad)) << bad;
  }
}

TEST(TaggedReader, TagMayStandAnywhereAndEachVariantTakesOnlyItsPayload) {
  EXPECT_EQ(read<Observed<uint64_t>>(R"({"x":{"status":"error"},"value":5,"status":"available"})"),
            Observed<uint64_t>::available(5));
  EXPECT_EQ(read<Observed<uint64_t>>(R"({"status":"unknown","value":5,"value":"x"})"),
            Observed<uint64_t>::unknown());
  EXPECT_EQ(read<ChildStatus>(R"({"code":255,"status":"exited","signal":1})"),
            ChildStatus::exited(255));
  for (const std::string_view bad : {R"({"value":1})", R"({"status":"available"})",
                                     R"({"status":"available","value":1,"value":1})",
                                     R"({"status":"available","status":"available","value":1})",
                                     R"({"status":"Available","value":1})", R"({"status":null})",
                                     R"({"status":"stale","value":3})", R"("unknown")"}) {
    EXPECT_FALSE(accepts<Observed<uint64_t>>(bad)) << bad;
  }
  EXPECT_FALSE(accepts<ChildStatus>(R"({"status":"exited","code":256})"));
}

// The outcome's kind and its payload stand among the outcome's own members.
TEST(TerminalOutcomeReader, KindAndPayloadStandAmongTheOwnMembers) {
  const auto outcome = [](std::string_view members) {
    return with(R"({"at_ms":5,"final_footprint_bytes":{"status":"unknown"},)", members, "}");
  };
  EXPECT_EQ(read<TerminalOutcome>(outcome(R"("code":3,"kind":"child_exited")")).kind,
            TerminalKind::child_exited(3));
  // A kind without payload drops every other member, whatever its key.
  EXPECT_EQ(
      read<TerminalOutcome>(outcome(R"("kind":"launch_not_found","code":3,"signal":"x")")).kind,
      TerminalKind::of(TerminalKind::Tag::LaunchNotFound));
  for (const std::string_view bad : {
           R"("code":3)",
           R"("kind":"child_exited","signal":9)",
           R"("kind":"child_exited","code":1,"code":1)",
           R"("kind":"launch_not_found","kind":"launch_not_found")",
           R"("kind":null)",
           R"("kind":"child_signaled","signal":-1)",
           R"("kind":"launch_not_found","at_ms":6)",
       }) {
    EXPECT_FALSE(accepts<TerminalOutcome>(outcome(bad))) << bad;
  }
  EXPECT_FALSE(accepts<TerminalOutcome>(R"({"at_ms":5,"kind":"launch_not_found"})"));
}

}  // namespace
}  // namespace vek_guard
