// The direction fit against plane waves whose directions are known, the chi-square tail against
// table values, and the layout's contract.
#include "vexo/direction_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace vexo {
namespace {

constexpr double kPi = 3.14159265358979323846;
const std::vector<double> kEast = {0, 40, -40, 0};  // a T: its bar 80 m east-west, stem 60 m
const std::vector<double> kNorth = {0, 0, 0, -60};

// The phases (degrees) of a plane wave from (e, n) at the antennas, with a common phase.
std::vector<double> wave(const std::vector<double>& east, const std::vector<double>& north,
                         double e, double n, double wavelength, double common) {
  std::vector<double> out;
  for (std::size_t j = 0; j < east.size(); ++j) {
    const double turns = (east[j] * e + north[j] * n) / wavelength;
    out.push_back(std::fmod(common + 360.0 * turns + 720.0, 360.0));
  }
  return out;
}

TEST(DirectionFit, PlaneWavesGiveTheirDirectionsOnAnyNumberOfThreads) {
  // Eight antennas without repeated spacings, at 10 MHz: one candidate per wave.
  const std::vector<double> east = {29.5, 31.1, -0.4, -37.2, -24.1, -36.2, -2.0, 28.4};
  const std::vector<double> north = {5.5, 45.4, 42.0, 48.3, 6.6, -31.5, -35.9, -50.5};
  const DirectionFit fit(east, north, +1);
  const double wavelength = kSpeedOfLight / 10e6;
  std::vector<double> phases, truth, lambda, sigma;
  for (int i = 0; i < 3000; ++i) {  // zenith angles 0 to 70 degrees, all round
    const double z = (i % 71) * kPi / 180, a = i * 0.7;
    truth.push_back(std::sin(z) * std::sin(a));
    truth.push_back(std::sin(z) * std::cos(a));
    for (double p : wave(east, north, truth[2 * i], truth[2 * i + 1], wavelength, i * 1.3)) {
      phases.push_back(p);
    }
    lambda.push_back(wavelength);
    sigma.push_back(2.0);
  }
  const PhaseRows rows{phases.data(), lambda.data(), sigma.data(), lambda.size()};
  FittedRows one(rows.rows), two(rows.rows);
  fit.fit_rows(rows, 0.01, one.view(), 1);
  fit.fit_rows(rows, 0.01, two.view(), 2);
  for (std::size_t i = 0; i < rows.rows; ++i) {
    ASSERT_NEAR(one.east[i], truth[2 * i], 1e-9) << i;
    ASSERT_NEAR(one.north[i], truth[2 * i + 1], 1e-9) << i;
    ASSERT_LT(one.residual[i], 1e-6);
    ASSERT_EQ(one.candidates[i], 1);
    ASSERT_EQ(one.east[i], two.east[i]);  // the threads share the rows, not the sums
    ASSERT_EQ(one.covariance[4 * i + 1], two.covariance[4 * i + 1]);
  }
  // The covariance is (sigma / k)^2 M^-1: for this layout's M worked out by hand from the
  // positions about their middle.
  double me = 0, mn = 0;
  for (std::size_t j = 0; j < east.size(); ++j) {
    me += east[j] / 8;
    mn += north[j] / 8;
  }
  double a = 0, b = 0, c = 0;
  for (std::size_t j = 0; j < east.size(); ++j) {
    a += (east[j] - me) * (east[j] - me);
    b += (east[j] - me) * (north[j] - mn);
    c += (north[j] - mn) * (north[j] - mn);
  }
  const double scale = (2.0 * kPi / 180) * wavelength / (2 * kPi);
  EXPECT_NEAR(one.covariance[0], scale * scale * c / (a * c - b * b), 1e-15);
}

TEST(DirectionFit, ExactAliasesAreCandidatesAndTheNearestTheZenithIsNamed) {
  // At 50 m the bar's 40 m spacing turns by a whole turn for a shift of 1.25 in east: (0.6, 0)
  // and (-0.65, 0) fit alike.
  const DirectionFit fit(kEast, kNorth, +1);
  const double wavelength = 50.0;
  std::vector<double> phases = wave(kEast, kNorth, 0.6, 0.0, wavelength, 10.0);
  const std::vector<double> lambda = {wavelength}, sigma = {3.0};
  FittedRows out(1);
  fit.fit_rows({phases.data(), lambda.data(), sigma.data(), 1}, 0.01, out.view(), 0);
  EXPECT_EQ(out.candidates[0], 2);
  EXPECT_NEAR(out.zenith_east[0], 0.6, 1e-9);
  EXPECT_NEAR(out.zenith_north[0], 0.0, 1e-9);
  double east = 0, north = 0, residual = 0;
  fit.fit({phases.data(), lambda.data(), nullptr, 1}, &east, &north, &residual, 1);
  EXPECT_NEAR(east, 0.6, 1e-9);  // of equals the nearer the zenith
  // A wave from below the horizon's plane (|u| > 1 in the plane) is held to the horizon.
  phases = wave(kEast, kNorth, 0.0, 1.1, 200.0, 0.0);
  const std::vector<double> far = {200.0};
  fit.fit({phases.data(), far.data(), nullptr, 1}, &east, &north, &residual, 1);
  EXPECT_NEAR(std::hypot(east, north), 1.0, 1e-9);
  EXPECT_NEAR(east, 0.0, 1e-9);
  // No wavelength: no direction, the residual about the common phase.
  const std::vector<double> none = {0.0}, spread = {0.0, 0.0, 0.0, 90.0};
  fit.fit({spread.data(), none.data(), nullptr, 1}, &east, &north, &residual, 1);
  EXPECT_TRUE(std::isnan(east));
  // Phases 0, 0, 0, 90: the common phase atan2(1, 3); the residual's RMS from it by hand.
  const double c0 = std::atan2(1.0, 3.0), off = kPi / 2 - c0;
  EXPECT_NEAR(residual, std::sqrt((3 * c0 * c0 + off * off) / 4) * 180 / kPi, 1e-12);
}

TEST(DirectionFit, ChiSquareTailAndCriticalValuesMatchTables) {
  EXPECT_NEAR(chi2_probability(3.8415, 1), 0.05, 1e-5);
  EXPECT_NEAR(chi2_probability(15.0863, 5), 0.01, 1e-6);
  EXPECT_NEAR(chi2_probability(4.0, 2), std::exp(-2.0), 1e-15);
  EXPECT_NEAR(chi2_probability(4.0, 4), 3 * std::exp(-2.0), 1e-15);
  EXPECT_EQ(chi2_probability(-1.0, 3), 1.0);
  EXPECT_EQ(chi2_probability(INFINITY, 3), 0.0);
  EXPECT_TRUE(std::isnan(chi2_probability(NAN, 3)));
  EXPECT_NEAR(chi2_critical(0.01, 1), 6.6349, 1e-4);
  EXPECT_NEAR(chi2_critical(0.05, 5), 11.0705, 1e-4);
}

TEST(DirectionFit, RefusesWhatItCannotFit) {
  EXPECT_THROW(DirectionFit({0, 1}, {0, 1}, 1), std::invalid_argument);
  EXPECT_THROW(DirectionFit({0, 1, 2}, {0, 1, 2}, 1), std::invalid_argument);  // one line
  EXPECT_THROW(DirectionFit({0, 1, NAN}, {0, 1, 0}, 1), std::invalid_argument);
  EXPECT_THROW(DirectionFit(kEast, kNorth, 0), std::invalid_argument);
  const DirectionFit fit(kEast, kNorth, 1, "t.toml");
  const std::vector<double> phases(4, 0.0), lambda = {0.5}, sigma = {1.0};
  FittedRows out(1);
  try {
    fit.fit_rows({phases.data(), lambda.data(), sigma.data(), 1}, 0.01, out.view(), 1);
    FAIL() << "80 m at 0.5 m is searched";
  } catch (const BaselinesTooLong& e) {
    EXPECT_EQ(
        std::string(e.what()).rfind("layout t.toml: a baseline of 80 m is 160 wavelengths", 0), 0u)
        << e.what();
  }
  EXPECT_THROW(fit.fit_rows({phases.data(), lambda.data(), sigma.data(), 1}, 1.0, out.view(), 1),
               std::invalid_argument);
}

}  // namespace
}  // namespace vexo
