#include "decode/dft_input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vexo {

DftInput make_dft_input(std::FILE* file, std::size_t block_size) {
  DftInput input;
  input.file = file;
  input.buffer.resize(std::max<std::size_t>(block_size, 1) + kMaxRecordReach);
  return input;
}

bool fill_dft_input(DftInput& input, std::size_t reach) {
  if (input.read_error != 0) return false;
  if (input.end - input.start >= reach || input.at_eof) return true;
  // Keep the unread tail and fill the rest of the buffer behind it.
  std::memmove(input.buffer.data(), input.buffer.data() + input.start, input.end - input.start);
  input.end -= input.start;
  input.start = 0;
  while (input.end < input.buffer.size() && !input.at_eof) {
    errno = 0;
    std::size_t got =
        std::fread(input.buffer.data() + input.end, 1, input.buffer.size() - input.end, input.file);
    input.end += got;
    if (got == 0) {
      if (std::ferror(input.file)) {
        input.read_error = errno != 0 ? errno : EIO;
        return false;
      }
      input.at_eof = true;
    }
  }
  return true;
}

RecordView current_record(const DftInput& input) {
  RecordView view;
  view.bytes = input.buffer.data() + input.start;
  view.size = std::min(input.end - input.start, kMaxRecordReach);
  return view;
}

void advance_record(DftInput& input) {
  std::size_t step = std::min(kRecordSize, input.end - input.start);
  input.start += step;
  input.start_offset += step;
}

}  // namespace vexo
