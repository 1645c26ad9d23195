#include "listing/phase_values.h"

#include <cmath>

#include "listing/run_state.h"

namespace vexo {
namespace {

// The constants as the format prescribes them: pi/128 and 2 pi as the nearest 64-bit reals,
// 180 as a 32-bit real, and 1/pi as the reciprocal of the 64-bit pi held in extended precision.
constexpr double kPiOver128 = 0.02454369260617026;
constexpr double kTwoPi = 6.283185307179586;
constexpr float k180 = 180.0f;
constexpr long double kInversePi = 0.3183098861837906840L;

}  // namespace

PhaseParameters phase_parameters(const Settings& settings, const RunState& state) {
  PhaseParameters p;
  const DerivedValues& d = state.derived;
  p.corrected = settings.phase_correction == 1 && state.rate_known && std::isfinite(d.line_spacing);
  p.sample_count = d.sample_count;
  p.line_spacing = d.line_spacing;
  p.rate = state.rate;
  p.phase_offset = d.phase_offset;
  p.phase_sign = d.phase_sign;
  return p;
}

float line_offset(int32_t k, int32_t sample_count) {
  int32_t offset = k - sample_count / 2;
  if (k >= 64) ++offset;
  return static_cast<float>(offset);
}

// Each step below is computed in long double (80-bit on x86-64) and stored back into a float:
// the listing shows the result of exactly these roundings.
float degrees_from_scale(float v, int32_t phase_offset, int32_t phase_sign) {
  using LD = long double;
  v = static_cast<float>((static_cast<LD>(phase_offset) + static_cast<LD>(phase_sign) * v) *
                         static_cast<LD>(kPiOver128));
  if (static_cast<LD>(v) > static_cast<LD>(kTwoPi)) {
    v = static_cast<float>(static_cast<LD>(v) - static_cast<LD>(kTwoPi));  // once only
  }
  v = static_cast<float>(static_cast<LD>(v) * static_cast<LD>(k180) * kInversePi);
  if (!(v >= 0.0f)) v = static_cast<float>(360.0L + static_cast<LD>(v));  // once only
  return v;
}

float phase_degrees(int32_t sample, int32_t j, int32_t k, const PhaseParameters& p) {
  using LD = long double;
  float v = static_cast<float>(sample);
  if (p.corrected) {
    const float offset = line_offset(k, p.sample_count);
    // The first factor is an exact integer; then left to right in extended precision.
    const LD c = static_cast<LD>(-256 * int64_t{p.phase_sign} * j) * static_cast<LD>(offset) *
                 static_cast<LD>(p.line_spacing) / static_cast<LD>(p.rate);
    v = static_cast<float>(static_cast<LD>(v) - c);
  }
  return degrees_from_scale(v, p.phase_offset, p.phase_sign);
}

float phase_degrees_at(int32_t sample, int64_t m, const PhaseParameters& p) {
  using LD = long double;
  float v = static_cast<float>(sample);
  if (p.corrected) {
    const LD c = static_cast<LD>(-256 * p.phase_sign * m) * static_cast<LD>(p.line_spacing) /
                 static_cast<LD>(p.rate);
    v = static_cast<float>(static_cast<LD>(v) - c);
  }
  return degrees_from_scale(v, p.phase_offset, p.phase_sign);
}

}  // namespace vexo
