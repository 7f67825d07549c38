#include "vek_guard/platform_proc.h"

#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/process_family.h"
#include "support/temp_dir.h"
#include "vek_guard/identity.h"

namespace vek_guard {
namespace {

using platform::ProcError;
using platform::ProcessDir;
using platform::ProcessTable;
using platform::ProcStat;
using test_support::ProcessFamily;
using test_support::ReportPipe;
using test_support::sleep_forever;
using test_support::TempDir;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// A stat line as the kernel writes it, with `name` as the command name and
// the fields this layer reads in place.
std::string stat_line(int pid, const std::string& name, char state, int ppid, int pgid,
                      uint64_t start) {
  std::ostringstream out;
  out << pid << " (" << name << ") " << state << ' ' << ppid << ' ' << pgid
      << " 3309 0 -1 4194304 101 0 0 0 0 0 0 0 20 0 1 0 " << start
      << " 3133440 417 18446744073709551615 94368182501376 0 0 0 0 0 0 0 0 0 17 3 0 0 0 0 0\n";
  return out.str();
}

std::string status_text(const std::string& counters) {
  return "Name:\tcat\nUmask:\t0022\nState:\tS (sleeping)\nVmRSS:\t    2008 kB\n" + counters +
         "RssFile:\t    1860 kB\nThreads:\t1\n";
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

// A fake proc tree: <root>/<pid>/stat and status.
void add_fake_process(const TempDir& root, int pid, const std::string& stat,
                      const std::string& status) {
  const std::string dir = root.file(std::to_string(pid));
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  write_file(dir + "/stat", stat);
  write_file(dir + "/status", status);
}

TEST(ProcStatParse, ReadsFieldsAfterTheLastParenthesisOfTheName) {
  const auto stat = platform::parse_proc_stat(stat_line(4242, "a b) (c) ) R 7 ", 'S', 17, 99, 66950));
  ASSERT_TRUE(stat);
  EXPECT_EQ(*stat, (ProcStat{4242, 'S', 17, 99, 66950}));

  const auto zombie = platform::parse_proc_stat(stat_line(5, "", 'Z', 1, 5, 12));
  ASSERT_TRUE(zombie);
  EXPECT_TRUE(zombie->exited());
  EXPECT_TRUE(platform::parse_proc_stat(stat_line(5, "x", 'X', 1, 5, 12))->exited());
  EXPECT_FALSE(platform::parse_proc_stat(stat_line(5, "x", 'R', 1, 5, 12))->exited());

  // A line that ends right after the start time, with or without its line feed.
  const std::string full = stat_line(8, "x", 'S', 1, 8, 700);
  const std::string cut = full.substr(0, full.find(" 700 ") + 4);
  EXPECT_EQ(platform::parse_proc_stat(cut)->start_time, 700u);
  EXPECT_EQ(platform::parse_proc_stat(cut + "\n")->start_time, 700u);
}

TEST(ProcStatParse, RefusesTextThatIsNotAStatLine) {
  const std::string good = stat_line(10, "ok", 'S', 1, 10, 500);
  const std::vector<std::string> bad = {
      "",
      "10 ok) S 1 10",                                 // no opening parenthesis
      "10 (ok S 1 10",                                 // no closing parenthesis
      "x (ok) S 1 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 500",  // pid not a number
      good.substr(0, good.find(" 500")),               // cut before the start time
      stat_line(10, "ok", 'S', 1, 10, 500).replace(good.find(") S"), 3, ") SS"),
      stat_line(10, "ok", 'S', 1, 10, 500).replace(good.find(" 500"), 4, " 5x0"),
      "10 (ok) S 99999999999 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 500",  // ppid beyond 32 bits
      "10 (ok)S 1 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 500",
      // Not the kernel's layout: two spaces, a tab, an empty last field.
      "10 (ok) S  1 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 500",
      "10 (ok) S 1\t10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 500",
      "10 (ok) S 1 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 \n",
  };
  for (const std::string& text : bad) {
    const auto stat = platform::parse_proc_stat(text);
    ASSERT_FALSE(stat) << text;
    EXPECT_TRUE(stat.error().is_invalid_data()) << text;
  }
}

TEST(StatusParse, SumsAnonymousSharedAndSwappedKilobytes) {
  const auto bytes = platform::parse_status_footprint(
      status_text("RssAnon:\t     148 kB\nRssShmem:\t       4 kB\nVmSwap:\t      10 kB\n"));
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, (148u + 4u + 10u) * 1024u);

  // A zombie or a kernel thread has none of the counters.
  EXPECT_EQ(*platform::parse_status_footprint(status_text("")), 0u);
}

TEST(StatusParse, RefusesMalformedOrOverflowingCounters) {
  for (const std::string counters : {"RssAnon:\t abc kB\n", "RssAnon:\t 12 MB\n",
                                     "RssAnon:\t 12\n", "RssAnon:\t 12 kB extra\n",
                                     "VmSwap:\t 18014398509481984 kB\n",
                                     "RssAnon:\t 18014398509481983 kB\nVmSwap:\t 1 kB\n"}) {
    const auto bytes = platform::parse_status_footprint(status_text(counters));
    ASSERT_FALSE(bytes) << counters;
    EXPECT_TRUE(bytes.error().is_invalid_data());
  }
  // The largest sum that fits is fine.
  EXPECT_EQ(*platform::parse_status_footprint("RssAnon:\t 18014398509481983 kB\n"),
            18014398509481983ull * 1024);
}

TEST(ProcessTable, ScansAFakeTreeAndServesBothListings) {
  TempDir root;
  add_fake_process(root, 1, stat_line(1, "init", 'S', 0, 1, 1), status_text(""));
  add_fake_process(root, 20, stat_line(20, "leader", 'S', 1, 20, 5), status_text(""));
  add_fake_process(root, 21, stat_line(21, "kid", 'S', 20, 20, 6), status_text(""));
  add_fake_process(root, 35, stat_line(35, "gone", 'Z', 20, 20, 7), status_text(""));
  add_fake_process(root, 40, stat_line(40, "other", 'S', 21, 40, 8), status_text(""));
  ASSERT_EQ(::mkdir(root.file("self").c_str(), 0700), 0);  // not a pid
  ASSERT_EQ(::mkdir(root.file("77").c_str(), 0700), 0);    // exited before its stat was read

  const auto table = ProcessTable::scan(root.path());
  ASSERT_TRUE(table);
  EXPECT_EQ(table->entries().size(), 5u);

  EXPECT_EQ(table->list_group_pids(20, {}), 3);
  std::vector<int32_t> buffer(3 + 16, 0);
  ASSERT_EQ(table->list_group_pids(20, buffer), 3);
  EXPECT_THAT(std::vector(buffer.begin(), buffer.begin() + 3), ElementsAre(20, 21, 35));
  EXPECT_EQ(table->list_child_pids(20, {}), 2);
  ASSERT_EQ(table->list_child_pids(20, buffer), 2);
  EXPECT_THAT(std::vector(buffer.begin(), buffer.begin() + 2), ElementsAre(21, 35));
  EXPECT_EQ(table->list_child_pids(40, buffer), 0);

  // A buffer too short is filled to its end, which tells the caller the list
  // may have been cut.
  std::vector<int32_t> short_buffer(2, 0);
  EXPECT_EQ(table->list_group_pids(20, short_buffer), 2);
}

TEST(ProcessTable, FailsWithoutARootAndOnAStatThatDoesNotParse) {
  const auto missing = ProcessTable::scan("/nonexistent-proc-root");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().os_error, ESRCH);

