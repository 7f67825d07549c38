#include "vek_guard/json_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "vek_guard/coding.h"

namespace vek_guard {
namespace {

// What a byte inside a string asks of the scanner. Ordinary bytes are copied
// or borrowed as they are; everything else leaves the fast loop.
enum StringByte : uint8_t { kPlain, kQuote, kBackslash, kControl, kMultiByte };

constexpr std::array<uint8_t, 256> make_string_bytes() {
  std::array<uint8_t, 256> table{};
  for (std::size_t b = 0; b < 0x20; ++b) table[b] = kControl;
  for (std::size_t b = 0x80; b < 0x100; ++b) table[b] = kMultiByte;
  table['"'] = kQuote;
  table['\\'] = kBackslash;
  return table;
}
constexpr std::array<uint8_t, 256> kStringBytes = make_string_bytes();

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hexadecimal digits at `at` (which must have four bytes left).
int read_hex4(const char* at) {
  int value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_digit(at[i]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

void append_utf8(uint32_t code_point, std::string& out) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether a number token that a double cannot hold is too small (rather than
// too large): whether its decimal exponent, the power of ten of its first
// significant digit, is negative. Out of range means beyond 1e308 or below
// 1e-323, so the sign alone tells them apart.
bool is_tiny(std::string_view token) {
  if (token.front() == '-') token.remove_prefix(1);
  const std::size_t exponent_at = token.find_first_of("eE");
  const std::string_view mantissa = token.substr(0, exponent_at);
  int64_t exponent = 0;
  if (exponent_at != std::string_view::npos) {
    std::string_view digits = token.substr(exponent_at + 1);
    const bool minus = digits.front() == '-';
    if (digits.front() == '-' || digits.front() == '+') digits.remove_prefix(1);
    for (const char c : digits) {
      exponent = std::min<int64_t>(exponent * 10 + (c - '0'), int64_t{1} << 40);
    }
    if (minus) exponent = -exponent;
  }
  const std::size_t point = mantissa.find('.');
  const std::string_view whole = mantissa.substr(0, point);
  const std::size_t significant = whole.find_first_not_of('0');
  if (significant != std::string_view::npos) {
    exponent += static_cast<int64_t>(whole.size() - significant) - 1;
  } else if (point != std::string_view::npos) {
    const std::string_view fraction = mantissa.substr(point + 1);
    const std::size_t first = fraction.find_first_not_of('0');
    if (first == std::string_view::npos) return true;  // zero is never out of range
    exponent -= static_cast<int64_t>(first) + 1;
  }
  return exponent < 0;
}

// The end of the number token at `at`: a minus sign, an integer part without
// leading zeros, a fraction and an exponent, as JSON has them. Null when
// there is no token. Bytes after it are the caller's to judge: "01" is the
// token "0" followed by "1". The grammar alone decides; what the token's
// value is, and whether anything can hold it, is not looked at.
const char* number_token_end(const char* at, const char* end) {
  if (at != end && *at == '-') ++at;
  if (at == end || !is_digit(*at)) return nullptr;
  if (*at == '0') {
    ++at;
  } else {
    while (at != end && is_digit(*at)) ++at;
  }
  if (at != end && *at == '.') {
    ++at;
    if (at == end || !is_digit(*at)) return nullptr;
    while (at != end && is_digit(*at)) ++at;
  }
  if (at != end && (*at == 'e' || *at == 'E')) {
    ++at;
    if (at != end && (*at == '+' || *at == '-')) ++at;
    if (at == end || !is_digit(*at)) return nullptr;
    while (at != end && is_digit(*at)) ++at;
  }
  return at;
}

}  // namespace

void JsonReader::reset(std::string_view text) {
  at_ = text.data();
  end_ = text.data() + text.size();
  budget_ = kMaxJsonNesting;
  kept_count_ = 0;
}

bool JsonReader::begin_object() { return expect('{') && take_budget(); }

int JsonReader::next_member(bool first, std::string_view& key) {
  skip_whitespace();
  if (at_ == end_) return -1;
  if (*at_ == '}') {
    ++at_;
    give_budget_back();
    return 0;
  }
  // A ',' must follow every member but the last, and a key every ','; so a
  // ',' right before '}' is refused by the key check.
  if (!first && !expect(',')) return -1;
  if (peek() != '"' || !read_string(key)) return -1;
  return expect(':') ? 1 : -1;
}

bool JsonReader::read_string(std::string_view& out) {
  // The caller has seen the opening quotation mark.
  const char* start = ++at_;
  for (;;) {
    while (at_ != end_ && kStringBytes[static_cast<unsigned char>(*at_)] == kPlain) ++at_;
    if (at_ == end_) return false;
    switch (kStringBytes[static_cast<unsigned char>(*at_)]) {
      case kQuote:
        out = std::string_view(start, static_cast<std::size_t>(at_ - start));
        ++at_;
        return true;
      case kMultiByte: {
        const std::size_t length = utf8_sequence_length(std::string_view(at_, end_), 0);
        if (length == 0) return false;
        at_ += length;
        break;
      }
      case kBackslash:
        return read_escaped_string(start, out);
      default:  // a raw control byte, NUL included
        return false;
    }
  }
}

// The slow path of read_string, from the first escape on: the string is
// unescaped into the scratch buffer.
bool JsonReader::read_escaped_string(const char* start, std::string_view& out) {
  scratch_.assign(start, at_);
  for (;;) {
    const char* run = at_;
    while (at_ != end_ && kStringBytes[static_cast<unsigned char>(*at_)] == kPlain) ++at_;
    scratch_.append(run, at_);
    if (at_ == end_) return false;
    switch (kStringBytes[static_cast<unsigned char>(*at_)]) {
      case kQuote:
        ++at_;
        out = scratch_;
        return true;
      case kMultiByte: {
        const std::size_t length = utf8_sequence_length(std::string_view(at_, end_), 0);
        if (length == 0) return false;
        scratch_.append(at_, length);
        at_ += length;
        break;
      }
      case kBackslash: {
        if (end_ - at_ < 2) return false;
        const char kind = at_[1];
        at_ += 2;
        switch (kind) {
          case '"':
          case '\\':
          case '/':
            scratch_.push_back(kind);
            break;
          case 'b':
            scratch_.push_back('\b');
            break;
          case 'f':
            scratch_.push_back('\f');
            break;
          case 'n':
            scratch_.push_back('\n');
            break;
          case 'r':
            scratch_.push_back('\r');
            break;
          case 't':
            scratch_.push_back('\t');
            break;
          case 'u': {
            if (end_ - at_ < 4) return false;
            const int unit = read_hex4(at_);
            if (unit < 0) return false;
            at_ += 4;
            uint32_t code_point = static_cast<uint32_t>(unit);
            if (unit >= 0xDC00 && unit <= 0xDFFF) return false;  // a low half alone
            if (unit >= 0xD800 && unit <= 0xDBFF) {
              // A high half must be followed at once by an escaped low half.
              if (end_ - at_ < 6 || at_[0] != '\\' || at_[1] != 'u') return false;
              const int low = read_hex4(at_ + 2);
              if (low < 0xDC00 || low > 0xDFFF) return false;
              at_ += 6;
              code_point =
                  0x10000 + ((code_point - 0xD800) << 10) + (static_cast<uint32_t>(low) - 0xDC00);
            }
            append_utf8(code_point, scratch_);
            break;
          }
          default:
            return false;
        }
        break;
      }
      default:
        return false;
    }
  }
}

bool JsonReader::read_number(Number& out) {
  skip_whitespace();
  const char* start = at_;
  const char* token_end = number_token_end(at_, end_);
  if (token_end == nullptr) return false;
  at_ = token_end;
  const bool negative = *start == '-';
  // Integer digits, accumulated while they fit in 64 bits.
  const char* digit = negative ? start + 1 : start;
  uint64_t magnitude = 0;
  bool fits = true;
  for (; digit != token_end && is_digit(*digit); ++digit) {
    const auto value = static_cast<uint64_t>(*digit - '0');
    if (magnitude > (std::numeric_limits<uint64_t>::max() - value) / 10) fits = false;
    if (fits) magnitude = magnitude * 10 + value;
  }
  const bool integral = digit == token_end;
  if (integral && fits) {
    constexpr uint64_t kNegativeLimit = uint64_t{1} << 63;
    if (!negative) {
      out.kind = NumberKind::Unsigned;
      out.magnitude = magnitude;
      return true;
    }
    if (magnitude != 0 && magnitude <= kNegativeLimit) {
      out.kind = NumberKind::Negative;
      out.magnitude = magnitude;
      return true;
    }
  }
  // Every other number is floating: a fraction, an exponent, "-0", or an
  // integer beyond both ranges. No field reads a floating number, so its
  // value only has to stand for the token: one beyond a double's range is
  // an infinity of its sign, one too small for it a zero, as for strtod.
  out.kind = NumberKind::Floating;
  const std::from_chars_result parsed = std::from_chars(start, at_, out.floating);
  if (parsed.ptr != at_) return false;
  if (parsed.ec == std::errc::result_out_of_range) {
    const double magnitude_of_token =
        is_tiny(std::string_view(start, static_cast<std::size_t>(at_ - start)))
            ? 0.0
            : std::numeric_limits<double>::infinity();
    out.floating = negative ? -magnitude_of_token : magnitude_of_token;
  } else if (parsed.ec != std::errc()) {
    return false;
  }
  return true;
}

bool JsonReader::read_unsigned(uint64_t& out) {
  Number number;
  if (!read_number(number) || number.kind != NumberKind::Unsigned) return false;
  out = number.magnitude;
  return true;
}

bool JsonReader::read_signed(int64_t& out) {
  Number number;
  if (!read_number(number)) return false;
  if (number.kind == NumberKind::Unsigned) {
    if (number.magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return false;
    }
    out = static_cast<int64_t>(number.magnitude);
    return true;
  }
  if (number.kind != NumberKind::Negative) return false;
  // The magnitude is at most 2^63, so this wraps to the exact value.
  out = static_cast<int64_t>(0 - number.magnitude);
  return true;
}

bool JsonReader::read_literal(std::string_view word) {
  skip_whitespace();
  if (static_cast<std::size_t>(end_ - at_) < word.size() ||
      std::string_view(at_, word.size()) != word) {
    return false;
  }
  at_ += word.size();
  return true;
}

bool JsonReader::read_bool(bool& out) {
  const int next = peek();
  if (next == 't' && read_literal("true")) {
    out = true;
    return true;
  }
  if (next == 'f' && read_literal("false")) {
    out = false;
    return true;
  }
  return false;
}

bool JsonReader::consume_null() { return peek() == 'n' && read_literal("null"); }

// A string, number or literal as a buffered value.
bool JsonReader::scalar_to_buffered(BufferedValue& out) {
  switch (peek()) {
    case '"': {
      std::string_view text;
      if (!read_string(text)) return false;
      out = BufferedValue::string(std::string(text));
      return true;
    }
    case 't':
    case 'f': {
      bool v = false;
      if (!read_bool(v)) return false;
      out = BufferedValue::boolean(v);
      return true;
    }
    case 'n':
      out = BufferedValue();
      return read_literal("null");
    default: {
      Number number;
      if (!read_number(number)) return false;
      switch (number.kind) {
        case NumberKind::Unsigned:
          out = BufferedValue::unsigned_integer(number.magnitude);
          break;
        case NumberKind::Negative:
          out = BufferedValue::negative_integer(static_cast<int64_t>(0 - number.magnitude));
          break;
        case NumberKind::Floating:
          out = BufferedValue::floating(number.floating);
          break;
      }
      return true;
    }
  }
}

// Recursive, but every level takes from the budget first, so the depth of
// the recursion is bounded by it.
bool JsonReader::build_value(BufferedValue& out) {
  const int next = peek();
  if (next == '{') {
    if (!begin_object()) return false;
    out = BufferedValue::object();
    BufferedValue::Object& members = *out.as_object();
    std::string_view key;
    for (bool first = true;; first = false) {
      const int step = next_member(first, key);
      if (step < 0) return false;
      if (step == 0) return true;
      members.push_back(BufferedMember{std::string(key), BufferedValue()});
      if (!build_value(members.back().value)) return false;
    }
  }
  if (next == '[') {
    ++at_;
    if (!take_budget()) return false;
    out = BufferedValue::array();
    BufferedValue::Array& elements = *out.as_array();
    if (peek() == ']') {
      ++at_;
      give_budget_back();
      return true;
    }
    for (;;) {
      elements.emplace_back();
      if (!build_value(elements.back())) return false;
      const int after = peek();
      if (after < 0) return false;
      ++at_;
      if (after == ']') {
        give_budget_back();
        return true;
      }
      if (after != ',') return false;
    }
  }
  return scalar_to_buffered(out);
}

bool JsonReader::keep_member(std::string_view key) {
  if (kept_count_ == kept_.size()) kept_.emplace_back();
  BufferedMember& member = kept_[kept_count_++];
  member.key.assign(key);  // before the value's strings reuse the scratch
  member.value = BufferedValue();
  return build_value(member.value);
}

// Iterative: a skipped value may nest as deep as the text is long, and must
// not take the stack with it. Only whether each open container is an object
// or an array is remembered, one bit per level.
bool JsonReader::skip_value(bool counted) {
  std::size_t depth = 0;
  const auto push = [&](bool object) {
    if (counted && !take_budget()) return false;
    const std::size_t word = depth / 64;
    if (word == open_kinds_.size()) open_kinds_.push_back(0);
    const uint64_t bit = uint64_t{1} << (depth % 64);
    open_kinds_[word] = object ? (open_kinds_[word] | bit) : (open_kinds_[word] & ~bit);
    ++depth;
    return true;
  };
  const auto top_is_object = [&] {
    return ((open_kinds_[(depth - 1) / 64] >> ((depth - 1) % 64)) & 1) != 0;
  };
  const auto pop = [&] {
    --depth;
    if (counted) give_budget_back();
  };
  std::string_view ignored;
  for (;;) {
    // A value is expected here.
    const int next = peek();
    bool complete = true;  // whether a whole value has just ended
    if (next == '{' || next == '[') {
      ++at_;
      if (!push(next == '{')) return false;
      const int first = peek();
      if (first == (next == '{' ? '}' : ']')) {
        ++at_;
        pop();
      } else {
        complete = false;
        if (next == '{' && (first != '"' || !read_string(ignored) || !expect(':'))) return false;
      }
    } else if (next == '"') {
      if (!read_string(ignored)) return false;
    } else if (next == 't' || next == 'f') {
      bool v = false;
      if (!read_bool(v)) return false;
    } else if (next == 'n') {
      if (!read_literal("null")) return false;
    } else {
      // A skipped number is held by nobody, so its syntax is all there is
      // to check: 1e400 and a 400-digit integer are numbers like any other.
      const char* token_end = number_token_end(at_, end_);
      if (token_end == nullptr) return false;
      at_ = token_end;
    }
    // Close every container that ends here, then step to the next value.
    while (complete) {
      if (depth == 0) return true;
      const bool object = top_is_object();
      const int after = peek();
      if (after < 0) return false;
      ++at_;
      if (after == (object ? '}' : ']')) {
        pop();
        continue;
      }
      if (after != ',') return false;
      if (object && (peek() != '"' || !read_string(ignored) || !expect(':'))) return false;
      complete = false;
    }
  }
}

Result<BufferedValue, JsonRejection> BufferedValue::parse(std::string_view text) {
  JsonReader reader(text);
  BufferedValue value;
  if (!reader.build_value(value) || !reader.at_end()) return unexpected(JsonRejection{});
  return value;
}

bool operator==(const BufferedValue& a, const BufferedValue& b) { return a.storage_ == b.storage_; }

}  // namespace vek_guard
