// Exact SQL text for plans, through quendra_emit_sql as a host sees it.
#include "sql/writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/heap.h"
#include "quendra.h"

namespace quendra {
namespace {

const std::string kShop = R"json({"calendar": {"fiscal_year_start": 4}, "models": {
  "orders": {
    "table": "orders",
    "dimensions": {
      "created_at": {"expr": "created_at", "time": true},
      "status": "status", "customer_id": "customer_id", "product_id": "product_id",
      "a": "a", "b": "b", "we\"ird`key": "a", "dotted": "orders.amount",
      "calc": "a + b * 2", "neq": "a != b", "ver": "1.2.3", "quoted": "'it''s'", "notnull": "NOT a IS NULL",
      "negneg": "-(-1)", "bs": "'a\\b'", "half": "a / 2.5"
    },
    "measures": {
      "revenue": {"agg": "sum", "expr": "amount"},
      "order_count": {"agg": "count"},
      "buyers": {"agg": "nunique", "expr": "customer_id"},
      "avg_amount": {"agg": "avg", "expr": "amount"},
      "lo": {"agg": "min", "expr": "amount"}, "hi": {"agg": "max", "expr": "amount"},
      "aov": {"calc": "revenue / order_count"},
      "margin": {"calc": "(aov - lo) * 2"},
      "prefixed": {"calc": "orders.revenue"},
      "three": {"calc": "3"}, "three_more": {"calc": "three + 1"},
      "eu_revenue": {"agg": "sum", "expr": "amount",
                     "filters": [{"field": "customers.nation.name", "operator": "=", "value": "EU"}]},
      "eu_orders": {"agg": "count", "filters": [{"field": "customers.nation.name", "operator": "=", "value": "EU"},
                                                 {"operator": "or", "conditions": [{"field": "a", "operator": ">", "value": 1},
                                                   {"field": "status", "operator": "like", "value": "p%"}]}]},
      "med": {"agg": "median", "expr": "amount"}, "sd": {"agg": "stddev", "expr": "amount"},
      "var": {"agg": "variance", "expr": "a + b"},
      "p90": {"agg": "percentile", "expr": "amount", "p": 0.9,
              "filters": [{"field": "status", "operator": "=", "value": "paid"}]},
      "rev_ly": {"measure": "revenue", "offset": 1, "unit": "year"}, "ytd": {"measure": "revenue", "running": "year"},
      "avg_3m": {"measure": "avg_amount", "trailing": 3, "unit": "month"}, "aov_lm": {"measure": "aov", "offset": 1, "unit": "month"},
      "eu_buyers": {"agg": "nunique", "expr": "customer_id",
                    "filters": [{"field": "customers.nation.code", "operator": "in", "values": [1, 2]}]}
    },
    "joins": {
      "customers": {"model": "customers", "left_on": "customer_id", "right_on": "id", "type": "one"},
      "products": {"model": "products", "left_on": "product_id", "right_on": "id"}
    }
  },
  "customers": {"table": "crm.customers", "dimensions": {"id": "id", "region": "region"},
                "joins": {"nation": {"model": "nations", "left_on": ["region", "id"], "right_on": ["region", "cid"]}}},
  "nations": {"table": "nations", "dimensions": {"region": "region", "cid": "cid", "name": "name", "code": "code"},
              "measures": {"nations": {"agg": "nunique", "expr": "name", "filters": [{"field": "code", "operator": ">", "value": 0}]}}},
  "products": {"table": "..p\"r`od", "dimensions": {"id": "id", "category": "category"}},
  "flat": {"table": "flat", "dimensions": {"a": "a", "created_at": {"expr": "created_at", "time": true}},
           "measures": {"n": {"agg": "count"}}}
}})json";

std::string emit(const std::string& query, int dialect = 0, const std::string& manifest = kShop) {
  quendra_ctx* ctx = quendra_new();
  EXPECT_EQ(quendra_load_models(ctx, reinterpret_cast<const uint8_t*>(manifest.data()), manifest.size()), 0);
  const char* out = nullptr;
  size_t len = 0;
  int rc = quendra_emit_sql(ctx, reinterpret_cast<const uint8_t*>(query.data()), query.size(), dialect, &out, &len);
  std::string r;
  if (rc == 0) {
    EXPECT_EQ(out[len], '\0');
    EXPECT_STREQ(quendra_last_error(ctx), "");
    r.assign(out, len);
  } else {
    r = "error " + std::to_string(rc) + " " + quendra_last_error(ctx);
  }
  quendra_free(ctx);
  return r;
}

// The statement's first select item, for tests about one expression.
std::string dimSql(const std::string& dim, int dialect = 0) {
  std::string s = emit(R"({"model": "orders", "dimensions": ["orders.)" + dim + "\"]}", dialect);
  size_t start = s.find("SELECT ") + 7;
  return s.substr(start, s.find(" AS ") - start);
}

std::string measureSql(const std::string& m, int dialect = 0) {
  std::string s = emit(R"({"model": "orders", "measures": [")" + m + "\"]}", dialect);
  if (s.rfind("error", 0) == 0) return s;
  size_t start = s.find("SELECT ") + 7;
  return s.substr(start, s.find(" AS ") - start);
}

std::string whereSql(const std::string& filters, int dialect = 0) {
  std::string s = emit(R"({"model": "orders", "measures": ["order_count"], "filters": [)" + filters + "]}", dialect);
  size_t w = s.find("\nWHERE ");
  size_t h = s.find("\nHAVING ");
  if (w != std::string::npos) return s.substr(w + 7);
  if (h != std::string::npos) return s.substr(h + 8);
  return s;
}

TEST(Writer, CompleteExampleBothDialects) {
  const std::string query = R"({"model": "orders", "dimensions": ["orders.created_at", "customers.region"],
    "measures": ["revenue", "order_count"], "time_grain": "month",
    "filters": [{"field": "orders.status", "operator": "=", "value": "paid"}],
    "order_by": [["revenue", "desc"]], "limit": 10})";
  const std::string manifest = R"({"models": {
    "orders": {"table": "orders",
      "dimensions": {"created_at": {"expr": "created_at", "time": true}, "status": "status", "customer_id": "customer_id"},
      "measures": {"revenue": {"agg": "sum", "expr": "amount"}, "order_count": {"agg": "count"}},
      "joins": {"customers": {"model": "customers", "left_on": "customer_id", "right_on": "id", "type": "one"}}},
    "customers": {"table": "customers", "dimensions": {"id": "id", "region": "region"}}}})";
  EXPECT_EQ(emit(query, 0, manifest),
            "SELECT CAST(date_trunc('month', t0.\"created_at\") AS TIMESTAMP) AS \"orders.created_at\",\n"
            "       t1.\"region\" AS \"customers.region\",\n"
            "       SUM(t0.\"amount\") AS \"revenue\",\n"
            "       COUNT(*) AS \"order_count\"\n"
            "FROM \"orders\" AS t0\n"
            "LEFT JOIN \"customers\" AS t1 ON t0.\"customer_id\" = t1.\"id\"\n"
            "WHERE (t0.\"status\" = 'paid')\n"
            "GROUP BY 1, 2\n"
            "ORDER BY \"revenue\" DESC NULLS LAST\n"
            "LIMIT 10");
  EXPECT_EQ(emit(query, 1, manifest),
            "SELECT CAST(date_trunc('MONTH', t0.`created_at`) AS TIMESTAMP) AS `orders.created_at`,\n"
            "       t1.`region` AS `customers.region`,\n"
            "       SUM(t0.`amount`) AS `revenue`,\n"
            "       COUNT(*) AS `order_count`\n"
            "FROM `orders` AS t0\n"
            "LEFT JOIN `customers` AS t1 ON t0.`customer_id` = t1.`id`\n"
            "WHERE (t0.`status` = 'paid')\n"
            "GROUP BY 1, 2\n"
            "ORDER BY `revenue` DESC NULLS LAST\n"
            "LIMIT 10");
}

TEST(Writer, StatementShapes) {
  EXPECT_EQ(emit(R"({"model": "flat", "measures": ["n"]})"), "SELECT COUNT(*) AS \"n\"\nFROM \"flat\" AS t0");
  EXPECT_EQ(emit(R"({"model": "flat", "dimensions": ["a", "created_at", "a"], "time_grains": {"created_at": "week"},
                     "limit": 0})"),
            "SELECT t0.\"a\" AS \"a\",\n       CAST(date_trunc('week', t0.\"created_at\") AS TIMESTAMP) AS "
            "\"created_at\",\n       t0.\"a\" AS \"a\"\nFROM \"flat\" AS t0\nGROUP BY 1, 2, 3\nLIMIT 0");
  // Both joins used, written in join order whatever the dimension order; table names split at dots.
  std::string both = emit(R"({"model": "orders", "dimensions": ["products.category", "customers.region"]})", 1);
  EXPECT_NE(both.find("FROM `orders` AS t0\nLEFT JOIN `crm`.`customers` AS t1 ON t0.`customer_id` = "
                      "t1.`id`\nLEFT JOIN ``.``.`p\"r``od` AS t2 ON t0.`product_id` = t2.`id`\nGROUP BY"),
            std::string::npos)
      << both;
  // DuckDB cannot read an empty quoted name, so it is refused there.
  EXPECT_EQ(emit(R"({"model": "orders", "dimensions": ["products.category"]})", 0),
            "error 6 {\"code\":\"WriteFailed\",\"message\":\"an empty name cannot be written as a DuckDB "
            "identifier\"}");
  EXPECT_NE(emit(R"({"model": "orders", "dimensions": ["customers.region"]})", 0)
                .find("LEFT JOIN \"crm\".\"customers\" AS t1 ON t0.\"customer_id\" = t1.\"id\""),
            std::string::npos);
  std::string spark = emit(R"({"model": "orders", "dimensions": ["products.category"]})", 1);
  EXPECT_EQ(spark.find("t1"), std::string::npos);  // the unused join is left out
  // Output names with the quote character doubled, in the select list and ORDER BY.
  std::string q = emit(R"({"model": "orders", "measures": ["revenue"], "order_by": ["revenue"]})", 0);
  EXPECT_EQ(q, "SELECT SUM(t0.\"amount\") AS \"revenue\"\nFROM \"orders\" AS t0\nORDER BY \"revenue\" ASC NULLS LAST");
  const std::string weird = R"({"model": "orders", "dimensions": ["orders.we\"ird`key"],
      "measures": ["orders.revenue", "lo"], "order_by": [["orders.revenue", "desc"], "orders.we\"ird`key"]})";
  EXPECT_EQ(emit(weird, 1),
            "SELECT t0.`a` AS `orders.we\"ird``key`,\n       SUM(t0.`amount`) AS `orders.revenue`,\n"
            "       MIN(t0.`amount`) AS `lo`\nFROM `orders` AS t0\nGROUP BY 1\n"
            "ORDER BY `orders.revenue` DESC NULLS LAST, `orders.we\"ird``key` ASC NULLS LAST");
  EXPECT_EQ(emit(weird, 0).substr(0, 39), "SELECT t0.\"a\" AS \"orders.we\"\"ird`key\",\n");
}

