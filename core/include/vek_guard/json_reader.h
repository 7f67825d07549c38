// Strict reading of the run records from JSON.
//
// The only JSON this program reads is its own journal, one compact record per
// frame. Reading happens in two stages:
//
//  1. `BufferedValue::parse` checks the JSON grammar (strings and their
//     escapes, surrogate pairs, UTF-8, number tokens, only space, tab, line
//     feed and carriage return as whitespace, nothing but whitespace after the
//     value) and builds the whole text into a `BufferedValue` tree. Arrays and
//     objects may nest at most `kMaxJsonNesting` levels deep; the outermost
//     container is the first level. The limit covers every member, including
//     the ones that the record readers skip later.
//  2. `read_buffered<T>` reads a record, tagged value, unit enumeration or
//     scalar from that tree, driven by the same field descriptions and string
//     tables as the writer (`for_each_field`, `EnumTable`, `TaggedTable` of
//     report.h), so the two can never disagree on a key.
//
//   Result<SignalRecord, JsonRejection> signal = read_json<SignalRecord>(
//       R"({"at_ms":12,"signal":15,"target":"owned_process_group",)"
//       R"("result":"delivered"})");
//
// The reading rules, shared by every type:
//
//  - a record is an object; keys match field names exactly, byte for byte
//    after unescaping (case included); members may come in any order; a field
//    given twice rejects, even with equal values; unknown keys are skipped and
//    may repeat; every non-optional field is required;
//  - an optional field is absent when its key is missing or its value is null;
//    null anywhere else rejects;
//  - unsigned integers (u8, u16, u32, u64) are integer tokens without a sign,
//    fraction or exponent, up to the type's maximum; an i64 is an integer
//    token within its range. "-0", "1.0", "1e2" and quoted numbers reject;
//  - booleans are only true or false, strings only JSON strings;
//  - a unit enumeration is only a string holding one of its variant names;
//  - a tagged value (`Observed<T>`, `ChildStatus`) is an object with exactly
//    one tag member whose value is a string naming a variant, anywhere among
//    the members; a variant with a payload needs its payload key exactly once;
//    every other member is dropped without further checks;
//  - `TerminalOutcome` reads its own five fields by the record rules and hands
//    every other member to the `TerminalKind` reader (tag "kind").
//
// Forms that nothing in this program writes are not accepted: records as
// arrays, unit enumerations as single-member objects, tags as integers.
//
// A rejection is one value without detail: nothing ever shows it, and a
// journal frame that fails to read simply ends the readable journal.
#ifndef VEK_GUARD_JSON_READER_H_
#define VEK_GUARD_JSON_READER_H_

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "vek_guard/error.h"
#include "vek_guard/report.h"

namespace vek_guard {

// The nesting budget of one JSON text: at most `kMaxJsonNesting - 1` (127)
// arrays and objects may be open at once.
inline constexpr std::size_t kMaxJsonNesting = 128;

// Why a JSON text or value was not accepted: deliberately nothing. Every
// failure (malformed text, wrong type, range, missing or duplicate key,
// nesting) ends the same way for every caller.
struct JsonRejection {
  friend constexpr bool operator==(JsonRejection, JsonRejection) = default;
};

struct BufferedMember;

// A JSON value held in memory: null, a boolean, an unsigned integer (an
// integer token without minus sign that fits in 64 bits), a negative integer
// (an integer token with minus sign that fits in signed 64 bits and is not
// zero), a floating number (any other number: a fraction, an exponent, a
// value beyond those ranges, or "-0"), an unescaped string, an array, or an
// object as its members in text order with duplicate keys kept.
class BufferedValue {
 public:
  // The order is the order of the alternatives of the internal variant.
  enum class Kind : uint8_t { Null, Bool, Unsigned, Negative, Floating, String, Array, Object };
  using Array = std::vector<BufferedValue>;
  using Object = std::vector<BufferedMember>;

  // Null.
  BufferedValue() = default;

  // Defined below BufferedMember: building a Storage needs every alternative
  // complete, and clang instantiates that inside the class body.
  static BufferedValue boolean(bool v);
  static BufferedValue unsigned_integer(uint64_t v);
  // `v` must be below zero; a zero with a minus sign is a floating number.
  static BufferedValue negative_integer(int64_t v);
  static BufferedValue floating(double v);
  static BufferedValue string(std::string v);
  // `elements` and `members` default to empty (given with the definitions).
  static BufferedValue array(Array elements);
  static BufferedValue object(Object members);

  // Parses `text` as one JSON value, with only JSON whitespace before and
  // after it, under the nesting budget. Never throws; any malformed or too
  // deeply nested text is a rejection.
  [[nodiscard]] static Result<BufferedValue, JsonRejection> parse(std::string_view text);

  Kind kind() const { return static_cast<Kind>(storage_.index()); }
  bool is_null() const { return kind() == Kind::Null; }

