// The amplitude listing. For each subblock of a record: the "Ampl" line when the subblock is
// selected and subblock lines are asked for, the progress line, then for each antenna that the
// plan admits one line of its sample_count amplitudes, " %5.1lf" in dB (1.5 dB per step of bits
// 7..2) or as the linear ratio 10^(dB/20), or " %5u" raw. With the four-antenna mean one line
// per subblock instead: at each sample position the mean in dB of antennas 1 to 4, written
// while antenna 4 is read and ended after the last antenna. Every subblock is walked and
// counted for subblock_step, whether anything of it is written or not.
#pragma once

#include <array>
#include <cstdint>

#include "listing/amplitude_tables.h"
#include "listing/run_context.h"
#include "listing/subblock_lines.h"
#include "vexo/record.h"

namespace vexo {

class AmplitudeListing {
 public:
  explicit AmplitudeListing(RunContext& run);
  // Lists one record that passed the check; reads only its own amplitude samples, the first of
  // which is the record marker. Returns the work of what it wrote (listing_work.h).
  int64_t list_record(const Record& record);

 private:
  char* add_to_sums(char* p, const SampleLine& line, int32_t j);

  RunContext& run_;
  AmplitudeTables tables_;
  // The four-antenna mean: one accumulator per sample position, for every sample_count. Each
  // holds the sum of amplitude codes; the mean in dB is 0.375 times the sum of four, exactly.
  std::array<int32_t, kMaxSampleCount> code_sums_{};
  SubblockLineCache lines_;
};

}  // namespace vexo
