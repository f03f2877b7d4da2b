// quendra_execute as a host drives it: bound columns in, a struct array
// out that outlives the context, failures as codes and error documents,
// and an allocation-failure sweep over the whole call, export included.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../arrow/arrow_testing.h"
#include "base/arena.h"
#include "base/heap.h"
#include "quendra.h"

namespace {

using quendra::testing::bytesOf;
using quendra::testing::HostColumn;
using quendra::testing::utf8Of;

constexpr const char* kManifest = R"({"models": {"orders": {"table": "orders",
    "dimensions": {"status": "status", "amount": "amount"},
    "measures": {"n": {"agg": "count"}, "total": {"agg": "sum", "expr": "amount"},
                 "avg": {"calc": "total / n"}}},
    "timed": {"table": "orders", "dimensions": {"status": "status", "day": {"expr": "at", "time": true}},
              "measures": {"n": {"agg": "count"}, "total": {"agg": "sum", "expr": "amount"},
                           "prev": {"measure": "total", "offset": 10, "unit": "day"},
                           "run": {"measure": "n", "running": true}, "win": {"measure": "total", "trailing": 25, "unit": "day"}}},
    "snow": {"table": "orders", "dimensions": {"status": "status", "amount": "amount",
                                               "mix": "amount + same.next.amount", "twice": "snow.mix * 2"},
             "measures": {"paid": {"agg": "sum", "expr": "amount",
                                   "filters": [{"field": "same.next.status", "operator": "=", "value": "paid"}]},
                          "lift": {"agg": "sum", "expr": "same.up - amount"}},
             "joins": {"same": {"model": "snow2", "left_on": ["status", "amount"], "right_on": ["status", "amount"]}}},
    "snow2": {"table": "orders", "dimensions": {"status": "status", "amount": "amount", "up": "amount + 20"},
              "measures": {"k": {"agg": "count"}, "s": {"agg": "sum", "expr": "snow2.up"}},
              "joins": {"next": {"model": "snow2", "left_on": "up", "right_on": "amount"}}},
    "fan": {"table": "orders", "primary_key": "amount", "dimensions": {"status": "status", "amount": "amount",
                                                                       "n_peers": {"measure": "peers.k"},
                                                                       "share": {"measure": "peers.ratio"},
                                                                       "mean": {"measure": "avg"},
                                                                       "n_same": {"measure": "same_amount.k"}},
            "measures": {"n": {"agg": "count"}, "total": {"agg": "sum", "expr": "amount"},
                         "avg": {"agg": "mean", "expr": "amount"},
                         "peer_all": {"measure": "peers.s", "total": true},
                         "peer_share": {"calc": "peers.s / peer_all"},
                         "peer_by_status": {"measure": "peers.s", "total": ["fan.status"]},
                         "peer_kinds_all": {"measure": "peers.k", "total": true},
                         "total_all": {"measure": "total", "total": true},
                         "peer_rank": {"measure": "peers.s", "rank": "asc"}},
            "joins": {"peers": {"model": "peer", "type": "many", "left_on": "status", "right_on": "status"},
                      "same_amount": {"model": "peer", "type": "many", "left_on": "amount", "right_on": "amount"},
                      "twins": {"model": "peer", "type": "many", "left_on": ["status", "amount"],
                                "right_on": ["status", "amount"]}}},
    "peer": {"table": "orders", "primary_key": ["amount"], "dimensions": {"status": "status", "amount": "amount"},
             "measures": {"k": {"agg": "count"}, "s": {"agg": "sum", "expr": "amount"}, "ratio": {"calc": "s / k"},
                          "s_all": {"measure": "s", "total": true},
                          "s_rank": {"measure": "peer.s", "rank": "desc", "within": ["peer.status"]}},
             "joins": {"kin": {"model": "peer", "type": "many", "left_on": "status", "right_on": "status"}}}}})";

struct Host {
  quendra_ctx* ctx = quendra_new();
  ~Host() { quendra_free(ctx); }

