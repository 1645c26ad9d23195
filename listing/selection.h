// What the listings select, as the plan says. All predicates are free of side effects.
#pragma once

#include <cstdint>

#include "listing/plan.h"
#include "vexo/record.h"

namespace vexo {

bool frequency_match(const ListingPlan& plan, const Descriptor& d);
bool height_match(const ListingPlan& plan, const Descriptor& d);
bool polarization_match(const ListingPlan& plan, const Descriptor& d);
// j is the antenna index counted from 0.
inline bool antenna_match(const ListingPlan& plan, int32_t j) {
  return plan.antennas == AntennaChoice::all ||
         (plan.antennas == AntennaChoice::one && plan.antenna == j);
}
bool step_open(const ListingPlan& plan, int64_t step_counter);
bool record_selected(const ListingPlan& plan, const HeaderFields& h);

// The subblock filter: the three descriptor matches, step_open and record_selected together.
bool subblock_selected(const ListingPlan& plan, const Descriptor& d, int64_t step_counter,
                       const HeaderFields& h);

// After each subblock walked: +1, back to 0 when it then equals subblock_step. With a step of 0
// or below -1 it never returns to 0; the counter is 64 bits wide so that it cannot overflow.
void advance_step(int64_t& step_counter, int32_t subblock_step);

}  // namespace vexo
