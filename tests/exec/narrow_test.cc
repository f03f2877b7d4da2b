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
#include "sweep.h"
#include "vec/time.h"
#include "../plan/plan_test_util.h"

namespace quendra {
namespace {

constexpr int64_t kDay = kMicrosPerDay;

const char* kManifest = R"({"models": {"facts": {"table": "f",
  "dimensions": {"t": {"expr": "t", "time": true}, "d": {"expr": "d", "time": true}, "i": "i",
    "e": {"expr": "e", "time": true}, "u": {"expr": "u", "time": true}},
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
  // e: the dates without nulls (zones, then whole runs of days); u: days
  // of the same span in no order.
  std::vector<int64_t> t(kRows), d(kRows), i(kRows), e(kRows), u(kRows);
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
  e = d;
  for (int64_t& x : u) x = d.front() + static_cast<int64_t>(rng() % static_cast<uint64_t>(d.back() - d.front() + 1));
  Arena data;
  auto col = [&](Kind k, std::vector<int64_t>& x, std::vector<uint8_t>* nulls) {
    return column(k, kRows, nulls ? nulls->data() : nullptr, intData(x.data()));
  };
  std::vector<Bytes> names = {"t", "d", "i", "e", "u"};
  std::vector<Vec> cols = {col(Kind::timestamp, t, &tnull), col(Kind::date, d, &dnull), col(Kind::int_, i, nullptr),
                           col(Kind::date, e, nullptr), col(Kind::date, u, nullptr)};
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
    const std::string c = std::string(1, "tdieu"[rng() % 5]);
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
      const std::vector<int64_t>& days = c == "e" ? e : c == "u" ? u : d;
      const __int128 x = c == "t" ? t[r] : c == "i" ? i[r] : static_cast<__int128>(days[r]) * kDay;
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
// it, every grouping by it and every join on it (a parent row reading its
// code's right row) must give what the same tables bound without stats
// give (the plain string paths), rows in the same order.
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
    uint64_t* offs = data.make<uint64_t>(v.size() + 1);
    std::string all;
    offs[0] = 0;
    for (size_t r = 0; r < v.size(); ++r) {
      all += v[r];
      offs[r + 1] = all.size();
    }
    char* bytes = data.make<char>(all.size());
    std::memcpy(bytes, all.data(), all.size());
    return column(Kind::str, v.size(), nulls ? nulls->data() : nullptr, strData(offs, Bytes(bytes, all.size())));
  };
  std::vector<Bytes> names = {"s", "g", "i"};
  std::vector<Vec> cols = {text(s, &snull), text(g, nullptr), column(Kind::int_, kRows, nullptr, intData(i.data()))};
  std::vector<ColStats> stats;
  for (const Vec& c : cols) stats.push_back(*statsOf(data, c));
  ASSERT_TRUE(stats[0].codes && stats[1].codes);
  // Keys for some of s's values only (and one no row holds); the empty
  // text is a key like any other.
  std::vector<std::string> key = {"ab", "", "é", "zz", "nowhere", "A"}, label = {"L1", "L2", "L1", "L3", "L4", "L2"};
  std::vector<Bytes> knames = {"key", "label"};
  std::vector<Vec> kcols = {text(key, nullptr), text(label, nullptr)};
  std::vector<ColStats> kstats;
  for (const Vec& c : kcols) kstats.push_back(*statsOf(data, c));
  // Expressions over one column (s, i) are worked out per value of it.
  const char* manifest = R"j({"models": {"m": {"table": "t", "dimensions": {"s": "s", "g": "g", "i": "i",
      "su": "UPPER(s)", "sc": "CASE WHEN s LIKE 'a%' THEN 1 WHEN s = '' THEN 2 END",
      "iy": "CASE WHEN i < 10 THEN 'low' WHEN i IN (50, 51) THEN 'mid' END"},
    "measures": {"n": {"agg": "count"}, "t": {"agg": "sum", "expr": "i"}},
    "joins": {"k": {"model": "k", "left_on": "s", "right_on": "key"}}},
    "k": {"table": "k", "dimensions": {"key": "key", "label": "label"}}}})j";
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
      R"({"field": "k.label", "operator": "in", "values": ["L1", "L3"]})",
      R"({"field": "k.key", "operator": "is null"})",
      R"({"field": "su", "operator": "in", "values": ["AB", "É", "A%B"]})",
      R"({"field": "iy", "operator": "is null"})",
  };
  const char* groupings[] = {R"([])",           R"(["m.s"])",          R"(["m.g", "m.s"])",    R"(["m.g"])",
                             R"(["k.label"])",  R"(["m.g", "k.key"])", R"(["m.su", "m.iy"])", R"(["m.sc", "m.g"])",
                             R"(["m.iy"])"};
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
        *tables.findOrInsert(data, "k")->value = exec::Table{
            knames, kcols, key.size(), with_stats ? std::span<const ColStats>(kstats) : std::span<const ColStats>()};
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


