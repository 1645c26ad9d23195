#include "listing/record_loop.h"

#include <limits>

#include "listing/amplitude_listing.h"
#include "listing/header_lines.h"
#include "listing/phase_listing.h"
#include "listing/selection.h"

namespace vexo {
namespace {

LoopEnd end_of(RecordStatus status) {
  switch (status) {
    case RecordStatus::bad_marker:
      return LoopEnd::bad_marker;
    case RecordStatus::truncated:
      return LoopEnd::truncated;
    case RecordStatus::read_error:
      return LoopEnd::read_error;
    default:
      return LoopEnd::end_of_file;
  }
}

void write_header_lines(ListingOutput& listing, const RunState& state) {
  write_text(listing, kColumnTitleLine);
  char line[kHeaderValuesMax];
  write_text(listing, {line, format_header_values(line, state.record_number, state.header)});
}

}  // namespace

bool record_passes_check(const HeaderFields& h) {
  return 16 * h.u + h.l != 0 && h.A != 0;
}

void fold_R(int32_t& R) {
  if (R > 3 && R < 8) R -= 4;
  if (R > 7) R -= 8;
}

void derive_record_values(RunState& state) {
  HeaderFields& h = state.header;
  DerivedValues& d = state.derived;
  // N is one decimal digit, so 2^N is exact as an integer shift.
  d.sample_count = int32_t{1} << h.N;
  // 0.01 is held at extended precision and the product rounded once to a 64-bit real; the two
  // divisions are again carried out in extended precision and rounded once.
  const double spacing = static_cast<double>(0.01L * static_cast<long double>(16 * h.D2 + h.D1));
  d.line_spacing = spacing == 0.0 ? std::numeric_limits<double>::infinity()
                                  : static_cast<double>(1.0L / spacing / d.sample_count);
  d.rate_divider = h.X == 1 ? 2 : 1;
  fold_R(h.R);
  const int32_t base_rate = h.R == 0 ? 50 : h.R == 2 ? 100 : h.R == 3 ? 200 : 0;
  if (base_rate != 0) {
    state.rate = static_cast<double>(base_rate / d.rate_divider);
    state.rate_known = true;
  }
  const bool reversed = h.FF == 0xFE;
  d.phase_offset = reversed ? 255 : 0;
  d.phase_sign = reversed ? -1 : 1;
}

LoopResult list_records(DftInput& input, ListingOutput& listing, const Settings& settings,
                        RunState& state, Console& console) {
  LoopResult result;
  for (;;) {
    ++state.record_number;
    result.record_number = state.record_number;
    result.offset = input.start_offset;
    result.read = read_record(input, state.header, state.descriptors);
    if (result.read.status != RecordStatus::decoded) {
      result.end = end_of(result.read.status);
      break;
    }
    if (settings.show_header == 1 && record_selected(settings, state.header)) {
      write_header_lines(listing, state);
    }
    if (!record_passes_check(state.header)) {
      result.end = LoopEnd::error_detected;
      break;
    }
    derive_record_values(state);
    // The walk covers exactly subblock_count subblocks, so it reads only this record's bytes.
    const RecordView record = current_record(input);
    if (settings.listing_mode == 1) {
      list_phase_record(record, state, settings, listing, console);
    } else {
      list_amplitude_record(record, state, settings, listing, console);
    }
    if (listing.error != 0) {
      result.end = LoopEnd::write_error;
      break;
    }
    advance_record(input);
  }
  // The listing is complete before the stop message says so.
  if (!flush_listing(listing)) result.end = LoopEnd::write_error;
  const char* message = result.end == LoopEnd::error_detected ? "Error detected"
                        : result.end == LoopEnd::write_error
                            ? ""
                            : "Incorrect file structure or end of file";
  end_console(console, message);
  return result;
}

}  // namespace vexo
