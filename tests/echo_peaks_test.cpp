// The echoes of a part: spectra built line by line, whose noise floor, runs of strong lines and
// positions between lines follow from the rules by hand.
#include "vexo/echo_peaks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vexo {
namespace {

constexpr double kPi = 3.14159265358979323846;

// A part of `records` x `places` subblocks of `antennas` x `lines`, every sample at 0 dB (linear
// power 1) and 0 degrees, every place holding a subblock.
struct Spectra {
  std::size_t records, places, antennas, lines;
  std::vector<float> decibels, phases;
  std::vector<int16_t> numbers;

  Spectra(std::size_t r, std::size_t w, std::size_t a, std::size_t l)
      : records(r),
        places(w),
        antennas(a),
        lines(l),
        decibels(r * w * a * l, 0.0f),
        phases(r * w * a * l, 0.0f),
        numbers(r * w, 0) {}

  std::size_t at(std::size_t r, std::size_t w, std::size_t a, std::size_t k) const {
    return ((r * places + w) * antennas + a) * lines + k;
  }
  // Line k of every antenna at `db`.
  void line(std::size_t r, std::size_t w, std::size_t k, float db) {
    for (std::size_t a = 0; a < antennas; ++a) decibels[at(r, w, a, k)] = db;
  }
  PeakPart part(std::vector<int32_t> used, double threshold_db = 6.0) const {
    PeakPart p;
    p.decibels = decibels.data();
    p.phases = phases.data();
    p.subblock_number = numbers.data();
    p.records = records, p.places = places, p.antennas = antennas, p.lines = lines;
    p.offsets.assign(used.size(), 0.0);
    p.used = std::move(used);
    p.threshold_db = threshold_db;
    return p;
  }
};

// The phase noise of the model: sqrt((180/pi)² / (2 (ratio - 1)) + (360/256)² / 12) degrees.
double model_phase_noise(double ratio) {
  const double degrees = 180.0 / kPi, step = 360.0 / 256;
  return std::sqrt(degrees * degrees / (2.0 * (ratio - 1.0)) + step * step / 12.0);
}

TEST(EchoPeaks, ConstantsAndTheFloorsScale) {
  EXPECT_EQ(kUniformPhase, 360.0 / std::sqrt(12.0));
  EXPECT_EQ(kUniformShare, 1.0 / std::sqrt(12.0));
  EXPECT_EQ(kAmplitudeRounding, std::log(10.0) / 20 * 1.5 / std::sqrt(12.0));
  EXPECT_EQ(kPhaseQuantisationVariance, 0.164794921875);  // 1.9775390625 / 12

  // One antenna: exponential noise of mean 1, whose quartile is -ln(3/4).
  EXPECT_NEAR(noise_floor_scale(1), -std::log(0.75), 1e-15);
  // Four: the mean of four is Gamma(4) / 4, of distribution 1 - e^-x (1 + x + x²/2 + x³/6).
  const double x = 4 * noise_floor_scale(4);
  EXPECT_NEAR(1.0 - std::exp(-x) * (1.0 + x + x * x / 2 + x * x * x / 6), 0.25, 1e-14);
  // The mean of more antennas is nearer 1, and so is its quartile.
  EXPECT_LT(noise_floor_scale(1), noise_floor_scale(4));
  EXPECT_LT(noise_floor_scale(4), noise_floor_scale(16));
  EXPECT_LT(noise_floor_scale(16), 1.0);
  EXPECT_THROW(noise_floor_scale(0), std::invalid_argument);
}

// Flat noise (power 1 on every line) and tones of 30 dB (power 1000) on the used antennas: one
// echo per tone, of a floor 1 / scale, with its phases less the offsets, in subblock order.
TEST(EchoPeaks, TonesOverFlatNoise) {
  Spectra s(2, 2, 3, 32);
  const std::vector<int32_t> used = {2, 0};
  for (int32_t a : used) {
    s.decibels[s.at(0, 0, a, 7)] = 30.0f;
    s.decibels[s.at(1, 1, a, 5)] = 30.0f;
  }
  s.phases[s.at(0, 0, 2, 7)] = 100.0f, s.phases[s.at(0, 0, 0, 7)] = 40.0f;
  s.decibels[s.at(1, 0, 1, 20)] = 90.0f;  // an antenna not used
  s.numbers[1] = -1;                      // record 0, place 1: left over, not read
  s.line(0, 1, 3, 40.0f);
  s.line(0, 1, 4, std::numeric_limits<float>::quiet_NaN());
  PeakPart part = s.part(used);
  part.offsets = {5.0, -10.0};

  const EchoPeaks e = find_echo_peaks(part);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e.row, (std::vector<int64_t>{0, 3}));  // record * places + place
  EXPECT_EQ(e.line, (std::vector<int32_t>{7, 5}));
  EXPECT_EQ(e.lines, (std::vector<int32_t>{1, 1}));
  const double floor = 1.0 / noise_floor_scale(2);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_DOUBLE_EQ(e.floor[i], floor);
    EXPECT_DOUBLE_EQ(e.ratio[i], 1000.0 / floor);
    EXPECT_NEAR(e.phase_noise[i], model_phase_noise(1000.0 / floor), 1e-12);
    // The neighbours (power 1) are below the floor (1 / 0.48): no signal beside the peak, and
    // the error of the share is that of the missing neighbour, sqrt(floor / 2) against the
    // peak's amplitude.
    EXPECT_EQ(e.side[i], 0);
    EXPECT_EQ(e.share[i], 0.0);
    EXPECT_NEAR(e.share_error[i], std::sqrt(floor / 2) / std::sqrt(1000.0 - floor), 1e-15);
    EXPECT_EQ(e.decibel_sum[i], 60.0f);
  }
  ASSERT_EQ(e.phases.size(), 4u);  // [echo][used antenna]
  EXPECT_DOUBLE_EQ(e.phases[0], 100.0 - 5.0);
  EXPECT_DOUBLE_EQ(e.phases[1], 40.0 + 10.0);
  EXPECT_DOUBLE_EQ(e.phases[2], -5.0);
  EXPECT_DOUBLE_EQ(e.phases[3], 10.0);

  // Too weak for the phase to mean anything: at most a phase anywhere on the circle.
  Spectra weak(1, 1, 1, 16);
  weak.line(0, 0, 3, 6.0f);
  const EchoPeaks w = find_echo_peaks(weak.part({0}, 0.0));
  ASSERT_FALSE(w.phase_noise.empty());
  for (double sigma : w.phase_noise) EXPECT_EQ(sigma, kUniformPhase);
}

