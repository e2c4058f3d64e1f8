#include "module/wrappers.h"

#include "chroma/chroma.h"
#include "engine/bin_grid.h"
#include "engine/cqt.h"
#include "module/interrupt.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <complex>

namespace py = pybind11;

namespace morvat::vexolin {
namespace {

constexpr double filter_scale = 1.0;
constexpr double sparsity = 0.01;

FloatArray float_array(const std::vector<float>& values, int rows, int cols) {
  FloatArray out({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

const float* samples_of(const py::buffer_info& view) { return static_cast<const float*>(view.ptr); }

std::size_t count_of(const py::buffer_info& view) { return static_cast<std::size_t>(view.size); }

}  // namespace

FloatArray chroma_cqt(const SignalArray& y, double sr, int hop, int bins_per_octave, int n_octaves,
                      int n_chroma, double fmin) {
  // The pitch-class shift needs the frequency bin 0 really lies at.
  const double bin0_fmin = effective_fmin(fmin);
  // The folding has no result for some layouts, and the engine would find
  // out only after the whole transform: refused here, before any work.
  const int n_bins = chroma_bin_count(sr, bin0_fmin, bins_per_octave, n_octaves, n_chroma);
  const py::buffer_info view = y.request();
  const CqtParams params{sr, hop, bin0_fmin, n_bins, bins_per_octave, filter_scale, sparsity};
  const CqtMagnitude chroma = run_without_lock([&](const CancelFlag& cancel) {
    const CqtMagnitude magnitude = compute_cqt_magnitude(samples_of(view), count_of(view), params, cancel);
    return chroma_from_magnitude(magnitude, bins_per_octave, n_chroma, bin0_fmin);
  });
  return float_array(chroma.mag, chroma.n_bins, chroma.n_frames);
}

FloatArray cqt_magnitude(const SignalArray& y, double sr, int hop, double fmin, int n_bins,
                         int bins_per_octave) {
  const py::buffer_info view = y.request();
  const CqtParams params{sr, hop, fmin, n_bins, bins_per_octave, filter_scale, sparsity};
  const CqtMagnitude magnitude = run_without_lock([&](const CancelFlag& cancel) {
    return compute_cqt_magnitude(samples_of(view), count_of(view), params, cancel);
  });
  return float_array(magnitude.mag, magnitude.n_bins, magnitude.n_frames);
}

ComplexArray cqt_complex(const SignalArray& y, double sr, int hop, double fmin, int n_bins,
                         int bins_per_octave) {
  const py::buffer_info view = y.request();
  const CqtParams params{sr, hop, fmin, n_bins, bins_per_octave, filter_scale, sparsity};
  const CqtSpectrum spectrum = run_without_lock([&](const CancelFlag& cancel) {
    return compute_cqt(samples_of(view), count_of(view), params, cancel);
  });
  ComplexArray out({static_cast<py::ssize_t>(spectrum.n_bins), static_cast<py::ssize_t>(spectrum.n_frames)});
  std::complex<float>* values = out.mutable_data();
  for (std::size_t i = 0; i < spectrum.re.size(); ++i) values[i] = {spectrum.re[i], spectrum.im[i]};
  return out;
}

}  // namespace morvat::vexolin
