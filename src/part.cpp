#include "vexo/part.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "src/descriptors.h"
#include "src/header.h"
#include "src/record_layout.h"
#include "src/record_values.h"

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

// Calls f(array, kind) for every array of `arrays` with its kind.
template <typename F, std::size_t... I>
constexpr void each_array(const PartArrays& arrays, F&& f, std::index_sequence<I...>) {
  (f(std::get<I>(arrays.all()), kPartKinds[I]), ...);
}
template <typename F>
constexpr void each_array(const PartArrays& arrays, F&& f) {
  each_array(arrays, f, std::make_index_sequence<kPartKinds.size()>());
}

// The element type of each kind is that of its array.
template <typename T>
constexpr bool is_dtype(const char* dtype) {
  const char code = std::is_floating_point_v<T> ? 'f' : std::is_signed_v<T> ? 'i' : 'u';
  return dtype[0] == code && dtype[1] == static_cast<char>('0' + sizeof(T)) && dtype[2] == '\0';
}
constexpr bool kinds_match_arrays() {
  bool match = true;
  each_array(PartArrays(), [&](auto* array, const PartKind& kind) {
    match = match && is_dtype<std::remove_pointer_t<decltype(array)>>(kind.dtype);
  });
  return match;
}
static_assert(kinds_match_arrays(), "each kind of kPartKinds has the element type of its array");

bool same(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

// Whether the record's header says what its index entry does: the clock, FREQ, shape, H, the
// phase scale's direction, and the line spacing and rate that D1, D2, R and X give. A header
// field that does not parse keeps the entry's value, as it kept the record before's when the
// file was indexed; D1, D2, R and X, which the entry holds only as the values they give, are
// compared through those values where the record's own digits are read.
bool header_matches(const RecordView& view, const IndexEntry& e) {
  constexpr int32_t kUnread = -1;  // no digit reads as this
  HeaderFields h = header_of(e);
  h.D1 = h.D2 = h.R = h.X = kUnread;
  read_header(view, h);
  if (!(h.year == e.year && h.day == e.day && h.hour == e.hour && h.minute == e.minute &&
        h.second == e.second && h.FREQ == e.FREQ && h.N == e.N && h.A == e.A && h.H == e.H &&
        (h.FF == 0xFE) == (e.backwards != 0))) {
    return false;
  }
  const bool spacing_read = h.D1 != kUnread && h.D2 != kUnread;
  const bool rate_read = h.R != kUnread && h.X != kUnread;
  if (!spacing_read && !rate_read) return true;
  HeaderFields read = h;
  if (!spacing_read) read.D1 = read.D2 = 0;
  if (!rate_read) read.R = 1, read.X = 0;  // selects no rate: the entry's carries over
  DerivedValues d = derived_of(e);
  derive_values(read, d);
  return (!spacing_read || same(d.line_spacing, e.line_spacing)) &&
         (!rate_read || same(d.rate_known ? d.rate : std::nan(""), e.rate));
}

}  // namespace

PartReader::PartReader(RandomSource& source, Selection selection, bool correct)
    : source_(source),
      selection_(selection.checked()),
      correct_(correct),
      descriptors_(kMaxSubblocks) {}

bool PartReader::fail(const IndexEntry& entry, const std::string& what) {
  buffer_size_ = 0;  // a later read reads the file afresh
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
    if (size < kRecordSize || bytes[0] != kRecordMarker ||
        !header_matches(RecordView{bytes, size}, e)) {
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
    const Cut cut{subblocks_.data(), taken, antennas_.data(), antennas_.size()};
    const std::size_t at = r * per_record, used = taken * per_place;
    if (out.phase) gather(record, SampleKind::phase, cut, out.phase + at);
    if (out.amplitude) gather(record, SampleKind::amplitude, cut, out.amplitude + at);
    if (out.phase_degrees && taken > 0) {
      phases_.convert(record, cut, correct_, out.phase_degrees + at);
    }
    if (out.amplitude_db) amplitude_db(record, cut, out.amplitude_db + at);

    // The places left over.
    const std::size_t rest = static_cast<std::size_t>(width) - taken;
    each_array(out, [&](auto* array, const PartKind& kind) {
      using T = std::remove_pointer_t<decltype(array)>;
      if (kind.per_sample) {
        fill(array ? array + at + used : nullptr, per_record - used, static_cast<T>(kind.fill));
      } else {
        fill(array ? array + place0 + taken : nullptr, rest, static_cast<T>(kind.fill));
      }
    });
  }
  return true;
}

}  // namespace vexo
