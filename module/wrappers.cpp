#include "module/wrappers.h"

#include "chroma/chroma.h"
#include "engine/cqt.h"
#include "engine/errors.h"
#include "engine/hcqt.h"
#include "module/interrupt.h"

#include <pybind11/pybind11.h>

#include <type_traits>
#include <vector>

namespace py = pybind11;

namespace morvat::vexolin {
namespace {

const float* samples_of(const py::buffer_info& view) { return static_cast<const float*>(view.ptr); }

std::size_t count_of(const py::buffer_info& view) { return static_cast<std::size_t>(view.size); }

std::vector<py::ssize_t> shape_of(int rows, int cols) {
  return {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)};
}

void check_threads(int threads) {
  if (threads < 1) throw argument_error("threads must be >= 1, got ", threads);
}

}  // namespace

// Each wrapper plans the call with the interpreter lock held (every check
// runs before any work), makes the output array, and lets the engine write
// straight into it with the lock released.

namespace {

// The chroma plan, its output array and `run` (scaled or unscaled chroma)
// into it without the lock.
template <typename Run>
FloatArray chroma_call(const SignalArray& y, double sr, int hop, int bins_per_octave, int n_octaves, int n_chroma,
                       double fmin, int threads, const CancelToken* cancel, double filter_scale, const Run& run) {
  check_threads(threads);
  const py::buffer_info view = y.request();
  const ChromaPlan plan =
      plan_chroma(count_of(view), sr, hop, bins_per_octave, n_octaves, n_chroma, fmin, filter_scale);
  FloatArray out(shape_of(plan.n_chroma, plan.cqt.n_frames));
  float* chroma = out.mutable_data();
  run_without_lock([&](const CancelFlag& flag) { run(plan, samples_of(view), chroma, threads, flag); }, cancel);
  return out;
}

}  // namespace

FloatArray chroma_cqt(const SignalArray& y, double sr, int hop, int bins_per_octave, int n_octaves,
                      int n_chroma, double fmin, int threads, const CancelToken* cancel, double filter_scale) {
  return chroma_call(y, sr, hop, bins_per_octave, n_octaves, n_chroma, fmin, threads, cancel, filter_scale,
                     [](const ChromaPlan& plan, const float* samples, float* chroma, int n, const CancelFlag& flag) {
                       run_chroma(plan, samples, chroma, n, flag);
                     });
}

FloatArray chroma_folded(const SignalArray& y, double sr, int hop, int bins_per_octave, int n_octaves,
                         int n_chroma, double fmin, int threads, const CancelToken* cancel,
                         double filter_scale) {
  return chroma_call(y, sr, hop, bins_per_octave, n_octaves, n_chroma, fmin, threads, cancel, filter_scale,
                     [](const ChromaPlan& plan, const float* samples, float* chroma, int n, const CancelFlag& flag) {
                       fold_chroma(plan, samples, chroma, n, flag);
                     });
}

FloatArray cqt_magnitude(const SignalArray& y, double sr, int hop, double fmin, int n_bins,
                         int bins_per_octave, int threads, const CancelToken* cancel, double filter_scale,
                         double gamma) {
  check_threads(threads);
  const py::buffer_info view = y.request();
  const CqtPlan plan = plan_cqt(count_of(view), {sr, hop, fmin, n_bins, bins_per_octave, filter_scale, 0.01, gamma});
  FloatArray out(shape_of(plan.n_bins, plan.n_frames));
  CqtTarget target;
  target.mag = out.mutable_data();
  run_without_lock([&](const CancelFlag& flag) { run_cqt(plan, samples_of(view), target, threads, flag); }, cancel);
  return out;
}

namespace {

// complex64 is two float32, real part first.
CqtTarget interleaved(std::complex<float>* out) {
  float* values = reinterpret_cast<float*>(out);
  CqtTarget target;
  target.re = values;
  target.im = values + 1;
  target.stride = 2;
  return target;
}

}  // namespace

ComplexArray cqt_complex(const SignalArray& y, double sr, int hop, double fmin, int n_bins,
                         int bins_per_octave, int threads, const CancelToken* cancel, double filter_scale,
                         double gamma) {
  check_threads(threads);
  const py::buffer_info view = y.request();
  const CqtPlan plan = plan_cqt(count_of(view), {sr, hop, fmin, n_bins, bins_per_octave, filter_scale, 0.01, gamma});
  ComplexArray out(shape_of(plan.n_bins, plan.n_frames));
  const CqtTarget target = interleaved(out.mutable_data());
  run_without_lock([&](const CancelFlag& flag) { run_cqt(plan, samples_of(view), target, threads, flag); }, cancel);
  return out;
}

namespace {

template <typename Array>
Array hcqt_call(const SignalArray& y, double sr, int hop, double fmin, const std::vector<double>& harmonics,
                int n_bins, int bins_per_octave, int threads, const CancelToken* cancel, double filter_scale,
                double gamma) {
  check_threads(threads);
  const py::buffer_info view = y.request();
  const HcqtPlan plan =
      plan_hcqt(count_of(view), {sr, hop, fmin, n_bins, bins_per_octave, filter_scale, 0.01, gamma}, harmonics);
  Array out({static_cast<py::ssize_t>(harmonics.size()), static_cast<py::ssize_t>(plan.n_bins),
             static_cast<py::ssize_t>(plan.n_frames)});
  CqtTarget target;
  if constexpr (std::is_same_v<Array, ComplexArray>) {
    target = interleaved(out.mutable_data());
  } else {
    target.mag = out.mutable_data();
  }
  run_without_lock([&](const CancelFlag& flag) { run_hcqt(plan, samples_of(view), target, threads, flag); },
                   cancel);
  return out;
}

}  // namespace

FloatArray hcqt_magnitude(const SignalArray& y, double sr, int hop, double fmin, const std::vector<double>& harmonics,
                          int n_bins, int bins_per_octave, int threads, const CancelToken* cancel,
                          double filter_scale, double gamma) {
  return hcqt_call<FloatArray>(y, sr, hop, fmin, harmonics, n_bins, bins_per_octave, threads, cancel, filter_scale,
                               gamma);
}

ComplexArray hcqt_complex(const SignalArray& y, double sr, int hop, double fmin, const std::vector<double>& harmonics,
                          int n_bins, int bins_per_octave, int threads, const CancelToken* cancel,
                          double filter_scale, double gamma) {
  return hcqt_call<ComplexArray>(y, sr, hop, fmin, harmonics, n_bins, bins_per_octave, threads, cancel,
                                 filter_scale, gamma);
}

}  // namespace morvat::vexolin
