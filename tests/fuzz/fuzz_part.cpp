// Fuzz target: any bytes as a DFT file, indexed, and every record read as a part of its own
// and as part of the run from it to the end: each value must be what the reader and the value
// functions give for that record.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "vexo/vexo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const vexo::Index index = vexo::Index::of_memory(data, size);
  vexo::Reader reader = vexo::Reader::over_memory(data, size);
  auto source = vexo::RandomSource::over_memory(data, size);
  vexo::PartReader parts(*source, vexo::Selection(), true);
  const auto& entries = index.entries();
  std::size_t i = 0;
  for (; reader.next(); ++i) {
    if (i >= entries.size()) __builtin_trap();
    const vexo::Record& r = reader.record();
    const vexo::IndexEntry& e = entries[i];
    if (e.offset != r.offset() || e.subblock_count != r.subblock_count()) __builtin_trap();
    // The run of records of this shape from here on, as one part.
    std::size_t count = 1;
    while (i + count < entries.size() && entries[i + count].N == e.N &&
           entries[i + count].A == e.A && count < 4) {
      ++count;
    }
    const int32_t width = e.subblock_count;
    const std::size_t per_record = static_cast<std::size_t>(width) * r.antenna_count() *
                                   static_cast<std::size_t>(r.sample_count());
    std::vector<float> degrees(count * per_record);
    vexo::PartArrays arrays;
    arrays.phase_degrees = degrees.data();
    if (!parts.read(&entries[i], count, width, arrays)) __builtin_trap();
    const vexo::PhaseParameters p = vexo::phase_parameters(r, true);
    std::size_t at = 0;
    for (int32_t s = 0; s < r.subblock_count(); ++s) {
      for (int32_t j = 0; j < r.antenna_count(); ++j) {
        const vexo::SampleLine line = r.phase(s, j);
        for (std::size_t k = 0; k < line.size(); ++k, ++at) {
          const float want = vexo::phase_degrees(line[k], j, static_cast<int32_t>(k), p);
          if (std::memcmp(&want, &degrees[at], sizeof want) != 0) __builtin_trap();
        }
      }
    }
  }
  if (i != entries.size()) __builtin_trap();
  if (index.stop().reason != reader.stop().reason) __builtin_trap();
  return 0;
}
