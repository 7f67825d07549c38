#include "vek_guard_cli/entry.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

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
      {Tag::ChildExited, 3, 3},
      {Tag::ChildExited, 255, 255},
      {Tag::ChildSignaled, 9, 137},
      // 128 + signal wraps modulo 256 for numbers from 128 up.
      {Tag::ChildSignaled, 128, 0},
      {Tag::ChildSignaled, 255, 127},
      {Tag::LaunchNotFound, 9, 127},
      {Tag::LaunchNotExecutable, 0, 126},
      {Tag::InvalidConfiguration, 0, 64},
      {Tag::PolicyIntervention, 1, 75},
      {Tag::SupervisorFailure, 0, 70},
      {Tag::PartialArtifactFailure, 0, 74}};
  for (const auto& [kind, code, status] : cases) {
    EXPECT_EQ(exit_status(outcome_of(kind, code)), status) << int(kind) << " " << int{code};
  }
}

// A write end for a stream: a pipe read back by text(), a pipe whose reader
// is gone (EPIPE), or /dev/full (ENOSPC).
enum class Sink { kPipe, kClosedPipe, kFull };
struct Capture {
  UniqueFd read, write;
  explicit Capture(Sink sink = Sink::kPipe) {
    int fds[2] = {-1, -1};
    if (sink == Sink::kFull)
      fds[1] = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    else
      EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read.reset(fds[0]);
    if (sink == Sink::kClosedPipe) read.reset();
    write.reset(fds[1]);
  }
  std::string text() {
    write.reset();
    std::string all;
    char buffer[4096];
    for (ssize_t got; read.valid() && (got = ::read(read.get(), buffer, sizeof buffer)) > 0;) {
      all.append(buffer, static_cast<std::size_t>(got));
    }
    return all;
  }
};

// A closed standard stream must not stop the other; any other write error
// ends with 101 and the failure named.
TEST(WriteSummary, SurvivesBrokenStreams) {
  struct Case {
    Sink out, err;
    int status;
    std::string out_text, err_text;
  };
  const std::vector<Case> cases = {{Sink::kClosedPipe, Sink::kPipe, 75, "", "vek-guard: note\n"},
                                   {Sink::kPipe, Sink::kClosedPipe, 75, "summary\n", ""},
                                   {Sink::kFull, Sink::kPipe, 101, "",
                                    "vek-guard: summary write failed: No space left on device\n"},
                                   {Sink::kPipe, Sink::kFull, 101, "summary\n", ""}};
  // As the program's main does, EPIPE instead of death by SIGPIPE.
  const sighandler_t previous = ::signal(SIGPIPE, SIG_IGN);
  for (const Case& row : cases) {
    Capture out(row.out), err(row.err);
    EXPECT_EQ(write_summary(outcome_of(Tag::PolicyIntervention), out.write.get(), err.write.get()),
              row.status);
    EXPECT_EQ(out.text(), row.out_text);
    EXPECT_EQ(err.text(), row.err_text);
  }
  ::signal(SIGPIPE, previous);
}

// Help and version go to standard output with status 0, refusals to standard
// error with 64; neither reaches the executor. A valid command does, and its
// outcome decides the status and both texts.
TEST(ProgramMain, PrintsParserMessagesAndExecutesOnlyValidCommands) {
  const std::vector<std::vector<std::string>> cases = {
      {"-V"},
      {},
      {"run", "--max-footprint", "1B", "--report", "r", "--", "x"},
      {"run", "--max-footprint", "1GiB", "--report", "r.json", "--", "sleep", "1"}};
  for (std::vector<std::string> words : cases) {
    words.insert(words.begin(), "vek-guard");
    SCOPED_TRACE(::testing::PrintToString(words));
    const auto parsed = parse_command_line(words);
    std::optional<NormalizedCommand> executed;
    Capture out, err;
    // Once, before any output, and after the command has run.
    std::vector<bool> executed_before_output;
    const int status = program_main(
        words,
        [&](const NormalizedCommand& command) {
          executed = command;
          return outcome_of(Tag::ChildSignaled, 9);
        },
        out.write.get(), err.write.get(),
        [&] {
          executed_before_output.push_back(executed.has_value());
          for (const Capture* stream : {&out, &err}) {
            int pending = -1;
            EXPECT_EQ(::ioctl(stream->read.get(), FIONREAD, &pending), 0);
            EXPECT_EQ(pending, 0);
          }
        });
    EXPECT_EQ(executed_before_output, std::vector<bool>{parsed.ok()});
    if (parsed) {
      EXPECT_EQ(executed, *parsed);
      EXPECT_EQ(status, 137);
      EXPECT_EQ(out.text() + err.text(), "summary\nvek-guard: note\n");
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
