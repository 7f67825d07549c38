#include "vek_guard/json_writer.h"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vek_guard {
namespace {

// For each byte value: 0 when the byte is copied as it is, otherwise the
// letter after the backslash of its escape ('u' for the \u00xx form). One
// lookup per byte keeps the common case (nothing to escape) a tight scan.
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> table{};
  for (std::size_t byte = 0; byte < 0x20; ++byte) table[byte] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}

constexpr std::array<char, 256> kEscapes = make_escape_table();
constexpr std::string_view kHexDigits = "0123456789abcdef";

// Enough for the 20 digits of u64 max and the sign and 19 digits of i64 min.
constexpr std::size_t kIntegerBufferSize = 24;

}  // namespace

void JsonWriter::open(char bracket) {
  begin_value();
  out_.push_back(bracket);
  ++depth_;
  empty_ = true;
}

void JsonWriter::close(char bracket) {
  --depth_;
  // An empty container closes on the same line ("[]"); a non-empty one puts
  // its closing bracket on a line of its own at the parent's indentation.
  if (layout_ == JsonLayout::Pretty && !empty_) {
    out_.push_back('\n');
    out_.append(std::size_t{depth_} * 2, ' ');
  }
  out_.push_back(bracket);
  // The closed container was itself an entry of its parent, so the parent is
  // no longer empty.
  empty_ = false;
}

void JsonWriter::begin_entry() {
  if (sink_ != nullptr && out_.size() >= flush_threshold_) {
    sink_->write(out_);
    out_.clear();
  }
  if (layout_ == JsonLayout::Pretty) {
    out_.append(empty_ ? std::string_view("\n") : std::string_view(",\n"));
    out_.append(std::size_t{depth_} * 2, ' ');
  } else if (!empty_) {
    out_.push_back(',');
  }
  empty_ = false;
}

void JsonWriter::key(std::string_view name) {
  begin_entry();
  // The key goes through the string writer, which would otherwise take it for
  // an array element and write a separator of its own.
  after_key_ = true;
  string_value(name);
  out_.append(layout_ == JsonLayout::Pretty ? std::string_view(": ") : std::string_view(":"));
  after_key_ = true;
}

void JsonWriter::null_value() {
  begin_value();
  out_.append("null");
}

void JsonWriter::bool_value(bool v) {
  begin_value();
  out_.append(v ? std::string_view("true") : std::string_view("false"));
}

void JsonWriter::unsigned_value(uint64_t v) {
  begin_value();
  char buffer[kIntegerBufferSize];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
  out_.append(buffer, result.ptr);
}

void JsonWriter::signed_value(int64_t v) {
  begin_value();
  char buffer[kIntegerBufferSize];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
  out_.append(buffer, result.ptr);
}

void JsonWriter::string_value(std::string_view s) {
  begin_value();
  out_.push_back('"');
  const char* run = s.data();
  const char* const end = s.data() + s.size();
  for (const char* p = run; p != end; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    const char escape = kEscapes[byte];
    if (escape == 0) continue;
    out_.append(run, p);
    if (escape == 'u') {
      const char text[6] = {'\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
      out_.append(text, sizeof text);
    } else {
      const char text[2] = {'\\', escape};
      out_.append(text, sizeof text);
    }
    run = p + 1;
  }
  out_.append(run, end);
  out_.push_back('"');
}

}  // namespace vek_guard
