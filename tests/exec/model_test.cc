// execute must agree with a plain row-at-a-time model of the same plan.
//
// Each seed draws a base table and two right-hand tables (nulls, NaN, signed
// zeros, empty strings, few distinct values so groups repeat, sometimes a
// duplicate right key), a manifest over them and a batch of queries. Every
// query that plans is run by execute and answered by the model below, which
// walks the plan one base row or one group at a time: a join scans the right
// table, an expression applies the kernels to one-row vectors, groups live
// in a list searched linearly, aggregates are folded from per-group value
// lists. Results must agree cell for cell (floats bitwise, NaN equal to
// NaN) and failures in kind.
//
// Evaluation errors depend on kinds and literals, never on values, so
// evaluating row by row meets the first failing expression in the same step
// as a whole-column pass. Row-level expressions (filters, dimensions,
// aggregate arguments and their filters) are read once over a row of nulls
// before any row, so their faults show whatever the data; group-level ones
// are evaluated once over zero groups when there are none.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../plan/plan_test_util.h"
#include "../vec/vec_testing.h"
#include "exec/exec.h"
#include "vec/kernels.h"
#include "vec/time.h"

namespace quendra {
namespace {

constexpr size_t kNoRow = SIZE_MAX;         // evaluate over zero rows
constexpr size_t kNullProbe = SIZE_MAX - 1;  // one row whose every column is null

// ---------------------------------------------------------------- values

struct Cell {
  bool null = true;
  int64_t i = 0;  // int, date, timestamp; bool as 0 / 1
  double f = 0;
  std::string s;
};

Cell cellAt(const Vec& v, size_t r) {
  Cell c;
  if (v.isNull(r)) return c;
  c.null = false;
  switch (v.data.tag) {
    case Data::Tag::int_: c.i = v.intAt(r); break;
    case Data::Tag::float_: c.f = v.floatAt(r); break;
    case Data::Tag::bool_: c.i = v.boolAt(r); break;
    case Data::Tag::str: c.s = std::string(v.strAt(r)); break;
  }
  return c;
}

// Equality for grouping, distinct counts and join keys: null equals null,
// -0.0 equals +0.0, NaN equals NaN, everything else exactly.
bool groupEq(const Cell& a, const Cell& b, Kind k) {
  if (a.null || b.null) return a.null == b.null;
  if (k == Kind::float_) return a.f == b.f || (std::isnan(a.f) && std::isnan(b.f));
  return k == Kind::str ? a.s == b.s : a.i == b.i;
}

// Order of two non-null values: NaN is equal to everything, strings by
// unsigned bytes with a proper prefix first.
Ord orderOf(const Cell& a, const Cell& b, Kind k) {
  auto sign = [](auto x, auto y) { return x < y ? Ord::lt : (x > y ? Ord::gt : Ord::eq); };
  if (k == Kind::float_) return sign(a.f, b.f);
  if (k != Kind::str) return sign(a.i, b.i);
  int c = std::memcmp(a.s.data(), b.s.data(), std::min(a.s.size(), b.s.size()));
  return c ? sign(c, 0) : sign(a.s.size(), b.s.size());
}

std::string show(const Cell& c, Kind k) {
  if (c.null) return "null";
  std::ostringstream o;
  switch (k) {
    case Kind::float_: o.precision(17); o << (std::isnan(c.f) ? std::nan("") : c.f); break;
    case Kind::bool_: o << (c.i ? "true" : "false"); break;
    case Kind::str: o << '\'' << c.s << '\''; break;
    case Kind::date: o << "d" << c.i; break;
    case Kind::timestamp: o << "ts" << c.i; break;
    case Kind::int_: o << c.i; break;
  }
  return o.str();
}

// The cells as a vector of kind k (a one-entry scalar when `scalar`).
Vec vecOf(Arena& a, Kind k, const std::vector<Cell>& cells, bool scalar = false) {
  testing::Make mk{a};
  auto opt = [&](auto get) {
    testing::Opt<decltype(get(Cell{}))> xs;
    for (auto& c : cells) xs.push_back(c.null ? std::nullopt : std::optional(get(c)));
    return xs;
  };
  Vec v;
  switch (storageOf(k)) {
    case Data::Tag::int_: v = mk.ints(opt([](const Cell& c) { return c.i; }), k); break;
    case Data::Tag::float_: v = mk.floats(opt([](const Cell& c) { return c.f; })); break;
    case Data::Tag::bool_: v = mk.bools(opt([](const Cell& c) { return c.i != 0; })); break;
    case Data::Tag::str: v = mk.strs(opt([](const Cell& c) { return c.s; })); break;
  }
  v.scalar = scalar;
  return v;
}

// Row r of a column as a one-row column, or the column cut to zero rows.
Vec slice(const Vec& c, size_t r) {
  Vec v = c;
  v.len = r == kNoRow ? 0 : 1;
  if (r == kNoRow) return v;
  if (v.nulls) v.nulls += r;
  switch (v.data.tag) {
    case Data::Tag::int_: v.data.ints += r; break;
    case Data::Tag::float_: v.data.floats += r; break;
    case Data::Tag::bool_: v.data.bools += r; break;
    case Data::Tag::str: v.data.str.offs += r; break;
  }
  return v;
}

// --------------------------------------------------------------- the model

// An evaluation error as the kind the executor reports.
Result<Vec> lifted(EvalResult<Vec> r) {
  if (r) return *r;
  if (r.error() == EvalErr::UnknownColumn) return std::unexpected(Err::UnknownField);
  return std::unexpected(r.error() == EvalErr::OutOfMemory ? Err::OutOfMemory : Err::Invalid);
}

using Resolve = std::function<EvalResult<Vec>(const Node&)>;

// One node of e, its operands first, each operator one kernel call.
EvalResult<Vec> ev(Arena& A, const Expr& e, uint32_t i, const Resolve& id) {
  const Node& n = e[i];
  switch (n.tag) {
    case Tag::ident: return id(n);
    case Tag::int_: {
      int64_t x = 0;
      auto [end, ec] = std::from_chars(n.text.data(), n.text.data() + n.text.size(), x);
      if (ec != std::errc() || end != n.text.data() + n.text.size())
        return std::unexpected(EvalErr::BadLiteral);
      return scalarInt(A, x);
    }
    case Tag::float_:
      if (std::count(n.text.begin(), n.text.end(), '.') > 1) return std::unexpected(EvalErr::BadLiteral);
      return scalarFloat(A, std::strtod(std::string(n.text).c_str(), nullptr));
    case Tag::string: return scalarStr(A, n.text);
    case Tag::boolean: return scalarBool(A, n.a == 1);
    case Tag::null_lit: return nullVec(A, Kind::int_, 1, true);
    default: break;
  }
  if (isVariadic(n.tag)) {
    std::vector<Vec> ops;
    for (uint32_t k : e.list(n)) ops.push_back(TRY(ev(A, e, k, id)));
    return evalList(A, n.tag, ops);
  }
  if (n.tag >= Tag::like) return evalUnary(A, n, TRY(ev(A, e, n.a, id)));
  Vec a = TRY(ev(A, e, n.a, id));
  switch (n.tag) {
    case Tag::neg: return negate(A, a);
    case Tag::not_: return not_(A, a);
    case Tag::is_null: return isNull(A, a, false);
    case Tag::is_not_null: return isNull(A, a, true);
    default: break;
  }
  Vec b = TRY(ev(A, e, n.b, id));
  int t = static_cast<int>(n.tag);
  if (n.tag >= Tag::add && n.tag <= Tag::mod)
    return arith(A, static_cast<ArithOp>(t - static_cast<int>(Tag::add)), a, b);
  if (n.tag >= Tag::eq && n.tag <= Tag::ge)
    return compare(A, static_cast<vec::CmpOp>(t - static_cast<int>(Tag::eq)), a, b);
  return logic(A, n.tag == Tag::and_, a, b);
}

// Identifiers of alias k at one base row: base columns directly, joined
// columns through the row's match (a null when it has none).
struct Env {
  explicit Env(Arena& a) : A(a) {}
  Arena& A;
  const exec::Table* tab[kAliasSlots] = {};
  std::vector<int64_t> match[kAliasSlots];

