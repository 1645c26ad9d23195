// What is taken of a file: which records, which subblocks (by their descriptors) and which
// antennas. One selection serves every reader of the library, so that a subblock is taken by
// the same rule wherever it is read. Every part of the library that takes a selection (the
// index, the part reader) takes it as checked() makes it: record ranges in any order, merged
// where they overlap or meet, and std::invalid_argument for a selection with a fault.
//
//   vexo::Selection s;
//   s.frequencies = {3200};           // subblocks at 3200 kHz
//   s.antennas = {1, 2};              // antennas 1 and 2, in this order
//   s.records = {{50, 100}, {1, 9}};  // records 1 to 9 and 50 to 100
#pragma once

#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "vexo/record.h"

namespace vexo {

// A descriptor's real matches a value asked for when the two are equal as reals, the
// descriptor's 32-bit real widened: 3200 matches, 3200.5 matches no descriptor.
inline bool descriptor_real_matches(double wanted, float value) {
  return wanted == static_cast<double>(value);
}

struct Selection {
  // A subblock is taken when its descriptor matches one value of each list that is not
  // empty; an empty list takes every value.
  std::vector<double> frequencies;  // kHz
  std::vector<double> heights;      // km
  std::vector<int32_t> polarizations;
  // Antennas by number (from 1), in the order wanted, each once; empty: every antenna.
  std::vector<int32_t> antennas;
  // Record numbers (from 1) as ranges of first and last, both taken; empty: all. checked()
  // sorts them and merges those that overlap or meet.
  std::vector<std::pair<int64_t, int64_t>> records;

  bool filters_subblocks() const {
    return !frequencies.empty() || !heights.empty() || !polarizations.empty();
  }
  bool takes_subblock(const Descriptor& d) const;
  // Whether a record is asked for, and the last record asked for (0 when every record is): of
  // ranges ascending and apart, as checked() leaves them.
  bool takes_record(int64_t number) const;
  int64_t last_record() const { return records.empty() ? 0 : records.back().second; }
  // The antennas (indexes from 0) taken of a record of A antennas: those asked for that it has.
  std::vector<int32_t> antenna_indexes(int32_t A) const;
  // An antenna asked for that a record of A antennas does not have; 0 when there is none.
  int32_t missing_antenna(int32_t A) const;
  // Null when the selection is sound, else one line that says what is wrong with it: a record
  // range not of numbers from 1 or its first above its last, ranges out of order or not apart
  // (which checked() mends), an antenna twice or below 1, a NaN.
  const char* fault() const;
  // The selection as the library takes it: its record ranges sorted, and merged where they
  // overlap or meet ({5, 9} and {1, 5} are {1, 9}, as are {6, 9} and {1, 5}).
  // std::invalid_argument with the text of fault() when the selection has any other fault.
  Selection checked() const;
};

}  // namespace vexo
