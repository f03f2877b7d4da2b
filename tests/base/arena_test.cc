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

// Small requests fill ordinary blocks; every 400th is large enough for a
// block of its own.
void multiBlockCall(Arena& a) {
  for (size_t i = 0; i < 20000; ++i) {
    size_t n = i % 400 == 0 ? 300'000 + i * 150 : 100 + i % 7 * 90;
    ASSERT_NE(a.alloc(n), nullptr) << i;
  }
}

TEST(Arena, RepeatedCallsReuseTheirBlocks) {
  Arena a;
  multiBlockCall(a);
  size_t held = a.reserved();
  for (int cycle = 0; cycle < 3; ++cycle) {
    a.reset();
    EXPECT_EQ(a.reserved(), held);
    setHeapFailure(0, false);  // restarts the request count
    multiBlockCall(a);
    EXPECT_EQ(heapRequests(), 0u) << cycle;
    EXPECT_EQ(a.reserved(), held) << cycle;
  }
  a.release();
  EXPECT_EQ(a.reserved(), 0u);
}

// Reset keeps the largest blocks up to the cap and frees the rest; a block
// bigger than the cap is still kept, alone. The blocks are never written,
// so their pages are never faulted in.
TEST(Arena, ResetFreesBlocksBeyondTheCap) {
  constexpr size_t kBig = Arena::kMaxRetained / 5 * 2;  // two fit, three do not
  Arena a;
  for (int i = 0; i < 3; ++i) ASSERT_NE(a.alloc(kBig), nullptr);
  ASSERT_NE(a.alloc(100), nullptr);
  a.reset();
  EXPECT_GT(a.reserved(), 2 * kBig);
  EXPECT_LE(a.reserved(), Arena::kMaxRetained);
  setHeapFailure(1, true);
  EXPECT_NE(a.alloc(kBig), nullptr);
  EXPECT_NE(a.alloc(kBig), nullptr);
  EXPECT_NE(a.alloc(100), nullptr);
  EXPECT_EQ(a.alloc(kBig), nullptr);
  setHeapFailure(0, false);

  a.release();
  ASSERT_NE(a.alloc(Arena::kMaxRetained), nullptr);
  ASSERT_NE(a.alloc(100), nullptr);
  a.reset();
  EXPECT_GT(a.reserved(), Arena::kMaxRetained);
  EXPECT_LT(a.reserved(), Arena::kMaxRetained + 1024);
}

// Several calls of random shapes on one arena, each filling its
// allocations (some grown in place by extend) with a pattern and then
// re-checking them all: a reused block must never hand out memory that a
// live allocation of the same call holds.
TEST(Arena, ReusedMemoryNeverOverlapsLiveAllocations) {
  Arena a;
  std::mt19937_64 rng(7919);
  struct Piece {
    unsigned char* p;
    size_t n;
  };
  for (int call = 0; call < 6; ++call) {
    a.reset();
    std::vector<Piece> pieces;
    size_t count = 2000 + rng() % 6000;
    for (size_t i = 0; i < count; ++i) {
      size_t n = rng() % 100 == 0 ? rng() % 1'500'000 : rng() % 2000;
      size_t align = size_t{1} << (rng() % 7);
      auto* p = static_cast<unsigned char*>(a.alloc(n, align));
      ASSERT_NE(p, nullptr);
      ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u);
      if (size_t more = rng() % 5000; rng() % 8 == 0 && a.extend(p, n, n + more)) n += more;
      for (size_t k = 0; k < n; ++k) p[k] = static_cast<unsigned char>(call * 31 + i + k);
      pieces.push_back({p, n});
    }
    for (size_t i = 0; i < pieces.size(); ++i)
      for (size_t k = 0; k < pieces[i].n; ++k)
        ASSERT_EQ(pieces[i].p[k], static_cast<unsigned char>(call * 31 + i + k)) << "call " << call << " piece " << i;
  }
}

TEST(Arena, ExtendGrowsOnlyTheLatestAllocation) {
  Arena a;
  void* first = a.alloc(16);
  void* second = a.alloc(16);
  EXPECT_FALSE(a.extend(first, 16, 32));
  EXPECT_TRUE(a.extend(second, 16, 64));
  void* third = a.alloc(8, 1);
  EXPECT_EQ(static_cast<char*>(third), static_cast<char*>(second) + 64 + Arena::kGap);
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
