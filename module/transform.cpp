#include "module/transform.h"

#include "chroma/chroma.h"
#include "engine/errors.h"
#include "engine/hcqt.h"
#include "module/interrupt.h"

#include <pybind11/pybind11.h>

#include <cmath>
#include <complex>
#include <limits>

namespace py = pybind11;

namespace morvat::vexolin {
namespace {

TransformOutput output_of(const std::string& name) {
  if (name == "complex") return TransformOutput::complex;
  if (name == "magnitude") return TransformOutput::magnitude;
  if (name == "chroma") return TransformOutput::chroma;
  if (name == "chroma_sums") return TransformOutput::chroma_sums;
  throw argument_error("output must be 'complex', 'magnitude', 'chroma' or 'chroma_sums', got '", name, "'");
}

const float* samples_of(const py::buffer_info& view) { return static_cast<const float*>(view.ptr); }

std::size_t count_of(const py::buffer_info& view) { return static_cast<std::size_t>(view.size); }

// complex64 is two float32, real part first.
CqtTarget target_of(py::array& out, bool complex) {
  CqtTarget target;
  float* values = static_cast<float*>(out.mutable_data());
  if (complex) {
    target.re = values;
    target.im = values + 1;
    target.stride = 2;
  } else {
    target.mag = values;
  }
  return target;
}

py::array new_array(const std::vector<py::ssize_t>& shape, bool complex) {
  if (complex) return ComplexArray(shape);
  return FloatArray(shape);
}

ChromaPlan plan_of_chroma(const Transform& t, double sr, std::size_t len) {
  return plan_chroma(len, sr, t.hop, t.bins_per_octave, t.n_octaves(), t.n_chroma, t.fmin, t.filter_scale);
}

}  // namespace

const char* output_name(TransformOutput output) {
  switch (output) {
    case TransformOutput::complex: return "complex";
    case TransformOutput::magnitude: return "magnitude";
    case TransformOutput::chroma: return "chroma";
    case TransformOutput::chroma_sums: return "chroma_sums";
  }
  return "";
}

Transform make_transform(int hop, double fmin, int n_bins, int bins_per_octave, double filter_scale, double gamma,
                         const std::optional<std::vector<double>>& harmonics, const std::string& output,
                         int n_chroma) {
  Transform t;
  t.output = output_of(output);
  if (hop < 1) throw argument_error("hop must be >= 1, got ", hop);
  if (!(std::isfinite(fmin) && fmin > 0.0)) throw argument_error("fmin must be a finite number > 0 (Hz), got ", fmin);
  if (n_bins < 2) throw argument_error("n_bins must be >= 2, got ", n_bins);
  if (bins_per_octave < 1) throw argument_error("bins_per_octave must be >= 1, got ", bins_per_octave);
  if (!(std::isfinite(filter_scale) && filter_scale > 0.0)) {
    throw argument_error("filter_scale must be a finite number > 0, got ", filter_scale);
  }
  if (!(std::isfinite(gamma) && gamma >= 0.0)) {
    throw argument_error("gamma must be a finite number >= 0 (Hz), got ", gamma);
  }
  if (harmonics) {
    if (harmonics->empty()) throw argument_error("harmonics must hold at least one harmonic");
    for (std::size_t i = 0; i < harmonics->size(); ++i) {
      const double h = (*harmonics)[i];
      if (!(std::isfinite(h) && h > 0.0)) throw argument_error("harmonics[", i, "] must be a finite number > 0, got ", h);
    }
    t.harmonics = *harmonics;
  }
  t.hop = hop;
  t.fmin = fmin;
  t.n_bins = n_bins;
  t.bins_per_octave = bins_per_octave;
  t.filter_scale = filter_scale;
  t.gamma = gamma;
  t.n_chroma = n_chroma;
  if (t.folds()) {
    if (harmonics) throw argument_error("chroma takes no harmonics");
    if (gamma != 0.0) throw argument_error("chroma takes no gamma, got ", gamma);
    if (n_bins % bins_per_octave != 0) {
      throw argument_error("n_bins must be whole octaves of bins_per_octave = ", bins_per_octave,
                           " for chroma, got ", n_bins);
    }
    if (n_chroma < 1 || n_chroma > bins_per_octave) {
      throw argument_error("n_chroma must be between 1 and bins_per_octave = ", bins_per_octave, ", got ", n_chroma);
    }
  }
  return t;
}

CqtParams cqt_params(const Transform& t, double sr) {
  CqtParams p{};
  p.sr = sr;
  p.hop = t.hop;
  p.fmin = t.fmin;
  p.n_bins = t.n_bins;
  p.bins_per_octave = t.bins_per_octave;
  p.filter_scale = t.filter_scale;
  p.gamma = t.gamma;
  return p;
}

void check_transform(const Transform& t, double sr, std::size_t len) {
  if (t.folds()) {
    plan_of_chroma(t, sr, len);
  } else if (!t.harmonics.empty()) {
    plan_hcqt(len, cqt_params(t, sr), t.harmonics);
  } else {
    plan_cqt(len, cqt_params(t, sr));
  }
}

// Each call plans with the interpreter lock held (every check runs before any
// work), makes the output array, and lets the engine write straight into it
// with the lock released.
py::array compute(const Transform& t, const SignalArray& y, double sr, int threads, const CancelToken* cancel) {
  if (threads < 1) throw argument_error("threads must be >= 1, got ", threads);
  const py::buffer_info view = y.request();
  const float* samples = samples_of(view);
  const bool complex = t.output == TransformOutput::complex;
  if (t.folds()) {
    const ChromaPlan plan = plan_of_chroma(t, sr, count_of(view));
    FloatArray out(std::vector<py::ssize_t>{plan.n_chroma, plan.cqt.n_frames});
    float* chroma = out.mutable_data();
    const bool scaled = t.output == TransformOutput::chroma;
    run_without_lock(
        [&](const CancelFlag& flag) {
          if (scaled) {
            run_chroma(plan, samples, chroma, threads, flag);
          } else {
            fold_chroma(plan, samples, chroma, threads, flag);
          }
        },
        cancel);
    return std::move(out);
  }
  if (!t.harmonics.empty()) {
    const HcqtPlan plan = plan_hcqt(count_of(view), cqt_params(t, sr), t.harmonics);
    py::array out = new_array({static_cast<py::ssize_t>(t.harmonics.size()), plan.n_bins, plan.n_frames}, complex);
    const CqtTarget target = target_of(out, complex);
    run_without_lock([&](const CancelFlag& flag) { run_hcqt(plan, samples, target, threads, flag); }, cancel);
    return out;
  }
  const CqtPlan plan = plan_cqt(count_of(view), cqt_params(t, sr));
  py::array out = new_array({plan.n_bins, plan.n_frames}, complex);
  const CqtTarget target = target_of(out, complex);
  run_without_lock([&](const CancelFlag& flag) { run_cqt(plan, samples, target, threads, flag); }, cancel);
  return out;
}

}  // namespace morvat::vexolin
