// The Windows side: the console by the console screen-buffer functions; files by volume serial
// number and file index.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include "platform/platform.h"

namespace vexo {

// Neither signal exists here: such writes fail with an error already.
void prepare_process() {}

bool is_terminal(std::FILE* out) {
  return _isatty(_fileno(out)) != 0;
}

void clear_screen(std::FILE* out) {
  std::fflush(out);
  HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
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

void set_binary_input(std::FILE* in) {
  _setmode(_fileno(in), _O_BINARY);
}

bool is_directory(std::FILE* file) {
  struct _stat64 st;
  return _fstat64(_fileno(file), &st) == 0 && (st.st_mode & _S_IFDIR) != 0;
}

bool is_plain_device(std::FILE* file) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return GetFileType(handle) == FILE_TYPE_CHAR && !is_terminal(file);
}

bool names_open_file(const char* path, std::FILE* file) {
  HANDLE open_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  HANDLE other = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same = GetFileInformationByHandle(open_handle, &a) &&
              GetFileInformationByHandle(other, &b) &&
              a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
              a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(other);
  return same;
}

}  // namespace vexo
