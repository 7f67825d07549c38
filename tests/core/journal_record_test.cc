#include "vek_guard/journal_record.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "vek_guard/json_reader.h"
#include "vek_guard/json_writer.h"
#include "vek_guard/report.h"

namespace vek_guard {
namespace {

using json_reader_internal::kIsOptional;

// Fills every field of a value, recursively, so that round trips cover every
// key of the descriptions rather than only the defaults.
//  - Populated: every optional present, ordinary values, variants chosen by a
//    running counter so that different fields get different variants.
//  - Extreme: every optional present, the greatest unsigned and the smallest
//    signed values, a string that needs every kind of escape, the last
//    variant of every enumeration and tagged value.
enum class Fill { Populated, Extreme };

class Filler {
 public:
  explicit Filler(Fill fill, std::size_t seed = 0) : fill_(fill), counter_(seed) {}

  template <class T>
  void fill(T& v) {
    ++counter_;
    if constexpr (kIsOptional<T>) {
      fill(v.emplace());
    } else if constexpr (std::is_same_v<T, bool>) {
      v = extreme() || counter_ % 2 == 0;
    } else if constexpr (std::is_same_v<T, int64_t>) {
      v = extreme() ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(counter_);
    } else if constexpr (std::unsigned_integral<T>) {
      v = extreme() ? std::numeric_limits<T>::max() : static_cast<T>(counter_ * 7 % 250);
    } else if constexpr (std::is_same_v<T, std::string>) {
      v = extreme() ? std::string("q\"b\\s/\b\f\n\r\t\x01\x1f\x7f caf\xC3\xA9 \xF0\x9F\x98\x80")
                    : "text_" + std::to_string(counter_);
    } else if constexpr (UnitEnum<T>) {
      const std::size_t size = EnumTable<T>::kNames.size();
      v = static_cast<T>(extreme() ? size - 1 : counter_ % size);
    } else if constexpr (TaggedValue<T>) {
      const std::size_t size = TaggedTable<T>::kNames.size();
      fill_variant(v.storage(), extreme() ? size - 1 : counter_ % size);
    } else if constexpr (Record<T>) {
      T::for_each_field(v, [this](FieldKey, auto& field) { fill(field); });
    } else {
      static_assert(sizeof(T) == 0, "no filler for this type");
    }
  }

  template <class Storage>
  void fill_variant(Storage& storage, std::size_t index) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((index == I ? (fill_alternative(storage.template emplace<I>()), 0) : 0), ...);
    }(std::make_index_sequence<std::variant_size_v<Storage>>{});
  }

 private:
  template <class A>
  void fill_alternative(A& alternative) {
    if constexpr (!std::is_same_v<A, std::monostate>) fill(alternative);
  }
  bool extreme() const { return fill_ == Fill::Extreme; }

  Fill fill_;
  std::size_t counter_;
};

template <class T>
T filled(Fill fill, std::size_t seed = 0) {
  T value{};
  Filler(fill, seed).fill(value);
  return value;
}

template <class T>
T read_back(const T& value) {
  const std::string text = to_json(value, JsonLayout::Compact);
  Result<T, JsonRejection> read = read_json<T>(text);
  EXPECT_TRUE(read.ok()) << text;
  return read.ok() ? std::move(read).value() : T{};
}

std::span<const uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

bool decodes(std::string_view text) { return decode_journal_record(bytes_of(text)).ok(); }

JournalRecord decoded(std::string_view text) {
  Result<JournalRecord, JournalDecodeError> record = decode_journal_record(bytes_of(text));
  EXPECT_TRUE(record.ok()) << text;
  return record.ok() ? std::move(record).value() : JournalRecord{};
}

