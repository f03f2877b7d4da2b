// Dates, timestamps and time grains over vectors: the calendar
// (time/calendar.h) and time zones (time/zone.h) applied to every entry.
#pragma once

#include <cstdint>

#include "base/arena.h"
#include "base/grain.h"
#include "expr/expr.h"
#include "time/calendar.h"
#include "time/zone.h"
#include "vec/vec.h"

namespace quendra {

// Microseconds of row i of a date or timestamp vector: a date counts as its
// midnight (clamped as microsOfDay).
inline int64_t tsAt(const Vec& v, size_t i) {
  return v.kind == Kind::date ? microsOfDay(v.intAt(i)) : v.intAt(i);
}

// Each stored entry of a date or timestamp vector truncated to `grain`, as
// a timestamp vector with a's len, scalar flag and (shared) mask; null
// entries hold 0. A date is truncated as its midnight, exactly, and the
// result is then clamped. TypeMismatch for any other kind.
[[nodiscard]] EvalResult<Vec> truncateVec(Arena& arena, Grain grain, const Vec& a, int start = 0);

// The date part of each entry of a date or timestamp vector as an int
// vector with v's shape and (shared) mask: year, quarter 1-4, month 1-12,
// day of month, hour 0-23, minute 0-59, ISO day of week (1 Monday to 7
// Sunday), or the fiscal year (numbered by the calendar year it ends in)
// and its quarter 1-4, for a fiscal year that starts `fiscal_start` months
// after January; a date is its midnight. A null scalar gives an int null;
// TypeMismatch for any other kind.
[[nodiscard]] EvalResult<Vec> datePart(Arena& arena, DatePart part, const Vec& v, int fiscal_start = 0);

// The wall-clock time in zone z of each entry of a timestamp vector (read
// as a UTC instant), as a timestamp vector with v's shape and (shared)
// mask. A date stays the calendar day it names, as its midnight: dates
// carry no instant to convert. A null scalar gives a timestamp null;
// TypeMismatch for any other kind.
[[nodiscard]] EvalResult<Vec> localTime(Arena& arena, const TimeZone& z, const Vec& v);

}  // namespace quendra
