#include "module/chord_path_binding.h"

#include "chroma/chord_path.h"

#include <pybind11/numpy.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <stdexcept>

namespace py = pybind11;

namespace morvat::vexolin {
namespace {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::array_t<std::int32_t> chord_path(const DoubleArray& scores, const DoubleArray& switch_cost) {
  if (scores.ndim() != 2) throw std::invalid_argument("scores must be 2-D (n_states, n_frames)");
  if (switch_cost.ndim() != 1 || switch_cost.shape(0) != scores.shape(1)) {
    throw std::invalid_argument("switch_cost must have one value per frame");
  }
  if (scores.shape(0) < 1 && scores.shape(1) > 0) throw std::invalid_argument("scores has no states");
  // A path through NaN or infinite values would be a label for nothing.
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

}  // namespace

void register_chord_path(py::module_& m) {
  m.def("chord_path", &chord_path, py::arg("scores"), py::arg("switch_cost"));
}

}  // namespace morvat::vexolin