// One entry of every variant, each payload filled as asked.
std::vector<JournalEntry> every_entry(Fill fill) {
  return {
      JournalEntry::header(filled<JournalHeader>(fill)),
      JournalEntry::sample(filled<SampleWindow>(fill)),
      JournalEntry::sample_history_reset(),
      JournalEntry::transition(filled<TransitionRecord>(fill)),
      JournalEntry::signal(filled<SignalRecord>(fill)),
      JournalEntry::checkpoint(filled<CheckpointRecord>(fill)),
      JournalEntry::escape(filled<EscapeEvidence>(fill)),
      JournalEntry::artifact_error(filled<ArtifactErrorRecord>(fill)),
      JournalEntry::calibration(filled<CalibrationArtifact>(fill)),
      JournalEntry::outcome(filled<TerminalOutcome>(fill)),
  };
}

constexpr std::string_view kSignalValue =
    R"({"at_ms":12,"signal":15,"target":"owned_process_group","result":"delivered"})";
const SignalRecord kSignal{.at_ms = 12,
                           .signal = 15,
                           .target = SignalTarget::OwnedProcessGroup,
                           .result = SignalResult::Delivered,
                           .reason = std::nullopt};

std::string record_with_entry(std::string_view entry) {
  return R"({"version":1,"sequence":3,"entry":)" + std::string(entry) + "}";
}

// ---------------------------------------------------------------------------
// Round trips through the compact writer.

template <class R>
class RecordRoundTrip : public ::testing::Test {};

using ReadableRecords =
    ::testing::Types<RunIdentity, Capabilities, ReportConfiguration, AdvisoryMetricMetadata,
                     AdvisoryMetadata, AdvisoryMetrics, SampleWindow, TransitionRecord,
                     SignalRecord, CheckpointArtifactRecord, CheckpointRecord, EscapeEvidence,
                     ArtifactErrorRecord, TerminalOutcome, CalibrationArtifact, PrivacyDefaults,
                     JournalHeader>;
TYPED_TEST_SUITE(RecordRoundTrip, ReadableRecords);

TYPED_TEST(RecordRoundTrip, DefaultsPopulatedAndExtremesReadBackEqual) {
  const TypeParam defaults{};
  EXPECT_EQ(read_back(defaults), defaults);
  for (std::size_t seed = 0; seed < 8; ++seed) {
    const TypeParam populated = filled<TypeParam>(Fill::Populated, seed);
    EXPECT_EQ(read_back(populated), populated);
  }
  const TypeParam extreme = filled<TypeParam>(Fill::Extreme);
  EXPECT_EQ(read_back(extreme), extreme);
}

template <class T>
void expect_every_variant_round_trips() {
  for (std::size_t i = 0; i < TaggedTable<T>::kNames.size(); ++i) {
    for (const Fill fill : {Fill::Populated, Fill::Extreme}) {
      T value{};
      Filler(fill).fill_variant(value.storage(), i);
      ASSERT_EQ(value.storage().index(), i);
      EXPECT_EQ(read_back(value), value) << TaggedTable<T>::kNames[i];
    }
  }
}

TEST(TaggedRoundTrip, EveryVariantOfEveryTaggedValue) {
  expect_every_variant_round_trips<Observed<uint64_t>>();
  expect_every_variant_round_trips<Observed<int64_t>>();
  expect_every_variant_round_trips<Observed<bool>>();
  expect_every_variant_round_trips<Observed<MemoryPressureLevel>>();
  expect_every_variant_round_trips<ChildStatus>();
  // The kind exists only flattened into its outcome.
  for (std::size_t i = 0; i < TaggedTable<TerminalKind>::kNames.size(); ++i) {
    TerminalOutcome outcome = filled<TerminalOutcome>(Fill::Populated);
    Filler(Fill::Extreme).fill_variant(outcome.kind.storage(), i);
    EXPECT_EQ(read_back(outcome), outcome) << TaggedTable<TerminalKind>::kNames[i];
  }
}

template <UnitEnum E>
void expect_every_name_round_trips() {
  for (std::size_t i = 0; i < EnumTable<E>::kNames.size(); ++i) {
    EXPECT_EQ(read_back(static_cast<E>(i)), static_cast<E>(i)) << EnumTable<E>::kNames[i];
  }
}

