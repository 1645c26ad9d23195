#include "vexo/direction_fit.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <numeric>
#include <thread>
#include <utility>

#include "src/direction_search.h"

namespace vexo {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kBatchRows = 1024;   // rows a thread takes at a time: a few milliseconds
constexpr std::size_t kMostAntennas = 64;  // the rows' scratch arrays live on the stack

double radians(double degrees) {
  return degrees * (kPi / 180.0);
}
double degrees(double radians) {
  return radians * (180.0 / kPi);
}

// x mod 2 pi (the sign of 2 pi), less pi: angles into [-pi, pi).
double wrap(double x) {
  constexpr double turn = 2 * kPi;
  double m = std::fmod(x + kPi, turn);
  if (m != 0) {
    if (m < 0) m += turn;
  } else {
    m = 0.0;
  }
  return m - kPi;
}

// The sum of n values in the order of a reduction of contiguous values by numpy: the first,
// plus the rest summed in eight lanes where there are eight or more of them.
double ordered_sum(const double* a, std::size_t n) {
  if (n == 0) return 0.0;
  const double* rest = a + 1;
  const std::size_t m = n - 1;
  double sum = 0.0;
  if (m < 8) {
    for (std::size_t i = 0; i < m; ++i) sum += rest[i];
  } else {
    double r[8];
    for (std::size_t k = 0; k < 8; ++k) r[k] = rest[k];
    std::size_t i = 8;
    for (; i + 8 <= m; i += 8) {
      for (std::size_t k = 0; k < 8; ++k) r[k] += rest[i + k];
    }
    sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < m; ++i) sum += rest[i];
  }
  return a[0] + sum;
}

// The common phase of a row: the direction of the sum of its unit vectors.
double common_phase(const double* x, std::size_t n) {
  double s[kMostAntennas], c[kMostAntennas];
  for (std::size_t j = 0; j < n; ++j) {
    s[j] = std::sin(x[j]);
    c[j] = std::cos(x[j]);
  }
  return std::atan2(ordered_sum(s, n), ordered_sum(c, n));
}

}  // namespace

double chi2_probability(double chi2, int dof) {
  if (dof < 0) throw std::invalid_argument("degrees of freedom: expected a number >= 0");
  if (std::isnan(chi2)) return kNaN;
  const double x = std::max(chi2, 0.0);
  if (dof == 0) return 1.0;
  if (std::isinf(x)) return 0.0;
  double total, term;
  int count;
  const bool even = dof % 2 == 0;
  if (even) {
    total = 0.0;
    term = std::exp(-x / 2);
    count = dof / 2;
  } else {
    total = std::erfc(std::sqrt(x / 2));
    term = std::sqrt(2 * x / kPi) * std::exp(-x / 2);
    count = (dof - 1) / 2;
  }
  for (int i = 0; i < count; ++i) {
    total = total + term;
    term = term * x / (2 * i + (even ? 2 : 3));
  }
  return std::min(total, 1.0);
}

double chi2_critical(double significance, int dof) {
  if (!(significance > 0.0 && significance < 1.0)) {
    throw std::invalid_argument("significance: expected 0 < significance < 1");
  }
  if (dof == 0) return std::numeric_limits<double>::max();
  double low = 0.0, high = 4.0 * dof + 100.0;  // beyond it for significances down to 1e-20
  for (int i = 0; i < 60; ++i) {
    const double middle = (low + high) / 2;
    if (chi2_probability(middle, dof) > significance) {
      low = middle;
    } else {
      high = middle;
    }
  }
  return high;
}

// What the fit needs at one wavelength.
struct DirectionFit::Grid {
  std::vector<double> east, north;  // the directions searched
  std::vector<float> cos, sin;      // of each antenna's model phase there: points x antennas
  double step = 0;
  std::vector<std::array<double, 2>> aliases;  // shifts that turn every baseline by turns
  double apart = kInf;                         // half the shortest of them
  std::size_t bytes() const {
    return east.size() * 2 * sizeof(double) + cos.size() * 2 * sizeof(float) +
           aliases.size() * sizeof(aliases[0]);
  }
};

