#include "vec/time.h"

#include <algorithm>
#include <limits>

#include "time/calendar_math.h"
#include "vec/loops.h"

namespace quendra {

using namespace cal;

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

}  // namespace quendra
