// The listing file, written through one large buffer. The first failed write is remembered and
// everything after it is dropped, so the record loop can stop at the next check. Without a
// file the listing is kept in memory: the buffer grows instead of being written out.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>
#include <vector>

namespace vexo {

constexpr std::size_t kListingBufferSize = std::size_t{1} << 20;
// Room for the longest text that is reserved at once (one run of fields, or one long field).
constexpr std::size_t kMinListingBufferSize = 4096;

struct ListingOutput {
  std::FILE* file = nullptr;  // owned by the caller; nullptr: the text stays in the buffer
  std::vector<char> buffer;
  std::size_t used = 0;
  int error = 0;  // errno of the first failed write, 0 while none failed
};

ListingOutput make_listing_output(std::FILE* file, std::size_t capacity = kListingBufferSize);

// Writes out what the buffer holds (without a file: makes the buffer twice as large). Returns
// false once any write has failed.
bool flush_listing(ListingOutput& out);

// Writes out what the buffer holds, then `text` straight from where it is.
void write_through(ListingOutput& out, std::string_view text);

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

// Room for `size` characters written straight into the buffer (at most its capacity): returns
// where to write them; hand the end of what was written to commit_text.
inline char* reserve_text(ListingOutput& out, std::size_t size) {
  if (out.buffer.size() - out.used < size) flush_listing(out);
  return out.buffer.data() + out.used;
}

inline void commit_text(ListingOutput& out, const char* end) {
  out.used = static_cast<std::size_t>(end - out.buffer.data());
}

// Writing straight into the buffer: start at reserve_text's position p; before each piece of
// text of at most `size` characters, when p > room_limit(out, size), write out what lies before
// p with flush_at, which returns the position to go on from. Commit the final position.
inline char* room_limit(ListingOutput& out, std::size_t size) {
  return out.buffer.data() + out.buffer.size() - size;
}

inline char* flush_at(ListingOutput& out, char* p) {
  commit_text(out, p);
  flush_listing(out);
  return out.buffer.data() + out.used;
}

}  // namespace vexo
