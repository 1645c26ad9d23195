// The listing plan: the settings file's values read once into what they mean, so that no
// listing code compares raw setting numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "listing/settings.h"

namespace vexo {

enum class ListingKind { phase, amplitude };

// Which antenna lines a selected subblock gets.
enum class AntennaChoice {
  all,   // select_antenna -1
  one,   // select_antenna n >= 1: antenna index n-1 (no line when the record has fewer)
  mean,  // select_antenna 0 in the amplitude listing: one line, the four-antenna mean
  none,  // select_antenna 0 in the phase listing, or below -1: no antenna line
};

// How the amplitude listing writes a value.
enum class AmplitudeScale {
  db,     // amplitude_scale 0
  ratio,  // amplitude_scale 1
  blank,  // any other value: the lines are written, but empty
};

struct ListingPlan {
  std::string output_name;
  ListingKind kind = ListingKind::phase;
  bool header_lines = false;    // show_header is 1
  bool subblock_lines = false;  // show_subblock is 1
  bool correction = false;      // phase_correction is 1
  bool raw_samples = false;     // convert_samples is 0 (the four-antenna mean ignores it)
  AmplitudeScale scale = AmplitudeScale::db;
  AntennaChoice antennas = AntennaChoice::all;
  int32_t antenna = 0;  // AntennaChoice::one: the antenna index, from 0

  // The subblock filter. -1 admits every value; frequency and height are compared exactly
  // with the descriptor's 32-bit reals.
  int32_t frequency = -1;
  int32_t height = -1;
  int32_t polarization = -1;
  // -1 walks every subblock open; n opens every n-th (0 and below -1 open only the first).
  int32_t subblock_step = -1;
  double record_frequency = 0.0;  // 0 selects every record, else records of that FREQ
};

ListingPlan make_plan(const Settings& settings);

// Settings that are read and kept as they are, but that likely do not do what was meant: one
// line for each, "NAME: what it does", without a line end.
std::vector<std::string> settings_warnings(const Settings& settings);

}  // namespace vexo
