// JSON text of the run records, in two layouts that differ only in whitespace.
//
//  - Compact: no whitespace at all. The payload of each journal frame.
//  - Pretty: two-space indentation, one entry or element per line, ": "
//    between key and value, "[]" for an empty list. The text of the report.
//
// Keys, key order, values and the omission of absent optionals are the same
// in both layouts, because both are driven by the same field descriptions
// (`for_each_field`, `EnumTable`, `TaggedTable` of report.h):
//
//  - unsigned and signed integers in full decimal (u64 max, i64 min);
//  - strings byte for byte with only the mandatory escapes: \" \\ \b \t \n
//    \f \r, and \u00xx (lowercase hex) for the other bytes below 0x20. The
//    solidus, 0x7F and every byte above it are copied unchanged;
//  - unit enumerations as their variant's string;
//  - records as objects with their fields in declaration order; an absent
//    optional is left out entirely, except a `FieldStyle::NullWhenAbsent`
//    field, written as null;
//  - tagged values (`Observed<T>`, `ChildStatus`) as an object whose first
//    entry is the tag ("status") and, for a variant with a payload, a second
//    entry with the payload's key;
//  - a `FieldStyle::Flattened` tagged field (`TerminalOutcome::kind`) as its
//    tag entry and payload entry among the enclosing record's own entries.
//
//   std::string out;
//   JsonWriter writer(out, JsonLayout::Compact);
//   writer.begin_object();
//   writer.member("type", std::string_view("signal"));
//   writer.member("record", signal_record);  // nested object
//   writer.end_object();                      // {"type":"signal","record":{...}}
//
// Appending to a std::string cannot fail short of running out of memory, so
// no operation here reports an error. The writer does not check that calls
// are balanced or that a value follows each key; a caller that breaks that
// nesting gets malformed text.
#ifndef VEK_GUARD_JSON_WRITER_H_
#define VEK_GUARD_JSON_WRITER_H_

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "vek_guard/report.h"

namespace vek_guard {

namespace json_writer_internal {
template <class T>
inline constexpr bool kIsOptional = false;
template <class T>
inline constexpr bool kIsOptional<std::optional<T>> = true;
template <class T>
inline constexpr bool kIsVector = false;
template <class T>
inline constexpr bool kIsVector<std::vector<T>> = true;
}  // namespace json_writer_internal

enum class JsonLayout : uint8_t { Compact, Pretty };

// Appends JSON text to a caller-owned std::string, which must outlive the
// writer. The writer only ever appends; it never reads or truncates what the
// string held before.
// Receives the text of a JsonWriter in pieces (see JsonWriter::flush_into), so
// that a large document can go to a file without being held whole in memory.
class JsonSink {
 public:
  virtual ~JsonSink() = default;
  virtual void write(std::string_view text) = 0;
};

class JsonWriter {
 public:
  JsonWriter(std::string& out, JsonLayout layout) : out_(out), layout_(layout) {}
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  JsonLayout layout() const { return layout_; }

  // From now on, whenever the buffer holds at least `threshold` bytes at the
  // start of an entry, hands its contents to `sink` and empties it. The text
  // still in the buffer at the end is the caller's to hand over. `sink` must
  // outlive the writer.
  void flush_into(JsonSink* sink, std::size_t threshold) {
    sink_ = sink;
    flush_threshold_ = threshold;
  }

  // Opens or closes an object or array. A value in an array (or at the top
  // level) needs no key; inside an object every value follows `key`.
  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  // Starts an object entry: the separator, the key as a JSON string and ":"
  // (": " in the pretty layout). Exactly one value must follow.
  void key(std::string_view name);

  // Scalar values.
  void null_value();
  void bool_value(bool v);
  void unsigned_value(uint64_t v);
  void signed_value(int64_t v);
  void string_value(std::string_view s);

  // Writes any value type of the records: integers, bool, strings, unit
  // enumerations, tagged values, records, std::optional (null when absent:
  // use `member` or `field` to leave an absent optional out) and std::vector
  // (an array).
  template <class T>
  void value(const T& v);

