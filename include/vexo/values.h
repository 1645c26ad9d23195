// The sample values as numbers: exactly the values that the listing writes, with the same
// rounding steps and in the same width (a phase is a 32-bit real, an amplitude a 64-bit real),
// so that a program using these and a reader of the listing always agree.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vexo/record.h"

namespace vexo {

// What a phase value depends on besides the sample byte, the antenna and the sample index.
struct PhaseParameters {
  // The antenna correction is applied: it was asked for, a record of the file has set a rate,
  // and the record has a line spacing. Otherwise its term is 0.
  bool corrected = false;
  int32_t sample_count = 1;
  double line_spacing = 0.0;
  double rate = 0.0;
  int32_t phase_offset = 0;  // 0 forwards, 255 backwards
  int32_t phase_sign = 1;    // +1 forwards, -1 backwards
};

// The parameters of a record (one that passed the check), with or without the correction.
PhaseParameters phase_parameters(const Record& record, bool correction);
PhaseParameters phase_parameters(const DerivedValues& derived, bool correction);

// Phase in degrees of `sample` (0..255) of antenna index `antenna` (from 0) at sample index k
// of its line. Each step is evaluated in extended precision and stored as a 32-bit real:
// sample 176 forwards gives 247.49998, which the listing writes as 247.
float phase_degrees(int32_t sample, int32_t antenna, int32_t k, const PhaseParameters& p);

// The same value in two steps, for many samples at once. The correction depends on antenna j
// and sample index k only through the whole number m = j * line_offset(k, sample_count);
// phase_term(m, p) is its term (0 without the correction), and phase_degrees_by_term gives the
// value of a sample from it.
int32_t line_offset(int32_t k, int32_t sample_count);  // k - n/2, plus 1 from k = 64 on
long double phase_term(int64_t m, const PhaseParameters& p);
float phase_degrees_by_term(int32_t sample, long double term, const PhaseParameters& p);
// The values of `count` samples at once: out[i] is phase_degrees_by_term(samples[i], terms[i],
// p). `terms` may be null without the correction.
void phase_degrees_run(const unsigned char* samples, const long double* terms, std::size_t count,
                       const PhaseParameters& p, float* out);

// Amplitude of `sample` in dB: bits 7..2 count steps of 1.5 dB (0.0 to 94.5).
double amplitude_db(int32_t sample);
// The linear ratio 10^(dB/20) of the sample (1.0 to 53088.4 when written with one decimal).
double amplitude_ratio(int32_t sample);
// 10^(db/20), the exponent 0.05 * db formed in extended precision and rounded to a double.
double ratio_of_db(double db);

// The four-antenna mean in dB at one sample position: the mean of the dB values of antennas 1
// to 4. `code_sum` is the sum of their four amplitude codes (sample >> 2, 0..252); the mean is
// 0.375 times it, exactly.
double mean_db(int32_t code_sum);
double mean_ratio(int32_t code_sum);  // ratio_of_db(mean_db(code_sum))
// The same from the four sample bytes.
double mean_db(int32_t s1, int32_t s2, int32_t s3, int32_t s4);

}  // namespace vexo
