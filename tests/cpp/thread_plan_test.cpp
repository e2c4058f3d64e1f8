#include "engine/thread_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace morvat::vexolin {

// Found by argument-dependent lookup, so beside WorkBlock.
inline bool operator==(const WorkBlock& a, const WorkBlock& b) { return a.begin == b.begin && a.end == b.end; }
inline void PrintTo(const WorkBlock& b, std::ostream* os) { *os << "[" << b.begin << ", " << b.end << ")"; }

namespace {

void expect_contiguous_cover(const std::vector<WorkBlock>& blocks, int n_frames) {
  ASSERT_FALSE(blocks.empty());
  EXPECT_EQ(blocks.front().begin, 0);
  EXPECT_EQ(blocks.back().end, n_frames);
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_LT(blocks[i].begin, blocks[i].end);
    if (i > 0) {
      EXPECT_EQ(blocks[i].begin, blocks[i - 1].end);
    }
  }
}

TEST(ThreadPlan, WorkedPartitions) {
  EXPECT_EQ(plan_frame_blocks(2000, 8), (std::vector<WorkBlock>{{0, 667}, {667, 1334}, {1334, 2000}}));
  EXPECT_EQ(plan_frame_blocks(1024, 8), (std::vector<WorkBlock>{{0, 512}, {512, 1024}}));

  const auto b12288 = plan_frame_blocks(12288, 100);
  ASSERT_EQ(b12288.size(), 24u);
  expect_contiguous_cover(b12288, 12288);
  for (const WorkBlock& b : b12288) EXPECT_EQ(b.end - b.begin, 512);

  const auto b12313 = plan_frame_blocks(12313, 100);
  ASSERT_EQ(b12313.size(), 24u);
  expect_contiguous_cover(b12313, 12313);
  for (std::size_t i = 0; i + 1 < b12313.size(); ++i) EXPECT_EQ(b12313[i].end - b12313[i].begin, 514);
  EXPECT_EQ(b12313.back(), (WorkBlock{11822, 12313}));

  const auto b12287 = plan_frame_blocks(12287, 100);
  ASSERT_EQ(b12287.size(), 23u);
  expect_contiguous_cover(b12287, 12287);
  for (std::size_t i = 0; i + 1 < b12287.size(); ++i) EXPECT_EQ(b12287[i].end - b12287[i].begin, 535);
  EXPECT_EQ(b12287.back(), (WorkBlock{11770, 12287}));

  // Never more than 24 workers, however many frames.
  const auto huge = plan_frame_blocks(2000000000, 1000);
  EXPECT_EQ(huge.size(), 24u);
  expect_contiguous_cover(huge, 2000000000);
}

TEST(ThreadPlan, CallingThreadDoesTheWork) {
  for (int requested : {-4, 0, 1}) EXPECT_TRUE(plan_frame_blocks(100000, requested).empty()) << requested;
  EXPECT_TRUE(plan_frame_blocks(1023, 100).empty());
  EXPECT_TRUE(plan_frame_blocks(0, 8).empty());
  // 1535 frames allow only one worker per 512 frames: 2 workers.
  EXPECT_EQ(plan_frame_blocks(1535, 8).size(), 2u);
}

TEST(ThreadPlan, BlocksWithoutAThreadRunOnTheCallingThread) {
  const std::vector<WorkBlock> blocks = plan_frame_blocks(4096, 8);
  ASSERT_EQ(blocks.size(), 8u);
  for (int allowed : {0, 1, 5}) {
    int starts = 0;
    auto refusing_start = [&](auto&& fn) {
      if (starts++ >= allowed) throw std::system_error(EAGAIN, std::generic_category(), "thread quota");
      return std::thread(std::forward<decltype(fn)>(fn));
    };
    std::vector<int> visits(4096, 0);
    run_blocks_on_threads(
        blocks, [&](int begin, int end) { for (int f = begin; f < end; ++f) ++visits[f]; }, refusing_start);
    EXPECT_EQ(std::count(visits.begin(), visits.end(), 1), 4096) << allowed << " threads allowed";
  }
}

}  // namespace
}  // namespace morvat::vexolin
