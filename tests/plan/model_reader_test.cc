#include <gtest/gtest.h>

#include <string>

#include "plan/builder.h"
#include "plan_test_util.h"

namespace quendra {
namespace {

using testing::Planned;

std::string withModel(const std::string& orders, const std::string& extra = "") {
  return R"({"models": {"orders": )" + orders +
         R"(, "customers": {"table": "customers", "dimensions": {"id": "id", "region": "region"}},
              "blanky": {"table": "b", "dimensions": {"key": {"x": 1}}},
              "tableless": {"dimensions": {"id": "id"}}, "dimless": {"table": "d"})" +
         extra + "}}";
}

std::string planError(const std::string& orders, const std::string& query = R"({"model": "orders", "measures": ["n"]})") {
  Planned p(withModel(orders), query);
  return p.plan ? "ok" : p.err;
}

TEST(ModelReader, ManifestMessagesInCheckOrder) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"table": "o", "dimensions": {"a": 1}, "measures": {"n": {"agg": "count"}}})",
       "Invalid: dimension 'a' has no expr"},
      {R"({"table": "o", "dimensions": {"a": {"expr": 5}}})", "Invalid: dimension 'a' has no expr"},
      {R"({"table": "o", "dimensions": {"a": "x +"}, "measures": {"n": {"agg": "count"}}})", "ok"},  // parsed on use
      {R"({"table": "o", "measures": {"n": {"agg": "count"}, "bad": {"calc": "1 +"}}})",
       "Invalid: cannot parse expression '1 +'"},
      {R"({"table": "o", "measures": {"n": {"agg": "sum", "expr": "a b"}}})", "Invalid: cannot parse expression 'a b'"},
      {R"({"table": "o", "measures": {"n": {"agg": "count"}}, "joins": {"j": 1}})", "Invalid: join 'j' must be an object"},
      {R"({"table": "o", "measures": {"n": {"agg": "count"}}, "joins": {"j": {"type": "One"}}})",
       "Invalid: join 'j': type must be 'one' or 'many'"},
      {R"({"table": "o", "measures": {"n": {"agg": "count"}}, "joins": {"j": {"type": "one"}}})",
       "Invalid: join 'j' has no model"},
      {R"({"table": "o", "measures": {"n": {"agg": "count"}}, "joins": {"j": {"model": "ghost"}}})",
       "UnknownModel: join 'j': unknown model 'ghost'"},
      {R"({"table": "o", "measures": {"n": {"agg": "count"}}, "joins": {"j": {"model": "customers"}}})",
       "Invalid: join 'j' has no left_on"},
      {R"({"table": "o", "measures": {"n": {"agg": "count"}}, "joins": {"j": {"model": "customers", "left_on": "c"}}})",
       "Invalid: join 'j' has no right_on"},
      {R"({"table": "o", "measures": {"n": {"agg": "count"}},
           "joins": {"j": {"model": "customers", "left_on": "id", "right_on": "id"}}})",
       "UnknownField: join 'j': left_on 'id' is not a dimension of 'orders'"},
      {R"({"table": "o", "dimensions": {"c": "c"}, "measures": {"n": {"agg": "count"}},
           "joins": {"j": {"model": "customers", "left_on": "c", "right_on": "cid"}}})",
       "UnknownField: join 'j': right_on 'cid' is not a dimension of 'customers'"},
      {R"({"table": "o", "dimensions": {"c": "c"}, "measures": {"n": {"agg": "count"}},
           "joins": {"j": {"model": "dimless", "left_on": "c", "right_on": "id"}}})",
       "UnknownField: join 'j': right_on 'id' is not a dimension of 'dimless'"},
      {R"({"table": "o", "dimensions": {"c": "c"}, "measures": {"n": {"agg": "count"}},
           "joins": {"j": {"model": "tableless", "left_on": "c", "right_on": "id"}}})",
       "Invalid: model 'tableless' has no table"},
      {R"({"table": "o", "dimensions": {"c": "c"}, "measures": {"n": {"agg": "count"}},
           "joins": {"j": {"model": "blanky", "left_on": "c", "right_on": "key"}}})",
       "Invalid: cannot parse expression ''"},
      {R"({"table": "o", "dimensions": {"c": "c"}, "measures": {"n": {"agg": "count"}},
           "joins": {"j": {"model": "customers", "left_on": "c", "right_on": "id", "type": 1}}})",
       "ok"},
  };
  for (const auto& [orders, want] : cases) EXPECT_EQ(planError(orders), want) << orders;
  // A long text is quoted up to 120 bytes and "…", its function's name too.
  const std::string sum = "a" + std::string(20, ' ') + std::string(200, '+') + "b", name(150, 'f');
  EXPECT_EQ(planError(R"({"table": "o", "measures": {"n": {"agg": "sum", "expr": ")" + sum + R"("}}})"),
            "Invalid: cannot parse expression '" + sum.substr(0, 120) + "\xE2\x80\xA6'");
  EXPECT_EQ(planError(R"({"table": "o", "measures": {"n": {"agg": "sum", "expr": "a + )" + name + "(b)" + R"("}}})"),
            "Invalid: unknown function '" + name.substr(0, 120) + "\xE2\x80\xA6' in expression 'a + " +
                name.substr(0, 116) + "\xE2\x80\xA6'");
}