  EvalResult<Vec> col(uint8_t alias, Bytes name, size_t row) {
    const exec::Table* t = tab[alias];
    for (size_t c = 0; t && c < t->names.size(); ++c) {
      if (t->names[c] != name) continue;
      if (row == kNullProbe) return vecOf(A, t->cols[c].kind, {Cell{}});
      if (alias == 0 || row == kNoRow) return slice(t->cols[c], row);
      int64_t m = match[alias][row];
      return m < 0 ? vecOf(A, t->cols[c].kind, {Cell{}}) : slice(t->cols[c], m);
    }
    return std::unexpected(EvalErr::UnknownColumn);
  }

  // One value per row 0..n-1, and the kind (from one zero-row pass when n is 0),
  // after one pass over a row of nulls when `probe`.
  struct Rows {
    std::vector<Vec> v;
    Kind kind = Kind::int_;
  };
  Result<Rows> rows(const Expr& e, uint8_t alias, size_t n, bool probe = false) {
    Rows out;
    if (probe) TRY(lifted(ev(A, e, e.root, [&](const Node& n) { return col(identAlias(n, alias), n.text, kNullProbe); })));
    for (size_t r = 0; r < std::max<size_t>(n, 1); ++r) {
      size_t row = n ? r : kNoRow;
      Vec v = TRY(lifted(ev(A, e, e.root, [&](const Node& n) { return col(identAlias(n, alias), n.text, row); })));
      out.kind = v.kind;
      if (n) out.v.push_back(v);
    }
    return out;
  }
};

// What a predicate reads: dimension expressions at one row, measures at
// one group.
struct PredCx {
  std::function<Result<Vec>(const Bound&)> bound;
  std::function<Result<Vec>(uint32_t)> measure;
};

Result<Vec> literal(Arena& A, const Literal& l) {
  switch (l.tag) {
    case Literal::Tag::null: return lifted(nullVec(A, Kind::int_, 1, true));
    case Literal::Tag::boolean: return lifted(scalarBool(A, l.b));
    case Literal::Tag::int_: return lifted(scalarInt(A, l.i));
    case Literal::Tag::float_: return lifted(scalarFloat(A, l.f));
    case Literal::Tag::string: break;
  }
  return lifted(scalarStr(A, l.s));
}

Result<Vec> pred(Arena& A, const Pred& p, const PredCx& cx) {
  switch (p.tag) {
    case Pred::Tag::all:
    case Pred::Tag::any: {
      Vec acc = TRY(pred(A, p.children[0], cx));
      for (size_t i = 1; i < p.children.size(); ++i) {
        Vec v = TRY(pred(A, p.children[i], cx));
        acc = TRY(lifted(logic(A, p.tag == Pred::Tag::all, acc, v)));
      }
      return acc;
    }
    case Pred::Tag::expr: return cx.bound(p.expr);
    case Pred::Tag::range: {
      Vec v = TRY(cx.bound(p.range.b));
      auto lo = parseTimestamp(p.range.start);
      if (!lo) return std::unexpected(Err::Invalid);
      auto hi = parseTimestamp(p.range.end);
      if (!hi) return std::unexpected(Err::Invalid);
      if (p.range.end_is_date) *hi += kMicrosPerDay;
      Vec a = TRY(lifted(compare(A, vec::CmpOp::ge, v, *scalarTimestamp(A, *lo))));
      auto up = p.range.end_is_date ? vec::CmpOp::lt : vec::CmpOp::le;
      Vec b = TRY(lifted(compare(A, up, v, *scalarTimestamp(A, *hi))));
      return lifted(logic(A, true, a, b));
    }
    case Pred::Tag::cmp: break;
  }
  const Cmp& c = p.cmp;
  Vec left = TRY(c.lhs.tag == Operand::Tag::measure ? cx.measure(c.lhs.measure) : cx.bound(c.lhs.dim));
  switch (c.op) {
    case CmpOp::is_null:
    case CmpOp::is_not_null: return lifted(isNull(A, left, c.op == CmpOp::is_not_null));
    case CmpOp::like:
    case CmpOp::not_like:
    case CmpOp::ilike:
    case CmpOp::not_ilike: {
      bool ci = c.op == CmpOp::ilike || c.op == CmpOp::not_ilike;
      bool neg = c.op == CmpOp::not_like || c.op == CmpOp::not_ilike;
      return lifted(like(A, left, TRY(literal(A, c.values[0])), ci, neg));
    }
    case CmpOp::in:
    case CmpOp::not_in: {
      Vec acc = TRY(lifted(compare(A, vec::CmpOp::eq, left, TRY(literal(A, c.values[0])))));
      for (size_t i = 1; i < c.values.size(); ++i) {
        Vec eq = TRY(lifted(compare(A, vec::CmpOp::eq, left, TRY(literal(A, c.values[i])))));
        acc = TRY(lifted(logic(A, false, acc, eq)));
      }
      return c.op == CmpOp::in ? acc : lifted(not_(A, acc));
    }
    default: break;
  }
  auto op = static_cast<vec::CmpOp>(static_cast<int>(c.op));
  return lifted(compare(A, op, left, TRY(literal(A, c.values[0]))));
}

// A query's answer as plain cells.
struct Answer {
  std::vector<Kind> kinds;
  std::vector<std::vector<Cell>> cols;
  size_t nrows = 0;
  // A NaN in a float sort key equals every value, which is no strict weak
  // order: any stable sort may then legally produce a different order. Only
  // the rows (all of them, or their count under a cutting limit) are fixed.
  bool nan_sorted = false;
  bool cut = false;
};

// A measure's value per group (one shared value when scalar).
struct MCol {
  Kind kind = Kind::int_;
  bool scalar = false;
  std::vector<Cell> cells;
  Vec at(Arena& A, size_t g) const {
    if (g == kNoRow) return scalar ? vecOf(A, kind, {cells[0]}, true) : vecOf(A, kind, {});
    return vecOf(A, kind, {cells[g]}, scalar);
  }
};

struct Group {
  std::vector<Cell> key;
  size_t first = kNoRow;
  std::vector<size_t> rows;
};

// The bound tables by name, as the model looks them up.
using BoundTables = std::vector<std::pair<std::string, exec::Table>>;

// Whether row r passes a measure's own filters (every one evaluated).
using RowFilter = std::function<Result<bool>(const Agg&, size_t)>;

Result<MCol> aggregate(Env& env, const Agg& a, const std::vector<Group>& groups, size_t n, const RowFilter& passes) {
  Env::Rows arg;
  if (a.arg) arg = TRY(env.rows(a.arg->e, a.arg->alias, n, true));
  std::vector<bool> in(n, true);
  if (!a.filters.empty()) TRY(passes(a, kNullProbe));
  for (size_t r = 0; r < std::max<size_t>(n, 1) && !a.filters.empty(); ++r) {
    bool k = TRY(passes(a, n ? r : kNoRow));
    if (n) in[r] = k;
  }
  bool numeric = arg.kind == Kind::int_ || arg.kind == Kind::float_;
  if ((a.func == AggFn::sum || a.func == AggFn::mean || isStatistic(a.func)) && !numeric)
    return std::unexpected(Err::Invalid);
  bool float_sum = a.func == AggFn::mean || (a.func == AggFn::sum && arg.kind == Kind::float_) || isStatistic(a.func);
  MCol out{float_sum ? Kind::float_ : Kind::int_, false, {}};
  if (a.func == AggFn::min || a.func == AggFn::max) out.kind = arg.kind;
  for (const Group& g : groups) {
    std::vector<Cell> vals;  // the group's non-null values in row order
    for (size_t r : g.rows) {
      if (!in[r]) continue;
      Cell c = a.arg ? cellAt(arg.v[r], 0) : Cell{false, 1, 0, {}};
      if (!c.null) vals.push_back(c);
    }
    Cell res;
    std::vector<double> xs;
    for (auto& v : vals) xs.push_back(arg.kind == Kind::float_ ? v.f : static_cast<double>(v.i));
    switch (a.func) {
      case AggFn::median:
      case AggFn::percentile: {
        // Sorted in full, NaN last; the same interpolation between ranks.
        std::stable_sort(xs.begin(), xs.end(), [](double x, double y) {
          return std::isnan(y) ? !std::isnan(x) : !std::isnan(x) && x < y;
        });
        res.null = xs.empty();
        if (xs.empty()) break;
        double pos = a.p * static_cast<double>(xs.size() - 1);
        auto lo = static_cast<size_t>(pos);
        double frac = pos - static_cast<double>(lo);
        res.f = frac == 0 ? xs[lo] + 0.0 : xs[lo] + (xs[lo + 1] - xs[lo]) * frac + 0.0;
        break;
      }
      case AggFn::stddev:
      case AggFn::variance: {
        double mean = 0, m2 = 0;
        int64_t k = 0;
        for (double x : xs) {
          double d = x - mean;
          mean += d / static_cast<double>(++k);
          m2 += d * (x - mean);
        }
        res.null = k < 2;
        double var = k < 2 ? 0 : m2 / static_cast<double>(k - 1);
        res.f = a.func == AggFn::stddev ? std::sqrt(var) : var;
        break;
      }
      case AggFn::count: res = {false, static_cast<int64_t>(vals.size()), 0, {}}; break;
      case AggFn::nunique: {
        std::vector<Cell> seen;
        for (auto& v : vals)
          if (std::none_of(seen.begin(), seen.end(), [&](auto& s) { return groupEq(s, v, arg.kind); }))
            seen.push_back(v);
        res = {false, static_cast<int64_t>(seen.size()), 0, {}};
        break;
      }
      case AggFn::min:
      case AggFn::max:
        // Only a strictly better value replaces, so ties keep the earliest.
        for (auto& v : vals)
          if (res.null || orderOf(v, res, arg.kind) == (a.func == AggFn::min ? Ord::lt : Ord::gt)) res = v;
        break;
      case AggFn::sum:
      case AggFn::mean:
        res.null = vals.empty();
        if (float_sum) {
          double s = 0;
          for (auto& v : vals) s += arg.kind == Kind::float_ ? v.f : static_cast<double>(v.i);
          res.f = a.func == AggFn::mean && !vals.empty() ? s / static_cast<double>(vals.size()) : s;
        } else {
          uint64_t s = 0;
          for (auto& v : vals) s += static_cast<uint64_t>(v.i);
          res.i = static_cast<int64_t>(s);
        }
        break;
    }
    out.cells.push_back(res);
  }
  return out;
}

Result<Answer> model(Arena& A, const Plan& plan, const BoundTables& bound) {
  auto find = [&](Bytes name) -> const exec::Table* {
    for (auto& [n, t] : bound)
      if (n == name) return &t;
    return nullptr;
  };
  Env env{A};
  env.tab[0] = find(plan.table);
  if (!env.tab[0]) return std::unexpected(Err::UnknownModel);
  const size_t n = env.tab[0]->nrows;

  // Joins: every right row's key against every other, then a scan per base
  // row. A join through a joined table reads its left key through its
  // parent's match, so a row without a parent match has no match either.
  for (const Join& j : plan.joins) {
    if (!(plan.usedAliases() >> j.alias & 1)) continue;
    const exec::Table* rt = find(j.table);
    if (!rt) return std::unexpected(Err::UnknownModel);
    Env renv{A};
    renv.tab[0] = rt;
    std::vector<Env::Rows> rk, lk;
    auto intKind = [](Kind k) { return k == Kind::int_ || k == Kind::date || k == Kind::timestamp; };
    for (size_t k = 0; k < j.left.size(); ++k) {
      rk.push_back(TRY(renv.rows(j.right[k].e, 0, rt->nrows)));
      lk.push_back(TRY(env.rows(j.left[k].e, j.left[k].alias, n)));
      if (!(intKind(rk[k].kind) && intKind(lk[k].kind)) && !(rk[k].kind == Kind::str && lk[k].kind == Kind::str))
        return std::unexpected(Err::Invalid);
    }
    // Keys as cell tuples; a tuple with a null part matches nothing.
    auto tuple = [](std::vector<Env::Rows>& parts, size_t r) {
      std::vector<Cell> t;
      for (auto& p : parts) t.push_back(cellAt(p.v[r], 0));
      return t;
    };
    auto same = [&](const std::vector<Cell>& a, const std::vector<Cell>& b) {
      for (size_t k = 0; k < a.size(); ++k)
        if (a[k].null || b[k].null || !groupEq(a[k], b[k], rk[k].kind)) return false;
      return true;
    };
    std::vector<std::vector<Cell>> rkeys;
    for (size_t r = 0; r < rt->nrows; ++r) rkeys.push_back(tuple(rk, r));
    // The joined model's where: a right row failing it is no row at all.
    if (!j.where.empty()) {
      renv.tab[j.alias] = rt;
      for (size_t r = 0; r < rt->nrows; ++r) renv.match[j.alias].push_back(static_cast<int64_t>(r));
      for (size_t r = 0; r < rt->nrows; ++r) {
        auto at = [&renv, r](const Bound& b) {
          return lifted(ev(renv.A, b.e, b.e.root, [&](const Node& nd) { return renv.col(identAlias(nd, b.alias), nd.text, r); }));
        };
        bool pass = true;
        for (const Pred& p : j.where) {
          Vec v = TRY(pred(A, p, {at, nullptr}));
          pass = pass && !v.isNull(0) && v.boolAt(0);
        }
        if (!pass) rkeys[r].assign(rkeys[r].size(), Cell{});
      }
    }
    for (size_t a = 0; a < rkeys.size(); ++a)
      for (size_t b = a + 1; b < rkeys.size(); ++b)
        if (same(rkeys[a], rkeys[b])) return std::unexpected(Err::Unsupported);
    env.tab[j.alias] = rt;
    for (size_t i = 0; i < n; ++i) {
      std::vector<Cell> key = tuple(lk, i);
      int64_t m = -1;
      for (size_t r = 0; r < rkeys.size() && m < 0; ++r)
        if (same(key, rkeys[r])) m = static_cast<int64_t>(r);
      env.match[j.alias].push_back(m);
    }
  }

  auto boundAt = [&](size_t row) {
    return [&env, row](const Bound& b) {
      return lifted(ev(env.A, b.e, b.e.root, [&](const Node& n) { return env.col(identAlias(n, b.alias), n.text, row); }));
    };
  };
  // A predicate's value must be a bool or a null scalar; true keeps.
  auto keeps = [](const Vec& v) -> Result<bool> {
    if (v.kind != Kind::bool_ && !v.isNullScalar()) return std::unexpected(Err::Invalid);
    return v.len > 0 && !v.isNull(0) && v.boolAt(0);
  };

  // Where: each predicate over every base row.
  std::vector<bool> keep(n, true);
  for (const Pred& p : plan.where) TRY(keeps(TRY(pred(A, p, {boundAt(kNullProbe), nullptr}))));
  for (const Pred& p : plan.where)
    for (size_t r = 0; r < std::max<size_t>(n, 1); ++r) {
      bool k = TRY(keeps(TRY(pred(A, p, {boundAt(n ? r : kNoRow), nullptr}))));
      if (n) keep[r] = keep[r] && k;
    }

  // Dimensions over every base row, truncated to their grain.
  std::vector<Env::Rows> dims;
  for (const Dim& d : plan.dims) {
    auto rows = TRY(env.rows(d.b.e, d.b.alias, n, true));
    if (d.grain) {
      if (rows.kind != Kind::date && rows.kind != Kind::timestamp) return std::unexpected(Err::Invalid);
      for (auto& v : rows.v) v = TRY(lifted(truncateVec(A, *d.grain, v)));
      rows.kind = Kind::timestamp;
    }
    dims.push_back(rows);
  }

  // Groups in order of first appearance.
  std::vector<Group> groups;
  if (plan.dims.empty()) groups.emplace_back();
  for (size_t r = 0; r < n; ++r) {
    if (!keep[r]) continue;
    std::vector<Cell> key;
    for (auto& d : dims) key.push_back(cellAt(d.v[r], 0));
    auto g = std::find_if(groups.begin(), groups.end(), [&](const Group& g) {
      for (size_t i = 0; i < key.size(); ++i)
        if (!groupEq(g.key[i], key[i], dims[i].kind)) return false;
      return true;
    });
    if (g == groups.end()) g = groups.insert(groups.end(), Group{key, r, {}});
    if (g->first == kNoRow) g->first = r;
    g->rows.push_back(r);
  }
  const size_t ng = groups.size();

  // Measures on first use, group by group. Every failure from here on is
  // Invalid, so the order in which measures are first reached cannot change
  // the predicted kind.
  auto byName = [&](Bytes name) -> std::optional<uint32_t> {
    for (uint32_t i = 0; i < plan.measures.size(); ++i)
      if (plan.measures[i].name == name) return i;
    return std::nullopt;
  };
  RowFilter passes = [&](const Agg& a, size_t row) -> Result<bool> {
    bool all = true;
    for (const Pred& p : a.filters) all = TRY(keeps(TRY(pred(A, p, {boundAt(row), nullptr})))) && all;
    return all;
  };
  std::vector<std::optional<MCol>> mv(plan.measures.size());
  std::function<Result<MCol>(uint32_t)> measure = [&](uint32_t i) -> Result<MCol> {
    if (mv[i]) return *mv[i];
    if (plan.measures[i].def.tag == MeasureDef::Tag::agg && plan.measures[i].over != 0) {
      // A joined model's measure: each of its rows once per group, the
      // first row of the group that reaches it standing for it.
      std::vector<Group> own = groups;
      const auto& match = env.match[plan.measures[i].over];
      for (Group& g : own) {
        std::vector<size_t> kept;
        std::vector<int64_t> seen;
        for (size_t r : g.rows)
          if (match[r] >= 0 && std::find(seen.begin(), seen.end(), match[r]) == seen.end()) {
            seen.push_back(match[r]);
            kept.push_back(r);
          }
        g.rows = kept;
      }
      return *(mv[i] = TRY(aggregate(env, plan.measures[i].def.agg, own, n, passes)));
    }
    if (plan.measures[i].def.tag == MeasureDef::Tag::agg)
      return *(mv[i] = TRY(aggregate(env, plan.measures[i].def.agg, groups, n, passes)));
    if (plan.measures[i].def.tag != MeasureDef::Tag::calc) return std::unexpected(Err::Invalid);
    const Expr& e = plan.measures[i].def.calc;
    MCol out;
    for (size_t g = 0; g < std::max<size_t>(ng, 1); ++g) {
      size_t at = ng ? g : kNoRow;
      Vec v = TRY(lifted(ev(A, e, e.root, [&](const Node& id) -> EvalResult<Vec> {
        auto j = byName(id.text);
        if (!j) return std::unexpected(EvalErr::UnknownColumn);
        auto m = measure(*j);
        if (!m) return std::unexpected(EvalErr::TypeMismatch);
        return m->at(A, at);
      })));
      out.kind = v.kind;
      out.scalar = v.scalar;
      if (ng || v.scalar) out.cells.push_back(cellAt(v, 0));
    }
    mv[i] = out;
    return out;
  };

  Answer ans;
  for (auto& d : dims) {
    ans.kinds.push_back(d.kind);
    ans.cols.emplace_back();
    for (auto& g : groups) ans.cols.back().push_back(g.first == kNoRow ? Cell{} : cellAt(d.v[g.first], 0));
  }
  for (uint32_t s : plan.selected) {
    MCol m = TRY(measure(s));
    ans.kinds.push_back(m.kind);
    ans.cols.emplace_back();
    for (size_t g = 0; g < ng; ++g) ans.cols.back().push_back(m.cells[g]);
  }

  // Having, then a stable sort with nulls last either way, then the limit.
  std::vector<bool> gkeep(ng, true);
  for (const Pred& p : plan.having)
    for (size_t g = 0; g < std::max<size_t>(ng, 1); ++g) {
      size_t at = ng ? g : kNoRow;
      auto meas = [&](uint32_t i) -> Result<Vec> { return TRY(measure(i)).at(A, at); };
      bool k = TRY(keeps(TRY(pred(A, p, {nullptr, meas}))));
      if (ng) gkeep[g] = gkeep[g] && k;
    }
  std::vector<size_t> order;
  for (size_t g = 0; g < ng; ++g)
    if (gkeep[g]) order.push_back(g);
  for (const Order& o : plan.order)
    for (size_t g : order)
      ans.nan_sorted |= ans.kinds[o.out_index] == Kind::float_ && !ans.cols[o.out_index][g].null &&
                        std::isnan(ans.cols[o.out_index][g].f);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    for (const Order& o : plan.order) {
      const Cell &x = ans.cols[o.out_index][a], &y = ans.cols[o.out_index][b];
      if (x.null || y.null) {
        if (x.null && y.null) continue;
        return y.null;
      }
      Ord c = orderOf(x, y, ans.kinds[o.out_index]);
      if (c != Ord::eq) return c == (o.desc ? Ord::gt : Ord::lt);
    }
    return false;
  });
  ans.cut = plan.limit && *plan.limit < order.size();
  if (ans.cut) order.resize(*plan.limit);
  for (auto& col : ans.cols) {
    std::vector<Cell> picked;
    for (size_t g : order) picked.push_back(col[g]);
    col = picked;
  }
  ans.nrows = order.size();
  return ans;
}