DirectionFit::DirectionFit(std::vector<double> east, std::vector<double> north, int phase_sign,
                           std::string name)
    : sign_(phase_sign), name_(std::move(name)) {
  const std::size_t n = east.size();
  if (n != north.size()) throw std::invalid_argument("layout: east and north differ in length");
  if (n < 3 || n > kMostAntennas) {
    throw std::invalid_argument("layout: 3 to " + std::to_string(kMostAntennas) +
                                " antennas are fitted, not " + std::to_string(n));
  }
  if (phase_sign != 1 && phase_sign != -1) {
    throw std::invalid_argument("layout: the phase sign is +1 or -1");
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (!std::isfinite(east[j]) || !std::isfinite(north[j])) {
      throw std::invalid_argument("layout: a position is not a finite number");
    }
  }
  longest_ = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      const double de = east[i] - east[j], dn = north[i] - north[j];
      longest_ = std::max(longest_, std::sqrt(de * de + dn * dn));
    }
  }
  const double middle_east = ordered_sum(east.data(), n) / static_cast<double>(n);
  const double middle_north = ordered_sum(north.data(), n) / static_cast<double>(n);
  for (std::size_t j = 0; j < n; ++j) {
    east[j] -= middle_east;  // the common phase is that of the middle
    north[j] -= middle_north;
  }
  east_ = std::move(east);
  north_ = std::move(north);
  double a = 0, b = 0, c = 0;
  for (std::size_t j = 0; j < n; ++j) {
    a += east_[j] * east_[j];
    b += east_[j] * north_[j];
    c += north_[j] * north_[j];
  }
  spread_[0] = a;
  spread_[1] = spread_[2] = b;
  spread_[3] = c;
  root_[0] = std::sqrt(a);
  root_[1] = root_[0] > 0 ? b / root_[0] : 0.0;
  const double across = c - root_[1] * root_[1];
  const double det = a * c - b * b;
  spread_inverse_[0] = c / det;
  spread_inverse_[1] = spread_inverse_[2] = -b / det;
  spread_inverse_[3] = a / det;
  // Eigenvalues ascending, eigenvectors as columns: the larger's at angle theta.
  const double mean = (a + c) / 2, radius = std::hypot((a - c) / 2, b);
  axes_m_[0] = mean - radius;
  axes_m_[1] = mean + radius;
  const double theta = 0.5 * std::atan2(2 * b, a - c);
  axes_[0] = -std::sin(theta);
  axes_[2] = std::cos(theta);
  axes_[1] = std::cos(theta);
  axes_[3] = std::sin(theta);
  if (!(axes_m_[1] > 0) || !(axes_m_[0] > kFlatLayout * kFlatLayout * axes_m_[1])) {
    throw std::invalid_argument("layout: the antennas lie on one line");
  }
  root_[2] = std::sqrt(std::max(across, 0.0));
  // The pseudo-inverse of the design [1, east, north]: the positions sum to (nearly) nothing
  // about their middle, so its rows are 1/n and M^-1 (east, north).
  solve_.assign(3 * n, 0.0);
  for (std::size_t j = 0; j < n; ++j) {
    solve_[j] = 1.0 / static_cast<double>(n);
    solve_[n + j] = spread_inverse_[0] * east_[j] + spread_inverse_[1] * north_[j];
    solve_[2 * n + j] = spread_inverse_[2] * east_[j] + spread_inverse_[3] * north_[j];
  }
}

DirectionFit::~DirectionFit() = default;

