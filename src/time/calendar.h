// The calendar: dates, timestamps and time grains as numbers.
//
// A date is a signed count of days since 1970-01-01; a timestamp a signed
// count of microseconds since 1970-01-01 00:00:00 without time zone, in the
// proleptic Gregorian calendar (year 0 exists, negative years are allowed),
// with no daylight saving and no leap seconds.
//
// Extreme values never invoke undefined behaviour:
//  - daysFromCivil and civilFromDays are exact whenever the result fits in
//    64 bits (years up to about ±2.5e16); beyond that they wrap silently.
//  - Everything that yields microseconds (tsAt, truncate, truncateVec)
//    computes the exact instant and then clamps it to [INT64_MIN,
//    INT64_MAX]. Clamping keeps results ordered, so a far-away date still
//    sorts and groups at the edge of the range instead of wrapping around.
//  - parseTimestamp reads fixed-width fields (years -999..9999), so its
//    values always fit.
#pragma once

#include <cstdint>
#include <optional>

#include "base/bytes.h"
#include "base/grain.h"

namespace quendra {

constexpr int64_t kMicrosPerSecond = 1'000'000;
constexpr int64_t kMicrosPerMinute = 60 * kMicrosPerSecond;
constexpr int64_t kMicrosPerHour = 60 * kMicrosPerMinute;
constexpr int64_t kMicrosPerDay = 24 * kMicrosPerHour;

// A calendar date: month 1-12, day 1-31.
struct Civil {
  int64_t y;
  int64_t m;
  int64_t d;
  bool operator==(const Civil&) const = default;
};

// The day number of y-m-d (0 for 1970-01-01). Days beyond the month's end
// roll into the next month (2023-02-29 is 2023-03-01); nothing is rejected.
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d);

// The calendar date of day number z; the inverse of daysFromCivil.
Civil civilFromDays(int64_t z);

// The instant `text` names, or nothing when it is not a timestamp. Accepted:
// optional spaces (0x20) around "YYYY-MM-DD", optionally followed by a space
// or 'T' and "HH:MM", then optionally ":SS", then optionally '.' and any
// number of digits (the first six are microseconds). Each numeric field is
// its fixed-width slice, read as an optional sign then digits, where '_'
// between digits is skipped. Month must be 1-12 and day 1-31; hour, minute
// and second have no upper bound. No time zone suffix is accepted.
std::optional<int64_t> parseTimestamp(Bytes text);

// Days to microseconds, clamped to the int64 range.
int64_t microsOfDay(int64_t days);

// The start of the grain period containing `us`. Division floors, so
// instants before 1970 go to the earlier boundary. `start` says where
// periods start: weeks on weekday `start` (0 Monday .. 6 Sunday), quarters
// and years `start` months after January (0..11, a fiscal calendar); other
// grains ignore it. A start before INT64_MIN is clamped to INT64_MIN.
int64_t truncate(Grain grain, int64_t us, int start = 0);

// One stored value of a date (is_date) or timestamp truncated to `grain`,
// exactly as truncateVec truncates each entry.
int64_t truncateStored(Grain grain, bool is_date, int64_t x, int start = 0);

// The instant n units of `unit` after us (before, for negative n), in the
// calendar: months, quarters and years keep the day of the month, clamped
// to the month's end (2024-03-31 one month back is 2024-02-29), and the
// time of day. REQUIRES: the result lies within years -200000..200000.
int64_t shiftTime(int64_t us, int64_t n, Grain unit);

// "YYYY-MM-DD HH:MM:SS.ffffff" of the timestamp us into buf (at least 32
// bytes), or "YYYY-MM-DD" of its day without `with_time`; the length
// written, or 0 outside the years 0 to 9999.
size_t formatTimestamp(int64_t us, bool with_time, char* buf);

}  // namespace quendra
