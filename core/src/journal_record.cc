#include "vek_guard/journal_record.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "vek_guard/error.h"
#include "vek_guard/json_reader.h"
#include "vek_guard/json_writer.h"
#include "vek_guard/report.h"

namespace vek_guard {
namespace {

using Storage = JournalEntry::Storage;

template <class T>
inline constexpr bool kIsOwned = false;
template <class T>
inline constexpr bool kIsOwned<std::unique_ptr<T>> = true;

// Reads the payload of variant I into `storage` through `read`, which fills a
// default-constructed payload (by the direct or the buffered form).
template <std::size_t I, class Read>
bool emplace_payload(Storage& storage, Read&& read) {
  using Alternative = std::variant_alternative_t<I, Storage>;
  if constexpr (kIsOwned<Alternative>) {
    auto held = std::make_unique<typename Alternative::element_type>();
    if (!read(*held)) return false;
    storage.template emplace<I>(std::move(held));
  } else {
    Alternative held{};
    if (!read(held)) return false;
    storage.template emplace<I>(std::move(held));
  }
  return true;
}

// Calls `f(std::integral_constant<std::size_t, I>{})` for I == index.
template <class F>
bool with_variant(std::size_t index, F&& f) {
  bool ok = false;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((index == I ? (ok = f(std::integral_constant<std::size_t, I>{}), 0) : 0), ...);
  }
  (std::make_index_sequence<std::variant_size_v<Storage>>{});
  return ok;
}

constexpr std::size_t kResetIndex =
    static_cast<std::size_t>(JournalEntry::Type::SampleHistoryReset);

// Builds variant `index` (not the history reset) of an entry from its
// "value" member through `read`, which fills a default-constructed payload
// from the text in place or from a buffered value.
template <class Read>
bool read_entry_payload(std::size_t index, Storage& storage, Read&& read) {
  return with_variant(index, [&](auto variant) {
    constexpr std::size_t kIndex = decltype(variant)::value;
    if constexpr (kIndex == kResetIndex) {
      return false;
    } else {
      return emplace_payload<kIndex>(storage, read);
    }
  });
}

Storage copy_storage(const Storage& from) {
  Storage to;
  visit_indexed(from, [&](auto index, const auto& held) {
    constexpr std::size_t kIndex = decltype(index)::value;
    using Held = std::remove_cvref_t<decltype(held)>;
    if constexpr (kIsOwned<Held>) {
      to.template emplace<kIndex>(std::make_unique<typename Held::element_type>(*held));
    } else {
      to.template emplace<kIndex>(held);
    }
  });
  return to;
}

void write_entry(JsonWriter& writer, const JournalEntry& entry) {
  writer.begin_object();
  writer.member("type", entry.name());
  visit_indexed(entry.storage(), [&](auto /*index*/, const auto& held) {
    using Held = std::remove_cvref_t<decltype(held)>;
    if constexpr (kIsOwned<Held>) {
      writer.member("value", *held);
    } else if constexpr (!std::is_same_v<Held, std::monostate>) {
      writer.member("value", held);
    }
  });
  writer.end_object();
}

}  // namespace

JournalEntry JournalEntry::header(JournalHeader header) {
  return JournalEntry(
      Storage(std::in_place_index<0>, std::make_unique<JournalHeader>(std::move(header))));
}
JournalEntry JournalEntry::sample(SampleWindow sample) {
  return JournalEntry(
      Storage(std::in_place_index<1>, std::make_unique<SampleWindow>(std::move(sample))));
}
JournalEntry JournalEntry::transition(TransitionRecord transition) {
  return JournalEntry(Storage(std::in_place_index<3>, std::move(transition)));
}
JournalEntry JournalEntry::signal(SignalRecord signal) {
  return JournalEntry(Storage(std::in_place_index<4>, std::move(signal)));
}
JournalEntry JournalEntry::checkpoint(CheckpointRecord checkpoint) {
  return JournalEntry(Storage(std::in_place_index<5>, std::move(checkpoint)));
}
JournalEntry JournalEntry::escape(EscapeEvidence escape) {
  return JournalEntry(Storage(std::in_place_index<6>, std::move(escape)));
}
JournalEntry JournalEntry::artifact_error(ArtifactErrorRecord artifact_error) {
  return JournalEntry(Storage(std::in_place_index<7>, std::move(artifact_error)));
}
JournalEntry JournalEntry::calibration(CalibrationArtifact calibration) {
  return JournalEntry(Storage(std::in_place_index<8>,
                              std::make_unique<CalibrationArtifact>(std::move(calibration))));
}
JournalEntry JournalEntry::outcome(TerminalOutcome outcome) {
  return JournalEntry(Storage(std::in_place_index<9>, std::move(outcome)));
}

