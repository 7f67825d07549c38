// Hostile surroundings of a real vek-guard run: entries planted at the names
// the run writes, report files of another user, a checkpoint client that does
// not hold the nonce, and descriptors that must not leak into the command.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/e2e.h"
#include "support/file_state.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard {
namespace {

using test_support::exists;
using test_support::read_file;
using test_support::run_argv;
using test_support::RunArea;
using test_support::RunSpec;
using test_support::SubprocessResult;
using ::testing::HasSubstr;

std::string helper(const char* name) {
  return test_support::helper_path(VEK_GUARD_HELPER_DIR, name);
}

// Type, mode, owner, and a link's target, a directory's names or a file's
// contents: compared before and after a run to show it was left alone.
std::string state_of(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "absent";
  std::string state = std::to_string(st.st_mode) + " uid " + std::to_string(st.st_uid) + " ";
  if (S_ISLNK(st.st_mode)) return state + std::filesystem::read_symlink(path).string();
  if (S_ISDIR(st.st_mode)) {
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
      state += entry.path().filename().string() + " ";
    }
  }
  return S_ISREG(st.st_mode) ? state + read_file(path) : state;
}

// A link is never followed, a fifo never opened (the run would hang), and a
// regular file the run did not make is never replaced.
enum class Planted { kLink, kDanglingLink, kFifo, kStaleFile, kForeignFile };

// Puts `what` at `entry` (a link to `bait`, outside the report directory);
// false when another user's file cannot be made (no root).
bool plant(Planted what, const std::string& entry, const std::string& bait) {
  if (what == Planted::kFifo) return ::mkfifo(entry.c_str(), 0600) == 0;
  if (what == Planted::kLink || what == Planted::kDanglingLink)
    return ::symlink(bait.c_str(), entry.c_str()) == 0;
  return test_support::write_file(entry, "{\"owner\": \"someone else\"}\n") &&
         (what == Planted::kStaleFile || test_support::give_to_other_user(entry));
}

// Planted before the run, or at the report's name after the run's checks at
// the start (publication itself must not follow or replace it either).
TEST(PlantedEntry, IsNeverFollowedOpenedNorReplaced) {
  struct Case {
    std::string name;
    Planted what;
    bool during;
    const char* message;  // the run's last diagnostic line
    bool command_runs;    // false when the run ends before the launch
  };
  const char* unsafe = "artifact output target is unsafe";
  const std::vector<Case> cases = {
      {"report.json", Planted::kLink, false, "artifact target path is invalid", false},
      {"report.json", Planted::kForeignFile, false, unsafe, false},
      {".report.json.journal", Planted::kDanglingLink, false, "journal target already exists",
       false},
      {".report.json.journal", Planted::kFifo, false, "journal target already exists", false},
      // A crashed run's temporary report is found before the launch, and
      // once more at publication when it appears during the run.
      {".report.json.tmp", Planted::kFifo, false, unsafe, false},
      {".report.json.tmp", Planted::kStaleFile, false, unsafe, false},
      {".report.json.tmp", Planted::kStaleFile, true, unsafe, true},
      // A linked report directory would put every file wherever it points.
      {"reports", Planted::kLink, false, "artifact directory is not private and owned", false},
      {"report.json", Planted::kLink, true, unsafe, true},
      {"report.json", Planted::kForeignFile, true, unsafe, true}};
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name + " as kind " + std::to_string(static_cast<int>(row.what)) +
                 (row.during ? " during the run" : ""));
    RunArea area;
    const test_support::TempDir outside;
    const bool dir = row.name == "reports";
    const std::string entry = area.file(row.name);
    const std::string bait = dir ? outside.path() : outside.file("precious");
    if (row.what == Planted::kLink && !dir) {
      ASSERT_TRUE(test_support::write_file(bait, "precious\n"));
    }
    const std::string go = area.file("go"), launched = area.file("launched");
    if (!row.during && !plant(row.what, entry, bait)) continue;
    test_support::Subprocess run = test_support::Subprocess::start(
        {.argv = run_argv(
             VEK_GUARD_BINARY, dir ? entry + "/report.json" : area.report_path(),
             RunSpec{.command = {helper("stubborn"), "--wait-for-file", go, "--ready-file",
                                 launched, "--exit-when-ready", "0", "--max-seconds", "30"}})});
    if (row.during) {
      // The journal exists once the report target has been checked.
      EXPECT_TRUE(test_support::eventually([&] { return exists(area.journal_path()); },
                                           std::chrono::seconds(10)));
      if (!plant(row.what, entry, bait)) continue;
    }
    const std::string planted = state_of(entry) + " | " + state_of(bait);
    ASSERT_TRUE(test_support::write_file(go, ""));
    const SubprocessResult result = run.wait(std::chrono::seconds(30));

    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 74) << result.stderr_text;
    EXPECT_THAT(result.stderr_text, HasSubstr(std::string("vek-guard: ") + row.message + "\n"));
    EXPECT_EQ(exists(launched), row.command_runs);
    EXPECT_EQ(state_of(entry) + " | " + state_of(bait), planted);
    if (!row.command_runs) continue;
    // Only publication failed: the complete journal is kept for recovery.
    const auto journal = test_support::read_journal_file(area.journal_path());
    ASSERT_TRUE(journal);
    EXPECT_TRUE(journal->to_report().ok());
  }
}

