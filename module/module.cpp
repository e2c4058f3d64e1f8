// Entry of the `_vexolin` extension module. PYBIND11_MODULE provides the
// multi-phase definition: the interpreter version guard, the create step that
// reuses a module already initialised in this interpreter, and the exec step
// that registers the functions below, in this order.
#include "module/wrappers.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;
namespace vx = morvat::vexolin;

PYBIND11_MODULE(_vexolin, m) {
  m.def("chroma_cqt", &vx::chroma_cqt, py::arg("y"), py::arg("sr"), py::arg("hop"),
        py::arg("bins_per_octave"), py::arg("n_octaves"), py::arg("n_chroma"), py::arg("fmin"));
  m.def("cqt_magnitude", &vx::cqt_magnitude, py::arg("y"), py::arg("sr"), py::arg("hop"),
        py::arg("fmin"), py::arg("n_bins"), py::arg("bins_per_octave"));
  m.def("cqt_complex", &vx::cqt_complex, py::arg("y"), py::arg("sr"), py::arg("hop"),
        py::arg("fmin"), py::arg("n_bins"), py::arg("bins_per_octave"));
}