  int load() { return quendra_load_models(ctx, reinterpret_cast<const uint8_t*>(kManifest), std::strlen(kManifest)); }
  void bind() {
    auto [offs, data] = utf8Of<int32_t>({"paid", "open", "paid", "void"});
    HostColumn status("u", 4, {std::nullopt, offs, data});
    HostColumn amount("l", 4, {std::nullopt, bytesOf<int64_t>({10, 20, 30, 40})});
    ASSERT_EQ(quendra_bind_column(ctx, "orders", "status", &status.array, &status.schema), 0);
    ASSERT_EQ(quendra_bind_column(ctx, "orders", "amount", &amount.array, &amount.schema), 0);
    constexpr int64_t kDay = 86'400'000'000;
    HostColumn at("tsu:", 4, {std::nullopt, bytesOf<int64_t>({19'700 * kDay, 19'710 * kDay, 19'715 * kDay, 19'700 * kDay})});
    ASSERT_EQ(quendra_bind_column(ctx, "orders", "at", &at.array, &at.schema), 0);
  }
  int run(const std::string& q, ArrowArray* a, ArrowSchema* s) {
    return quendra_execute(ctx, reinterpret_cast<const uint8_t*>(q.data()), q.size(), a, s);
  }
  std::string error() const { return quendra_last_error(ctx); }
};

// "status=paid,n=2;..." from an exported result with a str and an int child.
std::string rows(const ArrowArray& a, const ArrowSchema& s) {
  std::string out;
  for (int64_t r = 0; r < a.length; ++r) {
    for (int64_t c = 0; c < a.n_children; ++c) {
      const ArrowArray* col = a.children[c];
      out += std::string(c ? "," : "") + s.children[c]->name + "=";
      if (std::strcmp(s.children[c]->format, "u") == 0) {
        auto* offs = static_cast<const int32_t*>(col->buffers[1]);
        out += std::string(static_cast<const char*>(col->buffers[2]) + offs[r], offs[r + 1] - offs[r]);
      } else if (std::strcmp(s.children[c]->format, "g") == 0) {
        out += std::to_string(static_cast<const double*>(col->buffers[1])[r]);
      } else {
        out += std::to_string(static_cast<const int64_t*>(col->buffers[1])[r]);
      }
    }
    out += ";";
  }
  return out;
}

constexpr const char* kByStatus = R"({"model": "orders", "dimensions": ["status"], "measures": ["n", "total"],
    "order_by": [["total", "desc"]]})";

TEST(Execute, ResultsOutliveQueriesClearsAndTheContext) {
  ArrowArray a1, a2;
  ArrowSchema s1, s2;
  {
    Host h;
    ASSERT_EQ(h.load(), 0);
    h.bind();
    // An earlier failure's document is cleared by a success.
    ASSERT_EQ(h.run(R"({"model": "orders", "dimensions": ["nope"]})", &a1, &s1), 3);
    ASSERT_EQ(h.run(kByStatus, &a1, &s1), 0);
    EXPECT_EQ(h.error(), "");
    EXPECT_STREQ(s1.format, "+s");
    // No dimensions: one row even when no row passes.
    ASSERT_EQ(h.run(R"({"model": "orders", "measures": ["n", "total", "n"], "filter": "amount > 99"})", &a2, &s2), 0);
    quendra_clear_tables(h.ctx);
    ArrowArray a3;
    ArrowSchema s3;
    EXPECT_EQ(h.run(kByStatus, &a3, &s3), 2);
    EXPECT_EQ(h.error(), R"({"code":"UnknownModel","message":"table 'orders' is not bound"})");
    EXPECT_EQ(h.run(kByStatus, nullptr, &s3), 1);
  }
  EXPECT_EQ(rows(a1, s1), "status=paid,n=2,total=40;status=void,n=1,total=40;status=open,n=1,total=20;");
  EXPECT_EQ(rows(a2, s2), "n=0,total=0,n=0;");
  EXPECT_EQ(a2.children[1]->null_count, 1);
  s1.release(&s1);
  a1.release(&a1);
  a2.release(&a2);
  s2.release(&s2);
}

