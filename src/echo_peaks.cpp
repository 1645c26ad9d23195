#include "vexo/echo_peaks.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace vexo {
namespace {

// (180 / pi)², degree² per radian², as numpy's rad2deg(1.0) ** 2 gives it.
constexpr double kDegreesPerRadian = 180.0 / 3.141592653589793;
constexpr double kDegreesPerRadianSquared = kDegreesPerRadian * kDegreesPerRadian;

// Amplitudes come in 64 steps of 1.5 dB (0 to 94.5 dB).
constexpr int kAmplitudeSteps = 64;

// numpy's maximum and minimum: a NaN in either gives NaN.
double maximum(double a, double b) {
  return (a >= b || std::isnan(a)) ? a : b;
}
double minimum(double a, double b) {
  return (a <= b || std::isnan(a)) ? a : b;
}

// 10^(dB/10) of 32-bit dB values: std::pow(10.0, dB / 10.0) in 64 bits, from a table where the
// value is one of the 64 amplitude steps of 1.5 dB (0 to 94.5 dB), with the same bits. A step's
// 32-bit real has 8 significant bits: its upper 16 bits tell it, its lower 16 are 0.
class StepPowers {
 public:
  StepPowers() : step_(std::size_t{1} << 16, -1) {
    for (int k = 0; k < kAmplitudeSteps; ++k) {
      const float decibels = static_cast<float>(k * 1.5);
      power_[k] = std::pow(10.0, static_cast<double>(decibels) / 10.0);
      step_[bits(decibels) >> 16] = static_cast<int8_t>(k);
    }
    step_[bits(-0.0f) >> 16] = 0;  // the same power as 0 dB
  }

  double of(float decibels) const {
    const uint32_t b = bits(decibels);
    const int k = step_[b >> 16];
    if ((b & 0xFFFFu) == 0 && k >= 0) return power_[k];
    return std::pow(10.0, static_cast<double>(decibels) / 10.0);
  }

 private:
  static uint32_t bits(float value) {
    uint32_t out;
    std::memcpy(&out, &value, sizeof out);
    return out;
  }

  std::array<double, kAmplitudeSteps> power_{};
  std::vector<int8_t> step_;  // by the upper 16 bits: the step, or -1
};

// Made once, then only read.
const StepPowers& step_powers() {
  static const StepPowers powers;
  return powers;
}

// numpy's pairwise sum of value(first) .. value(first + n - 1) in T: what its add.reduce gives
// along the axis it walks innermost. Below 8 values one by one; to 128, eight partial sums
// combined in a tree; beyond, the halves (cut at a multiple of 8) summed apart.
template <typename T, typename Value>
T pairwise_sum(const Value& value, std::size_t first, std::size_t n) {
  if (n < 8) {
    T sum = static_cast<T>(-0.0);
    for (std::size_t i = 0; i < n; ++i) sum += value(first + i);
    return sum;
  }
  if (n <= 128) {
    T r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = value(first + j);
    std::size_t i = 8;
    for (; i < n - n % 8; i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += value(first + i + j);
    }
    T sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) sum += value(first + i);
    return sum;
  }
  std::size_t half = n / 2;
  half -= half % 8;
  return pairwise_sum<T>(value, first, half) + pairwise_sum<T>(value, first + half, n - half);
}

// numpy's sum over an axis walked innermost: from 0, the pairwise sum.
template <typename T, typename Value>
T numpy_sum(const Value& value, std::size_t n) {
  return static_cast<T>(0) + pairwise_sum<T>(value, 0, n);
}

// The order of numpy's sort: NaN after every number.
struct NanLast {
  bool operator()(double a, double b) const { return a < b || (std::isnan(b) && !std::isnan(a)); }
};

// out[0, K) = the K smallest numbers of values[0, count) (count >= K) in ascending order, then
// NaN where fewer are numbers: the first K of numpy's sort. Each value is merged in without a
// branch: the j-th smallest of the values so far and p is max(s[j - 1], min(s[j], p)) (min(s[0],
// p) for the first), which leaves them as they are for a NaN. The K values stay in registers.
template <std::size_t K>
void merge_smallest(const double* values, std::size_t count, double* out) {
  double s[K];
  for (std::size_t j = 0; j < K; ++j) s[j] = std::numeric_limits<double>::infinity();
  std::size_t nans = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const double p = values[k];
    nans += std::isnan(p);
    for (std::size_t j = K - 1; j > 0; --j) s[j] = std::max(s[j - 1], std::min(s[j], p));
    s[0] = std::min(s[0], p);
  }
  for (std::size_t j = count - std::min(nans, count); j < K; ++j) {
    s[j] = std::numeric_limits<double>::quiet_NaN();
  }
  std::copy(s, s + K, out);
}