// ------------------------------------------------------------- generation

struct Gen {
  std::mt19937_64 rng;

  size_t below(size_t n) { return rng() % n; }
  bool chance(int pct) { return static_cast<int>(rng() % 100) < pct; }
  template <class T>
  T pick(std::initializer_list<T> xs) {
    return xs.begin()[below(xs.size())];
  }

  // A column of n values drawn by `one`, a fifth of them null when `nulls`.
  template <class T, class F>
  testing::Opt<T> column(size_t n, bool nulls, F one) {
    testing::Opt<T> v;
    for (size_t r = 0; r < n; ++r) v.push_back(nulls && chance(20) ? std::nullopt : std::optional<T>(one()));
    return v;
  }
  // Distinct keys from `pool` (first n of a shuffle), sometimes null and
  // sometimes with one repeated to provoke the many-to-many failure.
  template <class T>
  testing::Opt<T> keys(size_t n, std::vector<T> pool) {
    std::shuffle(pool.begin(), pool.end(), rng);
    testing::Opt<T> v;
    for (size_t r = 0; r < n; ++r) v.push_back(chance(15) ? std::nullopt : std::optional<T>(pool[r]));
    if (n >= 2 && chance(8)) v[n - 1] = pool[0];
    return v;
  }
};

struct Tab {
  std::vector<Bytes> names;
  std::vector<Vec> cols;
  size_t n = 0;
  std::vector<ColStats> stats;
  // With or without the stats binding records, so both ways get checked.
  exec::Table view(Arena& a, bool with_stats) {
    stats.clear();
    for (const Vec& c : cols) stats.push_back(*statsOf(a, c));
    return {names, cols, n, with_stats ? std::span<const ColStats>(stats) : std::span<const ColStats>()};
  }
};

