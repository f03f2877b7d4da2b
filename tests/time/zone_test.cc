// Time zones against glibc's reading of the same zone files (when the
// machine's tzdata is the version compiled in), and wall-clock conversions
// against a brute-force model.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <limits>
#include <random>
#include <set>
#include <string>

#include "vec/time.h"
#include "time/zone.h"
#include "time/generated/tz_table.h"

namespace quendra {
namespace {

constexpr int64_t k1900 = -2208988800;
constexpr int64_t k2200 = 7258118400;

TimeZone zone(const char* name) {
  std::optional<TimeZone> z = findTimeZone(name);
  EXPECT_TRUE(z) << name;
  return z.value_or(TimeZone{});
}

int64_t at(int64_t y, int64_t m, int64_t d, int64_t hh, int64_t mm) {
  return daysFromCivil(y, m, d) * 86400 + hh * 3600 + mm * 60;
}

TEST(TimeZones, NamesAliasesAndOffsets) {
  EXPECT_EQ(zone("US/Eastern").data, zone("America/New_York").data);
  EXPECT_EQ(zone("america/new_york").name, "America/New_York");
  EXPECT_EQ(zone("UTC").name, "UTC");
  EXPECT_EQ(offsetAt(zone("Etc/GMT+5"), 0), -5 * 3600);  // POSIX signs: west of UTC
  EXPECT_EQ(offsetAt(zone("+05:30"), 0), 19800);
  EXPECT_EQ(offsetAt(zone("-08:00"), 123456789), -28800);
  for (const char* bad : {"", "Mars/Base", "+19:00", "+5:30", "05:30", "+05:60", "America/New_York "})
    EXPECT_FALSE(findTimeZone(bad)) << bad;
  EXPECT_STRNE(tzdataVersion(), "");
}

// Offsets people know, which no tzdata release since 2016 changed.
TEST(TimeZones, KnownOffsetsAcrossTheChanges) {
  const TimeZone ny = zone("America/New_York"), sy = zone("Australia/Sydney"), lh = zone("Australia/Lord_Howe");
  EXPECT_EQ(offsetAt(ny, at(2024, 3, 10, 6, 59) + 59), -5 * 3600);  // 01:59:59 EST
  EXPECT_EQ(offsetAt(ny, at(2024, 3, 10, 7, 0)), -4 * 3600);        // 03:00 EDT
  EXPECT_EQ(offsetAt(ny, at(2024, 11, 3, 5, 59)), -4 * 3600);
  EXPECT_EQ(offsetAt(ny, at(2024, 11, 3, 6, 0)), -5 * 3600);
  EXPECT_EQ(offsetAt(ny, at(2150, 7, 1, 12, 0)), -4 * 3600);        // the rule, long after the files end
  EXPECT_EQ(offsetAt(sy, at(2024, 1, 15, 0, 0)), 11 * 3600);        // southern summer
  EXPECT_EQ(offsetAt(sy, at(2024, 7, 15, 0, 0)), 10 * 3600);
  EXPECT_EQ(offsetAt(sy, at(2190, 1, 15, 0, 0)), 11 * 3600);
  EXPECT_EQ(offsetAt(lh, at(2024, 1, 15, 0, 0)), 11 * 3600);        // half an hour of daylight saving
  EXPECT_EQ(offsetAt(lh, at(2024, 7, 15, 0, 0)), 10 * 3600 + 1800);
  EXPECT_EQ(offsetAt(zone("Asia/Kathmandu"), at(2024, 1, 1, 0, 0)), 5 * 3600 + 45 * 60);
  // Before 1900 the offset in force on 1900-01-01.
  EXPECT_EQ(offsetAt(ny, at(1850, 1, 1, 0, 0)), offsetAt(ny, k1900));

  // A day of 23 hours and one of 25, in wall-clock terms.
  ZoneCursor c(ny);
  const int64_t us = kMicrosPerSecond;
  EXPECT_EQ(c.toUtc(at(2024, 3, 11, 0, 0) * us) - c.toUtc(at(2024, 3, 10, 0, 0) * us), 23 * kMicrosPerHour);
  EXPECT_EQ(c.toUtc(at(2024, 11, 4, 0, 0) * us) - c.toUtc(at(2024, 11, 3, 0, 0) * us), 25 * kMicrosPerHour);
  // 02:30 does not occur on 2024-03-10: read at EST, it is 03:30 EDT.
  EXPECT_EQ(c.toUtc(at(2024, 3, 10, 2, 30) * us), at(2024, 3, 10, 7, 30) * us);
  // 01:30 occurs twice on 2024-11-03: the first time, in EDT.
  EXPECT_EQ(c.toUtc(at(2024, 11, 3, 1, 30) * us), at(2024, 11, 3, 5, 30) * us);
  EXPECT_EQ(c.toLocal(at(2024, 11, 3, 6, 30) * us), at(2024, 11, 3, 1, 30) * us);
}

std::string systemTzdata() {
  std::ifstream f("/usr/share/zoneinfo/tzdata.zi");
  std::string line;
  if (!std::getline(f, line) || line.rfind("# version ", 0) != 0) return "";
  return line.substr(10);
}

// Every zone, at random instants from 1900 to 2200 and a second either side
// of each of its transitions, has glibc's offset for the same files.
TEST(TimeZones, EveryZoneAgreesWithTheSystemsReading) {
  if (systemTzdata() != tzdata::kVersion)
    GTEST_SKIP() << "the system's tzdata (" << systemTzdata() << ") is not the compiled " << tzdata::kVersion;
  std::mt19937_64 rng(20261209);
  const std::string saved = std::getenv("TZ") ? std::getenv("TZ") : "";
  size_t checked = 0;
  for (const tzdata::ZoneName& n : tzdata::kNames) {
    setenv("TZ", n.name, 1);
    tzset();
    const TimeZone z = zone(n.name);
    const tzdata::ZoneData& d = tzdata::kZones[z.data];
    std::vector<int64_t> instants;
    for (int i = 0; i < 200; ++i) instants.push_back(k1900 + static_cast<int64_t>(rng() % uint64_t(k2200 - k1900)));
    for (uint32_t i = 0; i < d.count; i += 1 + d.count / 40)
      for (int64_t e : {-1, 0, 1}) instants.push_back(tzdata::kTimes[d.first + i] + e);
    ZoneCursor cursor(z);
    for (int64_t t : instants) {
      if (t < k1900) continue;
      const time_t tt = static_cast<time_t>(t);
      struct tm tm;
      ASSERT_TRUE(localtime_r(&tt, &tm));
      ASSERT_EQ(offsetAt(z, t), tm.tm_gmtoff) << n.name << " at " << t;
      ASSERT_EQ(cursor.toLocal(t * kMicrosPerSecond), (t + tm.tm_gmtoff) * kMicrosPerSecond) << n.name << " at " << t;
      ++checked;
    }
  }
  if (saved.empty())
    unsetenv("TZ");
  else
    setenv("TZ", saved.c_str(), 1);
  tzset();
  EXPECT_GT(checked, 100000u);
}

// Wall-clock times to instants, against every offset near the time: the
// earliest instant that reads as the time, else (a skipped time) the time
// read at the offset in force before the change.
TEST(TimeZones, WallClockTimesToInstantsAsABruteForceSays) {
  std::mt19937_64 rng(7);
  for (const char* name : {"America/New_York", "Europe/London", "Australia/Sydney", "Australia/Lord_Howe",
                           "America/Santiago", "Asia/Tehran", "Pacific/Apia", "Africa/Casablanca", "Europe/Dublin",
                           "America/St_Johns", "Asia/Kolkata", "+05:30"}) {
    const TimeZone z = zone(name);
    ZoneCursor cursor(z);
    for (int i = 0; i < 4000; ++i) {
      // Near a transition half the time: a random one of the zone's, or of its rule.
      int64_t local = k1900 + static_cast<int64_t>(rng() % uint64_t(k2200 - k1900));
      if (i % 2 && z.data >= 0) {
        const tzdata::ZoneData& d = tzdata::kZones[z.data];
        if (d.count) local = tzdata::kTimes[d.first + rng() % d.count] + static_cast<int64_t>(rng() % 14400) - 7200;
      }
      std::set<int32_t> offsets;
      for (int64_t k = -60; k <= 60; ++k) offsets.insert(offsetAt(z, local + k * 1800));
      std::optional<int64_t> want;
      for (int32_t o : offsets)
        if (offsetAt(z, local - o) == o && (!want || local - o < *want)) want = local - o;
      if (!want) {
        // Skipped: a change at c from `before` to a larger `after` skips
        // the times from c + before up to c + after.
        for (int64_t k = -60; k <= 60; ++k) {
          const int64_t c = zoneSpanAt(z, local + k * 1800).start;
          if (c == std::numeric_limits<int64_t>::min()) continue;  // the first span: no change starts it
          const int32_t before = offsetAt(z, c - 1), after = offsetAt(z, c);
          if (before < after && c + before <= local && local < c + after) want = local - before;
        }
      }
      ASSERT_TRUE(want) << name << " " << local;
      ASSERT_EQ(cursor.toUtc(local * kMicrosPerSecond), *want * kMicrosPerSecond) << name << " local " << local;
    }
  }
}

// The local-time kernel, over rows in any order with nulls: by the offset
// table over a few years, one by one over centuries, and a date as its day.
TEST(TimeZones, LocalTimeOfEveryRowIsItsOwnOffset) {
  std::mt19937_64 rng(7);
  Arena arena;
  for (const char* name : {"Europe/Dublin", "Pacific/Apia", "+05:45"}) {
    const TimeZone z = zone(name);
    for (int64_t span : {int64_t{4} * 365 * 86400, k2200 - k1900}) {
      const size_t n = 10000;
      int64_t* x = arena.make<int64_t>(n);
      uint8_t* nulls = arena.make<uint8_t>(n);
      for (size_t i = 0; i < n; ++i) {
        x[i] = (span > k2200 ? k1900 : int64_t{1'300'000'000}) * 1'000'000 +
               static_cast<int64_t>(rng() % static_cast<uint64_t>(span * 1'000'000));
        nulls[i] = rng() % 8 == 0;
      }
      Vec v;
      v.kind = Kind::timestamp;
      v.len = n;
      v.data = intData(x);
      v.nulls = nulls;
      auto local = localTime(arena, z, v);
      ASSERT_TRUE(local);
      EXPECT_EQ(local->kind, Kind::timestamp);
      for (size_t i = 0; i < n; ++i) {
        if (nulls[i]) continue;
        const int64_t secs = x[i] / 1'000'000 - (x[i] % 1'000'000 < 0);
        ASSERT_EQ(local->intAt(i), x[i] + int64_t{offsetAt(z, secs)} * 1'000'000) << name << " " << i;
      }
    }
  }
  Vec days;
  days.kind = Kind::date;
  days.len = 1;
  int64_t day = 19783;
  days.data = intData(&day);
  auto midnight = localTime(arena, zone("Asia/Tokyo"), days);
  ASSERT_TRUE(midnight);
  EXPECT_EQ(midnight->intAt(0), 19783 * 86'400'000'000);
}

}  // namespace
}  // namespace quendra
