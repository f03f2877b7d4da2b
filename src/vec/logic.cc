// Three-valued AND / OR, NOT and IS [NOT] NULL.
#include <cstring>

#include "vec/kernels.h"
#include "vec/loops.h"

namespace quendra {
namespace {

// A null scalar of any kind takes part in logic as the value false under a
// set mask entry; these give it bool storage without allocating.
constexpr uint8_t kFalse = 0;
constexpr uint8_t kNull = 1;

struct Operand {
  const uint8_t* vals;
  const uint8_t* nulls;  // nullptr: no nulls
};

Operand operandOf(const Vec& v) {
  if (v.isNullScalar()) return {&kFalse, &kNull};
  return {v.data.bools, v.nulls};
}

// Bytes are 0 or 1, so the Kleene tables reduce to bitwise operations and
// the loop vectorises. A null entry's value is ignored: t (true) and f
// (false) are both 0 there. The result value is "true and not null", so
// null entries store false.
template <bool And, bool AS, bool BS, bool AN, bool BN>
bool logicLoop(Operand a, Operand b, uint8_t* __restrict out, uint8_t* __restrict nulls,
               size_t m) {
  const uint8_t* __restrict av = a.vals;
  const uint8_t* __restrict bv = b.vals;
  const uint8_t* __restrict an = a.nulls;
  const uint8_t* __restrict bn = b.nulls;
  uint8_t any = 0;
  for (size_t i = 0; i < m; ++i) {
    size_t ia = AS ? 0 : i, ib = BS ? 0 : i;
    uint8_t na = AN ? an[ia] : 0, nb = BN ? bn[ib] : 0;
    uint8_t ta = av[ia] & ~na & 1, tb = bv[ib] & ~nb & 1;
    uint8_t fa = ~av[ia] & ~na & 1, fb = ~bv[ib] & ~nb & 1;
    // AND is decided by a false operand, OR by a true one; otherwise a null
    // operand makes the result null.
    uint8_t decided = And ? (fa | fb) : (ta | tb);
    out[i] = And ? (ta & tb) : decided;
    if constexpr (AN || BN) {
      uint8_t n = ~decided & (na | nb) & 1;
      nulls[i] = n;
      any |= n;
    }
  }
  return any != 0;
}

template <bool And>
bool runLogic(const Vec& a, const Vec& b, Operand oa, Operand ob, uint8_t* out, uint8_t* nulls,
              size_t m) {
  bool an = oa.nulls != nullptr, bn = ob.nulls != nullptr;
  return loops::byShape(a, b, false, [&](auto as, auto bs, auto) {
    constexpr bool AS = decltype(as)::value, BS = decltype(bs)::value;
    if (an && bn) return logicLoop<And, AS, BS, true, true>(oa, ob, out, nulls, m);
    if (an) return logicLoop<And, AS, BS, true, false>(oa, ob, out, nulls, m);
    if (bn) return logicLoop<And, AS, BS, false, true>(oa, ob, out, nulls, m);
    return logicLoop<And, AS, BS, false, false>(oa, ob, out, nulls, m);
  });
}

}  // namespace

EvalResult<Vec> logic(Arena& arena, bool is_and, const Vec& a, const Vec& b) {
  if ((a.kind != Kind::bool_ && !a.isNullScalar()) || (b.kind != Kind::bool_ && !b.isNullScalar()))
    return std::unexpected(EvalErr::TypeMismatch);
  OutLen shape = outLen(a, b);
  size_t m = shape.stored();
  Operand oa = operandOf(a), ob = operandOf(b);
  uint8_t* out = arena.make<uint8_t>(m);
  if (!out) return std::unexpected(EvalErr::OutOfMemory);
  // Nulls can only come out when an operand has a mask. The mask is filled
  // in the same pass as the values and dropped when no entry came out null:
  // one pass instead of two, at the price of m unused arena bytes then.
  uint8_t* nulls = nullptr;
  if (oa.nulls || ob.nulls) {
    nulls = arena.make<uint8_t>(m);
    if (!nulls) return std::unexpected(EvalErr::OutOfMemory);
  }
  bool any = is_and ? runLogic<true>(a, b, oa, ob, out, nulls, m)
                    : runLogic<false>(a, b, oa, ob, out, nulls, m);
  return loops::result(Kind::bool_, shape, any ? nulls : nullptr, boolData(out));
}

EvalResult<Vec> not_(Arena& arena, const Vec& v) {
  if (v.isNullScalar()) return v;
  if (v.kind != Kind::bool_) return std::unexpected(EvalErr::TypeMismatch);
  size_t m = v.stored();
  uint8_t* out = arena.make<uint8_t>(m);
  if (!out) return std::unexpected(EvalErr::OutOfMemory);
  const uint8_t* __restrict in = v.data.bools;
  if (const uint8_t* __restrict nulls = v.nulls) {
    for (size_t i = 0; i < m; ++i) out[i] = (in[i] ^ 1) & (nulls[i] ^ 1);
  } else {
    for (size_t i = 0; i < m; ++i) out[i] = in[i] ^ 1;
  }
  Vec r = v;
  r.data = boolData(out);
  return r;
}

EvalResult<Vec> isNull(Arena& arena, const Vec& a, bool negated) {
  size_t m = a.stored();
  uint8_t* out = arena.make<uint8_t>(m);
  if (!out) return std::unexpected(EvalErr::OutOfMemory);
  uint8_t flip = negated ? 1 : 0;
  if (const uint8_t* __restrict nulls = a.nulls) {
    for (size_t i = 0; i < m; ++i) out[i] = nulls[i] ^ flip;
  } else {
    std::memset(out, flip, m);
  }
  return loops::result(Kind::bool_, OutLen{a.len, a.scalar}, nullptr, boolData(out));
}

}  // namespace quendra
