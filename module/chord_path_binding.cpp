#include "module/chord_path_binding.h"

#include "chroma/chord_path.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace morvat::vexolin {
namespace {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Scores of shape (n_states, n_frames) and one cost per frame, both finite:
// a path through NaN or infinite values would be a label for nothing.
void check_scores(const DoubleArray& scores, const DoubleArray& switch_cost) {
  if (scores.ndim() != 2) throw std::invalid_argument("scores must be 2-D (n_states, n_frames)");
  if (switch_cost.ndim() != 1 || switch_cost.shape(0) != scores.shape(1)) {
    throw std::invalid_argument("switch_cost must have one value per frame");
  }
  const auto check_finite = [](const char* name, const DoubleArray& values) {
    const double* v = values.data();
    for (py::ssize_t i = 0; i < values.size(); ++i) {
      if (!std::isfinite(v[i])) {
        throw std::invalid_argument(std::string(name) + " must be finite, got " + std::to_string(v[i]) +
                                    " at flat index " + std::to_string(i));
      }
    }
  };
  check_finite("scores", scores);
  check_finite("switch_cost", switch_cost);
}

py::array_t<std::int32_t> as_array(const std::vector<std::int32_t>& states) {
  py::array_t<std::int32_t> out(static_cast<py::ssize_t>(states.size()));
  std::copy(states.begin(), states.end(), out.mutable_data());
  return out;
}

py::array_t<std::int32_t> chord_path(const DoubleArray& scores, const DoubleArray& switch_cost) {
  if (scores.ndim() == 2 && scores.shape(0) < 1 && scores.shape(1) > 0) {
    throw std::invalid_argument("scores has no states");
  }
  check_scores(scores, switch_cost);
  const auto n_states = static_cast<int>(scores.shape(0));
  const auto n_frames = static_cast<std::int64_t>(scores.shape(1));
  py::array_t<std::int32_t> path(static_cast<py::ssize_t>(n_frames));
  const double* s = scores.data();
  const double* c = switch_cost.data();
  std::int32_t* out = path.mutable_data();
  {
    py::gil_scoped_release unlocked;
    best_state_path(s, n_states, n_frames, c, out);
  }
  return path;
}

// The decoder keeps the interpreter lock while it runs (a run of frames takes
// microseconds), so no other thread sees it half advanced.
py::array_t<std::int32_t> push(ChordDecoder& decoder, const DoubleArray& scores, const DoubleArray& switch_cost) {
  if (decoder.finished()) throw std::runtime_error("the decoder is finished; make a new one for another signal");
  check_scores(scores, switch_cost);
  if (scores.shape(0) != decoder.n_states()) {
    throw std::invalid_argument("scores must have one row per state (" + std::to_string(decoder.n_states()) +
                                "), got " + std::to_string(scores.shape(0)));
  }
  std::vector<std::int32_t> decided;
  decoder.push(scores.data(), static_cast<std::int64_t>(scores.shape(1)), switch_cost.data(), decided);
  return as_array(decided);
}

py::array_t<std::int32_t> finish(ChordDecoder& decoder) {
  std::vector<std::int32_t> decided;
  decoder.finish(decided);
  return as_array(decided);
}

}  // namespace

void register_chord_path(py::module_& m) {
  m.def("chord_path", &chord_path, py::arg("scores"), py::arg("switch_cost"));
  // A plain type as metaclass, as the stub describes it.
  py::class_<ChordDecoder>(m, "ChordDecoder", py::metaclass(reinterpret_cast<PyObject*>(&PyType_Type)))
      .def(py::init<int, std::int64_t>(), py::arg("n_states"), py::arg("lag"))
      .def("push", &push, py::arg("scores"), py::arg("switch_cost"))
      .def("finish", &finish)
      .def("__copy__", [](const ChordDecoder& decoder) { return ChordDecoder(decoder); })
      .def_property_readonly("n_states", &ChordDecoder::n_states)
      .def_property_readonly("lag", &ChordDecoder::lag)
      .def_property_readonly("pending", &ChordDecoder::pending)
      .def_property_readonly("finished", &ChordDecoder::finished);
}

}  // namespace morvat::vexolin