TEST(Writer, Expressions) {
  const std::pair<std::string, std::string> cases[] = {
      {"calc", "(t0.\"a\" + (t0.\"b\" * 2))"},
      {"neq", "(t0.\"a\" <> t0.\"b\")"},
      {"quoted", "'it''s'"},
      {"dotted", "t0.\"orders.amount\""},
      {"notnull", "(NOT (t0.\"a\" IS NULL))"},
      {"negneg", "(-(-1))"},
      {"bs", "'a\\b'"},
  };
  for (const auto& [dim, want] : cases) EXPECT_EQ(dimSql(dim), want) << dim;
  EXPECT_EQ(dimSql("bs", 1), "'a\\\\b'");
  EXPECT_EQ(dimSql("quoted", 1), "'it\\'s'");
  EXPECT_EQ(dimSql("half"), "(t0.\"a\" / NULLIF(2.5, 0))");
  EXPECT_EQ(dimSql("half", 1), "(t0.`a` / NULLIF(2.5D, 0))");  // a double, not a decimal
  std::string region = emit(R"({"model": "orders", "dimensions": ["customers.region"]})", 1);
  EXPECT_EQ(region.substr(0, 19), "SELECT t1.`region` ");
}

TEST(Writer, Measures) {
  // Division and remainder guard their divisor: a zero gives null.
  EXPECT_EQ(measureSql("aov"), "(SUM(t0.\"amount\") / NULLIF(COUNT(*), 0))");
  EXPECT_EQ(measureSql("margin"), "(((SUM(t0.\"amount\") / NULLIF(COUNT(*), 0)) - MIN(t0.\"amount\")) * 2)");
  EXPECT_EQ(measureSql("buyers"), "COUNT(DISTINCT t0.\"customer_id\")");
  EXPECT_EQ(measureSql("avg_amount", 1), "AVG(t0.`amount`)");
  EXPECT_EQ(measureSql("hi"), "MAX(t0.\"amount\")");
  // Manifests cannot declare it, but a plan may hold nunique without argument.
  Measure anyone{"anyone", {}};
  anyone.def.tag = MeasureDef::Tag::agg;
  anyone.def.agg.func = AggFn::nunique;
  Plan plan;
  plan.measures = {&anyone, 1};
  Arena a;
  Text t;
  t.arena = &a;
  ASSERT_TRUE(writeMeasure(Writer{plan, Dialect::duckdb}, t, 0, 0));
  EXPECT_EQ(t.view(), "COUNT(*)");
  // Planning accepts the model-prefixed reference; the exact lookup here does not.
  EXPECT_EQ(measureSql("prefixed"), "error 3 {\"code\":\"UnknownField\",\"message\":\"UnknownField\"}");
}

TEST(Writer, MeasuresWithoutAggregateStillAnswerOneRow) {
  const std::string q = R"({"model": "orders", "measures": ["three_more"]})";
  EXPECT_EQ(emit(q), "SELECT (3 + 1) AS \"three_more\"\nFROM \"orders\" AS t0\nGROUP BY GROUPING SETS (())");
  // An aggregate anywhere, in the select list or in HAVING, already makes one group.
  EXPECT_EQ(emit(R"({"model": "orders", "measures": ["three", "order_count"]})").find("GROUP"), std::string::npos);
  EXPECT_EQ(emit(R"({"model": "orders", "measures": ["three"], "filters": [{"field": "revenue", "operator": ">", "value": 1}]})").find("GROUP"), std::string::npos);
  std::string grouped = emit(R"({"model": "orders", "dimensions": ["orders.a"], "measures": ["three"]})");
  EXPECT_EQ(grouped.substr(grouped.find("GROUP")), "GROUP BY 1");
}

TEST(Writer, Predicates) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"field": "orders.status", "operator": "in", "values": ["a", "b"]})", "(t0.\"status\" IN ('a', 'b'))"},
      {R"({"field": "orders.status", "operator": "not in", "values": ["a", "b"]})",
       "(t0.\"status\" NOT IN ('a', 'b'))"},
      {R"({"operator": "or", "conditions": [{"field": "a", "operator": "=", "value": 1},
                                            {"field": "b", "operator": "=", "value": 2}]})",
       "((t0.\"a\" = 1) OR (t0.\"b\" = 2))"},
      {R"({"operator": "or", "conditions": [{"operator": "and", "conditions": [{"field": "a", "operator": "=", "value": 1},
         {"field": "b", "operator": "!=", "value": 2}]}, {"field": "a", "operator": "is null"}]})",
       "(((t0.\"a\" = 1) AND (t0.\"b\" <> 2)) OR (t0.\"a\" IS NULL))"},
      {R"({"operator": "and", "conditions": [{"field": "a", "operator": "is not null"}]})", "((t0.\"a\" IS NOT NULL))"},
      {R"({"field": "a", "operator": "=", "value": null})", "(t0.\"a\" = NULL)"},
      {R"({"field": "a", "operator": "like", "value": "x%"})", "(t0.\"a\" LIKE 'x%')"},
      {R"({"field": "a", "operator": "not like", "value": "x%"})", "(t0.\"a\" NOT LIKE 'x%')"},
      {R"({"field": "a", "operator": "ilike", "value": "x%"})", "(t0.\"a\" ILIKE 'x%')"},
      {R"({"field": "a", "operator": "not ilike", "value": "x%"})", "(t0.\"a\" NOT ILIKE 'x%')"},
      {R"({"field": "a", "operator": "<", "value": 1.0})", "(t0.\"a\" < 1)"},
      {R"({"field": "a", "operator": "<=", "value": -0.25})", "(t0.\"a\" <= -0.25)"},
      {R"({"field": "a", "operator": ">", "value": 123456789012})", "(t0.\"a\" > 123456789012)"},
      {R"({"field": "a", "operator": ">=", "value": "it's"})", "(t0.\"a\" >= 'it''s')"},
      {R"({"field": "a", "operator": "<>", "value": true})", "(t0.\"a\" <> TRUE)"},
      {R"({"field": "customers.region", "operator": "in", "values": [1e20, 99999999999999999999, false]})",
       "(t1.\"region\" IN (100000000000000000000, 100000000000000000000, FALSE))"},
      {R"({"field": "revenue", "operator": ">", "value": 100})", "(SUM(t0.\"amount\") > 100)"},
      {R"({"field": "aov", "operator": ">", "value": 1e-7})", "((SUM(t0.\"amount\") / NULLIF(COUNT(*), 0)) > 0.0000001)"},
  };
  for (const auto& [filter, want] : cases) EXPECT_EQ(whereSql(filter), want) << filter;
  // A filter over a joined table brings its join.
  EXPECT_NE(emit(R"({"model": "orders", "measures": ["revenue"],
                     "filters": [{"field": "customers.region", "operator": "=", "value": "EU"}]})")
                .find("LEFT JOIN \"crm\".\"customers\" AS t1"),
            std::string::npos);
  // Spark escapes backslashes and quotes inside literals.
  EXPECT_EQ(whereSql(R"({"field": "a", "operator": "=", "value": "x\\' OR 1=1 --"})", 1),
            "(t0.`a` = 'x\\\\\\' OR 1=1 --')");
  EXPECT_EQ(whereSql(R"({"field": "a", "operator": "=", "value": "x\\' OR 1=1 --"})", 0),
            "(t0.\"a\" = 'x\\'' OR 1=1 --')");
}

TEST(Writer, FilterStringsTimeRangesAndHaving) {
  std::string s = emit(R"({"model": "flat", "dimensions": ["created_at"], "filter": "a > 1",
                            "time_range": {"start": "2024-01-01", "end": "2024-01-31"}})");
  EXPECT_NE(s.find("\nWHERE (t0.\"a\" > 1) AND (t0.\"created_at\" >= CAST('2024-01-01' AS TIMESTAMP) AND "
                   "t0.\"created_at\" < CAST('2024-01-31' AS TIMESTAMP) + INTERVAL 1 DAY)\n"),
            std::string::npos)
      << s;
  s = emit(R"({"model": "flat", "dimensions": ["created_at"],
               "time_range": {"start": "2024-01-01", "end": "2024-01-31 12:00:00"}})", 1);
  EXPECT_NE(s.find("\nWHERE (t0.`created_at` >= CAST('2024-01-01' AS TIMESTAMP) AND t0.`created_at` <= "
                   "CAST('2024-01-31 12:00:00' AS TIMESTAMP))\n"),
            std::string::npos)
      << s;
  s = emit(R"({"model": "orders", "dimensions": ["orders.status"], "measures": ["revenue"],
               "filters": [{"field": "revenue", "operator": ">", "value": 100},
                           {"field": "orders.status", "operator": "=", "value": "paid"},
                           {"field": "order_count", "operator": "<", "value": 5}]})");
  EXPECT_NE(s.find("\nWHERE (t0.\"status\" = 'paid')\nGROUP BY 1\nHAVING (SUM(t0.\"amount\") > 100) AND "
                   "(COUNT(*) < 5)"),
            std::string::npos)
      << s;
}

