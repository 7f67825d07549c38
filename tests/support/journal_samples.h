// Journals for tests and benchmarks: the records a run with a given report
// would have appended.
#ifndef VEK_GUARD_TESTS_SUPPORT_JOURNAL_SAMPLES_H_
#define VEK_GUARD_TESTS_SUPPORT_JOURNAL_SAMPLES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "vek_guard/journal_record.h"
#include "vek_guard/report.h"

namespace vek_guard::test_support {

// The header entry's payload: the report's six run-level fields.
JournalHeader journal_header_of(const ReportV1& report);

// The entries in a plausible order: header, samples, transitions, signals,
// artifact errors, checkpoint, escape, calibration (when present), outcome
// last. Rebuilding a report from them gives `report` back.
std::vector<JournalEntry> journal_entries_of(const ReportV1& report);

// The entries as version-1 records numbered 0, 1, 2, ...
std::vector<JournalRecord> numbered_records(std::vector<JournalEntry> entries);

// numbered_records(journal_entries_of(report)).
std::vector<JournalRecord> journal_records_of(const ReportV1& report);

// The bytes of a journal file holding these payloads, framed here rather than
// by the journal's writer so that readers are checked against the format
// itself: the magic, then each payload's big-endian length, the payload and
// its big-endian checksum.
std::string journal_file_bytes(const std::vector<std::string>& payloads);

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_JOURNAL_SAMPLES_H_
