// Writes a synthetic DFT file:
//   make_dft OUTPUT RECORDS [SHAPES [backwards|varied|uneven]]
//   make_dft OUTPUT RECORDS random
// RECORDS records; SHAPES is a comma-separated list of N/A record shapes (2^N samples per
// antenna, A antennas; default 5/4) that the records take in turn, such as 5/4,3/4,7/2.
// "backwards" makes the phase scale run backwards (FF 0xFE); "varied" changes the instrument
// program every record (D1, D2, R, X and FF as well as the shape); "uneven" sounds the last
// r % 3 subblocks of record r (from 0) at 1000 kHz, so that records differ in their subblocks.
// "random" draws every record's program, the shape as well as D1, D2, R, X and FF, among a
// thousand fixed programs (synthetic::random_options), a different one from record to record.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "src/descriptors.h"
#include "tools/synthetic.h"

namespace {

bool read_number(const char* text, long long low, long long high, long long& value, char** end) {
  value = std::strtoll(text, end, 10);
  return *end != text && value >= low && value <= high;
}

// "N/A[,N/A...]"; false when it cannot be read or a shape has no subblock.
bool read_shapes(const char* text, std::vector<vexo::synthetic::Options>& shapes) {
  for (;;) {
    long long N = 0, A = 0;
    char* end = nullptr;
    if (!read_number(text, 0, 9, N, &end) || *end != '/') return false;
    if (!read_number(end + 1, 1, 9, A, &end)) return false;
    if (vexo::subblock_count(static_cast<int>(A), static_cast<int>(N)) == 0) return false;
    vexo::synthetic::Options shape;
    shape.N = static_cast<int>(N), shape.A = static_cast<int>(A);
    shapes.push_back(shape);
    if (*end == '\0') return true;
    if (*end != ',') return false;
    text = end + 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<vexo::synthetic::Options> shapes;
  long long records = 0;
  char* end = nullptr;
  const bool random = argc == 4 && std::strcmp(argv[3], "random") == 0;
  const bool ok = argc >= 3 && argc <= 5 && read_number(argv[2], 0, 1LL << 40, records, &end) &&
                  *end == '\0' && (argc < 4 || random || read_shapes(argv[3], shapes)) &&
                  (argc < 5 || std::strcmp(argv[4], "backwards") == 0 ||
                   std::strcmp(argv[4], "varied") == 0 || std::strcmp(argv[4], "uneven") == 0);
  if (!ok) {
    std::fputs(
        "usage: make_dft OUTPUT RECORDS [N/A[,N/A...] [backwards|varied|uneven]]  (N 0..9, A 1..9, "
        "2^N*A <= 2048)\n"
        "       make_dft OUTPUT RECORDS random  (a program drawn at random for every record)\n",
        stderr);
    return 2;
  }
  if (shapes.empty()) shapes.emplace_back();
  for (auto& shape : shapes) {
    shape.backwards = argc == 5 && std::strcmp(argv[4], "backwards") == 0;
    shape.varied = argc == 5 && std::strcmp(argv[4], "varied") == 0;
    shape.uneven = argc == 5 && std::strcmp(argv[4], "uneven") == 0;
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  for (long long r = 0; r < records; ++r) {
    const auto record = vexo::synthetic::make_record(
        r, random ? vexo::synthetic::random_options(r) : shapes[r % shapes.size()]);
    if (std::fwrite(record.data(), 1, record.size(), out) != record.size()) {
      std::perror(argv[1]);
      std::fclose(out);
      return 1;
    }
  }
  if (std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
