#include "vek_guard_cli/cli.h"

#include <cstdint>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace vek_guard::cli {
namespace {

// The message of a failed parse, or a marker that makes a success obvious in
// the failure output.
template <class T>
std::string error_of(const Result<T, std::string>& result) {
  return result ? std::string("<accepted>") : result.error();
}

TEST(Utf8, AcceptsWellFormedAndRejectsMalformedSequences) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain"));
  EXPECT_TRUE(is_valid_utf8("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));  // é € 😀
  EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));                      // U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xFF"));
  EXPECT_FALSE(is_valid_utf8("\x80"));                  // lone continuation
  EXPECT_FALSE(is_valid_utf8("\xC3"));                  // truncated
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));              // overlong '/'
  EXPECT_FALSE(is_valid_utf8("\xE0\x80\xAF"));          // overlong '/'
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));          // surrogate U+D800
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));      // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("ok\xE2\x82"));            // truncated at the end
}

TEST(PositiveInteger, AcceptsOnlyPlainNonZeroDecimalDigits) {
  EXPECT_EQ(*parse_positive_u64("42", "duration"), 42u);
  EXPECT_EQ(*parse_positive_u64("0007", "duration"), 7u);
  EXPECT_EQ(*parse_positive_u64("18446744073709551615", "byte quantity"), UINT64_MAX);
  EXPECT_EQ(*parse_positive_u64("000018446744073709551615", "byte quantity"), UINT64_MAX);
  for (std::string_view bad : {"", "+5", "-5", " 5", "5 ", "1.5", "1_000", "0x10"}) {
    EXPECT_EQ(error_of(parse_positive_u64(bad, "duration")), "duration must be a positive integer")
        << bad;
  }
  EXPECT_EQ(error_of(parse_positive_u64("18446744073709551616", "byte quantity")),
            "byte quantity overflows u64");
  EXPECT_EQ(error_of(parse_positive_u64("99999999999999999999999", "duration")),
            "duration overflows u64");
  EXPECT_EQ(error_of(parse_positive_u64("000", "duration")), "duration must be greater than zero");
}

TEST(Bytes, SuffixesAreBinaryAndCaseSensitive) {
  EXPECT_EQ(*parse_bytes("1B"), 1u);
  EXPECT_EQ(*parse_bytes("2KiB"), 2048u);
  EXPECT_EQ(*parse_bytes("512MiB"), 536'870'912u);
  EXPECT_EQ(*parse_bytes("3GiB"), 3u << 30);
  EXPECT_EQ(*parse_bytes("1TiB"), uint64_t{1} << 40);
  const std::string suffix = "expected a binary byte suffix: B, KiB, MiB, GiB, or TiB";
  EXPECT_EQ(error_of(parse_bytes("1kib")), suffix);
  EXPECT_EQ(error_of(parse_bytes("1024")), suffix);
  EXPECT_EQ(error_of(parse_bytes("")), suffix);
  EXPECT_EQ(error_of(parse_bytes("1b")), suffix);
  // "KB" ends in "B", so the number part is "1K".
  EXPECT_EQ(error_of(parse_bytes("1KB")), "byte quantity must be a positive integer");
  EXPECT_EQ(error_of(parse_bytes("B")), "byte quantity must be a positive integer");
  EXPECT_EQ(error_of(parse_bytes("0B")), "byte quantity must be greater than zero");
  EXPECT_EQ(error_of(parse_bytes("00MiB")), "byte quantity must be greater than zero");
}

TEST(Bytes, ProductsBeyondU64Overflow) {
  EXPECT_EQ(*parse_bytes("16777215TiB"), ((uint64_t{1} << 24) - 1) << 40);
  EXPECT_EQ(error_of(parse_bytes("16777216TiB")), "byte quantity overflows u64");
  EXPECT_EQ(*parse_bytes("18446744073709551615B"), UINT64_MAX);
  EXPECT_EQ(error_of(parse_bytes("18446744073709551616B")), "byte quantity overflows u64");
}

TEST(Durations, SuffixesGiveWholeMilliseconds) {
  EXPECT_EQ(*parse_duration("10ms"), Duration::from_millis(10));
  EXPECT_EQ(*parse_duration("1500ms"), Duration::from_parts(1, 500'000'000));
  EXPECT_EQ(*parse_duration("5s"), Duration::from_secs(5));
  EXPECT_EQ(*parse_duration("10m"), Duration::from_secs(600));
  EXPECT_EQ(*parse_duration("2h"), Duration::from_secs(7200));
  EXPECT_EQ(*parse_duration("18446744073709551615ms"), Duration::from_millis(UINT64_MAX));
}

