#include "vek_guard/platform_proc.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "support/process_family.h"
#include "support/temp_dir.h"
#include "vek_guard/identity.h"

namespace vek_guard {
namespace {

using platform::ProcessDir;
using platform::ProcStat;
using test_support::ForkedChild;
using test_support::sleep_forever;

// A stat line as the kernel writes it, with the fields this layer reads.
std::string stat_line(int pid, const std::string& name, char state, int ppid, int pgid,
                      uint64_t start, int threads = 1, uint32_t flags = 0x400000) {
  std::ostringstream out;
  out << pid << " (" << name << ") " << state << ' ' << ppid << ' ' << pgid << " 3309 0 -1 "
      << flags << " 101 0 0 0 0 0 0 0 20 0 " << threads << " 0 " << start
      << " 3133440 417 18446744073709551615 94368182501376 0 0 0 0 0 0 0 0 0 17 3 0 0 0 0 0\n";
  return out.str();
}

TEST(ProcStatParse, ReadsFieldsAfterTheLastParenthesisAndRefusesOtherLayouts) {
  EXPECT_EQ(platform::parse_proc_stat(stat_line(4242, "a b) (c) ) R 7 ", 'S', 17, 99, 66950)),
            (ProcStat{4242, 'S', 17, 99, 66950, 1, 0x400000}));
  EXPECT_TRUE(platform::parse_proc_stat(stat_line(5, "", 'Z', 1, 5, 12))->exited());
  EXPECT_FALSE(platform::parse_proc_stat(stat_line(5, "x", 'R', 1, 5, 12))->exited());
  // A zombie leader whose other threads run on has not exited.
  const auto leader = platform::parse_proc_stat(stat_line(5, "x", 'Z', 1, 5, 12, 3));
  EXPECT_TRUE(!leader->exited() && leader->main_thread_exited());
  // A process whose leader has begun to exit (PF_EXITING) is on its way out,
  // not a zombie yet; a zombie leader carries the flag too, for its own end.
  constexpr uint32_t kExiting = 0x400004;
  EXPECT_TRUE(platform::parse_proc_stat(stat_line(5, "x", 'R', 1, 5, 12, 1, kExiting))->exiting());
  EXPECT_FALSE(platform::parse_proc_stat(stat_line(5, "x", 'R', 1, 5, 12))->exiting());
  EXPECT_FALSE(platform::parse_proc_stat(stat_line(5, "x", 'Z', 1, 5, 12, 3, kExiting))->exiting());
  // A line that ends right after the start time, with or without its line feed.
  const std::string full = stat_line(8, "x", 'S', 1, 8, 700);
  const std::string cut = full.substr(0, full.find(" 700 ") + 4);
  EXPECT_EQ(platform::parse_proc_stat(cut)->start_time, 700u);
  EXPECT_EQ(platform::parse_proc_stat(cut + "\n")->start_time, 700u);

  const std::string good = stat_line(10, "ok", 'S', 1, 10, 500);
  for (const std::string& text : {
           std::string("10 (ok S 1 10"),
           good.substr(0, good.find(" 500")),
           std::string(good).replace(good.find(") S"), 3, ") SS"),
           std::string("10 (ok) S 99999999999 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 500"),
           std::string("10 (ok) S  1 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 500"),
           std::string("10 (ok) S 1 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 \n"),
       }) {
    const auto stat = platform::parse_proc_stat(text);
    EXPECT_TRUE(!stat && stat.error().is_invalid_data()) << text;
  }
}

TEST(StatusParse, SumsAnonymousSharedSwappedAndHugeKilobytesWithoutOverflow) {
  const std::pair<std::string, std::optional<uint64_t>> cases[] = {
      {"RssAnon:\t     148 kB\nRssShmem:\t       4 kB\nVmSwap:\t      10 kB\n", 162u * 1024},
      {"RssAnon:\t     148 kB\nRssShmem:\t       4 kB\nVmSwap:\t      10 kB\n"
       "HugetlbPages:\t   65536 kB\n",
       (162u + 65536u) * 1024},
      {"", 0},  // a zombie or a kernel thread has none of the counters
      {"RssAnon:\t 18014398509481983 kB\n", 18014398509481983ull * 1024},  // the largest sum
      {"RssAnon:\t 18014398509481983 kB\nVmSwap:\t 1 kB\n", std::nullopt},
      {"RssAnon:\t abc kB\n", std::nullopt},
      {"RssAnon:\t 12 MB\n", std::nullopt},
  };
  for (const auto& [counters, expected] : cases) {
    const auto bytes = platform::parse_status_footprint("Name:\tcat\nVmRSS:\t 2008 kB\n" +
                                                        counters + "RssFile:\t 1860 kB\n");
    ASSERT_EQ(bytes.ok(), expected.has_value()) << counters;
    EXPECT_TRUE(bytes ? *bytes == *expected : bytes.error().is_invalid_data()) << counters;
  }
}

// The share needs all three proportional counters: a kernel without
// Pss_Anon, or a process without an address space, has no share to read. The
// private bound takes every shared page, file pages included, from the
// anonymous ones, and needs all three of its counters.
TEST(SmapsRollupParse, SumsTheProportionalCountersAndBoundsThePrivateAnonymousPages) {
  const std::string head =
      "55d0-7ffc ---p 00000000 00:00 0 [rollup]\nRss:\t 1748 kB\nPss:\t 226 kB\n";
  const std::string shared = "Shared_Clean:\t 1592 kB\nShared_Dirty:\t 8 kB\n";
  using Share = platform::ProportionalShare;
  const std::pair<std::string, std::optional<Share>> cases[] = {
      {"Pss_Anon:\t 116 kB\nPss_File:\t 110 kB\nPss_Shmem:\t 4 kB\nSwapPss:\t 10 kB\n" + shared +
           "Private_Clean:\t 40 kB\nPrivate_Dirty:\t 108 kB\nAnonymous:\t 1700 kB\n",
       Share{130u * 1024, 100u * 1024}},
      {"Pss_Anon:\t 116 kB\nPss_Shmem:\t 4 kB\nSwapPss:\t 10 kB\n" + shared +
           "Anonymous:\t 112 kB\n",
       Share{130u * 1024, 0}},
      {"Pss_Anon:\t 116 kB\nPss_Shmem:\t 4 kB\nSwapPss:\t 10 kB\nAnonymous:\t 112 kB\n",
       Share{130u * 1024, 0}},
      {"Pss_File:\t 110 kB\nSwapPss:\t 10 kB\n", std::nullopt},
      {"Pss_Anon:\t 116 kB\nPss_Shmem:\t 4 kB\n", std::nullopt},
      {"Pss_Anon:\t 1x6 kB\nPss_Shmem:\t 4 kB\nSwapPss:\t 10 kB\n", std::nullopt},
  };
  for (const auto& [counters, expected] : cases) {
    const auto share = platform::parse_smaps_rollup_share(head + counters);
    ASSERT_EQ(share.ok(), expected.has_value()) << counters;
    EXPECT_TRUE(share ? *share == *expected : share.error().is_invalid_data()) << counters;
  }
  using Memory = platform::StatusMemory;
  EXPECT_EQ(platform::parse_status_memory("VmRSS:\t 2008 kB\nRssAnon:\t 148 kB\nVmSwap:\t 10 "
                                          "kB\nHugetlbPages:\t 2048 kB\n"),
            (Memory{(148u + 10 + 2048) * 1024, 2048u * 1024, 2018u * 1024}));
  // Without an address space there is nothing to walk.
  EXPECT_TRUE(
      platform::parse_status_memory("Name:\tzombie\nThreads:\t3\n").error().is_invalid_data());
}

// A child forked after its parent populated a mapping shares it until one
// of them writes: each one's own reading counts it whole, their shares
// count it once between them.
TEST(ProcessDir, TheSharesOfAForkedChildAndItsParentCountTheirPagesOnce) {
  constexpr std::size_t kHeld = 32 << 20;
  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  ForkedChild parent([&] {
    if (::mmap(nullptr, kHeld, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
               -1, 0) == MAP_FAILED) {
      return;
    }
    const pid_t forked = ::fork();
    if (forked < 0) return;
    // The grandchild goes with its parent, which the test kills.
    if (forked == 0 && ::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return;
    (void)!::write(ready[1], "x", 1);  // by both
    sleep_forever();
  });
  ::close(ready[1]);
  char both[2];
  ASSERT_EQ(::read(ready[0], both, 1), 1);
  ASSERT_EQ(::read(ready[0], both + 1, 1), 1);
  ::close(ready[0]);
  const auto parent_dir = ProcessDir::open(parent.pid());
  ASSERT_TRUE(parent_dir);
  pid_t child = 0;
  for (int i = 0; i < 500 && child == 0; ++i) {
    std::ifstream children("/proc/" + std::to_string(parent.pid()) + "/task/" +
                           std::to_string(parent.pid()) + "/children");
    if (!(children >> child)) ::usleep(10'000);
  }
  ASSERT_GT(child, 0);
  const auto child_dir = ProcessDir::open(child);
  ASSERT_TRUE(child_dir);
  const uint64_t parent_own = parent_dir->read_footprint().value();
  const uint64_t own = parent_own + child_dir->read_footprint().value();
  const platform::ProportionalShare parent_share = parent_dir->read_proportional_share().value();
  const uint64_t shares =
      parent_share.share_bytes + child_dir->read_proportional_share().value().share_bytes;
  EXPECT_GE(own, 2 * kHeld);
  EXPECT_GE(shares, kHeld);
  // The rest of what they hold is shared too, but a sanitizer's share of it
  // is not known here.
  EXPECT_LE(shares + kHeld, own);
  // What the parent holds alone leaves out what it shares.
  EXPECT_LE(parent_share.private_anon_bytes + kHeld, parent_own);
}

// The creation count comes from the `processes` line of the proc root's
// stat, and only from a proc mount that hides no process: elsewhere a
// process could enter the listing uncounted.
TEST(CreationCount, IsReadFromAProcMountThatHidesNoProcessAndMovesWithEachFork) {
  EXPECT_EQ(platform::parse_creation_count("cpu  1 2\nctxt 9\nprocesses 4242\nprocs_running 1\n"),
            4242u);
  EXPECT_EQ(platform::parse_creation_count("cpu  1 2\nprocs_running 1\n"), std::nullopt);
  EXPECT_EQ(platform::parse_creation_count("cpu  1 2\nprocesses 42x\n"), std::nullopt);

  const std::string other = "21 1 254:1 / / rw,relatime shared:1 - ext4 /dev/vda1 rw\n";
  const std::pair<std::string, bool> mounts[] = {
      {"22 27 0:21 / /proc rw,relatime - proc proc rw\n", true},
      {"22 27 0:21 / /proc rw shared:13 - proc proc rw,hidepid=noaccess\n", true},
      {"22 27 0:21 / /proc rw - proc proc rw,hidepid=1,gid=4\n", true},
      {"22 27 0:21 / /proc rw - proc proc rw,hidepid=invisible\n", false},
      {"22 27 0:21 / /proc rw - proc proc rw,hidepid=2\n", false},
      {"22 27 0:21 / /proc rw - proc proc rw,hidepid=ptraceable\n", false},
      {"22 27 0:21 / /p\\040-\\040x rw - tmpfs tmpfs rw\n", false},
      {"122 27 0:21 / /proc rw - proc proc rw\n", false},  // not the mount asked about
  };
  for (const auto& [line, lists_all] : mounts) {
    EXPECT_EQ(platform::proc_mount_lists_every_process(other + line, 22), lists_all) << line;
  }

  platform::ProcRootSource proc;
  const std::optional<uint64_t> before = proc.creation_count();
  ASSERT_TRUE(before) << "this machine's /proc should count creations";
  ForkedChild child([] {});
  EXPECT_GT(proc.creation_count().value_or(0), *before);
  const test_support::TempDir tree;
  EXPECT_EQ(platform::ProcRootSource(tree.path()).creation_count(), std::nullopt);
}

TEST(ProcessDir, ADescriptorOfAReapedProcessNeverDescribesAnother) {
  ForkedChild child(sleep_forever);
  const pid_t pid = child.pid();
  ASSERT_GT(pid, 0);
  const auto dir = ProcessDir::open(pid);
  ASSERT_TRUE(dir && dir->read_stat());
  child.kill_and_reap();
  EXPECT_EQ(dir->read_stat().error().os_error, ESRCH);
  EXPECT_EQ(dir->read_footprint().error().os_error, ESRCH);
  EXPECT_EQ(dir->read_proportional_share().error().os_error, ESRCH);
  EXPECT_EQ(dir->read_status_memory().error().os_error, ESRCH);
  EXPECT_EQ(NativeProcessInventory().inspect(pid).error(), InspectionError::Missing);
}

TEST(NativeInventory, InspectsTheCallingProcessAndRefusesPidsBelowOne) {
  const NativeProcessInventory inventory;
  const auto record = inventory.inspect(::getpid());
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, (ProcessRecord{record->footprint_bytes, record->start_time, ::getpid(),
                                    ::getppid(), ::getpgrp(), false}));
  EXPECT_GT(record->footprint_bytes.value_or(0), 0u);
  EXPECT_EQ(inventory.inspect_expected({record->pid, record->start_time + 1}).error(),
            InspectionError::IdentityChanged);
  // With a proc root that does not exist, any read would answer Missing.
  const NativeProcessInventory nowhere("/nonexistent-proc-root");
  for (int32_t pid : {0, INT32_MIN}) {
    EXPECT_EQ(nowhere.inspect(pid).error(), InspectionError::InvalidData) << pid;
  }
  EXPECT_EQ(nowhere.inspect(1).error(), InspectionError::Missing);
}

TEST(NativeInventory, AZombieReadsAsExitedWithoutParentOrGroup) {
  ForkedChild child([] {});
  ASSERT_GT(child.pid(), 0);
  siginfo_t info{};  // wait for the exit without reaping it
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child.pid()), &info, WEXITED | WNOWAIT), 0);
  // Linux still reports the zombie's parent and group, but an exited process
  // belongs nowhere any more.
  const auto record = NativeProcessInventory().inspect(child.pid());
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, (ProcessRecord{0, record->start_time, child.pid(), 0, 0, true}));
}