TEST(ModelReader, ThirtyJoinsAndNoMore) {
  auto model = [](int joins) {
    std::string j;
    for (int i = 0; i < joins; ++i) {
      if (i) j += ",";
      j += "\"j" + std::to_string(i) + "\": {\"model\": \"customers\", \"left_on\": \"c\", \"right_on\": \"region\"}";
    }
    // The 31st join is refused before its own content is looked at.
    if (joins > kMaxJoins) j += ", \"late\": 7";
    return R"({"table": "o", "dimensions": {"c": "c"}, "measures": {"n": {"agg": "count"}}, "joins": {)" + j + "}}";
  };
  Planned p(withModel(model(30)), R"({"model": "orders", "dimensions": ["j29.region", "orders.c"]})");
  ASSERT_TRUE(p.plan) << p.err;
  EXPECT_EQ(p.plan->joins.size(), 30u);
  EXPECT_EQ(p.plan->joins[29].alias, 30);
  EXPECT_EQ(p.plan->dims[0].b.alias, 30);
  EXPECT_EQ(p.plan->usedAliases(), 1u | (1u << 30));
  EXPECT_EQ(planError(model(31)), "Unsupported: too many joins");
}

TEST(ModelReader, FieldNamingAndDefinitions) {
  const std::string orders = R"({"table": "o",
    "dimensions": {"status": "status", "at": {"expr": "created_at", "time": true, "smallest_time_grain": 3},
                   "yes": {"expr": "y", "time": "yes"}},
    "measures": {"n": {"agg": "count"}},
    "joins": {"buyer": {"model": "customers", "left_on": "status", "right_on": "id"}}})";
  Arena a;
  Json manifest = testing::readOrDie(a, withModel(orders));
  Diag d{&a, {}, {}};
  const Json* models = manifest.getObject("models");
  Builder b{a, &d, "orders", models->getObject("orders"), models, {}, {}, {}};
  ASSERT_TRUE(b.setup()) << d.message;
  std::vector<std::string> names;
  for (const Field& f : b.fields) names.emplace_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"orders.status", "orders.at", "orders.yes", "buyer.id", "buyer.region"}));
  EXPECT_TRUE(b.findField("orders.at")->time);
  EXPECT_FALSE(b.findField("orders.at")->smallest);  // not a string: absent
  EXPECT_FALSE(b.findField("orders.yes")->time);
  EXPECT_EQ(b.findField("buyer.region")->alias, 1);
  EXPECT_EQ(b.findField("status"), nullptr);
  EXPECT_EQ(b.findField("customers.region"), nullptr);
}

TEST(ModelReader, EmptyJoinsMeansBareNames) {
  Planned p(withModel(R"({"table": "o", "dimensions": {"status": "status"}, "joins": {}})"),
            R"({"model": "orders", "dimensions": ["status"]})");
  EXPECT_TRUE(p.plan) << p.err;
}

TEST(ModelReader, StoredMeasureProblemsSurfaceOnlyWhenUsed) {
  const std::string orders = R"({"table": "o", "measures": {
    "n": {"agg": "count"}, "num": 5, "empty": {}, "caps": {"agg": "AVG", "expr": "x"},
    "avg_bare": {"agg": "avg"}, "sum_bare": {"agg": "sum"}, "calc_wins": {"calc": "n", "agg": "bogus"},
    "nuniq": {"agg": "nunique", "expr": "customer_id"}, "mean": {"agg": "mean", "expr": "amount"},
    "p0": {"agg": "percentile", "expr": "x", "p": 0}, "p1": {"agg": "percentile", "expr": "x", "p": 1},
    "p_big": {"agg": "percentile", "expr": "x", "p": 1.5}, "p_text": {"agg": "percentile", "expr": "x", "p": "0.5"},
    "p_none": {"agg": "percentile", "expr": "x"}, "med_bare": {"agg": "median"},
    "sd": {"agg": "stddev", "expr": "x", "p": "ignored"}}})";
  const std::pair<std::string, std::string> cases[] = {
      {"n", "ok"},
      {"calc_wins", "ok"},
      {"nuniq", "ok"},
      {"mean", "ok"},
      {"orders.n", "ok"},
      {"num", "Invalid: measure 'num': measure must be an object"},
      {"empty", "Invalid: measure 'empty': needs 'agg' or 'calc'"},
      {"caps", "Unsupported: measure 'caps': unsupported aggregate 'AVG'"},
      {"avg_bare", "Invalid: measure 'avg_bare': 'avg' needs an expr"},
      {"sum_bare", "Invalid: measure 'sum_bare': 'sum' needs an expr"},
      {"p0", "ok"},
      {"p1", "ok"},
      {"sd", "ok"},
      {"p_big", "Invalid: measure 'p_big': 'percentile' needs 'p', a number from 0 to 1"},
      {"p_text", "Invalid: measure 'p_text': 'percentile' needs 'p', a number from 0 to 1"},
      {"p_none", "Invalid: measure 'p_none': 'percentile' needs 'p', a number from 0 to 1"},
      {"med_bare", "Invalid: measure 'med_bare': 'median' needs an expr"},
      {"Orders.n", "UnknownField: unknown measure 'Orders.n'; did you mean 'n'?"},
      {"orders.", "UnknownField: unknown measure 'orders.'; did you mean 'orders.n'?"},
  };
  for (const auto& [measure, want] : cases)
    EXPECT_EQ(planError(orders, R"({"model": "orders", "measures": [")" + measure + "\"]}"), want) << measure;
}

}  // namespace
}  // namespace quendra
