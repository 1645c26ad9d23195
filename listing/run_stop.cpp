#include "listing/run_stop.h"

#include <cstring>

#include "listing/text/escape.h"

namespace vexo {

std::string_view stop_message(const RunStop& stop) {
  if (stop.write_error != 0) return "";
  if (stop.read.reason == StopReason::check_failed) return "Error detected";
  return "Incorrect file structure or end of file";
}

int exit_status(const RunStop& stop) {
  const bool clean = stop.write_error == 0 && stop.close_error == 0 && stop.read.clean();
  return clean ? kExitClean : kExitStopped;
}

void report_stop(const RunStop& stop, const char* dft_name, const char* listing_name,
                 std::FILE* err) {
  // A run stopped by a write error has no reader stop; a reader stop comes first.
  if (stop.read.reason != StopReason::none && !stop.read.clean()) {
    std::fprintf(err, "vexo: %s: %s\n", escaped(dft_name).c_str(), describe(stop.read).c_str());
  }
  // A listing that failed a write fails its close too: the first failure says why.
  const int write_error = stop.write_error != 0 ? stop.write_error : stop.close_error;
  if (write_error != 0) {
    std::fprintf(err, "vexo: %s: cannot write the listing: %s\n", escaped(listing_name).c_str(),
                 std::strerror(write_error));
  }
}

}  // namespace vexo
