// Files around a run for the end-to-end tests that break a run on purpose:
// planting files where the run will write, running a command that leaves a
// trace, and reading the journal back from disk the way recovery would.
#ifndef VEK_GUARD_TESTS_SUPPORT_RUN_FILES_H_
#define VEK_GUARD_TESTS_SUPPORT_RUN_FILES_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "support/e2e.h"
#include "support/subprocess.h"
#include "vek_guard/journal.h"
#include "vek_guard/journal_reader.h"
#include "vek_guard/journal_record.h"

namespace vek_guard::test_support {

// Creates `path` exclusively with `text` and permission bits `mode`; gtest
// fatal failures when it cannot (wrap calls in ASSERT_NO_FATAL_FAILURE).
void write_new_file(const std::string& path, const std::string& text, mode_t mode);

// Runs `binary run --report report_path` (default limit and interval) on
// vek-guard-test-describe, which writes `described` once it has been
// launched, and waits for the end. `helper_dir` is the VEK_GUARD_HELPER_DIR
// of the calling test binary.
SubprocessResult run_describe(const std::string& binary, const std::string& helper_dir,
                              const std::string& report_path, const std::string& described);

// Opens `path` read-only (never through a final symbolic link) and hands it
// to `read_journal`. Opening or reading failures are gtest failures and give
// nothing; a corrupt or truncated tail is a result, not a failure.
std::optional<JournalRecovery> read_journal_file(const std::string& path);

// How many records of `type` were read.
std::size_t count_entries(const JournalRecovery& journal, JournalEntry::Type type);

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_RUN_FILES_H_
