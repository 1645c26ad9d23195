#include "listing/phase_listing.h"

#include <cstring>

#include "listing/listing_work.h"
#include "listing/selection.h"
#include "listing/subblock_walk.h"
#include "listing/text/text_format.h"

namespace vexo {
namespace {

// " %3u" of each byte: four characters, as " %3d" is.
char* put_raw_line(ListingOutput& out, char* p, const SampleLine& line) {
  const std::size_t run = line.piece_size();
  for (std::size_t piece = 0; piece < line.piece_count(); ++piece) {
    const unsigned char* bytes = line.piece(piece);
    if (p > room_limit(out, 4 * run)) p = flush_at(out, p);
    for (std::size_t r = 0; r < run; ++r, p += 4) std::memcpy(p, kShortDegrees.text[bytes[r]], 4);
  }
  return p;
}

}  // namespace

int64_t PhaseListing::list_record(const Record& record) {
  const ListingPlan& plan = run_.plan;
  const int32_t antennas = record.antenna_count();
  if (!plan.raw_samples && record.subblock_count() > 0) {
    fields_.begin_record(phase_parameters(record, plan.correction));
  }
  const int64_t field_work = plan.raw_samples   ? kRawFieldWork
                             : fields_.direct() ? kDirectFieldWork
                                                : kFieldWork;
  int64_t lines = 0, fields = 0;
  SubblockLineTime time;
  format_subblock_line_time(time, record.header());
  for (int32_t i = 0; i < record.subblock_count(); ++i) {
    const bool selected = begin_subblock(record, i, time, lines_, run_);
    if (selected && plan.subblock_lines) ++lines;
    for (int32_t j = 0; selected && j < antennas; ++j) {
      if (!antenna_match(plan, j)) continue;
      const SampleLine line = record.phase(i, j);
      char* p = reserve_text(run_.listing, 1);
      p = plan.raw_samples ? put_raw_line(run_.listing, p, line)
                           : fields_.put_line(run_.listing, p, line, j);
      if (p > room_limit(run_.listing, 1)) p = flush_at(run_.listing, p);
      *p++ = '\n';
      commit_text(run_.listing, p);
      ++lines;
      fields += static_cast<int64_t>(line.size());
    }
    advance_step(run_.step_counter, plan.subblock_step);
  }
  return lines * kLineWork + fields * field_work;
}

}  // namespace vexo
