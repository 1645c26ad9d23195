// The tool's entry point: "vexo FILE.dft FILE.set".
//
// Exit status: 255 for every failure before the record loop (usage, a file that cannot be
// opened or created, a bad settings file); 0 when the loop ends at a clean end of the file; 1
// when it stops on anything else (a wrong record marker, a truncated record, a record that
// fails the check, a read or write error).
#pragma once

#include <cstdio>

#include "listing/run_stop.h"

namespace vexo {

// Runs the tool with the given console streams; returns the exit status.
int run_vexo(int argc, char** argv, std::FILE* out, std::FILE* err);

}  // namespace vexo