TEST(EnumRoundTrip, EveryVariantOfEveryEnumeration) {
  expect_every_name_round_trips<ReportMode>();
  expect_every_name_round_trips<OnParentExit>();
  expect_every_name_round_trips<ParentWatch>();
  expect_every_name_round_trips<SignalTarget>();
  expect_every_name_round_trips<SignalResult>();
  expect_every_name_round_trips<SignalReason>();
  expect_every_name_round_trips<CheckpointStatus>();
  expect_every_name_round_trips<ArtifactKind>();
  expect_every_name_round_trips<ArtifactErrorCode>();
  expect_every_name_round_trips<UnavailableReason>();
  expect_every_name_round_trips<ObservationError>();
  expect_every_name_round_trips<MemoryPressureLevel>();
  expect_every_name_round_trips<AdvisoryScope>();
  expect_every_name_round_trips<AdvisorySource>();
  expect_every_name_round_trips<AdvisoryFreshness>();
  expect_every_name_round_trips<UploadPolicy>();
  expect_every_name_round_trips<RetentionPolicy>();
  expect_every_name_round_trips<CapturePolicy>();
  expect_every_name_round_trips<CalibrationGuidance>();
  expect_every_name_round_trips<PolicyState>();
}

TEST(JournalRecordRoundTrip, EveryEntryVariantDecodesToTheSameRecord) {
  for (const Fill fill : {Fill::Populated, Fill::Extreme}) {
    std::vector<JournalEntry> entries = every_entry(fill);
    ASSERT_EQ(entries.size(), JournalEntry::kNames.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      ASSERT_EQ(static_cast<std::size_t>(entries[i].type()), i);
      const JournalRecord record{.version = 1,
                                 .sequence = fill == Fill::Extreme
                                                 ? std::numeric_limits<uint64_t>::max()
                                                 : i,
                                 .entry = std::move(entries[i])};
      const std::string text = encode_journal_record(record);
      EXPECT_EQ(decoded(text), record) << text;
    }
  }
  const JournalRecord other_version{.version = 65535, .sequence = 0, .entry = {}};
  EXPECT_EQ(decoded(encode_journal_record(other_version)), other_version);
}

TEST(JournalRecordWriter, WritesTheCompactEnvelope) {
  EXPECT_EQ(encode_journal_record({.version = 1, .sequence = 42, .entry = {}}),
            R"({"version":1,"sequence":42,"entry":{"type":"sample_history_reset"}})");
  EXPECT_EQ(
      encode_journal_record({.version = 1, .sequence = 7, .entry = JournalEntry::signal(kSignal)}),
      R"({"version":1,"sequence":7,"entry":{"type":"signal","value":)" + std::string(kSignalValue) +
          "}}");
  const std::string header = encode_journal_record(
      {.version = 1, .sequence = 0, .entry = JournalEntry::header(JournalHeader{})});
  EXPECT_TRUE(header.starts_with(
      R"({"version":1,"sequence":0,"entry":{"type":"header","value":{"schema_version":1,"package_version":"","run":{)"))
      << header;
  EXPECT_TRUE(header.ends_with(
      R"("privacy":{"redacted_before_persistence":true,"file_mode":"0600","upload":"disabled","retention":"user_managed","capture":"redacted_metadata_only"}}}})"))
      << header;
}

// ---------------------------------------------------------------------------
// Value semantics of entries.

TEST(JournalEntry, CopiesAreDeepAndCompareByPayload) {
  const JournalEntry original = JournalEntry::sample(filled<SampleWindow>(Fill::Populated));
  JournalEntry copy = original;
  EXPECT_EQ(copy, original);
  EXPECT_NE(copy.payload_if<SampleWindow>(), original.payload_if<SampleWindow>());
  // Equal payloads held in different allocations are equal entries.
  EXPECT_EQ(JournalEntry::sample(filled<SampleWindow>(Fill::Populated)), original);
  EXPECT_NE(JournalEntry::sample(filled<SampleWindow>(Fill::Extreme)), original);
  EXPECT_NE(JournalEntry::sample(SampleWindow{}), JournalEntry::calibration({}));
  copy = JournalEntry::header(JournalHeader{});
  EXPECT_EQ(copy.type(), JournalEntry::Type::Header);
  EXPECT_EQ(original.type(), JournalEntry::Type::Sample);
  EXPECT_EQ(original.payload_if<JournalHeader>(), nullptr);
}

