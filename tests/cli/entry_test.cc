#include "vek_guard_cli/entry.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "vek_guard/unique_fd.h"
#include "vek_guard_cli/outcome.h"

namespace vek_guard::cli {
namespace {

using Tag = TerminalKind::Tag;

ExecutionOutcome outcome_of(Tag kind, uint8_t code = 0) {
  return ExecutionOutcome{"summary\n", "vek-guard: note\n", kind, code};
}

TEST(ExitStatus, FollowsTheOutcomeKind) {
  const std::vector<std::tuple<Tag, uint8_t, int>> cases = {
      {Tag::ChildExited, 0, 0}, {Tag::ChildExited, 3, 3}, {Tag::ChildExited, 255, 255},
      {Tag::ChildSignaled, 9, 137}, {Tag::ChildSignaled, 15, 143},
      // 128 + signal wraps modulo 256 for numbers from 128 up.
      {Tag::ChildSignaled, 128, 0}, {Tag::ChildSignaled, 255, 127},
      {Tag::LaunchNotFound, 9, 127}, {Tag::LaunchNotExecutable, 0, 126},
      {Tag::InvalidConfiguration, 0, 64}, {Tag::PolicyIntervention, 1, 75},
      {Tag::SupervisorFailure, 0, 70}, {Tag::PartialArtifactFailure, 0, 74}};
  for (const auto& [kind, code, status] : cases) {
    EXPECT_EQ(exit_status(outcome_of(kind, code)), status)
        << static_cast<int>(kind) << " code " << int{code};
  }
}

// Where a written text goes: a pipe read back afterwards, a pipe whose reader
// is gone (EPIPE), or /dev/full (ENOSPC).
enum class Sink { kPipe, kClosedPipe, kFull };

class Capture {
 public:
  explicit Capture(Sink sink = Sink::kPipe) {
    if (sink == Sink::kFull) {
      write_.reset(::open("/dev/full", O_WRONLY | O_CLOEXEC));
      EXPECT_TRUE(write_.valid());
      return;
    }
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    if (sink == Sink::kPipe) read_.reset(fds[0]); else ::close(fds[0]);
    write_.reset(fds[1]);
  }
  int fd() const { return write_.get(); }

  // What was written; "" for the sinks that cannot be read.
  std::string text() {
    write_.reset();
    std::string all;
    char buffer[4096];
    while (read_.valid()) {
      const ssize_t got = ::read(read_.get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      all.append(buffer, static_cast<std::size_t>(got));
    }
    return all;
  }

 private:
  UniqueFd read_;
  UniqueFd write_;
};

// A closed standard stream must not stop the other; any other write error
// ends with 101 and the failure named, instead of the outcome's own text.
TEST(WriteSummary, WritesBothTextsAndSurvivesBrokenStreams) {
  struct Case {
    const char* what;
    Sink out, err;
    ExecutionOutcome outcome;
    int status;
    std::string out_text, err_text;
  };
  const std::vector<Case> cases = {
      {"both pipes", Sink::kPipe, Sink::kPipe, outcome_of(Tag::PolicyIntervention), 75,
       "summary\n", "vek-guard: note\n"},
      {"empty texts", Sink::kPipe, Sink::kPipe, ExecutionOutcome{"", "", Tag::ChildExited, 0}, 0,
       "", ""},
      {"stdout closed", Sink::kClosedPipe, Sink::kPipe, outcome_of(Tag::ChildExited, 3), 3, "",
       "vek-guard: note\n"},
      {"stderr closed", Sink::kPipe, Sink::kClosedPipe, outcome_of(Tag::ChildSignaled, 9), 137,
       "summary\n", ""},
      {"stdout full", Sink::kFull, Sink::kPipe, outcome_of(Tag::ChildExited), 101, "",
       "vek-guard: summary write failed: No space left on device\n"},
      {"stderr full", Sink::kPipe, Sink::kFull, outcome_of(Tag::ChildExited), 101, "summary\n",
       ""}};
  // As the program's main does, EPIPE instead of death by SIGPIPE.
  const sighandler_t previous = ::signal(SIGPIPE, SIG_IGN);
  for (const Case& row : cases) {
    SCOPED_TRACE(row.what);
    Capture out(row.out);
    Capture err(row.err);
    EXPECT_EQ(write_summary(row.outcome, out.fd(), err.fd()), row.status);
    EXPECT_EQ(out.text(), row.out_text);
    EXPECT_EQ(err.text(), row.err_text);
  }
  ::signal(SIGPIPE, previous);
}

// Help and version go to standard output with status 0; refusals (the
// entry's own messages without a line feed) to standard error with 64.
// Neither reaches the executor; a valid command does, and its outcome counts.
TEST(ProgramMain, PrintsParserMessagesAndExecutesOnlyValidCommands) {
  const std::vector<std::vector<std::string>> cases = {
      {"--help"}, {"-V"}, {}, {"observe", "--report", "r", "prog"},
      {"run", "--max-footprint", "1B", "--report", "r", "--", "x"},
      {"observe", "--env", "=x", "--report", "r", "--", "x"},
      {"run", "--max-footprint", "1GiB", "--report", "r.json", "--", "sleep", "1"}};
  for (std::vector<std::string> words : cases) {
    words.insert(words.begin(), "vek-guard");
    SCOPED_TRACE(::testing::PrintToString(words));
    const auto parsed = parse_command_line(words);
    std::optional<NormalizedCommand> executed;
    Capture out;
    Capture err;
    const int status = program_main(
        words,
        [&](const NormalizedCommand& command) {
          executed = command;
          return outcome_of(Tag::ChildSignaled, 9);
        },
        out.fd(), err.fd());
    if (parsed) {
      EXPECT_EQ(executed, *parsed);
      EXPECT_EQ(status, 137);
      EXPECT_EQ(out.text(), "summary\n");
      EXPECT_EQ(err.text(), "vek-guard: note\n");
      continue;
    }
    const bool display = parsed.error().display;
    EXPECT_EQ(status, display ? 0 : 64);
    EXPECT_EQ(out.text(), display ? parsed.error().message : "");
    EXPECT_EQ(err.text(), display ? "" : parsed.error().message);
    EXPECT_FALSE(executed);
  }

  // Arguments are bytes, not necessarily UTF-8.
  const char* argv[] = {"vek-guard", "observe", "\xFF", nullptr};
  EXPECT_EQ(collect_args(3, argv), (std::vector<std::string>{"vek-guard", "observe", "\xFF"}));
}

}  // namespace
}  // namespace vek_guard::cli
