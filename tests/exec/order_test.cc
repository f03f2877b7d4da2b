// Ordering groups: many groups keyed by texts of few values (sorted through
// their ranks) must come out exactly as a plain stable sort of the values
// puts them, nulls last either way, ties in their first order, with and
// without a limit.
#include "exec/order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "../vec/vec_testing.h"

namespace quendra {
namespace {

TEST(Order, TextRanksSortAsTheValues) {
  const char* pool[] = {"", "a", "A", "ab", "a\xff", "é", "b", "ba", "zz"};
  std::mt19937_64 rng(3);
  for (size_t n : {size_t{100}, size_t{5000}, size_t{20000}}) {
    testing::Opt<std::string> text(n), many(n);
    testing::Opt<int64_t> num(n);
    for (size_t r = 0; r < n; ++r) {
      if (rng() % 9) text[r] = pool[rng() % 9];
      many[r] = std::to_string(rng() % (n / 2));  // too many values for ranks
      num[r] = static_cast<int64_t>(rng() % 4);
    }
    Arena arena;
    testing::Make mk{arena};
    const Vec cols[] = {mk.strs(text), mk.ints(num), mk.strs(many)};
    auto before = [&](const std::vector<Order>& keys, uint32_t a, uint32_t b) {
      for (const Order& k : keys) {
        if (k.out_index == 1) {
          if (*num[a] != *num[b]) return k.desc ? *num[a] > *num[b] : *num[a] < *num[b];
          continue;
        }
        const auto& v = k.out_index == 0 ? text : many;
        if (!v[a] || !v[b]) {
          if (v[a].has_value() != v[b].has_value()) return v[a].has_value();
          continue;
        }
        if (*v[a] != *v[b]) return k.desc ? *v[a] > *v[b] : *v[a] < *v[b];
      }
      return false;
    };
    const std::vector<std::vector<Order>> orders = {
        {{0, false}}, {{0, true}, {1, false}}, {{1, true}, {0, false}}, {{0, false}, {2, true}}};
    for (const auto& keys : orders) {
      for (size_t keep : {size_t{10}, n}) {
        std::vector<uint32_t> want(n), got(n);
        std::iota(want.begin(), want.end(), 0u);
        std::iota(got.begin(), got.end(), 0u);
        std::stable_sort(want.begin(), want.end(), [&](uint32_t a, uint32_t b) { return before(keys, a, b); });
        ASSERT_TRUE(sortGroups(arena, SortCtx{cols, keys}, got, keep));
        got.resize(std::min(keep, n));
        want.resize(std::min(keep, n));
        EXPECT_EQ(got, want) << n << " rows, " << keys.size() << " keys, keep " << keep;
      }
    }
  }
}

}  // namespace
}  // namespace quendra
