// Entry of `vexolin._native`, the package's private module: `Transform`,
// every transform the package computes (layout, filter shape, harmonics,
// complex values, magnitudes, chroma or its sums before frames are scaled)
// made by keyword and checked once; `compute`, its one call, with the thread
// count as an argument (the package splits its `workers` budget between
// channels and the engine) and an optional `Cancel` token, raised to stop
// calls made off the main thread; the count `_vexolin` would use. The same
// call and engine as `_vexolin`, so results are equal bit for bit. `chroma_rows` is the pitch-class row of every bin, the
// rule the chroma folding uses, for magnitudes the package folds itself.
// `Stream`, the transforms of a signal that arrives in blocks, and
// `chord_path`, the decoder of the package's chord model;
// `MatchEstimator`, the estimates `vexolin.match` prunes its search with.
#include "chroma/chroma.h"
#include "module/cancel_token.h"
#include "module/native_docstrings.h"
#include "module/chord_path_binding.h"
#include "module/match_binding.h"
#include "module/stream_binding.h"
#include "module/threads.h"
#include "module/transform.h"
#include "module/wrappers.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;
namespace vx = morvat::vexolin;

PYBIND11_MODULE(_native, m) {
  m.doc() = vx::docs::module;
  // The plain metaclass, as its stub says.
  py::class_<vx::CancelToken>(m, "Cancel", vx::docs::cancel, py::metaclass(reinterpret_cast<PyObject*>(&PyType_Type)))
      .def(py::init<>())
      .def("cancel", [](vx::CancelToken& token) { token.raised.store(true, std::memory_order_relaxed); },
           vx::docs::cancel_cancel)
      .def_property_readonly("cancelled",
                             [](const vx::CancelToken& token) { return token.raised.load(std::memory_order_relaxed); },
                             vx::docs::cancel_cancelled);
  py::register_exception<vx::TokenCancelled>(m, "Cancelled").attr("__doc__") = vx::docs::cancelled;
  py::class_<vx::Transform>(m, "Transform", vx::docs::transform, py::metaclass(reinterpret_cast<PyObject*>(&PyType_Type)))
      .def(py::init(&vx::make_transform), py::kw_only(), py::arg("hop"), py::arg("fmin"), py::arg("n_bins"),
           py::arg("bins_per_octave"), py::arg("filter_scale") = 1.0, py::arg("gamma") = 0.0,
           py::arg("harmonics") = py::none(), py::arg("output") = "magnitude", py::arg("n_chroma") = 12)
      .def_readonly("hop", &vx::Transform::hop)
      .def_readonly("fmin", &vx::Transform::fmin)
      .def_readonly("n_bins", &vx::Transform::n_bins)
      .def_readonly("bins_per_octave", &vx::Transform::bins_per_octave)
      .def_readonly("filter_scale", &vx::Transform::filter_scale)
      .def_readonly("gamma", &vx::Transform::gamma)
      .def_property_readonly("harmonics",
                             [](const vx::Transform& t) -> std::optional<std::vector<double>> {
                               if (t.harmonics.empty()) return std::nullopt;
                               return t.harmonics;
                             })
      .def_property_readonly("output", [](const vx::Transform& t) { return vx::output_name(t.output); })
      .def_readonly("n_chroma", &vx::Transform::n_chroma)
      .def("check", [](const vx::Transform& t, double sr) { vx::check_transform(t, sr); }, py::arg("sr"),
           vx::docs::transform_check)
      .def("__repr__", [](const vx::Transform& t) {
        std::string text = "Transform(hop=" + std::to_string(t.hop) + ", fmin=" + py::repr(py::float_(t.fmin)).cast<std::string>() +
                           ", n_bins=" + std::to_string(t.n_bins) + ", bins_per_octave=" + std::to_string(t.bins_per_octave) +
                           ", filter_scale=" + py::repr(py::float_(t.filter_scale)).cast<std::string>() +
                           ", gamma=" + py::repr(py::float_(t.gamma)).cast<std::string>();
        if (!t.harmonics.empty()) text += ", harmonics=" + py::repr(py::cast(t.harmonics)).cast<std::string>();
        text += ", output='" + std::string(vx::output_name(t.output)) + "'";
        if (t.folds()) text += ", n_chroma=" + std::to_string(t.n_chroma);
        return text + ")";
      });
  m.def("compute", &vx::compute, py::arg("transform"), py::arg("y"), py::arg("sr"), py::arg("threads"),
        py::arg("cancel") = py::none(), vx::docs::compute);
  m.def("default_threads", &vx::default_threads, vx::docs::default_threads);
  m.def(
      "chroma_rows",
      [](int n_bins, int bins_per_octave, int n_chroma, double fmin) {
        const std::vector<int> rows = vx::chroma_rows(n_bins, bins_per_octave, n_chroma, fmin);
        py::array_t<int> out(static_cast<py::ssize_t>(rows.size()));
        std::copy(rows.begin(), rows.end(), out.mutable_data());
        return out;
      },
      py::arg("n_bins"), py::arg("bins_per_octave"), py::arg("n_chroma"), py::arg("fmin"), vx::docs::chroma_rows);
  vx::register_stream(m);
  vx::register_chord_path(m);
  vx::register_match(m);
}
