// The amplitude listing of one record. For each subblock: the "Ampl" line when the subblock is
// selected and show_subblock is 1, the progress line, then for each antenna that the selection
// admits one line of its sample_count amplitudes, " %5.1lf" in dB (1.5 dB per step of bits 7..2)
// or as the linear ratio 10^(dB/20), or " %5u" raw. With select_antenna 0 one line per subblock
// instead: at each sample position the mean in dB of antennas 1 to 4, written while antenna 4
// is read and ended after the last antenna. Every subblock is walked and counted for
// subblock_step, whether anything of it is written or not.
#pragma once

#include <cstdint>

#include "decode/record_layout.h"
#include "listing/console.h"
#include "listing/listing_output.h"
#include "listing/run_state.h"
#include "listing/settings.h"

namespace vexo {

// 1.5 dB for each step of the amplitude code (bits 7..2 of the sample).
double amplitude_db(int32_t sample);

// 10^(dB/20), the exponent 0.05 * dB formed in extended precision and rounded to a double.
double ratio_of_db(double db);

// Lists the record in `record` (at least one whole record); reads only its own amplitude
// samples, the first of which is the record marker.
void list_amplitude_record(const RecordView& record, RunState& state, const Settings& settings,
                           ListingOutput& listing, Console& console);

}  // namespace vexo
