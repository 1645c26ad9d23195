// Block reading of a DFT file. The file is read in large blocks into one buffer of fixed size;
// records are decoded from memory. The buffer always holds the current record and, as far as
// the file goes, the bytes after it that its header channel can reach (descriptors beyond the
// 34th are carried in the following records' bytes). Memory stays the same whatever the size of
// the file, and the file is only ever read forward, so a pipe works as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "decode/record_layout.h"

namespace vexo {

constexpr std::size_t kDefaultBlockSize = std::size_t{4} << 20;

struct DftInput {
  std::FILE* file = nullptr;  // owned by the caller; only read here
  std::vector<unsigned char> buffer;
  std::size_t start = 0;           // buffer index of the current record's byte 0
  std::size_t end = 0;             // buffer index past the last byte read
  std::uint64_t start_offset = 0;  // file offset of the current record's byte 0
  bool at_eof = false;
  int read_error = 0;  // errno of a failed read, 0 while none failed
};

DftInput make_dft_input(std::FILE* file, std::size_t block_size = kDefaultBlockSize);

// Makes sure that `reach` bytes from the current record start are in memory, or every byte up
// to the end of the file. Returns false when a read fails (read_error tells why).
bool fill_dft_input(DftInput& input, std::size_t reach);

// The current record as far as it is in memory, at most kMaxRecordReach bytes.
RecordView current_record(const DftInput& input);

// Moves on to the next record, kRecordSize bytes further.
void advance_record(DftInput& input);

}  // namespace vexo
