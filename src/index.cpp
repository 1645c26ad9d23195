#include "vexo/index.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <system_error>

#include "src/descriptors.h"
#include "src/record_layout.h"

namespace vexo {
namespace {

int16_t clock_field(int32_t v) {
  // The header's clock fields have at most three digits.
  return static_cast<int16_t>(v);
}

}  // namespace

IndexEntry Index::entry_of(const Record& record) {
  const HeaderFields& h = record.header();
  const DerivedValues& d = record.derived();
  IndexEntry e{};
  e.offset = record.offset();
  e.number = record.number();
  e.line_spacing = d.line_spacing;
  e.rate = d.rate_known ? d.rate : std::numeric_limits<double>::quiet_NaN();
  e.FREQ = h.FREQ;
  e.year = clock_field(h.year);
  e.day = clock_field(h.day);
  e.hour = clock_field(h.hour);
  e.minute = clock_field(h.minute);
  e.second = clock_field(h.second);
  e.N = static_cast<int8_t>(h.N);
  e.A = static_cast<int8_t>(h.A);
  e.H = static_cast<int8_t>(h.H);
  e.backwards = d.phase_sign < 0 ? 1 : 0;
  e.subblock_count = static_cast<int16_t>(d.subblock_count);
  e.taken_subblocks = e.subblock_count;
  return e;
}

Index Index::of_reader(Reader& reader, const Selection& given, std::size_t expected) {
  const Selection selection = given.checked();
  Index index;
  index.entries_.reserve(expected);
  const bool filter = selection.filters_subblocks();
  const int64_t last = selection.last_record();
  while (true) {
    if (last > 0 && !index.entries_.empty() && index.entries_.back().number >= last) {
      index.read_to_end_ = false;
      break;
    }
    if (!reader.next(filter)) break;
    const Record& record = reader.record();
    IndexEntry e = entry_of(record);
    if (filter) {
      int16_t taken = 0;
      for (int32_t s = 0; s < record.subblock_count(); ++s) {
        if (selection.takes_subblock(record.descriptor(s))) ++taken;
      }
      e.taken_subblocks = taken;
    }
    index.entries_.push_back(e);
  }
  index.stop_ = reader.stop();
  return index;
}

Index Index::of_file(const std::string& path, const Selection& given) {
  const Selection selection = given.checked();
  Reader reader = Reader::open(path);
  // Room for every record of the file at once: the entries are not moved as they grow.
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  std::size_t records = error ? 0 : static_cast<std::size_t>(size / kRecordSize + 1);
  if (const int64_t last = selection.last_record()) {
    records = std::min(records, static_cast<std::size_t>(last));
  }
  return of_reader(reader, selection, records);
}

Index Index::of_memory(const void* data, std::size_t size, const Selection& selection) {
  Reader reader = Reader::over_memory(data, size);
  return of_reader(reader, selection);
}

std::vector<Shape> Index::shapes() const {
  std::vector<Shape> out;
  for (const IndexEntry& e : entries_) {
    bool seen = false;
    for (Shape& s : out) {
      if (s.N == e.N && s.A == e.A) {
        ++s.records;
        seen = true;
        break;
      }
    }
    if (!seen) out.push_back({e.N, e.A, 1});
  }
  return out;
}

HeaderFields header_of(const IndexEntry& e) {
  HeaderFields h;
  h.year = e.year, h.day = e.day, h.hour = e.hour, h.minute = e.minute, h.second = e.second;
  h.FREQ = e.FREQ;
  h.FF = e.backwards ? 0xFE : 0;
  h.H = e.H;
  h.N = e.N;
  h.A = e.A;
  return h;
}

DerivedValues derived_of(const IndexEntry& e) {
  DerivedValues d;
  d.subblock_count = e.subblock_count;
  d.sample_count = int32_t{1} << e.N;
  d.line_spacing = e.line_spacing;
  d.rate_known = !std::isnan(e.rate);
  d.rate = d.rate_known ? e.rate : 0.0;
  d.phase_offset = e.backwards ? 255 : 0;
  d.phase_sign = e.backwards ? -1 : 1;
  return d;
}

bool entry_is_sound(const IndexEntry& e) {
  return e.N >= 0 && e.N <= 9 && e.A >= 1 && e.A <= 9 &&
         e.subblock_count == subblock_count(e.A, e.N) && e.taken_subblocks >= 0 &&
         e.taken_subblocks <= e.subblock_count;
}

std::size_t record_reach(const IndexEntry& e) {
  if (e.subblock_count <= 0) return kRecordSize;
  const std::size_t last_bit =
      4 * (kHeaderNibbles + kDescriptorNibbles * static_cast<std::size_t>(e.subblock_count)) - 1;
  const std::size_t reach = channel_byte_offset(last_bit) + 1;
  return reach > kRecordSize ? reach : kRecordSize;
}

}  // namespace vexo
