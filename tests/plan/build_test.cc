#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/heap.h"
#include "plan/plan.h"
#include "plan_test_util.h"

namespace quendra {
namespace {

using testing::Planned;

// A model with a join, so its own fields carry the "orders." prefix.
const std::string kShop = R"({"models": {
  "orders": {
    "table": "analytics.orders",
    "dimensions": {
      "status": "status",
      "customer_id": "customer_id",
      "created_at": {"expr": "created_at", "time": true},
      "shipped": {"expr": "shipped_at", "time": true, "smallest_time_grain": "day"},
      "odd": {"expr": "created_at", "time": true, "smallest_time_grain": "fortnight"},
      "flag": {"expr": "flag", "time": "yes"}
    },
    "measures": {
      "revenue": {"agg": "sum", "expr": "amount"},
      "count": {"agg": "count"},
      "aov": {"calc": "revenue / count"},
      "both": {"calc": "revenue", "agg": "sum"},
      "not_obj": 5,
      "no_agg": {},
      "capital": {"agg": "AVG", "expr": "amount"},
      "avg_noexpr": {"agg": "avg"},
      "loop": {"calc": "loop + 1"},
      "dangling": {"calc": "revenue + nothing"}
    },
    "joins": {
      "customer": {"model": "customers", "left_on": "customer_id", "right_on": "id", "type": "one"},
      "maker": {"model": "makers", "left_on": "status", "right_on": "code", "type": 1}
    }
  },
  "customers": {"table": "customers", "dimensions": {"id": "id", "region": "region"},
                "measures": {"n": {"agg": "count"}}, "joins": {"x": 1}},
  "makers": {"table": "makers", "dimensions": {"code": "code", "country": "country"}},
  "plain": {"table": "plain", "dimensions": {"a": "a", "t": {"expr": "t", "time": true}},
            "measures": {"m": {"agg": "max", "expr": "a"}}, "joins": {}}
}})";

std::string fails(const std::string& query, const std::string& manifest = kShop) {
  Planned p(manifest, query);
  return p.plan ? "ok" : p.err;
}

