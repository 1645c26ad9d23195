// Writes a DFT file of regular records for examples and benchmarks:
//   make_dft OUTPUT RECORDS
// Every record has 4 antennas, 32 samples per antenna and 16 subblocks; the record time
// advances by one second a record, the descriptors step through four frequencies and two
// polarizations, and the samples are a fixed pseudo-random sequence.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tools/encoder.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: make_dft OUTPUT RECORDS\n", stderr);
    return 2;
  }
  char* end = nullptr;
  const long long records = std::strtoll(argv[2], &end, 10);
  if (*end != '\0' || records < 0) {
    std::fprintf(stderr, "make_dft: %s: not a record count\n", argv[2]);
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  unsigned state = 12345;
  auto next_byte = [&state] {
    state = state * 1103515245u + 12345u;
    return static_cast<unsigned char>(state >> 16);
  };
  std::vector<unsigned char> amplitude(vexo::kSamplesPerKind), phase(vexo::kSamplesPerKind);
  for (long long r = 0; r < records; ++r) {
    vexo::HeaderFields h;
    const long long t = 12 * 3600 + r;  // seconds since the start of day 342
    h.year = 26, h.day = static_cast<int>(342 + t / 86400 % 23), h.hour = t / 3600 % 24;
    h.minute = t / 60 % 60, h.second = t % 60;
    h.sp_s = 1, h.FF = 0x12, h.J = 1, h.H = 2, h.FREQ = 2500.0f;
    h.DIFF_D = 3, h.DIFF_FF = 10, h.l = 1, h.u = 0, h.L = 3, h.C = 0xB, h.V = 7;
    h.A = 4, h.D1 = 8, h.D2 = 2, h.N = 5, h.R = 7, h.OO = 12;
    std::vector<vexo::encode::DescriptorValues> descriptors;
    for (int s = 0; s < 16; ++s) {
      descriptors.push_back({2500 + 500 * (s % 4), 150 + 10 * (s / 4), s % 10, 1 + s % 2});
    }
    for (auto& b : amplitude) b = next_byte();
    for (auto& b : phase) b = next_byte();
    const auto record = vexo::encode::encode_record(
        vexo::encode::channel_nibbles(vexo::encode::header_nibbles(h), descriptors), amplitude,
        phase);
    if (std::fwrite(record.data(), 1, record.size(), out) != record.size()) {
      std::perror(argv[1]);
      return 1;
    }
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
