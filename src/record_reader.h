// The record reader: tests the record marker of the record that the input stands at, and
// decodes its record header and subblock descriptors. It never moves the input: the record loop
// moves on to the next record, always kRecordSize bytes further.
#pragma once

#include <cstddef>

#include "src/block_input.h"
#include "src/descriptors.h"
#include "src/header.h"

namespace vexo {

enum class RecordStatus {
  decoded,      // header fields and descriptors hold this record's values
  end_of_file,  // no byte is left at the record start
  bad_marker,   // the first byte is not the record marker
  truncated,    // the marker is there but fewer than kRecordSize bytes are left
  read_error,   // reading the file failed
};

struct RecordRead {
  RecordStatus status = RecordStatus::end_of_file;
  unsigned char first_byte = 0;  // the byte found at the record start, if any
  std::size_t available = 0;     // bytes from the record start to the end of the file (up to
                                 // kMaxRecordReach)
};

// On `decoded` the header fields and entries 0..subblock_count-1 of the table (when there is
// one) are updated; on every other status nothing is changed. Channel bytes beyond the end of
// the file read as 0.
RecordRead read_record(BlockInput& input, HeaderFields& header, DescriptorTable* table);

}  // namespace vexo
