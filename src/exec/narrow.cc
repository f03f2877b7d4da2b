// Row selection: each where predicate narrows the selection of base rows.
//
// A predicate is evaluated only where it can still matter: over the rows
// that earlier predicates kept, or, on a joined table smaller than that,
// once per joined row and then looked up through the join. A comparison of
// a column with a literal keeps rows straight from the column's values,
// with no boolean vector in between; an OR keeps the rows each branch keeps
// of those that no earlier branch did.
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "exec/exec.h"
#include "vec/loops.h"
#include "vec/time.h"

namespace quendra {
namespace {

// Fetches nothing ahead: the rows of a whole column come in order.
struct NoAhead {
  void operator()(size_t) const {}
};

// The positions of sel (over a column of rows with mask nulls) whose row is
// non-null and satisfies keep(row), appended to out; returns their number.
// Every position is stored and the count moves on only past kept ones: no
// branch depends on a row. (A branch per row, taken only for kept rows,
// lost at every share of rows kept when measured: a test such as
// (x >= a) & (x <= b) may be compiled into two jumps, one of which random
// data mispredicts.) ahead(i) is told each position before it is tested;
// out needs room for every position of sel.
template <bool All, bool Masked, class F, class A = NoAhead>
size_t keepIf(Sel sel, const uint8_t* __restrict nulls, uint32_t* __restrict out, F&& keep, A ahead = {}) {
  size_t k = 0;
  for (size_t i = 0; i < sel.n; ++i) {
    ahead(i);
    const uint32_t row = All ? static_cast<uint32_t>(i) : sel.idx[i];
    // Stored before the test, which it does not wait for.
    out[k] = row;
    bool t = keep(row);
    if constexpr (Masked) t &= !nulls[row];
    k += t;
  }
  return k;
}

// Through a row list, the values keep reads (`width` bytes each from
// `data`) and their null flags are fetched a little ahead: rows left by
// earlier filters lie scattered, and each read would otherwise wait on
// memory.
struct FetchAhead {
  const uint32_t* idx;
  size_t n;
  const char* data;
  size_t width;
  const uint8_t* nulls;
  void operator()(size_t i) const {
    constexpr size_t kAhead = 32;
    if (i + kAhead >= n) return;
    const uint32_t row = idx[i + kAhead];
    __builtin_prefetch(data + size_t{row} * width);
    if (nulls) __builtin_prefetch(nulls + row);
  }
};

// keepIf with the shape of sel and of the mask made template flags; data
// and width as for FetchAhead.
template <class F>
size_t keepRows(Sel sel, const uint8_t* nulls, uint32_t* out, F&& keep, const void* data = nullptr,
                size_t width = 0) {
  if (sel.all()) return nulls ? keepIf<true, true>(sel, nulls, out, keep) : keepIf<true, false>(sel, nulls, out, keep);
  if (data) {
    const FetchAhead ahead{sel.idx, sel.n, static_cast<const char*>(data), width, nulls};
    return nulls ? keepIf<false, true>(sel, nulls, out, keep, ahead) : keepIf<false, false>(sel, nulls, out, keep, ahead);
  }
  return nulls ? keepIf<false, true>(sel, nulls, out, keep) : keepIf<false, false>(sel, nulls, out, keep);
}

template <class T, class X>
size_t keepCmp(vec::CmpOp op, Sel sel, const X* __restrict x, const uint8_t* nulls, T c, uint32_t* out) {
  return loops::byCmpOp(op, [&](auto o) {
    constexpr vec::CmpOp Op = decltype(o)::value;
    return keepRows(
        sel, nulls, out, [&](uint32_t r) { return loops::ordCmp<Op>(static_cast<T>(x[r]), c); }, x, sizeof(X));
  });
}

int64_t floorDiv(int64_t a, int64_t d) { return a / d - (a % d < 0); }
int64_t ceilDiv(int64_t a, int64_t d) { return a / d + (a % d > 0); }

// The stored integers a <= x <= b that a filter keeps; empty when a > b.
struct Interval {
  int64_t a = INT64_MIN, b = INT64_MAX;
  bool empty() const { return a > b; }
};

// x op c as an interval; nullopt for <>, which is none.
std::optional<Interval> intervalOf(vec::CmpOp op, int64_t c) {
  using C = vec::CmpOp;
  switch (op) {
    case C::eq: return Interval{c, c};
    case C::lt: return c == INT64_MIN ? Interval{1, 0} : Interval{INT64_MIN, c - 1};
    case C::le: return Interval{INT64_MIN, c};
    case C::gt: return c == INT64_MAX ? Interval{1, 0} : Interval{c + 1, INT64_MAX};
    case C::ge: return Interval{c, INT64_MAX};
    case C::ne: break;
  }
  return std::nullopt;
}

// The days (of a date column) whose midnight satisfies day op us, as an
// interval of days: exact for every value, as the kernel's widened
// comparison is. nullopt for <>.
std::optional<Interval> dayInterval(vec::CmpOp op, int64_t us) {
  using C = vec::CmpOp;
  const int64_t fl = floorDiv(us, kMicrosPerDay), ce = ceilDiv(us, kMicrosPerDay);
  switch (op) {
    case C::eq: return fl == ce ? Interval{fl, fl} : Interval{1, 0};
    case C::lt: return intervalOf(C::lt, ce);
    case C::le: return intervalOf(C::le, fl);
    case C::gt: return intervalOf(C::gt, fl);
    case C::ge: return intervalOf(C::ge, ce);
    case C::ne: break;
  }
  return std::nullopt;
}

// For a comparison of an integer-stored column with a literal, the
// interval it keeps: an integer with an integer, a date or timestamp with a
// text read as an instant. nullopt for any other (and for <>);
// BadLiteral for a text that is no instant.
EvalResult<std::optional<Interval>> intervalFor(const Cmp& c, const Vec& left) {
  if (static_cast<int>(c.op) > static_cast<int>(CmpOp::ge) || c.op == CmpOp::ne) return std::nullopt;
  const vec::CmpOp op = static_cast<vec::CmpOp>(c.op);
  const Literal& l = c.values[0];
  if (left.kind == Kind::int_ && l.tag == Literal::Tag::int_) return intervalOf(op, l.i);
  if (!left.isTemporal() || l.tag != Literal::Tag::string) return std::nullopt;
  std::optional<int64_t> us = l.instant && left.kind == Kind::timestamp ? l.instant : parseTimestamp(l.s);
  if (!us) return std::unexpected(EvalErr::BadLiteral);
  return left.kind == Kind::timestamp ? intervalOf(op, *us) : dayInterval(op, *us);
}

// keepRows of inside, the test of iv, skipping by zones over every row.
template <class F>
size_t keepBlocks(Sel sel, const uint8_t* nulls, Interval iv, const int64_t* zones, uint32_t* out, F inside,
                  const void* data, size_t width) {
  if (!zones || !sel.all()) return keepRows(sel, nulls, out, inside, data, width);
  const int64_t a = iv.a, b = iv.b;
  size_t k = 0;
  for (size_t from = 0, z = 0; from < sel.n; from += kZoneRows, ++z) {
    const size_t n = sel.n - from < kZoneRows ? sel.n - from : kZoneRows;
    const int64_t lo = zones[2 * z], hi = zones[2 * z + 1];
    if (hi < a || lo > b) continue;
    if (a <= lo && hi <= b && !nulls) {
      for (size_t i = 0; i < n; ++i) out[k + i] = static_cast<uint32_t>(from + i);
      k += n;
      continue;
    }
    // keepRows over the block's rows, numbered from the block's start.
    Sel block{nullptr, n};
    const size_t got = nulls ? keepIf<true, true>(block, nulls + from, out + k, [&](uint32_t r) { return inside(r + from); })
                             : keepIf<true, false>(block, nulls, out + k, [&](uint32_t r) { return inside(r + from); });
    for (size_t i = 0; i < got; ++i) out[k + i] += static_cast<uint32_t>(from);
    k += got;
  }
  return k;
}

// Per 8-bit mask of lanes, the lanes set (in order) and how many.
struct LaneTable {
  uint8_t lanes[256][8];
  uint8_t count[256];
  constexpr LaneTable() : lanes{}, count{} {
    for (unsigned m = 0; m < 256; ++m) {
      uint8_t c = 0;
      for (uint8_t j = 0; j < 8; ++j)
        if (m >> j & 1) lanes[m][c++] = j;
      count[m] = c;
    }
  }
};
constexpr LaneTable kLanes;

// The rows base + i (i < n) of a run without nulls whose day d has
// (d - from) mod 2^16 <= width, eight days per step: the lanes that pass
// are written out through a table, with no branch per row. out needs room
// for n positions.
size_t keepDayRun(const uint16_t* __restrict d, size_t n, uint32_t base, uint16_t from, uint16_t width,
                  uint32_t* __restrict out) {
  size_t k = 0, i = 0;
#if defined(__SSE2__)
  const __m128i f = _mm_set1_epi16(static_cast<short>(from)), w = _mm_set1_epi16(static_cast<short>(width));
  const __m128i zero = _mm_setzero_si128();
  for (; i + 8 <= n; i += 8) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
    // Past the width, the saturated difference is not zero.
    const __m128i pass = _mm_cmpeq_epi16(_mm_subs_epu16(_mm_sub_epi16(x, f), w), zero);
    const auto m = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(pass, zero)));
    uint64_t lanes;
    std::memcpy(&lanes, kLanes.lanes[m], 8);
    const __m128i idx = _mm_cvtsi64_si128(static_cast<long long>(lanes));
    const __m128i b = _mm_set1_epi32(static_cast<int>(base + i));
    const __m128i lo = _mm_unpacklo_epi8(idx, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_add_epi32(_mm_unpacklo_epi16(lo, zero), b));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k + 4), _mm_add_epi32(_mm_unpackhi_epi16(lo, zero), b));
    k += kLanes.count[m];
  }
