// Strict reading of the run records from JSON.
//
// The only JSON this program reads is its own journal, one compact record per
// frame, at the end of every run. Every record, tagged value and enumeration
// is read in one of two forms, both driven by the same field descriptions and
// string tables as the writer (`for_each_field`, `EnumTable`, `TaggedTable`
// of report.h), so reader and writer can never disagree on a key:
//
//  - the direct form reads the text itself through a `JsonReader` (the
//    payload, a position, a reusable scratch buffer for unescaped strings and
//    the nesting budget). Keys are compared where they stand in the text; an
//    unknown key's value is walked to its end, validated by the grammar
//    alone, and dropped. No tree
//    is built: only string fields and the members a tagged value must hold
//    back (below) allocate.
//  - the buffered form reads a `BufferedValue`, a tree built by the same
//    reader, for the one case where a value's type is only known after its
//    text has passed (a journal entry whose "value" comes before its "type").
//
//   Result<SignalRecord, JsonRejection> signal = read_json<SignalRecord>(
//       R"({"at_ms":12,"signal":15,"target":"owned_process_group",)"
//       R"("result":"delivered"})");
//
// The grammar is RFC 8259 with nothing added: strings and their escapes
// (surrogate pairs included; lone surrogates, raw control bytes and invalid
// UTF-8 reject), number tokens of any size, only space, tab, line feed and
// carriage return as whitespace, nothing but whitespace after the value. A
// number only has to fit where a field reads it: 1e400 or a 400-digit
// integer is well-formed, and accepted wherever nothing reads it as a field.
//
// The reading rules, shared by every type and by both forms:
//
//  - a record is an object; keys match field names exactly, byte for byte
//    after unescaping (case included); members may come in any order; a field
//    given twice rejects, even with equal values; unknown keys are skipped and
//    may repeat, but their values must be well-formed JSON; every
//    non-optional field is required;
//  - an optional field is absent when its key is missing or its value is null;
//    null anywhere else rejects;
//  - unsigned integers (u8, u16, u32, u64) are integer tokens without a sign,
//    fraction or exponent, up to the type's maximum; an i64 is an integer
//    token within its range. "-0", "1.0", "1e2" and quoted numbers reject;
//  - booleans are only true or false, strings only JSON strings;
//  - a unit enumeration is only a string holding one of its variant names;
//  - a tagged value (`Observed<T>`, `ChildStatus`) is an object with exactly
//    one tag member whose value is a string naming a variant, anywhere among
//    the members; every other member is held back as a `BufferedValue` (the
//    "kept members"); a variant with a payload needs its payload key exactly
//    once among them; the others are dropped without further checks;
//  - `TerminalOutcome` reads its own five fields by the record rules and keeps
//    every other member for the `TerminalKind` reader (tag "kind").
//
// The nesting budget (`kMaxJsonNesting`): at most 127 arrays and objects may
// be open at once. Every object that a reader enters takes from it, and so
// does every container of a `BufferedValue` while it is built: kept members,
// and the whole of a buffered entry value. The one thing it does not cover is
// the value of an unknown key of a record read in the direct form, which is
// walked without recursion and dropped, however deep it nests. So a
// `SignalRecord` with an unknown member nested 200 deep reads in the direct
// form but not in the buffered one.
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
#include <span>
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
// value beyond those ranges, or "-0"; one beyond a double's range is held as
// an infinity of its sign, one too small for it as a zero), an unescaped
// string, an array, or an object as its members in text order with duplicate
// keys kept.
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

