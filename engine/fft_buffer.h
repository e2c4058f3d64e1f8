// Float buffer from the FFT library's own aligned allocator, released on
// every path. A null block from the allocator is reported as std::bad_alloc.
#pragma once

#include <pffft.h>

#include <cstddef>
#include <new>

namespace morvat::vexolin {

class FftBuffer {
 public:
  explicit FftBuffer(std::size_t n_floats)
      : data_(static_cast<float*>(pffft_aligned_malloc(n_floats * sizeof(float)))) {
    if (data_ == nullptr) throw std::bad_alloc();
  }
  ~FftBuffer() { pffft_aligned_free(data_); }
  FftBuffer(const FftBuffer&) = delete;
  FftBuffer& operator=(const FftBuffer&) = delete;
  FftBuffer(FftBuffer&& other) noexcept : data_(other.data_) { other.data_ = nullptr; }
  FftBuffer& operator=(FftBuffer&&) = delete;

  float* data() { return data_; }
  const float* data() const { return data_; }

 private:
  float* data_;
};

}  // namespace morvat::vexolin
