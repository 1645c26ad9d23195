// New numpy arrays that own memory the module fills.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <initializer_list>

namespace vexo::python {

namespace nb = nanobind;

template <typename T>
using Array = nb::ndarray<nb::numpy, T>;

// A new array of `shape`, filled by `fill(data)`.
template <typename T, typename Fill>
Array<T> make_array(std::initializer_list<std::size_t> shape, Fill fill) {
  std::size_t count = 1;
  for (std::size_t extent : shape) count *= extent;
  T* data = new T[count == 0 ? 1 : count];
  nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<T*>(p); });
  fill(data);
  return Array<T>(data, shape, owner);
}

}  // namespace vexo::python
