// Questions about files that the start-up asks before it creates the listing.
#pragma once

#include <cstdio>

namespace vexo {

// True when the open file is a directory (which the library opens without complaint).
bool is_directory(std::FILE* file);

// True when `path` names the same file as the open file, through whatever path or link.
bool names_open_file(const char* path, std::FILE* file);

}  // namespace vexo
