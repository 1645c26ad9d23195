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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The header channel as bits: channel bit k (bit 0 of channel byte k) of a gathered stretch is
// bit k % 64 of word k / 64. One amplitude run is 128 channel bytes, 32 nibbles, two words.
constexpr std::size_t kRunNibbles = kRunSize / 4;
constexpr std::size_t kWordsPerRun = kRunSize / 64;

// Bit 0 of 128 bytes in memory into two words, eight bytes at a time: with byte i at bit 8i of
// x, the product puts bit 0 of byte i at bit 56+i, and no other partial product reaches the top
// byte.
inline void gather_run_portable(const unsigned char* bytes, uint64_t* words) {
  words[0] = words[1] = 0;
  for (std::size_t i = 0; i < kRunSize / 8; ++i) {
    uint64_t x = 0;
    std::memcpy(&x, bytes + 8 * i, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    x = __builtin_bswap64(x);
#endif
    const uint64_t bits = ((x & 0x0101010101010101ULL) * 0x0102040810204080ULL) >> 56;
    words[i / 8] |= bits << (8 * (i % 8));
  }
}

// The same sixteen bytes at a time: a 16-bit shift by 7 moves bit 0 of each byte to its bit 7
// (bit 0 of a lane's high byte, bit 8, to bit 15), which the byte mask collects.
inline void gather_run(const unsigned char* bytes, uint64_t* words) {
#if defined(__SSE2__)
  uint64_t w[2] = {0, 0};
  for (std::size_t i = 0; i < kRunSize / 16; ++i) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * i));
    const auto mask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_slli_epi16(x, 7)));
    w[i / 4] |= uint64_t{mask} << (16 * (i % 4));
  }
  words[0] = w[0];
  words[1] = w[1];
#else
  gather_run_portable(bytes, words);
#endif
}

// Channel bytes of runs first_run .. first_run+run_count-1 (nibbles from 32*first_run on) into
// words[0 .. 2*run_count-1]. Bytes past view.size read as 0.
inline void read_channel_runs(const RecordView& view, std::size_t first_run, std::size_t run_count,
                              uint64_t* words) {
  for (std::size_t r = first_run; r < first_run + run_count; ++r, words += kWordsPerRun) {
    const std::size_t offset = kGroupSize * r;
    if (offset + kRunSize <= view.size) {
      gather_run(view.bytes + offset, words);
      continue;
    }
    words[0] = words[1] = 0;
    for (std::size_t j = 0; offset + j < view.size && j < kRunSize; ++j) {
      words[j / 64] |= uint64_t{view.bytes[offset + j] & 1u} << (j % 64);
    }
  }
}

// Nibble i of gathered words.
inline int nibble_of(const uint64_t* words, std::size_t i) {
  return static_cast<int>((words[i / 16] >> (4 * (i % 16))) & 0xF);
}

// Nibbles first .. first+count-1 of the header channel into out[0 .. count-1].
inline void read_nibbles(const RecordView& view, int first, int count, int* out) {
  if (count <= 0) return;
  const auto begin = static_cast<std::size_t>(first);
  const std::size_t end = begin + static_cast<std::size_t>(count);
  for (std::size_t r = begin / kRunNibbles; r * kRunNibbles < end; ++r) {
    uint64_t words[kWordsPerRun];
    read_channel_runs(view, r, 1, words);
    const std::size_t from = r * kRunNibbles > begin ? r * kRunNibbles : begin;
    const std::size_t to = (r + 1) * kRunNibbles < end ? (r + 1) * kRunNibbles : end;
    for (std::size_t n = from; n < to; ++n) *out++ = nibble_of(words, n - r * kRunNibbles);
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
