// Expressions over one column of few values, worked out once per value: a
// randomized comparison of every query with the tables' bound stats (which
// the per-value paths need) against the same query without them, over
// filters, grouping, time grains and measures along time over a range (the
// range read as 16-bit days, its own rows marked per day); then an
// allocation-failure sweep.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "exec/exec.h"
#include "sweep.h"
#include "../plan/plan_test_util.h"
#include "../vec/vec_testing.h"

namespace quendra {
namespace {

const char* kManifest = R"j({"models": {"t": {"table": "t",
  "dimensions": {"d": {"expr": "d", "time": true}, "i": "i", "s": "s", "j": "j",
    "year": "YEAR(d)", "quarter": "QUARTER(d)", "dow": "ISODOW(d)", "md": "MONTH(d) * 100 + DAY(d)",
    "weekend": "CASE WHEN ISODOW(d) >= 6 THEN 'weekend' END", "band": "CASE WHEN i > 2 THEN 'hi' WHEN i IS NULL THEN 'none' END",
    "up": "UPPER(s)", "initial": "SUBSTRING(s, 1, 1)", "named": "COALESCE(s, 'none')", "mixed": "LENGTH(s) + i",
    "kd": "CASE WHEN k.name LIKE 'n%' THEN 1 ELSE 2 END"},
  "measures": {"n": {"agg": "count"}, "total": {"agg": "sum", "expr": "i"}, "days": {"agg": "nunique", "expr": "d"},
    "ytd": {"measure": "total", "running": "year"}, "mtd": {"measure": "n", "running": "month"},
    "prev": {"measure": "n", "offset": 1, "unit": "month"}, "trail": {"measure": "total", "trailing": 2, "unit": "month"}},
  "joins": {"k": {"model": "k", "left_on": "i", "right_on": "id"}, "b": {"model": "b", "left_on": "j", "right_on": "id"}}},
  "k": {"table": "k", "dimensions": {"id": "id", "name": "name"}},
  "b": {"table": "b", "dimensions": {"id": "id", "up": "UPPER(label)", "year": "YEAR(day)", "label": "label"}}}})j";

// b is a table joined on j, large enough for its columns' dictionaries.
const char* kDims[] = {"t.year", "t.quarter", "t.dow", "t.md", "t.weekend", "t.band", "t.up", "t.initial",
                       "t.named", "t.mixed", "t.d", "t.s", "t.kd", "b.up", "b.year"};
const char* kConds[] = {"ISODOW(d) < 6", "YEAR(d) = 2021", "MONTH(d) IN (1, 2, 12)", "UPPER(s) LIKE 'A%'",
                        "s NOT IN ('b', 'cc')", "i IN (1, 2, NULL)", "CASE WHEN i > 0 THEN s END = 'ab'",
                        "DAY(d) + i > 10", "d >= '2021-06-01'", "LENGTH(s) = 2 OR ISODOW(d) = 1"};
const char* kGrains[] = {"day", "week", "month", "quarter", "year"};

struct DomainTest : ::testing::Test {
  Arena data;
  testing::Make mk{data};
  std::vector<Bytes> names = {"d", "i", "s", "j"}, knames = {"id", "name"}, bnames = {"id", "label", "day"};
  std::vector<Vec> cols, kcols, bcols;
  std::vector<ColStats> stats, kstats, bstats;

  void SetUp() override {
    constexpr size_t kRows = 3 * 8192 + 7;  // a dictionary needs a few blocks of rows
    std::mt19937_64 rng(31);
    const char* pool[] = {"a", "ab", "Ab", "b", "cc", "é", ""};
    testing::Opt<int64_t> d, i, j, id, day;
    testing::Opt<std::string> s, label;
    for (size_t r = 0; r < kRows; ++r) {
      j.push_back(rng() % 19 ? std::optional<int64_t>(static_cast<int64_t>(rng() % (kRows + 100))) : std::nullopt);
      id.push_back(static_cast<int64_t>(r));
      label.push_back(rng() % 9 ? std::optional<std::string>(pool[rng() % 7]) : std::nullopt);
      day.push_back(18000 + static_cast<int64_t>(rng() % 2000));
      d.push_back(rng() % 17 ? std::optional<int64_t>(18500 + static_cast<int64_t>(rng() % 1400)) : std::nullopt);
      i.push_back(rng() % 11 ? std::optional<int64_t>(static_cast<int64_t>(rng() % 9) - 2) : std::nullopt);
      s.push_back(rng() % 13 ? std::optional<std::string>(pool[rng() % 7]) : std::nullopt);
    }
    cols = {mk.ints(d, Kind::date), mk.ints(i), mk.strs(s), mk.ints(j)};
    bcols = {mk.ints(id), mk.strs(label), mk.ints(day, Kind::date)};
    for (const Vec& c : bcols) bstats.push_back(*statsOf(data, c));
    kcols = {mk.ints({-2, -1, 0, 1, 2, 3}), mk.strs({"neg", "neg", "nil", "one", std::nullopt, "n3"})};
    for (const Vec& c : cols) stats.push_back(*statsOf(data, c));
    for (const Vec& c : kcols) kstats.push_back(*statsOf(data, c));
    ASSERT_TRUE(stats[2].codes && stats[0].known && bstats[1].codes);
  }

