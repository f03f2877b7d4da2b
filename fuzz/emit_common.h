// Shared driver of the SQL entry-point fuzz targets.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "quendra.h"

namespace quendra::fuzz {

// A realistic manifest: joins, time dimensions, every aggregate, calculated
// measures and names that need quoting.
inline constexpr std::string_view kManifest = R"json({"calendar": {"week_start": "sunday", "fiscal_year_start": 7},
 "models": {
  "orders": {
    "table": "shop.orders",
    "primary_key": ["id"],
    "dimensions": {
      "id": "id", "status": "status", "amount": "amount", "customer_id": "customer_id",
      "product_id": "product_id", "big": "amount >= 100 AND status <> 'void'",
      "created_at": {"expr": "created_at", "time": true, "smallest_time_grain": "hour"},
      "ship_date": {"expr": "ship_date", "time": true, "smallest_time_grain": "day"},
      "odd\"name`": "id % 7", "priced": "amount * products.price", "home": "customers.home.name",
      "big_home": "orders.big AND orders.home IS NOT NULL"
    },
    "measures": {
      "revenue": {"agg": "sum", "expr": "amount"}, "order_count": {"agg": "count"},
      "avg_amount": {"agg": "avg", "expr": "amount"}, "lo": {"agg": "min", "expr": "amount"},
      "hi": {"agg": "max", "expr": "amount"}, "buyers": {"agg": "nunique", "expr": "customer_id"},
      "aov": {"calc": "revenue / order_count"}, "spread": {"calc": "(hi - lo) * 100 / NULLIF"},
      "per_buyer": {"calc": "revenue / buyers"}, "bad": {"agg": "mode", "expr": "amount"},
      "loop": {"calc": "loop"},
      "eu_revenue": {"agg": "sum", "expr": "amount",
                     "filters": [{"field": "customers.home.name", "operator": "=", "value": "EU"}]},
      "referred": {"agg": "count", "filters": [{"operator": "or", "conditions": [
                     {"field": "customers.referrer.referrer.region", "operator": "is not null"},
                     {"field": "status", "operator": "in", "values": ["paid", 1]}]}]},
      "eu_share": {"calc": "eu_revenue / revenue"},
      "margin": {"agg": "sum", "expr": "amount - products.price"},
      "per_customer": {"calc": "revenue / customers.count"}
    },
    "segments": {"paid": [{"field": "status", "operator": "=", "value": "paid"}],
                 "busy": [{"field": "order_count", "operator": ">", "value": 2}]},
    "joins": {
      "customers": {"model": "customers", "left_on": "customer_id", "right_on": "id", "type": "one"},
      "products": {"model": "products", "left_on": "product_id", "right_on": "id"}
    }
  },
  "customers": {"table": "customers", "primary_key": "id", "dimensions": {"id": "id", "region": "region", "name": "name",
                "country": "country", "referrer_id": "referrer_id", "signup": {"expr": "signup_date", "time": true},
                "n_orders": {"measure": "orders.order_count"}, "avg_paid": {"measure": "orders.per_buyer"},
                "everyone": {"measure": "count"}},
                "measures": {"count": {"agg": "count"}, "regions": {"agg": "nunique", "expr": "home.name",
                             "filters": [{"field": "referrer.region", "operator": "is not null"}]}},
                "joins": {"home": {"model": "regions", "left_on": ["region", "country"], "right_on": ["code", "country"]},
                          "referrer": {"model": "customers", "left_on": "referrer_id", "right_on": "id"},
                          "broken": {"model": "nowhere", "left_on": "id", "right_on": "id"},
                          "orders": {"model": "orders", "type": "many", "left_on": "id", "right_on": "customer_id"}}},
  "regions": {"table": "regions", "dimensions": {"code": "code", "country": "country", "name": "name"},
              "where": [{"field": "name", "operator": "is not null"}], "segments": {"eu": [{"field": "name", "operator": "=", "value": "EU"}]}},
  "products": {"table": "pro\"du`cts", "dimensions": {"id": "id", "category": "category", "price": "price"}}
}})json";

inline constexpr std::string_view kKnownQuery =
    R"({"model": "orders", "dimensions": ["orders.created_at", "customers.region"], "measures": ["revenue", "aov"],
        "time_grain": "month", "filters": [{"field": "orders.status", "operator": "in", "values": ["paid", "it's"]}],
        "order_by": [["revenue", "desc"]], "limit": 10})";

inline std::string emit(quendra_ctx* ctx, std::string_view q, int dialect, int* rc) {
  const char* out = nullptr;
  size_t len = 0;
  *rc = quendra_emit_sql(ctx, reinterpret_cast<const uint8_t*>(q.data()), q.size(), dialect, &out, &len);
  return *rc == 0 ? std::string(out, len) : std::string();
}

// Runs `query` in both dialects and checks every output; then checks that
// the context still answers the known query exactly as a fresh one does.
inline void emitBoth(quendra_ctx* ctx, std::string_view query) {
  for (int d = 0; d < 2; ++d) {
    const char* out = nullptr;
    size_t len = 0;
    int rc = quendra_emit_sql(ctx, reinterpret_cast<const uint8_t*>(query.data()), query.size(), d, &out, &len);
    if (rc < 0 || rc > 6) die("result code out of range", query);
    if (rc == 0) {
      if (std::strlen(out) != len) die("SQL length differs from its NUL", std::string_view(out, len));
      checkSql(std::string_view(out, len), static_cast<Dialect>(d));
      if (*quendra_last_error(ctx) != '\0') die("success left an error document", query);
    } else {
      std::string_view doc = quendra_last_error(ctx);
      if (doc.empty()) die("failure without an error document", query);
      checkErrorDoc(doc);
    }
  }
}

inline void checkStillAnswers(quendra_ctx* ctx) {
  static std::string want[2];
  if (want[0].empty()) {
    quendra_ctx* fresh = quendra_new();
    quendra_load_models(fresh, reinterpret_cast<const uint8_t*>(kManifest.data()), kManifest.size());
    for (int d = 0; d < 2; ++d) {
      int rc;
      want[d] = emit(fresh, kKnownQuery, d, &rc);
      if (rc != 0) die("the known query fails on a fresh context", quendra_last_error(fresh));
    }
    quendra_free(fresh);
  }
  for (int d = 0; d < 2; ++d) {
    int rc;
    if (emit(ctx, kKnownQuery, d, &rc) != want[d]) die("context answers differently after a failure", kKnownQuery);
  }
}

}  // namespace quendra::fuzz
