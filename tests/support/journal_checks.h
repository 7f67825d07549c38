// Checks shared by the journal's writer and reader tests: journals built
// from records, and what reading such bytes back must give.
#ifndef VEK_GUARD_TESTS_SUPPORT_JOURNAL_CHECKS_H_
#define VEK_GUARD_TESTS_SUPPORT_JOURNAL_CHECKS_H_

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/file_state.h"
#include "support/journal_samples.h"
#include "vek_guard/journal_reader.h"
#include "vek_guard/journal_record.h"

namespace vek_guard::test_support {

using Records = std::vector<JournalRecord>;

inline const StorageError kInvalidRecord = storage_error(StorageErrorKind::InvalidRecord);

inline JournalRecord record_at(uint64_t sequence, JournalEntry entry) {
  return JournalRecord{kJournalRecordVersion, sequence, std::move(entry)};
}

// The first `count` records.
inline Records first(const Records& records, size_t count) {
  return Records(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(count));
}

// The journal file holding exactly these records.
inline std::string journal_bytes_of(const Records& records) {
  std::vector<std::string> payloads;
  for (const JournalRecord& record : records) payloads.push_back(encode_journal_record(record));
  return journal_file_bytes(payloads);
}

// Reads the bytes as a journal and expects the records and the tail.
inline void expect_recovery(const std::string& bytes, const Records& records, JournalTail tail) {
  auto recovery = read_journal(memory_file(bytes, 0600));
  ASSERT_TRUE(recovery.ok());
  ASSERT_EQ(recovery->tail, tail);
  ASSERT_EQ(recovery->records, records);
}

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_JOURNAL_CHECKS_H_
