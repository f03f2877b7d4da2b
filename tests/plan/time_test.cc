// Measures derived along time, as planning sees them: the forms, their
// bases, the query's one time dimension and the units that fit its grain.
#include <gtest/gtest.h>

#include <string>

#include "plan_test_util.h"

namespace quendra {
namespace {

using testing::Planned;

const std::string kSales = R"json({"models": {"s": {"table": "sales",
  "dimensions": {"day": {"expr": "ts", "time": true}, "ship": {"expr": "shipped", "time": true}, "region": "region"},
  "measures": {
    "rev": {"agg": "sum", "expr": "amount"}, "n": {"agg": "count"}, "avg": {"agg": "mean", "expr": "amount"},
    "buyers": {"agg": "nunique", "expr": "customer"}, "med": {"agg": "median", "expr": "amount"},
    "aov": {"calc": "rev / n"},
    "rev_ly": {"measure": "rev", "offset": 1, "unit": "year"},
    "aov_lm": {"measure": "aov", "offset": 1, "unit": "Month"},
    "ytd": {"measure": "rev", "running": "year"}, "all_time": {"measure": "n", "running": true},
    "avg_7d": {"measure": "avg", "trailing": 7, "unit": "day"}, "weekly": {"measure": "rev", "trailing": 2, "unit": "week"},
    "growth": {"calc": "(rev - rev_ly) / rev_ly"},
    "ly_of_ly": {"measure": "rev_ly", "offset": 1, "unit": "year"},
    "ly_of_growth": {"measure": "growth", "offset": 1, "unit": "year"},
    "run_buyers": {"measure": "buyers", "running": true}, "trail_med": {"measure": "med", "trailing": 2, "unit": "day"},
    "run_calc": {"measure": "aov", "running": true}, "lost": {"measure": "nope", "offset": 1, "unit": "day"},
    "two": {"measure": "rev", "offset": 1, "unit": "day", "running": true},
    "none": {"measure": "rev"}, "zero": {"measure": "rev", "offset": 0, "unit": "day"},
    "no_unit": {"measure": "rev", "trailing": 3}, "bad_unit": {"measure": "rev", "offset": 1, "unit": "fortnight"},
    "run_week": {"measure": "rev", "running": "week"}, "run_text": {"measure": "rev", "running": "yes"}}}}})json";

std::string plan(const std::string& body) {
  Planned p(kSales, R"({"model": "s", )" + body + "}");
  return p.plan ? "ok" : p.err;
}

