#include <gtest/gtest.h>

#include <string>

#include "plan_test_util.h"

namespace quendra {
namespace {

using testing::Planned;

// Measures c0..c17 form a chain: ci = c(i+1) + 1, and c17 is an aggregate.
// w0..w15 form a wide graph: every wi names w(i+1) forty times.
std::string manifest() {
  std::string m = R"({"models": {"orders": {"table": "orders",
    "dimensions": {"status": "status", "total": "amount", "revenue": "rev_col"},
    "measures": {"revenue": {"agg": "sum", "expr": "amount"}, "n": {"agg": "count"},
                 "self": {"calc": "self"}, "ghost": {"calc": "n + nope"}, "bad": {"agg": "mode", "expr": "x"},
                 "prefixed": {"calc": "orders.revenue"})";
  for (int i = 0; i < 17; ++i)
    m += ", \"c" + std::to_string(i) + "\": {\"calc\": \"c" + std::to_string(i + 1) + " + 1\"}";
  m += ", \"c17\": {\"agg\": \"count\"}";
  for (int i = 0; i < 16; ++i) {
    std::string e = "w" + std::to_string(i + 1);
    for (int k = 0; k < 39; ++k) e += " + w" + std::to_string(i + 1);
    m += ", \"w" + std::to_string(i) + "\": {\"calc\": \"" + e + "\"}";
  }
  m += ", \"w16\": {\"agg\": \"count\"}";
  return m + "}}}}";
}

std::string planFilters(const std::string& filters, Planned** out = nullptr) {
  static std::string m = manifest();
  auto* p = new Planned(m, R"({"model": "orders", "dimensions": ["status"], "filters": [)" + filters + "]}");
  std::string r = p->plan ? "ok" : p->err;
  if (out)
    *out = p;
  else
    delete p;
  return r;
}

TEST(Filter, MessagesInCheckOrder) {
  const std::pair<std::string, std::string> cases[] = {
      {R"("status = 1")", "Unsupported: only object filters are supported"},
      {R"({"field": "status"})", "Invalid: filter needs 'operator'"},
      {R"({"field": "status", "operator": 1})", "Invalid: filter needs 'operator'"},
      {R"({"operator": "XOR", "conditions": [{}]})", "Invalid: compound filter operator must be AND or OR, got 'XOR'"},
      {R"({"operator": " and ", "conditions": []})", "Invalid: compound filter has no conditions"},
      {R"({"operator": "and", "conditions": [{"operator": "="}]})", "Invalid: filter needs 'field'"},
      {R"({"operator": "="})", "Invalid: filter needs 'field'"},
      // Any other name is a raw column of the base table.
      {R"({"field": "nope", "operator": "bogus"})", "Unsupported: unsupported filter operator 'bogus'"},
      {R"({"field": "a.b", "operator": "bogus"})", "UnknownField: unknown filter field 'a.b'"},
      {R"({"field": "orders.a.b", "operator": "="})", "UnknownField: unknown filter field 'orders.a.b'"},
      {R"({"field": "orders.", "operator": "="})", "UnknownField: unknown filter field 'orders.'; did you mean 'orders.n'?"},
      {R"({"field": "x y", "operator": "="})", "Invalid: cannot parse expression 'x y'"},
      {R"({"field": "orders.x y", "operator": "="})", "Invalid: cannot parse expression 'x y'"},
      {R"({"field": "status", "operator": "In"})", "Invalid: operator 'in' needs 'values'"},
      {R"({"field": "status", "operator": "not in", "values": "a"})", "Invalid: operator 'not in' needs 'values'"},
      {R"({"field": "status", "operator": "in", "values": []})", "Invalid: operator 'in' needs at least one value"},
      {R"({"field": "status", "operator": " EQ "})", "Invalid: operator 'eq' needs 'value'"},
      {R"({"field": "status", "operator": "Between", "value": 1})", "Unsupported: unsupported filter operator 'Between'"},
      {R"({"field": "status", "operator": "and", "value": 1})", "Unsupported: unsupported filter operator 'and'"},
      {R"({"field": "status", "operator": "or", "conditions": {}, "value": 1})",
       "Unsupported: unsupported filter operator 'or'"},
      {R"({"field": "status", "operator": "==", "value": 1})", "Unsupported: unsupported filter operator '=='"},
      {R"({"field": "status", "operator": "in", "values": [[1]]})", "Invalid: filter values must be scalars"},
      {R"({"field": "status", "operator": "=", "value": {}})", "Invalid: filter values must be scalars"},
      {R"({"field": "status", "operator": "=", "value": 1e999})", "Invalid: bad number '1e999'"},
      {R"({"field": "status", "operator": "in", "values": [1, -1E400000]})", "Invalid: bad number '-1E400000'"},
      {R"({"field": "c0", "operator": ">", "value": 1})",
       "Invalid: calculated measure 'c17' is too deeply nested or cyclic"},
      {R"({"field": "self", "operator": ">", "value": 1})",
       "Invalid: calculated measure 'self' is too deeply nested or cyclic"},
      {R"({"field": "bad", "operator": ">", "value": 1})", "Unsupported: measure 'bad': unsupported aggregate 'mode'"},
      {R"({"field": "ghost", "operator": ">", "value": 1})",
       "UnknownField: measure 'ghost' refers to unknown measure 'nope'"},
  };
  for (const auto& [filter, want] : cases) EXPECT_EQ(planFilters(filter), want) << filter;
}

TEST(Filter, OperatorsValuesAndShapes) {
  Planned* p = nullptr;
  ASSERT_EQ(planFilters(R"({"field": "status", "operator": " EQUALS ", "value": "x"},
     {"field": "status", "operator": "Not In", "values": [1, 2, 2.5, true, null, 99999999999999999999]},
     {"field": "status", "operator": "=", "value": null},
     {"field": "status", "operator": "IS NOT NULL", "value": 5},
     {"operator": "or", "conditions": [{"field": "total", "operator": "<>", "value": 1},
        {"operator": "AND", "conditions": [{"field": "amount", "operator": "like", "value": "a%"}]}]},
     {"field": "orders.amount", "operator": "not ilike", "value": "%B"},
     {"field": "revenue", "operator": ">=", "value": -0.25})",
                        &p),
            "ok");
  std::unique_ptr<Planned> owner(p);
  const Plan& plan = *p->plan;
  ASSERT_EQ(plan.where.size(), 7u);
  EXPECT_EQ(plan.where[0].cmp.op, CmpOp::eq);
  EXPECT_EQ(plan.where[0].cmp.values[0].s, "x");
  const Cmp& in = plan.where[1].cmp;
  EXPECT_EQ(in.op, CmpOp::not_in);
  ASSERT_EQ(in.values.size(), 6u);
  EXPECT_EQ(in.values[0].tag, Literal::Tag::int_);
  EXPECT_EQ(in.values[1].i, 2);
  EXPECT_EQ(in.values[2].tag, Literal::Tag::float_);
  EXPECT_EQ(in.values[3].tag, Literal::Tag::boolean);
  EXPECT_EQ(in.values[4].tag, Literal::Tag::null);
  EXPECT_EQ(in.values[5].tag, Literal::Tag::float_);
  EXPECT_EQ(in.values[5].f, 1e20);
  EXPECT_EQ(plan.where[2].cmp.op, CmpOp::eq);  // = null stays a comparison
  EXPECT_EQ(plan.where[2].cmp.values[0].tag, Literal::Tag::null);
  EXPECT_EQ(plan.where[3].cmp.op, CmpOp::is_not_null);
  EXPECT_TRUE(plan.where[3].cmp.values.empty());
  const Pred& any = plan.where[4];
  ASSERT_EQ(any.tag, Pred::Tag::any);
  ASSERT_EQ(any.children.size(), 2u);
  EXPECT_EQ(any.children[0].cmp.op, CmpOp::ne);
  EXPECT_EQ(any.children[0].cmp.lhs.dim.e[0].text, "amount");  // the dimension "total"
  ASSERT_EQ(any.children[1].tag, Pred::Tag::all);
  EXPECT_EQ(any.children[1].children[0].cmp.op, CmpOp::like);
  EXPECT_EQ(any.children[1].children[0].cmp.lhs.dim.e[0].text, "amount");  // a raw column
  EXPECT_EQ(plan.where[5].cmp.op, CmpOp::not_ilike);
  EXPECT_EQ(plan.where[5].cmp.lhs.dim.e[0].text, "amount");
  // A dimension named like a measure is the dimension.
  EXPECT_EQ(plan.where[6].cmp.lhs.tag, Operand::Tag::dim);
  EXPECT_EQ(plan.where[6].cmp.values[0].f, -0.25);
  EXPECT_TRUE(plan.having.empty());
}

TEST(Filter, MeasureFiltersGoToHaving) {
  Planned* p = nullptr;
  ASSERT_EQ(planFilters(R"({"operator": "or", "conditions": [{"field": "n", "operator": ">", "value": 1},
                                                             {"field": "orders.c1", "operator": "<", "value": 5}]},
                           {"field": "w0", "operator": ">", "value": 0},
                           {"field": "prefixed", "operator": ">", "value": 0})",
                        &p),
            "ok");
  std::unique_ptr<Planned> owner(p);
  EXPECT_TRUE(p->plan->where.empty());
  ASSERT_EQ(p->plan->having.size(), 3u);
  EXPECT_EQ(p->plan->having[0].tag, Pred::Tag::any);
  EXPECT_EQ(p->plan->measures[p->plan->having[1].cmp.lhs.measure].name, "w0");
  EXPECT_EQ(p->plan->usedAliases(), 1u);
}

TEST(Filter, KindsAndAliases) {
  Bound b1;
  b1.alias = 3;
  Pred dim;
  dim.tag = Pred::Tag::cmp;
  dim.cmp.lhs.dim = b1;
  Pred measure;
  measure.tag = Pred::Tag::cmp;
  measure.cmp.lhs.tag = Operand::Tag::measure;
  Pred range;
  range.tag = Pred::Tag::range;
  range.range.b.alias = 5;
  Pred kids[] = {dim, measure, range};
  Pred all;
  all.tag = Pred::Tag::all;
  all.children = kids;
  EXPECT_EQ(predAliases(dim), 1u << 3);
  EXPECT_EQ(predAliases(measure), 1u);
  EXPECT_EQ(predAliases(all), (1u << 3) | 1u | (1u << 5));
  PredKind k;
  kindOf(measure, k);
  EXPECT_TRUE(k.measure);
  EXPECT_FALSE(k.dim);
  kindOf(all, k);
  EXPECT_TRUE(k.dim);
}

}  // namespace
}  // namespace quendra