  Tables tables(bool with_stats) {
    Tables t;
    auto span = [&](std::vector<ColStats>& s) { return with_stats ? std::span<const ColStats>(s) : std::span<const ColStats>(); };
    *t.findOrInsert(data, "t")->value = exec::Table{names, cols, cols[0].len, span(stats)};
    *t.findOrInsert(data, "k")->value = exec::Table{knames, kcols, kcols[0].len, span(kstats)};
    *t.findOrInsert(data, "b")->value = exec::Table{bnames, bcols, bcols[0].len, span(bstats)};
    return t;
  }

  std::string answer(const std::string& query, bool with_stats) {
    Arena call;
    Diag diag{&call, {}, {}};
    Json m = testing::readOrDie(call, kManifest);
    Json q = testing::readOrDie(call, query);
    auto plan = build(call, m, q, diag);
    if (!plan) return "plan: " + std::string(diag.message);
    Tables t = tables(with_stats);
    auto r = execute(call, *plan, t, diag);
    if (!r) return std::string(errName(r.error())) + ": " + std::string(diag.message);
    std::string out;
    for (size_t row = 0; row < r->nrows; ++row) {
      for (const Vec& c : r->cols)
        out += c.isNull(row) ? "null|" : c.kind == Kind::str ? std::string(c.strAt(row)) + "|" : std::to_string(c.intAt(row)) + "|";
      out += ";";
    }
    return out;
  }
};

TEST_F(DomainTest, AnswersAsWithoutBoundStats) {
  std::mt19937_64 rng(8);
  int answered = 0, along_answered = 0;
  for (int qi = 0; qi < 300; ++qi) {
    std::string dims;
    for (size_t k = 0, nd = rng() % 4; k < nd; ++k) dims += std::string(k ? ", " : "") + "\"" + kDims[rng() % 15] + "\"";
    std::string filter;
    for (size_t k = 0, nc = rng() % 4; k < nc; ++k)
      filter += std::string(k ? (rng() % 4 ? " AND " : " OR ") : "") + "(" + kConds[rng() % 10] + ")";
    std::string q = R"({"model": "t", "dimensions": [)" + dims + R"(], "measures": ["n", "total", "days"])";
    if (!filter.empty()) q += R"(, "filter": ")" + filter + "\"";
    const bool along_time = rng() % 3 == 0;
    if (along_time) {
      // Along time: the dates by a grain, over a range of whole days.
      const char* along[] = {"ytd", "mtd", "prev", "trail"};
      const int from = 2020 + static_cast<int>(rng() % 5);
      if (dims.find("t.d\"") != std::string::npos) dims.clear();
      q = R"({"model": "t", "dimensions": ["t.d")" + std::string(dims.empty() ? "" : ", ") + dims +
          R"(], "measures": ["n", ")" + along[rng() % 4] + R"("], "time_range": {"start": ")" + std::to_string(from) +
          "-0" + std::to_string(1 + rng() % 9) + R"(-01", "end": ")" + std::to_string(from + 1 + rng() % 2) + "-1" +
          std::to_string(rng() % 3) + "-1" + std::to_string(rng() % 10) + "\"}";
      if (!filter.empty()) q += R"(, "filter": ")" + filter + "\"";
      q += R"(, "time_grain": ")" + std::string(rng() % 2 ? "day" : "month") + "\"";
      Exec::Domain::forceForTesting(rng() % 2);
    } else if (rng() % 3 == 0) {
      q += R"(, "time_grain": ")" + std::string(kGrains[rng() % 5]) + "\"";
    }
    if (rng() % 4 == 0) q += R"(, "filters": [{"field": "t.dow", "operator": "<=", "value": 5}])";
    else if (rng() % 3 == 0) q += R"(, "filters": [{"field": "b.up", "operator": "in", "values": ["AB", "CC", null]}])";
    q += "}";
    const std::string got = answer(q, true);
    Exec::Domain::forceForTesting(false);
    EXPECT_EQ(got, answer(q, false)) << q;
    answered += got.empty() || got.find('|') != std::string::npos;
    along_answered += along_time && got.find('|') != std::string::npos;
  }
  EXPECT_GT(answered, 250);
  EXPECT_GT(along_answered, 60) << along_answered;
}

TEST_F(DomainTest, AllocationFailuresReportOutOfMemory) {
  const char* queries[] = {
      R"({"model": "t", "dimensions": ["t.year", "t.dow", "t.up"], "measures": ["n"], "filter": "ISODOW(d) < 6 AND UPPER(s) <> 'B'"})",
      R"({"model": "t", "dimensions": ["t.d", "t.weekend"], "time_grain": "month", "measures": ["total"],
          "filters": [{"field": "t.band", "operator": "is not null"}]})",
  };
  Tables t = tables(true);
  Arena::setBlockSizeForTesting(64);
  for (const char* q : queries) {
    const std::string want = answer(q, true);
    for (bool every_after : {false, true}) EXPECT_GT(testing::refuseEach(kManifest, q, t, every_after), 10u);
    EXPECT_EQ(answer(q, true), want);
  }
  Arena::setBlockSizeForTesting(0);
}

}  // namespace
}  // namespace quendra