TEST(Build, QueryMessagesInCheckOrder) {
  const std::pair<std::string, std::string> cases[] = {
      {R"([])", "Invalid: query must be an object"},
      {R"({})", "Invalid: query needs 'model'"},
      {R"({"model": 1})", "Invalid: query needs 'model'"},
      {R"({"model": "nope"})", "UnknownModel: unknown model 'nope'"},
      {R"({"model": "orders", "having": [1]})",
       "Unsupported: 'having' is not supported yet; filter on a measure field instead"},
      {R"({"model": "orders"})", "Invalid: query needs at least one dimension or measure"},
      {R"({"model": "orders", "dimensions": [], "measures": []})",
       "Invalid: query needs at least one dimension or measure"},
      {R"({"model": "orders", "dimensions": "orders.status"})",
       "Invalid: query needs at least one dimension or measure"},
      {R"({"model": "orders", "dimensions": [1]})", "Invalid: dimensions must be strings"},
      {R"({"model": "orders", "dimensions": ["status"]})",
       "UnknownField: unknown dimension 'status' in model 'orders'; did you mean 'orders.status'?"},
      {R"({"model": "orders", "dimensions": ["orders.stauts"]})",
       "UnknownField: unknown dimension 'orders.stauts' in model 'orders'; did you mean 'orders.status'?"},
      {R"({"model": "orders", "dimensions": ["region"]})",
       "UnknownField: unknown dimension 'region' in model 'orders'; did you mean 'customer.region'?"},
      {R"({"model": "orders", "dimensions": ["st"]})", "UnknownField: unknown dimension 'st' in model 'orders'"},
      {R"({"model": "orders", "dimensions": ["orders.quantity"]})",
       "UnknownField: unknown dimension 'orders.quantity' in model 'orders'"},
      {R"({"model": "orders", "measures": ["cuont"]})", "UnknownField: unknown measure 'cuont'; did you mean 'count'?"},
      {R"({"model": "orders", "measures": ["xyz"]})", "UnknownField: unknown measure 'xyz'"},
      {R"({"model": "orders", "measures": ["count"], "filters": [{"field": "custmer.region", "operator": "=", "value": 1}]})",
       "UnknownField: unknown filter field 'custmer.region'; did you mean 'customer.region'?"},
      {R"({"model": "orders", "measures": ["count"], "filters": [{"field": "zz.q", "operator": "=", "value": 1}]})",
       "UnknownField: unknown filter field 'zz.q'"},
      {R"({"model": "orders", "dimensions": ["orders.created_at"], "time_grain": "fortnight"})",
       "Invalid: unknown time grain 'fortnight'"},
      {R"({"model": "orders", "dimensions": ["orders.odd"], "time_grain": "day"})",
       "Invalid: unknown time grain 'fortnight'"},
      {R"({"model": "orders", "dimensions": ["orders.shipped"], "time_grain": "HOUR"})",
       "Invalid: time grain 'hour' is finer than the smallest grain 'day' of 'orders.shipped'"},
      {R"({"model": "orders", "measures": [true]})", "Invalid: measures must be strings"},
      {R"({"model": "orders", "measures": ["profit"]})", "UnknownField: unknown measure 'profit'"},
      {R"({"model": "orders", "measures": ["count"], "time_range": null})",
       "Invalid: time_range must be an object with 'start' and 'end'"},
      {R"({"model": "orders", "measures": ["count"], "time_range": {"start": "2024-01-01"}})",
       "Invalid: time_range must have 'start' and 'end'"},
      {R"({"model": "orders", "measures": ["count"], "time_range": {"start": "a", "end": "b"}})",
       "Invalid: time_range requires a time dimension among the query dimensions"},
      {R"({"model": "orders", "measures": ["count"], "filters": [{"operator": "or", "conditions": [
           {"field": "orders.status", "operator": "=", "value": "x"},
           {"field": "revenue", "operator": ">", "value": 1}]}]})",
       "Unsupported: a filter may not mix dimension and measure fields"},
      {R"({"model": "orders", "measures": ["count"], "order_by": [["count", "up"]]})",
       "Invalid: order direction must be 'asc' or 'desc'"},
      {R"({"model": "orders", "measures": ["count"], "order_by": [[]]})",
       "Invalid: order_by entries must be a name or [name, direction]"},
      {R"({"model": "orders", "measures": ["count"], "order_by": [[1, "asc"]]})",
       "Invalid: order_by entries must be a name or [name, direction]"},
      {R"({"model": "orders", "measures": ["count"], "order_by": [{"count": 1}]})",
       "Invalid: order_by entries must be a name or [name, direction]"},
      {R"({"model": "orders", "measures": ["count"], "order_by": ["revenue"]})",
       "UnknownField: order_by 'revenue' is not a selected dimension or measure"},
      {R"({"model": "orders", "measures": ["count"], "order_by": ["orders.count"]})",
       "UnknownField: order_by 'orders.count' is not a selected dimension or measure; did you mean 'count'?"},
      {R"({"model": "orders", "measures": ["count"], "limit": -1})", "Invalid: limit must be a non-negative integer"},
      {R"({"model": "orders", "measures": ["count"], "limit": 2.5})", "Invalid: limit must be a non-negative integer"},
      {R"({"model": "orders", "measures": ["count"], "limit": 10.0})", "Invalid: limit must be a non-negative integer"},
      {R"({"model": "orders", "measures": ["count"], "limit": null})", "Invalid: limit must be a non-negative integer"},
      {R"({"model": "orders", "measures": ["count"], "limit": "5"})", "Invalid: limit must be a non-negative integer"},
      {R"({"model": "orders", "measures": ["count"], "limit": 99999999999999999999})",
       "Invalid: limit must be a non-negative integer"},
  };
  for (const auto& [query, want] : cases) EXPECT_EQ(fails(query), want) << query;
  EXPECT_EQ(fails(R"({"model": "x"})", R"({"models": []})"), "Invalid: manifest needs a 'models' object");
  EXPECT_EQ(fails(R"({"model": "x"})", R"({"models": 1})"), "Invalid: manifest needs a 'models' object");
  EXPECT_EQ(fails(R"({"model": "x"})", R"({"models": {"x": {"table": 5}}})"), "Invalid: model 'x' has no table");
  EXPECT_EQ(fails(R"({"model": "x"})", R"({"models": {"x": []}})"), "UnknownModel: unknown model 'x'");
}

