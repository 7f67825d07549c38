// Faults injected into real runs: a report volume that fills up, a supervisor
// killed outright, too few descriptors. Enforcement must go on, the journal
// must read back up to the failure, and every end must be a clean failure
// kind, never a crash or a hang. (An unavailable /dev/urandom is left out: it
// needs a private mount namespace or a seccomp filter.)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
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
using test_support::path_exists;
using test_support::RunArea;
using test_support::RunSpec;
using test_support::run_argv;
using test_support::run_subprocess;
using test_support::SubprocessResult;
using Type = JournalEntry::Type;
using ::testing::AnyOf;
using ::testing::HasSubstr;

std::string helper(const char* name) {
  return test_support::helper_path(VEK_GUARD_HELPER_DIR, name);
}

// Fills the file system of `dir` with one file, then gives `free_bytes` back.
void leave_free(const std::string& dir, off_t free_bytes) {
  UniqueFd fd(::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  ASSERT_TRUE(fd.valid()) << std::strerror(errno);
  const std::string block(4096, '\0');
  off_t size = 0;
  for (ssize_t n; (n = ::write(fd.get(), block.data(), block.size())) > 0;) size += n;
  ASSERT_EQ(errno, ENOSPC) << std::strerror(errno);
  ASSERT_GT(size, free_bytes);
  ASSERT_EQ(::ftruncate(fd.get(), size - free_bytes), 0);
}

// A broken run's journal: readable, ending cleanly or inside the frame being
// written, one header first, samples, and never an outcome.
void expect_journal_read_up_to_the_break(const std::string& journal_path) {
  const std::optional<JournalRecovery> journal = test_support::read_journal_file(journal_path);
  ASSERT_TRUE(journal);
  EXPECT_THAT(journal->tail, AnyOf(JournalTail::Clean, JournalTail::Truncated));
  ASSERT_GE(journal->records.size(), 2u);
  EXPECT_EQ(journal->records.front().entry.type(), Type::Header);
  EXPECT_EQ(count_entries(*journal, Type::Header), 1u);
  EXPECT_GE(count_entries(*journal, Type::Sample), 1u);
  EXPECT_EQ(count_entries(*journal, Type::Outcome), 0u);
  EXPECT_FALSE(journal->to_report().ok());
}

// The report directory on a 64 KiB file system of its own (mounting needs
// root; skipped without it).
TEST(ReportVolumeFull, EnforcementGoesOnAndNothingRunsUnjournalled) {
  RunArea area;
  const std::string volume = area.file("volume");
  const std::string report = volume + "/report.json";
  ASSERT_EQ(::mkdir(volume.c_str(), 0700), 0);
  test_support::TinyTmpfs tmpfs(volume, "64k");
  if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << tmpfs.error();

  // No room for the journal's first bytes: the run stops before the launch.
  ASSERT_NO_FATAL_FAILURE(leave_free(volume, 0));
  const std::string described = area.file("described");
  const SubprocessResult early =
      test_support::run_describe(VEK_GUARD_BINARY, VEK_GUARD_HELPER_DIR, report, described);
  EXPECT_EQ(early.exit_code, 74) << early.stderr_text;
  EXPECT_EQ(early.stderr_text, "vek-guard: artifact write failed\n");
  EXPECT_FALSE(path_exists(described));

  // Room for the header and a few samples. The command grows far past 32 MiB
  // and then holds on for a minute: only enforcement ends it in time.
  ASSERT_EQ(::unlink((volume + "/filler").c_str()), 0);
  ::unlink((volume + "/.report.json.journal").c_str());  // whatever the refused run left
  ASSERT_NO_FATAL_FAILURE(leave_free(volume, 8 * 1024));
  const SubprocessResult result = run_subprocess(
      {.argv = run_argv(VEK_GUARD_BINARY, report,
                        RunSpec{.max_footprint = "32MiB",
                                .command = {helper("grow"), "--step", "1048576", "--interval-ms",
                                            "10", "--max", "268435456", "--hold-ms", "60000"}})},
      std::chrono::seconds(30));
  ASSERT_FALSE(result.timed_out) << result.stderr_text;
  EXPECT_EQ(result.term_signal, 0);
  EXPECT_EQ(result.exit_code, 74) << result.stderr_text;
  EXPECT_EQ(result.stdout_text, "");
  // The exact message: run_e2e_test's journal failure mid-run.
  EXPECT_FALSE(path_exists(report));
  expect_journal_read_up_to_the_break(volume + "/.report.json.journal");
}

TEST(SupervisorKilled, JournalStillReadsBackWithACleanOrTruncatedTail) {
  RunArea area;
  const std::string pid_file = area.file("command.pid");
  test_support::Subprocess supervisor = test_support::Subprocess::start(
      {.argv = run_argv(VEK_GUARD_BINARY, area.report_path(),
                        RunSpec{.command = {helper("stubborn"), "--ready-file", pid_file,
                                            "--max-seconds", "30"}})});
  const pid_t command = test_support::wait_pid_file(pid_file, std::chrono::seconds(10));
  ASSERT_GT(command, 0);
  // A killed supervisor cannot end the command's group; the test does.
  struct GroupKiller {
    pid_t group;
    ~GroupKiller() { ::kill(-group, SIGKILL); }
  } killer{command};

  // Many samples first, so the kill lands in the middle of the appends.
  EXPECT_TRUE(test_support::eventually(
      [&] {
        struct stat st {};
        return ::lstat(area.journal_path().c_str(), &st) == 0 && st.st_size > 16 * 1024;
      },
      std::chrono::seconds(10)));
  supervisor.send_signal(SIGKILL);
  EXPECT_EQ(supervisor.wait(std::chrono::seconds(10)).term_signal, SIGKILL);
  expect_journal_read_up_to_the_break(area.journal_path());
  EXPECT_FALSE(path_exists(area.report_path()));
}

// The undefined-behaviour sanitizer checks a vptr by copying the object into
// a pipe; with no descriptor left it reports "invalid vptr" ("<memory cannot
// be printed>") and exits 1. That is the sanitizer failing, not the program.
bool sanitizer_lost_its_descriptors(const SubprocessResult& result) {
#if defined(__SANITIZE_ADDRESS__)
  return result.exit_code == 1 && result.stderr_text.find("invalid vptr") != std::string::npos &&
         result.stderr_text.find("<memory cannot be printed>") != std::string::npos;
#else
  (void)result;
  return false;
#endif
}

// Too few descriptors must end in one of the program's failure kinds with its
// message, never a crash, a hang or an unexplained status. Limits below 4 stop
// the dynamic loader; a run hands the command descriptor 198, so a limit up to
// 198 makes its launch fail however many are free.
TEST(DescriptorLimit, EveryLowLimitEndsInACleanFailureKind) {
  std::vector<int> limits = {64, 256};  // 256: enough for both modes
  for (int limit = 4; limit <= 16; ++limit) limits.push_back(limit);
  for (const bool run_mode : {true, false}) {
    for (const int limit : limits) {
      SCOPED_TRACE((run_mode ? "run, limit " : "observe, limit ") + std::to_string(limit));
      RunArea area;
      std::vector<std::string> argv = {
          "/bin/sh", "-c", "ulimit -n " + std::to_string(limit) + " && exec \"$0\" \"$@\"",
          VEK_GUARD_BINARY, "observe"};
      if (run_mode) argv.back() = "run";
      if (run_mode) argv.insert(argv.end(), {"--max-footprint", "1GiB"});
      argv.insert(argv.end(),
                  {"--sample-interval", "10ms", "--report", area.report_path(), "--", "/bin/true"});
      const SubprocessResult result = run_subprocess({.argv = argv}, std::chrono::seconds(20));

      ASSERT_FALSE(result.timed_out);
      if (sanitizer_lost_its_descriptors(result)) continue;
      EXPECT_EQ(result.term_signal, 0) << result.stderr_text;
      EXPECT_THAT(result.exit_code, AnyOf(0, 64, 70, 74)) << result.stderr_text;
      EXPECT_TRUE(limit != 256 || result.exit_code == 0) << result.stderr_text;
      if (result.exit_code == 0) {
        EXPECT_THAT(result.stdout_text, HasSubstr("vek-guard: child_exited at "));
      } else {  // the last line is the program's own explanation
        EXPECT_THAT(result.stderr_text, ::testing::ContainsRegex("(^|\n)vek-guard: [^\n]*\n$"));
      }
    }
  }
}

}  // namespace
}  // namespace vek_guard
