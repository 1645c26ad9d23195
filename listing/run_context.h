// What lives for the whole run and every listing uses: the plan, the listing, the console, the
// subblock step counter, and how many threads may list records (and what decides it).
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
  // threads > 1 is the default, not asked for: workers list only where the records' work pays
  // for them (record_loop.cpp), else the record loop's own thread does.
  bool workers_when_paying = false;
  int64_t file_records = -1;  // the records the DFT file's size allows for; -1: not known
};

}  // namespace vexo
