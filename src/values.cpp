#include "vexo/values.h"

#include <cmath>

namespace vexo {
namespace {

// The constants as the format prescribes them: pi/128 and 2 pi as the nearest 64-bit reals,
// 180 as a 32-bit real, and 1/pi as the reciprocal of the 64-bit pi held in extended precision.
constexpr double kPiOver128 = 0.02454369260617026;
constexpr double kTwoPi = 6.283185307179586;
constexpr float k180 = 180.0f;
constexpr long double kInversePi = 0.3183098861837906840L;

using LD = long double;

// The steps after the correction: v on the 0..256 scale to degrees. Turns the scale by the
// direction, to radians, takes 2 pi off once when above it, to degrees, and adds 360 once when
// not at least 0. Each step in extended precision, stored back into a 32-bit real.
inline float degrees_from_scale(float v, int32_t phase_offset, int32_t phase_sign) {
  v = static_cast<float>((static_cast<LD>(phase_offset) + static_cast<LD>(phase_sign) * v) *
                         static_cast<LD>(kPiOver128));
  if (static_cast<LD>(v) > static_cast<LD>(kTwoPi)) {
    v = static_cast<float>(static_cast<LD>(v) - static_cast<LD>(kTwoPi));  // once only
  }
  v = static_cast<float>(static_cast<LD>(v) * static_cast<LD>(k180) * kInversePi);
  if (!(v >= 0.0f)) v = static_cast<float>(360.0L + static_cast<LD>(v));  // once only
  return v;
}

}  // namespace

PhaseParameters phase_parameters(const DerivedValues& d, bool correction) {
  PhaseParameters p;
  p.corrected = correction && d.rate_known && std::isfinite(d.line_spacing);
  p.sample_count = d.sample_count;
  p.line_spacing = d.line_spacing;
  p.rate = d.rate;
  p.phase_offset = d.phase_offset;
  p.phase_sign = d.phase_sign;
  return p;
}

PhaseParameters phase_parameters(const Record& record, bool correction) {
  return phase_parameters(record.derived(), correction);
}

int32_t line_offset(int32_t k, int32_t sample_count) {
  int32_t offset = k - sample_count / 2;
  if (k >= 64) ++offset;
  return offset;
}

long double phase_term(int64_t m, const PhaseParameters& p) {
  if (!p.corrected) return 0.0L;
  // The first factor is an exact integer; then left to right in extended precision.
  return static_cast<LD>(-256 * p.phase_sign * m) * static_cast<LD>(p.line_spacing) /
         static_cast<LD>(p.rate);
}

float phase_degrees_by_term(int32_t sample, long double term, const PhaseParameters& p) {
  float v = static_cast<float>(sample);
  if (p.corrected) v = static_cast<float>(static_cast<LD>(v) - term);
  return degrees_from_scale(v, p.phase_offset, p.phase_sign);
}

void phase_degrees_run(const unsigned char* samples, const long double* terms, std::size_t count,
                       const PhaseParameters& p, float* out) {
  if (!p.corrected || terms == nullptr) {
    for (std::size_t i = 0; i < count; ++i) {
      out[i] = degrees_from_scale(static_cast<float>(samples[i]), p.phase_offset, p.phase_sign);
    }
    return;
  }
  // The steps of degrees_from_scale with both sides of each choice worked out and one taken,
  // so that values on either side of 2 pi or 0 in turn cost no mispredicted branch. Forwards
  // the scale is turned by nothing (0 + 1 * v is v, exactly).
  const auto run = [&](auto turn) {
    for (std::size_t i = 0; i < count; ++i) {
      const float v = static_cast<float>(static_cast<LD>(samples[i]) - terms[i]);
      const float radians = static_cast<float>(turn(v) * static_cast<LD>(kPiOver128));
      const float turned = static_cast<float>(static_cast<LD>(radians) - static_cast<LD>(kTwoPi));
      const float r = static_cast<LD>(radians) > static_cast<LD>(kTwoPi) ? turned : radians;
      const float degrees =
          static_cast<float>(static_cast<LD>(r) * static_cast<LD>(k180) * kInversePi);
      const float wrapped = static_cast<float>(360.0L + static_cast<LD>(degrees));
      out[i] = degrees >= 0.0f ? degrees : wrapped;
    }
  };
  if (p.phase_offset == 0 && p.phase_sign == 1) {
    run([](float v) { return static_cast<LD>(v); });
  } else {
    const LD offset = static_cast<LD>(p.phase_offset);
    const LD sign = static_cast<LD>(p.phase_sign);
    run([offset, sign](float v) { return offset + sign * static_cast<LD>(v); });
  }
}

float phase_degrees(int32_t sample, int32_t antenna, int32_t k, const PhaseParameters& p) {
  const int64_t m = int64_t{antenna} * line_offset(k, p.sample_count);
  return phase_degrees_by_term(sample, phase_term(m, p), p);
}

double amplitude_db(int32_t sample) {
  return (sample >> 2) * 1.5;
}

double ratio_of_db(double db) {
  // 0.05 held in extended precision; the exponent is rounded to a double before the power.
  const double exponent = static_cast<double>(0.05L * static_cast<LD>(db));
  return std::pow(10.0, exponent);
}

double amplitude_ratio(int32_t sample) {
  return ratio_of_db(amplitude_db(sample));
}

double mean_db(int32_t code_sum) {
  return code_sum * 0.375;  // exact: a quarter of 1.5 dB per code
}

double mean_ratio(int32_t code_sum) {
  return ratio_of_db(mean_db(code_sum));
}

double mean_db(int32_t s1, int32_t s2, int32_t s3, int32_t s4) {
  return mean_db((s1 >> 2) + (s2 >> 2) + (s3 >> 2) + (s4 >> 2));
}

}  // namespace vexo
