#include "vek_guard_cli/cli.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "vek_guard_cli/display_text.h"
#include "vek_guard_cli/option_values.h"

namespace vek_guard::cli {
namespace {

const std::string kUtf8(kInvalidUtf8Message);

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
std::string display(std::vector<std::string> words) { return stopped(std::move(words), true); }

const std::string kMoreInfo = "For more information, try '--help'.\n";
const std::string kObserveUsage =
    "Usage: vek-guard observe [OPTIONS] --report <PATH> -- <COMMAND>...\n";
const std::string kRunUsage =
    "Usage: vek-guard run [OPTIONS] --max-footprint <MAX_FOOTPRINT_BYTES> --report <PATH> -- "
    "<COMMAND>...\n";

TEST(CommandLine, AcceptedLinesCarryEveryOptionAndTheLiteralCommand) {
  const auto run = parse({"run",
                          "--max-footprint",
                          "512MiB",
                          "--wall-time=720h",
                          "--checkpoint-timeout",
                          "1m",
                          "--sample-interval",
                          "10s",
                          "--report",
                          "out.json",
                          "--cwd",
                          "/tmp",
                          "--clear-env",
                          "--env",
                          "B=2",
                          "--env",
                          "A=1=x",
                          "--env",
                          "C=",
                          "--client-ready-fd",
                          "+3",
                          "--on-parent-exit",
                          "detach",
                          "--",
                          "cmd",
                          "--report",
                          "--",
                          "\xFF"});
  ASSERT_TRUE(run) << run.error().message;
  ASSERT_TRUE(run->is_run());
  EXPECT_EQ(*run->run,
            (NormalizedRun{536'870'912, Duration::from_secs(2'592'000), Duration::from_secs(60)}));
  EXPECT_EQ(run->common, (NormalizedCommon{Duration::from_secs(10),
                                           "out.json",
                                           "/tmp",
                                           true,
                                           {{"A", "1=x"}, {"B", "2"}, {"C", ""}},
                                           3,
                                           OnParentExit::Detach,
                                           {"cmd", "--report", "--", "\xFF"}}));

  // Defaults; a word written into an option is its value, and paths are bytes.
  const auto observe = parse({"observe", "--report=--odd\xFF", "--", "prog"});
  ASSERT_TRUE(observe) << observe.error().message;
  EXPECT_FALSE(observe->is_run());
  EXPECT_EQ(observe->common, (NormalizedCommon{Duration::from_millis(50),
                                               "--odd\xFF",
                                               std::nullopt,
                                               false,
                                               {},
                                               std::nullopt,
                                               OnParentExit::Terminate,
                                               {"prog"}}));
  // The largest limit whose emergency band (L + L/10) still fits in 64 bits.
  EXPECT_TRUE(
      parse({"run", "--max-footprint", "16769767339735956014B", "--report", "r", "--", "x"}));
}

TEST(CommandLine, RefusalsCarryTheirExactMessages) {
  auto run_with = [](std::vector<std::string> more) {
    std::vector<std::string> words = {"run", "--report", "r", "--max-footprint"};
    words.insert(words.end(), more.begin(), more.end());
    words.insert(words.end(), {"--", "x"});
    return words;
  };
  auto framed = [](const std::string& error, const std::string& usage) {
    return "error: " + error + "\n\n" + usage + (usage.empty() ? "" : "\n") + kMoreInfo;
  };
  const std::string sample_range = "--sample-interval must be within 10ms..=10s";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"observe", "--report", "r", "prog"},
       framed("unexpected argument 'prog' found\n\n  tip: to pass 'prog' as a value, use "
              "'-- prog'",
              kObserveUsage)},
      {{"observe", "--report", "r", "--"},
       framed("the following required arguments were not provided:\n  <COMMAND>...",
              kObserveUsage)},
      {{"observe", "--report", "--", "x"},
       framed("a value is required for '--report <PATH>' but none was supplied", "")},
      {{"observe", "--report", "r", "--env", "A=\xFF", "--", "x"}, framed(kUtf8, kObserveUsage)},
      {{"observe", "--clear-env", "--report", "a", "--clear-env", "--", "x"},
       framed("the argument '--clear-env' cannot be used multiple times", kObserveUsage)},
      {{"observe", "--max-footprint", "1MiB", "--report", "r", "--", "x"},
       framed("unexpected argument '--max-footprint' found\n\n  tip: to pass '--max-footprint' "
              "as a value, use '-- --max-footprint'",
              kObserveUsage)},
      {run_with({"1MiB", "--checkpoint-timeout", "61s"}),
       framed("invalid value '61s' for '--checkpoint-timeout <CHECKPOINT_TIMEOUT>': "
              "--checkpoint-timeout must be within 10ms..=60s",
              "")},
      // Checks after parsing print their message as it is; the limit first.
      {run_with({"1B", "--sample-interval", "9ms"}), "--max-footprint must be at least 2B"},
      {run_with({"16769767339735956015B"}),
       "--max-footprint is too large for the emergency policy band"},
      {run_with({"2B", "--sample-interval", "9ms"}), sample_range},
      {run_with({"2B", "--sample-interval", "10001ms"}), sample_range},
  };
  for (const auto& [words, expected] : cases) {
    EXPECT_EQ(stopped(words, false), expected) << ::testing::PrintToString(words);
  }
}

TEST(CommandLine, HelpAndVersionAreDisplayedOnRequest) {
  EXPECT_EQ(display({"-V"}), "vek-guard 0.3.0\n");
  const std::string top = display({"--help"});
  EXPECT_EQ(display({"help"}), top);
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
  // Help wins over whatever follows it.
  EXPECT_EQ(display({"run", "--help", "--max-footprint", "1KB"}), display({"help", "run"}));
  // No arguments at all: the full help, as an error.
  EXPECT_EQ(stopped({}, false), top);

  const std::string run = display({"run", "-h"});
  EXPECT_TRUE(run.starts_with("Enforce an explicit OS-accounted footprint limit\n\n" + kRunUsage))
      << run;
  EXPECT_EQ(display({"help", "observe"}).find("--max-footprint"), std::string::npos);
}

TEST(Normalize, EnvEntriesAreCheckedInOrderAndDuplicatesQuoted) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"A=1", "novalue"}, "--env requires KEY=VALUE"},
      {{"=x", "novalue"}, "--env key must not be empty"},  // the first error wins
      {{"k\"\\\te\x1b=1", "k\"\\\te\x1b=2"}, "duplicate --env key \"k\\\"\\\\\\te\\u{1b}\""}};
  for (const auto& [entries, message] : refused) {
    RawCommon raw;
    raw.sample_interval = Duration::from_millis(50);
    raw.report_path = "r";
    raw.env = entries;
    raw.command = {"x"};
    const auto result = normalize(raw);
    ASSERT_FALSE(result) << entries.front();
    EXPECT_EQ(result.error().message, message);
    EXPECT_FALSE(result.error().display);
  }
  const std::vector<std::pair<std::string_view, std::string>> quoted = {
      {std::string_view("caf\xC3\xA9\n\0", 7), "\"caf\xC3\xA9\\n\\0\""},
      {"\xE2\x80\xA8"
       "e\xCC\x81",
       "\"\\u{2028}e\\u{301}\""},
      {"a\xFF", "\"a\\xff\""}};
  for (const auto& [text, expected] : quoted) EXPECT_EQ(quote_debug(text), expected);
}

}  // namespace
}  // namespace vek_guard::cli
