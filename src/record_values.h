// The record check and the values worked out from a record's header.
#pragma once

#include <cstdint>

#include "vexo/record.h"

namespace vexo {

// The check: 16*u + l must not be 0, and a record without antennas (A = 0) has no subblocks.
bool record_passes_check(const HeaderFields& h);

// R folded in place: 4..7 become 0..3, then above 7 minus 8.
void fold_R(int32_t& R);

// Folds the header's R (which the next record's header keeps when it cannot read its own) and
// works out the derived values; rate and rate_known carry over from the record before unless
// the folded R selects a rate.
void derive_values(HeaderFields& h, DerivedValues& d);

}  // namespace vexo
