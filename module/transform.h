// The one description of a transform that crosses from the package into the
// engine: its layout, filter shape, harmonics and what a call returns. Made
// by keyword and checked once; every compute call and stream takes it whole.
#pragma once

#include "engine/cqt.h"
#include "module/cancel_token.h"
#include "module/wrappers.h"

#include <pybind11/numpy.h>

#include <optional>
#include <string>
#include <vector>

namespace morvat::vexolin {

enum class TransformOutput {
  complex,      // complex64 values
  magnitude,    // their moduli
  chroma,       // magnitudes folded onto n_chroma pitch classes, each frame scaled to a largest value of 1
  chroma_sums,  // the same sums before the scaling
};

struct Transform {
  int hop = 0;
  double fmin = 0.0;  // Hz of bin 0 (of the first harmonic's channel)
  int n_bins = 0;     // per channel; whole octaves for chroma
  int bins_per_octave = 0;
  double filter_scale = 1.0;
  double gamma = 0.0;
  std::vector<double> harmonics;  // one channel per harmonic of fmin; empty: one channel, no harmonic axis
  TransformOutput output = TransformOutput::magnitude;
  int n_chroma = 12;

  bool folds() const { return output == TransformOutput::chroma || output == TransformOutput::chroma_sums; }
  int n_octaves() const { return n_bins / bins_per_octave; }
};

// Throws std::invalid_argument naming the parameter for values no rate can
// make sound: hop < 1, fmin not finite and > 0, n_bins < 2,
// bins_per_octave < 1, filter_scale not finite and > 0, gamma not finite
// and >= 0, a harmonic not finite and > 0 or an empty list, an unknown
// output; for chroma also harmonics or gamma given, n_bins not whole
// octaves, n_chroma outside 1 .. bins_per_octave. What depends on the rate
// (the Nyquist limit, filter lengths) is checked when a call plans.
Transform make_transform(int hop, double fmin, int n_bins, int bins_per_octave, double filter_scale, double gamma,
                         const std::optional<std::vector<double>>& harmonics, const std::string& output,
                         int n_chroma);

// The engine's parameters of the transform at rate sr.
CqtParams cqt_params(const Transform& t, double sr);

// Plans the transform of a signal of len samples at rate sr: every check
// before any work (the Nyquist limit with the engine's advice among them).
void check_transform(const Transform& t, double sr, std::size_t len = 0);

// The transform of y at rate sr on `threads` threads, without the
// interpreter lock: (n_bins, n_frames), (n_harmonics, n_bins, n_frames) or
// (n_chroma, n_frames), complex64 or float32.
pybind11::array compute(const Transform& t, const SignalArray& y, double sr, int threads,
                        const CancelToken* cancel = nullptr);

const char* output_name(TransformOutput output);

}  // namespace morvat::vexolin
