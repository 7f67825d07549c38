#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "checks.h"
#include "vek_guard/coding.h"
#include "vek_guard_cli/cli.h"
#include "vek_guard_cli/display_text.h"
#include "vek_guard_cli/option_values.h"

namespace vek_guard::fuzz {
namespace {

using Text = Result<uint64_t, std::string>;

CheckResult fail(std::string message) { return unexpected(std::move(message)); }

bool in(uint8_t byte, uint8_t low, uint8_t high) { return byte >= low && byte <= high; }

// Well-formed UTF-8 by the table of valid byte sequences (each lead byte
// fixes the range of the byte after it), rather than by decoding.
bool reference_utf8(std::string_view text) {
  const auto at = [&text](std::size_t i) { return static_cast<uint8_t>(text[i]); };
  std::size_t i = 0;
  while (i < text.size()) {
    const uint8_t lead = at(i);
    std::size_t length = 1;
    uint8_t second_low = 0x80;
    uint8_t second_high = 0xBF;
    if (lead <= 0x7F) {
      ++i;
      continue;
    } else if (in(lead, 0xC2, 0xDF)) {
      length = 2;
    } else if (lead == 0xE0) {
      length = 3;
      second_low = 0xA0;
    } else if (in(lead, 0xE1, 0xEC) || in(lead, 0xEE, 0xEF)) {
      length = 3;
    } else if (lead == 0xED) {
      length = 3;
      second_high = 0x9F;
    } else if (lead == 0xF0) {
      length = 4;
      second_low = 0x90;
    } else if (in(lead, 0xF1, 0xF3)) {
      length = 4;
    } else if (lead == 0xF4) {
      length = 4;
      second_high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    if (!in(at(i + 1), second_low, second_high)) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (!in(at(i + k), 0x80, 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

bool all_digits(std::string_view text) {
  return text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The decimal number by the standard library's conversion.
Text reference_positive(std::string_view text, const std::string& label) {
  if (text.empty() || !all_digits(text)) return unexpected(label + " must be a positive integer");
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc::result_out_of_range) return unexpected(label + " overflows u64");
  if (error != std::errc() || end != text.data() + text.size()) return unexpected(std::string("?"));
  if (value == 0) return unexpected(label + " must be greater than zero");
  return value;
}

// The number before a suffix times the suffix's multiplier; `suffix_length`
// 0 means no suffix was recognised.
Text reference_scaled(std::string_view text, std::size_t suffix_length, uint64_t multiplier,
                      const std::string& label, const std::string& no_suffix,
                      const std::string& overflow) {
  if (suffix_length == 0) return unexpected(no_suffix);
  Text number = reference_positive(text.substr(0, text.size() - suffix_length), label);
  if (!number) return number;
  uint64_t product = 0;
  if (__builtin_mul_overflow(*number, multiplier, &product)) return unexpected(overflow);
  return product;
}

Text reference_bytes(std::string_view text) {
  std::size_t suffix = 0;
  uint64_t multiplier = 1;
  if (text.size() >= 3 && text.substr(text.size() - 2) == "iB") {
    const char unit = text[text.size() - 3];
    const std::string_view units = "KMGT";
    if (const std::size_t power = units.find(unit); power != std::string_view::npos) {
      suffix = 3;
      multiplier = uint64_t{1} << (10 * (power + 1));
    }
  }
  if (suffix == 0 && !text.empty() && text.back() == 'B') suffix = 1;
  return reference_scaled(text, suffix, multiplier, "byte quantity",
                          "expected a binary byte suffix: B, KiB, MiB, GiB, or TiB",
                          "byte quantity overflows u64");
}

// Milliseconds.
Text reference_duration(std::string_view text) {
  std::size_t suffix = 0;
  uint64_t multiplier = 1;
  if (text.size() >= 2 && text.substr(text.size() - 2) == "ms") {
    suffix = 2;
  } else if (!text.empty()) {
    switch (text.back()) {
      case 's':
        suffix = 1;
        multiplier = 1000;
        break;
      case 'm':
        suffix = 1;
        multiplier = 60 * 1000;
        break;
      case 'h':
        suffix = 1;
        multiplier = 60 * 60 * 1000;
        break;
      default:
        break;
    }
  }
  return reference_scaled(text, suffix, multiplier, "duration",
                          "expected a duration suffix: ms, s, m, or h",
                          "duration overflows u64 milliseconds");
}

Result<int32_t, std::string> reference_descriptor(std::string_view text) {
  const std::string not_integer = "client readiness descriptor must be an integer";
  std::string_view digits = text;
  const bool negative = !digits.empty() && digits.front() == '-';
  if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
  if (digits.empty() || !all_digits(digits)) return unexpected(not_integer);
  int64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (error != std::errc() || end != digits.data() + digits.size()) return unexpected(not_integer);
  const int64_t value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    return unexpected(not_integer);
  }
  if (value <= 2) {
    return unexpected(std::string("client readiness descriptor must not replace standard I/O"));
  }
  return static_cast<int32_t>(value);
}

// Compares a parser's result with the reference's, values through `same`.
template <class Actual, class Expected, class Same>
CheckResult compare(std::string_view parser, const Actual& actual, const Expected& expected,
                    Same same) {
  if (actual.ok() != expected.ok()) {
    return fail(std::string(parser) + (actual.ok() ? " accepted" : " refused") +
                " a value the reference " + (expected.ok() ? "accepts" : "refuses") +
                (expected.ok() ? "" : ": " + expected.error()));
  }
  if (!actual.ok()) {
    if (actual.error() != expected.error()) {
      return fail(std::string(parser) + " said \"" + actual.error() + "\", expected \"" +
                  expected.error() + "\"");
    }
    return {};
  }
  if (!same(*actual, *expected)) return fail(std::string(parser) + " gave a different value");
  return {};
}

template <class T>
Result<T, std::string> utf8_refusal() {
  return unexpected(std::string(cli::kInvalidUtf8Message));
}

std::vector<std::string> command_line_words(std::span<const uint8_t> data) {
  std::vector<std::string> args{std::string(cli::kProgramName)};
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  if (text.empty()) return args;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find('\0', start);
    args.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return args;
    start = end + 1;
  }
}

// quote_debug shows any bytes as printable UTF-8 in double quotes.
CheckResult check_quote_debug(std::span<const uint8_t> data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  const std::string quoted = cli::quote_debug(text);
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') {
    return fail("not in double quotes");
  }
  if (!reference_utf8(quoted)) return fail("quoted text is not UTF-8");
  for (const char c : quoted) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return fail("a raw control character in quoted text");
  }
  // Inside the quotes every double quote is escaped.
  for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
    if (quoted[i] == '\\') {
      ++i;
    } else if (quoted[i] == '"') {
      return fail("an unescaped double quote");
    }
  }
  return {};
}

}  // namespace

CheckResult check_cli_values(std::span<const uint8_t> data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  const bool utf8 = reference_utf8(text);
  if (is_valid_utf8(text) != utf8) return fail("is_valid_utf8 disagrees with the table");

  const auto equal = [](const auto& a, const auto& b) { return a == b; };
  const auto millis = [](const Duration& a, uint64_t ms) { return a == Duration::from_millis(ms); };
  const auto first_failure = [](std::initializer_list<CheckResult> results) -> CheckResult {
    for (const CheckResult& result : results) {
      if (!result) return result;
    }
    return {};
  };

  if (!utf8) {
    return first_failure({
        compare("parse_positive_u64", cli::parse_positive_u64(text, "duration"),
                utf8_refusal<uint64_t>(), equal),
        compare("parse_bytes", cli::parse_bytes(text), utf8_refusal<uint64_t>(), equal),
        compare("parse_duration", cli::parse_duration(text), utf8_refusal<uint64_t>(), millis),
        compare("parse_max_footprint", cli::parse_max_footprint(text), utf8_refusal<uint64_t>(),
                equal),
        compare("parse_wall_time", cli::parse_wall_time(text), utf8_refusal<uint64_t>(), millis),
        compare("parse_checkpoint_timeout", cli::parse_checkpoint_timeout(text),
                utf8_refusal<uint64_t>(), millis),
        compare("parse_sample_interval", cli::parse_sample_interval(text), utf8_refusal<uint64_t>(),
                millis),
        compare("parse_client_ready_fd", cli::parse_client_ready_fd(text), utf8_refusal<int32_t>(),
                equal),
        compare("parse_on_parent_exit", cli::parse_on_parent_exit(text),
                utf8_refusal<OnParentExit>(), equal),
    });
  }

  const Text duration = reference_duration(text);
  Text wall_time = duration;
  if (wall_time && *wall_time > uint64_t{30} * 24 * 3600 * 1000) {
    wall_time = unexpected(std::string("--wall-time must not exceed 30 days"));
  }
  Text timeout = duration;
  if (timeout && (*timeout < 10 || *timeout > 60 * 1000)) {
    timeout = unexpected(std::string("--checkpoint-timeout must be within 10ms..=60s"));
  }
  Result<OnParentExit, std::string> on_parent_exit =
      unexpected(std::string("--on-parent-exit must be terminate or detach"));
  if (text == "terminate") on_parent_exit = OnParentExit::Terminate;
  if (text == "detach") on_parent_exit = OnParentExit::Detach;

  return first_failure({
      compare("parse_positive_u64", cli::parse_positive_u64(text, "byte quantity"),
              reference_positive(text, "byte quantity"), equal),
      compare("parse_bytes", cli::parse_bytes(text), reference_bytes(text), equal),
      compare("parse_duration", cli::parse_duration(text), duration, millis),
      compare("parse_max_footprint", cli::parse_max_footprint(text), reference_bytes(text), equal),
      compare("parse_wall_time", cli::parse_wall_time(text), wall_time, millis),
      compare("parse_checkpoint_timeout", cli::parse_checkpoint_timeout(text), timeout, millis),
      compare("parse_sample_interval", cli::parse_sample_interval(text), duration, millis),
      compare("parse_client_ready_fd", cli::parse_client_ready_fd(text), reference_descriptor(text),
              equal),
      compare("parse_on_parent_exit", cli::parse_on_parent_exit(text), on_parent_exit, equal),
  });
}

CheckResult check_command_line(std::span<const uint8_t> data) {
  if (CheckResult quoted = check_quote_debug(data); !quoted) return quoted;
  const std::vector<std::string> args = command_line_words(data);
  const Result<cli::NormalizedCommand, cli::CliParseError> parsed = cli::parse_command_line(args);
  const Result<cli::RawCli, cli::CliParseError> raw = cli::RawCli::parse(args);
  if (!(cli::parse_command_line(args) == parsed)) return fail("parsing is not repeatable");

  if (!parsed) {
    if (parsed.error().message.empty()) return fail("an empty message");
    if (!raw && !(raw.error() == parsed.error())) return fail("the pipeline changed the error");
    return {};
  }
  if (!raw) return fail("validated a command line the definition refused");
  const cli::NormalizedCommand& command = *parsed;
  const cli::NormalizedCommon& common = command.common;

  // COMMAND is every word after the first "--", untouched.
  const auto separator = std::find(args.begin() + 1, args.end(), "--");
  if (separator == args.end()) return fail("accepted without a \"--\"");
  if (!std::equal(separator + 1, args.end(), common.command.begin(), common.command.end())) {
    return fail("the command is not the words after \"--\"");
  }
  if (common.command.empty()) return fail("accepted an empty command");
  if (common.sample_interval < Duration::from_millis(10) ||
      common.sample_interval > Duration::from_secs(10)) {
    return fail("sample interval out of range");
  }
  for (const auto& [key, value] : common.env) {
    if (key.empty() || key.find('=') != std::string::npos) return fail("a bad --env key");
  }
  if (common.client_ready_fd && *common.client_ready_fd < 3) return fail("a standard descriptor");
  if (std::holds_alternative<cli::RawRun>(raw->command) != command.is_run()) {
    return fail("the subcommand changed through validation");
  }
  if (command.run) {
    const cli::NormalizedRun& run = *command.run;
    if (run.max_footprint_bytes < 2 || !cli::check_max_footprint(run.max_footprint_bytes)) {
      return fail("a footprint limit check_max_footprint refuses");
    }
    if (run.wall_time && *run.wall_time > Duration::from_secs(30 * 24 * 3600)) {
      return fail("wall time beyond 30 days");
    }
    if (run.checkpoint_timeout && (*run.checkpoint_timeout < Duration::from_millis(10) ||
                                   *run.checkpoint_timeout > Duration::from_secs(60))) {
      return fail("checkpoint timeout out of range");
    }
  }
  return {};
}

}  // namespace vek_guard::fuzz
