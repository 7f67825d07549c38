// Shared pieces of the end-to-end tests, which run the real vek-guard binary
// on the helper programs and read back what it left on disk.
//
//   RunArea area;                                   // private 0700 directory
//   RunSpec spec{.max_footprint = "64MiB",
//                .command = {helper_path("grow"), "--max", "1048576"}};
//   SubprocessResult result =
//       run_subprocess({.argv = run_argv(VEK_GUARD_BINARY, area.report_path(), spec)});
//   nlohmann::json report = read_report_json(area.report_path());
//
// Every wait here is bounded; every process started here is owned by a
// `Subprocess` (or reaped explicitly), so a failing test leaves nothing
// running. Failures to read files are reported as gtest failures and yield
// empty values, so a test goes on to show every mismatch at once.
#ifndef VEK_GUARD_TESTS_SUPPORT_E2E_H_
#define VEK_GUARD_TESTS_SUPPORT_E2E_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace vek_guard::test_support {

// "<helper dir>/vek-guard-test-<name>": a program of tests/helpers/.
// `helper_dir` is the VEK_GUARD_HELPER_DIR of the calling test binary.
std::string helper_path(std::string_view helper_dir, std::string_view name);

// One run's private report directory (mode 0700, removed with everything in
// it when the area is destroyed) and the names of the files a run leaves.
class RunArea {
 public:
  RunArea() = default;
  RunArea(const RunArea&) = delete;
  RunArea& operator=(const RunArea&) = delete;

  const std::string& dir() const { return temp_.path(); }
  // dir/report.json, the --report path.
  std::string report_path() const { return temp_.file("report.json"); }
  // dir/.report.json.journal, the journal the run keeps beside the report.
  std::string journal_path() const { return temp_.file(".report.json.journal"); }
  // dir/<name>, for files of the test's own (pid files, stamps).
  std::string file(const std::string& name) const { return temp_.file(name); }

 private:
  TempDir temp_;
};

// What a `vek-guard run` invocation is given.
struct RunSpec {
  std::string max_footprint = "1GiB";
  std::string sample_interval = "10ms";
  // Further options, placed before the "--" separator.
  std::vector<std::string> options;
  std::vector<std::string> command;
};

// argv of `binary run --max-footprint L --sample-interval S --report PATH
// <options> -- <command>`.
std::vector<std::string> run_argv(const std::string& binary, const std::string& report_path,
                                  const RunSpec& spec);

// The exit status a shell would see: the exit code, or 128 + the signal.
int shell_status(int exit_code, int term_signal);

// The published report parsed as JSON; a test failure and a null value when
// the file is missing or is not one JSON document.
nlohmann::json read_report_json(const std::string& path);

// Whether a file or directory entry exists at `path` (without following a
// final symbolic link).
bool path_exists(const std::string& path);

// The signal records of a report as (signal, target, result, reason) rows,
// reason "" when absent: compact to compare in one EXPECT.
struct SignalRow {
  int signal = 0;
  std::string target;
  std::string result;
  std::string reason;
  friend bool operator==(const SignalRow&, const SignalRow&) = default;
};
std::vector<SignalRow> signal_rows(const nlohmann::json& report);
void PrintTo(const SignalRow& row, std::ostream* out);

// A signal delivered to the owned process group for `reason`.
SignalRow group_signal(int signal, std::string reason);

// Every key of `expected` holds the same value in `actual`, objects being
// compared the same way key by key (arrays and scalars exactly); a null
// expected value means the key must be absent. Each mismatch is a failure
// naming its path.
void expect_json_subset(const nlohmann::json& actual, const nlohmann::json& expected,
                        const std::string& where = "");

// The entry name of every journal record in order ("header", "sample",
// ...). `clean` tells whether the file ended exactly at a frame boundary;
// `readable` is false (and the test fails) when it cannot be read at all.
struct JournalTypes {
  std::vector<std::string> types;
  bool readable = false;
  bool clean = false;
};
JournalTypes read_journal_types(const std::string& journal_path);

