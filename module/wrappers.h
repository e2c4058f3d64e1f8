// The three transforms of the `_vexolin` and `vexolin._native` modules: thin
// wrappers that take the samples in as a contiguous float32 array, run the
// engine on `threads` threads without the interpreter lock and hand back a new
// NumPy array holding the result. `_vexolin` passes the count VEXOLIN_THREADS
// asks for (module/threads.h); `vexolin._native` takes it from its caller.
#pragma once

#include "module/cancel_token.h"

#include <pybind11/numpy.h>

#include <complex>

namespace morvat::vexolin {

// y is converted by pybind11 into a C-contiguous float32 array; one that
// already is one is used as is, without a copy.
using SignalArray = pybind11::array_t<float, pybind11::array::c_style | pybind11::array::forcecast>;
using FloatArray = pybind11::array_t<float, pybind11::array::forcecast>;
using ComplexArray = pybind11::array_t<std::complex<float>, pybind11::array::forcecast>;

// Each throws std::invalid_argument (ValueError) for threads < 1, and
// TokenCancelled once `cancel`, when given, is raised.
FloatArray chroma_cqt(const SignalArray& y, double sr, int hop, int bins_per_octave, int n_octaves,
                      int n_chroma, double fmin, int threads, const CancelToken* cancel = nullptr);
// chroma_cqt's sums before each frame is scaled.
FloatArray chroma_folded(const SignalArray& y, double sr, int hop, int bins_per_octave, int n_octaves,
                         int n_chroma, double fmin, int threads, const CancelToken* cancel = nullptr);
FloatArray cqt_magnitude(const SignalArray& y, double sr, int hop, double fmin, int n_bins,
                         int bins_per_octave, int threads, const CancelToken* cancel = nullptr);
ComplexArray cqt_complex(const SignalArray& y, double sr, int hop, double fmin, int n_bins,
                         int bins_per_octave, int threads, const CancelToken* cancel = nullptr);

}  // namespace morvat::vexolin
