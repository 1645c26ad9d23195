#include "src/block_input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vexo {

BlockInput make_block_input(ByteSource* source, std::size_t block_size) {
  BlockInput input;
  input.source = source;
  input.buffer.resize(std::max<std::size_t>(block_size, 1) + kMaxRecordReach);
  input.data = input.buffer.data();
  return input;
}

BlockInput make_memory_input(const unsigned char* data, std::size_t size) {
  BlockInput input;
  input.data = data;
  input.end = size;
  input.at_eof = true;
  return input;
}

bool fill_input(BlockInput& input, std::size_t reach) {
  if (input.read_error != 0) return false;
  if (input.end - input.start >= reach || input.at_eof) return true;
  // Read a step beyond the reach, not the whole buffer at once: bytes just read are then still
  // in the cache when they are decoded. Where the buffer's room ends, keep the unread tail and
  // go on from the buffer's start.
  const std::size_t size = input.buffer.size();
  const std::size_t want = std::min(reach + kFillStep, size);
  if (size - input.start < want) {
    std::memmove(input.buffer.data(), input.buffer.data() + input.start, input.end - input.start);
    input.end -= input.start;
    input.start = 0;
  }
  while (input.end - input.start < want && !input.at_eof) {
    int error = 0;
    const std::size_t room = input.start + want - input.end;
    const std::size_t got = input.source->read(input.buffer.data() + input.end, room, error);
    input.end += got;
    if (got == 0) {
      if (error != 0) {
        input.read_error = error;
        return false;
      }
      input.at_eof = true;
    }
  }
  return true;
}

void advance_record(BlockInput& input) {
  const std::size_t step = std::min(kRecordSize, input.end - input.start);
  input.start += step;
  input.start_offset += step;
}

}  // namespace vexo
