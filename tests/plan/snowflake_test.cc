// Joins through joined models, composite keys and measure filters, as
// planning sees them: aliases, parents, and every message.
#include <gtest/gtest.h>

#include <string>

#include "plan_test_util.h"

namespace quendra {
namespace {

using testing::Planned;

const std::string kSnow = R"json({"models": {
  "li": {"table": "lineitem",
    "dimensions": {"ok": "ok", "pk": "pk", "sk": "sk", "amt": "amt"},
    "measures": {
      "rev": {"agg": "sum", "expr": "amt"},
      "eu_rev": {"agg": "sum", "expr": "amt",
                 "filters": [{"field": "orders.customer.nation.region", "operator": "=", "value": "EU"}]},
      "by_boss": {"agg": "count", "filters": [{"field": "orders.customer.manager.name", "operator": "is not null"}]},
      "bad_ref": {"agg": "count", "filters": [{"field": "li.rev", "operator": ">", "value": 1}]},
      "bad_field": {"agg": "count", "filters": [{"field": "zz.top", "operator": "=", "value": 1}]},
      "bad_join": {"agg": "count", "filters": [{"field": "orders.lost.x", "operator": "=", "value": 1}]},
      "not_list": {"agg": "count", "filters": {"field": "ok", "operator": "=", "value": 1}},
      "calc_f": {"calc": "rev", "filters": []},
      "eu_share": {"calc": "eu_rev / rev"}},
    "joins": {"orders": {"model": "orders", "left_on": "ok", "right_on": "id"},
              "supplier": {"model": "supplier", "left_on": "sk", "right_on": "id"},
              "ps": {"model": "ps", "left_on": ["pk", "sk"], "right_on": ["p", "s"]}}},
  "orders": {"table": "orders", "dimensions": {"id": "id", "cust": "cust"},
    "joins": {"customer": {"model": "customer", "left_on": "cust", "right_on": "id"},
              "lost": {"model": "cust"},
              "bad_len": {"model": "customer", "left_on": ["cust", "id"], "right_on": ["id"]},
              "empty": {"model": "customer", "left_on": [], "right_on": []},
              "many": {"model": "customer", "left_on": ["a", "a", "a", "a", "a", "a", "a", "a", "a"], "right_on": "id"},
              "nonstr": {"model": "customer", "left_on": ["cust", 1], "right_on": ["id", "id"]},
              "wrong_left": {"model": "customer", "left_on": "zz", "right_on": "id"},
              "wrong_right": {"model": "customer", "left_on": ["cust", "id"], "right_on": ["id", "zz"]}}},
  "customer": {"table": "customer",
    "dimensions": {"id": "id", "nk": "nk", "boss": "boss", "name": "name",
                   "since": {"expr": "since", "time": true, "smallest_time_grain": "day"}},
    "joins": {"nation": {"model": "nation", "left_on": "nk", "right_on": "k"},
              "manager": {"model": "customer", "left_on": "boss", "right_on": "id"}}},
  "supplier": {"table": "supplier", "dimensions": {"id": "id", "nk": "nk"},
    "joins": {"nation": {"model": "nation", "left_on": "nk", "right_on": "k"}}},
  "nation": {"table": "nation", "dimensions": {"k": "k", "name": "name", "region": "region"}},
  "ps": {"table": "partsupp", "dimensions": {"p": "p", "s": "s", "cost": "cost"}}
}})json";

std::string managers(int n) {
  std::string path = "orders.customer";
  for (int i = 0; i < n; ++i) path += ".manager";
  return path + ".name";
}

