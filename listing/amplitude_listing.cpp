#include "listing/amplitude_listing.h"

#include <algorithm>
#include <cmath>

#include "listing/selection.h"
#include "listing/subblock_lines.h"
#include "listing/text_format.h"

namespace vexo {
namespace {

void put_value_field(ListingOutput& listing, double value) {
  char* p = reserve_text(listing, kFixedMax + 1);
  *p++ = ' ';
  commit_text(listing, put_fixed(p, value, 1, 5));
}

// One antenna's fields; nothing with an amplitude_scale other than 0 and 1.
void put_antenna_fields(ListingOutput& listing, const unsigned char* record, int32_t first,
                        int32_t sample_count, const Settings& settings) {
  if (settings.amplitude_scale != 0 && settings.amplitude_scale != 1) return;
  for (int32_t k = 0; k < sample_count; ++k) {
    const int32_t b = record[amplitude_sample_offset(first + k)];
    if (settings.convert_samples == 0) {
      char* p = reserve_text(listing, 8);
      *p++ = ' ';
      commit_text(listing, put_int_right(p, b, 5));
    } else {
      const double db = amplitude_db(b);
      put_value_field(listing, settings.amplitude_scale == 0 ? db : ratio_of_db(db));
    }
  }
}

// The sum mode: a quarter of each dB value into the accumulator of its sample position; the
// fourth antenna (index 3) writes the accumulators.
void add_to_sums(ListingOutput& listing, RunState& state, const unsigned char* record,
                 int32_t first, int32_t j, const Settings& settings) {
  const int32_t sample_count = state.derived.sample_count;
  for (int32_t k = 0; k < sample_count; ++k) {
    double& sum = state.antenna_sums[k];
    // Multiples of 0.375 up to a few hundred: every sum is exact.
    sum += amplitude_db(record[amplitude_sample_offset(first + k)]) * 0.25;
    if (j != 3) continue;
    if (settings.amplitude_scale == 0) put_value_field(listing, sum);
    if (settings.amplitude_scale == 1) put_value_field(listing, ratio_of_db(sum));
  }
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
  const HeaderFields& h = state.header;
  const int32_t sample_count = state.derived.sample_count;
  const int32_t subblocks = subblock_count(h.A, h.N);
  const bool sum_mode = settings.select_antenna == 0;
  int32_t sample_index = 0;  // amplitude samples of the record read so far
  for (int32_t i = 0; i < subblocks; ++i) {
    const Descriptor& d = state.descriptors[i];
    const bool selected = subblock_selected(settings, d, state.step_counter, h);
    if (selected && settings.show_subblock == 1) {
      commit_text(listing, format_ampl_line(reserve_text(listing, kSubblockLineMax), i, d, h));
    }
    show_progress(console, h);
    std::fill_n(state.antenna_sums.begin(), sample_count, 0.0);
    for (int32_t j = 0; j < h.A; ++j) {
      const bool antenna = antenna_match(settings, j);
      if (selected && sum_mode) {
        add_to_sums(listing, state, record.bytes, sample_index, j, settings);
      } else if (selected && antenna) {
        put_antenna_fields(listing, record.bytes, sample_index, sample_count, settings);
      }
      if (selected && (antenna || (sum_mode && j == h.A - 1))) write_text(listing, "\n");
      sample_index += sample_count;
    }
    advance_step(state.step_counter, settings.subblock_step);
  }
}

}  // namespace vexo