// Unknown models, measures, segments and order_by names suggest the near
// name the query can use: the model's own, or one through its joins.
TEST(Build, UnknownNamesSuggestNearOnes) {
  const std::string birds = R"({"models": {
    "nests": {"table": "nests", "dimensions": {"id": "id", "flag": "flag"},
      "measures": {"nest_count": {"agg": "count"}, "twice": {"calc": "nest_cuont * 2"}},
      "segments": {"flagged": [{"field": "flag", "operator": "=", "value": true}]},
      "joins": {"individuals": {"model": "individuals", "left_on": "id", "right_on": "nest_id"}}},
    "individuals": {"table": "individuals", "dimensions": {"nest_id": "nest_id", "sex": "sex", "colony_id": "colony_id"},
      "measures": {"bird_count": {"agg": "count"}},
      "segments": {"males": [{"field": "sex", "operator": "=", "value": "m"}]},
      "joins": {"colony": {"model": "colonies", "left_on": "colony_id", "right_on": "id"}}},
    "colonies": {"table": "colonies", "dimensions": {"id": "id"}, "measures": {"area": {"agg": "sum", "expr": "a"}}},
    "lost": {"table": "lost", "dimensions": {"x": "x"}, "joins": {"j": {"model": "nest", "left_on": "x", "right_on": "id"}}}
  }})";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"model": "individual", "measures": ["bird_count"]})",
       "UnknownModel: unknown model 'individual'; did you mean 'individuals'?"},
      {R"({"model": "penguins", "measures": ["bird_count"]})", "UnknownModel: unknown model 'penguins'"},
      {R"({"model": "lost", "dimensions": ["lost.x"]})",
       "UnknownModel: join 'j': unknown model 'nest'; did you mean 'nests'?"},
      {R"({"model": "nests", "measures": ["nests.nest_cout"]})",
       "UnknownField: unknown measure 'nests.nest_cout'; did you mean 'nests.nest_count'?"},
      {R"({"model": "nests", "measures": ["nest_cout"]})",
       "UnknownField: unknown measure 'nest_cout'; did you mean 'nest_count'?"},
      {R"({"model": "nests", "measures": ["individuals.bird_cont"]})",
       "UnknownField: unknown measure 'individuals.bird_cont'; did you mean 'individuals.bird_count'?"},
      {R"({"model": "nests", "measures": ["individuals.colony.aera"]})",
       "UnknownField: unknown measure 'individuals.colony.aera'; did you mean 'individuals.colony.area'?"},
      {R"({"model": "nests", "measures": ["individual.bird_count"]})",
       "UnknownField: unknown measure 'individual.bird_count'; did you mean 'individuals.bird_count'?"},
      {R"({"model": "nests", "measures": ["twice"]})",
       "UnknownField: measure 'twice' refers to unknown measure 'nest_cuont'; did you mean 'nest_count'?"},
      {R"({"model": "nests", "measures": ["nest_count"], "segments": ["flaged"]})",
       "UnknownField: unknown segment 'flaged'; did you mean 'flagged'?"},
      {R"({"model": "nests", "measures": ["nest_count"], "segments": ["nests.flagged"]})",
       "UnknownField: unknown segment 'nests.flagged'; did you mean 'flagged'?"},
      {R"({"model": "nests", "measures": ["nest_count"], "segments": ["individuals.mles"]})",
       "UnknownField: unknown segment 'individuals.mles'; did you mean 'individuals.males'?"},
      {R"({"model": "nests", "measures": ["nest_count"], "order_by": ["nest_cont"]})",
       "UnknownField: order_by 'nest_cont' is not a selected dimension or measure; did you mean 'nest_count'?"},
  };
  for (const auto& [query, want] : cases) EXPECT_EQ(fails(query, birds), want) << query;
}

TEST(Build, AcceptedVariants) {
  const std::string ok[] = {
      R"({"model": "orders", "measures": ["count"], "having": []})",
      R"({"model": "orders", "measures": ["count"], "having": null})",
      R"({"model": "orders", "measures": ["count"], "having": {"a": 1}})",
      R"({"model": "orders", "measures": ["count"], "limit": 0})",
      R"({"model": "orders", "dimensions": ["orders.status"], "time_grain": "nonsense"})",
      R"({"model": "orders", "dimensions": ["orders.shipped"], "time_grain": "Week"})",
      R"({"model": "orders", "dimensions": ["orders.shipped"], "time_grain": "day"})",
      R"({"model": "orders", "dimensions": ["orders.flag"], "time_grain": "bogus"})",
      R"({"model": "orders", "dimensions": ["orders.created_at"], "time_range": {"start": "x", "end": "y"}})",
      R"({"model": "orders", "measures": ["orders.revenue", "both", "count"], "order_by": [["count", 1]]})",
  };
  for (const std::string& q : ok) EXPECT_EQ(fails(q), "ok") << q;
  EXPECT_EQ(fails(R"({"model": "plain", "dimensions": ["a", "t"], "measures": ["m", "plain.m"]})"), "ok");
}

