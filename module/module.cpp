// Entry of the `_vexolin` extension module. PYBIND11_MODULE provides the
// multi-phase definition: the interpreter version guard, the create step that
// reuses a module already initialised in this interpreter, and the exec step
// that registers the functions below, in this order. Each call resolves
// VEXOLIN_THREADS once and runs the wrapper `vexolin._native` shares.
#include "module/threads.h"
#include "module/wrappers.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;
namespace vx = morvat::vexolin;

PYBIND11_MODULE(_vexolin, m) {
  m.def(
      "chroma_cqt",
      [](const vx::SignalArray& y, double sr, int hop, int bins_per_octave, int n_octaves, int n_chroma,
         double fmin) {
        return vx::chroma_cqt(y, sr, hop, bins_per_octave, n_octaves, n_chroma, fmin, vx::default_threads());
      },
      py::arg("y"), py::arg("sr"), py::arg("hop"), py::arg("bins_per_octave"), py::arg("n_octaves"),
      py::arg("n_chroma"), py::arg("fmin"));
  m.def(
      "cqt_magnitude",
      [](const vx::SignalArray& y, double sr, int hop, double fmin, int n_bins, int bins_per_octave) {
        return vx::cqt_magnitude(y, sr, hop, fmin, n_bins, bins_per_octave, vx::default_threads());
      },
      py::arg("y"), py::arg("sr"), py::arg("hop"), py::arg("fmin"), py::arg("n_bins"), py::arg("bins_per_octave"));
  m.def(
      "cqt_complex",
      [](const vx::SignalArray& y, double sr, int hop, double fmin, int n_bins, int bins_per_octave) {
        return vx::cqt_complex(y, sr, hop, fmin, n_bins, bins_per_octave, vx::default_threads());
      },
      py::arg("y"), py::arg("sr"), py::arg("hop"), py::arg("fmin"), py::arg("n_bins"), py::arg("bins_per_octave"));
}
