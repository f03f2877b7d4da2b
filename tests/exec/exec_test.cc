// The executor end to end over small hand-made tables: the cases where a
// plausible implementation goes wrong (null and NaN grouping, nulls last in
// both directions, joins that miss or repeat, time windows at their edges,
// the exact failure messages), then an allocation-failure sweep.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <random>
#include <string>
#include <vector>

#include "base/heap.h"
#include "exec/exec.h"
#include "vec/time.h"
#include "../plan/plan_test_util.h"
#include "sweep.h"
#include "../vec/vec_testing.h"

namespace quendra {
namespace {

using testing::Make;

constexpr double kNaN = NAN;
constexpr int64_t kDay = 86'400'000'000;

const char* kManifest = R"({"models": {
  "orders": {"table": "orders",
    "dimensions": {"id": "id", "status": "status", "amount": "amount", "flag": "flag", "cust": "cust",
      "day": {"expr": "day", "time": true}, "ts": {"expr": "ts", "time": true},
      "big": "amount > 10", "half": "id / 2", "bad": "status + 1", "ghost": "nope + 1",
      "lit": "day >= 'someday'"},
    "measures": {"n": {"agg": "count"}, "amounts": {"agg": "count", "expr": "amount"},
      "total": {"agg": "sum", "expr": "amount"}, "ids": {"agg": "sum", "expr": "id"},
      "avg": {"agg": "avg", "expr": "id"}, "lo": {"agg": "min", "expr": "status"},
      "hi": {"agg": "max", "expr": "amount"}, "kinds": {"agg": "nunique", "expr": "status"},
      "per": {"calc": "total / n"}, "per2": {"calc": "per * 2 + per"},
      "textsum": {"agg": "sum", "expr": "status"}, "badcalc": {"calc": "lo + 1"},
      "wrap": {"calc": "badcalc"}, "run": {"measure": "n", "running": true}},
    "joins": {"c": {"model": "customers", "left_on": "cust", "right_on": "id"},
      "d": {"model": "dups", "left_on": "cust", "right_on": "id"},
      "f": {"model": "floats", "left_on": "cust", "right_on": "id"},
      "u": {"model": "unbound", "left_on": "cust", "right_on": "id"},
      "cw": {"model": "west", "left_on": "cust", "right_on": "id"}},
    "segments": {"small": [{"field": "amount", "operator": "<", "value": 20}, {"field": "n", "operator": ">", "value": 0}]}},
  "customers": {"table": "customers", "dimensions": {"id": "id", "region": "region"}},
  "west": {"table": "customers", "dimensions": {"id": "id", "region": "region"},
    "where": [{"field": "region", "operator": "not in", "values": ["east"]}]},
  "dups": {"table": "dups", "dimensions": {"id": "id", "x": "x"}},
  "floats": {"table": "floats", "dimensions": {"id": "id", "x": "id"}},
  "unbound": {"table": "nowhere", "dimensions": {"id": "id", "x": "x"}},
  "wide": {"table": "wide", "dimensions": {"i": "i", "f": "f", "k": "k"}, "measures": {"n": {"agg": "count"}, "s": {"agg": "sum", "expr": "i * 7919 + k"}}},
  "pairs": {"table": "pairs", "dimensions": {"g": "g"}, "measures": {"d": {"agg": "nunique", "expr": "v"}}},
  "big": {"table": "big", "dimensions": {"k": "k", "k2": "k2", "w": "w", "s": "s", "t": {"expr": "t", "time": true}},
    "measures": {"n": {"agg": "count"}, "xs": {"agg": "sum", "expr": "x"}, "ys": {"agg": "sum", "expr": "y"},
      "ymax": {"agg": "max", "expr": "y"}, "ymean": {"agg": "avg", "expr": "y"},
      "ysd": {"agg": "stddev", "expr": "y"}, "xvar": {"agg": "variance", "expr": "x"},
      "xh": {"agg": "sum", "expr": "x * 0.375"}},
    "joins": {"b": {"model": "bigdim", "left_on": "k", "right_on": "id"}}},
  "bigdim": {"table": "bigdim", "dimensions": {"id": "id", "name": "name"}},
  "events": {"table": "events", "dimensions": {"at": {"expr": "at", "time": true}}, "measures": {"n": {"agg": "count"}}}}})";

std::string cell(const Vec& v, size_t i) {
  if (v.isNull(i)) return "null";
  char buf[64];
  switch (v.kind) {
    case Kind::float_: std::snprintf(buf, sizeof buf, "%.17g", v.floatAt(i)); return buf;
    case Kind::bool_: return v.boolAt(i) ? "true" : "false";
    case Kind::str: return "'" + std::string(v.strAt(i)) + "'";
    default: return std::to_string(v.intAt(i));
  }
}

