// Reading a finished run's journal back the way publication does, so that an
// end-to-end test can hold the published report against what the journal
// says and look at the order of its records.
//
//   std::vector<JournalRecord> records = read_journal_records(area.journal_path());
//   EXPECT_EQ(recovered_report_json(area.journal_path()), read_report_json(report));
//
// Failures are reported as gtest failures and yield empty values, so a test
// goes on to show every mismatch at once.
#ifndef VEK_GUARD_TESTS_SUPPORT_JOURNAL_READBACK_H_
#define VEK_GUARD_TESTS_SUPPORT_JOURNAL_READBACK_H_

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vek_guard/journal_record.h"

namespace vek_guard::test_support {

// Every record of the journal at `journal_path`, in file order. A gtest
// failure (and an empty list) when the file cannot be opened or read, or
// when it does not end cleanly at a frame boundary.
std::vector<JournalRecord> read_journal_records(const std::string& journal_path);

// The report rebuilt from the journal (JournalRecovery::to_report), checked
// with ReportV1::validate, in its published JSON form. A gtest failure and a
// null value when any step refuses.
nlohmann::json recovered_report_json(const std::string& journal_path);

// The "type" names of the records' entries, in order ("header", "sample",
// ...), for compact comparisons of a journal's shape.
std::vector<std::string> entry_names(const std::vector<JournalRecord>& records);

// How many complete frames the journal at `journal_path` holds right now.
// For watching a journal that a running supervisor is still appending to: a
// frame cut short at the end is not counted. 0 when the file cannot be read.
std::size_t count_journal_frames(const std::string& journal_path);

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_JOURNAL_READBACK_H_
