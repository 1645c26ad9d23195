#include "listing/console.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

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

void show_progress(Console& c, const HeaderFields& h) {
  c.walked = true;
  c.pending = true;
  c.day = h.day, c.hour = h.hour, c.minute = h.minute, c.second = h.second;
  if (!c.terminal) return;
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

#ifdef _WIN32

bool is_terminal(std::FILE* out) {
  return _isatty(_fileno(out)) != 0;
}

void clear_screen(std::FILE* out) {
  std::fflush(out);
  HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(console, &info)) return;
  // Every cell of the window, row by row, in the current text attribute.
  const SMALL_RECT window = info.srWindow;
  const DWORD width = static_cast<DWORD>(window.Right - window.Left + 1);
  for (SHORT row = window.Top; row <= window.Bottom; ++row) {
    const COORD start = {window.Left, row};
    DWORD written = 0;
    FillConsoleOutputCharacterA(console, ' ', width, start, &written);
    FillConsoleOutputAttribute(console, info.wAttributes, width, start, &written);
  }
  SetConsoleCursorPosition(console, COORD{window.Left, window.Top});
}

#else

bool is_terminal(std::FILE* out) {
  return isatty(fileno(out)) != 0;
}

void clear_screen(std::FILE* out) {
  std::fputs("\x1b[2J\x1b[H", out);
}

#endif

}  // namespace vexo
