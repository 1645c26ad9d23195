// The two header lines of a record in the listing: the column title line, and the header values
// line that prints the record number and the 39 header fields under it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "vexo/record.h"

namespace vexo {

constexpr std::string_view kColumnTitleLine =
    "REC DATE  TIME  sp FFJEHM  FREQ  DIFFSlu  L C  U BTO  V  XADDNRwkfgOOPG \n";

// Longest possible header values line: 40 numbers of at most 20 characters and 16 separators.
constexpr std::size_t kHeaderValuesMax = 1024;

// The header values line, in the format
// "%d   %d%d %d%d%d %d%d %X%d%d%X%d %6.0f %X%d%d%d%d%d %02d %x %02d %d%d%d %03d
//  %d%d%d%d%d%d%d%d%d%d%02d%d%d\n" (one line), written into `buffer`; returns its length.
std::size_t format_header_values(char* buffer, int64_t record_number, const HeaderFields& h);

}  // namespace vexo
