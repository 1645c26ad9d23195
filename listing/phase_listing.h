// The phase listing. For each subblock of a record: the "Phase" line when the subblock is
// selected and subblock lines are asked for, the progress line, then for each antenna that the
// plan admits one line of its sample_count phase values, " %3.0f" in degrees or " %3u" raw.
// Every subblock is walked and counted for subblock_step, whether anything of it is written or
// not.
#pragma once

#include <cstdint>

#include "listing/phase_fields.h"
#include "listing/run_context.h"
#include "listing/subblock_lines.h"
#include "vexo/record.h"

namespace vexo {

class PhaseListing {
 public:
  explicit PhaseListing(RunContext& run) : run_(run) {}
  // Lists one record that passed the check; reads only its own phase samples. Returns the work
  // of what it wrote (listing_work.h).
  int64_t list_record(const Record& record);

 private:
  RunContext& run_;
  PhaseFields fields_;
  SubblockLineCache lines_;
};

}  // namespace vexo