  TempDir root;
  add_fake_process(root, 3, "garbage", status_text(""));
  const auto broken = ProcessTable::scan(root.path());
  ASSERT_FALSE(broken);
  EXPECT_TRUE(broken.error().is_invalid_data());
}

TEST(ProcessDir, ADescriptorOfAReapedProcessNeverDescribesAnother) {
  ProcessFamily family;
  const pid_t child = family.fork_child(sleep_forever);
  ASSERT_GT(child, 0);
  const auto dir = ProcessDir::open(child);
  ASSERT_TRUE(dir);
  ASSERT_TRUE(dir->read_stat());

  family.kill_and_reap(child);
  const auto stat = dir->read_stat();
  ASSERT_FALSE(stat);
  EXPECT_EQ(stat.error().os_error, ESRCH);
  EXPECT_EQ(dir->read_footprint().error().os_error, ESRCH);
  EXPECT_EQ(NativeProcessInventory().inspect(child).error(), InspectionError::Missing);
}

// ---------------------------------------------------------------------------
// The inventory on real processes.

std::optional<ProcessRecord> inspect_ok(int32_t pid) {
  auto record = NativeProcessInventory().inspect(pid);
  if (!record) return std::nullopt;
  return *record;
}

TEST(NativeInventory, InspectsTheCallingProcess) {
  const NativeProcessInventory inventory;
  const auto record = inventory.inspect(::getpid());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->pid, ::getpid());
  EXPECT_EQ(record->ppid, ::getppid());
  EXPECT_EQ(record->pgid, ::getpgrp());
  EXPECT_FALSE(record->exited);
  EXPECT_NE(record->start_time, 0u);
  ASSERT_TRUE(record->footprint_bytes);
  EXPECT_GT(*record->footprint_bytes, 0u);

