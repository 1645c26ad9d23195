#include "python/src/direction_fit_binding.h"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstddef>
#include <string>
#include <vector>

#include "python/src/numpy_arrays.h"
#include "vexo/direction_fit.h"

namespace vexo::python {
namespace {

using Rows = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Column = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

PhaseRows phase_rows(const DirectionFit& fit, const Rows& phases, const Column& wavelength,
                     const Column* sigma) {
  if (phases.shape(1) != fit.antennas()) {
    throw nb::value_error(("phases: " + std::to_string(phases.shape(1)) +
                           " a row, the layout has " + std::to_string(fit.antennas()) + " antennas")
                              .c_str());
  }
  if (wavelength.shape(0) != phases.shape(0) || (sigma && sigma->shape(0) != phases.shape(0))) {
    throw nb::value_error("phases, wavelength and sigma: not one entry a row");
  }
  return {phases.data(), wavelength.data(), sigma ? sigma->data() : nullptr, phases.shape(0)};
}

nb::tuple fit(const DirectionFit& fit, const Rows& phases, const Column& wavelength, int threads) {
  const PhaseRows rows = phase_rows(fit, phases, wavelength, nullptr);
  const std::size_t n = rows.rows;
  auto east = make_array<double>({n}, [](double*) {});
  auto north = make_array<double>({n}, [](double*) {});
  auto residual = make_array<double>({n}, [](double*) {});
  {
    nb::gil_scoped_release unlocked;
    fit.fit(rows, east.data(), north.data(), residual.data(), threads);
  }
  return nb::make_tuple(east, north, residual);
}

nb::dict fit_rows(const DirectionFit& fit, const Rows& phases, const Column& wavelength,
                  const Column& sigma, double significance, int threads) {
  const PhaseRows rows = phase_rows(fit, phases, wavelength, &sigma);
  const std::size_t n = rows.rows;
  auto east = make_array<double>({n}, [](double*) {});
  auto north = make_array<double>({n}, [](double*) {});
  auto residual = make_array<double>({n}, [](double*) {});
  auto chi2 = make_array<double>({n}, [](double*) {});
  auto probability = make_array<double>({n}, [](double*) {});
  auto candidates = make_array<int16_t>({n}, [](int16_t*) {});
  auto zenith_east = make_array<double>({n}, [](double*) {});
  auto zenith_north = make_array<double>({n}, [](double*) {});
  auto covariance = make_array<double>({n, 2, 2}, [](double*) {});
  const FittedView view{east.data(),        north.data(),        residual.data(),
                        chi2.data(),        probability.data(),  candidates.data(),
                        zenith_east.data(), zenith_north.data(), covariance.data()};
  {
    nb::gil_scoped_release unlocked;
    fit.fit_rows(rows, significance, view, threads);
  }
  nb::dict out;
  out["east"] = east;
  out["north"] = north;
  out["residual"] = residual;
  out["chi2"] = chi2;
  out["probability"] = probability;
  out["candidates"] = candidates;
  out["zenith_choice_east"] = zenith_east;
  out["zenith_choice_north"] = zenith_north;
  out["covariance"] = covariance;
  return out;
}

}  // namespace

void def_direction_fit(nb::module_& m) {
  using namespace nb::literals;
  nb::exception<BaselinesTooLong>(m, "BaselinesTooLong", PyExc_ValueError);
  nb::class_<DirectionFit>(m, "DirectionFit")
      .def(nb::init<std::vector<double>, std::vector<double>, int, std::string>(), "east"_a,
           "north"_a, "phase_sign"_a, "name"_a = "")
      .def_prop_ro("antennas", &DirectionFit::antennas)
      .def_prop_ro("dof", &DirectionFit::dof)
      .def_prop_ro("longest_baseline", &DirectionFit::longest_baseline)
      .def("fit", &fit, "phases"_a, "wavelength"_a, nb::kw_only(), "threads"_a = 0)
      .def("fit_rows", &fit_rows, "phases"_a, "wavelength"_a, "sigma"_a, "significance"_a,
           nb::kw_only(), "threads"_a = 0);
  m.def(
      "chi2_probability",
      [](const Column& chi2, int dof) {
        if (dof < 0) throw nb::value_error("degrees of freedom: expected a number >= 0");
        return make_array<double>({chi2.shape(0)}, [&](double* out) {
          for (std::size_t i = 0; i < chi2.shape(0); ++i) out[i] = chi2_probability(chi2(i), dof);
        });
      },
      "chi2"_a, "dof"_a);
  m.def("chi2_critical", &chi2_critical, "significance"_a, "dof"_a);
  m.attr("speed_of_light") = kSpeedOfLight;
  m.attr("flat_layout") = kFlatLayout;
  m.attr("grid_step") = kGridStep;
  m.attr("most_grid") = kMostGrid;
}

}  // namespace vexo::python