// The reading context of one JSON text: the text, the position, the nesting
// budget, a scratch buffer for strings that hold escapes, and the members
// that tagged values hold back while they are read. The direct readers below
// (and `read_json_custom` overloads elsewhere) work on it; a caller makes one
// per text, or calls `reset` to read another text with the same buffers.
//
// Every operation skips the whitespace before the token it reads, returns
// false on anything it does not accept, and on success stands right after
// what it read. After a false the position is unspecified: the reading of the
// whole text has failed. The text must outlive the reader.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) { reset(text); }
  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  // Starts over on `text` with a full budget, keeping the buffers' capacity.
  void reset(std::string_view text);

  // The next byte after whitespace, or -1 at the end of the text.
  int peek() {
    skip_whitespace();
    return at_ != end_ ? static_cast<unsigned char>(*at_) : -1;
  }
  // True when only whitespace is left.
  bool at_end() { return peek() < 0; }

  // Enters an object: a '{', which takes one from the budget.
  bool begin_object();
  // Steps to the next member of the object being read: returns 1 with `key`
  // (unescaped) when a member follows, standing before its value; 0 after
  // the closing '}', giving the budget back; -1 on anything else. `first` is
  // true for the first call after `begin_object`. `key` stays valid until the
  // next string is read.
  int next_member(bool first, std::string_view& key);

  // A string, unescaped; the reader must stand at its opening quotation mark
  // (`peek() == '"'`). The view borrows from the text when the string holds
  // no escape, else from the scratch buffer; it stays valid until the next
  // string is read.
  bool read_string(std::string_view& out);
  // An integer token without minus sign that fits in 64 bits.
  bool read_unsigned(uint64_t& out);
  // An integer token within the range of int64_t ("-0" is not one).
  bool read_signed(int64_t& out);
  bool read_bool(bool& out);
  // True when the next value is null, which it then consumes; false with the
  // position unchanged (after whitespace) otherwise.
  bool consume_null();

  // Walks one whole value, validating it, without building anything and
  // without recursion. With `counted` its containers take from the budget
  // while they are open; without, they do not, however deep they nest.
  bool skip_value(bool counted);
  // Reads one whole value into `out` (null on entry). Its containers take
  // from the budget.
  bool build_value(BufferedValue& out);

  // Kept members, a stack shared by the tagged values being read (an outer
  // one's members stay below an inner one's). `keep_member` copies `key`
  // first, then builds the member's value; `drop_kept(mark)` releases every
  // member kept since `kept_mark()` returned `mark`. The members' storage is
  // reused from text to text.
  std::size_t kept_mark() const { return kept_count_; }
  bool keep_member(std::string_view key);
  std::span<const BufferedMember> kept_since(std::size_t mark) const {
    return std::span<const BufferedMember>(kept_).subspan(mark, kept_count_ - mark);
  }
  void drop_kept(std::size_t mark) { kept_count_ = mark; }

 private:
  // Number tokens: their kind and value by the `BufferedValue` rules.
  enum class NumberKind : uint8_t { Unsigned, Negative, Floating };
  struct Number {
    NumberKind kind = NumberKind::Floating;
    uint64_t magnitude = 0;  // Unsigned and Negative: the absolute value
    double floating = 0;     // Floating
  };

  void skip_whitespace() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
  }
  bool expect(char c) {
    skip_whitespace();
    if (at_ == end_ || *at_ != c) return false;
    ++at_;
    return true;
  }
  bool take_budget() { return --budget_ != 0; }
  void give_budget_back() { ++budget_; }

  bool read_number(Number& out);
  bool read_literal(std::string_view word);
  bool read_escaped_string(const char* start, std::string_view& out);
  bool scalar_to_buffered(BufferedValue& out);

  const char* at_ = nullptr;
  const char* end_ = nullptr;
  std::size_t budget_ = kMaxJsonNesting;
  std::string scratch_;
  // Whether each container that `skip_value` has open is an object (bit
  // set) or an array: depth 0 to 63 in the first word, deeper levels in the
  // rest, which grows only for a text that nests that deep.
  std::vector<uint64_t> open_kinds_;
  std::vector<BufferedMember> kept_;
  std::size_t kept_count_ = 0;
};

// Types with a reader of their own outside this module (the journal entry)
// provide `bool read_json_custom(JsonReader&, T&)`, found by
// argument-dependent lookup, which reads the direct form into a
// default-constructed T and returns whether the value was accepted.
template <class T>
concept CustomJsonReadable = requires(JsonReader& reader, T& out) {
  { read_json_custom(reader, out) } -> std::same_as<bool>;
};

