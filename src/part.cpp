#include "vexo/part.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "src/descriptors.h"
#include "src/record_layout.h"

namespace vexo {
namespace {

// A refill reads on over the records that follow while they lie close: a run of records is
// read in one go, records far apart each on their own.
constexpr std::size_t kWindow = std::size_t{4} << 20;
constexpr uint64_t kGap = uint64_t{64} << 10;

template <typename T>
void fill(T* at, std::size_t count, T value) {
  if (at != nullptr) std::fill(at, at + count, value);
}

}  // namespace

PartReader::PartReader(RandomSource& source, Selection selection, bool correct)
    : source_(source),
      selection_(std::move(selection)),
      correct_(correct),
      descriptors_(kMaxSubblocks) {}

bool PartReader::fail(const IndexEntry& entry, const std::string& what) {
  error_ = "record " + std::to_string(entry.number) + " at byte " + std::to_string(entry.offset) +
           ": " + what;
  return false;
}

bool PartReader::view_of(const IndexEntry& e, const unsigned char*& bytes, std::size_t& size) {
  const std::size_t reach = record_reach(e);
  std::size_t memory_size = 0;
  if (const unsigned char* memory = source_.memory(memory_size)) {
    bytes = memory + std::min<uint64_t>(e.offset, memory_size);
    size = e.offset >= memory_size ? 0 : std::min<uint64_t>(reach, memory_size - e.offset);
    return true;
  }
  const uint64_t end = buffer_offset_ + buffer_size_;
  // The window holds the record's reach, or every byte of the file from the record on.
  if (e.offset < buffer_offset_ ||
      (e.offset + reach > end && !(buffer_at_end_ && e.offset <= end))) {
    // The window ends where the caller's next records stop lying close (read() sets the
    // stretch ahead into buffer_offset_ and buffer_size_ before it asks).
    return false;
  }
  bytes = buffer_.data() + (e.offset - buffer_offset_);
  size = static_cast<std::size_t>(std::min<uint64_t>(reach, end - e.offset));
  return true;
}

bool PartReader::read(const IndexEntry* entries, std::size_t count, int32_t width,
                      const PartArrays& out) {
  error_.clear();
  if (count == 0) return true;
  const int32_t N = entries[0].N, A = entries[0].A;
  if (width < 0 || width > kMaxSubblocks) {
    return fail(entries[0],
                "a part has 0 to " + std::to_string(kMaxSubblocks) + " subblock places a record");
  }
  for (std::size_t r = 0; r < count; ++r) {
    if (!entry_is_sound(entries[r])) return fail(entries[r], "not an entry of an index");
    if (entries[r].N != N || entries[r].A != A) {
      return fail(entries[r], "a part holds records of one shape");
    }
  }
  antennas_ = selection_.antenna_indexes(A);
  const std::size_t n = std::size_t{1} << N;
  const std::size_t per_place = antennas_.size() * n;
  const std::size_t per_record = static_cast<std::size_t>(width) * per_place;
  const float nan = std::numeric_limits<float>::quiet_NaN();

  for (std::size_t r = 0; r < count; ++r) {
    const IndexEntry& e = entries[r];
    const unsigned char* bytes = nullptr;
    std::size_t size = 0;
    if (!view_of(e, bytes, size)) {
      // Refill from this record over the records after it that lie close.
      uint64_t end = e.offset + record_reach(e);
      for (std::size_t q = r + 1; q < count; ++q) {
        const uint64_t next_end = entries[q].offset + record_reach(entries[q]);
        if (entries[q].offset > end + kGap || next_end - e.offset > kWindow) break;
        end = std::max(end, next_end);
      }
      const std::size_t want = static_cast<std::size_t>(end - e.offset);
      if (buffer_.size() < want) buffer_.resize(std::max(want, std::min(kWindow, 2 * want)));
      int error = 0;
      const std::size_t got = source_.read_at(e.offset, buffer_.data(), want, error);
      if (got == 0 && error != 0) {
        buffer_size_ = 0;
        return fail(e, std::string("cannot read: ") + std::strerror(error));
      }
      buffer_offset_ = e.offset;
      buffer_size_ = got;
      buffer_at_end_ = got < want;
      view_of(e, bytes, size);
    }
    if (size < kRecordSize || bytes[0] != kRecordMarker) {
      return fail(e, "the file no longer holds the record its index has (changed since)");
    }
    const HeaderFields header = header_of(e);
    const DerivedValues derived = derived_of(e);
    read_descriptors(RecordView{bytes, size}, header, descriptors_.data());
    const Record record(
        Record::Parts{e.number, e.offset, bytes, &header, &derived, descriptors_.data()});

    subblocks_.clear();
    for (int32_t s = 0; s < e.subblock_count; ++s) {
      if (selection_.takes_subblock(descriptors_[static_cast<std::size_t>(s)])) {
        subblocks_.push_back(s);
      }
    }
    if (subblocks_.size() > static_cast<std::size_t>(width)) {
      return fail(e, "the record takes " + std::to_string(subblocks_.size()) +
                         " subblocks, more than the part's " + std::to_string(width));
    }
    const std::size_t taken = subblocks_.size();
    const std::size_t place0 = r * static_cast<std::size_t>(width);
    for (std::size_t i = 0; i < taken; ++i) {
      const Descriptor& d = descriptors_[static_cast<std::size_t>(subblocks_[i])];
      if (out.subblock_number)
        out.subblock_number[place0 + i] = static_cast<int16_t>(subblocks_[i]);
      if (out.frequency) out.frequency[place0 + i] = d.frequency;
      if (out.height) out.height[place0 + i] = d.height;
      if (out.gain) out.gain[place0 + i] = static_cast<int8_t>(d.gain);
      if (out.polarization) out.polarization[place0 + i] = static_cast<int8_t>(d.polarization);
    }
    const std::size_t rest = static_cast<std::size_t>(width) - taken;
    fill(out.subblock_number ? out.subblock_number + place0 + taken : nullptr, rest, int16_t{-1});
    fill(out.frequency ? out.frequency + place0 + taken : nullptr, rest, nan);
    fill(out.height ? out.height + place0 + taken : nullptr, rest, nan);
    fill(out.gain ? out.gain + place0 + taken : nullptr, rest, int8_t{-1});
    fill(out.polarization ? out.polarization + place0 + taken : nullptr, rest, int8_t{-1});

    const Cut cut{subblocks_.data(), taken, antennas_.data(), antennas_.size()};
    const std::size_t at = r * per_record, used = taken * per_place;
    const std::size_t left = per_record - used;
    if (out.phase) {
      gather(record, SampleKind::phase, cut, out.phase + at);
      fill(out.phase + at + used, left, uint8_t{0});
    }
    if (out.amplitude) {
      gather(record, SampleKind::amplitude, cut, out.amplitude + at);
      fill(out.amplitude + at + used, left, uint8_t{0});
    }
    if (out.phase_degrees) {
      if (taken > 0) phases_.convert(record, cut, correct_, out.phase_degrees + at);
      fill(out.phase_degrees + at + used, left, nan);
    }
    if (out.amplitude_db) {
      amplitude_db(record, cut, out.amplitude_db + at);
      fill(out.amplitude_db + at + used, left, nan);
    }
  }
  return true;
}

}  // namespace vexo
