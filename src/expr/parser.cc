#include "expr/parser.h"

#include <charconv>

#include <cstring>
#include <optional>

#include "base/grain.h"

namespace quendra {
namespace {

inline bool isSpace(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }
inline bool isAlpha(unsigned char c) { return static_cast<unsigned>((c | 0x20) - 'a') < 26u; }
inline bool isDigit(unsigned char c) { return static_cast<unsigned>(c - '0') < 10u; }

std::unexpected<ParseErr> bad() { return std::unexpected(ParseErr::BadExpression); }

}  // namespace

std::expected<Bytes, ParseErr> Lexer::quoted(char q, bool copy) {
  // Find the closing quote first, so that a copy is allocated once at its
  // final size; a doubled quote inside stands for one.
  const size_t n = src.size();
  size_t quotes = 0;
  size_t i = pos;
  for (;;) {
    const void* hit = i < n ? std::memchr(src.data() + i, q, n - i) : nullptr;
    if (!hit) return bad();
    i = static_cast<const char*>(hit) - src.data();
    if (i + 1 < n && src[i + 1] == q) {
      ++quotes;
      i += 2;
      continue;
    }
    break;
  }
  Bytes text = src.substr(pos, i - pos);
  pos = i + 1;
  if (!copy && !quotes) return text;
  char* out = arena->make<char>(text.size() - quotes);
  if (!out && text.size() > quotes) return std::unexpected(ParseErr::OutOfMemory);
  size_t k = 0;
  for (size_t j = 0; j < text.size(); ++j) {
    out[k++] = text[j];
    if (text[j] == q) ++j;  // skip the second quote of a pair
  }
  return Bytes(out, k);
}

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
    case ',':
      return Tok{src.substr(start, 1), TokKind::comma};
    case '"': {
      // A quoted column name: never a keyword or a function, so a column
      // called "end" or "year" can still be named.
      Bytes text = TRY(quoted('"', false));
      if (text.empty()) return bad();
      return Tok{text, TokKind::quoted};
    }
    case ')':
      return Tok{src.substr(start, 1), TokKind::rparen};
    case '\'':
      return Tok{TRY(quoted('\'', true)), TokKind::string};
    default:
      return bad();
  }
}

namespace {

// The functions of the language: name, and how many arguments each takes.
struct Function {
  Bytes name;
  Tag tag;
  uint8_t part;
  uint32_t min, max;
};
constexpr Function kFunctions[] = {
    {"COALESCE", Tag::coalesce, 0, 1, UINT32_MAX},
    {"ABS", Tag::abs, 0, 1, 1},
    {"YEAR", Tag::part, static_cast<uint8_t>(DatePart::year), 1, 1},
    {"QUARTER", Tag::part, static_cast<uint8_t>(DatePart::quarter), 1, 1},
    {"MONTH", Tag::part, static_cast<uint8_t>(DatePart::month), 1, 1},
    {"DAY", Tag::part, static_cast<uint8_t>(DatePart::day), 1, 1},
    {"HOUR", Tag::part, static_cast<uint8_t>(DatePart::hour), 1, 1},
    {"MINUTE", Tag::part, static_cast<uint8_t>(DatePart::minute), 1, 1},
    {"ISODOW", Tag::part, static_cast<uint8_t>(DatePart::isodow), 1, 1},
    {"FISCAL_YEAR", Tag::part, static_cast<uint8_t>(DatePart::fiscal_year), 1, 1},
    {"FISCAL_QUARTER", Tag::part, static_cast<uint8_t>(DatePart::fiscal_quarter), 1, 1},
    {"SUBSTRING", Tag::substring, 0, 2, 3},
    {"UPPER", Tag::upper, 0, 1, 1},
    {"LOWER", Tag::lower, 0, 1, 1},
    {"LENGTH", Tag::length, 0, 1, 1},
    {"TRIM", Tag::trim, 0, 1, 1},
    {"CONCAT", Tag::concat, 0, 1, UINT32_MAX},
    {"ROUND", Tag::round, 0, 1, 2},
    {"FLOOR", Tag::floor, 0, 1, 1},
    {"CEIL", Tag::ceil, 0, 1, 1},
    {"CEILING", Tag::ceil, 0, 1, 1},
    {"DATE_DIFF", Tag::date_diff, 0, 3, 3},
};

class Parser {
 public:
  Parser(Arena& arena, Bytes src, ParseFail* fail) : arena_(arena), fail_(fail) {
    lex_.src = src;
    lex_.arena = &arena;
  }

