#include "expr/parser.h"

#include <gtest/gtest.h>

#include <string>

#include "base/heap.h"

namespace quendra {
namespace {

const char* tagName(Tag t) {
  static const char* names[] = {"ident", "int", "float", "string", "boolean", "null", "neg", "not",
                                "add",   "sub", "mul",   "div",    "mod",     "eq",   "ne",  "lt",
                                "le",    "gt",  "ge",    "and",    "or",      "is_null", "is_not_null",
                                "case",  "coalesce", "in",   "not_in", "like",    "not_like", "ilike",
                                "not_ilike", "abs", "part", "substring", "upper", "lower", "length", "trim",
                                "concat", "round", "floor", "ceil", "date_diff"};
  return names[static_cast<int>(t)];
}

// The tree as a compact prefix form: add(a,mul(b,2)).
std::string show(const Expr& e, uint32_t i) {
  const Node& n = e[i];
  switch (n.tag) {
    case Tag::ident:
    case Tag::int_:
    case Tag::float_:
      return std::string(n.text);
    case Tag::string:
      return "'" + std::string(n.text) + "'";
    case Tag::boolean:
      return n.a ? "TRUE" : "FALSE";
    case Tag::null_lit:
      return "NULL";
    case Tag::neg:
    case Tag::not_:
    case Tag::is_null:
    case Tag::is_not_null:
    case Tag::abs:
    case Tag::upper:
    case Tag::lower:
    case Tag::length:
    case Tag::trim:
    case Tag::floor:
    case Tag::ceil:
      return std::string(tagName(n.tag)) + "(" + show(e, n.a) + ")";
    case Tag::round:
      return "round(" + show(e, n.a) + "," + std::to_string(static_cast<int32_t>(n.b)) + ")";
    case Tag::part:
      return std::string(n.text) + "#" + std::to_string(n.b) + "(" + show(e, n.a) + ")";
    case Tag::date_diff:
      return "date_diff#" + std::string(n.text) + "(" + show(e, n.a) + "," + show(e, n.b) + ")";
    case Tag::like:
    case Tag::not_like:
    case Tag::ilike:
    case Tag::not_ilike:
      return std::string(tagName(n.tag)) + "(" + show(e, n.a) + ",'" + std::string(n.text) + "')";
    case Tag::case_:
    case Tag::coalesce:
    case Tag::in:
    case Tag::not_in:
    case Tag::substring:
    case Tag::concat: {
      std::string out = std::string(tagName(n.tag)) + "(";
      for (size_t k = 0; k < n.b; ++k) out += (k ? "," : "") + show(e, e.list(n)[k]);
      return out + ")";
    }
    default:
      return std::string(tagName(n.tag)) + "(" + show(e, n.a) + "," + show(e, n.b) + ")";
  }
}

std::string parsed(const std::string& text) {
  Arena a;
  ParseFail why;
  auto e = parse(a, text, &why);
  if (!e) {
    switch (e.error()) {
      case ParseErr::BadExpression: return "BadExpression";
      case ParseErr::OutOfMemory: return "OutOfMemory";
      case ParseErr::UnknownFunction: return "UnknownFunction " + std::string(why.function);
      case ParseErr::WrongArity:
        return "WrongArity " + std::string(why.function) + " " + std::to_string(why.min) + ".." +
               (why.max == UINT32_MAX ? "" : std::to_string(why.max)) + " got " + std::to_string(why.got);
      case ParseErr::BadArgument: return "BadArgument " + std::string(why.function) + ": " + std::string(why.why);
    }
  }
  // Operands always come before their node, and the root is the last node.
  for (uint32_t i = 0; i < e->count; ++i) {
    const Node& n = (*e)[i];
    if (n.tag >= Tag::neg && n.tag <= Tag::is_not_null) {
      EXPECT_LT(n.a, i);
    }
    if (readsB(n.tag)) {
      EXPECT_LT(n.b, i);
    }
    if (isVariadic(n.tag))
      for (uint32_t k : e->list(n)) EXPECT_LT(k, i);
    else if (n.tag >= Tag::like) {
      EXPECT_LT(n.a, i);
    }
  }
  EXPECT_EQ(e->root, e->count - 1);
  return show(*e, e->root);
}

TEST(Parser, PrecedenceAndShapes) {
  const std::pair<const char*, const char*> cases[] = {
      {"a + b * 2", "add(a,mul(b,2))"},
      {"a - b - c", "sub(sub(a,b),c)"},
      {"a / b % c * d", "mul(mod(div(a,b),c),d)"},
      {"NOT x = 1 AND y IS NOT NULL", "and(not(eq(x,1)),is_not_null(y))"},
      {"a = 1 OR b = 2 AND c = 3", "or(eq(a,1),and(eq(b,2),eq(c,3)))"},
      {"-2", "neg(2)"},
      {"1 - -1", "sub(1,neg(1))"},
      {"--x", "neg(neg(x))"},
      {"(a)", "a"},
      {"((a + b)) * c", "mul(add(a,b),c)"},
      {"a.b.c", "a.b.c"},
      {"_x1.y_2", "_x1.y_2"},
      {"'it''s'", "'it's'"},
      {"''", "''"},
      {"'a\\b\n\xc3\xa9'", "'a\\b\n\xc3\xa9'"},
      {"TRUE", "TRUE"},
      {"true OR False", "or(TRUE,FALSE)"},
      {"null", "NULL"},
      {"x IS NULL", "is_null(x)"},
      {"x is not null", "is_not_null(x)"},
      {"a + 1 IS NULL", "is_null(add(a,1))"},
      {"1.2.3", "1.2.3"},
      {"1.", "1."},
      {"a<>b", "ne(a,b)"},
      {"a != b", "ne(a,b)"},
      {"a<=b", "le(a,b)"},
      {"a >= b", "ge(a,b)"},
      {"a<b", "lt(a,b)"},
      {"a>b", "gt(a,b)"},
      {"NOT NOT a", "not(not(a))"},
      {"\t a\n=\v1\f\r", "eq(a,1)"},
      {"not_a_keyword and nothing", "and(not_a_keyword,nothing)"},
      {"amount > 100", "gt(amount,100)"},
      // Keywords and functions, in any case; words stay names wherever they
      // are not followed by what makes them keywords.
      {"CASE WHEN a > 1 THEN 'x' WHEN b THEN 'y' ELSE NULL END", "case(gt(a,1),'x',b,'y',NULL)"},
      {"case when a then 1 end + 1", "add(case(a,1),1)"},
      {"CASE WHEN CASE WHEN a THEN b END THEN c END", "case(case(a,b),c)"},
      {"case + end", "add(case,end)"},
      {"\"end\" + \"a\"\"b\" + \"CASE\"", "add(add(end,a\"b),CASE)"},
      {"coalesce(a, b + 1, 'z')", "coalesce(a,add(b,1),'z')"},
      {"COALESCE(a)", "coalesce(a)"},
      {"x IN (1, NULL, y)", "in(x,1,NULL,y)"},
      {"x + 1 not in ('a')", "not_in(add(x,1),'a')"},
      {"NOT x IN (1) AND y", "and(not(in(x,1)),y)"},
      {"s LIKE 'a%' OR s not ilike '_b'", "or(like(s,'a%'),not_ilike(s,'_b'))"},
      {"s NOT LIKE 'it''s'", "not_like(s,'it's')"},
      {"abs(-x) * 2", "mul(abs(neg(x)),2)"},
      {"Year(ts) = 2024 AND isodow(d) IN (6, 7)", "and(eq(Year#0(ts),2024),in(isodow#6(d),6,7))"},
      {"quarter(t) + month(t) + day(t) + hour(t) + MINUTE(t)",
       "add(add(add(add(quarter#1(t),month#2(t)),day#3(t)),hour#4(t)),MINUTE#5(t))"},
      {"in + like", "add(in,like)"},
      // Start 0 is start 1 and a negative length is 0, as they mean.
      {"SUBSTRING(s, -2)", "substring(s,-2)"},
      {"substring(s, 0, -3)", "substring(s,1,0)"},
      {"concat(a, upper(b), lower(trim(c)))", "concat(a,upper(b),lower(trim(c)))"},
      {"length(s) + floor(x) + CEILING(y)", "add(add(length(s),floor(x)),ceil(y))"},
      {"round(x) + ROUND(x, -15)", "add(round(x,0),round(x,-15))"},
      {"year", "year"},
      // The unit is any case of a grain's name, kept as its canonical one.
      {"DATE_DIFF('Day', a, b + 1) * 2", "mul(date_diff#day(a,add(b,1)),2)"},
      {"date_diff('QUARTER', year(a), b)", "date_diff#quarter(year#0(a),b)"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(parsed(text), want) << text;
}

TEST(Parser, RejectsWhatIsNotAnExpression) {
  const char* cases[] = {"",      "   ",     "a == b",  "a < b < c", "a IS NULL IS NULL", "1e5",   ".5",
                         "\"a",   "\"\"",   "a,b",     "(a",        "a)",                "+1",    "x IS NOT 5",
                         "x IS",  "a !b",    "!",       "'open",     "a ; b",             "é",     "a AND",
                         "NOT",   "a +",     "()",      "a b",       "[a]",               "'a''",  "x IS NOT",
                         "CASE WHEN a THEN b", "CASE WHEN a END", "CASE WHEN a THEN b ELSE c", "CASE END",
                         "CASE WHEN THEN 1 END", "x IN ()", "x IN 1", "x IN (1,)", "x NOT 1", "x LIKE y",
                         "x LIKE", "x NOT LIKE 1", "a IN (1) IN (2)", "\"f\"(x)", "abs(1,)", "abs(x"};
  for (const char* text : cases) EXPECT_EQ(parsed(text), "BadExpression") << text;
  EXPECT_EQ(parsed("f(x)"), "UnknownFunction f");
  EXPECT_EQ(parsed("a.b(1, 2)"), "UnknownFunction a.b");
  EXPECT_EQ(parsed("ABS(1, 2)"), "WrongArity ABS 1..1 got 2");
  EXPECT_EQ(parsed("year()"), "WrongArity year 1..1 got 0");
  EXPECT_EQ(parsed("coalesce()"), "WrongArity coalesce 1.. got 0");
  EXPECT_EQ(parsed("substring(s)"), "WrongArity substring 2..3 got 1");
  EXPECT_EQ(parsed("substring(s, n)"), "BadArgument substring: start and length must be integer literals");
  EXPECT_EQ(parsed("substring(s, 1, 2.0)"), "BadArgument substring: start and length must be integer literals");
  EXPECT_EQ(parsed("substring(s, 3000000000)"), "BadArgument substring: start and length must be integer literals");
  EXPECT_EQ(parsed("round(x, 16)"), "BadArgument round: digits must be an integer literal from -15 to 15");
  EXPECT_EQ(parsed("round(x, d)"), "BadArgument round: digits must be an integer literal from -15 to 15");
  const std::string unit =
      "BadArgument DATE_DIFF: the unit must be a text literal: 'second', 'minute', 'hour', 'day', 'week', 'month', "
      "'quarter' or 'year'";
  for (const char* text : {"DATE_DIFF(u, a, b)", "DATE_DIFF('days', a, b)", "DATE_DIFF('fiscal_year', a, b)",
                           "DATE_DIFF(NULL, a, b)", "DATE_DIFF('', a, b)"})
    EXPECT_EQ(parsed(text), unit) << text;
  EXPECT_EQ(parsed("DATE_DIFF('day', a)"), "WrongArity DATE_DIFF 3..3 got 2");
}

TEST(Parser, NestingDepthIsBounded) {
  auto wrap = [](const std::string& open, const std::string& close, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += open;
    s += "x";
    for (int i = 0; i < n; ++i) s += close;
    return s;
  };
  EXPECT_EQ(parsed(wrap("(", ")", kMaxExprDepth)), "x");
  EXPECT_EQ(parsed(wrap("(", ")", kMaxExprDepth + 1)), "BadExpression");
  EXPECT_NE(parsed(wrap("NOT ", "", kMaxExprDepth)), "BadExpression");
  EXPECT_EQ(parsed(wrap("NOT ", "", kMaxExprDepth + 1)), "BadExpression");
  EXPECT_NE(parsed(wrap("-", "", kMaxExprDepth)), "BadExpression");
  EXPECT_EQ(parsed(wrap("-", "", kMaxExprDepth + 1)), "BadExpression");
  EXPECT_EQ(parsed(wrap("(-", ")", kMaxExprDepth / 2 + 1)), "BadExpression");
  EXPECT_EQ(parsed(std::string(100000, '(')), "BadExpression");
  // Long flat chains are not nesting.
  std::string chain = "a";
  for (int i = 0; i < 5000; ++i) chain += " + a";
  Arena a;
  EXPECT_TRUE(parse(a, chain));  // not printed: that would recurse as deep as it is long
}

TEST(Parser, TextsPointIntoTheSourceOrTheArena) {
  Arena a;
  std::string src = "total + 'x''y'";
  auto e = parse(a, src);
  ASSERT_TRUE(e);
  EXPECT_EQ((*e)[0].text.data(), src.data());  // identifiers are views
  EXPECT_EQ((*e)[1].text, "x'y");              // strings are unescaped copies
}

TEST(Parser, AllocationFailuresAreOutOfMemory) {
  for (bool every_after : {false, true}) {
    for (uint64_t n = 1;; ++n) {
      Arena a;
      setHeapFailure(n, every_after);
      auto e = parse(a, "NOT (a + 'it''s' * 2 >= b.c) OR x IS NOT NULL AND -y < 3.5 OR "
                        "CASE WHEN \"x\"\"y\" IN (1, 2) THEN coalesce(abs(z), year(t)) END LIKE 'a''%'");
      setHeapFailure(0, false);
      if (e) break;
      ASSERT_EQ(e.error(), ParseErr::OutOfMemory) << n;
      ASSERT_LT(n, 100u);
    }
  }
}

}  // namespace
}  // namespace quendra