  // `key(name)` then `value(v)`; an absent optional writes nothing at all.
  template <class T>
  void member(std::string_view name, const T& v) {
    if constexpr (json_writer_internal::kIsOptional<T>) {
      if (!v.has_value()) return;
      key(name);
      value(*v);
    } else {
      key(name);
      value(v);
    }
  }

  // One field of a record description: `member` for `FieldStyle::Plain`;
  // null for an absent `NullWhenAbsent` optional; the tag and payload entries
  // for a `Flattened` tagged value.
  template <class T>
  void field(FieldKey field_key, const T& v) {
    if constexpr (TaggedValue<T>) {
      if (field_key.style == FieldStyle::Flattened) {
        tagged_members(v);
        return;
      }
    }
    if constexpr (json_writer_internal::kIsOptional<T>) {
      if (field_key.style == FieldStyle::NullWhenAbsent && !v.has_value()) {
        key(field_key.name);
        null_value();
        return;
      }
    }
    member(field_key.name, v);
  }

  // The entries of a record inside an object that the caller has opened (so
  // that a caller can put entries of its own before or after them).
  template <Record R>
  void record_members(const R& record) {
    R::for_each_field(record, [this](FieldKey field_key, const auto& v) { field(field_key, v); });
  }

  // The tag entry and, when the variant has one, the payload entry of a
  // tagged value, inside an object that the caller has opened.
  template <TaggedValue T>
  void tagged_members(const T& v) {
    using Table = TaggedTable<T>;
    key(Table::kTagKey);
    string_value(Table::kNames[v.storage().index()]);
    visit_indexed(v.storage(), [this](auto index, const auto& payload) {
      if constexpr (!std::is_same_v<std::decay_t<decltype(payload)>, std::monostate>) {
        key(Table::kPayloadKeys[decltype(index)::value]);
        value(payload);
      }
    });
  }

 private:
  void open(char bracket);
  void close(char bracket);
  // Writes what precedes an object entry or an array element: "," unless it
  // is the container's first, and in the pretty layout a line feed and the
  // indentation.
  void begin_entry();
  // Writes what precedes a value: nothing right after a key or at the top
  // level, an element separator inside an array.
  void begin_value() {
    if (after_key_) {
      after_key_ = false;
    } else if (depth_ != 0) {
      begin_entry();
    }
  }

  std::string& out_;
  const JsonLayout layout_;
  // Containers open around the current position.
  uint32_t depth_ = 0;
  // The innermost open container has no entry yet. Equivalently, a closing
  // bracket goes right after the opening one: once a container holds an
  // entry its last value is complete by the time it closes.
  bool empty_ = true;
  // A key has been written and its value is due.
  bool after_key_ = false;
  JsonSink* sink_ = nullptr;
  std::size_t flush_threshold_ = 0;
};

template <class T>
void JsonWriter::value(const T& v) {
  if constexpr (json_writer_internal::kIsOptional<T>) {
    if (v.has_value()) {
      value(*v);
    } else {
      null_value();
    }
  } else if constexpr (json_writer_internal::kIsVector<T>) {
    begin_array();
    for (const auto& element : v) value(element);
    end_array();
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    string_value(v);
  } else if constexpr (std::is_same_v<T, bool>) {
    bool_value(v);
  } else if constexpr (std::unsigned_integral<T>) {
    unsigned_value(v);
  } else if constexpr (std::signed_integral<T>) {
    signed_value(v);
  } else if constexpr (UnitEnum<T>) {
    string_value(enum_name(v));
  } else if constexpr (TaggedValue<T>) {
    begin_object();
    tagged_members(v);
    end_object();
  } else if constexpr (Record<T>) {
    begin_object();
    record_members(v);
    end_object();
  } else {
    static_assert(sizeof(T) == 0, "no JSON form for this type");
  }
}

// The value as JSON text in a fresh buffer that starts with room for 128
// bytes. The text has no trailing line feed.
template <class T>
std::string to_json(const T& value, JsonLayout layout) {
  std::string out;
  out.reserve(128);
  JsonWriter writer(out, layout);
  writer.value(value);
  return out;
}

}  // namespace vek_guard

#endif  // VEK_GUARD_JSON_WRITER_H_
