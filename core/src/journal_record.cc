#include "vek_guard/journal_record.h"

#include <cstddef>
#include <cstdint>
#include <memory>
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

// Builds variant I of an entry from its "value" member (null when the entry
// had none).
template <std::size_t I>
bool read_entry_payload(const BufferedValue* payload, Storage& storage) {
  using Alternative = std::variant_alternative_t<I, Storage>;
  if constexpr (std::is_same_v<Alternative, std::monostate>) {
    // "sample_history_reset" carries nothing; a "value" that is there must
    // say so with null rather than carry something that would be ignored.
    if (payload != nullptr && !payload->is_null()) return false;
    storage.template emplace<I>();
    return true;
  } else if constexpr (kIsOwned<Alternative>) {
    if (payload == nullptr) return false;
    auto held = std::make_unique<typename Alternative::element_type>();
    if (!read_buffered_into(*payload, *held)) return false;
    storage.template emplace<I>(std::move(held));
    return true;
  } else {
    if (payload == nullptr) return false;
    Alternative held{};
    if (!read_buffered_into(*payload, held)) return false;
    storage.template emplace<I>(std::move(held));
    return true;
  }
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

// The text may put "type" and "value" in either order (a reader of the text
// would have to buffer "value" until it learns its type; here the whole
// payload is already a tree). Either key at most once settles every order
// rule: the only sequences left are "type", "type" "value" and "value" "type",
// and anything longer repeats a key.
bool read_json_custom(const BufferedValue& value, JournalEntry& out) {
  const BufferedValue::Object* members = value.as_object();
  if (members == nullptr) return false;
  const BufferedValue* type = nullptr;
  const BufferedValue* payload = nullptr;
  for (const BufferedMember& member : *members) {
    if (same_name(member.key, "type")) {
      if (type != nullptr) return false;
      type = &member.value;
    } else if (same_name(member.key, "value")) {
      if (payload != nullptr) return false;
      payload = &member.value;
    }
  }
  if (type == nullptr) return false;
  const std::string* name = type->as_string();
  if (name == nullptr) return false;
  const std::size_t index = find_name(JournalEntry::kNames, *name);

  bool ok = false;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((index == I ? (ok = read_entry_payload<I>(payload, out.storage_), 0) : 0), ...);
  }
  (std::make_index_sequence<std::variant_size_v<Storage>>{});
  return ok;
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

Result<JournalRecord, JournalDecodeError> decode_journal_record(std::span<const uint8_t> payload) {
  const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
  Result<BufferedValue, JsonRejection> tree = BufferedValue::parse(text);
  if (!tree) return unexpected(JournalDecodeError{});
  Result<JournalRecord, JsonRejection> record = read_buffered<JournalRecord>(*tree);
  if (!record) return unexpected(JournalDecodeError{});
  return std::move(record).value();
}

}  // namespace vek_guard
