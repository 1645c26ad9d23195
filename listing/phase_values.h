// The phase value of one sample in degrees. Every step is evaluated in extended precision from
// the values stored so far and its result stored as a 32-bit real, which is what makes the
// listed values what they are (sample 176 gives 247.49998, not 247.5).
#pragma once

#include <cstdint>

#include "listing/settings.h"

namespace vexo {

struct RunState;

// What the phase value of a sample depends on besides the sample, the antenna and the sample
// index; the same for all samples of a record.
struct PhaseParameters {
  // The antenna correction is applied: phase_correction is 1, a record of the run has set a
  // rate and the record's line_spacing is finite. Otherwise its term is 0.
  bool corrected = false;
  int32_t sample_count = 1;
  double line_spacing = 0.0;
  double rate = 0.0;
  int32_t phase_offset = 0;  // 0 forwards, 255 backwards
  int32_t phase_sign = 1;    // +1 forwards, -1 backwards
};

PhaseParameters phase_parameters(const Settings& settings, const RunState& state);

// The correction's sample offset from the middle of the line: k - sample_count/2, plus 1 from
// k = 64 on (the constant 64, whatever sample_count is).
float line_offset(int32_t k, int32_t sample_count);

// The steps after the correction: v on the 0..256 scale (as corrected) to degrees. Turns the
// scale by the direction, to radians, takes 2 pi off once when above it, to degrees, and adds
// 360 once when not at least 0.
float degrees_from_scale(float v, int32_t phase_offset, int32_t phase_sign);

// The phase value of `sample` (0..255) of antenna index j at sample index k.
float phase_degrees(int32_t sample, int32_t j, int32_t k, const PhaseParameters& p);

// The same value by the product m = j * line_offset(k): the correction's first factor,
// -256 * phase_sign * j, times the whole-numbered line offset is an exact integer, so the value
// depends on j and k only through m.
float phase_degrees_at(int32_t sample, int64_t m, const PhaseParameters& p);

}  // namespace vexo
