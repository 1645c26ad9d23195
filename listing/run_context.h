// What lives for the whole run and every listing uses: the plan, the listing, the console and
// the subblock step counter.
#pragma once

#include <cstdint>

#include "listing/console.h"
#include "listing/listing_output.h"
#include "listing/plan.h"

namespace vexo {

struct RunContext {
  const ListingPlan& plan;
  ListingOutput& listing;
  Console& console;
  int64_t step_counter = 0;  // subblocks walked, modulo subblock_step; never reset
};

}  // namespace vexo
