// Cost of planning a typical query: reading the query text and building the
// plan over a manifest with a join, measures and time dimensions.
#include <benchmark/benchmark.h>

#include <string>

#include "base/arena.h"
#include "base/json.h"
#include "plan/plan.h"
#include "quendra.h"

namespace {

constexpr const char* kManifest = R"({"models": {
  "orders": {
    "table": "orders",
    "dimensions": {
      "created_at": {"expr": "created_at", "time": true},
      "status": "status",
      "customer_id": "customer_id"
    },
    "measures": {
      "revenue": {"agg": "sum", "expr": "amount"},
      "order_count": {"agg": "count"},
      "aov": {"calc": "revenue / order_count"}
    },
    "joins": {
      "customers": {"model": "customers", "left_on": "customer_id", "right_on": "id", "type": "one"}
    }
  },
  "customers": {"table": "customers", "dimensions": {"id": "id", "region": "region"}}
}})";

constexpr const char* kQuery = R"({"model": "orders",
  "dimensions": ["orders.created_at", "customers.region"],
  "measures": ["revenue", "order_count"],
  "time_grain": "month",
  "filters": [{"field": "orders.status", "operator": "=", "value": "paid"}],
  "order_by": [["revenue", "desc"]],
  "limit": 10})";

void BM_PlanQuery(benchmark::State& state) {
  quendra::Arena manifest_arena;
  std::string m = kManifest;
  auto manifest = quendra::readJson(manifest_arena, m.data(), m.size());
  std::string q = kQuery;
  quendra::Arena call;
  for (auto _ : state) {
    call.reset();
    auto query = quendra::readJson(call, q.data(), q.size());
    quendra::Diag diag{&call, {}, {}};
    auto plan = quendra::build(call, *manifest, *query, diag);
    if (!plan) state.SkipWithError("plan failed");
    benchmark::DoNotOptimize(plan);
  }
}
BENCHMARK(BM_PlanQuery);

}  // namespace

namespace {

// The whole SQL entry point as a host calls it: query reading, planning and
// writing the statement.
void BM_EmitSql(benchmark::State& state) {
  quendra_ctx* ctx = quendra_new();
  std::string m = kManifest;
  quendra_load_models(ctx, reinterpret_cast<const uint8_t*>(m.data()), m.size());
  std::string q = kQuery;
  const char* out = nullptr;
  size_t len = 0;
  for (auto _ : state) {
    if (quendra_emit_sql(ctx, reinterpret_cast<const uint8_t*>(q.data()), q.size(), 0, &out, &len) != 0)
      state.SkipWithError(quendra_last_error(ctx));
    benchmark::DoNotOptimize(out);
  }
  quendra_free(ctx);
}
BENCHMARK(BM_EmitSql);

}  // namespace
