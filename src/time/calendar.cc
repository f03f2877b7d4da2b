// The calendar: civil dates, the reading and writing of timestamps,
// truncation to grains and shifts by calendar units.
#include "time/calendar.h"

#include <cstdio>

#include "time/calendar_math.h"

namespace quendra {
namespace {

using namespace cal;

// One fixed-width field: optional sign, then digits with '_' skipped; the
// first byte after the sign and the last byte must not be '_'.
bool readField(Bytes t, size_t from, size_t to, int64_t* out) {
  size_t i = from;
  bool neg = false;
  if (t[i] == '+' || t[i] == '-') {
    neg = t[i] == '-';
    ++i;
  }
  if (i == to || t[i] == '_' || t[to - 1] == '_') return false;
  int64_t v = 0;  // at most four digits: cannot overflow
  for (; i < to; ++i) {
    char c = t[i];
    if (c == '_') continue;
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = neg ? -v : v;
  return true;
}

}  // namespace

using namespace cal;

int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) { return days(y, m, d); }

Civil civilFromDays(int64_t z) { return civil(z); }

int64_t microsOfDay(int64_t d) {
  int64_t out;
  if (__builtin_mul_overflow(d, kMicrosPerDay, &out)) return d < 0 ? INT64_MIN : INT64_MAX;
  return out;
}

std::optional<int64_t> parseTimestamp(Bytes text) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  Bytes t = text.substr(b, e - b);
  size_t len = t.size();
  if (len < 10 || t[4] != '-' || t[7] != '-') return std::nullopt;
  int64_t year, month, day;
  if (!readField(t, 0, 4, &year) || !readField(t, 5, 7, &month) || !readField(t, 8, 10, &day))
    return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  int64_t us = daysFromCivil(year, month, day) * kMicrosPerDay;
  if (len == 10) return us;

  if ((t[10] != ' ' && t[10] != 'T') || len < 16 || t[13] != ':') return std::nullopt;
  int64_t hour, minute;
  if (!readField(t, 11, 13, &hour) || !readField(t, 14, 16, &minute)) return std::nullopt;
  us += hour * kMicrosPerHour + minute * kMicrosPerMinute;
  if (len == 16) return us;

  if (len < 19 || t[16] != ':') return std::nullopt;
  int64_t second;
  if (!readField(t, 17, 19, &second)) return std::nullopt;
  us += second * kMicrosPerSecond;
  if (len == 19) return us;

  if (t[19] != '.') return std::nullopt;
  int64_t frac = 0, weight = 100'000;
  for (size_t i = 20; i < len; ++i) {
    char c = t[i];
    if (c < '0' || c > '9') return std::nullopt;
    frac += (c - '0') * weight;  // weight reaches 0 after six digits
    weight /= 10;
  }
  return us + frac;
}

int64_t truncate(Grain grain, int64_t us, int week_start) {
  switch (grain) {
    case Grain::second: return truncTs<Grain::second>(us, week_start);
    case Grain::minute: return truncTs<Grain::minute>(us, week_start);
    case Grain::hour: return truncTs<Grain::hour>(us, week_start);
    case Grain::day: return truncTs<Grain::day>(us, week_start);
    case Grain::week: return truncTs<Grain::week>(us, week_start);
    case Grain::month: return truncTs<Grain::month>(us, week_start);
    case Grain::quarter: return truncTs<Grain::quarter>(us, week_start);
    case Grain::year: return truncTs<Grain::year>(us, week_start);
  }
  return us;
}

int64_t truncateStored(Grain grain, bool is_date, int64_t x, int week_start) {
  int64_t out = 0;
  switch (grain) {
    case Grain::second: truncDispatch<Grain::second>(is_date, &x, nullptr, &out, 1, week_start); break;
    case Grain::minute: truncDispatch<Grain::minute>(is_date, &x, nullptr, &out, 1, week_start); break;
    case Grain::hour: truncDispatch<Grain::hour>(is_date, &x, nullptr, &out, 1, week_start); break;
    case Grain::day: truncDispatch<Grain::day>(is_date, &x, nullptr, &out, 1, week_start); break;
    case Grain::week: truncDispatch<Grain::week>(is_date, &x, nullptr, &out, 1, week_start); break;
    case Grain::month: truncDispatch<Grain::month>(is_date, &x, nullptr, &out, 1, week_start); break;
    case Grain::quarter: truncDispatch<Grain::quarter>(is_date, &x, nullptr, &out, 1, week_start); break;
    case Grain::year: truncDispatch<Grain::year>(is_date, &x, nullptr, &out, 1, week_start); break;
  }
  return out;
}

int64_t shiftTime(int64_t us, int64_t n, Grain unit) {
  switch (unit) {
    case Grain::second: return us + n * kMicrosPerSecond;
    case Grain::minute: return us + n * kMicrosPerMinute;
    case Grain::hour: return us + n * kMicrosPerHour;
    case Grain::day: return us + n * kMicrosPerDay;
    case Grain::week: return us + n * 7 * kMicrosPerDay;
    default: break;
  }
  // Months: the same day and time of day, the day clamped to the month's end.
  const int64_t months = unit == Grain::year ? 12 * n : unit == Grain::quarter ? 3 * n : n;
  const int64_t day = floorDiv(us, kMicrosPerDay);
  const int64_t within = us - day * kMicrosPerDay;
  Civil c = civilFromDays(day);
  const int64_t total = c.y * 12 + (c.m - 1) + months;
  const int64_t y = floorDiv(total, 12), m = total - y * 12 + 1;
  const int64_t last = daysFromCivil(m == 12 ? y + 1 : y, m == 12 ? 1 : m + 1, 1) - daysFromCivil(y, m, 1);
  return daysFromCivil(y, m, c.d < last ? c.d : last) * kMicrosPerDay + within;
}

size_t formatTimestamp(int64_t us, bool with_time, char* buf) {
  const int64_t days = floorDiv(us, kMicrosPerDay);
  const Civil c = civilFromDays(days);
  if (c.y < 0 || c.y > 9999) return 0;
  const int64_t in_day = us - days * kMicrosPerDay;
  const long long f[] = {c.y, c.m, c.d, in_day / kMicrosPerHour, in_day / kMicrosPerMinute % 60,
                         in_day / kMicrosPerSecond % 60, in_day % kMicrosPerSecond};
  const int n = with_time ? std::snprintf(buf, 32, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld.%06lld", f[0], f[1], f[2],
                                          f[3], f[4], f[5], f[6])
                          : std::snprintf(buf, 32, "%04lld-%02lld-%02lld", f[0], f[1], f[2]);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

}  // namespace quendra
