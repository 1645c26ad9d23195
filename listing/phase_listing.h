// The phase listing of one record. For each subblock: the "Phase" line when the subblock is
// selected and show_subblock is 1, the progress line, then for each antenna that the selection
// admits one line of its sample_count phase values, " %3.0f" in degrees or " %3u" raw.
// select_antenna 0 admits no antenna here. Every subblock is walked and counted for
// subblock_step, whether anything of it is written or not.
#pragma once

#include "decode/record_layout.h"
#include "listing/console.h"
#include "listing/listing_output.h"
#include "listing/run_state.h"
#include "listing/settings.h"

namespace vexo {

// Lists the record in `record` (at least one whole record); reads only its own phase samples.
void list_phase_record(const RecordView& record, RunState& state, const Settings& settings,
                       ListingOutput& listing, Console& console);

}  // namespace vexo
