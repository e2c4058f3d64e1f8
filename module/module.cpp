// Entry of the `_vexolin` extension module. PYBIND11_MODULE provides the
// multi-phase definition: the interpreter version guard, the create step that
// reuses a module already initialised in this interpreter, and the exec step
// that registers the functions below, in this order. Each is a thin adapter:
// it makes the transform `vexolin._native` takes (an fmin not > 0, NaN
// included, standing for C1), resolves VEXOLIN_THREADS once and computes it
// as the package does, so both give the same bits.
#include "chroma/chroma.h"
#include "engine/bin_grid.h"
#include "module/threads.h"
#include "module/transform.h"

#include <pybind11/pybind11.h>

#include <optional>

namespace py = pybind11;
namespace vx = morvat::vexolin;

namespace {

vx::Transform transform_of(int hop, double fmin, int n_bins, int bins_per_octave, const char* output,
                           int n_chroma = 12) {
  return vx::make_transform(hop, vx::effective_fmin(fmin), n_bins, bins_per_octave, 1.0, 0.0, std::nullopt, output,
                            n_chroma);
}

}  // namespace

PYBIND11_MODULE(_vexolin, m) {
  m.def(
      "chroma_cqt",
      [](const vx::SignalArray& y, double sr, int hop, int bins_per_octave, int n_octaves, int n_chroma,
         double fmin) {
        // The layout's own checks first, n_octaves * bins_per_octave among them.
        vx::plan_chroma(0, sr, hop, bins_per_octave, n_octaves, n_chroma, fmin);
        const vx::Transform t =
            transform_of(hop, fmin, n_octaves * bins_per_octave, bins_per_octave, "chroma", n_chroma);
        return vx::compute(t, y, sr, vx::default_threads()).cast<vx::FloatArray>();
      },
      py::arg("y"), py::arg("sr"), py::arg("hop"), py::arg("bins_per_octave"), py::arg("n_octaves"),
      py::arg("n_chroma"), py::arg("fmin"));
  m.def(
      "cqt_magnitude",
      [](const vx::SignalArray& y, double sr, int hop, double fmin, int n_bins, int bins_per_octave) {
        return vx::compute(transform_of(hop, fmin, n_bins, bins_per_octave, "magnitude"), y, sr,
                           vx::default_threads())
            .cast<vx::FloatArray>();
      },
      py::arg("y"), py::arg("sr"), py::arg("hop"), py::arg("fmin"), py::arg("n_bins"), py::arg("bins_per_octave"));
  m.def(
      "cqt_complex",
      [](const vx::SignalArray& y, double sr, int hop, double fmin, int n_bins, int bins_per_octave) {
        return vx::compute(transform_of(hop, fmin, n_bins, bins_per_octave, "complex"), y, sr,
                           vx::default_threads())
            .cast<vx::ComplexArray>();
      },
      py::arg("y"), py::arg("sr"), py::arg("hop"), py::arg("fmin"), py::arg("n_bins"), py::arg("bins_per_octave"));
}
