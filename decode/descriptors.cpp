#include "decode/descriptors.h"

#include <cmath>

namespace vexo {
namespace {

// A nibble written as a decimal digit: 10..15 leave the single character '1'.
int digit_of(int nibble) {
  return nibble < 10 ? nibble : 1;
}

}  // namespace

int32_t subblock_count(int32_t A, int32_t N) {
  if (A == 0) return 0;  // the quotient would divide by zero
  // In extended precision as the format prescribes; 2^N * 2A is a small whole number, so the
  // quotient is never rounded across a whole number and the truncation is exact.
  long double quotient =
      4096.0L / (std::pow(2.0L, static_cast<long double>(N)) * static_cast<long double>(2 * A));
  return static_cast<int32_t>(quotient);
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
    std::array<int, kDescriptorNibbles> nibbles{};
    for (int& nibble : nibbles) nibble = read_nibble(view, n++);
    table[s] = decode_descriptor(nibbles, header.H);
  }
}

}  // namespace vexo
