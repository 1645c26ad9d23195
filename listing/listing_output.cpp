#include "listing/listing_output.h"

#include <cerrno>

namespace vexo {

ListingOutput make_listing_output(std::FILE* file, std::size_t capacity) {
  ListingOutput out;
  out.file = file;
  out.buffer.resize(capacity < kMinListingBufferSize ? kMinListingBufferSize : capacity);
  return out;
}

bool flush_listing(ListingOutput& out) {
  if (out.file == nullptr) {
    out.buffer.resize(2 * out.buffer.size());
    return true;
  }
  if (out.error == 0 && out.used > 0) {
    errno = 0;
    if (std::fwrite(out.buffer.data(), 1, out.used, out.file) != out.used ||
        std::fflush(out.file) != 0) {
      out.error = errno != 0 ? errno : EIO;
    }
  }
  out.used = 0;
  return out.error == 0;
}

void write_through(ListingOutput& out, std::string_view text) {
  flush_listing(out);
  errno = 0;
  if (out.error == 0 && (std::fwrite(text.data(), 1, text.size(), out.file) != text.size() ||
                         std::fflush(out.file) != 0)) {
    out.error = errno != 0 ? errno : EIO;
  }
}

void write_text_flushing(ListingOutput& out, std::string_view text) {
  if (out.file == nullptr) {
    while (out.buffer.size() - out.used < text.size()) flush_listing(out);
    write_text(out, text);
    return;
  }
  flush_listing(out);
  if (text.size() <= out.buffer.size()) {
    text.copy(out.buffer.data(), text.size());
    out.used = text.size();
    return;
  }
  errno = 0;
  if (out.error == 0 && std::fwrite(text.data(), 1, text.size(), out.file) != text.size()) {
    out.error = errno != 0 ? errno : EIO;
  }
}

}  // namespace vexo