struct ExecTest : ::testing::Test {
  Arena data;
  Make mk{data};
  Tables tables;
  std::vector<std::vector<Bytes>> names;
  std::vector<std::vector<Vec>> cols;

  void add(const char* table, std::vector<Bytes> ns, std::vector<Vec> cs) {
    names.push_back(std::move(ns));
    cols.push_back(std::move(cs));
    exec::Table t{names.back(), cols.back(), cols.back()[0].len, {}};
    *tables.findOrInsert(data, table)->value = t;
  }

  void SetUp() override {
    names.reserve(8);
    cols.reserve(8);
    add("orders", {"id", "status", "amount", "flag", "cust", "day", "ts"},
        {mk.ints({1, 2, 3, 4, 5, 6, 7}), mk.strs({"b", "a", "b", std::nullopt, "B", "", "a"}),
         mk.floats({1.5, -0.0, kNaN, 0.0, std::nullopt, kNaN, 20}), mk.bools({true, false, std::nullopt, true, true, false, false}),
         mk.ints({10, 11, 10, std::nullopt, 99, 11, 12}),
         mk.ints({19753, 19753, 19754, std::nullopt, 19783, 19784, 19753}, Kind::date),
         mk.ints({19753 * kDay, 19753 * kDay + 1, 19754 * kDay - 1, 19754 * kDay, std::nullopt, 0, 19783 * kDay + 43'200'000'000},
                 Kind::timestamp)});
    add("customers", {"id", "region"}, {mk.ints({12, 10, std::nullopt, 11, std::nullopt}), mk.strs({"w", "e", "x", "n", "y"})});
    add("dups", {"id", "x"}, {mk.ints({1, 10, 2, 10}), mk.ints({0, 0, 0, 0})});
    add("floats", {"id"}, {mk.floats({10, 11})});
  }

  // Rows as "a|b" lines, or "Kind: message".
  std::string run(const std::string& query) {
    Arena call;
    Diag diag{&call, {}, {}};
    Json m = testing::readOrDie(call, kManifest);
    Json q = testing::readOrDie(call, query);
    auto plan = build(call, m, q, diag);
    if (!plan) return "plan " + std::string(diag.message);
    auto r = execute(call, *plan, tables, diag);
    if (!r) return std::string(errName(r.error())) + ": " + std::string(diag.message);
    std::string out;
    for (size_t i = 0; i < r->nrows; ++i) {
      for (size_t c = 0; c < r->cols.size(); ++c) out += (c ? "|" : "") + cell(r->cols[c], i);
      out += ";";
    }
    return out;
  }
};

// The randomized model test covers grouping, aggregates, ordering and
// filters broadly; these are the edges random data rarely lands on.
TEST_F(ExecTest, EdgesRandomDataRarelyHits) {
  struct Case {
    const char* query;
    const char* want;
  } cases[] = {
      // Null is its own group; -0.0 and 0.0 one group; every NaN one group.
      {R"({"model": "orders", "dimensions": ["orders.amount"], "measures": ["n", "ids"]})",
       "1.5|1|1;-0|2|6;nan|2|9;null|1|5;20|1|7;"},
      // A bare-date end takes the whole day; a timed end is inclusive to the microsecond.
      {R"({"model": "orders", "dimensions": ["orders.ts"], "time_grain": "day", "measures": ["ids"], "time_range": {"start": "2024-01-31", "end": "2024-01-31"}})",
       "1706659200000000|6;"},
      {R"({"model": "orders", "dimensions": ["orders.ts"], "measures": ["ids"], "time_range": {"start": "2024-01-31", "end": "2024-01-31 00:00:00.000001"}})",
       "1706659200000000|1;1706659200000001|2;"},
      // Joins: misses and null keys give nulls; right null keys are not duplicates.
      {R"({"model": "orders", "dimensions": ["c.region"], "measures": ["n"]})", "'e'|2;'n'|2;null|2;'w'|1;"},
      // No dimensions: one group even when nothing passes.
      {R"({"model": "orders", "measures": ["n", "total", "lo", "kinds"], "filter": "id > 100"})", "0|null|null|0;"},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.query), c.want) << c.query;
}

