#include "base/arena.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "base/array.h"
#include "base/heap.h"

namespace quendra {
namespace {

TEST(Arena, ZeroSizedRequestsNeedNoHeap) {
  Arena a;
  void* p = a.alloc(0);
  EXPECT_NE(p, nullptr);
  EXPECT_NE(a.make<int64_t>(0), nullptr);
  EXPECT_EQ(a.reserved(), 0u);
}

// Fills many allocations of random sizes and alignments with a pattern
// derived from their index, then re-checks every one: no allocation may
// overlap another or move.
TEST(Arena, AllocationsKeepTheirContents) {
  Arena a;
  std::mt19937_64 rng(301);
  struct Piece {
    unsigned char* p;
    size_t n;
  };
  std::vector<Piece> pieces;
  size_t total = 0;
  for (int i = 0; i < 20000; ++i) {
    size_t n = i % 997 == 0 ? rng() % 100000 : rng() % 300;
    size_t align = size_t{1} << (rng() % 7);  // 1 .. 64
    auto* p = static_cast<unsigned char*>(a.alloc(n, align));
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u);
    for (size_t k = 0; k < n; ++k) p[k] = static_cast<unsigned char>(i + k);
    pieces.push_back({p, n});
    total += n;
  }
  for (size_t i = 0; i < pieces.size(); ++i)
    for (size_t k = 0; k < pieces[i].n; ++k)
      ASSERT_EQ(pieces[i].p[k], static_cast<unsigned char>(i + k)) << "piece " << i;
  EXPECT_GE(a.reserved(), total);
  EXPECT_LE(a.reserved(), total * 2 + (1u << 21));
}

TEST(Arena, ResetKeepsTheLargestBlock) {
  Arena a;
  for (int i = 0; i < 100; ++i) ASSERT_NE(a.alloc(1000), nullptr);
  ASSERT_NE(a.alloc(5'000'000), nullptr);  // a block of its own
  size_t before = a.reserved();
  a.reset();
  EXPECT_GT(a.reserved(), 5'000'000u);
  EXPECT_LT(a.reserved(), before);
  // The kept block serves the next call without going back to the heap.
  setHeapFailure(1, true);
  void* p = a.alloc(4'000'000);
  setHeapFailure(0, false);
  EXPECT_NE(p, nullptr);
  a.release();
  EXPECT_EQ(a.reserved(), 0u);
}

TEST(Arena, ExtendGrowsOnlyTheLatestAllocation) {
  Arena a;
  void* first = a.alloc(16);
  void* second = a.alloc(16);
  EXPECT_FALSE(a.extend(first, 16, 32));
  EXPECT_TRUE(a.extend(second, 16, 64));
  void* third = a.alloc(8, 1);
  EXPECT_EQ(static_cast<char*>(third), static_cast<char*>(second) + 64);
  EXPECT_FALSE(a.extend(third, 8, size_t{1} << 40));
}

TEST(Arena, HeapRefusalGivesNullAndArenaStaysUsable) {
  Arena a;
  setHeapFailure(1, false);
  EXPECT_EQ(a.alloc(10), nullptr);
  EXPECT_NE(a.alloc(10), nullptr);  // only the first request failed
  setHeapFailure(0, false);
  EXPECT_EQ(a.make<uint64_t>(SIZE_MAX / 4), nullptr);  // size overflow
}

TEST(Array, GrowsAndKeepsValues) {
  Arena a;
  Array<int64_t> xs;
  Array<int64_t> interleaved;  // forces copies rather than in-place growth
  for (int64_t i = 0; i < 10000; ++i) {
    ASSERT_TRUE(xs.push(a, i * 3));
    ASSERT_TRUE(interleaved.push(a, -i));
  }
  ASSERT_EQ(xs.size(), 10000u);
  for (int64_t i = 0; i < 10000; ++i) {
    ASSERT_EQ(xs[i], i * 3);
    ASSERT_EQ(interleaved[i], -i);
  }
  // Pushing an element of the array itself across a regrowth.
  Array<int64_t> self;
  ASSERT_TRUE(self.push(a, 7));
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(self.push(a, self[0]));
  for (int64_t v : self) EXPECT_EQ(v, 7);
}

TEST(Array, FailedGrowthLeavesTheArrayIntact) {
  Arena a;
  Array<int> xs;
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(xs.push(a, i));
  Arena empty;  // growth from here must go to the heap, which refuses
  setHeapFailure(1, true);
  auto r = xs.push(empty, 4);
  setHeapFailure(0, false);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), Err::OutOfMemory);
  ASSERT_EQ(xs.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(xs[i], i);
}

}  // namespace
}  // namespace quendra
