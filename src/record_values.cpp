#include "src/record_values.h"

#include <limits>

#include "src/descriptors.h"

namespace vexo {

bool record_passes_check(const HeaderFields& h) {
  return 16 * h.u + h.l != 0 && h.A != 0;
}

void fold_R(int32_t& R) {
  if (R > 3 && R < 8) R -= 4;
  if (R > 7) R -= 8;
}

void derive_values(HeaderFields& h, DerivedValues& d) {
  d.subblock_count = subblock_count(h.A, h.N);
  // N is one decimal digit, so 2^N is exact as an integer shift.
  d.sample_count = int32_t{1} << h.N;
  // 0.01 is held at extended precision and the product rounded once to a 64-bit real; the two
  // divisions are again carried out in extended precision and rounded once.
  const double spacing = static_cast<double>(0.01L * static_cast<long double>(16 * h.D2 + h.D1));
  d.line_spacing = spacing == 0.0 ? std::numeric_limits<double>::infinity()
                                  : static_cast<double>(1.0L / spacing / d.sample_count);
  d.rate_divider = h.X == 1 ? 2 : 1;
  fold_R(h.R);
  const int32_t base_rate = h.R == 0 ? 50 : h.R == 2 ? 100 : h.R == 3 ? 200 : 0;
  if (base_rate != 0) {
    d.rate = static_cast<double>(base_rate / d.rate_divider);
    d.rate_known = true;
  }
  const bool reversed = h.FF == 0xFE;
  d.phase_offset = reversed ? 255 : 0;
  d.phase_sign = reversed ? -1 : 1;
}

}  // namespace vexo