// Every allocation of queries that take the filter shortcuts (zones, a
// dictionary, a join on one, joined texts grouped as codes, keep masks over
// a joined table and one joined from it, an OR reading earlier look-ups,
// compaction, dimensions read per group, expressions worked out per value
// of their column), refused in turn, must end as
// OutOfMemory with nothing leaked, and the queries must then answer as
// before.
TEST(Narrow, AllocationFailuresReportOutOfMemory) {
  constexpr size_t kRows = 9000, kCust = 700, kNations = 7;
  Arena data;
  std::mt19937_64 rng(5);
  std::vector<int64_t> t(kRows), cust(kRows), amount(kRows), cid(kCust), nat(kCust), nid(kNations);
  std::vector<std::string> seg(kRows), cname(kCust), nname(kNations);
  const char* segs[] = {"BUILDING", "MACHINERY", "AUTO"};
  for (size_t r = 0; r < kRows; ++r) {
    t[r] = static_cast<int64_t>(r) * 600'000'000;  // ten minutes apart, in order
    cust[r] = static_cast<int64_t>(rng() % (kCust + 20));  // some match no customer
    amount[r] = static_cast<int64_t>(rng() % 1000);
    seg[r] = segs[rng() % 3];
  }
  for (size_t c = 0; c < kCust; ++c) {
    cid[c] = static_cast<int64_t>(c);
    nat[c] = static_cast<int64_t>(rng() % kNations);
    cname[c] = "c" + std::to_string(c);
  }
  for (size_t n = 0; n < kNations; ++n) {
    nid[n] = static_cast<int64_t>(n);
    nname[n] = n % 2 ? "FRANCE" : "GERMANY";
  }
  auto text = [&](std::vector<std::string>& v) {
    uint64_t* offs = data.make<uint64_t>(v.size() + 1);
    std::string all;
    offs[0] = 0;
    for (size_t r = 0; r < v.size(); ++r) {
      all += v[r];
      offs[r + 1] = all.size();
    }
    char* bytes = data.make<char>(all.size());
    std::memcpy(bytes, all.data(), all.size());
    return column(Kind::str, v.size(), nullptr, strData(offs, Bytes(bytes, all.size())));
  };
  auto ints = [](Kind k, std::vector<int64_t>& v) { return column(k, v.size(), nullptr, intData(v.data())); };
  struct Bound {
    std::vector<Bytes> names;
    std::vector<Vec> cols;
    std::vector<ColStats> stats;
  } f{{"t", "cust", "amount", "seg"}, {ints(Kind::timestamp, t), ints(Kind::int_, cust), ints(Kind::int_, amount), text(seg)}, {}},
      c{{"id", "nation", "name"}, {ints(Kind::int_, cid), ints(Kind::int_, nat), text(cname)}, {}},
      n{{"id", "name"}, {ints(Kind::int_, nid), text(nname)}, {}};
  std::vector<std::string> sname = {"AUTO", "BUILDING"}, skind = {"cars", "houses"};
  Bound sg{{"name", "kind"}, {text(sname), text(skind)}, {}};
  Tables tables;
  for (auto [name, b] : {std::pair<const char*, Bound*>{"f", &f}, {"c", &c}, {"n", &n}, {"sg", &sg}}) {
    for (const Vec& v : b->cols) b->stats.push_back(*statsOf(data, v));
    *tables.findOrInsert(data, name)->value = exec::Table{b->names, b->cols, b->cols[0].len, b->stats};
  }
  ASSERT_TRUE(f.stats[0].zones && f.stats[3].codes);
  const char* manifest = R"({"models": {
    "f": {"table": "f", "dimensions": {"t": {"expr": "t", "time": true}, "seg": "seg", "cust": "cust",
        "band": "CASE WHEN amount < 100 THEN 'low' WHEN amount IN (500, 501) THEN 'mid' END", "sl": "CASE WHEN LOWER(seg) = 'auto' THEN 'a' ELSE seg END"},
      "measures": {"n": {"agg": "count"}, "total": {"agg": "sum", "expr": "amount * 2"},
        "french": {"agg": "sum", "expr": "amount", "filters": [{"field": "c.n.name", "operator": "=", "value": "FRANCE"}]}},
      "joins": {"c": {"model": "c", "left_on": "cust", "right_on": "id"},
                "sg": {"model": "sg", "left_on": "seg", "right_on": "name"}}},
    "sg": {"table": "sg", "dimensions": {"name": "name", "kind": "kind"}},
    "c": {"table": "c", "dimensions": {"id": "id", "name": "name", "nation": "nation"},
      "joins": {"n": {"model": "n", "left_on": "nation", "right_on": "id"}}},
    "n": {"table": "n", "dimensions": {"id": "id", "name": "name"}}}})";
  const char* queries[] = {
      R"({"model": "f", "dimensions": ["f.seg"], "measures": ["n", "total", "french"],
          "filters": [{"field": "f.t", "operator": ">=", "value": "1970-01-20"}, {"field": "f.t", "operator": "<", "value": "1970-02-03"},
                      {"field": "f.seg", "operator": "in", "values": ["AUTO", "BUILDING"]}]})",
      R"({"model": "f", "dimensions": ["c.id", "c.name", "c.n.name"], "measures": ["total"],
          "filters": [{"field": "c.n.name", "operator": "=", "value": "FRANCE"}, {"field": "c.id", "operator": "<", "value": 600},
                      {"field": "f.seg", "operator": "<>", "value": "AUTO"}],
          "order_by": [["total", "desc"]], "limit": 5})",
      R"({"model": "f", "dimensions": ["c.n.name", "f.seg"], "measures": ["n"],
          "filters": [{"operator": "or", "conditions": [
            {"operator": "and", "conditions": [{"field": "c.n.name", "operator": "=", "value": "FRANCE"}, {"field": "f.seg", "operator": "=", "value": "AUTO"}]},
            {"operator": "and", "conditions": [{"field": "c.n.name", "operator": "=", "value": "GERMANY"}, {"field": "c.name", "operator": "like", "value": "c1%"}]}]}]})",
      R"({"model": "f", "dimensions": ["sg.kind", "c.n.name"], "measures": ["n"], "filters": [{"field": "sg.name", "operator": "<>", "value": "AUTO"}]})",
      R"({"model": "f", "dimensions": ["f.band", "f.sl"], "measures": ["n"], "filter": "LOWER(seg) LIKE '%u%' OR amount % 7 = 0"})",
  };
  auto run = [&](const char* q, Arena& call, Diag& diag) {
    Json m = testing::readOrDie(call, manifest);
    Json qj = testing::readOrDie(call, q);
    auto plan = build(call, m, qj, diag);
    EXPECT_TRUE(plan) << diag.message;
    return execute(call, *plan, tables, diag);
  };
  auto answer = [&](const char* q) {
    Arena call;
    Diag diag{&call, {}, {}};
    auto r = run(q, call, diag);
    if (!r) return std::string("failed: ") + std::string(diag.message);
    std::string out;
    for (size_t row = 0; row < r->nrows; ++row)
      for (const Vec& v : r->cols)
        out += (v.isNull(row) ? std::string("null") : v.kind == Kind::str ? std::string(v.strAt(row)) : std::to_string(v.intAt(row))) + "|";
    return out;
  };
  Arena::setBlockSizeForTesting(64);
  for (const char* q : queries) {
    const std::string want = answer(q);
    ASSERT_EQ(want.rfind("failed", 0), std::string::npos) << want;
    ASSERT_NE(want, "");
    for (bool every_after : {false, true}) {
      const size_t refused = testing::refuseEach(manifest, q, tables, every_after);
      EXPECT_GT(refused, 10u);
      EXPECT_EQ(answer(q), want);
    }
  }
  Arena::setBlockSizeForTesting(0);
}

}  // namespace
}  // namespace quendra