// A number column compared with a number keeps rows straight from the
// column, switching between a branching and a branch-free loop by block;
// over long random columns of every selectivity it must keep exactly the
// rows the same comparison written as a filter expression keeps.
TEST_F(ExecTest, DirectNumberFiltersKeepWhatExpressionsKeep) {
  std::mt19937_64 rng(7);
  std::vector<std::optional<int64_t>> ints;
  std::vector<std::optional<double>> floats;
  for (int i = 0; i < 5000; ++i) {
    ints.push_back(rng() % 9 ? std::optional<int64_t>(static_cast<int64_t>(rng() % 100)) : std::nullopt);
    floats.push_back(rng() % 9 ? std::optional<double>(rng() % 50 ? (rng() % 200) / 2.0 : kNaN) : std::nullopt);
  }
  add("wide", {"i", "f", "k"}, {mk.ints(ints), mk.floats(floats), mk.ints(std::vector<std::optional<int64_t>>(5000, 1))});
  const char* ops[] = {"=", "!=", "<", "<=", ">", ">="};
  for (int t = 0; t < 60; ++t) {
    const std::string col = t % 2 ? "i" : "f", op = ops[rng() % 6];
    // Thresholds from nothing kept to everything kept, ints and halves.
    const std::string v = std::to_string(static_cast<int>(rng() % 104) - 2) + (rng() % 3 ? "" : ".5");
    const std::string other = rng() % 2 ? R"(, {"field": "i", "operator": ">", "value": 20})" : "";
    std::string direct = R"({"model": "wide", "dimensions": ["k"], "measures": ["n", "s"], "filters": [{"field": ")" +
                         col + R"(", "operator": ")" + op + R"(", "value": )" + v + "}" + other + "]}";
    std::string expr = R"({"model": "wide", "dimensions": ["k"], "measures": ["n", "s"], "filter": ")" + col + " " +
                       op + " " + v + "\"" + (other.empty() ? "" : R"(, "filters": [)" + other.substr(2) + "]") + "}";
    EXPECT_EQ(run(direct), run(expr)) << direct;
  }
}

// A time measure reads its range as a mask over every row, a filter
// narrows by it: the two keep the same days, to the edges of each bound.
TEST_F(ExecTest, TimeMeasuresKeepTheDaysOfTheirRange) {
  const char* ends[] = {"2024-01-30 23:59:59", "2024-01-31", "2024-01-31 00:00:01", "2024-02-01",
                        "2024-03-01 00:00:00", "2024-03-01 12:00", "2024-03-02"};
  for (const char* start : ends)
    for (const char* end : ends) {
      const std::string range = std::string(R"(, "time_range": {"start": ")") + start + R"(", "end": ")" + end + "\"}}";
      const std::string q = R"({"model": "orders", "dimensions": ["orders.day"], "time_grain": "day", "measures": ["n")";
      std::string timed = run(q + R"(, "run"])" + range), plain = run(q + "]" + range);
      // The running totals' column aside.
      std::string kept;
      for (size_t at = 0, end_row; (end_row = timed.find(';', at)) != std::string::npos; at = end_row + 1)
        kept += timed.substr(at, timed.rfind('|', end_row) - at) + ";";
      EXPECT_EQ(kept, plain) << start << " .. " << end;
    }
}

// Too many (group, value) pairs for a bitmap of them: distinct values are
// then counted through a map, which must agree with a plain set.
TEST_F(ExecTest, DistinctCountsOverManyPairs) {
  std::vector<std::optional<int64_t>> gs, vs;
  for (int64_t i = 0; i < 150000; ++i) {
    gs.push_back(i * 7 % 13000);
    vs.push_back(i % 13 ? std::optional<int64_t>(i * 31 % 11000) : std::nullopt);
  }
  add("pairs", {"g", "v"}, {mk.ints(gs), mk.ints(vs)});
  std::vector<int64_t> order;
  std::map<int64_t, std::set<int64_t>> sets;
  for (size_t i = 0; i < gs.size(); ++i) {
    if (!sets.count(*gs[i])) order.push_back(*gs[i]);
    auto& set = sets[*gs[i]];
    if (vs[i]) set.insert(*vs[i]);
  }
  std::string want;
  for (int64_t g : order) want += std::to_string(g) + "|" + std::to_string(sets[g].size()) + ";";
  EXPECT_EQ(run(R"({"model": "pairs", "dimensions": ["g"], "measures": ["d"]})"), want);
}

