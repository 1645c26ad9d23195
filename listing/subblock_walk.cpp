#include "listing/subblock_walk.h"

#include "listing/selection.h"

namespace vexo {

bool begin_subblock(ListingKind kind, int32_t i, const SubblockLineTime& time, RunState& state,
                    const Settings& settings, ListingOutput& listing, Console& console) {
  const Descriptor& d = state.descriptors[static_cast<std::size_t>(i)];
  const bool selected = subblock_selected(settings, d, state.step_counter, state.header);
  if (selected && settings.show_subblock == 1) {
    char* p = reserve_text(listing, kSubblockLineMax);
    p = kind == ListingKind::phase ? format_phase_line(p, i, d, time, state.subblock_lines)
                                   : format_ampl_line(p, i, d, time, state.subblock_lines);
    commit_text(listing, p);
  }
  show_progress(console, state.header);
  return selected;
}

}  // namespace vexo
