// Rendering expressions as SQL text.
//
// The rendering is fully parenthesised, so the SQL needs no knowledge of
// operator precedence, and is the same for both dialects except for quoting.
// What an identifier becomes is up to a context object with
//   Result<void> writeIdent(Bytes name, Text& out)
// (a column of one table, or another measure expanded in place), and for
// identifiers that name a column of another table (see Node)
//   Result<void> writeIdentAt(uint8_t alias, Bytes name, Text& out).
#pragma once

#include <cstdint>

#include "base/err.h"
#include "base/text.h"
#include "expr/expr.h"

namespace quendra {

// postgres: PostgreSQL 15 and later.
enum class Dialect : uint8_t { duckdb = 0, spark = 1, postgres = 2 };

// PostgreSQL cuts identifiers past this many bytes short, so two long names
// could silently become one.
inline constexpr size_t kPostgresNameMax = 63;

// "INTERVAL n UNIT"; PostgreSQL reads an interval only from quoted text.
[[nodiscard]] Result<void> writeInterval(Dialect d, Text& out, int64_t n, Bytes unit);

// The start of a CASE on whether `x` is a timestamp, and the text after x:
// "(CASE WHEN typeof(" x ") LIKE 'TIMESTAMP%' THEN " in the engine's words.
Bytes typeofHead(Dialect d);
Bytes isTimestampTail(Dialect d);
Bytes isDateTail(Dialect d);

// A quoted identifier: " for duckdb and postgres, ` for spark, the quote character doubled
// inside. Dots are not split: the name is one identifier. Fails (WriteFailed,
// with out.failure set) for a name holding a NUL byte, in duckdb for the
// empty name (DuckDB cannot read ""), and in spark for one holding "${",
// which Spark substitutes before parsing; in postgres for the empty name and
// for one longer than kPostgresNameMax bytes.
[[nodiscard]] Result<void> quote(Dialect d, Text& out, Bytes name);

// A string literal holding exactly `text`. duckdb doubles quotes and passes
// every other byte through. Spark reads backslash escapes inside literals
// (and older releases read '' as two adjacent literals), so spark literals
// escape backslashes as \\ and quotes as \', and write the "$" of "${" as
// \u0024 so that Spark's variable substitution cannot touch the value.
// Fails (WriteFailed, with out.failure set) for text holding a NUL byte.
[[nodiscard]] Result<void> writeStringLiteral(Dialect d, Text& out, Bytes text);

// A LIKE pattern as a string literal. Patterns know only % and _; Spark's
// LIKE also reads a backslash as an escape, so in spark each backslash is
// escaped to stand for itself.
[[nodiscard]] Result<void> writeLikePattern(Dialect d, Text& out, Bytes pattern);

// "(" + node a + " " + op + " " + node b + ")".
template <class Ctx>
[[nodiscard]] Result<void> writeBin(const Expr& e, uint32_t a, uint32_t b, Bytes op, Text& out, Ctx& ctx);

// Writes node `index` of `e` and its operands. The tree is walked with an
// explicit stack (from out.arena): a long chain such as a + a + ... + a is
// as deep as it is long, and must not exhaust the machine stack.
template <class Ctx>
[[nodiscard]] Result<void> writeNode(const Expr& e, uint32_t index, Text& out, Ctx& ctx);

template <class Ctx>
[[nodiscard]] Result<void> writeSql(const Expr& e, Text& out, Ctx& ctx) {
  return writeNode(e, e.root, out, ctx);
}

namespace render_detail {

bool isLeaf(Tag t);
// How many operands node n has, and the k-th of them.
uint32_t operandCount(Dialect d, const Expr& e, const Node& n);
uint32_t operand(Dialect d, const Expr& e, const Node& n, uint32_t k);
// The text before operand k of n, or after the last one when k is the
// operand count.
[[nodiscard]] Result<void> writePiece(Dialect d, const Expr& e, const Node& n, uint32_t k, Text& out);
[[nodiscard]] Result<void> writeLeaf(Dialect d, const Node& n, Text& out);

}  // namespace render_detail

// An identifier through the context: a column of another table (see Node)
// by writeIdentAt, where the context has tables.
template <class Ctx>
[[nodiscard]] Result<void> writeIdentOf(const Node& n, Text& out, Ctx& ctx) {
  if constexpr (requires { ctx.writeIdentAt(uint8_t{}, n.text, out); })
    if (n.a) return ctx.writeIdentAt(static_cast<uint8_t>(n.a - 1), n.text, out);
  return ctx.writeIdent(n.text, out);
}

template <class Ctx>
Result<void> writeNode(const Expr& e, uint32_t index, Text& out, Ctx& ctx) {
  using namespace render_detail;
  const Node& top = e[index];
  if (isLeaf(top.tag)) {
    if (top.tag == Tag::ident) return writeIdentOf(top, out, ctx);
    return writeLeaf(ctx.dialect(), top, out);
  }
  struct Frame {
    uint32_t node;
    uint32_t stage;  // the next operand to write; the operand count: done
  };
  // Operands precede their node, so no path is longer than index + 1 nodes.
  Frame* stack = out.arena->make<Frame>(static_cast<size_t>(index) + 1);
  if (!stack) return std::unexpected(Err::OutOfMemory);
  size_t depth = 0;
  stack[depth++] = {index, 0};
  while (depth) {
    Frame& f = stack[depth - 1];
    const Node& n = e[f.node];
    if (isLeaf(n.tag)) {
      if (n.tag == Tag::ident)
        TRY(writeIdentOf(n, out, ctx));
      else
        TRY(writeLeaf(ctx.dialect(), n, out));
      --depth;
      continue;
    }
    const uint32_t k = f.stage;
    TRY(writePiece(ctx.dialect(), e, n, k, out));
    if (k == operandCount(ctx.dialect(), e, n)) {
      --depth;
    } else {
      f.stage = k + 1;
      const uint32_t c = operand(ctx.dialect(), e, n, k);
      // A bare NULL has no type in Spark, which a CASE condition must have
      // (boolean); both engines read the cast as never true.
      if (n.tag == Tag::case_ && k % 2 == 0 && k + 1 < operandCount(ctx.dialect(), e, n) && e[c].tag == Tag::null_lit) {
        TRY(out.put("CAST(NULL AS BOOLEAN)"));
        continue;
      }
      stack[depth++] = {c, 0};
    }
  }
  return {};
}

template <class Ctx>
Result<void> writeBin(const Expr& e, uint32_t a, uint32_t b, Bytes op, Text& out, Ctx& ctx) {
  TRY(out.put('('));
  TRY(writeNode(e, a, out, ctx));
  TRY(out.put(' '));
  TRY(out.put(op));
  TRY(out.put(' '));
  TRY(writeNode(e, b, out, ctx));
  return out.put(')');
}

}  // namespace quendra
