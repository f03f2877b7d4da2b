// Lexer and recursive-descent parser for expression texts.
#pragma once

#include <cstdint>
#include <expected>

#include "base/arena.h"
#include "base/array.h"
#include "base/bytes.h"
#include "expr/expr.h"

namespace quendra {

enum class ParseErr : uint8_t {
  BadExpression,    // the text does not form an expression
  OutOfMemory,
  UnknownFunction,  // a name followed by "(" that is no function
  WrongArity,       // a function called with a number of arguments it does not take
  BadArgument,      // an argument that must be a literal of a kind or range is not
};

// What went wrong with a function call: its name as written, the number of
// arguments it takes (at least `min`, at most `max`) and how many it got.
struct ParseFail {
  Bytes function;
  uint32_t min = 0, max = 0, got = 0;
  Bytes why;  // BadArgument: what the argument must be
};

// Parentheses, NOT and unary minus may nest this deep; deeper text is
// BadExpression rather than a risk to the stack.
constexpr int kMaxExprDepth = 256;

enum class TokKind : uint8_t { ident, int_, float_, string, op, lparen, rparen, eof, comma, quoted };

struct Tok {
  Bytes text;
  TokKind kind = TokKind::eof;
};

struct Lexer {
  Bytes src;
  size_t pos = 0;
  Arena* arena = nullptr;  // holds unescaped string literals

  // The next token, or BadExpression / OutOfMemory.
  std::expected<Tok, ParseErr> next();
  // The text up to the closing `q` of a quoted token whose opening quote is
  // just before pos, with doubled quotes undone; moves past it. A copy in
  // the arena when `copy` or a quote was doubled, else a view of src.
  std::expected<Bytes, ParseErr> quoted(char q, bool copy);
};

// Parses `src` as one expression. ident, int and float node texts point into
// `src`, which must outlive the result; everything else lives in `arena`.
// On UnknownFunction and WrongArity, `fail` (when given) says which call.
[[nodiscard]] std::expected<Expr, ParseErr> parse(Arena& arena, Bytes src, ParseFail* fail = nullptr);

// False when the kinds that literals make visible cannot mix in a CASE,
// COALESCE, IN, LIKE, ABS, date part or DATE_DIFF: a string with a number, a boolean
// or a time, a boolean with a number, a condition that is no boolean. Such
// an expression fails however its columns are bound, so it is refused
// before any SQL is written.
[[nodiscard]] std::expected<bool, ParseErr> literalKindsFit(Arena& arena, const Expr& e);

}  // namespace quendra
