// The listing file, written through one large buffer. The first failed write is remembered and
// everything after it is dropped, so the record loop can stop at the next check.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>
#include <vector>

namespace vexo {

constexpr std::size_t kListingBufferSize = std::size_t{1} << 20;

struct ListingOutput {
  std::FILE* file = nullptr;  // owned by the caller
  std::vector<char> buffer;
  std::size_t used = 0;
  int error = 0;  // errno of the first failed write, 0 while none failed
};

ListingOutput make_listing_output(std::FILE* file, std::size_t capacity = kListingBufferSize);

// Writes out what the buffer holds. Returns false once any write has failed.
bool flush_listing(ListingOutput& out);

// Text that does not fit into the rest of the buffer.
void write_text_flushing(ListingOutput& out, std::string_view text);

inline void write_text(ListingOutput& out, std::string_view text) {
  if (out.buffer.size() - out.used < text.size()) {
    write_text_flushing(out, text);
    return;
  }
  text.copy(out.buffer.data() + out.used, text.size());
  out.used += text.size();
}

}  // namespace vexo
