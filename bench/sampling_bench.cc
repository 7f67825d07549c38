// Cost of one sampling pass against the live system, next to its floor and
// next to a pass that reads every process's stat.
//
// A pass that lists /proc cannot cost less than one listing (the kernel has
// no list of a group's members) plus each member's own reads (its directory
// opened, stat, status, stat again: what an inspection reads); a pass that
// finds no task created since the last listing skips it, and can cost less.
// SamplePassVsFloor times, in alternation on the same group so that drift in
// the machine's load touches all alike:
//   floor_us   one getdents64 listing of /proc plus the members' own reads
//   pass_us    a pass through the process table kept between passes, as the
//              sampler makes it every 10 ms (each pass 10 ms later than the
//              previous one, which paces the table's re-reads in turn)
//   full_us    a pass that reads every process's stat, as the first pass
//              does (and every pass did before the table was kept)
//   ratio      pass_us / floor_us (target <= 1.5 for one member)
//   full_ratio full_us / floor_us
//   processes  processes on the system during the run
//
// Arguments: the members of the group (a leader in a new process group and
// members-1 children sleeping in it) and the idle processes of another
// session that the benchmark starts beside it. Both are killed at the end.
//
// SharedFamilyPass times, in alternation on one forked family (a leader
// that maps N MiB populated and forks members-1 workers that share it):
//   floor_us       the floor above
//   plain_us       the probe alone: a pass as it was before refinement
//   raw_us         the probe and the refinement step below its level: what
//                  every pass of a family far from its limit costs (checked:
//                  no share is read)
//   refined_us     a pass refined at the level within the sampler's budget
//                  for the window given (half of it from the pass's start),
//                  as run mode makes it near the limit
//   refined_max_ms its slowest, against window_ms (usable when not above)
//   refined        members refined within the budget (of `members`)
//   full_us        a pass refining every member, without a budget
//   raw_mib, refined_mib, full_mib   the aggregate each of them counts
//   per_gib_ms     the read rate the cost model has learned
// The window is max(interval, 250 ms): 250 ms up to --sample-interval
// 250ms, 1000 ms at 1s.
//
// PassCapacity times whole sampling passes (FootprintSampler::sample_native
// on the monotonic clock, as a run takes them: the listing, every member's
// reads and the identity tracking), in alternation on a group of one and a
// group of `members` sleeping members:
//   one_ms          a pass over the group of one
//   pass_ms         a pass over the group of `members`; pass_max_ms its slowest
//   per_member_us   (pass_ms - one_ms) / (members - 1)
//   window_ms       the sample window at `interval_ms` (max(interval, 250 ms)),
//                   which a pass must not outlast, or its sample is discarded
//   in_window       members a pass reads within that window:
//                   (window_ms - one_ms) / per_member_us
//   processes       processes on the system during the run
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "vek_guard/identity.h"
#include "vek_guard/platform_proc.h"
#include "vek_guard/policy.h"
#include "vek_guard/run_clock.h"
#include "vek_guard/sampling.h"

namespace vek_guard {
namespace {

// `count` sleeping processes: a leader that calls `setsid` (a new session
// and process group) when `new_session`, else `setpgid(0, 0)`, and its
// count-1 children, forked after the leader has mapped `shared_bytes`
// populated (they share those pages with it).
class SleepingProcesses {
 public:
  SleepingProcesses(int count, bool new_session, uint64_t shared_bytes = 0) {
    if (count < 1) return;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    leader_ = ::fork();
    if (leader_ == 0) {
      if (new_session) {
        ::setsid();
      } else {
        ::setpgid(0, 0);
      }
      if (shared_bytes != 0 &&
          ::mmap(nullptr, shared_bytes, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0) == MAP_FAILED) {
        ::_exit(1);
      }
      for (int i = 1; i < count; ++i) {
        if (::fork() == 0) {
          const char byte = 1;
          (void)!::write(fds[1], &byte, 1);
          for (;;) ::pause();
        }
      }
      const char byte = 1;
      (void)!::write(fds[1], &byte, 1);
      for (;;) ::pause();
    }
    ::close(fds[1]);
    if (!new_session) ::setpgid(leader_, leader_);
    char byte = 0;
    for (int i = 0; i < count; ++i) {
      if (::read(fds[0], &byte, 1) != 1) break;
    }
    ::close(fds[0]);
  }

  // Kills them all and reaps them: the benchmark is their subreaper (see
  // main), so none is left as a zombie in the table that the next case
  // lists.
  ~SleepingProcesses() {
    if (leader_ <= 0) return;
    ::kill(-leader_, SIGKILL);
    while (::waitpid(-leader_, nullptr, 0) > 0 || errno == EINTR) {
    }
  }

