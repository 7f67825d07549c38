#include "vek_guard_cli/entry.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
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
  EXPECT_EQ(exit_status(outcome_of(Tag::ChildExited, 0)), 0);
  EXPECT_EQ(exit_status(outcome_of(Tag::ChildExited, 3)), 3);
  EXPECT_EQ(exit_status(outcome_of(Tag::ChildExited, 255)), 255);
  EXPECT_EQ(exit_status(outcome_of(Tag::ChildSignaled, 9)), 137);
  EXPECT_EQ(exit_status(outcome_of(Tag::ChildSignaled, 15)), 143);
  // 128 + signal wraps modulo 256 for numbers from 128 up.
  EXPECT_EQ(exit_status(outcome_of(Tag::ChildSignaled, 128)), 0);
  EXPECT_EQ(exit_status(outcome_of(Tag::ChildSignaled, 200)), 72);
  EXPECT_EQ(exit_status(outcome_of(Tag::ChildSignaled, 255)), 127);
  EXPECT_EQ(exit_status(outcome_of(Tag::LaunchNotFound, 9)), 127);
  EXPECT_EQ(exit_status(outcome_of(Tag::LaunchNotExecutable)), 126);
  EXPECT_EQ(exit_status(outcome_of(Tag::InvalidConfiguration)), 64);
  EXPECT_EQ(exit_status(outcome_of(Tag::PolicyIntervention, 1)), 75);
  EXPECT_EQ(exit_status(outcome_of(Tag::SupervisorFailure)), 70);
  EXPECT_EQ(exit_status(outcome_of(Tag::PartialArtifactFailure)), 74);
}