  EXPECT_TRUE(inventory.inspect_expected(record->identity()));
  EXPECT_EQ(inventory.inspect_expected({record->pid, record->start_time + 1}).error(),
            InspectionError::IdentityChanged);
  EXPECT_TRUE(inventory.probe_footprint());
}

TEST(NativeInventory, PidsBelowOneAreInvalidWithoutReadingAnything) {
  // With a proc root that does not exist, any read would answer Missing.
  const NativeProcessInventory nowhere("/nonexistent-proc-root");
  EXPECT_EQ(nowhere.inspect(0).error(), InspectionError::InvalidData);
  EXPECT_EQ(nowhere.inspect(-1).error(), InspectionError::InvalidData);
  EXPECT_EQ(nowhere.inspect(INT32_MIN).error(), InspectionError::InvalidData);
  EXPECT_EQ(nowhere.inspect(1).error(), InspectionError::Missing);
  EXPECT_TRUE(ProcessDir::open(0, "/nonexistent-proc-root").error().is_invalid_data());
  // Without /proc there is no footprint to observe.
  EXPECT_EQ(nowhere.probe_footprint().error(), InspectionError::Missing);
}

TEST(NativeInventory, AZombieReadsAsExitedWithoutParentOrGroup) {
  ProcessFamily family;
  const pid_t child = family.fork_child([] {});
  ASSERT_GT(child, 0);
  // Wait (bounded) for the exit without reaping it.
  siginfo_t info{};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (info.si_pid != child && std::chrono::steady_clock::now() < deadline) {
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT | WNOHANG), 0);
    if (info.si_pid != child) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(info.si_pid, child);

  // Linux itself still reports the zombie's real parent and group...
  const auto raw = ProcessDir::open(child)->read_stat();
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->state, 'Z');
  EXPECT_EQ(raw->ppid, ::getpid());
  EXPECT_EQ(raw->pgid, ::getpgrp());

  // ...but an exited process belongs nowhere any more: 0 and 0.
  const auto record = inspect_ok(child);
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, (ProcessRecord{.footprint_bytes = 0,
                                    .start_time = raw->start_time,
                                    .pid = child,
                                    .ppid = 0,
                                    .pgid = 0,
                                    .exited = true}));
}

// Sum of RssAnon, RssShmem and VmSwap in /proc/PID/status, read independently
// of the layer's parser.
uint64_t status_footprint_by_hand(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  uint64_t total_kb = 0;
  while (std::getline(in, line)) {
    unsigned long long kb = 0;
    if (std::sscanf(line.c_str(), "RssAnon: %llu kB", &kb) == 1 ||
        std::sscanf(line.c_str(), "RssShmem: %llu kB", &kb) == 1 ||
        std::sscanf(line.c_str(), "VmSwap: %llu kB", &kb) == 1) {
      total_kb += kb;
    }
  }
  return total_kb * 1024;
}

TEST(NativeInventory, TouchedAllocationShowsInTheFootprint) {
  constexpr std::size_t kSize = 64u << 20;
  ProcessFamily family;
  ReportPipe ready;
  ReportPipe go;
  const pid_t child = family.fork_child([&] {
    ready.send(0);
    if (!go.receive()) return;
    void* memory = ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                          -1, 0);
    if (memory == MAP_FAILED) return;
    auto* bytes = static_cast<volatile unsigned char*>(memory);
    for (std::size_t i = 0; i < kSize; i += 4096) bytes[i] = 1;
    ready.send(1);
    sleep_forever();
  });
  ASSERT_GT(child, 0);
  ASSERT_EQ(ready.receive(), 0);
  const auto before = inspect_ok(child);
  ASSERT_TRUE(before && before->footprint_bytes);

  go.send(1);
  ASSERT_EQ(ready.receive(), 1);
  const auto after = inspect_ok(child);
  ASSERT_TRUE(after && after->footprint_bytes);
  EXPECT_GE(*after->footprint_bytes, *before->footprint_bytes + kSize);
  EXPECT_EQ(*after->footprint_bytes, status_footprint_by_hand(child));
  EXPECT_EQ(after->start_time, before->start_time);
}

