#include "reference_decoder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "vek_guard/report.h"

namespace vek_guard::fuzz::reference {
namespace {

// A collapsed subtree: an object whose one key cannot come out of any JSON
// text (it is not UTF-8) and whose value is the subtree's depth.
constexpr std::string_view kDepthMarkerKey = "\xFF depth";

BufferedValue depth_marker(std::size_t depth) {
  BufferedValue::Object members;
  members.push_back(
      BufferedMember{std::string(kDepthMarkerKey), BufferedValue::unsigned_integer(depth)});
  return BufferedValue::object(std::move(members));
}

const std::optional<std::size_t> marked_depth(const BufferedValue& value) {
  const BufferedValue::Object* members = value.as_object();
  if (members == nullptr || members->size() != 1 || (*members)[0].key != kDepthMarkerKey) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(*(*members)[0].value.as_unsigned());
}

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// ---------------------------------------------------------------------------
// The tree, as nlohmann's SAX events build it.

class BufferingHandler {
 public:
  using Json = nlohmann::json;

  explicit BufferingHandler(bool limit_nesting) : limit_nesting_(limit_nesting) {}

  bool null() { return place(BufferedValue()); }
  bool boolean(bool v) { return place(BufferedValue::boolean(v)); }
  bool number_unsigned(Json::number_unsigned_t v) {
    return place(BufferedValue::unsigned_integer(v));
  }
  bool number_integer(Json::number_integer_t v) {
    // nlohmann reports every integer token that starts with a minus sign
    // here, and every other one through number_unsigned; so a zero here can
    // only be the token "-0". It is not an integer for any field: keep it as
    // the floating number it would be in JSON's number model.
    if (v == 0) return place(BufferedValue::floating(-0.0));
    return place(BufferedValue::negative_integer(v));
  }
  bool number_float(Json::number_float_t v, const Json::string_t& /*raw*/) {
    return place(BufferedValue::floating(v));
  }
  bool string(Json::string_t& v) { return place(BufferedValue::string(std::move(v))); }
  bool binary(Json::binary_t& /*v*/) { return false; }