TEST(Writer, FloatText) {
  const std::pair<double, const char*> cases[] = {
      {3.0, "3"},           {1e20, "100000000000000000000"}, {1.25, "1.25"}, {12.5, "12.5"}, {0.5, "0.5"},
      {1e-7, "0.0000001"},  {0.0, "0"},    {-0.0, "0"},       {-2.5, "-2.5"}, {0.1, "0.1"},
      {1.0 / 3, "0.3333333333333333"},     {123456.789, "123456.789"},        {5e-324, nullptr},
      {1.7976931348623157e308, nullptr},
  };
  for (const auto& [v, want] : cases) {
    Arena a;
    Text t;
    t.arena = &a;
    ASSERT_TRUE(writeFloat(Dialect::duckdb, t, v));
    std::string got(t.view());
    if (want) EXPECT_EQ(got, want) << v;
    EXPECT_EQ(got.find('e'), std::string::npos) << got;
    EXPECT_EQ(std::strtod(got.c_str(), nullptr), v) << got;  // round trip
  }
}

TEST(Writer, HostileInputsStayBounded) {
  // A long flat chain renders without deep recursion.
  std::string chain = "a";
  for (int i = 0; i < 200000; ++i) chain += "+a";
  std::string m = R"({"models": {"m": {"table": "t", "dimensions": {"d": ")" + chain + R"("}}}})";
  std::string s = emit(R"({"model": "m", "dimensions": ["d"]})", 0, m);
  EXPECT_EQ(s.size(), 200000 * 5 + 200001 * 6 + 40);  // ( + ) per sum, t0."a" per term
  // Measures that expand to an enormous text are refused, not built.
  std::string ms = "\"w16\": {\"agg\": \"count\"}";
  for (int i = 0; i < 16; ++i) {
    std::string e = "w" + std::to_string(i + 1);
    for (int k = 0; k < 7; ++k) e += " + w" + std::to_string(i + 1);
    ms += ", \"w" + std::to_string(i) + "\": {\"calc\": \"" + e + "\"}";
  }
  m = R"({"models": {"m": {"table": "t", "measures": {)" + ms + "}}}}";
  EXPECT_EQ(emit(R"({"model": "m", "measures": ["w0"]})", 0, m),
            "error 6 {\"code\":\"WriteFailed\",\"message\":\"the SQL statement would exceed its size limit\"}");
  EXPECT_EQ(emit(R"({"model": "m", "measures": ["w12"]})", 0, m).substr(0, 14), "SELECT (((((((");
}

TEST(Writer, WhatSparkWouldMisreadIsWrittenSafely) {
  // Spark substitutes ${...} before parsing, literals included.
  EXPECT_EQ(whereSql(R"({"field": "a", "operator": "=", "value": "${spark.app.name} $x {y}"})", 1),
            "(t0.`a` = '\\u0024{spark.app.name} $x {y}')");
  EXPECT_EQ(whereSql(R"({"field": "a", "operator": "=", "value": "${x}"})", 0), "(t0.\"a\" = '${x}')");
  EXPECT_EQ(emit(R"({"model": "m", "dimensions": ["${d}"]})", 1,
                 R"({"models": {"m": {"table": "t", "dimensions": {"${d}": "a"}}}})"),
            "error 6 {\"code\":\"WriteFailed\",\"message\":\"a name holds '${', which Spark would replace before "
            "reading the statement\"}");
  // Spark's LIKE reads a backslash as an escape; ours stands for itself.
  EXPECT_EQ(whereSql(R"({"field": "a", "operator": "like", "value": "%\\%"})", 1), "(t0.`a` LIKE '%\\\\\\\\%')");
  EXPECT_EQ(whereSql(R"({"field": "a", "operator": "not ilike", "value": "a\\"})", 0), "(t0.\"a\" NOT ILIKE 'a\\')");
  EXPECT_EQ(whereSql(R"({"field": "a", "operator": "=", "value": "a\\"})", 1), "(t0.`a` = 'a\\\\')");
  // Spark reads positional literals as decimals of at most 38 digits.
  EXPECT_EQ(whereSql(R"({"field": "a", "operator": "<", "value": 1e300})", 1), "(t0.`a` < 1E300)");
  EXPECT_EQ(whereSql(R"({"field": "a", "operator": ">", "value": -1.5e-300})", 1), "(t0.`a` > -1.5E-300)");
  EXPECT_EQ(whereSql(R"({"field": "a", "operator": ">", "value": 1e37})", 1),
            "(t0.`a` > 10000000000000000000000000000000000000)");
  EXPECT_EQ(whereSql(R"({"field": "a", "operator": ">", "value": 1e38})", 1), "(t0.`a` > 1E38)");
  EXPECT_EQ(whereSql(R"({"field": "a", "operator": "<", "value": 1e300})", 0).size(), 11u + 301);
  // An output name that another output shares (ignoring case) is ordered by
  // position; a LIMIT beyond 32 bits is left out in Spark.
  const std::string twice = R"({"model": "flat", "dimensions": ["a", "a"], "order_by": [["a", "desc"]],
                                "limit": 3000000000})";
  std::string spark = emit(twice, 1);
  EXPECT_EQ(spark.substr(spark.find("\nORDER BY")), "\nORDER BY 2 DESC NULLS LAST");
  std::string duck = emit(twice, 0);
  EXPECT_EQ(duck.substr(duck.find("\nORDER BY")), "\nORDER BY 2 DESC NULLS LAST\nLIMIT 3000000000");
  const std::string cases = R"({"model": "m", "dimensions": ["A", "a", "b"], "order_by": ["b", "a", "A"]})";
  const std::string cased = R"({"models": {"m": {"table": "t", "dimensions": {"A": "x", "a": "y", "b": "z"}}}})";
  duck = emit(cases, 0, cased);
  EXPECT_EQ(duck.substr(duck.find("\nORDER BY")), "\nORDER BY \"b\" ASC NULLS LAST, 2 ASC NULLS LAST, 1 ASC NULLS LAST");
  EXPECT_NE(emit(R"({"model": "flat", "measures": ["n"], "limit": 2147483647})", 1).find("LIMIT 2147483647"),
            std::string::npos);
  // A number the lexer took whole but SQL cannot read is refused.
  EXPECT_EQ(dimSql("ver"), "6 {\"code\":\"WriteFailed\",\"message\":\"a number with more than one '.' cannot be "
                           "written as SQL\"}");
}

TEST(Writer, NulBytesAreRefusedNotWritten) {
  const std::string nul_error =
      "error 6 {\"code\":\"WriteFailed\",\"message\":\"a name or text value holds a NUL byte, which SQL text "
      "cannot carry\"}";
  EXPECT_EQ(whereSql(R"({"field": "a", "operator": "=", "value": "x\u0000y"})"), nul_error);
  EXPECT_EQ(emit(R"({"model": "m", "measures": ["n"]})", 1,
                 R"({"models": {"m": {"table": "t\u0000", "measures": {"n": {"agg": "count"}}}}})"),
            nul_error);
  EXPECT_EQ(emit(R"({"model": "m", "dimensions": ["d"]})", 0,
                 R"({"models": {"m": {"table": "t", "dimensions": {"d": "'a\u0000'"}}}})"),
            nul_error);
  EXPECT_EQ(emit(R"({"model": "m", "dimensions": ["d\u0000"]})", 0,
                 R"({"models": {"m": {"table": "t", "dimensions": {"d\u0000": "a"}}}})"),
            nul_error);
}

TEST(Writer, EntryPointContract) {
  quendra_ctx* ctx = quendra_new();
  ASSERT_EQ(quendra_load_models(ctx, reinterpret_cast<const uint8_t*>(kShop.data()), kShop.size()), 0);
  const std::string bad = R"({"model": "orders", "measures": ["nope"]})";
  const std::string good = R"({"model": "flat", "measures": ["n"]})";
  const char* out = "untouched";
  size_t len = 42;
  EXPECT_EQ(quendra_emit_sql(ctx, reinterpret_cast<const uint8_t*>(bad.data()), bad.size(), 0, &out, &len), 3);
  EXPECT_STREQ(out, "untouched");
  EXPECT_EQ(len, 42u);
  EXPECT_STRNE(quendra_last_error(ctx), "");
  EXPECT_EQ(quendra_emit_sql(ctx, reinterpret_cast<const uint8_t*>(good.data()), good.size(), 1, nullptr, &len), 1);
  EXPECT_STREQ(quendra_last_error(ctx), R"({"code":"invalid","message":"out_ptr and out_len must not be NULL"})");
  EXPECT_EQ(quendra_emit_sql(ctx, reinterpret_cast<const uint8_t*>(good.data()), good.size(), 1, &out, &len), 0);
  EXPECT_STREQ(quendra_last_error(ctx), "");  // success clears the error document
  EXPECT_EQ(std::string(out, len), "SELECT COUNT(*) AS `n`\nFROM `flat` AS t0");
  EXPECT_EQ(std::strlen(out), len);
  quendra_free(ctx);
}

