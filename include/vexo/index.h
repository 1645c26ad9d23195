// The index of a DFT file: one pass over the record headers that says, for every record, where
// it lies, what shape it has and everything its values depend on that earlier records carry
// (header fields that a record cannot read itself, the rate set by an earlier record). With it,
// the values of any records can be read from the middle of the file (vexo/part.h) exactly as a
// read from the first record gives them.
//
//   const vexo::Index index = vexo::Index::of_file("day342.dft");
//   for (const vexo::IndexEntry& e : index.entries()) {
//     std::cout << "record " << e.number << " at byte " << e.offset << ": 2^" << int{e.N}
//               << " samples, " << int{e.A} << " antennas\n";
//   }
//   if (!index.stop().clean()) std::cerr << vexo::describe(index.stop()) << '\n';
//
// The index holds the records that the reader hands out (those before any damage) and stops
// where the reader stops, for the same reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vexo/reader.h"
#include "vexo/record.h"
#include "vexo/selection.h"

namespace vexo {

// One record. The layout is fixed (56 bytes, no padding but the tail), so that an array of
// entries can be handed to other languages as it is.
struct IndexEntry {
  uint64_t offset;      // byte offset of the record in the file
  int64_t number;       // from 1
  double line_spacing;  // as DerivedValues::line_spacing (+inf: none)
  double rate;          // the rate in force (DerivedValues::rate); NaN while none is
  float FREQ;           // the header's frequency
  // The header's clock fields.
  int16_t year, day, hour, minute, second;
  int8_t N, A;       // the shape: 2^N samples, A antennas
  int8_t H;          // the header's H (heights 1.25 times their digits when 2)
  int8_t backwards;  // 1 when FF is 0xFE (the phase scale runs backwards)
  int16_t subblock_count;
  // The subblocks that the selection of the index takes (all when it filters none).
  int16_t taken_subblocks;
  int16_t reserved;
};
static_assert(sizeof(IndexEntry) == 56, "IndexEntry is handed out as 56 bytes");

struct Shape {
  int32_t N = 0, A = 0;
  int64_t records = 0;  // records of the index with this shape
};

class Index {
 public:
  // Indexes from a reader that has not yet moved: every record up to where it stops, or up
  // to the last record the selection asks for (then read_to_end() is false). Only record
  // headers are decoded, and descriptors too when the selection filters subblocks (to count
  // the subblocks it takes). A pipe works: nothing is read twice. `expected`: the records
  // there is room for from the start (a guess; more are taken as they come). The selection
  // is taken as Selection::checked() makes it (its record ranges in any order):
  // std::invalid_argument, before anything is read, when it has a fault.
  static Index of_reader(Reader& reader, const Selection& selection = Selection(),
                         std::size_t expected = 0);
  static Index of_file(const std::string& path, const Selection& selection = Selection());
  static Index of_memory(const void* data, std::size_t size,
                         const Selection& selection = Selection());

  const std::vector<IndexEntry>& entries() const { return entries_; }
  std::vector<IndexEntry>& entries() { return entries_; }
  // The shapes of the records, in the order first seen.
  std::vector<Shape> shapes() const;
  const Stop& stop() const { return stop_; }
  // False when indexing stopped after the last record the selection asks for.
  bool read_to_end() const { return read_to_end_; }

  // The entry made from a record that the reader hands out, its subblocks all taken.
  static IndexEntry entry_of(const Record& record);

 private:
  std::vector<IndexEntry> entries_;
  Stop stop_;
  bool read_to_end_ = true;
};

// The record header and derived values that an entry stands for: the fields that the values
// of the record depend on (shape, H, FF, clock, FREQ), every other field 0.
HeaderFields header_of(const IndexEntry& entry);
DerivedValues derived_of(const IndexEntry& entry);

// True when the entry is one that an index makes: N 0..9, A 1..9, the subblock count that N
// and A give, and no more subblocks taken than that. Parts refuse any other entry.
bool entry_is_sound(const IndexEntry& entry);

// How far past its start a record's header channel reaches: the bytes that must be read to
// decode it (at least kRecordSize).
std::size_t record_reach(const IndexEntry& entry);

}  // namespace vexo