  bool start_object(std::size_t /*size*/) { return open(BufferedValue::object()); }
  bool start_array(std::size_t /*size*/) { return open(BufferedValue::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(Json::string_t& k) {
    if (collapsed_ > 0) return true;
    BufferedValue::Object& members = *open_.back()->as_object();
    members.push_back(BufferedMember{std::move(k), BufferedValue()});
    member_slot_ = &members.back().value;
    return true;
  }

  bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                   const nlohmann::detail::exception& /*error*/) {
    return false;
  }

  BufferedValue take_root() { return std::move(root_); }

 private:
  // Puts a complete scalar, or a container being opened, where the grammar
  // says the next value goes, and returns where it now lives.
  BufferedValue* slot_for(BufferedValue v) {
    if (collapsed_ > 0) return nullptr;
    if (open_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    if (member_slot_ != nullptr) {
      BufferedValue* slot = member_slot_;
      member_slot_ = nullptr;
      *slot = std::move(v);
      return slot;
    }
    BufferedValue::Array& elements = *open_.back()->as_array();
    elements.push_back(std::move(v));
    return &elements.back();
  }

  bool place(BufferedValue v) {
    slot_for(std::move(v));
    return true;
  }

  // The budget counts the container being opened: the outermost one is level
  // 1, and level kMaxJsonNesting is refused. Returning false stops the parse.
  // The pointers kept on the stack stay valid because only the innermost open
  // container grows; its ancestors only grow after it has been closed.
  bool open(BufferedValue container) {
    if (limit_nesting_ && open_.size() + 1 >= kMaxJsonNesting) return false;
    // Below the collapse depth nothing more is built; the marker at that
    // depth learns how deep its subtree went.
    if (collapsed_ > 0 || open_.size() == kCollapseDepth) {
      if (collapsed_ == 0) marker_ = slot_for(BufferedValue());
      ++collapsed_;
      deepest_collapsed_ = std::max(deepest_collapsed_, collapsed_);
      return true;
    }
    open_.push_back(slot_for(std::move(container)));
    return true;
  }

  bool close() {
    if (collapsed_ > 0) {
      if (--collapsed_ == 0) {
        *marker_ = depth_marker(deepest_collapsed_);
        deepest_collapsed_ = 0;
      }
      return true;
    }
    open_.pop_back();
    return true;
  }

  const bool limit_nesting_;
  BufferedValue root_;
  std::vector<BufferedValue*> open_;
  // Containers open below the collapse depth, the most seen at once in the
  // current collapsed subtree, and where its marker goes.
  std::size_t collapsed_ = 0;
  std::size_t deepest_collapsed_ = 0;
  BufferedValue* marker_ = nullptr;
  // Where the value of the member whose key was just read goes.
  BufferedValue* member_slot_ = nullptr;
};

std::optional<BufferedValue> parse(std::string_view text, bool limit_nesting) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (text.starts_with(kUtf8ByteOrderMark)) return std::nullopt;
  BufferingHandler handler(limit_nesting);
  bool accepted = false;
  try {
    accepted = nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &handler,
                                         nlohmann::json::input_format_t::json, /*strict=*/true);
  } catch (const std::exception&) {
    accepted = false;
  }
  if (!accepted) return std::nullopt;
  return handler.take_root();
}

// ---------------------------------------------------------------------------
// Records from the tree.

template <class T>
inline constexpr bool kIsOptional = false;
template <class T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

template <class T>
bool read_value(const BufferedValue& in, T& out);

inline const BufferedMember& member_of(const BufferedMember& m) { return m; }
inline const BufferedMember& member_of(const BufferedMember* m) { return *m; }

// Builds alternative `index` of `storage` from `payload` (null for a variant
// without payload).
template <class Storage>
bool emplace_variant(Storage& storage, std::size_t index, const BufferedValue* payload) {
  bool ok = false;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((index == I ? (
                       ok =
                           [&] {
                             auto& slot = storage.template emplace<I>();
                             if constexpr (std::is_same_v<std::variant_alternative_t<I, Storage>,
                                                          std::monostate>) {
                               return true;
                             } else {
                               return payload != nullptr && read_value(*payload, slot);
                             }
                           }(),
                       0)
                 : 0),
     ...);
  }
  (std::make_index_sequence<std::variant_size_v<Storage>>{});
  return ok;
}

// Reads a tagged value from `members` (BufferedMember or pointers to one):
// exactly one tag member naming a variant, the variant's payload key exactly
// once when it has one; every other member is dropped unchecked.
template <TaggedValue T, class Members>
bool read_tagged_members(const Members& members, T& out) {
  using Table = TaggedTable<T>;
  const BufferedValue* tag = nullptr;
  for (const auto& item : members) {
    const BufferedMember& m = member_of(item);
    if (!same_name(m.key, Table::kTagKey)) continue;
    if (tag != nullptr) return false;
    tag = &m.value;
  }
  if (tag == nullptr) return false;
  const std::string* tag_name = tag->as_string();
  if (tag_name == nullptr) return false;
  const std::size_t index = find_name(Table::kNames, *tag_name);
  if (index == Table::kNames.size()) return false;

  const std::string_view payload_key = Table::kPayloadKeys[index];
  const BufferedValue* payload = nullptr;
  if (!payload_key.empty()) {
    for (const auto& item : members) {
      const BufferedMember& m = member_of(item);
      if (!same_name(m.key, payload_key)) continue;
      if (payload != nullptr) return false;
      payload = &m.value;
    }
    if (payload == nullptr) return false;
  }
  return emplace_variant(out.storage(), index, payload);
}

template <Record R>
bool read_record(const BufferedValue& in, R& out) {
  const BufferedValue::Object* members = in.as_object();
  if (members == nullptr) return false;
  static_assert(R::kFieldCount <= 64, "the seen-field mask holds 64 fields");
  uint64_t seen = 0;
  // Members that are none of the record's own fields. Only a flattened field
  // reads them; for other records they are unknown keys and are dropped.
  std::vector<const BufferedMember*> kept;
  for (const BufferedMember& member : *members) {
    bool matched = false;
    bool ok = true;
    std::size_t index = 0;
    R::for_each_field(out, [&](FieldKey key, auto& field) {
      const uint64_t bit = uint64_t{1} << index++;
      if (matched || key.style == FieldStyle::Flattened || !same_name(key.name, member.key)) {
        return;
      }
      matched = true;
      if ((seen & bit) != 0) {
        ok = false;
        return;
      }
      seen |= bit;
      ok = read_value(member.value, field);
    });
    if (!ok) return false;
    if (!matched) kept.push_back(&member);
  }

  bool complete = true;
  std::size_t index = 0;
  R::for_each_field(out, [&](FieldKey key, auto& field) {
    using Field = std::remove_cvref_t<decltype(field)>;
    const uint64_t bit = uint64_t{1} << index++;
    if (!complete) return;
    if constexpr (TaggedValue<Field>) {
      if (key.style == FieldStyle::Flattened) {
        complete = read_tagged_members(kept, field);
        return;
      }
    }
    if constexpr (!kIsOptional<Field>) {
      if ((seen & bit) == 0) complete = false;
    }
  });
  return complete;
}

template <std::unsigned_integral T>
bool read_unsigned(const BufferedValue& in, T& out) {
  const std::optional<uint64_t> v = in.as_unsigned();
  if (!v || *v > std::numeric_limits<T>::max()) return false;
  out = static_cast<T>(*v);
  return true;
}

inline bool read_signed(const BufferedValue& in, int64_t& out) {
  if (const std::optional<int64_t> negative = in.as_negative()) {
    out = *negative;
    return true;
  }
  const std::optional<uint64_t> v = in.as_unsigned();
  if (!v || *v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
  out = static_cast<int64_t>(*v);
  return true;
}

// Reads one value of any record, field or payload type into a
// default-constructed `out`.
template <class T>
bool read_value(const BufferedValue& in, T& out) {
  if constexpr (kIsOptional<T>) {
    if (in.is_null()) {
      out.reset();
      return true;
    }
    return read_value(in, out.emplace());
  } else if constexpr (std::is_same_v<T, bool>) {
    const std::optional<bool> v = in.as_bool();
    if (!v) return false;
    out = *v;
    return true;
  } else if constexpr (std::is_same_v<T, int64_t>) {
    return read_signed(in, out);
  } else if constexpr (std::unsigned_integral<T>) {
    return read_unsigned(in, out);
  } else if constexpr (std::is_same_v<T, std::string>) {
    const std::string* v = in.as_string();
    if (v == nullptr) return false;
    out = *v;
    return true;
  } else if constexpr (UnitEnum<T>) {
    const std::string* v = in.as_string();
    if (v == nullptr) return false;
    const std::optional<T> variant = enum_from_name<T>(*v);
    if (!variant) return false;
    out = *variant;
    return true;
  } else if constexpr (TaggedValue<T>) {
    const BufferedValue::Object* members = in.as_object();
    return members != nullptr && read_tagged_members(*members, out);
  } else if constexpr (Record<T>) {
    return read_record(in, out);
  } else {
    static_assert(sizeof(T) == 0, "no JSON reader for this type");
  }
}

// The entry: "type" and "value" each at most once, in either order.
std::optional<JournalEntry> read_entry(const BufferedValue& value) {
  const BufferedValue::Object* members = value.as_object();
  if (members == nullptr) return std::nullopt;
  const BufferedValue* type = nullptr;
  const BufferedValue* payload = nullptr;
  for (const BufferedMember& member : *members) {
    if (same_name(member.key, "type")) {
      if (type != nullptr) return std::nullopt;
      type = &member.value;
    } else if (same_name(member.key, "value")) {
      if (payload != nullptr) return std::nullopt;
      payload = &member.value;
    }
  }
  if (type == nullptr || type->as_string() == nullptr) return std::nullopt;
  const std::size_t index = find_name(JournalEntry::kNames, *type->as_string());
  const auto read = [&]<class P>(auto make) -> std::optional<JournalEntry> {
    P held{};
    if (payload == nullptr || !read_value(*payload, held)) return std::nullopt;
    return make(std::move(held));
  };
  switch (index) {
    case 0:
      return read.operator()<JournalHeader>(&JournalEntry::header);
    case 1:
      return read.operator()<SampleWindow>(&JournalEntry::sample);
    case 2:
      if (payload != nullptr && !payload->is_null()) return std::nullopt;
      return JournalEntry::sample_history_reset();
    case 3:
      return read.operator()<TransitionRecord>(&JournalEntry::transition);
    case 4:
      return read.operator()<SignalRecord>(&JournalEntry::signal);
    case 5:
      return read.operator()<CheckpointRecord>(&JournalEntry::checkpoint);
    case 6:
      return read.operator()<EscapeEvidence>(&JournalEntry::escape);
    case 7:
      return read.operator()<ArtifactErrorRecord>(&JournalEntry::artifact_error);
    case 8:
      return read.operator()<CalibrationArtifact>(&JournalEntry::calibration);
    case 9:
      return read.operator()<TerminalOutcome>(&JournalEntry::outcome);
    default:
      return std::nullopt;
  }
}

// The envelope by the record rules.
std::optional<JournalRecord> read_journal_record(const BufferedValue& tree) {
  const BufferedValue::Object* members = tree.as_object();
  if (members == nullptr) return std::nullopt;
  JournalRecord record;
  bool version = false;
  bool sequence = false;
  bool entry = false;
  for (const BufferedMember& member : *members) {
    if (same_name(member.key, "version")) {
      if (version || !read_value(member.value, record.version)) return std::nullopt;
      version = true;
    } else if (same_name(member.key, "sequence")) {
      if (sequence || !read_value(member.value, record.sequence)) return std::nullopt;
      sequence = true;
    } else if (same_name(member.key, "entry")) {
      if (entry) return std::nullopt;
      std::optional<JournalEntry> read = read_entry(member.value);
      if (!read) return std::nullopt;
      record.entry = std::move(*read);
      entry = true;
    }
  }
  if (!version || !sequence || !entry) return std::nullopt;
  return record;
}

// ---------------------------------------------------------------------------
// Depths.

// Every container of the value.
std::size_t full_depth(const BufferedValue& value) {
  if (const std::optional<std::size_t> marked = marked_depth(value)) return *marked;
  std::size_t deepest = 0;
  if (const BufferedValue::Object* members = value.as_object()) {
    for (const BufferedMember& m : *members) deepest = std::max(deepest, full_depth(m.value));
    return deepest + 1;
  }
  if (const BufferedValue::Array* elements = value.as_array()) {
    for (const BufferedValue& e : *elements) deepest = std::max(deepest, full_depth(e));
    return deepest + 1;
  }
  return 0;
}

// The in-place reader's depth for a value read as a T.
template <class T>
std::size_t typed_depth(const BufferedValue& value) {
  if constexpr (kIsOptional<T>) {
    return value.is_null() ? 0 : typed_depth<typename T::value_type>(value);
  } else if constexpr (TaggedValue<T>) {
    // The tag is a string; every other member is kept whole.
    std::size_t deepest = 0;
    for (const BufferedMember& m : *value.as_object()) {
      if (!same_name(m.key, TaggedTable<T>::kTagKey))
        deepest = std::max(deepest, full_depth(m.value));
    }
    return deepest + 1;
  } else if constexpr (Record<T>) {
    std::size_t deepest = 0;
    T unused{};
    bool flattened = false;
    T::for_each_field(
        unused, [&](FieldKey key, auto&) { flattened |= key.style == FieldStyle::Flattened; });
    for (const BufferedMember& m : *value.as_object()) {
      bool known = false;
      T::for_each_field(unused, [&](FieldKey key, auto& field) {
        if (known || key.style == FieldStyle::Flattened || !same_name(key.name, m.key)) return;
        known = true;
        deepest = std::max(deepest, typed_depth<std::remove_cvref_t<decltype(field)>>(m.value));
      });
      if (!known && flattened) deepest = std::max(deepest, full_depth(m.value));
    }
    return deepest + 1;
  } else {
    return 0;  // a scalar or a string
  }
}

template <std::size_t I>
std::size_t payload_depth(const BufferedValue& value) {
  using Alternative = std::variant_alternative_t<I, JournalEntry::Storage>;
  if constexpr (std::is_same_v<Alternative, std::monostate>) {
    return 0;
  } else if constexpr (requires { typename Alternative::element_type; }) {
    return typed_depth<typename Alternative::element_type>(value);
  } else {
    return typed_depth<Alternative>(value);
  }
}

std::size_t entry_depth(const BufferedValue& entry) {
  std::size_t deepest = 0;
  bool typed = false;
  std::size_t index = 0;
  for (const BufferedMember& m : *entry.as_object()) {
    if (same_name(m.key, "type")) {
      typed = true;
      index = find_name(JournalEntry::kNames, *m.value.as_string());
      continue;
    }
    std::size_t depth = full_depth(m.value);
    if (same_name(m.key, "value") && typed) {
      [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((index == I ? (depth = payload_depth<I>(m.value), 0) : 0), ...);
      }
      (std::make_index_sequence<std::variant_size_v<JournalEntry::Storage>>{});
    }
    deepest = std::max(deepest, depth);
  }
  return deepest + 1;
}

}  // namespace

ReferenceDecode reference_decode(std::span<const uint8_t> payload, bool limit_nesting) {
  ReferenceDecode decoded;
  decoded.tree =
      parse(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()),
            limit_nesting);
  if (decoded.tree) decoded.record = read_journal_record(*decoded.tree);
  return decoded;
}

std::size_t direct_form_depth(const BufferedValue& tree) {
  std::size_t deepest = 0;
  for (const BufferedMember& m : *tree.as_object()) {
    if (same_name(m.key, "entry")) deepest = std::max(deepest, entry_depth(m.value));
  }
  return deepest + 1;
}

}  // namespace vek_guard::fuzz::reference
