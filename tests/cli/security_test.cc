// Hostile surroundings of a real vek-guard run: links planted at the names
// the run writes, report files of another user, a checkpoint client that does
// not hold the nonce, and descriptors that must not leak into the command.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/e2e.h"
#include "support/run_files.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard {
namespace {

using test_support::run_describe;
using test_support::RunArea;
using test_support::RunSpec;
using test_support::run_argv;
using test_support::write_new_file;
using test_support::run_subprocess;
using test_support::Subprocess;
using test_support::SubprocessResult;
using ::testing::HasSubstr;

constexpr uid_t kNobody = 65534;

std::string helper(const char* name) {
  return test_support::helper_path(VEK_GUARD_HELPER_DIR, name);
}

std::string link_target(const std::string& path) {
  char buffer[4096];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  return n < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
}

// A file outside the report directory that a planted link points at, and
// what it must still hold after the run.
struct Bait {
  test_support::TempDir dir;
  std::string path = dir.file("precious");
  std::string contents = "precious contents\n";
};

// ---------------------------------------------------------------------------
// Planted symbolic links and other entries that are not the run's own files.

enum class Planted { kLinkToFile, kLinkToNothing, kFifo };

struct PlantCase {
  const char* name;  // the entry of the report directory that is planted
  Planted what;
  const char* message;  // the run's last diagnostic line
  bool command_runs;    // false when the run ends before the launch
};

void PrintTo(const PlantCase& plant, std::ostream* out) {
  constexpr const char* kWhat[] = {"link to a file", "dangling link", "fifo"};
  *out << plant.name << " as " << kWhat[static_cast<int>(plant.what)];
}

class PlantedEntry : public ::testing::TestWithParam<PlantCase> {};

// A link is never followed (its target is neither written nor created), and
// a fifo is never opened (which would hang the run).
TEST_P(PlantedEntry, IsNeverFollowedNorOpened) {
  const PlantCase& plant = GetParam();
  RunArea area;
  Bait bait;
  const std::string entry = area.file(plant.name);
  if (plant.what == Planted::kFifo) {
    ASSERT_EQ(::mkfifo(entry.c_str(), 0600), 0) << std::strerror(errno);
  } else {
    if (plant.what == Planted::kLinkToFile) {
      ASSERT_NO_FATAL_FAILURE(write_new_file(bait.path, bait.contents, 0600));
    }
    ASSERT_EQ(::symlink(bait.path.c_str(), entry.c_str()), 0) << std::strerror(errno);
  }
  const std::string described = area.file("described");

  const SubprocessResult result =
      run_describe(VEK_GUARD_BINARY, VEK_GUARD_HELPER_DIR, area.report_path(), described);

  ASSERT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 74) << result.stderr_text;
  EXPECT_EQ(result.stdout_text, "");
  EXPECT_THAT(result.stderr_text, HasSubstr(std::string("vek-guard: ") + plant.message + "\n"));
  EXPECT_EQ(test_support::path_exists(described), plant.command_runs);
  // The entry is still what was planted, and a link's target is as it was.
  struct stat st {};
  ASSERT_EQ(::lstat(entry.c_str(), &st), 0);
  if (plant.what == Planted::kFifo) {
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
  } else {
    EXPECT_EQ(link_target(entry), bait.path);
  }
  if (plant.what == Planted::kLinkToFile) {
    EXPECT_EQ(test_support::read_file(bait.path), bait.contents);
  } else {
    EXPECT_FALSE(test_support::path_exists(bait.path));
  }
}

constexpr char kReport[] = "report.json";
constexpr char kJournal[] = ".report.json.journal";
constexpr char kTemporary[] = ".report.json.tmp";
constexpr char kInvalid[] = "artifact target path is invalid";
constexpr char kExists[] = "journal target already exists";
constexpr char kUnsafe[] = "artifact output target is unsafe";