TEST(JournalEntry, MovedFromEntryIsAHistoryReset) {
  JournalEntry source = JournalEntry::calibration(filled<CalibrationArtifact>(Fill::Extreme));
  const JournalEntry target = std::move(source);
  EXPECT_EQ(target.type(), JournalEntry::Type::Calibration);
  EXPECT_EQ(source.type(), JournalEntry::Type::SampleHistoryReset);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(encode_journal_record({.version = 1, .sequence = 1, .entry = std::move(source)}),
            R"({"version":1,"sequence":1,"entry":{"type":"sample_history_reset"}})");
}

// ---------------------------------------------------------------------------
// Decoding: the envelope.

TEST(JournalRecordDecode, EnvelopeKeysInAnyOrderAndUnknownKeysSkipped) {
  const JournalRecord expected{.version = 1, .sequence = 3, .entry = JournalEntry::signal(kSignal)};
  const std::string entry = R"({"type":"signal","value":)" + std::string(kSignalValue) + "}";
  EXPECT_EQ(decoded(record_with_entry(entry)), expected);
  EXPECT_EQ(decoded(R"({"entry":)" + entry + R"(,"sequence":3,"version":1})"), expected);
  EXPECT_EQ(decoded(R"({"x":[{"version":2}],"sequence":3,"x":1,"entry":)" + entry +
                    R"(,"vers\u0069on":1})"),
            expected);
}

TEST(JournalRecordDecode, EnvelopeFieldsAreRequiredOnceAndInRange) {
  const std::string entry = R"({"type":"sample_history_reset"})";
  const auto envelope = [&](std::string_view version, std::string_view sequence) {
    return R"({"version":)" + std::string(version) + R"(,"sequence":)" + std::string(sequence) +
           R"(,"entry":)" + entry + "}";
  };
  EXPECT_EQ(decoded(envelope("65535", "18446744073709551615")).sequence,
            std::numeric_limits<uint64_t>::max());
  // Refusing other versions is the journal reader's business, not the decoder's.
  EXPECT_EQ(decoded(envelope("2", "0")).version, 2);
  for (const auto& [version, sequence] : std::vector<std::pair<std::string_view, std::string_view>>{
           {"65536", "0"}, {"-1", "0"}, {"1.0", "0"}, {"\"1\"", "0"}, {"null", "0"}, {"-0", "0"},
           {"1", "18446744073709551616"}, {"1", "-0"}, {"1", "1e0"}, {"1", "true"}}) {
    EXPECT_FALSE(decodes(envelope(version, sequence))) << version << " " << sequence;
  }
  EXPECT_FALSE(decodes(R"({"sequence":3,"entry":)" + entry + "}"));
  EXPECT_FALSE(decodes(R"({"version":1,"entry":)" + entry + "}"));
  EXPECT_FALSE(decodes(R"({"version":1,"sequence":3})"));
  EXPECT_FALSE(decodes(R"({"version":1,"version":1,"sequence":3,"entry":)" + entry + "}"));
  EXPECT_FALSE(decodes(R"({"version":1,"sequence":3,"entry":)" + entry + R"(,"entry":)" + entry + "}"));
  EXPECT_FALSE(decodes(R"({"version":1,"sequence":3,"entry":null})"));
}

