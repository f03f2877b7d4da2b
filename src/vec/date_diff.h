// DATE_DIFF: how many boundaries of a calendar unit lie between two times.
#pragma once

#include "base/arena.h"
#include "base/grain.h"
#include "vec/vec.h"

namespace quendra {

// For each row, the number of `unit` boundaries from a to b, negative when
// b is earlier, as an int vector of outLen(a, b)'s shape with
// mergeNulls(a, b)'s mask. A date counts as its midnight; a date and a
// timestamp mix. Boundaries are those of truncation to the unit (seconds,
// minutes and hours since 1970, days, calendar months, quarters and years),
// floored for times before 1970; weeks are whole weeks of the day count,
// truncated toward zero (13 days are 1 week, -13 days -1). A null scalar
// operand gives an int null of the result's shape before any kind check;
// TypeMismatch unless both operands are dates or timestamps. Never fails on
// overflow: a date far outside the timestamp range counts as the range's
// end for the units below a day.
[[nodiscard]] EvalResult<Vec> dateDiff(Arena& arena, Grain unit, const Vec& a, const Vec& b);

}  // namespace quendra
