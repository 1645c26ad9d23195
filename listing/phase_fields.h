// The phase fields of a listing in degrees, " %3.0f" of each value. A field depends on the
// sample byte, the record's phase parameters and, with the antenna correction, on the product
// m = j * line_offset(k) of antenna index j and sample index k.
//
// Fields are kept as text in rows, one row per parameter set and m, 256 fields by sample byte;
// a field is made when it is first used, so keeping it costs nothing beyond making it once. The
// first record of a parameter set that is not kept is listed directly, value by value, and the
// set is kept from then on: a file whose program changes every record is listed as fast as the
// direct computation allows, and a few programs in turn are listed from kept fields.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "listing/listing_output.h"
#include "vexo/record.h"
#include "vexo/values.h"

namespace vexo {

class PhaseFields {
 public:
  PhaseFields();

  // Prepares for a record with these parameters and `antennas` antennas.
  void begin_record(const PhaseParameters& p, int32_t antennas);

  // Writes the fields of one antenna line (antenna index j) at p, flushing the listing as
  // needed; returns the end of what was written.
  char* put_line(ListingOutput& out, char* p, const SampleLine& line, int32_t j);

 private:
  struct Field {
    char text[4];
    uint32_t stamp;  // the field holds its text while this equals its row's stamp
  };
  using Row = std::array<Field, 256>;
  struct Set {
    bool used = false;
    PhaseParameters key;  // sample_count plays no part
    uint64_t last_use = 0;
    std::vector<int32_t> row_of;  // pool row of m at m + kMaxProduct; -1 while it has none
  };
  // The row and its stamp for each sample index of one antenna's line in the record in hand.
  struct LinePlan {
    bool ready = false;
    std::vector<Field*> rows;
    std::vector<uint32_t> stamps;
  };

  static constexpr int kSets = 8;
  static constexpr int32_t kMaxProduct = 896;  // |m| of any record: 7 * 128 with N 8, A 8
  static constexpr int32_t kPoolRows = 2048;   // 4 MiB; more than any one record needs

  int32_t row_for(int64_t m);
  void clear_pool();
  const LinePlan& plan_for(int32_t j);
  char* put_direct(ListingOutput& out, char* p, const SampleLine& line, int32_t j);

  std::vector<Row> pool_;
  std::vector<uint32_t> row_stamps_;
  int32_t pool_used_ = 0;
  uint32_t last_stamp_ = 0;
  std::array<Set, kSets> sets_;
  uint64_t uses_ = 0;

  // The record in hand.
  PhaseParameters p_;
  Set* set_ = nullptr;  // none: this record is listed directly
  std::array<LinePlan, kMaxAntennas> plans_;
  // Direct listing: the correction term of sample index k of antenna j at j * sample_count + k.
  std::vector<long double> terms_;
  std::array<bool, kMaxAntennas> terms_ready_{};
};

}  // namespace vexo
