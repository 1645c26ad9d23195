#include "listing/selection.h"

#include "vexo/selection.h"

namespace vexo {

bool frequency_match(const ListingPlan& plan, const Descriptor& d) {
  return plan.frequency == -1 || descriptor_real_matches(plan.frequency, d.frequency);
}

bool height_match(const ListingPlan& plan, const Descriptor& d) {
  return plan.height == -1 || descriptor_real_matches(plan.height, d.height);
}

bool polarization_match(const ListingPlan& plan, const Descriptor& d) {
  return plan.polarization == -1 || d.polarization == plan.polarization;
}

bool step_open(const ListingPlan& plan, int64_t step_counter) {
  return step_counter == 0 || plan.subblock_step == -1;
}

bool record_selected(const ListingPlan& plan, const HeaderFields& h) {
  return plan.record_frequency == 0.0 || plan.record_frequency == static_cast<double>(h.FREQ);
}

bool subblock_selected(const ListingPlan& plan, const Descriptor& d, int64_t step_counter,
                       const HeaderFields& h) {
  return frequency_match(plan, d) && height_match(plan, d) && polarization_match(plan, d) &&
         step_open(plan, step_counter) && record_selected(plan, h);
}

void advance_step(int64_t& step_counter, int32_t subblock_step) {
  ++step_counter;
  if (step_counter == subblock_step) step_counter = 0;
}

}  // namespace vexo
