#include "vec/date_diff.h"

#include <gtest/gtest.h>

#include <random>

#include "base/heap.h"
#include "vec/time.h"
#include "vec_testing.h"

namespace quendra {
namespace {

using testing::Make;
using testing::Opt;

constexpr int64_t kDay = kMicrosPerDay;

int64_t ts(const char* text) {
  auto v = parseTimestamp(text);
  EXPECT_TRUE(v) << text;
  return v.value_or(0);
}

// The count by another route: each time truncated to the unit, then the
// whole units between the two starts, found by shifting one start until it
// meets the other. Weeks are the day count's whole weeks, truncated toward
// zero.
int64_t reference(Grain g, int64_t a, int64_t b) {
  if (g == Grain::week) return (truncate(Grain::day, b) - truncate(Grain::day, a)) / kDay / 7;
  const int64_t ta = truncate(g, a), tb = truncate(g, b);
  static constexpr int64_t kApprox[] = {kMicrosPerSecond, kMicrosPerMinute, kMicrosPerHour, kDay, 7 * kDay,
                                        30 * kDay,        91 * kDay,        365 * kDay};
  int64_t n = (tb - ta) / kApprox[grainRank(g)];
  while (shiftTime(ta, n, g) < tb) ++n;
  while (shiftTime(ta, n, g) > tb) --n;
  EXPECT_EQ(shiftTime(ta, n, g), tb);
  return n;
}

// Cases checked against DuckDB's date_diff: boundaries, not elapsed
// units; floored before 1970; weeks by days.
TEST(DateDiff, KnownAnswers) {
  Arena arena;
  Make mk{arena};
  struct Case {
    Grain g;
    const char *a, *b;
    bool a_date, b_date;
    int64_t want;
  };
  const Case cases[] = {
      {Grain::day, "1969-12-31 23:59:59.5", "1970-01-01 00:00:00.5", false, false, 1},
      {Grain::second, "1969-12-31 23:59:59.5", "1970-01-01 00:00:00.5", false, false, 1},
      {Grain::second, "1960-01-01 00:00:00.1", "1960-01-01 00:00:00.9", false, false, 0},
      {Grain::hour, "1960-01-01 01:00", "1960-01-01 00:59", false, false, -1},
      {Grain::minute, "1969-12-31 23:30", "1970-01-01 00:30", false, false, 60},
      {Grain::week, "2024-01-07", "2024-01-08", true, true, 0},  // Sunday to Monday
      {Grain::week, "2024-01-09", "2024-01-01", true, true, -1},
      {Grain::week, "2024-01-01 12:00", "2024-01-08 11:00", false, false, 1},
      {Grain::month, "2024-01-31", "2024-02-01", true, true, 1},
      {Grain::month, "2024-03-31", "2024-02-29", true, true, -1},
      {Grain::quarter, "2024-03-31 23:00", "2024-04-01 01:00", false, false, 1},
      {Grain::year, "2020-12-31 23:00", "2021-01-01 01:00", false, false, 1},
      {Grain::year, "2024-02-29", "2023-03-01", true, true, -1},
      {Grain::hour, "2024-01-08", "2024-01-07 23:00", true, false, -1},
      {Grain::day, "2024-01-08", "2024-01-09 12:00", true, false, 1},
      {Grain::second, "2024-01-01", "2024-01-02", true, true, 86400},
  };
  for (const Case& c : cases) {
    const int64_t a = c.a_date ? ts(c.a) / kDay : ts(c.a), b = c.b_date ? ts(c.b) / kDay : ts(c.b);
    Vec va = mk.sInt(a, c.a_date ? Kind::date : Kind::timestamp);
    Vec vb = mk.ints({b}, c.b_date ? Kind::date : Kind::timestamp);
    Vec r = *dateDiff(arena, c.g, va, vb);
    EXPECT_EQ(r.kind, Kind::int_);
    EXPECT_EQ(r.intAt(0), c.want) << grainName(c.g) << " " << c.a << " " << c.b;
  }
}

// Random times, dates and nulls in every shape against the reference, over
// years where the reference's calendar shifts are exact.
TEST(DateDiff, MatchesTheReference) {
  std::mt19937_64 rng(7);
  // Years about -98000 to 102000, so that a ± span stays within 64 bits.
  const int64_t span = 100'000 * 365 * kDay;
  for (int round = 0; round < 40; ++round) {
    Arena arena;
    Make mk{arena};
    const size_t n = round % 4 == 0 ? 1 : 63 + round % 3;
    Opt<int64_t> xa, xb;
    const bool a_date = round % 3 == 1, b_date = round % 5 == 2;
    for (size_t i = 0; i < n; ++i) {
      const int64_t a = static_cast<int64_t>(rng() % (2 * static_cast<uint64_t>(span))) - span;
      const int scale = static_cast<int>(rng() % 14);  // from microseconds to the whole span
      int64_t step = static_cast<int64_t>(rng() % (uint64_t{10} << (scale * 4 < 60 ? scale * 4 : 60)));
      int64_t b = rng() % 2 ? a + step % span : a - step % span;
      if (rng() % 3 == 0) b = a - a % kDay;
      auto as = [&](int64_t us, bool date) -> std::optional<int64_t> {
        if (rng() % 9 == 0) return std::nullopt;
        return date ? truncate(Grain::day, us) / kDay : us;
      };
      xa.push_back(as(a, a_date));
      xb.push_back(as(b, b_date));
    }
    Vec va = mk.ints(xa, a_date ? Kind::date : Kind::timestamp);
    Vec vb = mk.ints(xb, b_date ? Kind::date : Kind::timestamp);
    if (round % 4 == 1) va = Make::asScalar(mk.ints({xa[0].value_or(0)}, va.kind));
    if (round % 4 == 2) vb = Make::asScalar(mk.ints({xb[0].value_or(0)}, vb.kind));
    for (int g = 0; g <= 7; ++g) {
      const Grain grain = static_cast<Grain>(g);
      Vec r = *dateDiff(arena, grain, va, vb);
      ASSERT_EQ(r.scalar, va.scalar && vb.scalar);
      for (size_t i = 0; i < (r.scalar ? 1 : n); ++i) {
        const bool null = va.isNull(i) || vb.isNull(i);
        ASSERT_EQ(r.isNull(i), null);
        if (null) {
          EXPECT_EQ(r.intAt(i), 0);
          continue;
        }
        const int64_t a = va.kind == Kind::date ? va.intAt(i) * kDay : va.intAt(i);
        const int64_t b = vb.kind == Kind::date ? vb.intAt(i) * kDay : vb.intAt(i);
        ASSERT_EQ(r.intAt(i), reference(grain, a, b)) << grainName(grain) << " " << a << " " << b;
      }
    }
  }
}

// Nulls, kinds and absurd values: a null scalar answers null in the
// result's shape, other kinds mismatch, and values at the ends of the
// ranges give an answer without undefined behaviour (the sanitizer build
// checks).
TEST(DateDiff, NullsKindsAndExtremes) {
  Arena arena;
  Make mk{arena};
  Vec dates = mk.ints({0, INT64_MAX, INT64_MIN, std::nullopt}, Kind::date);
  Vec times = mk.ints({INT64_MIN, INT64_MAX, 0, 1}, Kind::timestamp);
  Vec r = *dateDiff(arena, Grain::day, mk.sNull(Kind::timestamp), dates);
  EXPECT_EQ(r.len, 4u);
  EXPECT_TRUE(!r.scalar && r.isNull(0) && r.isNull(3));
  EXPECT_TRUE(dateDiff(arena, Grain::year, mk.sNull(), mk.sNull())->isNullScalar());
  EXPECT_EQ(dateDiff(arena, Grain::day, mk.ints({1}), dates).error(), EvalErr::TypeMismatch);
  EXPECT_EQ(dateDiff(arena, Grain::day, dates, mk.sStr("2024-01-01")).error(), EvalErr::TypeMismatch);
  for (int g = 0; g <= 7; ++g) {
    for (const Vec& a : {dates, times})
      for (const Vec& b : {dates, times}) {
        Vec x = *dateDiff(arena, static_cast<Grain>(g), a, b);
        Vec y = *dateDiff(arena, static_cast<Grain>(g), b, a);
        // Reversed operands negate the count (modulo 2^64 for absurd
        // values; weeks divide a day count that may have wrapped to
        // INT64_MIN, which has no negation).
        for (size_t i = 0; i < 3 && g != grainRank(Grain::week); ++i)
          if (!x.isNull(i)) EXPECT_EQ(static_cast<uint64_t>(x.intAt(i)), 0 - static_cast<uint64_t>(y.intAt(i)));
      }
  }
  EXPECT_EQ(dateDiff(arena, Grain::second, times, Make::asScalar(mk.ints({0}, Kind::timestamp)))->intAt(1),
            -(INT64_MAX / kMicrosPerSecond));
}

TEST(DateDiff, AllocationFailureIsOutOfMemory) {
  Arena inputs;
  Make mk{inputs};
  Opt<int64_t> xs;
  for (int i = 0; i < 3000; ++i) xs.push_back(i % 7 ? std::optional<int64_t>(i * 977) : std::nullopt);
  Vec a = mk.ints(xs, Kind::date), b = mk.ints(xs, Kind::timestamp);
  for (bool every_after : {false, true}) {
    for (uint64_t n = 1;; ++n) {
      Arena arena;
      setHeapFailure(n, every_after);
      auto r = dateDiff(arena, Grain::month, a, b);
      setHeapFailure(0, false);
      if (r) break;
      ASSERT_EQ(r.error(), EvalErr::OutOfMemory) << "failing request " << n;
      ASSERT_LT(n, 100u);
    }
  }
}

}  // namespace
}  // namespace quendra