// A client grows past a 256 MiB limit but stays inside the emergency band,
// so the run asks for a checkpoint and waits out its timeout: an
// acknowledgement without the nonce must not count.
TEST(CheckpointNonce, AnAcknowledgementWithoutItIsNotAccepted) {
  RunArea area;
  const std::string request_file = area.file("request");
  const SubprocessResult result = test_support::run_subprocess(
      {.argv = run_argv(
           VEK_GUARD_BINARY, area.report_path(),
           RunSpec{.max_footprint = "256MiB",
                   .options = {"--checkpoint-timeout", "500ms"},
                   .command = {helper("actor"), "grow", "--client", "wrong-nonce", "--allocate",
                               "201326592", "--step", "8388608", "--max", "274726912", "--hold-ms",
                               "30000", "--request", request_file}})});
  EXPECT_EQ(result.exit_code, 75) << result.stderr_text;
  EXPECT_THAT(read_file(request_file), HasSubstr("request_id "))
      << "the client never received the request";
  const nlohmann::json report = test_support::published_report(area);
  EXPECT_EQ(report["checkpoint"].value("status", ""), "timed_out");
  // Terminated after the timeout, not killed at once for lack of room.
  EXPECT_EQ(test_support::signal_rows(report),
            (std::vector<test_support::SignalRow>{
                {SIGUSR1, "cooperative_endpoint", "delivered", "footprint"},
                {SIGTERM, "owned_process_group", "delivered", "footprint"}}));
}

// The command runs as the same user and may write beside its report: it
// replaces its run's journal with another run's clean one, by copying that
// over it or by renaming a copy over its name, then outgrows its limit. The
// other run's report must not be published as this one's: publication fails
// as for a journal that does not read back.
TEST(SwappedJournal, NeverYieldsAnotherRunsReport) {
  RunArea earlier;
  ASSERT_EQ(test_support::run_subprocess({.argv = run_argv(VEK_GUARD_BINARY, earlier.report_path(),
                                                           RunSpec{.command = {"/bin/true"}})})
                .exit_code,
            0);
  ASSERT_TRUE(test_support::published_report(earlier).is_object());
  const std::vector<std::string> swaps = {R"(cp "$1" "$2")",
                                          R"(cp "$1" "$2.new" && mv "$2.new" "$2")"};
  for (const std::string& swap : swaps) {
    SCOPED_TRACE(swap);
    RunArea area;
    const SubprocessResult result = test_support::run_subprocess(
        {.argv =
             run_argv(VEK_GUARD_BINARY, area.report_path(),
                      RunSpec{.max_footprint = "64MiB",
                              .command = {"/bin/sh", "-c",
                                          swap + " && exec \"$3\" grow "
                                                 "--step 4194304 --max 68157440 --hold-ms 30000",
                                          "sh", earlier.journal_path(), area.journal_path(),
                                          helper("actor")}})},
        std::chrono::seconds(60));
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 74);
    EXPECT_EQ(result.stdout_text, "");
    EXPECT_THAT(result.stderr_text,
                ::testing::EndsWith("\nvek-guard: journal record is invalid\n"));
    EXPECT_FALSE(exists(area.report_path()));
  }
}