INSTANTIATE_TEST_SUITE_P(
    AtEveryNameTheRunWrites, PlantedEntry,
    ::testing::Values(PlantCase{kReport, Planted::kLinkToFile, kInvalid, false},
                      PlantCase{kReport, Planted::kLinkToNothing, kInvalid, false},
                      PlantCase{kReport, Planted::kFifo, kInvalid, false},
                      PlantCase{kJournal, Planted::kLinkToFile, kExists, false},
                      PlantCase{kJournal, Planted::kLinkToNothing, kExists, false},
                      PlantCase{kJournal, Planted::kFifo, kExists, false},
                      PlantCase{kTemporary, Planted::kLinkToFile, kUnsafe, true},
                      PlantCase{kTemporary, Planted::kLinkToNothing, kUnsafe, true},
                      PlantCase{kTemporary, Planted::kFifo, kUnsafe, true}));

// A report directory reached through a link is refused too: the run's files
// would otherwise land wherever the link points.
TEST(PlantedLinkedDirectory, IsRefusedBeforeAnythingIsWritten) {
  RunArea area;
  test_support::TempDir elsewhere;  // private, as a report directory must be
  const std::string link = area.file("reports");
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), link.c_str()), 0);
  const std::string described = area.file("described");
  const SubprocessResult result =
      run_describe(VEK_GUARD_BINARY, VEK_GUARD_HELPER_DIR, link + "/report.json", described);

  EXPECT_EQ(result.exit_code, 74) << result.stderr_text;
  EXPECT_EQ(result.stderr_text, "vek-guard: artifact directory is not private and owned\n");
  EXPECT_FALSE(test_support::path_exists(described));
  EXPECT_FALSE(test_support::path_exists(elsewhere.file(".report.json.journal")));
}

// Starts a run whose command waits until `go` exists and then exits 0, and
// waits until the run's journal exists (the report target was checked).
Subprocess start_held_run(const RunArea& area, const std::string& go) {
  Subprocess run = Subprocess::start(
      {.argv = run_argv(VEK_GUARD_BINARY, area.report_path(),
                        RunSpec{.command = {helper("stubborn"), "--wait-for-file", go,
                                            "--exit-when-ready", "0", "--max-seconds", "30"}})});
  EXPECT_TRUE(test_support::eventually(
      [&] { return test_support::path_exists(area.journal_path()); }, std::chrono::seconds(10)));
  return run;
}

TEST(PlantedLinkDuringTheRun, AtTheReportNameIsNotFollowedAtPublication) {
  RunArea area;
  Bait bait;
  ASSERT_NO_FATAL_FAILURE(write_new_file(bait.path, bait.contents, 0600));
  const std::string go = area.file("go");
  Subprocess run = start_held_run(area, go);
  ASSERT_EQ(::symlink(bait.path.c_str(), area.report_path().c_str()), 0);
  ASSERT_NO_FATAL_FAILURE(write_new_file(go, "", 0600));
  const SubprocessResult result = run.wait(std::chrono::seconds(30));

  EXPECT_EQ(result.exit_code, 74) << result.stderr_text;
  EXPECT_THAT(result.stderr_text, HasSubstr("vek-guard: artifact output target is unsafe\n"));
  EXPECT_EQ(link_target(area.report_path()), bait.path);
  EXPECT_EQ(test_support::read_file(bait.path), bait.contents);
}

// ---------------------------------------------------------------------------
// Another user's report file.

// Makes `path` a 0600 file of `contents` owned by another user; false when
// the test may not hand files to another user.
bool plant_foreign_file(const std::string& path, const std::string& contents) {
  const std::string staging = path + ".staging";
  write_new_file(staging, contents, 0600);
  if (::chown(staging.c_str(), kNobody, kNobody) != 0) {
    ::unlink(staging.c_str());
    return false;
  }
  EXPECT_EQ(::rename(staging.c_str(), path.c_str()), 0);
  return true;
}

void expect_foreign_file_untouched(const std::string& path, const std::string& contents) {
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(test_support::read_file(path), contents);
}

