#include "support/e2e.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ostream>
#include <span>
#include <thread>

#include "support/subprocess.h"
#include "vek_guard/journal.h"
#include "vek_guard/report.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard::test_support {
namespace {

// Reads the journal the way publication does: opened without following a
// link, then frame by frame through the journal's own reader.
Result<JournalRecovery, StorageError> recover_journal(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) {
    return unexpected(storage_error(StorageErrorKind::ReadFailed, errno));
  }
  return read_journal(std::move(fd));
}

}  // namespace

std::string helper_path(std::string_view helper_dir, std::string_view name) {
  std::string path(helper_dir);
  path += "/vek-guard-test-";
  path += name;
  return path;
}

std::vector<std::string> run_argv(const std::string& binary, const std::string& report_path,
                                  const RunSpec& spec) {
  std::vector<std::string> argv = {binary,
                                   "run",
                                   "--max-footprint",
                                   spec.max_footprint,
                                   "--sample-interval",
                                   spec.sample_interval,
                                   "--report",
                                   report_path};
  argv.insert(argv.end(), spec.options.begin(), spec.options.end());
  argv.push_back("--");
  argv.insert(argv.end(), spec.command.begin(), spec.command.end());
  return argv;
}

int shell_status(int exit_code, int term_signal) {
  return term_signal != 0 ? 128 + term_signal : exit_code;
}

nlohmann::json read_report_json(const std::string& path) {
  if (!path_exists(path)) {
    ADD_FAILURE() << "no report at " << path;
    return nullptr;
  }
  const std::string text = read_file(path);
  nlohmann::json parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) {
    ADD_FAILURE() << "the report at " << path << " is not JSON:\n" << text;
    return nullptr;
  }
  return parsed;
}

bool path_exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

std::vector<SignalRow> signal_rows(const nlohmann::json& report) {
  std::vector<SignalRow> rows;
  if (!report.is_object() || !report.contains("signals")) return rows;
  for (const auto& signal : report["signals"]) {
    SignalRow row;
    row.signal = signal.value("signal", 0);
    row.target = signal.value("target", "");
    row.result = signal.value("result", "");
    row.reason = signal.value("reason", "");
    rows.push_back(row);
  }
  return rows;
}

void PrintTo(const SignalRow& row, std::ostream* out) {
  *out << "{" << row.signal << ", " << row.target << ", " << row.result << ", "
       << (row.reason.empty() ? "(no reason)" : row.reason) << "}";
}

SignalRow group_signal(int signal, std::string reason) {
  return {signal, "owned_process_group", "delivered", std::move(reason)};
}

void expect_json_subset(const nlohmann::json& actual, const nlohmann::json& expected,
                        const std::string& where) {
  for (const auto& [key, value] : expected.items()) {
    const std::string path = where + "/" + key;
    if (value.is_null()) {
      EXPECT_FALSE(actual.contains(key)) << path;
    } else if (!actual.is_object() || !actual.contains(key)) {
      ADD_FAILURE() << path << " is missing";
    } else if (value.is_object()) {
      expect_json_subset(actual[key], value, path);
    } else {
      EXPECT_EQ(actual[key], value) << path;
    }
  }
}

JournalTypes read_journal_types(const std::string& journal_path) {
  JournalTypes result;
  auto recovery = recover_journal(journal_path);
  if (!recovery) {
    ADD_FAILURE() << "the journal " << journal_path
                  << " cannot be read: " << recovery.error().message();
    return result;
  }
  result.readable = true;
  result.clean = recovery.value().tail == JournalTail::Clean;
  for (const JournalRecord& record : recovery.value().records) {
    result.types.emplace_back(record.entry.name());
  }
  return result;
}

