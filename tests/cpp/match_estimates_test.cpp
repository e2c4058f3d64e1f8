#include "chroma/match_estimates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <stdexcept>
#include <vector>

namespace morvat::vexolin {
namespace {

constexpr double unit = 32767.0 * 32767.0;

std::vector<std::int16_t> random_rows(std::int64_t n, std::mt19937& rng) {
  std::uniform_int_distribution<int> value(0, 32767 / 3);
  std::vector<std::int16_t> rows(static_cast<std::size_t>(n) * 12);
  for (auto& v : rows) v = static_cast<std::int16_t>(value(rng));
  return rows;
}

MatchVariant variant_of(const std::vector<std::int16_t>& rows, int first, int length) {
  MatchVariant v;
  v.length = length;
  v.frames.assign(rows.begin() + first * 12, rows.begin() + (first + length) * 12);
  return v;
}

// The best over the shifts of sum_i sum_d q[i][d] x[p + i][(d + s) mod 12],
// summed directly in double.
double direct_best(const std::vector<std::int16_t>& x, std::int64_t p, const MatchVariant& q,
                   const std::vector<int>& shifts) {
  double best = -std::numeric_limits<double>::infinity();
  for (int s : shifts) {
    double sum = 0.0;
    for (int i = 0; i < q.length; ++i) {
      for (int d = 0; d < 12; ++d) {
        sum += static_cast<double>(q.frames[static_cast<std::size_t>(i) * 12 + d]) *
               x[static_cast<std::size_t>(p + i) * 12 + static_cast<std::size_t>(((d + s) % 12 + 12) % 12)];
      }
    }
    best = std::max(best, sum / (q.length * unit));
  }
  return best;
}

struct Case {
  const char* name;
  std::int64_t n;
  std::vector<int> lengths;
  std::vector<int> shifts;
  int block;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class MatchEstimates : public ::testing::TestWithParam<Case> {};

TEST_P(MatchEstimates, EqualADirectCorrelationWhereTheVariantFitsAndAreMinusInfinityElsewhere) {
  const Case& c = GetParam();
  std::mt19937 rng(7);
  const std::vector<std::int16_t> x = random_rows(c.n, rng);
  const std::vector<std::int16_t> query = random_rows(200, rng);
  std::vector<MatchVariant> variants;
  for (int length : c.lengths) variants.push_back(variant_of(query, 3, length));
  const MatchEstimator estimator(variants, c.shifts, unit, c.block);
  std::vector<float> out(static_cast<std::size_t>(c.n) * variants.size());
  estimator.estimate(x.data(), c.n, out.data());
  double worst = 0.0;
  for (std::size_t v = 0; v < variants.size(); ++v) {
    for (std::int64_t p = 0; p < c.n; ++p) {
      const float got = out[v * static_cast<std::size_t>(c.n) + static_cast<std::size_t>(p)];
      if (p + variants[v].length > c.n) {
        ASSERT_TRUE(std::isinf(got) && got < 0) << "variant " << v << " at " << p;
        continue;
      }
      worst = std::max(worst, std::abs(got - direct_best(x, p, variants[v], c.shifts)));
    }
  }
  // A score is at most 1/3 here; the float32 FFTs' error is far below 1e-5.
  EXPECT_LT(worst, 1e-5);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchEstimates,
    ::testing::Values(Case{"AllShiftsOverManyBlocks", 700, {20, 17, 23}, {0, 1, -1, 2, -2, 3, -3, 4, -4, 5, -5, 6}, 64},
                      Case{"ASubsetOfShifts", 300, {12, 9}, {0, 5, -6}, 64},
                      Case{"OneShift", 150, {10}, {0}, 4096},
                      Case{"ABlockShorterThanTheTransform", 45, {8, 11}, {0, 1, -1, 7}, 4096},
                      Case{"AFileShorterThanOneVariant", 15, {10, 19}, {0, 3}, 4096},
                      Case{"AFileShorterThanTheQuery", 6, {10, 19}, {0, 3}, 4096}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(MatchEstimator, TheTransformIsTheBlockOrFourTimesTheLongestVariantOrHoldsAShortFile) {
  const std::vector<std::int16_t> rows(12 * 300);
  const MatchEstimator short_query({variant_of(rows, 0, 100)}, {0}, unit, 4096);
  EXPECT_EQ(short_query.size_for(1), 256);
  EXPECT_EQ(short_query.size_for(1000), 1024);
  EXPECT_EQ(short_query.size_for(1 << 20), 4096);
  const MatchEstimator long_query({variant_of(rows, 0, 300), variant_of(rows, 0, 20)}, {0}, unit, 1024);
  EXPECT_EQ(long_query.size_for(500), 1024);
  EXPECT_EQ(long_query.size_for(1 << 20), 2048);
}

TEST(MatchEstimator, BadArgumentsAreRefusedBeforeAnyWork) {
  const std::vector<std::int16_t> rows(12 * 10);
  const auto make = [&](std::vector<MatchVariant> variants, std::vector<int> shifts, double u, int block) {
    return MatchEstimator(std::move(variants), std::move(shifts), u, block);
  };
  MatchVariant bad;
  bad.length = 2;
  bad.frames.assign(5, 1.0f);
  EXPECT_THROW(make({}, {0}, unit, 64), std::invalid_argument);
  EXPECT_THROW(make({bad}, {0}, unit, 64), std::invalid_argument);
  EXPECT_THROW(make({variant_of(rows, 0, 5)}, {}, unit, 64), std::invalid_argument);
  EXPECT_THROW(make({variant_of(rows, 0, 5)}, {0, 12}, unit, 64), std::invalid_argument);
  EXPECT_THROW(make({variant_of(rows, 0, 5)}, {1, -11}, unit, 64), std::invalid_argument);
  EXPECT_THROW(make({variant_of(rows, 0, 5)}, {0}, 0.0, 64), std::invalid_argument);
  EXPECT_THROW(make({variant_of(rows, 0, 5)}, {0}, unit, 96), std::invalid_argument);
  EXPECT_THROW(make({variant_of(rows, 0, 5)}, {0}, unit, 16), std::invalid_argument);
}

TEST(MatchEstimator, ARaisedFlagStopsTheCall) {
  std::mt19937 rng(3);
  const std::vector<std::int16_t> x = random_rows(500, rng);
  const MatchEstimator estimator({variant_of(x, 0, 10)}, {0, 1}, unit, 64);
  std::atomic<bool> raised{true};
  std::vector<float> out(500);
  EXPECT_THROW(estimator.estimate(x.data(), 500, out.data(), CancelFlag(&raised)), CallCancelled);
}

}  // namespace
}  // namespace morvat::vexolin
