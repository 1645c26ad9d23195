// Writes DFT records for tests, examples and benchmarks: header field values and descriptors
// become header-channel nibbles, and the channel goes into bit 0 of the amplitude bytes.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "src/header.h"
#include "src/record_layout.h"

namespace vexo::encode {

// The 58 header nibbles of the field values: fields read with a decimal conversion are written
// as decimal digits (also on the hex positions), FF, DIFF_D and C as hex digits. FREQ must be
// a whole number. Position 0 is `nibble0`.
std::array<int, kHeaderNibbles> header_nibbles(const HeaderFields& h, int nibble0 = 0);

struct DescriptorValues {
  int frequency = 0;     // 0..99999 kHz
  int height = 0;        // 0..9999 km
  int gain = 0;          // 0..9 dB
  int polarization = 0;  // 0..15
};

std::array<int, kDescriptorNibbles> descriptor_nibbles(const DescriptorValues& d);

// The header channel of a record: header nibbles, then the descriptors' nibbles.
std::vector<int> channel_nibbles(const std::array<int, kHeaderNibbles>& header,
                                 const std::vector<DescriptorValues>& descriptors);

// One 4096-byte record. Byte 0 is always the record marker, whatever amplitude[0] is (so bit 0
// of nibble 0 is 0). Amplitude byte c carries channel bit c in bit 0 for the first 2048 channel
// bits of `nibbles` (later nibbles do not fit into the record); where `nibbles` ends, bit 0 is
// left as the amplitude sample has it. Missing samples are 0.
std::vector<unsigned char> encode_record(const std::vector<int>& nibbles,
                                         const std::vector<unsigned char>& amplitude,
                                         const std::vector<unsigned char>& phase);

}  // namespace vexo::encode
