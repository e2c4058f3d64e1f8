#include "engine/frames.h"
#include "engine/simd_versions.h"

#include <limits>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace morvat::vexolin {
namespace {

// Lane-wise square root, correctly rounded as sqrtf.
void sqrt_lanes(float* v) {
#if defined(__SSE__)
  for (int i = 0; i < frame_block; i += 4) _mm_storeu_ps(v + i, _mm_sqrt_ps(_mm_loadu_ps(v + i)));
#else
  for (int i = 0; i < frame_block; ++i) v[i] = std::sqrt(v[i]);
#endif
}

// Products of kernel row b with the block's spectra, scaled and stored for
// frames f0 .. f0 + count - 1. Each lane (frame) adds its row's terms in
// entry order. Inlined into each instruction-set version below.
template <int Width>
__attribute__((always_inline)) inline void store_row_as(const OctaveJob& job, int b, const float* spec_re,
                                                        const float* spec_im, int f0, int count) {
  using V = typename LanesOf<Width>::type;
  constexpr int parts = frame_block / Width;
  static_assert(parts * Width == frame_block);
  const OctaveTarget& t = job.target;
  {
    V acc_re[parts] = {};
    V acc_im[parts] = {};
    for (int e = job.row_offsets[b]; e < job.row_offsets[b + 1]; ++e) {
      const std::size_t col = static_cast<std::size_t>(job.entry_slot[e]) * frame_block;
      const float vr = job.weights[2 * static_cast<std::size_t>(e)];
      const float vi = job.weights[2 * static_cast<std::size_t>(e) + 1];
      for (int p = 0; p < parts; ++p) {
        V r;
        V i;
        std::memcpy(&r, spec_re + col + p * Width, sizeof r);
        std::memcpy(&i, spec_im + col + p * Width, sizeof i);
        acc_re[p] += r * vr - i * vi;
        acc_im[p] += r * vi + i * vr;
      }
    }
    const float scale = t.row_scale[b];
    alignas(64) float re[frame_block];
    alignas(64) float im[frame_block];
    for (int p = 0; p < parts; ++p) {
      const V re_p = acc_re[p] * scale;
      const V im_p = acc_im[p] * scale;
      std::memcpy(re + p * Width, &re_p, sizeof re_p);
      std::memcpy(im + p * Width, &im_p, sizeof im_p);
    }
    if (t.mag != nullptr) {
      alignas(64) float mag[frame_block];
      // Squares of parts above about 1.8e19 overflow float32 although the
      // modulus may not: those few values are redone in double. One vector
      // test of the squares first, the lanes only when it fails.
      using Mask = decltype(V{} > V{});
      Mask overflow = {};
      for (int p = 0; p < parts; ++p) {
        V re_p;
        V im_p;
        std::memcpy(&re_p, re + p * Width, sizeof re_p);
        std::memcpy(&im_p, im + p * Width, sizeof im_p);
        const V square = re_p * re_p + im_p * im_p;
        overflow |= square > std::numeric_limits<float>::max();
        std::memcpy(mag + p * Width, &square, sizeof square);
      }
      sqrt_lanes(mag);
      bool overflowed = false;
      for (int i = 0; i < Width; ++i) overflowed |= overflow[i] != 0;
      if (overflowed) {
        for (int i = 0; i < count; ++i) {
          if (std::isinf(mag[i])) mag[i] = static_cast<float>(std::hypot(double{re[i]}, double{im[i]}));
        }
      }
      if (t.mag_row != nullptr) {
        if (t.mag_row[b] < 0) return;
        float* out = t.mag + static_cast<std::size_t>(t.mag_row[b]) * t.row_stride + f0;
        for (int i = 0; i < count; ++i) out[i] += mag[i];
        return;
      }
      float* out = t.mag + static_cast<std::size_t>(t.first_row + b) * t.row_stride + f0;
      if (count == frame_block) {
        std::memcpy(out, mag, sizeof mag);  // a whole block: one inlined copy, no library call
      } else {
        std::memcpy(out, mag, static_cast<std::size_t>(count) * sizeof(float));
      }
      return;
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

// Rows b of blocks k = 0 .. n_blocks - 1 (frames f0 + 16 k onward, their
// spectra block_stride floats apart), row by row: each row's frames of all
// blocks are written in one run.
template <int Width>
__attribute__((always_inline)) inline void store_block_as(const OctaveJob& job, const float* spec_re,
                                                          const float* spec_im, int f0, int count, int n_blocks,
                                                          std::size_t block_stride) {
  const OctaveTarget& t = job.target;
  // The rows' destinations are cold (a result of hundreds of rows, megabytes
  // apart): the lines a later row will write are asked for ahead of it.
  const std::size_t floats_ahead = static_cast<std::size_t>(count) * (t.mag != nullptr ? 1 : t.stride);
  auto prefetch_row = [&](int b) {
    if (b >= job.n_bins || t.mag_row != nullptr) return;
    const std::size_t at = static_cast<std::size_t>(t.first_row + b) * t.row_stride + f0;
    const char* first = reinterpret_cast<const char*>(t.mag != nullptr ? t.mag + at : t.re + at * t.stride);
    for (std::size_t byte = 0; byte < floats_ahead * sizeof(float) + 64; byte += 64) {
      __builtin_prefetch(first + byte, 1);
    }
  };
  for (int b = 0; b < job.n_bins; ++b) {
    prefetch_row(b + 4);
    for (int k = 0; k < n_blocks; ++k) {
      const std::size_t at = static_cast<std::size_t>(k) * block_stride;
      store_row_as<Width>(job, b, spec_re + at, spec_im + at, f0 + k * frame_block,
                          std::min(frame_block, count - k * frame_block));
    }
  }
}

void store_block_sse(const OctaveJob& job, const float* spec_re, const float* spec_im, int f0, int count,
                        int n_blocks, std::size_t block_stride) {
  store_block_as<4>(job, spec_re, spec_im, f0, count, n_blocks, block_stride);
}

VEXOLIN_TARGET_AVX2 void store_block_avx2(const OctaveJob& job, const float* spec_re, const float* spec_im, int f0, int count,
                        int n_blocks, std::size_t block_stride) {
  store_block_as<8>(job, spec_re, spec_im, f0, count, n_blocks, block_stride);
}

VEXOLIN_TARGET_AVX512 void store_block_avx512(const OctaveJob& job, const float* spec_re, const float* spec_im, int f0, int count,
                        int n_blocks, std::size_t block_stride) {
  store_block_as<16>(job, spec_re, spec_im, f0, count, n_blocks, block_stride);
}

using StoreBlock = void (*)(const OctaveJob&, const float*, const float*, int, int, int, std::size_t);

// Chosen before main: no first-use guard that a fork could catch half-way.
const StoreBlock store_block_version =
    widest_simd_version<StoreBlock>(store_block_sse, store_block_avx2, store_block_avx512);

}  // namespace

void store_block(const OctaveJob& job, const FrameScratch& scratch, int f0, int count, int n_blocks) {
  const std::size_t stride = static_cast<std::size_t>(job.n_used) * frame_block;
  store_block_version(job, scratch.block_re.data(), scratch.block_im.data(), f0, count, n_blocks, stride);
}

namespace detail {

bool store_block_in_lanes(int width, const OctaveJob& job, const FrameScratch& scratch, int f0, int count) {
  const StoreBlock version = simd_version<StoreBlock>(width, store_block_sse, store_block_avx2, store_block_avx512);
  if (version == nullptr) return false;
  version(job, scratch.block_re.data(), scratch.block_im.data(), f0, count, 1, 0);
  return true;
}

}  // namespace detail

}  // namespace morvat::vexolin
