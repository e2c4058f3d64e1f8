// The stream's binding: pushes compute without the interpreter lock and stop
// on Ctrl-C as the transforms do. A push or finish entered while another is
// running on the same stream (from another thread: the lock is released
// while computing) is refused instead of corrupting the state. The channels
// of a stream are pushed together, so that an interruption leaves them all
// holding the same signal and their frames pending.
#include "module/stream_binding.h"

#include "chroma/chroma_stream.h"
#include "engine/errors.h"
#include "engine/hcqt.h"
#include "engine/stream.h"
#include "module/interrupt.h"
#include "module/native_docstrings.h"
#include "module/transform.h"
#include "module/wrappers.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace morvat::vexolin {
namespace {

// Blocks up to this many samples that complete no frame are taken with the
// interpreter lock held: a copy costs less than releasing it.
constexpr std::size_t small_block = 1 << 14;

struct NativeStream {
  ChromaStream state;  // state.cqt is the stream; the rest is used for scaled chroma only
  bool chroma = false;  // frames scaled as they are taken
  bool harmonic = false;  // frames as (n_harmonics, n_bins, k)
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

// Copies the pending frames to out (n_rows x k values, two floats each for
// complex output) and forgets them.
void take_into(NativeStream& s, float* out) {
  if (s.chroma) {
    take_chroma_frames(s.state, out);
  } else {
    take_frames(s.state.cqt, out);
  }
}

// The pending frames of every stream as a new (count, n_rows, k) array, or
// (n_rows, k) without a leading axis; a harmonic stream's rows as
// (n_harmonics, n_bins).
py::array take(const std::vector<NativeStream*>& streams, bool leading) {
  const NativeStream& head = *streams.front();
  const CqtStream& first = head.state.cqt;
  const py::ssize_t frames = pending_frames(first);
  for (const NativeStream* s : streams) {
    if (pending_frames(s->state.cqt) != frames) throw std::logic_error("channels with different pending frames");
  }
  std::vector<py::ssize_t> shape = {first.n_rows, frames};
  if (head.harmonic) {
    const py::ssize_t n_channels = static_cast<py::ssize_t>(first.channels.size());
    shape = {n_channels, first.n_rows / n_channels, frames};
  }
  if (leading) shape.insert(shape.begin(), static_cast<py::ssize_t>(streams.size()));
  const std::size_t stride = static_cast<std::size_t>(first.n_rows) * static_cast<std::size_t>(frames);
  if (first.output == StreamOutput::complex) {
    ComplexArray out(shape);
    float* values = reinterpret_cast<float*>(out.mutable_data());
    for (std::size_t k = 0; k < streams.size(); ++k) take_into(*streams[k], values + 2 * k * stride);
    return std::move(out);
  }
  FloatArray out(shape);
  for (std::size_t k = 0; k < streams.size(); ++k) take_into(*streams[k], out.mutable_data() + k * stride);
  return std::move(out);
}

py::array take(NativeStream& s) { return take({&s}, false); }

// Opens the transform's stream at rate sr: every check before any basis is
// built, then the bases without the interpreter lock.
std::unique_ptr<NativeStream> open(const Transform& t, double sr, int frames_at_once) {
  check_transform(t, sr);
  auto s = std::make_unique<NativeStream>();
  s->chroma = t.output == TransformOutput::chroma;
  s->harmonic = !t.harmonics.empty();
  const StreamOutput output = t.output == TransformOutput::complex ? StreamOutput::complex : StreamOutput::magnitude;
  run_without_lock([&](const CancelFlag& cancel) {
    if (t.folds()) {
      s->state = open_chroma_stream(sr, t.hop, t.bins_per_octave, t.n_octaves(), t.n_chroma, t.fmin, frames_at_once,
                                    cancel, t.filter_scale);
    } else if (s->harmonic) {
      s->state.cqt = open_hcqt_stream(cqt_params(t, sr), t.harmonics, output, frames_at_once, cancel);
    } else {
      s->state.cqt = open_stream(cqt_params(t, sr), output, frames_at_once, {}, 0, cancel);
    }
  });
  return s;
}

// A sample is NaN or infinite when its exponent bits are all set. Tested on
// the bits the loop is vectorised, which std::isfinite's is not: a push
// checks every sample it takes.
void check_finite_samples(const float* samples, std::size_t n) {
  constexpr std::uint32_t exponent = 0x7f800000u;
  std::uint32_t special = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, samples + i, sizeof bits);
    special |= static_cast<std::uint32_t>((bits & exponent) == exponent);
  }
  if (special != 0) throw std::invalid_argument("block has non-finite samples (NaN or infinity); it was not taken");
}

// Takes the n samples at y and computes the frames they complete, which stay
// pending. Once interrupted, the samples are taken whole: a retry only computes.
void feed(NativeStream& s, const float* samples, std::size_t n) {
  CqtStream& c = s.state.cqt;
  if (n <= small_block && ready_frames(c, c.pushed + static_cast<std::int64_t>(n)) <= c.computed_end) {
    // Nothing to compute: the samples are only copied in.
    push_samples(c, samples, n);
    return;
  }
  run_without_lock([&](const CancelFlag& cancel) {
    const std::size_t count = n;
    n = 0;
    push_samples(s.state.cqt, samples, count, cancel);
  });
}

// Takes the samples as an interrupted push does: whole, their frames left to
// the next push or finish.
void take_uncomputed(NativeStream& s, const float* samples, std::size_t n) {
  std::atomic<bool> raised{true};
  try {
    push_samples(s.state.cqt, samples, n, CancelFlag(&raised));
  } catch (const CallCancelled&) {
  }
}