// Totals and ranks of a joined model's measures, and totals across
// many-joins, count each row of the measure's model once: a status's
// orders repeat its peers (two paid orders, two paid peers), and the
// peers' sum over all rows is 100, where the fanned rows would sum 140.
TEST(Execute, TotalsAndRanksOfJoinedMeasuresCountEachRowOnce) {
  Host h;
  ASSERT_EQ(h.load(), 0);
  h.bind();
  auto answer = [&](const std::string& q) {
    ArrowArray a;
    ArrowSchema s;
    if (h.run(q, &a, &s) != 0) return h.error();
    std::string out = rows(a, s);
    a.release(&a);
    s.release(&s);
    return out;
  };
  EXPECT_EQ(answer(R"({"model": "fan", "dimensions": ["fan.status"], "measures": ["peers.s", "peer_all", "peer_share", "peer_rank"],
                       "order_by": ["fan.status"]})"),
            "fan.status=open,peers.s=20,peer_all=100,peer_share=0.200000,peer_rank=1;"
            "fan.status=paid,peers.s=40,peer_all=100,peer_share=0.400000,peer_rank=2;"
            "fan.status=void,peers.s=40,peer_all=100,peer_share=0.400000,peer_rank=2;");
  EXPECT_EQ(answer(R"({"model": "fan", "dimensions": ["fan.status", "fan.amount"], "measures": ["peer_by_status"],
                       "order_by": ["fan.amount"]})"),
            "fan.status=paid,fan.amount=10,peer_by_status=40;fan.status=open,fan.amount=20,peer_by_status=20;"
            "fan.status=paid,fan.amount=30,peer_by_status=40;fan.status=void,fan.amount=40,peer_by_status=40;");
  // The queried model's own measure, its rows repeated by the dimension's
  // many-join; and a count of the joined model's rows, none filtered out.
  EXPECT_EQ(answer(R"({"model": "fan", "dimensions": ["peers.amount"], "measures": ["total", "total_all", "peer_kinds_all"],
                       "order_by": ["peers.amount"], "limit": 2})"),
            "peers.amount=10,total=40,total_all=100,peer_kinds_all=4;peers.amount=20,total=20,total_all=100,peer_kinds_all=4;");
  // A total and a rank of the joined model, asked through the path: its
  // measure and dimensions named through the path too.
  EXPECT_EQ(answer(R"({"model": "fan", "dimensions": ["peers.status", "peers.amount"], "measures": ["peers.s_all", "peers.s_rank"],
                       "order_by": ["peers.amount"]})"),
            "peers.status=paid,peers.amount=10,peers.s_all=100,peers.s_rank=2;"
            "peers.status=open,peers.amount=20,peers.s_all=100,peers.s_rank=1;"
            "peers.status=paid,peers.amount=30,peers.s_all=100,peers.s_rank=1;"
            "peers.status=void,peers.amount=40,peers.s_all=100,peers.s_rank=1;");
  // Over no rows: a sum of none is null, a count 0.
  ArrowArray a;
  ArrowSchema s;
  ASSERT_EQ(h.run(R"({"model": "fan", "measures": ["peer_all", "peer_kinds_all"], "filter": "amount > 99"})", &a, &s), 0);
  EXPECT_EQ(rows(a, s), "peer_all=0,peer_kinds_all=0;");
  EXPECT_EQ(a.children[0]->null_count, 1);
  EXPECT_EQ(a.children[1]->null_count, 0);
  a.release(&a);
  s.release(&s);
}

