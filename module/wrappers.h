// The three transforms of the `_vexolin` and `vexolin._native` modules: thin
// wrappers that take the samples in as a contiguous float32 array, run the
// engine on `threads` threads without the interpreter lock and hand back a new
// NumPy array holding the result. `_vexolin` passes the count VEXOLIN_THREADS
// asks for (module/threads.h); `vexolin._native` takes it from its caller.
#pragma once

#include "module/cancel_token.h"

#include <pybind11/numpy.h>

#include <complex>
#include <vector>

namespace morvat::vexolin {

// y is converted by pybind11 into a C-contiguous float32 array; one that
// already is one is used as is, without a copy.
using SignalArray = pybind11::array_t<float, pybind11::array::c_style | pybind11::array::forcecast>;
using FloatArray = pybind11::array_t<float, pybind11::array::forcecast>;
using ComplexArray = pybind11::array_t<std::complex<float>, pybind11::array::forcecast>;

// Each throws std::invalid_argument (ValueError) for threads < 1, and
// TokenCancelled once `cancel`, when given, is raised. filter_scale scales
// every filter's length and gamma (Hz) widens every bin's band: 1 and 0
// are the plain constant-Q transform.
FloatArray chroma_cqt(const SignalArray& y, double sr, int hop, int bins_per_octave, int n_octaves,
                      int n_chroma, double fmin, int threads, const CancelToken* cancel = nullptr,
                      double filter_scale = 1.0);
// chroma_cqt's sums before each frame is scaled.
FloatArray chroma_folded(const SignalArray& y, double sr, int hop, int bins_per_octave, int n_octaves,
                         int n_chroma, double fmin, int threads, const CancelToken* cancel = nullptr,
                         double filter_scale = 1.0);
FloatArray cqt_magnitude(const SignalArray& y, double sr, int hop, double fmin, int n_bins,
                         int bins_per_octave, int threads, const CancelToken* cancel = nullptr,
                         double filter_scale = 1.0, double gamma = 0.0);
ComplexArray cqt_complex(const SignalArray& y, double sr, int hop, double fmin, int n_bins,
                         int bins_per_octave, int threads, const CancelToken* cancel = nullptr,
                         double filter_scale = 1.0, double gamma = 0.0);
// The harmonic transform: an (n_harmonics, n_bins, n_frames) array whose
// channel i equals the transform from harmonics[i] * fmin.
FloatArray hcqt_magnitude(const SignalArray& y, double sr, int hop, double fmin, const std::vector<double>& harmonics,
                          int n_bins, int bins_per_octave, int threads, const CancelToken* cancel = nullptr,
                          double filter_scale = 1.0, double gamma = 0.0);
ComplexArray hcqt_complex(const SignalArray& y, double sr, int hop, double fmin, const std::vector<double>& harmonics,
                          int n_bins, int bins_per_octave, int threads, const CancelToken* cancel = nullptr,
                          double filter_scale = 1.0, double gamma = 0.0);

}  // namespace morvat::vexolin
