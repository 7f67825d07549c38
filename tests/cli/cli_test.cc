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

// ---------------------------------------------------------------------------
// The command line as a whole
// ---------------------------------------------------------------------------

Result<NormalizedCommand, CliParseError> parse(std::vector<std::string> words) {
  words.insert(words.begin(), "/usr/local/bin/vek-guard");
  return parse_command_line(words);
}

// The error text of a command line that must be refused (display false).
std::string refusal(std::vector<std::string> words) {
  const auto result = parse(std::move(words));
  if (result) return "<accepted>";
  EXPECT_FALSE(result.error().display) << result.error().message;
  return result.error().message;
}

// The text a user asked for (help or version; display true).
std::string display(std::vector<std::string> words) {
  const auto result = parse(std::move(words));
  if (result) return "<accepted>";
  EXPECT_TRUE(result.error().display) << result.error().message;
  return result.error().message;
}

std::string invalid_value(std::string_view value, std::string_view option,
                          std::string_view message) {
  return "error: invalid value '" + std::string(value) + "' for '" + std::string(option) +
         "': " + std::string(message) + "\n\nFor more information, try '--help'.\n";
}

constexpr std::string_view kObserveUsage =
    "Usage: vek-guard observe [OPTIONS] --report <PATH> -- <COMMAND>...\n";
constexpr std::string_view kRunUsage =
    "Usage: vek-guard run [OPTIONS] --max-footprint <MAX_FOOTPRINT_BYTES> --report <PATH> -- "
    "<COMMAND>...\n";

TEST(CommandLine, ObserveTakesDefaultsAndEverythingAfterTheSeparatorLiterally) {
  const auto parsed = parse({"observe", "--report", "/r/report.json", "--", "prog", "--report",
                             "-x", "--", "--help"});
  ASSERT_TRUE(parsed) << parsed.error().message;
  EXPECT_FALSE(parsed->is_run());
  const NormalizedCommon& common = parsed->common;
  EXPECT_EQ(common.sample_interval, Duration::from_millis(50));
  EXPECT_EQ(common.report_path, "/r/report.json");
  EXPECT_EQ(common.cwd, std::nullopt);
  EXPECT_FALSE(common.clear_env);
  EXPECT_TRUE(common.env.empty());
  EXPECT_EQ(common.client_ready_fd, std::nullopt);
  EXPECT_EQ(common.on_parent_exit, OnParentExit::Terminate);
  EXPECT_EQ(common.command,
            (std::vector<std::string>{"prog", "--report", "-x", "--", "--help"}));
}

TEST(CommandLine, RunCarriesEveryOption) {
  const auto parsed =
      parse({"run", "--max-footprint", "512MiB", "--wall-time=720h", "--checkpoint-timeout", "1m",
             "--sample-interval", "10s", "--report", "out.json", "--cwd", "/tmp", "--clear-env",
             "--env", "B=2", "--env", "A=1=x", "--env", "C=", "--client-ready-fd", "+3",
             "--on-parent-exit", "detach", "--", "cmd", "arg"});
  ASSERT_TRUE(parsed) << parsed.error().message;
  ASSERT_TRUE(parsed->is_run());
  EXPECT_EQ(*parsed->run, (NormalizedRun{536'870'912, Duration::from_secs(2'592'000),
                                         Duration::from_secs(60)}));
  const NormalizedCommon& common = parsed->common;
  EXPECT_EQ(common.sample_interval, Duration::from_secs(10));
  EXPECT_EQ(common.report_path, "out.json");
  EXPECT_EQ(common.cwd, "/tmp");
  EXPECT_TRUE(common.clear_env);
  EXPECT_EQ(common.env, (std::map<std::string, std::string>{{"A", "1=x"}, {"B", "2"}, {"C", ""}}));
  EXPECT_EQ(common.client_ready_fd, 3);
  EXPECT_EQ(common.on_parent_exit, OnParentExit::Detach);
  EXPECT_EQ(common.command, (std::vector<std::string>{"cmd", "arg"}));

  const auto minimal = parse({"run", "--report", "r", "--max-footprint", "2B", "--", "x"});
  ASSERT_TRUE(minimal) << minimal.error().message;
  EXPECT_EQ(*minimal->run, (NormalizedRun{2, std::nullopt, std::nullopt}));
}

