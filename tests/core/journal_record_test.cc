#include "vek_guard/journal_record.h"

#include <cstddef>
#include <cstdint>
#include <limits>
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
using namespace std::string_view_literals;

// Fills every field recursively so that round trips cover every key, not just
// the defaults. Populated picks ordinary values and varies the chosen variants
// by a running counter; Extreme takes the limits of every integer, a string
// that needs every kind of escape and the last variant of everything.
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
    }
    (std::make_index_sequence<std::variant_size_v<Storage>>{});
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

// One entry of every variant, in type order.
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

const std::string kSignalValue =
    R"({"at_ms":12,"signal":15,"target":"owned_process_group","result":"delivered"})";
const SignalRecord kSignal{.at_ms = 12,
                           .signal = 15,
                           .target = SignalTarget::OwnedProcessGroup,
                           .result = SignalResult::Delivered,
                           .reason = std::nullopt};
const std::string kReset = R"({"type":"sample_history_reset"})";

std::string record_with_entry(std::string_view entry) {
  return R"({"version":1,"sequence":3,"entry":)" + std::string(entry) + "}";
}

// ---------------------------------------------------------------------------
// Round trips.

template <class R>
class RoundTrip : public ::testing::Test {};

using ReadableTypes =
    ::testing::Types<RunIdentity, Capabilities, ReportConfiguration, AdvisoryMetricMetadata,
                     AdvisoryMetadata, AdvisoryMetrics, SampleWindow, TransitionRecord,
                     SignalRecord, CheckpointArtifactRecord, CheckpointRecord, EscapeEvidence,
                     ArtifactErrorRecord, TerminalOutcome, CalibrationArtifact, PrivacyDefaults,
                     JournalHeader, Observed<uint64_t>, Observed<int64_t>, Observed<bool>,
                     Observed<MemoryPressureLevel>, ChildStatus>;
TYPED_TEST_SUITE(RoundTrip, ReadableTypes);

TYPED_TEST(RoundTrip, DefaultsPopulatedExtremesAndEveryVariantReadBackEqual) {
  std::vector<TypeParam> values{TypeParam{}, filled<TypeParam>(Fill::Extreme)};
  for (std::size_t seed = 0; seed < 8; ++seed) {
    values.push_back(filled<TypeParam>(Fill::Populated, seed));
  }
  if constexpr (TaggedValue<TypeParam>) {
    for (std::size_t i = 0; i < TaggedTable<TypeParam>::kNames.size(); ++i) {
      for (const Fill fill : {Fill::Populated, Fill::Extreme}) {
        Filler(fill).fill_variant(values.emplace_back().storage(), i);
      }
    }
  } else if constexpr (std::is_same_v<TypeParam, TerminalOutcome>) {
    // The kind exists only flattened into its outcome.
    for (std::size_t i = 0; i < TaggedTable<TerminalKind>::kNames.size(); ++i) {
      TerminalOutcome outcome = filled<TerminalOutcome>(Fill::Populated);
      Filler(Fill::Extreme).fill_variant(outcome.kind.storage(), i);
      values.push_back(outcome);
    }
  }
  for (const TypeParam& value : values) {
    EXPECT_EQ(read_back(value), value) << to_json(value, JsonLayout::Compact);
  }
}

// Entries own some payloads through pointers: copies must be deep, equality
// must compare payloads, and a moved-from entry must still encode.
TEST(JournalEntry, CopiesAreDeepAndAMovedFromEntryIsAHistoryReset) {
  const JournalEntry original = JournalEntry::sample(filled<SampleWindow>(Fill::Populated));
  JournalEntry copy = original;
  EXPECT_EQ(copy, original);
  EXPECT_NE(copy.payload_if<SampleWindow>(), original.payload_if<SampleWindow>());
  EXPECT_EQ(JournalEntry::sample(filled<SampleWindow>(Fill::Populated)), original);
  EXPECT_NE(JournalEntry::sample(filled<SampleWindow>(Fill::Extreme)), original);
  EXPECT_NE(JournalEntry::sample(SampleWindow{}), JournalEntry::calibration({}));
  copy = JournalEntry::header(JournalHeader{});
  EXPECT_EQ(copy.type(), JournalEntry::Type::Header);
  EXPECT_EQ(original.type(), JournalEntry::Type::Sample);
  EXPECT_EQ(original.payload_if<JournalHeader>(), nullptr);

  JournalEntry source = JournalEntry::calibration(filled<CalibrationArtifact>(Fill::Extreme));
  const JournalEntry target = std::move(source);
  EXPECT_EQ(target.type(), JournalEntry::Type::Calibration);
  EXPECT_EQ(source.type(),
            JournalEntry::Type::SampleHistoryReset);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(encode_journal_record({.version = 1, .sequence = 1, .entry = std::move(source)}),
            R"({"version":1,"sequence":1,"entry":{"type":"sample_history_reset"}})");
}

