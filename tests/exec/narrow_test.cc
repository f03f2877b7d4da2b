// Filters over a table stored in time order, long enough for many zones:
// the rows a filter keeps, with the zones bound and without them, must be
// exactly the rows a plain loop keeps, for windows and comparisons whose
// edges fall on zone boundaries, inside days, before and after every
// value, over nulls and over a zone with no value at all.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "exec/exec.h"
#include "vec/time.h"
#include "../plan/plan_test_util.h"

namespace quendra {
namespace {

constexpr int64_t kDay = kMicrosPerDay;

const char* kManifest = R"({"models": {"facts": {"table": "f",
  "dimensions": {"t": {"expr": "t", "time": true}, "d": {"expr": "d", "time": true}, "i": "i"},
  "measures": {"n": {"agg": "count"}, "s": {"agg": "sum", "expr": "i"}}}}})";

std::string text(int64_t us, bool date_only) {
  time_t secs = static_cast<time_t>(us >= 0 ? us / 1'000'000 : (us - 999'999) / 1'000'000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, date_only ? "%Y-%m-%d" : "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

bool cmp(const std::string& op, __int128 x, __int128 c) {
  if (op == "=") return x == c;
  if (op == "<>") return x != c;
  if (op == "<") return x < c;
  if (op == "<=") return x <= c;
  if (op == ">") return x > c;
  return x >= c;
}

TEST(Narrow, ZonesKeepExactlyWhatAPlainLoopKeeps) {
  constexpr size_t kRows = 6 * kZoneRows + 77;
  std::mt19937_64 rng(7);
  std::vector<int64_t> t(kRows), d(kRows), i(kRows);
  std::vector<uint8_t> tnull(kRows), dnull(kRows);
  int64_t at = 19'000 * kDay, v = -50;
  for (size_t r = 0; r < kRows; ++r) {
    at += static_cast<int64_t>(rng() % 3'000) * 1'000'000;  // up to 50 minutes, whole seconds
    v += static_cast<int64_t>(rng() % 3);
    t[r] = at;
    d[r] = at / kDay;
    i[r] = v;
    // Zone 3 holds no time at all; dates have scattered nulls.
    tnull[r] = r / kZoneRows == 3;
    dnull[r] = rng() % 17 == 0;
  }
  Arena data;
  auto col = [&](Kind k, std::vector<int64_t>& x, std::vector<uint8_t>* nulls) {
    return column(k, kRows, nulls ? nulls->data() : nullptr, intData(x.data()));
  };
  std::vector<Bytes> names = {"t", "d", "i"};
  std::vector<Vec> cols = {col(Kind::timestamp, t, &tnull), col(Kind::date, d, &dnull), col(Kind::int_, i, nullptr)};
  std::vector<ColStats> stats;
  for (const Vec& c : cols) stats.push_back(*statsOf(data, c));

  const char* ops[] = {"=", "<>", "<", "<=", ">", ">="};
  int checked = 0;
  for (int q = 0; q < 400; ++q) {
    // An edge near some row's value: on it, a second off, inside its day,
    // at a zone boundary's row, or outside every value.
    size_t row = rng() % 3 == 0 ? (rng() % 7) * kZoneRows : rng() % kRows;
    if (row >= kRows) row = kRows - 1;
    const int64_t shifts[] = {0, 1'000'000, -1'000'000, kDay / 2, -kDay, 400 * kDay, -400 * kDay};
    const int64_t edge = t[row] + shifts[rng() % 7];
    const bool date_only = rng() % 2;
    const int64_t lit = date_only ? edge / kDay * kDay : edge;
    const std::string c = std::string(1, "tdi"[rng() % 3]);
    const int64_t ival = i[row] + static_cast<int64_t>(rng() % 3) - 1;
    std::string query, op;
    int64_t lo = 0, hi = 0;
    bool range = rng() % 3 == 0 && c != "i";
    if (range) {
      const int64_t width = static_cast<int64_t>(rng() % 40) * kDay / 4;
      lo = lit;
      hi = date_only ? lit + width / kDay * kDay : lit + width;
      query = R"({"model": "facts", "dimensions": [")" + c + R"("], "time_grain": "year", "measures": ["n", "s"],
        "time_range": {"start": ")" + text(lo, date_only) + R"(", "end": ")" + text(hi, date_only) + R"("}})";
      if (date_only) hi += kDay;
    } else {
      op = ops[rng() % 6];
      std::string value = c == "i" ? std::to_string(ival) : "\"" + text(lit, date_only) + "\"";
      query = R"({"model": "facts", "measures": ["n", "s"], "filters": [{"field": ")" + c + R"(", "operator": ")" + op +
              R"(", "value": )" + value + "}]}";
    }
    // The rows a plain loop keeps.
    int64_t want_n = 0, want_s = 0;
    for (size_t r = 0; r < kRows; ++r) {
      const bool null = c == "t" ? tnull[r] : c == "d" ? dnull[r] : false;
      if (null) continue;
      const __int128 x = c == "t" ? t[r] : c == "d" ? static_cast<__int128>(d[r]) * kDay : i[r];
      bool keep;
      if (range)
        keep = x >= lo && (date_only ? x < hi : x <= hi);
      else
        keep = cmp(op, x, c == "i" ? ival : lit);
      if (keep) ++want_n, want_s += i[r];
    }
    testing::Planned pl(kManifest, query);
    ASSERT_TRUE(pl.plan) << pl.err << "\n" << query;
    for (bool with_stats : {true, false}) {
      exec::Table tab{names, cols, kRows, with_stats ? std::span<const ColStats>(stats) : std::span<const ColStats>()};
      Tables tables;
      *tables.findOrInsert(data, "f")->value = tab;
      Arena ea;
      Diag diag{&ea, {}, {}};
      auto got = execute(ea, *pl.plan, tables, diag);
      ASSERT_TRUE(got) << diag.message << "\n" << query;
      const size_t nd = got->cols.size() - 2;
      int64_t n = 0, s = 0;
      for (size_t g = 0; g < got->nrows; ++g) {
        n += got->cols[nd].intAt(g);
        if (!got->cols[nd + 1].isNull(g)) s += got->cols[nd + 1].intAt(g);
      }
      ASSERT_EQ(n, want_n) << query << (with_stats ? " with zones" : " without zones");
      ASSERT_EQ(s, want_s) << query;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 800);
}


