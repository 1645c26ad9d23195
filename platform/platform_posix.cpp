// The POSIX side: terminals by isatty, cleared by an escape sequence; files by device and inode.
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/platform.h"

namespace vexo {

void prepare_process() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

bool is_terminal(std::FILE* out) {
  return isatty(fileno(out)) != 0;
}

void clear_screen(std::FILE* out) {
  std::fputs("\x1b[2J\x1b[H", out);
}

void set_binary_input(std::FILE*) {}

bool is_directory(std::FILE* file) {
  struct stat st;
  return fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_plain_device(std::FILE* file) {
  struct stat st;
  return fstat(fileno(file), &st) == 0 && S_ISCHR(st.st_mode) && !is_terminal(file);
}

bool names_open_file(const char* path, std::FILE* file) {
  struct stat named, open;
  if (stat(path, &named) != 0 || fstat(fileno(file), &open) != 0) return false;
  return named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

}  // namespace vexo
