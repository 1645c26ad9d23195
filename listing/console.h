// The console: the progress line that shows the day and time of the record in hand, and the
// one-line stop message. On a terminal each progress line is shown on a cleared screen, redrawn
// at most a few dozen times a second; otherwise only the last progress line of the run is
// written, right before the stop message. Nothing here ends with a line end but the text the
// caller hands to write_console. The first write that fails is reported on standard error;
// the run goes on.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "vexo/record.h"

namespace vexo {

struct Console {
  std::FILE* out = nullptr;
  std::FILE* err = nullptr;  // where a failed write to `out` is reported; nullptr: nowhere
  bool terminal = false;
  bool failed = false;   // a write to `out` has failed (and has been reported)
  bool walked = false;   // a progress line exists (some subblock was walked)
  bool pending = false;  // the latest progress line is not on the screen yet
  int32_t day = 0, hour = 0, minute = 0, second = 0;
  uint32_t since_clock = 0;  // progress lines since the clock was last read
  std::chrono::steady_clock::time_point last_draw{};
};

// Redraws happen at most this often on a terminal.
constexpr std::chrono::milliseconds kRedrawInterval{40};
// The clock is read only every this many progress lines (a few microseconds of listing).
constexpr uint32_t kClockEvery = 64;

// `err` is standard error when `out` is standard output, else nullptr.
Console make_console(std::FILE* out, std::FILE* err = nullptr);

// Writes `text` as it is (the echo line, the usage line) and flushes.
void write_console(Console& console, std::string_view text);

// The terminal's part of show_progress: a redraw when one is due.
void show_progress_on_terminal(Console& console);

// Called once for every subblock walked.
inline void show_progress(Console& console, const HeaderFields& h) {
  console.walked = true;
  console.pending = true;
  console.day = h.day, console.hour = h.hour, console.minute = h.minute, console.second = h.second;
  if (console.terminal) show_progress_on_terminal(console);
}

// Takes the progress of a console that only noted it (one without an `out`, of a worker that
// listed a batch of records): the latest progress line of `part`, drawn on a terminal when a
// redraw is due.
void take_progress(Console& console, const Console& part);

// Shows the last progress line if it is not on the screen yet, then the stop message (which may
// be empty), and flushes.
void end_console(Console& console, std::string_view stop_message);

}  // namespace vexo