TEST(Build, PlanContents) {
  Planned p(kShop, R"({"model": "orders",
    "dimensions": ["orders.created_at", "customer.region", "orders.shipped", "orders.status"],
    "measures": ["revenue", "orders.aov"],
    "time_grain": "month", "time_grains": {"orders.shipped": "Week", "orders.created_at": 7},
    "filter": "amount > 1",
    "time_range": {"start": "2024-01-01", "end": "2024-01-31"},
    "filters": [{"field": "revenue", "operator": ">", "value": 100},
                {"field": "maker.country", "operator": "in", "values": ["DE", "FR"]}],
    "order_by": ["revenue", ["orders.status", "DESC"], ["orders.aov"]],
    "limit": 10})");
  ASSERT_TRUE(p.plan) << p.err;
  const Plan& plan = *p.plan;
  EXPECT_EQ(plan.model, "orders");
  EXPECT_EQ(plan.table, "analytics.orders");
  ASSERT_EQ(plan.joins.size(), 2u);
  EXPECT_EQ(plan.joins[0].table, "customers");
  EXPECT_EQ(plan.joins[0].alias, 1);
  EXPECT_EQ(plan.joins[0].left[0].alias, 0);
  EXPECT_EQ(plan.joins[0].right[0].alias, 1);
  EXPECT_EQ(plan.joins[1].alias, 2);
  ASSERT_EQ(plan.dims.size(), 4u);
  EXPECT_EQ(plan.dims[0].grain, Grain::month);  // a non-string time_grains entry falls back
  EXPECT_EQ(plan.dims[1].b.alias, 1);
  EXPECT_FALSE(plan.dims[1].grain);  // not a time dimension
  EXPECT_EQ(plan.dims[2].grain, Grain::week);
  EXPECT_FALSE(plan.dims[3].time);
  ASSERT_EQ(plan.selected.size(), 2u);
  EXPECT_EQ(plan.measures[plan.selected[0]].name, "revenue");
  EXPECT_EQ(plan.measures[plan.selected[1]].name, "aov");
  ASSERT_EQ(plan.out_names.size(), 6u);
  EXPECT_EQ(plan.out_names[5], "orders.aov");
  EXPECT_EQ(plan.outCount(), 6u);
  ASSERT_EQ(plan.where.size(), 3u);
  EXPECT_EQ(plan.where[0].tag, Pred::Tag::expr);
  EXPECT_EQ(plan.where[1].tag, Pred::Tag::range);
  EXPECT_TRUE(plan.where[1].range.end_is_date);
  EXPECT_EQ(plan.where[1].range.b.e[0].text, "created_at");
  EXPECT_EQ(plan.where[2].cmp.op, CmpOp::in);
  ASSERT_EQ(plan.having.size(), 1u);
  EXPECT_EQ(plan.having[0].cmp.lhs.tag, Operand::Tag::measure);
  ASSERT_EQ(plan.order.size(), 3u);
  EXPECT_EQ(plan.order[0].out_index, 4u);
  EXPECT_FALSE(plan.order[0].desc);
  EXPECT_EQ(plan.order[1].out_index, 3u);
  EXPECT_TRUE(plan.order[1].desc);
  EXPECT_EQ(plan.order[2].out_index, 5u);
  EXPECT_EQ(plan.limit, 10u);
  EXPECT_EQ(plan.usedAliases(), 0b111u);
  EXPECT_EQ(plan.findMeasure("aov"), 2u);
  EXPECT_FALSE(plan.findMeasure("orders.aov"));
}

TEST(Build, TimeRangeDetailsAndAliases) {
  Planned p(kShop, R"({"model": "orders", "dimensions": ["orders.status", "orders.shipped", "orders.created_at"],
    "time_range": {"start": "2024-01-01", "end": "2024-01-31T00:00:00"}})");
  ASSERT_TRUE(p.plan) << p.err;
  EXPECT_FALSE(p.plan->where[0].range.end_is_date);
  EXPECT_EQ(p.plan->where[0].range.b.e[0].text, "shipped_at");  // the first time dimension
  EXPECT_EQ(p.plan->where[0].range.end, "2024-01-31T00:00:00");
  EXPECT_EQ(p.plan->usedAliases(), 1u);

  Planned q(kShop, R"({"model": "orders", "measures": ["count"], "order_by": ["count", ["count", "desc"]],
                       "filters": [{"field": "customer.region", "operator": "=", "value": "EU"}]})");
  ASSERT_TRUE(q.plan) << q.err;
  EXPECT_EQ(q.plan->usedAliases(), 0b11u);
  EXPECT_TRUE(q.plan->order[1].desc);

  Planned dup(kShop, R"({"model": "orders", "dimensions": ["orders.status", "orders.status"], "order_by": ["orders.status"]})");
  ASSERT_TRUE(dup.plan) << dup.err;
  EXPECT_EQ(dup.plan->order[0].out_index, 1u);  // the last occurrence wins
}

