// The journal's own records: `JournalHeader`, `JournalEntry` and
// `JournalRecord`, with their compact JSON form and the strict decoder of one
// frame payload.
//
// While a run goes on every event becomes one `JournalRecord`: a small
// envelope (format version and sequence number) around one tagged
// `JournalEntry`, which is the run's header or one of the report's event
// records. Each record is the compact JSON payload of one journal frame:
//
//   {"version":1,"sequence":7,"entry":{"type":"signal","value":{...}}}
//   {"version":1,"sequence":9,"entry":{"type":"sample_history_reset"}}
//
//   JournalRecord record{.version = 1, .sequence = 7,
//                        .entry = JournalEntry::signal(signal_record)};
//   std::string payload = encode_journal_record(record);
//   Result<JournalRecord, JournalDecodeError> back =
//       decode_journal_record(as_bytes(payload));   // == record
//
// Decoding is strict and all or nothing (the rules are those of
// json_reader.h, plus the entry rules at `decode_journal_record`); a payload
// that does not decode is one opaque error, which makes the journal's tail
// corrupt.
#ifndef VEK_GUARD_JOURNAL_RECORD_H_
#define VEK_GUARD_JOURNAL_RECORD_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "vek_guard/error.h"
#include "vek_guard/json_reader.h"
#include "vek_guard/report.h"

namespace vek_guard {

// The only journal record format version that this program writes and
// accepts.
inline constexpr uint16_t kJournalRecordVersion = 1;

// The first entry of every journal: the run's settings, which become the
// report's fields of the same names.
struct JournalHeader {
  uint32_t schema_version = kReportSchemaVersion;
  std::string package_version;
  RunIdentity run;
  Capabilities capabilities;
  ReportConfiguration configuration;
  PrivacyDefaults privacy;

  static constexpr std::size_t kFieldCount = 6;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"schema_version"}, self.schema_version);
    visit(FieldKey{"package_version"}, self.package_version);
    visit(FieldKey{"run"}, self.run);
    visit(FieldKey{"capabilities"}, self.capabilities);
    visit(FieldKey{"configuration"}, self.configuration);
    visit(FieldKey{"privacy"}, self.privacy);
  }
  friend bool operator==(const JournalHeader&, const JournalHeader&) = default;
};

// What one journal record holds: the header, or one event of the run. The
// three large payloads are held through owning pointers so that an entry (and
// a record) stays small. An entry owns its payload; copying an entry copies
// the payload, and entries compare by payload.
class JournalEntry {
 public:
  // Variant indexes; `kNames[i]` is the JSON "type" string of variant i.
  enum class Type : uint8_t {
    Header,
    Sample,
    SampleHistoryReset,
    Transition,
    Signal,
    Checkpoint,
    Escape,
    ArtifactError,
    Calibration,
    Outcome,
  };
  static constexpr std::array<std::string_view, 10> kNames{
      "header",     "sample", "sample_history_reset", "transition",  "signal",
      "checkpoint", "escape", "artifact_error",       "calibration", "outcome"};

  using Storage =
      std::variant<std::unique_ptr<JournalHeader>, std::unique_ptr<SampleWindow>, std::monostate,
                   TransitionRecord, SignalRecord, CheckpointRecord, EscapeEvidence,
                   ArtifactErrorRecord, std::unique_ptr<CalibrationArtifact>, TerminalOutcome>;

  // A "sample_history_reset" entry: every sample recorded before it is
  // dropped from the report.
  JournalEntry() : storage_(std::in_place_index<2>) {}

  static JournalEntry header(JournalHeader header);
  static JournalEntry sample(SampleWindow sample);
  static JournalEntry sample_history_reset() { return JournalEntry(); }
  static JournalEntry transition(TransitionRecord transition);
  static JournalEntry signal(SignalRecord signal);
  static JournalEntry checkpoint(CheckpointRecord checkpoint);
  static JournalEntry escape(EscapeEvidence escape);
  static JournalEntry artifact_error(ArtifactErrorRecord artifact_error);
  static JournalEntry calibration(CalibrationArtifact calibration);
  static JournalEntry outcome(TerminalOutcome outcome);

  // Copies deep-copy the payload. A moved-from entry is left as
  // "sample_history_reset", so an entry never holds a null payload.
  JournalEntry(const JournalEntry& other);
  JournalEntry& operator=(const JournalEntry& other);
  JournalEntry(JournalEntry&& other) noexcept;
  JournalEntry& operator=(JournalEntry&& other) noexcept;
  ~JournalEntry() = default;

