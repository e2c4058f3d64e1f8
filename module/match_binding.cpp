#include "module/match_binding.h"

#include "chroma/match_estimates.h"
#include "module/cancel_token.h"
#include "module/interrupt.h"
#include "module/native_docstrings.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace morvat::vexolin {
namespace {

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

std::unique_ptr<MatchEstimator> make_estimator(const std::vector<FloatArray>& variants, std::vector<int> shifts, double unit,
                              int block) {
  std::vector<MatchVariant> made;
  for (std::size_t v = 0; v < variants.size(); ++v) {
    const FloatArray& frames = variants[v];
    if (frames.ndim() != 2 || frames.shape(1) != 12 || frames.shape(0) < 1) {
      throw std::invalid_argument("variants[" + std::to_string(v) + "] must be frames x 12 with at least one frame");
    }
    MatchVariant variant;
    variant.length = static_cast<int>(frames.shape(0));
    variant.frames.assign(frames.data(), frames.data() + frames.size());
    made.push_back(std::move(variant));
  }
  return std::make_unique<MatchEstimator>(std::move(made), std::move(shifts), unit, block);
}

py::array_t<float> estimate(const MatchEstimator& estimator, const py::array& rows, const CancelToken* cancel) {
  if (!py::isinstance<py::array_t<std::int16_t>>(rows) || rows.ndim() != 2 || rows.shape(1) != 12) {
    throw std::invalid_argument("rows must be an int16 array of shape (n, 12), got dtype " +
                                py::str(rows.dtype()).cast<std::string>() + " and " +
                                std::to_string(rows.ndim()) + " dimensions");
  }
  const auto x = py::array_t<std::int16_t, py::array::c_style | py::array::forcecast>::ensure(rows);
  const auto n = static_cast<std::int64_t>(x.shape(0));
  py::array_t<float> out({static_cast<py::ssize_t>(estimator.variant_count()), static_cast<py::ssize_t>(n)});
  const std::int16_t* source = x.data();
  float* target = out.mutable_data();
  run_without_lock([&](const CancelFlag& flag) { estimator.estimate(source, n, target, flag); }, cancel);
  return out;
}

}  // namespace

void register_match(py::module_& m) {
  py::class_<MatchEstimator>(m, "MatchEstimator", docs::match_estimator,
                             py::metaclass(reinterpret_cast<PyObject*>(&PyType_Type)))
      .def(py::init(&make_estimator), py::kw_only(), py::arg("variants"), py::arg("shifts"), py::arg("unit"),
           py::arg("block"))
      .def("estimate", &estimate, py::kw_only(), py::arg("rows"), py::arg("cancel") = py::none(),
           docs::match_estimator_estimate)
      .def("size_for", &MatchEstimator::size_for, py::kw_only(), py::arg("n"), docs::match_estimator_size_for)
      .def_property_readonly("n_variants", &MatchEstimator::variant_count, docs::match_estimator_n_variants);
}

}  // namespace morvat::vexolin