TEST(CommandLine, TheCommandIsAcceptedOnlyAfterTheSeparator) {
  EXPECT_EQ(refusal({"observe", "--report", "r", "prog"}),
            "error: unexpected argument 'prog' found\n\n"
            "  tip: to pass 'prog' as a value, use '-- prog'\n\n" +
                std::string(kObserveUsage) + "\nFor more information, try '--help'.\n");
  const std::string missing_command =
      "error: the following required arguments were not provided:\n  <COMMAND>...\n\n" +
      std::string(kObserveUsage) + "\nFor more information, try '--help'.\n";
  EXPECT_EQ(refusal({"observe", "--report", "r"}), missing_command);
  EXPECT_EQ(refusal({"observe", "--report", "r", "--"}), missing_command);
  // A stray word is refused even when a command follows the separator.
  EXPECT_NE(refusal({"observe", "stray", "--report", "r", "--", "prog"})
                .find("unexpected argument 'stray' found"),
            std::string::npos);
}

TEST(CommandLine, MissingRequiredArgumentsAreAllNamed) {
  EXPECT_EQ(refusal({"run"}),
            "error: the following required arguments were not provided:\n"
            "  --max-footprint <MAX_FOOTPRINT_BYTES>\n  --report <PATH>\n  <COMMAND>...\n\n" +
                std::string(kRunUsage) + "\nFor more information, try '--help'.\n");
  // The separator is never an option's value.
  EXPECT_EQ(refusal({"observe", "--report", "--", "x"}),
            "error: a value is required for '--report <PATH>' but none was supplied\n\n"
            "For more information, try '--help'.\n");
  EXPECT_EQ(refusal({"observe", "--report", "", "--", "x"}),
            "error: a value is required for '--report <PATH>' but none was supplied\n\n"
            "For more information, try '--help'.\n");
  // A long option where a value belongs is a forgotten value, but written
  // into the option it is the value.
  EXPECT_EQ(refusal({"observe", "--report", "r", "--cwd", "--clear-env", "--", "x"}),
            "error: a value is required for '--cwd <CWD>' but none was supplied\n\n"
            "For more information, try '--help'.\n");
  const auto inline_value = parse({"observe", "--report=--odd", "--env", "-A=1", "--", "x"});
  ASSERT_TRUE(inline_value) << inline_value.error().message;
  EXPECT_EQ(inline_value->common.report_path, "--odd");
  EXPECT_EQ(inline_value->common.env.at("-A"), "1");
}

TEST(CommandLine, OptionValuesMustBeUtf8ButPathsAndCommandWordsNeedNot) {
  EXPECT_EQ(refusal({"observe", "--report", "r", "--env", "A=\xFF", "--", "x"}),
            "error: invalid UTF-8 was detected\n\n" + std::string(kObserveUsage) +
                "\nFor more information, try '--help'.\n");
  EXPECT_NE(refusal({"run", "--max-footprint", "1\xC0" "B", "--report", "r", "--", "x"})
                .find("invalid UTF-8 was detected"),
            std::string::npos);
  const auto parsed = parse({"observe", "--report", "r\xFF", "--cwd", "\xFE", "--", "\xFF", "\x80"});
  ASSERT_TRUE(parsed) << parsed.error().message;
  EXPECT_EQ(parsed->common.report_path, "r\xFF");
  EXPECT_EQ(parsed->common.cwd, "\xFE");
  EXPECT_EQ(parsed->common.command, (std::vector<std::string>{"\xFF", "\x80"}));
}

