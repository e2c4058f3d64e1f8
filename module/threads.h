// The binding's one reading of VEXOLIN_THREADS: `_vexolin` resolves it once
// per call and hands the count to the engine, which never reads the
// environment itself.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <thread>

namespace morvat::vexolin {

// A VEXOLIN_THREADS value as a thread count: base-10 strtol (leading space
// and a sign accepted, parsing stops at the first non-digit, no digits gives
// 0), narrowed to 32 bits by keeping the low 32 bits.
inline int parse_thread_count(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  return static_cast<int>(static_cast<std::uint32_t>(static_cast<unsigned long>(value)));
}

// The thread count of a `_vexolin` call made now: VEXOLIN_THREADS when set,
// else the hardware count; at least 1 (0, negative and unknown counts keep
// the call on the calling thread).
inline int default_threads() {
  const char* text = std::getenv("VEXOLIN_THREADS");
  const int count = text != nullptr ? parse_thread_count(text) : static_cast<int>(std::thread::hardware_concurrency());
  return std::max(count, 1);
}

}  // namespace morvat::vexolin
