#include "listing/console.h"

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace vexo {
namespace {

// Flushes; the first failure (say a full disk behind standard output) is reported once.
void flush_console(Console& c) {
  errno = 0;
  if ((std::fflush(c.out) == 0 && !std::ferror(c.out)) || c.failed) return;
  c.failed = true;
  if (c.err != nullptr) {
    std::fprintf(c.err, "vexo: standard output: cannot write: %s\n",
                 std::strerror(errno != 0 ? errno : EIO));
  }
}

void draw(Console& c) {
  if (c.terminal) clear_screen(c.out);
  std::fprintf(c.out, "%03d %02d:%02d:%02d", c.day, c.hour, c.minute, c.second);
  flush_console(c);
  c.pending = false;
}

}  // namespace

Console make_console(std::FILE* out, std::FILE* err) {
  Console console;
  console.out = out;
  console.err = err;
  console.terminal = is_terminal(out);
  return console;
}

void write_console(Console& c, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), c.out);
  flush_console(c);
}

void show_progress_on_terminal(Console& c) {
  const bool first = c.last_draw.time_since_epoch().count() == 0;
  if (!first && ++c.since_clock < kClockEvery) return;
  c.since_clock = 0;
  auto now = std::chrono::steady_clock::now();
  if (now - c.last_draw < kRedrawInterval && !first) return;
  c.last_draw = now;
  draw(c);
}

void take_progress(Console& c, const Console& part) {
  if (!part.walked) return;
  c.walked = c.pending = true;
  c.day = part.day, c.hour = part.hour, c.minute = part.minute, c.second = part.second;
  if (!c.terminal) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - c.last_draw < kRedrawInterval) return;
  c.last_draw = now;
  draw(c);
}

void end_console(Console& c, std::string_view stop_message) {
  if (c.walked && c.pending) draw(c);
  std::fwrite(stop_message.data(), 1, stop_message.size(), c.out);
  flush_console(c);
}

}  // namespace vexo