TEST(CommandLine, ValueParserMessagesArriveAsInvalidValueErrors) {
  const std::vector<std::string> run = {"run", "--report", "r", "--max-footprint"};
  auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> words = run;
    words.insert(words.end(), more.begin(), more.end());
    words.insert(words.end(), {"--", "x"});
    return refusal(words);
  };
  EXPECT_EQ(with({"1KB"}), invalid_value("1KB", "--max-footprint <MAX_FOOTPRINT_BYTES>",
                                         "byte quantity must be a positive integer"));
  EXPECT_EQ(with({"16777216TiB"}), invalid_value("16777216TiB",
                                                 "--max-footprint <MAX_FOOTPRINT_BYTES>",
                                                 "byte quantity overflows u64"));
  EXPECT_EQ(with({"1MiB", "--wall-time", "43201m"}),
            invalid_value("43201m", "--wall-time <WALL_TIME>", "--wall-time must not exceed 30 days"));
  for (const std::string timeout : {"9ms", "61s"}) {
    EXPECT_EQ(with({"1MiB", "--checkpoint-timeout", timeout}),
              invalid_value(timeout, "--checkpoint-timeout <CHECKPOINT_TIMEOUT>",
                            "--checkpoint-timeout must be within 10ms..=60s"));
  }
  EXPECT_EQ(with({"1MiB", "--sample-interval", " 5s"}),
            invalid_value(" 5s", "--sample-interval <SAMPLE_INTERVAL>",
                          "duration must be a positive integer"));
  for (const std::string fd : {"2", "-1"}) {
    EXPECT_EQ(with({"1MiB", "--client-ready-fd", fd}),
              invalid_value(fd, "--client-ready-fd <CLIENT_READY_FD>",
                            "client readiness descriptor must not replace standard I/O"));
  }
  EXPECT_EQ(with({"1MiB", "--client-ready-fd", "3000000000"}),
            invalid_value("3000000000", "--client-ready-fd <CLIENT_READY_FD>",
                          "client readiness descriptor must be an integer"));
  EXPECT_EQ(with({"1MiB", "--on-parent-exit", "Detach"}),
            invalid_value("Detach", "--on-parent-exit <ON_PARENT_EXIT>",
                          "--on-parent-exit must be terminate or detach"));
}

TEST(CommandLine, SingleValuedOptionsAndFlagsTakeOneOccurrence) {
  EXPECT_EQ(refusal({"observe", "--report", "a", "--report", "b", "--", "x"}),
            "error: the argument '--report <PATH>' cannot be used multiple times\n\n" +
                std::string(kObserveUsage) + "\nFor more information, try '--help'.\n");
  EXPECT_NE(refusal({"observe", "--clear-env", "--report", "a", "--clear-env", "--", "x"})
                .find("the argument '--clear-env' cannot be used multiple times"),
            std::string::npos);
  EXPECT_NE(refusal({"observe", "--clear-env=yes", "--report", "a", "--", "x"})
                .find("unexpected value 'yes' for '--clear-env' found"),
            std::string::npos);
}

TEST(CommandLine, UnknownWordsAreRefusedWhereTheyAppear) {
  EXPECT_EQ(refusal({"frobnicate"}),
            "error: unrecognized subcommand 'frobnicate'\n\nUsage: vek-guard <COMMAND>\n\n"
            "For more information, try '--help'.\n");
  EXPECT_EQ(refusal({"--report", "r"}),
            "error: unexpected argument '--report' found\n\nUsage: vek-guard <COMMAND>\n\n"
            "For more information, try '--help'.\n");
  EXPECT_NE(refusal({"run", "--version"}).find("unexpected argument '--version' found"),
            std::string::npos);
  EXPECT_NE(refusal({"observe", "--max-footprint", "1MiB", "--report", "r", "--", "x"})
                .find("unexpected argument '--max-footprint' found"),
            std::string::npos);
  EXPECT_NE(refusal({"--", "run"}).find("'vek-guard' requires a subcommand"), std::string::npos);
}