  // The value when it has the matching kind, else null / nullopt.
  std::optional<bool> as_bool() const { return get<1>(); }
  std::optional<uint64_t> as_unsigned() const { return get<2>(); }
  std::optional<int64_t> as_negative() const { return get<3>(); }
  std::optional<double> as_floating() const { return get<4>(); }
  const std::string* as_string() const { return std::get_if<5>(&storage_); }
  const Array* as_array() const { return std::get_if<6>(&storage_); }
  const Object* as_object() const { return std::get_if<7>(&storage_); }
  Array* as_array() { return std::get_if<6>(&storage_); }
  Object* as_object() { return std::get_if<7>(&storage_); }

  // Structural equality: same kind, same value, same members in the same
  // order.
  friend bool operator==(const BufferedValue& a, const BufferedValue& b);

 private:
  using Storage =
      std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, Array, Object>;

  explicit BufferedValue(Storage storage);

  template <std::size_t I>
  std::optional<std::variant_alternative_t<I, Storage>> get() const {
    if (const auto* held = std::get_if<I>(&storage_)) return *held;
    return std::nullopt;
  }

  Storage storage_;
};

// One member of a buffered object: its unescaped key and its value.
struct BufferedMember {
  std::string key;
  BufferedValue value;

  friend bool operator==(const BufferedMember&, const BufferedMember&) = default;
};

inline BufferedValue::BufferedValue(Storage storage) : storage_(std::move(storage)) {}
inline BufferedValue BufferedValue::boolean(bool v) {
  return BufferedValue(Storage(std::in_place_index<1>, v));
}
inline BufferedValue BufferedValue::unsigned_integer(uint64_t v) {
  return BufferedValue(Storage(std::in_place_index<2>, v));
}
inline BufferedValue BufferedValue::negative_integer(int64_t v) {
  return BufferedValue(Storage(std::in_place_index<3>, v));
}
inline BufferedValue BufferedValue::floating(double v) {
  return BufferedValue(Storage(std::in_place_index<4>, v));
}
inline BufferedValue BufferedValue::string(std::string v) {
  return BufferedValue(Storage(std::in_place_index<5>, std::move(v)));
}
inline BufferedValue BufferedValue::array(Array elements = {}) {
  return BufferedValue(Storage(std::in_place_index<6>, std::move(elements)));
}
inline BufferedValue BufferedValue::object(Object members = {}) {
  return BufferedValue(Storage(std::in_place_index<7>, std::move(members)));
}

// Types with a reader of their own outside this module (the journal entry)
// provide `bool read_json_custom(const BufferedValue&, T&)`, found by
// argument-dependent lookup, which fills a default-constructed T and returns
// whether the value was accepted.
template <class T>
concept CustomJsonReadable = requires(const BufferedValue& value, T& out) {
  { read_json_custom(value, out) } -> std::same_as<bool>;
};

// Whether a key or tag read from JSON (already unescaped) is exactly `name`:
// length first, then bytes; nothing is trimmed or case-folded.
inline bool same_name(std::string_view read, std::string_view name) {
  return read.size() == name.size() && read == name;
}

// The index of the entry of `names` that `name` matches exactly (a variant
// of a string table), or N when none does.
template <std::size_t N>
std::size_t find_name(const std::array<std::string_view, N>& names, std::string_view name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (same_name(name, names[i])) return i;
  }
  return N;
}

namespace json_reader_internal {

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
    ((index == I ? (ok = [&] {
       auto& slot = storage.template emplace<I>();
       if constexpr (std::is_same_v<std::variant_alternative_t<I, Storage>, std::monostate>) {
         return true;
       } else {
         return payload != nullptr && read_value(*payload, slot);
       }
     }(), 0) : 0),
     ...);
  }(std::make_index_sequence<std::variant_size_v<Storage>>{});
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
  } else if constexpr (CustomJsonReadable<T>) {
    return read_json_custom(in, out);
  } else {
    static_assert(sizeof(T) == 0, "no JSON reader for this type");
  }
}

}  // namespace json_reader_internal

// Reads a T (a record, tagged value, unit enumeration, integer, bool, string,
// std::optional of one of those, or a type with `read_json_custom`) from a
// buffered value into `out`, which must be default-constructed. Returns
// whether the value was accepted; on false `out` holds an unspecified mix and
// should be dropped. The building block of custom readers.
template <class T>
[[nodiscard]] bool read_buffered_into(const BufferedValue& value, T& out) {
  return json_reader_internal::read_value(value, out);
}

// `read_buffered_into` as a value. All or nothing: the result is the whole
// value or a rejection.
template <class T>
[[nodiscard]] Result<T, JsonRejection> read_buffered(const BufferedValue& value) {
  T out{};
  if (!read_buffered_into(value, out)) return unexpected(JsonRejection{});
  return out;
}

// `BufferedValue::parse` followed by `read_buffered<T>`.
template <class T>
[[nodiscard]] Result<T, JsonRejection> read_json(std::string_view text) {
  Result<BufferedValue, JsonRejection> value = BufferedValue::parse(text);
  if (!value) return unexpected(JsonRejection{});
  return read_buffered<T>(*value);
}

}  // namespace vek_guard

#endif  // VEK_GUARD_JSON_READER_H_
