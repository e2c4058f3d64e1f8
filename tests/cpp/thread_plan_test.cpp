#include "engine/thread_plan.h"

#include "tests/cpp/threads_env_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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

TEST(ThreadPlan, ParsesLikeStrtolNarrowedTo32Bits) {
  EXPECT_EQ(parse_thread_count(""), 0);
  EXPECT_EQ(parse_thread_count("abc"), 0);
  EXPECT_EQ(parse_thread_count("0"), 0);
  EXPECT_EQ(parse_thread_count("-4"), -4);
  EXPECT_EQ(parse_thread_count("1"), 1);
  EXPECT_EQ(parse_thread_count(" 6"), 6);
  EXPECT_EQ(parse_thread_count("+6"), 6);
  EXPECT_EQ(parse_thread_count("6 words"), 6);
  EXPECT_EQ(parse_thread_count("12abc"), 12);
  // Only the low 32 bits of the parsed long count.
  EXPECT_EQ(parse_thread_count("4294967302"), 6);
  EXPECT_EQ(parse_thread_count("4294967295"), -1);
  EXPECT_EQ(parse_thread_count("99999999999999999999"), -1);  // saturates at LONG_MAX
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

int request_calls = 0;
int counting_request() {
  ++request_calls;
  return 8;
}

TEST(ThreadPlan, RequestIsConsultedOnlyFrom1024FramesAndOnEveryCall) {
  request_calls = 0;
  EXPECT_TRUE(worker_blocks(1023, counting_request).empty());
  EXPECT_EQ(request_calls, 0);
  EXPECT_EQ(worker_blocks(1024, counting_request).size(), 2u);
  EXPECT_EQ(worker_blocks(1024, counting_request).size(), 2u);
  EXPECT_EQ(request_calls, 2);
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

using ThreadsVariable = ThreadsVariableTest;

TEST_F(ThreadsVariable, ReadAnewOnEachCall) {
  setenv("VEXOLIN_THREADS", "3", 1);
  EXPECT_EQ(requested_threads(), 3);
  EXPECT_EQ(worker_blocks(2000).size(), 3u);
  setenv("VEXOLIN_THREADS", "2", 1);
  EXPECT_EQ(requested_threads(), 2);
  EXPECT_EQ(worker_blocks(2000).size(), 2u);

  for (const char* none : {"", "abc", "0", "-4", "1"}) {
    setenv("VEXOLIN_THREADS", none, 1);
    EXPECT_TRUE(worker_blocks(100000).empty()) << '"' << none << '"';
  }
  for (const char* six : {" 6", "+6", "6 words"}) {
    setenv("VEXOLIN_THREADS", six, 1);
    EXPECT_EQ(worker_blocks(100000).size(), 6u) << '"' << six << '"';
  }

  unsetenv("VEXOLIN_THREADS");
  EXPECT_EQ(requested_threads(), static_cast<int>(std::thread::hardware_concurrency()));
}

}  // namespace
}  // namespace morvat::vexolin
