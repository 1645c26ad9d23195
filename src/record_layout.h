// Byte layout of a DFT record and its header channel.
//
// A record is 4096 bytes: 16 groups of 256 bytes, each an amplitude run of 128 bytes followed
// by a phase run of 128 bytes. Byte 0 of a record is the record marker (10). The header channel
// is bit 0 of each amplitude byte, taken in file order; four channel bytes make one nibble
// (bit i of the nibble is bit 0 of channel byte 4n+i).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "vexo/record.h"

namespace vexo {

constexpr std::size_t kRunSize = 128;
constexpr std::size_t kGroupSize = 2 * kRunSize;

// Nibbles 0..57 are the record header, then 13 nibbles per subblock descriptor.
constexpr int kHeaderNibbles = 58;
constexpr int kDescriptorNibbles = 13;

// Record offset of channel byte c. Holds past 2047 too: channel bytes beyond the record's own
// run on into the bytes of the following records in the same pattern.
constexpr std::size_t channel_byte_offset(std::size_t c) {
  return kGroupSize * (c / kRunSize) + c % kRunSize;
}

// How far past its start a record's header channel can reach: the last byte of the last
// nibble of the largest descriptor table, plus one.
constexpr std::size_t kMaxRecordReach =
    channel_byte_offset(4 * (kHeaderNibbles + kDescriptorNibbles * kMaxSubblocks) - 1) + 1;

// The bytes of one record as they are held in memory: `bytes` points at the record's byte 0 and
// `size` bytes from there on are available (at least kRecordSize for a whole record, more for
// the channel bytes that lie in the following records). A byte past `size` lies beyond the end
// of the file and reads as 0.
struct RecordView {
  const unsigned char* bytes = nullptr;
  std::size_t size = 0;
};

inline unsigned char record_byte(const RecordView& view, std::size_t offset) {
  return offset < view.size ? view.bytes[offset] : 0;
}

// Nibble n of the record's header channel (n counted from 0 at the record start).
inline int read_nibble(const RecordView& view, int n) {
  // The four channel bytes of a nibble always lie in one amplitude run (128 is a multiple of 4).
  std::size_t offset = channel_byte_offset(4 * static_cast<std::size_t>(n));
  if (offset + 4 <= view.size) {
    // Bit 0 of four bytes in one load: with byte i at bit 8i of x, the product puts bit 0 of
    // byte i at bit 28+i and every other partial product below bit 24 or above bit 31, so nothing
    // reaches the top nibble.
    uint32_t x = 0;
    std::memcpy(&x, view.bytes + offset, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    x = __builtin_bswap32(x);
#endif
    return static_cast<int>(((x & 0x01010101u) * 0x10204080u) >> 28);
  }
  return (record_byte(view, offset) & 1) | (record_byte(view, offset + 1) & 1) << 1 |
         (record_byte(view, offset + 2) & 1) << 2 | (record_byte(view, offset + 3) & 1) << 3;
}

// Nibbles first .. first+count-1 of the header channel into out[0 .. count-1]. Two nibbles are
// eight channel bytes in a row (a run holds 32 whole pairs), read in one load where they are
// all in memory.
inline void read_nibbles(const RecordView& view, int first, int count, int* out) {
  int n = first;
  const int end = first + count;
  while (n < end) {
    const std::size_t offset = channel_byte_offset(4 * static_cast<std::size_t>(n));
    if (n % 2 != 0 || n + 1 == end || offset + 8 > view.size) {
      *out++ = read_nibble(view, n++);
      continue;
    }
    uint64_t x = 0;
    std::memcpy(&x, view.bytes + offset, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    x = __builtin_bswap64(x);
#endif
    // Bit 0 of byte i of x goes to bit 56+i; no other partial product reaches the top byte.
    const unsigned bits =
        static_cast<unsigned>(((x & 0x0101010101010101ULL) * 0x0102040810204080ULL) >> 56);
    *out++ = static_cast<int>(bits & 0xF);
    *out++ = static_cast<int>(bits >> 4);
    n += 2;
  }
}

// Record offset of sample s (0..2047) of one kind: amplitude samples lie in the first half of
// each group, phase samples in the second.
constexpr std::size_t amplitude_sample_offset(std::size_t s) {
  return channel_byte_offset(s);
}
constexpr std::size_t phase_sample_offset(std::size_t s) {
  return channel_byte_offset(s) + kRunSize;
}

}  // namespace vexo
