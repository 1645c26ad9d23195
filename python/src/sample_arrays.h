// The samples of a record as arrays: raw bytes, phases in degrees, amplitudes in dB, as linear
// ratios, and the four-antenna mean. Each value is the library's, so it is the value the listing
// writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vexo/record.h"
#include "vexo/values.h"

namespace vexo::python {

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

// Phases in degrees. Keeps the correction terms of the last parameter set and antennas, and
// the values without a correction as they are first needed, so that a run of records with the
// same program works each out once; no call works out more than its own values need.
class PhaseConverter {
 public:
  void convert(const Record& record, const Cut& cut, bool correct, float* out);

 private:
  bool same_terms(const PhaseParameters& p, const Cut& cut) const;
  float plain(int32_t sample, const PhaseParameters& p);

  bool have_terms_ = false;
  PhaseParameters terms_for_;
  std::vector<int32_t> term_antennas_;
  std::vector<long double> terms_;  // [antenna of the cut][sample index]
  // Values without a correction, by direction (0 forwards, 1 backwards) and sample; NaN until
  // first needed.
  std::vector<float> plain_;
};

}  // namespace vexo::python