// time_dimension names the dimension a time_range filters, grouped by or
// not, through a join path too; a query without it keeps the first grouped
// one.
TEST(Build, TimeDimensionNamesTheRangesDimension) {
  const std::string shop = R"({"models": {
    "orders": {"table": "orders", "dimensions": {"status": "status", "customer_id": "customer_id",
                                                 "at": {"expr": "created_at", "time": true},
                                                 "shipped": {"expr": "shipped_at", "time": true}},
               "measures": {"n": {"agg": "count"}, "n_ly": {"measure": "n", "offset": 1, "unit": "year"}},
               "joins": {"customer": {"model": "customers", "left_on": "customer_id", "right_on": "id"}}},
    "customers": {"table": "customers", "dimensions": {"id": "id", "since": {"expr": "signup", "time": true}}}}})";
  const std::string range = R"("time_range": {"last": 30, "unit": "day"}, "now": "2024-05-01T12:00:00Z")";
  struct Case {
    std::string query;
    const char* column;  // the range's column, or the failure
    uint32_t aliases = 1;
  };
  const Case cases[] = {
      {R"("dimensions": ["orders.status"], "time_dimension": "orders.shipped")", "shipped_at"},
      {R"("dimensions": ["orders.at"], "time_dimension": "orders.shipped")", "shipped_at"},
      {R"("dimensions": ["orders.shipped", "orders.at"])", "shipped_at"},
      {R"("dimensions": ["orders.status"], "time_dimension": "customer.since")", "signup", 0b11},
      {R"("dimensions": ["orders.status"], "time_dimension": "orders.shiped")",
       "UnknownField: unknown dimension 'orders.shiped' in model 'orders'; did you mean 'orders.shipped'?"},
      {R"("dimensions": ["orders.status"], "time_dimension": "orders.status")", "Invalid: time_dimension 'orders.status' is not a time dimension"},
      {R"("dimensions": ["orders.status"], "time_dimension": ["orders.at"])",
       "Invalid: time_dimension must be the name of a time dimension"},
      {R"("dimensions": ["orders.status"])", "Invalid: time_range requires a time dimension among the query dimensions"},
      {R"("dimensions": ["orders.at"], "time_grain": "month", "measures": ["n_ly"], "time_dimension": "orders.at")", "created_at"},
      {R"("dimensions": ["orders.at"], "time_grain": "month", "measures": ["n_ly"], "time_dimension": "orders.shipped")",
       "Unsupported: time_dimension 'orders.shipped': measures derived along time need the time_range on the time dimension "
       "they run over"},
  };
  for (const Case& c : cases) {
    Planned p(shop, R"({"model": "orders", )" + c.query + ", " + range + "}");
    if (!p.plan) {
      EXPECT_EQ(p.err, c.column) << c.query;
      continue;
    }
    const Pred* r = nullptr;
    for (const Pred& w : p.plan->where)
      if (w.tag == Pred::Tag::range) r = &w;
    ASSERT_TRUE(r) << c.query;
    EXPECT_EQ(r->range.b.e[r->range.b.e.root].text, c.column) << c.query;
    EXPECT_EQ(p.plan->usedAliases(), c.aliases) << c.query;
    EXPECT_EQ(p.plan->dims.size(), c.query.find("\"orders.shipped\", \"orders.at\"") != std::string::npos ? 2u : 1u) << c.query;
  }
  // Without a time_range the name is checked, and filters nothing.
  Planned alone(shop, R"({"model": "orders", "dimensions": ["orders.status"], "time_dimension": "orders.at"})");
  ASSERT_TRUE(alone.plan) << alone.err;
  EXPECT_TRUE(alone.plan->where.empty());
  EXPECT_EQ(fails(R"({"model": "orders", "measures": ["count"], "time_dimension": "orders.status"})"),
            "Invalid: time_dimension 'orders.status' is not a time dimension");
}