// A group leader with three children, one of which has a child of its own;
// every member reports its pid.
struct ForkedGroup {
  pid_t leader = 0;
  std::vector<int32_t> members;  // sorted, leader included
};

ForkedGroup fork_group(ProcessFamily& family, ReportPipe& pids) {
  ForkedGroup group;
  group.leader = family.fork_child([&] {
    ::setpgid(0, 0);
    pids.send(::getpid());
    for (int i = 0; i < 3; ++i) {
      if (::fork() == 0) {
        if (i == 0 && ::fork() == 0) {
          pids.send(::getpid());
          sleep_forever();
        }
        pids.send(::getpid());
        sleep_forever();
      }
    }
    sleep_forever();
  });
  for (int i = 0; i < 5; ++i) {
    const auto pid = pids.receive();
    if (!pid) break;
    group.members.push_back(*pid);
  }
  std::sort(group.members.begin(), group.members.end());
  return group;
}

TEST(NativeInventory, ListsEveryMemberOfAForkedGroup) {
  ProcessFamily family;
  ReportPipe pids;
  const ForkedGroup group = fork_group(family, pids);
  ASSERT_EQ(group.members.size(), 5u);

  const auto table = ProcessTable::scan();
  ASSERT_TRUE(table);
  std::vector<int32_t> listed(5 + 16, 0);
  ASSERT_EQ(table->list_group_pids(group.leader, listed), 5);
  listed.resize(5);
  EXPECT_THAT(listed, ElementsAreArray(group.members));

  const NativeProcessInventory inventory;
  const auto candidates = inventory.list_group_candidates({}, group.leader, group.leader);
  ASSERT_TRUE(candidates);
  EXPECT_THAT(*candidates, ElementsAreArray(group.members));

  const GroupInventory members = inventory.inspect_members(*candidates);
  EXPECT_TRUE(members.failures.empty());
  ASSERT_EQ(members.records.size(), 5u);
  for (const ProcessRecord& record : members.records) {
    EXPECT_EQ(record.pgid, group.leader);
    EXPECT_FALSE(record.exited);
  }
}

TEST(NativeInventory, AChildThatLeavesTheGroupIsSeenEscaping) {
  ProcessFamily family;
  ReportPipe pids;
  ReportPipe go;
  const pid_t leader = family.fork_child([&] {
    ::setpgid(0, 0);
    if (::fork() == 0) {
      pids.send(::getpid());
      if (!go.receive()) ::_exit(1);
      ::setpgid(0, 0);
      pids.send(::getpid());
      sleep_forever();
    }
    sleep_forever();
  });
  ASSERT_GT(leader, 0);
  const auto child = pids.receive();
  ASSERT_TRUE(child);

  const NativeProcessInventory inventory;
  const auto root = inventory.inspect(leader);
  ASSERT_TRUE(root);
  auto tracker = IdentityTracker::create(root->identity(), leader);
  ASSERT_TRUE(tracker);

  auto first = sample_group(*tracker, inventory);
  ASSERT_TRUE(first);
  const IdentityUpdate joined = tracker->update(std::move(*first));
  ASSERT_EQ(joined.members.size(), 2u);
  EXPECT_EQ(joined.members[1].pid, *child);
  EXPECT_TRUE(joined.events.empty());

  go.send(1);
  ASSERT_EQ(pids.receive(), child);
  auto second = sample_group(*tracker, inventory);
  ASSERT_TRUE(second);
  const IdentityUpdate left = tracker->update(std::move(*second));
  ASSERT_EQ(left.members.size(), 1u);
  EXPECT_EQ(left.members[0].pid, leader);
  ASSERT_EQ(left.events.size(), 1u);
  const auto* escaped = std::get_if<IdentityEvent::Escaped>(&left.events[0].value);
  ASSERT_NE(escaped, nullptr);
  EXPECT_EQ(escaped->identity, joined.members[1].identity());
  EXPECT_EQ(escaped->pgid, *child);
  EXPECT_TRUE(left.escaped);
  EXPECT_EQ(tracker->escaped_count(), 1u);
}

}  // namespace
}  // namespace vek_guard
