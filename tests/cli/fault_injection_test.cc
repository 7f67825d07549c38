// Faults injected into real runs: a report volume that fills up, a supervisor
// killed outright, too few descriptors. Enforcement must go on, the journal
// must read back up to the failure, and every end must be a clean failure
// kind, never a crash or a hang.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/e2e.h"
#include "support/run_files.h"
#include "support/subprocess.h"
#include "vek_guard/journal.h"
#include "vek_guard/journal_reader.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard {
namespace {

using test_support::path_exists;
using test_support::run_argv;
using test_support::RunArea;
using test_support::SubprocessResult;
using Type = JournalEntry::Type;

std::string helper(const char* name) {
  return test_support::helper_path(VEK_GUARD_HELPER_DIR, name);
}

// Fills the file system of `dir` with one file, then gives `free_bytes` back.
void leave_free(const std::string& dir, off_t free_bytes) {
  UniqueFd fd(::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  ASSERT_TRUE(fd.valid());
  const std::string block(4096, '\0');
  off_t size = 0;
  for (ssize_t n; (n = ::write(fd.get(), block.data(), block.size())) > 0;) size += n;
  ASSERT_EQ(errno, ENOSPC);
  ASSERT_EQ(::ftruncate(fd.get(), size - free_bytes), 0);
}

// A broken run's journal: readable, ending cleanly or inside the frame being
// written, the header first, samples, and no outcome.
void expect_journal_read_up_to_the_break(const std::string& journal_path) {
  const std::optional<JournalRecovery> journal = test_support::read_journal_file(journal_path);
  ASSERT_TRUE(journal);
  EXPECT_THAT(journal->tail, ::testing::AnyOf(JournalTail::Clean, JournalTail::Truncated));
  ASSERT_GE(journal->records.size(), 2u);
  EXPECT_EQ(journal->records.front().entry.type(), Type::Header);
  EXPECT_GE(test_support::count_entries(*journal, Type::Sample), 1u);
  EXPECT_EQ(test_support::count_entries(*journal, Type::Outcome), 0u);
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
  ::unlink((volume + "/.report.json.journal").c_str());  // whatever the refused run left
  ASSERT_NO_FATAL_FAILURE(leave_free(volume, 8 * 1024));
  const SubprocessResult result = test_support::run_subprocess(
      {.argv = run_argv(VEK_GUARD_BINARY, report,
                        {.max_footprint = "32MiB",
                         .command = {helper("grow"), "--step", "1048576", "--interval-ms", "10",
                                     "--max", "268435456", "--hold-ms", "60000"}})},
      std::chrono::seconds(30));
  ASSERT_FALSE(result.timed_out) << "the breach was not enforced after the journal failed";
  EXPECT_EQ(result.exit_code, 74) << result.stderr_text;
  EXPECT_FALSE(path_exists(report));
  expect_journal_read_up_to_the_break(volume + "/.report.json.journal");
}

TEST(SupervisorKilled, JournalStillReadsBackWithACleanOrTruncatedTail) {
  RunArea area;
  const std::string pid_file = area.file("command.pid");
  test_support::Subprocess supervisor = test_support::Subprocess::start(
      {.argv = run_argv(
           VEK_GUARD_BINARY, area.report_path(),
           {.command = {helper("stubborn"), "--ready-file", pid_file, "--max-seconds", "30"}})});
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
}

// With no descriptor left, the undefined-behaviour sanitizer's vptr check
// fails by itself ("invalid vptr", "<memory cannot be printed>", exit 1).
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
// message, never a crash or a hang. Below 4 the dynamic loader fails; each
// limit up to 16 runs out at another of the supervisor's opens.
TEST(DescriptorLimit, EveryLowLimitEndsInACleanFailureKind) {
  for (const char* mode : {"run", "observe"}) {
    for (const int limit : {4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 64, 256}) {
      SCOPED_TRACE(std::string(mode) + ", limit " + std::to_string(limit));
      RunArea area;
      std::vector<std::string> argv = {
          "/bin/sh",
          "-c",
          "ulimit -n " + std::to_string(limit) + " && exec \"$0\" \"$@\"",
          VEK_GUARD_BINARY,
          mode,
          "--max-footprint",
          "1GiB",
          "--report",
          area.report_path(),
          "--",
          "/bin/true"};
      if (std::string(mode) == "observe") argv.erase(argv.begin() + 5, argv.begin() + 7);
      const SubprocessResult result =
          test_support::run_subprocess({.argv = argv}, std::chrono::seconds(20));

      ASSERT_FALSE(result.timed_out);
      if (sanitizer_lost_its_descriptors(result)) continue;
      EXPECT_EQ(result.term_signal, 0) << result.stderr_text;
      EXPECT_THAT(result.exit_code, ::testing::AnyOf(0, 64, 70, 74)) << result.stderr_text;
      EXPECT_TRUE(limit != 256 || result.exit_code == 0) << result.stderr_text;
      if (result.exit_code != 0) {  // the last line is the program's own explanation
        EXPECT_THAT(result.stderr_text, ::testing::ContainsRegex("(^|\n)vek-guard: [^\n]*\n$"));
      }
    }
  }
}

}  // namespace
}  // namespace vek_guard
