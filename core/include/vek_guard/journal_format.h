// The journal's file format: the one thing its writer (journal.h) and its
// reader (journal_reader.h) share.
//
// Every integer is big-endian (coding.h):
//
//   offset 0  7 bytes  magic, the ASCII bytes "VEKGJNL"
//   offset 7  1 byte   format, 0x01
//   offset 8  frames, back to back, up to the end of the file
//
//   frame:    u32 payload length N (1 to 65,536 as written)
//             N bytes of payload (the compact JSON of one journal record)
//             u32 CRC-32 of the N payload bytes (zlib's crc32: ISO-HDLC)
//
// Frame i holds the record whose sequence is i; frame 0 holds the header.
// The file is private: a regular file of the effective user, mode 0600.
//
// Building a frame in place, so that it goes out in one write:
//
//   begin_journal_frame(&frame);          // room for the length
//   append_journal_record(record, &frame);  // the payload
//   seal_journal_frame(&frame);           // length in front, CRC behind
#ifndef VEK_GUARD_JOURNAL_FORMAT_H_
#define VEK_GUARD_JOURNAL_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vek_guard {

// Magic and format byte at the start of every journal.
inline constexpr std::string_view kJournalMagic{"VEKGJNL\x01", 8};
// The greatest payload of one frame (a payload of exactly this size is valid).
inline constexpr uint32_t kMaxJournalPayloadBytes = 65536;
// The greatest number of records one journal may hold when read back.
inline constexpr size_t kMaxJournalRecords = 65536;
// Length prefix and checksum suffix of a frame.
inline constexpr size_t kFrameLengthBytes = 4;
inline constexpr size_t kFrameChecksumBytes = 4;

// CRC-32 as published for ISO-HDLC and computed by zlib (reflected polynomial
// 0xEDB88320, initial value and final exclusive-or 0xFFFFFFFF); 0 for an empty
// payload.
[[nodiscard]] uint32_t journal_checksum(std::span<const uint8_t> payload);

// A frame is laid out in one buffer so that it goes out in one write, and a
// record can be encoded straight into it: `begin_journal_frame` leaves room
// for the length, the caller appends the payload (1 to kMaxJournalPayloadBytes
// bytes, checked by the caller), and `seal_journal_frame` fills in the length
// and appends the checksum.
void begin_journal_frame(std::string* frame);
void seal_journal_frame(std::string* frame);

}  // namespace vek_guard

#endif  // VEK_GUARD_JOURNAL_FORMAT_H_
