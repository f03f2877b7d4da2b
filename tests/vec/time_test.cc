#include "vec/time.h"

#include <gtest/gtest.h>

#include <random>

#include "vec_testing.h"

namespace quendra {
namespace {

using testing::Make;

constexpr int64_t kDay = kMicrosPerDay;

int64_t ts(const char* text) {
  auto v = parseTimestamp(text);
  EXPECT_TRUE(v) << text;
  return v.value_or(0);
}

TEST(VecTime, DaysFromCivil) {
  struct Case {
    int64_t y, m, d, days;
  } cases[] = {
      {1970, 1, 1, 0},       {2000, 3, 1, 11017},     {1969, 12, 31, -1},   {2024, 1, 1, 19723},
      {1, 1, 1, -719162},    {9999, 12, 31, 2932896}, {1600, 2, 29, -135081},
      {1900, 3, 1, -25508},  {0, 3, 1, -719468},      {-1, 12, 31, -719529},
      // Days past the month's end roll over.
      {2023, 2, 29, 19417},  {2024, 2, 31, 19784},    {2024, 4, 31, 19844},
  };
  for (auto& c : cases) {
    EXPECT_EQ(daysFromCivil(c.y, c.m, c.d), c.days) << c.y << "-" << c.m << "-" << c.d;
    if (c.d <= 28) {
      EXPECT_EQ(civilFromDays(c.days), (Civil{c.y, c.m, c.d}));
    }
  }
}

// Consecutive day numbers walk the calendar one day at a time, and the two
// conversions invert each other, far from 1970 in both directions.
TEST(VecTime, CivilRoundTrip) {
  std::mt19937_64 rng(5);
  for (int i = 0; i < 20000; ++i) {
    int64_t z = static_cast<int64_t>(rng() % (int64_t{1} << 41)) - (int64_t{1} << 40);
    Civil c = civilFromDays(z);
    ASSERT_EQ(daysFromCivil(c.y, c.m, c.d), z);
    ASSERT_TRUE(c.m >= 1 && c.m <= 12 && c.d >= 1 && c.d <= 31);
    Civil next = civilFromDays(z + 1);
    if (next.d != 1) {
      ASSERT_EQ(next, (Civil{c.y, c.m, c.d + 1}));
    } else if (next.m != 1) {
      ASSERT_EQ(next, (Civil{c.y, c.m + 1, 1}));
    } else {
      ASSERT_EQ(next, (Civil{c.y + 1, 1, 1}));
    }
  }
}

TEST(VecTime, ParseTimestampAccepts) {
  struct Case {
    const char* text;
    int64_t us;
  } cases[] = {
      {"2024-03-01", 1709251200000000},
      {" 2024-03-01  ", 1709251200000000},
      {"2024-03-01 10:30", 1709289000000000},
      {"2024-03-01T10:30:15", 1709289015000000},
      {"2024-03-01 10:30:15.250", 1709289015250000},
      {"2024-03-01 10:30:15.1234567", 1709289015123456},
      {"2024-03-01 10:30:15.123456999", 1709289015123456},
      {"2024-03-01 10:30:15.", 1709289015000000},
      {"2024-03-01 00:00:00.5", 1709251200500000},
      {"2024-02-30", 1709251200000000},
      {"2023-02-29", 19417 * kDay},
      {"2024-+1-05", 1704412800000000},
      {"2024-03-01 -1:00", 1709247600000000},
      {"2024-03-01 25:70", 1709345400000000},
      {"2_24-01-01", daysFromCivil(224, 1, 1) * kDay},
      {"1970-01-01 00:00:00.000001", 1},
      {"1969-12-31 23:59:59.999999", -1},
      {"-001-12-31", -719529 * kDay},
      {"+999-01-01", daysFromCivil(999, 1, 1) * kDay},
      {"0000-03-01", -719468 * kDay},
  };
  for (auto& c : cases) {
    auto v = parseTimestamp(c.text);
    ASSERT_TRUE(v) << c.text;
    EXPECT_EQ(*v, c.us) << c.text;
  }
}

TEST(VecTime, ParseTimestampRejects) {
  const char* cases[] = {
      "", "2024-03", "2024-3-1", "2024/03/01", "2024-1-05", "2024-13-01", "2024-00-10",
      "2024-01-32", "2024-01-00", "\t2024-03-01", "2024-03-01\t", "2024-03-01x", "2024-03-01 10",
      "2024-03-01 10:3", "2024-03-01 10:30:", "2024-03-01 10:30:1", "2024-03-01T10:30:15Z",
      "2024-03-01 10:30:15 Z", "2024-03-01 10:30:15.12a", "2024-03-01 10:30:15.-1",
      "2024-03-01X10:30", "2024-03-01 10-30", "2024-03-01  10:30", "_024-01-01", "202_-01-01",
      "+-24-01-01", "+___-01-01", "2024-_1-01", "2024-+_-01", "2024-03-01 1_:30",
      "2024-03-01 10:+:00", "2024-03-01 10:30:15,5", "abcd-ef-gh", "2024-03-01 10:30:15.5 x",
  };
  for (const char* c : cases) EXPECT_FALSE(parseTimestamp(c)) << '"' << c << '"';
}

TEST(VecTime, Truncate) {
  struct Case {
    Grain g;
    int64_t us, want;
  } cases[] = {
      {Grain::second, ts("2024-03-01 10:30:15.999999"), ts("2024-03-01 10:30:15")},
      {Grain::minute, ts("2024-03-01 10:30:15.5"), ts("2024-03-01 10:30")},
      {Grain::hour, ts("2024-03-01 10:30:15"), ts("2024-03-01 10:00")},
      {Grain::day, ts("2024-03-01 23:59:59.999999"), ts("2024-03-01")},
      {Grain::week, ts("2024-03-10 23:59:59.999999"), ts("2024-03-04")},
      {Grain::week, ts("2024-03-10"), ts("2024-03-04")},
      {Grain::week, ts("2024-03-04 12:00"), ts("2024-03-04")},
      {Grain::week, ts("2024-03-04"), ts("2024-03-04")},
      {Grain::week, 0, ts("1969-12-29")},
      {Grain::month, ts("2024-02-29 13:00"), ts("2024-02-01")},
      {Grain::month, ts("2024-03-01"), ts("2024-03-01")},
      {Grain::quarter, ts("2024-08-15"), ts("2024-07-01")},
      {Grain::quarter, ts("2024-12-31 23:59"), ts("2024-10-01")},
      {Grain::quarter, ts("2024-03-31"), ts("2024-01-01")},
      {Grain::year, ts("2024-08-15"), ts("2024-01-01")},
      {Grain::year, ts("-001-06-15"), ts("-001-01-01")},
      // Before 1970 the floor goes to the earlier boundary.
      {Grain::second, -1, -1'000'000},
      {Grain::minute, -1, -60'000'000},
      {Grain::hour, -1, -3'600'000'000},
      {Grain::day, -1, -kDay},
      {Grain::day, -kDay, -kDay},
      {Grain::week, -1, ts("1969-12-29")},
      {Grain::month, -1, ts("1969-12-01")},
      {Grain::quarter, -1, ts("1969-10-01")},
      {Grain::year, -1, ts("1969-01-01")},
      {Grain::week, ts("1900-01-01 05:00"), ts("1900-01-01")},  // a Monday
  };
  for (auto& c : cases) EXPECT_EQ(truncate(c.g, c.us), c.want) << grainName(c.g) << " " << c.us;
}

// The period start written the long way: 128-bit floors and the calendar
// round trip for every coarse grain, then clamped to the int64 range.
int64_t refTruncate(Grain g, int64_t us) {
  using I = __int128;
  auto floorDiv = [](I a, I b) { return a / b - (a % b < 0); };
  auto clamp = [](I v) {
    return v < INT64_MIN ? INT64_MIN : v > INT64_MAX ? INT64_MAX : static_cast<int64_t>(v);
  };
  I unit[] = {kMicrosPerSecond, kMicrosPerMinute, kMicrosPerHour, kDay};
  if (g <= Grain::day) return clamp(floorDiv(us, unit[grainRank(g)]) * unit[grainRank(g)]);
  int64_t day = static_cast<int64_t>(floorDiv(us, kDay));
  Civil c = civilFromDays(day);
  int64_t start;
  if (g == Grain::week) {
    start = day - static_cast<int64_t>(((day + 3) % 7 + 7) % 7);
  } else if (g == Grain::month) {
    start = daysFromCivil(c.y, c.m, 1);
  } else if (g == Grain::quarter) {
    start = daysFromCivil(c.y, 3 * ((c.m - 1) / 3) + 1, 1);
  } else {
    start = daysFromCivil(c.y, 1, 1);
  }
  return clamp(static_cast<I>(start) * kDay);
}

TEST(VecTime, TruncateMatchesReferenceOverTheWholeRange) {
  std::mt19937_64 rng(11);
  std::vector<int64_t> values = {INT64_MIN, INT64_MIN + 1, INT64_MAX, INT64_MAX - 1, 0, -1};
  for (int i = 0; i < 20000; ++i) {
    int64_t v = static_cast<int64_t>(rng());
    values.push_back(i % 2 ? v : v >> (rng() % 64));
  }
  for (int64_t us : values) {
    for (int g = 0; g <= 7; ++g) {
      Grain grain = static_cast<Grain>(g);
      int64_t got = truncate(grain, us);
      ASSERT_EQ(got, refTruncate(grain, us)) << grainName(grain) << " " << us;
      ASSERT_LE(got, us);
    }
  }
}

// Absurd dates clamp to the ends of the range rather than wrapping around,
// and the calendar functions survive any input (the sanitizer build checks
// that nothing undefined happens).
TEST(VecTime, ExtremeValuesClamp) {
  Arena arena;
  Make mk{arena};
  Vec d = mk.ints({INT64_MAX, INT64_MIN, 200'000'000, -200'000'000, 106'751'991, 0}, Kind::date);
  for (int g = 0; g <= 7; ++g) {
    Vec r = *truncateVec(arena, static_cast<Grain>(g), d);
    EXPECT_EQ(r.intAt(0), INT64_MAX);
    EXPECT_EQ(r.intAt(1), INT64_MIN);
    EXPECT_EQ(r.intAt(2), INT64_MAX);
    EXPECT_EQ(r.intAt(3), INT64_MIN);
    EXPECT_LE(r.intAt(4), 106'751'991 * kDay);
    EXPECT_LE(r.intAt(5), 0);
  }
  EXPECT_EQ(microsOfDay(INT64_MAX), INT64_MAX);
  EXPECT_EQ(microsOfDay(-106'751'992), INT64_MIN);
  EXPECT_EQ(microsOfDay(-106'751'991), -106'751'991 * kDay);
  for (int64_t z : {INT64_MIN, INT64_MAX, INT64_MIN + 719468, INT64_MAX - 719468}) {
    Civil c = civilFromDays(z);
    EXPECT_TRUE(c.m >= 1 && c.m <= 12 && c.d >= 1 && c.d <= 31);
  }
  for (int64_t y : {INT64_MIN, INT64_MAX}) {
    for (int64_t m : {INT64_MIN, int64_t{1}, int64_t{12}, INT64_MAX}) {
      (void)daysFromCivil(y, m, INT64_MAX);
      (void)daysFromCivil(y, m, INT64_MIN);
    }
  }
  EXPECT_EQ(daysFromCivil(INT64_MAX / 400, 1, 1), daysFromCivil(INT64_MAX / 400, 1, 1));
}

TEST(VecTime, TruncateVec) {
  Arena arena;
  Make mk{arena};
  Vec dates = mk.ints({19723, std::nullopt, -1}, Kind::date);
  Vec r = *truncateVec(arena, Grain::day, dates);
  EXPECT_EQ(r.kind, Kind::timestamp);
  EXPECT_EQ(r.nulls, dates.nulls);  // shared, not copied
  EXPECT_EQ(r.intAt(0), 1704067200000000);
  EXPECT_EQ(r.intAt(1), 0);
  EXPECT_EQ(r.intAt(2), -kDay);
  EXPECT_EQ(truncateVec(arena, Grain::month, dates)->intAt(2), ts("1969-12-01"));

  EXPECT_EQ(truncateVec(arena, Grain::day, mk.ints({1})).error(), EvalErr::TypeMismatch);
  EXPECT_EQ(truncateVec(arena, Grain::day, mk.strs({"2024-01-01"})).error(), EvalErr::TypeMismatch);
  EXPECT_EQ(truncateVec(arena, Grain::day, mk.sNull()).error(), EvalErr::TypeMismatch);
}

}  // namespace
}  // namespace quendra

namespace quendra {
namespace {

// Calendar shifts keep the day of the month, clamped to the month's end,
// and the time of day; weeks and days are fixed lengths.
TEST(VecTime, ShiftTimeClampsToTheMonthsEnd) {
  auto at = [](int64_t y, int64_t m, int64_t d, int64_t h = 0) {
    return daysFromCivil(y, m, d) * kMicrosPerDay + h * kMicrosPerHour;
  };
  const struct {
    int64_t from;
    int64_t n;
    Grain unit;
    int64_t want;
  } cases[] = {
      {at(2024, 3, 31, 7), -1, Grain::month, at(2024, 2, 29, 7)},
      {at(2024, 2, 29), -1, Grain::year, at(2023, 2, 28)},
      {at(2024, 2, 29), 4, Grain::year, at(2028, 2, 29)},
      {at(2024, 5, 31), -1, Grain::quarter, at(2024, 2, 29)},
      {at(2024, 1, 31), 1, Grain::month, at(2024, 2, 29)},
      {at(2024, 1, 15), -13, Grain::month, at(2022, 12, 15)},
      {at(1969, 12, 31, 23), 2, Grain::month, at(1970, 2, 28, 23)},
      {at(2025, 1, 5), -1, Grain::week, at(2024, 12, 29)},
      {at(2024, 3, 1), -1, Grain::day, at(2024, 2, 29)},
      {at(2024, 3, 1, 1), -2, Grain::hour, at(2024, 2, 29, 23)},
  };
  for (const auto& c : cases) EXPECT_EQ(shiftTime(c.from, c.n, c.unit), c.want) << c.from << " " << c.n;
}

}  // namespace
}  // namespace quendra
