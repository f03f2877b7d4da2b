// Each kernel over whole vectors must equal the same operation applied row
// by row through the accessors, for every combination of column / scalar
// and with / without nulls, at lengths around the 64-row boundary. Values
// include the edges (zero and -1 divisors, extremes, NaN, signed zeros,
// non-ASCII and invalid UTF-8), and values under null entries are garbage on
// purpose.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "vec/kernels.h"
#include "vec/time.h"
#include "vec_testing.h"

namespace quendra {
namespace {

using C = vec::CmpOp;

enum class Form { col, col_nulls, scalar, scalar_masked, scalar_null };
constexpr Form kForms[] = {Form::col, Form::col_nulls, Form::scalar, Form::scalar_masked,
                           Form::scalar_null};
constexpr size_t kLens[] = {0, 1, 63, 64, 65, 1000};

const char* formName(Form f) {
  const char* names[] = {"col", "col_nulls", "scalar", "scalar_masked", "scalar_null"};
  return names[static_cast<int>(f)];
}

struct Gen {
  Arena& arena;
  std::mt19937_64 rng;
  bool date_in_range = false;  // dates whose midnight fits in microseconds

  int64_t anyInt() {
    switch (rng() % 6) {
      case 0: return static_cast<int64_t>(rng() % 21) - 10;
      case 1: {
        const int64_t edges[] = {INT64_MIN, INT64_MAX, -1, 0, 1, INT64_MIN + 1};
        return edges[rng() % 6];
      }
      case 2: return static_cast<int64_t>(rng() % 2001) - 1000;
      default: return static_cast<int64_t>(rng());
    }
  }
  double anyFloat() {
    const double edges[] = {0.0, -0.0, std::numeric_limits<double>::quiet_NaN(),
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(), 1e308, -1.0};
    switch (rng() % 4) {
      case 0: return edges[rng() % 7];
      case 1: return static_cast<double>(static_cast<int64_t>(rng() % 21) - 10);
      case 2: return static_cast<double>(static_cast<int64_t>(rng() % 2001) - 1000) / 8;
      default: return std::ldexp(static_cast<double>(static_cast<int64_t>(rng())), -40);
    }
  }
  int64_t anyDate() {
    if (date_in_range) return static_cast<int64_t>(rng() % 200'000'001) - 100'000'000;
    return rng() % 3 ? static_cast<int64_t>(rng() % 40001) - 20000 : anyInt();
  }
  std::string anyStr() {
    const char* parts[] = {"a", "b", "A", "x", "X", "é", "日", "\xF0", "\xA9", "ab", "abc", ""};
    std::string s;
    size_t n = rng() % 7;
    for (size_t i = 0; i < n; ++i) s += parts[rng() % std::size(parts)];
    return s;
  }

  // m stored entries of kind k, with a random mask when `nulls`.
  Vec make(Kind k, size_t m, bool nulls) {
    testing::Make mk{arena};
    std::vector<uint8_t> mask(m);
    for (auto& b : mask) b = nulls && rng() % 4 == 0;
    Vec v;
    switch (k) {
      case Kind::int_:
      case Kind::date:
      case Kind::timestamp: {
        std::vector<int64_t> xs(m);
        for (auto& x : xs) x = k == Kind::date ? anyDate() : anyInt();
        v = mk.base(k, m, nullptr, intData(mk.store(xs)));
        break;
      }
      case Kind::float_: {
        std::vector<double> xs(m);
        for (auto& x : xs) x = anyFloat();
        v = mk.base(k, m, nullptr, floatData(mk.store(xs)));
        break;
      }
      case Kind::bool_: {
        std::vector<uint8_t> xs(m);
        for (auto& x : xs) x = rng() % 2;
        v = mk.base(k, m, nullptr, boolData(mk.store(xs)));
        break;
      }
      case Kind::str: {
        testing::Opt<std::string> xs(m);
        for (auto& x : xs) x = anyStr();
        v = mk.strs(xs);
        break;
      }
    }
    if (nulls) v.nulls = mk.store(mask);
    return v;
  }

