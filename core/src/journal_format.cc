#include "vek_guard/journal_format.h"

#include <zlib.h>

#include <algorithm>

#include "vek_guard/coding.h"

namespace vek_guard {

uint32_t journal_checksum(std::span<const uint8_t> payload) {
  // zlib's length type is uInt; payloads never come near its limit, but feed
  // it in pieces anyway so the function is right for any span.
  uLong crc = ::crc32(0L, Z_NULL, 0);
  const uint8_t* next = payload.data();
  size_t left = payload.size();
  while (left > 0) {
    const uInt chunk = static_cast<uInt>(std::min<size_t>(left, 1u << 30));
    crc = ::crc32(crc, next, chunk);
    next += chunk;
    left -= chunk;
  }
  return static_cast<uint32_t>(crc);
}

void begin_journal_frame(std::string* frame) { frame->assign(kFrameLengthBytes, '\0'); }

void seal_journal_frame(std::string* frame) {
  const size_t payload_bytes = frame->size() - kFrameLengthBytes;
  auto* bytes = reinterpret_cast<uint8_t*>(frame->data());
  encode_be32(bytes, static_cast<uint32_t>(payload_bytes));
  append_be32(*frame, journal_checksum({bytes + kFrameLengthBytes, payload_bytes}));
}

}  // namespace vek_guard
