// The driver's result does not depend on the thread count: complex values,
// magnitudes and folded chroma agree bit for bit for 1, 2, 3 and 7 threads,
// on signals whose worker blocks and chunks of frames straddle each other's
// borders.
#include "chroma/chroma.h"
#include "engine/basis_cache.h"
#include "engine/cqt.h"
#include "tests/cpp/compute.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace morvat::vexolin {
namespace {

TEST(CqtThreads, ResultIsBitIdenticalForEveryThreadCount) {
  const Layout layouts[] = {
      {22050.0, 64, c1, 84, 12, "six halvings, chunks of 512 frames"},
      {44100.0, 256, c1, 84, 12, "one early halving, chunks of 256 frames"},
      {8000.0, 45, 440.0, 24, 12, "odd hop: no halvings, chunks of 720 frames"},
  };
  std::mt19937 rng(11);
  std::normal_distribution<float> noise(0.0f, 0.3f);
  for (const Layout& l : layouts) {
    // Frame counts where threads start (1024) and where three and seven
    // workers get blocks whose borders fall inside chunks, each with a signal
    // that ends on a hop and one that ends just before the next.
    for (int n_frames : {1024, 1601, 3651}) {
      for (int tail : {0, l.hop - 1}) {
        const std::size_t len = static_cast<std::size_t>(n_frames - 1) * l.hop + tail;
        std::vector<float> y(len);
        for (std::size_t i = 0; i < len; ++i) {
          y[i] = noise(rng) + static_cast<float>(std::sin(6.283185307179586 * 440.0 * i / l.sr));
        }
        const CqtPlan plan = plan_cqt(len, {l.sr, l.hop, l.fmin, l.n_bins, l.bins_per_octave});
        for (Output output : {Output::complex, Output::magnitude, Output::chroma}) {
          const std::vector<float> serial = run_plan(plan, y, output, 1);
          for (int n_threads : {2, 3, 7}) {
            const std::vector<float> threaded = run_plan(plan, y, output, n_threads);
            ASSERT_EQ(threaded.size(), serial.size());
            EXPECT_EQ(std::memcmp(threaded.data(), serial.data(), serial.size() * sizeof(float)), 0)
                << l.what << ", " << len << " samples, output " << static_cast<int>(output) << ", "
                << n_threads << " threads";
          }
        }
      }
    }
  }
}

TEST(CqtThreads, RaisedCancelFlagStopsEveryWorkerAndCachesNothing) {
  // 2800 frames: bases are built, and frames computed, on up to five threads.
  const std::vector<float> y(2800 * 128, 0.25f);
  const CqtParams p{9000.0, 128, 47.0, 40, 12, 1.0, 0.01};
  const std::atomic<bool> raised{true};
  const std::size_t before = cached_basis_count();
  for (int n_threads : {1, 3, 24}) {
    EXPECT_THROW(compute_complex(y.data(), y.size(), p, n_threads, CancelFlag(&raised)), CallCancelled)
        << n_threads << " threads, building bases";
  }
  EXPECT_EQ(cached_basis_count(), before);
  compute_complex(y.data(), y.size(), p, 3);
  for (int n_threads : {1, 3, 24}) {
    EXPECT_THROW(compute_complex(y.data(), y.size(), p, n_threads, CancelFlag(&raised)), CallCancelled)
        << n_threads << " threads, computing frames";
  }
  // A second flag (a caller's token) stops it as well.
  const std::atomic<bool> lowered{false};
  EXPECT_THROW(compute_complex(y.data(), y.size(), p, 3, CancelFlag(&lowered, &raised)), CallCancelled);
  compute_complex(y.data(), y.size(), p, 3, CancelFlag(&lowered, &lowered));
}

}  // namespace
}  // namespace morvat::vexolin
