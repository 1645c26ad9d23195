// The record header: the first 58 nibbles of a record's header channel, rendered into a
// 58-character header text and parsed from it, field by field with fixed widths, into 39 header
// fields.
//
// Rendering: positions 0, 14-15, 26 and 32-57 hold the nibble as one upper-case hex digit; the
// decimal positions 1-13, 16-25 and 27-31 hold the digit of a nibble 0..9 and the character '1'
// for a nibble 10..15 (a two-character decimal write whose second character the next position's
// write overwrites).
//
// Parsing: each field is read from its first position with a width-limited conversion. A
// decimal conversion over hex positions fails on a leading letter and then leaves the field as
// it was (the header fields persist from record to record), and stops at a later letter.
#pragma once

#include <array>
#include <cstdint>

#include "src/record_layout.h"
#include "vexo/record.h"

namespace vexo {

// 58 characters and a terminating NUL.
using HeaderText = std::array<char, kHeaderNibbles + 1>;

HeaderText render_header_text(const std::array<int, kHeaderNibbles>& nibbles);

// Updates `fields` from the text; a field whose conversion fails keeps its value.
void parse_header(const HeaderText& text, HeaderFields& fields);

// Reads header nibbles 0..57 of the record, renders and parses them.
void read_header(const RecordView& view, HeaderFields& fields);

}  // namespace vexo
