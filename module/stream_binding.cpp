// The stream's binding: pushes compute without the interpreter lock and stop
// on Ctrl-C as the transforms do. A push or finish entered while another is
// running on the same stream (from another thread: the lock is released
// while computing) is refused instead of corrupting the state.
#include "module/stream_binding.h"

#include "chroma/chroma_stream.h"
#include "engine/stream.h"
#include "module/interrupt.h"
#include "module/wrappers.h"

#include <pybind11/numpy.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace morvat::vexolin {
namespace {

// Blocks up to this many samples that complete no frame are taken with the
// interpreter lock held: a copy costs less than releasing it.
constexpr std::size_t small_block = 1 << 14;

struct NativeStream {
  ChromaStream state;  // state.cqt is the stream; the rest is used for scaled chroma only
  bool chroma = false;  // frames scaled as they are taken
  std::atomic<bool> busy{false};
};

class InUse {
 public:
  explicit InUse(NativeStream& s) : s_(s) {
    if (s_.busy.exchange(true)) {
      throw std::runtime_error("this stream is already taking a block in another thread; "
                               "a stream takes one block at a time (use one stream per thread)");
    }
  }
  ~InUse() { s_.busy.store(false); }
  InUse(const InUse&) = delete;
  InUse& operator=(const InUse&) = delete;

 private:
  NativeStream& s_;
};

// The pending frames as a new (n_rows, k) array.
py::array take(NativeStream& s) {
  CqtStream& c = s.state.cqt;
  const std::vector<py::ssize_t> shape = {c.n_rows, pending_frames(c)};
  if (c.output == StreamOutput::complex) {
    ComplexArray out(shape);
    take_frames(c, reinterpret_cast<float*>(out.mutable_data()));
    return std::move(out);
  }
  FloatArray out(shape);
  if (s.chroma) {
    take_chroma_frames(s.state, out.mutable_data());
  } else {
    take_frames(c, out.mutable_data());
  }
  return std::move(out);
}

std::unique_ptr<NativeStream> open_cqt(const std::string& kind, double sr, int hop, double fmin, int n_bins,
                                       int bins_per_octave, int frames_at_once) {
  StreamOutput output;
  if (kind == "complex") {
    output = StreamOutput::complex;
  } else if (kind == "magnitude") {
    output = StreamOutput::magnitude;
  } else {
    throw std::invalid_argument("kind must be 'complex' or 'magnitude', got '" + kind + "'");
  }
  auto s = std::make_unique<NativeStream>();
  plan_cqt(0, {sr, hop, fmin, n_bins, bins_per_octave});  // every check before building bases
  run_without_lock([&](const CancelFlag& cancel) {
    s->state.cqt = open_stream({sr, hop, fmin, n_bins, bins_per_octave}, output, frames_at_once, {}, 0, cancel);
  });
  return s;
}

// scaled: each frame scaled to its largest value, as chroma_cqt; else the
// folded sums, as chroma_folded.
std::unique_ptr<NativeStream> open_chroma(double sr, int hop, int bins_per_octave, int n_octaves, int n_chroma,
                                          double fmin, int frames_at_once, bool scaled) {
  auto s = std::make_unique<NativeStream>();
  s->chroma = scaled;
  plan_chroma(0, sr, hop, bins_per_octave, n_octaves, n_chroma, fmin);
  run_without_lock([&](const CancelFlag& cancel) {
    s->state = open_chroma_stream(sr, hop, bins_per_octave, n_octaves, n_chroma, fmin, frames_at_once, cancel);
  });
  return s;
}

py::array push(NativeStream& s, const SignalArray& y, bool check_finite) {
  InUse in_use(s);
  if (s.state.cqt.finished) throw std::runtime_error("the stream is finished; open a new one for more samples");
  const py::buffer_info view = y.request();
  const float* samples = static_cast<const float*>(view.ptr);
  std::size_t n = static_cast<std::size_t>(view.size);
  if (check_finite) {
    bool finite = true;
    for (std::size_t i = 0; i < n; ++i) finite &= std::isfinite(samples[i]);
    if (!finite) throw std::invalid_argument("block has non-finite samples (NaN or infinity); it was not taken");
  }
  CqtStream& c = s.state.cqt;
  if (n <= small_block && ready_frames(c, c.pushed + static_cast<std::int64_t>(n)) <= c.computed_end) {
    // Nothing to compute: the samples are only copied in.
    push_samples(c, samples, n);
    return take(s);
  }
  run_without_lock([&](const CancelFlag& cancel) {
    // Once interrupted, the block is taken whole: a retry only computes.
    const std::size_t count = n;
    n = 0;
    push_samples(s.state.cqt, samples, count, cancel);
  });
  return take(s);
}

py::array finish(NativeStream& s) {
  InUse in_use(s);
  run_without_lock([&](const CancelFlag& cancel) { finish_stream(s.state.cqt, cancel); });
  return take(s);
}

}  // namespace

void register_stream(py::module_& m) {
  // A plain type as metaclass: nothing here needs pybind11's (static
  // properties), and the stub can then describe the class as it is.
  py::class_<NativeStream>(m, "Stream", py::metaclass(reinterpret_cast<PyObject*>(&PyType_Type)))
      .def_static("cqt", &open_cqt, py::arg("kind"), py::arg("sr"), py::arg("hop"), py::arg("fmin"),
                  py::arg("n_bins"), py::arg("bins_per_octave"), py::arg("frames_at_once"))
      .def_static(
          "chroma",
          [](double sr, int hop, int bins_per_octave, int n_octaves, int n_chroma, double fmin, int frames_at_once) {
            return open_chroma(sr, hop, bins_per_octave, n_octaves, n_chroma, fmin, frames_at_once, true);
          },
          py::arg("sr"), py::arg("hop"), py::arg("bins_per_octave"), py::arg("n_octaves"), py::arg("n_chroma"),
          py::arg("fmin"), py::arg("frames_at_once"))
      .def_static(
          "chroma_folded",
          [](double sr, int hop, int bins_per_octave, int n_octaves, int n_chroma, double fmin, int frames_at_once) {
            return open_chroma(sr, hop, bins_per_octave, n_octaves, n_chroma, fmin, frames_at_once, false);
          },
          py::arg("sr"), py::arg("hop"), py::arg("bins_per_octave"), py::arg("n_octaves"), py::arg("n_chroma"),
          py::arg("fmin"), py::arg("frames_at_once"))
      .def("push", &push, py::arg("y"), py::arg("check_finite"))
      .def("finish", &finish)
      .def_property_readonly("latency_samples", [](const NativeStream& s) { return stream_latency(s.state.cqt); })
      .def_property_readonly("n_rows", [](const NativeStream& s) { return s.state.cqt.n_rows; })
      .def_property_readonly("frames_at_once", [](const NativeStream& s) { return s.state.cqt.frames_at_once; })
      .def_property_readonly("pushed", [](const NativeStream& s) { return s.state.cqt.pushed; })
      .def_property_readonly("finished", [](const NativeStream& s) { return s.state.cqt.finished; });
}

}  // namespace morvat::vexolin