// CASE, COALESCE, IN, LIKE, ABS and the date parts, each in both dialects.
TEST(Writer, FunctionsAndConditionals) {
  const struct {
    const char* expr;
    const char* duckdb;
    const char* spark;
  } cases[] = {
      {"CASE WHEN a > 100 THEN 'large' WHEN a > 10 THEN 'medium' ELSE 'small' END",
       R"((CASE WHEN (t0."a" > 100) THEN 'large' WHEN (t0."a" > 10) THEN 'medium' ELSE 'small' END))",
       "(CASE WHEN (t0.`a` > 100) THEN 'large' WHEN (t0.`a` > 10) THEN 'medium' ELSE 'small' END)"},
      {"case when b then 1.5 end", R"((CASE WHEN t0."b" THEN 1.5 END))", "(CASE WHEN t0.`b` THEN 1.5D END)"},
      {"CASE WHEN NULL THEN NULL ELSE 's' END", "(CASE WHEN CAST(NULL AS BOOLEAN) THEN NULL ELSE 's' END)",
       "(CASE WHEN CAST(NULL AS BOOLEAN) THEN NULL ELSE 's' END)"},
      {"COALESCE(a, b, 'x')", R"(COALESCE(t0."a", t0."b", 'x'))", "COALESCE(t0.`a`, t0.`b`, 'x')"},
      {"a IN (1, NULL)", R"((t0."a" IN (1, NULL)))", "(t0.`a` IN (1, NULL))"},
      {"a + 1 NOT IN (2)", R"(((t0."a" + 1) NOT IN (2)))", "((t0.`a` + 1) NOT IN (2))"},
      {"s LIKE 'a\\%'", R"((t0."s" LIKE 'a\%'))", R"((t0.`s` LIKE 'a\\\\%'))"},
      {"s NOT ILIKE 'it''s'", R"((t0."s" NOT ILIKE 'it''s'))", R"((t0.`s` NOT ILIKE 'it\'s'))"},
      {"ABS(a - 1)", R"(ABS((t0."a" - 1)))", "ABS((t0.`a` - 1))"},
      {"year(t) * 100 + Quarter(t)", R"(((year(t0."t") * 100) + quarter(t0."t")))",
       "((year(t0.`t`) * 100) + quarter(t0.`t`))"},
      {"month(t) + day(t) + hour(t) + minute(t)",
       R"((((month(t0."t") + day(t0."t")) + hour(t0."t")) + minute(t0."t")))",
       "(((month(t0.`t`) + dayofmonth(t0.`t`)) + hour(t0.`t`)) + minute(t0.`t`))"},
      {"ISODOW(t)", R"(isodow(t0."t"))", "(weekday(t0.`t`) + 1)"},
      {"DATE_DIFF('Week', t, NULL)", R"(date_diff('week', CAST(t0."t" AS TIMESTAMP), CAST(NULL AS TIMESTAMP)))",
       "(datediff(CAST(NULL AS DATE), CAST(t0.`t` AS DATE)) div 7)"},
      {"DATE_DIFF('quarter', t, u)", R"(date_diff('quarter', CAST(t0."t" AS TIMESTAMP), CAST(t0."u" AS TIMESTAMP)))",
       "CAST(((year(t0.`u`) * 4 + quarter(t0.`u`)) - (year(t0.`t`) * 4 + quarter(t0.`t`))) AS BIGINT)"},
      {"date_diff('hour', t, u)", R"(date_diff('hour', CAST(t0."t" AS TIMESTAMP), CAST(t0."u" AS TIMESTAMP)))",
       "(floor(unix_seconds(CAST(t0.`u` AS TIMESTAMP)) / 3600) - floor(unix_seconds(CAST(t0.`t` AS TIMESTAMP)) / 3600))"},
      {"\"end\" + \"x\"\"y\"", R"((t0."end" + t0."x""y"))", "(t0.`end` + t0.`x\"y`)"},
  };
  for (const auto& c : cases) {
    std::string expr;
    for (char ch : std::string(c.expr)) expr += ch == '"' || ch == '\\' ? std::string("\\") + ch : std::string(1, ch);
    const std::string m = R"({"models": {"m": {"table": "t", "dimensions": {"d": ")" + expr + "\"}}}}";
    for (int d = 0; d < 2; ++d) {
      std::string sql = emit(R"({"model": "m", "dimensions": ["d"]})", d, m);
      size_t start = sql.find("SELECT ") + 7;
      EXPECT_EQ(sql.substr(start, sql.find(d ? " AS `d`" : " AS \"d\"") - start), d ? c.spark : c.duckdb) << c.expr;
    }
  }
}

TEST(Writer, StatisticalAggregates) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"med", R"(quantile_cont(t0."amount", 0.5))", "percentile(t0.`amount`, 0.5)"},
      {"p90", R"(quantile_cont(CASE WHEN (t0."status" = 'paid') THEN t0."amount" END, 0.9))",
       "percentile(CASE WHEN (t0.`status` = 'paid') THEN t0.`amount` END, 0.9)"},
      {"sd", R"(stddev_samp(t0."amount"))", "stddev_samp(t0.`amount`)"},
      {"var", R"(var_samp((t0."a" + t0."b")))", "var_samp((t0.`a` + t0.`b`))"},
  };
  for (const auto& [m, duck, spark] : cases) {
    EXPECT_EQ(measureSql(m), duck);
    EXPECT_EQ(measureSql(m, 1), spark);
  }
}

TEST(Writer, NestedJoinsCompositeKeysAndMeasureFilters) {
  const std::string q =
      R"({"model": "orders", "dimensions": ["customers.nation.name"], "measures": ["eu_revenue", "eu_orders", "eu_buyers"]})";
  EXPECT_EQ(emit(q),
            "SELECT t3.\"name\" AS \"customers.nation.name\",\n"
            "       SUM(CASE WHEN (t3.\"name\" = 'EU') THEN t0.\"amount\" END) AS \"eu_revenue\",\n"
            "       COUNT(CASE WHEN (t3.\"name\" = 'EU') AND ((t0.\"a\" > 1) OR (t0.\"status\" LIKE 'p%')) THEN 1 END)"
            " AS \"eu_orders\",\n"
            "       COUNT(DISTINCT CASE WHEN (t3.\"code\" IN (1, 2)) THEN t0.\"customer_id\" END) AS \"eu_buyers\"\n"
            "FROM \"orders\" AS t0\n"
            "LEFT JOIN \"crm\".\"customers\" AS t1 ON t0.\"customer_id\" = t1.\"id\"\n"
            "LEFT JOIN \"nations\" AS t3 ON (t1.\"region\" = t3.\"region\") AND (t1.\"id\" = t3.\"cid\")\n"
            "GROUP BY 1");
  // A measure's filters join what they read even when nothing else does,
  // and a query without dimensions still answers one group.
  EXPECT_EQ(emit(R"({"model": "orders", "measures": ["eu_revenue"]})", 1),
            "SELECT SUM(CASE WHEN (t3.`name` = 'EU') THEN t0.`amount` END) AS `eu_revenue`\n"
            "FROM `orders` AS t0\n"
            "LEFT JOIN `crm`.`customers` AS t1 ON t0.`customer_id` = t1.`id`\n"
            "LEFT JOIN `nations` AS t3 ON (t1.`region` = t3.`region`) AND (t1.`id` = t3.`cid`)");
}

TEST(Writer, PathsAndDimensionsInExpressions) {
  const std::string m = R"({"models": {
    "lines": {"table": "lines", "dimensions": {"part_id": "part_id", "qty": "qty",
        "gross": "qty * part.price", "twice": "lines.gross * 2", "cat": "part.cat.label", "dear": "part.dear",
        "quoted": "\"part.price\"", "dotted": "x.y + nojoin.z", "loop": "lines.loop2 + 1", "loop2": "lines.loop"},
      "measures": {"weighted": {"agg": "sum", "expr": "part.cat.weight * qty"}},
      "joins": {"part": {"model": "parts", "left_on": "part_id", "right_on": "id"}}},
    "parts": {"table": "parts", "dimensions": {"id": "id", "price": "price", "cat_id": "cat_id", "dear": "parts.price > 5"},
      "joins": {"cat": {"model": "cats", "left_on": "cat_id", "right_on": "id"}}},
    "cats": {"table": "cats", "dimensions": {"id": "id", "label": "label", "weight": "weight"}}}})";
  auto q = [&](const std::string& body, int dialect = 0) { return emit(R"({"model": "lines", )" + body + "}", dialect, m); };
  // A path reads the joined column; a dimension is written in place over
  // its own model's alias, through as many joins as its path passes.
  EXPECT_EQ(q(R"("dimensions": ["lines.twice", "lines.cat", "lines.dear"])"),
            "SELECT ((t0.\"qty\" * t1.\"price\") * 2) AS \"lines.twice\",\n"
            "       t2.\"label\" AS \"lines.cat\",\n"
            "       (t1.\"price\" > 5) AS \"lines.dear\"\n"
            "FROM \"lines\" AS t0\n"
            "LEFT JOIN \"parts\" AS t1 ON t0.\"part_id\" = t1.\"id\"\n"
            "LEFT JOIN \"cats\" AS t2 ON t1.\"cat_id\" = t2.\"id\"\n"
            "GROUP BY 1, 2, 3");
  // In a measure and the free filter; joins are read in the order names
  // first need them.
  EXPECT_EQ(q(R"("measures": ["weighted"], "filter": "part.price IS NULL OR part.cat.label <> 'x'")", 1),
            "SELECT SUM((t2.`weight` * t0.`qty`)) AS `weighted`\n"
            "FROM `lines` AS t0\n"
            "LEFT JOIN `parts` AS t1 ON t0.`part_id` = t1.`id`\n"
            "LEFT JOIN `cats` AS t2 ON t1.`cat_id` = t2.`id`\n"
            "WHERE ((t1.`price` IS NULL) OR (t2.`label` <> 'x'))");
  // Quoted names, and dotted ones that start with no join, stay columns.
  EXPECT_EQ(q(R"("dimensions": ["lines.quoted", "lines.dotted"])"),
            "SELECT t0.\"part.price\" AS \"lines.quoted\",\n"
            "       (t0.\"x.y\" + t0.\"nojoin.z\") AS \"lines.dotted\"\n"
            "FROM \"lines\" AS t0\n"
            "GROUP BY 1, 2");
  EXPECT_EQ(q(R"("dimensions": ["lines.loop"])"),
            R"(error 1 {"code":"Invalid","message":"dimension 'loop2' of model 'lines' refers to itself"})");
  EXPECT_EQ(q(R"("dimensions": ["lines.part_id"], "filters": [{"field": "lines.gross", "operator": ">", "value": 6}])"),
            "SELECT t0.\"part_id\" AS \"lines.part_id\"\n"
            "FROM \"lines\" AS t0\n"
            "LEFT JOIN \"parts\" AS t1 ON t0.\"part_id\" = t1.\"id\"\n"
            "WHERE ((t0.\"qty\" * t1.\"price\") > 6)\n"
            "GROUP BY 1");
}

