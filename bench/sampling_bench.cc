// Cost of one sampling pass against the live system, next to its floor.
//
// A pass cannot cost less than reading every process's stat (the kernel has
// no list of a group's members, so the whole table is scanned) plus one
// status read per member (the footprint). SamplePassVsFloor times both on
// the same group in alternation, so drift in the machine's load touches both
// alike, and reports:
//   floor_us    the floor, microseconds per pass
//   pass_us     FootprintSampler::sample_native, microseconds per pass
//   ratio       pass_us / floor_us
//   processes   processes on the system during the run
//
// The group is the benchmark's own: a leader in a new process group and
// members-1 children sleeping in it, killed and reaped at the end.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "vek_guard/identity.h"
#include "vek_guard/platform_proc.h"
#include "vek_guard/sampling.h"

namespace vek_guard {
namespace {

// A process group of `members` sleeping processes.
class SleepingGroup {
 public:
  explicit SleepingGroup(int members) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    leader_ = ::fork();
    if (leader_ == 0) {
      ::setpgid(0, 0);
      for (int i = 1; i < members; ++i) {
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
    ::setpgid(leader_, leader_);
    char byte = 0;
    for (int i = 0; i < members; ++i) {
      if (::read(fds[0], &byte, 1) != 1) break;
    }
    ::close(fds[0]);
  }

  ~SleepingGroup() {
    if (leader_ <= 0) return;
    ::kill(-leader_, SIGKILL);
    ::waitpid(leader_, nullptr, 0);
  }

  SleepingGroup(const SleepingGroup&) = delete;
  SleepingGroup& operator=(const SleepingGroup&) = delete;

  pid_t leader() const { return leader_; }

 private:
  pid_t leader_ = -1;
};

std::size_t read_file_at(int dirfd, const char* name, std::vector<char>& buffer) {
  const int fd = ::openat(dirfd, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::size_t total = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n <= 0) break;
    total += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return total;
}

std::vector<std::string> pid_names() {
  std::vector<std::string> names;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  return names;
}

// One read of every /proc/PID/stat (listing /proc included) and one
// /proc/PID/status per member.
std::size_t floor_pass(const std::vector<int32_t>& members, std::vector<char>& buffer) {
  std::size_t bytes = 0;
  const int proc_fd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = ::fdopendir(proc_fd);
  char path[sizeof(dirent::d_name) + 16];
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    std::snprintf(path, sizeof path, "%s/stat", entry->d_name);
    bytes += read_file_at(proc_fd, path, buffer);
  }
  ::closedir(dir);
  for (const int32_t pid : members) {
    std::snprintf(path, sizeof path, "/proc/%d/status", pid);
    bytes += read_file_at(AT_FDCWD, path, buffer);
  }
  return bytes;
}

void SamplePassVsFloor(benchmark::State& state) {
  const int members = static_cast<int>(state.range(0));
  SleepingGroup group(members);
  const NativeProcessInventory inventory;
  const auto root = inventory.inspect(group.leader());
  if (!root) {
    state.SkipWithError("cannot inspect the group leader");
    return;
  }
  FootprintSampler sampler(
      *SamplingConfig::create(Duration::from_millis(10), Duration::from_secs(1),
                              Duration::from_secs(1), 4096),
      *IdentityTracker::create(root->identity(), group.leader()));
  const MonotonicInstant start = MonotonicInstant::now();

  // Warm up and learn the member pids for the floor.
  const FootprintSample& first = sampler.sample_native(start);
  std::vector<int32_t> member_pids;
  for (const MemberFootprint& member : first.members) member_pids.push_back(member.pid);
  if (static_cast<int>(member_pids.size()) != members) {
    state.SkipWithError("the group is not complete");
    return;
  }
  std::vector<char> buffer(4096);

  using Clock = std::chrono::steady_clock;
  Clock::duration floor_total{};
  Clock::duration pass_total{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(floor_pass(member_pids, buffer));
    const auto t1 = Clock::now();
    const FootprintSample& sample = sampler.sample_native(start);
    benchmark::DoNotOptimize(&sample);
    const auto t2 = Clock::now();
    floor_total += t1 - t0;
    pass_total += t2 - t1;
    if (sample.members.size() != member_pids.size()) {
      state.SkipWithError("a member went missing");
      break;
    }
  }
  const double iterations = static_cast<double>(state.iterations());
  const double floor_us =
      std::chrono::duration<double, std::micro>(floor_total).count() / iterations;
  const double pass_us = std::chrono::duration<double, std::micro>(pass_total).count() / iterations;
  state.counters["floor_us"] = floor_us;
  state.counters["pass_us"] = pass_us;
  state.counters["ratio"] = pass_us / floor_us;
  state.counters["processes"] = static_cast<double>(pid_names().size());
}
BENCHMARK(SamplePassVsFloor)->Arg(1)->Arg(10)->Arg(50)->Unit(benchmark::kMicrosecond);

// The parsing share of a scan: one stat line as the kernel writes it, parsed
// once per process and pass.
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

BENCHMARK_MAIN();