  std::expected<Expr, ParseErr> run() {
    TRY(advance());
    uint32_t root = TRY(parseOr());
    if (tok_.kind != TokKind::eof) return bad();
    return Expr{nodes_.ptr, static_cast<uint32_t>(nodes_.len), root, args_.ptr};
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

  // The token after the current one, without moving on. Words become
  // keywords only where the next token says so, so that a column called
  // case, in or like parses as it always has.
  std::expected<Tok, ParseErr> peek() const {
    Lexer ahead = lex_;
    return ahead.next();
  }

  // Appends a variadic node over `ops`, which must not move meanwhile.
  Index addList(Tag tag, std::span<const uint32_t> ops, Bytes text = {}) {
    if (args_.len > UINT32_MAX - ops.size()) return std::unexpected(ParseErr::OutOfMemory);
    auto start = static_cast<uint32_t>(args_.len);
    if (!args_.reserve(arena_, args_.len + ops.size())) return std::unexpected(ParseErr::OutOfMemory);
    for (uint32_t o : ops) args_.ptr[args_.len++] = o;
    return add(tag, text, start, static_cast<uint32_t>(ops.size()));
  }

  std::expected<void, ParseErr> expectKw(Bytes word) {
    if (!isKw(word)) return bad();
    return advance();
  }
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
    bool negated = false;
    if (isKw("NOT")) {
      Tok next = TRY(peek());
      if (next.kind != TokKind::ident ||
          !(eqNoCase(next.text, "IN") || eqNoCase(next.text, "LIKE") || eqNoCase(next.text, "ILIKE")))
        return left;  // the caller fails on the stray NOT
      TRY(advance());
      negated = true;
    }
    if (isKw("IN")) {
      TRY(advance());
      if (tok_.kind != TokKind::lparen || !enter()) return bad();
      TRY(advance());
      Array<uint32_t> ops;
      if (!ops.push(arena_, left)) return std::unexpected(ParseErr::OutOfMemory);
      TRY(parseList(ops));
      --depth_;
      return addList(negated ? Tag::not_in : Tag::in, ops.span());
    }
    if (isKw("LIKE") || isKw("ILIKE")) {
      bool ci = isKw("ILIKE");
      TRY(advance());
      // The pattern is a literal, as for the filter operators.
      if (tok_.kind != TokKind::string) return bad();
      Bytes pattern = tok_.text;
      TRY(advance());
      Tag tag = ci ? (negated ? Tag::not_ilike : Tag::ilike) : (negated ? Tag::not_like : Tag::like);
      return add(tag, pattern, left);
    }
    if (negated) return bad();
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
      case TokKind::quoted:
        TRY(advance());
        return add(Tag::ident, t.text, 0, 1);
      case TokKind::ident: {
        if (eqNoCase(t.text, "CASE")) {
          Tok next = TRY(peek());
          if (next.kind == TokKind::ident && eqNoCase(next.text, "WHEN")) return parseCase();
        }
        TRY(advance());
        if (tok_.kind == TokKind::lparen) return parseCall(t.text);
        if (eqNoCase(t.text, "TRUE")) return add(Tag::boolean, {}, 1);
        if (eqNoCase(t.text, "FALSE")) return add(Tag::boolean, {}, 0);
        if (eqNoCase(t.text, "NULL")) return add(Tag::null_lit, {});
        return add(Tag::ident, t.text);
      }
      default:
        return bad();
    }
  }

  // Expressions separated by commas up to a closing parenthesis, which is
  // consumed; appended to ops. The opening one is already consumed.
  std::expected<void, ParseErr> parseList(Array<uint32_t>& ops) {
    for (;;) {
      uint32_t item = TRY(parseOr());
      if (!ops.push(arena_, item)) return std::unexpected(ParseErr::OutOfMemory);
      if (tok_.kind == TokKind::rparen) return advance();
      if (tok_.kind != TokKind::comma) return bad();
      TRY(advance());
    }
  }

  // CASE WHEN c THEN v [WHEN c THEN v]... [ELSE v] END, at CASE.
  Index parseCase() {
    if (!enter()) return bad();
    TRY(advance());
    Array<uint32_t> ops;
    while (isKw("WHEN")) {
      TRY(advance());
      uint32_t cond = TRY(parseOr());
      TRY(expectKw("THEN"));
      uint32_t value = TRY(parseOr());
      if (!ops.push(arena_, cond) || !ops.push(arena_, value)) return std::unexpected(ParseErr::OutOfMemory);
    }
    if (isKw("ELSE")) {
      TRY(advance());
      uint32_t other = TRY(parseOr());
      if (!ops.push(arena_, other)) return std::unexpected(ParseErr::OutOfMemory);
    }
    TRY(expectKw("END"));
    --depth_;
    return addList(Tag::case_, ops.span());
  }