// pthread_exit from main while a worker holds memory: the leader shows 'Z'
// and its own status has no memory counters, yet the process is alive and
// its footprint is the worker's.
TEST(NativeInventory, ALeaderWhoseMainThreadExitedIsAliveWithItsWorkersMemory) {
  constexpr std::size_t kHeld = 16 << 20;
  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  ForkedChild child([&] {
    static int ready_fd;
    ready_fd = ready[1];
    pthread_t worker;
    const auto hold = [](void*) -> void* {
      if (::mmap(nullptr, kHeld, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                 -1, 0) != MAP_FAILED) {
        (void)!::write(ready_fd, "x", 1);
      }
      sleep_forever();
    };
    if (::pthread_create(&worker, nullptr, hold, nullptr) != 0) return;
    // The exit system call ends this thread alone and unwinds nothing.
    ::syscall(SYS_exit, 0);
  });
  ::close(ready[1]);
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  const auto dir = ProcessDir::open(child.pid());
  ASSERT_TRUE(dir);
  for (int i = 0; i < 500 && !dir->read_stat()->main_thread_exited(); ++i) ::usleep(10'000);
  ASSERT_TRUE(dir->read_stat()->main_thread_exited());

  const auto record = NativeProcessInventory().inspect(child.pid());
  ASSERT_TRUE(record);
  EXPECT_FALSE(record->exited);
  EXPECT_EQ(record->ppid, ::getpid());
  EXPECT_GE(record->footprint_bytes.value_or(0), kHeld);
}

}  // namespace
}  // namespace vek_guard