TEST(EchoPeaks, NoiseFloorLeavesWideEchoesOut) {
  // 17 of 32 lines an echo of 16 dB (39.8); the other 15 noise, 8 of power 1 and 7 of power 10.
  // The quartile of all lines lies among the noise's largest: 1 + 0.75 (10 - 1) = 7.75, above
  // which (by 6 dB) the echo would be lost. Taken again of the 15 lines below 7.75 x 3.98 it is
  // 1, the floor 1 / scale, and the echo stands out as one run (its first line the peak).
  Spectra wide(1, 1, 1, 32);
  for (std::size_t k = 10; k < 27; ++k) wide.line(0, 0, k, 16.0f);
  for (std::size_t k : {0, 2, 4, 6, 8, 28, 30}) wide.line(0, 0, k, 10.0f);
  const EchoPeaks e = find_echo_peaks(wide.part({0}));
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e.line[0], 10);
  EXPECT_EQ(e.lines[0], 17);
  EXPECT_DOUBLE_EQ(e.floor[0], 1.0 / noise_floor_scale(1));

  // Five lines of power 1, 10, 100, 10^4, 10^4: the quartile (at 1 of 0..4) is 10, and only 2
  // lines are below 39.8; fewer than 4 are left, so the floor stays 10 / scale. The two lines of
  // 10^4 are one echo at the spectrum's end.
  Spectra few(1, 1, 1, 5);
  const float decibels[] = {0.0f, 10.0f, 20.0f, 40.0f, 40.0f};
  for (std::size_t k = 0; k < 5; ++k) few.line(0, 0, k, decibels[k]);
  const EchoPeaks f = find_echo_peaks(few.part({0}));
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f.line[0], 3);
  EXPECT_EQ(f.lines[0], 2);
  EXPECT_DOUBLE_EQ(f.floor[0], 10.0 / noise_floor_scale(1));
}

