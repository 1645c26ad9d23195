#include "listing/phase_listing.h"

#include "listing/phase_values.h"
#include "listing/selection.h"
#include "listing/subblock_lines.h"
#include "listing/text_format.h"

namespace vexo {

void list_phase_record(const RecordView& record, RunState& state, const Settings& settings,
                       ListingOutput& listing, Console& console) {
  const HeaderFields& h = state.header;
  const PhaseParameters parameters = phase_parameters(settings, state);
  const int32_t sample_count = state.derived.sample_count;
  const int32_t subblocks = subblock_count(h.A, h.N);
  int32_t sample_index = 0;  // phase samples of the record read so far
  for (int32_t i = 0; i < subblocks; ++i) {
    const Descriptor& d = state.descriptors[i];
    const bool selected = subblock_selected(settings, d, state.step_counter, h);
    if (selected && settings.show_subblock == 1) {
      commit_text(listing, format_phase_line(reserve_text(listing, kSubblockLineMax), d, h));
    }
    show_progress(console, h);
    for (int32_t j = 0; j < h.A; ++j) {
      if (selected && antenna_match(settings, j)) {
        for (int32_t k = 0; k < sample_count; ++k) {
          const int32_t sample = record.bytes[phase_sample_offset(sample_index + k)];
          char* p = reserve_text(listing, kFixedMax + 1);
          *p++ = ' ';
          if (settings.convert_samples != 0) {
            const float degrees = phase_degrees(sample, j, k, parameters);
            p = put_fixed(p, static_cast<double>(degrees), 0, 3);
          } else {
            p = put_int_right(p, sample, 3);
          }
          commit_text(listing, p);
        }
        write_text(listing, "\n");
      }
      sample_index += sample_count;
    }
    advance_step(state.step_counter, settings.subblock_step);
  }
}

}  // namespace vexo
