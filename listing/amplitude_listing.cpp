#include "listing/amplitude_listing.h"

#include <algorithm>
#include <cmath>

#include "listing/amplitude_tables.h"
#include "listing/selection.h"
#include "listing/subblock_walk.h"
#include "listing/text_format.h"

namespace vexo {
namespace {

// Sample runs are 128 bytes long and a line starts at a multiple of its length, so a line of up
// to 128 samples lies in one run, and a longer one is made of whole runs.
int32_t run_length(int32_t sample_count) {
  return sample_count < 128 ? sample_count : 128;
}

// One antenna's fields from `fields`, indexed by the sample byte.
char* put_antenna_fields(ListingOutput& listing, char* p, const unsigned char* record,
                         int32_t first, int32_t sample_count,
                         const std::array<AmplitudeField, 256>& fields) {
  const int32_t run = run_length(sample_count);
  const AmplitudeField* const table = fields.data();
  char* const limit = room_limit(listing, sizeof(AmplitudeField));
  for (int32_t k = 0; k < sample_count; k += run) {
    const unsigned char* bytes = record + amplitude_sample_offset(first + k);
    for (int32_t r = 0; r < run; ++r) {
      if (p > limit) p = flush_at(listing, p);
      p = put_field(p, table[bytes[r]]);
    }
  }
  return p;
}

// The sum mode: each antenna's codes into the sums of their sample positions; the fourth antenna
// (index 3) writes the sums, which then hold four codes each.
char* add_to_sums(ListingOutput& listing, char* p, RunState& state, const unsigned char* record,
                  int32_t first, int32_t j, const Settings& settings) {
  const int32_t sample_count = state.derived.sample_count;
  const int32_t run = run_length(sample_count);
  int32_t* sums = state.code_sums.data();
  for (int32_t k = 0; k < sample_count; k += run) {
    const unsigned char* bytes = record + amplitude_sample_offset(first + k);
    for (int32_t r = 0; r < run; ++r) sums[k + r] += bytes[r] >> 2;
  }
  if (j != 3 || (settings.amplitude_scale != 0 && settings.amplitude_scale != 1)) return p;
  const AmplitudeField* const table = settings.amplitude_scale == 0
                                          ? state.amplitude_tables.sum_db.data()
                                          : state.amplitude_tables.sum_ratio.data();
  char* const limit = room_limit(listing, sizeof(AmplitudeField));
  for (int32_t k = 0; k < sample_count; ++k) {
    if (p > limit) p = flush_at(listing, p);
    p = put_field(p, table[sums[k]]);
  }
  return p;
}

}  // namespace

double amplitude_db(int32_t sample) {
  return (sample >> 2) * 1.5;
}

double ratio_of_db(double db) {
  // 0.05 held in extended precision; the exponent is rounded to a double before the power.
  const double exponent = static_cast<double>(0.05L * static_cast<long double>(db));
  return std::pow(10.0, exponent);
}

void list_amplitude_record(const RecordView& record, RunState& state, const Settings& settings,
                           ListingOutput& listing, Console& console) {
  if (!state.amplitude_tables.built) build_amplitude_tables(state.amplitude_tables);
  const HeaderFields& h = state.header;
  const int32_t sample_count = state.derived.sample_count;
  const int32_t subblocks = subblock_count(h.A, h.N);
  const bool sum_mode = settings.select_antenna == 0;
  const bool scaled = settings.amplitude_scale == 0 || settings.amplitude_scale == 1;
  const AmplitudeTables& tables = state.amplitude_tables;
  const auto& fields = settings.convert_samples == 0   ? tables.raw
                       : settings.amplitude_scale == 0 ? tables.db
                                                       : tables.ratio;
  SubblockLineTime time;
  format_subblock_line_time(time, h);
  int32_t sample_index = 0;  // amplitude samples of the record read so far
  for (int32_t i = 0; i < subblocks; ++i) {
    const bool selected =
        begin_subblock(ListingKind::amplitude, i, time, state, settings, listing, console);
    std::fill_n(state.code_sums.begin(), sample_count, 0);
    for (int32_t j = 0; j < h.A; ++j, sample_index += sample_count) {
      if (!selected) continue;
      const bool antenna = antenna_match(settings, j);
      char* p = reserve_text(listing, 1);
      if (sum_mode) {
        p = add_to_sums(listing, p, state, record.bytes, sample_index, j, settings);
      } else if (antenna && scaled) {
        p = put_antenna_fields(listing, p, record.bytes, sample_index, sample_count, fields);
      }
      if (antenna || (sum_mode && j == h.A - 1)) {
        if (p > room_limit(listing, 1)) p = flush_at(listing, p);
        *p++ = '\n';
      }
      commit_text(listing, p);
    }
    advance_step(state.step_counter, settings.subblock_step);
  }
}

}  // namespace vexo