// How many complete frames the journal at `journal_path` holds right now,
// for watching a journal that a running supervisor is still appending to:
// a frame cut short at the end is not counted, and a journal that does not
// exist yet (or cannot be read) counts 0 without failing the test.
std::size_t count_journal_frames(const std::string& journal_path);

// The journal at `journal_path` reads back with a clean tail, the report
// rebuilt from it is valid, and its pretty JSON text is byte for byte the
// file published at `report_path`: the published
// report is exactly what the journal recorded.
::testing::AssertionResult report_matches_journal(const std::string& journal_path,
                                                  const std::string& report_path);

// A pipe whose write end a test hands to the binary (--client-ready-fd,
// SubprocessOptions::inherit_fds) and whose read end it watches for end of
// file. The test's copy of the write end must be dropped (close_write) once
// the child has been started, or end of file never comes.
class ReadinessPipe {
 public:
  ReadinessPipe();
  ~ReadinessPipe();
  ReadinessPipe(const ReadinessPipe&) = delete;
  ReadinessPipe& operator=(const ReadinessPipe&) = delete;

  int write_fd() const { return write_fd_; }
  void close_write();
  // Waits up to `timeout` for end of file on the read end; bytes written by
  // the other side are read and dropped. True when end of file came.
  bool wait_closed(std::chrono::milliseconds timeout);

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

// While alive, makes the test process the reaper of orphaned descendants
// (PR_SET_CHILD_SUBREAPER), so a supervisor whose launching parent is killed
// becomes the test's child and its exit status can still be collected.
// Restores the previous setting when destroyed.
class SubreaperScope {
 public:
  SubreaperScope();
  ~SubreaperScope();
  SubreaperScope(const SubreaperScope&) = delete;
  SubreaperScope& operator=(const SubreaperScope&) = delete;

 private:
  int previous_ = 0;
};

// A /bin/sh that starts `supervisor_argv` in the background and waits: the
// supervisor's launching parent, for tests of what happens when it dies. The
// supervisor's pid goes to the area's "vek-guard.pid", its output to
// "stdout" and "stderr". The shell starts with SIGHUP at its default action
// (an ignored SIGHUP would be inherited and turn the parent watch off), and
// while the object lives the test process is a subreaper, so the supervisor
// can still be collected with wait_child once kill_parent has run.
class LaunchingShell {
 public:
  LaunchingShell(const RunArea& area, const std::vector<std::string>& supervisor_argv);

  // Waits up to 10 s for the pid file; 0 when it never appears.
  pid_t supervisor_pid() const;
  // SIGKILLs the shell and reaps it.
  void kill_parent();
  std::string stdout_text() const;
  std::string stderr_text() const;

 private:
  const RunArea& area_;
  SubreaperScope subreaper_;
  Subprocess shell_;
};

// Waits up to `timeout` for the child `pid` of the test process and returns
// its shell status; SIGKILLs and reaps it on timeout and returns -1.
int wait_child(pid_t pid, std::chrono::milliseconds timeout);

// The pid written (as decimal text) to `path` by a helper; waits up to
// `timeout` for the file to appear. 0 when it never does.
pid_t wait_pid_file(const std::string& path, std::chrono::milliseconds timeout);

// Kills `pid` with SIGKILL if it still exists; for processes that outlive a
// run on purpose (escaped members) and are not the test's children.
void kill_if_alive(pid_t pid);

// A small tmpfs mounted over an empty directory for the life of the scope,
// mode 0700, so that a run's journal runs out of space after a few records.
// Mounting needs privileges: `mounted()` is false (and nothing is mounted)
// when the mount is refused.
class TinyTmpfs {
 public:
  TinyTmpfs(const std::string& mount_point, const std::string& size);
  ~TinyTmpfs();
  TinyTmpfs(const TinyTmpfs&) = delete;
  TinyTmpfs& operator=(const TinyTmpfs&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }

 private:
  std::string mount_point_;
  bool mounted_ = false;
  std::string error_;
};

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_E2E_H_
