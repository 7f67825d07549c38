// Commands that hold memory the way real jobs do, for the end-to-end tests
// of what a group is counted to hold. Sizes are in bytes, times in ms.
//
//   vek-guard-test-memory pool --shared-bytes N --workers K --own-bytes M
//                              [--hold-ms H] [--cgroup-procs PATH]
//       A pool of forked workers over a dataset its parent loaded: maps N
//       bytes and writes them, then forks K workers one after another. Each
//       reads its slice of the dataset (N / K bytes, so it shares all of it
//       with the parent and the others), writes M bytes of its own, holds
//       them H ms (default 2000) and exits with 0. The parent waits for
//       them all and exits with 0.
//
//   vek-guard-test-memory churn --grow-to N --step S --children K
//                               --child-ms C [--hold-ms H]
//                               [--crossing BYTES --stamp PATH]
//       Grows to N bytes, S bytes every 10 ms, while it keeps K children
//       alive, each forked from it (so each maps all it holds) and living C
//       ms, replaced as soon as it ends; then holds N bytes H ms (default
//       2000), still forking, and exits
//       with 0. When it first holds at least BYTES it writes the
//       CLOCK_MONOTONIC time in nanoseconds to PATH. Its memory is in huge
//       pages where the kernel gives them (transparent huge pages), so that
//       a fork copies a few page tables rather than one entry per 4 KiB
//       page, and K children of C ms can be kept alive at a GiB or more.
//
//   vek-guard-test-memory shared-root --bytes N --readers R --step S
//                                     [--hold-ms H]
//       Maps N bytes of shared memory and forks one member and R readers
//       that move to sessions of their own (setsid, leaving the group), all
//       of which map what it writes as it writes it. Then writes the memory
//       S bytes every 20 ms, holds it H ms (default 2000) and exits with 0.
//       The member and the readers die with it.
//
//   vek-guard-test-memory huge --bytes N [--hold-ms H]
//       Maps N bytes of huge pages (MAP_HUGETLB), writes them, holds them H
//       ms (default 2000) and exits with 0; 4 when the mapping fails (no
//       huge pages reserved).
//
// With --cgroup-procs it first writes its pid to PATH, joining a cgroup
// before it holds anything. All end on their own after 60 seconds (SIGALRM).
// Exit status 2 on bad arguments, 3 when a file, a mapping or a fork fails.
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "helper_util.h"

namespace {

using vek_guard_helper::Options;
using vek_guard_helper::sleep_ms;
using vek_guard_helper::usage_error;

constexpr uint64_t kLifetimeSeconds = 60;

int64_t monotonic_ns() { return vek_guard_helper::clock_ns(CLOCK_MONOTONIC); }

uint64_t page_size() { return static_cast<uint64_t>(sysconf(_SC_PAGESIZE)); }

char* map_memory(uint64_t bytes, int flags) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
  return block == MAP_FAILED ? nullptr : static_cast<char*>(block);
}

void write_pages(char* block, uint64_t from, uint64_t to) {
  for (uint64_t offset = from; offset < to; offset += page_size()) block[offset] = 1;
}

// Touches one byte of every page, reading: the pages are mapped, not copied.
uint64_t read_pages(const char* block, uint64_t from, uint64_t to) {
  uint64_t sum = 0;
  for (uint64_t offset = from; offset < to; offset += page_size()) {
    sum += static_cast<uint8_t>(*static_cast<const volatile char*>(block + offset));
  }
  return sum;
}

// A forked child that must not outlive its parent (which a test kills).
bool die_with_parent(pid_t parent) {
  return prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() == parent;
}

