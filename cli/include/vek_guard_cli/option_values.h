// The parsers of the command line's option values: byte sizes, durations
// and the few options with a range or a vocabulary of their own.
//
// Each parser takes the option's text exactly as given (bytes, no trimming)
// and returns the typed value or the message to show for that option. Every
// parser first requires the text to be valid UTF-8 (is_valid_utf8 of
// coding.h) and answers kInvalidUtf8Message otherwise; the command-line
// definition (cli.h) checks UTF-8 before calling them, so that message
// normally never reaches a user. Parsers are pure functions of their text.
//
//   parse_bytes("512MiB")   // 536,870,912
//   parse_duration("10m")   // ten minutes
//   parse_duration("5S")    // "expected a duration suffix: ms, s, m, or h"
#ifndef VEK_GUARD_CLI_OPTION_VALUES_H_
#define VEK_GUARD_CLI_OPTION_VALUES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "vek_guard/duration.h"
#include "vek_guard/error.h"
#include "vek_guard/report.h"

namespace vek_guard::cli {

// A parser's failure is the complete message for the value, without the
// option name or the value itself (the definition adds those when rendering).
inline constexpr std::string_view kInvalidUtf8Message = "invalid UTF-8 was detected";

// A non-zero decimal u64. Only the bytes "0" to "9" are accepted (no sign, no
// spaces, no separators); leading zeros are fine. Messages, with `label` in
// front: "{label} must be a positive integer", "{label} overflows u64",
// "{label} must be greater than zero". The label is "byte quantity" or
// "duration".
[[nodiscard]] Result<uint64_t, std::string> parse_positive_u64(std::string_view text,
                                                               std::string_view label);

// A byte count written as a positive integer and a binary suffix, matched
// case-sensitively on the text's end in the order TiB, GiB, MiB, KiB, B
// ("512MiB" is 536,870,912). No suffix: "expected a binary byte suffix: B,
// KiB, MiB, GiB, or TiB"; a product beyond u64: "byte quantity overflows
// u64"; the number itself as parse_positive_u64 with "byte quantity".
[[nodiscard]] Result<uint64_t, std::string> parse_bytes(std::string_view text);

// A duration in whole milliseconds written as a positive integer and one of
// the suffixes ms, h, m, s ("ms" is tested first, so "10m" is ten minutes).
// No suffix: "expected a duration suffix: ms, s, m, or h"; more milliseconds
// than u64 holds: "duration overflows u64 milliseconds"; the number itself as
// parse_positive_u64 with "duration".
[[nodiscard]] Result<Duration, std::string> parse_duration(std::string_view text);

// --max-footprint: parse_bytes. The lower bound and the room needed by the
// emergency policy band are checked later (check_max_footprint), so that
// their messages are printed on their own.
[[nodiscard]] Result<uint64_t, std::string> parse_max_footprint(std::string_view text);

// --wall-time: parse_duration, at most 30 days inclusive, else
// "--wall-time must not exceed 30 days".
[[nodiscard]] Result<Duration, std::string> parse_wall_time(std::string_view text);

// --checkpoint-timeout: parse_duration, 10 ms to 60 s inclusive, else
// "--checkpoint-timeout must be within 10ms..=60s".
[[nodiscard]] Result<Duration, std::string> parse_checkpoint_timeout(std::string_view text);

// --sample-interval: parse_duration only; normalize checks the range, so a
// bad limit of `run` is reported before a bad interval.
[[nodiscard]] Result<Duration, std::string> parse_sample_interval(std::string_view text);

// --client-ready-fd: a decimal i32 (optional leading "+" or "-", then
// digits), else "client readiness descriptor must be an integer"; at most 2
// gives "client readiness descriptor must not replace standard I/O".
[[nodiscard]] Result<int32_t, std::string> parse_client_ready_fd(std::string_view text);

// --on-parent-exit: exactly "terminate" or "detach" (case-sensitive), else
// "--on-parent-exit must be terminate or detach".
[[nodiscard]] Result<OnParentExit, std::string> parse_on_parent_exit(std::string_view text);

}  // namespace vek_guard::cli

#endif  // VEK_GUARD_CLI_OPTION_VALUES_H_
