// Growable float32 array with 64-byte aligned storage whose growth leaves the
// new elements unset. It holds the windows of the halved signals and the
// workers' spectrum blocks, which are filled before they are read,
// so the zero fill of an ordinary vector would be wasted work.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace morvat::vexolin {

class AlignedVector {
 public:
  static constexpr std::size_t alignment = 64;
  static constexpr std::size_t max_elements = (std::size_t{1} << 61) - 1;

  AlignedVector() = default;
  ~AlignedVector() {
    if (start_ != nullptr) std::free(start_);
  }
  AlignedVector(const AlignedVector&) = delete;
  AlignedVector& operator=(const AlignedVector&) = delete;

  AlignedVector(AlignedVector&& other) noexcept
      : start_(other.start_), end_(other.end_), end_of_storage_(other.end_of_storage_) {
    other.start_ = other.end_ = other.end_of_storage_ = nullptr;
  }

  AlignedVector& operator=(AlignedVector&& other) noexcept {
    if (this != &other) {
      if (start_ != nullptr) std::free(start_);
      start_ = other.start_;
      end_ = other.end_;
      end_of_storage_ = other.end_of_storage_;
      other.start_ = other.end_ = other.end_of_storage_ = nullptr;
    }
    return *this;
  }

  // Growing leaves the new elements unset; shrinking keeps the block.
  void resize(std::size_t m) {
    const std::size_t n = size();
    if (m > n) {
      grow(m - n);
    } else if (m < n) {
      end_ = start_ + m;
    }
  }

  std::size_t size() const { return static_cast<std::size_t>(end_ - start_); }
  std::size_t capacity() const { return static_cast<std::size_t>(end_of_storage_ - start_); }
  float* data() { return start_; }
  const float* data() const { return start_; }
  float& operator[](std::size_t i) { return start_[i]; }
  const float& operator[](std::size_t i) const { return start_[i]; }

 private:
  void grow(std::size_t n) {
    if (n == 0) return;
    const std::size_t old_size = size();
    if (capacity() - old_size >= n) {
      end_ += n;
      return;
    }
    if (n > max_elements - old_size) throw std::length_error("vector::_M_default_append");
    std::size_t new_capacity = old_size + (old_size > n ? old_size : n);
    if (new_capacity > max_elements) new_capacity = max_elements;

    void* block = nullptr;
    if (posix_memalign(&block, alignment, new_capacity * sizeof(float)) != 0) throw std::bad_alloc();
    float* fresh = static_cast<float*>(block);
    if (old_size > 0) std::memcpy(fresh, start_, old_size * sizeof(float));
    if (start_ != nullptr) std::free(start_);
    start_ = fresh;
    end_ = fresh + old_size + n;
    end_of_storage_ = fresh + new_capacity;
  }

  float* start_ = nullptr;
  float* end_ = nullptr;
  float* end_of_storage_ = nullptr;
};

}  // namespace morvat::vexolin