// Every stream held for the call, refused if another thread holds one, and
// checked to hold the same signal.
struct Channels {
  explicit Channels(const std::vector<NativeStream*>& streams) : streams(streams) {
    if (streams.empty()) throw std::invalid_argument("a stream needs at least one channel");
    for (NativeStream* s : streams) held.push_back(std::make_unique<InUse>(*s));
    pushed = streams.front()->state.cqt.pushed;
    for (const NativeStream* s : streams) {
      if (s->state.cqt.pushed != pushed) {
        throw std::runtime_error("the channels of this stream hold different amounts of signal after a failed "
                                 "push; open a new stream");
      }
    }
  }
  const std::vector<NativeStream*>& streams;
  std::vector<std::unique_ptr<InUse>> held;
  std::int64_t pushed = 0;
};

// A Ctrl-C that came while no channel was computing stops the call here,
// before any frame is taken, rather than once the call has returned them.
void stop_if_interrupted() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

py::array push(NativeStream& s, const SignalArray& y, bool check_finite) {
  InUse in_use(s);
  if (s.state.cqt.finished) throw std::runtime_error("the stream is finished; open a new one for more samples");
  const py::buffer_info view = y.request();
  const float* samples = static_cast<const float*>(view.ptr);
  const std::size_t n = static_cast<std::size_t>(view.size);
  if (check_finite) check_finite_samples(samples, n);
  feed(s, samples, n);
  return take(s);
}

// The length of rows, one per channel of streams none of which is finished.
std::size_t row_length(const std::vector<NativeStream*>& streams, const SignalArray& rows) {
  if (rows.ndim() != 2 || rows.shape(0) != static_cast<py::ssize_t>(streams.size())) {
    throw std::invalid_argument("rows must have one row per channel");
  }
  for (const NativeStream* s : streams) {
    if (s->state.cqt.finished) throw std::runtime_error("the stream is finished; open a new one for more samples");
  }
  return static_cast<std::size_t>(rows.shape(1));
}

// The rows of a block, one per channel, pushed to the channels' streams in
// turn; the frames are taken once every channel has computed them. When the
// push is interrupted, every channel still takes its row whole (those it did
// not reach without computing), and every frame computed stays pending, so
// the next push or finish returns the same frames for every channel.
py::array push_channels(const std::vector<NativeStream*>& streams, const SignalArray& rows, bool check_finite) {
  const Channels channels(streams);
  const std::size_t n = row_length(streams, rows);
  const float* samples = rows.data();
  if (check_finite) check_finite_samples(samples, n * streams.size());
  try {
    for (std::size_t k = 0; k < streams.size(); ++k) {
      stop_if_interrupted();
      feed(*streams[k], samples + k * n, n);
    }
    stop_if_interrupted();
  } catch (...) {
    for (std::size_t k = 0; k < streams.size(); ++k) {
      if (streams[k]->state.cqt.pushed == channels.pushed) take_uncomputed(*streams[k], samples + k * n, n);
    }
    throw;
  }
  return take(streams, true);
}

// The rows taken by every channel as an interrupted push takes them, whole and
// without computing: their frames come with the next push or finish. For a
// push interrupted before it reached push_channels (converting its block).
void take_channels(const std::vector<NativeStream*>& streams, const SignalArray& rows) {
  const Channels channels(streams);
  const std::size_t n = row_length(streams, rows);
  const float* samples = rows.data();
  for (std::size_t k = 0; k < streams.size(); ++k) take_uncomputed(*streams[k], samples + k * n, n);
}

py::array finish(NativeStream& s) {
  InUse in_use(s);
  run_without_lock([&](const CancelFlag& cancel) { finish_stream(s.state.cqt, cancel); });
  return take(s);
}

// Every channel's finish; interrupted, the channels keep what they computed,
// and a second call computes the rest and returns it all.
py::array finish_channels(const std::vector<NativeStream*>& streams) {
  const Channels channels(streams);
  for (NativeStream* s : streams) {
    stop_if_interrupted();
    run_without_lock([&](const CancelFlag& cancel) { finish_stream(s->state.cqt, cancel); });
  }
  stop_if_interrupted();
  return take(streams, true);
}

}  // namespace

void register_stream(py::module_& m) {
  // A plain type as metaclass: nothing here needs pybind11's (static
  // properties), and the stub can then describe the class as it is.
  py::class_<NativeStream>(m, "Stream", docs::stream, py::metaclass(reinterpret_cast<PyObject*>(&PyType_Type)))
      .def(py::init(&open), py::arg("transform"), py::arg("sr"), py::arg("frames_at_once"))
      .def("push", &push, py::arg("y"), py::arg("check_finite"), docs::stream_push)
      .def("finish", &finish, docs::stream_finish)
      .def_static("push_channels", &push_channels, py::arg("streams"), py::arg("rows"), py::arg("check_finite"),
                  docs::stream_push_channels)
      .def_static("take_channels", &take_channels, py::arg("streams"), py::arg("rows"), docs::stream_take_channels)
      .def_static("finish_channels", &finish_channels, py::arg("streams"), docs::stream_finish_channels)
      .def_property_readonly("latency_samples", [](const NativeStream& s) { return stream_latency(s.state.cqt); },
                             docs::stream_latency_samples)
      .def_property_readonly("n_rows", [](const NativeStream& s) { return s.state.cqt.n_rows; }, docs::stream_n_rows)
      .def_property_readonly("frames_at_once", [](const NativeStream& s) { return s.state.cqt.frames_at_once; },
                             docs::stream_frames_at_once)
      .def_property_readonly("pushed", [](const NativeStream& s) { return s.state.cqt.pushed; }, docs::stream_pushed)
      .def_property_readonly("finished", [](const NativeStream& s) { return s.state.cqt.finished; },
                             docs::stream_finished);
}

}  // namespace morvat::vexolin