JournalEntry::JournalEntry(const JournalEntry& other) : storage_(copy_storage(other.storage_)) {}

JournalEntry& JournalEntry::operator=(const JournalEntry& other) {
  if (this != &other) storage_ = copy_storage(other.storage_);
  return *this;
}

// Moving a pointer variant would leave a null payload behind, which the
// writer could only turn into a record that no longer decodes.
JournalEntry::JournalEntry(JournalEntry&& other) noexcept : storage_(std::move(other.storage_)) {
  other.storage_.emplace<2>();
}

JournalEntry& JournalEntry::operator=(JournalEntry&& other) noexcept {
  if (this != &other) {
    storage_ = std::move(other.storage_);
    other.storage_.emplace<2>();
  }
  return *this;
}

bool operator==(const JournalEntry& a, const JournalEntry& b) {
  if (a.storage_.index() != b.storage_.index()) return false;
  bool equal = false;
  visit_indexed(a.storage_, [&](auto index, const auto& held) {
    const auto& other = std::get<decltype(index)::value>(b.storage_);
    if constexpr (kIsOwned<std::remove_cvref_t<decltype(held)>>) {
      equal = *held == *other;
    } else {
      equal = held == other;
    }
  });
  return equal;
}

// The first of "type" and "value" decides how the payload is read: after
// "type" it is read from the text in place, as its variant's record; before
// it, its variant is not known yet, so it is buffered whole and read once
// "type" has come. Either key at most once settles every order rule: the only
// sequences left are "type", "type" "value" and "value" "type", and anything
// longer repeats a key. Other members are skipped, counted against the
// nesting budget like the rest of the entry.
bool read_json_custom(JsonReader& in, JournalEntry& out) {
  if (!in.begin_object()) return false;
  constexpr std::size_t kNoType = JournalEntry::kNames.size();
  std::size_t index = kNoType;
  bool have_value = false;
  std::optional<BufferedValue> early_value;
  std::string_view key;
  for (bool first = true;; first = false) {
    const int step = in.next_member(first, key);
    if (step < 0) return false;
    if (step == 0) break;
    if (same_name(key, "type")) {
      std::string_view name;
      if (index != kNoType || in.peek() != '"' || !in.read_string(name)) return false;
      index = find_name(JournalEntry::kNames, name);
      if (index == kNoType) return false;
    } else if (same_name(key, "value")) {
      if (have_value) return false;
      have_value = true;
      if (index == kResetIndex) {
        // "sample_history_reset" carries nothing; a "value" that is there
        // must say so with null rather than carry something to be ignored.
        if (!in.consume_null()) return false;
      } else if (index != kNoType) {
        if (!read_entry_payload(index, out.storage_,
                                [&](auto& held) { return read_direct_into(in, held); })) {
          return false;
        }
      } else if (!in.build_value(early_value.emplace())) {
        return false;
      }
    } else if (!in.skip_value(/*counted=*/true)) {
      return false;
    }
  }
  if (index == kNoType) return false;
  if (early_value) {
    if (index == kResetIndex) return early_value->is_null();
    return read_entry_payload(index, out.storage_,
                              [&](auto& held) { return read_buffered_into(*early_value, held); });
  }
  // Only the history reset may leave its "value" out.
  if (!have_value) return index == kResetIndex;
  return true;
}

std::string encode_journal_record(const JournalRecord& record) {
  std::string out;
  out.reserve(128);
  append_journal_record(record, &out);
  return out;
}

void append_journal_record(const JournalRecord& record, std::string* out) {
  JsonWriter writer(*out, JsonLayout::Compact);
  writer.begin_object();
  JournalRecord::for_each_field(record, [&](FieldKey key, const auto& field) {
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(field)>, JournalEntry>) {
      writer.key(key.name);
      write_entry(writer, field);
    } else {
      writer.field(key, field);
    }
  });
  writer.end_object();
}

Result<JournalRecord, JournalDecodeError> decode_journal_record(std::span<const uint8_t> payload,
                                                                JsonReader& reader) {
  reader.reset(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
  JournalRecord record;
  if (!read_direct_into(reader, record) || !reader.at_end()) {
    return unexpected(JournalDecodeError{});
  }
  return record;
}

Result<JournalRecord, JournalDecodeError> decode_journal_record(std::span<const uint8_t> payload) {
  JsonReader reader({});
  return decode_journal_record(payload, reader);
}

}  // namespace vek_guard
