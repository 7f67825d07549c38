// Hostile surroundings of a real vek-guard run: entries planted at the names
// the run writes, report files of another user, a checkpoint client that does
// not hold the nonce, and descriptors that must not leak into the command.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/e2e.h"
#include "support/file_state.h"
#include "support/run_files.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard {
namespace {

using test_support::path_exists;
using test_support::read_file;
using test_support::RunArea;
using test_support::RunSpec;
using test_support::run_argv;
using test_support::Subprocess;
using test_support::SubprocessResult;
using test_support::write_new_file;
using ::testing::HasSubstr;

std::string helper(const char* name) {
  return test_support::helper_path(VEK_GUARD_HELPER_DIR, name);
}

// What an entry is: type, mode and owner, and a link's target or a file's
// contents. Compared before and after a run to show it was left alone.
std::string state_of(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "absent";
  std::string state = std::to_string(st.st_mode) + " uid " + std::to_string(st.st_uid) + " ";
  char target[4096];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
  if (n >= 0) return state + "-> " + std::string(target, static_cast<std::size_t>(n));
  if (S_ISDIR(st.st_mode)) {
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
      state += entry.path().filename().string() + " ";
    }
  }
  return S_ISREG(st.st_mode) ? state + read_file(path) : state;
}

// What is put at a name the run writes. A link is never followed (its target
// is neither written nor created), a fifo never opened (the run would hang),
// and a regular file the run did not make is never replaced. A report
// directory reached through a link is refused too: the run's files would
// otherwise land wherever it points.
enum class Planted { kLinkToFile, kLinkToNothing, kFifo, kStaleFile, kForeignFile, kLinkToDir };

// Puts `what` at `entry`, a link pointing at `bait` outside the report
// directory; false when the test may not (another user's file needs root).
bool plant(Planted what, const std::string& entry, const std::string& bait) {
  const std::string contents = "{\"owner\": \"someone else\"}\n";
  switch (what) {
    case Planted::kFifo:
      EXPECT_EQ(::mkfifo(entry.c_str(), 0600), 0) << std::strerror(errno);
      return true;
    case Planted::kLinkToFile:
      write_new_file(bait, contents, 0600);
      [[fallthrough]];
    case Planted::kLinkToNothing:
    case Planted::kLinkToDir:
      EXPECT_EQ(::symlink(bait.c_str(), entry.c_str()), 0) << std::strerror(errno);
      return true;
    case Planted::kStaleFile:
    case Planted::kForeignFile:
      write_new_file(entry, contents, 0600);
      return what == Planted::kStaleFile || test_support::give_to_other_user(entry);
  }
  return false;
}

constexpr char kReport[] = "report.json";
constexpr char kJournal[] = ".report.json.journal";
constexpr char kTemporary[] = ".report.json.tmp";
constexpr char kInvalid[] = "artifact target path is invalid";
constexpr char kExists[] = "journal target already exists";
constexpr char kUnsafe[] = "artifact output target is unsafe";
constexpr char kLinkedDir[] = "reports";  // the report is reports/report.json

TEST(PlantedEntry, BeforeTheRunIsNeverFollowedOpenedNorReplaced) {
  struct Case {
    const char* name;
    Planted what;
    const char* message;  // the run's last diagnostic line
    bool command_runs;    // false when the run ends before the launch
  };
  const std::vector<Case> cases = {
      {kReport, Planted::kLinkToFile, kInvalid, false},
      {kReport, Planted::kLinkToNothing, kInvalid, false},
      {kReport, Planted::kFifo, kInvalid, false},
      {kReport, Planted::kForeignFile, kUnsafe, false},
      {kJournal, Planted::kLinkToFile, kExists, false},
      {kJournal, Planted::kLinkToNothing, kExists, false},
      {kJournal, Planted::kFifo, kExists, false},
      {kTemporary, Planted::kLinkToFile, kUnsafe, true},
      {kTemporary, Planted::kLinkToNothing, kUnsafe, true},
      {kTemporary, Planted::kFifo, kUnsafe, true},
      {kTemporary, Planted::kStaleFile, kUnsafe, true},  // left by an earlier crash
      {kLinkedDir, Planted::kLinkToDir, "artifact directory is not private and owned", false}};
  for (const Case& row : cases) {
    SCOPED_TRACE(std::string(row.name) + " as kind " + std::to_string(static_cast<int>(row.what)));
    RunArea area;
    const test_support::TempDir outside;
    const std::string entry = area.file(row.name);
    const bool dir = row.what == Planted::kLinkToDir;
    const std::string bait = dir ? outside.path() : outside.file("precious");
    if (!plant(row.what, entry, bait)) continue;  // another user's file needs root
    const std::string planted = state_of(entry) + " | " + state_of(bait);
    const std::string described = area.file("described");

    const SubprocessResult result = test_support::run_describe(
        VEK_GUARD_BINARY, VEK_GUARD_HELPER_DIR, dir ? entry + "/report.json" : area.report_path(),
        described);

    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 74) << result.stderr_text;
    EXPECT_EQ(result.stdout_text, "");
    EXPECT_THAT(result.stderr_text, HasSubstr(std::string("vek-guard: ") + row.message + "\n"));
    EXPECT_EQ(path_exists(described), row.command_runs);
    EXPECT_EQ(state_of(entry) + " | " + state_of(bait), planted);
    if (std::string_view(row.name) == kJournal) continue;
    if (!row.command_runs) {
      EXPECT_FALSE(path_exists(area.journal_path()));
      continue;
    }
    // Only publication failed: the complete journal is kept for recovery.
    const std::optional<JournalRecovery> journal =
        test_support::read_journal_file(area.journal_path());
    ASSERT_TRUE(journal);
    EXPECT_EQ(journal->tail, JournalTail::Clean);
    const Result<ReportV1, StorageError> recovered = journal->to_report();
    ASSERT_TRUE(recovered.ok());
    EXPECT_EQ(recovered->outcome.kind.tag(), TerminalKind::Tag::ChildExited);
    EXPECT_FALSE(path_exists(area.report_path()));
  }
}

