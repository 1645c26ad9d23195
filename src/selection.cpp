#include "vexo/selection.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace vexo {
namespace {

bool admits_real(const std::vector<double>& wanted, float value) {
  if (wanted.empty()) return true;
  for (double w : wanted) {
    if (descriptor_real_matches(w, value)) return true;
  }
  return false;
}

}  // namespace

bool Selection::takes_subblock(const Descriptor& d) const {
  return admits_real(frequencies, d.frequency) && admits_real(heights, d.height) &&
         (polarizations.empty() || std::find(polarizations.begin(), polarizations.end(),
                                             d.polarization) != polarizations.end());
}

bool Selection::takes_record(int64_t number) const {
  if (records.empty()) return true;
  // The first range that does not end before the number.
  const auto at = std::lower_bound(
      records.begin(), records.end(), number,
      [](const std::pair<int64_t, int64_t>& range, int64_t n) { return range.second < n; });
  return at != records.end() && at->first <= number;
}

std::vector<int32_t> Selection::antenna_indexes(int32_t A) const {
  std::vector<int32_t> out;
  if (antennas.empty()) {
    for (int32_t a = 0; a < A; ++a) out.push_back(a);
  }
  for (int32_t a : antennas) {
    if (a >= 1 && a <= A) out.push_back(a - 1);
  }
  return out;
}

int32_t Selection::missing_antenna(int32_t A) const {
  for (int32_t a : antennas) {
    if (a < 1 || a > A) return a;
  }
  return 0;
}

const char* Selection::fault() const {
  for (double v : frequencies) {
    if (std::isnan(v)) return "frequency: NaN matches no value";
  }
  for (double v : heights) {
    if (std::isnan(v)) return "height: NaN matches no value";
  }
  for (std::size_t i = 0; i < antennas.size(); ++i) {
    if (antennas[i] < 1) return "antenna: antennas are numbered from 1";
    for (std::size_t j = 0; j < i; ++j) {
      if (antennas[i] == antennas[j]) return "antenna: an antenna is named twice";
    }
  }
  for (const auto& [first, last] : records) {
    if (first < 1 || last < first) {
      return "records: a range must be of numbers from 1, its first not above its last";
    }
  }
  for (std::size_t i = 1; i < records.size(); ++i) {
    if (records[i].first <= records[i - 1].second) {
      return "records: ranges must be ascending and apart";
    }
  }
  return nullptr;
}

Selection Selection::checked() const {
  Selection out = *this;
  std::vector<std::pair<int64_t, int64_t>>& ranges = out.records;
  const bool all_ranges = std::all_of(ranges.begin(), ranges.end(), [](const auto& range) {
    return range.first >= 1 && range.first <= range.second;
  });
  // Ranges sorted by their first, each joined to the one before when they overlap or meet (what
  // is not a range of numbers from 1 is left for fault() to name).
  if (all_ranges) {
    std::sort(ranges.begin(), ranges.end());
    std::size_t kept = 0;
    for (const auto& range : ranges) {
      if (kept > 0 && range.first - 1 <= ranges[kept - 1].second) {
        ranges[kept - 1].second = std::max(ranges[kept - 1].second, range.second);
      } else {
        ranges[kept++] = range;
      }
    }
    ranges.resize(kept);
  }
  if (const char* fault = out.fault()) throw std::invalid_argument(fault);
  return out;
}

}  // namespace vexo
