// Refuses, before any work, a call whose result and working buffers cannot
// fit in this machine's physical memory. Without it an oversized request on
// Linux ends with the kernel killing the whole process instead of an error.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <new>
#include <string>

namespace morvat::vexolin {

class InsufficientMemory : public std::bad_alloc {
 public:
  explicit InsufficientMemory(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

inline double physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 0.0;  // unknown: no limit
  return static_cast<double>(pages) * static_cast<double>(page_size);
}

inline std::string gib(double bytes) {
  return std::to_string(bytes / (1024.0 * 1024.0 * 1024.0)).substr(0, 6) + " GiB";
}

// Sizes are summed in double so that no product can wrap around.
inline void ensure_fits_in_memory(double planned_bytes, const char* what) {
  const double physical = physical_memory_bytes();
  if (physical > 0.0 && planned_bytes > physical) {
    throw InsufficientMemory(std::string(what) + " needs about " + gib(planned_bytes) +
                             " of memory, more than this machine's " + gib(physical));
  }
}

}  // namespace morvat::vexolin
