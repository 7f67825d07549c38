// Bounded waits on an OwnedProcess and on the helper programs it launches.
// Header-only, because the helper directory is known only to test binaries.
#ifndef VEK_GUARD_TESTS_SUPPORT_OWNED_PROCESS_WAITS_H_
#define VEK_GUARD_TESTS_SUPPORT_OWNED_PROCESS_WAITS_H_

#include <chrono>
#include <optional>
#include <string>

#include "support/subprocess.h"
#include "vek_guard/process_control.h"

namespace vek_guard::test_support {

// The path of helper program `name` (tests/helpers/<name>.cc).
inline std::string helper_program(const std::string& name) {
  return std::string(VEK_GUARD_HELPER_DIR) + "/vek-guard-test-" + name;
}

// Polls try_wait_root until the root has ended, for at most 20 seconds.
// Absent when it did not end in time or the wait failed.
inline std::optional<ChildStatus> wait_for_root(OwnedProcess& process) {
  std::optional<ChildStatus> status;
  eventually(
      [&] {
        auto polled = process.try_wait_root();
        if (!polled) return true;
        status = *polled;
        return status.has_value();
      },
      std::chrono::seconds(20));
  return status;
}

// Waits (at most 20 seconds) for a file that a helper writes once it is set
// up, and returns its contents (empty when it never came).
inline std::string wait_for_file(const std::string& path) {
  eventually([&] { return !read_file(path).empty(); }, std::chrono::seconds(20));
  return read_file(path);
}

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_OWNED_PROCESS_WAITS_H_