TEST(JournalRecordDecode, OnlyWhitespaceMaySurroundTheRecord) {
  const std::string record = record_with_entry(R"({"type":"sample_history_reset"})");
  EXPECT_TRUE(decodes(record + "\n"));
  EXPECT_TRUE(decodes(" \t\r\n" + record + "\r\n\t "));
  EXPECT_FALSE(decodes(record + record));
  EXPECT_FALSE(decodes(record + "\n{}"));
  EXPECT_FALSE(decodes(record + "\f"));
  EXPECT_FALSE(decodes("\xC2\xA0" + record));
  EXPECT_FALSE(decodes(record + std::string(1, '\0')));
  EXPECT_FALSE(decodes(""));
  EXPECT_FALSE(decodes(record.substr(0, record.size() - 1)));
}

TEST(JournalRecordDecode, ForeignFormsAreNotAccepted) {
  EXPECT_FALSE(decodes(R"([1,3,{"type":"sample_history_reset"}])"));
  EXPECT_FALSE(decodes(record_with_entry(R"(["sample_history_reset",null])")));
  EXPECT_FALSE(decodes(record_with_entry(R"({"type":{"sample_history_reset":null}})")));
  EXPECT_FALSE(decodes(record_with_entry(R"({"type":2})")));
  EXPECT_FALSE(decodes(record_with_entry(R"({"type":4,"value":)" + std::string(kSignalValue) + "}")));
  EXPECT_FALSE(decodes(R"("record")"));
  EXPECT_FALSE(decodes("null"));
}

// ---------------------------------------------------------------------------
// Decoding: the entry's "type" and "value".

TEST(JournalRecordDecode, HistoryResetWithoutValueOrWithNull) {
  EXPECT_EQ(decoded(R"({"version":1,"sequence":3,"entry":{"type":"sample_history_reset"}})").entry,
            JournalEntry::sample_history_reset());
  EXPECT_EQ(decoded(record_with_entry(R"({"type":"sample_history_reset","value":null})")).entry,
            JournalEntry::sample_history_reset());
  EXPECT_EQ(decoded(record_with_entry(R"({"value":null,"x":5,"type":"sample_history_reset"})")).entry,
            JournalEntry::sample_history_reset());
  for (const std::string_view value : {"{}", "[]", "0", "false", "\"\"", "{\"a\":null}"}) {
    EXPECT_FALSE(decodes(record_with_entry(R"({"type":"sample_history_reset","value":)" +
                                           std::string(value) + "}")))
        << value;
    EXPECT_FALSE(decodes(record_with_entry(R"({"value":)" + std::string(value) +
                                           R"(,"type":"sample_history_reset"})")))
        << value;
  }
}

TEST(JournalRecordDecode, TypeAndValueOrderRules) {
  const std::string value(kSignalValue);
  const JournalEntry expected = JournalEntry::signal(kSignal);
  // Either order, with other keys anywhere.
  for (const std::string& entry : {
           R"({"type":"signal","value":)" + value + "}",
           R"({"value":)" + value + R"(,"type":"signal"})",
           R"({"a":1,"value":)" + value + R"(,"b":{"type":"x"},"type":"signal","c":[]})",
           R"({"typ":"x","type":"signal","Value":3,"value":)" + value + "}",
           R"({"t\u0079pe":"signal","\u0076alue":)" + value + "}",
       }) {
    EXPECT_EQ(decoded(record_with_entry(entry)).entry, expected) << entry;
  }
  for (const std::string& entry : {
           std::string(R"({"type":"signal"})"),
           std::string(R"({})"),
           R"({"value":)" + value + "}",
           R"({"type":"signal","type":"signal","value":)" + value + "}",
           R"({"type":"signal","value":)" + value + R"(,"type":"signal"})",
           R"({"type":"signal","value":)" + value + R"(,"value":)" + value + "}",
           R"({"value":)" + value + R"(,"value":)" + value + R"(,"type":"signal"})",
           R"({"value":)" + value + R"(,"type":"signal","type":"signal"})",
           R"({"value":)" + value + R"(,"type":"signal","value":)" + value + "}",
           R"({"type":"Signal","value":)" + value + "}",
           R"({"type":"signal ","value":)" + value + "}",
           R"({"type":"bogus","value":)" + value + "}",
           R"({"type":null,"value":)" + value + "}",
           std::string(R"({"type":"signal","value":null})"),
           std::string(R"({"type":"transition","value":{"at_ms":1}})"),
           R"({"type":"transition","value":)" + value + "}",
           R"({"type":"header","value":)" + value + "}",
       }) {
    EXPECT_FALSE(decodes(record_with_entry(entry))) << entry;
  }
}

