// The record loop: reads the DFT file record by record, writes the header lines of each
// selected record, and hands each record that passed the check to the listing of the plan.
// It ends where the reader stops (the end of the file, a record that cannot be read, a record
// that fails the check) or when the listing cannot be written.
#pragma once

#include "listing/run_context.h"
#include "listing/run_stop.h"
#include "vexo/reader.h"

namespace vexo {

// Runs the loop to its end; writes the stop message to the console (none after a write error).
RunStop list_records(Reader& reader, RunContext& run);

}  // namespace vexo
