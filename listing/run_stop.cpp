#include "listing/run_stop.h"

#include <cstring>

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
  if (stop.write_error != 0) {
    std::fprintf(err, "vexo: %s: cannot write the listing: %s\n", listing_name,
                 std::strerror(stop.write_error));
    return;
  }
  if (!stop.read.clean()) {
    std::fprintf(err, "vexo: %s: %s\n", dft_name, describe(stop.read).c_str());
  }
  if (stop.close_error != 0) {
    std::fprintf(err, "vexo: %s: cannot write the listing: %s\n", listing_name,
                 std::strerror(stop.close_error));
  }
}

}  // namespace vexo
