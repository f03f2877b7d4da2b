#include "expr/parser.h"

#include <cstring>

namespace quendra {
namespace {

inline bool isSpace(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }
inline bool isAlpha(unsigned char c) { return static_cast<unsigned>((c | 0x20) - 'a') < 26u; }
inline bool isDigit(unsigned char c) { return static_cast<unsigned>(c - '0') < 10u; }

std::unexpected<ParseErr> bad() { return std::unexpected(ParseErr::BadExpression); }

}  // namespace

std::expected<Tok, ParseErr> Lexer::next() {
  const size_t n = src.size();
  auto at = [&](size_t i) { return static_cast<unsigned char>(src[i]); };
  while (pos < n && isSpace(at(pos))) ++pos;
  if (pos >= n) return Tok{Bytes(), TokKind::eof};
  size_t start = pos;
  unsigned char c = at(pos);
  if (c == '_' || isAlpha(c)) {
    while (pos < n && (isAlpha(at(pos)) || isDigit(at(pos)) || at(pos) == '_' || at(pos) == '.')) ++pos;
    return Tok{src.substr(start, pos - start), TokKind::ident};
  }
  if (isDigit(c)) {
    bool dot = false;
    while (pos < n && (isDigit(at(pos)) || at(pos) == '.')) dot |= at(pos++) == '.';
    return Tok{src.substr(start, pos - start), dot ? TokKind::float_ : TokKind::int_};
  }
  ++pos;
  auto op = [&](size_t len) {
    pos = start + len;
    return Tok{src.substr(start, len), TokKind::op};
  };
  unsigned char d = pos < n ? at(pos) : 0;
  switch (c) {
    case '+': case '-': case '*': case '/': case '%':
      return op(1);
    case '=':
      return op(d == '=' ? 2 : 1);
    case '<':
      return op(d == '=' || d == '>' ? 2 : 1);
    case '>':
      return op(d == '=' ? 2 : 1);
    case '!':
      if (d != '=') return bad();
      return op(2);
    case '(':
      return Tok{src.substr(start, 1), TokKind::lparen};
    case ')':
      return Tok{src.substr(start, 1), TokKind::rparen};
    case '\'': {
      // Find the closing quote first, so the copy is allocated once at its
      // final size; '' inside the literal stands for one quote.
      size_t quotes = 0;
      size_t i = pos;
      for (;;) {
        const void* q = i < n ? std::memchr(src.data() + i, '\'', n - i) : nullptr;
        if (!q) return bad();
        i = static_cast<const char*>(q) - src.data();
        if (i + 1 < n && at(i + 1) == '\'') {
          ++quotes;
          i += 2;
          continue;
        }
        break;
      }
      size_t raw = i - pos;
      char* out = arena->make<char>(raw - quotes);
      if (!out) return std::unexpected(ParseErr::OutOfMemory);
      size_t k = 0;
      for (size_t j = pos; j < i; ++j) {
        out[k++] = src[j];
        if (at(j) == '\'') ++j;  // skip the second quote of a pair
      }
      pos = i + 1;
      return Tok{Bytes(out, k), TokKind::string};
    }
    default:
      return bad();
  }
}

namespace {

class Parser {
 public:
  Parser(Arena& arena, Bytes src) : arena_(arena) {
    lex_.src = src;
    lex_.arena = &arena;
  }

  std::expected<Expr, ParseErr> run() {
    TRY(advance());
    uint32_t root = TRY(parseOr());
    if (tok_.kind != TokKind::eof) return bad();
    return Expr{nodes_.ptr, static_cast<uint32_t>(nodes_.len), root};
  }

 private:
  using Index = std::expected<uint32_t, ParseErr>;

  std::expected<void, ParseErr> advance() {
    tok_ = TRY(lex_.next());
    return {};
  }

  Index add(Tag tag, Bytes text, uint32_t a = 0, uint32_t b = 0) {
    if (nodes_.len >= UINT32_MAX) return std::unexpected(ParseErr::OutOfMemory);
    if (!nodes_.push(arena_, Node{text, a, b, tag})) return std::unexpected(ParseErr::OutOfMemory);
    return static_cast<uint32_t>(nodes_.len - 1);
  }

  bool isKw(Bytes word) const { return tok_.kind == TokKind::ident && eqNoCase(tok_.text, word); }
  bool isOp(Bytes text) const { return tok_.kind == TokKind::op && tok_.text == text; }

