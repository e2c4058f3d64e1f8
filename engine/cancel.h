// Cancellation of a running call. The caller raises a flag (from a signal
// handler, say, or a token its caller holds; a call watches up to two); the
// engine polls it between blocks of work (frames, kernel
// rows, decimation blocks, octaves) on every thread of the call and ends the
// call with CallCancelled once its threads are joined. Polling is one relaxed
// atomic load, so it can sit on hot paths.
#pragma once

#include <atomic>
#include <exception>

namespace morvat::vexolin {

class CallCancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "the call was cancelled"; }
};

class CancelFlag {
 public:
  CancelFlag() = default;  // never raised
  explicit CancelFlag(const std::atomic<bool>* raised, const std::atomic<bool>* also = nullptr)
      : raised_(raised), also_(also) {}

  bool raised() const {
    return (raised_ != nullptr && raised_->load(std::memory_order_relaxed)) ||
           (also_ != nullptr && also_->load(std::memory_order_relaxed));
  }
  void stop_if_raised() const {
    if (raised()) throw CallCancelled();
  }

 private:
  const std::atomic<bool>* raised_ = nullptr;
  const std::atomic<bool>* also_ = nullptr;
};

}  // namespace morvat::vexolin
