// Grouping's building blocks against plain models: codes for strings of
// every length (short ones are read as words, up to the buffer's end), the
// key map through every growth, with and without a good size guess, and
// hashed groups against groupRows.
#include "exec/group.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
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

// Several integer and float keys numbered by HashGroups, against groupRows
// over the same rows: the same group at every position, and key columns
// holding each group's first row. In half the rounds the first 3,000 rows
// repeat four values, so the size guess is low and the table grows; some
// rounds leave rows out of the selection, and floats include -0.0, +0.0
// and NaNs of both signs.
TEST(Group, HashGroupsMatchGroupRows) {
  std::mt19937_64 rng(17);
  HashGroups::setManyGroupsForTesting(1);
  static const double kSpecial[] = {-0.0, 0.0, NAN, -NAN};
  for (int round = 0; round < 60; ++round) {
    Arena a;
    testing::Make mk{a};
    const size_t n = 1 + rng() % (round % 3 ? 5000 : 40000);
    const size_t nd = 1 + rng() % 3;
    const uint64_t spread = round % 4 == 0 ? 5 : 1 + rng() % (2 * n);
    std::vector<Vec> dims;
    for (size_t d = 0; d < nd; ++d) {
      const bool is_float = rng() % 3 == 0, nullable = rng() % 2;
      testing::Opt<int64_t> xi(n);
      testing::Opt<double> xf(n);
      for (size_t r = 0; r < n; ++r) {
        const uint64_t x = r < 3000 && round % 2 ? rng() % 4 : rng() % spread;
        const bool null = nullable && rng() % 10 == 0;
        if (null) continue;
        if (is_float)
          xf[r] = x < 4 ? kSpecial[x] : static_cast<double>(x) / 4;
        else
          xi[r] = static_cast<int64_t>(x * 0x9E3779B97F4A7C15ull);
      }
      dims.push_back(is_float ? mk.floats(xf) : mk.ints(xi, rng() % 2 ? Kind::timestamp : Kind::int_));
    }
    std::vector<uint32_t> rows;
    for (uint32_t r = 0; r < n; ++r)
      if (round % 5 || rng() % 4) rows.push_back(r);
    const Sel sel = round % 5 ? Sel{nullptr, n} : Sel{rows.data(), rows.size()};
    if (sel.n == 0) continue;
    auto want = groupRows(a, dims, sel);
    ASSERT_TRUE(want);
    HashGroups h;
    Arena* arenas[] = {&a, &a, &a};
    auto ready = h.init(a, dims, sel, arenas);
    ASSERT_TRUE(ready && *ready);
    std::vector<uint32_t> got(sel.n);
    for (size_t from = 0; from < sel.n; from += 1000)
      ASSERT_TRUE(h.number(a, from, std::min(sel.n, from + 1000), got.data() + from));
    ASSERT_EQ(h.ngroups(), want->ngroups) << "round " << round;
    for (size_t k = 0; k < sel.n; ++k) ASSERT_EQ(got[k], want->gid[k]) << "round " << round << " position " << k;
    for (size_t d = 0; d < nd; ++d) {
      const Vec key = h.key(d);
      ASSERT_EQ(key.len, want->ngroups);
      ASSERT_EQ(key.kind, dims[d].kind);
      for (uint32_t g = 0; g < want->ngroups; ++g) {
        const uint32_t row = want->first[g];
        ASSERT_EQ(key.isNull(g), dims[d].isNull(row)) << "round " << round << " group " << g;
        if (key.isNull(g)) continue;
        if (key.kind == Kind::float_)
          ASSERT_EQ(std::bit_cast<uint64_t>(key.data.floats[g]), std::bit_cast<uint64_t>(dims[d].data.floats[row]));
        else
          ASSERT_EQ(key.data.ints[g], dims[d].data.ints[row]);
      }
    }
  }
  HashGroups::setManyGroupsForTesting(0);
}

}  // namespace
}  // namespace quendra