const char* const kStrs[] = {"", "x", "y", "ab", "Ab", "é", "a%b"};

void makeTables(Gen& g, Arena& a, Tab& base, Tab& r1, Tab& r2) {
  testing::Make mk{a};
  size_t n = g.chance(25) ? g.pick<size_t>({0, 1, 63, 64, 65}) : g.below(40);
  auto smallInt = [&] {
    return g.chance(92) ? static_cast<int64_t>(g.below(7)) - 3 : g.pick<int64_t>({INT64_MAX, INT64_MIN, 1000000});
  };
  auto fl = [&] {
    const double inf = std::numeric_limits<double>::infinity();
    return g.pick<double>({0.0, -0.0, std::nan(""), 1.5, -2.25, 3.0, 0.1, 0.1, 1.5, inf, -inf});
  };
  auto str = [&] { return std::string(kStrs[g.below(std::size(kStrs))]); };
  // A whole table off the boundaries now and then, so that truncation
  // takes every value below the smallest one.
  const int64_t shift = g.pick<int64_t>({0, 0, 1, 59'999'999});
  auto ts = [&] {
    return g.pick<int64_t>({19722, 19723, 19724, -1}) * kMicrosPerDay + shift +
           g.pick<int64_t>({0, 1, 3'600'000'000, 43'200'000'000, 86'399'999'999});
  };
  base.n = n;
  base.names = {"i", "j", "f", "b", "s", "d", "ts", "k", "ks", "i"};  // the first "i" wins
  base.cols = {mk.ints(g.column<int64_t>(n, true, smallInt)),
               mk.ints(g.column<int64_t>(n, g.chance(50), [&] { return g.pick<int64_t>({0, 1, 2, 5, -1}); })),
               mk.floats(g.column<double>(n, true, fl)),
               mk.bools(g.column<bool>(n, true, [&] { return g.chance(50); })),
               mk.strs(g.column<std::string>(n, true, str)),
               mk.ints(g.column<int64_t>(n, true, [&] { return g.pick<int64_t>({19722, 19723, 19730, -1, 0}); }),
                       Kind::date),
               mk.ints(g.column<int64_t>(n, true, ts), Kind::timestamp),
               mk.ints(g.column<int64_t>(n, true, [&] { return static_cast<int64_t>(g.below(12)); })),
               mk.strs(g.column<std::string>(n, true, str)),
               mk.strs(g.column<std::string>(n, false, str))};
  size_t rn = g.below(10);
  r1.n = rn;
  r1.names = {"id", "g", "v", "w", "dd", "fid"};
  r1.cols = {mk.ints(g.keys<int64_t>(rn, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11})),
             mk.strs(g.column<std::string>(rn, true, str)),
             mk.ints(g.column<int64_t>(rn, true, smallInt)),
             mk.floats(g.column<double>(rn, true, fl)),
             mk.ints(g.keys<int64_t>(rn, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}), Kind::date),
             mk.floats(g.column<double>(rn, false, fl))};
  rn = g.below(8);
  r2.n = rn;
  r2.names = {"code", "z"};
  r2.cols = {mk.strs(g.keys<std::string>(rn, {"", "x", "y", "ab", "Ab", "é", "zz", "a%b"})),
             mk.ints(g.column<int64_t>(rn, true, smallInt))};
}