std::shared_ptr<const DirectionFit::Grid> DirectionFit::grid(double wavelength) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = grids_.find(wavelength);
  if (found != grids_.end()) return found->second;
  const double step = std::min(kCoarsestStep, kGridStep * wavelength / longest_);
  if (kPi / (step * step) > kMostGrid) {
    char text[320];
    std::snprintf(text, sizeof text,
                  ": a baseline of %.0f m is %.0f wavelengths at %.0f kHz; the search of "
                  "directions takes baselines of up to %.0f wavelengths",
                  longest_, longest_ / wavelength, kSpeedOfLight / wavelength / 1000,
                  kGridStep * std::sqrt(kMostGrid / kPi));
    throw BaselinesTooLong("layout" + (name_.empty() ? std::string() : " " + name_) + text);
  }
  auto made = std::make_shared<Grid>();
  made->step = step;
  const long most = static_cast<long>(std::ceil(1.0 / step));
  for (long i = -most; i <= most; ++i) {  // north, then east within it
    const double n = static_cast<double>(i) * step;
    for (long k = -most; k <= most; ++k) {
      const double e = static_cast<double>(k) * step;
      if (e * e + n * n < 1.0) {
        made->east.push_back(e);
        made->north.push_back(n);
      }
    }
  }
  const long rim = static_cast<long>(std::ceil(2 * kPi / step));  // and the horizon all round
  for (long i = 0; i < rim; ++i) {
    const double angle = static_cast<double>(i) * (2 * kPi / static_cast<double>(rim)) + 0.0;
    made->east.push_back(std::sin(angle));
    made->north.push_back(std::cos(angle));
  }
  const double k = (sign_ * 2) * kPi / wavelength;
  const std::size_t n = east_.size();
  made->cos.resize(made->east.size() * n);
  made->sin.resize(made->east.size() * n);
  for (std::size_t g = 0; g < made->east.size(); ++g) {
    for (std::size_t j = 0; j < n; ++j) {
      const double ahead = k * (east_[j] * made->east[g] + north_[j] * made->north[g]);
      made->cos[g * n + j] = static_cast<float>(std::cos(ahead));
      made->sin[g * n + j] = static_cast<float>(std::sin(ahead));
    }
  }
  // The shifts d (0 < |d| <= 2) of a direction that turn every baseline by whole turns, within
  // kAliasTurn: each turns two baselines that span the plane by whole turns m1, m2.
  std::vector<std::array<double, 2>> base(n - 1);
  for (std::size_t j = 1; j < n; ++j) base[j - 1] = {east_[j] - east_[0], north_[j] - north_[0]};
  std::size_t p = 0, q = 0;
  double widest = -1;
  for (std::size_t i = 0; i < base.size(); ++i) {
    for (std::size_t j = 0; j < base.size(); ++j) {
      const double cross = std::abs(base[i][0] * base[j][1] - base[i][1] * base[j][0]);
      if (cross > widest) {
        widest = cross;
        p = i;
        q = j;
      }
    }
  }
  const long reach_p =
      static_cast<long>(std::ceil(2 * std::hypot(base[p][0], base[p][1]) / wavelength));
  const long reach_q =
      static_cast<long>(std::ceil(2 * std::hypot(base[q][0], base[q][1]) / wavelength));
  // Rows b_p . d = m1 wavelength, b_q . d = m2 wavelength, by elimination with the larger pivot.
  const bool swap = std::abs(base[q][0]) > std::abs(base[p][0]);
  const auto& top = swap ? base[q] : base[p];
  const auto& low = swap ? base[p] : base[q];
  const double factor = low[0] / top[0];
  const double corner = low[1] - factor * top[1];
  for (long m2 = -reach_q; m2 <= reach_q; ++m2) {
    for (long m1 = -reach_p; m1 <= reach_p; ++m1) {
      const double t1 = static_cast<double>(swap ? m2 : m1) * wavelength;
      const double t2 = static_cast<double>(swap ? m1 : m2) * wavelength;
      const double dn = (t2 - factor * t1) / corner;
      const double de = (t1 - top[1] * dn) / top[0];
      const double size = std::hypot(de, dn);
      bool whole = true;
      for (const auto& b : base) {
        const double off = (b[0] * de + b[1] * dn) / wavelength;
        whole = whole && std::abs(off - std::nearbyint(off)) <= kAliasTurn;
      }
      if (whole && size > step / 2 && size <= 2.0) {
        made->aliases.push_back({de, dn});
        made->apart = std::min(made->apart, size / 2);
      }
    }
  }
  if (grid_bytes_ + made->bytes() > kGridCacheBytes) {
    grids_.clear();
    grid_bytes_ = 0;
  }
  grid_bytes_ += made->bytes();
  grids_.emplace(wavelength, made);
  return made;
}

