#include "support/e2e.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <span>
#include <thread>

#include "vek_guard/journal.h"
#include "vek_guard/journal_reader.h"
#include "vek_guard/report.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard::test_support {

using std::chrono::milliseconds;

std::string helper_path(std::string_view helper_dir, std::string_view name) {
  return std::string(helper_dir) + "/vek-guard-test-" + std::string(name);
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

int shell_status(const SubprocessResult& result) {
  return result.term_signal != 0 ? 128 + result.term_signal : result.exit_code;
}

std::vector<SignalRow> signal_rows(const nlohmann::json& report) {
  std::vector<SignalRow> rows;
  if (!report.is_object() || !report.contains("signals")) return rows;
  for (const auto& signal : report["signals"]) {
    rows.push_back({signal.value("signal", 0), signal.value("target", ""),
                    signal.value("result", ""), signal.value("reason", "")});
  }
  return rows;
}

void PrintTo(const SignalRow& row, std::ostream* out) {
  *out << "{" << row.signal << ", " << row.target << ", " << row.result << ", " << row.reason
       << "}";
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

std::size_t count_journal_frames(const std::string& journal_path) {
  UniqueFd fd(::open(journal_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return 0;
  std::size_t frames = 0;
  const auto tail = read_journal_frames(std::move(fd), [&](std::span<const uint8_t>) {
    ++frames;
    return true;
  });
  return tail ? frames : 0;
}

std::optional<JournalRecovery> read_journal_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) {
    ADD_FAILURE() << "cannot open the journal " << path << ": " << std::strerror(errno);
    return std::nullopt;
  }
  Result<JournalRecovery, StorageError> recovery = read_journal(std::move(fd));
  if (!recovery) {
    ADD_FAILURE() << "reading the journal " << path << " failed: " << recovery.error().message();
    return std::nullopt;
  }
  return std::move(*recovery);
}

nlohmann::json published_report(const RunArea& area) {
  const std::optional<JournalRecovery> journal = read_journal_file(area.journal_path());
  if (!journal) return nullptr;
  EXPECT_EQ(journal->tail, JournalTail::Clean) << "after " << journal->records.size() << " records";
  auto rebuilt = journal->to_report();
  if (!rebuilt) {
    ADD_FAILURE() << "no report rebuilds from the journal: " << rebuilt.error().message();
    return nullptr;
  }
  EXPECT_TRUE(rebuilt->validate());
  auto pretty = rebuilt->to_json_pretty();
  const std::string published = read_file(area.report_path());
  EXPECT_EQ(published, pretty ? pretty.value() : "") << "the published report is not the journal's";
  nlohmann::json parsed = nlohmann::json::parse(published, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_discarded()) return parsed;
  ADD_FAILURE() << "no JSON report at " << area.report_path() << ":\n" << published;
  return nullptr;
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

bool ReadinessPipe::wait_closed(milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[64];
  while (read_fd_ >= 0) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd watch{read_fd_, POLLIN, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = ::read(read_fd_, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
  }
  return false;
}

OrphanAdoption::OrphanAdoption() {
  if (prctl(PR_GET_CHILD_SUBREAPER, &previous_) != 0) previous_ = 0;
  EXPECT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0) << std::strerror(errno);
}

OrphanAdoption::~OrphanAdoption() { prctl(PR_SET_CHILD_SUBREAPER, previous_); }

int wait_child(pid_t pid, milliseconds timeout) {
  int status = 0;
  const bool done =
      pid > 0 && eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout);
  if (!done) {
    ADD_FAILURE() << "process " << pid << " did not exit in time and was killed";
    if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

SubprocessResult run_and_lose_parent(const RunArea& area,
                                     const std::vector<std::string>& supervisor_argv,
                                     const std::function<bool()>& started) {
  // As a subreaper the test inherits the orphaned supervisor and can reap it.
  const OrphanAdoption adoption;
  struct sigaction previous {};
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(SIGHUP, &default_action, &previous);
  // The pid file is renamed into place, so wait_pid_file never reads half.
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
  const pid_t supervisor = wait_pid_file(area.file("vek-guard.pid"), std::chrono::seconds(10));
  EXPECT_TRUE(eventually(started, std::chrono::seconds(10)));
  shell.send_signal(SIGKILL);
  shell.wait(std::chrono::seconds(10));
  SubprocessResult result{.exit_code = wait_child(supervisor, std::chrono::seconds(20)),
                          .stdout_text = read_file(area.file("stdout")),
                          .stderr_text = read_file(area.file("stderr"))};
  return result;
}

pid_t wait_pid_file(const std::string& path, milliseconds timeout) {
  pid_t pid = 0;
  eventually(
      [&] {
        pid = static_cast<pid_t>(std::atol(read_file(path).c_str()));
        return pid > 0;
      },
      timeout);
  return pid;
}

}  // namespace vek_guard::test_support