#endif
  for (; i < n; ++i) {
    out[k] = base + static_cast<uint32_t>(i);
    k += static_cast<uint16_t>(d[i] - from) <= width;
  }
  return k;
}

// The rows of sel whose non-null x lies in iv, read from the 16-bit days
// when the column's stats (st: the bound column's own, or none) keep them.
// Over every row of a column with zones, a block wholly outside is skipped
// and one wholly inside kept without a comparison.
size_t keepInterval(Sel sel, const int64_t* __restrict x, const uint8_t* nulls, Interval iv, const ColStats* st,
                    uint32_t* out) {
  if (iv.empty()) return 0;
  if (st && st->days) {
    // Every non-null day lies within [lo, hi]: the interval clipped to
    // them, counted from lo.
    if (iv.b < st->lo || iv.a > st->hi) return 0;
    const auto from = static_cast<uint32_t>((iv.a > st->lo ? iv.a : st->lo) - st->lo);
    const auto width = static_cast<uint32_t>((iv.b < st->hi ? iv.b : st->hi) - st->lo) - from;
    const uint16_t* __restrict days = st->days;
    if (sel.all() && !nulls) {
      // Block by block when zones skip some.
      const size_t step = st->zones ? kZoneRows : sel.n;
      size_t k = 0;
      for (size_t at = 0, z = 0; at < sel.n; at += step, ++z) {
        const size_t n = sel.n - at < step ? sel.n - at : step;
        if (st->zones && (st->zones[2 * z + 1] < iv.a || st->zones[2 * z] > iv.b)) continue;
        k += keepDayRun(days + at, n, static_cast<uint32_t>(at), static_cast<uint16_t>(from),
                        static_cast<uint16_t>(width), out + k);
      }
      return k;
    }
    return keepBlocks(sel, nulls, iv, st->zones, out, [=](uint32_t r) { return uint32_t{days[r]} - from <= width; },
                      days, sizeof(uint16_t));
  }
  // a <= x <= b as one unsigned compare of the distance from a.
  const uint64_t from_a = static_cast<uint64_t>(iv.a), width = static_cast<uint64_t>(iv.b) - from_a;
  return keepBlocks(sel, nulls, iv, st ? st->zones : nullptr, out,
                    [=](uint32_t r) { return static_cast<uint64_t>(x[r]) - from_a <= width; }, x, sizeof(int64_t));
}

