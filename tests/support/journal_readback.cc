#include "support/journal_readback.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "vek_guard/journal.h"
#include "vek_guard/json_writer.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard::test_support {
namespace {

UniqueFd open_journal(const std::string& journal_path) {
  return UniqueFd(::open(journal_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
}

}  // namespace

std::vector<JournalRecord> read_journal_records(const std::string& journal_path) {
  UniqueFd fd = open_journal(journal_path);
  if (!fd.valid()) {
    ADD_FAILURE() << "cannot open the journal " << journal_path;
    return {};
  }
  Result<JournalRecovery, StorageError> recovery = read_journal(std::move(fd));
  if (!recovery) {
    ADD_FAILURE() << "reading the journal failed: " << recovery.error().message();
    return {};
  }
  if (recovery->tail != JournalTail::Clean) {
    ADD_FAILURE() << "the journal does not end at a frame boundary (tail "
                  << static_cast<int>(recovery->tail) << ")";
    return {};
  }
  return std::move(recovery->records);
}

nlohmann::json recovered_report_json(const std::string& journal_path) {
  UniqueFd fd = open_journal(journal_path);
  if (!fd.valid()) {
    ADD_FAILURE() << "cannot open the journal " << journal_path;
    return nullptr;
  }
  Result<JournalRecovery, StorageError> recovery = read_journal(std::move(fd));
  if (!recovery) {
    ADD_FAILURE() << "reading the journal failed: " << recovery.error().message();
    return nullptr;
  }
  Result<ReportV1, StorageError> report = recovery->to_report();
  if (!report) {
    ADD_FAILURE() << "the journal does not rebuild into a report";
    return nullptr;
  }
  if (Result<void, ReportError> valid = report->validate(); !valid) {
    ADD_FAILURE() << "the rebuilt report is invalid (rule group " << static_cast<int>(valid.error())
                  << ")";
    return nullptr;
  }
  return nlohmann::json::parse(to_json(*report, JsonLayout::Pretty), nullptr,
                               /*allow_exceptions=*/false);
}

std::vector<std::string> entry_names(const std::vector<JournalRecord>& records) {
  std::vector<std::string> names;
  names.reserve(records.size());
  for (const JournalRecord& record : records) names.emplace_back(record.entry.name());
  return names;
}

std::size_t count_journal_frames(const std::string& journal_path) {
  UniqueFd fd = open_journal(journal_path);
  if (!fd.valid()) return 0;
  std::size_t frames = 0;
  const Result<JournalTail, StorageError> tail =
      read_journal_frames(std::move(fd), [&](std::span<const uint8_t>) {
        ++frames;
        return true;
      });
  return tail ? frames : 0;
}

}  // namespace vek_guard::test_support
