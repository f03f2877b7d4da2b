// Predicates as boolean vectors: one value per base row for a where
// predicate, one per group for a having predicate. Nulls propagate by the
// kernels' three-valued logic; the caller keeps only true positions.
#include "exec/exec.h"
#include "expr/show.h"
#include "vec/loops.h"
#include "vec/time.h"

namespace quendra {
namespace {

// A literal compared with `left`: a text that the query's zone reads as a
// wall-clock time stands for its instant against a timestamp.
EvalResult<Vec> literalVec(Arena& arena, const Literal& l, const Vec& left) {
  if (l.instant && left.kind == Kind::timestamp) return scalarTimestamp(arena, *l.instant);
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
  Vec acc = TRY(compare(arena, vec::CmpOp::eq, left, TRY(literalVec(arena, values[0], left))));
  for (size_t i = 1; i < values.size(); ++i) {
    Vec eq = TRY(compare(arena, vec::CmpOp::eq, left, TRY(literalVec(arena, values[i], left))));
    acc = TRY(logic(arena, false, acc, eq));
  }
  return acc;
}

EvalResult<Vec> rangeVec(Arena& arena, const Vec& v, int64_t start, int64_t end, bool end_is_date) {
  if (v.kind == Kind::date && !v.scalar) {
    // The days whose midnight lies in the range, compared as days: one
    // pass instead of two widened comparisons and their AND.
    auto floorDay = [](int64_t us) { return us / kMicrosPerDay - (us % kMicrosPerDay < 0); };
    auto ceilDay = [](int64_t us) { return us / kMicrosPerDay + (us % kMicrosPerDay > 0); };
    const int64_t lo = ceilDay(start), hi = end_is_date ? ceilDay(end) - 1 : floorDay(end);
    uint8_t* out = arena.make<uint8_t>(v.len);
    if (!out) return std::unexpected(EvalErr::OutOfMemory);
    const int64_t* __restrict x = v.data.ints;
    for (size_t r = 0; r < v.len; ++r) out[r] = x[r] >= lo && x[r] <= hi;
    return column(Kind::bool_, v.len, v.nulls, boolData(out));
  }
  Vec lower = TRY(compare(arena, vec::CmpOp::ge, v, TRY(scalarTimestamp(arena, start))));
  Vec upper = TRY(compare(arena, end_is_date ? vec::CmpOp::lt : vec::CmpOp::le, v, TRY(scalarTimestamp(arena, end))));
  return logic(arena, true, lower, upper);
}

// An operator as messages write it.
Bytes cmpWord(CmpOp op) {
  switch (op) {
    case CmpOp::eq: return "=";
    case CmpOp::ne: return "<>";
    case CmpOp::lt: return "<";
    case CmpOp::le: return "<=";
    case CmpOp::gt: return ">";
    case CmpOp::ge: return ">=";
    case CmpOp::like: return "LIKE";
    case CmpOp::not_like: return "NOT LIKE";
    case CmpOp::ilike: return "ILIKE";
    case CmpOp::not_ilike: return "NOT ILIKE";
    case CmpOp::in: return "IN";
    case CmpOp::not_in: return "NOT IN";
    case CmpOp::is_null: return "IS NULL";
    case CmpOp::is_not_null: return "IS NOT NULL";
  }
  return {};
}

// The kind of literal l compared with `left`, as messages name it.
Bytes literalWord(const Literal& l, const Vec& left) {
  if (l.instant && left.kind == Kind::timestamp) return "timestamp";
  switch (l.tag) {
    case Literal::Tag::null: break;
    case Literal::Tag::boolean: return "boolean";
    case Literal::Tag::int_: return "integer";
    case Literal::Tag::float_: return "float";
    case Literal::Tag::string: return "text";
  }
  return "null";
}

}  // namespace

EvalResult<Vec> cmpVec(Arena& arena, const Cmp& c, const Vec& left) {
  switch (c.op) {
    case CmpOp::eq:
    case CmpOp::ne:
    case CmpOp::lt:
    case CmpOp::le:
    case CmpOp::gt:
    case CmpOp::ge:
      // The first six operators are the kernel's, in the same order.
      return compare(arena, static_cast<vec::CmpOp>(c.op), left, TRY(literalVec(arena, c.values[0], left)));
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
      return like(arena, left, TRY(literalVec(arena, c.values[0], left)), ci, neg);
    }
  }
  return std::unexpected(EvalErr::TypeMismatch);
}