// Strings equal to one of a list's, by length first.
struct StrSet {
  std::span<const Literal> values;
  bool has(Bytes s) const {
    for (const Literal& l : values)
      if (l.tag == Literal::Tag::string && l.s.size() == s.size() && (s.empty() || std::memcmp(l.s.data(), s.data(), s.size()) == 0))
        return true;
    return false;
  }
};

bool isPlainColumn(const Bound& b) { return b.e.count == 1 && b.e[b.e.root].tag == Tag::ident; }

// The bound a predicate on one table reads; nullptr for AND, OR and
// comparisons of measures.
const Bound* leafBound(const Pred& p) {
  switch (p.tag) {
    case Pred::Tag::cmp: return p.cmp.lhs.tag == Operand::Tag::dim ? &p.cmp.lhs.dim : nullptr;
    case Pred::Tag::expr: return &p.expr;
    case Pred::Tag::range: return &p.range.b;
    case Pred::Tag::all:
    case Pred::Tag::any: break;
  }
  return nullptr;
}

// p over its own table as the base of another frame.
Pred atBase(const Pred& p) {
  Pred q = p;
  q.cmp.lhs.dim.alias = 0;
  q.expr.alias = 0;
  q.range.b.alias = 0;
  return q;
}

// The entries of a that are not in b, where b is an ascending sub-list of
// a; both over positions 0 .. n-1 when `all`.
Result<Sel> without(Arena& arena, Sel a, Sel b) {
  uint32_t* out = arena.make<uint32_t>(a.n - b.n + 1);
  if (!out) return std::unexpected(Err::OutOfMemory);
  size_t k = 0, j = 0;
  for (size_t i = 0; i < a.n; ++i) {
    const uint32_t row = a.at(i);
    if (j < b.n && b.at(j) == row)
      ++j;
    else
      out[k++] = row;
  }
  return Sel{out, k};
}

// Positions of a sub-frame over sel, turned back into rows of sel.
Result<Sel> rowsOf(Arena& arena, Sel sel, Sel got) {
  if (sel.all()) return got;
  if (got.all()) return sel;
  uint32_t* out = arena.make<uint32_t>(got.n + 1);
  if (!out) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < got.n; ++i) out[i] = sel.idx[got.at(i)];
  return Sel{out, got.n};
}

}  // namespace

