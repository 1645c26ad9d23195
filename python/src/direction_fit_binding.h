// The direction fit for Python: vexo._core.DirectionFit, chi2_probability, chi2_critical and
// the fit's constants.
#pragma once

#include <nanobind/nanobind.h>

namespace vexo::python {

void def_direction_fit(nanobind::module_& m);

}  // namespace vexo::python
