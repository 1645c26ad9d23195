#include "listing/console.h"

#include "platform/platform.h"

namespace vexo {
namespace {

void draw(Console& c) {
  if (c.terminal) clear_screen(c.out);
  std::fprintf(c.out, "%03d %02d:%02d:%02d", c.day, c.hour, c.minute, c.second);
  std::fflush(c.out);
  c.pending = false;
}

}  // namespace

Console make_console(std::FILE* out) {
  Console console;
  console.out = out;
  console.terminal = is_terminal(out);
  return console;
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

void end_console(Console& c, std::string_view stop_message) {
  if (c.walked && c.pending) draw(c);
  std::fwrite(stop_message.data(), 1, stop_message.size(), c.out);
  std::fflush(c.out);
}

}  // namespace vexo