const ColStats* Exec::rowStats(const Bound& b) const {
  if (rows) return nullptr;  // positions are not the bound rows
  return baseStats(b);
}

Result<std::optional<size_t>> Exec::keepDirect(const Cmp& c, const Vec& left, Sel sel, uint32_t* out) {
  const bool ordered = static_cast<int>(c.op) <= static_cast<int>(CmpOp::ge);
  const vec::CmpOp op = static_cast<vec::CmpOp>(c.op);
  if (ordered) {
    // The same comparisons as the kernel's: two integers exactly, otherwise
    // as doubles with its NaN rule; a text against a date or timestamp read
    // once as an instant.
    const Literal& l = c.values[0];
    std::optional<Interval> iv = TRY(liftEval(intervalFor(c, left)));
    if (iv) {
    } else if (left.isNumeric() && (l.tag == Literal::Tag::int_ || l.tag == Literal::Tag::float_)) {
      const double f = l.tag == Literal::Tag::int_ ? static_cast<double>(l.i) : l.f;
      if (left.kind == Kind::float_) return keepCmp(op, sel, left.data.floats, left.nulls, f, out);
      if (l.tag == Literal::Tag::int_) return keepCmp(op, sel, left.data.ints, left.nulls, l.i, out);
      return keepCmp(op, sel, left.data.ints, left.nulls, f, out);
    } else if (left.isTemporal() && l.tag == Literal::Tag::string) {
      // <>: an instant inside a day differs from every day.
      const std::optional<int64_t> read = l.instant && left.kind == Kind::timestamp ? l.instant : parseTimestamp(l.s);
      if (!read) return std::unexpected(lift(EvalErr::BadLiteral));
      const int64_t us = *read;
      if (left.kind == Kind::date && floorDiv(us, kMicrosPerDay) != ceilDiv(us, kMicrosPerDay))
        return keepInterval(sel, left.data.ints, left.nulls, Interval{}, nullptr, out);
      const int64_t c0 = left.kind == Kind::date ? floorDiv(us, kMicrosPerDay) : us;
      return keepCmp(op, sel, left.data.ints, left.nulls, c0, out);
    } else {
      if (left.kind != Kind::str || l.tag != Literal::Tag::string || (op != vec::CmpOp::eq && op != vec::CmpOp::ne))
        return std::nullopt;
    }
    if (iv) return keepInterval(sel, left.data.ints, left.nulls, *iv, rowStats(c.lhs.dim), out);
  }
  // A string column against a list of texts: = and IN keep the rows equal
  // to one, <> and NOT IN those equal to none (and none at all when the
  // list holds a NULL, which makes NOT IN unknown).
  if (left.kind != Kind::str) return std::nullopt;
  const bool neg = c.op == CmpOp::ne || c.op == CmpOp::not_in;
  if (!neg && c.op != CmpOp::eq && c.op != CmpOp::in) return std::nullopt;
  bool any_text = false, any_null = false;
  for (const Literal& l : c.values) {
    if (l.tag == Literal::Tag::string) any_text = true;
    else if (l.tag == Literal::Tag::null) any_null = true;
    else return std::nullopt;  // the kernel's type mismatch
  }
  if (!any_text) return std::nullopt;
  if (neg && any_null) return 0;
  const StrSet set{c.values};
  const uint64_t* __restrict offs = left.data.str.offs;
  const char* bytes = left.data.str.bytes.data();
  return keepRows(sel, left.nulls, out, [&](uint32_t r) {
    return set.has(Bytes(bytes + offs[r], offs[r + 1] - offs[r])) != neg;
  });
}

