// What is taken of a file: which records, which subblocks (by their descriptors) and which
// antennas. One selection serves every reader of the library, so that a subblock is taken by
// the same rule wherever it is read.
//
//   vexo::Selection s;
//   s.frequencies = {3200};  // subblocks at 3200 kHz
//   s.antennas = {1, 2};     // antennas 1 and 2, in this order
//   s.records = {{1, 100}};  // records 1 to 100
#pragma once

#include <cstdint>
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
  // Record numbers (from 1) as ranges of first and last, ascending and apart; empty: all.
  std::vector<std::pair<int64_t, int64_t>> records;

  bool filters_subblocks() const {
    return !frequencies.empty() || !heights.empty() || !polarizations.empty();
  }
  bool takes_subblock(const Descriptor& d) const;
  bool takes_record(int64_t number) const;
  // The last record asked for; 0 when every record is.
  int64_t last_record() const { return records.empty() ? 0 : records.back().second; }
  // The antennas (indexes from 0) taken of a record of A antennas: those asked for that it has.
  std::vector<int32_t> antenna_indexes(int32_t A) const;
  // An antenna asked for that a record of A antennas does not have; 0 when there is none.
  int32_t missing_antenna(int32_t A) const;
  // Null when the selection is sound, else one line that says what is wrong with it (a range
  // out of order, an antenna twice or below 1, a NaN).
  const char* fault() const;
};

}  // namespace vexo
