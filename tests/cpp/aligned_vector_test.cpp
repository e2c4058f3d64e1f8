#include "engine/aligned_vector.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace morvat::vexolin {
namespace {

bool aligned_64(const float* p) { return reinterpret_cast<std::uintptr_t>(p) % 64 == 0; }

void fill_counting(AlignedVector& v, float from) {
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = from + static_cast<float>(i);
}

TEST(AlignedVector, StartsEmptyAndGrowingByZeroAllocatesNothing) {
  AlignedVector v;
  EXPECT_EQ(v.size(), 0u);
  EXPECT_EQ(v.capacity(), 0u);
  EXPECT_EQ(v.data(), nullptr);
  v.resize(0);
  EXPECT_EQ(v.data(), nullptr);
  EXPECT_EQ(v.capacity(), 0u);

  v.resize(5);
  const float* block = v.data();
  v.resize(5);
  EXPECT_EQ(v.data(), block);
  EXPECT_EQ(v.capacity(), 5u);
}

TEST(AlignedVector, CapacityIsSizePlusLargerOfSizeAndGrowth) {
  AlignedVector a;
  a.resize(5);
  EXPECT_EQ(a.size(), 5u);
  EXPECT_EQ(a.capacity(), 5u);
  EXPECT_TRUE(aligned_64(a.data()));
  fill_counting(a, 1.0f);

  a.resize(6);  // 5 + max(5, 1)
  EXPECT_EQ(a.size(), 6u);
  EXPECT_EQ(a.capacity(), 10u);
  EXPECT_TRUE(aligned_64(a.data()));
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(a[i], 1.0f + i) << "element " << i << " lost in the move";

  const float* block = a.data();
  a.resize(10);  // within capacity: same block
  EXPECT_EQ(a.data(), block);
  EXPECT_EQ(a.capacity(), 10u);

  AlignedVector b;
  b.resize(5);
  fill_counting(b, 7.0f);
  b.resize(25);  // 5 + max(5, 20)
  EXPECT_EQ(b.size(), 25u);
  EXPECT_EQ(b.capacity(), 25u);
  EXPECT_TRUE(aligned_64(b.data()));
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(b[i], 7.0f + i);
}

TEST(AlignedVector, ShrinkKeepsBlockAndRegrowthShowsOldValues) {
  AlignedVector v;
  v.resize(12);
  fill_counting(v, 100.0f);
  const float* block = v.data();
  v.resize(4);
  EXPECT_EQ(v.size(), 4u);
  EXPECT_EQ(v.capacity(), 12u);
  EXPECT_EQ(v.data(), block);
  v.resize(12);
  EXPECT_EQ(v.data(), block);
  for (std::size_t i = 0; i < 12; ++i) EXPECT_EQ(v[i], 100.0f + i);
}

TEST(AlignedVector, GrowthPastLargestSizeIsALengthErrorAndChangesNothing) {
  const std::size_t largest = (std::size_t{1} << 61) - 1;
  AlignedVector empty;
  try {
    empty.resize(largest + 1);
    FAIL() << "no length_error";
  } catch (const std::length_error& e) {
    EXPECT_EQ(std::string(e.what()), "vector::_M_default_append");
  }
  EXPECT_EQ(empty.data(), nullptr);
  EXPECT_EQ(empty.size(), 0u);

  AlignedVector v;
  v.resize(5);
  fill_counting(v, 3.0f);
  const float* block = v.data();
  EXPECT_THROW(v.resize(largest + 1), std::length_error);
  EXPECT_EQ(v.data(), block);
  EXPECT_EQ(v.size(), 5u);
  EXPECT_EQ(v.capacity(), 5u);
}

TEST(AlignedVector, FailedAllocationIsBadAllocAndKeepsTheOldBlock) {
  // 2^61 - 1 elements is a legal size but no allocator can provide it.
  AlignedVector v;
  v.resize(5);
  fill_counting(v, -2.0f);
  const float* block = v.data();
  EXPECT_THROW(v.resize((std::size_t{1} << 61) - 1), std::bad_alloc);
  EXPECT_EQ(v.data(), block);
  EXPECT_EQ(v.size(), 5u);
  EXPECT_EQ(v.capacity(), 5u);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(v[i], -2.0f + i);
}

TEST(AlignedVector, MoveHandsOverTheBlock) {
  AlignedVector a;
  a.resize(8);
  fill_counting(a, 0.5f);
  const float* block = a.data();

  AlignedVector b(std::move(a));
  EXPECT_EQ(b.data(), block);
  EXPECT_EQ(b.size(), 8u);
  EXPECT_EQ(a.data(), nullptr);
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.capacity(), 0u);

  AlignedVector c;
  c.resize(3);
  c = std::move(b);
  EXPECT_EQ(c.data(), block);
  EXPECT_EQ(c.size(), 8u);
  EXPECT_EQ(c.capacity(), 8u);
  EXPECT_EQ(b.data(), nullptr);
  EXPECT_EQ(c[7], 7.5f);

  // A moved-from array is usable again.
  a.resize(2);
  EXPECT_EQ(a.size(), 2u);
  EXPECT_TRUE(aligned_64(a.data()));
}

}  // namespace
}  // namespace morvat::vexolin
