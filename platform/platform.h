// What differs between platforms: the console and the identity of open files. Each platform
// has its own source file (platform_posix.cpp, platform_windows.cpp); nothing else in the tree
// knows which platform it runs on.
#pragma once

#include <cstdio>

namespace vexo {

// True when `out` is a terminal (a console window on Windows).
bool is_terminal(std::FILE* out);

// Clears the terminal window (every cell blank) and puts the cursor at its top left corner.
void clear_screen(std::FILE* out);

// True when the open file is a directory (which the library opens without complaint).
bool is_directory(std::FILE* file);

// True when `path` names the same file as the open file, through whatever path or link.
bool names_open_file(const char* path, std::FILE* file);

}  // namespace vexo
