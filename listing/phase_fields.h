// The phase fields of a listing in degrees, " %3.0f" of each value. A field depends on the
// sample byte, the record's phase parameters and, with the antenna correction, on the product
// m = j * line_offset(k) of antenna index j and sample index k.
//
// Fields are kept as text in rows, one row per parameter set and m, 256 fields by sample byte;
// a field is made when it is first used, so every value is computed at most once, as the direct
// computation would, and only the copies are saved. The first record of a parameter set that is
// not kept is listed directly, and the set is kept from then on: a file whose program changes
// every record is listed as fast as the direct computation allows, and a few programs in turn
// are listed from kept fields.
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

  // Prepares for a record with these parameters.
  void begin_record(const PhaseParameters& p);

  // Writes the fields of one antenna line (antenna index j) at p, flushing the listing as
  // needed; returns the end of what was written.
  char* put_line(ListingOutput& out, char* p, const SampleLine& line, int32_t j);

 private:
  // The fields of one product m by sample byte: " ddd" once made (a field that is not four
  // characters long is never kept), four NULs while not made.
  struct Row {
    char text[256][4];
  };
  // One antenna's line in records of the set: for each sample index k its row (none when the
  // record is listed directly or the pool is full) and the correction term.
  struct LinePlan {
    bool ready = false;
    bool all_rows = false;  // every sample index has a row
    std::vector<Row*> rows;
    std::vector<long double> terms;
  };

  // What is kept of one parameter set, by product m (at m + kMaxProduct): its row in the pool
  // (-1 while it has none) and its correction term (NaN while not worked out). Entries are
  // valid for the products lo..hi that records of the set have used so far.
  struct Set {
    bool used = false;
    PhaseParameters key;  // sample_count plays no part
    uint64_t last_use = 0;
    int32_t lo = 0, hi = -1;
    std::vector<int32_t> row_of;
    std::vector<long double> term_of;
    // The line plans, for records of plan_count samples a line listed with rows or not.
    int32_t plan_count = 0;
    bool plans_direct = false;
    std::array<LinePlan, kMaxAntennas> plans;
  };
  static constexpr int kSets = 8;
  static constexpr int32_t kMaxProduct = 896;  // |m| of any record: 7 * 128 with N 8, A 8
  // 4 MiB: the rows of two records of the largest shapes (up to 1793 products each).
  static constexpr int32_t kPoolRows = 4096;
  // Fields made without a row, because the pool was full, before the pool is emptied for the
  // parameter sets in use now: refilling it then costs no more than what was made without it.
  static constexpr int64_t kRefillAfter = int64_t{64} * 1024;

  void cover(int32_t lo, int32_t hi);
  Row* row_for(int32_t m);
  long double term_for(int32_t m);
  void clear_pool();
  static void drop_plans(Set& set);
  void make_plan(LinePlan& plan, int32_t j);

  std::vector<Row> pool_;
  int32_t pool_used_ = 0;
  int64_t made_without_row_ = 0;
  std::array<Set, kSets> sets_;
  uint64_t uses_ = 0;

  // The record in hand.
  PhaseParameters p_;
  Set* set_ = nullptr;
  bool direct_ = true;  // the record is listed without rows
};

}  // namespace vexo
