// Faults injected into real runs of the vek-guard binary: a report volume
// that fills up mid-run, a supervisor killed outright, a stale temporary
// report, and too few file descriptors. Each checks what the run promises
// under the fault: enforcement goes on, the journal stays readable up to the
// failure, and every end is a clean failure kind rather than a crash or a
// hang.
//
// Not covered here: an unavailable /dev/urandom. Making it fail for one
// process needs a private mount namespace or seccomp filter over a system
// device, which is more privilege than these tests should take.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/e2e.h"
#include "support/run_files.h"
#include "support/subprocess.h"
#include "vek_guard/journal.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard {
namespace {

using test_support::count_entries;
using test_support::read_journal_file;
using test_support::run_describe;
using test_support::RunArea;
using test_support::RunSpec;
using test_support::run_argv;
using test_support::run_subprocess;
using test_support::SubprocessResult;
using test_support::write_new_file;
using Type = JournalEntry::Type;
using ::testing::AnyOf;
using ::testing::HasSubstr;

constexpr char kWriteFailedLine[] =
    "vek-guard: artifact write failed; safety enforcement continues; complete report "
    "unavailable\n";
constexpr char kSyncFailedLine[] =
    "vek-guard: artifact synchronization failed; safety enforcement continues; complete "
    "report unavailable\n";

std::string helper(const char* name) {
  return test_support::helper_path(VEK_GUARD_HELPER_DIR, name);
}

// A command that grows well past a 32 MiB limit and then holds its memory for
// a minute: only enforcement ends it within a test's patience.
std::vector<std::string> growing_command() {
  return {helper("grow"), "--step", "1048576", "--interval-ms", "10",
          "--max", "268435456", "--hold-ms", "60000"};
}

// Fills the file system of `dir` completely with one file, then gives back
// `free_bytes` of it, so a journal started there runs out of space after a few
// records.
void leave_free(const std::string& dir, off_t free_bytes) {
  const std::string filler = dir + "/filler";
  UniqueFd fd(::open(filler.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  ASSERT_TRUE(fd.valid()) << std::strerror(errno);
  const std::string block(4096, '\0');
  off_t size = 0;
  while (true) {
    const ssize_t n = ::write(fd.get(), block.data(), block.size());
    if (n <= 0) {
      ASSERT_EQ(errno, ENOSPC) << std::strerror(errno);
      break;
    }
    size += n;
  }
  ASSERT_GT(size, free_bytes);
  ASSERT_EQ(::ftruncate(fd.get(), size - free_bytes), 0);
}

off_t file_size(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// The journal a broken run leaves: readable, ending cleanly or inside the
// frame it was writing, opening with the header and never reaching an
// outcome.
void expect_journal_read_up_to_the_break(const std::string& journal_path) {
  const std::optional<JournalRecovery> journal = read_journal_file(journal_path);
  ASSERT_TRUE(journal);
  EXPECT_THAT(journal->tail, AnyOf(JournalTail::Clean, JournalTail::Truncated));
  ASSERT_GE(journal->records.size(), 2u);
  EXPECT_EQ(journal->records.front().entry.type(), Type::Header);
  EXPECT_EQ(count_entries(*journal, Type::Header), 1u);
  EXPECT_GE(count_entries(*journal, Type::Sample), 1u);
  EXPECT_EQ(count_entries(*journal, Type::Outcome), 0u);
  EXPECT_FALSE(journal->to_report().ok());
}

// A report directory on a 64 KiB file system of its own (mounting needs
// root; the tests skip without it).
class ReportVolumeFull : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(volume_.c_str(), 0700), 0);
    tmpfs_ = std::make_unique<test_support::TinyTmpfs>(volume_, "64k");
    if (!tmpfs_->mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << tmpfs_->error();
  }

  RunArea area_;
  const std::string volume_ = area_.file("volume");
  const std::string report_ = volume_ + "/report.json";
  std::unique_ptr<test_support::TinyTmpfs> tmpfs_;  // unmounted before the area goes
};

TEST_F(ReportVolumeFull, EnforcementContinuesAndTheJournalReadsBackToTheFailure) {
  // Room for the header and a few samples; the run needs far more.
  ASSERT_NO_FATAL_FAILURE(leave_free(volume_, 8 * 1024));

  const SubprocessResult result = run_subprocess(
      {.argv = run_argv(VEK_GUARD_BINARY, report_,
                        RunSpec{.max_footprint = "32MiB", .command = growing_command()})},
      std::chrono::seconds(30));

  // Had enforcement stopped with the journal, the command would have held on
  // for a minute and the wait would have timed out.
  ASSERT_FALSE(result.timed_out) << result.stderr_text;
  EXPECT_EQ(result.term_signal, 0);
  EXPECT_EQ(result.exit_code, 74) << result.stderr_text;
  EXPECT_EQ(result.stdout_text, "");
  EXPECT_THAT(result.stderr_text, AnyOf(HasSubstr(kWriteFailedLine), HasSubstr(kSyncFailedLine)));
  EXPECT_FALSE(test_support::path_exists(report_));
  expect_journal_read_up_to_the_break(volume_ + "/.report.json.journal");
}

// With no room even for the journal's first bytes, the run stops before the
// launch: nothing may run unjournalled.
TEST_F(ReportVolumeFull, BeforeTheStartNothingIsLaunched) {
  ASSERT_NO_FATAL_FAILURE(leave_free(volume_, 0));
  const std::string described = area_.file("described");
  const SubprocessResult result =
      run_describe(VEK_GUARD_BINARY, VEK_GUARD_HELPER_DIR, report_, described);

  EXPECT_EQ(result.exit_code, 74) << result.stderr_text;
  EXPECT_EQ(result.stderr_text, "vek-guard: artifact write failed\n");
  EXPECT_FALSE(test_support::path_exists(described));
}

TEST(SupervisorKilled, JournalStillReadsBackWithACleanOrTruncatedTail) {
  RunArea area;
  const std::string pid_file = area.file("command.pid");
  test_support::Subprocess supervisor = test_support::Subprocess::start(
      {.argv = run_argv(VEK_GUARD_BINARY, area.report_path(),
                        RunSpec{.max_footprint = "1GiB",
                                .command = {helper("stubborn"), "--ready-file", pid_file,
                                            "--max-seconds", "30"}})});
  const pid_t command = test_support::wait_pid_file(pid_file, std::chrono::seconds(10));
  ASSERT_GT(command, 0);
  // Nothing can clean up after a killed supervisor; the test ends the
  // command's group itself, whatever became of it.
  struct GroupKiller {
    pid_t group;
    ~GroupKiller() { ::kill(-group, SIGKILL); }
  } killer{command};

  // Let the journal gather a good number of samples first, so the kill lands
  // in the middle of the appends.
  EXPECT_TRUE(test_support::eventually(
      [&] { return file_size(area.journal_path()) > 16 * 1024; }, std::chrono::seconds(10)));
  supervisor.send_signal(SIGKILL);
  const SubprocessResult result = supervisor.wait(std::chrono::seconds(10));
  EXPECT_EQ(result.term_signal, SIGKILL);

  expect_journal_read_up_to_the_break(area.journal_path());
  EXPECT_FALSE(test_support::path_exists(area.report_path()));

  // What becomes of the command: it was in its own process group, which the
  // supervisor would have killed on its way out; killed outright, it cannot.
  const bool still_running = test_support::process_running(command);
  RecordProperty("command_after_supervisor_sigkill", still_running ? "running" : "gone");
}

TEST(StaleTemporaryReport, IsLeftAloneAndTheRunFailsAsUnsafe) {
  RunArea area;
  const std::string temporary = area.file(".report.json.tmp");
  const std::string stale = "{\"left\": \"by an earlier crash\"}\n";
  ASSERT_NO_FATAL_FAILURE(write_new_file(temporary, stale, 0600));
  const std::string described = area.file("described");

  const SubprocessResult result =
      run_describe(VEK_GUARD_BINARY, VEK_GUARD_HELPER_DIR, area.report_path(), described);

  EXPECT_EQ(result.exit_code, 74) << result.stderr_text;
  EXPECT_EQ(result.stdout_text, "");
  EXPECT_THAT(result.stderr_text, HasSubstr("vek-guard: artifact output target is unsafe\n"));
  EXPECT_TRUE(test_support::path_exists(described)) << "the command ran before publication";
  EXPECT_EQ(test_support::read_file(temporary), stale);
  EXPECT_FALSE(test_support::path_exists(area.report_path()));

  // The journal is complete and kept: the report can still be recovered.
  const std::optional<JournalRecovery> journal = read_journal_file(area.journal_path());
  ASSERT_TRUE(journal);
  EXPECT_EQ(journal->tail, JournalTail::Clean);
  ASSERT_FALSE(journal->records.empty());
  EXPECT_EQ(journal->records.back().entry.type(), Type::Outcome);
  const Result<ReportV1, StorageError> recovered = journal->to_report();
  ASSERT_TRUE(recovered.ok());
  EXPECT_EQ(recovered->outcome.kind.tag(), TerminalKind::Tag::ChildExited);
}

// The undefined-behaviour sanitizer checks a vptr by copying the object into
// a pipe; with no descriptor left for the pipe it reports a valid object as
// "invalid vptr" ("<memory cannot be printed>") and exits 1. That is the
// sanitizer failing, not the program: such a run proves nothing either way.
bool sanitizer_lost_its_descriptors(const SubprocessResult& result) {
#if defined(__SANITIZE_ADDRESS__)
  return result.exit_code == 1 &&
         result.stderr_text.find("invalid vptr") != std::string::npos &&
         result.stderr_text.find("<memory cannot be printed>") != std::string::npos;
#else
  (void)result;
  return false;
#endif
}

// Too few descriptors must end in a failure kind of the program, with its
// message, at every limit: never a crash, a hang or an unexplained status.
// Limits below 4 stop the dynamic loader before the program starts. A run
// hands the command descriptor 198, which a limit of 198 or less forbids:
// those runs fail to launch (supervisor_failure) however many are free.
TEST(DescriptorLimit, EveryLowLimitEndsInACleanFailureKind) {
  std::vector<int> limits;
  for (int limit = 4; limit <= 16; ++limit) limits.push_back(limit);
  limits.push_back(64);
  limits.push_back(256);  // enough for both modes: the control
  std::string results;
  for (const bool run_mode : {true, false}) {
    for (const int limit : limits) {
      SCOPED_TRACE((run_mode ? "run, limit " : "observe, limit ") + std::to_string(limit));
      RunArea area;
      std::vector<std::string> argv = {
          "/bin/sh", "-c", "ulimit -n " + std::to_string(limit) + " && exec \"$0\" \"$@\"",
          VEK_GUARD_BINARY};
      if (run_mode) {
        argv.insert(argv.end(), {"run", "--max-footprint", "1GiB"});
      } else {
        argv.push_back("observe");
      }
      argv.insert(argv.end(),
                  {"--sample-interval", "10ms", "--report", area.report_path(), "--", "/bin/true"});
      const SubprocessResult result = run_subprocess({.argv = argv}, std::chrono::seconds(20));
      results += (run_mode ? "run:" : "observe:") + std::to_string(limit) + "=" +
                 std::to_string(test_support::shell_status(result.exit_code, result.term_signal)) +
                 " ";

      ASSERT_FALSE(result.timed_out);
      if (sanitizer_lost_its_descriptors(result)) {
        results += "(sanitizer) ";
        continue;
      }
      EXPECT_EQ(result.term_signal, 0) << result.stderr_text;
      EXPECT_THAT(result.exit_code, AnyOf(0, 64, 70, 74)) << result.stderr_text;
      if (result.exit_code == 0) {
        EXPECT_THAT(result.stdout_text, HasSubstr("vek-guard: child_exited at "));
      } else {
        // The last line is the program's own explanation.
        const std::string& text = result.stderr_text;
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\n');
        const std::size_t start = text.rfind('\n', text.size() - 2);
        const std::string last = text.substr(start == std::string::npos ? 0 : start + 1);
        EXPECT_THAT(last, ::testing::StartsWith("vek-guard: ")) << text;
      }
      if (limit == 256) {
        EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
      }
    }
  }
  RecordProperty("exit_status_by_limit", results);
}

}  // namespace
}  // namespace vek_guard