// The supervisor's own descriptors (journal, directory, signal pipe, pidfd,
// the readiness descriptor handed to it...) must not reach the command; a run
// adds only the checkpoint socket at 198. What it merely inherited passes.
TEST(CommandDescriptors, OnlyStandardIoThe198SocketAndInheritedOnesReachTheCommand) {
  const UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const UniqueFd inherited(::fcntl(null.get(), F_DUPFD, 40));  // without close-on-exec
  ASSERT_TRUE(inherited.valid());
  const int passed = inherited.get();
  for (const bool run_mode : {true, false}) {
    SCOPED_TRACE(run_mode ? "run" : "observe");
    RunArea area;
    const std::string described = area.file("described");
    test_support::ReadinessPipe ready;
    std::vector<std::string> argv = {VEK_GUARD_BINARY, "observe"};
    if (run_mode) argv = {VEK_GUARD_BINARY, "run", "--max-footprint", "1GiB"};
    argv.insert(argv.end(),
                {"--report", area.report_path(), "--client-ready-fd",
                 std::to_string(ready.write_fd()), "--", helper("describe"), described});
    test_support::Subprocess run =
        test_support::Subprocess::start({.argv = argv, .inherit_fds = {passed, ready.write_fd()}});
    ready.close_write();
    ASSERT_EQ(run.wait(std::chrono::seconds(30)).exit_code, 0);
    // The describe helper lists "fd <n> cloexec=<0|1> <target>" in numeric order.
    const std::string text = read_file(described);
    std::string numbers;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("fd ")) numbers += line.substr(3, line.find(' ', 3) - 3) + " ";
    }
    const std::string p = std::to_string(passed);
    EXPECT_EQ(numbers, "0 1 2 " + p + (run_mode ? " 198 " : " ")) << text;
    EXPECT_THAT(text, HasSubstr("fd " + p + " cloexec=0 /dev/null\n"));
    EXPECT_EQ(run_mode, text.find("fd 198 cloexec=0 socket:") != std::string::npos);
  }
}

constexpr char kLastPid[] = "/proc/sys/kernel/ns_last_pid";

// A process of the test's own, outside any supervision, that takes the pid
// `wanted` the moment nothing holds it any more (no process, no group), by
// setting the last pid handed out to the one before it, then makes itself
// the leader of a new group, whose id is that pid, and waits (60 s at most).
// While it waits for the pid it reaps `orphan` as soon as that ends, as an
// init that reaps at once would (the test must have adopted it).
class PidTaker {
 public:
  // Why pids cannot be taken here, or nothing.
  static std::optional<std::string> unavailable() {
    if (::geteuid() != 0) return "taking a pid needs root";
    if (::access(kLastPid, W_OK) != 0) return std::string(kLastPid) + " is not writable";
    return std::nullopt;
  }

  PidTaker(pid_t wanted, pid_t orphan) : wanted_(wanted), orphan_(orphan) {
    thread_ = std::thread([this] { take(); });
  }
  ~PidTaker() {
    stop_ = true;
    thread_.join();
    if (const pid_t stranger = stranger_; stranger > 0) {
      ::kill(stranger, SIGKILL);
      ::waitpid(stranger, nullptr, 0);
    }
  }
  PidTaker(const PidTaker&) = delete;
  PidTaker& operator=(const PidTaker&) = delete;

  // The process that took the pid, once it has (waiting up to `timeout`), or
  // 0 when another one took it first.
  pid_t stranger(std::chrono::milliseconds timeout) const {
    test_support::eventually([&] { return stranger_ > 0; }, timeout);
    return stranger_;
  }