TEST(Durations, RejectsMalformedTextsWithTheirMessages) {
  const std::string suffix = "expected a duration suffix: ms, s, m, or h";
  for (std::string_view bad : {"", "5", "5sec", "5S", "5MS", "5d"}) {
    EXPECT_EQ(error_of(parse_duration(bad)), suffix) << bad;
  }
  for (std::string_view bad : {"1.5s", "+5s", " 5s", "-5s", "s", "ms", "5hs"}) {
    EXPECT_EQ(error_of(parse_duration(bad)), "duration must be a positive integer") << bad;
  }
  EXPECT_EQ(error_of(parse_duration("0ms")), "duration must be greater than zero");
  EXPECT_EQ(error_of(parse_duration("18446744073709551616ms")), "duration overflows u64");
  EXPECT_EQ(error_of(parse_duration("18446744073709552s")), "duration overflows u64 milliseconds");
  EXPECT_EQ(*parse_duration("5124095576030h"), Duration::from_secs(5124095576030 * 3600));
  EXPECT_EQ(error_of(parse_duration("5124095576031h")), "duration overflows u64 milliseconds");
}

TEST(ValueParsers, EveryParserRequiresUtf8First) {
  const std::string_view bad = "5\xFFs";
  EXPECT_EQ(error_of(parse_max_footprint("\xFF" "B")), kInvalidUtf8Message);
  EXPECT_EQ(error_of(parse_wall_time(bad)), kInvalidUtf8Message);
  EXPECT_EQ(error_of(parse_checkpoint_timeout(bad)), kInvalidUtf8Message);
  EXPECT_EQ(error_of(parse_sample_interval(bad)), kInvalidUtf8Message);
  EXPECT_EQ(error_of(parse_client_ready_fd("3\xFF")), kInvalidUtf8Message);
  EXPECT_EQ(error_of(parse_on_parent_exit("detach\xFF")), kInvalidUtf8Message);
}

TEST(ValueParsers, WallTimeIsCappedAtThirtyDaysInclusive) {
  EXPECT_EQ(*parse_wall_time("720h"), Duration::from_secs(2'592'000));
  EXPECT_EQ(*parse_wall_time("43200m"), Duration::from_secs(2'592'000));
  EXPECT_EQ(*parse_wall_time("1ms"), Duration::from_millis(1));
  EXPECT_EQ(error_of(parse_wall_time("43201m")), "--wall-time must not exceed 30 days");
  EXPECT_EQ(error_of(parse_wall_time("2592000001ms")), "--wall-time must not exceed 30 days");
  EXPECT_EQ(error_of(parse_wall_time("30d")), "expected a duration suffix: ms, s, m, or h");
}

TEST(ValueParsers, CheckpointTimeoutIsBetweenTenMillisecondsAndOneMinute) {
  EXPECT_EQ(*parse_checkpoint_timeout("10ms"), Duration::from_millis(10));
  EXPECT_EQ(*parse_checkpoint_timeout("60s"), Duration::from_secs(60));
  EXPECT_EQ(*parse_checkpoint_timeout("1m"), Duration::from_secs(60));
  const std::string range = "--checkpoint-timeout must be within 10ms..=60s";
  EXPECT_EQ(error_of(parse_checkpoint_timeout("9ms")), range);
  EXPECT_EQ(error_of(parse_checkpoint_timeout("61s")), range);
  EXPECT_EQ(error_of(parse_checkpoint_timeout("60001ms")), range);
  EXPECT_EQ(error_of(parse_checkpoint_timeout("0s")), "duration must be greater than zero");
}

TEST(ValueParsers, SampleIntervalRangeIsLeftToNormalization) {
  EXPECT_EQ(*parse_sample_interval("1ms"), Duration::from_millis(1));
  EXPECT_EQ(*parse_sample_interval("1h"), Duration::from_secs(3600));
  EXPECT_EQ(*parse_max_footprint("1B"), 1u);
}

TEST(ValueParsers, ClientReadyDescriptorIsAnI32AboveStandardIo) {
  EXPECT_EQ(*parse_client_ready_fd("3"), 3);
  EXPECT_EQ(*parse_client_ready_fd("+3"), 3);
  EXPECT_EQ(*parse_client_ready_fd("0042"), 42);
  EXPECT_EQ(*parse_client_ready_fd("2147483647"), 2147483647);
  const std::string stdio = "client readiness descriptor must not replace standard I/O";
  for (std::string_view low : {"2", "+2", "1", "0", "-0", "-1", "-2147483648"}) {
    EXPECT_EQ(error_of(parse_client_ready_fd(low)), stdio) << low;
  }
  const std::string integer = "client readiness descriptor must be an integer";
  for (std::string_view bad : {"x", "", "+", "-", "3000000000", "2147483648", "-2147483649",
                               " 3", "3 ", "++3", "3.0", "99999999999999999999999"}) {
    EXPECT_EQ(error_of(parse_client_ready_fd(bad)), integer) << bad;
  }
}

TEST(ValueParsers, OnParentExitMatchesExactly) {
  EXPECT_EQ(*parse_on_parent_exit("terminate"), OnParentExit::Terminate);
  EXPECT_EQ(*parse_on_parent_exit("detach"), OnParentExit::Detach);
  for (std::string_view bad : {"Detach", "TERMINATE", "detach ", "", "kill"}) {
    EXPECT_EQ(error_of(parse_on_parent_exit(bad)), "--on-parent-exit must be terminate or detach")
        << bad;
  }
}

}  // namespace
}  // namespace vek_guard::cli