namespace {

// The fit of one row from one start: its direction and mean squared wrapped residual (rad^2).
struct Fit {
  double east = kNaN, north = kNaN, squares = kInf;
};

// One row's view of the layout, for the least-squares steps.
struct RowFit {
  const double* east;
  const double* north;
  const double* solve;  // 3 x n
  const double* axes_m;
  const double* axes;
  std::size_t n;
  int sign;

  void model(const double f[3], double* out) const {
    for (std::size_t j = 0; j < n; ++j) out[j] = (f[0] * 1.0 + f[1] * east[j]) + f[2] * north[j];
  }

  // A direction beyond the horizon becomes the u on it of least (u - free)^T M (u - free):
  // u = (M + s)^-1 M free, s from Newton's steps on 1/|u| - 1.
  void hold(double& e, double& n_) const {
    if (!(e * e + n_ * n_ > 1.0)) return;
    const double m0 = axes_m[0], m1 = axes_m[1];
    const double a0 = e * axes[0] + n_ * axes[2], a1 = e * axes[1] + n_ * axes[3];
    const double p0 = a0 * m0, p1 = a1 * m1;
    double shift = m0 * (std::hypot(a0, a1) - 1.0);  // the root where m0 = m1, or below it
    double u0 = 0, u1 = 0;
    for (int i = 0; i < kCircleSteps; ++i) {
      const double d0 = m0 + shift, d1 = m1 + shift;
      u0 = p0 / d0;
      u1 = p1 / d1;
      const double size = u0 * u0 + u1 * u1;
      if (std::abs(size - 1.0) < 1e-12) break;
      shift += (std::sqrt(size) - 1.0) * size / (u0 * u0 / d0 + u1 * u1 / d1);
    }
    const double ue = u0 * axes[0] + u1 * axes[1], un = u0 * axes[2] + u1 * axes[3];
    const double size = std::hypot(ue, un);
    e = ue / size;
    n_ = un / size;
  }

  // Unwrapped against the start, fitted, and again against the fit; held to the horizon.
  Fit refine(const double* theta, double wavelength, double e, double n_) const {
    const double k = (sign * 2) * kPi / wavelength;
    double f[3] = {0.0, k * e, k * n_};
    double model_[kMostAntennas], z[kMostAntennas];
    this->model(f, model_);
    for (std::size_t j = 0; j < n; ++j) z[j] = theta[j] - model_[j];
    f[0] = common_phase(z, n);
    for (int r = 0; r < kRefinements; ++r) {
      this->model(f, model_);
      for (std::size_t j = 0; j < n; ++j) z[j] = model_[j] + wrap(theta[j] - model_[j]);
      for (int i = 0; i < 3; ++i) {
        double out = z[0] * solve[i * n];
        for (std::size_t j = 1; j < n; ++j) out += z[j] * solve[i * n + j];
        f[i] = out;
      }
    }
    double fe = f[1] / k, fn = f[2] / k;
    hold(fe, fn);
    f[1] = k * fe;
    f[2] = k * fn;
    this->model(f, model_);
    for (std::size_t j = 0; j < n; ++j) {
      const double off = wrap(theta[j] - model_[j]);
      z[j] = off * off;
    }
    return {f[1] / k, f[2] / k, ordered_sum(z, n) / static_cast<double>(n)};
  }
};

// The fit of least mean squared residual; of those equal to within kEqualSquares the nearest
// the zenith, then the least east, north. The first where the residuals are NaN.
std::size_t best_fit(const Fit* fits, std::size_t count) {
  double least = kInf;
  for (std::size_t i = 0; i < count; ++i) {
    if (std::isnan(fits[i].squares)) return 0;
    least = std::min(least, fits[i].squares);
  }
  std::size_t best = 0;
  double best_size = kInf;
  for (std::size_t i = 0; i < count; ++i) {
    const Fit& f = fits[i];
    if (!(f.squares - least <= kEqualSquares * least + kEqualSquaresFloor)) continue;
    const double size = std::hypot(f.east, f.north);
    const Fit& b = fits[best];
    if (size < best_size ||
        (size == best_size && (f.east < b.east || (f.east == b.east && f.north < b.north)))) {
      best = i;
      best_size = size;
    }
  }
  return best;
}

}  // namespace

