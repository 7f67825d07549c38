#include "vek_guard/platform_proc.h"

#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
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

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// A fake proc tree: <root>/<pid>/stat and status.
void add_fake_process(const TempDir& root, int pid, const std::string& stat,
                      const std::string& status) {
  const std::string dir = root.file(std::to_string(pid));
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  write_file(dir + "/stat", stat);
  write_file(dir + "/status", status);
}

TEST(ProcStatParse, ReadsFieldsAfterTheLastParenthesisOfTheName) {
  const auto stat =
      platform::parse_proc_stat(stat_line(4242, "a b) (c) ) R 7 ", 'S', 17, 99, 66950));
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
      "10 ok) S 1 10",                                      // no opening parenthesis
      "10 (ok S 1 10",                                      // no closing parenthesis
      "x (ok) S 1 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 500",  // pid not a number
      good.substr(0, good.find(" 500")),                    // cut before the start time
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

TEST(StatusParse, SumsAnonymousSharedAndSwappedKilobytesWithoutOverflow) {
  const std::pair<std::string, std::optional<uint64_t>> cases[] = {
      {"RssAnon:\t     148 kB\nRssShmem:\t       4 kB\nVmSwap:\t      10 kB\n", 162u * 1024},
      {"", 0},  // a zombie or a kernel thread has none of the counters
      {"RssAnon:\t 18014398509481983 kB\n", 18014398509481983ull * 1024},  // the largest sum
      {"RssAnon:\t 18014398509481983 kB\nVmSwap:\t 1 kB\n", std::nullopt},
      {"VmSwap:\t 18014398509481984 kB\n", std::nullopt},
      {"RssAnon:\t abc kB\n", std::nullopt},
      {"RssAnon:\t 12 MB\n", std::nullopt},
      {"RssAnon:\t 12\n", std::nullopt},
      {"RssAnon:\t 12 kB extra\n", std::nullopt},
  };
  for (const auto& [counters, expected] : cases) {
    const auto bytes = platform::parse_status_footprint(status_text(counters));
    ASSERT_EQ(bytes.ok(), expected.has_value()) << counters;
    EXPECT_TRUE(bytes ? *bytes == *expected : bytes.error().is_invalid_data()) << counters;
  }
}

TEST(ProcessTable, ScansAFakeTreeServesBothListingsAndRefusesGarbage) {
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

  // One stat that does not parse fails the scan, as does a missing root.
  add_fake_process(root, 3, "garbage", status_text(""));
  EXPECT_TRUE(ProcessTable::scan(root.path()).error().is_invalid_data());
  EXPECT_EQ(ProcessTable::scan("/nonexistent-proc-root").error().os_error, ESRCH);
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

TEST(NativeInventory, InspectsTheCallingProcessAndRefusesPidsBelowOne) {
  const NativeProcessInventory inventory;
  const auto record = inventory.inspect(::getpid());
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, (ProcessRecord{record->footprint_bytes, record->start_time, ::getpid(),
                                    ::getppid(), ::getpgrp(), false}));
  EXPECT_NE(record->start_time, 0u);
  EXPECT_GT(record->footprint_bytes.value_or(0), 0u);
  EXPECT_TRUE(inventory.inspect_expected(record->identity()));
  EXPECT_EQ(inventory.inspect_expected({record->pid, record->start_time + 1}).error(),
            InspectionError::IdentityChanged);
  EXPECT_TRUE(inventory.probe_footprint());

  // With a proc root that does not exist, any read would answer Missing.
  const NativeProcessInventory nowhere("/nonexistent-proc-root");
  for (int32_t pid : {0, -1, INT32_MIN}) {
    EXPECT_EQ(nowhere.inspect(pid).error(), InspectionError::InvalidData) << pid;
  }
  EXPECT_EQ(nowhere.inspect(1).error(), InspectionError::Missing);
  EXPECT_TRUE(ProcessDir::open(0, "/nonexistent-proc-root").error().is_invalid_data());
  EXPECT_EQ(nowhere.probe_footprint().error(), InspectionError::Missing);
}

TEST(NativeInventory, AZombieReadsAsExitedWithoutParentOrGroup) {
  ProcessFamily family;
  const pid_t child = family.fork_child([] {});
  ASSERT_GT(child, 0);
  siginfo_t info{};  // wait for the exit without reaping it
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);

  // Linux itself still reports the zombie's real parent and group...
  const auto raw = ProcessDir::open(child)->read_stat();
  ASSERT_TRUE(raw);
  EXPECT_EQ(*raw, (ProcStat{child, 'Z', ::getpid(), ::getpgrp(), raw->start_time}));
  // ...but an exited process belongs nowhere any more: 0 and 0.
  EXPECT_EQ(inspect_ok(child), (ProcessRecord{.footprint_bytes = 0,
                                              .start_time = raw->start_time,
                                              .pid = child,
                                              .ppid = 0,
                                              .pgid = 0,
                                              .exited = true}));
}

TEST(NativeInventory, TouchedAllocationShowsInTheFootprint) {
  constexpr std::size_t kSize = 64u << 20;
  ProcessFamily family;
  ReportPipe ready;
  const pid_t child = family.fork_child([&] {
    void* memory =
        ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return;
    auto* bytes = static_cast<volatile unsigned char*>(memory);
    for (std::size_t i = 0; i < kSize; i += 4096) bytes[i] = 1;
    ready.send(1);
    sleep_forever();
  });
  ASSERT_GT(child, 0);
  ASSERT_EQ(ready.receive(), 1);
  const auto record = inspect_ok(child);
  ASSERT_TRUE(record && record->footprint_bytes);
  EXPECT_GE(*record->footprint_bytes, kSize);
}

}  // namespace
}  // namespace vek_guard