int run_pool(const Options& options) {
  const uint64_t shared = options.required("shared-bytes");
  const uint64_t workers = options.required("workers");
  const uint64_t own = options.number("own-bytes", 0);
  const uint64_t hold_ms = options.number("hold-ms", 2000);
  char* dataset = map_memory(shared, MAP_PRIVATE | MAP_ANONYMOUS);
  if (dataset == nullptr) return 3;
  write_pages(dataset, 0, shared);
  const pid_t parent = getpid();
  const uint64_t slice = shared / workers;
  for (uint64_t i = 0; i < workers; ++i) {
    const pid_t worker = fork();
    if (worker < 0) return 3;
    if (worker > 0) continue;
    if (!die_with_parent(parent)) _exit(3);
    (void)read_pages(dataset, i * slice, (i + 1) * slice);
    char* mine = own > 0 ? map_memory(own, MAP_PRIVATE | MAP_ANONYMOUS) : nullptr;
    if (own > 0 && mine == nullptr) _exit(3);
    if (mine != nullptr) write_pages(mine, 0, own);
    sleep_ms(hold_ms);
    _exit(0);
  }
  int status = 0;
  for (uint64_t i = 0; i < workers; ++i) {
    if (wait(&status) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 3;
  }
  return 0;
}

int run_churn(const Options& options) {
  const uint64_t target = options.required("grow-to");
  const uint64_t step = options.required("step");
  const uint64_t children = options.required("children");
  const uint64_t child_ms = options.required("child-ms");
  const uint64_t hold_ms = options.number("hold-ms", 2000);
  const uint64_t crossing = options.number("crossing", 0);
  const std::string stamp = options.text("stamp");
  char* block = map_memory(target, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE);
  if (block == nullptr) return 3;
  // Where the kernel has none, the pages are small and the forks slower.
  (void)madvise(block, target, MADV_HUGEPAGE);
  const pid_t parent = getpid();
  // A child lives `ms`; the first ones shorter, so that they end one after
  // another and some are always alive, as in a pool that replaces its
  // workers.
  const auto fork_child = [&](uint64_t ms) {
    const pid_t child = fork();
    if (child != 0) return child > 0;
    if (!die_with_parent(parent)) _exit(3);
    sleep_ms(ms);
    _exit(0);
  };
  for (uint64_t i = 0; i < children; ++i) {
    if (!fork_child(child_ms * (i + 1) / children)) return 3;
  }
  constexpr int64_t kStepNs = 10'000'000;
  uint64_t held = 0;
  int64_t next_step = monotonic_ns();
  int64_t hold_until = 0;
  for (;;) {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
      if (!fork_child(child_ms)) return 3;
    }
    const int64_t now = monotonic_ns();
    if (held < target && now >= next_step) {
      const uint64_t next = std::min(target, held + step);
      write_pages(block, held, next);
      if (crossing != 0 && held < crossing && next >= crossing &&
          !vek_guard_helper::write_file_atomically(stamp, std::to_string(monotonic_ns()) + "\n")) {
        return 3;
      }
      held = next;
      next_step = now + kStepNs;
      if (held == target) hold_until = now + static_cast<int64_t>(hold_ms) * 1'000'000;
    } else if (held == target && now >= hold_until) {
      break;
    }
    sleep_ms(1);
  }
  while (wait(nullptr) > 0) {
  }
  return 0;
}

int run_shared_root(const Options& options) {
  const uint64_t bytes = options.required("bytes");
  const uint64_t readers = options.number("readers", 0);
  const uint64_t step = options.required("step");
  const uint64_t hold_ms = options.number("hold-ms", 2000);
  char* block = map_memory(bytes, MAP_SHARED | MAP_ANONYMOUS);
  // How much is written so far: the others map as far as that.
  auto* written = reinterpret_cast<std::atomic<uint64_t>*>(
      map_memory(sizeof(std::atomic<uint64_t>), MAP_SHARED | MAP_ANONYMOUS));
  if (block == nullptr || written == nullptr) return 3;
  const pid_t root = getpid();
  for (uint64_t i = 0; i <= readers; ++i) {
    const pid_t child = fork();
    if (child < 0) return 3;
    if (child > 0) continue;
    // The first is the member; the readers leave the group.
    if (!die_with_parent(root) || (i > 0 && setsid() < 0)) _exit(3);
    for (uint64_t mapped = 0;;) {
      const uint64_t now = written->load(std::memory_order_acquire);
      if (now > mapped) (void)read_pages(block, mapped, now);
      mapped = now;
      sleep_ms(2);
    }
  }
  for (uint64_t done = 0; done < bytes;) {
    const uint64_t next = std::min(bytes, done + step);
    write_pages(block, done, next);
    written->store(next, std::memory_order_release);
    done = next;
    sleep_ms(20);
  }
  sleep_ms(hold_ms);
  return 0;
}

int run_huge(const Options& options) {
  const uint64_t bytes = options.required("bytes");
  char* block = map_memory(bytes, MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB);
  if (block == nullptr) return 4;
  // One write per small page is more than a huge page needs, and just as
  // good.
  write_pages(block, 0, bytes);
  sleep_ms(options.number("hold-ms", 2000));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = vek_guard_helper::start_behaviour(argc, argv, kLifetimeSeconds);
  const std::string cgroup = options.text("cgroup-procs");
  if (!cgroup.empty()) {
    const std::string pid = std::to_string(getpid()) + "\n";
    const int fd = ::open(cgroup.c_str(), O_WRONLY | O_CLOEXEC);
    const bool joined = fd >= 0 && vek_guard_helper::write_all(fd, pid.data(), pid.size());
    if (fd >= 0) ::close(fd);
    if (!joined) return 3;
  }
  const std::string behaviour = argv[1];
  if (behaviour == "pool") return run_pool(options);
  if (behaviour == "churn") return run_churn(options);
  if (behaviour == "shared-root") return run_shared_root(options);
  if (behaviour == "huge") return run_huge(options);
  usage_error(argv[0], argv[1]);
}