template <typename Work>
void DirectionFit::run(const PhaseRows& rows, int threads, Work&& work) const {
  // The rows of each wavelength together, in batches; the others alone.
  std::vector<std::size_t> order;
  order.reserve(rows.rows);
  for (std::size_t i = 0; i < rows.rows; ++i) {
    const double w = rows.wavelength[i];
    if (std::isfinite(w) && w > 0) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return rows.wavelength[a] < rows.wavelength[b];
  });
  std::vector<std::pair<std::size_t, std::size_t>> tasks;
  for (std::size_t s = 0; s < order.size();) {
    std::size_t e = s + 1;
    while (e < order.size() && e - s < kBatchRows &&
           rows.wavelength[order[e]] == rows.wavelength[order[s]]) {
      ++e;
    }
    tasks.emplace_back(s, e);
    s = e;
  }
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_mutex;
  auto worker = [&]() {
    for (;;) {
      const std::size_t t = next.fetch_add(1);
      if (t >= tasks.size() || failed.load()) return;
      try {
        const std::size_t* some = order.data() + tasks[t].first;
        const std::size_t count = tasks[t].second - tasks[t].first;
        work(some, count, *grid(rows.wavelength[some[0]]));
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_mutex);
        if (!error) error = std::current_exception();
        failed = true;
      }
    }
  };
  std::size_t wanted = threads > 0 ? static_cast<std::size_t>(threads)
                                   : std::max(1u, std::thread::hardware_concurrency());
  wanted = std::min(wanted, tasks.size());
  std::vector<std::thread> pool;
  for (std::size_t i = 1; i < wanted; ++i) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
  if (error) std::rethrow_exception(error);
}

namespace {

// The candidates of the rows `some` (count of them): the fit from the grid's best direction,
// then from each alias shift of it (where that is inside the horizon; elsewhere NaN and an
// infinite residual). fits: count x (1 + aliases); radians: count x n.
template <typename Grid>
void candidates(const RowFit& layout, const Grid& grid, const double* radians, std::size_t count,
                double wavelength, Fit* fits) {
  using detail::kSearchLanes;
  const std::size_t n = layout.n, per = 1 + grid.aliases.size();
  float row_cos[kMostAntennas * kSearchLanes], row_sin[kMostAntennas * kSearchLanes];
  int32_t best[kSearchLanes];
  for (std::size_t s = 0; s < count; s += kSearchLanes) {
    const std::size_t lanes = std::min(kSearchLanes, count - s);
    for (std::size_t l = 0; l < kSearchLanes; ++l) {
      for (std::size_t j = 0; j < n; ++j) {
        const double theta = l < lanes ? radians[(s + l) * n + j] : 0.0;
        row_cos[j * kSearchLanes + l] = l < lanes ? static_cast<float>(std::cos(theta)) : 0.0f;
        row_sin[j * kSearchLanes + l] = l < lanes ? static_cast<float>(std::sin(theta)) : 0.0f;
      }
    }
    detail::search_block(grid.cos.data(), grid.sin.data(), grid.east.size(), n, row_cos, row_sin,
                         best);
    for (std::size_t l = 0; l < lanes; ++l) {
      const double* theta = radians + (s + l) * n;
      const double e = grid.east[best[l]], nn = grid.north[best[l]];
      Fit* out = fits + (s + l) * per;
      out[0] = layout.refine(theta, wavelength, e, nn);
      for (std::size_t a = 0; a < grid.aliases.size(); ++a) {
        const double ae = e + grid.aliases[a][0], an = nn + grid.aliases[a][1];
        out[1 + a] = std::hypot(ae, an) <= 1.0 + grid.step
                         ? layout.refine(theta, wavelength, ae, an)
                         : Fit{};
      }
    }
  }
}

}  // namespace

