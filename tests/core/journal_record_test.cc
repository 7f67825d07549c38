#include "vek_guard/journal_record.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "vek_guard/json_reader.h"
#include "vek_guard/report.h"

namespace vek_guard {
namespace {

using json_reader_internal::kIsOptional;

// Fills every field recursively so that round trips cover every key, not just
// the defaults. Populated picks ordinary values and varies the chosen variants
// by a running counter, so sixteen seeds reach every variant of every field;
// Extreme takes the limits of every integer, a string that needs every kind
// of escape and the last variant of everything.
enum class Fill { Default, Populated, Extreme };

class Filler {
 public:
  Filler(Fill fill, std::size_t seed) : fill_(fill), counter_(seed) {}

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

 private:
  template <class Storage>
  void fill_variant(Storage& storage, std::size_t index) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((index == I ? (fill_alternative(storage.template emplace<I>()), 0) : 0), ...);
    }
    (std::make_index_sequence<std::variant_size_v<Storage>>{});
  }
  template <class A>
  void fill_alternative(A& alternative) {
    if constexpr (!std::is_same_v<A, std::monostate>) fill(alternative);
  }
  bool extreme() const { return fill_ == Fill::Extreme; }

  Fill fill_;
  std::size_t counter_;
};

template <class T>
T filled(Fill fill, std::size_t seed) {
  T value{};
  if (fill != Fill::Default) Filler(fill, seed).fill(value);
  return value;
}

// One entry of every variant, in type order.
std::vector<JournalEntry> every_entry(Fill fill, std::size_t seed = 0) {
  return {
      JournalEntry::header(filled<JournalHeader>(fill, seed)),
      JournalEntry::sample(filled<SampleWindow>(fill, seed)),
      JournalEntry::sample_history_reset(),
      JournalEntry::transition(filled<TransitionRecord>(fill, seed)),
      JournalEntry::signal(filled<SignalRecord>(fill, seed)),
      JournalEntry::checkpoint(filled<CheckpointRecord>(fill, seed)),
      JournalEntry::escape(filled<EscapeEvidence>(fill, seed)),
      JournalEntry::artifact_error(filled<ArtifactErrorRecord>(fill, seed)),
      JournalEntry::calibration(filled<CalibrationArtifact>(fill, seed)),
      JournalEntry::outcome(filled<TerminalOutcome>(fill, seed)),
  };
}

