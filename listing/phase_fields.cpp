#include "listing/phase_fields.h"

#include <algorithm>
#include <cstring>

#include "listing/text/text_format.h"

namespace vexo {
namespace {

bool same_key(const PhaseParameters& a, const PhaseParameters& b) {
  if (a.corrected != b.corrected || a.phase_offset != b.phase_offset ||
      a.phase_sign != b.phase_sign) {
    return false;
  }
  return !a.corrected || (a.line_spacing == b.line_spacing && a.rate == b.rate);
}

// The most distinct products m that a record of this shape can have.
int32_t rows_needed(const PhaseParameters& p, int32_t antennas) {
  if (!p.corrected) return 1;
  return 2 * (antennas - 1) * (p.sample_count / 2 + 1) + 1;
}

// A field of any other value, written on the spot with room for `room_after` characters after
// it.
char* put_long(ListingOutput& out, char* p, float degrees, std::size_t room_after) {
  char text[kFixedMax + 2];
  const std::size_t size = static_cast<std::size_t>(put_degree_field(text, degrees) - text);
  if (p > room_limit(out, size + room_after)) p = flush_at(out, p);
  std::memcpy(p, text, size);
  return p + size;
}

}  // namespace

PhaseFields::PhaseFields() {
  for (Set& set : sets_) set.row_of.assign(2 * kMaxProduct + 1, -1);
}

void PhaseFields::clear_pool() {
  for (Set& set : sets_) std::fill(set.row_of.begin(), set.row_of.end(), -1);
  pool_used_ = 0;
}

void PhaseFields::begin_record(const PhaseParameters& p, int32_t antennas) {
  const Set* const previous = set_;
  const int32_t previous_count = p_.sample_count;
  p_ = p;
  terms_ready_.fill(false);
  ++uses_;
  Set* oldest = &sets_[0];
  for (Set& set : sets_) {
    if (set.used && same_key(set.key, p)) {
      set.last_use = uses_;
      set_ = &set;
      if (pool_.empty()) {
        pool_.resize(kPoolRows);
        row_stamps_.assign(kPoolRows, 0);
      }
      // Rows are only dropped between records, so the rows of a line stay put while it is
      // listed. The line plans of the record before serve this one while nothing changed.
      bool keep_plans = previous == set_ && previous_count == p.sample_count;
      if (pool_used_ + rows_needed(p, antennas) > kPoolRows) {
        clear_pool();
        keep_plans = false;
      }
      if (!keep_plans) {
        for (LinePlan& plan : plans_) plan.ready = false;
      }
      return;
    }
    if (!set.used || (oldest->used && set.last_use < oldest->last_use)) oldest = &set;
  }
  // A set not seen before: kept from now on, but this record is listed directly.
  oldest->used = true;
  oldest->key = p;
  oldest->last_use = uses_;
  std::fill(oldest->row_of.begin(), oldest->row_of.end(), -1);
  set_ = nullptr;
}

int32_t PhaseFields::row_for(int64_t m) {
  int32_t& row = set_->row_of[static_cast<std::size_t>(m + kMaxProduct)];
  if (row < 0) {
    row = pool_used_++;
    if (++last_stamp_ == 0) {
      // After 2^32 rows: no field may keep a stamp that a row could be given again.
      for (Row& r : pool_) {
        for (Field& f : r) f.stamp = 0;
      }
      last_stamp_ = 1;
    }
    row_stamps_[static_cast<std::size_t>(row)] = last_stamp_;
  }
  return row;
}

const PhaseFields::LinePlan& PhaseFields::plan_for(int32_t j) {
  LinePlan& plan = plans_[static_cast<std::size_t>(j)];
  if (plan.ready) return plan;
  const int32_t n = p_.sample_count;
  plan.rows.resize(static_cast<std::size_t>(n));
  plan.stamps.resize(static_cast<std::size_t>(n));
  for (int32_t k = 0; k < n; ++k) {
    const int64_t m = p_.corrected ? int64_t{j} * line_offset(k, n) : 0;
    const int32_t row = row_for(m);
    plan.rows[static_cast<std::size_t>(k)] = pool_[static_cast<std::size_t>(row)].data();
    plan.stamps[static_cast<std::size_t>(k)] = row_stamps_[static_cast<std::size_t>(row)];
  }
  plan.ready = true;
  return plan;
}

char* PhaseFields::put_direct(ListingOutput& out, char* p, const SampleLine& line, int32_t j) {
  const int32_t n = p_.sample_count;
  if (terms_.size() < static_cast<std::size_t>(kMaxAntennas * kMaxSampleCount)) {
    terms_.resize(static_cast<std::size_t>(kMaxAntennas * kMaxSampleCount));
  }
  long double* const terms = terms_.data() + static_cast<std::size_t>(j) * n;
  if (!terms_ready_[static_cast<std::size_t>(j)]) {
    for (int32_t k = 0; k < n; ++k) terms[k] = phase_term(int64_t{j} * line_offset(k, n), p_);
    terms_ready_[static_cast<std::size_t>(j)] = true;
  }
  const std::size_t run = line.piece_size();
  for (std::size_t piece = 0; piece < line.piece_count(); ++piece) {
    float degrees[128];
    phase_degrees_run(line.piece(piece), terms + piece * run, run, p_, degrees);
    if (p > room_limit(out, 4 * run)) p = flush_at(out, p);
    for (std::size_t r = 0; r < run; ++r) {
      p = is_short_degrees(degrees[r]) ? put_short_degrees(p, degrees[r])
                                       : put_long(out, p, degrees[r], 4 * (run - r - 1));
    }
  }
  return p;
}

char* PhaseFields::put_line(ListingOutput& out, char* p, const SampleLine& line, int32_t j) {
  if (set_ == nullptr) return put_direct(out, p, line, j);
  const LinePlan& plan = plan_for(j);
  const std::size_t run = line.piece_size();
  for (std::size_t piece = 0; piece < line.piece_count(); ++piece) {
    const unsigned char* bytes = line.piece(piece);
    Field* const* rows = plan.rows.data() + piece * run;
    const uint32_t* stamps = plan.stamps.data() + piece * run;
    if (p > room_limit(out, 4 * run)) p = flush_at(out, p);
    for (std::size_t r = 0; r < run; ++r) {
      Field& field = rows[r][bytes[r]];
      if (field.stamp == stamps[r]) {
        std::memcpy(p, field.text, 4);
        p += 4;
        continue;
      }
      // First use of this field: make it, and keep it when it has four characters.
      const int32_t k = static_cast<int32_t>(piece * run + r);
      const int64_t m = p_.corrected ? int64_t{j} * line_offset(k, p_.sample_count) : 0;
      const float degrees = phase_degrees_by_term(bytes[r], phase_term(m, p_), p_);
      if (is_short_degrees(degrees)) {
        put_short_degrees(field.text, degrees);
        field.stamp = stamps[r];
        std::memcpy(p, field.text, 4);
        p += 4;
      } else {
        p = put_long(out, p, degrees, 4 * (run - r - 1));
      }
    }
  }
  return p;
}

}  // namespace vexo