namespace {

// NaN directions for every row; for the rows whose wavelength tells none, the RMS residual
// (degrees) about a common phase alone.
void untold(const PhaseRows& rows, std::size_t n, double* east, double* north, double* residual) {
  for (std::size_t i = 0; i < rows.rows; ++i) {
    east[i] = north[i] = residual[i] = kNaN;
    const double w = rows.wavelength[i];
    if (std::isfinite(w) && w > 0) continue;
    double theta[kMostAntennas], off[kMostAntennas];
    for (std::size_t j = 0; j < n; ++j) theta[j] = radians(rows.phases[i * n + j]);
    const double common = common_phase(theta, n);
    for (std::size_t j = 0; j < n; ++j) {
      const double o = wrap(theta[j] - common);
      off[j] = o * o;
    }
    residual[i] = degrees(std::sqrt(ordered_sum(off, n) / static_cast<double>(n)));
  }
}

}  // namespace

void DirectionFit::fit(const PhaseRows& rows, double* east, double* north, double* residual,
                       int threads) const {
  const std::size_t n = east_.size();
  const RowFit layout{east_.data(), north_.data(), solve_.data(), axes_m_, axes_, n, sign_};
  untold(rows, n, east, north, residual);
  run(rows, threads, [&](const std::size_t* some, std::size_t count, const Grid& grid) {
    const std::size_t per = 1 + grid.aliases.size();
    std::vector<double> theta(count * n);
    for (std::size_t r = 0; r < count; ++r) {
      for (std::size_t j = 0; j < n; ++j) theta[r * n + j] = radians(rows.phases[some[r] * n + j]);
    }
    std::vector<Fit> fits(count * per);
    candidates(layout, grid, theta.data(), count, rows.wavelength[some[0]], fits.data());
    for (std::size_t r = 0; r < count; ++r) {
      const Fit* got = fits.data() + r * per;
      double be = got[0].east, bn = got[0].north, best = degrees(std::sqrt(got[0].squares));
      for (std::size_t c = 1; c < per; ++c) {  // of equals the nearest the zenith
        const double rms = degrees(std::sqrt(got[c].squares));
        const bool nearer = std::hypot(got[c].east, got[c].north) < std::hypot(be, bn) - kNearer;
        if (rms < best - kTie || (rms <= best + kTie && nearer)) {
          be = got[c].east;
          bn = got[c].north;
          best = rms;
        }
      }
      east[some[r]] = be;
      north[some[r]] = bn;
      residual[some[r]] = best;
    }
  });
}

