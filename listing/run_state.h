// What the record loop and the two listings share for the whole run, and the values worked out
// again for every record.
#pragma once

#include <array>
#include <cstdint>

#include "decode/descriptors.h"
#include "decode/header.h"
#include "listing/amplitude_tables.h"
#include "listing/phase_tables.h"
#include "listing/subblock_lines.h"

namespace vexo {

// A is one decimal digit.
constexpr int32_t kMaxAntennas = 9;

// The largest sample_count a header can give: 2^9 samples per antenna and subblock.
constexpr int32_t kMaxSampleCount = 512;

// Worked out again for every record that passes the check.
struct DerivedValues {
  int32_t sample_count = 0;   // 2^N samples per antenna and subblock
  double line_spacing = 0.0;  // 1 / (0.01 * (16*D2 + D1)) / sample_count; +inf when that is 0
  int32_t rate_divider = 1;   // 2 when X is 1
  int32_t phase_offset = 0;   // 255 when FF is 0xFE
  int32_t phase_sign = 1;     // -1 when FF is 0xFE
};

// Everything that lives for the whole run. Nothing of it is reset between records.
struct RunState {
  HeaderFields header;
  DescriptorTable descriptors{};
  int64_t record_number = 0;  // the first record is 1; unselected records count too
  int64_t step_counter = 0;   // subblocks walked, modulo subblock_step
  double rate = 0.0;          // set by the records whose folded R selects a rate
  bool rate_known = false;    // false until such a record came
  DerivedValues derived;
  // The four-antenna mean: one accumulator per sample position, for every sample_count. Each
  // holds the sum of amplitude codes; the mean in dB is 0.375 times the sum of four, exactly.
  std::array<int32_t, kMaxSampleCount> code_sums{};
  // The fields as text, built as they are needed.
  PhaseTables phase_tables;
  AmplitudeTables amplitude_tables;
  SubblockLineCache subblock_lines;
};

}  // namespace vexo