// Planted while the run is under way, after its checks at the start.
TEST(PlantedEntry, DuringTheRunIsNeverFollowedNorReplacedAtPublication) {
  for (const Planted what : {Planted::kLinkToFile, Planted::kForeignFile}) {
    SCOPED_TRACE(static_cast<int>(what));
    RunArea area;
    const std::string go = area.file("go");
    Subprocess run = Subprocess::start(
        {.argv = run_argv(VEK_GUARD_BINARY, area.report_path(),
                          RunSpec{.command = {helper("stubborn"), "--wait-for-file", go,
                                              "--exit-when-ready", "0", "--max-seconds", "30"}})});
    // The journal exists once the report target has been checked.
    EXPECT_TRUE(test_support::eventually([&] { return path_exists(area.journal_path()); },
                                         std::chrono::seconds(10)));
    const test_support::TempDir outside;
    const std::string bait = outside.file("precious");
    const bool put = plant(what, area.report_path(), bait);
    const std::string planted = state_of(area.report_path()) + " | " + state_of(bait);
    write_new_file(go, "", 0600);
    const SubprocessResult result = run.wait(std::chrono::seconds(30));
    if (!put) continue;

    EXPECT_EQ(result.exit_code, 74) << result.stderr_text;
    EXPECT_THAT(result.stderr_text, HasSubstr("vek-guard: artifact output target is unsafe\n"));
    EXPECT_EQ(state_of(area.report_path()) + " | " + state_of(bait), planted);
  }
}

// A client grows past a 256 MiB limit but stays inside the emergency band
// (about 10% above it), so the run asks for a checkpoint and waits out its
// timeout before terminating. An acknowledgement without the nonce must not
// count (an honest one does: run_e2e_test's cooperative client).
TEST(CheckpointNonce, AnAcknowledgementWithoutItIsNotAccepted) {
  RunArea area;
  const std::string request_file = area.file("request");
  const SubprocessResult result = test_support::run_subprocess(
      {.argv = run_argv(
           VEK_GUARD_BINARY, area.report_path(),
           RunSpec{.max_footprint = "256MiB",
                   .options = {"--checkpoint-timeout", "500ms"},
                   .command = {helper("checkpointer"), "--mode", "wrong-nonce", "--allocate",
                               "201326592", "--grow-step", "8388608", "--grow-max", "274726912",
                               "--request-file", request_file, "--max-seconds", "30"}})});
  EXPECT_EQ(result.exit_code, 75) << result.stderr_text;
  EXPECT_THAT(read_file(request_file), HasSubstr("request_id "))
      << "the client never received the request";
  const nlohmann::json report = test_support::read_report_json(area.report_path());
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report["outcome"]["kind"], "policy_intervention");
  EXPECT_EQ(report["checkpoint"].value("status", ""), "timed_out");
  // Terminated after the timeout, not killed at once for lack of room.
  EXPECT_EQ(test_support::signal_rows(report),
            (std::vector<test_support::SignalRow>{
                {SIGUSR1, "cooperative_endpoint", "delivered", "footprint"},
                {SIGTERM, "owned_process_group", "delivered", "footprint"}}));
}

// The describe helper's "fd <n> <cloexec> <what>" lines as n -> what.
std::map<int, std::string> described_fds(const std::string& text) {
  std::map<int, std::string> fds;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string tag, cloexec, what;
    int fd = -1;
    if (fields >> tag >> fd >> cloexec && tag == "fd" && std::getline(fields >> std::ws, what)) {
      fds[fd] = what;
    }
  }
  return fds;
}

// The supervisor's own descriptors (journal, directory, signal pipe, random
// source, pidfd, /proc, and the readiness descriptor handed to it) must not
// reach the command; a run hands it only the checkpoint socket at 198.
// Descriptors the supervisor merely inherited belong to whoever started it
// and pass through: it does not close what it did not open.
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
    argv.insert(argv.end(), {"--sample-interval", "10ms", "--report", area.report_path(),
                             "--client-ready-fd", std::to_string(ready.write_fd()), "--",
                             helper("describe"), described});
    Subprocess run = Subprocess::start({.argv = argv, .inherit_fds = {passed, ready.write_fd()}});
    ready.close_write();
    const SubprocessResult result = run.wait(std::chrono::seconds(30));
    ASSERT_EQ(result.exit_code, 0) << result.stderr_text;
    EXPECT_TRUE(ready.wait_closed(std::chrono::seconds(5)));

    std::map<int, std::string> fds = described_fds(read_file(described));
    std::set<int> numbers;
    for (const auto& [fd, what] : fds) numbers.insert(fd);
    std::set<int> expected = {0, 1, 2, passed};
    if (run_mode) expected.insert(198);
    EXPECT_EQ(numbers, expected);
    EXPECT_EQ(fds[passed], "/dev/null");
    EXPECT_THAT(fds[198], ::testing::StartsWith(run_mode ? "socket:" : ""));
  }
}

}  // namespace
}  // namespace vek_guard