// Every heap request of a representative build, failed alone and failed from
// then on: the build reports OutOfMemory or a message that fell back to
// "out of memory", never anything else.
TEST(Build, EveryAllocationFailureIsReported) {
  const std::string query = R"({"model": "orders", "dimensions": ["orders.created_at", "customer.region"],
    "measures": ["revenue", "aov"], "time_grain": "month", "filter": "amount > 1 OR customer.region = orders.status",
    "filters": [{"operator": "and", "conditions": [{"field": "orders.status", "operator": "in", "values": ["a", "b"]},
                                                   {"field": "amount", "operator": "is not null"}]},
                {"field": "aov", "operator": ">", "value": 2.5}],
    "order_by": [["revenue", "desc"]], "limit": 10})";
  int failures = 0;
  Arena docs;
  Json m = testing::readOrDie(docs, kShop);
  Json q = testing::readOrDie(docs, query);
  Arena::setBlockSizeForTesting(64);
  for (bool every_after : {false, true}) {
    for (uint64_t n = 1;; ++n) {
      Arena a;
      Diag d{&a, {}, {}};
      setHeapFailure(n, every_after);
      auto plan = build(a, m, q, d);
      setHeapFailure(0, false);
      if (plan) break;
      ++failures;
      if (plan.error() != Err::OutOfMemory) {
        EXPECT_EQ(d.message, "out of memory") << n;
      }
      ASSERT_LT(n, 10000u);
    }
  }
  Arena::setBlockSizeForTesting(0);
  std::printf("refused %d heap requests across the sweep\n", failures);
  EXPECT_GT(failures, 40);
}

}  // namespace
}  // namespace quendra

namespace quendra {
namespace {

// Every member of a query and of a model replaced by values of every kind:
// planning must answer with a result or a recorded message, never crash.
TEST(Build, SurvivesValuesOfEveryKindEverywhere) {
  const std::string values[] = {"null", "true", "0", "-1", "1.5", "1e999", "\"\"", "\"x\"", "\"é\\u0000\"",
                                "[]", "{}", "[1]", "[\"a\", [\"b\"]]", "{\"a\": 1}",
                                "\"" + std::string(5000, 'z') + "\""};
  const std::string query_keys[] = {"model", "dimensions", "measures", "time_grain", "time_grains", "filter",
                                    "time_range", "filters", "having", "order_by", "limit"};
  const std::pair<std::string, std::string> base[] = {
      {"model", "\"orders\""}, {"dimensions", "[\"orders.created_at\"]"}, {"measures", "[\"revenue\"]"}};
  int runs = 0;
  for (const std::string& key : query_keys) {
    for (const std::string& v : values) {
      std::string q = "{\"" + key + "\": " + v;
      for (const auto& [k, dv] : base)
        if (k != key) q += ", \"" + k + "\": " + dv;
      Planned p(kShop, q + "}");
      if (!p.plan) {
        EXPECT_FALSE(p.diag.message.empty()) << key << " = " << v;
      }
      ++runs;
    }
  }
  const std::string model_keys[] = {"table", "dimensions", "measures", "joins"};
  for (const std::string& key : model_keys) {
    for (const std::string& v : values) {
      const std::pair<std::string, std::string> defaults[] = {
          {"table", "\"t\""},
          {"dimensions", "{\"d\": \"d\"}"},
          {"measures", "{\"n\": {\"agg\": \"count\"}, \"c\": {\"calc\": \"n\"}}"},
          {"joins", "{\"o\": {\"model\": \"other\", \"left_on\": \"d\", \"right_on\": \"d\"}}"}};
      std::string model = "{\"" + key + "\": " + v;
      for (const auto& [k, dv] : defaults)
        if (k != key) model += ", \"" + k + "\": " + dv;
      std::string m = "{\"models\": {\"m\": " + model + "}, \"other\": {\"table\": \"o\", \"dimensions\": {\"d\": " +
                      v + "}}}}";
      for (const char* q : {R"({"model": "m", "dimensions": ["d"], "measures": ["n"]})",
                            R"({"model": "m", "dimensions": ["o.d", "m.d"], "measures": ["c"]})",
                            R"({"model": "m", "measures": ["n"], "filters": [{"field": "d", "operator": "=", "value": 1}]})"}) {
        Planned p(m, q);
        if (!p.plan) {
          EXPECT_FALSE(p.diag.message.empty()) << key << " = " << v;
        }
        ++runs;
      }
    }
  }
  EXPECT_GT(runs, 200);
}

}  // namespace
}  // namespace quendra
