#include "listing/plan.h"

namespace vexo {

ListingPlan make_plan(const Settings& s) {
  ListingPlan plan;
  plan.output_name = s.output_name;
  plan.kind = s.listing_mode == 1 ? ListingKind::phase : ListingKind::amplitude;
  plan.header_lines = s.show_header == 1;
  plan.subblock_lines = s.show_subblock == 1;
  plan.correction = s.phase_correction == 1;
  plan.raw_samples = s.convert_samples == 0;
  plan.scale = s.amplitude_scale == 0   ? AmplitudeScale::db
               : s.amplitude_scale == 1 ? AmplitudeScale::ratio
                                        : AmplitudeScale::blank;
  if (s.select_antenna == -1) {
    plan.antennas = AntennaChoice::all;
  } else if (s.select_antenna >= 1) {
    plan.antennas = AntennaChoice::one;
    plan.antenna = s.select_antenna - 1;
  } else if (s.select_antenna == 0 && plan.kind == ListingKind::amplitude) {
    plan.antennas = AntennaChoice::mean;
  } else {
    plan.antennas = AntennaChoice::none;
  }
  plan.frequency = s.select_frequency;
  plan.height = s.select_height;
  plan.polarization = s.select_polarization;
  plan.subblock_step = s.subblock_step;
  plan.record_frequency = s.record_frequency;
  return plan;
}

std::vector<std::string> settings_warnings(const Settings& s) {
  std::vector<std::string> lines;
  // The step counter runs on through every record and never comes back to 0.
  if (s.subblock_step == 0 || s.subblock_step < -1) {
    lines.push_back("subblock_step: " + std::to_string(s.subblock_step) +
                    " opens only the first subblock of the file (-1 opens every one)");
  }
  // Only the amplitude listing has a scale.
  if (s.listing_mode == 2 && s.amplitude_scale != 0 && s.amplitude_scale != 1) {
    lines.push_back("amplitude_scale: " + std::to_string(s.amplitude_scale) +
                    " is neither 0 (dB) nor 1 (linear ratio): amplitude lines are left empty");
  }
  return lines;
}

}  // namespace vexo
