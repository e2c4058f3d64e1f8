// The arrays the bindings take and give: samples converted by pybind11 into
// a C-contiguous float32 array (one that already is one is used as is,
// without a copy), and float32 or complex64 results.
#pragma once

#include <pybind11/numpy.h>

#include <complex>

namespace morvat::vexolin {

using SignalArray = pybind11::array_t<float, pybind11::array::c_style | pybind11::array::forcecast>;
using FloatArray = pybind11::array_t<float, pybind11::array::forcecast>;
using ComplexArray = pybind11::array_t<std::complex<float>, pybind11::array::forcecast>;

}  // namespace morvat::vexolin
