#include "support/journal_samples.h"

#include <utility>

#include "vek_guard/coding.h"
#include "vek_guard/journal_format.h"

namespace vek_guard::test_support {

JournalHeader journal_header_of(const ReportV1& report) {
  return JournalHeader{report.schema_version, report.package_version, report.run,
                       report.capabilities,   report.configuration,   report.privacy};
}

std::vector<JournalEntry> journal_entries_of(const ReportV1& report) {
  std::vector<JournalEntry> entries;
  entries.push_back(JournalEntry::header(journal_header_of(report)));
  for (const auto& sample : report.samples) entries.push_back(JournalEntry::sample(sample));
  for (const auto& t : report.transitions) entries.push_back(JournalEntry::transition(t));
  for (const auto& s : report.signals) entries.push_back(JournalEntry::signal(s));
  for (const auto& e : report.artifact_errors) entries.push_back(JournalEntry::artifact_error(e));
  entries.push_back(JournalEntry::checkpoint(report.checkpoint));
  entries.push_back(JournalEntry::escape(report.escape));
  if (report.calibration) entries.push_back(JournalEntry::calibration(*report.calibration));
  entries.push_back(JournalEntry::outcome(report.outcome));
  return entries;
}

std::vector<JournalRecord> numbered_records(std::vector<JournalEntry> entries) {
  std::vector<JournalRecord> records;
  records.reserve(entries.size());
  for (auto& entry : entries) {
    records.push_back(JournalRecord{kJournalRecordVersion, records.size(), std::move(entry)});
  }
  return records;
}

std::vector<JournalRecord> journal_records_of(const ReportV1& report) {
  return numbered_records(journal_entries_of(report));
}

std::string journal_file_bytes(const std::vector<std::string>& payloads) {
  std::string bytes(kJournalMagic);
  for (const std::string& payload : payloads) {
    append_be32(bytes, static_cast<uint32_t>(payload.size()));
    bytes += payload;
    append_be32(bytes, journal_checksum(
                           {reinterpret_cast<const uint8_t*>(payload.data()), payload.size()}));
  }
  return bytes;
}

}  // namespace vek_guard::test_support
