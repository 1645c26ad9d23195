// The settings file: a label line before each of 13 values. A label line is skipped whole,
// whatever its length. A value is read as a token after any blanks, tabs and line ends; the rest
// of its line is skipped. The line after that is the next label.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vexo {

struct Settings {
  std::string output_name;          // name of the listing file
  int32_t listing_mode = 0;         // 1: phase listing, 2: amplitude listing
  int32_t show_header = 0;          // exactly 1: header lines for each selected record
  int32_t show_subblock = 0;        // exactly 1: a line for each subblock that passes the filters
  int32_t phase_correction = 0;     // exactly 1: antenna phase correction
  int32_t select_frequency = 0;     // kHz, -1: any
  int32_t select_height = 0;        // km, -1: any
  int32_t select_polarization = 0;  // -1: any
  int32_t select_antenna = 0;       // 1-based, -1: any, 0: sum of antennas (amplitude listing)
  int32_t amplitude_scale = 0;      // 0: dB, 1: linear
  int32_t subblock_step = 0;        // -1: every subblock, n: every n-th
  double record_frequency = 0.0;    // 0: every record, else only records whose FREQ equals it
  int32_t convert_samples = 0;      // 0: raw sample values, else converted values
};

// Reads the settings from an open file. Returns an empty string on success, otherwise one line
// that names the line number and the setting: "line 4: listing_mode: ...".
std::string read_settings(std::FILE* file, Settings& settings);

}  // namespace vexo
