// The line that opens a subblock in a listing:
//   "Phase  F= %5.0f kHz H= %6.1f km G= %d dB Pol= %d %2d:%2d:%2d %d\n"
//   "Ampl %d  F= %5.0f kHz H= %6.1f km G= %d dB Pol= %d %2d:%2d:%2d %d\n"
// with the descriptor's frequency, height, gain and polarization and the record's hour, minute,
// second and day; the Ampl line also numbers the subblock within its record, from 0.
#pragma once

#include <cstdint>

#include "decode/descriptors.h"
#include "decode/header.h"

namespace vexo {

// The longest subblock line, with room to spare.
constexpr int kSubblockLineMax = 160;

char* format_phase_line(char* p, const Descriptor& d, const HeaderFields& h);
char* format_ampl_line(char* p, int32_t subblock, const Descriptor& d, const HeaderFields& h);

}  // namespace vexo