// Tables far longer than a stretch of rows, grouped the ways that number
// groups a stretch at a time (a narrow integer key with few and with many
// groups, a wide key range that few groups fill, a joined column, a month
// of a timestamp), against sums, counts, maxima, means and spreads folded
// row by row in first-appearance order.
TEST_F(ExecTest, LongTablesMatchARowByRowFold) {
  std::mt19937_64 rng(3);
  const size_t rows = 100000;
  std::vector<std::optional<int64_t>> k, k2, w, s, t, x;
  std::vector<std::optional<double>> y;
  for (size_t i = 0; i < rows; ++i) {
    k.push_back(static_cast<int64_t>(rng() % 80000));  // a key range past the long-stretch threshold
    k2.push_back(rng() % 50 ? std::optional<int64_t>(static_cast<int64_t>(rng() % 300)) : std::nullopt);
    w.push_back(static_cast<int64_t>(rng() % 40) * 5000);  // 40 groups over a range room is readied for lazily
    s.push_back(static_cast<int64_t>(rng() % 90));
    t.push_back(rng() % 10 ? std::optional<int64_t>(static_cast<int64_t>(rng() % (1000 * kDay)) + 18000 * kDay)
                           : std::nullopt);
    x.push_back(static_cast<int64_t>(rng() % 1000) - 500);
    y.push_back(rng() % 8 ? std::optional<double>(static_cast<double>(rng() % 100000) / 64) : std::nullopt);
  }
  std::vector<std::optional<int64_t>> ids;
  std::vector<std::optional<std::string>> names;
  for (int64_t i = 0; i < 50000; ++i) {
    ids.push_back(i);
    names.push_back("n" + std::to_string(i % 97));
  }
  add("big", {"k", "k2", "w", "s", "t", "x", "y"},
      {mk.ints(k), mk.ints(k2), mk.ints(w), mk.ints(s), mk.ints(t, Kind::timestamp), mk.ints(x), mk.floats(y)});
  add("bigdim", {"id", "name"}, {mk.ints(ids), mk.strs(names)});

  const std::vector<std::string> all = {"n", "xs", "ys", "ymax", "ymean", "ysd", "xvar"};
  auto fold = [&](auto keyOf, const std::vector<std::string>& measures) {
    struct Spread {
      int64_t n = 0;
      double mean = 0, m2 = 0;
      void add(double v) {
        const double delta = v - mean;
        mean += delta / static_cast<double>(++n);
        m2 += delta * (v - mean);
      }
      double var() const { return m2 / static_cast<double>(n - 1); }
    };
    struct Acc {
      int64_t n = 0, xs = 0, ny = 0;
      double ys = 0, ymax = 0, xh = 0;
      Spread x, y;
    };
    std::vector<std::string> order;
    std::map<std::string, Acc> accs;
    for (size_t i = 0; i < rows; ++i) {
      std::string key = keyOf(i);
      auto [it, fresh] = accs.try_emplace(key);
      if (fresh) order.push_back(key);
      Acc& a = it->second;
      ++a.n;
      a.xs += *x[i];
      a.xh += static_cast<double>(*x[i]) * 0.375;
      a.x.add(static_cast<double>(*x[i]));
      if (y[i]) {
        a.y.add(*y[i]);
        a.ymax = a.ny && a.ymax >= *y[i] ? a.ymax : *y[i];
        a.ys += *y[i];
        ++a.ny;
      }
    }
    std::string out;
    for (const std::string& key : order) {
      const Acc& a = accs[key];
      auto f = [](bool some, double v) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", v);
        return some ? std::string(buf) : std::string("null");
      };
      std::map<std::string, std::string> cells = {
          {"n", std::to_string(a.n)},
          {"xs", std::to_string(a.xs)},
          {"ys", f(a.ny, a.ys)},
          {"ymax", f(a.ny, a.ymax)},
          {"ymean", f(a.ny, a.ny ? a.ys / static_cast<double>(a.ny) : 0)},
          {"ysd", f(a.y.n > 1, std::sqrt(a.y.var()))},
          {"xvar", f(a.x.n > 1, a.x.var())},
          {"xh", f(true, a.xh)}};
      out += key;
      for (const std::string& m : measures) out += "|" + cells[m];
      out += ";";
    }
    return out;
  };
  auto q = [&](const std::string& dims, const std::string& extra = "", const std::vector<std::string>& measures = {}) {
    std::string list;
    for (const std::string& m : measures.empty() ? all : measures) list += (list.empty() ? "\"" : ", \"") + m + "\"";
    return R"({"model": "big", "dimensions": [")" + dims + R"("], "measures": [)" + list + "]" + extra + "}";
  };
  auto opt = [](const std::optional<int64_t>& v) { return v ? std::to_string(*v) : std::string("null"); };
  EXPECT_EQ(run(q("big.k")), fold([&](size_t i) { return opt(k[i]); }, all));
  EXPECT_EQ(run(q("big.k2")), fold([&](size_t i) { return opt(k2[i]); }, all));
  EXPECT_EQ(run(q("big.w")), fold([&](size_t i) { return opt(w[i]); }, all));
  // Few groups of a key without nulls: a count and up to two sums run in
  // the loop that numbers the rows.
  for (const std::vector<std::string>& ms : std::vector<std::vector<std::string>>{
           {"n", "xs", "xh"}, {"ymean", "ys", "n"}, {"xh"}, {"n"}, all})
    EXPECT_EQ(run(q("big.s", "", ms)), fold([&](size_t i) { return opt(s[i]); }, ms));
  // Two dimensions: one group list for every row, read a stretch at a time.
  EXPECT_EQ(run(q(R"(big.k2", "big.k)")), fold([&](size_t i) { return opt(k2[i]) + "|" + opt(k[i]); }, all));
  EXPECT_EQ(run(q("b.name")), fold(
                                   [&](size_t i) {
                                     return *k[i] < 50000 ? "'" + *names[static_cast<size_t>(*k[i])] + "'"
                                                          : std::string("null");
                                   },
                                   all));
  EXPECT_EQ(run(q("big.t", R"(, "time_grain": "month")")),
            fold([&](size_t i) { return t[i] ? std::to_string(truncate(Grain::month, *t[i])) : std::string("null"); },
                 all));
}

