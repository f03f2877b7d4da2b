// In-memory execution of grouped aggregates over 10,000,000 rows: planning
// the query and running execute over columns held in a data arena, as
// quendra_execute does after binding. Items processed are input rows;
// per_row is the wall time per input row.
//
// The table has an int64 key with 100 distinct values, one with 1,000,000,
// an int64 `r` uniform over 0..99 (r = 0 keeps 1% of the rows), an int64
// value and a float64 amount with one null in eight. Each query computes
// sum(value), sum(amount) and count(*) per key.
//
// Each iteration resets the call arena, as every query call does, so after
// the first one the query's intermediates land in blocks it already touched.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "base/arena.h"
#include "base/json.h"
#include "exec/exec.h"
#include "plan/plan.h"

namespace quendra {
namespace {

constexpr size_t kRows = 10'000'000;

constexpr Bytes kManifest = R"({"models": {"facts": {
  "table": "facts",
  "dimensions": {"k100": "k100", "k1m": "k1m", "r": "r"},
  "measures": {
    "value_sum": {"agg": "sum", "expr": "value"},
    "amount_sum": {"agg": "sum", "expr": "amount"},
    "n": {"agg": "count"}
  }
}}})";

// The bound table, built once and shared by every benchmark. Columns live in
// their own arena, like a context's data arena.
struct Facts {
  Arena arena;
  Json manifest;
  Tables tables;
  size_t distinct_k1m = 0;
  bool ok = false;

  Facts() { ok = build(); }

  Vec intColumn(const int64_t* p) {
    Vec v;
    v.len = kRows;
    v.data = intData(p);
    v.kind = Kind::int_;
    return v;
  }

  bool build() {
    auto m = readJson(arena, kManifest.data(), kManifest.size());
    if (!m) return false;
    manifest = *m;
    auto* k100 = arena.make<int64_t>(kRows);
    auto* k1m = arena.make<int64_t>(kRows);
    auto* r = arena.make<int64_t>(kRows);
    auto* value = arena.make<int64_t>(kRows);
    auto* amount = arena.make<double>(kRows);
    auto* nulls = arena.make<uint8_t>(kRows);
    auto* names = arena.make<Bytes>(6);
    auto* cols = arena.make<Vec>(6);
    if (!k100 || !k1m || !r || !value || !amount || !nulls || !names || !cols) return false;
    std::mt19937_64 rng(42);
    std::vector<uint8_t> seen(1'000'000);
    for (size_t i = 0; i < kRows; ++i) {
      k100[i] = static_cast<int64_t>(rng() % 100);
      k1m[i] = static_cast<int64_t>(rng() % 1'000'000);
      r[i] = static_cast<int64_t>(rng() % 100);
      value[i] = static_cast<int64_t>(rng() % 1000);
      nulls[i] = rng() % 8 == 0;
      amount[i] = nulls[i] ? 0.0 : static_cast<double>(rng() % 100000) / 100;
      distinct_k1m += !seen[k1m[i]];
      seen[k1m[i]] = 1;
    }
    const Bytes col_names[] = {"k100", "k1m", "r", "value", "amount"};
    const int64_t* ints[] = {k100, k1m, r, value};
    for (int c = 0; c < 4; ++c) {
      names[c] = col_names[c];
      cols[c] = intColumn(ints[c]);
    }
    names[4] = col_names[4];
    cols[4] = column(Kind::float_, kRows, nulls, floatData(amount));
    auto slot = tables.findOrInsert(arena, "facts");
    if (!slot) return false;
    auto* stats = arena.make<ColStats>(5);
    if (!stats) return false;
    for (int c = 0; c < 5; ++c) stats[c] = *statsOf(arena, cols[c]);
    *slot->value = exec::Table{{names, 5}, {cols, 5}, kRows, {stats, 5}};
    return true;
  }
};

Facts& facts() {
  static Facts f;
  return f;
}

// One query as quendra_execute runs it: reset the call arena, read the
// query, build the plan, execute.
Result<exec::Result> runOnce(Arena& call, const Facts& f, Bytes query) {
  call.reset();
  auto q = readJson(call, query.data(), query.size());
  if (!q) return std::unexpected(Err::Invalid);
  Diag diag{&call, {}, {}};
  auto plan = build(call, f.manifest, *q, diag);
  if (!plan) return std::unexpected(plan.error());
  return execute(call, *plan, f.tables, diag);
}

void runQuery(benchmark::State& state, Bytes query, bool million_keys) {
  Facts& f = facts();
  if (!f.ok) {
    state.SkipWithError("cannot build the table");
    return;
  }
  Arena call;
  size_t groups = 0;
  for (auto _ : state) {
    auto res = runOnce(call, f, query);
    if (!res) {
      state.SkipWithError("query failed");
      return;
    }
    groups = res->nrows;
    benchmark::DoNotOptimize(res);
  }
  if (groups != (million_keys ? f.distinct_k1m : 100)) state.SkipWithError("unexpected group count");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
  state.counters["per_row"] = benchmark::Counter(static_cast<double>(state.iterations() * kRows),
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["groups"] = static_cast<double>(groups);
  state.counters["arena_MB"] = static_cast<double>(call.reserved()) / 1e6;
}

void BM_ExecuteGroupBy100(benchmark::State& state) {
  runQuery(state, R"({"model": "facts", "dimensions": ["k100"],
                      "measures": ["value_sum", "amount_sum", "n"]})",
           false);
}
BENCHMARK(BM_ExecuteGroupBy100)->Unit(benchmark::kMillisecond)->UseRealTime();

// Nearly every one of the 1,000,000 keys occurs (about ten rows each).
void BM_ExecuteGroupBy1M(benchmark::State& state) {
  runQuery(state, R"({"model": "facts", "dimensions": ["k1m"],
                      "measures": ["value_sum", "amount_sum", "n"]})",
           true);
}
BENCHMARK(BM_ExecuteGroupBy1M)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ExecuteFilter1PctGroupBy100(benchmark::State& state) {
  runQuery(state, R"({"model": "facts", "dimensions": ["k100"],
                      "measures": ["value_sum", "amount_sum", "n"],
                      "filters": [{"field": "r", "operator": "=", "value": 0}]})",
           false);
}
BENCHMARK(BM_ExecuteFilter1PctGroupBy100)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace quendra
