// The record loop: reads the DFT file record by record, writes the header lines of each
// selected record, checks the record, works out its derived values and walks its subblocks.
// It ends at the end of the file, at a record that cannot be read, at a record that fails the
// check, or when the listing cannot be written.
#pragma once

#include <cstdint>

#include "decode/descriptors.h"
#include "decode/dft_input.h"
#include "decode/header.h"
#include "decode/record_reader.h"
#include "listing/console.h"
#include "listing/listing_output.h"
#include "listing/settings.h"

namespace vexo {

// Worked out again for every record that passes the check.
struct DerivedValues {
  int32_t sample_count = 0;   // 2^N samples per antenna and subblock
  double line_spacing = 0.0;  // 1 / (0.01 * (16*D2 + D1)) / sample_count
  int32_t rate_divider = 1;   // 2 when X is 1
  int32_t phase_offset = 0;   // 255 when FF is 0xFE
  int32_t phase_sign = 1;     // -1 when FF is 0xFE
};

// Everything that lives for the whole run. Nothing of it is reset between records.
struct RunState {
  HeaderFields header;
  DescriptorTable descriptors{};
  int64_t record_number = 0;  // the first record is 1; unselected records count too
  int64_t step_counter = 0;   // subblocks walked, modulo subblock_step
  double rate = 0.0;          // set by the records whose folded R selects a rate
  bool rate_known = false;    // false until such a record came
  DerivedValues derived;
};

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
