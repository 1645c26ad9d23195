// The line that opens a subblock in a listing:
//   "Phase  F= %5.0f kHz H= %6.1f km G= %d dB Pol= %d %2d:%2d:%2d %d\n"
//   "Ampl %d  F= %5.0f kHz H= %6.1f km G= %d dB Pol= %d %2d:%2d:%2d %d\n"
// with the descriptor's frequency, height, gain and polarization and the record's hour, minute,
// second and day; the Ampl line also numbers the subblock within its record, from 0.
#pragma once

#include <array>
#include <cstdint>

#include "vexo/record.h"

namespace vexo {

// The longest subblock line, with room to spare: the word and number before the descriptor
// text, and both whole text arrays below.
constexpr int kSubblockLineMax = 160;

// The end of the line from the time on, the same for all subblocks of a record.
struct SubblockLineTime {
  char text[64]{};
  int size = 0;
};

void format_subblock_line_time(SubblockLineTime& time, const HeaderFields& h);

// The middle of the line, " F= ... Pol= n", kept for each subblock index while its descriptor
// stays the same from record to record.
struct SubblockLineCache {
  struct Entry {
    Descriptor descriptor;
    bool valid = false;
    uint8_t size = 0;
    char text[64]{};
  };
  std::array<Entry, kMaxSubblocks> entries;
};

char* format_phase_line(char* p, int32_t subblock, const Descriptor& d,
                        const SubblockLineTime& time, SubblockLineCache& cache);
char* format_ampl_line(char* p, int32_t subblock, const Descriptor& d, const SubblockLineTime& time,
                       SubblockLineCache& cache);

}  // namespace vexo