TEST(Writer, MeasuresOfJoinedModelsCountEachRowOnce) {
  const std::string m = R"({"models": {
    "lines": {"table": "lines", "dimensions": {"mode": "mode", "order_id": "order_id", "day": {"expr": "d", "time": true}},
      "measures": {"n": {"agg": "count"}, "ytd": {"measure": "n", "running": "year"}},
      "joins": {"orders": {"model": "orders", "left_on": "order_id", "right_on": "o_id"}}},
    "orders": {"table": "orders", "dimensions": {"o_id": "o_id", "prio": "prio"},
      "measures": {"count": {"agg": "count"}, "total": {"agg": "sum", "expr": "total"},
                   "urgent": {"agg": "count", "filters": [{"field": "prio", "operator": "=", "value": "1"}]},
                   "avg": {"calc": "total / count"}, "run": {"measure": "count", "running": true}}}}})";
  auto q = [&](const std::string& body, int dialect = 0) { return emit(R"({"model": "lines", )" + body + "}", dialect, m); };
  // Each model's measures in a subquery of their own, the joined model's
  // over its rows made distinct by the join's key; joined on the
  // dimensions, nulls equal; a count of no rows is 0.
  EXPECT_EQ(q(R"("dimensions": ["lines.mode"], "measures": ["n", "orders.avg", "orders.urgent"],
                 "filters": [{"field": "orders.total", "operator": ">", "value": 5}], "order_by": ["lines.mode"])", 1),
            "SELECT q0.`d0` AS `lines.mode`,\n"
            "       q0.`m0` AS `n`,\n"
            "       (q1.`m3` / NULLIF(COALESCE(q1.`m4`, 0), 0)) AS `orders.avg`,\n"
            "       COALESCE(q1.`m5`, 0) AS `orders.urgent`\n"
            "FROM (SELECT t0.`mode` AS `d0`,\n"
            "       COUNT(*) AS `m0`\n"
            "FROM `lines` AS t0\n"
            "LEFT JOIN `orders` AS t1 ON t0.`order_id` = t1.`o_id`\n"
            "GROUP BY 1) AS q0\n"
            "LEFT JOIN (SELECT r.`d0`,\n"
            "       SUM(r.`x3`) AS `m3`,\n"
            "       COUNT(*) AS `m4`,\n"
            "       COUNT(r.`x5`) AS `m5`\n"
            "FROM (SELECT DISTINCT t0.`mode` AS `d0`,\n"
            "       t1.`o_id` AS `k0`,\n"
            "       t1.`total` AS `x3`,\n"
            "       CASE WHEN (t1.`prio` = '1') THEN 1 END AS `x5`\n"
            "FROM `lines` AS t0\n"
            "LEFT JOIN `orders` AS t1 ON t0.`order_id` = t1.`o_id`\n"
            "WHERE (t1.`o_id` IS NOT NULL)) AS r\n"
            "GROUP BY 1) AS q1 ON (q0.`d0` <=> q1.`d0`)\n"
            "WHERE (q1.`m3` > 5)\n"
            "ORDER BY `lines.mode` ASC NULLS LAST");
  EXPECT_EQ(q(R"("measures": ["orders.nope"])"), R"(error 3 {"code":"UnknownField","message":"unknown measure 'orders.nope'"})");
  EXPECT_EQ(q(R"("measures": ["orders.run"])"),
            R"(error 4 {"code":"Unsupported","message":"measure 'orders.run': unsupported through a join: it is derived along time"})");
  EXPECT_EQ(q(R"("dimensions": ["lines.day"], "time_grain": "day", "measures": ["ytd", "orders.count"])"),
            R"(error 4 {"code":"Unsupported","message":"measures derived along time cannot be asked with measures of )"
            R"(joined models, such as 'orders.count'"})");
}

TEST(Writer, ManyJoinsCountEachRowOfEveryModelOnce) {
  const std::string m = R"({"models": {
    "customer": {"table": "customer", "primary_key": "c_id",
      "dimensions": {"c_id": "c_id", "seg": "seg", "day": {"expr": "d", "time": true}},
      "measures": {"n": {"agg": "count"}, "bal": {"agg": "sum", "expr": "bal"},
                   "late": {"agg": "count", "expr": "orders.prio"}, "run": {"measure": "n", "running": true}},
      "joins": {"orders": {"model": "orders", "type": "many", "left_on": "c_id", "right_on": "o_cust"},
                "returns": {"model": "returns", "type": "many", "left_on": "c_id", "right_on": "r_cust"},
                "bare": {"model": "bare", "type": "many", "left_on": "c_id", "right_on": "b_cust"}}},
    "orders": {"table": "orders", "primary_key": ["o_id"], "dimensions": {"o_id": "o_id", "o_cust": "o_cust", "prio": "prio"},
      "measures": {"n": {"agg": "count"}, "total": {"agg": "sum", "expr": "total"}}},
    "returns": {"table": "returns", "primary_key": "r_id", "dimensions": {"r_id": "r_id", "r_cust": "r_cust"},
      "measures": {"amt": {"agg": "sum", "expr": "amt"}}},
    "bare": {"table": "bare", "dimensions": {"b_cust": "b_cust"}, "measures": {"n": {"agg": "count"}}}}})";
  auto q = [&](const std::string& body) { return emit(R"({"model": "customer", )" + body + "}", 0, m); };
  // Each model's rows made distinct by its primary key in a subquery that
  // joins only what the dimensions, the filters and that model need: the
  // orders and the returns of a customer never multiply each other.
  EXPECT_EQ(q(R"("dimensions": ["orders.prio"], "measures": ["n", "returns.amt"])"),
            "SELECT q0.\"d0\" AS \"orders.prio\",\n"
            "       q0.\"m0\" AS \"n\",\n"
            "       q2.\"m4\" AS \"returns.amt\"\n"
            "FROM (SELECT r.\"d0\",\n"
            "       COUNT(*) AS \"m0\"\n"
            "FROM (SELECT DISTINCT t1.\"prio\" AS \"d0\",\n"
            "       t0.\"c_id\" AS \"k0\"\n"
            "FROM \"customer\" AS t0\n"
            "LEFT JOIN \"orders\" AS t1 ON t0.\"c_id\" = t1.\"o_cust\") AS r\n"
            "GROUP BY 1) AS q0\n"
            "LEFT JOIN (SELECT r.\"d0\",\n"
            "       SUM(r.\"x4\") AS \"m4\"\n"
            "FROM (SELECT DISTINCT t1.\"prio\" AS \"d0\",\n"
            "       t2.\"r_id\" AS \"k0\",\n"
            "       t2.\"amt\" AS \"x4\"\n"
            "FROM \"customer\" AS t0\n"
            "LEFT JOIN \"orders\" AS t1 ON t0.\"c_id\" = t1.\"o_cust\"\n"
            "LEFT JOIN \"returns\" AS t2 ON t0.\"c_id\" = t2.\"r_cust\"\n"
            "WHERE (t2.\"r_cust\" IS NOT NULL)) AS r\n"
            "GROUP BY 1) AS q2 ON (q0.\"d0\" IS NOT DISTINCT FROM q2.\"d0\")");
  EXPECT_EQ(q(R"("measures": ["bare.n"])"),
            R"(error 1 {"code":"Invalid","message":"model 'bare' needs a primary_key to be aggregated across the join 'bare'"})");
  EXPECT_EQ(q(R"("measures": ["late"])"),
            R"(error 1 {"code":"Invalid","message":"measure 'late' reads through the join 'orders', which can match many )"
            R"(rows of one of its rows; ask for a measure of the joined model instead"})");
  EXPECT_EQ(q(R"("dimensions": ["customer.day"], "time_grain": "day", "measures": ["run"], "filter": "orders.total > 1")"),
            R"(error 4 {"code":"Unsupported","message":"measures derived along time cannot be asked across the many-join 'orders'"})");
  // Without a many-join on the way, the statement is what it always was.
  EXPECT_EQ(q(R"("dimensions": ["customer.seg"], "measures": ["n"])"),
            "SELECT t0.\"seg\" AS \"customer.seg\",\n"
            "       COUNT(*) AS \"n\"\n"
            "FROM \"customer\" AS t0\n"
            "GROUP BY 1");
}

