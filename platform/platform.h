// What differs between platforms: the process's signals, the console, standard input and the
// identity of open files. Each platform has its own source file (platform_posix.cpp,
// platform_windows.cpp); nothing else in the tree knows which platform it runs on.
#pragma once

#include <cstdio>

namespace vexo {

// Called first in main(): a write to a pipe whose reader has gone, or past the file-size limit,
// fails with an error (EPIPE, EFBIG) the tool reports, instead of ending the process by a signal.
void prepare_process();

// True when `out` is a terminal (a console window on Windows).
bool is_terminal(std::FILE* out);

// Clears the terminal window of `out` (every cell blank) and puts the cursor at its top left.
void clear_screen(std::FILE* out);

// Reads `in` byte for byte (no line-end translation on Windows).
void set_binary_input(std::FILE* in);

// True when the open file is a directory (which the library opens without complaint).
bool is_directory(std::FILE* file);

// True when the open file is a device that is not a terminal (the null device, for one), where
// two writers do not spoil each other's text.
bool is_plain_device(std::FILE* file);

// True when `path` names the same file as the open file, through whatever path or link.
bool names_open_file(const char* path, std::FILE* file);

}  // namespace vexo
