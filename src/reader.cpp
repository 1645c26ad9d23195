#include "vexo/reader.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "src/file_source.h"
#include "src/record_scan.h"

namespace vexo {

FileSource::~FileSource() {
  if (owned_) std::fclose(file_);
}

std::size_t FileSource::read(unsigned char* data, std::size_t size, int& error) {
  errno = 0;
  const std::size_t got = std::fread(data, 1, size, file_);
  if (got == 0 && std::ferror(file_)) error = errno != 0 ? errno : EIO;
  return got;
}

std::size_t StreamSource::read(unsigned char* data, std::size_t size, int& error) {
  if (!stream_.good()) {
    if (stream_.bad()) error = EIO;
    return 0;
  }
  stream_.read(reinterpret_cast<char*>(data), static_cast<std::streamsize>(size));
  const std::size_t got = static_cast<std::size_t>(stream_.gcount());
  if (got == 0 && stream_.bad()) error = EIO;
  return got;
}

struct Reader::Impl {
  std::unique_ptr<ByteSource> source;
  RecordScan scan;
  Record record;

  Record::Parts parts() const {
    return {scan.record_number, scan.input.start_offset, scan.input.data + scan.input.start,
            &scan.shown,        &scan.derived,           scan.descriptors.data()};
  }

  bool next(bool with_descriptors) {
    if (scan.next(with_descriptors)) {
      record = Record(parts());
      return true;
    }
    // After a failed check the record that failed is shown, with its header.
    record = scan.stop.reason == StopReason::check_failed ? Record(parts()) : Record();
    return false;
  }
};

Reader::Reader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Reader::Reader(std::unique_ptr<ByteSource> source, std::size_t block_size)
    : impl_(std::make_unique<Impl>()) {
  impl_->source = std::move(source);
  impl_->scan.input = make_block_input(impl_->source.get(), block_size);
  if (impl_->source == nullptr) impl_->scan.input.read_error = EINVAL;
}

Reader::Reader(Reader&&) noexcept = default;
Reader& Reader::operator=(Reader&&) noexcept = default;
Reader::~Reader() = default;

Reader Reader::open(const std::string& path, std::size_t block_size) {
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    const int error = errno != 0 ? errno : ENOENT;
    auto impl = std::make_unique<Impl>();
    impl->scan.record_number = 1;
    impl->scan.stop_at(StopReason::read_error);
    impl->scan.stop.error_number = error;
    return Reader(std::move(impl));
  }
  return Reader(std::make_unique<FileSource>(file, true), block_size);
}

Reader Reader::over_memory(const void* data, std::size_t size) {
  auto impl = std::make_unique<Impl>();
  impl->scan.input = make_memory_input(static_cast<const unsigned char*>(data), size);
  return Reader(std::move(impl));
}

Reader Reader::over_stream(std::FILE* stream, std::size_t block_size) {
  return Reader(std::make_unique<FileSource>(stream, false), block_size);
}

Reader Reader::over_stream(std::istream& stream, std::size_t block_size) {
  return Reader(std::make_unique<StreamSource>(stream), block_size);
}

bool Reader::next() {
  return impl_->next(true);
}

bool Reader::next(bool with_descriptors) {
  return impl_->next(with_descriptors);
}

const Record& Reader::record() const {
  return impl_->record;
}

const Stop& Reader::stop() const {
  return impl_->scan.stop;
}

std::string describe(const Stop& stop) {
  char text[256];
  const int n = std::snprintf(text, sizeof text, "record %" PRId64 " at byte %" PRIu64 ": ",
                              stop.record_number, stop.offset);
  const std::size_t room = sizeof text - static_cast<std::size_t>(n);
  char* const rest = text + n;
  switch (stop.reason) {
    case StopReason::none:
      return "not stopped";
    case StopReason::end_of_file:
      return "end of file";
    case StopReason::bad_marker:
      std::snprintf(rest, room, "first byte is %d, not the record marker %d", stop.first_byte,
                    kRecordMarker);
      break;
    case StopReason::truncated:
      std::snprintf(rest, room, "truncated record, %zu of %zu bytes", stop.available, kRecordSize);
      break;
    case StopReason::read_error:
      std::snprintf(rest, room, "cannot read: %s",
                    std::strerror(stop.error_number != 0 ? stop.error_number : EIO));
      break;
    case StopReason::check_failed:
      std::snprintf(rest, room, "record check failed: %s",
                    stop.no_antennas ? "A is 0 (no antennas)" : "16*u + l is 0");
      break;
  }
  return text;
}

}  // namespace vexo
