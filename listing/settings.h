// The settings file: a label line before each of 13 values. A label line is skipped whole. A
// value is read as a token after any blanks, tabs and line ends; the rest of its line is skipped.
// The line after that is the next label. A number ends at a blank, tab, comma, semicolon or line
// end; the listing name at any white space.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vexo {

// Reading is bounded, whatever the file: no line may be longer than this (its LF not counted),
// in whole MiB...
constexpr std::size_t kMaxSettingsLineBytes = std::size_t{1} << 20;
// ...and no more than this is read in all, empty lines included, in whole MiB.
constexpr std::size_t kMaxSettingsFileBytes = std::size_t{16} << 20;

// The longest listing name a path can be on this system.
#if defined(_WIN32)
// 32767 UTF-16 units, each at most 3 bytes in a narrow name.
constexpr std::size_t kMaxOutputNameBytes = 3 * 32767;
#elif defined(PATH_MAX)
constexpr std::size_t kMaxOutputNameBytes = PATH_MAX - 1;  // PATH_MAX counts the closing NUL
#else
constexpr std::size_t kMaxOutputNameBytes = 4095;
#endif

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