// A text column long enough to get a dictionary at binding: every filter on
// it and every grouping by it must give what the same table bound without
// stats gives (the plain string paths), rows in the same order.
TEST(Narrow, DictionaryColumnsAnswerAsPlainText) {
  constexpr size_t kRows = 3 * 8192 + 5;
  const char* pool[] = {"", "a", "A", "ab", "Ab", "a%b", "é", "x_y", "PROMO BRUSHED", "promo", "zz", "b"};
  const char* small[] = {"MAIL", "SHIP", "AIR"};
  std::mt19937_64 rng(11);
  Arena data;
  std::vector<std::string> s(kRows), g(kRows);
  std::vector<uint8_t> snull(kRows);
  std::vector<int64_t> i(kRows);
  for (size_t r = 0; r < kRows; ++r) {
    s[r] = pool[rng() % 12];
    g[r] = small[rng() % 3];
    snull[r] = rng() % 13 == 0;
    i[r] = static_cast<int64_t>(rng() % 100);
  }
  auto text = [&](std::vector<std::string>& v, std::vector<uint8_t>* nulls) {
    uint64_t* offs = data.make<uint64_t>(kRows + 1);
    std::string all;
    offs[0] = 0;
    for (size_t r = 0; r < kRows; ++r) {
      all += v[r];
      offs[r + 1] = all.size();
    }
    char* bytes = data.make<char>(all.size());
    std::memcpy(bytes, all.data(), all.size());
    return column(Kind::str, kRows, nulls ? nulls->data() : nullptr, strData(offs, Bytes(bytes, all.size())));
  };
  std::vector<Bytes> names = {"s", "g", "i"};
  std::vector<Vec> cols = {text(s, &snull), text(g, nullptr), column(Kind::int_, kRows, nullptr, intData(i.data()))};
  std::vector<ColStats> stats;
  for (const Vec& c : cols) stats.push_back(*statsOf(data, c));
  ASSERT_TRUE(stats[0].codes && stats[1].codes);
  const char* manifest = R"({"models": {"m": {"table": "t", "dimensions": {"s": "s", "g": "g", "i": "i"},
    "measures": {"n": {"agg": "count"}, "t": {"agg": "sum", "expr": "i"}}}}})";
  const char* filters[] = {
      R"({"field": "s", "operator": "=", "value": "ab"})",
      R"({"field": "s", "operator": "<>", "value": "ab"})",
      R"({"field": "s", "operator": "in", "values": ["a", "é", null]})",
      R"({"field": "s", "operator": "not in", "values": ["a", "zz"]})",
      R"({"field": "s", "operator": "not in", "values": ["a", null]})",
      R"({"field": "s", "operator": "like", "value": "a\\%%"})",
      R"({"field": "s", "operator": "ilike", "value": "%promo%"})",
      R"({"field": "s", "operator": "not like", "value": "_"})",
      R"({"field": "s", "operator": ">=", "value": "b"})",
      R"({"field": "s", "operator": "is null"})",
      R"({"field": "s", "operator": "is not null"})",
      R"({"field": "g", "operator": "in", "values": ["MAIL", "AIR"]})",
      R"({"field": "s", "operator": "=", "value": 3})",
  };
  const char* groupings[] = {R"([])", R"(["s"])", R"(["g", "s"])", R"(["g"])"};
  for (const char* f : filters) {
    for (const char* dims : groupings) {
      std::string query = std::string(R"({"model": "m", "measures": ["n", "t"], "dimensions": )") + dims +
                          R"(, "filters": [)" + f + "]}";
      testing::Planned pl(manifest, query);
      if (!pl.plan) continue;  // a filter the planner refuses is refused alike
      std::string answers[2];
      for (int with_stats = 0; with_stats < 2; ++with_stats) {
        Tables tables;
        *tables.findOrInsert(data, "t")->value =
            exec::Table{names, cols, kRows, with_stats ? std::span<const ColStats>(stats) : std::span<const ColStats>()};
        Arena ea;
        Diag diag{&ea, {}, {}};
        auto got = execute(ea, *pl.plan, tables, diag);
        std::string& out = answers[with_stats];
        if (!got) {
          out = std::string(errName(got.error())) + ": " + std::string(diag.message);
          continue;
        }
        for (size_t r = 0; r < got->nrows; ++r) {
          for (const Vec& c : got->cols)
            out += c.isNull(r) ? "null" : c.kind == Kind::str ? std::string(c.strAt(r)) : std::to_string(c.intAt(r));
          out += "|";
        }
      }
      EXPECT_EQ(answers[1], answers[0]) << query;
    }
  }
}

}  // namespace
}  // namespace quendra
