// Arrival directions of plane waves fitted to the phases of an array of antennas, for many rows
// of phases at once, on as many threads as asked.
//
// A plane wave from the unit vector u = (east, north, up) gives antenna j at r_j = (east_j,
// north_j, 0) m the phase phi0 + s * 360 * (r_j . u) / wavelength degrees, s the layout's phase
// sign. The fit of a row searches a grid of directions for the largest coherence
// |sum_j exp(i (phase_j - model_j))|, fits by least squares from there (the phases unwrapped
// against the start, then against the fit) and again from every alias shift of the start (a
// shift that turns every baseline by whole turns, within kAliasTurn). With Gaussian noise of
// sigma on each phase, the squared wrapped residuals of the best fit over sigma^2 are chi^2 with
// (antennas - 3) degrees of freedom: every direction that passes that test is a candidate.
//
//   const std::vector<double> east = {0, 40, -40, 0}, north = {0, 0, 0, -60};  // m
//   const vexo::DirectionFit fit(east, north, +1);  // +1: the phase grows with r . u
//   const double wavelength = vexo::kSpeedOfLight / 3.2e6;  // m, at 3200 kHz
//   std::vector<double> phases;  // one row: a wave from east 0.3, north -0.2, in degrees
//   for (std::size_t j = 0; j < east.size(); ++j) {
//     phases.push_back(360 * (east[j] * 0.3 + north[j] * -0.2) / wavelength);
//   }
//   const double sigma = 5.0;  // degrees of noise on each phase
//   vexo::FittedRows out(1);
//   fit.fit_rows({phases.data(), &wavelength, &sigma, 1}, 0.01, out.view(), 0);
//   std::cout << out.east[0] << ' ' << out.north[0] << ' ' << out.candidates[0] << '\n';
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vexo {

constexpr double kSpeedOfLight = 299792458.0;  // m/s

// Antennas whose positions span less than this share of the layout's size across its longest
// direction (the ratio of the singular values of their positions about their middle) lie on one
// line, as far as a fit of directions can tell.
constexpr double kFlatLayout = 1e-6;

// The grid's step in direction cosine, as a share of wavelength / (longest baseline): from the
// grid point nearest the true direction no baseline's phase is more than 45 degrees off (the
// nearest point lies within step/sqrt(2) of it, which turns a baseline B by
// 360 * B * step / (sqrt(2) wavelength) degrees).
constexpr double kGridStep = 45.0 * 1.4142135623730951 / 360.0;
// The grid is never coarser than this, however short the baselines.
constexpr double kCoarsestStep = 0.25;
// The most directions a search grid holds: baselines up to about 25 wavelengths (1.3 km at
// 5600 kHz). Longer ones are refused (BaselinesTooLong).
constexpr double kMostGrid = 65536.0;
// Shifts of direction that turn every baseline by whole turns within this share of a turn are
// tried as well: from the grid point nearest them, too, every phase is less than half a turn off.
constexpr double kAliasTurn = 1.0 / 8;
// Degrees: fits whose residuals are this close are equally good (DirectionFit::fit).
constexpr double kTie = 1e-3;
// Unwrapping and fitting again, each time against the fit before.
constexpr int kRefinements = 2;
// The most Newton steps for the fit held to the horizon (8 do for layouts of 20:1).
constexpr int kCircleSteps = 12;
// Directions whose distances from the zenith (sqrt(e^2 + n^2)) differ by less than this are as
// near: two held to the horizon, for one. Of those the better fit is taken.
constexpr double kNearer = 1e-9;
// Candidates whose mean squared residuals differ by less than this share of the least (and
// kEqualSquaresFloor rad^2) fit equally well: of them the best is the nearest the zenith (then
// the least east, north), so that no rounding chooses between exact aliases.
constexpr double kEqualSquares = 1e-9;
constexpr double kEqualSquaresFloor = 1e-18;
// Candidates are one direction within this many 1-sigma errors and half an alias shift.
constexpr double kSameSigmas = 3.0;
// The search grids a DirectionFit keeps, one for each wavelength it meets, hold at most this
// many bytes; beyond it they are made again (each costs less than the search of a few rows).
constexpr std::size_t kGridCacheBytes = std::size_t{64} << 20;

// A layout whose baselines are too many wavelengths long for the search of directions.
class BaselinesTooLong : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// P(chi^2 with dof degrees of freedom >= chi2): 1 for dof 0, NaN for a NaN chi2, 0 for an
// infinite one; values below 0 count as 0. Throws std::invalid_argument for dof < 0.
double chi2_probability(double chi2, int dof);

// The chi^2 that a plane wave exceeds with probability `significance` (0 < significance < 1),
// to within 2^-60 of its bracket; the largest double for dof 0 (no freedom: no test).
double chi2_critical(double significance, int dof);

// Rows of phases to fit. Every pointer holds `rows` entries (phases: rows x antennas, row by
// row) and must stay valid during the call; sigma is read by fit_rows only.
struct PhaseRows {
  const double* phases = nullptr;      // degrees, antennas in the layout's order
  const double* wavelength = nullptr;  // m; a row of any other than a positive finite one
                                       // tells no direction
  const double* sigma = nullptr;       // degrees: the noise of one antenna's phase
  std::size_t rows = 0;
};

// Where fit_rows writes: every pointer holds `rows` entries (covariance: rows x 4, row by row
// east-east, east-north, north-east, north-north).
struct FittedView {
  double* east = nullptr;  // direction cosines of the least chi^2 (held to e^2 + n^2 <= 1;
                           // of equals, see kEqualSquares, the nearest the zenith)
  double* north = nullptr;
  double* residual = nullptr;      // degrees: RMS of the wrapped phase residuals
  double* chi2 = nullptr;          // the squared wrapped residuals summed, over sigma^2
  double* probability = nullptr;   // chi2_probability(chi2, dof)
  int16_t* candidates = nullptr;   // distinct directions that pass the test
  double* zenith_east = nullptr;   // of the candidates the nearest the zenith (east, north of
  double* zenith_north = nullptr;  // the best fit with fewer than 2)
  double* covariance = nullptr;    // of (east, north): (sigma / k)^2 M^-1, k = 2 pi / wavelength
};

// Arrays that hold what fit_rows gives for `rows` rows.
struct FittedRows {
  explicit FittedRows(std::size_t rows)
      : east(rows),
        north(rows),
        residual(rows),
        chi2(rows),
        probability(rows),
        candidates(rows),
        zenith_east(rows),
        zenith_north(rows),
        covariance(rows * 4) {}
  FittedView view() {
    return {east.data(),        north.data(),        residual.data(),
            chi2.data(),        probability.data(),  candidates.data(),
            zenith_east.data(), zenith_north.data(), covariance.data()};
  }
  std::vector<double> east, north, residual, chi2, probability;
  std::vector<int16_t> candidates;
  std::vector<double> zenith_east, zenith_north, covariance;
};

// The fit of one layout. Constructed once; its const members may be called from several threads
// at once. It keeps the search grid of each wavelength it meets (at most kGridCacheBytes).
class DirectionFit {
 public:
  // Antenna positions (m, east and north of any origin) and the phase sign (+1: the phase grows
  // with r . u, -1: it falls); `name` names the layout in messages (empty: nowhere to name).
  // Throws std::invalid_argument for fewer than 3 antennas (or more than 64), positions that
  // are not finite, lengths that differ, antennas on one line (kFlatLayout), or a phase sign
  // other than +1 or -1.
  DirectionFit(std::vector<double> east, std::vector<double> north, int phase_sign,
               std::string name = {});
  ~DirectionFit();
  DirectionFit(const DirectionFit&) = delete;
  DirectionFit& operator=(const DirectionFit&) = delete;

  std::size_t antennas() const { return east_.size(); }
  int dof() const { return static_cast<int>(east_.size()) - 3; }
  double longest_baseline() const { return longest_; }

  // Directions of rows: east, north and the RMS residual (degrees) of each (pointers of `rows`
  // entries). Of directions whose residuals lie within kTie the one nearest the zenith. Where
  // the wavelength is not positive finite, east and north are NaN and the residual is that of a
  // common phase alone. threads: 0 for one a core. Throws BaselinesTooLong.
  void fit(const PhaseRows& rows, double* east, double* north, double* residual, int threads) const;

  // Directions of rows tested as plane waves, with their candidates (see FittedView). NaN
  // chi2, probability and covariance where sigma is not positive finite; candidates 0 where
  // no direction passes. Throws std::invalid_argument unless 0 < significance < 1, and
  // BaselinesTooLong.
  void fit_rows(const PhaseRows& rows, double significance, const FittedView& out,
                int threads) const;

  struct Grid;

 private:
  std::shared_ptr<const Grid> grid(double wavelength) const;
  template <typename Work>
  void run(const PhaseRows& rows, int threads, Work&& work) const;

  std::vector<double> east_, north_;  // about the antennas' middle
  int sign_;
  std::string name_;
  double longest_;
  std::vector<double> solve_;  // the design's pseudo-inverse, 3 x antennas
  double spread_[4];           // M = sum of r r^T, m^2
  double spread_inverse_[4];
  double axes_m_[2], axes_[4];  // M's eigenvalues (ascending) and eigenvectors (columns)
  double root_[3];              // M = L L^T: L00, L10, L11
  mutable std::mutex mutex_;
  mutable std::map<double, std::shared_ptr<const Grid>> grids_;
  mutable std::size_t grid_bytes_ = 0;
};

}  // namespace vexo