TEST_F(ExecTest, FailuresAndTheirMessages) {
  struct Case {
    const char* query;
    const char* want;
  } cases[] = {
      {R"({"model": "orders", "dimensions": ["d.x"]})",
       "Unsupported: join key is not unique in the right table (only many-to-one joins are supported)"},
      {R"({"model": "orders", "dimensions": ["f.x"]})", "Invalid: join keys have incompatible types"},
      {R"({"model": "orders", "dimensions": ["u.x"]})", "UnknownModel: table 'nowhere' is not bound"},
      {R"({"model": "orders", "measures": ["textsum"]})", "Invalid: sum/mean needs a numeric argument"},
      {R"({"model": "orders", "dimensions": ["orders.bad"]})",
       "Invalid: type mismatch in expression: 'status + 1' (text + integer)"},
      {R"({"model": "orders", "dimensions": ["orders.lit"]})",
       "Invalid: cannot read a literal in the expression (timestamps are YYYY-MM-DD[ HH:MM:SS]): 'day >= 'someday'' "
       "(date >= text)"},
      {R"({"model": "orders", "dimensions": ["orders.ghost"]})",
       "UnknownField: column 'nope' not found in table (available: id, status, amount, flag, cust, day, ts)"},
      {R"({"model": "orders", "measures": ["n"], "filters": [{"field": "orders.status", "operator": "like", "value": 1}]})",
       "Invalid: type mismatch in expression: filter on 'orders.status' (text LIKE integer)"},
      {R"({"model": "orders", "dimensions": ["orders.ts"], "time_range": {"start": "2024/01/01", "end": "x"}})",
       "Invalid: bad time_range start '2024/01/01'"},
      {R"({"model": "orders", "dimensions": ["orders.ts"], "time_range": {"start": "2024-01-01", "end": "tomorrow"}})",
       "Invalid: bad time_range end 'tomorrow'"},
      // A failure inside a referenced measure names the expression that failed.
      {R"({"model": "orders", "measures": ["wrap"]})", "Invalid: type mismatch in expression: 'lo + 1' (text + integer)"},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.query), c.want) << c.query;
  // An unused join's table need not be bound, nor valid.
  EXPECT_EQ(run(R"({"model": "orders", "measures": ["n"]})"), "7;");
}

// A mismatch or an unreadable literal names the expression part that failed
// (as the language writes it, cut at 120 bytes) and the kinds it met, a
// structured filter's field and the kinds it compared, or the dimension and
// grain that could not truncate; some when planning, most when evaluating.
const char* kKindsManifest = R"j({"models": {
  "orders": {"table": "orders",
    "dimensions": {"id": "id", "status": "status", "flag": "flag", "day": {"expr": "day", "time": true},
      "gap": "day - day", "stext": {"expr": "status", "time": true}, "up": "UPPER(id)",
      "quoted": "\"status\" * 2", "deep": "ABS((id + 1) * (status - 2))", "mixed": "CASE WHEN flag THEN 1 ELSE 'x' END",
      "long": "CASE WHEN flag THEN 'LONG' ELSE 1 END", "round": "ROUND(status, 2)", "year": "year(status)"},
    "measures": {"n": {"agg": "count"}, "off": {"calc": "n - 'x'"}, "wrapped": {"calc": "off + 1"}}}}})j";

// The message of query over the ExecTest tables, "ok" when it answers;
// with refuse, planning and execution refuse that heap request (and every
// later one with every_after), and *made counts the requests they made.
std::string kindsMessage(const Tables& tables, const std::string& manifest, const std::string& query,
                         uint64_t refuse = 0, bool every_after = false, uint64_t* made = nullptr) {
  Arena call;
  Diag diag{&call, {}, {}};
  Json m = testing::readOrDie(call, manifest);
  Json q = testing::readOrDie(call, query);
  setHeapFailure(refuse, every_after);
  auto plan = build(call, m, q, diag);
  Result<exec::Result> r = std::unexpected(plan ? Err::Invalid : plan.error());
  if (plan) r = execute(call, *plan, tables, diag);
  if (made) *made = heapRequests();
  setHeapFailure(0, false);
  if (!r) return std::string(errName(r.error())) + ": " + std::string(diag.message);
  return "ok";
}