// Every heap request of a query call refused in turn: the call reports
// out of memory (code 5, or 1 with "OutOfMemory" when the query text itself
// could not be read), never fills the host's structures, leaks nothing, and
// the context answers the same query exactly afterwards.
TEST(Execute, AllocationFailuresAnywhereInTheCall) {
  const std::string queries[] = {kByStatus,
                                 R"({"model": "orders", "dimensions": ["status", "amount"], "measures": ["avg"],
                                     "filters": [{"field": "status", "operator": "in", "values": ["paid", "void"]}]})",
                                 R"({"model": "snow", "dimensions": ["same.next.status"], "measures": ["paid"]})",
                                 R"({"model": "snow", "dimensions": ["snow.status"], "measures": ["same.k", "same.s"]})",
                                 R"({"model": "snow", "dimensions": ["snow.twice"], "measures": ["lift"],
                                     "filter": "same.next.status <> 'void' OR amount > 15"})",
                                 R"({"model": "fan", "dimensions": ["peers.amount"], "measures": ["total", "peers.s", "peers.kin.k"]})",
                                 R"({"model": "fan", "dimensions": ["fan.status"], "measures": ["n", "peers.k", "twins.s"],
                                     "filters": [{"field": "peers.amount", "operator": ">", "value": 15}]})",
                                 R"({"model": "fan", "dimensions": ["fan.n_peers", "fan.share"], "measures": ["n"],
                                     "filter": "amount > fan.mean"})",
                                 R"({"model": "fan", "dimensions": ["fan.status", "fan.n_same"], "measures": ["n"],
                                     "filters": [{"field": "amount", "operator": ">", "value": 25},
                                                 {"field": "fan.n_same", "operator": "=", "value": 1}]})",
                                 R"({"model": "fan", "dimensions": ["fan.status", "fan.amount"],
                                     "measures": ["peer_share", "peer_by_status", "peer_rank"]})",
                                 R"({"model": "fan", "dimensions": ["peers.amount"], "measures": ["total_all", "peer_kinds_all"]})",
                                 R"({"model": "timed", "dimensions": ["status", "day"], "time_grain": "day",
                                     "measures": ["total", "prev", "run", "win"], "order_by": ["day"]})"};
  quendra::Arena::setBlockSizeForTesting(64);
  size_t refused = 0;
  for (const std::string& q : queries) {
    std::string want;
    {
      Host h;
      ASSERT_EQ(h.load(), 0);
      h.bind();
      ArrowArray a;
      ArrowSchema s;
      ASSERT_EQ(h.run(q, &a, &s), 0);
      want = rows(a, s);
      a.release(&a);
      s.release(&s);
    }
    for (bool every_after : {false, true}) {
      for (uint64_t n = 1;; ++n) {
        // A fresh context each time: a warm call arena would serve most
        // requests from blocks it kept and hide them from the sweep.
        Host h;
        ASSERT_EQ(h.load(), 0);
        h.bind();
        ArrowArray fa;
        ArrowSchema fs;
        std::memset(&fa, 0xAB, sizeof fa);
        std::memset(&fs, 0xAB, sizeof fs);
        quendra::setHeapFailure(n, every_after);
        int rc = h.run(q, &fa, &fs);
        quendra::setHeapFailure(0, false);
        if (rc == 0) {
          fa.release(&fa);
          fs.release(&fs);
          break;
        }
        ++refused;
        std::string doc = h.error();
        EXPECT_TRUE((rc == 5 && (doc.empty() || doc.find("\"code\":\"OutOfMemory\"") != std::string::npos)) ||
                    (rc == 1 && (doc.empty() || doc == R"({"code":"invalid","message":"OutOfMemory"})")))
            << rc << " " << doc;
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(&fa)[0], 0xAB);
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(&fs)[sizeof fs - 1], 0xAB);
        ArrowArray ok;
        ArrowSchema oks;
        ASSERT_EQ(h.run(q, &ok, &oks), 0);
        EXPECT_EQ(rows(ok, oks), want);
        ok.release(&ok);
        oks.release(&oks);
      }
    }
  }
  quendra::Arena::setBlockSizeForTesting(0);
  std::printf("refused %zu heap requests\n", refused);
  EXPECT_GT(refused, 100u);
}

}  // namespace
