#include "vec/vec.h"

#include <gtest/gtest.h>

#include "vec/time.h"
#include "vec_testing.h"

namespace quendra {
namespace {

using testing::Make;

TEST(VecModel, OutLenAndMergeNulls) {
  Arena arena;
  Make mk{arena};
  Vec col5 = mk.ints({1, 2, 3, 4, 5}), col3 = mk.ints({1, 2, 3}), s = mk.sInt(7);
  EXPECT_EQ(outLen(s, col5).n, 5u);
  EXPECT_EQ(outLen(col5, s).n, 5u);
  EXPECT_FALSE(outLen(s, col5).scalar);
  EXPECT_TRUE(outLen(s, s).scalar);
  EXPECT_EQ(outLen(col3, col5).n, 3u);

  Vec holes = mk.ints({1, std::nullopt, 3}), holes2 = mk.ints({std::nullopt, 2, 3});
  Vec masked_scalar = Make::asScalar(mk.ints({5}));
  uint8_t zero = 0;
  masked_scalar.nulls = &zero;
  auto merged = [&](const Vec& a, const Vec& b) {
    uint8_t* m = *mergeNulls(arena, a, b, 3);
    return m ? std::vector<uint8_t>(m, m + outLen(a, b).stored()) : std::vector<uint8_t>{};
  };
  EXPECT_EQ(*mergeNulls(arena, col3, col3, 3), nullptr);
  EXPECT_EQ(merged(col3, mk.sNull()), (std::vector<uint8_t>{1, 1, 1}));
  EXPECT_EQ(merged(holes, holes2), (std::vector<uint8_t>{1, 1, 0}));
  EXPECT_EQ(merged(masked_scalar, holes), (std::vector<uint8_t>{0, 1, 0}));
  EXPECT_EQ(merged(mk.sNull(), masked_scalar), (std::vector<uint8_t>{1}));
  // Never the operand's own array: kernels mark further rows in it.
  EXPECT_NE(*mergeNulls(arena, holes, col3, 3), holes.nulls);
}

TEST(VecModel, Accessors) {
  Arena arena;
  Make mk{arena};
  EXPECT_EQ(mk.ints({3}).floatAt(0), 3.0);
  EXPECT_EQ(mk.floats({2.75}).floatAt(0), 2.75);
  Vec s = mk.sStr("héllo");
  for (size_t i : {0, 1, 1000}) EXPECT_EQ(s.strAt(i), "héllo");
  Vec col = mk.strs({"a", "", "bc"});
  EXPECT_EQ(col.strAt(1), "");
  EXPECT_EQ(col.strAt(2), "bc");

  EXPECT_FALSE(mk.ints({std::nullopt, std::nullopt}).isNullScalar());
  EXPECT_FALSE(mk.sInt(1).isNullScalar());

  std::string text = "not copied";
  EXPECT_EQ(scalarStr(arena, text)->strAt(0).data(), text.data());

  // A date counts days, a timestamp microseconds.
  EXPECT_EQ(civilFromDays(mk.ints({1}, Kind::date).intAt(0)), (Civil{1970, 1, 2}));
  EXPECT_EQ(tsAt(mk.ints({1}, Kind::date), 0), tsAt(mk.ints({86'400'000'000}, Kind::timestamp), 0));
}

TEST(VecModel, NullVec) {
  Arena arena;
  for (Kind k : {Kind::int_, Kind::float_, Kind::bool_, Kind::str, Kind::date}) {
    for (bool scalar : {false, true}) {
      Vec v = *nullVec(arena, k, 4, scalar);
      EXPECT_EQ(v.len, 4u);
      EXPECT_EQ(v.data.tag, storageOf(k));
      EXPECT_EQ(v.isNullScalar(), scalar);
      for (size_t r = 0; r < 4; ++r) {
        EXPECT_TRUE(v.isNull(r));
        if (k == Kind::str) {
          EXPECT_EQ(v.strAt(r), "");
        } else if (k == Kind::float_) {
          EXPECT_EQ(v.floatAt(r), 0.0);
        } else if (k == Kind::bool_) {
          EXPECT_FALSE(v.boolAt(r));
        } else {
          EXPECT_EQ(v.intAt(r), 0);
        }
      }
    }
  }
}

// Which text columns get a dictionary at binding: codes whose first rows
// show most of their values still do (tail numbers over a year of
// flights); mostly distinct values, or more than 65,535 of them, do not.
TEST(VecModel, TextDictionaryChoice) {
  Arena arena;
  Make mk{arena};
  auto column = [&](size_t n, auto value) {
    std::vector<std::optional<std::string>> v(n);
    for (size_t r = 0; r < n; ++r) v[r] = "k" + std::to_string(value(r));
    return statsOf(arena, mk.strs(v));
  };
  auto early_all = column(80'000, [](size_t r) { return r < 8'000 ? r : r % 8'000; });
  ASSERT_TRUE(early_all && early_all->codes);
  EXPECT_EQ(early_all->dict.len, 8'000u);
  EXPECT_EQ(early_all->codes[79'999], 79'999 % 8'000);
  EXPECT_FALSE(column(80'000, [](size_t r) { return r * 7 / 10; })->codes);  // mostly distinct
  EXPECT_FALSE(column(800'000, [](size_t r) { return r % 70'000; })->codes);  // too many values
}

}  // namespace
}  // namespace quendra
