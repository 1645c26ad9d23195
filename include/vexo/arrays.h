// The samples of a record as arrays that the caller gives: raw bytes, phases in degrees,
// amplitudes in dB, as linear ratios, and the four-antenna mean. Each value is that of
// vexo/values.h, so it is the value the listing writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vexo/record.h"
#include "vexo/values.h"

namespace vexo {

// The subblocks and antennas (indexes from 0) that go into an array, in its order: the array is
// [subblock][antenna][sample], sample_count values in each line.
struct Cut {
  const int32_t* subblocks = nullptr;
  std::size_t subblock_count = 0;
  const int32_t* antennas = nullptr;
  std::size_t antenna_count = 0;
};

// Every subblock and antenna of the record.
struct WholeRecord {
  std::vector<int32_t> subblocks, antennas;
  explicit WholeRecord(const Record& record);
  Cut cut() const { return {subblocks.data(), subblocks.size(), antennas.data(), antennas.size()}; }
};

void gather(const Record& record, SampleKind kind, const Cut& cut, uint8_t* out);
void amplitude_db(const Record& record, const Cut& cut, float* out);
void amplitude_ratio(const Record& record, const Cut& cut, double* out);
// The mean of antennas 1 to 4 in dB, [subblock][sample]; the record has at least 4 antennas.
void amplitude_mean_db(const Record& record, const int32_t* subblocks, std::size_t count,
                       float* out);
void amplitude_mean_ratio(const Record& record, const int32_t* subblocks, std::size_t count,
                          double* out);

// Phases in degrees, for one reader at a time (it keeps values from record to record; readers in
// other threads have their own). A corrected value depends on the sample byte and on its row: the
// antenna and the sample index, through the row's correction term. The first record of a program
// (its phase parameters and antennas) is worked out directly, from its terms; from the second
// record of the same program on, each value is kept once worked out, per row and sample byte,
// so that a long run of records of one program works each value out once. Up to four programs
// are kept; values without a correction come from a table of 256 per direction.
class PhaseValues {
 public:
  void convert(const Record& record, const Cut& cut, bool correct, float* out);

 private:
  struct Program {
    PhaseParameters p;
    std::vector<int32_t> antennas;
    std::vector<long double> terms;  // [row]: row = antenna of the cut * sample_count + k
    // Kept values [row * 256 + sample] and which are made [row * 4 + sample / 64]: empty until
    // the program's second record.
    std::unique_ptr<float[]> values;
    std::vector<uint64_t> made;
    uint64_t last_used = 0;
  };
  Program& program(const PhaseParameters& p, const Cut& cut, bool& seen_before);
  void convert_kept(Program& program, const unsigned char* samples, std::size_t row,
                    std::size_t count, float* out);
  const float* plain_values(const PhaseParameters& p);

  std::vector<Program> programs_;
  uint64_t clock_ = 0;
  // The values without a correction, by sample, made when first needed.
  std::vector<float> forwards_, backwards_;
};

}  // namespace vexo
