// How a run ended: filled in where the run stops, and turned in one place into the console's
// stop message, the lines on standard error and the exit status.
#pragma once

#include <cstdio>
#include <string_view>

#include "vexo/reader.h"

namespace vexo {

constexpr int kExitClean = 0;
constexpr int kExitStopped = 1;
constexpr int kExitWrongOption = 2;
constexpr int kExitStartFailed = 255;

struct RunStop {
  Stop read;            // why the reader stopped; StopReason::none when the run stopped first
  int write_error = 0;  // errno: the listing could not be written (this ends the run at once,
                        // or comes from the last flush after the reader stopped)
  int close_error = 0;  // errno: the listing did not close cleanly
};

// "Error detected" after a record that failed the check, else "Incorrect file structure or end
// of file"; nothing when the listing could not be written, even after the reader had stopped:
// the console never announces an end over a listing that is not complete.
std::string_view stop_message(const RunStop& stop);

// 0 at a clean end of the file with the listing closed cleanly, else 1.
int exit_status(const RunStop& stop);

// Writes to `err` why the run stopped, nothing for a clean end: first why the reader stopped
// ("vexo: DFT: record ..."), then why the listing could not be written or closed ("vexo:
// LISTING: cannot write the listing: ..."), one line each, names with control characters
// escaped.
void report_stop(const RunStop& stop, const char* dft_name, const char* listing_name,
                 std::FILE* err);

}  // namespace vexo
