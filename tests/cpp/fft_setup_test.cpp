#include "engine/fft_setup.h"
#include "engine/fft_buffer.h"
#include "engine/fft_transform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace morvat::vexolin {
namespace {

TEST(FftSetup, RealAndComplexOfOneSizeAreDistinctAndStable) {
  PFFFT_Setup* real = fft_setup(256, PFFFT_REAL);
  PFFFT_Setup* complex = fft_setup(256, PFFFT_COMPLEX);
  ASSERT_NE(real, nullptr);
  ASSERT_NE(complex, nullptr);
  EXPECT_NE(real, complex);
  EXPECT_EQ(fft_setup(256, PFFFT_REAL), real);
  EXPECT_EQ(fft_setup(256, PFFFT_COMPLEX), complex);
}

TEST(FftSetup, ConcurrentFirstRequestsCreateOneSetup) {
  for (int n : {1024, 2048}) {
    const std::size_t before = fft_setup_count();
    constexpr int n_threads = 8;
    std::vector<PFFFT_Setup*> got(n_threads, nullptr);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < n_threads; ++i) {
      threads.emplace_back([&, i] {
        ready.fetch_add(1);
        while (ready.load() < n_threads) {
        }
        got[i] = fft_setup(n, PFFFT_REAL);
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(fft_setup_count(), before + 1) << n;
    for (PFFFT_Setup* s : got) {
      EXPECT_NE(s, nullptr);
      EXPECT_EQ(s, got[0]);
    }
  }
}

TEST(FftSetup, UnsupportedSizesAreRefusedAndNotCached) {
  fft_setup(64, PFFFT_REAL);
  const std::size_t before = fft_setup_count();
  const std::vector<std::pair<int, pffft_transform_t>> bad = {
      {0, PFFFT_REAL},    {1, PFFFT_COMPLEX}, {2, PFFFT_REAL},     {3, PFFFT_COMPLEX},
      {16, PFFFT_REAL},   {16, PFFFT_COMPLEX}, {48, PFFFT_REAL},   {40, PFFFT_COMPLEX},
      {-32, PFFFT_REAL},  {(1 << 26) * 2, PFFFT_REAL}};
  for (const auto& [n, kind] : bad) {
    EXPECT_THROW(fft_setup(n, kind), std::invalid_argument) << n << " " << kind;
  }
  EXPECT_EQ(fft_setup_count(), before);
  // A size with a factor of 3 is fine for a complex transform.
  EXPECT_NE(fft_setup(48, PFFFT_COMPLEX), nullptr);
}

TEST(FftSetup, LibraryIsBuiltWithItsSimdPath) {
#if defined(__x86_64__) || defined(__aarch64__)
  EXPECT_EQ(pffft_simd_size(), 4);
#else
  GTEST_SKIP() << "no SIMD path expected on this architecture";
#endif
}

TEST(FftSetup, RealForwardTransformOfImpulseIsFlat) {
  // The ordered real layout: DC, Nyquist, then (re, im) of bins 1 .. n/2 - 1.
  constexpr int n = 64;
  FftBuffer in(n), out(n), work(n);
  std::fill(in.data(), in.data() + n, 0.0f);
  in.data()[0] = 1.0f;
  pffft_transform_ordered(fft_setup(n, PFFFT_REAL), in.data(), out.data(), work.data(), PFFFT_FORWARD);
  for (int k = 0; k < n; ++k) EXPECT_FLOAT_EQ(out.data()[k], k < 2 || k % 2 == 0 ? 1.0f : 0.0f) << k;
}

TEST(FftSetup, FrameTransformMatchesTheBaselineBuildBitForBit) {
  if (!fft_uses_avx2()) GTEST_SKIP() << "the baseline build is the one in use";
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  for (int n : {32, 256, 1024, 4096}) {
    FftBuffer in(n), baseline(n), used(n), work(n);
    for (int i = 0; i < n; ++i) in.data()[i] = uniform(rng);
    PFFFT_Setup* setup = fft_setup(n, PFFFT_REAL);
    pffft_transform(setup, in.data(), baseline.data(), work.data(), PFFFT_FORWARD);
    fft_forward_unordered(setup, in.data(), used.data(), work.data());
    EXPECT_EQ(std::memcmp(baseline.data(), used.data(), n * sizeof(float)), 0) << n;
  }
}

TEST(FftSetup, TheProductOfTwoSpectraIsTheLibrarysOwnBinByBin) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  for (pffft_transform_t kind : {PFFFT_REAL, PFFFT_COMPLEX}) {
    const int n = 256;
    const int floats = kind == PFFFT_REAL ? n : 2 * n;
    FftBuffer a(floats), b(floats), theirs(floats), ours(floats);
    for (int i = 0; i < floats; ++i) {
      a.data()[i] = uniform(rng);
      b.data()[i] = uniform(rng);
      theirs.data()[i] = 0.0f;
    }
    PFFFT_Setup* setup = fft_setup(n, kind);
    pffft_zconvolve_accumulate(setup, a.data(), b.data(), theirs.data(), 1.0f);
    fft_multiply(setup, kind == PFFFT_REAL, floats, a.data(), b.data(), ours.data());
    for (int i = 0; i < floats; ++i) EXPECT_EQ(ours.data()[i], theirs.data()[i]) << kind << " " << i;
  }
}

}  // namespace
}  // namespace morvat::vexolin