TEST(TimeMeasures, FormsBasesAndMessages) {
  const std::pair<std::string, std::string> cases[] = {
      {R"("dimensions": ["day", "region"], "time_grain": "month", "measures": ["rev_ly", "ytd", "growth", "aov_lm"])", "ok"},
      {R"("dimensions": ["day"], "time_grain": "day", "measures": ["avg_7d", "weekly", "all_time"])", "ok"},
      {R"("dimensions": ["day"], "time_grain": "month", "measures": ["rev"], "filters": [{"field": "growth", "operator": ">", "value": 0}])", "ok"},
      // Forms that cannot be used, reported when a query uses them.
      {R"("dimensions": ["day"], "time_grain": "day", "measures": ["two"])",
       "Invalid: measure 'two': needs exactly one of 'offset', 'running' or 'trailing'"},
      {R"("dimensions": ["day"], "time_grain": "day", "measures": ["none"])",
       "Invalid: measure 'none': needs exactly one of 'offset', 'running' or 'trailing'"},
      {R"("dimensions": ["day"], "time_grain": "day", "measures": ["zero"])",
       "Invalid: measure 'zero': 'offset' must be a positive integer"},
      {R"("dimensions": ["day"], "time_grain": "day", "measures": ["no_unit"])",
       "Invalid: measure 'no_unit': 'unit' must be a grain name (trailing)"},
      {R"("dimensions": ["day"], "time_grain": "day", "measures": ["bad_unit"])",
       "Invalid: measure 'bad_unit': 'unit' must be a grain name (offset)"},
      {R"("dimensions": ["day"], "time_grain": "day", "measures": ["run_week"])",
       "Invalid: measure 'run_week': 'running' must be true, 'month', 'quarter' or 'year'"},
      {R"("dimensions": ["day"], "time_grain": "day", "measures": ["run_text"])",
       "Invalid: measure 'run_text': 'running' must be true, 'month', 'quarter' or 'year'"},
      {R"("dimensions": ["day"], "time_grain": "day", "measures": ["lost"])",
       "UnknownField: measure 'lost' refers to unknown measure 'nope'; did you mean 'none'?"},
      // Bases.
      {R"("dimensions": ["day"], "time_grain": "year", "measures": ["ly_of_ly"])",
       "Unsupported: measure 'ly_of_ly': 'rev_ly' is derived along time itself"},
      {R"("dimensions": ["day"], "time_grain": "year", "measures": ["ly_of_growth"])",
       "Unsupported: measure 'ly_of_growth': 'growth' is derived along time itself"},
      {R"("dimensions": ["day"], "time_grain": "day", "measures": ["run_buyers"])",
       "Unsupported: measure 'run_buyers': running and trailing windows need a sum, count, min, max or mean measure, not 'buyers'"},
      {R"("dimensions": ["day"], "time_grain": "day", "measures": ["trail_med"])",
       "Unsupported: measure 'trail_med': running and trailing windows need a sum, count, min, max or mean measure, not 'med'"},
      {R"("dimensions": ["day"], "time_grain": "day", "measures": ["run_calc"])",
       "Unsupported: measure 'run_calc': running and trailing windows need a sum, count, min, max or mean measure, not 'aov'"},
      // The query's one time dimension, with a grain.
      {R"("dimensions": ["region"], "measures": ["rev_ly"])",
       "Invalid: measure 'rev_ly' needs one time dimension with a grain in the query"},
      {R"("dimensions": ["day"], "measures": ["rev_ly"])",
       "Invalid: measure 'rev_ly' needs one time dimension with a grain in the query"},
      {R"("dimensions": ["day", "ship"], "time_grain": "day", "measures": ["growth"])",
       "Invalid: measure 'rev_ly' needs one time dimension with a grain in the query"},
      // Units against the grain: whole periods of it.
      {R"("dimensions": ["day"], "time_grain": "week", "measures": ["rev_ly"])",
       "Invalid: measure 'rev_ly': unit 'year' does not fit the grain 'week'"},
      {R"("dimensions": ["day"], "time_grain": "week", "measures": ["ytd"])",
       "Invalid: measure 'ytd': running by 'year' does not fit the grain 'week'"},
      {R"("dimensions": ["day"], "time_grain": "month", "measures": ["weekly"])",
       "Invalid: measure 'weekly': unit 'week' does not fit the grain 'month'"},
      {R"("dimensions": ["day"], "time_grain": "month", "measures": ["avg_7d"])",
       "Invalid: measure 'avg_7d': unit 'day' does not fit the grain 'month'"},
      {R"("dimensions": ["day"], "time_grain": "week", "measures": ["weekly", "all_time"])", "ok"},
      {R"("dimensions": ["day"], "time_grain": "hour", "measures": ["weekly", "rev_ly", "ytd"])", "ok"},
  };
  for (const auto& [body, want] : cases) EXPECT_EQ(plan(body), want) << body;
}

TEST(TimeMeasures, PlanRecordsTheTimeDimensionAndTheDerivedMeasures) {
  Planned p(kSales, R"({"model": "s", "dimensions": ["region", "day"], "time_grain": "month",
                        "measures": ["growth"], "filters": [{"field": "ytd", "operator": ">", "value": 0}]})");
  ASSERT_TRUE(p.plan) << p.err;
  EXPECT_EQ(p.plan->time_dim, 1u);
  ASSERT_EQ(p.plan->derived.size(), 2u);
  EXPECT_EQ(p.plan->measures[p.plan->derived[0]].name, "rev_ly");
  EXPECT_EQ(p.plan->measures[p.plan->derived[1]].name, "ytd");
}

}  // namespace
}  // namespace quendra
