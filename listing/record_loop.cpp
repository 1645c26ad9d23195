#include "listing/record_loop.h"

#include <memory>

#include "listing/amplitude_listing.h"
#include "listing/header_lines.h"
#include "listing/phase_listing.h"
#include "listing/selection.h"

namespace vexo {
namespace {

void write_header_lines(ListingOutput& listing, const Record& record) {
  write_text(listing, kColumnTitleLine);
  char line[kHeaderValuesMax];
  write_text(listing, {line, format_header_values(line, record.number(), record.header())});
}

template <typename Listing>
RunStop run_loop(Reader& reader, RunContext& run) {
  const auto listing = std::make_unique<Listing>(run);
  RunStop stop;
  for (;;) {
    const bool listed = reader.next();
    const bool check_failed = reader.stop().reason == StopReason::check_failed;
    if (listed || check_failed) {
      // A record that fails the check still gets its header lines.
      const Record& record = reader.record();
      if (run.plan.header_lines && record_selected(run.plan, record.header())) {
        write_header_lines(run.listing, record);
      }
    }
    if (!listed) {
      stop.read = reader.stop();
      break;
    }
    listing->list_record(reader.record());
    if (run.listing.error != 0) {
      stop.write_error = run.listing.error;
      break;
    }
  }
  // The listing is complete before the stop message says so.
  if (!flush_listing(run.listing)) stop.write_error = run.listing.error;
  return stop;
}

}  // namespace

RunStop list_records(Reader& reader, RunContext& run) {
  const RunStop stop = run.plan.kind == ListingKind::phase
                           ? run_loop<PhaseListing>(reader, run)
                           : run_loop<AmplitudeListing>(reader, run);
  end_console(run.console, stop_message(stop));
  return stop;
}

}  // namespace vexo