// A name a query can use, with the kind of value it holds: n numeric,
// s string, b bool, t temporal.
struct Name {
  std::string name;
  char cls;
  bool time = false;
};

struct Model {
  std::string json;
  std::vector<Name> fields, measures;
};

std::string filterJson(Gen& g, const Model& m, bool on_measure, int depth);

Model makeManifest(Gen& g) {
  // Key, definition, value class and how often it is present: the last few
  // cannot be truncated to a grain or evaluated at all.
  struct Def {
    const char* key;
    const char* def;
    char cls;
    int pct;
  };
  static const Def kDims[] = {
      {"i", "\"i\"", 'n', 100}, {"j", "\"j\"", 'n', 100}, {"f", "\"f\"", 'n', 100}, {"b", "\"b\"", 'b', 100},
      {"s", "\"s\"", 's', 100}, {"k", "\"k\"", 'n', 100}, {"ks", "\"ks\"", 's', 100},
      {"d", R"({"expr": "d", "time": true})", 't', 100}, {"ts", R"({"expr": "ts", "time": true})", 't', 100},
      {"tsd", R"({"expr": "ts", "time": true, "smallest_time_grain": "day"})", 't', 40},
      {"i1", "\"i + 1\"", 'n', 100}, {"im", "\"i % 3\"", 'n', 100}, {"fj", "\"f * j\"", 'n', 100},
      {"q", "\"i / j\"", 'n', 100}, {"sx", "\"s = 'x'\"", 'b', 100}, {"nb", "\"NOT b\"", 'b', 100},
      {"inn", "\"i IS NULL\"", 'b', 100}, {"ti", R"({"expr": "i", "time": true})", 'n', 10},
      {"cs", "\"CASE WHEN i > 0 THEN 'pos' WHEN i < 0 THEN 'neg' END\"", 's', 60},
      {"cn", "\"CASE WHEN s = 'x' THEN 1 WHEN b THEN 2 WHEN f > 1 THEN 1 ELSE 3 END\"", 'n', 60},
      {"cw", "\"CASE WHEN b THEN 1 WHEN TRUE THEN 2.5 END\"", 'n', 40},
      {"co", "\"COALESCE(j, i, 0) + ABS(i)\"", 'n', 40},
      {"cy", "\"YEAR(ts) * 100 + ISODOW(d)\"", 'n', 40},
      {"cl", "\"s NOT ILIKE 'a%' OR i IN (1, NULL)\"", 'b', 40},
      {"nope", "\"nope + 1\"", 'n', 5}, {"sp", "\"s + 1\"", 'n', 5},
      // Paths to joined fields (plain columns when the join is absent) and
      // dimensions over the model's own dimensions, one of them a cycle.
      {"pv", "\"i + r.v\"", 'n', 30}, {"pq", "\"COALESCE(r.q2.z, r.self.v) * 2\"", 'n', 30},
      {"pg", "\"CASE WHEN q.z > 0 THEN r.g ELSE s END\"", 's', 30}, {"pd", "\"m.i1 + m.k\"", 'n', 30},
      {"pc", "\"m.pd * 2 + rc.v\"", 'n', 20}, {"cyc", "\"m.cyc + 1\"", 'n', 3}};
  // Arguments of aggregates; sum and mean mostly take the first eight.
  static const std::pair<const char*, char> kArgs[] = {{"i", 'n'}, {"j", 'n'}, {"f", 'n'}, {"i + j", 'n'},
                                                       {"f * 2", 'n'}, {"i / j", 'n'}, {"2", 'n'}, {"NULL", 'n'},
                                                       {"s", 's'}, {"b", 'b'}, {"d", 't'}, {"ts", 't'},
                                                       {"i + r.v", 'n'}, {"r.self.w", 'n'}};
  Model m;
  std::string joins, dj, mj;
  // Mostly a unique integer key on either side; sometimes keys of kinds
  // that cannot be joined.
  for (size_t k = 0, nj = g.below(3), r_first = g.chance(50); k < nj; ++k) {
    if (!joins.empty()) joins += ", ";
    if ((k == 0) == r_first) {
      joins += R"("r": {"model": "rm", "left_on": ")" + (g.chance(93) ? "k" : g.pick<std::string>({"ks", "f"})) +
               R"(", "right_on": ")" + (g.chance(85) ? "id" : g.pick<std::string>({"dd", "dd", "fid", "g"})) + "\"}";
      // Through rm's own joins: to qm, to itself (twice down), and one
      // that is broken but never named.
      static const Name rf[] = {{"r.id", 'n'},     {"r.g", 's'},      {"r.v", 'n'},          {"r.w", 'n'},
                                {"r.dd", 't', true}, {"r.q2.code", 's'}, {"r.q2.z", 'n'},      {"r.self.g", 's'},
                                {"r.self.dd", 't', true}, {"r.self.self.v", 'n'}, {"r.self.q2.z", 'n'}};
      m.fields.insert(m.fields.end(), std::begin(rf), std::end(rf));
    } else {
      joins += R"("q": {"model": "qm", "left_on": ")" + std::string(g.chance(90) ? "ks" : "k") +
               R"(", "right_on": "code"})";
      m.fields.push_back({"q.code", 's'});
      m.fields.push_back({"q.z", 'n'});
    }
  }
  if (g.chance(40)) {
    // A composite key: unique as a whole even where id alone repeats.
    joins += std::string(joins.empty() ? "" : ", ") +
             R"("rc": {"model": "rm", "left_on": ["k", "i"], "right_on": ["id", "v"]})";
    static const Name cf[] = {{"rc.g", 's'}, {"rc.v", 'n'}, {"rc.q2.z", 'n'}};
    m.fields.insert(m.fields.end(), std::begin(cf), std::end(cf));
  }
  for (const Def& d : kDims) {
    if (!g.chance(d.pct)) continue;
    dj += std::string(dj.empty() ? "\"" : ", \"") + d.key + "\": " + d.def;
    m.fields.push_back({(joins.empty() ? "" : "m.") + std::string(d.key), d.cls, d.def[0] == '{'});
  }
  for (size_t i = 0, na = 3 + g.below(5); i < na; ++i) {
    std::string fn = g.pick<std::string>({"sum", "mean", "avg", "min", "max", "count", "nunique", "median",
                                           "percentile", "stddev", "variance"});
    bool numeric = fn == "sum" || fn == "mean" || fn == "avg" || fn == "median" || fn == "percentile" ||
                   fn == "stddev" || fn == "variance";
    std::string p = fn == "percentile" ? g.pick<std::string>({", \"p\": 0.9", ", \"p\": 0", ", \"p\": 1", ", \"p\": 0.25"}) : "";
    auto [arg, cls] = kArgs[g.below(numeric && g.chance(95) ? 8 : std::size(kArgs))];
    // A path reads the join r; without it, it would be an unknown column,
    // which measures must not meet (see filters below).
    if (std::strstr(arg, "r.") && joins.find("\"r\":") == std::string::npos) arg = "i";
    std::string expr = fn == "count" && g.chance(50) ? "" : R"(, "expr": ")" + std::string(arg) + "\"";
    std::string filters;
    if (g.chance(30)) {
      // Fields whose evaluation cannot fail with another kind than a type
      // mismatch, so that the order measures are reached in stays moot.
      std::string f = filterJson(g, m, false, 0);
      // (Paths are unknown columns where their join is absent.)
      auto risky = [](const std::string& text) {
        for (const char* name : {"nope", "sp\"", "pv\"", "pq\"", "pg\"", "pc\"", "cyc\""})
          if (text.find(name) != std::string::npos) return true;
        return false;
      };
      for (int t = 0; t < 5 && risky(f); ++t) f = filterJson(g, m, false, 0);
      filters = R"(, "filters": [)" + f + "]";
    }
    m.measures.push_back({"a" + std::to_string(i), fn == "min" || fn == "max" ? cls : 'n'});
    mj += std::string(mj.empty() ? "\"" : ", \"") + m.measures.back().name + R"(": {"agg": ")" + fn + "\"" + p +
          expr + filters + "}";
  }
  // Calculations over earlier measures, mostly numeric ones.
  for (size_t i = 0, nc = g.below(4); i < nc; ++i) {
    auto any = [&] {
      const Name* x = &m.measures[g.below(m.measures.size())];
      for (int t = 0; t < 5 && x->cls != 'n'; ++t) x = &m.measures[g.below(m.measures.size())];
      return x->name;
    };
    std::string a = any(), b = any();
    std::string e = g.pick<std::string>({a + " + " + b, a + " / " + b, a + " * 2", a + " - " + b + " * 0.5",
                                         "-" + a, a + " % 3", "(" + a + " + 1) / (" + b + " - 1)", a + " > " + b});
    m.measures.push_back({"c" + std::to_string(i), e.find('>') == std::string::npos ? 'n' : 'b'});
    mj += ", \"" + m.measures.back().name + R"(": {"calc": ")" + e + "\"}";
  }
  // Rows of the joined models that no query sees.
  const std::string rm_where =
      g.chance(30) ? g.pick<std::string>({R"("where": [{"field": "g", "operator": "!=", "value": "x"}], )",
                                          R"("where": [{"field": "v", "operator": ">", "value": 1}, )"
                                          R"({"field": "w", "operator": "is not null"}], )"})
                   : std::string();
  const std::string qm_where = g.chance(30) ? R"("where": [{"field": "z", "operator": "<", "value": 2.5}], )" : "";
  m.json = R"({"models": {"m": {"table": "t0", "dimensions": {)" + dj + "}, \"measures\": {" + mj + "}" +
           (joins.empty() ? (g.chance(30) ? ", \"joins\": {}" : "") : ", \"joins\": {" + joins + "}") + "}, " +
           R"("rm": {"table": "r1", )" + rm_where + R"("measures": {"rn": {"agg": "count"}, "rv": {"agg": "sum", "expr": "v"},)" +
           R"( "rw": {"agg": "max", "expr": "w"}, "rx": {"agg": "count", "filters": [{"field": "g", "operator": "=",)" +
           R"( "value": "x"}]}, "rq": {"agg": "sum", "expr": "q2.z"}, "rc": {"calc": "rv / rn"}},)" +
           R"( "dimensions": {"id": "id", "g": "g", "v": "v", "w": "w",)" +
           R"( "dd": {"expr": "dd", "time": true}, "fid": "fid"}, "joins": {)" +
           R"("q2": {"model": "qm", "left_on": "g", "right_on": "code"},)" +
           R"( "self": {"model": "rm", "left_on": "v", "right_on": "id"},)" +
           R"( "broken": {"model": "gone", "left_on": "v", "right_on": "id"}}},)" +
           R"( "qm": {"table": "r2", )" + qm_where + R"("dimensions": {"code": "code", "z": "z"}}}})";
  return m;
}