  Vec operand(Kind k, Form f, size_t n) {
    switch (f) {
      case Form::col: return make(k, n, false);
      case Form::col_nulls: return make(k, n, true);
      case Form::scalar: return testing::Make::asScalar(make(k, 1, false));
      case Form::scalar_masked: {
        Vec v = testing::Make::asScalar(make(k, 1, false));
        v.nulls = testing::Make{arena}.store(std::vector<uint8_t>{0});
        return v;
      }
      case Form::scalar_null: break;
    }
    return *nullVec(arena, k, 1, true);
  }
};

bool sameDouble(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// The expected entry of a result, or null.
struct Want {
  bool null = false;
  int64_t i = 0;
  double f = 0;
};

// Checks shape, nulls, values, and 0 / false under nulls.
template <class RowFn>
void expectRows(const Vec& r, Kind kind, OutLen shape, RowFn row) {
  ASSERT_EQ(r.kind, kind);
  ASSERT_EQ(r.len, shape.n);
  ASSERT_EQ(r.scalar, shape.scalar);
  for (size_t i = 0; i < shape.stored(); ++i) {
    Want w = row(i);
    ASSERT_EQ(r.isNull(i), w.null) << "row " << i;
    if (kind == Kind::float_) {
      double got = r.data.floats[i];
      ASSERT_TRUE(sameDouble(got, w.null ? 0.0 : w.f)) << "row " << i << ": " << got << " vs " << w.f;
    } else if (kind == Kind::bool_) {
      ASSERT_EQ(r.data.bools[i], w.null ? 0 : w.i) << "row " << i;
    } else {
      ASSERT_EQ(r.data.ints[i], w.null ? 0 : w.i) << "row " << i;
    }
  }
}

// Runs `body(a, b, n)` for every pair of forms and every length.
template <class Body>
void forEachShape(Gen& g, Kind ka, Kind kb, Body body) {
  for (size_t n : kLens) {
    for (Form fa : kForms) {
      for (Form fb : kForms) {
        Vec a = g.operand(ka, fa, n), b = g.operand(kb, fb, n);
        SCOPED_TRACE(::testing::Message() << "n=" << n << " a=" << formName(fa)
                                          << " b=" << formName(fb));
        body(a, b);
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
}

double refFloatOp(ArithOp op, double x, double y) {
  switch (op) {
    case ArithOp::add: return x + y;
    case ArithOp::sub: return x - y;
    case ArithOp::mul: return x * y;
    case ArithOp::div: return x / y;
    case ArithOp::mod: {
      double r = std::fmod(x, y);
      return x < 0 ? std::fmod(r + y, y) : r;
    }
  }
  return 0;
}

int64_t refIntOp(ArithOp op, int64_t x, int64_t y) {
  auto ux = static_cast<uint64_t>(x), uy = static_cast<uint64_t>(y);
  switch (op) {
    case ArithOp::add: return static_cast<int64_t>(ux + uy);
    case ArithOp::sub: return static_cast<int64_t>(ux - uy);
    case ArithOp::mul: return static_cast<int64_t>(ux * uy);
    case ArithOp::div: break;
    case ArithOp::mod: return y == -1 ? 0 : x % y;
  }
  return 0;
}

TEST(VecRandom, ArithMatchesRowByRow) {
  Arena arena;
  Gen g{arena, std::mt19937_64(1)};
  const Kind kinds[] = {Kind::int_, Kind::float_};
  for (int op = 0; op <= 4; ++op) {
    ArithOp aop = static_cast<ArithOp>(op);
    for (Kind ka : kinds) {
      for (Kind kb : kinds) {
        SCOPED_TRACE(::testing::Message() << "op " << op << " kinds " << int(ka) << "," << int(kb));
        forEachShape(g, ka, kb, [&](const Vec& a, const Vec& b) {
          OutLen shape = outLen(a, b);
          Vec r = *arith(arena, aop, a, b);
          bool fl = aop == ArithOp::div || ka == Kind::float_ || kb == Kind::float_;
          Kind want_kind = fl ? Kind::float_ : Kind::int_;
          if (a.isNullScalar() || b.isNullScalar()) {
            want_kind = aop == ArithOp::div ? Kind::float_ : Kind::int_;
            expectRows(r, want_kind, shape, [](size_t) { return Want{true}; });
            return;
          }
          bool any_null = false;
          expectRows(r, want_kind, shape, [&](size_t i) {
            Want w;
            w.null = a.isNull(i) || b.isNull(i);
            if (!w.null && fl) {
              double y = b.floatAt(i);
              w.null = aop == ArithOp::div && y == 0;
              w.f = refFloatOp(aop, a.floatAt(i), y);
            } else if (!w.null) {
              int64_t y = b.intAt(i);
              w.null = aop == ArithOp::mod && y == 0;
              if (!w.null) w.i = refIntOp(aop, a.intAt(i), y);
            }
            any_null |= w.null;
            return w;
          });
          // A mask only when an operand has one or a division made a null.
          EXPECT_EQ(r.nulls != nullptr, a.nulls || b.nulls || any_null);
        });
      }
    }
  }
}

Ord refOrder(const Vec& a, const Vec& b, size_t i) {
  auto sign = [](auto x, auto y) { return x < y ? Ord::lt : (x > y ? Ord::gt : Ord::eq); };
  if (a.kind == Kind::int_ && b.kind == Kind::int_) return sign(a.intAt(i), b.intAt(i));
  if (a.isNumeric()) return floatOrder(a.floatAt(i), b.floatAt(i));
  if (a.isTemporal()) {
    auto instant = [&](const Vec& v) {
      __int128 x = v.intAt(i);
      return v.kind == Kind::date ? x * kMicrosPerDay : x;
    };
    return sign(instant(a), instant(b));
  }
  if (a.kind == Kind::str) return sign(a.strAt(i).compare(b.strAt(i)), 0);
  return sign(a.boolAt(i), b.boolAt(i));
}

TEST(VecRandom, CompareMatchesRowByRow) {
  Arena arena;
  Gen g{arena, std::mt19937_64(2)};
  std::pair<Kind, Kind> pairs[] = {
      {Kind::int_, Kind::int_},   {Kind::int_, Kind::float_},       {Kind::float_, Kind::int_},
      {Kind::float_, Kind::float_}, {Kind::date, Kind::date},       {Kind::date, Kind::timestamp},
      {Kind::timestamp, Kind::date}, {Kind::timestamp, Kind::timestamp}, {Kind::str, Kind::str},
      {Kind::bool_, Kind::bool_},
  };
  for (int op = 0; op <= 5; ++op) {
    C cop = static_cast<C>(op);
    for (auto [ka, kb] : pairs) {
      SCOPED_TRACE(::testing::Message() << "op " << op << " kinds " << int(ka) << "," << int(kb));
      forEachShape(g, ka, kb, [&](const Vec& a, const Vec& b) {
        OutLen shape = outLen(a, b);
        Vec r = *compare(arena, cop, a, b);
        if (a.isNullScalar() || b.isNullScalar()) {
          expectRows(r, Kind::bool_, shape, [](size_t) { return Want{true}; });
          return;
        }
        expectRows(r, Kind::bool_, shape, [&](size_t i) {
          Want w;
          w.null = a.isNull(i) || b.isNull(i);
          if (!w.null) w.i = ordApply(cop, refOrder(a, b, i));
          return w;
        });
        if (shape.n > 0 || shape.scalar) {
          EXPECT_EQ(r.nulls != nullptr, a.nulls || b.nulls);
        }
      });
    }
  }
}

std::optional<bool> kleene(bool is_and, std::optional<bool> x, std::optional<bool> y) {
  if (is_and) {
    if (x == false || y == false) return false;
    if (!x || !y) return std::nullopt;
    return true;
  }
  if (x == true || y == true) return true;
  if (!x || !y) return std::nullopt;
  return false;
}

TEST(VecRandom, LogicMatchesRowByRow) {
  Arena arena;
  Gen g{arena, std::mt19937_64(3)};
  for (bool is_and : {true, false}) {
    forEachShape(g, Kind::bool_, Kind::bool_, [&](const Vec& a, const Vec& b) {
      auto at = [](const Vec& v, size_t i) {
        return v.isNull(i) ? std::nullopt : std::optional<bool>(v.boolAt(i));
      };
      // A null scalar of another kind takes part the same way.
      Vec a2 = a;
      if (a.isNullScalar()) a2 = *nullVec(arena, Kind::str, 1, true);
      Vec r = *logic(arena, is_and, a2, b);
      bool any_null = false;
      expectRows(r, Kind::bool_, outLen(a, b), [&](size_t i) {
        std::optional<bool> k = kleene(is_and, at(a, i), at(b, i));
        any_null |= !k;
        return Want{!k, k.value_or(false)};
      });
      EXPECT_EQ(r.nulls != nullptr, any_null);

      Vec nv = *not_(arena, a);
      if (a.isNullScalar()) {
        EXPECT_EQ(nv.data.bools, a.data.bools);
      } else {
        EXPECT_EQ(nv.nulls, a.nulls);
        expectRows(nv, Kind::bool_, {a.len, a.scalar}, [&](size_t i) {
          return Want{a.isNull(i), !a.isNull(i) && !a.boolAt(i)};
        });
      }
      for (bool negated : {false, true}) {
        Vec in = *isNull(arena, b, negated);
        EXPECT_EQ(in.nulls, nullptr);
        expectRows(in, Kind::bool_, {b.len, b.scalar},
                   [&](size_t i) { return Want{false, b.isNull(i) != negated}; });
      }
    });
  }
}

TEST(VecRandom, LikeMatchesRowByRow) {
  Arena arena;
  Gen g{arena, std::mt19937_64(4)};
  // Every shape the kernel treats specially, and some it does not.
  const char* patterns[] = {"",    "a",    "abc",  "ab%",   "a%%",   "%",     "%%",   "%x%",
                            "%ab%", "%é%", "%\xA9%", "%abc", "_",     "a_c",   "%a_%", "é%",
                            "%%b%%", "A%",  "%日%", "a%b%c", "\xF0%", "%\xF0%", "%a%b%", "a%%c", "%b%a",
                            "%é%\xA9%", "ab%ab", "%\xF0%b%"};
  for (const char* p : patterns) {
    for (bool ci : {false, true}) {
      for (bool negated : {false, true}) {
        SCOPED_TRACE(::testing::Message() << "pattern '" << p << "' ci=" << ci << " not=" << negated);
        Vec pat = *scalarStr(arena, p);
        for (size_t n : kLens) {
          for (Form f : {Form::col, Form::col_nulls, Form::scalar, Form::scalar_masked}) {
            Vec v = g.operand(Kind::str, f, n);
            Vec r = *like(arena, v, pat, ci, negated);
            EXPECT_EQ(r.nulls, v.nulls);
            expectRows(r, Kind::bool_, {v.len, v.scalar}, [&](size_t i) {
              if (v.isNull(i)) return Want{true};
              return Want{false, likeMatch(v.strAt(i), p, ci) != negated};
            });
            if (HasFatalFailure()) return;
          }
        }
      }
    }
  }
}

// likeMatch against the definition: '%' any run of characters, '_' one
// character, anything else itself; over valid UTF-8 by exhaustive search.
bool oracle(const std::vector<std::string>& s, size_t si, const std::vector<std::string>& p,
            size_t pi, bool ci) {
  if (pi == p.size()) return si == s.size();
  if (p[pi] == "%") {
    for (size_t k = si; k <= s.size(); ++k)
      if (oracle(s, k, p, pi + 1, ci)) return true;
    return false;
  }
  if (si == s.size()) return false;
  if (p[pi] != "_") {
    if (p[pi].size() != s[si].size()) return false;
    for (size_t k = 0; k < p[pi].size(); ++k)
      if (!eqChar(p[pi][k], s[si][k], ci)) return false;
  }
  return oracle(s, si + 1, p, pi + 1, ci);
}

TEST(VecRandom, LikeMatchAgreesWithDefinition) {
  std::mt19937_64 rng(6);
  const char* s_chars[] = {"a", "b", "A", "é", "日"};
  const char* p_chars[] = {"a", "b", "A", "é", "%", "_", "%"};
  for (int iter = 0; iter < 20000; ++iter) {
    std::vector<std::string> s, p;
    std::string st, pt;
    for (size_t i = rng() % 9; i > 0; --i) s.push_back(s_chars[rng() % 5]), st += s.back();
    for (size_t i = rng() % 7; i > 0; --i) p.push_back(p_chars[rng() % 7]), pt += p.back();
    bool ci = rng() % 2;
    ASSERT_EQ(likeMatch(st, pt, ci), oracle(s, 0, p, 0, ci))
        << "'" << st << "' LIKE '" << pt << "' ci=" << ci;
  }
}

TEST(VecRandom, TruncateVecMatchesRowByRow) {
  Arena arena;
  Gen g{arena, std::mt19937_64(7)};
  g.date_in_range = true;
  for (int gr = 0; gr <= 7; ++gr) {
    Grain grain = static_cast<Grain>(gr);
    for (Kind k : {Kind::date, Kind::timestamp}) {
      for (size_t n : kLens) {
        for (Form f : kForms) {
          SCOPED_TRACE(::testing::Message() << grainName(grain) << " kind " << int(k) << " n=" << n
                                            << " " << formName(f));
          Vec a = g.operand(k, f, n);
          Vec r = *truncateVec(arena, grain, a);
          EXPECT_EQ(r.nulls, a.nulls);
          expectRows(r, Kind::timestamp, {a.len, a.scalar}, [&](size_t i) {
            if (a.isNull(i)) return Want{true};
            return Want{false, truncate(grain, tsAt(a, i))};
          });
          if (HasFatalFailure()) return;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quendra

namespace quendra {
namespace {

// choose, the kernel of CASE and COALESCE, against its definition row by
// row: the chosen side's value widened to the common kind, or its null.
TEST(VecRandom, ChooseMatchesRowByRow) {
  Arena arena;
  Gen g{arena, std::mt19937_64(11)};
  g.date_in_range = true;
  const std::pair<Kind, Kind> pairs[] = {{Kind::int_, Kind::int_},   {Kind::int_, Kind::float_},
                                         {Kind::float_, Kind::int_}, {Kind::date, Kind::timestamp},
                                         {Kind::timestamp, Kind::date}, {Kind::bool_, Kind::bool_},
                                         {Kind::str, Kind::str}};
  for (auto [ka, kb] : pairs) {
    for (Form fc : kForms) {
      forEachShape(g, ka, kb, [&](const Vec& a, const Vec& b) {
        const size_t n = a.scalar ? (b.scalar ? 1 : b.len) : a.len;
        Vec c = g.operand(Kind::bool_, fc, n);
        SCOPED_TRACE(::testing::Message() << "kinds " << int(ka) << "," << int(kb) << " cond " << formName(fc));
        Vec r = *choose(arena, c, a, b);
        if (a.isNullScalar() && b.isNullScalar()) {
          ASSERT_TRUE(r.isNullScalar());  // still a null of no particular kind
          return;
        }
        Kind k = a.isNullScalar() ? kb : b.isNullScalar() || ka == kb ? ka
                 : ka == Kind::date || ka == Kind::timestamp ? Kind::timestamp : Kind::float_;
        auto side = [&](size_t i) -> const Vec& { return !c.isNull(i) && c.boolAt(i) ? a : b; };
        OutLen shape = c.scalar ? OutLen{side(0).len, side(0).scalar} : OutLen{c.len, false};
        if (k == Kind::str) {
          ASSERT_EQ(r.kind, Kind::str);
          ASSERT_EQ(r.len, shape.n);
          for (size_t i = 0; i < shape.stored(); ++i) {
            ASSERT_EQ(r.isNull(i), side(i).isNull(i)) << i;
            if (!side(i).isNull(i)) ASSERT_EQ(r.strAt(i), side(i).strAt(i)) << i;
            if (!c.scalar && side(i).isNull(i)) ASSERT_EQ(r.strAt(i), Bytes()) << i;
          }
          return;
        }
        auto want = [&](size_t i) {
          const Vec& s = side(i);
          if (s.isNull(i)) return Want{true};
          if (k == Kind::float_) return Want{false, 0, s.floatAt(i)};
          if (k == Kind::timestamp) return Want{false, tsAt(s, i)};
          return Want{false, k == Kind::bool_ ? int64_t{s.boolAt(i)} : s.intAt(i)};
        };
        if (!c.scalar) return expectRows(r, k, shape, want);
        // A scalar condition hands out the chosen side as it is, whatever
        // lies under its nulls.
        ASSERT_EQ(r.kind, k);
        ASSERT_EQ(r.len, shape.n);
        for (size_t i = 0; i < shape.stored(); ++i) {
          Want w = want(i);
          ASSERT_EQ(r.isNull(i), w.null) << i;
          if (w.null) continue;
          if (k == Kind::float_)
            ASSERT_TRUE(sameDouble(r.floatAt(i), w.f)) << i;
          else
            ASSERT_EQ(k == Kind::bool_ ? int64_t{r.boolAt(i)} : r.intAt(i), w.i) << i;
        }
      });
      if (HasFatalFailure()) return;
    }
  }
  // Kinds that do not mix fail whatever the condition holds, unless one
  // side is a null scalar.
  Vec t = *scalarBool(arena, true);
  for (auto [ka, kb] : {std::pair{Kind::int_, Kind::str}, {Kind::bool_, Kind::int_}, {Kind::date, Kind::int_},
                        {Kind::str, Kind::timestamp}}) {
    EXPECT_EQ(choose(arena, t, g.operand(ka, Form::col, 3), g.operand(kb, Form::col, 3)).error(),
              EvalErr::TypeMismatch);
    EXPECT_TRUE(choose(arena, t, g.operand(ka, Form::col, 3), g.operand(kb, Form::scalar_null, 3)));
  }
  EXPECT_EQ(choose(arena, *scalarInt(arena, 1), t, t).error(), EvalErr::TypeMismatch);
}

// ABS and the date parts against libc's calendar.
TEST(VecRandom, AbsAndDatePartsMatchRowByRow) {
  Arena arena;
  Gen g{arena, std::mt19937_64(12)};
  g.date_in_range = true;
  for (size_t n : kLens) {
    for (Form f : kForms) {
      SCOPED_TRACE(::testing::Message() << "n=" << n << " " << formName(f));
      for (Kind k : {Kind::int_, Kind::float_}) {
        Vec a = g.operand(k, f, n);
        expectRows(*absolute(arena, a), k, {a.len, a.scalar}, [&](size_t i) {
          if (a.isNull(i)) return Want{true};
          if (k == Kind::float_) return Want{false, 0, std::fabs(a.floatAt(i))};
          return Want{false, a.intAt(i) == INT64_MIN ? INT64_MIN : std::abs(a.intAt(i))};
        });
      }
      for (Kind k : {Kind::date, Kind::timestamp}) {
        Vec a = g.operand(k, f, n);
        for (int p = 0; p <= 6; ++p) {
          Vec r = *datePart(arena, static_cast<DatePart>(p), a);
          expectRows(r, Kind::int_, {a.len, a.scalar}, [&](size_t i) {
            if (a.isNull(i)) return Want{true};
            // Seconds since 1970, floored, for gmtime.
            int64_t x = a.intAt(i);
            time_t secs = k == Kind::date ? x * 86400 : (x >= 0 ? x / 1'000'000 : -((-(x + 1)) / 1'000'000) - 1);
            tm t{};
            gmtime_r(&secs, &t);
            const int64_t want[] = {t.tm_year + int64_t{1900}, t.tm_mon / 3 + 1, t.tm_mon + 1, t.tm_mday,
                                    t.tm_hour, t.tm_min, t.tm_wday ? t.tm_wday : 7};
            return Want{false, want[p]};
          });
          if (HasFatalFailure()) return;
        }
      }
    }
  }
  EXPECT_EQ(datePart(arena, DatePart::year, *scalarInt(arena, 1)).error(), EvalErr::TypeMismatch);
  EXPECT_EQ(absolute(arena, *scalarStr(arena, "x")).error(), EvalErr::TypeMismatch);
}

}  // namespace
}  // namespace quendra
