// Fixed-width big-endian integers, the byte order of both of our wire formats
// (journal frames and checkpoint protocol frames). All encoding of integers
// into bytes goes through here.
#ifndef VEK_GUARD_CODING_H_
#define VEK_GUARD_CODING_H_

#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace vek_guard

#endif  // VEK_GUARD_CODING_H_