TEST(CommandLine, HelpAndVersionAreDisplayedOnRequest) {
  EXPECT_EQ(display({"--version"}), "vek-guard 0.3.0\n");
  EXPECT_EQ(display({"-V"}), "vek-guard 0.3.0\n");
  const std::string top = display({"--help"});
  EXPECT_EQ(top, RawCli::help("vek-guard"));
  EXPECT_EQ(display({"-h"}), top);
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
  // Help wins over everything after it, and over a missing command.
  EXPECT_EQ(display({"run", "--help", "--max-footprint", "1KB"}), display({"help", "run"}));
  EXPECT_NE(refusal({"help", "nope"}).find("unrecognized subcommand 'nope'"), std::string::npos);
}

TEST(CommandLine, SubcommandHelpListsEveryOptionWithRunLimitsFirst) {
  const std::string run = display({"run", "-h"});
  EXPECT_TRUE(run.starts_with("Enforce an explicit OS-accounted footprint limit\n\n" +
                              std::string(kRunUsage)))
      << run;
  const std::vector<std::string_view> in_order = {
      "<COMMAND>...",
      "Literal executable and arguments. The `--` separator is mandatory",
      "--max-footprint <MAX_FOOTPRINT_BYTES>",
      "Required sampled intervention threshold",
      "--wall-time <WALL_TIME>",
      "Optional wall-time intervention threshold, capped at 30 days",
      "--checkpoint-timeout <CHECKPOINT_TIMEOUT>",
      "Cooperative checkpoint acknowledgement timeout (10ms..=60s, default 1s)",
      "--sample-interval <SAMPLE_INTERVAL>",
      "Interval between sampling-loop starts (10ms..=10s) [default: 50ms]",
      "--report <PATH>",
      "Final JSON report path in an existing owner-only directory",
      "--cwd <CWD>",
      "Child working directory, validated before launch",
      "--clear-env",
      "Start the child with no inherited environment",
      "--env <KEY=VALUE>",
      "Set one UTF-8 child environment value; duplicate keys are invalid",
      "--client-ready-fd <CLIENT_READY_FD>",
      "Internal Python-client readiness descriptor. The invoking client transfers ownership",
      "--on-parent-exit <ON_PARENT_EXIT>",
      "What the supervisor does when its launching parent exits (terminate | detach) "
      "[default: terminate]",
      "-h, --help",
  };
  std::size_t at = 0;
  for (std::string_view piece : in_order) {
    const std::size_t found = run.find(piece, at);
    ASSERT_NE(found, std::string::npos) << piece << "\n" << run;
    at = found + piece.size();
  }
  const std::string observe = display({"help", "observe"});
  EXPECT_TRUE(observe.starts_with(
      "Observe OS-accounted footprint without memory intervention\n\n" +
      std::string(kObserveUsage)));
  EXPECT_EQ(observe.find("--max-footprint"), std::string::npos);
}

TEST(CommandLine, NoArgumentsGiveTheFullHelpAsAnError) {
  const std::vector<std::string> alone = {"/opt/tools/vek-guard"};
  const auto result = parse_command_line(alone);
  ASSERT_FALSE(result);
  EXPECT_FALSE(result.error().display);
  EXPECT_EQ(result.error().message, RawCli::help("vek-guard"));
  // The usage line names the program as it was invoked.
  const std::vector<std::string> renamed = {"./guard", "--help"};
  EXPECT_NE(parse_command_line(renamed).error().message.find("Usage: guard <COMMAND>\n"),
            std::string::npos);
}

// ---------------------------------------------------------------------------
// Checks after parsing
// ---------------------------------------------------------------------------

TEST(RunChecks, TheLimitMustLeaveRoomForTheEmergencyBand) {
  EXPECT_EQ(check_max_footprint(0).error().message, "--max-footprint must be at least 2B");
  EXPECT_EQ(check_max_footprint(1).error().message, "--max-footprint must be at least 2B");
  EXPECT_TRUE(check_max_footprint(2).ok());
  EXPECT_TRUE(check_max_footprint(9).ok());
  // The largest L with L + L / 10 in 64 bits, and one byte more.
  constexpr uint64_t kLargest = 16'769'767'339'735'956'014u;
  EXPECT_TRUE(check_max_footprint(kLargest).ok());
  EXPECT_EQ(check_max_footprint(kLargest + 1).error().message,
            "--max-footprint is too large for the emergency policy band");
  EXPECT_EQ(check_max_footprint(UINT64_MAX).error().message,
            "--max-footprint is too large for the emergency policy band");

  EXPECT_EQ(refusal({"run", "--max-footprint", "1B", "--report", "r", "--", "x"}),
            "--max-footprint must be at least 2B");
  EXPECT_TRUE(parse({"run", "--max-footprint", "16769767339735956014B", "--report", "r", "--", "x"}));
  EXPECT_EQ(refusal({"run", "--max-footprint", "16769767339735956015B", "--report", "r", "--", "x"}),
            "--max-footprint is too large for the emergency policy band");
}

