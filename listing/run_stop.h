// How a run ended: filled in where the run stops, and turned in one place into the console's
// stop message, the lines on standard error and the exit status.
#pragma once

#include <cstdio>
#include <string_view>

#include "vexo/reader.h"

namespace vexo {

constexpr int kExitClean = 0;
constexpr int kExitStopped = 1;
constexpr int kExitStartFailed = 255;

struct RunStop {
  Stop read;            // why the reader stopped; StopReason::none when the run stopped first
  int write_error = 0;  // errno: the listing could not be written (this ends the run at once)
  int close_error = 0;  // errno: the listing did not close cleanly
};

// "Error detected" after a record that failed the check, nothing after a write error, else
// "Incorrect file structure or end of file".
std::string_view stop_message(const RunStop& stop);

// 0 at a clean end of the file with the listing closed cleanly, else 1.
int exit_status(const RunStop& stop);

// Writes to `err` why the run stopped ("vexo: FILE: ..."), nothing for a clean end.
void report_stop(const RunStop& stop, const char* dft_name, const char* listing_name,
                 std::FILE* err);

}  // namespace vexo