std::string valueOf(Gen& g, char cls) {
  if (g.chance(5)) cls = g.pick<char>({'n', 's', 'b', 't', '0'});
  switch (cls) {
    case 'n': return g.pick<std::string>({"0", "1", "-1", "2", "2.5", "-0.0", "3", "0.1"});
    case 's': return g.pick<std::string>({"\"x\"", "\"\"", "\"ab\"", "\"a%\"", "\"%b\"", "\"_\"", "\"A%\"", "\"é\""});
    case 'b': return g.pick<std::string>({"true", "false"});
    case 't': return g.chance(95) ? g.pick<std::string>({"\"2024-01-01\"", "\"2024-01-02 12:00\"", "\"1970-01-01\"",
                                             "\"2023-12-31T23:59:59\"", "\"1970-01-05\""})
                                  : g.pick<std::string>({"\"soon\"", "\"2024-03-01 10:30:1\"", "\"garbage\""});
  }
  return "null";
}

std::string filterJson(Gen& g, const Model& m, bool on_measure, int depth) {
  if (depth == 0 && g.chance(15)) {
    std::string a = filterJson(g, m, on_measure, 1), b = filterJson(g, m, g.chance(95) == on_measure, 1);
    return R"({"operator": ")" + g.pick<std::string>({"and", "OR", " And "}) + R"(", "conditions": [)" + a + ", " + b + "]}";
  }
  static const std::vector<Name> raw = {{"j", 'n'}, {"i", 'n'}, {"s", 's'}, {"f", 'n'}, {"d", 't'}, {"m.j", 'n'}};
  // A model may have no measure to name (the measure list is random).
  const Name& f = on_measure && !m.measures.empty() ? m.measures[g.below(m.measures.size())]
                  : g.chance(85) ? m.fields[g.below(m.fields.size())] : raw[g.below(raw.size())];
  std::string op;
  switch (g.chance(5) ? '?' : f.cls) {
    case 'n':
      op = g.pick<std::string>({"=", "!=", "<>", ">", ">=", "<", "<=", "in", "not in", "is null", "is not null", " EQUALS "});
      break;
    case 's':
      op = g.pick<std::string>({"=", "!=", "like", "not like", "ilike", "not ilike", "in", "Not In", "is null", "<"});
      break;
    case 'b': op = g.pick<std::string>({"=", "ne", "is null", "is not null", "in"}); break;
    case 't':
      op = g.pick<std::string>({"=", ">=", "<", "in", "is null", "<=", "!=", "<>", "ne", ">", "not in"});
      break;
    default: op = g.pick<std::string>({"=", "like", "in", "is null", ">"});
  }
  std::string out = R"({"field": ")" + f.name + R"(", "operator": ")" + op + "\"";
  std::string lower = op;
  for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.find("in") != std::string::npos && lower.find("like") == std::string::npos) {
    out += ", \"values\": [" + valueOf(g, f.cls);
    for (size_t k = g.below(3); k > 0; --k) out += ", " + (g.chance(10) ? "null" : valueOf(g, f.cls));
    out += "]";
  } else if (lower.find("null") == std::string::npos) {
    out += ", \"value\": " + (g.chance(3) ? "null" : valueOf(g, f.cls));
  }
  return out + "}";
}

