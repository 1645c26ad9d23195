#include "listing/selection.h"

namespace vexo {

bool frequency_match(const Settings& s, const Descriptor& d) {
  return s.select_frequency == -1 ||
         static_cast<double>(s.select_frequency) == static_cast<double>(d.frequency);
}

bool height_match(const Settings& s, const Descriptor& d) {
  return s.select_height == -1 ||
         static_cast<double>(s.select_height) == static_cast<double>(d.height);
}

bool polarization_match(const Settings& s, const Descriptor& d) {
  return s.select_polarization == -1 || d.polarization == s.select_polarization;
}

bool antenna_match(const Settings& s, int32_t j) {
  return s.select_antenna == -1 || static_cast<int64_t>(s.select_antenna) - 1 == j;
}

bool step_open(const Settings& s, int64_t step_counter) {
  return step_counter == 0 || s.subblock_step == -1;
}

bool record_selected(const Settings& s, const HeaderFields& h) {
  return s.record_frequency == 0.0 || s.record_frequency == static_cast<double>(h.FREQ);
}

bool subblock_selected(const Settings& s, const Descriptor& d, int64_t step_counter,
                       const HeaderFields& h) {
  return frequency_match(s, d) && height_match(s, d) && polarization_match(s, d) &&
         step_open(s, step_counter) && record_selected(s, h);
}

void advance_step(int64_t& step_counter, int32_t subblock_step) {
  ++step_counter;
  if (step_counter == subblock_step) step_counter = 0;
}

}  // namespace vexo
