// Writes a synthetic DFT file:
//   make_dft OUTPUT RECORDS [N A [backwards]]
// RECORDS records of 2^N samples per antenna and A antennas (default N 5, A 4); "backwards"
// makes the phase scale run backwards (FF 0xFE).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decode/descriptors.h"
#include "tools/synthetic.h"

namespace {

bool read_number(const char* text, long long low, long long high, long long& value) {
  char* end = nullptr;
  value = std::strtoll(text, &end, 10);
  return *text != '\0' && *end == '\0' && value >= low && value <= high;
}

}  // namespace

int main(int argc, char** argv) {
  vexo::synthetic::Options options;
  long long records = 0, N = options.N, A = options.A;
  const bool ok = (argc == 3 || argc == 5 || argc == 6) &&
                  read_number(argv[2], 0, 1LL << 40, records) &&
                  (argc < 5 || (read_number(argv[3], 0, 9, N) && read_number(argv[4], 1, 9, A))) &&
                  (argc < 6 || std::strcmp(argv[5], "backwards") == 0);
  if (!ok || vexo::subblock_count(static_cast<int>(A), static_cast<int>(N)) == 0) {
    std::fputs(
        "usage: make_dft OUTPUT RECORDS [N A [backwards]]  (N 0..9, A 1..9, 2^N*A <= 2048)\n",
        stderr);
    return 2;
  }
  options.N = static_cast<int>(N), options.A = static_cast<int>(A), options.backwards = argc == 6;
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  for (long long r = 0; r < records; ++r) {
    const auto record = vexo::synthetic::make_record(r, options);
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