TEST(Writer, TotalsAggregateAgainAtTheirPartitionsGrain) {
  const std::string m = R"({"models": {"o": {"table": "o", "dimensions": {"seg": "seg", "prio": "prio"},
    "measures": {"rev": {"agg": "sum", "expr": "amt"}, "rev_all": {"measure": "rev", "total": true},
                 "rev_seg": {"measure": "rev", "total": ["seg", "other"]}, "share": {"calc": "rev / rev_all"},
                 "bad": {"measure": "rev", "total": "yes"}, "of_calc": {"measure": "share", "total": true}}}}})";
  auto q = [&](const std::string& body) { return emit(R"({"model": "o", )" + body + "}", 0, m); };
  // A subquery per total, grouped by the query's dimensions it lists (the
  // others it lists partition nothing), joined on them; over all rows, one
  // row joined to every group.
  EXPECT_EQ(q(R"("dimensions": ["seg", "prio"], "measures": ["rev_seg"],
                 "filters": [{"field": "share", "operator": ">", "value": 0.5}])"),
            "SELECT q0.\"d0\" AS \"seg\",\n"
            "       q0.\"d1\" AS \"prio\",\n"
            "       t2.\"m0\" AS \"rev_seg\"\n"
            "FROM (SELECT t0.\"seg\" AS \"d0\",\n"
            "       t0.\"prio\" AS \"d1\",\n"
            "       SUM(t0.\"amt\") AS \"m0\"\n"
            "FROM \"o\" AS t0\n"
            "GROUP BY 1, 2) AS q0\n"
            "LEFT JOIN (SELECT t0.\"seg\" AS \"d0\",\n"
            "       SUM(t0.\"amt\") AS \"m0\"\n"
            "FROM \"o\" AS t0\n"
            "GROUP BY 1) AS t2 ON (q0.\"d0\" IS NOT DISTINCT FROM t2.\"d0\")\n"
            "CROSS JOIN (SELECT SUM(t0.\"amt\") AS \"m0\"\n"
            "FROM \"o\" AS t0\n"
            "GROUP BY GROUPING SETS (())) AS t1\n"
            "WHERE ((q0.\"m0\" / NULLIF(t1.\"m0\", 0)) > 0.5)");
  EXPECT_EQ(q(R"("measures": ["bad"])"),
            R"(error 1 {"code":"Invalid","message":"measure 'bad': 'total' must be true or an array of 1 to 64 dimension names"})");
  EXPECT_EQ(q(R"("measures": ["of_calc"])"),
            R"(error 4 {"code":"Unsupported","message":"measure 'of_calc': a total needs an aggregate measure, not 'share'"})");
}

TEST(Writer, TotalsAcrossManyJoinsAggregateEachModelsDistinctRows) {
  const std::string m = R"({"models": {
    "customer": {"table": "customer", "primary_key": "c_id", "dimensions": {"c_id": "c_id", "seg": "seg"},
      "measures": {"n": {"agg": "count"}, "n_all": {"measure": "n", "total": true},
                   "orders_seg": {"measure": "orders.n", "total": ["customer.seg"]}},
      "joins": {"orders": {"model": "orders", "type": "many", "left_on": "c_id", "right_on": "o_cust"}}},
    "orders": {"table": "orders", "primary_key": "o_id", "dimensions": {"o_id": "o_id", "o_cust": "o_cust", "prio": "prio"},
      "measures": {"n": {"agg": "count"}}}}})";
  // The customers once each over all rows, however many orders repeat
  // them; the orders of a segment once each, a segment without orders
  // counting 0.
  EXPECT_EQ(emit(R"({"model": "customer", "dimensions": ["customer.seg", "orders.prio"], "measures": ["n", "n_all", "orders_seg"]})",
                 0, m),
            "SELECT q0.\"d0\" AS \"customer.seg\",\n"
            "       q0.\"d1\" AS \"orders.prio\",\n"
            "       q0.\"m0\" AS \"n\",\n"
            "       t1.\"m0\" AS \"n_all\",\n"
            "       COALESCE(t2.\"m3\", 0) AS \"orders_seg\"\n"
            "FROM (SELECT r.\"d0\",\n"
            "       r.\"d1\",\n"
            "       COUNT(*) AS \"m0\"\n"
            "FROM (SELECT DISTINCT t0.\"seg\" AS \"d0\",\n"
            "       t1.\"prio\" AS \"d1\",\n"
            "       t0.\"c_id\" AS \"k0\"\n"
            "FROM \"customer\" AS t0\n"
            "LEFT JOIN \"orders\" AS t1 ON t0.\"c_id\" = t1.\"o_cust\") AS r\n"
            "GROUP BY 1, 2) AS q0\n"
            "CROSS JOIN (SELECT COUNT(*) AS \"m0\"\n"
            "FROM (SELECT DISTINCT t0.\"c_id\" AS \"k0\"\n"
            "FROM \"customer\" AS t0\n"
            "LEFT JOIN \"orders\" AS t1 ON t0.\"c_id\" = t1.\"o_cust\") AS r\n"
            "GROUP BY GROUPING SETS (())) AS t1\n"
            "LEFT JOIN (SELECT r.\"d0\",\n"
            "       COUNT(*) AS \"m3\"\n"
            "FROM (SELECT DISTINCT t0.\"seg\" AS \"d0\",\n"
            "       t1.\"o_id\" AS \"k0\"\n"
            "FROM \"customer\" AS t0\n"
            "LEFT JOIN \"orders\" AS t1 ON t0.\"c_id\" = t1.\"o_cust\"\n"
            "WHERE (t1.\"o_cust\" IS NOT NULL)) AS r\n"
            "GROUP BY 1) AS t2 ON (q0.\"d0\" IS NOT DISTINCT FROM t2.\"d0\")");
}

TEST(Writer, RanksAreWindowsOverTheGroupsFilteredOutside) {
  const std::string m = R"({"models": {"o": {"table": "o", "dimensions": {"seg": "seg", "prio": "prio"},
    "measures": {"rev": {"agg": "sum", "expr": "amt"}, "rk": {"measure": "rev", "rank": "desc", "within": ["prio"]},
                 "bad": {"measure": "rev", "rank": "up"}, "nested": {"measure": "rk", "rank": "asc"}}}}})";
  auto q = [&](const std::string& body) { return emit(R"({"model": "o", )" + body + "}", 0, m); };
  EXPECT_EQ(q(R"("dimensions": ["seg", "prio"], "measures": ["rev"], "filters": [{"field": "rk", "operator": "<=", "value": 3}])"),
            "SELECT w.\"c0\" AS \"seg\",\n"
            "       w.\"c1\" AS \"prio\",\n"
            "       w.\"c2\" AS \"rev\"\n"
            "FROM (SELECT q0.\"d0\" AS \"c0\",\n"
            "       q0.\"d1\" AS \"c1\",\n"
            "       q0.\"m0\" AS \"c2\",\n"
            "       q0.\"m0\" AS \"x0\",\n"
            "       RANK() OVER (PARTITION BY q0.\"d1\" ORDER BY q0.\"m0\" DESC NULLS LAST) AS \"x1\"\n"
            "FROM (SELECT t0.\"seg\" AS \"d0\",\n"
            "       t0.\"prio\" AS \"d1\",\n"
            "       SUM(t0.\"amt\") AS \"m0\"\n"
            "FROM \"o\" AS t0\n"
            "GROUP BY 1, 2) AS q0) AS w\n"
            "WHERE (w.\"x1\" <= 3)");
  EXPECT_EQ(q(R"("measures": ["bad"])"), R"(error 1 {"code":"Invalid","message":"measure 'bad': 'rank' must be 'desc' or 'asc'"})");
  EXPECT_EQ(q(R"("measures": ["nested"])"),
            R"(error 4 {"code":"Unsupported","message":"measure 'nested': 'rk' is a rank or derived along time; ranks rank )"
            R"(aggregates, calculations and totals"})");
}

TEST(Writer, DimensionsDefinedByMeasuresJoinTheirValuesPerKey) {
  const std::string m = R"({"models": {
    "c": {"table": "c", "dimensions": {"id": "id", "n_orders": {"measure": "orders.n"}, "avg_bal": {"measure": "avg_bal_all"},
          "deep": {"measure": "orders.uses_dim"}, "tot": {"measure": "orders.n_all"}},
          "measures": {"avg_bal_all": {"agg": "mean", "expr": "bal"}},
          "joins": {"orders": {"model": "o", "type": "many", "left_on": "id", "right_on": "cid"}}},
    "o": {"table": "o", "dimensions": {"oid": "oid", "cid": "cid"},
          "measures": {"n": {"agg": "count"}, "n_all": {"measure": "n", "total": true},
                       "uses_dim": {"agg": "sum", "expr": "customer.n_orders"}},
          "joins": {"customer": {"model": "c", "left_on": "cid", "right_on": "id"}}},
    "k": {"table": "k", "dimensions": {"x": {"measure": "n"}}, "measures": {"n": {"agg": "count"}},
          "joins": {"bykey": {"model": "o", "left_on": "x", "right_on": "oid"}}}}})";
  // Per key of the join, LEFT JOINed, a count of no rows being 0; over the
  // whole table, one row joined to every row.
  EXPECT_EQ(emit(R"({"model": "c", "dimensions": ["c.n_orders"], "filter": "id > c.avg_bal"})", 0, m),
            "SELECT COALESCE(t2.\"v\", 0) AS \"c.n_orders\"\n"
            "FROM \"c\" AS t0\n"
            "LEFT JOIN (SELECT t0.\"cid\" AS \"k0\",\n"
            "       COUNT(*) AS \"v\"\n"
            "FROM \"o\" AS t0\n"
            "GROUP BY 1) AS t2 ON t0.\"id\" = t2.\"k0\"\n"
            "CROSS JOIN (SELECT AVG(t0.\"bal\") AS \"v\"\n"
            "FROM \"c\" AS t0) AS t3\n"
            "WHERE (t0.\"id\" > t3.\"v\")\n"
            "GROUP BY 1");
  EXPECT_EQ(emit(R"({"model": "c", "dimensions": ["c.deep"]})", 0, m),
            R"(error 4 {"code":"Unsupported","message":"measure 'uses_dim': dimension 'n_orders' of model 'c' is defined )"
            R"(by a measure, which the measure behind another such dimension may not read"})");
  EXPECT_EQ(emit(R"({"model": "c", "dimensions": ["c.tot"]})", 0, m),
            R"(error 4 {"code":"Unsupported","message":"dimension 'tot' of model 'c': measure 'orders.n_all' is neither )"
            R"(an aggregate nor a calculation over aggregates"})");
  EXPECT_EQ(emit(R"({"model": "k", "dimensions": ["bykey.oid"]})", 0, m),
            R"(error 4 {"code":"Unsupported","message":"join 'bykey': a key may not be a dimension defined by a measure"})");
}

