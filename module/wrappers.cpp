#include "module/wrappers.h"

#include "chroma/chroma.h"
#include "engine/bin_grid.h"
#include "engine/cqt.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace morvat::vexolin {
namespace {

constexpr double filter_scale = 1.0;
constexpr double sparsity = 0.01;

// The bin count of a chroma transform, n_octaves whole octaves. The folding
// has no result for these layouts, and the engine would only find out after
// the whole transform, so they are refused here, before any work. Everything
// else is checked by the engine itself.
int chroma_bin_count(int bins_per_octave, int n_octaves, int n_chroma) {
  using std::to_string;
  if (bins_per_octave < 1) {
    throw std::invalid_argument("bins_per_octave must be >= 1, got " + to_string(bins_per_octave));
  }
  if (n_octaves < 1) throw std::invalid_argument("n_octaves must be >= 1, got " + to_string(n_octaves));
  if (n_chroma < 1 || n_chroma > bins_per_octave) {
    throw std::invalid_argument("n_chroma must be between 1 and bins_per_octave = " + to_string(bins_per_octave) +
                                ", got " + to_string(n_chroma));
  }
  const std::int64_t n_bins = static_cast<std::int64_t>(n_octaves) * bins_per_octave;
  const std::string product = to_string(n_octaves) + " * " + to_string(bins_per_octave);
  if (n_bins > std::numeric_limits<int>::max()) {
    throw std::invalid_argument("n_octaves * bins_per_octave must be at most 2147483647, got " + product + " = " +
                                to_string(n_bins));
  }
  if (n_bins < 2) {
    throw std::invalid_argument("n_octaves * bins_per_octave must be >= 2, got " + product);
  }
  return static_cast<int>(n_bins);
}

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
  const int n_bins = chroma_bin_count(bins_per_octave, n_octaves, n_chroma);
  const py::buffer_info view = y.request();
  CqtMagnitude chroma;
  {
    py::gil_scoped_release unlocked;
    // The pitch-class shift needs the frequency bin 0 really lies at.
    const double bin0_fmin = effective_fmin(fmin);
    const CqtParams params{sr, hop, bin0_fmin, n_bins, bins_per_octave, filter_scale, sparsity};
    const CqtMagnitude magnitude = compute_cqt_magnitude(samples_of(view), count_of(view), params);
    chroma = chroma_from_magnitude(magnitude, bins_per_octave, n_chroma, bin0_fmin);
  }
  return float_array(chroma.mag, chroma.n_bins, chroma.n_frames);
}

FloatArray cqt_magnitude(const SignalArray& y, double sr, int hop, double fmin, int n_bins,
                         int bins_per_octave) {
  const py::buffer_info view = y.request();
  const CqtParams params{sr, hop, fmin, n_bins, bins_per_octave, filter_scale, sparsity};
  CqtMagnitude magnitude;
  {
    py::gil_scoped_release unlocked;
    magnitude = compute_cqt_magnitude(samples_of(view), count_of(view), params);
  }
  return float_array(magnitude.mag, magnitude.n_bins, magnitude.n_frames);
}

ComplexArray cqt_complex(const SignalArray& y, double sr, int hop, double fmin, int n_bins,
                         int bins_per_octave) {
  const py::buffer_info view = y.request();
  const CqtParams params{sr, hop, fmin, n_bins, bins_per_octave, filter_scale, sparsity};
  CqtSpectrum spectrum;
  {
    py::gil_scoped_release unlocked;
    spectrum = compute_cqt(samples_of(view), count_of(view), params);
  }
  ComplexArray out({static_cast<py::ssize_t>(spectrum.n_bins), static_cast<py::ssize_t>(spectrum.n_frames)});
  std::complex<float>* values = out.mutable_data();
  for (std::size_t i = 0; i < spectrum.re.size(); ++i) values[i] = {spectrum.re[i], spectrum.im[i]};
  return out;
}

}  // namespace morvat::vexolin