Result<Sel> Exec::narrowHere(const Pred& p, Sel sel) {
  if (p.tag == Pred::Tag::cmp && p.cmp.lhs.tag == Operand::Tag::dim) {
    const Cmp& c = p.cmp;
    Vec left = TRY(evalBound(c.lhs.dim));
    // A text column with a dictionary: the comparison once per distinct
    // value, then per row a look-up by its code.
    const ColStats* st = rows ? nullptr : baseStats(c.lhs.dim);
    if (st && st->codes && st->dict.len && left.len && c.op != CmpOp::is_null && c.op != CmpOp::is_not_null) {
      auto mask = cmpVec(arena, c, st->dict);
      if (!mask) return std::unexpected(lift(mask.error()));
      const size_t nd = st->dict.len;
      uint8_t* keep = arena.make<uint8_t>(nd);
      uint32_t* out = arena.make<uint32_t>(sel.n + 1);
      if (!keep || !out) return std::unexpected(Err::OutOfMemory);
      for (size_t k = 0; k < nd; ++k) keep[k] = !mask->isNull(k) && mask->boolAt(k);
      const uint16_t* __restrict codes = st->codes;
      return Sel{out, keepRows(sel, left.nulls, out, [&](uint32_t r) { return keep[codes[r]] != 0; }, codes,
                               sizeof(*codes))};
    }
    // (Over no rows the kernel reads no literal, so neither is it read here.)
    if (!left.scalar && left.len) {
      // Room for every position, though only the kept ones are touched.
      uint32_t* out = arena.make<uint32_t>(sel.n + 1);
      if (!out) return std::unexpected(Err::OutOfMemory);
      std::optional<size_t> kept = TRY(keepDirect(c, left, sel, out));
      if (kept) return Sel{out, *kept};
    }
    auto mask = cmpVec(arena, c, left);
    if (!mask) return std::unexpected(lift(mask.error()));
    return keepTrue(*this, sel, *mask, base.nrows);
  }
  if (p.tag == Pred::Tag::range) {
    // The bound first, so a missing column is reported before bad texts.
    Vec v = TRY(evalBound(p.range.b));
    if (!v.scalar && v.isTemporal()) {
      auto [lo, hi] = TRY(rangeEnds(p.range, v.kind));
      // From lo on, and before hi (up to hi when the end is an instant).
      Interval iv{lo, p.range.end_is_date ? hi - 1 : hi};
      if (v.kind == Kind::date) iv = Interval{ceilDiv(iv.a, kMicrosPerDay), floorDiv(iv.b, kMicrosPerDay)};
      uint32_t* out = arena.make<uint32_t>(sel.n + 1);
      if (!out) return std::unexpected(Err::OutOfMemory);
      return Sel{out, keepInterval(sel, v.data.ints, v.nulls, iv, rowStats(p.range.b), out)};
    }
  }
  return keepTrue(*this, sel, TRY(evalPred(p)), base.nrows);
}

Result<std::optional<Sel>> Exec::narrowPair(const Pred& p1, const Pred& p2, Sel sel) {
  auto column = [](const Pred& p) -> const Bound* {
    if (p.tag != Pred::Tag::cmp || p.cmp.lhs.tag != Operand::Tag::dim) return nullptr;
    const Bound& b = p.cmp.lhs.dim;
    return b.alias == 0 && isPlainColumn(b) && static_cast<int>(p.cmp.op) <= static_cast<int>(CmpOp::ge) ? &b
                                                                                                        : nullptr;
  };
  const Bound* b1 = column(p1);
  const Bound* b2 = column(p2);
  if (!b1 || !b2 || b1->e[b1->e.root].text != b2->e[b2->e.root].text) return std::nullopt;
  Vec left = TRY(evalBound(*b1));
  if (left.scalar || !left.len) return std::nullopt;
  const Cmp &c1 = p1.cmp, &c2 = p2.cmp;
  if (left.data.tag == Data::Tag::int_) {
    std::optional<Interval> iv1 = TRY(liftEval(intervalFor(c1, left)));
    if (!iv1) return std::nullopt;
    std::optional<Interval> iv2 = TRY(liftEval(intervalFor(c2, left)));
    if (!iv2) return std::nullopt;
    const Interval both{iv1->a > iv2->a ? iv1->a : iv2->a, iv1->b < iv2->b ? iv1->b : iv2->b};
    uint32_t* out = arena.make<uint32_t>(sel.n + 1);
    if (!out) return std::unexpected(Err::OutOfMemory);
    return Sel{out, keepInterval(sel, left.data.ints, left.nulls, both, rowStats(*b1), out)};
  }
  // A float column between two numbers: both comparisons in one pass, each
  // as the kernel makes it.
  auto number = [](const Literal& l) { return l.tag == Literal::Tag::int_ || l.tag == Literal::Tag::float_; };
  auto value = [](const Literal& l) { return l.tag == Literal::Tag::int_ ? static_cast<double>(l.i) : l.f; };
  auto lower = [](CmpOp op) { return op == CmpOp::ge || op == CmpOp::gt; };
  auto upper = [](CmpOp op) { return op == CmpOp::le || op == CmpOp::lt; };
  if (left.kind != Kind::float_ || !number(c1.values[0]) || !number(c2.values[0])) return std::nullopt;
  if (!(lower(c1.op) && upper(c2.op)) && !(upper(c1.op) && lower(c2.op))) return std::nullopt;
  const Cmp& lo = lower(c1.op) ? c1 : c2;
  const Cmp& hi = lower(c1.op) ? c2 : c1;
  const double a = value(lo.values[0]), b = value(hi.values[0]);
  const double* __restrict x = left.data.floats;
  uint32_t* out = arena.make<uint32_t>(sel.n + 1);
  if (!out) return std::unexpected(Err::OutOfMemory);
  using C = vec::CmpOp;
  auto run = [&](auto lop, auto hop) {
    constexpr C L = decltype(lop)::value, H = decltype(hop)::value;
    return keepRows(
        sel, left.nulls, out, [&](uint32_t r) { return loops::ordCmp<L>(x[r], a) & loops::ordCmp<H>(x[r], b); }, x,
        sizeof(double));
  };
  using GE = std::integral_constant<C, C::ge>;
  using GT = std::integral_constant<C, C::gt>;
  using LE = std::integral_constant<C, C::le>;
  using LT = std::integral_constant<C, C::lt>;
  size_t k = lo.op == CmpOp::ge ? (hi.op == CmpOp::le ? run(GE{}, LE{}) : run(GE{}, LT{}))
                                : (hi.op == CmpOp::le ? run(GT{}, LE{}) : run(GT{}, LT{}));
  return Sel{out, k};
}

