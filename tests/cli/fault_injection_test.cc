// Faults injected into real runs: a supervisor killed outright, too few
// descriptors. The journal must read back up to the failure, and every end
// must be a clean failure kind, never a crash or a hang. (A journal that
// fails in mid-run is tested on the loop itself, supervisor_test.cc.)
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/e2e.h"
#include "support/subprocess.h"
#include "vek_guard/journal.h"
#include "vek_guard/journal_reader.h"

namespace vek_guard {
namespace {

using test_support::run_argv;
using test_support::RunArea;
using test_support::SubprocessResult;
using Type = JournalEntry::Type;

std::string helper(const char* name) {
  return test_support::helper_path(VEK_GUARD_HELPER_DIR, name);
}

// A broken run's journal: readable, ending cleanly or inside the frame being
// written, the header first, samples, and no outcome.
void expect_journal_read_up_to_the_break(const std::string& journal_path) {
  const std::optional<JournalRecovery> journal = test_support::read_journal_file(journal_path);
  ASSERT_TRUE(journal);
  EXPECT_THAT(journal->tail, ::testing::AnyOf(JournalTail::Clean, JournalTail::Truncated));
  ASSERT_GE(journal->records.size(), 2u);
  EXPECT_EQ(journal->records.front().entry.type(), Type::Header);
  const auto count = [&](Type type) {
    return std::count_if(journal->records.begin(), journal->records.end(),
                         [&](const JournalRecord& record) { return record.entry.type() == type; });
  };
  EXPECT_GE(count(Type::Sample), 1);
  EXPECT_EQ(count(Type::Outcome), 0);
}

// Killed outright, the supervisor can neither finish its journal nor stop
// the command itself: the journal reads back up to the kill, and the kernel
// ends the command through its parent-death signal.
TEST(SupervisorKilled, JournalReadsBackAndTheCommandDiesWithIt) {
  RunArea area;
  const std::string pid_file = area.file("command.pid");
  test_support::Subprocess supervisor = test_support::Subprocess::start(
      {.argv = run_argv(
           VEK_GUARD_BINARY, area.report_path(),
           {.command = {helper("stubborn"), "--ready-file", pid_file, "--max-seconds", "30"}})});
  const pid_t command = test_support::wait_pid_file(pid_file, std::chrono::seconds(10));
  ASSERT_GT(command, 0);
  // Many samples first, so the kill lands in the middle of the appends.
  EXPECT_TRUE(test_support::eventually(
      [&] {
        struct stat st {};
        return ::lstat(area.journal_path().c_str(), &st) == 0 && st.st_size > 16 * 1024;
      },
      std::chrono::seconds(10)));
  supervisor.send_signal(SIGKILL);
  EXPECT_EQ(supervisor.wait(std::chrono::seconds(10)).term_signal, SIGKILL);
  EXPECT_TRUE(test_support::eventually([&] { return !test_support::process_running(command); },
                                       std::chrono::seconds(5)));
  ::kill(command, SIGKILL);  // should it have survived
  expect_journal_read_up_to_the_break(area.journal_path());
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
      if (test_support::sanitizer_lost_its_descriptors(result)) continue;
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
