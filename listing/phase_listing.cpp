#include "listing/phase_listing.h"

#include <cstring>

#include "listing/phase_tables.h"
#include "listing/phase_values.h"
#include "listing/selection.h"
#include "listing/subblock_walk.h"
#include "listing/text_format.h"

namespace vexo {
namespace {

// Room for one field, whether taken from a row or formatted on the spot.
constexpr std::size_t kFieldRoom = kFixedMax + sizeof(PhaseField);

// A field whose text did not fit into its row.
char* put_long_field(char* p, int32_t sample, int64_t m, const PhaseParameters& parameters) {
  *p++ = ' ';
  return put_fixed(p, static_cast<double>(phase_degrees_at(sample, m, parameters)), 0, 3);
}

// The fields of one antenna line: sample k of the line is byte phase_sample_offset(first + k).
// With the correction `plan` holds the line's rows. Locals keep what the loops read in registers
// (writes through p may alias anything else).
char* put_antenna_line(ListingOutput& listing, char* p, const unsigned char* record, int32_t first,
                       int32_t j, RunState& state, const Settings& settings,
                       const PhaseParameters& parameters, int set, const PhaseLinePlan* plan_of) {
  PhaseTables& tables = state.phase_tables;
  const int32_t sample_count = state.derived.sample_count;
  if (settings.convert_samples == 0 || !parameters.corrected) {
    const PhaseRow& row =
        settings.convert_samples == 0 ? raw_phase_row(tables) : phase_row(tables, set, 0);
    const PhaseField* const fields = row.fields.data();
    // Sample runs are 128 bytes long and a line starts at a multiple of its length, so a line
    // of up to 128 samples lies in one run, and a longer one is made of whole runs.
    const int32_t run = sample_count < 128 ? sample_count : 128;
    char* const run_limit = room_limit(listing, 128 * sizeof(PhaseField));
    char* const limit = room_limit(listing, kFieldRoom);
    for (int32_t k = 0; k < sample_count; k += run) {
      const unsigned char* bytes = record + phase_sample_offset(first + k);
      if (row.four_wide) {
        // Fields of four characters: the common case, at a fixed stride.
        if (p > run_limit) p = flush_at(listing, p);
        for (int32_t r = 0; r < run; ++r, p += 4) std::memcpy(p, fields[bytes[r]].text, 4);
        continue;
      }
      // Only rows of degrees get here: every raw field (" %3u" of a byte) has four characters.
      for (int32_t r = 0; r < run; ++r) {
        if (p > limit) p = flush_at(listing, p);
        const PhaseField& field = fields[bytes[r]];
        p = field.size != 0 ? put_field(p, field) : put_long_field(p, bytes[r], 0, parameters);
      }
    }
    return p;
  }
  const PhaseLinePlan& plan = *plan_of;
  const PhaseField* const* const rows = plan.fields.data();
  const int32_t run = sample_count < 128 ? sample_count : 128;
  char* const run_limit = room_limit(listing, 128 * sizeof(PhaseField));
  char* const limit = room_limit(listing, kFieldRoom);
  for (int32_t k = 0; k < sample_count; k += run) {
    const unsigned char* bytes = record + phase_sample_offset(first + k);
    const PhaseField* const* run_rows = rows + k;
    if (plan.four_wide) {
      if (p > run_limit) p = flush_at(listing, p);
      for (int32_t r = 0; r < run; ++r, p += 4) std::memcpy(p, run_rows[r][bytes[r]].text, 4);
      continue;
    }
    for (int32_t r = 0; r < run; ++r) {
      if (p > limit) p = flush_at(listing, p);
      const PhaseField& field = run_rows[r][bytes[r]];
      p = field.size != 0
              ? put_field(p, field)
              : put_long_field(p, bytes[r],
                               int64_t{j} * static_cast<int64_t>(line_offset(k + r, sample_count)),
                               parameters);
    }
  }
  return p;
}

}  // namespace

void list_phase_record(const RecordView& record, RunState& state, const Settings& settings,
                       ListingOutput& listing, Console& console) {
  const HeaderFields& h = state.header;
  const PhaseParameters parameters = phase_parameters(settings, state);
  const int set = select_phase_set(state.phase_tables, parameters);
  const int32_t sample_count = state.derived.sample_count;
  const int32_t subblocks = subblock_count(h.A, h.N);
  SubblockLineTime time;
  format_subblock_line_time(time, h);
  // The line plans of the record's antennas, taken when a line first needs one. Taking a plan
  // may empty the pool of rows and so spoil a plan taken before it, which is then taken again:
  // one line needs at most 513 rows, far fewer than the pool holds.
  const PhaseLinePlan* plans[kMaxAntennas] = {};
  const bool planned = parameters.corrected && settings.convert_samples != 0;
  int32_t sample_index = 0;  // phase samples of the record read so far
  for (int32_t i = 0; i < subblocks; ++i) {
    const bool selected =
        begin_subblock(ListingKind::phase, i, time, state, settings, listing, console);
    for (int32_t j = 0; j < h.A; ++j, sample_index += sample_count) {
      if (!selected || !antenna_match(settings, j)) continue;
      char* p = reserve_text(listing, 1);
      const PhaseLinePlan*& plan = plans[j < kMaxAntennas ? j : 0];
      if (planned && !plan_is_current(state.phase_tables, plan, set, sample_count, j)) {
        plan = &phase_line_plan(state.phase_tables, set, sample_count, j);
      }
      p = put_antenna_line(listing, p, record.bytes, sample_index, j, state, settings, parameters,
                           set, plan);
      if (p > room_limit(listing, 1)) p = flush_at(listing, p);
      *p++ = '\n';
      commit_text(listing, p);
    }
    advance_step(state.step_counter, settings.subblock_step);
  }
}

}  // namespace vexo
