#include "src/descriptors.h"

namespace vexo {
namespace {

// A nibble written as a decimal digit: 10..15 leave the single character '1'.
int digit_of(int nibble) {
  return nibble < 10 ? nibble : 1;
}

}  // namespace

int32_t subblock_count(int32_t A, int32_t N) {
  // 2^N * 2A is a whole number, so truncating the real quotient 4096 / (2^N * 2A) is the
  // integer division. Header digits keep N and A within 0..9; anything else has no subblock.
  if (A <= 0 || N < 0 || N > 12) return 0;
  return 4096 / ((int32_t{1} << N) * 2 * A);
}

Descriptor decode_descriptor(const std::array<int, kDescriptorNibbles>& nibbles, int32_t H) {
  Descriptor d;
  int32_t frequency = 0;
  for (int i = 0; i < 5; ++i) frequency = frequency * 10 + digit_of(nibbles[i]);
  int32_t height = 0;
  for (int i = 5; i < 9; ++i) height = height * 10 + digit_of(nibbles[i]);
  // Nibbles 9 and 10 are unused.
  d.frequency = static_cast<float>(frequency);
  d.height = static_cast<float>(height);
  if (H == 2) {
    // Times 0.5 and then 2.5, stored back as a 32-bit real: exactly the height times 1.25.
    d.height = static_cast<float>(static_cast<long double>(d.height) * 0.5L * 2.5L);
  }
  d.gain = digit_of(nibbles[11]);
  d.polarization = nibbles[12];
  return d;
}

void read_descriptors(const RecordView& view, const HeaderFields& header, DescriptorTable& table) {
  const int32_t count = subblock_count(header.A, header.N);
  int n = kHeaderNibbles;
  for (int32_t s = 0; s < count; ++s) {
    std::array<int, kDescriptorNibbles> nibbles;
    read_nibbles(view, n, kDescriptorNibbles, nibbles.data());
    n += kDescriptorNibbles;
    table[s] = decode_descriptor(nibbles, header.H);
  }
}

}  // namespace vexo
