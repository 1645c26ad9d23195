// The tool's entry point: "vexo [-o FILE] FILE.dft FILE.set".
//
// Exit status: 0 for --help and --version, and when the loop ends at a clean end of the file; 1
// when it stops on anything else (a wrong record marker, a truncated record, a record that fails
// the check, a read or write error); 2 for an unknown option; 255 for every other failure before
// the record loop (fewer than two names, a file that cannot be opened or created, a bad settings
// file, a refused listing name). Standard output that cannot be written is reported on standard
// error and changes no status.
#pragma once

#include <cstdio>

#include "listing/run_stop.h"

namespace vexo {

// Runs the tool with the given console streams (the DFT file "-" is standard input); returns
// the exit status.
int run_vexo(int argc, char** argv, std::FILE* out, std::FILE* err);

}  // namespace vexo
