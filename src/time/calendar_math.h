// The calendar's arithmetic, inlined into the loops that truncate and take
// apart dates and timestamps (time/calendar.cc, vec/time.cc).
#pragma once

#include <cstdint>

#include "base/grain.h"
#include "time/calendar.h"

namespace quendra::cal {

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

}  // namespace quendra::cal
