// The opening of each subblock, the same in both listings: the subblock filter, the subblock
// line when it is wanted, and the progress line (for every subblock, written or not).
#pragma once

#include <cstdint>

#include "listing/run_context.h"
#include "listing/subblock_lines.h"
#include "vexo/record.h"

namespace vexo {

// Opens subblock i of the record; returns whether the subblock filter holds.
bool begin_subblock(const Record& record, int32_t i, const SubblockLineTime& time,
                    SubblockLineCache& lines, RunContext& run);

}  // namespace vexo
