#include "vexo/selection.h"

#include <algorithm>
#include <cmath>

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
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].first < 1 || records[i].second < records[i].first ||
        (i > 0 && records[i].first <= records[i - 1].second)) {
      return "records: ranges must be of numbers from 1, ascending and apart";
    }
  }
  return nullptr;
}

}  // namespace vexo
