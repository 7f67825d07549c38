#include "vek_guard_cli/display_text.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vek_guard/coding.h"

namespace vek_guard::cli {
namespace {

// One decoded UTF-8 sequence: its code point and its length in bytes.
struct CodePoint {
  uint32_t value;
  std::size_t length;
};

// Decodes the sequence starting at text[at], or nothing when the bytes there
// are not well-formed UTF-8 (utf8_sequence_length decides).
std::optional<CodePoint> decode_utf8(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return CodePoint{lead, 1};
  const std::size_t length = utf8_sequence_length(text, at);
  if (length == 0) return std::nullopt;
  // The lead byte carries 7 - length bits of the code point, every
  // continuation byte 6.
  uint32_t code = lead & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) {
    code = (code << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3Fu);
  }
  return CodePoint{code, length};
}

// The debug form of one code point: which ones are shown as \u{...}. Control
// characters always are; beyond them this is an approximation by ranges of
// the invisible ones (format characters, line and paragraph separators,
// private use, non-characters) and of the common combining marks, which
// would otherwise attach to the quote before them.
bool shown_as_escape(uint32_t c) {
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return true;
  if ((c & 0xFFFE) == 0xFFFE) return true;
  struct Range {
    uint32_t first;
    uint32_t last;
  };
  static constexpr std::array<Range, 24> kRanges{{
      {0x00AD, 0x00AD}, {0x0300, 0x036F}, {0x0483, 0x0489},   {0x0591, 0x05BD},    {0x0600, 0x0605},
      {0x061C, 0x061C}, {0x064B, 0x065F}, {0x06DD, 0x06DD},   {0x070F, 0x070F},    {0x180B, 0x180F},
      {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},   {0x2028, 0x202E},    {0x2060, 0x206F},
      {0x20D0, 0x20FF}, {0xE000, 0xF8FF}, {0xFDD0, 0xFDEF},   {0xFE00, 0xFE0F},    {0xFE20, 0xFE2F},
      {0xFEFF, 0xFEFF}, {0xFFF0, 0xFFFB}, {0xE0000, 0xE0FFF}, {0xF0000, 0x10FFFF},
  }};
  for (const Range& range : kRanges) {
    if (c >= range.first && c <= range.last) return true;
  }
  return false;
}

}  // namespace

std::string lossy_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::optional<CodePoint> decoded = decode_utf8(text, i);
    if (decoded) {
      out.append(text.substr(i, decoded->length));
      i += decoded->length;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

std::string quote_debug(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const std::optional<CodePoint> decoded = decode_utf8(text, i);
    if (!decoded) {
      const auto byte = static_cast<unsigned char>(text[i]);
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
      ++i;
      continue;
    }
    const uint32_t c = decoded->value;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (shown_as_escape(c)) {
          std::string digits;
          for (uint32_t rest = c; rest != 0 || digits.empty(); rest >>= 4) {
            digits.insert(digits.begin(), kHex[rest & 0x0F]);
          }
          out += "\\u{" + digits + "}";
        } else {
          out.append(text.substr(i, decoded->length));
        }
    }
    i += decoded->length;
  }
  out += '"';
  return out;
}

}  // namespace vek_guard::cli