  // Entering a parenthesis, NOT or unary minus: one level deeper.
  bool enter() { return ++depth_ <= kMaxExprDepth; }

  Index parseOr() {
    uint32_t left = TRY(parseAnd());
    while (isKw("OR")) {
      TRY(advance());
      uint32_t right = TRY(parseAnd());
      left = TRY(add(Tag::or_, {}, left, right));
    }
    return left;
  }

  Index parseAnd() {
    uint32_t left = TRY(parseNot());
    while (isKw("AND")) {
      TRY(advance());
      uint32_t right = TRY(parseNot());
      left = TRY(add(Tag::and_, {}, left, right));
    }
    return left;
  }

  Index parseNot() {
    if (!isKw("NOT")) return parseCmp();
    if (!enter()) return bad();
    TRY(advance());
    uint32_t operand = TRY(parseNot());
    --depth_;
    return add(Tag::not_, {}, operand);
  }

  Index parseCmp() {
    uint32_t left = TRY(parseAdd());
    if (tok_.kind == TokKind::op) {
      Tag tag;
      Bytes t = tok_.text;
      if (t == "=") tag = Tag::eq;
      else if (t == "!=" || t == "<>") tag = Tag::ne;
      else if (t == "<") tag = Tag::lt;
      else if (t == "<=") tag = Tag::le;
      else if (t == ">") tag = Tag::gt;
      else if (t == ">=") tag = Tag::ge;
      else return left;  // "==" and friends: the trailing token fails the parse
      TRY(advance());
      uint32_t right = TRY(parseAdd());
      return add(tag, {}, left, right);
    }
    if (isKw("IS")) {
      TRY(advance());
      Tag tag = Tag::is_null;
      if (isKw("NOT")) {
        TRY(advance());
        tag = Tag::is_not_null;
      }
      if (!isKw("NULL")) return bad();
      TRY(advance());
      return add(tag, {}, left);
    }
    return left;
  }

  Index parseAdd() {
    uint32_t left = TRY(parseMul());
    for (;;) {
      Tag tag;
      if (isOp("+")) tag = Tag::add;
      else if (isOp("-")) tag = Tag::sub;
      else return left;
      TRY(advance());
      uint32_t right = TRY(parseMul());
      left = TRY(add(tag, {}, left, right));
    }
  }

  Index parseMul() {
    uint32_t left = TRY(parseUnary());
    for (;;) {
      Tag tag;
      if (isOp("*")) tag = Tag::mul;
      else if (isOp("/")) tag = Tag::div;
      else if (isOp("%")) tag = Tag::mod;
      else return left;
      TRY(advance());
      uint32_t right = TRY(parseUnary());
      left = TRY(add(tag, {}, left, right));
    }
  }

  Index parseUnary() {
    if (!isOp("-")) return parsePrimary();
    if (!enter()) return bad();
    TRY(advance());
    uint32_t operand = TRY(parseUnary());
    --depth_;
    return add(Tag::neg, {}, operand);
  }

  Index parsePrimary() {
    Tok t = tok_;
    switch (t.kind) {
      case TokKind::int_:
      case TokKind::float_:
      case TokKind::string: {
        TRY(advance());
        Tag tag = t.kind == TokKind::int_ ? Tag::int_ : t.kind == TokKind::float_ ? Tag::float_ : Tag::string;
        return add(tag, t.text);
      }
      case TokKind::lparen: {
        if (!enter()) return bad();
        TRY(advance());
        uint32_t inner = TRY(parseOr());
        if (tok_.kind != TokKind::rparen) return bad();
        TRY(advance());
        --depth_;
        return inner;
      }
      case TokKind::ident: {
        TRY(advance());
        if (eqNoCase(t.text, "TRUE")) return add(Tag::boolean, {}, 1);
        if (eqNoCase(t.text, "FALSE")) return add(Tag::boolean, {}, 0);
        if (eqNoCase(t.text, "NULL")) return add(Tag::null_lit, {});
        return add(Tag::ident, t.text);
      }
      default:
        return bad();
    }
  }

  Arena& arena_;
  Lexer lex_;
  Tok tok_;
  Array<Node> nodes_;
  int depth_ = 0;
};

}  // namespace

std::expected<Expr, ParseErr> parse(Arena& arena, Bytes src) {
  Parser p(arena, src);
  return p.run();
}

}  // namespace quendra