  // name(args), at the opening parenthesis.
  Index parseCall(Bytes name) {
    if (!enter()) return bad();
    TRY(advance());
    Array<uint32_t> ops;
    if (tok_.kind == TokKind::rparen)
      TRY(advance());
    else
      TRY(parseList(ops));
    --depth_;
    const Function* f = nullptr;
    for (const Function& k : kFunctions)
      if (eqNoCase(k.name, name)) f = &k;
    if (!f || ops.len < f->min || ops.len > f->max) {
      if (fail_) *fail_ = ParseFail{name, f ? f->min : 0, f ? f->max : 0, static_cast<uint32_t>(ops.len), {}};
      return std::unexpected(f ? ParseErr::WrongArity : ParseErr::UnknownFunction);
    }
    if (f->tag == Tag::coalesce || f->tag == Tag::concat) return addList(f->tag, ops.span());
    if (f->tag == Tag::substring) {
      // Start and length are literals, normalized to the form in which
      // both engines' SUBSTRING agree: start 0 counts from 1, a negative
      // length takes nothing.
      auto bad_arg = [&] {
        if (fail_) *fail_ = ParseFail{name, 0, 0, 0, "start and length must be integer literals"};
        return std::unexpected(ParseErr::BadArgument);
      };
      auto start = literalInt(ops[1]);
      if (!start) return bad_arg();
      ops[1] = TRY(intNode(*start == 0 ? 1 : *start));
      if (ops.len == 3) {
        auto len = literalInt(ops[2]);
        if (!len) return bad_arg();
        ops[2] = TRY(intNode(*len < 0 ? 0 : *len));
      }
      return addList(Tag::substring, ops.span());
    }
    if (f->tag == Tag::round) {
      std::optional<int64_t> digits = ops.len == 2 ? literalInt(ops[1]) : std::optional<int64_t>(0);
      if (!digits || *digits < -15 || *digits > 15) {
        if (fail_) *fail_ = ParseFail{name, 0, 0, 0, "digits must be an integer literal from -15 to 15"};
        return std::unexpected(ParseErr::BadArgument);
      }
      return add(Tag::round, name, ops[0], static_cast<uint32_t>(static_cast<int32_t>(*digits)));
    }
    if (f->tag == Tag::date_diff) {
      // The unit decides the SQL that is written, so it must be known
      // before any row is read.
      const Node& unit = nodes_[ops[0]];
      std::optional<Grain> g = unit.tag == Tag::string ? grainFromName(unit.text) : std::nullopt;
      if (!g) {
        if (fail_)
          *fail_ = ParseFail{name, 0, 0, 0,
                             "the unit must be a text literal: 'second', 'minute', 'hour', 'day', 'week', 'month', "
                             "'quarter' or 'year'"};
        return std::unexpected(ParseErr::BadArgument);
      }
      return add(Tag::date_diff, grainName(*g), ops[1], ops[2]);
    }
    return add(f->tag, name, ops[0], f->part);
  }

  // The value of an integer literal, or of a minus before one, within 32
  // bits; nullopt for anything else.
  std::optional<int64_t> literalInt(uint32_t i) const {
    const Node& n = nodes_[i];
    const bool negative = n.tag == Tag::neg && nodes_[n.a].tag == Tag::int_;
    const Node& digits = negative ? nodes_[n.a] : n;
    if (digits.tag != Tag::int_) return std::nullopt;
    int64_t v = 0;
    auto [end, ec] = std::from_chars(digits.text.data(), digits.text.data() + digits.text.size(), v);
    if (ec != std::errc() || end != digits.text.data() + digits.text.size() || v > INT32_MAX) return std::nullopt;
    return negative ? -v : v;
  }

  // A new integer literal node of value v.
  Index intNode(int64_t v) {
    char text[24];
    auto [end, ec] = std::to_chars(text, text + sizeof text, v);
    (void)ec;
    char* copy = arena_.make<char>(static_cast<size_t>(end - text));
    if (!copy) return std::unexpected(ParseErr::OutOfMemory);
    std::memcpy(copy, text, static_cast<size_t>(end - text));
    return add(Tag::int_, Bytes(copy, static_cast<size_t>(end - text)));
  }

  Arena& arena_;
  ParseFail* fail_;
  Lexer lex_;
  Tok tok_;
  Array<Node> nodes_;
  Array<uint32_t> args_;
  int depth_ = 0;
};

}  // namespace