bool Exec::cheap(const Pred& p) const {
  const Bound* b = leafBound(p);
  if (!b || b->alias >= kAliasSlots || !isPlainColumn(*b) || p.tag == Pred::Tag::expr) return false;
  if (b->alias != 0 && (!right[b->alias] || !steps[b->alias].ready)) return false;
  const exec::Table& t = b->alias == 0 ? base : *right[b->alias];
  const Bytes name = b->e[b->e.root].text;
  size_t i = 0;
  while (i < t.names.size() && t.names[i] != name) ++i;
  if (i == t.names.size()) return false;
  const Vec& v = t.cols[i];
  if (v.scalar || !v.len) return false;
  if (p.tag == Pred::Tag::range)
    return v.isTemporal() && parseTimestamp(p.range.start) && parseTimestamp(p.range.end);
  const Cmp& c = p.cmp;
  auto fits = [&](const Literal& l) {
    switch (l.tag) {
      case Literal::Tag::int_:
      case Literal::Tag::float_: return v.isNumeric();
      case Literal::Tag::string: return v.kind == Kind::str || (v.isTemporal() && parseTimestamp(l.s).has_value());
      case Literal::Tag::null:
      case Literal::Tag::boolean: break;
    }
    return false;
  };
  if (static_cast<int>(c.op) <= static_cast<int>(CmpOp::ge))
    return fits(c.values[0]) && (v.kind != Kind::str || c.op == CmpOp::eq || c.op == CmpOp::ne);
  if (c.op != CmpOp::in && c.op != CmpOp::not_in) return false;
  bool text = false;
  for (const Literal& l : c.values) {
    if (l.tag == Literal::Tag::string) text = true;
    else if (l.tag != Literal::Tag::null) return false;
  }
  return text && v.kind == Kind::str;
}

Result<Sel> Exec::narrowList(std::span<const Pred> ps, Sel sel) {
  // An empty table's predicates are evaluated over its no rows, in order,
  // as vectors (their kinds and literals were checked before any row).
  if (base.nrows == 0) {
    for (const Pred& p : ps) sel = TRY(keepTrue(*this, sel, TRY(evalPred(p)), 0));
    return sel;
  }
  // Comparisons of columns with literals that suit them go first: they
  // cannot fail, so whichever fault the others hold is still the one
  // reported. The base table's own come first of all, as the cheapest; then
  // those on each joined table and the tables joined from it, which make
  // one keep mask over that table's rows, applied in one pass.
  const Pred** order = arena.make<const Pred*>(ps.size() + 1);
  uint8_t* top = arena.make<uint8_t>(ps.size() + 1);  // highest join of a cheap joined comparison
  if (!order || !top) return std::unexpected(Err::OutOfMemory);
  size_t n = 0;
  for (size_t i = 0; i < ps.size(); ++i) {
    top[i] = 0;
    if (!cheap(ps[i])) continue;
    uint8_t a = leafBound(ps[i])->alias;
    if (a == 0) {
      order[n++] = &ps[i];
      continue;
    }
    // Up to the join from the base table, or to the many-join whose rows
    // the frame's positions already are: above it a row stands for many.
    while (steps[a].parent != 0 && !steps[a].next) a = steps[a].parent;
    top[i] = a;
  }
  for (size_t i = 0; i < n; ++i) {
    // Two bounds on one column in a row make one pass.
    if (i + 1 < n) {
      if (std::optional<Sel> got = TRY(narrowPair(*order[i], *order[i + 1], sel))) {
        sel = *got;
        ++i;
        continue;
      }
    }
    sel = TRY(narrow(*order[i], sel));
  }
  for (size_t i = 0; i < ps.size(); ++i) {
    if (!top[i]) continue;
    size_t m = 0;
    for (size_t j = i; j < ps.size(); ++j)
      if (top[j] == top[i]) {
        order[m++] = &ps[j];
        if (j != i) top[j] = 0;
      }
    sel = TRY(narrowJoined(top[i], {order, m}, sel));
  }
  for (size_t i = 0; i < ps.size(); ++i)
    if (!cheap(ps[i])) sel = TRY(narrow(ps[i], sel));
  return sel;
}

