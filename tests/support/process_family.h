// Forked processes for tests that need real processes, always cleaned up.
#ifndef VEK_GUARD_TESTS_SUPPORT_PROCESS_FAMILY_H_
#define VEK_GUARD_TESTS_SUPPORT_PROCESS_FAMILY_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>

#include "vek_guard/unique_fd.h"

namespace vek_guard::test_support {

// Every process forked through a ProcessFamily, and every process those fork
// in turn, is killed and reaped when the family is destroyed.
//
// While a family exists the test process is a child subreaper, so orphaned
// grandchildren are reparented to it rather than to init; the destructor
// kills every child it has (forked or adopted) and reaps until none is left,
// within a bounded time. Only one family may exist at a time.
class ProcessFamily {
 public:
  ProcessFamily();
  ~ProcessFamily();
  ProcessFamily(const ProcessFamily&) = delete;
  ProcessFamily& operator=(const ProcessFamily&) = delete;

  // Forks a child that runs `body` and then exits with status 0 without
  // running any exit handler, so it never returns into GoogleTest. Returns
  // the child's pid, or -1 when fork failed.
  pid_t fork_child(const std::function<void()>& body);

  // Kills `pid` with SIGKILL and reaps it (bounded). For tests that need a
  // child gone before the family ends.
  void kill_and_reap(pid_t pid);
};

// A pipe on which forked children report to the test (close-on-exec both
// ends).
class ReportPipe {
 public:
  ReportPipe();

  // In a child: writes one 32-bit value (atomic for a pipe).
  void send(int32_t value) const;
  // In the test: reads one value, or nothing after `timeout`.
  std::optional<int32_t> receive(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  UniqueFd read_;
  UniqueFd write_;
};

// Blocks the calling (child) process until it is killed.
[[noreturn]] void sleep_forever();

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_PROCESS_FAMILY_H_
