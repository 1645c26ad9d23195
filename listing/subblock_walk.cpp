#include "listing/subblock_walk.h"

#include "listing/selection.h"

namespace vexo {

bool begin_subblock(const Record& record, int32_t i, const SubblockLineTime& time,
                    SubblockLineCache& lines, RunContext& run) {
  const Descriptor& d = record.descriptor(i);
  const bool selected = subblock_selected(run.plan, d, run.step_counter, record.header());
  if (selected && run.plan.subblock_lines) {
    char* p = reserve_text(run.listing, kSubblockLineMax);
    p = run.plan.kind == ListingKind::phase ? format_phase_line(p, i, d, time, lines)
                                            : format_ampl_line(p, i, d, time, lines);
    commit_text(run.listing, p);
  }
  show_progress(run.console, record.header());
  return selected;
}

}  // namespace vexo