TEST(Writer, WhereScopesEveryReadOfAModelAndSegmentsAreFilters) {
  const std::string m = R"({"models": {
    "o": {"table": "o", "dimensions": {"id": "id", "cid": "cid", "amt": "amt"}, "measures": {"n": {"agg": "count"}},
          "where": [{"field": "tenant", "operator": "=", "value": 7}],
          "segments": {"big": [{"field": "amt", "operator": ">", "value": 100}], "busy": [{"field": "n", "operator": ">", "value": 2}],
                       "odd": {"field": "amt"}},
          "joins": {"cust": {"model": "c", "left_on": "cid", "right_on": "id"}}},
    "c": {"table": "c", "dimensions": {"id": "id", "region": "region", "n_orders": {"measure": "orders.n"}},
          "where": [{"operator": "or", "conditions": [{"field": "region", "operator": "is null"},
                                                       {"field": "region", "operator": "!=", "value": "x"}]}],
          "segments": {"eu": [{"field": "region", "operator": "in", "values": ["de", "fr"]}]},
          "joins": {"orders": {"model": "o", "type": "many", "left_on": "id", "right_on": "cid"}}},
    "bad2": {"table": "b", "dimensions": {"k": "k"}, "where": [{"field": "up.k", "operator": ">", "value": 1}],
             "joins": {"up": {"model": "bad2", "left_on": "k", "right_on": "k"}}},
    "bad3": {"table": "b", "dimensions": {"k": "k"}, "where": {"field": "k"}},
    "bad4": {"table": "b", "dimensions": {"k": "k", "up_k": "up.k + 1"}, "where": [{"field": "up_k", "operator": ">", "value": 1}],
             "joins": {"up": {"model": "bad4", "left_on": "k", "right_on": "k"}}},
    "uses": {"table": "u", "dimensions": {"k": "k"}, "joins": {"b": {"model": "bad3", "left_on": "k", "right_on": "k"}}}}})";
  // Queried, its rows filtered; joined, its where in the join's condition
  // (the row kept with nulls); a measure's values per key from its rows too;
  // a joined model's segment named through the join.
  EXPECT_EQ(emit(R"({"model": "o", "dimensions": ["cust.region", "cust.n_orders"], "segments": ["big", "cust.eu"]})", 1, m),
            "SELECT t1.`region` AS `cust.region`,\n"
            "       (CASE WHEN (t1.`id` IS NOT NULL) THEN COALESCE(t3.`v`, 0) END) AS `cust.n_orders`\n"
            "FROM `o` AS t0\n"
            "LEFT JOIN `c` AS t1 ON t0.`cid` = t1.`id` AND ((t1.`region` IS NULL) OR (t1.`region` <> 'x'))\n"
            "LEFT JOIN (SELECT t0.`cid` AS `k0`,\n"
            "       COUNT(*) AS `v`\n"
            "FROM `o` AS t0\n"
            "WHERE (t0.`tenant` = 7)\n"
            "GROUP BY 1) AS t3 ON t1.`id` = t3.`k0`\n"
            "WHERE (t0.`tenant` = 7) AND (t0.`amt` > 100) AND (t1.`region` IN ('de', 'fr'))\n"
            "GROUP BY 1, 2");
  EXPECT_EQ(emit(R"({"model": "o", "measures": ["n"], "segments": ["busy"]})", 0, m),
            "SELECT COUNT(*) AS \"n\"\n"
            "FROM \"o\" AS t0\n"
            "WHERE (t0.\"tenant\" = 7)\n"
            "HAVING (COUNT(*) > 2)");
  EXPECT_EQ(emit(R"({"model": "o", "measures": ["n"], "segments": ["bigg"]})", 0, m),
            R"(error 3 {"code":"UnknownField","message":"unknown segment 'bigg'; did you mean 'big'?"})");
  EXPECT_EQ(emit(R"({"model": "o", "measures": ["n"], "segments": ["odd"]})", 0, m),
            R"(error 1 {"code":"Invalid","message":"segment 'odd' must be an array of filters"})");
  EXPECT_EQ(emit(R"({"model": "o", "measures": ["n"], "segments": "big"})", 0, m),
            R"(error 1 {"code":"Invalid","message":"'segments' must be an array of segment names"})");
  EXPECT_EQ(emit(R"({"model": "uses", "dimensions": ["b.k"]})", 0, m),
            R"(error 1 {"code":"Invalid","message":"model 'bad3': 'where' must be an array of filters"})");
  EXPECT_EQ(emit(R"({"model": "bad2", "dimensions": ["k"]})", 0, m),
            R"(error 4 {"code":"Unsupported","message":"model 'bad2': 'where' may read only the model's own columns"})");
  EXPECT_EQ(emit(R"({"model": "bad4", "dimensions": ["k"]})", 0, m),
            R"(error 4 {"code":"Unsupported","message":"model 'bad4': 'where' may read only the model's own columns"})");
  EXPECT_EQ(emit(R"({"model": "bad3", "dimensions": ["k"]})", 0, m),
            R"(error 1 {"code":"Invalid","message":"model 'bad3': 'where' must be an array of filters"})");
}

// Every heap request of quendra_emit_sql failed, alone and from then on, for
// a dozen representative queries in both dialects: the call reports 5 (out
// of memory, from planning, or the text copy), 6 (the text buffer could not
// grow) or 1 (the query reader's OutOfMemory), and the same context then
// answers exactly as a fresh one does.
TEST(Writer, SurvivesEveryAllocationFailure) {
  const std::string queries[] = {
      R"({"model": "orders", "dimensions": ["orders.created_at", "customers.region"],
          "measures": ["revenue", "margin"], "time_grain": "month", "filter": "a > 1",
          "filters": [{"field": "orders.status", "operator": "in", "values": ["a", "b'c"]},
                      {"field": "aov", "operator": ">", "value": 2.5}], "order_by": [["revenue", "desc"]], "limit": 3})",
      R"({"model": "flat", "measures": ["n"]})",
      R"({"model": "flat", "dimensions": ["a", "created_at"], "time_grain": "week",
          "time_range": {"start": "2024-01-01", "end": "2024-02-01 10:00:00"}})",
      R"({"model": "flat", "dimensions": ["created_at"], "time_grain": "month", "now": "2024-05-01T10:00:00+02:00",
          "time_range": {"last": 3, "unit": "month"}})",
      R"({"model": "flat", "dimensions": ["created_at"], "time_grain": "fiscal_quarter", "filter": "FISCAL_YEAR(created_at) > 2020",
          "now": "2024-05-01", "time_range": {"previous": "fiscal_year"}})",
      R"({"model": "orders", "measures": ["buyers", "avg_amount", "lo", "hi"], "filter": "NOT (a IS NULL) OR b <> 'x'"})",
      R"({"model": "orders", "dimensions": ["products.category", "customers.region"], "order_by": ["customers.region"]})",
      R"({"model": "orders", "measures": ["order_count"], "filters": [{"operator": "or", "conditions": [
          {"operator": "and", "conditions": [{"field": "a", "operator": "like", "value": "%x%"},
                                             {"field": "b", "operator": "is null"}]},
          {"field": "orders.amount", "operator": "not in", "values": [1, 2.25, null, true]}]}]})",
      R"({"model": "orders", "dimensions": ["orders.status"], "measures": ["aov"],
          "filters": [{"field": "margin", "operator": "<=", "value": -1e-3}], "limit": 0})",
      R"({"model": "orders", "dimensions": ["orders.calc", "orders.notnull", "orders.negneg", "orders.quoted"]})",
      R"({"model": "orders", "dimensions": ["orders.we\"ird`key"], "measures": ["revenue"],
          "order_by": [["orders.we\"ird`key", "desc"]]})",
      R"({"model": "orders", "measures": ["nope"]})",
      R"({"model": "orders", "measures": ["prefixed"]})",
      R"({"model": "orders", "dimensions": ["orders.bs"], "filters": [{"field": "a", "operator": "ilike", "value": "a\\b'c"}]})",
      R"({"model": "orders", "dimensions": ["orders.status"], "measures": ["revenue", "customers.nation.nations"],
          "filters": [{"field": "customers.nation.nations", "operator": ">", "value": 0}]})",
      R"({"model": "orders", "dimensions": ["customers.nation.name"], "measures": ["eu_orders", "eu_buyers"],
          "filters": [{"field": "eu_revenue", "operator": ">", "value": 1}]})",
      R"({"model": "orders", "dimensions": ["orders.created_at", "customers.region"], "time_grain": "month",
          "measures": ["revenue", "rev_ly", "ytd", "avg_3m", "aov_lm"], "filters": [{"field": "ytd", "operator": ">", "value": 0}],
          "time_range": {"start": "2024-01-01", "end": "2024-06-30"}, "order_by": [["rev_ly", "desc"]], "limit": 5})",
      R"({"model": "orders", "dimensions": ["orders.created_at"], "time_grain": "day", "time_zone": "Europe/Dublin",
          "measures": ["revenue", "rev_ly"], "filter": "ISODOW(created_at) < 6 AND '2024-03-31 01:30' <= created_at",
          "filters": [{"field": "orders.created_at", "operator": "not in", "values": ["2024-01-01", null]}],
          "time_range": {"start": "2024-01-01", "end": "2024-06-30"}})",
  };
  Arena::setBlockSizeForTesting(64);
  int failures = 0;
  for (const std::string& query : queries) {
    for (int d = 0; d < 3; ++d) {
      Arena::setBlockSizeForTesting(0);
      std::string want = emit(query, d);
      Arena::setBlockSizeForTesting(64);
      for (bool every_after : {false, true}) {
        for (uint64_t n = 1;; ++n) {
          quendra_ctx* ctx = quendra_new();
          ASSERT_EQ(quendra_load_models(ctx, reinterpret_cast<const uint8_t*>(kShop.data()), kShop.size()), 0);
          const char* out = nullptr;
          size_t len = 0;
          setHeapFailure(n, every_after);
          int rc = quendra_emit_sql(ctx, reinterpret_cast<const uint8_t*>(query.data()), query.size(), d, &out, &len);
          setHeapFailure(0, false);
          bool done = rc == 0 || want.rfind("error " + std::to_string(rc) + " ", 0) == 0;
          if (!done) {
            ++failures;
            EXPECT_TRUE(rc == 1 || rc == 5 || rc == 6) << rc << " " << query;
          }
          // The context answers as a fresh one would, whatever happened.
          rc = quendra_emit_sql(ctx, reinterpret_cast<const uint8_t*>(query.data()), query.size(), d, &out, &len);
          EXPECT_EQ(rc == 0 ? std::string(out, len) : "error " + std::to_string(rc) + " " + quendra_last_error(ctx),
                    want);
          quendra_free(ctx);
          if (done) break;
          ASSERT_LT(n, 5000u);
        }
      }
    }
  }
  Arena::setBlockSizeForTesting(0);
  std::printf("refused %d heap requests across the sweep\n", failures);
  EXPECT_GT(failures, 1000);
}