 private:
  void take() {
    while (!stop_) {
      if (orphan_ > 0 && ::waitpid(orphan_, nullptr, WNOHANG) == orphan_) orphan_ = 0;
      const bool free = ::kill(wanted_, 0) != 0 && errno == ESRCH && ::kill(-wanted_, 0) != 0 &&
                        errno == ESRCH && orphan_ == 0;
      if (!free) {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
        continue;
      }
      if (!hand_out_next(wanted_)) return;
      const pid_t child = ::fork();
      if (child == 0) {
        if (::getpid() != wanted_) ::_exit(0);
        ::setpgid(0, 0);
        ::alarm(60);
        for (;;) ::pause();
      }
      if (child == wanted_) {
        stranger_ = child;
        return;
      }
      if (child > 0) ::waitpid(child, nullptr, 0);
    }
  }

  // Makes `pid` the next pid handed out, when it is free.
  static bool hand_out_next(pid_t pid) {
    const UniqueFd last(::open(kLastPid, O_WRONLY | O_CLOEXEC));
    const std::string before = std::to_string(pid - 1);
    return last.valid() &&
           ::write(last.get(), before.data(), before.size()) == static_cast<ssize_t>(before.size());
  }

  const pid_t wanted_;
  pid_t orphan_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<pid_t> stranger_{0};
};

// Once the root has exited its pid is free for the taking, and with it the id
// of its group: a process that takes it and makes itself a group leader
// outside the command must never get a signal meant for the command's group,
// neither the kill at the end of a run nor a root-exit cleanup. The root's pid
// is to stay taken until the supervisor has sent the group its last signal.
TEST(PidReuse, AProcessThatTakesTheRootsPidIsNeverSignalled) {
  if (const std::optional<std::string> why = PidTaker::unavailable()) GTEST_SKIP() << *why;
  const test_support::OrphanAdoption adoption;  // members left by a root end here
  struct Row {
    const char* what;
    bool observe;
    bool member;  // the root leaves a member, which the cleanup's SIGTERM ends
    std::vector<test_support::SignalRow> signals;
  };
  const std::vector<Row> rows = {
      {"end of a run", false, false, {}},
      {"end of an observation", true, false, {}},
      {"root-exit cleanup",
       false,
       true,
       {test_support::group_signal(SIGTERM, "root_exit_cleanup")}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RunArea area;
    const std::string pid_file = area.file("pid");
    const std::vector<std::string> command =
        row.member ? std::vector<std::string>{helper("forker"), pid_file, "--root-hold-ms", "200"}
                   : std::vector<std::string>{"/bin/sh", "-c",
                                              "echo $$ >\"$0.tmp\" && mv \"$0.tmp\" \"$0\" && "
                                              "exec sleep 0.2",
                                              pid_file};
    std::vector<std::string> argv = {VEK_GUARD_BINARY, row.observe ? "observe" : "run"};
    if (!row.observe) argv.insert(argv.end(), {"--max-footprint", "1GiB"});
    argv.insert(argv.end(), {"--sample-interval", "10ms", "--report", area.report_path(), "--"});
    argv.insert(argv.end(), command.begin(), command.end());
    test_support::Subprocess guard = test_support::Subprocess::start({.argv = argv});
    const pid_t named = test_support::wait_pid_file(pid_file, std::chrono::seconds(10));
    ASSERT_GT(named, 0);
    const pid_t root = row.member ? ::getpgid(named) : named;
    ASSERT_GT(root, 0);
    PidTaker taker(root, row.member ? named : 0);
    const SubprocessResult result = guard.wait(std::chrono::seconds(30));
    const pid_t stranger = taker.stranger(std::chrono::seconds(10));
    if (stranger == 0) GTEST_SKIP() << "another process took pid " << root << " first";
    EXPECT_FALSE(test_support::process_ending(stranger))
        << "the process that took the root's pid was signalled";
    EXPECT_EQ(test_support::shell_status(result), 0) << result.stderr_text;
    EXPECT_EQ(test_support::signal_rows(test_support::published_report(area)), row.signals);
  }
}

}  // namespace
}  // namespace vek_guard