std::string makeQuery(Gen& g, const Model& m) {
  auto str = [](const std::string& s) { return "\"" + s + "\""; };
  std::vector<std::string> dims, meas;
  bool has_time = false;
  for (size_t k = g.below(4); k > 0; --k) {
    const Name& f = m.fields[g.below(m.fields.size())];
    dims.push_back(f.name);
    has_time |= f.time;
  }
  for (size_t k = g.below(4); k > 0; --k)
    meas.push_back(g.chance(12) ? g.pick<std::string>({"r.rn", "r.rv", "r.rw", "r.rx", "r.rq", "r.rc", "rc.rv", "r.self.rn"})
                   : (g.chance(10) ? "m." : "") + m.measures[g.below(m.measures.size())].name);
  std::string q = R"({"model": "m", "dimensions": [)";
  for (size_t i = 0; i < dims.size(); ++i) q += (i ? ", " : "") + str(dims[i]);
  q += "], \"measures\": [";
  for (size_t i = 0; i < meas.size(); ++i) q += (i ? ", " : "") + str(meas[i]);
  q += "]";
  const char* grains[] = {"second", "minute", "hour", "day", "Week", "month", "quarter", "year"};
  if (has_time && g.chance(60)) q += ", \"time_grain\": " + str(grains[g.below(8)]);
  if (has_time && g.chance(15))
    q += R"(, "time_grains": {")" + dims[0] + "\": " + str(grains[g.below(8)]) + "}";
  if (g.chance(25))
    q += ", \"filter\": " + str(g.pick<std::string>({"i > 0", "s <> 'x' OR b", "f >= 0.5", "d >= '2024-01-01'", "NOT b",
                                         "i % 2 = 0", "TRUE", "NULL", "ts < '2024-01-02 00:00:00'",
                                         "i + j * 2 < 3", "s IS NULL OR i IS NOT NULL", "f / j > 1", "j", "ts <> 'garbage'",
                                         "d != '2024-03-01 10:30:1' OR i > 0",
                                         "ISODOW(d) < 6 AND i > 0 AND s LIKE '%b%'",
                                         "YEAR(d) = 2024 AND (s = 'x' OR j IS NULL) AND f / j > 1 AND UPPER(s) <> 'Y'",
                                         "b AND CASE WHEN i > 0 THEN 'p' END = 'p' AND i IN (1, 2, NULL)",
                                         "(i > 0 AND s <> 'x') OR (b AND MONTH(d) = 1 AND s IN ('x', 'y'))"}));
  if (has_time && g.chance(25))
    q += R"(, "time_range": {"start": ")" + g.pick<std::string>({"2024-01-01", "2023-12-31 12:00", "1970-01-01"}) +
         R"(", "end": ")" + g.pick<std::string>({"2024-01-02", "2024-01-01 06:00:00", "2024-01-01", "1970-01-03", "bad"}) + "\"}";
  size_t nf = g.chance(50) ? g.below(2) + 1 : 0;
  if (nf) {
    q += ", \"filters\": [";
    for (size_t i = 0; i < nf; ++i) q += (i ? ", " : "") + filterJson(g, m, g.chance(25), 0);
    q += "]";
  }
  std::vector<std::string> names = dims;
  names.insert(names.end(), meas.begin(), meas.end());
  if (!names.empty() && g.chance(60)) {
    q += ", \"order_by\": [";
    for (size_t k = 0, e = 1 + g.below(3); k < e; ++k) {
      std::string nm = str(g.chance(97) ? names[g.below(names.size())] : "zz");
      q += (k ? ", " : "") + g.pick<std::string>({nm, "[" + nm + "]", "[" + nm + ", \"DESC\"]",
                                                  "[" + nm + ", \"asc\"]", "[" + nm + ", \"desc\"]"});
    }
    q += "]";
  }
  if (g.chance(30)) q += ", \"limit\": " + std::to_string(g.below(6));
  return q + "}";
}

