#include "listing/phase_tables.h"

#include "listing/text_format.h"

namespace vexo {
namespace {

bool same_key(const PhaseParameters& a, const PhaseParameters& b) {
  if (a.corrected != b.corrected || a.phase_offset != b.phase_offset ||
      a.phase_sign != b.phase_sign) {
    return false;
  }
  return !a.corrected || (a.line_spacing == b.line_spacing && a.rate == b.rate);
}

void mark_four_wide(PhaseRow& row) {
  row.four_wide = true;
  for (const PhaseField& field : row.fields) row.four_wide = row.four_wide && field.size == 4;
}

void build_row(PhaseRow& row, int64_t m, const PhaseParameters& p) {
  for (int32_t sample = 0; sample < 256; ++sample) {
    char text[kFixedMax + 1];
    text[0] = ' ';
    const float degrees = phase_degrees_at(sample, m, p);
    const char* end = put_fixed(text + 1, static_cast<double>(degrees), 0, 3);
    set_field(row.fields[sample], text, static_cast<std::size_t>(end - text));
  }
  mark_four_wide(row);
}

}  // namespace

int select_phase_set(PhaseTables& tables, const PhaseParameters& p) {
  // Reserved once, so rows never move (callers keep pool.data() while they list a record).
  if (tables.pool.capacity() < kMaxPhaseRows) tables.pool.reserve(kMaxPhaseRows);
  ++tables.uses;
  int oldest = 0;
  for (int s = 0; s < kPhaseTableSets; ++s) {
    PhaseTableSet& set = tables.sets[s];
    if (set.used && same_key(set.key, p)) {
      set.last_use = tables.uses;
      return s;
    }
    if (!set.used || (tables.sets[oldest].used && set.last_use < tables.sets[oldest].last_use)) {
      oldest = s;
    }
  }
  PhaseTableSet& set = tables.sets[oldest];
  set.used = true;
  set.key = p;
  set.last_use = tables.uses;
  ++set.generation;
  // The rows of the set it replaces stay in the pool until the pool is full.
  set.rows.assign(2 * kMaxProduct + 1, -1);
  return oldest;
}

const PhaseRow& build_phase_row(PhaseTables& tables, int set_index, int64_t m) {
  PhaseTableSet& set = tables.sets[set_index];
  int32_t& row = set.rows[static_cast<std::size_t>(m + kMaxProduct)];
  {
    if (tables.pool.size() == kMaxPhaseRows) {
      // Out of room: drop every row, of every set, and start again.
      tables.pool.clear();
      ++tables.pool_generation;
      for (PhaseTableSet& s : tables.sets) s.rows.assign(s.rows.size(), -1);
    }
    tables.pool.emplace_back();
    build_row(tables.pool.back(), m, set.key);
    row = static_cast<int32_t>(tables.pool.size() - 1);
  }
  return tables.pool[static_cast<std::size_t>(row)];
}

const PhaseRow& raw_phase_row(PhaseTables& tables) {
  if (!tables.raw_built) {
    for (int32_t sample = 0; sample < 256; ++sample) {
      char text[8];
      text[0] = ' ';
      const char* end = put_int_right(text + 1, sample, 3);
      set_field(tables.raw.fields[sample], text, static_cast<std::size_t>(end - text));
    }
    mark_four_wide(tables.raw);
    tables.raw_built = true;
  }
  return tables.raw;
}

const PhaseLinePlan& phase_line_plan(PhaseTables& tables, int set, int32_t sample_count,
                                     int32_t j) {
  ++tables.uses;
  const uint64_t set_generation = tables.sets[set].generation;
  PhaseLinePlan* oldest = &tables.plans[0];
  for (PhaseLinePlan& plan : tables.plans) {
    if (plan.set == set && plan.set_generation == set_generation &&
        plan.pool_generation == tables.pool_generation && plan.sample_count == sample_count &&
        plan.j == j) {
      plan.last_use = tables.uses;
      return plan;
    }
    if (plan.last_use < oldest->last_use) oldest = &plan;
  }
  PhaseLinePlan& plan = *oldest;
  plan.fields.resize(static_cast<std::size_t>(sample_count));
  // Building a row may empty a full pool, which invalidates the rows taken before it; a line
  // needs far fewer rows than the pool holds, so the second pass always succeeds.
  do {
    plan.pool_generation = tables.pool_generation;
    plan.four_wide = true;
    for (int32_t k = 0; k < sample_count; ++k) {
      const PhaseRow& row =
          phase_row(tables, set, int64_t{j} * static_cast<int64_t>(line_offset(k, sample_count)));
      plan.fields[static_cast<std::size_t>(k)] = row.fields.data();
      plan.four_wide = plan.four_wide && row.four_wide;
    }
  } while (plan.pool_generation != tables.pool_generation);
  plan.set = set;
  plan.set_generation = set_generation;
  plan.sample_count = sample_count;
  plan.j = j;
  plan.last_use = tables.uses;
  return plan;
}

}  // namespace vexo
