// The opening of each subblock, the same in both listings: the subblock filter, the subblock
// line when it is wanted, and the progress line (for every subblock, written or not).
#pragma once

#include <cstdint>

#include "listing/console.h"
#include "listing/listing_output.h"
#include "listing/run_state.h"
#include "listing/settings.h"
#include "listing/subblock_lines.h"

namespace vexo {

enum class ListingKind { phase, amplitude };

// Opens subblock i of the record in `state`; returns whether the subblock filter holds.
bool begin_subblock(ListingKind kind, int32_t i, const SubblockLineTime& time, RunState& state,
                    const Settings& settings, ListingOutput& listing, Console& console);

}  // namespace vexo