TEST(Snowflake, NestedJoinsTakeAliasesInOrderOfFirstUse) {
  Planned q(kSnow, R"({"model": "li",
      "dimensions": ["supplier.nation.name", "orders.customer.manager.manager.name", "orders.customer.nation.name"],
      "measures": ["eu_rev", "by_boss"],
      "filters": [{"field": "orders.customer.nation.region", "operator": "=", "value": "EU"}]})");
  ASSERT_TRUE(q.plan) << q.err;
  // table, parent and left-key alias of each join: the first hop's three,
  // then each nested one as the query first reaches it. One path is one
  // join however often it is named; two paths to nation are two joins.
  struct Want {
    const char* table;
    int parent;
  } const want[] = {{"orders", 0},   {"supplier", 0}, {"partsupp", 0}, {"nation", 2},
                    {"customer", 1}, {"customer", 5}, {"customer", 6}, {"nation", 5}};
  ASSERT_EQ(q.plan->joins.size(), std::size(want));
  for (size_t k = 0; k < std::size(want); ++k) {
    const Join& j = q.plan->joins[k];
    EXPECT_EQ(j.table, want[k].table) << k;
    EXPECT_EQ(j.alias, k + 1);
    EXPECT_EQ(j.parent, want[k].parent) << k;
    EXPECT_EQ(j.left[0].alias, want[k].parent) << k;
    EXPECT_EQ(j.right[0].alias, k + 1);
  }
  EXPECT_EQ(q.plan->joins[2].left.size(), 2u);
  // Every join but the unused partsupp; measures' filters count as used.
  EXPECT_EQ(q.plan->usedAliases(), 0b111110111u);
  Planned m(kSnow, R"({"model": "li", "measures": ["eu_share"]})");
  ASSERT_TRUE(m.plan) << m.err;
  EXPECT_EQ(m.plan->usedAliases(), 0b110011u);  // orders, customer, nation: parents follow children

  // A manager's manager, hop by hop, up to 30 joins in all.
  EXPECT_TRUE(Planned(kSnow, R"({"model": "li", "dimensions": [")" + managers(26) + "\"]}").plan);
  EXPECT_EQ(Planned(kSnow, R"({"model": "li", "dimensions": [")" + managers(27) + "\"]}").err,
            "Unsupported: too many joins");
}

TEST(Snowflake, MessagesNameTheJoinPathAndTheMeasure) {
  const std::pair<std::string, std::string> cases[] = {
      {R"("dimensions": ["orders.lost.x"])", "UnknownModel: join 'orders.lost': unknown model 'cust'"},
      {R"("dimensions": ["orders.bad_len.x"])", "Invalid: join 'orders.bad_len': left_on and right_on differ in length"},
      {R"("dimensions": ["orders.empty.x"])", "Invalid: join 'orders.empty': left_on is an empty array"},
      {R"("dimensions": ["orders.many.x"])", "Invalid: join 'orders.many': left_on has more than 8 names"},
      {R"("dimensions": ["orders.nonstr.x"])", "Invalid: join 'orders.nonstr': left_on entries must be strings"},
      {R"("dimensions": ["orders.wrong_left.x"])",
       "UnknownField: join 'orders.wrong_left': left_on 'zz' is not a dimension of 'orders'"},
      {R"("dimensions": ["orders.wrong_right.x"])",
       "UnknownField: join 'orders.wrong_right': right_on 'zz' is not a dimension of 'customer'"},
      // A path that reaches no dimension names a column of the table it
      // reaches, wherever it is written; a missing one is met when the
      // query runs, as in expressions.
      {R"("dimensions": ["orders.customer.nope"])", ""},
      {R"("dimensions": ["orders.customer.since"], "time_grains": {"orders.customer.since": "hour"})",
       "Invalid: time grain 'hour' is finer than the smallest grain 'day' of 'orders.customer.since'"},
      {R"("measures": ["rev"], "filters": [{"field": "orders.customer.zz", "operator": "=", "value": 1}])", ""},
      {R"("measures": ["rev"], "filters": [{"field": "nojoin.zz", "operator": "=", "value": 1}])",
       "UnknownField: unknown filter field 'nojoin.zz'"},
      {R"("measures": ["bad_ref"])", "Invalid: measure 'bad_ref': a measure filter cannot name measure 'li.rev'"},
      {R"("measures": ["bad_field"])", "UnknownField: measure 'bad_field': unknown filter field 'zz.top'"},
      {R"("measures": ["bad_join"])", "UnknownModel: measure 'bad_join': join 'orders.lost': unknown model 'cust'"},
      {R"("measures": ["not_list"])", "Invalid: measure 'not_list': 'filters' must be an array"},
      {R"("measures": ["calc_f"])", "Invalid: measure 'calc_f': filters apply only to measures with 'agg'"},
      {R"("measures": ["rev"], "filters": [{"field": "bad_ref", "operator": ">", "value": 1}])",
       "Invalid: measure 'bad_ref': a measure filter cannot name measure 'li.rev'"},
      // Broken joins and measures that a query does not reach cost it nothing.
      {R"("dimensions": ["orders.customer.name", "li.ok"], "measures": ["eu_rev"],
          "order_by": ["orders.customer.name"])", ""},
  };
  for (const auto& [body, want] : cases) {
    Planned p(kSnow, R"({"model": "li", )" + body + "}");
    EXPECT_EQ(p.err, want) << body;
  }
}

}  // namespace
}  // namespace quendra
