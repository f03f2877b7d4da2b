// Expression evaluation over whole vectors.
//
// One evaluator serves every context an expression can be read in; the
// context only decides what an identifier means. `Cx` must provide
//   EvalResult<Vec> resolve(Bytes name);
// which returns the identifier's vector (one value per row, or a scalar) or
// an evaluation error, and may provide
//   EvalResult<Vec> resolveAt(uint8_t alias, Bytes name);
// for identifiers that name a column of another table (see Node), and
//   void note(const Expr& e, uint32_t i, std::span<const Vec> ops);
// which hears of node i's kernel failing with TypeMismatch or BadLiteral,
// with the operands it was given (so that a message can say what the
// expression met). Each node becomes one kernel call over all rows;
// operand a is evaluated completely before operand b, there is no
// short-circuit, and the first error ends the evaluation unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "base/arena.h"
#include "expr/expr.h"
#include "vec/kernels.h"
#include "vec/vec.h"

namespace quendra {

// A literal node (int_, float_, string, boolean, null_lit) as a scalar.
// BadLiteral for an integer outside 64 bits or a float text with a second
// point. A string scalar refers to the node's text without copying it.
[[nodiscard]] EvalResult<Vec> evalLiteral(Arena& arena, const Node& n);

// The kernel of an operator node applied to its operands' vectors (b is
// ignored for the unary tags neg, not_, is_null and is_not_null).
[[nodiscard]] EvalResult<Vec> evalOp(Arena& arena, Tag tag, const Vec& a, const Vec& b);

// A case_, coalesce, in or not_in node over its operands' vectors, in list
// order: CASE keeps the value of the first true condition (null without
// one), COALESCE the first non-null value, IN is the OR of equalities.
[[nodiscard]] EvalResult<Vec> evalList(Arena& arena, Tag tag, std::span<const Vec> ops);

// A like .. not_ilike, abs or part node over its operand's vector.
[[nodiscard]] EvalResult<Vec> evalUnary(Arena& arena, const Node& n, const Vec& a);

// A date_diff node over its start's and end's vectors.
[[nodiscard]] EvalResult<Vec> evalDateDiff(Arena& arena, const Node& n, const Vec& a, const Vec& b);

// A zoned_text node compared with `other`: its instant against a
// timestamp, its text against anything else.
[[nodiscard]] EvalResult<Vec> zonedText(Arena& arena, const Node& n, const Vec& other);

// r, the answer of node i's kernel to operands ops; a failure of the
// expression's own making is told to a context that takes note of it.
template <class Cx>
[[nodiscard]] EvalResult<Vec> noted(Cx& cx, const Expr& e, uint32_t i, EvalResult<Vec> r, std::span<const Vec> ops) {
  if constexpr (requires { cx.note(e, i, ops); })
    if (!r && (r.error() == EvalErr::TypeMismatch || r.error() == EvalErr::BadLiteral)) cx.note(e, i, ops);
  return r;
}

template <class Cx>
[[nodiscard]] EvalResult<Vec> evalNode(Arena& arena, const Expr& e, uint32_t i, Cx& cx) {
  const Node& n = e[i];
  // A context may answer a whole subtree at once (one column's few
  // values, each evaluated once).
  if constexpr (requires { cx.shortcut(e, i); })
    if (n.tag != Tag::ident)
      if (std::optional<Vec> v = TRY(cx.shortcut(e, i))) return *v;
  switch (n.tag) {
    case Tag::case_:
    case Tag::coalesce:
    case Tag::in:
    case Tag::not_in:
    case Tag::substring:
    case Tag::concat: {
      auto list = e.list(n);
      Vec* ops = arena.make<Vec>(list.size());
      if (!ops) return std::unexpected(EvalErr::OutOfMemory);
      const bool listed = n.tag == Tag::in || n.tag == Tag::not_in;
      for (size_t k = 0; k < list.size(); ++k)
        ops[k] = listed && k && e[list[k]].tag == Tag::zoned_text ? TRY(zonedText(arena, e[list[k]], ops[0]))
                                                                  : TRY(evalNode(arena, e, list[k], cx));
      return noted(cx, e, i, evalList(arena, n.tag, {ops, list.size()}), {ops, list.size()});
    }
    case Tag::like:
    case Tag::not_like:
    case Tag::ilike:
    case Tag::not_ilike:
    case Tag::abs:
    case Tag::part:
    case Tag::upper:
    case Tag::lower:
    case Tag::trim:
    case Tag::length:
    case Tag::round:
    case Tag::floor:
    case Tag::ceil:
    case Tag::local: {
      Vec a = TRY(evalNode(arena, e, n.a, cx));
      return noted(cx, e, i, evalUnary(arena, n, a), {&a, 1});
    }
    case Tag::ident:
      // A column of another table than the expression's own, in contexts
      // that have tables.
      if constexpr (requires { cx.resolveAt(uint8_t{}, n.text); })
        if (n.a) return cx.resolveAt(static_cast<uint8_t>(n.a - 1), n.text);
      return cx.resolve(n.text);
    case Tag::int_:
    case Tag::float_:
    case Tag::string:
    case Tag::boolean:
    case Tag::null_lit:
    case Tag::zoned_text: return noted(cx, e, i, evalLiteral(arena, n), {});
    case Tag::neg:
    case Tag::not_:
    case Tag::is_null:
    case Tag::is_not_null: {
      Vec a = TRY(evalNode(arena, e, n.a, cx));
      return noted(cx, e, i, evalOp(arena, n.tag, a, a), {&a, 1});
    }
    case Tag::date_diff: {
      Vec a = TRY(evalNode(arena, e, n.a, cx));
      Vec b = TRY(evalNode(arena, e, n.b, cx));
      const Vec ops[2] = {a, b};
      return noted(cx, e, i, evalDateDiff(arena, n, a, b), ops);
    }
    default: break;
  }
  Vec a = TRY(evalNode(arena, e, n.a, cx));
  Vec b = e[n.b].tag == Tag::zoned_text ? TRY(zonedText(arena, e[n.b], a)) : TRY(evalNode(arena, e, n.b, cx));
  const Vec ops[2] = {a, b};
  return noted(cx, e, i, evalOp(arena, n.tag, a, b), ops);
}

template <class Cx>
[[nodiscard]] EvalResult<Vec> evalExpr(Arena& arena, const Expr& e, Cx& cx) {
  return evalNode(arena, e, e.root, cx);
}

// Row (or group) indices as the executor passes them on: the ascending
// entries of idx, or every index 0 .. n-1 when idx is null, which spares
// the common unfiltered query a full-length index list. An empty list
// therefore never has a null idx.
struct Sel {
  const uint32_t* idx = nullptr;
  size_t n = 0;

  bool all() const { return idx == nullptr; }
  uint32_t at(size_t k) const { return idx ? idx[k] : static_cast<uint32_t>(k); }
};

// The ascending positions 0 .. n-1 at which mask is true and not null (a
// scalar mask applies its one value everywhere). TypeMismatch unless the
// mask is bool or a null scalar.
[[nodiscard]] EvalResult<std::span<uint32_t>> selection(Arena& arena, const Vec& mask, size_t n);

// The entries of s that are also in the ascending list `keep`, in one merge
// pass; the result is ascending. May return `keep` itself.
[[nodiscard]] EvalResult<Sel> intersect(Arena& arena, Sel s, std::span<const uint32_t> keep);

}  // namespace quendra