void DirectionFit::fit_rows(const PhaseRows& rows, double significance, const FittedView& out,
                            int threads) const {
  const double critical = chi2_critical(significance, dof());
  const std::size_t n = east_.size();
  for (std::size_t i = 0; i < rows.rows; ++i) {
    out.candidates[i] = 0;
    out.chi2[i] = out.zenith_east[i] = out.zenith_north[i] = kNaN;
    for (int c = 0; c < 4; ++c) out.covariance[i * 4 + c] = kNaN;
  }
  untold(rows, n, out.east, out.north, out.residual);
  const RowFit layout{east_.data(), north_.data(), solve_.data(), axes_m_, axes_, n, sign_};
  run(rows, threads, [&](const std::size_t* some, std::size_t count, const Grid& grid) {
    const std::size_t per = 1 + grid.aliases.size();
    const double wavelength = rows.wavelength[some[0]];
    std::vector<double> theta(count * n);
    for (std::size_t r = 0; r < count; ++r) {
      for (std::size_t j = 0; j < n; ++j) theta[r * n + j] = radians(rows.phases[some[r] * n + j]);
    }
    std::vector<Fit> fits(count * per);
    candidates(layout, grid, theta.data(), count, wavelength, fits.data());
    std::vector<double> squares(per), chi2(per), w0(per), w1(per);
    std::vector<std::size_t> passing(per);
    std::vector<char> kept(per);
    for (std::size_t r = 0; r < count; ++r) {
      const std::size_t i = some[r];
      const Fit* got = fits.data() + r * per;
      double sigma = radians(rows.sigma[i]);
      if (!(std::isfinite(sigma) && sigma > 0)) sigma = kNaN;
      for (std::size_t c = 0; c < per; ++c) {
        squares[c] = got[c].squares;
        chi2[c] = squares[c] * static_cast<double>(n) / (sigma * sigma);
      }
      const std::size_t best = best_fit(got, per);
      out.east[i] = got[best].east;
      out.north[i] = got[best].north;
      out.residual[i] = degrees(std::sqrt(squares[best]));
      out.chi2[i] = chi2[best];
      const double scale = sigma * wavelength / (2 * kPi);  // radians of phase to cosines
      for (int c = 0; c < 4; ++c) out.covariance[i * 4 + c] = scale * scale * spread_inverse_[c];
      // The passing candidates, best first; within `within` of a better one a candidate is
      // it (whitened by L^T u / scale, M = L L^T: as far apart as in 1-sigma errors), never
      // half an alias shift off.
      std::size_t count_passing = 0;
      for (std::size_t c = 0; c < per; ++c) {
        if (chi2[c] <= critical) passing[count_passing++] = c;
      }
      out.candidates[i] = static_cast<int16_t>(count_passing);
      out.zenith_east[i] = out.east[i];
      out.zenith_north[i] = out.north[i];
      if (count_passing < 2) continue;
      std::stable_sort(passing.begin(), passing.begin() + count_passing,
                       [&](std::size_t a, std::size_t b) { return squares[a] < squares[b]; });
      const double within = std::min(kSameSigmas * kSameSigmas,
                                     grid.apart * grid.apart * axes_m_[0] / (scale * scale));
      const double r00 = root_[0] / scale, r10 = root_[1] / scale, r11 = root_[2] / scale;
      int16_t distinct = 0;
      std::size_t nearest = 0;
      double nearest_size = kInf;
      for (std::size_t s = 0; s < count_passing; ++s) {
        const Fit& f = got[passing[s]];
        w0[s] = r00 * f.east + r10 * f.north;
        w1[s] = r11 * f.north;
        bool same = false;
        for (std::size_t t = 0; t < s && !same; ++t) {
          const double d0 = w0[t] - w0[s], d1 = w1[t] - w1[s];
          same = kept[t] && d0 * d0 + d1 * d1 < within;
        }
        kept[s] = !same;
        if (same) continue;
        ++distinct;
        const double size = std::hypot(f.east, f.north);
        if (s == 0 || size < nearest_size - kNearer) {
          nearest_size = size;
          nearest = s;
        }
      }
      out.candidates[i] = distinct;
      if (distinct > 1) {
        out.zenith_east[i] = got[passing[nearest]].east;
        out.zenith_north[i] = got[passing[nearest]].north;
      }
    }
  });
  for (std::size_t i = 0; i < rows.rows; ++i) {
    out.probability[i] = chi2_probability(out.chi2[i], dof());
  }
}

}  // namespace vexo
