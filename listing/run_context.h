// What lives for the whole run and every listing uses: the plan, the listing, the console, the
// subblock step counter, and how many threads may list records.
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
  int threads = 1;           // the threads that list records (1: the record loop's own)
};

}  // namespace vexo
