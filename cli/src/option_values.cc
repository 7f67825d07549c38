#include "vek_guard_cli/option_values.h"

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "vek_guard/coding.h"

namespace vek_guard::cli {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

struct Suffix {
  std::string_view text;
  uint64_t multiplier;
};

// Longer suffixes first: "B" alone would otherwise swallow "KiB".
constexpr std::array<Suffix, 5> kByteSuffixes{{
    {"TiB", uint64_t{1} << 40},
    {"GiB", uint64_t{1} << 30},
    {"MiB", uint64_t{1} << 20},
    {"KiB", uint64_t{1} << 10},
    {"B", 1},
}};

// "ms" before "m" and "s" for the same reason; the multipliers are in
// milliseconds.
constexpr std::array<Suffix, 4> kDurationSuffixes{{
    {"ms", 1},
    {"h", 3'600'000},
    {"m", 60'000},
    {"s", 1'000},
}};

template <std::size_t N>
const Suffix* match_suffix(std::string_view text, const std::array<Suffix, N>& suffixes) {
  for (const Suffix& suffix : suffixes) {
    if (text.ends_with(suffix.text)) return &suffix;
  }
  return nullptr;
}

std::string labelled(std::string_view label, std::string_view rest) {
  std::string message(label);
  message += rest;
  return message;
}

}  // namespace

Result<uint64_t, std::string> parse_positive_u64(std::string_view text, std::string_view label) {
  if (!is_valid_utf8(text)) return unexpected(std::string(kInvalidUtf8Message));
  if (text.empty()) return unexpected(labelled(label, " must be a positive integer"));
  for (const char c : text) {
    if (c < '0' || c > '9') return unexpected(labelled(label, " must be a positive integer"));
  }
  uint64_t value = 0;
  for (const char c : text) {
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (kU64Max - digit) / 10) return unexpected(labelled(label, " overflows u64"));
    value = value * 10 + digit;
  }
  if (value == 0) return unexpected(labelled(label, " must be greater than zero"));
  return value;
}

Result<uint64_t, std::string> parse_bytes(std::string_view text) {
  if (!is_valid_utf8(text)) return unexpected(std::string(kInvalidUtf8Message));
  const Suffix* suffix = match_suffix(text, kByteSuffixes);
  if (suffix == nullptr) {
    return unexpected(std::string("expected a binary byte suffix: B, KiB, MiB, GiB, or TiB"));
  }
  auto number =
      parse_positive_u64(text.substr(0, text.size() - suffix->text.size()), "byte quantity");
  if (!number) return unexpected(std::move(number).error());
  if (*number > kU64Max / suffix->multiplier) {
    return unexpected(std::string("byte quantity overflows u64"));
  }
  return *number * suffix->multiplier;
}

Result<Duration, std::string> parse_duration(std::string_view text) {
  if (!is_valid_utf8(text)) return unexpected(std::string(kInvalidUtf8Message));
  const Suffix* suffix = match_suffix(text, kDurationSuffixes);
  if (suffix == nullptr) {
    return unexpected(std::string("expected a duration suffix: ms, s, m, or h"));
  }
  auto number = parse_positive_u64(text.substr(0, text.size() - suffix->text.size()), "duration");
  if (!number) return unexpected(std::move(number).error());
  if (*number > kU64Max / suffix->multiplier) {
    return unexpected(std::string("duration overflows u64 milliseconds"));
  }
  return Duration::from_millis(*number * suffix->multiplier);
}

Result<uint64_t, std::string> parse_max_footprint(std::string_view text) {
  return parse_bytes(text);
}

Result<Duration, std::string> parse_wall_time(std::string_view text) {
  auto duration = parse_duration(text);
  if (!duration) return duration;
  if (*duration > Duration::from_secs(30 * 24 * 3600)) {
    return unexpected(std::string("--wall-time must not exceed 30 days"));
  }
  return duration;
}

Result<Duration, std::string> parse_checkpoint_timeout(std::string_view text) {
  auto duration = parse_duration(text);
  if (!duration) return duration;
  if (*duration < Duration::from_millis(10) || *duration > Duration::from_secs(60)) {
    return unexpected(std::string("--checkpoint-timeout must be within 10ms..=60s"));
  }
  return duration;
}

Result<Duration, std::string> parse_sample_interval(std::string_view text) {
  return parse_duration(text);
}

Result<int32_t, std::string> parse_client_ready_fd(std::string_view text) {
  if (!is_valid_utf8(text)) return unexpected(std::string(kInvalidUtf8Message));
  const std::string not_integer = "client readiness descriptor must be an integer";
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return unexpected(not_integer);
  // Accumulate the magnitude in 64 bits and stop as soon as it cannot be an
  // i32 any more, so arbitrarily long digit strings cannot overflow.
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return unexpected(not_integer);
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > kLimit) return unexpected(not_integer);
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<int32_t>::max()) return unexpected(not_integer);
  if (value <= 2) {
    return unexpected(std::string("client readiness descriptor must not replace standard I/O"));
  }
  return static_cast<int32_t>(value);
}

Result<OnParentExit, std::string> parse_on_parent_exit(std::string_view text) {
  if (!is_valid_utf8(text)) return unexpected(std::string(kInvalidUtf8Message));
  if (text == "terminate") return OnParentExit::Terminate;
  if (text == "detach") return OnParentExit::Detach;
  return unexpected(std::string("--on-parent-exit must be terminate or detach"));
}
}  // namespace vek_guard::cli
