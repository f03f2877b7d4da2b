// Internal to the kernels: turning per-call facts into template flags, so
// that each kernel's inner loop is specialised and free of per-row
// decisions about operand shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "vec/kernels.h"
#include "vec/vec.h"

namespace quendra::loops {

using Yes = std::true_type;
using No = std::false_type;

// Calls f(AS, BS, Masked) with std::bool_constant arguments: AS / BS say
// that operand a / b is a scalar broadcast over a column, Masked that the
// result carries a mask. When both operands are scalars m is 1 and plain
// indexing reads entry 0 of each, so that case shares the column-column
// instantiation.
template <class F>
inline decltype(auto) byShape(const Vec& a, const Vec& b, bool masked, F&& f) {
  bool as = a.scalar && !b.scalar;
  bool bs = b.scalar && !a.scalar;
  if (masked) {
    if (as) return f(Yes{}, No{}, Yes{});
    if (bs) return f(No{}, Yes{}, Yes{});
    return f(No{}, No{}, Yes{});
  }
  if (as) return f(Yes{}, No{}, No{});
  if (bs) return f(No{}, Yes{}, No{});
  return f(No{}, No{}, No{});
}

// x op y for any totally ordered type, with the NaN rule of floatOrder for
// doubles: every comparison is phrased through < and > only.
template <vec::CmpOp Op, class T>
inline bool ordCmp(T x, T y) {
  if constexpr (Op == vec::CmpOp::eq) return !(x < y) & !(x > y);
  if constexpr (Op == vec::CmpOp::ne) return (x < y) | (x > y);
  if constexpr (Op == vec::CmpOp::lt) return x < y;
  if constexpr (Op == vec::CmpOp::le) return !(x > y);
  if constexpr (Op == vec::CmpOp::gt) return x > y;
  if constexpr (Op == vec::CmpOp::ge) return !(x < y);
}

// Calls f(integral_constant<CmpOp, op>) so the comparison becomes a
// template argument.
template <class F>
inline decltype(auto) byCmpOp(vec::CmpOp op, F&& f) {
  using C = vec::CmpOp;
  switch (op) {
    case C::eq: return f(std::integral_constant<C, C::eq>{});
    case C::ne: return f(std::integral_constant<C, C::ne>{});
    case C::lt: return f(std::integral_constant<C, C::lt>{});
    case C::le: return f(std::integral_constant<C, C::le>{});
    case C::gt: return f(std::integral_constant<C, C::gt>{});
    case C::ge: break;
  }
  return f(std::integral_constant<C, C::ge>{});
}

// A result vector over freshly allocated storage.
inline Vec result(Kind kind, OutLen shape, const uint8_t* nulls, Data data) {
  Vec v;
  v.len = shape.n;
  v.nulls = nulls;
  v.data = data;
  v.kind = kind;
  v.scalar = shape.scalar;
  return v;
}

}  // namespace quendra::loops