// out[0, need) = the same by selection and a sort of those selected.
void select_smallest(const double* values, std::size_t count, std::size_t need, double* out) {
  std::copy(values, values + count, out);
  if (std::any_of(values, values + count, [](double p) { return std::isnan(p); })) {
    std::nth_element(out, out + need - 1, out + count, NanLast());
    std::sort(out, out + need - 1, NanLast());
  } else {
    std::nth_element(out, out + need - 1, out + count);
    std::sort(out, out + need - 1);
  }
}

using Merge = void (*)(const double*, std::size_t, double*);
template <std::size_t... K>
constexpr std::array<Merge, sizeof...(K)> merges(std::index_sequence<K...>) {
  return {&merge_smallest<K + 1>...};
}
// merge_smallest<K> for K from 1 to 16: the spectra of up to 57 lines.
constexpr std::array<Merge, 16> kMerges = merges(std::make_index_sequence<16>());

// The floor's quantile of a subblock's line powers and of those below `ratio` times it, from one
// ordering of its smallest values. numpy sorts them (NaN after every number) and interpolates
// kFloorQuantile of the first `count`: low + (at - below) * (high - low), at =
// kFloorQuantile * (count - 1), low and high the values at sorted positions floor(at) and the
// next (the same at the end). The lines below a value are a prefix of the sorted lines, so both
// quantiles need only the sorted positions up to floor(kFloorQuantile * (lines - 1)) + 1.
class FloorQuantiles {
 public:
  explicit FloorQuantiles(std::size_t lines)
      : lines_(lines),
        need_(std::min(lines, static_cast<std::size_t>(kFloorQuantile * (lines - 1)) + 2)),
        smallest_(std::max(lines, std::size_t{1})),
        merge_(need_ <= kMerges.size() ? kMerges[need_ - 1] : nullptr) {}

  // The quantile of the `lines` powers, then that of those below ratio times it where at
  // least kFewestLinesLeft are, else the first again.
  double floor(const double* power, double ratio) {
    if (merge_ != nullptr) {
      merge_(power, lines_, smallest_.data());
    } else {
      select_smallest(power, lines_, need_, smallest_.data());
    }
    const double all = interpolated(lines_);
    const double limit = all * ratio;
    std::size_t left = 0;
    for (std::size_t k = 0; k < lines_; ++k) left += power[k] < limit;
    return left >= kFewestLinesLeft ? interpolated(left) : all;
  }

 private:
  // kFloorQuantile of the `count` smallest (count >= 1).
  double interpolated(std::size_t count) const {
    const double at = kFloorQuantile * static_cast<double>(count - 1);
    const double below_at = std::floor(at);
    const std::size_t below = static_cast<std::size_t>(below_at);
    const double low = smallest_[below];
    const double high = smallest_[std::min(below + 1, count - 1)];
    return low + (at - below_at) * (high - low);
  }

  std::size_t lines_, need_;
  std::vector<double> smallest_;
  Merge merge_;
};

void check(const PeakPart& part) {
  if (part.used.empty()) throw std::invalid_argument("used: at least one antenna is needed");
  for (int32_t a : part.used) {
    if (a < 0 || static_cast<std::size_t>(a) >= part.antennas) {
      throw std::invalid_argument("used: antenna index " + std::to_string(a) +
                                  " is not one of the part's " + std::to_string(part.antennas) +
                                  " antennas (indexes from 0)");
    }
  }
  if (part.offsets.size() != part.used.size()) {
    throw std::invalid_argument("offsets: " + std::to_string(part.offsets.size()) +
                                " offsets for " + std::to_string(part.used.size()) +
                                " used antennas");
  }
  const std::size_t places = part.records * part.places;
  if (places != 0 && part.subblock_number == nullptr) {
    throw std::invalid_argument("subblock_number: no array for a part with subblock places");
  }
  if (places * part.antennas * part.lines != 0 && part.decibels == nullptr) {
    throw std::invalid_argument("decibels: no array for a part with values");
  }
  if (places * part.antennas * part.lines != 0 && part.phases == nullptr) {
    throw std::invalid_argument("phases: no array for a part with values");
  }
}

}  // namespace

double noise_floor_scale(int antennas) {
  if (antennas < 1) {
    throw std::invalid_argument("noise floor scale: " + std::to_string(antennas) +
                                " antennas, at least 1 is needed");
  }
  // The probability that the mean of the antennas' powers (times `antennas`) is below x.
  auto below = [antennas](double x) {
    double term = 1.0, total = 1.0;
    for (int i = 1; i < antennas; ++i) {
      term *= x / i;
      total += term;
    }
    return 1.0 - std::exp(-x) * total;
  };
  double low = 0.0, high = 10.0 * antennas + 50.0;
  for (int i = 0; i < 200; ++i) {
    const double middle = 0.5 * (low + high);
    if (below(middle) < kFloorQuantile) {
      low = middle;
    } else {
      high = middle;
    }
  }
  return 0.5 * (low + high) / antennas;
}

