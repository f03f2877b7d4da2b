// DATE_DIFF in two passes: each operand's stored entries become positions
// on the unit's scale (boundaries since 1970: the floored count of seconds,
// minutes, hours or days, or the month, quarter or year number), then one
// loop subtracts them. Positions are computed once per stored entry, so a
// scalar operand costs one calendar computation, not one per row.
#include "vec/date_diff.h"

#include "vec/loops.h"
#include "vec/time.h"

namespace quendra {
namespace {

using loops::byShape;

// For a positive divisor.
inline int64_t floorDiv(int64_t a, int64_t d) { return a / d - (a % d < 0); }

// y * k + r, wrapping: days far outside any real calendar (which a null
// entry's stored value may be) must not overflow.
inline int64_t wrapScale(int64_t y, int64_t k, int64_t r) {
  return static_cast<int64_t>(static_cast<uint64_t>(y) * static_cast<uint64_t>(k) + static_cast<uint64_t>(r));
}

template <Grain U>
constexpr int64_t kUnitMicros = U == Grain::second ? kMicrosPerSecond : U == Grain::minute ? kMicrosPerMinute : kMicrosPerHour;

template <Grain U, bool IsDate>
void positions(const int64_t* __restrict x, int64_t* __restrict out, size_t m) {
  for (size_t i = 0; i < m; ++i) {
    const int64_t v = x[i];
    if constexpr (U <= Grain::hour) {
      out[i] = floorDiv(IsDate ? microsOfDay(v) : v, kUnitMicros<U>);
    } else {
      const int64_t days = IsDate ? v : floorDiv(v, kMicrosPerDay);
      if constexpr (U == Grain::day || U == Grain::week) {
        out[i] = days;
      } else {
        const Civil c = civilFromDays(days);
        if constexpr (U == Grain::month) out[i] = wrapScale(c.y, 12, c.m - 1);
        if constexpr (U == Grain::quarter) out[i] = wrapScale(c.y, 4, (c.m - 1) / 3);
        if constexpr (U == Grain::year) out[i] = c.y;
      }
    }
  }
}

template <Grain U>
void positionsOf(const Vec& v, int64_t* out) {
  if (v.kind == Kind::date)
    positions<U, true>(v.data.ints, out, v.stored());
  else
    positions<U, false>(v.data.ints, out, v.stored());
}

void positionsByUnit(Grain unit, const Vec& v, int64_t* out) {
  switch (unit) {
    case Grain::second: return positionsOf<Grain::second>(v, out);
    case Grain::minute: return positionsOf<Grain::minute>(v, out);
    case Grain::hour: return positionsOf<Grain::hour>(v, out);
    case Grain::day:
    case Grain::week: return positionsOf<Grain::day>(v, out);
    case Grain::month: return positionsOf<Grain::month>(v, out);
    case Grain::quarter: return positionsOf<Grain::quarter>(v, out);
    case Grain::year: return positionsOf<Grain::year>(v, out);
  }
}

// b - a per entry, wrapping rather than overflowing (only absurd dates
// come near), then whole weeks for Week.
template <bool Week, bool AS, bool BS, bool Masked>
void subtract(const int64_t* __restrict pa, const int64_t* __restrict pb, const uint8_t* __restrict nulls,
              int64_t* __restrict out, size_t m) {
  for (size_t i = 0; i < m; ++i) {
    int64_t d = static_cast<int64_t>(static_cast<uint64_t>(pb[BS ? 0 : i]) - static_cast<uint64_t>(pa[AS ? 0 : i]));
    if constexpr (Week) d /= 7;
    out[i] = Masked && nulls[i] ? 0 : d;
  }
}

}  // namespace

EvalResult<Vec> dateDiff(Arena& arena, Grain unit, const Vec& a, const Vec& b) {
  const OutLen shape = outLen(a, b);
  if (a.isNullScalar() || b.isNullScalar()) return nullVec(arena, Kind::int_, shape.n, shape.scalar);
  if (!a.isTemporal() || !b.isTemporal()) return std::unexpected(EvalErr::TypeMismatch);
  const size_t m = shape.stored();
  uint8_t* mask = TRY(mergeNulls(arena, a, b, shape.n));
  int64_t* pa = arena.make<int64_t>(a.stored());
  int64_t* pb = arena.make<int64_t>(b.stored());
  int64_t* out = arena.make<int64_t>(m);
  if (!pa || !pb || !out) return std::unexpected(EvalErr::OutOfMemory);
  positionsByUnit(unit, a, pa);
  positionsByUnit(unit, b, pb);
  byShape(a, b, mask != nullptr, [&](auto as, auto bs, auto masked) {
    constexpr bool kA = decltype(as)::value, kB = decltype(bs)::value, kM = decltype(masked)::value;
    if (unit == Grain::week)
      subtract<true, kA, kB, kM>(pa, pb, mask, out, m);
    else
      subtract<false, kA, kB, kM>(pa, pb, mask, out, m);
  });
  return loops::result(Kind::int_, shape, mask, intData(out));
}

}  // namespace quendra