Result<Sel> Exec::narrowJoined(uint8_t a, std::span<const Pred*> ps, Sel sel) {
  const exec::Table& ta = *right[a];
  if (ta.nrows >= sel.n) {
    for (const Pred* p : ps) sel = TRY(narrow(*p, sel));
    return sel;
  }
  uint8_t* keep = arena.make<uint8_t>(ta.nrows + 1);
  if (!keep) return std::unexpected(Err::OutOfMemory);
  std::memset(keep, 1, ta.nrows);
  bool keep_missing = true;
  // A frame over the joined table, where the joins from it start.
  Exec ax(arena, diag, plan, ta);
  for (int k = 1; k < kAliasSlots; ++k) {
    ax.right[k] = right[k];
    ax.steps[k] = steps[k];
    if (steps[k].parent == a) ax.steps[k].parent = 0;
  }
  for (const Pred* p : ps) {
    const uint8_t d = leafBound(*p)->alias;
    const exec::Table& td = *right[d];
    const Pred q = atBase(*p);
    bool d_missing = false;
    const uint8_t* on = TRY(keepMask(q, td, &d_missing));
    keep_missing &= d_missing;
    if (d == a) {
      for (size_t r = 0; r < ta.nrows; ++r) keep[r] &= on[r];
      continue;
    }
    const uint32_t* __restrict dr = TRY(ax.joinRows(d, Sel{nullptr, ta.nrows}));
    for (size_t r = 0; r < ta.nrows; ++r) keep[r] &= dr[r] == kMissingRow ? d_missing : on[dr[r]];
  }
  return keepJoined(a, sel, keep, keep_missing);
}

Result<const uint8_t*> Exec::keepMask(const Pred& q, const exec::Table& t, bool* keep_missing) {
  Exec rx(arena, diag, plan, t);
  rx.range_from = range_from;
  Sel hit = TRY(rx.narrowHere(q, Sel{nullptr, t.nrows}));
  // A row without a match takes the predicate's value over nulls.
  Exec missing(arena, diag, plan, t);
  missing.range_from = range_from;
  missing.rows = kNullRow;
  missing.base.nrows = 1;
  *keep_missing = TRY(missing.narrowHere(q, Sel{nullptr, 1})).n == 1;
  uint8_t* keep = arena.make<uint8_t>(t.nrows + 1);
  if (!keep) return std::unexpected(Err::OutOfMemory);
  std::memset(keep, 0, t.nrows);
  for (size_t i = 0; i < hit.n; ++i) keep[hit.at(i)] = 1;
  return keep;
}

Result<Sel> Exec::keepJoined(uint8_t a, Sel sel, const uint8_t* keep, bool keep_missing) {
  uint32_t* out = arena.make<uint32_t>(sel.n + 1);
  if (!out) return std::unexpected(Err::OutOfMemory);
  const uint32_t* __restrict jr = TRY(joinRows(a, sel));
  size_t k = 0;
  for (size_t i = 0; i < sel.n; ++i) {
    const uint32_t r = jr[i];
    out[k] = sel.at(i);
    k += r == kMissingRow ? keep_missing : keep[r];
  }
  return Sel{out, k};
}

Result<Sel> Exec::narrow(const Pred& p, Sel sel) {
  if (base.nrows == 0) return keepTrue(*this, sel, TRY(evalPred(p)), 0);
  switch (p.tag) {
    case Pred::Tag::all: return narrowList(p.children, sel);
    case Pred::Tag::any: {
      // Each branch over the rows no earlier branch kept; every branch is
      // evaluated, even over no rows, so that its faults are reported.
      Sel rest = sel;
      for (const Pred& c : p.children) {
        Sel got = TRY(narrow(c, rest));
        rest = TRY(without(arena, rest, got));
      }
      return without(arena, sel, rest);
    }
    case Pred::Tag::expr:
      if (std::optional<Sel> got = TRY(narrowConjuncts(p, sel))) return *got;
      break;
    case Pred::Tag::cmp:
    case Pred::Tag::range: break;
  }
  if (std::optional<Sel> got = TRY(domainFilter(p, sel))) return *got;
  const Bound* b = leafBound(p);
  if (b && b->alias == kMixedAlias && !sel.all()) {
    // An expression over several tables, once filters have narrowed the
    // rows: evaluated over those rows alone, in a copy of this frame whose
    // positions they are, with joins looked up for them only.
    Exec sub = fork();
    TRY(sub.compact(sel));
    return rowsOf(arena, sel, TRY(keepTrue(sub, Sel{nullptr, sel.n}, TRY(sub.evalPred(p)), sel.n)));
  }
  if (!b || b->alias >= kAliasSlots || (b->alias != 0 && (!right[b->alias] || !steps[b->alias].ready)))
    return keepTrue(*this, sel, TRY(evalPred(p)), base.nrows);
  const Pred q = atBase(p);
  if (b->alias != 0 && right[b->alias]->nrows < sel.n) {
    // Once per joined row, then looked up per selected row.
    bool keep_missing = false;
    const uint8_t* keep = TRY(keepMask(q, *right[b->alias], &keep_missing));
    return keepJoined(b->alias, sel, keep, keep_missing);
  }
  // Over every row, a plain column is read where it lies and anything else
  // is evaluated (and cached) in this frame.
  if (sel.all() || (b->alias == 0 && isPlainColumn(*b))) return narrowHere(p, sel);
  // Otherwise over the selected rows only, in a frame whose positions they
  // are (read through this frame's own rows or join index).
  Sel at = sel.n ? sel : Sel{kNullRow, 1};
  if (sel.n && b->alias != 0) {
    at.idx = TRY(joinRows(b->alias, sel));
  } else if (sel.n && this->rows) {
    uint32_t* composed = arena.make<uint32_t>(sel.n + 1);
    if (!composed) return std::unexpected(Err::OutOfMemory);
    for (size_t i = 0; i < sel.n; ++i) composed[i] = this->rows[sel.idx[i]];
    at.idx = composed;
  }
  Exec sub(arena, diag, plan, b->alias == 0 ? base : *right[b->alias]);
  sub.range_from = range_from;
  sub.rows = at.idx;
  sub.base.nrows = at.n;
  Sel got = TRY(sub.narrowHere(q, Sel{nullptr, at.n}));
  return sel.n ? rowsOf(arena, sel, got) : sel;
}