std::expected<Expr, ParseErr> parse(Arena& arena, Bytes src, ParseFail* fail) {
  Parser p(arena, src, fail);
  return p.run();
}

}  // namespace quendra

namespace quendra {
namespace {

// What literals say about a node's value: nothing (a column, NULL), or its
// kind. Only what the new constructs mix is judged.
enum class Seen : uint8_t { unknown, number, string, boolean, time };

// The kind that values of kinds a and b take together, or nullopt when they
// cannot mix. Numbers mix (to a float); an unknown side mixes with anything.
std::optional<Seen> mix(Seen a, Seen b) {
  if (a == Seen::unknown) return b;
  if (b == Seen::unknown || a == b) return a;
  return std::nullopt;
}

}  // namespace

std::expected<bool, ParseErr> literalKindsFit(Arena& arena, const Expr& e) {
  // Operands precede their nodes, so one forward pass sees every operand's
  // kind before the node that uses it.
  Seen* seen = arena.make<Seen>(e.count);
  if (!seen && e.count) return std::unexpected(ParseErr::OutOfMemory);
  auto kindOf = [&](uint32_t i) { return seen[i]; };
  for (uint32_t i = 0; i < e.count; ++i) {
    const Node& n = e[i];
    Seen k = Seen::unknown;
    switch (n.tag) {
      case Tag::int_:
      case Tag::float_: k = Seen::number; break;
      case Tag::string: k = Seen::string; break;
      case Tag::boolean: k = Seen::boolean; break;
      case Tag::neg:
      case Tag::add:
      case Tag::sub:
      case Tag::mul:
      case Tag::div:
      case Tag::mod: k = kindOf(n.a) == Seen::number ? Seen::number : Seen::unknown; break;
      case Tag::eq: case Tag::ne: case Tag::lt: case Tag::le: case Tag::gt: case Tag::ge:
      case Tag::and_: case Tag::or_: case Tag::not_: case Tag::is_null: case Tag::is_not_null:
        k = Seen::boolean;
        break;
      case Tag::like: case Tag::not_like: case Tag::ilike: case Tag::not_ilike:
        if (!mix(kindOf(n.a), Seen::string)) return false;
        k = Seen::boolean;
        break;
      case Tag::abs:
      case Tag::round:
      case Tag::floor:
      case Tag::ceil:
        if (!mix(kindOf(n.a), Seen::number)) return false;
        k = Seen::number;
        break;
      case Tag::upper:
      case Tag::lower:
      case Tag::trim:
        if (!mix(kindOf(n.a), Seen::string)) return false;
        k = Seen::string;
        break;
      case Tag::length:
        if (!mix(kindOf(n.a), Seen::string)) return false;
        k = Seen::number;
        break;
      case Tag::substring:
        if (!mix(kindOf(e.list(n)[0]), Seen::string)) return false;
        k = Seen::string;
        break;
      case Tag::concat:
        for (uint32_t op : e.list(n))
          if (!mix(kindOf(op), Seen::string)) return false;
        k = Seen::string;
        break;
      case Tag::part:
        if (!mix(kindOf(n.a), Seen::time)) return false;
        k = Seen::number;
        break;
      case Tag::date_diff:
        if (!mix(kindOf(n.a), Seen::time) || !mix(kindOf(n.b), Seen::time)) return false;
        k = Seen::number;
        break;
      case Tag::in:
      case Tag::not_in: {
        auto ops = e.list(n);
        for (size_t j = 1; j < ops.size(); ++j)
          if (!mix(kindOf(ops[0]), kindOf(ops[j]))) return false;
        k = Seen::boolean;
        break;
      }
      case Tag::coalesce:
      case Tag::case_: {
        auto ops = e.list(n);
        const bool is_case = n.tag == Tag::case_;
        std::optional<Seen> out = Seen::unknown;
        for (size_t j = 0; j < ops.size(); ++j) {
          bool condition = is_case && j % 2 == 0 && j + 1 < ops.size();
          if (condition) {
            if (!mix(kindOf(ops[j]), Seen::boolean)) return false;
            continue;
          }
          out = mix(*out, kindOf(ops[j]));
          if (!out) return false;
        }
        k = *out;
        break;
      }
      case Tag::zoned_text: k = Seen::string; break;
      case Tag::local: k = Seen::time; break;
      case Tag::ident:
      case Tag::null_lit: break;
    }
    seen[i] = k;
  }
  return true;
}

}  // namespace quendra