std::string longManifest() {
  std::string long_text;
  for (int i = 0; i < 80; ++i) long_text += "\u00e9";
  std::string m = kKindsManifest;
  m.replace(m.find("LONG"), 4, long_text);
  return m;
}

TEST_F(ExecTest, MismatchesNameTheirExpressionAndKinds) {
  const std::string mismatch = "Invalid: type mismatch in expression: ";
  const std::string literal = "Invalid: cannot read a literal in the expression (timestamps are YYYY-MM-DD[ HH:MM:SS]): ";
  auto dims = [](const std::string& d, const std::string& extra = "") {
    return R"({"model": "orders", "dimensions": [")" + d + R"("], "measures": ["n"])" + extra + "}";
  };
  auto where = [&](const std::string& filter) { return dims("id", R"(, "filters": [)" + filter + "]"); };
  // 21 bytes before the text, then 49 two-byte characters: the 50th would
  // pass the bound.
  std::string cut = "'CASE WHEN flag THEN '";
  for (int i = 0; i < 49; ++i) cut += "\xC3\xA9";
  const std::pair<std::string, std::string> cases[] = {
      {dims("gap"), mismatch + "'day - day' (date - date)"},
      {dims("stext", R"(, "time_grain": "month")"), mismatch + "'stext' at grain month (text)"},
      {dims("stext", R"(, "time_grain": "fiscal_year")"), mismatch + "'stext' at grain fiscal_year (text)"},
      {dims("up"), mismatch + "'UPPER(id)' (UPPER(integer))"},
      {dims("quoted"), mismatch + "'\"status\" * 2' (text * integer)"},
      {dims("deep"), mismatch + "'status - 2' (text - integer)"},
      {dims("round"), mismatch + "'ROUND(status, 2)' (ROUND(text, 2))"},
      {dims("year"), mismatch + "'year(status)' (year(text))"},
      // Literals alone show these when planning.
      {dims("mixed"), mismatch + "'CASE WHEN flag THEN 1 ELSE 'x' END' (CASE WHEN ? THEN integer ELSE text END)"},
      {dims("long"), mismatch + cut + "\xE2\x80\xA6' (CASE WHEN ? THEN text ELSE integer END)"},
      {where(R"({"field": "flag", "operator": "=", "value": "yes"})"),
       mismatch + "filter on 'flag' (boolean = text)"},
      {where(R"({"field": "id", "operator": ">", "value": "4000"})"),
       mismatch + "filter on 'id' (integer > text)"},
      {where(R"({"field": "id", "operator": "not in", "values": [1, 2.5, "x", null]})"),
       mismatch + "filter on 'id' (integer NOT IN (integer, float, text, null))"},
      {where(R"({"field": "day", "operator": "<", "value": "soon"})"),
       literal + "filter on 'day' (date < text)"},
      {where(R"({"operator": "or", "conditions": [{"field": "id", "operator": "=", "value": 1},
                 {"field": "status", "operator": "ilike", "value": 1}]})"),
       mismatch + "filter on 'status' (text ILIKE integer)"},
      {where(R"({"field": "n", "operator": ">=", "value": "x"})"), mismatch + "filter on 'n' (integer >= text)"},
      {dims("id", R"(, "filter": "id + 1")"), mismatch + "'id + 1' (integer, not boolean)"},
      {dims("id", R"(, "filter": "NOT status")"), mismatch + "'NOT status' (NOT text)"},
      {dims("id", R"j(, "filter": "status IN (1, 'a')")j"), mismatch + "'status IN (1, 'a')' (text IN (integer, text))"},
      {dims("id", R"(, "filter": "day = 'then'")"), literal + "'day = 'then'' (date = text)"},
      {R"({"model": "orders", "dimensions": ["id"], "measures": ["off"]})", mismatch + "'n - 'x'' (integer - text)"},
      // A failure inside a referenced measure names the expression that failed.
      {R"({"model": "orders", "dimensions": ["id"], "measures": ["wrapped"]})",
       mismatch + "'n - 'x'' (integer - text)"},
  };
  const std::string manifest = longManifest();
  for (const auto& [query, want] : cases) EXPECT_EQ(kindsMessage(tables, manifest, query), want) << query;

  // Every heap request refused in turn: the query ends out of memory, or
  // with its whole message, or with the bare words when only the message
  // could not be had; never with anything else.
  // Small blocks, so that nearly every allocation, the message's among
  // them, is a request of its own.
  struct SmallBlocks {
    SmallBlocks() { Arena::setBlockSizeForTesting(64); }
    ~SmallBlocks() { Arena::setBlockSizeForTesting(0); }
  } small;
  size_t refused = 0, bare_words = 0;
  for (const auto& [query, want] : cases) {
    const std::string bare = want.substr(0, want.find(": ", want.find(": ") + 2));
    for (bool every_after : {false, true})
      for (uint64_t n = 1;; ++n) {
        uint64_t made = 0;
        const std::string got = kindsMessage(tables, manifest, query, n, every_after, &made);
        EXPECT_TRUE(got == want || got == bare || got.starts_with("OutOfMemory: ")) << query << " at " << n << ": " << got;
        if (made < n) break;
        ++refused;
        bare_words += got == bare;
      }
  }
  std::printf("refused %zu requests, %zu runs ended with the bare words\n", refused, bare_words);
  EXPECT_GT(refused, 500u);
  EXPECT_GT(bare_words, 0u);
}

