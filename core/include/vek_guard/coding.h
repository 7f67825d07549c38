// Byte-level encodings: fixed-width big-endian integers, the byte order of
// both of our wire formats (journal frames and checkpoint protocol frames),
// and the well-formedness of UTF-8 text. All encoding of integers into bytes
// goes through here.
#ifndef VEK_GUARD_CODING_H_
#define VEK_GUARD_CODING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vek_guard {

inline void encode_be32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

inline void encode_be64(uint8_t* out, uint64_t value) {
  encode_be32(out, static_cast<uint32_t>(value >> 32));
  encode_be32(out + 4, static_cast<uint32_t>(value));
}

inline uint32_t decode_be32(const uint8_t* in) {
  return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) |
         uint32_t{in[3]};
}

inline uint64_t decode_be64(const uint8_t* in) {
  return (uint64_t{decode_be32(in)} << 32) | decode_be32(in + 4);
}

inline void append_be32(std::string& out, uint32_t value) {
  uint8_t bytes[4];
  encode_be32(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

inline void append_be64(std::string& out, uint64_t value) {
  uint8_t bytes[8];
  encode_be64(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

// The length of the well-formed UTF-8 sequence that starts at `text[at]`, a
// byte of 0x80 or above, or 0 when there is none: no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequence.
inline std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  unsigned char min_second = 0x80;
  unsigned char max_second = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) min_second = 0xA0;  // overlong
    if (lead == 0xED) max_second = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) min_second = 0x90;  // overlong
    if (lead == 0xF4) max_second = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  const auto second = static_cast<unsigned char>(text[at + 1]);
  if (second < min_second || second > max_second) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if (next < 0x80 || next > 0xBF) return 0;
  }
  return length;
}

// Whether all of `text` is well-formed UTF-8.
inline bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = utf8_sequence_length(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace vek_guard

#endif  // VEK_GUARD_CODING_H_