TEST(JournalRecordDecode, PayloadStringsMustBeValidUnicode) {
  const auto header_with_name = [](std::string_view name) {
    JournalRecord record{.version = 1, .sequence = 0, .entry = JournalEntry::header({})};
    std::string text = encode_journal_record(record);
    const std::string field = R"("executable_basename":"")";
    const std::size_t at = text.find(field);
    text.replace(at, field.size(), R"("executable_basename":")" + std::string(name) + "\"");
    return text;
  };
  const JournalRecord ok = decoded(header_with_name(R"(a\ud83d\ude00\n)"));
  ASSERT_NE(ok.entry.payload_if<JournalHeader>(), nullptr);
  EXPECT_EQ(ok.entry.payload_if<JournalHeader>()->run.executable_basename, "a\xF0\x9F\x98\x80\n");
  // The full grammar of strings is the tree's business; these show that the
  // decoder goes through it.
  for (const std::string_view bad : {"\\ud800", "\xFF", "\x1f"}) {
    EXPECT_FALSE(decodes(header_with_name(bad))) << bad;
  }
}

TEST(JournalRecordDecode, NestingBudgetCoversTheWholePayload) {
  // The record is level 1 and the entry level 2, so a member of the entry may
  // hold 125 more levels.
  const auto with_depth = [](int extra) {
    return record_with_entry(R"({"type":"sample_history_reset","x":)" +
                             std::string(static_cast<std::size_t>(extra), '[') +
                             std::string(static_cast<std::size_t>(extra), ']') + "}");
  };
  EXPECT_TRUE(decodes(with_depth(125)));
  EXPECT_FALSE(decodes(with_depth(126)));
  EXPECT_FALSE(decodes(std::string(1 << 20, '[')));
}

// ---------------------------------------------------------------------------
// Hostile input.

// Mutations and truncations of valid payloads must come back as a record or
// a rejection: no crash, no hang, no unbounded recursion (the sanitizer build
// runs this too).
TEST(JournalRecordDecode, MutatedPayloadsAlwaysReturn) {
  std::vector<std::string> seeds;
  for (const Fill fill : {Fill::Populated, Fill::Extreme}) {
    std::vector<JournalEntry> entries = every_entry(fill);
    for (JournalEntry& entry : entries) {
      seeds.push_back(encode_journal_record({.version = 1, .sequence = 5, .entry = std::move(entry)}));
    }
  }
  constexpr std::string_view kInteresting = "{}[]\",:\\0-1e.nulltruefalse \t\n\x00\xFF\xC3\xED";
  constexpr int kRounds = 8000;
  std::mt19937 random(20261206);
  std::size_t accepted = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::string text = seeds[random() % seeds.size()];
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const std::size_t at = random() % text.size();
      switch (random() % 6) {
        case 0:
          text.resize(at);
          break;
        case 1:
          text[at] = static_cast<char>(random() % 256);
          break;
        case 2:
          text.insert(at, 1, kInteresting[random() % kInteresting.size()]);
          break;
        case 3:
          text.erase(at, 1 + random() % 8);
          break;
        case 4:
          text.insert(at, text.substr(random() % text.size(), random() % 64));
          break;
        default:
          text.insert(at, std::string(random() % 200, random() % 2 ? '[' : '{'));
          break;
      }
    }
    if (decode_journal_record(bytes_of(text)).ok()) ++accepted;
  }
  // Some mutations (inside skipped or string values) leave a valid record;
  // most do not. Either way every call returned.
  EXPECT_LT(accepted, std::size_t{kRounds});
}

}  // namespace
}  // namespace vek_guard
