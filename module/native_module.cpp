// Entry of `vexolin._native`, the package's private module: `_vexolin`'s
// three transforms with the thread count as an argument (the package splits
// its `workers` budget between channels and the engine) and the filter
// shape (filter_scale, gamma), the harmonic transform, the count `_vexolin`
// would use, and chroma before its frames are scaled (the package applies
// its other norms and its threshold to these). The same wrappers and
// the same engine as `_vexolin`, so results are equal bit for bit. Each
// transform takes an optional `Cancel` token, raised to stop calls made off
// the main thread. `chroma_rows` is the pitch-class row of every bin, the
// rule the chroma folding uses, for magnitudes the package folds itself.
// `Stream`, the transforms of a signal that arrives in blocks, and
// `chord_path`, the decoder of the package's chord model. The transforms'
// fmin is in hertz here: `_vexolin`'s "fmin <= 0 or NaN means C1" is not
// taken, so a value the package never passes cannot slip through.
#include "chroma/chroma.h"
#include "engine/errors.h"
#include "module/cancel_token.h"
#include "module/chord_path_binding.h"
#include "module/stream_binding.h"
#include "module/threads.h"
#include "module/wrappers.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace py = pybind11;
namespace vx = morvat::vexolin;

namespace {

// The package passes fmin in hertz, always: here, unlike in `_vexolin` (where
// fmin <= 0 or NaN stands for C1), anything but a finite number > 0 is refused.
void check_fmin(double fmin) {
  if (!(std::isfinite(fmin) && fmin > 0.0)) throw vx::argument_error("fmin must be a finite number > 0 (Hz), got ", fmin);
}

// `call` with its fmin (the fourth argument) checked first.
template <typename Result, typename... Rest>
auto with_fmin(Result (*call)(const vx::SignalArray&, double, int, double, Rest...)) {
  return [call](const vx::SignalArray& y, double sr, int hop, double fmin, Rest... rest) {
    check_fmin(fmin);
    return call(y, sr, hop, fmin, rest...);
  };
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  // The plain metaclass, as its stub says.
  py::class_<vx::CancelToken>(m, "Cancel", py::metaclass(reinterpret_cast<PyObject*>(&PyType_Type)))
      .def(py::init<>())
      .def("cancel", [](vx::CancelToken& token) { token.raised.store(true, std::memory_order_relaxed); })
      .def_property_readonly("cancelled",
                             [](const vx::CancelToken& token) { return token.raised.load(std::memory_order_relaxed); });
  py::register_exception<vx::TokenCancelled>(m, "Cancelled");
  m.def("cqt_complex", with_fmin(&vx::cqt_complex), py::arg("y"), py::arg("sr"), py::arg("hop"), py::arg("fmin"),
        py::arg("n_bins"), py::arg("bins_per_octave"), py::arg("threads"), py::arg("cancel") = py::none(),
        py::kw_only(), py::arg("filter_scale") = 1.0, py::arg("gamma") = 0.0);
  m.def("cqt_magnitude", with_fmin(&vx::cqt_magnitude), py::arg("y"), py::arg("sr"), py::arg("hop"), py::arg("fmin"),
        py::arg("n_bins"), py::arg("bins_per_octave"), py::arg("threads"), py::arg("cancel") = py::none(),
        py::kw_only(), py::arg("filter_scale") = 1.0, py::arg("gamma") = 0.0);
  m.def("hcqt_complex", with_fmin(&vx::hcqt_complex), py::arg("y"), py::arg("sr"), py::arg("hop"), py::arg("fmin"),
        py::arg("harmonics"), py::arg("n_bins"), py::arg("bins_per_octave"), py::arg("threads"),
        py::arg("cancel") = py::none(), py::kw_only(), py::arg("filter_scale") = 1.0, py::arg("gamma") = 0.0);
  m.def("hcqt_magnitude", with_fmin(&vx::hcqt_magnitude), py::arg("y"), py::arg("sr"), py::arg("hop"), py::arg("fmin"),
        py::arg("harmonics"), py::arg("n_bins"), py::arg("bins_per_octave"), py::arg("threads"),
        py::arg("cancel") = py::none(), py::kw_only(), py::arg("filter_scale") = 1.0, py::arg("gamma") = 0.0);
  m.def("chroma_cqt", &vx::chroma_cqt, py::arg("y"), py::arg("sr"), py::arg("hop"), py::arg("bins_per_octave"),
        py::arg("n_octaves"), py::arg("n_chroma"), py::arg("fmin"), py::arg("threads"),
        py::arg("cancel") = py::none(), py::kw_only(), py::arg("filter_scale") = 1.0);
  m.def("chroma_folded", &vx::chroma_folded, py::arg("y"), py::arg("sr"), py::arg("hop"),
        py::arg("bins_per_octave"), py::arg("n_octaves"), py::arg("n_chroma"), py::arg("fmin"), py::arg("threads"),
        py::arg("cancel") = py::none(), py::kw_only(), py::arg("filter_scale") = 1.0);
  m.def("default_threads", &vx::default_threads);
  m.def(
      "chroma_rows",
      [](int n_bins, int bins_per_octave, int n_chroma, double fmin) {
        const std::vector<int> rows = vx::chroma_rows(n_bins, bins_per_octave, n_chroma, fmin);
        py::array_t<int> out(static_cast<py::ssize_t>(rows.size()));
        std::copy(rows.begin(), rows.end(), out.mutable_data());
        return out;
      },
      py::arg("n_bins"), py::arg("bins_per_octave"), py::arg("n_chroma"), py::arg("fmin"));
  vx::register_stream(m);
  vx::register_chord_path(m);
}