  SleepingProcesses(const SleepingProcesses&) = delete;
  SleepingProcesses& operator=(const SleepingProcesses&) = delete;

  pid_t leader() const { return leader_; }

 private:
  pid_t leader_ = -1;
};

// One getdents64 listing of /proc through a descriptor kept open, as the
// process table lists it. Returns the number of pids.
std::size_t list_proc(int proc_fd, std::vector<char>& buffer) {
  std::size_t pids = 0;
  ::lseek(proc_fd, 0, SEEK_SET);
  for (;;) {
    const ssize_t filled = ::getdents64(proc_fd, buffer.data(), buffer.size());
    if (filled <= 0) return pids;
    for (std::size_t offset = 0; offset < static_cast<std::size_t>(filled);) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + offset);
      offset += entry->d_reclen;
      if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') ++pids;
    }
  }
}

// The floor of a pass: the listing, then what each member's inspection
// reads. Returns the number of processes listed.
std::size_t floor_pass(int proc_fd, const std::vector<int32_t>& members,
                       std::vector<char>& buffer) {
  const std::size_t processes = list_proc(proc_fd, buffer);
  for (const int32_t pid : members) {
    auto dir = platform::ProcessDir::open(pid);
    if (!dir) continue;
    benchmark::DoNotOptimize(dir->read_stat());
    benchmark::DoNotOptimize(dir->read_footprint());
    benchmark::DoNotOptimize(dir->read_stat());
  }
  return processes;
}

void SamplePassVsFloor(benchmark::State& state) {
  const int members = static_cast<int>(state.range(0));
  SleepingProcesses idle(static_cast<int>(state.range(1)), /*new_session=*/true);
  SleepingProcesses group(members, /*new_session=*/false);
  const NativeProcessInventory inventory;
  const auto root = inventory.inspect(group.leader());
  if (!root) {
    state.SkipWithError("cannot inspect the group leader");
    return;
  }
  IdentityTracker tracker = *IdentityTracker::create(root->identity(), group.leader());
  IdentityTracker full_tracker = tracker;
  platform::ProcessTable table;
  Duration now;

  // Warm up (the first pass reads everything) and learn the member pids.
  auto first = inventory.sample_group(tracker, table, now);
  if (!first) {
    state.SkipWithError("the first pass failed");
    return;
  }
  std::vector<int32_t> member_pids;
  for (const ProcessRecord& member : tracker.update(std::move(*first)).members) {
    member_pids.push_back(member.pid);
  }
  (void)full_tracker.update(*inventory.sample_group(full_tracker));
  if (static_cast<int>(member_pids.size()) != members) {
    state.SkipWithError("the group is not complete");
    return;
  }
  const int proc_fd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::vector<char> buffer(64 * 1024);
  std::size_t processes = 0;

  using Clock = std::chrono::steady_clock;
  Clock::duration floor_total{};
  Clock::duration pass_total{};
  Clock::duration full_total{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    processes = floor_pass(proc_fd, member_pids, buffer);
    const auto t1 = Clock::now();
    now = now.saturating_add(Duration::from_millis(10));
    auto probe = inventory.sample_group(tracker, table, now);
    const std::size_t counted = probe ? tracker.update(std::move(*probe)).members.size() : 0;
    const auto t2 = Clock::now();
    auto full_probe = inventory.sample_group(full_tracker);
    if (full_probe) benchmark::DoNotOptimize(full_tracker.update(std::move(*full_probe)));
    const auto t3 = Clock::now();
    floor_total += t1 - t0;
    pass_total += t2 - t1;
    full_total += t3 - t2;
    if (counted != member_pids.size()) {
      state.SkipWithError("a member went missing");
      break;
    }
  }
  ::close(proc_fd);
  const auto micros = [&](Clock::duration total) {
    return std::chrono::duration<double, std::micro>(total).count() /
           static_cast<double>(state.iterations());
  };
  state.counters["floor_us"] = micros(floor_total);
  state.counters["pass_us"] = micros(pass_total);
  state.counters["full_us"] = micros(full_total);
  state.counters["ratio"] = micros(pass_total) / micros(floor_total);
  state.counters["full_ratio"] = micros(full_total) / micros(floor_total);
  state.counters["processes"] = static_cast<double>(processes);
}
BENCHMARK(SamplePassVsFloor)
    ->ArgNames({"members", "idle"})
    ->Args({1, 2000})
    ->Args({50, 2000})
    ->Args({1, 0})
    ->Args({50, 0})
    ->Unit(benchmark::kMicrosecond);