// Given an arena for the result, the columns export can hand over as they
// are (64-bit integers, floats, timestamps) are written there: the keys and
// accumulators of hashed groups, or the final gather of an ordered answer.
// Others stay in the call arena, and the answers do not change.
TEST_F(ExecTest, ResultColumnsAreWrittenWhereExportWillOwnThem) {
  HashGroups::setManyGroupsForTesting(1);
  struct Case {
    const char* query;
    std::vector<bool> owned;  // per output column
  } cases[] = {
      {R"({"model": "orders", "dimensions": ["orders.id", "orders.ts", "orders.day"], "measures": ["n", "total", "ids", "amounts"]})",
       {true, true, false, true, true, true, true}},
      // A calculation, and a minimum picked by row: computed after grouping.
      {R"({"model": "orders", "dimensions": ["orders.amount"], "measures": ["per", "hi"]})", {true, false, false}},
      {R"({"model": "orders", "dimensions": ["orders.cust", "orders.status"], "measures": ["n"], "order_by": [["n", "desc"]]})",
       {true, false, true}},
  };
  for (const Case& c : cases) {
    const std::string want = run(c.query);
    Arena call, out;
    Diag diag{&call, {}, {}};
    Json m = testing::readOrDie(call, kManifest);
    Json q = testing::readOrDie(call, c.query);
    auto plan = build(call, m, q, diag);
    ASSERT_TRUE(plan) << diag.message;
    auto r = execute(call, *plan, tables, diag, &out);
    ASSERT_TRUE(r) << diag.message;
    std::string got;
    for (size_t i = 0; i < r->nrows; ++i) {
      for (size_t col = 0; col < r->cols.size(); ++col) got += (col ? "|" : "") + cell(r->cols[col], i);
      got += ";";
    }
    EXPECT_EQ(got, want) << c.query;
    ASSERT_EQ(r->cols.size(), c.owned.size());
    for (size_t col = 0; col < c.owned.size(); ++col) {
      const Data& d = r->cols[col].data;
      const void* values = d.tag == Data::Tag::str      ? static_cast<const void*>(d.str.offs)
                           : d.tag == Data::Tag::float_ ? static_cast<const void*>(d.floats)
                           : d.tag == Data::Tag::bool_  ? static_cast<const void*>(d.bools)
                                                        : static_cast<const void*>(d.ints);
      EXPECT_EQ(out.holds(values), c.owned[col]) << c.query << " column " << col;
    }
  }
  HashGroups::setManyGroupsForTesting(0);
}

// Strings gathered past what 64-bit offsets hold fail as out of memory
// instead of wrapping (the bytes are never read: the offsets decide first).
TEST(Gather, StringTotalsThatWouldWrapFail) {
  Arena a;
  static const uint64_t offs[] = {0, uint64_t{1} << 63};
  Vec huge;
  huge.len = 1;
  huge.kind = Kind::str;
  huge.data = strData(offs, Bytes("", 0));
  const uint32_t twice[] = {0, 0};
  auto r = gather(a, huge, twice);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), EvalErr::OutOfMemory);
}

