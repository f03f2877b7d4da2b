#include "vec/kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include <cmath>
#include <limits>

#include "base/heap.h"
#include "vec/time.h"
#include "vec_testing.h"

namespace quendra {
namespace {

using testing::boolsOf;
using testing::Make;
using testing::Opt;
using C = vec::CmpOp;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The outcome of a kernel over scalars: an error, a null, or one value.
struct Out {
  std::optional<EvalErr> err;
  Kind kind = Kind::int_;
  bool null = false;
  double f = 0;
  int64_t i = 0;
};

Out scalarOut(const EvalResult<Vec>& r) {
  Out o;
  if (!r) {
    o.err = r.error();
    return o;
  }
  EXPECT_TRUE(r->scalar);
  EXPECT_EQ(r->len, 1u);
  o.kind = r->kind;
  o.null = r->isNull(0);
  if (r->kind == Kind::float_) o.f = r->floatAt(0);
  if (r->kind == Kind::int_) o.i = r->intAt(0);
  if (r->kind == Kind::bool_) o.i = r->boolAt(0);
  return o;
}

bool sameDouble(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

TEST(VecArith, ScalarSemantics) {
  Arena arena;
  Make mk{arena};
  using A = ArithOp;
  auto I = [&](int64_t v) { return mk.sInt(v); };
  auto F = [&](double v) { return mk.sFloat(v); };
  struct Case {
    A op;
    Vec a, b;
    Kind kind;
    bool null;
    double f;   // float results
    int64_t i;  // int results
  } cases[] = {
      {A::add, I(1), I(2), Kind::int_, false, 0, 3},
      {A::add, I(1), F(2.5), Kind::float_, false, 3.5, 0},
      {A::div, I(7), I(2), Kind::float_, false, 3.5, 0},
      {A::div, I(6), I(3), Kind::float_, false, 2.0, 0},
      {A::div, I(5), I(0), Kind::float_, true, 0, 0},
      {A::div, F(5), I(0), Kind::float_, true, 0, 0},
      {A::div, F(5), F(-0.0), Kind::float_, true, 0, 0},
      {A::div, F(5), F(kNaN), Kind::float_, false, kNaN, 0},
      {A::div, F(kInf), F(2), Kind::float_, false, kInf, 0},
      {A::div, I(INT64_MIN), I(-1), Kind::float_, false, 9223372036854775808.0, 0},
      {A::mod, I(5), I(0), Kind::int_, true, 0, 0},
      {A::mod, F(5), I(0), Kind::float_, false, kNaN, 0},
      {A::mod, I(-7), I(3), Kind::int_, false, 0, -1},
      {A::mod, I(7), I(-3), Kind::int_, false, 0, 1},
      {A::mod, I(-7), I(-3), Kind::int_, false, 0, -1},
      {A::mod, F(-7), I(3), Kind::float_, false, 2.0, 0},
      {A::mod, F(-7), F(-3), Kind::float_, false, -1.0, 0},
      {A::mod, F(7), F(-3), Kind::float_, false, 1.0, 0},
      {A::mod, I(7), F(2), Kind::float_, false, 1.0, 0},
      {A::mod, I(INT64_MIN), I(-1), Kind::int_, false, 0, 0},
      {A::mod, I(INT64_MIN), I(INT64_MAX), Kind::int_, false, 0, -1},
      {A::add, I(INT64_MAX), I(1), Kind::int_, false, 0, INT64_MIN},
      {A::sub, I(INT64_MIN), I(1), Kind::int_, false, 0, INT64_MAX},
      {A::mul, I(INT64_MIN), I(-1), Kind::int_, false, 0, INT64_MIN},
      {A::mul, I(int64_t{1} << 62), I(4), Kind::int_, false, 0, 0},
      {A::mul, F(kInf), F(0), Kind::float_, false, kNaN, 0},
      {A::sub, F(1), F(kNaN), Kind::float_, false, kNaN, 0},
      // A null scalar decides before any kind check.
      {A::add, mk.sNull(), mk.sStr("x"), Kind::int_, true, 0, 0},
      {A::div, mk.sNull(), I(2), Kind::float_, true, 0, 0},
      {A::mul, mk.sBool(true), mk.sNull(Kind::str), Kind::int_, true, 0, 0},
  };
  for (size_t k = 0; k < std::size(cases); ++k) {
    auto& c = cases[k];
    SCOPED_TRACE(k);
    Out o = scalarOut(arith(arena, c.op, c.a, c.b));
    ASSERT_FALSE(o.err);
    EXPECT_EQ(o.kind, c.kind);
    EXPECT_EQ(o.null, c.null);
    if (c.null) continue;
    if (c.kind == Kind::float_) {
      EXPECT_TRUE(sameDouble(o.f, c.f)) << o.f << " vs " << c.f;
    } else {
      EXPECT_EQ(o.i, c.i);
    }
  }
}

TEST(VecArith, TypeErrorsAndNegate) {
  Arena arena;
  Make mk{arena};
  Vec bad[] = {mk.sStr("a"), mk.sBool(true), mk.sInt(1, Kind::date), mk.sInt(1, Kind::timestamp),
               mk.strs({"x"})};
  for (Vec& v : bad) {
    EXPECT_EQ(arith(arena, ArithOp::add, v, mk.sInt(1)).error(), EvalErr::TypeMismatch);
    EXPECT_EQ(arith(arena, ArithOp::div, mk.sFloat(1), v).error(), EvalErr::TypeMismatch);
    EXPECT_EQ(negate(arena, v).error(), EvalErr::TypeMismatch);
  }
  EXPECT_EQ(scalarOut(negate(arena, mk.sInt(5))).i, -5);
  EXPECT_EQ(scalarOut(negate(arena, mk.sInt(INT64_MIN))).i, INT64_MIN);
  Out z = scalarOut(negate(arena, mk.sFloat(0.0)));
  EXPECT_EQ(z.kind, Kind::float_);
  EXPECT_TRUE(sameDouble(z.f, 0.0));
  EXPECT_TRUE(sameDouble(scalarOut(negate(arena, mk.sFloat(-0.0))).f, 0.0));
  EXPECT_TRUE(sameDouble(scalarOut(negate(arena, mk.sFloat(2.5))).f, -2.5));
  Out n = scalarOut(negate(arena, mk.sNull(Kind::str)));
  EXPECT_TRUE(n.null);
  EXPECT_EQ(n.kind, Kind::int_);
}

TEST(VecCompare, Semantics) {
  Arena arena;
  Make mk{arena};
  auto I = [&](int64_t v) { return mk.sInt(v); };
  auto F = [&](double v) { return mk.sFloat(v); };
  auto S = [&](const char* v) { return mk.sStr(v); };
  auto D = [&](int64_t v) { return mk.sInt(v, Kind::date); };
  auto T = [&](int64_t v) { return mk.sInt(v, Kind::timestamp); };
  int64_t march1 = daysFromCivil(2024, 3, 1);
  struct Case {
    C op;
    Vec a, b;
    int want;  // 0 false, 1 true, 2 null
  } cases[] = {
      {C::eq, F(kNaN), F(kNaN), 1},  {C::lt, F(kNaN), I(1), 0},   {C::le, F(kNaN), I(1), 1},
      {C::ne, F(kNaN), F(1), 0},     {C::gt, F(kNaN), F(1), 0},   {C::ge, I(1), F(kNaN), 1},
      {C::lt, I(3), F(3.5), 1},      {C::eq, I(INT64_MAX), I(INT64_MAX - 1), 0},
      {C::gt, I(INT64_MAX), I(INT64_MAX - 1), 1},
      {C::eq, I(INT64_MAX), F(9223372036854775807.0), 1},  // as doubles
      {C::eq, F(0.0), F(-0.0), 1},
      {C::lt, S("B"), S("a"), 1},    {C::lt, S("ab"), S("abc"), 1}, {C::lt, S("abc"), S("b"), 1},
      {C::gt, S("\xff"), S("a"), 1}, {C::lt, S(""), S("a"), 1},   {C::eq, S("a"), S("a"), 1},
      {C::ne, S("a"), S("A"), 1},
      {C::lt, mk.sBool(false), mk.sBool(true), 1},             {C::ge, mk.sBool(false), mk.sBool(true), 0},
      {C::eq, D(march1), S("2024-03-01"), 1},
      {C::lt, D(march1), S("2024-03-01 00:00:01"), 1},
      {C::gt, S("2024-03-01 00:00:01"), D(march1), 1},
      {C::eq, S(" 2024-03-01T00:00 "), T(march1 * kMicrosPerDay), 1},
      {C::eq, D(1), T(kMicrosPerDay), 1}, {C::lt, D(1), T(kMicrosPerDay + 1), 1},
      {C::gt, T(kMicrosPerDay), D(0), 1}, {C::le, D(2), D(3), 1},
      // Far dates compare exactly, not by their clamped instant.
      {C::gt, D(INT64_MAX), T(INT64_MAX), 1}, {C::lt, D(INT64_MIN), T(INT64_MIN), 1},
      {C::lt, D(INT64_MAX - 1), D(INT64_MAX), 1},
      {C::eq, I(1), mk.sNull(), 2},  {C::ne, mk.sNull(Kind::str), I(1), 2},
      {C::eq, mk.sNull(), S("not a date"), 2},
  };
  for (size_t k = 0; k < std::size(cases); ++k) {
    SCOPED_TRACE(k);
    Out o = scalarOut(compare(arena, cases[k].op, cases[k].a, cases[k].b));
    ASSERT_FALSE(o.err);
    EXPECT_EQ(o.kind, Kind::bool_);
    EXPECT_EQ(o.null ? 2 : static_cast<int>(o.i), cases[k].want);
  }
}

TEST(VecCompare, Errors) {
  Arena arena;
  Make mk{arena};
  struct Case {
    Vec a, b;
    EvalErr err;
  } cases[] = {
      {mk.strs({"1"}), mk.sInt(1), EvalErr::TypeMismatch},
      {mk.sInt(1, Kind::date), mk.sInt(1), EvalErr::TypeMismatch},
      {mk.sBool(true), mk.sInt(1), EvalErr::TypeMismatch},
      {mk.sFloat(1), mk.sInt(1, Kind::timestamp), EvalErr::TypeMismatch},
      {mk.sStr("a"), mk.sBool(true), EvalErr::TypeMismatch},
      // A string column is never read as a timestamp.
      {mk.strs({"2024-03-01"}), mk.sInt(1, Kind::date), EvalErr::TypeMismatch},
      {mk.ints({1}, Kind::date), mk.sStr("2024-3-1"), EvalErr::BadLiteral},
      {mk.sStr("yesterday"), mk.ints({1}, Kind::timestamp), EvalErr::BadLiteral},
  };
  for (auto& c : cases) EXPECT_EQ(compare(arena, C::eq, c.a, c.b).error(), c.err);

  // An empty column looks at no value, but a text that is no time fails
  // as it does over many rows.
  EXPECT_EQ(compare(arena, C::lt, mk.ints({}, Kind::date), mk.sStr("yesterday")).error(), EvalErr::BadLiteral);
  Vec r = *compare(arena, C::lt, mk.ints({}, Kind::date), mk.sStr("2024-03-01"));
  EXPECT_EQ(r.len, 0u);
  EXPECT_EQ(r.kind, Kind::bool_);
  EXPECT_TRUE(compare(arena, C::lt, mk.ints({}), mk.sStr("x")));
}

TEST(VecCompare, Columns) {
  Arena arena;
  Make mk{arena};
  Vec x = mk.ints({1, std::nullopt, 3});
  Opt<bool> all_null = {std::nullopt, std::nullopt, std::nullopt};
  EXPECT_EQ(boolsOf(*compare(arena, C::eq, x, mk.sNull())), all_null);
  EXPECT_EQ(boolsOf(*compare(arena, C::ne, mk.sNull(), x)), all_null);

  int64_t d = daysFromCivil(2024, 3, 1);
  Vec dates = mk.ints({d - 1, d, d + 1, std::nullopt}, Kind::date);
  EXPECT_EQ(boolsOf(*compare(arena, C::eq, dates, mk.sStr("2024-03-01"))),
            (Opt<bool>{false, true, false, std::nullopt}));
}

TEST(VecLogic, ThreeValued) {
  Arena arena;
  Make mk{arena};
  std::optional<bool> T = true, F = false, N = std::nullopt;
  auto v = [&](std::optional<bool> b) { return b ? mk.sBool(*b) : mk.sNull(); };
  struct Case {
    std::optional<bool> a, b, and_, or_;
  } cases[] = {
      {T, T, T, T}, {T, F, F, T}, {F, F, F, F}, {T, N, N, T},
      {F, N, F, N}, {N, N, N, N}, {N, T, N, T}, {N, F, F, N},
  };
  for (auto& c : cases) {
    for (bool is_and : {true, false}) {
      Vec r = *logic(arena, is_and, v(c.a), v(c.b));
      EXPECT_TRUE(r.scalar);
      EXPECT_EQ(boolsOf(r), Opt<bool>{is_and ? c.and_ : c.or_});
      if (r.isNull(0)) {
        EXPECT_FALSE(r.data.bools[0]);
      }
    }
  }
  // The null operand may be of any kind; other kinds are errors.
  EXPECT_TRUE(logic(arena, true, mk.sNull(Kind::str), mk.sBool(true)));
  EXPECT_EQ(logic(arena, true, mk.sInt(1), mk.sBool(true)).error(), EvalErr::TypeMismatch);
  EXPECT_EQ(logic(arena, false, mk.sBool(true), mk.strs({"x"})).error(), EvalErr::TypeMismatch);

  // A mask is attached only when a null came out.
  Vec holes = mk.bools({true, std::nullopt, false});
  Vec r = *logic(arena, true, holes, mk.sBool(false));
  EXPECT_EQ(r.nulls, nullptr);
  EXPECT_EQ(boolsOf(r), (Opt<bool>{false, false, false}));
  r = *logic(arena, false, holes, mk.bools({false, false, std::nullopt}));
  EXPECT_EQ(boolsOf(r), (Opt<bool>{true, std::nullopt, std::nullopt}));
}

TEST(VecLogic, NotAndIsNull) {
  Arena arena;
  Make mk{arena};
  Vec null_int = mk.sNull();
  Vec r = *not_(arena, null_int);
  EXPECT_EQ(r.data.ints, null_int.data.ints);  // returned as is, kind int
  EXPECT_EQ(r.kind, Kind::int_);
  EXPECT_EQ(not_(arena, mk.sInt(1)).error(), EvalErr::TypeMismatch);

  r = *isNull(arena, mk.sNull(), false);
  EXPECT_TRUE(r.scalar);
  EXPECT_EQ(boolsOf(r), Opt<bool>{true});
  EXPECT_EQ(boolsOf(*isNull(arena, mk.strs({"a", "b"}), true)), (Opt<bool>{true, true}));
}

TEST(VecLike, Match) {
  struct Case {
    const char* s;
    const char* p;
    bool ci, want;
  } cases[] = {
      {"abc", "a%", false, true},       {"abc", "_b_", false, true},
      {"héllo", "h_llo", false, true},  {"ABC", "a%c", true, true},
      {"ABC", "a%", false, false},      {"a", "", false, false},
      {"", "", false, true},            {"", "%", false, true},
      {"", "_", false, false},          {"a%b", "a\\%b", false, false},
      {"a\\xb", "a\\%b", false, true},  {"É", "é", true, false},
      {"abc", "abc", false, true},      {"abcd", "abc", false, false},
      {"ab", "abc", false, false},      {"xabcx", "%abc%", false, true},
      {"xabx", "%abc%", false, false},  {"aXc", "%x%", true, true},
      {"aXc", "%x%", false, false},     {"abc", "%c", false, true},
      {"abcab", "%ab", false, true},    {"mississippi", "%iss%ipp%", false, true},
      {"mississippi", "m%iss%ssx%", false, false}, {"aaa", "%aa", false, true},
      {"é", "__", false, false},        {"é", "_", false, true},
      {"日本", "_本", false, true},     {"日本", "%本", false, true},
      {"a", "_%_", false, false},       {"ab", "%%_%%", false, true},
      {"héllo", "%é%", false, true},    {"HÉLLO", "%é%", true, false},
      {"abc", "%%%", false, true},      {"abc", "a_c%", false, true},
      // Invalid UTF-8: a lead byte steps over what follows it.
      {"\xF0" "abcx", "%abc%", false, false}, {"\xF0" "abc", "_", false, true},
      {"a\xC3", "a_", false, true},     {"\xC3\xA9", "%\xA9%", false, false},
      {"\xC3\xA9", "\xC3%", false, true}, {"x\xC3\xA9", "%\xC3\xA9", false, true},
  };
  for (auto& c : cases)
    EXPECT_EQ(likeMatch(c.s, c.p, c.ci), c.want) << '\'' << c.s << "' LIKE '" << c.p << "' ci=" << c.ci;
}

TEST(VecLike, Kernel) {
  Arena arena;
  Make mk{arena};
  Vec v = mk.strs({"abc", std::nullopt, "xyz", "ABC"});
  for (bool negated : {false, true}) {
    Vec r = *like(arena, v, mk.sStr("a%"), true, negated);
    EXPECT_EQ(r.nulls, v.nulls);
    EXPECT_EQ(r.kind, Kind::bool_);
    EXPECT_EQ(boolsOf(r), (Opt<bool>{!negated, std::nullopt, negated, !negated}));
  }
  Vec r = *like(arena, mk.sStr("hello"), mk.sStr("%ll%"), false, false);
  EXPECT_TRUE(r.scalar);
  EXPECT_EQ(boolsOf(r), Opt<bool>{true});

  EXPECT_EQ(like(arena, mk.ints({1}), mk.sStr("%"), false, false).error(), EvalErr::TypeMismatch);
  EXPECT_EQ(like(arena, v, mk.sNull(), false, false).error(), EvalErr::TypeMismatch);
  EXPECT_EQ(like(arena, v, mk.sNull(Kind::str), false, false).error(), EvalErr::TypeMismatch);
  EXPECT_EQ(like(arena, v, mk.sInt(1), false, false).error(), EvalErr::TypeMismatch);
  EXPECT_EQ(like(arena, v, mk.strs({"%"}), false, false).error(), EvalErr::TypeMismatch);
}

TEST(VecKernels, Utf8LenAndEqChar) {
  struct {
    uint8_t b;
    int len;
  } lens[] = {{0x7F, 1}, {0x80, 1}, {0xBF, 1}, {0xC0, 2}, {0xDF, 2},
              {0xE0, 3}, {0xEF, 3}, {0xF0, 4}, {0xFF, 4}};
  for (auto& c : lens) EXPECT_EQ(utf8Len(c.b), c.len) << int(c.b);
  EXPECT_TRUE(eqChar('A', 'a', true));
  EXPECT_TRUE(eqChar('z', 'Z', true));
  EXPECT_FALSE(eqChar('A', 'a', false));
  EXPECT_FALSE(eqChar('@', '`', true));  // neighbours of the letter ranges
  EXPECT_FALSE(eqChar('[', '{', true));
  EXPECT_FALSE(eqChar(0xC9, 0xE9, true));
}

// The text functions against a model over code point lists, on random
// texts of 1- to 4-byte characters and bytes that are no UTF-8 (each one
// character), with every start and length from -7 to 7.
TEST(VecText, SubstringLengthTrimAndCaseAgreeWithAModel) {
  const std::vector<std::string> units = {"a", "Z", " ", "\xc3\xa9", "\xc3\x89", "\xce\xa3", "\xe6\x97\xa5",
                                          "\xf0\x9f\x98\x80", "\xff", "\xc3", "\xe2"};
  std::mt19937 rng(7);
  Arena arena;
  Make mk{arena};
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string> chars;
    const int n = static_cast<int>(rng() % 7);
    for (int i = 0; i < n; ++i) chars.push_back(units[rng() % units.size()]);
    // A cut sequence ("\xc3", "\xe2") would take continuation bytes that
    // follow it; a plain character after it keeps it one byte.
    for (size_t i = 0; i + 1 < chars.size(); ++i)
      if (chars[i] == "\xc3" || chars[i] == "\xe2") chars[i + 1] = "a";
    std::string s;
    for (const std::string& c : chars) s += c;
    auto piece = [&](int64_t start, std::optional<int64_t> len) {
      int64_t from = start > 0 ? start - 1 : start < 0 ? static_cast<int64_t>(chars.size()) + start : 0;
      int64_t to = len ? from + *len : INT64_MAX;
      std::string out;
      for (int64_t i = std::max<int64_t>(from, 0); i < std::min<int64_t>(to, static_cast<int64_t>(chars.size())); ++i)
        out += chars[static_cast<size_t>(i)];
      return out;
    };
    Vec v = mk.strs({s, std::nullopt});
    for (int64_t start = -7; start <= 7; ++start) {
      for (int64_t len = -8; len <= 7; ++len) {
        std::optional<int64_t> l = len == -8 ? std::nullopt : std::optional<int64_t>(len);
        Vec r = *substringOf(arena, v, start, l);
        ASSERT_EQ(r.strAt(0), piece(start, l)) << s << " " << start << " " << len;
        ASSERT_TRUE(r.isNull(1));
      }
    }
    EXPECT_EQ(textLength(arena, v)->intAt(0), static_cast<int64_t>(chars.size())) << s;
    size_t b = 0, e = chars.size();
    while (b < e && chars[b] == " ") ++b;
    while (e > b && chars[e - 1] == " ") --e;
    std::string trimmed;
    for (size_t i = b; i < e; ++i) trimmed += chars[i];
    EXPECT_EQ(trimSpaces(arena, v)->strAt(0), trimmed);
    // Upper then lower is the lower case; invalid bytes pass through.
    Vec up = *changeCase(arena, v, true);
    EXPECT_EQ(changeCase(arena, up, false)->strAt(0), changeCase(arena, v, false)->strAt(0)) << s;
  }
  EXPECT_EQ(changeCase(arena, mk.sStr("Stra\xc3\x9f" "e \xce\xa3\xcf\x82 \xc3\xa9\xc4\xb0"), true)->strAt(0),
            "STRA\xc3\x9f" "E \xce\xa3\xce\xa3 \xc3\x89\xc4\xb0");
  EXPECT_EQ(changeCase(arena, mk.sStr("\xc4\xb0I"), false)->strAt(0), "ii");
  EXPECT_EQ(changeCase(arena, mk.ints({1}), true).error(), EvalErr::TypeMismatch);
  Vec joined = *concatOf(arena, std::vector<Vec>{mk.strs({"a", std::nullopt, ""}), mk.sStr("-"), mk.strs({"b", "c", ""})});
  EXPECT_EQ(joined.strAt(0), "a-b");
  EXPECT_TRUE(joined.isNull(1));
  EXPECT_EQ(joined.strAt(2), "-");
}

// ROUND to digits is the value scaled, rounded half away from zero and
// scaled back, as the SQL writes it; FLOOR and CEIL are floats.
TEST(VecRound, HalfAwayFromZeroAtTheScale) {
  Arena arena;
  Make mk{arena};
  Vec x = mk.floats({2.5, -2.5, 0.285, 1.005, 1e300, -0.4, std::nullopt});
  auto at = [&](int32_t d) {
    Vec r = *roundTo(arena, x, d);
    std::vector<double> out;
    for (size_t i = 0; i + 1 < x.len; ++i) out.push_back(r.floatAt(i));
    EXPECT_TRUE(r.isNull(x.len - 1));
    return out;
  };
  EXPECT_EQ(at(0), (std::vector<double>{3, -3, 0, 1, 1e300, -0.0}));
  EXPECT_EQ(at(2), (std::vector<double>{2.5, -2.5, 0.28, 1.0, 1e300, -0.4}));
  EXPECT_EQ(at(-1), (std::vector<double>{0, -0.0, 0, 0, std::round(1e300 / 10) * 10, -0.0}));
  Vec i = mk.ints({15, -15, 25});
  EXPECT_EQ(roundTo(arena, i, 0)->kind, Kind::int_);
  Vec r = *roundTo(arena, i, -1);
  EXPECT_EQ(r.kind, Kind::float_);
  EXPECT_EQ(r.floatAt(0), 20);
  EXPECT_EQ(r.floatAt(1), -20);
  EXPECT_EQ(r.floatAt(2), 30);
  Vec f = *floorCeil(arena, mk.ints({-3}), false);
  EXPECT_EQ(f.kind, Kind::float_);
  EXPECT_EQ(floorCeil(arena, mk.floats({-2.5}), true)->floatAt(0), -2);
  EXPECT_EQ(roundTo(arena, mk.strs({"a"}), 1).error(), EvalErr::TypeMismatch);
}

// Every heap request a kernel triggers, refused once and refused from then
// on, must come back as OutOfMemory (LeakSanitizer checks nothing is lost).
TEST(VecKernels, AllocationFailureIsOutOfMemory) {
  Arena inputs;
  Make mk{inputs};
  Opt<int64_t> xs, ys;
  Opt<bool> bs;
  Opt<std::string> ss;
  for (int i = 0; i < 3000; ++i) {
    xs.push_back(i % 7 ? std::optional<int64_t>(i) : std::nullopt);
    ys.push_back(i % 5);
    bs.push_back(i % 3 ? std::optional<bool>(i % 2) : std::nullopt);
    ss.push_back("row" + std::to_string(i));
  }
  Vec x = mk.ints(xs), y = mk.ints(ys), b = mk.bools(bs), s = mk.strs(ss);
  Vec dates = mk.ints(xs, Kind::date);
  auto run = [&](Arena& a) -> EvalResult<Vec> {
    Vec q = TRY(arith(a, ArithOp::div, x, y));
    Vec m = TRY(arith(a, ArithOp::mod, x, y));
    Vec c = TRY(compare(a, C::lt, q, m));
    Vec t = TRY(compare(a, C::ge, dates, TRY(scalarStr(a, "1970-01-02"))));
    Vec l = TRY(logic(a, true, TRY(logic(a, false, c, b)), t));
    Vec k = TRY(like(a, s, TRY(scalarStr(a, "row1%")), false, false));
    TRY(isNull(a, TRY(not_(a, k)), true));
    TRY(truncateVec(a, Grain::month, dates));
    TRY(nullVec(a, Kind::str, 3000, false));
    return l;
  };
  for (bool every_after : {false, true}) {
    for (uint64_t n = 1;; ++n) {
      Arena a;
      setHeapFailure(n, every_after);
      auto r = run(a);
      setHeapFailure(0, false);
      if (r) {
        EXPECT_GT(n, 5u);
        break;
      }
      ASSERT_EQ(r.error(), EvalErr::OutOfMemory) << "failing request " << n;
      ASSERT_LT(n, 100u);
    }
  }
}

}  // namespace
}  // namespace quendra