// A time zone: the time dimension and date parts as wall-clock times (a
// date stays its day), texts as the instants they name there (the first of
// a repeated time), and the range written both ways, chosen by type.
TEST(Writer, TimeZonesReadInstantsAsWallClockTime) {
  const char* q = R"({"model": "flat", "dimensions": ["created_at"], "time_grain": "day", "time_zone": "us/eastern",
      "filter": "HOUR(created_at) > 1 AND created_at < '2024-11-03 01:30'",
      "time_range": {"start": "2024-03-10 02:30", "end": "2024-11-03"}})";
  EXPECT_EQ(emit(q, 0),
            "SELECT CAST(date_trunc('day', (CASE WHEN typeof(t0.\"created_at\") = 'DATE' THEN CAST(t0.\"created_at\" AS "
            "TIMESTAMP) ELSE timezone('US/Eastern', timezone('UTC', CAST(t0.\"created_at\" AS TIMESTAMP))) END)) AS "
            "TIMESTAMP) AS \"created_at\"\nFROM \"flat\" AS t0\nWHERE ((hour((CASE WHEN typeof(t0.\"created_at\") = 'DATE' "
            "THEN CAST(t0.\"created_at\" AS TIMESTAMP) ELSE timezone('US/Eastern', timezone('UTC', CAST(t0.\"created_at\" "
            "AS TIMESTAMP))) END)) > 1) AND (CASE WHEN typeof(t0.\"created_at\") LIKE 'TIMESTAMP%' THEN "
            "(t0.\"created_at\" < '2024-11-03 05:30:00.000000') ELSE (t0.\"created_at\" < '2024-11-03 01:30') END)) AND "
            "(CASE WHEN typeof(t0.\"created_at\") LIKE 'TIMESTAMP%' THEN (t0.\"created_at\" >= '2024-03-10 07:30:00.000000' "
            "AND t0.\"created_at\" < '2024-11-04 05:00:00.000000') ELSE (t0.\"created_at\" >= CAST('2024-03-10 02:30' AS "
            "TIMESTAMP) AND t0.\"created_at\" < CAST('2024-11-03' AS TIMESTAMP) + INTERVAL 1 DAY) END)\nGROUP BY 1");
  const std::string spark = emit(R"({"model": "flat", "dimensions": ["created_at"], "time_zone": "-03:30",
      "filters": [{"field": "created_at", "operator": ">", "value": "2024-01-01"}]})", 1);
  EXPECT_EQ(spark,
            "SELECT (CASE WHEN typeof(t0.`created_at`) = 'date' THEN CAST(t0.`created_at` AS TIMESTAMP) ELSE "
            "(CAST(t0.`created_at` AS TIMESTAMP) - INTERVAL 210 MINUTE) END) AS `created_at`\nFROM `flat` AS t0\n"
            "WHERE (CASE WHEN typeof(t0.`created_at`) LIKE 'timestamp%' THEN (t0.`created_at` > '2024-01-01 03:30:00.000000') "
            "ELSE (t0.`created_at` > '2024-01-01') END)\nGROUP BY 1");
  EXPECT_NE(emit(R"({"model": "flat", "dimensions": ["created_at"], "time_zone": "Australia/Sydney"})", 1)
                .find("from_utc_timestamp(t0.`created_at`, 'Australia/Sydney')"),
            std::string::npos);
  EXPECT_EQ(emit(R"({"model": "flat", "dimensions": ["a"], "time_zone": "Mars/Olympus"})", 0),
            R"(error 1 {"code":"Invalid","message":"unknown time zone 'Mars/Olympus'"})");
  EXPECT_EQ(emit(R"({"model": "flat", "dimensions": ["a"], "time_zone": 5})", 0),
            R"(error 1 {"code":"Invalid","message":"time_zone must be a zone name such as 'America/New_York', or an offset such as '+05:30'"})");
}

TEST(Writer, PostgresQuotesIntervalsQuantilesAndRefusesLongNames) {
  const std::string q = R"({"model": "orders", "dimensions": ["orders.created_at", "orders.half"], "time_grain": "fiscal_quarter",
      "measures": ["p90", "avg_amount"], "filters": [{"field": "orders.status", "operator": "like", "value": "a\\b%"}],
      "time_range": {"start": "2024-01-01", "end": "2024-02-01"}})";
  EXPECT_EQ(emit(q, 2),
            "SELECT CAST((date_trunc('quarter', t0.\"created_at\" - INTERVAL '3 MONTH') + INTERVAL '3 MONTH') AS "
            "TIMESTAMP) AS \"orders.created_at\",\n"
            "       (CAST(t0.\"a\" AS DOUBLE PRECISION) / NULLIF(CAST(2.5 AS DOUBLE PRECISION), 0)) AS \"orders.half\",\n"
            "       CAST(percentile_cont(CAST(0.9 AS DOUBLE PRECISION)) WITHIN GROUP (ORDER BY CASE WHEN "
            "(t0.\"status\" = 'paid') THEN t0.\"amount\" END) AS DOUBLE PRECISION) AS \"p90\",\n"
            "       CAST(AVG(t0.\"amount\") AS DOUBLE PRECISION) AS \"avg_amount\"\n"
            "FROM \"orders\" AS t0\n"
            "WHERE (t0.\"created_at\" >= CAST('2024-01-01' AS TIMESTAMP) AND t0.\"created_at\" < "
            "CAST('2024-02-01' AS TIMESTAMP) + INTERVAL '1 DAY') AND (t0.\"status\" LIKE 'a\\\\b%')\n"
            "GROUP BY 1, 2");
  const std::string n63(63, 'n'), n64(64, 'n');
  const std::string m = R"({"models": {"m": {"table": "t", "dimensions": {")" + n63 + R"(": "a", ")" + n64 +
                        R"(": "a"}}}})";
  EXPECT_NE(emit(R"({"model": "m", "dimensions": [")" + n63 + R"("]})", 2, m).substr(0, 5), "error");
  EXPECT_EQ(emit(R"({"model": "m", "dimensions": [")" + n64 + R"("]})", 2, m),
            "error 6 {\"code\":\"WriteFailed\",\"message\":\"a name longer than 63 bytes cannot be a PostgreSQL "
            "identifier, which would cut it short\"}");
  // PostgreSQL counts every start from the first character.
  const std::string sub =
      R"j({"models": {"m": {"table": "t", "dimensions": {"a": "SUBSTRING(s, -3, 2)", "b": "SUBSTRING(s, -3)"}}}})j";
  EXPECT_EQ(emit(R"({"model": "m", "dimensions": ["a", "b"]})", 2, sub),
            "SELECT substring(t0.\"s\", (length(t0.\"s\") + 1 + (-3)), 2) AS \"a\",\n"
            "       substring(t0.\"s\", (length(t0.\"s\") + 1 + (-3))) AS \"b\"\nFROM \"t\" AS t0\nGROUP BY 1, 2");
  // The same names stay valid in the other dialects.
  EXPECT_NE(emit(R"({"model": "m", "dimensions": [")" + n64 + R"("]})", 0, m).substr(0, 5), "error");
}

}  // namespace
}  // namespace quendra