void SharedFamilyPass(benchmark::State& state) {
  const int members = static_cast<int>(state.range(0));
  const uint64_t shared_bytes = static_cast<uint64_t>(state.range(1)) << 20;
  const Duration window = Duration::from_millis(static_cast<uint64_t>(state.range(2)));
  // The sampler's budget: half the window.
  const Duration budget = Duration::from_nanos(window.as_nanos_saturating() /
                                               FootprintSampler::kRefinementBudgetDivisor);
  SleepingProcesses family(members, /*new_session=*/false, shared_bytes);
  const NativeProcessInventory inventory;
  const auto root = inventory.inspect(family.leader());
  if (!root) {
    state.SkipWithError("cannot inspect the family's leader");
    return;
  }
  IdentityTracker tracker = *IdentityTracker::create(root->identity(), family.leader());
  platform::ProcessTable table;
  Duration now;
  auto first = inventory.sample_group(tracker, table, now);
  if (!first) {
    state.SkipWithError("the first pass failed");
    return;
  }
  std::vector<int32_t> member_pids;
  for (const ProcessRecord& member : tracker.update(std::move(*first)).members) {
    member_pids.push_back(member.pid);
  }
  if (static_cast<int>(member_pids.size()) != members) {
    state.SkipWithError("the family is not complete");
    return;
  }
  const int proc_fd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::vector<char> buffer(64 * 1024);
  ShareReadCost cost;
  ShareLedger ledger;

  using Clock = std::chrono::steady_clock;
  Clock::duration floor_total{}, plain_total{}, raw_total{}, refined_total{}, full_total{};
  Clock::duration refined_max{};
  uint64_t refined_members = 0, raw_sum = 0, refined_sum = 0, full_sum = 0;
  std::size_t processes = 0;
  const auto sum_of = [](const GroupInventory& probe) {
    uint64_t sum = 0;
    for (const ProcessRecord& record : probe.records) sum += record.footprint_bytes.value_or(0);
    return sum;
  };
  // One pass through the table; refined at `terms` unless null.
  const auto pass = [&](const RefinementTerms* terms, SharedPages* shared) {
    now = now.saturating_add(Duration::from_millis(10));
    auto probe = inventory.sample_group(tracker, table, now);
    if (probe && terms != nullptr)
      *shared = inventory.refine_shared_pages(&*probe, tracker, *terms, cost, ledger);
    return probe;
  };
  for (auto _ : state) {
    const auto t0 = Clock::now();
    processes = floor_pass(proc_fd, member_pids, buffer);
    const auto t1 = Clock::now();
    SharedPages shared;
    auto plain = pass(nullptr, &shared);
    const auto t2 = Clock::now();
    const RefinementTerms below{.level_bytes = std::numeric_limits<uint64_t>::max()};
    auto raw = pass(&below, &shared);
    const auto t3 = Clock::now();
    if (shared.sharing != 0 || shared.refined != 0) {
      state.SkipWithError("a pass below the level read shares");
      break;
    }
    const RefinementTerms budgeted{.level_bytes = 0, .deadline = cost.now().saturating_add(budget)};
    auto refined = pass(&budgeted, &shared);
    const auto t4 = Clock::now();
    refined_members = shared.read;
    const RefinementTerms unbounded{.level_bytes = 0};
    auto full = pass(&unbounded, &shared);
    const auto t5 = Clock::now();
    if (!plain || !raw || !refined || !full || shared.refined != static_cast<uint32_t>(members)) {
      state.SkipWithError("a pass failed or a member could not be refined");
      break;
    }
    raw_sum = sum_of(*raw);
    refined_sum = sum_of(*refined);
    full_sum = sum_of(*full);
    floor_total += t1 - t0;
    plain_total += t2 - t1;
    raw_total += t3 - t2;
    refined_total += t4 - t3;
    full_total += t5 - t4;
    refined_max = std::max(refined_max, t4 - t3);
  }
  ::close(proc_fd);
  const auto micros = [&](Clock::duration total) {
    return std::chrono::duration<double, std::micro>(total).count() /
           static_cast<double>(state.iterations());
  };
  const auto mib = [](uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); };
  state.counters["floor_us"] = micros(floor_total);
  state.counters["plain_us"] = micros(plain_total);
  state.counters["raw_us"] = micros(raw_total);
  state.counters["refined_us"] = micros(refined_total);
  state.counters["refined_max_ms"] = std::chrono::duration<double, std::milli>(refined_max).count();
  state.counters["window_ms"] = static_cast<double>(window.as_millis_saturating());
  state.counters["refined"] = static_cast<double>(refined_members);
  state.counters["full_us"] = micros(full_total);
  state.counters["raw_mib"] = mib(raw_sum);
  state.counters["refined_mib"] = mib(refined_sum);
  state.counters["full_mib"] = mib(full_sum);
  state.counters["per_gib_ms"] = static_cast<double>(cost.per_gib().as_nanos_saturating()) / 1e6;
  state.counters["processes"] = static_cast<double>(processes);
}
BENCHMARK(SharedFamilyPass)
    ->ArgNames({"members", "mib", "window_ms"})
    ->Args({5, 500, 250})
    ->Args({9, 2048, 250})
    ->Args({9, 2048, 1000})
    ->Iterations(10)
    ->Unit(benchmark::kMicrosecond);

