// What the listings select. All predicates are free of side effects; the value -1 of a
// selection setting admits every value. Frequencies and heights are compared exactly, the
// integer setting against the 32-bit real of the descriptor.
#pragma once

#include <cstdint>

#include "decode/descriptors.h"
#include "decode/header.h"
#include "listing/settings.h"

namespace vexo {

bool frequency_match(const Settings& s, const Descriptor& d);
bool height_match(const Settings& s, const Descriptor& d);
bool polarization_match(const Settings& s, const Descriptor& d);
// j is the antenna index counted from 0; the settings name antenna j+1.
bool antenna_match(const Settings& s, int32_t j);
bool step_open(const Settings& s, int64_t step_counter);
bool record_selected(const Settings& s, const HeaderFields& h);

// The subblock filter: the three descriptor matches, step_open and record_selected together.
bool subblock_selected(const Settings& s, const Descriptor& d, int64_t step_counter,
                       const HeaderFields& h);

// After each subblock walked: +1, back to 0 when it then equals subblock_step. With a step of 0
// or below -1 it never returns to 0; the counter is 64 bits wide so that it cannot overflow.
void advance_step(int64_t& step_counter, int32_t subblock_step);

}  // namespace vexo
