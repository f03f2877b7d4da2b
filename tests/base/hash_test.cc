#include "base/hash.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/heap.h"

namespace quendra {
namespace {

TEST(HashBytes, DependsOnEveryByteAndTheLength) {
  std::string s(40, 'a');
  uint64_t base = hashBytes(s);
  for (size_t i = 0; i < s.size(); ++i) {
    std::string t = s;
    t[i] = 'b';
    EXPECT_NE(hashBytes(t), base) << i;
  }
  // Trailing zero bytes must not collide with the shorter string.
  EXPECT_NE(hashBytes(Bytes("ab", 2)), hashBytes(Bytes("ab\0", 3)));
  EXPECT_NE(hashBytes(""), hashBytes(Bytes("\0", 1)));
}

TEST(BytesMap, MatchesAReferenceMap) {
  Arena a;
  BytesMap<int> map;
  std::unordered_map<std::string, int> ref;
  std::vector<std::string> keys;  // keep key bytes alive for the map
  std::mt19937_64 rng(7);
  keys.reserve(20000);
  for (int i = 0; i < 20000; ++i) {
    std::string k(rng() % 12, 'x');
    for (char& c : k) c = static_cast<char>('a' + rng() % 3);  // many repeats
    keys.push_back(k);
    auto r = map.findOrInsert(a, keys.back());
    ASSERT_TRUE(r);
    auto [it, fresh] = ref.try_emplace(k, 0);
    ASSERT_EQ(r->inserted, fresh) << k;
    *r->value += 1;
    it->second += 1;
  }
  EXPECT_EQ(map.size(), ref.size());
  for (auto& [k, v] : ref) {
    int* got = map.find(k);
    ASSERT_NE(got, nullptr) << k;
    EXPECT_EQ(*got, v);
  }
  EXPECT_EQ(map.find("not-there"), nullptr);
  size_t seen = 0;
  map.forEach([&](Bytes, int&) { ++seen; });
  EXPECT_EQ(seen, ref.size());
  map.clear();
  EXPECT_EQ(map.size(), 0u);
  EXPECT_EQ(map.find(keys[0]), nullptr);
}

TEST(IntMap, HandlesAdversarialKeysAndGrowth) {
  Arena a;
  IntMap<uint64_t> map;
  // Multiples of a large power of two collide badly without a good mix.
  for (uint64_t i = 0; i < 50000; ++i) {
    auto r = map.findOrInsert(a, i << 32);
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->inserted);
    *r->value = i;
  }
  for (uint64_t i = 0; i < 50000; ++i) {
    uint64_t* v = map.find(i << 32);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(*v, i);
  }
  EXPECT_EQ(map.find(1), nullptr);
  EXPECT_NE(map.find(0), nullptr);
}

TEST(IntMap, FailedGrowthKeepsEveryEntry) {
  Arena a;
  IntMap<int> map;
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(map.findOrInsert(a, i));  // the 13th grows
  Arena empty;  // growth from here must go to the heap, which refuses
  setHeapFailure(1, true);
  auto r = map.findOrInsert(empty, 100);
  setHeapFailure(0, false);
  ASSERT_FALSE(r);
  EXPECT_EQ(map.size(), 12u);
  for (int i = 0; i < 12; ++i) EXPECT_NE(map.find(i), nullptr);
  EXPECT_TRUE(map.findOrInsert(a, 100));
}

}  // namespace
}  // namespace quendra