EchoPeaks find_echo_peaks(const PeakPart& part) {
  check(part);
  EchoPeaks out;
  const std::size_t subblocks = part.records * part.places;
  const std::size_t lines = part.lines, antennas = part.antennas;
  if (subblocks == 0 || lines == 0) return out;
  const std::vector<int32_t>& used = part.used;
  const std::size_t count = used.size();
  const double mean_of = static_cast<double>(count);
  const double threshold = std::pow(10.0, part.threshold_db / 10.0);
  const double scale = noise_floor_scale(static_cast<int>(count));
  const StepPowers& powers = step_powers();

  std::vector<double> power(lines);  // of the subblock at hand
  FloorQuantiles quantiles(lines);
  for (std::size_t s = 0; s < subblocks; ++s) {
    if (part.subblock_number[s] < 0) continue;
    const float* decibels = part.decibels + s * antennas * lines;

    // Each line's power: the mean over the used antennas, summed in their order (across a
    // spectrum of one line numpy sums the antennas pairwise).
    if (lines == 1) {
      power[0] =
          numpy_sum<double>([&](std::size_t j) { return powers.of(decibels[used[j]]); }, count) /
          mean_of;
    } else {
      const float* first = decibels + static_cast<std::size_t>(used[0]) * lines;
      for (std::size_t k = 0; k < lines; ++k) power[k] = powers.of(first[k]);
      for (std::size_t j = 1; j < count; ++j) {
        const float* antenna = decibels + static_cast<std::size_t>(used[j]) * lines;
        for (std::size_t k = 0; k < lines; ++k) power[k] += powers.of(antenna[k]);
      }
      for (std::size_t k = 0; k < lines; ++k) power[k] /= mean_of;
    }

    // The floor: the quantile of every line, then of the lines below threshold times it.
    const double floor = quantiles.floor(power.data(), threshold) / scale;
    const double above = floor * threshold;

    // The signal amplitude of line k: sqrt(max(power - floor, 0)), 0 beyond the spectrum.
    auto amplitude = [&](std::size_t k) {
      return k < lines ? std::sqrt(maximum(power[k] - floor, 0.0)) : 0.0;
    };

    // Each run of strong lines: its first largest power.
    for (std::size_t k = 0; k < lines;) {
      if (!(power[k] >= above)) {
        ++k;
        continue;
      }
      const std::size_t start = k;
      std::size_t peak = k;
      for (++k; k < lines && power[k] >= above; ++k) {
        if (power[k] > power[peak]) peak = k;
      }

      const double ratio = power[peak] / floor;
      const double signal = maximum(ratio - 1.0, 1e-12);
      const double variance =
          kDegreesPerRadianSquared / (2.0 * signal) + kPhaseQuantisationVariance;

      // Where between lines it lies (peak - 1 wraps to beyond the spectrum at line 0).
      const double at_peak = amplitude(peak), before = amplitude(peak - 1),
                   after = amplitude(peak + 1);
      const double difference = after - before;
      const int32_t side = difference > 0 ? 1 : difference < 0 ? -1 : 0;
      const double neighbour = maximum(after, before);
      const double total = at_peak + neighbour;
      const double share = side != 0 && total > 0 ? neighbour / total : 0.0;
      const double noise = floor / mean_of;
      const double peak_rounding = kAmplitudeRounding * at_peak;
      const double neighbour_rounding = kAmplitudeRounding * neighbour;
      const double var_peak = noise + peak_rounding * peak_rounding;
      const double var_next = noise + neighbour_rounding * neighbour_rounding;
      const double error =
          std::sqrt(neighbour * neighbour * var_peak + at_peak * at_peak * var_next) /
          (total * total);

      out.row.push_back(static_cast<int64_t>(s));
      out.line.push_back(static_cast<int32_t>(peak));
      out.lines.push_back(static_cast<int32_t>(k - start));
      out.side.push_back(side);
      out.ratio.push_back(ratio);
      out.phase_noise.push_back(minimum(std::sqrt(variance), kUniformPhase));
      out.share.push_back(share);
      out.share_error.push_back(std::isfinite(error) ? std::min(error, kUniformShare)
                                                     : kUniformShare);
      out.floor.push_back(floor);
      out.decibel_sum.push_back(numpy_sum<float>(
          [&](std::size_t j) { return decibels[static_cast<std::size_t>(used[j]) * lines + peak]; },
          count));
      const float* phases = part.phases + s * antennas * lines + peak;
      out.phases.resize(out.phases.size() + count);
      double* row_phases = out.phases.data() + out.phases.size() - count;
      for (std::size_t j = 0; j < count; ++j) {
        row_phases[j] = static_cast<double>(phases[static_cast<std::size_t>(used[j]) * lines]) -
                        part.offsets[j];
      }
    }
  }
  return out;
}

}  // namespace vexo
