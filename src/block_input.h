// Block reading of a DFT file. A byte source is read, a step at a time, into one buffer of fixed
// size (the block size and the reach of a record), or the whole file is already in memory;
// records are decoded from memory. The input
// always holds the current record and, as far as the file goes, the bytes after it that its
// header channel can reach (descriptors beyond the 34th are carried in the following records'
// bytes). Memory stays the same whatever the size of the file, and the source is only ever read
// forward, so a pipe works as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "src/record_layout.h"
#include "vexo/reader.h"

namespace vexo {

struct BlockInput {
  ByteSource* source = nullptr;  // not owned; none when the whole file is in memory
  std::vector<unsigned char> buffer;
  const unsigned char* data = nullptr;  // the buffer, or the file in memory
  std::size_t start = 0;                // index of the current record's byte 0 in data
  std::size_t end = 0;                  // index past the last byte in data
  std::uint64_t start_offset = 0;       // file offset of the current record's byte 0
  bool at_eof = false;
  int read_error = 0;  // errno of a failed read, 0 while none failed
};

// How much a refill reads beyond the reach asked for (at most the block size): small enough to
// stay in the cache until it is decoded.
constexpr std::size_t kFillStep = std::size_t{256} << 10;

BlockInput make_block_input(ByteSource* source, std::size_t block_size);
BlockInput make_memory_input(const unsigned char* data, std::size_t size);

// Makes sure that `reach` bytes from the current record start are in memory, or every byte up
// to the end of the file. Returns false when a read fails (read_error tells why).
bool fill_input(BlockInput& input, std::size_t reach);

// The current record as far as it is in memory, at most kMaxRecordReach bytes.
inline RecordView current_record(const BlockInput& input) {
  RecordView view;
  view.bytes = input.data + input.start;
  const std::size_t left = input.end - input.start;
  view.size = left < kMaxRecordReach ? left : kMaxRecordReach;
  return view;
}

// Moves on to the next record, kRecordSize bytes further.
void advance_record(BlockInput& input);

}  // namespace vexo
