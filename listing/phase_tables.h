// The phase fields as text, built once for each set of phase parameters and kept while records
// use them. A field depends on the sample byte and, with the antenna correction, on the product
// m = j * line_offset(k); a row holds the fields of all 256 sample values for one m. Rows are
// built when first needed. A few parameter sets are kept at a time (a file may cycle through
// record shapes); the memory for rows is bounded, and when it is used up all rows are dropped
// and built again as needed.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "listing/field_text.h"
#include "listing/phase_values.h"

namespace vexo {

using PhaseField = FieldText<8>;
struct PhaseRow {
  std::array<PhaseField, 256> fields;  // by sample byte
  bool four_wide = false;              // every field is four characters long
};

constexpr int kPhaseTableSets = 4;
constexpr std::size_t kMaxPhaseRows = 2048;  // 2048 rows of 2 KiB and a flag
constexpr int64_t kMaxProduct = 4096;        // |m| of any record is at most 8 * 257

struct PhaseTableSet {
  bool used = false;
  PhaseParameters key;  // sample_count plays no part
  uint64_t last_use = 0;
  uint64_t generation = 0;    // changes whenever the set is given other parameters
  std::vector<int32_t> rows;  // the pool row of m at m + kMaxProduct; -1 while not built
};

// The rows of one antenna line with the correction: for each sample index k the fields of the
// row of m = j * line_offset(k). Records of one shape reuse the plan of each of their lines.
struct PhaseLinePlan {
  int set = -1;
  uint64_t set_generation = 0, pool_generation = 0, last_use = 0;
  int32_t sample_count = 0, j = 0;
  bool four_wide = false;  // every row of the line is four_wide
  std::vector<const PhaseField*> fields;
};

constexpr int kPhaseLinePlans = 16;

struct PhaseTables {
  std::vector<PhaseRow> pool;    // rows of all sets; never reallocated
  uint64_t pool_generation = 0;  // changes whenever the pool is emptied
  std::array<PhaseTableSet, kPhaseTableSets> sets;
  std::array<PhaseLinePlan, kPhaseLinePlans> plans;
  uint64_t uses = 0;
  bool raw_built = false;
  PhaseRow raw;  // " %3u" of each sample
};

// The set for these parameters, made (in place of the least recently used one) if needed. The
// pool is reserved in full here, so pool.data() stays put from then on.
int select_phase_set(PhaseTables& tables, const PhaseParameters& p);

// Builds the row of product m in set `set` (see phase_row).
const PhaseRow& build_phase_row(PhaseTables& tables, int set, int64_t m);

// The row of product m (0 without the correction) in set `set`, built on first use. Valid until
// the next call. |m| must not exceed kMaxProduct.
inline const PhaseRow& phase_row(PhaseTables& tables, int set, int64_t m) {
  const int32_t row = tables.sets[set].rows[static_cast<std::size_t>(m + kMaxProduct)];
  return row >= 0 ? tables.pool[static_cast<std::size_t>(row)] : build_phase_row(tables, set, m);
}

const PhaseRow& raw_phase_row(PhaseTables& tables);

// The plan of line j (antenna index) for records of `sample_count` samples in set `set`.
// Valid until the next call of any function here; plan_is_current tells whether it still is.
const PhaseLinePlan& phase_line_plan(PhaseTables& tables, int set, int32_t sample_count, int32_t j);

inline bool plan_is_current(const PhaseTables& tables, const PhaseLinePlan* plan, int set,
                            int32_t sample_count, int32_t j) {
  return plan != nullptr && plan->set == set && plan->j == j &&
         plan->sample_count == sample_count &&
         plan->set_generation == tables.sets[set].generation &&
         plan->pool_generation == tables.pool_generation;
}

}  // namespace vexo