// Between two lines: an untapered transform gives a tone at distance d from a line the amplitude
// |sinc d| there. sinc(1/4) / sinc(3/4) = 3, so amplitudes 3c and c put the tone a quarter of a
// line from the larger toward the smaller; two equal amplitudes put it halfway.
TEST(EchoPeaks, WhereBetweenLinesTheEchoLies) {
  Spectra s(1, 2, 2, 32);
  const double floor = 1.0 / noise_floor_scale(2);  // flat noise of power 1
  s.line(0, 0, 9, 20.0f);
  s.line(0, 0, 10, 20.0f);
  const double c = 10.0;
  s.line(0, 1, 20, static_cast<float>(10.0 * std::log10(floor + 9 * c * c)));
  s.line(0, 1, 19, static_cast<float>(10.0 * std::log10(floor + c * c)));
  const EchoPeaks e = find_echo_peaks(s.part({0, 1}));
  ASSERT_EQ(e.size(), 2u);

  // Halfway: the first of the equal lines is the peak.
  EXPECT_EQ(e.line[0], 9);
  EXPECT_EQ(e.lines[0], 2);
  EXPECT_EQ(e.side[0], 1);
  EXPECT_EQ(e.share[0], 0.5);
  // Both amplitudes a: sqrt(2 a² v) / (2a)², v = floor / 2 + (rounding a)².
  const double a = std::sqrt(100.0 - floor);
  const double v = floor / 2 + kAmplitudeRounding * kAmplitudeRounding * a * a;
  EXPECT_NEAR(e.share_error[0], std::sqrt(2 * v) / (4 * a), 1e-15);

  EXPECT_EQ(e.line[1], 20);
  EXPECT_EQ(e.side[1], -1);
  EXPECT_NEAR(e.share[1], 0.25, 1e-5);
  EXPECT_LT(e.share_error[1], kUniformShare);
}

// The first and last lines of a spectrum are not neighbours, nor are the lines of two subblocks.
TEST(EchoPeaks, RunsEndAtTheSpectrumsEdges) {
  Spectra s(1, 2, 1, 16);
  s.line(0, 0, 0, 30.0f);
  s.line(0, 0, 15, 30.0f);
  s.line(0, 1, 0, 30.0f);
  s.line(0, 1, 1, 27.0f);
  const EchoPeaks e = find_echo_peaks(s.part({0}));
  EXPECT_EQ(e.row, (std::vector<int64_t>{0, 0, 1}));
  EXPECT_EQ(e.line, (std::vector<int32_t>{0, 15, 0}));
  EXPECT_EQ(e.lines, (std::vector<int32_t>{1, 1, 2}));
  EXPECT_EQ(e.side, (std::vector<int32_t>{0, 0, 1}));
}

TEST(EchoPeaks, InvalidInputsThrow) {
  const Spectra s(1, 1, 2, 8);
  EXPECT_THROW(find_echo_peaks(s.part({})), std::invalid_argument);
  EXPECT_THROW(find_echo_peaks(s.part({0, 2})), std::invalid_argument);
  EXPECT_THROW(find_echo_peaks(s.part({-1})), std::invalid_argument);
  PeakPart offsets = s.part({0, 1});
  offsets.offsets.pop_back();
  EXPECT_THROW(find_echo_peaks(offsets), std::invalid_argument);
  PeakPart missing = s.part({0});
  missing.phases = nullptr;
  EXPECT_THROW(find_echo_peaks(missing), std::invalid_argument);
  missing = s.part({0});
  missing.subblock_number = nullptr;
  EXPECT_THROW(find_echo_peaks(missing), std::invalid_argument);
  try {
    find_echo_peaks(s.part({0, 5}));
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "used: antenna index 5 is not one of the part's 2 antennas (indexes from 0)");
  }
  // Without records there is nothing to find and no array is needed.
  PeakPart empty = Spectra(0, 4, 2, 8).part({1});
  empty.decibels = empty.phases = nullptr;
  empty.subblock_number = nullptr;
  EXPECT_EQ(find_echo_peaks(empty).size(), 0u);
}

}  // namespace
}  // namespace vexo
