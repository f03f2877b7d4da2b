#include "vec/vec.h"

#include <gtest/gtest.h>

#include "vec/time.h"
#include "vec_testing.h"

namespace quendra {
namespace {

using testing::Make;

TEST(VecModel, OutLenBroadcastsScalars) {
  Arena arena;
  Make mk{arena};
  Vec col5 = mk.ints({1, 2, 3, 4, 5});
  Vec col3 = mk.ints({1, 2, 3});
  Vec s = mk.sInt(7);
  struct Case {
    Vec a, b;
    size_t n;
    bool scalar;
  } cases[] = {
      {s, col5, 5, false}, {col5, s, 5, false}, {s, s, 1, true}, {col3, col5, 3, false},
      {mk.ints({}), s, 0, false},
  };
  for (auto& c : cases) {
    OutLen o = outLen(c.a, c.b);
    EXPECT_EQ(o.n, c.n);
    EXPECT_EQ(o.scalar, c.scalar);
  }
}

TEST(VecModel, MergeNulls) {
  Arena arena;
  Make mk{arena};
  Vec plain = mk.ints({1, 2, 3});
  Vec holes = mk.ints({1, std::nullopt, 3});
  Vec holes2 = mk.ints({std::nullopt, 2, 3});
  Vec null_scalar = mk.sNull();
  Vec masked_scalar = Make::asScalar(mk.ints({5}));
  uint8_t zero = 0;
  masked_scalar.nulls = &zero;

  EXPECT_EQ(*mergeNulls(arena, plain, plain, 3), nullptr);

  uint8_t* m = *mergeNulls(arena, plain, null_scalar, 3);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(m, m + 3), (std::vector<uint8_t>{1, 1, 1}));

  m = *mergeNulls(arena, holes, holes2, 3);
  EXPECT_EQ(std::vector<uint8_t>(m, m + 3), (std::vector<uint8_t>{1, 1, 0}));

  // A copy, never the operand's own array: kernels mark further rows in it.
  m = *mergeNulls(arena, masked_scalar, holes, 3);
  EXPECT_NE(m, holes.nulls);
  EXPECT_EQ(std::vector<uint8_t>(m, m + 3), (std::vector<uint8_t>{0, 1, 0}));

  m = *mergeNulls(arena, null_scalar, masked_scalar, 1);
  EXPECT_EQ(m[0], 1);
}

TEST(VecModel, Accessors) {
  Arena arena;
  Make mk{arena};
  EXPECT_EQ(mk.ints({3}).floatAt(0), 3.0);
  EXPECT_EQ(mk.floats({2.75}).floatAt(0), 2.75);
  EXPECT_EQ(mk.ints({INT64_MAX}).floatAt(0), 9223372036854775808.0);

  Vec s = mk.sStr("héllo");
  for (size_t i : {0, 1, 1000}) EXPECT_EQ(s.strAt(i), "héllo");
  Vec col = mk.strs({"a", "", "bc"});
  EXPECT_EQ(col.strAt(0), "a");
  EXPECT_EQ(col.strAt(1), "");
  EXPECT_EQ(col.strAt(2), "bc");
  EXPECT_EQ(mk.sInt(9).intAt(12345), 9);

  Vec all_null_col = mk.ints({std::nullopt, std::nullopt});
  EXPECT_TRUE(all_null_col.isNull(1));
  EXPECT_FALSE(all_null_col.isNullScalar());
  EXPECT_FALSE(mk.sInt(1).isNullScalar());
  EXPECT_TRUE(mk.sNull(Kind::str).isNullScalar());

  EXPECT_TRUE(mk.ints({1}, Kind::date).isTemporal());
  EXPECT_FALSE(mk.ints({1}, Kind::date).isNumeric());
  EXPECT_TRUE(mk.floats({1}).isNumeric());
  EXPECT_FALSE(mk.bools({true}).isNumeric());
}

TEST(VecModel, TemporalUnits) {
  Arena arena;
  Make mk{arena};
  Vec d = mk.ints({1}, Kind::date);
  Vec t = mk.ints({86'400'000'000}, Kind::timestamp);
  EXPECT_EQ(civilFromDays(d.intAt(0)), (Civil{1970, 1, 2}));
  EXPECT_EQ(tsAt(d, 0), tsAt(t, 0));
}

TEST(VecModel, Constructors) {
  Arena arena;
  Vec i = *scalarInt(arena, -4);
  EXPECT_TRUE(i.scalar && i.len == 1 && i.kind == Kind::int_ && !i.nulls);
  EXPECT_EQ(i.intAt(0), -4);
  Vec f = *scalarFloat(arena, 0.5);
  EXPECT_EQ(f.data.tag, Data::Tag::float_);
  EXPECT_EQ(f.floatAt(3), 0.5);
  EXPECT_TRUE(scalarBool(arena, true)->boolAt(0));
  Vec t = *scalarTimestamp(arena, 42);
  EXPECT_EQ(t.kind, Kind::timestamp);
  EXPECT_EQ(t.data.tag, Data::Tag::int_);

  std::string text = "not copied";
  Vec s = *scalarStr(arena, text);
  EXPECT_EQ(s.data.str.bytes.data(), text.data());
  EXPECT_EQ(s.strAt(0), text);

  for (Kind k : {Kind::int_, Kind::float_, Kind::bool_, Kind::str, Kind::date}) {
    for (bool scalar : {false, true}) {
      Vec v = *nullVec(arena, k, 4, scalar);
      EXPECT_EQ(v.len, 4u);
      EXPECT_EQ(v.scalar, scalar);
      EXPECT_EQ(v.kind, k);
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
  Vec empty = *nullVec(arena, Kind::int_, 0, false);
  EXPECT_EQ(empty.len, 0u);
}

}  // namespace
}  // namespace quendra