void PassCapacity(benchmark::State& state) {
  const int members = static_cast<int>(state.range(0));
  const Duration interval = Duration::from_millis(static_cast<uint64_t>(state.range(1)));
  const SampleBounds bounds = sample_bounds(interval);
  SleepingProcesses lone(1, /*new_session=*/false);
  SleepingProcesses group(members, /*new_session=*/false);
  const NativeProcessInventory inventory;
  const auto sampler_of = [&](pid_t leader) -> std::optional<FootprintSampler> {
    const auto root = inventory.inspect(leader);
    if (!root) return std::nullopt;
    auto tracker = IdentityTracker::create(root->identity(), leader);
    auto config =
        SamplingConfig::create(interval, bounds.max_sample_age, bounds.max_sample_window, 4096);
    if (!tracker || !config) return std::nullopt;
    return FootprintSampler(*config, std::move(*tracker));
  };
  std::optional<FootprintSampler> one = sampler_of(lone.leader());
  std::optional<FootprintSampler> many = sampler_of(group.leader());
  if (!one || !many) {
    state.SkipWithError("cannot inspect a group's leader");
    return;
  }
  MonotonicRunClock clock;
  // The first pass reads every process on the system; the run's others read
  // what may have changed.
  (void)one->sample_native(clock);
  if (many->sample_native(clock).members.size() != static_cast<std::size_t>(members)) {
    state.SkipWithError("the group is not complete");
    return;
  }
  const auto latency = [](const FootprintSample& sample) {
    return sample.completed_at.saturating_sub(sample.started_at);
  };
  Duration one_total, many_total, many_max;
  for (auto _ : state) {
    one_total = one_total.saturating_add(latency(one->sample_native(clock)));
    const FootprintSample& sample = many->sample_native(clock);
    if (sample.members.size() != static_cast<std::size_t>(members)) {
      state.SkipWithError("a member went missing");
      break;
    }
    many_total = many_total.saturating_add(latency(sample));
    many_max = std::max(many_max, latency(sample));
  }
  const auto ms = [&](Duration total) {
    return static_cast<double>(total.as_nanos_saturating()) / 1e6 /
           static_cast<double>(state.iterations());
  };
  const double one_ms = ms(one_total);
  const double pass_ms = ms(many_total);
  const double per_member_us = (pass_ms - one_ms) * 1000 / (members - 1);
  const double window_ms = static_cast<double>(bounds.max_sample_window.as_millis_saturating());
  state.counters["one_ms"] = one_ms;
  state.counters["pass_ms"] = pass_ms;
  state.counters["pass_max_ms"] = static_cast<double>(many_max.as_nanos_saturating()) / 1e6;
  state.counters["per_member_us"] = per_member_us;
  state.counters["window_ms"] = window_ms;
  state.counters["in_window"] = (window_ms - one_ms) * 1000 / per_member_us;
  std::vector<char> buffer(64 * 1024);
  const int proc_fd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  state.counters["processes"] = static_cast<double>(list_proc(proc_fd, buffer));
  ::close(proc_fd);
}
BENCHMARK(PassCapacity)
    ->ArgNames({"members", "interval_ms"})
    ->Args({2000, 50})
    ->Args({2000, 1000})
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

// The parsing share of a pass: one stat line as the kernel writes it.
void ParseStatLine(benchmark::State& state) {
  const std::string line =
      "27720 (sleep) S 27716 27720 27716 34816 27716 4194304 105 0 0 0 0 0 0 0 20 0 1 0 "
      "977612 5750784 256 18446744073709551615 94713380413440 94713380430401 "
      "140727403286336 0 0 0 0 0 0 0 0 0 17 3 0 0 0 0 0 94713380446704 94713380448016 "
      "94713386094592 140727403290502 140727403290516 140727403290516 140727403294697 0\n";
  for (auto _ : state) {
    auto stat = platform::parse_proc_stat(line);
    benchmark::DoNotOptimize(stat);
  }
}
BENCHMARK(ParseStatLine);

}  // namespace
}  // namespace vek_guard

int main(int argc, char** argv) {
  // Orphans of the benchmark's processes come back to it to be reaped.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
