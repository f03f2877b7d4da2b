// compare: the six comparisons over every comparable pair of kinds.
#include "vec/kernels.h"
#include "vec/loops.h"
#include "vec/time.h"

namespace quendra {
namespace {

using loops::byCmpOp;
using loops::byShape;
using loops::ordCmp;

// Each entry is compared as K: both sides are converted to one key type
// first (int64 for int/int, bool/bool and same-kind temporal pairs, double
// for numeric mixtures, 128-bit microseconds when a date meets a timestamp,
// which keeps that comparison exact however far the date lies).
template <class K, bool Date, class X>
inline K key(X x) {
  if constexpr (Date)
    return static_cast<K>(x) * kMicrosPerDay;
  else
    return static_cast<K>(x);
}

template <vec::CmpOp Op, class K, bool ADate, bool BDate, bool AS, bool BS, bool Masked, class X,
          class Y>
void cmpLoop(const X* __restrict x, const Y* __restrict y, const uint8_t* __restrict nulls,
             uint8_t* __restrict out, size_t m) {
  for (size_t i = 0; i < m; ++i) {
    bool r = ordCmp<Op>(key<K, ADate>(x[AS ? 0 : i]), key<K, BDate>(y[BS ? 0 : i]));
    out[i] = Masked && nulls[i] ? 0 : r;
  }
}

template <class K, bool ADate, bool BDate, class X, class Y>
void run(vec::CmpOp op, const Vec& a, const Vec& b, const X* x, const Y* y,
         const uint8_t* mask, uint8_t* out, size_t m) {
  byCmpOp(op, [&](auto c) {
    byShape(a, b, mask != nullptr, [&](auto as, auto bs, auto masked) {
      cmpLoop<decltype(c)::value, K, ADate, BDate, decltype(as)::value, decltype(bs)::value,
              decltype(masked)::value>(x, y, mask, out, m);
    });
  });
}

// Strings compare bytewise as unsigned bytes (string_view's compare is
// memcmp-based), a proper prefix first. A null row is false and its strings
// are not looked at.
template <vec::CmpOp Op, bool AS, bool BS, bool Masked>
void strLoop(const Str& x, const Str& y, const uint8_t* __restrict nulls, uint8_t* __restrict out,
             size_t m) {
  for (size_t i = 0; i < m; ++i) {
    if (Masked && nulls[i]) {
      out[i] = 0;
      continue;
    }
    size_t ia = AS ? 0 : i, ib = BS ? 0 : i;
    Bytes sa(x.bytes.data() + x.offs[ia], x.offs[ia + 1] - x.offs[ia]);
    Bytes sb(y.bytes.data() + y.offs[ib], y.offs[ib + 1] - y.offs[ib]);
    out[i] = ordCmp<Op>(sa.compare(sb), 0);
  }
}

// A timestamp scalar over caller-owned storage: a literal read during one
// comparison needs no arena memory.
Vec timestampAt(const int64_t* us) {
  Vec v;
  v.len = 1;
  v.data = intData(us);
  v.kind = Kind::timestamp;
  v.scalar = true;
  return v;
}

}  // namespace

EvalResult<Vec> compare(Arena& arena, vec::CmpOp op, const Vec& a_in, const Vec& b_in) {
  // A text compared with a time is read first, so that a text that is no
  // instant fails over no rows as over many.
  Vec a = a_in, b = b_in;
  int64_t lit_a, lit_b;
  if (a.isTemporal() && b.scalar && b.kind == Kind::str && !b.isNull(0)) {
    std::optional<int64_t> us = parseTimestamp(b.strAt(0));
    if (!us) return std::unexpected(EvalErr::BadLiteral);
    lit_b = *us;
    b = timestampAt(&lit_b);
  }
  if (a.scalar && a.kind == Kind::str && !a.isNull(0) && b.isTemporal()) {
    std::optional<int64_t> us = parseTimestamp(a.strAt(0));
    if (!us) return std::unexpected(EvalErr::BadLiteral);
    lit_a = *us;
    a = timestampAt(&lit_a);
  }
  OutLen shape = outLen(a_in, b_in);
  if (a_in.isNullScalar() || b_in.isNullScalar())
    return nullVec(arena, Kind::bool_, shape.n, shape.scalar);
  if (shape.n == 0 && !shape.scalar) {
    Vec empty;
    empty.data = boolData(arena.make<uint8_t>(0));
    empty.kind = Kind::bool_;
    return empty;
  }

  enum class Path { ints, floats, temporal, strs, bools };
  Path path;
  if (a.isNumeric() && b.isNumeric())
    path = a.kind == Kind::int_ && b.kind == Kind::int_ ? Path::ints : Path::floats;
  else if (a.isTemporal() && b.isTemporal())
    path = Path::temporal;
  else if (a.kind == Kind::str && b.kind == Kind::str)
    path = Path::strs;
  else if (a.kind == Kind::bool_ && b.kind == Kind::bool_)
    path = Path::bools;
  else
    return std::unexpected(EvalErr::TypeMismatch);

  size_t m = shape.stored();
  uint8_t* mask = TRY(mergeNulls(arena, a, b, shape.n));
  uint8_t* out = arena.make<uint8_t>(m);
  if (!out) return std::unexpected(EvalErr::OutOfMemory);

  switch (path) {
    case Path::ints:
      run<int64_t, false, false>(op, a, b, a.data.ints, b.data.ints, mask, out, m);
      break;
    case Path::floats: {
      bool af = a.kind == Kind::float_, bf = b.kind == Kind::float_;
      if (af && bf)
        run<double, false, false>(op, a, b, a.data.floats, b.data.floats, mask, out, m);
      else if (af)
        run<double, false, false>(op, a, b, a.data.floats, b.data.ints, mask, out, m);
      else
        run<double, false, false>(op, a, b, a.data.ints, b.data.floats, mask, out, m);
      break;
    }
    case Path::temporal: {
      bool ad = a.kind == Kind::date, bd = b.kind == Kind::date;
      if (ad == bd)  // same unit: the stored integers order like the instants
        run<int64_t, false, false>(op, a, b, a.data.ints, b.data.ints, mask, out, m);
      else if (ad)
        run<__int128, true, false>(op, a, b, a.data.ints, b.data.ints, mask, out, m);
      else
        run<__int128, false, true>(op, a, b, a.data.ints, b.data.ints, mask, out, m);
      break;
    }
    case Path::bools:
      run<int, false, false>(op, a, b, a.data.bools, b.data.bools, mask, out, m);
      break;
    case Path::strs:
      byCmpOp(op, [&](auto c) {
        byShape(a, b, mask != nullptr, [&](auto as, auto bs, auto masked) {
          strLoop<decltype(c)::value, decltype(as)::value, decltype(bs)::value,
                  decltype(masked)::value>(a.data.str, b.data.str, mask, out, m);
        });
      });
      break;
  }
  return loops::result(Kind::bool_, shape, mask, boolData(out));
}

}  // namespace quendra