TEST(ForeignReport, IsNeverReplacedBeforeTheRun) {
  RunArea area;
  const std::string theirs = "{\"owner\": \"someone else\"}\n";
  if (!plant_foreign_file(area.report_path(), theirs)) {
    GTEST_SKIP() << "cannot give a file to uid " << kNobody << " (needs root)";
  }
  const std::string described = area.file("described");

  const SubprocessResult result =
      run_describe(VEK_GUARD_BINARY, VEK_GUARD_HELPER_DIR, area.report_path(), described);

  EXPECT_EQ(result.exit_code, 74) << result.stderr_text;
  EXPECT_EQ(result.stderr_text, "vek-guard: artifact output target is unsafe\n");
  EXPECT_FALSE(test_support::path_exists(described));
  EXPECT_FALSE(test_support::path_exists(area.journal_path()));
  expect_foreign_file_untouched(area.report_path(), theirs);
}

TEST(ForeignReport, PlantedDuringTheRunIsNeverReplaced) {
  RunArea area;
  const std::string theirs = "{\"owner\": \"someone else\"}\n";
  const std::string go = area.file("go");
  Subprocess run = start_held_run(area, go);
  if (!plant_foreign_file(area.report_path(), theirs)) {
    ASSERT_NO_FATAL_FAILURE(write_new_file(go, "", 0600));
    (void)run.wait(std::chrono::seconds(30));
    GTEST_SKIP() << "cannot give a file to uid " << kNobody << " (needs root)";
  }
  ASSERT_NO_FATAL_FAILURE(write_new_file(go, "", 0600));
  const SubprocessResult result = run.wait(std::chrono::seconds(30));

  EXPECT_EQ(result.exit_code, 74) << result.stderr_text;
  EXPECT_THAT(result.stderr_text, HasSubstr("vek-guard: artifact output target is unsafe\n"));
  expect_foreign_file_untouched(area.report_path(), theirs);
}

// ---------------------------------------------------------------------------
// The checkpoint nonce.

// The published report's checkpoint status and signal rows.
struct CheckpointRun {
  std::string status;
  std::vector<test_support::SignalRow> signals;
};

// A client grows past a 256 MiB limit but stays inside the emergency band
// (about 10% above it), so the run asks for a checkpoint, waits out its
// timeout and only then terminates. `mode` is the client's behaviour.
CheckpointRun run_checkpoint_client(const std::string& mode) {
  RunArea area;
  const std::string request_file = area.file("request");
  const SubprocessResult result = run_subprocess(
      {.argv = run_argv(
           VEK_GUARD_BINARY, area.report_path(),
           RunSpec{.max_footprint = "256MiB",
                   .options = {"--checkpoint-timeout", "500ms"},
                   .command = {helper("checkpointer"), "--mode", mode, "--allocate", "201326592",
                               "--grow-step", "8388608", "--grow-max", "274726912",
                               "--request-file", request_file, "--max-seconds", "30"}})});
  EXPECT_EQ(result.exit_code, 75) << result.stderr_text;
  EXPECT_THAT(test_support::read_file(request_file), HasSubstr("request_id "))
      << "the client never received the request";
  const nlohmann::json report = test_support::read_report_json(area.report_path());
  if (!report.is_object()) return {};
  EXPECT_EQ(report["outcome"]["kind"], "policy_intervention");
  return {report["checkpoint"].value("status", ""), test_support::signal_rows(report)};
}

TEST(CheckpointNonce, AnAcknowledgementWithoutItIsNotAccepted) {
  const CheckpointRun run = run_checkpoint_client("wrong-nonce");
  EXPECT_EQ(run.status, "timed_out");
  // The request went to the endpoint; the group was terminated after the
  // timeout, not killed at once for lack of room.
  const std::vector<test_support::SignalRow>& rows = run.signals;
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows[0], (test_support::SignalRow{SIGUSR1, "cooperative_endpoint", "delivered",
                                              "footprint"}));
  EXPECT_EQ(rows[1], (test_support::SignalRow{SIGTERM, "owned_process_group", "delivered",
                                              "footprint"}));
}