std::size_t count_journal_frames(const std::string& journal_path) {
  UniqueFd fd(::open(journal_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return 0;
  std::size_t frames = 0;
  const Result<JournalTail, StorageError> tail =
      read_journal_frames(std::move(fd), [&](std::span<const uint8_t>) {
        ++frames;
        return true;
      });
  return tail ? frames : 0;
}

::testing::AssertionResult report_matches_journal(const std::string& journal_path,
                                                  const std::string& report_path) {
  auto recovery = recover_journal(journal_path);
  if (!recovery) {
    return ::testing::AssertionFailure()
           << "the journal cannot be read: " << recovery.error().message();
  }
  if (recovery.value().tail != JournalTail::Clean) {
    return ::testing::AssertionFailure() << "the journal does not end at a frame boundary after "
                                         << recovery.value().records.size() << " records";
  }
  auto rebuilt = recovery.value().to_report();
  if (!rebuilt) {
    return ::testing::AssertionFailure()
           << "no report can be rebuilt from the journal: " << rebuilt.error().message();
  }
  if (!rebuilt.value().validate()) {
    return ::testing::AssertionFailure() << "the rebuilt report does not validate";
  }
  auto pretty = rebuilt.value().to_json_pretty();
  if (!pretty) return ::testing::AssertionFailure() << "the rebuilt report cannot be written";
  const std::string published = read_file(report_path);
  const std::string& expected = pretty.value();
  if (published != expected) {
    return ::testing::AssertionFailure()
           << "the published report differs from the journal's:\n--- published\n"
           << published << "--- rebuilt\n"
           << expected;
  }
  return ::testing::AssertionSuccess();
}

ReadinessPipe::ReadinessPipe() {
  int ends[2] = {-1, -1};
  if (pipe2(ends, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed: " << std::strerror(errno);
    return;
  }
  read_fd_ = ends[0];
  write_fd_ = ends[1];
}

ReadinessPipe::~ReadinessPipe() {
  close_write();
  if (read_fd_ >= 0) ::close(read_fd_);
}

void ReadinessPipe::close_write() {
  if (write_fd_ >= 0) ::close(write_fd_);
  write_fd_ = -1;
}

bool ReadinessPipe::wait_closed(std::chrono::milliseconds timeout) {
  if (read_fd_ < 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[64];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd watch{read_fd_, POLLIN, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = ::read(read_fd_, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
  }
}

SubreaperScope::SubreaperScope() {
  if (prctl(PR_GET_CHILD_SUBREAPER, &previous_) != 0) previous_ = 0;
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    ADD_FAILURE() << "PR_SET_CHILD_SUBREAPER failed: " << std::strerror(errno);
  }
}

SubreaperScope::~SubreaperScope() { prctl(PR_SET_CHILD_SUBREAPER, previous_); }

namespace {

Subprocess start_launching_shell(const RunArea& area,
                                 const std::vector<std::string>& supervisor_argv) {
  struct sigaction previous {};
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(SIGHUP, &default_action, &previous);
  // The pid file appears whole (renamed into place) for wait_pid_file.
  std::vector<std::string> argv = {
      "/bin/sh", "-c",
      "\"$@\" >\"$OUT\" 2>\"$ERR\" & echo $! >\"$PIDFILE\".tmp && mv \"$PIDFILE\".tmp "
      "\"$PIDFILE\"; wait",
      "sh"};
  argv.insert(argv.end(), supervisor_argv.begin(), supervisor_argv.end());
  Subprocess shell = Subprocess::start({.argv = argv,
                                        .env = {{"OUT", area.file("stdout")},
                                                {"ERR", area.file("stderr")},
                                                {"PIDFILE", area.file("vek-guard.pid")}}});
  sigaction(SIGHUP, &previous, nullptr);
  return shell;
}

}  // namespace

// The subreaper scope is a member declared before the shell, so it is in
// force before the shell (and the supervisor) start.
LaunchingShell::LaunchingShell(const RunArea& area, const std::vector<std::string>& supervisor_argv)
    : area_(area), shell_(start_launching_shell(area, supervisor_argv)) {}

pid_t LaunchingShell::supervisor_pid() const {
  return wait_pid_file(area_.file("vek-guard.pid"), std::chrono::seconds(10));
}

void LaunchingShell::kill_parent() {
  shell_.send_signal(SIGKILL);
  shell_.wait(std::chrono::seconds(10));
}

std::string LaunchingShell::stdout_text() const { return read_file(area_.file("stdout")); }
std::string LaunchingShell::stderr_text() const { return read_file(area_.file("stderr")); }

namespace {}  // namespace

int wait_child(pid_t pid, std::chrono::milliseconds timeout) {
  if (pid <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (true) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      ADD_FAILURE() << "process " << pid << " did not exit in time and was killed";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

pid_t wait_pid_file(const std::string& path, std::chrono::milliseconds timeout) {
  pid_t pid = 0;
  eventually(
      [&] {
        const std::string text = read_file(path);
        pid = static_cast<pid_t>(std::atol(text.c_str()));
        return pid > 0;
      },
      timeout);
  return pid;
}

void kill_if_alive(pid_t pid) {
  if (pid > 0 && process_exists(pid)) ::kill(pid, SIGKILL);
}

TinyTmpfs::TinyTmpfs(const std::string& mount_point, const std::string& size)
    : mount_point_(mount_point) {
  const std::string options = "size=" + size + ",mode=0700";
  if (::mount("tmpfs", mount_point.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    error_ = std::strerror(errno);
    return;
  }
  mounted_ = true;
}

TinyTmpfs::~TinyTmpfs() {
  if (!mounted_) return;
  // A lazy unmount cannot be refused by a descriptor still open somewhere.
  if (::umount2(mount_point_.c_str(), MNT_DETACH) != 0) {
    ADD_FAILURE() << "unmounting " << mount_point_ << " failed: " << std::strerror(errno);
  }
}

}  // namespace vek_guard::test_support
