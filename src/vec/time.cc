#include "vec/time.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include "vec/loops.h"

namespace quendra {
namespace {

// Two's-complement arithmetic without undefined behaviour: the calendar
// functions accept any int64 and must not trap on absurd years.
inline int64_t wrapAdd(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t wrapSub(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
inline int64_t wrapMul(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}

// Floor division and its non-negative remainder, for a positive divisor.
inline int64_t floorDiv(int64_t a, int64_t b) { return a / b - (a % b < 0); }
inline int64_t floorMod(int64_t a, int64_t b) {
  int64_t r = a % b;
  return r < 0 ? r + b : r;
}

// civilFromDays, inlined into the truncation loops.
inline Civil civil(int64_t z) {
  int64_t zz = wrapAdd(z, 719468);
  int64_t era = floorDiv(zz, 146097);
  int64_t doe = floorMod(zz, 146097);
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  int64_t y = wrapAdd(yoe, wrapMul(400, era));
  return {m <= 2 ? wrapAdd(y, 1) : y, m, d};
}

inline int64_t days(int64_t y_in, int64_t m, int64_t d) {
  int64_t y = m <= 2 ? wrapSub(y_in, 1) : y_in;
  int64_t era = floorDiv(y, 400);
  int64_t yoe = floorMod(y, 400);
  // m is 1..12 from every internal caller; the wrapping and flooring only
  // matter for absurd months handed to the public function.
  int64_t mp = m > 2 ? wrapSub(m, 3) : wrapAdd(m, 9);
  int64_t doy = wrapSub(wrapAdd(floorDiv(wrapAdd(wrapMul(153, mp), 2), 5), d), 1);
  int64_t doe = wrapAdd(365 * yoe + yoe / 4 - yoe / 100, doy);
  return wrapSub(wrapAdd(wrapMul(146097, era), doe), 719468);
}

// civilFromDays for |z| <= kFastDays, which covers the day of every
// int64 microsecond value. Shifting by 800 eras makes the day count
// non-negative, after which the calendar is a few 32-bit multiplications
// (the Euclidean affine form of Neri and Schneider) instead of chains of
// signed 64-bit divisions: this keeps month truncation near a few
// nanoseconds per row.
constexpr int64_t kFastDays = 110'000'000;

inline Civil civil32(int64_t z) {
  constexpr uint32_t kEras = 800;
  constexpr uint32_t kShift = 719468 + 146097 * kEras;
  uint32_t n = static_cast<uint32_t>(z + kShift);
  uint32_t n1 = 4 * n + 3;
  uint32_t century = n1 / 146097;
  uint32_t n2 = n1 % 146097 / 4 * 4 + 3;
  uint64_t p2 = uint64_t{2939745} * n2;
  uint32_t year_of_century = static_cast<uint32_t>(p2 >> 32);
  uint32_t doy = static_cast<uint32_t>(p2) / 2939745 / 4;  // from 1 March
  uint32_t n3 = 2141 * doy + 197913;
  uint32_t m = n3 >> 16;
  uint32_t d = (n3 & 0xFFFF) / 2141 + 1;
  bool jan_feb = doy >= 306;
  int64_t y = static_cast<int64_t>(100 * century + year_of_century) - 400 * int64_t{kEras} + jan_feb;
  return {y, jan_feb ? m - 12 : m, d};
}

inline Civil civilAny(int64_t z) {
  return z >= -kFastDays && z <= kFastDays ? civil32(z) : civil(z);
}

// Day numbers beyond this bound lie so far outside the microsecond range
// that the start of their week, month, quarter or year does too; clamping
// them first keeps the calendar arithmetic exact without changing results.
constexpr int64_t kDayBound = int64_t{1} << 40;

inline int64_t clampDays(int64_t d) {
  return d < -kDayBound ? -kDayBound : (d > kDayBound ? kDayBound : d);
}

// The first day of the grain period containing day z (grains week..year).
// `ws` says where periods start: weeks on weekday ws (0 Monday .. 6
// Sunday); quarters and years ws months after January (a fiscal calendar).
template <Grain G>
inline int64_t periodStartDays(int64_t z, int ws) {
  static_assert(G >= Grain::week);
  if constexpr (G == Grain::week) {
    return z - floorMod(z + 3 - ws, 7);  // day 0 was a Thursday (weekday 3)
  } else if constexpr (G == Grain::month) {
    return z - (civilAny(z).d - 1);
  } else {
    const Civil c = civilAny(z);
    constexpr int64_t kLen = G == Grain::quarter ? 3 : 12;
    if (ws == 0) return G == Grain::quarter ? days(c.y, (c.m - 1) / 3 * 3 + 1, 1) : days(c.y, 1, 1);
    // Months since year 0, back to the period's first.
    const int64_t months = c.y * 12 + (c.m - 1);
    const int64_t first = months - floorMod(months - ws, kLen);
    return days(floorDiv(first, 12), floorMod(first, 12) + 1, 1);
  }
}

template <Grain G>
constexpr int64_t unitOf() {
  if constexpr (G == Grain::second) return kMicrosPerSecond;
  if constexpr (G == Grain::minute) return kMicrosPerMinute;
  if constexpr (G == Grain::hour) return kMicrosPerHour;
  return kMicrosPerDay;
}

template <Grain G>
inline int64_t truncTs(int64_t us, int ws) {
  if constexpr (G <= Grain::day) {
    int64_t r = floorMod(us, unitOf<G>());
    int64_t out;
    return __builtin_sub_overflow(us, r, &out) ? INT64_MIN : out;
  } else {
    return microsOfDay(periodStartDays<G>(floorDiv(us, kMicrosPerDay), ws));
  }
}

// A date's midnight truncated to G, computed in days and then clamped.
template <Grain G>
inline int64_t truncDate(int64_t d, int ws) {
  if constexpr (G <= Grain::day) {
    return microsOfDay(d);
  } else {
    return microsOfDay(periodStartDays<G>(clampDays(d), ws));
  }
}

template <Grain G, bool IsDate, bool Masked>
void truncLoop(const int64_t* __restrict in, const uint8_t* __restrict nulls,
               int64_t* __restrict out, size_t m, int ws) {
  for (size_t i = 0; i < m; ++i) {
    int64_t v = IsDate ? truncDate<G>(in[i], ws) : truncTs<G>(in[i], ws);
    out[i] = Masked && nulls[i] ? 0 : v;
  }
}

template <Grain G>
void truncDispatch(bool is_date, const int64_t* in, const uint8_t* nulls, int64_t* out,
                   size_t m, int ws) {
  if (is_date) {
    nulls ? truncLoop<G, true, true>(in, nulls, out, m, ws) : truncLoop<G, true, false>(in, nulls, out, m, ws);
  } else {
    nulls ? truncLoop<G, false, true>(in, nulls, out, m, ws)
          : truncLoop<G, false, false>(in, nulls, out, m, ws);
  }
}

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

EvalResult<Vec> truncateVec(Arena& arena, Grain grain, const Vec& a, int week_start) {
  if (!a.isTemporal()) return std::unexpected(EvalErr::TypeMismatch);
  size_t m = a.stored();
  int64_t* out = arena.make<int64_t>(m);
  if (!out) return std::unexpected(EvalErr::OutOfMemory);
  bool is_date = a.kind == Kind::date;
  const int64_t* in = a.data.ints;
  switch (grain) {
    case Grain::second: truncDispatch<Grain::second>(is_date, in, a.nulls, out, m, week_start); break;
    case Grain::minute: truncDispatch<Grain::minute>(is_date, in, a.nulls, out, m, week_start); break;
    case Grain::hour: truncDispatch<Grain::hour>(is_date, in, a.nulls, out, m, week_start); break;
    case Grain::day: truncDispatch<Grain::day>(is_date, in, a.nulls, out, m, week_start); break;
    case Grain::week: truncDispatch<Grain::week>(is_date, in, a.nulls, out, m, week_start); break;
    case Grain::month: truncDispatch<Grain::month>(is_date, in, a.nulls, out, m, week_start); break;
    case Grain::quarter: truncDispatch<Grain::quarter>(is_date, in, a.nulls, out, m, week_start); break;
    case Grain::year: truncDispatch<Grain::year>(is_date, in, a.nulls, out, m, week_start); break;
  }
  return loops::result(Kind::timestamp, OutLen{a.len, a.scalar}, a.nulls, intData(out));
}

}  // namespace quendra

namespace quendra {

EvalResult<Vec> datePart(Arena& arena, DatePart part, const Vec& v, int fiscal_start) {
  if (v.isNullScalar()) return nullVec(arena, Kind::int_, 1, true);
  if (!v.isTemporal()) return std::unexpected(EvalErr::TypeMismatch);
  const size_t m = v.stored();
  int64_t* out = arena.make<int64_t>(m);
  if (!out) return std::unexpected(EvalErr::OutOfMemory);
  const bool is_date = v.kind == Kind::date;
  const int64_t* x = v.data.ints;
  for (size_t i = 0; i < m; ++i) {
    if (v.nulls && v.nulls[i]) {
      out[i] = 0;
      continue;
    }
    // The day, and the microseconds into it (a date is its midnight).
    int64_t days = is_date ? x[i] : x[i] / kMicrosPerDay;
    int64_t us = is_date ? 0 : x[i] % kMicrosPerDay;
    if (us < 0) {
      us += kMicrosPerDay;
      --days;
    }
    int64_t r = 0;
    switch (part) {
      case DatePart::year: r = civilFromDays(days).y; break;
      case DatePart::quarter: r = (civilFromDays(days).m - 1) / 3 + 1; break;
      case DatePart::month: r = civilFromDays(days).m; break;
      case DatePart::day: r = civilFromDays(days).d; break;
      case DatePart::hour: r = us / kMicrosPerHour; break;
      case DatePart::minute: r = us / kMicrosPerMinute % 60; break;
      // 1970-01-01 was a Thursday, ISO day 4.
      case DatePart::isodow: r = ((days + 3) % 7 + 7) % 7 + 1; break;
      case DatePart::fiscal_year:
      case DatePart::fiscal_quarter: {
        // Months moved on to the calendar year the fiscal year ends in.
        const Civil c = civilFromDays(days);
        const int64_t months = c.y * 12 + (c.m - 1) + (fiscal_start ? 12 - fiscal_start : 0);
        r = part == DatePart::fiscal_year ? floorDiv(months, 12) : floorMod(months, 12) / 3 + 1;
        break;
      }
    }
    out[i] = r;
  }
  Vec w = v;
  w.kind = Kind::int_;
  w.data = intData(out);
  return w;
}

}  // namespace quendra

namespace quendra {

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

bool ZoneTable::build(Arena& arena, const TimeZone& z, int64_t lo, int64_t hi) {
  constexpr int64_t kSafe = int64_t{1} << 61;  // offsets of a day cannot overflow from here
  if (lo > hi || lo < -kSafe || hi > kSafe) return false;
  const size_t buckets = static_cast<size_t>((static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo)) >> kShift) + 1;
  if (buckets > kMaxBuckets) return false;
  int64_t* table = arena.make<int64_t>(buckets);
  if (!table) return false;
  // One walk along the zone's spans fills the table.
  ZoneSpan span{1, 0, 0};
  for (size_t b = 0; b < buckets; ++b) {
    const int64_t first = lo + (static_cast<int64_t>(b) << kShift);
    const int64_t last = first + ((int64_t{1} << kShift) - 1);
    const int64_t s0 = floorDiv(first, kMicrosPerSecond), s1 = floorDiv(last, kMicrosPerSecond);
    if (s0 < span.start || s0 >= span.end) span = zoneSpanAt(z, s0);
    table[b] = s1 < span.end ? int64_t{span.offset} * kMicrosPerSecond : kMixed;
  }
  off = table;
  base = static_cast<uint64_t>(lo);
  return true;
}

namespace {

// out[i] = the wall-clock time of x[i] by a ZoneTable; false (nothing
// written) when the values span too long a stretch or lie too near the
// ends of the range for one, or it cannot be had.
bool localByTable(Arena& arena, const TimeZone& z, const Vec& v, int64_t* out) {
  const size_t m = v.stored();
  if (m < 4096) return false;
  const int64_t* x = v.data.ints;
  int64_t lo = std::numeric_limits<int64_t>::max(), hi = std::numeric_limits<int64_t>::min();
  for (size_t i = 0; i < m; ++i) {
    if (v.nulls && v.nulls[i]) continue;
    lo = std::min(lo, x[i]);
    hi = std::max(hi, x[i]);
  }
  ZoneTable t;
  if (!t.build(arena, z, lo, hi)) return false;
  ZoneCursor c(z);
  if (!v.nulls) {
    for (size_t i = 0; i < m; ++i) out[i] = t.toLocal(x[i], c);
    return true;
  }
  // A null's stored value may lie anywhere: it holds 0.
  for (size_t i = 0; i < m; ++i) out[i] = v.nulls[i] ? 0 : t.toLocal(x[i], c);
  return true;
}

}  // namespace

EvalResult<Vec> localTime(Arena& arena, const TimeZone& z, const Vec& v) {
  if (v.isNullScalar()) return nullVec(arena, Kind::timestamp, 1, true);
  if (!v.isTemporal()) return std::unexpected(EvalErr::TypeMismatch);
  const size_t m = v.stored();
  int64_t* out = arena.make<int64_t>(m);
  if (!out && m) return std::unexpected(EvalErr::OutOfMemory);
  const int64_t* x = v.data.ints;
  if (v.kind == Kind::date) {
    for (size_t i = 0; i < m; ++i) out[i] = v.nulls && v.nulls[i] ? 0 : microsOfDay(x[i]);
  } else if (!localByTable(arena, z, v, out)) {
    // Rows close in time share a span: one comparison each.
    ZoneCursor c(z);
    for (size_t i = 0; i < m; ++i) out[i] = v.nulls && v.nulls[i] ? 0 : c.toLocal(x[i]);
  }
  Vec w = v;
  w.kind = Kind::timestamp;
  w.data = intData(out);
  return w;
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
