// Predicates as boolean vectors: one value per base row for a where
// predicate, one per group for a having predicate. Nulls propagate by the
// kernels' three-valued logic; the caller keeps only true positions.
#include "exec/exec.h"
#include "vec/loops.h"
#include "vec/time.h"

namespace quendra {
namespace {

EvalResult<Vec> literalVec(Arena& arena, const Literal& l) {
  switch (l.tag) {
    case Literal::Tag::null: break;
    case Literal::Tag::boolean: return scalarBool(arena, l.b);
    case Literal::Tag::int_: return scalarInt(arena, l.i);
    case Literal::Tag::float_: return scalarFloat(arena, l.f);
    case Literal::Tag::string: return scalarStr(arena, l.s);
  }
  return nullVec(arena, Kind::int_, 1, true);
}

// The comparison of left with each literal in turn, OR-ed in list order.
EvalResult<Vec> anyEqual(Arena& arena, const Vec& left, std::span<const Literal> values) {
  Vec acc = TRY(compare(arena, vec::CmpOp::eq, left, TRY(literalVec(arena, values[0]))));
  for (size_t i = 1; i < values.size(); ++i) {
    Vec eq = TRY(compare(arena, vec::CmpOp::eq, left, TRY(literalVec(arena, values[i]))));
    acc = TRY(logic(arena, false, acc, eq));
  }
  return acc;
}

EvalResult<Vec> cmpVec(Arena& arena, const Cmp& c, const Vec& left) {
  switch (c.op) {
    case CmpOp::eq:
    case CmpOp::ne:
    case CmpOp::lt:
    case CmpOp::le:
    case CmpOp::gt:
    case CmpOp::ge:
      // The first six operators are the kernel's, in the same order.
      return compare(arena, static_cast<vec::CmpOp>(c.op), left, TRY(literalVec(arena, c.values[0])));
    case CmpOp::in: return anyEqual(arena, left, c.values);
    case CmpOp::not_in: return not_(arena, TRY(anyEqual(arena, left, c.values)));
    case CmpOp::is_null: return isNull(arena, left, false);
    case CmpOp::is_not_null: return isNull(arena, left, true);
    case CmpOp::like:
    case CmpOp::not_like:
    case CmpOp::ilike:
    case CmpOp::not_ilike: {
      bool ci = c.op == CmpOp::ilike || c.op == CmpOp::not_ilike;
      bool neg = c.op == CmpOp::not_like || c.op == CmpOp::not_ilike;
      return like(arena, left, TRY(literalVec(arena, c.values[0])), ci, neg);
    }
  }
  return std::unexpected(EvalErr::TypeMismatch);
}

EvalResult<Vec> rangeVec(Arena& arena, const Vec& v, int64_t start, int64_t end, bool end_is_date) {
  Vec lower = TRY(compare(arena, vec::CmpOp::ge, v, TRY(scalarTimestamp(arena, start))));
  Vec upper = TRY(compare(arena, end_is_date ? vec::CmpOp::lt : vec::CmpOp::le, v, TRY(scalarTimestamp(arena, end))));
  return logic(arena, true, lower, upper);
}

// The positions of sel whose row holds a non-null x with x op c, appended
// to out at k; returns the new k. Where most rows go the same way a branch
// is cheapest, as it is almost always predicted and skips the store;
// otherwise every position is stored and the count moves on only past
// kept ones, which no data can mispredict. Each block of rows takes the way
// that suited the block before it.
template <vec::CmpOp Op, bool All, bool Masked, class T, class X>
size_t keepWhere(Sel sel, const X* __restrict x, const uint8_t* __restrict nulls, T c, uint32_t* __restrict out) {
  constexpr size_t kBlock = 1024;
  size_t k = 0;
  bool branchy = true;
  for (size_t from = 0; from < sel.n; from += kBlock) {
    const size_t to = sel.n - from < kBlock ? sel.n : from + kBlock;
    const size_t before = k;
    auto keep = [&](uint32_t row) {
      bool keep = loops::ordCmp<Op>(static_cast<T>(x[row]), c);
      if constexpr (Masked) keep &= !nulls[row];
      return keep;
    };
    if (branchy) {
      for (size_t i = from; i < to; ++i) {
        uint32_t row = All ? static_cast<uint32_t>(i) : sel.idx[i];
        if (keep(row)) out[k++] = row;
      }
    } else {
      for (size_t i = from; i < to; ++i) {
        uint32_t row = All ? static_cast<uint32_t>(i) : sel.idx[i];
        out[k] = row;
        k += keep(row);
      }
    }
    const size_t kept = k - before, n = to - from;
    branchy = kept * 16 < n || kept * 16 > n * 15;
  }
  return k;
}

template <class T, class X>
size_t keepWhere(vec::CmpOp op, Sel sel, const X* x, const uint8_t* nulls, T c, uint32_t* out) {
  return loops::byCmpOp(op, [&](auto o) {
    constexpr vec::CmpOp Op = decltype(o)::value;
    if (sel.all())
      return nulls ? keepWhere<Op, true, true>(sel, x, nulls, c, out) : keepWhere<Op, true, false>(sel, x, nulls, c, out);
    return nulls ? keepWhere<Op, false, true>(sel, x, nulls, c, out) : keepWhere<Op, false, false>(sel, x, nulls, c, out);
  });
}

// A number column compared with a number: the kept rows come straight
// from the column, with no boolean vector in between.
bool numbersOnly(const Cmp& c, const Vec& left) {
  if (static_cast<int>(c.op) > static_cast<int>(CmpOp::ge) || left.scalar) return false;
  const Literal::Tag t = c.values[0].tag;
  return (left.kind == Kind::int_ || left.kind == Kind::float_) &&
         (t == Literal::Tag::int_ || t == Literal::Tag::float_);
}

// The same comparisons as the kernel's: two integers exactly, otherwise as
// doubles with its NaN rule.
size_t keepNumbers(const Cmp& c, const Vec& left, Sel sel, uint32_t* out) {
  const Literal& l = c.values[0];
  const vec::CmpOp op = static_cast<vec::CmpOp>(c.op);
  const double f = l.tag == Literal::Tag::int_ ? static_cast<double>(l.i) : l.f;
  if (left.kind == Kind::float_) return keepWhere(op, sel, left.data.floats, left.nulls, f, out);
  if (l.tag == Literal::Tag::int_) return keepWhere(op, sel, left.data.ints, left.nulls, l.i, out);
  return keepWhere(op, sel, left.data.ints, left.nulls, f, out);
}

}  // namespace

Result<Sel> keepTrue(Exec& ex, Sel sel, const Vec& mask, size_t n) {
  // A true scalar keeps everything, without writing an index list.
  if (mask.kind == Kind::bool_ && mask.scalar && !mask.isNull(0) && mask.boolAt(0)) return sel;
  auto keep = selection(ex.arena, mask, n);
  if (!keep) return std::unexpected(ex.lift(keep.error()));
  auto out = intersect(ex.arena, sel, *keep);
  if (!out) return std::unexpected(ex.lift(out.error()));
  return *out;
}

Result<Sel> Exec::narrow(const Pred& p, Sel sel) {
  if (p.tag == Pred::Tag::cmp && p.cmp.lhs.tag == Operand::Tag::dim) {
    Vec left = TRY(evalBound(p.cmp.lhs.dim));
    if (numbersOnly(p.cmp, left)) {
      // Room for every position, though only the kept ones are touched.
      uint32_t* out = arena.make<uint32_t>(sel.n + 1);
      if (!out) return std::unexpected(Err::OutOfMemory);
      return Sel{out, keepNumbers(p.cmp, left, sel, out)};
    }
    auto mask = cmpVec(arena, p.cmp, left);
    if (!mask) return std::unexpected(lift(mask.error()));
    return keepTrue(*this, sel, *mask, base.nrows);
  }
  return keepTrue(*this, sel, TRY(evalPred(p)), base.nrows);
}

Result<Vec> Exec::evalPred(const Pred& p) {
  switch (p.tag) {
    case Pred::Tag::all:
    case Pred::Tag::any: {
      Vec acc = TRY(evalPred(p.children[0]));
      for (size_t i = 1; i < p.children.size(); ++i) {
        Vec next = TRY(evalPred(p.children[i]));
        auto r = logic(arena, p.tag == Pred::Tag::all, acc, next);
        if (!r) return std::unexpected(lift(r.error()));
        acc = *r;
      }
      return acc;
    }
    case Pred::Tag::expr: return evalBound(p.expr);
    case Pred::Tag::range: {
      const Range& r = p.range;
      // The bound first, so a missing column is reported before bad texts.
      Vec v = TRY(evalBound(r.b));
      std::optional<int64_t> start = parseTimestamp(r.start);
      if (!start) return diag.fail(Err::Invalid, {"bad time_range start '", r.start, "'"});
      std::optional<int64_t> end = parseTimestamp(r.end);
      if (!end) return diag.fail(Err::Invalid, {"bad time_range end '", r.end, "'"});
      // Texts read by parseTimestamp lie within years -999..9999, so a day
      // more cannot overflow.
      int64_t e = r.end_is_date ? *end + kMicrosPerDay : *end;
      auto out = rangeVec(arena, v, range_from ? *range_from : *start, e, r.end_is_date);
      if (!out) return std::unexpected(lift(out.error()));
      return *out;
    }
    case Pred::Tag::cmp: break;
  }
  const Cmp& c = p.cmp;
  Vec left = c.lhs.tag == Operand::Tag::measure ? TRY(measureVec(c.lhs.measure, 0)) : TRY(evalBound(c.lhs.dim));
  auto out = cmpVec(arena, c, left);
  if (!out) return std::unexpected(lift(out.error()));
  return *out;
}

}  // namespace quendra
