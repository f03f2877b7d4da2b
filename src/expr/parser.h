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
  BadExpression,  // the text does not form an expression
  OutOfMemory,
};

// Parentheses, NOT and unary minus may nest this deep; deeper text is
// BadExpression rather than a risk to the stack.
constexpr int kMaxExprDepth = 256;

enum class TokKind : uint8_t { ident, int_, float_, string, op, lparen, rparen, eof };

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
};

// Parses `src` as one expression. ident, int and float node texts point into
// `src`, which must outlive the result; everything else lives in `arena`.
[[nodiscard]] std::expected<Expr, ParseErr> parse(Arena& arena, Bytes src);

}  // namespace quendra