namespace json_reader_internal {

template <class T>
inline constexpr bool kIsOptional = false;
template <class T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

template <class T>
bool read_value(const BufferedValue& in, T& out);
template <class T>
bool read_direct(JsonReader& in, T& out);

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

inline const BufferedMember& member_of(const BufferedMember& m) { return m; }
inline const BufferedMember& member_of(const BufferedMember* m) { return *m; }

// The payload step of a tagged value whose variant is `index`: the variant's
// payload key exactly once among `members` (BufferedMember or pointers to
// one) when it has one; every other member is dropped unchecked.
template <TaggedValue T, class Members>
bool read_tagged_payload(const Members& members, std::size_t index, T& out) {
  const std::string_view payload_key = TaggedTable<T>::kPayloadKeys[index];
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

// Reads a tagged value from `members`: exactly one tag member naming a
// variant, then the payload step.
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
  return read_tagged_payload(members, index, out);
}

// Whether record R has a flattened tagged field, which takes the members that
// are none of R's own fields.
template <Record R>
bool has_flattened_field(R& record) {
  bool flattened = false;
  R::for_each_field(record,
                    [&](FieldKey key, auto&) { flattened |= key.style == FieldStyle::Flattened; });
  return flattened;
}

// After the members: every required field seen, and the flattened field (if
// any) read from `kept`.
template <Record R, class Members>
bool complete_record(R& out, uint64_t seen, const Members& kept) {
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

// Offers a member named `key` to the fields of `out`. Returns 1 when a field
// took it and its value read well, 0 when no field has that name, -1 when a
// field has it but was seen before or its value does not read. `read` is
// called with the field.
template <Record R, class Read>
int offer_member(R& out, std::string_view key, uint64_t& seen, Read&& read) {
  static_assert(R::kFieldCount <= 64, "the seen-field mask holds 64 fields");
  int outcome = 0;
  std::size_t index = 0;
  R::for_each_field(out, [&](FieldKey field_key, auto& field) {
    const uint64_t bit = uint64_t{1} << index++;
    if (outcome != 0 || field_key.style == FieldStyle::Flattened ||
        !same_name(field_key.name, key)) {
      return;
    }
    if ((seen & bit) != 0) {
      outcome = -1;
      return;
    }
    seen |= bit;
    outcome = read(field) ? 1 : -1;
  });
  return outcome;
}

template <Record R>
bool read_record(const BufferedValue& in, R& out) {
  const BufferedValue::Object* members = in.as_object();
  if (members == nullptr) return false;
  uint64_t seen = 0;
  // Members that are none of the record's own fields. Only a flattened field
  // reads them; for other records they are unknown keys and are dropped.
  std::vector<const BufferedMember*> kept;
  for (const BufferedMember& member : *members) {
    const int taken = offer_member(out, member.key, seen,
                                   [&](auto& field) { return read_value(member.value, field); });
    if (taken < 0) return false;
    if (taken == 0) kept.push_back(&member);
  }
  return complete_record(out, seen, kept);
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
// default-constructed `out`: the buffered form.
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
    static_assert(sizeof(T) == 0, "no buffered JSON reader for this type");
  }
}

// The direct form of a tagged value: the tag is matched as it is met, every
// other member is kept, and the payload is read from the kept members.
template <TaggedValue T>
bool read_tagged_direct(JsonReader& in, T& out) {
  using Table = TaggedTable<T>;
  if (!in.begin_object()) return false;
  const std::size_t mark = in.kept_mark();
  std::size_t index = Table::kNames.size();
  bool tagged = false;
  std::string_view key;
  for (bool first = true;; first = false) {
    const int step = in.next_member(first, key);
    if (step < 0) return false;
    if (step == 0) break;
    if (!same_name(key, Table::kTagKey)) {
      if (!in.keep_member(key)) return false;
      continue;
    }
    std::string_view name;
    if (tagged || in.peek() != '"' || !in.read_string(name)) return false;
    tagged = true;
    index = find_name(Table::kNames, name);
    if (index == Table::kNames.size()) return false;
  }
  if (!tagged) return false;
  const bool ok = read_tagged_payload(in.kept_since(mark), index, out);
  in.drop_kept(mark);
  return ok;
}

// The direct form of a record: each member's value is read as its field's
// type when its key names a field, kept for the flattened field when the
// record has one, and walked and dropped otherwise.
template <Record R>
bool read_record_direct(JsonReader& in, R& out) {
  if (!in.begin_object()) return false;
  const bool flattened = has_flattened_field(out);
  const std::size_t mark = in.kept_mark();
  uint64_t seen = 0;
  std::string_view key;
  for (bool first = true;; first = false) {
    const int step = in.next_member(first, key);
    if (step < 0) return false;
    if (step == 0) break;
    const int taken =
        offer_member(out, key, seen, [&](auto& field) { return read_direct(in, field); });
    if (taken < 0) return false;
    if (taken > 0) continue;
    if (!(flattened ? in.keep_member(key) : in.skip_value(/*counted=*/false))) return false;
  }
  const bool ok = complete_record(out, seen, in.kept_since(mark));
  in.drop_kept(mark);
  return ok;
}

// Reads one value of any record, field or payload type into a
// default-constructed `out`: the direct form.
template <class T>
bool read_direct(JsonReader& in, T& out) {
  if constexpr (kIsOptional<T>) {
    if (in.consume_null()) {
      out.reset();
      return true;
    }
    return read_direct(in, out.emplace());
  } else if constexpr (std::is_same_v<T, bool>) {
    return in.read_bool(out);
  } else if constexpr (std::is_same_v<T, int64_t>) {
    return in.read_signed(out);
  } else if constexpr (std::unsigned_integral<T>) {
    uint64_t v = 0;
    if (!in.read_unsigned(v) || v > std::numeric_limits<T>::max()) return false;
    out = static_cast<T>(v);
    return true;
  } else if constexpr (std::is_same_v<T, std::string>) {
    std::string_view v;
    if (in.peek() != '"' || !in.read_string(v)) return false;
    out.assign(v);
    return true;
  } else if constexpr (UnitEnum<T>) {
    std::string_view v;
    if (in.peek() != '"' || !in.read_string(v)) return false;
    const std::optional<T> variant = enum_from_name<T>(v);
    if (!variant) return false;
    out = *variant;
    return true;
  } else if constexpr (TaggedValue<T>) {
    return read_tagged_direct(in, out);
  } else if constexpr (Record<T>) {
    return read_record_direct(in, out);
  } else if constexpr (CustomJsonReadable<T>) {
    return read_json_custom(in, out);
  } else {
    static_assert(sizeof(T) == 0, "no JSON reader for this type");
  }
}

}  // namespace json_reader_internal

// Reads a T (a record, tagged value, unit enumeration, integer, bool, string
// or std::optional of one of those) from a buffered value into `out`, which
// must be default-constructed. Returns whether the value was accepted; on
// false `out` holds an unspecified mix and should be dropped.
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

// Reads one T (any type of `read_buffered_into`, or one with
// `read_json_custom`) in the direct form from where `reader` stands into a
// default-constructed `out`; on success the reader stands after it. The
// building block of custom readers.
template <class T>
[[nodiscard]] bool read_direct_into(JsonReader& reader, T& out) {
  return json_reader_internal::read_direct(reader, out);
}

// Reads `text` as one T in the direct form, with only whitespace before and
// after it, under a fresh nesting budget.
template <class T>
[[nodiscard]] Result<T, JsonRejection> read_json(std::string_view text) {
  JsonReader reader(text);
  T out{};
  if (!read_direct_into(reader, out) || !reader.at_end()) return unexpected(JsonRejection{});
  return out;
}

}  // namespace vek_guard

#endif  // VEK_GUARD_JSON_READER_H_
