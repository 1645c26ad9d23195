// The record loop: reads the DFT file record by record, writes the header lines of each
// selected record, checks the record, works out its derived values and walks its subblocks.
// It ends at the end of the file, at a record that cannot be read, at a record that fails the
// check, or when the listing cannot be written.
#pragma once

#include <cstdint>

#include "decode/dft_input.h"
#include "decode/record_reader.h"
#include "listing/console.h"
#include "listing/listing_output.h"
#include "listing/run_state.h"
#include "listing/settings.h"

namespace vexo {

enum class LoopEnd {
  end_of_file,     // clean end: no byte left at a record start
  bad_marker,      // a record start whose first byte is not the marker
  truncated,       // a record start with fewer than 4096 bytes left
  read_error,      // the DFT file could not be read
  error_detected,  // a record failed the check
  write_error,     // the listing could not be written
};

struct LoopResult {
  LoopEnd end = LoopEnd::end_of_file;
  int64_t record_number = 0;  // the record at which the loop ended
  uint64_t offset = 0;        // its byte offset in the DFT file
  RecordRead read;            // what the record reader found there
};

// The check: 16*u + l must not be 0, and a record without antennas (A = 0) has no subblocks.
bool record_passes_check(const HeaderFields& h);

// R folded in place: 4..7 become 0..3, then above 7 minus 8.
void fold_R(int32_t& R);

// Folds the header's R and works out the derived values and, where R selects one, the rate.
void derive_record_values(RunState& state);

// Runs the loop to its end; writes the stop message to the console (none after a write error).
LoopResult list_records(DftInput& input, ListingOutput& listing, const Settings& settings,
                        RunState& state, Console& console);

}  // namespace vexo