// The same run with an honest client: its acknowledgement is accepted, which
// is what the nonce test above must not see.
TEST(CheckpointNonce, AnHonestAcknowledgementIsAccepted) {
  EXPECT_EQ(run_checkpoint_client("normal").status, "acknowledged_unverified_durability");
}

// ---------------------------------------------------------------------------
// Descriptors reaching the command.

// The descriptor numbers of a vek-guard-test-describe output, with what each
// points at.
std::map<int, std::string> described_fds(const std::string& text) {
  std::map<int, std::string> fds;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("fd ", 0) != 0) continue;
    std::istringstream fields(line.substr(3));
    int fd = -1;
    std::string cloexec;
    std::string what;
    fields >> fd >> cloexec;
    std::getline(fields >> std::ws, what);
    fds[fd] = what;
  }
  return fds;
}

std::set<int> keys_of(const std::map<int, std::string>& fds) {
  std::set<int> keys;
  for (const auto& [fd, what] : fds) keys.insert(fd);
  return keys;
}

// A descriptor of the test without close-on-exec, at a number of its own.
UniqueFd open_inheritable(int number) {
  UniqueFd opened(::open("/dev/null", O_RDONLY));
  EXPECT_TRUE(opened.valid());
  if (opened.get() == number) return opened;
  EXPECT_EQ(::dup2(opened.get(), number), number);
  return UniqueFd(number);
}

// The supervisor opens its journal, report directory, signal pipe, random
// source, checkpoint socket, pidfd and /proc descriptors while the command
// starts; none of them may reach it. The client readiness descriptor is the
// supervisor's from the moment it is handed over, so it must not either.
// Descriptors the supervisor merely inherited without close-on-exec belong to
// whoever started it and pass through unchanged: it does not close what it
// did not open.
TEST(CommandDescriptors, OnlyStandardIoAnd198ComeFromTheSupervisor) {
  RunArea area;
  const std::string described = area.file("described");
  UniqueFd inherited = open_inheritable(40);
  test_support::ReadinessPipe ready;

  Subprocess run = Subprocess::start(
      {.argv = run_argv(VEK_GUARD_BINARY, area.report_path(),
                        RunSpec{.options = {"--client-ready-fd", std::to_string(ready.write_fd())},
                                .command = {helper("describe"), described}}),
       .inherit_fds = {inherited.get(), ready.write_fd()}});
  ready.close_write();
  const SubprocessResult result = run.wait(std::chrono::seconds(30));
  ASSERT_EQ(result.exit_code, 0) << result.stderr_text;
  EXPECT_TRUE(ready.wait_closed(std::chrono::seconds(5)));

  const std::map<int, std::string> fds = described_fds(test_support::read_file(described));
  EXPECT_EQ(keys_of(fds), (std::set<int>{0, 1, 2, 40, 198}));
  EXPECT_THAT(fds.count(198) ? fds.at(198) : "", ::testing::StartsWith("socket:"));
  EXPECT_EQ(fds.count(40) ? fds.at(40) : "", "/dev/null");
  EXPECT_EQ(fds.count(ready.write_fd()), 0u) << "the readiness descriptor reached the command";
}

TEST(CommandDescriptors, ObserveModeHandsOnlyStandardIo) {
  RunArea area;
  const std::string described = area.file("described");
  UniqueFd inherited = open_inheritable(40);

  const SubprocessResult result = run_subprocess(
      {.argv = {VEK_GUARD_BINARY, "observe", "--sample-interval", "10ms", "--report",
                area.report_path(), "--", helper("describe"), described},
       .inherit_fds = {inherited.get()}});
  ASSERT_EQ(result.exit_code, 0) << result.stderr_text;

  const std::map<int, std::string> fds = described_fds(test_support::read_file(described));
  EXPECT_EQ(keys_of(fds), (std::set<int>{0, 1, 2, 40}));
}

}  // namespace
}  // namespace vek_guard
