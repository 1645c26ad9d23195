// vexo._core.find_echo_peaks: the echoes of a part (vexo/echo_peaks.h) for the Python package,
// found without the interpreter lock, their columns as numpy arrays.
#include "python/src/echo_peaks_binding.h"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/vector.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "vexo/echo_peaks.h"

namespace nb = nanobind;

namespace vexo::python {
namespace {

// The arrays of a part as the part reader fills them, taken as they are (never a converted copy).
using Samples = nb::ndarray<const float, nb::ndim<4>, nb::c_contig, nb::device::cpu>;
using Numbers = nb::ndarray<const int16_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// A numpy array over the values of a column, which it keeps.
template <typename T>
nb::ndarray<nb::numpy, T> column(std::vector<T>&& values,
                                 std::initializer_list<std::size_t> shape) {
  if (values.empty()) values.reserve(1);  // an address for an empty array
  auto* kept = new std::vector<T>(std::move(values));
  nb::capsule owner(kept, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  return nb::ndarray<nb::numpy, T>(kept->data(), shape, owner);
}

std::string shape_of(const Samples& a) {
  std::string out = "(";
  for (std::size_t d = 0; d < 4; ++d) out += (d ? ", " : "") + std::to_string(a.shape(d));
  return out + ")";
}

nb::dict find_echo_peaks(const Samples& decibels, const Samples& phases, const Numbers& numbers,
                         std::vector<int32_t> used, std::vector<double> offsets,
                         double threshold_db) {
  for (std::size_t d = 0; d < 4; ++d) {
    if (phases.shape(d) != decibels.shape(d)) {
      throw nb::value_error(
          ("phases: of shape " + shape_of(phases) + ", decibels of " + shape_of(decibels)).c_str());
    }
  }
  if (numbers.shape(0) != decibels.shape(0) || numbers.shape(1) != decibels.shape(1)) {
    throw nb::value_error("subblock_number: not one per record and place of decibels");
  }
  PeakPart part;
  part.decibels = decibels.data();
  part.phases = phases.data();
  part.subblock_number = numbers.data();
  part.records = decibels.shape(0), part.places = decibels.shape(1);
  part.antennas = decibels.shape(2), part.lines = decibels.shape(3);
  part.used = std::move(used);
  part.offsets = std::move(offsets);
  part.threshold_db = threshold_db;
  EchoPeaks found;
  {
    nb::gil_scoped_release unlocked;
    found = vexo::find_echo_peaks(part);
  }
  const std::size_t rows = found.size(), count = part.used.size();
  nb::dict d;
  d["row"] = column(std::move(found.row), {rows});
  d["line"] = column(std::move(found.line), {rows});
  d["lines"] = column(std::move(found.lines), {rows});
  d["side"] = column(std::move(found.side), {rows});
  d["ratio"] = column(std::move(found.ratio), {rows});
  d["phase_noise"] = column(std::move(found.phase_noise), {rows});
  d["share"] = column(std::move(found.share), {rows});
  d["share_error"] = column(std::move(found.share_error), {rows});
  d["floor"] = column(std::move(found.floor), {rows});
  d["decibel_sum"] = column(std::move(found.decibel_sum), {rows});
  d["phases"] = column(std::move(found.phases), {rows, count});
  return d;
}

}  // namespace

// find_echo_peaks(decibels, phases, subblock_number, *, used, offsets, threshold_db): the echoes
// of a part, a dict of columns (vexo/echo_peaks.h); and the constants of the noise floor and the
// phase noise, by the names the package gives them.
void def_echo_peaks(nb::module_& m) {
  m.def("find_echo_peaks", &find_echo_peaks, nb::arg("decibels").noconvert(),
        nb::arg("phases").noconvert(), nb::arg("subblock_number").noconvert(), nb::kw_only(),
        nb::arg("used"), nb::arg("offsets"), nb::arg("threshold_db"),
        "The echoes of a part (records, places, antennas, lines): a dict of numpy arrays row, "
        "line, lines, side, ratio, phase_noise, share, share_error, floor, decibel_sum and "
        "phases (echoes x used antennas).");
  m.def("noise_floor_scale", &vexo::noise_floor_scale, nb::arg("antennas"),
        "The quantile of the mean of `antennas` noise powers of mean 1 that the floor's quantile "
        "is divided by (ValueError below 1 antenna).");
  nb::dict constants;
  constants["FLOOR_QUANTILE"] = kFloorQuantile;
  constants["FEWEST_LINES_LEFT"] = kFewestLinesLeft;
  constants["QUANTISATION_VARIANCE"] = kPhaseQuantisationVariance;
  constants["UNIFORM_PHASE"] = kUniformPhase;
  constants["AMPLITUDE_ROUNDING"] = kAmplitudeRounding;
  constants["UNIFORM_SHARE"] = kUniformShare;
  m.attr("echo_peak_constants") = constants;
}

}  // namespace vexo::python
