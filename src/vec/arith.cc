// arith and negate.
#include <cmath>
#include <cstring>

#include "vec/kernels.h"
#include "vec/loops.h"

namespace quendra {
namespace {

using loops::byShape;

// Signed overflow must wrap, not be undefined: do it on unsigned values.
template <ArithOp Op>
inline int64_t intOp(int64_t x, int64_t y) {
  auto ux = static_cast<uint64_t>(x), uy = static_cast<uint64_t>(y);
  if constexpr (Op == ArithOp::add) return static_cast<int64_t>(ux + uy);
  if constexpr (Op == ArithOp::sub) return static_cast<int64_t>(ux - uy);
  if constexpr (Op == ArithOp::mul) return static_cast<int64_t>(ux * uy);
  if constexpr (Op == ArithOp::mod) {
    // A zero divisor's row becomes null (the value is then irrelevant), and
    // x % -1 is 0 but traps on INT64_MIN: both divide by 1 instead.
    int64_t safe = ((y == 0) | (y == -1)) ? 1 : y;
    return x % safe;
  }
}

inline double floatMod(double x, double y) {
  double r = std::fmod(x, y);
  return x < 0 ? std::fmod(r + y, y) : r;
}

template <ArithOp Op>
inline double floatOp(double x, double y) {
  if constexpr (Op == ArithOp::add) return x + y;
  if constexpr (Op == ArithOp::sub) return x - y;
  if constexpr (Op == ArithOp::mul) return x * y;
  if constexpr (Op == ArithOp::div) {
    double q = x / (y == 0 ? 1.0 : y);  // the row is marked null below
    return y == 0 ? 0.0 : q;
  }
  if constexpr (Op == ArithOp::mod) return floatMod(x, y);
}

// Only div and integer mod can turn a row null; they report whether any
// divisor was zero so the caller can mark those rows afterwards, keeping
// this loop free of stores to the mask.
template <ArithOp Op, class Out, class X, class Y, bool AS, bool BS, bool Masked>
bool loop(const X* __restrict x, const Y* __restrict y, const uint8_t* __restrict nulls,
          Out* __restrict out, size_t m) {
  constexpr bool kCanNull = Op == ArithOp::div || (Op == ArithOp::mod && std::is_same_v<Out, int64_t>);
  bool zero = false;
  for (size_t i = 0; i < m; ++i) {
    X xv = x[AS ? 0 : i];
    Y yv = y[BS ? 0 : i];
    Out v;
    if constexpr (std::is_same_v<Out, int64_t>)
      v = intOp<Op>(xv, yv);
    else
      v = floatOp<Op>(static_cast<double>(xv), static_cast<double>(yv));
    if constexpr (kCanNull) zero |= yv == 0;
    out[i] = Masked && nulls[i] ? Out(0) : v;
  }
  return zero;
}

template <class Y>
void markZeroDivisors(const Y* y, bool scalar, uint8_t* mask, size_t m) {
  if (scalar) {
    std::memset(mask, 1, m);  // reached only when the one divisor is zero
    return;
  }
  for (size_t i = 0; i < m; ++i) mask[i] |= y[i] == 0;
}

template <class T>
const T* values(const Vec& v) {
  if constexpr (std::is_same_v<T, double>)
    return v.data.floats;
  else
    return v.data.ints;
}

template <ArithOp Op, class Out, class X, class Y>
EvalResult<Vec> run(Arena& arena, const Vec& a, const Vec& b) {
  OutLen shape = outLen(a, b);
  size_t m = shape.stored();
  uint8_t* mask = TRY(mergeNulls(arena, a, b, shape.n));
  Out* out = arena.make<Out>(m);
  if (!out) return std::unexpected(EvalErr::OutOfMemory);
  const X* x = values<X>(a);
  const Y* y = values<Y>(b);
  bool zero = byShape(a, b, mask != nullptr, [&](auto as, auto bs, auto masked) {
    return loop<Op, Out, X, Y, decltype(as)::value, decltype(bs)::value, decltype(masked)::value>(
        x, y, mask, out, m);
  });
  if (zero) {
    if (!mask) {
      mask = arena.make<uint8_t>(m);
      if (!mask) return std::unexpected(EvalErr::OutOfMemory);
      std::memset(mask, 0, m);
    }
    markZeroDivisors(y, b.scalar, mask, m);
  }
  Data data;
  if constexpr (std::is_same_v<Out, double>)
    data = floatData(out);
  else
    data = intData(out);
  return loops::result(std::is_same_v<Out, double> ? Kind::float_ : Kind::int_, shape, mask, data);
}

template <ArithOp Op>
EvalResult<Vec> byKinds(Arena& arena, const Vec& a, const Vec& b) {
  bool af = a.kind == Kind::float_, bf = b.kind == Kind::float_;
  if (Op == ArithOp::div || af || bf) {
    if (af && bf) return run<Op, double, double, double>(arena, a, b);
    if (af) return run<Op, double, double, int64_t>(arena, a, b);
    if (bf) return run<Op, double, int64_t, double>(arena, a, b);
    return run<Op, double, int64_t, int64_t>(arena, a, b);
  }
  if constexpr (Op != ArithOp::div) return run<Op, int64_t, int64_t, int64_t>(arena, a, b);
  return std::unexpected(EvalErr::TypeMismatch);  // unreachable: div is float
}

}  // namespace

EvalResult<Vec> arith(Arena& arena, ArithOp op, const Vec& a, const Vec& b) {
  if (a.isNullScalar() || b.isNullScalar()) {
    OutLen shape = outLen(a, b);
    return nullVec(arena, op == ArithOp::div ? Kind::float_ : Kind::int_, shape.n, shape.scalar);
  }
  if (!a.isNumeric() || !b.isNumeric()) return std::unexpected(EvalErr::TypeMismatch);
  switch (op) {
    case ArithOp::add: return byKinds<ArithOp::add>(arena, a, b);
    case ArithOp::sub: return byKinds<ArithOp::sub>(arena, a, b);
    case ArithOp::mul: return byKinds<ArithOp::mul>(arena, a, b);
    case ArithOp::div: return byKinds<ArithOp::div>(arena, a, b);
    case ArithOp::mod: return byKinds<ArithOp::mod>(arena, a, b);
  }
  return std::unexpected(EvalErr::TypeMismatch);
}

EvalResult<Vec> negate(Arena& arena, const Vec& v) {
  // 0 - v with a zero that needs no allocation.
  static constexpr int64_t kZero = 0;
  Vec zero;
  zero.len = 1;
  zero.data = intData(&kZero);
  zero.kind = Kind::int_;
  zero.scalar = true;
  return arith(arena, ArithOp::sub, zero, v);
}

}  // namespace quendra
