// Grouping's building blocks against plain models: codes for strings of
// every length (short ones are read as words, up to the buffer's end), and
// the key map through every growth, with and without a good size guess.
#include "exec/group.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <unordered_map>

#include "base/heap.h"
#include "exec/keymap.h"
#include "../vec/vec_testing.h"

namespace quendra {
namespace {

TEST(Group, StringCodesMatchFirstAppearance) {
  std::mt19937_64 rng(11);
  std::vector<std::string> pool;
  for (size_t len = 0; len <= 40; ++len) {
    std::string s(len, 'a');
    for (char& c : s) c = static_cast<char>('a' + rng() % 3);
    pool.push_back(s);
    pool.push_back(s + '\0');  // a NUL is a byte like any other
  }
  for (int round = 0; round < 200; ++round) {
    Arena a;
    testing::Make mk{a};
    testing::Opt<std::string> xs;
    for (size_t i = 0, n = rng() % 60; i < n; ++i)
      xs.push_back(rng() % 8 ? std::optional(pool[rng() % pool.size()]) : std::nullopt);
    std::vector<uint32_t> rows;
    for (uint32_t r = 0; r < xs.size(); ++r)
      if (round % 2 || rng() % 3) rows.push_back(r);
    Sel sel = round % 2 ? Sel{nullptr, xs.size()} : Sel{rows.data(), rows.size()};
    auto c = codes(a, mk.strs(xs), sel);
    ASSERT_TRUE(c);
    std::map<std::string, uint32_t> seen;
    for (size_t k = 0; k < sel.n; ++k) {
      const auto& x = xs[sel.at(k)];
      uint32_t want = x ? seen.emplace(*x, static_cast<uint32_t>(seen.size() + 1)).first->second : 0;
      ASSERT_EQ(c->codes[k], want) << "round " << round << " position " << k;
    }
    EXPECT_EQ(c->n, seen.size() + 1);
  }
}

TEST(Group, KeyMapMatchesAMapThroughGrowthAndRefusals) {
  std::mt19937_64 rng(5);
  for (uint64_t guess : {uint64_t{1}, uint64_t{3000}, uint64_t{1} << 20}) {
    Arena a;
    KeyMap m;
    ASSERT_TRUE(m.init(a, 0, -1, 5000, guess));  // an empty range: hashed
    std::unordered_map<uint64_t, uint32_t> model;
    for (int i = 0; i < 5000; ++i) {
      // Wide keys, and runs of neighbours that share hash bits.
      uint64_t key = i % 2 ? rng() : (rng() % 64) << 40;
      if (i % 97 == 0) setHeapFailure(1, false);  // a refused growth keeps every entry
      uint32_t* slot = m.upsert(a, key);
      setHeapFailure(0, false);
      if (!slot) continue;
      auto [it, fresh] = model.emplace(key, static_cast<uint32_t>(model.size() + 1));
      ASSERT_EQ(*slot == 0, fresh);
      if (fresh) *slot = it->second;
      ASSERT_EQ(*slot, it->second);
    }
    for (const auto& [key, value] : model) ASSERT_EQ(m.find(key), value);
    EXPECT_EQ(m.find(1), 0u);
  }
}

}  // namespace
}  // namespace quendra