Result<std::optional<Sel>> Exec::narrowConjuncts(const Pred& p, Sel sel) {
  const Expr& e = p.expr.e;
  if (e[e.root].tag != Tag::and_) return std::optional<Sel>();
  // The conditions, in the order written.
  Array<uint32_t> parts, todo;
  TRY(todo.push(arena, e.root));
  while (todo.size()) {
    const uint32_t i = todo[todo.size() - 1];
    --todo.len;
    if (e[i].tag == Tag::and_) {
      TRY(todo.push(arena, e[i].b));
      TRY(todo.push(arena, e[i].a));
    } else {
      TRY(parts.push(arena, i));
    }
  }
  // Cheapest first: a look-up per row of answers worked out per value of
  // a column; then plain arithmetic and comparisons; then text and the
  // rest. Kinds were checked before any row was read, so the order cannot
  // change which fault is reported.
  Reads* memo = TRY(liftEval(freshReads(arena, e)));
  uint8_t* rank = arena.make<uint8_t>(parts.size());
  if (!rank) return std::unexpected(Err::OutOfMemory);
  for (size_t k = 0; k < parts.size(); ++k) {
    const Reads r = readsOf(e, parts[k], p.expr.alias, memo);
    const Vec* col = nullptr;
    const ColStats* st = nullptr;
    const Node* id = r.col >= 0 ? &e[static_cast<uint32_t>(r.col)] : nullptr;
    rank[k] = id && domainSize(identAlias(*id, p.expr.alias), id->text, r.costly, &col, &st) ? 0 : r.costly ? 2 : 1;
  }
  for (uint8_t want = 0; want < 3; ++want)
    for (size_t k = 0; k < parts.size(); ++k) {
      if (rank[k] != want) continue;
      Pred q = p;
      q.expr.e.root = parts[k];
      sel = TRY(narrow(q, sel));
    }
  return std::optional<Sel>(sel);
}

Result<void> Exec::compact(Sel sel) {
  if (sel.all()) return {};
  for (int k = 1; k < kAliasSlots; ++k) {
    const Probe& pr = probed[k];
    if (!join_idx[k] && !pr.rows) continue;
    uint32_t* idx = arena.make<uint32_t>(sel.n + 1);
    if (!idx) return std::unexpected(Err::OutOfMemory);
    if (join_idx[k]) {
      for (size_t i = 0; i < sel.n; ++i) idx[i] = sel.idx[i] == kMissingRow ? kMissingRow : join_idx[k][sel.idx[i]];
    } else if (sel.n == 1 && sel.idx[0] == kMissingRow) {
      idx[0] = kMissingRow;
    } else if (!fromProbe(pr, sel, idx)) {
      // Rows kept by another branch of an OR were not looked up; they are
      // after compaction.
      continue;
    }
    join_idx[k] = idx;
  }
  for (int k = 1; k < kAliasSlots; ++k) probed[k] = Probe{};
  if (rows) {
    uint32_t* composed = arena.make<uint32_t>(sel.n + 1);
    if (!composed) return std::unexpected(Err::OutOfMemory);
    for (size_t i = 0; i < sel.n; ++i) composed[i] = sel.idx[i] == kMissingRow ? kMissingRow : rows[sel.idx[i]];
    rows = composed;
  } else {
    rows = sel.idx;
  }
  base.nrows = sel.n;
  cache.clear();
  return {};
}

}  // namespace quendra
