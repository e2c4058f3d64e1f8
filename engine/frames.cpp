#include "engine/frames.h"
#include "engine/simd_clones.h"

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace morvat::vexolin {
namespace {

// Vectors travel through memory, not return values: without AVX-512 the ABI
// of a sixteen-float return value differs between compilers.
void load_lanes(const float* p, Lanes16& v) { std::memcpy(&v, p, sizeof v); }

// Lane-wise square root, correctly rounded as sqrtf.
void sqrt_lanes(Lanes16& v) {
#if defined(__SSE__)
  float lanes[frame_block];
  std::memcpy(lanes, &v, sizeof v);
  for (int i = 0; i < frame_block; i += 4) _mm_storeu_ps(lanes + i, _mm_sqrt_ps(_mm_loadu_ps(lanes + i)));
  std::memcpy(&v, lanes, sizeof v);
#else
  for (int i = 0; i < frame_block; ++i) v[i] = std::sqrt(v[i]);
#endif
}

}  // namespace

// Products of every kernel row with the block's spectra, scaled and stored
// for frames f0 .. f0 + count - 1. Each lane (frame) adds its row's terms in
// entry order, whatever the instruction set.
VEXOLIN_SIMD_CLONES
void store_block(const OctaveJob& job, const FrameScratch& scratch, int f0, int count) {
  const OctaveTarget& t = job.target;
  const float* spec_re = scratch.block_re.data();
  const float* spec_im = scratch.block_im.data();
  for (int b = 0; b < job.n_bins; ++b) {
    Lanes16 acc_re = {};
    Lanes16 acc_im = {};
    for (int e = job.row_offsets[b]; e < job.row_offsets[b + 1]; ++e) {
      const std::size_t col = static_cast<std::size_t>(job.entry_slot[e]) * frame_block;
      const float vr = job.weights[2 * static_cast<std::size_t>(e)];
      const float vi = job.weights[2 * static_cast<std::size_t>(e) + 1];
      Lanes16 r;
      Lanes16 i;
      load_lanes(spec_re + col, r);
      load_lanes(spec_im + col, i);
      acc_re += r * vr - i * vi;
      acc_im += r * vi + i * vr;
    }
    const float scale = t.row_scale[b];
    const Lanes16 re = acc_re * scale;
    const Lanes16 im = acc_im * scale;
    if (t.mag != nullptr) {
      Lanes16 mag = re * re + im * im;
      sqrt_lanes(mag);
      // Squares of parts above about 1.8e19 overflow float32 although the
      // modulus may not: those few values are redone in double.
      for (int i = 0; i < count; ++i) {
        if (std::isinf(mag[i])) mag[i] = static_cast<float>(std::hypot(double{re[i]}, double{im[i]}));
      }
      if (t.mag_row != nullptr) {
        if (t.mag_row[b] < 0) continue;
        float* out = t.mag + static_cast<std::size_t>(t.mag_row[b]) * t.row_stride + f0;
        for (int i = 0; i < count; ++i) out[i] += mag[i];
        continue;
      }
      float* out = t.mag + static_cast<std::size_t>(t.first_row + b) * t.row_stride + f0;
      if (count == frame_block) {
        std::memcpy(out, &mag, sizeof mag);
      } else {
        for (int i = 0; i < count; ++i) out[i] = mag[i];
      }
      continue;
    }
    const std::size_t row = static_cast<std::size_t>(t.first_row + b) * t.row_stride;
    if (t.stride == 1) {
      for (int i = 0; i < count; ++i) {
        t.re[row + f0 + i] = re[i];
        t.im[row + f0 + i] = im[i];
      }
    } else {
      for (int i = 0; i < count; ++i) {
        const std::size_t at = (row + f0 + i) * t.stride;
        t.re[at] = re[i];
        t.im[at] = im[i];
      }
    }
  }
}

}  // namespace morvat::vexolin
