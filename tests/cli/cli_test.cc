#include "vek_guard_cli/cli.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace vek_guard::cli {
namespace {

std::string shown(std::integral auto value) { return std::to_string(value); }
std::string shown(OnParentExit value) {
  return value == OnParentExit::Detach ? "detach" : "terminate";
}
// Parsed durations are whole milliseconds; anything finer shows up as such.
std::string shown(Duration value) {
  if (value.subsec_nanos() % 1'000'000 != 0) return "<sub-millisecond>";
  return std::to_string(value.as_millis_saturating()) + "ms";
}

// One text and what parsing it gives: "=<value>" or the exact error message.
struct ParseCase {
  std::string_view input;
  std::string expected;
};

template <class Parse>
void expect_parses(const char* what, Parse parse, const std::vector<ParseCase>& cases) {
  for (const ParseCase& row : cases) {
    const auto result = parse(row.input);
    EXPECT_EQ(result ? "=" + shown(*result) : result.error(), row.expected)
        << what << " '" << row.input << "'";
  }
}

const std::string kDurationInteger = "duration must be a positive integer";
const std::string kDurationZero = "duration must be greater than zero";
const std::string kDurationOverflow = "duration overflows u64";
const std::string kMillisOverflow = "duration overflows u64 milliseconds";
const std::string kDurationSuffix = "expected a duration suffix: ms, s, m, or h";
const std::string kBytesInteger = "byte quantity must be a positive integer";
const std::string kBytesZero = "byte quantity must be greater than zero";
const std::string kBytesOverflow = "byte quantity overflows u64";
const std::string kBytesSuffix = "expected a binary byte suffix: B, KiB, MiB, GiB, or TiB";
const std::string kUtf8(kInvalidUtf8Message);

TEST(Utf8, AcceptsWellFormedAndRejectsMalformedSequences) {
  for (std::string_view good : {"", "plain", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                                "\xF4\x8F\xBF\xBF" /* U+10FFFF */}) {
    EXPECT_TRUE(is_valid_utf8(good)) << good;
  }
  for (std::string_view bad : {
           "\xFF", "\x80" /* lone continuation */, "\xC3" /* truncated */,
           "\xC0\xAF", "\xE0\x80\xAF" /* overlong '/' */, "\xED\xA0\x80" /* U+D800 */,
           "\xF4\x90\x80\x80" /* above U+10FFFF */, "ok\xE2\x82" /* truncated at the end */}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
}

TEST(ValueParsers, NumbersBytesAndDurations) {
  expect_parses("bytes", parse_bytes,
                {{"1B", "=1"}, {"2KiB", "=2048"}, {"512MiB", "=536870912"},
                 {"3GiB", "=3221225472"}, {"1TiB", "=1099511627776"},
                 {"1kib", kBytesSuffix}, {"1024", kBytesSuffix}, {"", kBytesSuffix},
                 {"1b", kBytesSuffix},
                 {"1KB", kBytesInteger},  // "KB" ends in "B": the number part is "1K"
                 {"B", kBytesInteger}, {"0B", kBytesZero}, {"00MiB", kBytesZero},
                 {"16777215TiB", "=18446742974197923840"}, {"16777216TiB", kBytesOverflow},
                 {"18446744073709551615B", "=18446744073709551615"},
                 {"18446744073709551616B", kBytesOverflow}});

  std::vector<ParseCase> durations = {
      {"10ms", "=10ms"}, {"1500ms", "=1500ms"}, {"5s", "=5000ms"}, {"10m", "=600000ms"},
      {"2h", "=7200000ms"}, {"18446744073709551615ms", "=18446744073709551615ms"},
      {"0ms", kDurationZero}, {"18446744073709551616ms", kDurationOverflow},
      {"18446744073709552s", kMillisOverflow},
      {"5124095576030h", "=18446744073708000000ms"}, {"5124095576031h", kMillisOverflow},
      {"0007ms", "=7ms"}, {"000018446744073709551615ms", "=18446744073709551615ms"},
      {"99999999999999999999999ms", kDurationOverflow}, {"000s", kDurationZero}};
  for (std::string_view bad : {"", "5", "5sec", "5S", "5MS", "5d"}) {
    durations.push_back({bad, kDurationSuffix});
  }
  for (std::string_view bad :
       {"1.5s", "+5s", " 5s", "5 s", "-5s", "s", "ms", "5hs", "1_000s", "0x10s"}) {
    durations.push_back({bad, kDurationInteger});
  }
  expect_parses("duration", parse_duration, durations);
}

// Each option's own range, and UTF-8 checked before anything else.
TEST(ValueParsers, OptionRanges) {
  expect_parses("max footprint", parse_max_footprint, {{"1B", "=1"}, {"\xFF" "B", kUtf8}});
  const std::string thirty_days = "--wall-time must not exceed 30 days";
  expect_parses("wall time", parse_wall_time,
                {{"720h", "=2592000000ms"}, {"43200m", "=2592000000ms"}, {"1ms", "=1ms"},
                 {"43201m", thirty_days}, {"2592000001ms", thirty_days},
                 {"30d", kDurationSuffix}, {"5\xFFs", kUtf8}});
  const std::string range = "--checkpoint-timeout must be within 10ms..=60s";
  expect_parses("checkpoint timeout", parse_checkpoint_timeout,
                {{"10ms", "=10ms"}, {"60s", "=60000ms"}, {"1m", "=60000ms"}, {"9ms", range},
                 {"61s", range}, {"60001ms", range}, {"0s", kDurationZero},
                 {"5\xFFs", kUtf8}});
  // The interval's range is checked at normalization, after the limit.
  expect_parses("sample interval", parse_sample_interval,
                {{"1ms", "=1ms"}, {"1h", "=3600000ms"}, {"5\xFFs", kUtf8}});

  std::vector<ParseCase> fds = {{"3", "=3"}, {"+3", "=3"}, {"0042", "=42"},
                                {"2147483647", "=2147483647"}, {"3\xFF", kUtf8}};
  for (std::string_view low : {"2", "+2", "1", "0", "-0", "-1", "-2147483648"}) {
    fds.push_back({low, "client readiness descriptor must not replace standard I/O"});
  }
  for (std::string_view bad : {"x", "", "+", "-", "3000000000", "2147483648", "-2147483649",
                               " 3", "3 ", "++3", "3.0", "99999999999999999999999"}) {
    fds.push_back({bad, "client readiness descriptor must be an integer"});
  }
  expect_parses("client ready fd", parse_client_ready_fd, fds);

  std::vector<ParseCase> exits = {
      {"terminate", "=terminate"}, {"detach", "=detach"}, {"detach\xFF", kUtf8}};
  for (std::string_view bad : {"Detach", "TERMINATE", "detach ", "", "kill"}) {
    exits.push_back({bad, "--on-parent-exit must be terminate or detach"});
  }
  expect_parses("on parent exit", parse_on_parent_exit, exits);
}

// ---------------------------------------------------------------------------
// The command line as a whole

Result<NormalizedCommand, CliParseError> parse(std::vector<std::string> words) {
  words.insert(words.begin(), "/usr/local/bin/vek-guard");
  return parse_command_line(words);
}

// The message of a parse that must stop, checking whether it is a display
// (help, version) or a refusal.
std::string stopped(std::vector<std::string> words, bool display) {
  const auto result = parse(std::move(words));
  if (result) return "<accepted>";
  EXPECT_EQ(result.error().display, display) << result.error().message;
  return result.error().message;
}
std::string refusal(std::vector<std::string> words) { return stopped(std::move(words), false); }
std::string display(std::vector<std::string> words) { return stopped(std::move(words), true); }

constexpr std::string_view kMoreInfo = "For more information, try '--help'.\n";
const std::string kObserveUsage =
    "Usage: vek-guard observe [OPTIONS] --report <PATH> -- <COMMAND>...\n";
const std::string kRunUsage =
    "Usage: vek-guard run [OPTIONS] --max-footprint <MAX_FOOTPRINT_BYTES> --report <PATH> -- "
    "<COMMAND>...\n";

std::string with_usage(const std::string& error, const std::string& usage) {
  return "error: " + error + "\n\n" + usage + "\n" + std::string(kMoreInfo);
}
std::string bare(const std::string& error) {
  return "error: " + error + "\n\n" + std::string(kMoreInfo);
}
std::string invalid_value(const std::string& value, const std::string& option,
                          const std::string& message) {
  return bare("invalid value '" + value + "' for '" + option + "': " + message);
}
std::string value_required(const std::string& option) {
  return bare("a value is required for '" + option + "' but none was supplied");
}

TEST(CommandLine, AcceptedLinesCarryEveryOptionAndTheLiteralCommand) {
  const auto observe = parse({"observe", "--report", "/r/report.json", "--", "prog", "--report",
                              "-x", "--", "--help"});
  ASSERT_TRUE(observe) << observe.error().message;
  EXPECT_FALSE(observe->is_run());
  EXPECT_EQ(observe->common,
            (NormalizedCommon{Duration::from_millis(50), "/r/report.json", std::nullopt, false,
                              {}, std::nullopt, OnParentExit::Terminate,
                              {"prog", "--report", "-x", "--", "--help"}}));

  const auto run =
      parse({"run", "--max-footprint", "512MiB", "--wall-time=720h", "--checkpoint-timeout", "1m",
             "--sample-interval", "10s", "--report", "out.json", "--cwd", "/tmp", "--clear-env",
             "--env", "B=2", "--env", "A=1=x", "--env", "C=", "--client-ready-fd", "+3",
             "--on-parent-exit", "detach", "--", "cmd", "arg"});
  ASSERT_TRUE(run) << run.error().message;
  ASSERT_TRUE(run->is_run());
  EXPECT_EQ(*run->run, (NormalizedRun{536'870'912, Duration::from_secs(2'592'000),
                                      Duration::from_secs(60)}));
  EXPECT_EQ(run->common,
            (NormalizedCommon{Duration::from_secs(10), "out.json", "/tmp", true,
                              {{"A", "1=x"}, {"B", "2"}, {"C", ""}}, 3, OnParentExit::Detach,
                              {"cmd", "arg"}}));

  const auto minimal = parse({"run", "--report", "r", "--max-footprint", "2B",
                              "--sample-interval", "10ms", "--", "x"});
  ASSERT_TRUE(minimal) << minimal.error().message;
  EXPECT_EQ(*minimal->run, (NormalizedRun{2, std::nullopt, std::nullopt}));
  EXPECT_EQ(minimal->common.sample_interval, Duration::from_millis(10));
  // The largest limit whose emergency band (L + L/10) still fits in 64 bits.
  EXPECT_TRUE(parse({"run", "--max-footprint", "16769767339735956014B", "--report", "r", "--",
                     "x"}));

  // Written into the option, a word that looks like an option is the value;
  // paths and command words are bytes, only option values must be UTF-8.
  const auto odd = parse({"observe", "--report=--odd\xFF", "--env", "-A=1", "--cwd", "\xFE", "--",
                          "\xFF", "\x80"});
  ASSERT_TRUE(odd) << odd.error().message;
  EXPECT_EQ(odd->common, (NormalizedCommon{Duration::from_millis(50), "--odd\xFF", "\xFE", false,
                                           {{"-A", "1"}}, std::nullopt, OnParentExit::Terminate,
                                           {"\xFF", "\x80"}}));
}

TEST(CommandLine, RefusalsCarryTheirExactMessages) {
  const std::string missing_command = with_usage(
      "the following required arguments were not provided:\n  <COMMAND>...", kObserveUsage);
  const std::string fp = "--max-footprint <MAX_FOOTPRINT_BYTES>";
  const std::vector<std::string> run = {"run", "--report", "r", "--max-footprint"};
  auto run_with = [&](std::vector<std::string> more) {
    std::vector<std::string> words = run;
    words.insert(words.end(), more.begin(), more.end());
    words.insert(words.end(), {"--", "x"});
    return words;
  };
  // Each command line and its message; "~..." is a part of the message.
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      // The command only after the separator.
      {{"observe", "--report", "r", "prog"},
       "error: unexpected argument 'prog' found\n\n  tip: to pass 'prog' as a value, use "
       "'-- prog'\n\n" + kObserveUsage + "\n" + std::string(kMoreInfo)},
      {{"observe", "--report", "r"}, missing_command},
      {{"observe", "--report", "r", "--"}, missing_command},
      {{"observe", "stray", "--report", "r", "--", "prog"}, "~unexpected argument 'stray' found"},
      {{"run"},
       with_usage("the following required arguments were not provided:\n"
                  "  --max-footprint <MAX_FOOTPRINT_BYTES>\n  --report <PATH>\n  <COMMAND>...",
                  kRunUsage)},
      // Neither the separator, nor an empty word, nor a long option is a value.
      {{"observe", "--report", "--", "x"}, value_required("--report <PATH>")},
      {{"observe", "--report", "", "--", "x"}, value_required("--report <PATH>")},
      {{"observe", "--report", "r", "--cwd", "--clear-env", "--", "x"},
       value_required("--cwd <CWD>")},
      {{"observe", "--report", "r", "--env", "A=\xFF", "--", "x"},
       with_usage("invalid UTF-8 was detected", kObserveUsage)},
      {{"run", "--max-footprint", "1\xC0" "B", "--report", "r", "--", "x"},
       "~invalid UTF-8 was detected"},
      // One occurrence of each option and flag.
      {{"observe", "--report", "a", "--report", "b", "--", "x"},
       with_usage("the argument '--report <PATH>' cannot be used multiple times", kObserveUsage)},
      {{"observe", "--clear-env", "--report", "a", "--clear-env", "--", "x"},
       "~the argument '--clear-env' cannot be used multiple times"},
      {{"observe", "--clear-env=yes", "--report", "a", "--", "x"},
       "~unexpected value 'yes' for '--clear-env' found"},
      // Unknown words where they appear.
      {{"frobnicate"}, with_usage("unrecognized subcommand 'frobnicate'",
                                  "Usage: vek-guard <COMMAND>\n")},
      {{"--report", "r"}, with_usage("unexpected argument '--report' found",
                                     "Usage: vek-guard <COMMAND>\n")},
      {{"run", "--version"}, "~unexpected argument '--version' found"},
      {{"observe", "--max-footprint", "1MiB", "--report", "r", "--", "x"},
       "~unexpected argument '--max-footprint' found"},
      {{"--", "run"}, "~'vek-guard' requires a subcommand"},
      {{"help", "nope"}, "~unrecognized subcommand 'nope'"},
      // Value parser messages arrive as invalid values.
      {run_with({"1KB"}), invalid_value("1KB", fp, kBytesInteger)},
      {run_with({"1MiB", "--wall-time", "43201m"}),
       invalid_value("43201m", "--wall-time <WALL_TIME>", "--wall-time must not exceed 30 days")},
      {run_with({"1MiB", "--checkpoint-timeout", "61s"}),
       invalid_value("61s", "--checkpoint-timeout <CHECKPOINT_TIMEOUT>",
                     "--checkpoint-timeout must be within 10ms..=60s")},
      {run_with({"1MiB", "--sample-interval", " 5s"}),
       invalid_value(" 5s", "--sample-interval <SAMPLE_INTERVAL>", kDurationInteger)},
      {run_with({"1MiB", "--client-ready-fd", "2"}),
       invalid_value("2", "--client-ready-fd <CLIENT_READY_FD>",
                     "client readiness descriptor must not replace standard I/O")},
      {run_with({"1MiB", "--on-parent-exit", "Detach"}),
       invalid_value("Detach", "--on-parent-exit <ON_PARENT_EXIT>",
                     "--on-parent-exit must be terminate or detach")},
      // Checks after parsing print their message as it is; the limit first.
      {run_with({"1B"}), "--max-footprint must be at least 2B"},
      {run_with({"16769767339735956015B"}),
       "--max-footprint is too large for the emergency policy band"},
      {{"run", "--max-footprint", "1B", "--sample-interval", "9ms", "--env", "x", "--report", "r",
        "--", "x"},
       "--max-footprint must be at least 2B"},
      {run_with({"2B", "--sample-interval", "9ms"}), "--sample-interval must be within 10ms..=10s"},
      {run_with({"2B", "--sample-interval", "10001ms"}),
       "--sample-interval must be within 10ms..=10s"},
  };
  for (const auto& [words, expected] : cases) {
    SCOPED_TRACE(::testing::PrintToString(words));
    const std::string message = refusal(words);
    if (expected.starts_with('~')) {
      EXPECT_NE(message.find(expected.substr(1)), std::string::npos) << message;
    } else {
      EXPECT_EQ(message, expected);
    }
  }
}

TEST(CommandLine, HelpAndVersionAreDisplayedOnRequest) {
  for (const char* word : {"--version", "-V"}) EXPECT_EQ(display({word}), "vek-guard 0.3.0\n");
  const std::string top = display({"--help"});
  EXPECT_EQ(top, RawCli::help("vek-guard"));
  for (const char* word : {"-h", "help"}) EXPECT_EQ(display({word}), top);
  EXPECT_EQ(top,
            "External runtime safety supervision for VEK commands\n\n"
            "Usage: vek-guard <COMMAND>\n\n"
            "Commands:\n"
            "  observe  Observe OS-accounted footprint without memory intervention\n"
            "  run      Enforce an explicit OS-accounted footprint limit\n"
            "  help     Print this message or the help of the given subcommand(s)\n\n"
            "Options:\n"
            "  -h, --help     Print help\n"
            "  -V, --version  Print version\n");
  // Help wins over everything after it, and over a missing command.
  EXPECT_EQ(display({"run", "--help", "--max-footprint", "1KB"}), display({"help", "run"}));

  // No arguments at all: the full help, as an error, named as invoked.
  const std::vector<std::string> alone = {"/opt/tools/vek-guard"};
  const auto result = parse_command_line(alone);
  ASSERT_FALSE(result);
  EXPECT_FALSE(result.error().display);
  EXPECT_EQ(result.error().message, RawCli::help("vek-guard"));
  const std::vector<std::string> renamed = {"./guard", "--help"};
  EXPECT_NE(parse_command_line(renamed).error().message.find("Usage: guard <COMMAND>\n"),
            std::string::npos);
}

TEST(CommandLine, SubcommandHelpListsEveryOptionWithRunLimitsFirst) {
  const std::string run = display({"run", "-h"});
  EXPECT_TRUE(run.starts_with("Enforce an explicit OS-accounted footprint limit\n\n" + kRunUsage))
      << run;
  const std::vector<std::string_view> in_order = {
      "<COMMAND>...", "Literal executable and arguments. The `--` separator is mandatory",
      "--max-footprint <MAX_FOOTPRINT_BYTES>", "Required sampled intervention threshold",
      "--wall-time <WALL_TIME>", "Optional wall-time intervention threshold, capped at 30 days",
      "--checkpoint-timeout <CHECKPOINT_TIMEOUT>",
      "Cooperative checkpoint acknowledgement timeout (10ms..=60s, default 1s)",
      "--sample-interval <SAMPLE_INTERVAL>",
      "Interval between sampling-loop starts (10ms..=10s) [default: 50ms]",
      "--report <PATH>", "Final JSON report path in an existing owner-only directory",
      "--cwd <CWD>", "Child working directory, validated before launch",
      "--clear-env", "Start the child with no inherited environment",
      "--env <KEY=VALUE>", "Set one UTF-8 child environment value; duplicate keys are invalid",
      "--client-ready-fd <CLIENT_READY_FD>",
      "Internal Python-client readiness descriptor. The invoking client transfers ownership",
      "--on-parent-exit <ON_PARENT_EXIT>",
      "What the supervisor does when its launching parent exits (terminate | detach) "
      "[default: terminate]",
      "-h, --help"};
  std::size_t at = 0;
  for (std::string_view piece : in_order) {
    const std::size_t found = run.find(piece, at);
    ASSERT_NE(found, std::string::npos) << piece << "\n" << run;
    at = found + piece.size();
  }
  const std::string observe = display({"help", "observe"});
  EXPECT_TRUE(observe.starts_with(
      "Observe OS-accounted footprint without memory intervention\n\n" + kObserveUsage));
  EXPECT_EQ(observe.find("--max-footprint"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Normalization

RawCommon raw_with_env(std::vector<std::string> env) {
  RawCommon raw;
  raw.sample_interval = Duration::from_millis(50);
  raw.report_path = "r";
  raw.env = std::move(env);
  raw.command = {"x"};
  return raw;
}

std::string normalize_error(const RawCommon& raw) {
  const auto result = normalize(raw);
  if (result) return "<accepted>";
  EXPECT_FALSE(result.error().display);
  return result.error().message;
}

TEST(Normalize, EnvEntriesAreCheckedInOrderAndDuplicatesQuoted) {
  // Splitting at the first '=': AcceptedLinesCarryEveryOptionAndTheLiteralCommand.
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"A=1", "novalue"}, "--env requires KEY=VALUE"},
      {{"=x"}, "--env key must not be empty"},
      {{"=x", "novalue"}, "--env key must not be empty"},  // the first error wins
      {{"A=1", "A=1"}, "duplicate --env key \"A\""},
      {{"a\"b\\c=1", "a\"b\\c=2"}, "duplicate --env key \"a\\\"b\\\\c\""},
      {{"k\te\x1b=1", "k\te\x1b=2"}, "duplicate --env key \"k\\te\\u{1b}\""}};
  for (const auto& [entries, message] : refused) {
    EXPECT_EQ(normalize_error(raw_with_env(entries)), message) << entries.front();
  }
  const std::vector<std::pair<std::string_view, std::string>> quoted = {
      {std::string_view("\t\r\n\0", 4), "\"\\t\\r\\n\\0\""},
      {"\x7f\xC2\x85", "\"\\u{7f}\\u{85}\""},
      {"caf\xC3\xA9 \xE2\x82\xAC 'q'", "\"caf\xC3\xA9 \xE2\x82\xAC 'q'\""},
      {"\xE2\x80\x8B\xE2\x80\xA8\xEF\xBB\xBF", "\"\\u{200b}\\u{2028}\\u{feff}\""},
      {"e\xCC\x81", "\"e\\u{301}\""},  // combining acute accent
      {"a\xFF", "\"a\\xff\""}};
  for (const auto& [text, expected] : quoted) EXPECT_EQ(quote_debug(text), expected);
}

}  // namespace
}  // namespace vek_guard::cli
