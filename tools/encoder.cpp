#include "tools/encoder.h"

namespace vexo::encode {
namespace {

// Writes `value` as `width` digits of `base`, most significant first, from position `pos`.
void put_digits(std::array<int, kHeaderNibbles>& nibbles, int pos, int width, int base, int value) {
  for (int i = width - 1; i >= 0; --i) {
    nibbles[pos + i] = value % base;
    value /= base;
  }
}

}  // namespace

std::array<int, kHeaderNibbles> header_nibbles(const HeaderFields& h, int nibble0) {
  std::array<int, kHeaderNibbles> n{};
  n[0] = nibble0;
  struct Field {
    int pos, width, base, value;
  };
  const Field fields[] = {
      {1, 2, 10, h.year},
      {3, 3, 10, h.day},
      {6, 2, 10, h.hour},
      {8, 2, 10, h.minute},
      {10, 2, 10, h.second},
      {12, 1, 10, h.sp_s},
      {13, 1, 10, h.sp_p},
      {14, 2, 16, h.FF},
      {16, 1, 10, h.J},
      {17, 1, 10, h.E},
      {18, 1, 10, h.H},
      {19, 1, 10, h.M},
      {20, 6, 10, static_cast<int>(h.FREQ)},
      {26, 1, 16, h.DIFF_D},
      {27, 1, 10, h.I},
      {28, 2, 10, h.DIFF_FF},
      {30, 1, 10, h.S},
      {31, 1, 10, h.l},
      {32, 1, 10, h.u},
      {33, 2, 10, h.L},
      {35, 1, 16, h.C},
      {36, 2, 10, h.U},
      {38, 1, 10, h.B},
      {39, 1, 10, h.T},
      {40, 1, 10, h.O},
      {41, 3, 10, h.V},
      {44, 1, 10, h.X},
      {45, 1, 10, h.A},
      {46, 1, 10, h.D1},
      {47, 1, 10, h.D2},
      {48, 1, 10, h.N},
      {49, 1, 10, h.R},
      {50, 1, 10, h.w},
      {51, 1, 10, h.k},
      {52, 1, 10, h.f},
      {53, 1, 10, h.g},
      {54, 2, 10, h.OO},
      {56, 1, 10, h.P},
      {57, 1, 10, h.G},
  };
  for (const Field& f : fields) put_digits(n, f.pos, f.width, f.base, f.value);
  return n;
}

std::array<int, kDescriptorNibbles> descriptor_nibbles(const DescriptorValues& d) {
  std::array<int, kDescriptorNibbles> n{};
  int frequency = d.frequency;
  for (int i = 4; i >= 0; --i, frequency /= 10) n[i] = frequency % 10;
  int height = d.height;
  for (int i = 8; i >= 5; --i, height /= 10) n[i] = height % 10;
  n[11] = d.gain;
  n[12] = d.polarization;
  return n;
}

std::vector<int> channel_nibbles(const std::array<int, kHeaderNibbles>& header,
                                 const std::vector<DescriptorValues>& descriptors) {
  std::vector<int> nibbles(header.begin(), header.end());
  for (const DescriptorValues& d : descriptors) {
    const auto n = descriptor_nibbles(d);
    nibbles.insert(nibbles.end(), n.begin(), n.end());
  }
  return nibbles;
}

std::vector<unsigned char> encode_record(const std::vector<int>& nibbles,
                                         const std::vector<unsigned char>& amplitude,
                                         const std::vector<unsigned char>& phase) {
  std::vector<unsigned char> record(kRecordSize, 0);
  for (std::size_t s = 0; s < static_cast<std::size_t>(kSamplesPerKind); ++s) {
    unsigned char a = s < amplitude.size() ? amplitude[s] : 0;
    const std::size_t nibble = s / 4;
    if (nibble < nibbles.size()) {
      a = static_cast<unsigned char>((a & ~1u) | ((nibbles[nibble] >> (s % 4)) & 1));
    }
    record[amplitude_sample_offset(s)] = a;
    record[phase_sample_offset(s)] = s < phase.size() ? phase[s] : 0;
  }
  record[0] = kRecordMarker;
  return record;
}

}  // namespace vexo::encode
