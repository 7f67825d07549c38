#include "support/run_files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "vek_guard/unique_fd.h"

namespace vek_guard::test_support {

void write_new_file(const std::string& path, const std::string& text, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  ASSERT_TRUE(fd.valid()) << path << ": " << std::strerror(errno);
  ASSERT_EQ(::write(fd.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ASSERT_EQ(::fchmod(fd.get(), mode), 0);
}

SubprocessResult run_describe(const std::string& binary, const std::string& helper_dir,
                              const std::string& report_path, const std::string& described) {
  return run_subprocess(
      {.argv = run_argv(binary, report_path,
                        RunSpec{.command = {helper_path(helper_dir, "describe"), described}})});
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

std::size_t count_entries(const JournalRecovery& journal, JournalEntry::Type type) {
  return static_cast<std::size_t>(
      std::count_if(journal.records.begin(), journal.records.end(),
                    [type](const JournalRecord& record) { return record.entry.type() == type; }));
}

}  // namespace vek_guard::test_support
