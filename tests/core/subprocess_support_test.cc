#include <signal.h>

#include <chrono>

#include <gtest/gtest.h>

#include "support/subprocess.h"

namespace vek_guard::test_support {
namespace {

// The end-to-end tests trust this harness for exit statuses and captured
// output, so its own corner cases are checked once here.
TEST(SubprocessSupport, CapturesBothStreamsAndTheExitStatus) {
  const SubprocessResult result = run_subprocess(
      {.argv = {"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}}, std::chrono::seconds(10));
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.stdout_text, "out\n");
  EXPECT_EQ(result.stderr_text, "err\n");
}

TEST(SubprocessSupport, ReportsSignalsAndKillsOnTimeout) {
  Subprocess sleeper = Subprocess::start({.argv = {"/bin/sleep", "30"}});
  sleeper.send_signal(SIGTERM);
  EXPECT_EQ(sleeper.wait(std::chrono::seconds(10)).term_signal, SIGTERM);

  const SubprocessResult slow =
      run_subprocess({.argv = {"/bin/sleep", "30"}}, std::chrono::milliseconds(100));
  EXPECT_TRUE(slow.timed_out);
  EXPECT_EQ(slow.term_signal, SIGKILL);
}

TEST(SubprocessSupport, DoesNotWaitForADescendantHoldingTheOutput) {
  const auto started = std::chrono::steady_clock::now();
  const SubprocessResult result = run_subprocess(
      {.argv = {"/bin/sh", "-c", "sleep 5 & echo parent"}}, std::chrono::seconds(10));
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.stdout_text, "parent\n");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
}

}  // namespace
}  // namespace vek_guard::test_support