// ------------------------------------------------------------------- test

Answer fromVecs(std::span<const Vec> cols, size_t n) {
  Answer a;
  a.nrows = n;
  for (const Vec& v : cols) {
    EXPECT_EQ(v.data.tag, storageOf(v.kind));
    a.kinds.push_back(v.kind);
    a.cols.emplace_back();
    for (size_t r = 0; r < n; ++r) a.cols.back().push_back(cellAt(v, r));
  }
  return a;
}

// Each row as text; 17 digits tell every double apart, so equal texts are
// equal cells (NaNs aside, which print alike).
std::vector<std::string> rowTexts(const Answer& a) {
  std::vector<std::string> rows(a.nrows);
  for (size_t c = 0; c < a.cols.size(); ++c)
    for (size_t r = 0; r < a.nrows; ++r) rows[r] += show(a.cols[c][r], a.kinds[c]) + " ";
  return rows;
}

std::string dump(const std::string& title, std::span<const Bytes> names, const Answer& a) {
  std::string out = title + " (" + std::to_string(a.nrows) + " rows)\n";
  for (size_t c = 0; c < names.size(); ++c) {
    out += "  " + std::string(names[c]) + ":";
    for (const Cell& x : a.cols[c]) out += " " + show(x, a.kinds[c]);
    out += "\n";
  }
  return out;
}

// Empty when the executor's answer matches the model's.
std::string diff(Answer got, const Answer& want) {
  if (got.kinds != want.kinds) return "column count or kinds differ";
  if (got.nrows != want.nrows) return "row count differs";
  auto a = rowTexts(got), b = rowTexts(want);
  if (want.nan_sorted && want.cut) return "";
  if (want.nan_sorted) {
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
  }
  for (size_t r = 0; r < a.size(); ++r)
    if (a[r] != b[r]) return "row " + std::to_string(r) + " differs";
  return "";
}

TEST(ExecModel, ExecuteMatchesRowAtATimeModel) {
  // The knobs below are process-wide: an early return must not leave them
  // set for the tests that run after this one.
  struct Restore {
    ~Restore() {
      HashGroups::setManyGroupsForTesting(0);
      DirectGroups::setReadyAllBelowForTesting(size_t{1} << 16);
      PairGroups::setMaxGroupForTesting(32);
      Exec::Domain::forceForTesting(false);
    }
  } restore;
  constexpr int kSeeds = 200, kQueries = 20;
  int planned = 0, unplanned = 0, ok = 0, failed = 0, mismatches = 0;
  for (int seed = 1; seed <= kSeeds && mismatches < 5; ++seed) {
    Gen g{std::mt19937_64(seed)};
    Arena data;
    Tab base, r1, r2;
    makeTables(g, data, base, r1, r2);
    BoundTables bound = {{"t0", base.view(data, seed % 2)}, {"r1", r1.view(data, seed % 2)}};
    if (g.chance(95)) bound.push_back({"r2", r2.view(data, seed % 2)});
    Tables tables;
    for (auto& [name, t] : bound) {
      auto slot = tables.findOrInsert(data, name);
      ASSERT_TRUE(slot);
      *slot->value = t;
    }
    Model m = makeManifest(g);
    // Every third seed groups by hash whatever the group count, hashes
    // composite keys' pairs however few rows share a part, and writes its
    // output columns into a separate arena as export's would be.
    const bool hashed = seed % 3 == 0;
    HashGroups::setManyGroupsForTesting(hashed ? 1 : 0);
    // Others ready direct groups' state only as numbering reaches it.
    DirectGroups::setReadyAllBelowForTesting(seed % 3 == 1 ? 0 : size_t{1} << 16);
    PairGroups::setMaxGroupForTesting(hashed ? 0 : 32);
    // Most seeds evaluate expressions over one column once per value of
    // it, however few rows there are.
    Exec::Domain::forceForTesting(seed % 5 != 0);
    for (int qi = 0; qi < kQueries && mismatches < 5; ++qi) {
      std::string query = makeQuery(g, m);
      testing::Planned pl(m.json, query);
      if (!pl.plan) {
        ++unplanned;
        continue;
      }
      ++planned;
      Arena ea, ma, oa;
      Diag diag{&ea, {}, {}};
      auto got = execute(ea, *pl.plan, tables, diag, hashed ? &oa : nullptr);
      auto want = model(ma, *pl.plan, bound);
      std::string why;
      if (got && want) {
        why = got->names.size() == pl.plan->out_names.size() &&
                      std::equal(got->names.begin(), got->names.end(), pl.plan->out_names.begin())
                  ? diff(fromVecs(got->cols, got->nrows), *want)
                  : "output names differ";
      } else if (got.has_value() != want.has_value() || got.error() != want.error()) {
        why = "execute " + std::string(got ? "succeeded" : errName(got.error())) + ", model " +
              std::string(want ? "succeeded" : errName(want.error()));
      }
      if (got) ++ok;
      else ++failed;
      if (why.empty()) continue;
      ++mismatches;
      std::string report = "seed " + std::to_string(seed) + " query " + std::to_string(qi) + ": " + why +
                           "\nmanifest: " + m.json + "\nquery: " + query + "\n";
      if (!got) report += "execute said: " + std::string(diag.message) + "\n";
      for (auto& [name, t] : bound) report += dump("table " + name, t.names, fromVecs(t.cols, t.nrows));
      if (got) report += dump("got", got->names, fromVecs(got->cols, got->nrows));
      if (want) report += dump("want", pl.plan->out_names, *want);
      ADD_FAILURE() << report;
    }
  }
  std::printf("[ exec model ] %d plans executed (%d answered, %d failed), %d queries did not plan\n",
              planned, ok, failed, unplanned);
  // The generator must mostly produce runnable queries to be worth its time.
  EXPECT_GT(ok, planned / 2);
}

}  // namespace
}  // namespace quendra
