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
#include <memory>
#include <utility>
#include <vector>

#include "listing/listing_output.h"
#include "vexo/record.h"
#include "vexo/values.h"

namespace vexo {

// The field " %3.0f" of a phase in degrees, for one direction (phase offset and sign), found
// from v, the value on the 0..256 scale after the correction (float(sample - term)), by a table
// instead of being worked out. The degrees are a function of v alone, and each step from v to
// them is monotone except for the single turns at 2 pi and at 0; so the field is a step
// function of v. The table cuts kLow..kHigh into cells of half a unit and holds for each cell the
// 32-bit real at which its one step (if any) lies, with the field below and from there on.
// Cells are made when first used, by bisection over the 32-bit reals with the direct
// computation, and hold no field where the cell has two steps, lies within half a unit of 0 (the
// small reals there are too many to check) or at either end (everything outside the range), or
// where a field is longer than eight characters: those values are worked out directly. That
// every real of the range gets its direct field is checked for all of them by a test.
class DegreeFieldTable {
 public:
  static constexpr float kLow = -1024.0f, kHigh = 1280.0f;
  static constexpr float kScale = 2.0f;  // cells per unit
  static constexpr int32_t kCells = static_cast<int32_t>((kHigh - kLow) * kScale);
  // Field numbers: kDirect means none (work the value out), kUnmade a cell not made yet.
  static constexpr uint16_t kDirect = 0, kUnmade = 1;

  DegreeFieldTable(int32_t phase_offset, int32_t phase_sign);
  int32_t phase_offset() const { return offset_; }
  int32_t phase_sign() const { return sign_; }

  static int32_t cell_of(float v) {
    float x = v * kScale - kLow * kScale;  // exact: multiplying by 2 and one rounded sum
    x = x > 0.0f ? x : 0.0f;               // also a NaN
    x = x < static_cast<float>(kCells - 1) ? x : static_cast<float>(kCells - 1);
    return static_cast<int32_t>(x);
  }
  // The field number of v in its cell as made so far (kUnmade if not made yet).
  uint16_t lookup(float v) const {
    const Cell& cell = cells_[static_cast<std::size_t>(cell_of(v))];
    return cell.field[static_cast<std::size_t>(v >= cell.threshold)];  // without a branch
  }
  // The same, making the cell first when needed: kDirect or a field.
  uint16_t field_of(float v) {
    const uint16_t field = lookup(v);
    if (field != kUnmade) return field;
    make_cell(cell_of(v));
    return lookup(v);
  }
  // The characters of a field, zeros after them up to eight, and how many they are.
  const uint64_t* texts() const { return texts_.data(); }
  const uint8_t* lengths() const { return lengths_.data(); }

 private:
  struct Cell {
    float threshold = 0.0f;
    uint16_t field[2] = {kUnmade, kUnmade};  // below the threshold, at it and above
  };
  void make_cell(int32_t c);
  uint64_t text_at(uint32_t key) const;  // the field of the real with that order key, 0 if long
  uint16_t number_of(uint64_t text);

  int32_t offset_, sign_;
  std::vector<Cell> cells_;
  std::vector<uint64_t> texts_;
  std::vector<uint8_t> lengths_;
  std::vector<std::pair<uint64_t, uint16_t>> numbers_;  // sorted by text
};

class PhaseFields {
 public:
  // `use_table` false: values of records listed directly are all worked out (DegreeFieldTable
  // not used), to compare with.
  explicit PhaseFields(bool use_table = true);

  // Prepares for a record with these parameters.
  void begin_record(const PhaseParameters& p);
  // Whether the record in hand is listed directly, every value worked out.
  bool direct() const { return direct_; }

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

  char* put_direct(ListingOutput& out, char* p, const SampleLine& line, const LinePlan& plan);

  bool use_table_;
  std::array<std::unique_ptr<DegreeFieldTable>, 2> tables_;  // by direction, made when needed
  DegreeFieldTable* table_ = nullptr;                        // that of the record in hand
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
