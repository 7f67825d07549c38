// Shared pieces of the tests that run supervisions, most of them the real
// vek-guard binary on the helper programs, and read back what they left on
// disk. Every wait here
// is bounded and every process started here is owned or reaped, so a failing
// test leaves nothing running. Unreadable files are gtest failures that yield
// empty values, so a test goes on to show every mismatch at once.
#ifndef VEK_GUARD_TESTS_SUPPORT_E2E_H_
#define VEK_GUARD_TESTS_SUPPORT_E2E_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "vek_guard/journal_reader.h"

namespace vek_guard::test_support {

// "<helper_dir>/vek-guard-test-<name>", helper_dir being the calling test
// binary's VEK_GUARD_HELPER_DIR.
std::string helper_path(std::string_view helper_dir, std::string_view name);

// One run's private (0700) report directory, removed when destroyed.
class RunArea {
 public:
  const std::string& dir() const { return temp_.path(); }
  std::string report_path() const { return temp_.file("report.json"); }
  std::string journal_path() const { return temp_.file(".report.json.journal"); }
  std::string file(const std::string& name) const { return temp_.file(name); }

 private:
  TempDir temp_;
};

struct RunSpec {
  std::string max_footprint = "1GiB";
  std::string sample_interval = "10ms";
  std::vector<std::string> options;  // placed before "--"
  std::vector<std::string> command;
};

// argv of `binary run --max-footprint L --sample-interval S --report PATH
// <options> -- <command>`.
std::vector<std::string> run_argv(const std::string& binary, const std::string& report_path,
                                  const RunSpec& spec);

// The status a shell would see: the exit code, or 128 + the signal.
int shell_status(const SubprocessResult& result);

// A report's signal records, compact enough to compare in one EXPECT.
struct SignalRow {
  int signal = 0;
  std::string target;
  std::string result;
  std::string reason;  // "" when absent
  friend bool operator==(const SignalRow&, const SignalRow&) = default;
};
std::vector<SignalRow> signal_rows(const nlohmann::json& report);
void PrintTo(const SignalRow& row, std::ostream* out);
// A signal delivered to the owned process group for `reason`.
SignalRow group_signal(int signal, std::string reason);

// Every key of `expected` holds the same value in `actual` (objects compared
// key by key, the rest exactly); a null expected value means "absent".
void expect_json_subset(const nlohmann::json& actual, const nlohmann::json& expected,
                        const std::string& where = "");

// Complete frames in a journal that may still be growing; 0 when it cannot
// be read (yet), without failing.
std::size_t count_journal_frames(const std::string& journal_path);

// Opens `path` read-only (never through a final symbolic link) and reads it
// as a journal. Opening or reading failures are gtest failures and give
// nothing; a corrupt or truncated tail is a result, not a failure.
std::optional<JournalRecovery> read_journal_file(const std::string& path);

// The area's published report, after checking that its journal reads back
// with a clean tail and rebuilds a valid report whose JSON text is byte for
// byte the published file. Null (and a failure) when there is none.
nlohmann::json published_report(const RunArea& area);

// A pipe whose write end a test hands to the binary and whose read end it
// watches for end of file. Call close_write once the child has started, or
// end of file never comes.
class ReadinessPipe {
 public:
  ReadinessPipe();
  ~ReadinessPipe();
  ReadinessPipe(const ReadinessPipe&) = delete;
  ReadinessPipe& operator=(const ReadinessPipe&) = delete;

  int write_fd() const { return write_fd_; }
  void close_write();
  // True when end of file came within `timeout` (written bytes are dropped).
  bool wait_closed(std::chrono::milliseconds timeout);

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

// Starts `supervisor_argv` from a /bin/sh that is its launching parent,
// waits until `started` holds, SIGKILLs the shell and returns what the
// supervisor did (exit_code is its shell status, -1 with a failure when it
// does not end within 20 s). SIGHUP is at its default in the shell, as an
// ignored one would be inherited and turn the parent watch off.
SubprocessResult run_and_lose_parent(const RunArea& area,
                                     const std::vector<std::string>& supervisor_argv,
                                     const std::function<bool()>& started);

// With no descriptor left, the undefined-behaviour sanitizer's vptr check
// fails by itself ("invalid vptr", "<memory cannot be printed>", exit 1):
// whether that is how a run of the sanitized program ended.
inline bool sanitizer_lost_its_descriptors(const SubprocessResult& result) {
#if defined(__SANITIZE_ADDRESS__)
  return result.exit_code == 1 && result.stderr_text.find("invalid vptr") != std::string::npos &&
         result.stderr_text.find("<memory cannot be printed>") != std::string::npos;
#else
  (void)result;
  return false;
#endif
}

// The decimal pid a helper wrote to `path`; 0 when it never appears.
pid_t wait_pid_file(const std::string& path, std::chrono::milliseconds timeout);

// Makes the test a subreaper while it lives: the processes that its children
// leave behind (members whose root has exited, a supervisor whose parent was
// killed) become its own children, so it can tell how they end.
class OrphanAdoption {
 public:
  OrphanAdoption();
  ~OrphanAdoption();
  OrphanAdoption(const OrphanAdoption&) = delete;
  OrphanAdoption& operator=(const OrphanAdoption&) = delete;

 private:
  int previous_ = 0;
};

// The shell status of the child `pid` (128 plus the signal that killed it);
// on timeout it is killed and reaped, a failure is added, and -1 returned.
int wait_child(pid_t pid, std::chrono::milliseconds timeout);

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_E2E_H_