Result<JournalRecord, JournalDecodeError> decode(std::string_view text) {
  return decode_journal_record({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}
bool decodes(std::string_view text) { return decode(text).ok(); }

JournalRecord decoded(std::string_view text) {
  auto record = decode(text);
  EXPECT_TRUE(record.ok()) << text;
  return record.ok() ? std::move(record).value() : JournalRecord{};
}

TEST(JournalRecord, EveryEntryWithEveryVariantAndExtremeValuesReadsBackEqual) {
  for (std::size_t seed = 0; seed < 18; ++seed) {
    const Fill fill = seed == 16 ? Fill::Default : seed == 17 ? Fill::Extreme : Fill::Populated;
    std::vector<JournalEntry> entries = every_entry(fill, seed);
    ASSERT_EQ(entries.size(), JournalEntry::kNames.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      ASSERT_EQ(static_cast<std::size_t>(entries[i].type()), i);
      const JournalRecord record{.version = 1,
                                 .sequence = fill == Fill::Extreme ? UINT64_MAX : seed,
                                 .entry = std::move(entries[i])};
      const std::string text = encode_journal_record(record);
      EXPECT_EQ(decoded(text), record) << text;
    }
  }
  // Equality must compare the payloads the entries own.
  EXPECT_NE(JournalEntry::sample(filled<SampleWindow>(Fill::Populated, 1)),
            JournalEntry::sample(filled<SampleWindow>(Fill::Populated, 2)));
  EXPECT_NE(JournalEntry::sample(SampleWindow{}), JournalEntry::calibration({}));
}

// The JSON grammar itself is the reader's business (json_reader_test); these
// rows are the decoder's own rules.
const std::string kReset = R"({"type":"sample_history_reset"})";

std::string record_with(std::string_view version, std::string_view sequence,
                        std::string_view entry) {
  return R"({"version":)" + std::string(version) + R"(,"sequence":)" + std::string(sequence) +
         R"(,"entry":)" + std::string(entry) + "}";
}

TEST(JournalRecordDecode, EnvelopeRules) {
  EXPECT_EQ(decoded(record_with("65535", "18446744073709551615", kReset)).sequence, UINT64_MAX);
  // Refusing other versions is the journal reader's business, not the decoder's.
  EXPECT_EQ(decoded(record_with("2", "0", kReset)).version, 2);
  EXPECT_EQ(decoded(R"({"entry":)" + kReset + R"(,"sequence":3,"version":1})").sequence, 3u);
  const std::string reset = record_with("1", "3", kReset);
  for (const std::string& text :
       {record_with("65536", "0", kReset), record_with("1", "18446744073709551616", kReset),
        R"({"sequence":3,"entry":)" + kReset + "}", std::string(R"({"version":1,"sequence":3})"),
        record_with("1", "3", "null"), record_with("1", "3", kReset + R"(,"entry":)" + kReset),
        reset + reset, reset.substr(0, reset.size() - 1)}) {
    EXPECT_FALSE(decodes(text)) << text;
  }
}

TEST(JournalRecordDecode, TypeAndValueRules) {
  const std::string value = R"({"at_ms":12,"signal":15,"target":"owned_process_group",)"
                            R"("result":"delivered"})";
  // "type" and "value" in either order, with other keys anywhere; the history
  // reset carries nothing: no value, or an explicit null.
  const JournalRecord signal =
      decoded(record_with("1", "3", R"({"value":)" + value + R"(,"a":1,"type":"signal"})"));
  ASSERT_NE(signal.entry.payload_if<SignalRecord>(), nullptr);
  EXPECT_EQ(signal.entry.payload_if<SignalRecord>()->at_ms, 12u);
  EXPECT_EQ(decoded(record_with("1", "3", R"({"type":"sample_history_reset","value":null})")).entry,
            JournalEntry::sample_history_reset());
  for (const std::string& entry :
       {std::string(R"({"type":"signal"})"), R"({"value":)" + value + "}",
        R"({"type":"signal","type":"signal","value":)" + value + "}",
        R"({"type":"header","value":)" + value + "}",
        std::string(R"({"value":{},"type":"sample_history_reset"})")}) {
    EXPECT_FALSE(decodes(record_with("1", "3", entry))) << entry;
  }
}

// The record is level 1 and the entry level 2, so a member of the entry may
// hold 125 more levels.
TEST(JournalRecordDecode, NestingStopsAtTheBudget) {
  const auto with_depth = [](std::size_t extra) {
    return record_with("1", "3",
                       R"({"type":"sample_history_reset","x":)" + std::string(extra, '[') +
                           std::string(extra, ']') + "}");
  };
  EXPECT_TRUE(decodes(with_depth(125)));
  EXPECT_FALSE(decodes(with_depth(126)));
  EXPECT_FALSE(decodes(std::string(1 << 20, '[')));
}

// Unknown members of the records read in place are walked without counting;
// a payload buffered because its "value" came before its "type" counts whole.
TEST(JournalRecordDecode, UnknownMembersReadInPlaceDoNotCount) {
  const std::string deep = std::string(200, '[') + std::string(200, ']');
  const std::string signal = R"({"at_ms":12,"signal":15,"target":"owned_process_group",)"
                             R"("result":"delivered","x":)" +
                             deep + "}";
  EXPECT_TRUE(decodes(R"({"x":)" + deep + "," + record_with("1", "3", kReset).substr(1)));
  EXPECT_TRUE(decodes(record_with("1", "3", R"({"type":"signal","value":)" + signal + "}")));
  EXPECT_FALSE(decodes(record_with("1", "3", R"({"value":)" + signal + R"(,"type":"signal"})")));
  EXPECT_FALSE(
      decodes(record_with("1", "3",
                          R"({"type":"outcome","value":{"at_ms":5,"kind":"launch_not_found",)"
                          R"("final_footprint_bytes":{"status":"unknown"},"x":)" +
                              deep + "}}")));
}

// An unknown member only has to be well-formed JSON: a number too large for
// a double is one. Where a field reads it, it is out of that field's range.
TEST(JournalRecordDecode, AnUnknownMembersNumberIsTakenByItsSyntaxAlone) {
  const std::string huge_integer = "1" + std::string(399, '0');
  const auto signal = [](std::string_view at_ms, std::string_view extra) {
    return R"({"at_ms":)" + std::string(at_ms) +
           R"(,"signal":15,"target":"owned_process_group","result":"delivered")" +
           std::string(extra) + "}";
  };
  const auto outcome = [](std::string_view extra) {
    return R"({"at_ms":5,"kind":"launch_not_found","final_footprint_bytes":{"status":"unknown")" +
           std::string(extra) + "}" + std::string(extra) + "}";
  };
  for (const std::string& number : {std::string("1e400"), std::string("-1e400"), huge_integer,
                                    "-" + huge_integer, std::string("[1E+99999,-0.5e400]")}) {
    SCOPED_TRACE(number);
    const std::string extra = R"(,"x":)" + number;
    // The envelope and a record read in place, a record buffered because its
    // value comes first, a tagged value's and an outcome's kept members.
    EXPECT_TRUE(decodes(R"({"x":)" + number + "," + record_with("1", "3", kReset).substr(1)));
    EXPECT_TRUE(
        decodes(record_with("1", "3", R"({"type":"signal","value":)" + signal("12", extra) + "}")));
    EXPECT_TRUE(decodes(
        record_with("1", "3", R"({"value":)" + signal("12", extra) + R"(,"type":"signal"})")));
    EXPECT_TRUE(
        decodes(record_with("1", "3", R"({"type":"outcome","value":)" + outcome(extra) + "}")));
    // A field keeps its range.
    EXPECT_FALSE(
        decodes(record_with("1", "3", R"({"type":"signal","value":)" + signal(number, "") + "}")));
    EXPECT_FALSE(decodes(record_with("1", number, kReset)));
  }
  // Numbers are still JSON numbers.
  for (const std::string_view malformed : {"1e", "1.e5", "01", "-", "1e+"}) {
    EXPECT_FALSE(decodes(R"({"x":)" + std::string(malformed) + "," +
                         record_with("1", "3", kReset).substr(1)))
        << malformed;
  }
}

}  // namespace
}  // namespace vek_guard
