// The option value parsers: one row per boundary and per kind of refusal.
#include "vek_guard_cli/option_values.h"

#include <concepts>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "vek_guard/coding.h"

namespace vek_guard::cli {
namespace {

std::string shown(std::integral auto value) { return std::to_string(value); }
std::string shown(OnParentExit value) {
  return value == OnParentExit::Detach ? "detach" : "terminate";
}
std::string shown(Duration value) {
  if (value.subsec_nanos() % 1'000'000 != 0) return "<sub-millisecond>";
  return std::to_string(value.as_millis_saturating()) + "ms";
}

// Each row: the text and "=<value>" or the exact error message.
template <class Parse>
void expect_parses(const char* what, Parse parse,
                   const std::vector<std::pair<std::string_view, std::string>>& rows) {
  for (const auto& [input, expected] : rows) {
    const auto result = parse(input);
    EXPECT_EQ(result ? "=" + shown(*result) : result.error(), expected) << what << " '" << input;
  }
}

const std::string kUtf8(kInvalidUtf8Message);

TEST(ValueParsers, BoundariesAndOneRowPerErrorKind) {
  EXPECT_TRUE(is_valid_utf8("\xC3\xA9\xE2\x82\xAC\xF4\x8F\xBF\xBF" /* ..U+10FFFF */));
  for (std::string_view bad : {"\xC0\xAF" /* overlong */, "\xED\xA0\x80" /* U+D800 */,
                               "\xF4\x90\x80\x80", "ok\xE2\x82" /* truncated */}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
  const std::string bytes_suffix = "expected a binary byte suffix: B, KiB, MiB, GiB, or TiB";
  expect_parses("bytes", parse_bytes,
                {{"2KiB", "=2048"},
                 {"3MiB", "=3145728"},
                 {"5GiB", "=5368709120"},
                 {"1TiB", "=1099511627776"},
                 {"1kib", bytes_suffix},
                 {"1KB", "byte quantity must be a positive integer"},
                 {"00MiB", "byte quantity must be greater than zero"},
                 {"16777215TiB", "=18446742974197923840"},
                 {"16777216TiB", "byte quantity overflows u64"},
                 {"18446744073709551615B", "=18446744073709551615"},
                 {"18446744073709551616B", "byte quantity overflows u64"}});
  const std::string millis_overflow = "duration overflows u64 milliseconds";
  expect_parses("duration", parse_duration,
                {{"1500ms", "=1500ms"},
                 {"10m", "=600000ms"},
                 {"2h", "=7200000ms"},
                 {"0ms", "duration must be greater than zero"},
                 {"18446744073709551616ms", "duration overflows u64"},
                 {"18446744073709552s", millis_overflow},
                 {"5124095576030h", "=18446744073708000000ms"},
                 {"5124095576031h", millis_overflow},
                 {"5S", "expected a duration suffix: ms, s, m, or h"},
                 {"1.5s", "duration must be a positive integer"}});

  const std::string thirty_days = "--wall-time must not exceed 30 days";
  expect_parses("wall time", parse_wall_time,
                {{"720h", "=2592000000ms"}, {"2592000001ms", thirty_days}, {"5\xFFs", kUtf8}});
  const std::string range = "--checkpoint-timeout must be within 10ms..=60s";
  expect_parses("checkpoint timeout", parse_checkpoint_timeout,
                {{"10ms", "=10ms"}, {"60s", "=60000ms"}, {"9ms", range}, {"60001ms", range}});
  const std::string stdio = "client readiness descriptor must not replace standard I/O";
  const std::string integer = "client readiness descriptor must be an integer";
  expect_parses(
      "client ready fd", parse_client_ready_fd,
      {{"+3", "=3"}, {"2147483647", "=2147483647"}, {"2", stdio}, {"2147483648", integer}});
  expect_parses("on parent exit", parse_on_parent_exit,
                {{"detach", "=detach"},
                 {"terminate", "=terminate"},
                 {"Detach", "--on-parent-exit must be terminate or detach"}});
}

}  // namespace
}  // namespace vek_guard::cli
