#include "src/descriptors.h"

namespace vexo {
namespace {

// The 13 nibbles of a descriptor as one value, nibble i at bits 4i .. 4i+3.
constexpr int kDescriptorBits = 4 * kDescriptorNibbles;
constexpr uint64_t kDescriptorMask = (uint64_t{1} << kDescriptorBits) - 1;

// A nibble written as a decimal digit: 10..15 leave the single character '1'.
constexpr int32_t digit_of(uint64_t nibble) {
  return nibble < 10 ? static_cast<int32_t>(nibble) : 1;
}

// The two decimal digits of a byte's nibbles, low nibble first: 10 * digit(low) + digit(high).
struct DigitPairs {
  int16_t value[256] = {};
};

constexpr DigitPairs make_digit_pairs() {
  DigitPairs pairs;
  for (unsigned b = 0; b < 256; ++b) {
    pairs.value[b] = static_cast<int16_t>(10 * digit_of(b & 0xF) + digit_of(b >> 4));
  }
  return pairs;
}

constexpr DigitPairs kDigitPairs = make_digit_pairs();

int32_t digit_pair(uint64_t v, int first_nibble) {
  return kDigitPairs.value[(v >> (4 * first_nibble)) & 0xFF];
}

inline Descriptor decode_bits(uint64_t v, int32_t H) {
  Descriptor out;
  const int32_t frequency =
      digit_pair(v, 0) * 1000 + digit_pair(v, 2) * 10 + digit_of((v >> 16) & 0xF);
  const int32_t height = digit_pair(v, 5) * 100 + digit_pair(v, 7);
  // Nibbles 9 and 10 are unused.
  out.frequency = static_cast<float>(frequency);
  // Times 0.5 and then 2.5, stored back as a 32-bit real: exactly the height times 1.25, which
  // is 5 * height / 4 (below 2^14, with two bits of fraction) and as exact in a float.
  out.height = H == 2 ? static_cast<float>(height * 5) * 0.25f : static_cast<float>(height);
  out.gain = digit_of((v >> 44) & 0xF);
  out.polarization = static_cast<int32_t>((v >> 48) & 0xF);
  return out;
}

}  // namespace

int32_t subblock_count(int32_t A, int32_t N) {
  // 2^N * 2A is a whole number, so truncating the real quotient 4096 / (2^N * 2A) is the
  // integer division. Header digits keep N and A within 0..9; anything else has no subblock.
  if (A <= 0 || N < 0 || N > 12) return 0;
  return 4096 / ((int32_t{1} << N) * 2 * A);
}

Descriptor decode_descriptor(const std::array<int, kDescriptorNibbles>& nibbles, int32_t H) {
  uint64_t v = 0;
  for (int i = 0; i < kDescriptorNibbles; ++i)
    v |= static_cast<uint64_t>(nibbles[i] & 0xF) << (4 * i);
  return decode_bits(v, H);
}

void read_descriptors(const RecordView& view, const HeaderFields& header, Descriptor* table) {
  const int32_t count = subblock_count(header.A, header.N);
  if (count <= 0) return;
  // The descriptors start at nibble 58, in the second run: gather the channel from there to the
  // run of the last descriptor nibble.
  constexpr std::size_t kFirstRun = kHeaderNibbles / kRunNibbles;
  constexpr std::size_t kMaxRuns =
      (kHeaderNibbles + kDescriptorNibbles * kMaxSubblocks - 1) / kRunNibbles + 1 - kFirstRun;
  uint64_t words[kMaxRuns * kWordsPerRun];
  const std::size_t last_nibble =
      kHeaderNibbles + kDescriptorNibbles * static_cast<std::size_t>(count) - 1;
  read_channel_runs(view, kFirstRun, last_nibble / kRunNibbles + 1 - kFirstRun, words);
  std::size_t bit = 4 * (kHeaderNibbles - kFirstRun * kRunNibbles);
  for (int32_t s = 0; s < count; ++s, bit += kDescriptorBits) {
    const std::size_t w = bit / 64;
    const unsigned shift = bit % 64;
    uint64_t v = words[w] >> shift;
    // The next word only when the descriptor reaches into it (then it was gathered).
    if (shift > 64 - kDescriptorBits) v |= words[w + 1] << (64 - shift);
    table[s] = decode_bits(v & kDescriptorMask, header.H);
  }
}

}  // namespace vexo