// ---------------------------------------------------------------------------
// Decoding. The JSON grammar itself is the reader's business (json_reader_test);
// these rows show that the decoder goes through it and adds its own rules.

// `pattern` with every '$' replaced by the signal's value.
std::string with_signal(std::string_view pattern) {
  std::string text;
  for (const char c : pattern) text += c == '$' ? kSignalValue : std::string(1, c);
  return text;
}

TEST(JournalRecordDecode, EnvelopeRules) {
  const JournalRecord expected{.version = 1, .sequence = 3, .entry = JournalEntry::signal(kSignal)};
  // The writer's compact form, then other spellings of the same record.
  const std::string compact =
      with_signal(R"({"version":1,"sequence":3,"entry":{"type":"signal","value":$}})");
  EXPECT_EQ(encode_journal_record(expected), compact);
  for (const std::string& text :
       {compact, " \t\r\n" + compact + "\r\n",
        with_signal(R"({"entry":{"type":"signal","value":$},"sequence":3,"version":1})"),
        with_signal(R"({"x":[{"version":2}],"sequence":3,"entry":{"value":$,"type":"signal"},)"
                    R"("vers\u0069on":1})")}) {
    EXPECT_EQ(decoded(text), expected) << text;
  }
  const auto envelope = [](std::string_view version, std::string_view sequence) {
    return R"({"version":)" + std::string(version) + R"(,"sequence":)" + std::string(sequence) +
           R"(,"entry":)" + kReset + "}";
  };
  EXPECT_EQ(decoded(envelope("65535", "18446744073709551615")).sequence,
            std::numeric_limits<uint64_t>::max());
  // Refusing other versions is the journal reader's business, not the decoder's.
  EXPECT_EQ(decoded(envelope("2", "0")).version, 2);
  const std::string reset = record_with_entry(kReset);
  for (const std::string& text :
       {envelope("65536", "0"), envelope("1", "18446744073709551616"),
        R"({"sequence":3,"entry":)" + kReset + "}", std::string(R"({"version":1,"sequence":3})"),
        std::string(R"({"version":1,"sequence":3,"entry":null})"),
        R"({"version":1,"sequence":3,"entry":)" + kReset + R"(,"entry":)" + kReset + "}",
        reset + reset, reset.substr(0, reset.size() - 1), std::string(),
        std::string(R"([1,3,{"type":"sample_history_reset"}])")}) {
    EXPECT_FALSE(decodes(text)) << text;
  }
}

TEST(JournalRecordDecode, TypeAndValueRules) {
  // "type" and "value" in either order, with other keys anywhere.
  for (const std::string_view entry :
       {R"({"value":$,"type":"signal"})", R"({"a":1,"value":$,"b":{"type":"x"},"type":"signal"})",
        R"({"typ":"x","type":"signal","Value":3,"value":$})",
        R"({"t\u0079pe":"signal","\u0076alue":$})"}) {
    EXPECT_EQ(decoded(record_with_entry(with_signal(entry))).entry, JournalEntry::signal(kSignal))
        << entry;
  }
  // The history reset carries nothing: no value, or an explicit null.
  for (const std::string_view entry : {R"({"type":"sample_history_reset","value":null})",
                                       R"({"value":null,"x":5,"type":"sample_history_reset"})"}) {
    EXPECT_EQ(decoded(record_with_entry(entry)).entry, JournalEntry::sample_history_reset());
  }
  for (const std::string_view entry :
       {R"({"type":"signal"})", R"({})", R"({"value":$})",
        R"({"type":"signal","type":"signal","value":$})",
        R"({"value":$,"type":"signal","value":$})", R"({"type":"Signal","value":$})",
        R"({"type":4,"value":$})", R"(["signal",$])", R"({"type":"signal","value":null})",
        R"({"type":"header","value":$})", R"({"value":{},"type":"sample_history_reset"})"}) {
    EXPECT_FALSE(decodes(record_with_entry(with_signal(entry)))) << entry;
  }
}