// One pipe whose written text can be read back once the writer is done.
class Capture {
 public:
  Capture() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read_.reset(fds[0]);
    write_.reset(fds[1]);
  }
  int fd() const { return write_.get(); }
  void close_reader() { read_.reset(); }

  std::string text() {
    write_.reset();
    std::string all;
    char buffer[4096];
    for (;;) {
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

// Lets writes to a pipe without a reader fail with EPIPE instead of killing
// the test, as the program's main does for the whole process.
class IgnoreSigpipe {
 public:
  IgnoreSigpipe() { previous_ = ::signal(SIGPIPE, SIG_IGN); }
  ~IgnoreSigpipe() { ::signal(SIGPIPE, previous_); }
  IgnoreSigpipe(const IgnoreSigpipe&) = delete;
  IgnoreSigpipe& operator=(const IgnoreSigpipe&) = delete;

 private:
  sighandler_t previous_;
};

TEST(WriteSummary, WritesBothTextsAndReturnsTheOutcomeStatus) {
  Capture out;
  Capture err;
  EXPECT_EQ(write_summary(outcome_of(Tag::PolicyIntervention), out.fd(), err.fd()), 75);
  EXPECT_EQ(out.text(), "summary\n");
  EXPECT_EQ(err.text(), "vek-guard: note\n");
}

TEST(WriteSummary, AClosedStandardOutputStillLetsStandardErrorThrough) {
  IgnoreSigpipe ignore;
  Capture out;
  Capture err;
  out.close_reader();
  EXPECT_EQ(write_summary(outcome_of(Tag::ChildExited, 3), out.fd(), err.fd()), 3);
  EXPECT_EQ(err.text(), "vek-guard: note\n");

  // A closed standard error is tolerated the same way.
  Capture out2;
  Capture err2;
  err2.close_reader();
  EXPECT_EQ(write_summary(outcome_of(Tag::ChildSignaled, 9), out2.fd(), err2.fd()), 137);
  EXPECT_EQ(out2.text(), "summary\n");
}

TEST(WriteSummary, OtherWriteErrorsEndWithStatus101) {
  UniqueFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full.valid());
  Capture err;
  EXPECT_EQ(write_summary(outcome_of(Tag::ChildExited, 0), full.get(), err.fd()), 101);
  // The outcome's own stderr text is not written after the failure.
  EXPECT_EQ(err.text(), "vek-guard: summary write failed: No space left on device\n");

  Capture out;
  EXPECT_EQ(write_summary(outcome_of(Tag::ChildExited, 0), out.fd(), full.get()), 101);
  EXPECT_EQ(out.text(), "summary\n");
}

TEST(WriteSummary, EmptyTextsWriteNothing) {
  Capture out;
  Capture err;
  EXPECT_EQ(write_summary(ExecutionOutcome{"", "", Tag::ChildExited, 0}, out.fd(), err.fd()), 0);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(err.text(), "");
}

// Runs program_main with a fake executor and keeps what it saw and wrote.
struct ProgramRun {
  int status = -1;
  std::string out;
  std::string err;
  std::optional<NormalizedCommand> executed;
};

ProgramRun run_program(std::vector<std::string> words, ExecutionOutcome outcome = {}) {
  words.insert(words.begin(), "vek-guard");
  ProgramRun run;
  Capture out;
  Capture err;
  run.status = program_main(
      words,
      [&](const NormalizedCommand& command) {
        run.executed = command;
        return outcome;
      },
      out.fd(), err.fd());
  run.out = out.text();
  run.err = err.text();
  return run;
}

TEST(ProgramMain, HelpAndVersionGoToStandardOutputWithStatusZero) {
  const ProgramRun help = run_program({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, RawCli::help("vek-guard"));
  EXPECT_EQ(help.err, "");
  EXPECT_FALSE(help.executed);

  const ProgramRun version = run_program({"-V"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "vek-guard 0.3.0\n");
}

TEST(ProgramMain, NoArgumentsPrintTheHelpOnStandardErrorWithStatus64) {
  const ProgramRun run = run_program({});
  EXPECT_EQ(run.status, 64);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, RawCli::help("vek-guard"));
  EXPECT_FALSE(run.executed);
}

TEST(ProgramMain, CommandLineErrorsNeverReachTheExecutor) {
  const ProgramRun parse_error = run_program({"observe", "--report", "r", "prog"});
  EXPECT_EQ(parse_error.status, 64);
  EXPECT_TRUE(parse_error.err.starts_with("error: unexpected argument 'prog' found\n"));
  EXPECT_EQ(parse_error.out, "");
  EXPECT_FALSE(parse_error.executed);

  // The entry's own messages are printed as they are, without a line feed.
  const ProgramRun limit = run_program({"run", "--max-footprint", "1B", "--report", "r", "--", "x"});
  EXPECT_EQ(limit.status, 64);
  EXPECT_EQ(limit.err, "--max-footprint must be at least 2B");
  EXPECT_FALSE(limit.executed);

  const ProgramRun env = run_program({"observe", "--env", "=x", "--report", "r", "--", "x"});
  EXPECT_EQ(env.status, 64);
  EXPECT_EQ(env.err, "--env key must not be empty");
  EXPECT_FALSE(env.executed);
}

TEST(ProgramMain, ExecutesTheNormalizedCommandAndReportsItsOutcome) {
  const ProgramRun run = run_program({"run", "--max-footprint", "1GiB", "--report", "r.json", "--",
                               "sleep", "1"},
                              outcome_of(Tag::ChildSignaled, 9));
  EXPECT_EQ(run.status, 137);
  EXPECT_EQ(run.out, "summary\n");
  EXPECT_EQ(run.err, "vek-guard: note\n");
  ASSERT_TRUE(run.executed);
  ASSERT_TRUE(run.executed->is_run());
  EXPECT_EQ(run.executed->run->max_footprint_bytes, uint64_t{1} << 30);
  EXPECT_EQ(run.executed->common.report_path, "r.json");
  EXPECT_EQ(run.executed->common.command, (std::vector<std::string>{"sleep", "1"}));
}

TEST(ProgramMain, CollectsTheArgumentVectorAsBytes) {
  const char* argv[] = {"vek-guard", "observe", "\xFF", nullptr};
  EXPECT_EQ(collect_args(3, argv), (std::vector<std::string>{"vek-guard", "observe", "\xFF"}));
}

}  // namespace
}  // namespace vek_guard::cli
