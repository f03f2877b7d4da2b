// Predicates: what filters become once planned. Row predicates go to a
// plan's `where`, predicates on measures to its `having`.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "base/bytes.h"
#include "plan/model.h"

namespace quendra {

struct Literal {
  enum class Tag : uint8_t { null, boolean, int_, float_, string };
  Tag tag = Tag::null;
  bool b = false;
  int64_t i = 0;
  double f = 0;
  Bytes s;
  // A text read as a wall-clock time of the query's time zone: its
  // instant, which it stands for against a timestamp.
  std::optional<int64_t> instant;
};

enum class CmpOp : uint8_t {
  eq,
  ne,
  lt,
  le,
  gt,
  ge,
  like,
  not_like,
  ilike,
  not_ilike,
  in,
  not_in,
  is_null,
  is_not_null,
};

// The left side of a comparison: a dimension expression, or a measure by
// its index in the model's (and so the plan's) measure list.
struct Operand {
  enum class Tag : uint8_t { dim, measure };
  Tag tag = Tag::dim;
  Bound dim;
  uint32_t measure = 0;
};

struct Cmp {
  Operand lhs;
  Bytes field;                      // as the filter names it, for messages
  std::span<const Literal> values;  // none for IS [NOT] NULL, one or more for IN
  CmpOp op = CmpOp::eq;
};

// A time window on a time dimension; the texts are kept as written.
struct Range {
  Bound b;
  Bytes start;
  Bytes end;
  bool end_is_date = false;  // end is a bare YYYY-MM-DD, so the whole day counts
};

struct Pred {
  enum class Tag : uint8_t { all, any, cmp, expr, range };
  Tag tag = Tag::expr;
  std::span<const Pred> children;  // all, any
  Cmp cmp;                         // cmp
  Bound expr;                      // expr: the expression is the condition
  Range range;                     // range
};

// What kinds of operand a predicate reads.
struct PredKind {
  bool dim = false;
  bool measure = false;
};

// Adds the kinds `p` reads to `kind`.
void kindOf(const Pred& p, PredKind& kind);

// Bit k set when `p` reads columns of alias k (a measure operand counts as
// the base table).
uint32_t predAliases(const Pred& p);

}  // namespace quendra
