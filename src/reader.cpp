#include "vexo/reader.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "src/block_input.h"
#include "src/descriptors.h"
#include "src/file_source.h"
#include "src/record_reader.h"
#include "src/record_values.h"

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
  BlockInput input;
  HeaderFields header;  // as the next record's header starts from (R folded)
  HeaderFields shown;   // the current record's header as read
  DerivedValues derived;
  DescriptorTable descriptors{};
  Record record;
  Stop stop;
  int64_t record_number = 0;
  bool has_record = false;

  void stop_at(StopReason reason) {
    record = Record();
    stop.reason = reason;
    stop.record_number = record_number;
    stop.offset = input.start_offset;
  }

  Record::Parts parts() const {
    return {record_number, input.start_offset, input.data + input.start,
            &shown,        &derived,           descriptors.data()};
  }

  bool next() {
    if (stop.reason != StopReason::none) return false;
    if (has_record) advance_record(input);
    has_record = false;
    ++record_number;
    const RecordRead read = read_record(input, header, descriptors);
    switch (read.status) {
      case RecordStatus::decoded:
        break;
      case RecordStatus::end_of_file:
        stop_at(StopReason::end_of_file);
        return false;
      case RecordStatus::bad_marker:
        stop_at(StopReason::bad_marker);
        stop.first_byte = read.first_byte;
        return false;
      case RecordStatus::truncated:
        stop_at(StopReason::truncated);
        stop.available = read.available;
        return false;
      case RecordStatus::read_error:
        stop_at(StopReason::read_error);
        stop.error_number = input.read_error;
        return false;
    }
    shown = header;
    if (!record_passes_check(header)) {
      DerivedValues none;
      none.rate = derived.rate;
      none.rate_known = derived.rate_known;
      derived = none;
      stop_at(StopReason::check_failed);
      record = Record(parts());
      stop.no_antennas = header.A == 0;
      return false;
    }
    derive_values(header, derived);
    record = Record(parts());
    has_record = true;
    return true;
  }
};

Reader::Reader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Reader::Reader(std::unique_ptr<ByteSource> source, std::size_t block_size)
    : impl_(std::make_unique<Impl>()) {
  impl_->source = std::move(source);
  impl_->input = make_block_input(impl_->source.get(), block_size);
  if (impl_->source == nullptr) impl_->input.read_error = EINVAL;
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
    impl->record_number = 1;
    impl->stop_at(StopReason::read_error);
    impl->stop.error_number = error;
    return Reader(std::move(impl));
  }
  return Reader(std::make_unique<FileSource>(file, true), block_size);
}

Reader Reader::over_memory(const void* data, std::size_t size) {
  auto impl = std::make_unique<Impl>();
  impl->input = make_memory_input(static_cast<const unsigned char*>(data), size);
  return Reader(std::move(impl));
}

Reader Reader::over_stream(std::FILE* stream, std::size_t block_size) {
  return Reader(std::make_unique<FileSource>(stream, false), block_size);
}

Reader Reader::over_stream(std::istream& stream, std::size_t block_size) {
  return Reader(std::make_unique<StreamSource>(stream), block_size);
}

bool Reader::next() {
  return impl_->next();
}

const Record& Reader::record() const {
  return impl_->record;
}

const Stop& Reader::stop() const {
  return impl_->stop;
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
