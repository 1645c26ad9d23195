#include "listing/amplitude_listing.h"

#include <algorithm>

#include "listing/listing_work.h"
#include "listing/selection.h"
#include "listing/subblock_walk.h"

namespace vexo {
namespace {

// One antenna's fields from `fields`, indexed by the sample byte.
char* put_antenna_fields(ListingOutput& out, char* p, const SampleLine& line,
                         const std::array<AmplitudeField, 256>& fields) {
  const AmplitudeField* const table = fields.data();
  // Taken again after each flush: a listing kept in memory grows into a new buffer.
  char* limit = room_limit(out, sizeof(AmplitudeField));
  const std::size_t run = line.piece_size();
  for (std::size_t piece = 0; piece < line.piece_count(); ++piece) {
    const unsigned char* bytes = line.piece(piece);
    for (std::size_t r = 0; r < run; ++r) {
      if (p > limit) {
        p = flush_at(out, p);
        limit = room_limit(out, sizeof(AmplitudeField));
      }
      p = put_field(p, table[bytes[r]]);
    }
  }
  return p;
}

}  // namespace

AmplitudeListing::AmplitudeListing(RunContext& run) : run_(run) {
  build_amplitude_tables(tables_);
}

// Each antenna's codes into the sums of their sample positions; the fourth antenna (index 3)
// writes the sums, which then hold four codes each.
char* AmplitudeListing::add_to_sums(char* p, const SampleLine& line, int32_t j) {
  const std::size_t run = line.piece_size();
  int32_t* sums = code_sums_.data();
  for (std::size_t piece = 0; piece < line.piece_count(); ++piece) {
    const unsigned char* bytes = line.piece(piece);
    for (std::size_t r = 0; r < run; ++r) sums[piece * run + r] += bytes[r] >> 2;
  }
  if (j != 3 || run_.plan.scale == AmplitudeScale::blank) return p;
  const AmplitudeField* const table =
      run_.plan.scale == AmplitudeScale::db ? tables_.sum_db.data() : tables_.sum_ratio.data();
  char* limit = room_limit(run_.listing, sizeof(AmplitudeField));
  for (std::size_t k = 0; k < line.size(); ++k) {
    if (p > limit) {
      p = flush_at(run_.listing, p);
      limit = room_limit(run_.listing, sizeof(AmplitudeField));
    }
    p = put_field(p, table[sums[k]]);
  }
  return p;
}

int64_t AmplitudeListing::list_record(const Record& record) {
  const ListingPlan& plan = run_.plan;
  const int32_t antennas = record.antenna_count();
  const bool mean = plan.antennas == AntennaChoice::mean;
  const bool blank = plan.scale == AmplitudeScale::blank;
  const auto& fields = plan.raw_samples                   ? tables_.raw
                       : plan.scale == AmplitudeScale::db ? tables_.db
                                                          : tables_.ratio;
  int64_t lines = 0, written = 0, summed = 0;
  SubblockLineTime time;
  format_subblock_line_time(time, record.header());
  for (int32_t i = 0; i < record.subblock_count(); ++i) {
    const bool selected = begin_subblock(record, i, time, lines_, run_);
    if (selected && plan.subblock_lines) ++lines;
    std::fill_n(code_sums_.begin(), record.sample_count(), 0);
    for (int32_t j = 0; selected && j < antennas; ++j) {
      const bool antenna = antenna_match(plan, j);
      char* p = reserve_text(run_.listing, 1);
      if (mean) {
        p = add_to_sums(p, record.amplitude(i, j), j);
        ++lines;
        summed += record.sample_count();
        if (j == 3 && !blank) written += record.sample_count();
      } else if (antenna && !blank) {
        p = put_antenna_fields(run_.listing, p, record.amplitude(i, j), fields);
        written += record.sample_count();
      }
      if (antenna || (mean && j == antennas - 1)) {
        if (p > room_limit(run_.listing, 1)) p = flush_at(run_.listing, p);
        *p++ = '\n';
        if (antenna) ++lines;
      }
      commit_text(run_.listing, p);
    }
    advance_step(run_.step_counter, plan.subblock_step);
  }
  return lines * kLineWork + written * kFieldWork + summed * kSumWork;
}

}  // namespace vexo