// Every allocation of a query, refused in turn (once only, then from there
// on), must end as OutOfMemory with nothing leaked, and the same query must
// then answer as before.
TEST_F(ExecTest, AllocationFailuresReportOutOfMemory) {
  const char* queries[] = {
      R"({"model": "orders", "dimensions": ["c.region", "orders.status"], "measures": ["per2", "kinds", "hi", "avg"],
          "filters": [{"field": "orders.id", "operator": "in", "values": [1, 2, 3, 5, 7]}, {"field": "n", "operator": ">", "value": 0}],
          "order_by": [["per2", "desc"]], "limit": 3})",
      R"({"model": "orders", "dimensions": ["orders.ts", "orders.flag"], "time_grain": "day", "measures": ["lo", "total"],
          "time_range": {"start": "2024-01-01", "end": "2024-12-31"}})",
      // One dimension through a join, and one time dimension by month:
      // both numbered without a per-row list; a direct number filter.
      R"({"model": "orders", "dimensions": ["c.region"], "measures": ["n", "total", "hi"],
          "filters": [{"field": "orders.id", "operator": ">", "value": 1}]})",
      R"({"model": "orders", "dimensions": ["orders.ts"], "time_grain": "month", "measures": ["avg", "amounts"]})",
      // Keys of three kinds, numbered by hash when many groups are expected.
      R"({"model": "orders", "dimensions": ["orders.id", "orders.amount", "orders.day"],
          "measures": ["n", "amounts", "total", "ids", "avg", "hi"], "filters": [{"field": "orders.id", "operator": ">", "value": 1}]})",
      // A joined model's where, and a segment with a row and a measure filter.
      R"({"model": "orders", "dimensions": ["cw.region"], "measures": ["n", "total"], "segments": ["small"]})",
      // Time read in a zone: the dimension, a date part, texts as instants.
      R"({"model": "orders", "dimensions": ["orders.ts", "orders.day"], "time_grain": "hour", "measures": ["n"],
          "time_zone": "America/New_York", "filter": "HOUR(ts) >= 1 AND ts > '2024-01-01 01:30'",
          "filters": [{"field": "orders.ts", "operator": "in", "values": ["2024-01-02", "2024-01-02 00:00:01"]}],
          "time_range": {"start": "2024-01-01", "end": "2024-12-31"}})",
  };
  Arena::setBlockSizeForTesting(64);
  std::map<std::string, std::string> want_of;
  for (const char* q : queries) {
    std::string want = run(q);
    want_of[q] = want;
    ASSERT_EQ(want.find(':'), std::string::npos) << want;
    for (bool every_after : {false, true}) {
      const size_t refused = testing::refuseEach(kManifest, q, tables, every_after);
      EXPECT_GT(refused, 10u);
      std::printf("refused %zu requests (every_after=%d)\n", refused, every_after);
      EXPECT_EQ(run(q), want);
    }
  }
  // Again grouped by hash whatever the group count, and with the result's
  // columns written to an arena of their own, as for export.
  HashGroups::setManyGroupsForTesting(1);
  for (const char* q : queries) {
    for (bool every_after : {false, true}) EXPECT_GT(testing::refuseEach(kManifest, q, tables, every_after, true), 10u);
    EXPECT_EQ(run(q), want_of[q]);
  }
  HashGroups::setManyGroupsForTesting(0);
  Arena::setBlockSizeForTesting(0);
}

// Rows in any order, grouped by the wall-clock periods of a zone (keyed by
// their local days through the zone's offset table, or converted one by
// one when the values span too long for one), against each row's offset
// looked up on its own.
TEST_F(ExecTest, ZonedPeriodsMatchEachRowsOwnOffset) {
  std::mt19937_64 rng(31);
  for (const char* zone_name : {"America/New_York", "Australia/Sydney", "Asia/Kathmandu"}) {
    for (int64_t span_days : {3 * 365, 300 * 365}) {
      std::vector<std::optional<int64_t>> at;
      for (int i = 0; i < 20000; ++i) {
        const int64_t us = (int64_t{1'577'836'800} + static_cast<int64_t>(rng() % (span_days * 86400))) * 1'000'000 -
                           (span_days > 1000 ? int64_t{150} * 365 * kDay : 0);
        at.push_back(rng() % 10 ? std::optional<int64_t>(us) : std::nullopt);
      }
      add("events", {"at"}, {mk.ints(at, Kind::timestamp)});
      const TimeZone z = *findTimeZone(zone_name);
      for (const char* grain : {"day", "month"}) {
        std::map<int64_t, int> want;
        int nulls = 0;
        for (const auto& v : at) {
          if (!v) {
            ++nulls;
            continue;
          }
          const int64_t local = *v + int64_t{offsetAt(z, *v / 1'000'000 - (*v % 1'000'000 < 0))} * 1'000'000;
          ++want[truncate(grain[0] == 'd' ? Grain::day : Grain::month, local)];
        }
        std::string expect;
        for (auto [k, n] : want) expect += std::to_string(k) + "|" + std::to_string(n) + ";";
        expect += "null|" + std::to_string(nulls) + ";";
        EXPECT_EQ(run(std::string(R"({"model": "events", "dimensions": ["at"], "measures": ["n"], "order_by": ["at"],
            "time_grain": ")") + grain + R"(", "time_zone": ")" + zone_name + R"("})"),
                  expect)
            << zone_name << " " << grain << " " << span_days;
      }
    }
  }
}

}  // namespace
}  // namespace quendra
