#include "expr/parser.h"

#include <gtest/gtest.h>

#include <string>

#include "base/heap.h"

namespace quendra {
namespace {

const char* tagName(Tag t) {
  static const char* names[] = {"ident", "int", "float", "string", "boolean", "null", "neg", "not",
                                "add",   "sub", "mul",   "div",    "mod",     "eq",   "ne",  "lt",
                                "le",    "gt",  "ge",    "and",    "or",      "is_null", "is_not_null"};
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
      return std::string(tagName(n.tag)) + "(" + show(e, n.a) + ")";
    default:
      return std::string(tagName(n.tag)) + "(" + show(e, n.a) + "," + show(e, n.b) + ")";
  }
}

std::string parsed(const std::string& text) {
  Arena a;
  auto e = parse(a, text);
  if (!e) return e.error() == ParseErr::BadExpression ? "BadExpression" : "OutOfMemory";
  // Operands always come before their node, and the root is the last node.
  for (uint32_t i = 0; i < e->count; ++i) {
    const Node& n = (*e)[i];
    if (n.tag >= Tag::neg && n.tag <= Tag::is_not_null) {
      EXPECT_LT(n.a, i);
    }
    if (n.tag >= Tag::add && n.tag <= Tag::or_) {
      EXPECT_LT(n.b, i);
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
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(parsed(text), want) << text;
}

TEST(Parser, RejectsWhatIsNotAnExpression) {
  const char* cases[] = {"",      "   ",     "a == b",  "a < b < c", "a IS NULL IS NULL", "1e5",   ".5",
                         "\"a\"", "f(x)",    "a,b",     "(a",        "a)",                "+1",    "x IS NOT 5",
                         "x IS",  "a !b",    "!",       "'open",     "a ; b",             "é",     "a AND",
                         "NOT",   "a +",     "()",      "a b",       "[a]",               "'a''",  "x IS NOT"};
  for (const char* text : cases) EXPECT_EQ(parsed(text), "BadExpression") << text;
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
  EXPECT_NE(parsed(chain), "BadExpression");
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
      auto e = parse(a, "NOT (a + 'it''s' * 2 >= b.c) OR x IS NOT NULL AND -y < 3.5");
      setHeapFailure(0, false);
      if (e) break;
      ASSERT_EQ(e.error(), ParseErr::OutOfMemory) << n;
      ASSERT_LT(n, 100u);
    }
  }
}

}  // namespace
}  // namespace quendra
