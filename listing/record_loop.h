// The record loop: reads the DFT file record by record, writes the header lines of each
// selected record, and hands each record that passed the check to the listing of the plan.
// It ends where the reader stops (the end of the file, a record that cannot be read, a record
// that fails the check) or when the listing cannot be written. With run.threads > 1 worker
// threads list batches of records: all of them, or with run.workers_when_paying only where the
// records' work pays for the batches and for starting the workers (record_loop.cpp); the
// listing is the same either way.
#pragma once

#include <cstdint>

#include "listing/listing_work.h"
#include "listing/run_context.h"
#include "listing/run_stop.h"
#include "vexo/reader.h"

namespace vexo {

// Runs the loop to its end; writes the stop message to the console (none after a write error).
RunStop list_records(Reader& reader, RunContext& run);
// The same, with starting the workers taken to cost `start_work` (listing_work.h) instead of
// worker_start_work: tests take less, so that the choice changes within a few records.
RunStop list_records(Reader& reader, RunContext& run, int64_t start_work);

}  // namespace vexo
