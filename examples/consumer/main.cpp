// Reads a DFT file with the vexo library and prints one line per record: its number, the time
// in its header, its frequency, how many subblocks it has, and the phase of its first sample.
//   vexo_records FILE.dft
#include <vexo/vexo.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE.dft\n", argv[0]);
    return 2;
  }
  vexo::Reader reader = vexo::Reader::open(argv[1]);
  while (reader.next()) {
    const vexo::Record& record = reader.record();
    const vexo::HeaderFields& header = record.header();
    std::printf("record %lld: day %d %02d:%02d:%02d, FREQ %.0f, %d subblocks",
                static_cast<long long>(record.number()), header.day, header.hour, header.minute,
                header.second, header.FREQ, record.subblock_count());
    if (record.subblock_count() > 0) {
      // Subblock 0, antenna 0, sample 0, with the antenna phase correction.
      const vexo::PhaseParameters parameters = vexo::phase_parameters(record, true);
      const float degrees = vexo::phase_degrees(record.phase(0, 0)[0], 0, 0, parameters);
      std::printf(", first phase %.1f degrees", degrees);
    }
    std::printf("\n");
  }
  if (!reader.stop().clean()) {
    std::fprintf(stderr, "%s: %s\n", argv[1], vexo::describe(reader.stop()).c_str());
    return 1;
  }
  return 0;
}