  Type type() const { return static_cast<Type>(storage_.index()); }
  // The JSON "type" string ("header", "sample", ...).
  std::string_view name() const { return kNames[storage_.index()]; }

  // The payload when the entry holds one of type P (each payload type belongs
  // to exactly one variant), else null.
  template <class P>
  const P* payload_if() const {
    if constexpr (std::is_same_v<P, JournalHeader> || std::is_same_v<P, SampleWindow> ||
                  std::is_same_v<P, CalibrationArtifact>) {
      const auto* held = std::get_if<std::unique_ptr<P>>(&storage_);
      return held != nullptr ? held->get() : nullptr;
    } else {
      return std::get_if<P>(&storage_);
    }
  }

  const Storage& storage() const { return storage_; }

  // Same variant and equal payloads.
  friend bool operator==(const JournalEntry& a, const JournalEntry& b);

 private:
  explicit JournalEntry(Storage storage) : storage_(std::move(storage)) {}
  friend bool read_json_custom(JsonReader& in, JournalEntry& out);

  Storage storage_;
};

// Reads a journal entry object, in the direct form, by the entry rules of
// `decode_journal_record`; the hook through which the generic record reader
// reaches `JournalRecord`'s "entry". Returns whether the value was accepted;
// `out` is then the entry.
[[nodiscard]] bool read_json_custom(JsonReader& in, JournalEntry& out);

// The payload of one journal frame.
struct JournalRecord {
  uint16_t version = kJournalRecordVersion;  // only 1 is valid
  uint64_t sequence = 0;                     // 0 for the header, then 1, 2, ...
  JournalEntry entry;

  static constexpr std::size_t kFieldCount = 3;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"version"}, self.version);
    visit(FieldKey{"sequence"}, self.sequence);
    visit(FieldKey{"entry"}, self.entry);
  }
  friend bool operator==(const JournalRecord&, const JournalRecord&) = default;
};

// The record's compact JSON text: "version", "sequence" and "entry" in that
// order, the entry as {"type":NAME,"value":PAYLOAD} ({"type":NAME} alone for
// "sample_history_reset"), no whitespace and no trailing line feed. The
// buffer starts with room for 128 bytes. Writing to memory cannot fail, so
// there is no error; a record with a version other than 1 or a sequence out
// of turn is written all the same (refusing it is the journal's job).
std::string encode_journal_record(const JournalRecord& record);
// The same text appended to `*out`.
void append_journal_record(const JournalRecord& record, std::string* out);

// Why a payload did not decode: deliberately nothing. Its only consumer ends
// the readable journal at that frame and never shows it.
struct JournalDecodeError {
  friend constexpr bool operator==(JournalDecodeError, JournalDecodeError) = default;
};

// Decodes one frame payload: one JSON object (whitespace allowed around it,
// nothing else) holding a `JournalRecord`, read in the direct form of
// json_reader.h from the payload in place, with a nesting budget of 127
// arrays and objects, the record's own object counting as the first.
//
//  - The record's keys "version" (u16), "sequence" (u64) and "entry" are each
//    required once, in any order; other keys are skipped. A version other
//    than 1 decodes; refusing it is the journal reader's job.
//  - In the entry only "type" and "value" are relevant; other keys are
//    skipped wherever they stand. "type" must be a string naming one of the
//    ten variants. The relevant keys must be "type" then "value", or "value"
//    then "type", and nothing more; "type" alone is accepted only for
//    "sample_history_reset", whose "value", when present, must be null.
//  - Payloads are read by the record rules of json_reader.h: in the direct
//    form after "type", in the buffered form when "value" came first.
//  - Nesting: the unknown members of the record and of every payload record
//    read in the direct form are walked without taking from the budget; the
//    entry's own unknown members, the members a tagged value keeps and a
//    buffered "value" take from it.
//
// Never throws, aborts or recurses beyond the nesting limit, whatever the
// bytes are.
[[nodiscard]] Result<JournalRecord, JournalDecodeError> decode_journal_record(
    std::span<const uint8_t> payload);

// The same through `reader`, whose buffers are kept from one payload to the
// next: the way to decode the frames of a whole journal. The reader is reset
// to the payload first.
[[nodiscard]] Result<JournalRecord, JournalDecodeError> decode_journal_record(
    std::span<const uint8_t> payload, JsonReader& reader);

}  // namespace vek_guard

#endif  // VEK_GUARD_JOURNAL_RECORD_H_
