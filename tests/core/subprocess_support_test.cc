#include <signal.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "support/subprocess.h"

namespace vek_guard::test_support {
namespace {

// The end-to-end tests trust this harness to return once the command has
// ended, even when a descendant it left behind still holds the output.
TEST(SubprocessSupport, DoesNotWaitForADescendantHoldingTheOutput) {
  const SubprocessResult result = run_subprocess(
      {.argv = {"/bin/sh", "-c", "sleep 30 & echo $!; exit 3"}}, std::chrono::seconds(10));
  const pid_t descendant = std::atoi(result.stdout_text.c_str());
  if (descendant > 0) ::kill(descendant, SIGKILL);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_GT(descendant, 0);
}

}  // namespace
}  // namespace vek_guard::test_support
