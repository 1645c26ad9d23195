#include "listing/phase_fields.h"

#include <algorithm>
#include <cmath>
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

// A field of any other value than those put_short_degrees writes, written on the spot with
// room for `room_after` characters after it.
char* put_long(ListingOutput& out, char* p, float degrees, std::size_t room_after) {
  char text[kFixedMax + 2];
  const std::size_t size = static_cast<std::size_t>(put_degree_field(text, degrees) - text);
  if (p > room_limit(out, size + room_after)) p = flush_at(out, p);
  std::memcpy(p, text, size);
  return p + size;
}

// The 32-bit reals in their order as unsigned numbers (-0 just before +0), and back.
uint32_t order_key(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

float real_of(uint32_t key) {
  const uint32_t bits = (key & 0x80000000u) != 0 ? key & 0x7FFFFFFFu : ~key;
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// The order key of the first real in cell c or after it.
uint32_t first_key(int32_t c) {
  uint32_t lo = order_key(2 * DegreeFieldTable::kLow);   // in cell 0
  uint32_t hi = order_key(2 * DegreeFieldTable::kHigh);  // in the last cell
  while (hi - lo > 1) {
    const uint32_t mid = lo + (hi - lo) / 2;
    (DegreeFieldTable::cell_of(real_of(mid)) >= c ? hi : lo) = mid;
  }
  return hi;
}

}  // namespace

DegreeFieldTable::DegreeFieldTable(int32_t phase_offset, int32_t phase_sign)
    : offset_(phase_offset),
      sign_(phase_sign),
      cells_(static_cast<std::size_t>(kCells)),
      texts_(2, 0),
      lengths_(2, 0) {}

uint64_t DegreeFieldTable::text_at(uint32_t key) const {
  PhaseParameters p;
  p.corrected = true, p.phase_offset = offset_, p.phase_sign = sign_;
  // Sample 0 and the term -v give float(0 - -v): v itself.
  const float degrees = phase_degrees_by_term(0, -static_cast<long double>(real_of(key)), p);
  char text[kFixedMax + 2];
  const std::size_t size = static_cast<std::size_t>(put_degree_field(text, degrees) - text);
  uint64_t packed = 0;
  if (size <= sizeof packed) std::memcpy(&packed, text, size);
  return packed;
}

uint16_t DegreeFieldTable::number_of(uint64_t text) {
  if (text == 0) return kDirect;
  const auto at = std::lower_bound(numbers_.begin(), numbers_.end(), std::make_pair(text, kDirect));
  if (at != numbers_.end() && at->first == text) return at->second;
  if (texts_.size() > 0xFFFF) return kDirect;  // never with the range of this table
  const auto number = static_cast<uint16_t>(texts_.size());
  texts_.push_back(text);
  uint8_t length = 0;
  while (length < 8 && ((text >> (8 * length)) & 0xFF) != 0) ++length;
  lengths_.push_back(length);
  numbers_.insert(at, {text, number});
  return number;
}

void DegreeFieldTable::make_cell(int32_t c) {
  Cell& cell = cells_[static_cast<std::size_t>(c)];
  const int32_t zero = cell_of(0.0f);
  cell.field[0] = cell.field[1] = kDirect;
  if (c == 0 || c == kCells - 1 || c == zero || c == zero - 1) return;
  const uint32_t first = first_key(c), last = first_key(c + 1) - 1;
  const uint64_t below = text_at(first), above = text_at(last);
  if (below == above) {
    cell.threshold = real_of(first);
    cell.field[0] = cell.field[1] = number_of(below);
    return;
  }
  // The first real with the field of the cell's end: lo below it, hi at it.
  uint32_t lo = first, hi = last;
  while (hi - lo > 1) {
    const uint32_t mid = lo + (hi - lo) / 2;
    (text_at(mid) == above ? hi : lo) = mid;
  }
  if (text_at(lo) != below) return;  // more than one step in the cell
  cell.threshold = real_of(hi);
  cell.field[0] = number_of(below);
  cell.field[1] = number_of(above);
}

PhaseFields::PhaseFields(bool use_table) : use_table_(use_table) {
  for (Set& set : sets_) {
    set.row_of.resize(2 * kMaxProduct + 1);
    set.term_of.resize(2 * kMaxProduct + 1);
  }
}

void PhaseFields::drop_plans(Set& set) {
  for (LinePlan& plan : set.plans) plan.ready = false;
}

void PhaseFields::clear_pool() {
  for (Set& set : sets_) {
    if (set.lo <= set.hi) {
      std::fill(set.row_of.begin() + (set.lo + kMaxProduct),
                set.row_of.begin() + (set.hi + kMaxProduct + 1), -1);
    }
  }
  pool_used_ = 0;
  made_without_row_ = 0;
  for (Set& set : sets_) drop_plans(set);
}

void PhaseFields::begin_record(const PhaseParameters& p) {
  p_ = p;
  ++uses_;
  if (use_table_ && (table_ == nullptr || table_->phase_offset() != p.phase_offset ||
                     table_->phase_sign() != p.phase_sign)) {
    table_ = nullptr;
    for (auto& table : tables_) {
      if (table != nullptr && table->phase_offset() == p.phase_offset &&
          table->phase_sign() == p.phase_sign) {
        table_ = table.get();
      }
    }
    if (table_ == nullptr) {
      auto& slot = tables_[0] == nullptr ? tables_[0] : tables_[1];
      slot = std::make_unique<DegreeFieldTable>(p.phase_offset, p.phase_sign);
      table_ = slot.get();
    }
  }
  Set* oldest = &sets_[0];
  Set* found = nullptr;
  for (Set& set : sets_) {
    if (set.used && same_key(set.key, p)) {
      found = &set;
      break;
    }
    if (!set.used || (oldest->used && set.last_use < oldest->last_use)) oldest = &set;
  }
  if (found == nullptr) {
    // A set not seen before: kept from now on, but this record is listed directly.
    oldest->used = true;
    oldest->key = p;
    oldest->lo = 0, oldest->hi = -1;
    drop_plans(*oldest);
    found = oldest;
    direct_ = true;
  } else {
    direct_ = false;
    if (pool_.empty()) pool_.resize(kPoolRows);
    // Rows are dropped only between records, never under a plan in use.
    if (made_without_row_ >= kRefillAfter) clear_pool();
  }
  found->last_use = uses_;
  set_ = found;
  if (found->plan_count != p.sample_count || found->plans_direct != direct_) {
    drop_plans(*found);
    found->plan_count = p.sample_count;
    found->plans_direct = direct_;
  }
}

// Makes the entries of products lo..hi of the set in hand valid.
void PhaseFields::cover(int32_t lo, int32_t hi) {
  Set& set = *set_;
  const auto init = [&set](int32_t from, int32_t to) {  // from..to-1
    for (int32_t m = from; m < to; ++m) {
      set.row_of[static_cast<std::size_t>(m + kMaxProduct)] = -1;
      set.term_of[static_cast<std::size_t>(m + kMaxProduct)] = std::nanl("");
    }
  };
  if (set.lo > set.hi) {
    init(lo, hi + 1);
    set.lo = lo, set.hi = hi;
    return;
  }
  if (lo < set.lo) init(lo, set.lo), set.lo = lo;
  if (hi > set.hi) init(set.hi + 1, hi + 1), set.hi = hi;
}

PhaseFields::Row* PhaseFields::row_for(int32_t m) {
  int32_t& row = set_->row_of[static_cast<std::size_t>(m + kMaxProduct)];
  if (row < 0) {
    if (pool_used_ == kPoolRows) return nullptr;
    row = pool_used_++;
    std::memset(pool_[static_cast<std::size_t>(row)].text, 0, sizeof(Row::text));
  }
  return &pool_[static_cast<std::size_t>(row)];
}

long double PhaseFields::term_for(int32_t m) {
  long double& term = set_->term_of[static_cast<std::size_t>(m + kMaxProduct)];
  if (std::isnan(term)) term = phase_term(m, p_);
  return term;
}

void PhaseFields::make_plan(LinePlan& plan, int32_t j) {
  const int32_t n = p_.sample_count;
  const int32_t reach = p_.corrected ? j * (n / 2) : 0;  // |line_offset| is at most n/2
  cover(-reach, reach);
  plan.rows.resize(static_cast<std::size_t>(n));
  plan.terms.resize(static_cast<std::size_t>(n));
  plan.all_rows = !direct_;
  for (int32_t k = 0; k < n; ++k) {
    const int32_t m = p_.corrected ? j * line_offset(k, n) : 0;
    Row* const row = direct_ ? nullptr : row_for(m);
    plan.rows[static_cast<std::size_t>(k)] = row;
    plan.all_rows = plan.all_rows && row != nullptr;
    plan.terms[static_cast<std::size_t>(k)] = term_for(m);
  }
  plan.ready = true;
}

// Each field from the table, or worked out where the table has none. A field is stored as eight
// characters and the position moved on by its length.
char* PhaseFields::put_direct(ListingOutput& out, char* p, const SampleLine& line,
                              const LinePlan& plan) {
  DegreeFieldTable& table = *table_;
  const uint64_t* texts = table.texts();
  const uint8_t* lengths = table.lengths();
  // Pieces of 128 samples (sample counts are powers of two): no division for the count.
  const std::size_t run = line.size() < 128 ? line.size() : 128;
  const std::size_t pieces = line.size() < 128 ? 1 : line.size() >> 7;
  for (std::size_t piece = 0; piece < pieces; ++piece) {
    const unsigned char* const bytes = line.piece(piece);
    const long double* const terms = plan.terms.data() + piece * run;
    if (p > room_limit(out, 8 * run)) p = flush_at(out, p);
    // The values first, in a loop of their own (extended precision only), then their fields.
    float values[128];
    for (std::size_t r = 0; r < run; ++r) {
      values[r] = static_cast<float>(static_cast<long double>(bytes[r]) - terms[r]);
    }
    for (std::size_t r = 0; r < run; ++r) {
      const float v = values[r];
      uint16_t field = table.lookup(v);
      if (field <= DegreeFieldTable::kUnmade) {
        if (field == DegreeFieldTable::kUnmade) {
          field = table.field_of(v);
          texts = table.texts(), lengths = table.lengths();
        }
        if (field == DegreeFieldTable::kDirect) {
          const float value = phase_degrees_by_term(bytes[r], terms[r], p_);
          p = is_short_degrees(value) ? put_short_degrees(p, value)
                                      : put_long(out, p, value, 8 * (run - r - 1));
          continue;
        }
      }
      std::memcpy(p, &texts[field], 8);
      p += lengths[field];
    }
  }
  return p;
}

char* PhaseFields::put_line(ListingOutput& out, char* p, const SampleLine& line, int32_t j) {
  LinePlan& plan = set_->plans[static_cast<std::size_t>(j)];
  if (!plan.ready) make_plan(plan, j);
  if (direct_ && use_table_) return put_direct(out, p, line, plan);
  const std::size_t run = line.piece_size();
  for (std::size_t piece = 0; piece < line.piece_count(); ++piece) {
    const unsigned char* const bytes = line.piece(piece);
    Row* const* const rows = plan.rows.data() + piece * run;
    const long double* const terms = plan.terms.data() + piece * run;
    if (p > room_limit(out, 4 * run)) p = flush_at(out, p);
    if (plan.all_rows) {
      // Copied on the chance that all are made. Every character of a made field has bit 5 set
      // (" 0123456789"), a field not made is four NULs: the AND of all is 0 when one is missing.
      uint32_t all = ~uint32_t{0};
      for (std::size_t r = 0; r < run; ++r) {
        uint32_t text;
        std::memcpy(&text, rows[r]->text[bytes[r]], 4);
        std::memcpy(p + 4 * r, &text, 4);
        all &= text;
      }
      if (all != 0) {
        p += 4 * run;
        continue;
      }
    }
    float degrees[128];
    if (direct_) {
      // No rows: every value made, all at once.
      phase_degrees_run(bytes, terms, run, p_, degrees);
      // Whole degrees of the usual values in a loop of its own (the compiler makes it a few
      // values at a time); any other value sends the piece the long way.
      int32_t whole[128];
      bool usual = true;
      for (std::size_t r = 0; r < run; ++r) {
        uint32_t bits;
        std::memcpy(&bits, &degrees[r], sizeof bits);
        const bool one = degrees[r] < 999.5f && bits < 0x80000000u;  // 0 <= degrees, not -0
        const float value = one ? degrees[r] : 0.0f;
        usual &= one;
        whole[r] = static_cast<int32_t>((value + 8388608.0f) - 8388608.0f);
      }
      if (usual) {
        for (std::size_t r = 0; r < run; ++r, p += 4) {
          std::memcpy(p, kShortDegrees.text[whole[r]], 4);
        }
        continue;
      }
      for (std::size_t r = 0; r < run; ++r) {
        p = is_short_degrees(degrees[r]) ? put_short_degrees(p, degrees[r])
                                         : put_long(out, p, degrees[r], 4 * (run - r - 1));
      }
      continue;
    }
    // Values to make: all at once when they are many, else one by one.
    std::size_t missing = 0;
    for (std::size_t r = 0; r < run; ++r) {
      missing += rows[r] == nullptr || rows[r]->text[bytes[r]][0] != ' ' ? 1 : 0;
    }
    const bool all_at_once = 4 * missing >= run;
    if (all_at_once) phase_degrees_run(bytes, terms, run, p_, degrees);
    for (std::size_t r = 0; r < run; ++r) {
      Row* const row = rows[r];
      const unsigned b = bytes[r];
      if (row != nullptr && row->text[b][0] == ' ') {
        std::memcpy(p, row->text[b], 4);
        p += 4;
        continue;
      }
      const float value = all_at_once ? degrees[r] : phase_degrees_by_term(b, terms[r], p_);
      if (!is_short_degrees(value)) {
        p = put_long(out, p, value, 4 * (run - r - 1));
        continue;
      }
      put_short_degrees(p, value);
      if (row != nullptr) {
        std::memcpy(row->text[b], p, 4);
      } else {
        ++made_without_row_;
      }
      p += 4;
    }
  }
  return p;
}

}  // namespace vexo
