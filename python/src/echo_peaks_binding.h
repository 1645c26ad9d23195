// The detection of echoes for Python: vexo._core.find_echo_peaks and its constants.
#pragma once

#include <nanobind/nanobind.h>

namespace vexo::python {

void def_echo_peaks(nanobind::module_& m);

}  // namespace vexo::python