TEST(JournalRecordDecode, PayloadStringsAndNestingAreChecked) {
  const auto header_with_name = [](std::string_view name) {
    std::string text =
        encode_journal_record({.version = 1, .sequence = 0, .entry = JournalEntry::header({})});
    const std::string field = R"("executable_basename":"")";
    text.replace(text.find(field), field.size(),
                 R"("executable_basename":")" + std::string(name) + "\"");
    return text;
  };
  const JournalRecord ok = decoded(header_with_name(R"(a\ud83d\ude00\n)"));
  ASSERT_NE(ok.entry.payload_if<JournalHeader>(), nullptr);
  EXPECT_EQ(ok.entry.payload_if<JournalHeader>()->run.executable_basename, "a\xF0\x9F\x98\x80\n");
  for (const std::string_view bad : {"\\ud800", "\xFF", "\x1f"}) {
    EXPECT_FALSE(decodes(header_with_name(bad))) << bad;
  }
  // The record is level 1 and the entry level 2, so a member of the entry may
  // hold 125 more levels.
  const auto with_depth = [](std::size_t extra) {
    return record_with_entry(R"({"type":"sample_history_reset","x":)" + std::string(extra, '[') +
                             std::string(extra, ']') + "}");
  };
  EXPECT_TRUE(decodes(with_depth(125)));
  EXPECT_FALSE(decodes(with_depth(126)));
  EXPECT_FALSE(decodes(std::string(1 << 20, '[')));
}

// Every entry variant reads back equal; mutated and truncated ones come back
// as a record or a rejection: no crash, no hang, no unbounded recursion (the
// sanitizer build runs this too).
TEST(JournalRecordDecode, EveryEntryReadsBackAndMutatedOnesAlwaysReturn) {
  std::vector<std::string> seeds;
  for (const Fill fill : {Fill::Populated, Fill::Extreme}) {
    std::vector<JournalEntry> entries = every_entry(fill);
    ASSERT_EQ(entries.size(), JournalEntry::kNames.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      ASSERT_EQ(static_cast<std::size_t>(entries[i].type()), i);
      const uint64_t sequence = fill == Fill::Extreme ? std::numeric_limits<uint64_t>::max() : i;
      const JournalRecord record{
          .version = 1, .sequence = sequence, .entry = std::move(entries[i])};
      seeds.push_back(encode_journal_record(record));
      EXPECT_EQ(decoded(seeds.back()), record) << seeds.back();
    }
  }
  constexpr std::string_view kInteresting = "{}[]\",:\\0-1e.nulltruefalse \t\n\x00\xFF\xC3\xED"sv;
  constexpr int kRounds = 8000;
  std::mt19937 random(20261206);
  int accepted = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::string text = seeds[random() % seeds.size()];
    for (int e = 1 + static_cast<int>(random() % 4); e > 0 && !text.empty(); --e) {
      const std::size_t at = random() % text.size();
      const unsigned kind = random() % 4;
      if (kind == 0) {
        text.resize(at);
      } else if (kind == 1) {
        text[at] = static_cast<char>(random() % 256);
      } else if (kind == 2) {
        text.insert(at, 1, kInteresting[random() % kInteresting.size()]);
      } else {
        text.insert(at, std::string(random() % 200, random() % 2 ? '[' : '{'));
      }
    }
    if (decodes(text)) ++accepted;
  }
  EXPECT_LT(accepted, kRounds);
}

}  // namespace
}  // namespace vek_guard
