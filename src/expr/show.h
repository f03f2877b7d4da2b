// Expressions as messages show them: in the language they were written in,
// cut to a bound, built without allocating so that reporting a failure can
// never fail itself.
#pragma once

#include <cstddef>
#include <span>

#include "base/bytes.h"
#include "expr/expr.h"

namespace quendra {

// The most bytes of one shown text; a longer text is cut at a character
// boundary and ends in "…" (3 bytes more).
constexpr size_t kShownBytes = 120;

// A text of at most kShownBytes bytes in its own storage. What does not fit
// is dropped, and the text then ends in "…". view() stays valid while the
// Shown lives and is not written to.
class Shown {
 public:
  // The most operand words worth passing to showExpr: a longer list would
  // not fit the bound.
  static constexpr size_t kMaxWords = 16;
  void put(Bytes s);
  // A quoted name or text: q, s with each q doubled, q.
  void putQuoted(char q, Bytes s);
  bool cut() const { return cut_; }
  Bytes view() const { return Bytes(buf_, len_); }

 private:
  char buf_[kShownBytes + 3];
  size_t len_ = 0;
  bool cut_ = false;
};

// Writes node i of e as the expression language reads it: names as written
// (in double quotes when they were quoted), literals, operators between
// their operands (an operand that is an operation itself in parentheses),
// functions by their names. With `words`, the node's own operands are
// shown as those words instead, in evaluation order (a then b, or the
// listed operands); "…" stands for an operand past the last word.
void showExpr(Shown& out, const Expr& e, uint32_t i, std::span<const Bytes> words = {});

}  // namespace quendra
