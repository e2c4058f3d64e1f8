// How a call's work is spread over worker threads: its frames into runs, one
// per worker, within the thread count the caller gives; and the running of
// such runs on threads. The rule is kept apart from the threads so that it
// can be checked without starting any.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace morvat::vexolin {

// Fewer frames than this are never worth a thread.
constexpr int min_threaded_frames = 1024;
constexpr int max_worker_threads = 24;
// Each worker gets at least this many frames.
constexpr int min_frames_per_worker = 512;

// Items begin <= i < end (frames, or bases to build) for one worker thread.
struct WorkBlock {
  int begin;
  int end;
};

// Position of the block that starts at `begin`, so that a worker can find
// its own buffers.
inline std::size_t block_index(const std::vector<WorkBlock>& blocks, int begin) {
  return static_cast<std::size_t>(
      std::find_if(blocks.begin(), blocks.end(), [begin](const WorkBlock& b) { return b.begin == begin; }) -
      blocks.begin());
}

// Cuts n items into contiguous blocks for at most n_threads workers (the
// caller's budget): at most 24 workers and at most one per `min_per_worker`
// items, none below `min_threaded` items. An empty list means the calling
// thread does all the work itself.
inline std::vector<WorkBlock> plan_blocks(int n, int n_threads, int min_threaded, int min_per_worker) {
  if (n < min_threaded || n_threads <= 0) return {};
  const int n_workers = std::min({n_threads, max_worker_threads, n / min_per_worker});
  if (n_workers <= 1) return {};
  // 64 bits: n + n_workers - 1 may pass INT_MAX.
  const std::int64_t total = n;
  const std::int64_t chunk = (total + n_workers - 1) / n_workers;
  std::vector<WorkBlock> blocks;
  blocks.reserve(static_cast<std::size_t>(n_workers));
  for (int i = 0; i < n_workers; ++i) {
    const std::int64_t begin = i * chunk;
    const std::int64_t end = std::min((i + 1) * chunk, total);
    if (begin >= end) continue;
    blocks.push_back({static_cast<int>(begin), static_cast<int>(end)});
  }
  return blocks;
}

// The rule for a call's frames: threads from 1024 frames, one per 512 frames.
inline std::vector<WorkBlock> plan_frame_blocks(int n_frames, int n_threads) {
  return plan_blocks(n_frames, n_threads, min_threaded_frames, min_frames_per_worker);
}

// Starts a standard thread; tests substitute a starter that fails.
struct StartStdThread {
  template <typename Fn>
  std::thread operator()(Fn&& fn) const {
    return std::thread(std::forward<Fn>(fn));
  }
};

// Runs work(begin, end) for every block: the first on the calling thread,
// every other on a thread of its own, and joins them all. When the system
// refuses a thread (thread quota, address space), the blocks left over run
// on the calling thread too: the same result, only later. A failure inside
// a block is carried back and rethrown here (the first in block order) once
// every thread has been joined.
template <typename Work, typename Start = StartStdThread>
void run_blocks_on_threads(const std::vector<WorkBlock>& blocks, const Work& work, const Start& start = {}) {
  std::vector<std::exception_ptr> failures(blocks.size());
  auto run_block = [&work, &failures, &blocks](std::size_t i) {
    try {
      work(blocks[i].begin, blocks[i].end);
    } catch (...) {
      failures[i] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(blocks.size());
  std::size_t started = 1;
  for (; started < blocks.size(); ++started) {
    try {
      threads.push_back(start([&run_block, started] { run_block(started); }));
    } catch (const std::system_error&) {
      break;
    } catch (const std::bad_alloc&) {
      break;
    }
  }
  if (!blocks.empty()) run_block(0);
  for (std::size_t i = started; i < blocks.size(); ++i) run_block(i);
  for (std::thread& t : threads) t.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace morvat::vexolin