Result<Sel> keepTrue(Exec& ex, Sel sel, const Vec& mask, size_t n) {
  // A true scalar keeps everything, without writing an index list.
  if (mask.kind == Kind::bool_ && mask.scalar && !mask.isNull(0) && mask.boolAt(0)) return sel;
  auto keep = selection(ex.arena, mask, n);
  if (!keep) return std::unexpected(ex.lift(keep.error()));
  auto out = intersect(ex.arena, sel, *keep);
  if (!out) return std::unexpected(ex.lift(out.error()));
  return *out;
}

Result<std::pair<int64_t, int64_t>> Exec::rangeEnds(const Range& r, Kind kind) {
  std::optional<int64_t> start = parseTimestamp(r.start);
  if (!start) return diag.fail(Err::Invalid, {"bad time_range start '", r.start, "'"});
  std::optional<int64_t> end = parseTimestamp(r.end);
  if (!end) return diag.fail(Err::Invalid, {"bad time_range end '", r.end, "'"});
  // Texts read by parseTimestamp lie within years -999..9999, so a day
  // more cannot overflow.
  std::pair<int64_t, int64_t> out{range_from ? *range_from : *start, r.end_is_date ? *end + kMicrosPerDay : *end};
  // The texts are wall-clock times of the query's zone: against a
  // timestamp, their instants.
  if (plan.zone && kind == Kind::timestamp) {
    ZoneCursor c(*plan.zone);
    if (out.first != INT64_MIN) out.first = c.toUtc(out.first);  // INT64_MIN: every row before the end
    out.second = c.toUtc(out.second);
  }
  return out;
}

Result<Vec> Exec::rangeMask(const Pred& p) {
  const Bound& b = p.range.b;
  const Expr& e = b.e;
  if (e.count == 1 && e[e.root].tag == Tag::ident && (Domain::forced || base.nrows >= 64)) {
    std::optional<Domain> d = TRY(domainOf(identAlias(e[e.root], b.alias), e[e.root].text, true));
    if (d && d->values.kind == Kind::date) {
      auto [start, end] = TRY(rangeEnds(p.range, Kind::date));
      auto per = rangeVec(arena, d->values, start, end, p.range.end_is_date);
      if (!per) return std::unexpected(lift(per.error()));
      return liftEval(answersAt(*per, *d));
    }
  }
  return evalPred(p);
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
    case Pred::Tag::expr: {
      Vec v = TRY(evalBound(p.expr));
      if (v.kind == Kind::bool_ || v.isNullScalar()) return v;
      // Not a condition: what would fail later as a selection is said of
      // the expression here.
      Shown what;
      showExpr(what, p.expr.e, p.expr.e.root);
      Shown kinds;
      kinds.put(kindWord(v));
      kinds.put(", not boolean");
      return std::unexpected(report(EvalErr::TypeMismatch, "", what.view(), "", kinds.view()));
    }
    case Pred::Tag::range: {
      // The bound first, so a missing column is reported before bad texts.
      Vec v = TRY(evalBound(p.range.b));
      auto [start, end] = TRY(rangeEnds(p.range, v.kind));
      auto out = rangeVec(arena, v, start, end, p.range.end_is_date);
      if (!out) return std::unexpected(lift(out.error()));
      return *out;
    }
    case Pred::Tag::cmp: break;
  }
  const Cmp& c = p.cmp;
  Vec left = c.lhs.tag == Operand::Tag::measure ? TRY(measureVec(c.lhs.measure, 0)) : TRY(evalBound(c.lhs.dim));
  auto out = cmpVec(arena, c, left);
  if (!out) return std::unexpected(out.error() == EvalErr::OutOfMemory ? Err::OutOfMemory : cmpFailed(out.error(), c, left));
  return *out;
}

Err Exec::cmpFailed(EvalErr e, const Cmp& c, const Vec& left) {
  Shown kinds;
  kinds.put(kindWord(left));
  kinds.put(" ");
  kinds.put(cmpWord(c.op));
  const bool listed = c.op == CmpOp::in || c.op == CmpOp::not_in;
  kinds.put(listed ? " (" : " ");
  for (size_t i = 0; i < c.values.size(); ++i) {
    if (i) kinds.put(", ");
    kinds.put(literalWord(c.values[i], left));
  }
  if (listed) kinds.put(")");
  return report(e, "filter on ", c.field, "", kinds.view());
}

}  // namespace quendra