TEST(RunChecks, TheLimitIsReportedBeforeABadInterval) {
  EXPECT_EQ(refusal({"run", "--max-footprint", "1B", "--sample-interval", "9ms", "--env", "x",
                     "--report", "r", "--", "x"}),
            "--max-footprint must be at least 2B");
  EXPECT_EQ(refusal({"run", "--max-footprint", "2B", "--sample-interval", "9ms", "--report", "r",
                     "--", "x"}),
            "--sample-interval must be within 10ms..=10s");
}

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

TEST(Normalize, SampleIntervalIsTenMillisecondsToTenSeconds) {
  RawCommon raw = raw_with_env({});
  for (const Duration accepted : {Duration::from_millis(10), Duration::from_secs(10)}) {
    raw.sample_interval = accepted;
    EXPECT_EQ(normalize(raw)->sample_interval, accepted);
  }
  for (const Duration refused : {Duration::from_millis(9), Duration::from_secs(11),
                                 Duration::from_millis(10'001)}) {
    raw.sample_interval = refused;
    EXPECT_EQ(normalize_error(raw), "--sample-interval must be within 10ms..=10s");
  }
}

TEST(Normalize, EnvEntriesSplitAtTheFirstEqualsSign) {
  const auto env = normalize(raw_with_env({"PATH=/bin", "A=", "B=b=c", "\xC3\xA9=1"}))->env;
  EXPECT_EQ(env, (std::map<std::string, std::string>{
                     {"A", ""}, {"B", "b=c"}, {"PATH", "/bin"}, {"\xC3\xA9", "1"}}));
  EXPECT_EQ(normalize_error(raw_with_env({"A=1", "novalue"})), "--env requires KEY=VALUE");
  EXPECT_EQ(normalize_error(raw_with_env({"=x"})), "--env key must not be empty");
  EXPECT_EQ(normalize_error(raw_with_env({"A=1", "A=1"})), "duplicate --env key \"A\"");
  // The first error in command-line order wins.
  EXPECT_EQ(normalize_error(raw_with_env({"=x", "novalue"})), "--env key must not be empty");
}

TEST(Normalize, DuplicateKeysAreQuotedWithEscapes) {
  EXPECT_EQ(normalize_error(raw_with_env({"a\"b\\c=1", "a\"b\\c=2"})),
            "duplicate --env key \"a\\\"b\\\\c\"");
  EXPECT_EQ(normalize_error(raw_with_env({"k\te\x1b=1", "k\te\x1b=2"})),
            "duplicate --env key \"k\\te\\u{1b}\"");
  EXPECT_EQ(quote_debug(std::string_view("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
  EXPECT_EQ(quote_debug("\x7f\xC2\x85"), "\"\\u{7f}\\u{85}\"");
  EXPECT_EQ(quote_debug("caf\xC3\xA9 \xE2\x82\xAC 'q'"), "\"caf\xC3\xA9 \xE2\x82\xAC 'q'\"");
  EXPECT_EQ(quote_debug("\xE2\x80\x8B\xE2\x80\xA8\xEF\xBB\xBF"), "\"\\u{200b}\\u{2028}\\u{feff}\"");
  EXPECT_EQ(quote_debug("e\xCC\x81"), "\"e\\u{301}\"");  // combining acute accent
  EXPECT_EQ(quote_debug("a\xFF"), "\"a\\xff\"");
}

}  // namespace
}  // namespace vek_guard::cli
