// Contexts on several threads at once, as the public header promises:
// distinct contexts share nothing, and a result may be released from any
// thread. Each worker binds the same host columns into a context of its own
// and answers mixed queries (joins, strings, time grains, filtered and
// calculated measures); every answer is handed to the next worker, which
// compares it with the answer computed alone before any thread started and
// releases it there. Meanwhile one more thread refuses heap requests of its
// own context through the failure hook, which must not reach the others.
//
// A plain program rather than a GoogleTest one, so that the ThreadSanitizer
// build needs nothing but the library and this file.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/heap.h"
#include "quendra.h"

namespace {

constexpr int kWorkers = 4;
constexpr int kRounds = 4;
constexpr int64_t kOrders = 40000;
constexpr int64_t kCustomers = 700;

constexpr const char* kManifest = R"({"models": {
  "orders": {"table": "orders",
    "dimensions": {"id": "id", "status": "status", "customer_id": "customer_id",
                   "created_at": {"expr": "created_at", "time": true}},
    "measures": {"n": {"agg": "count"}, "revenue": {"agg": "sum", "expr": "amount"},
                 "avg": {"calc": "revenue / n"}, "buyers": {"agg": "nunique", "expr": "customer_id"},
                 "paid": {"agg": "sum", "expr": "amount",
                          "filters": [{"field": "orders.status", "operator": "=", "value": "paid"}]},
                 "latest": {"agg": "max", "expr": "created_at"}},
    "joins": {"customers": {"model": "customers", "left_on": "customer_id", "right_on": "id"}}},
  "customers": {"table": "customers",
    "dimensions": {"id": "id", "region": "region", "name": "name", "vip": "vip"}}}})";

const std::vector<std::string> kQueries = {
    R"({"model": "orders", "dimensions": ["customers.region", "orders.created_at"], "time_grain": "month",
        "measures": ["n", "revenue", "avg"], "order_by": ["customers.region", "orders.created_at"]})",
    R"({"model": "orders", "dimensions": ["orders.status"], "measures": ["buyers", "paid", "latest"],
        "filters": [{"field": "orders.status", "operator": "ilike", "value": "%a%"}], "order_by": ["orders.status"]})",
    R"({"model": "orders", "dimensions": ["customers.name", "customers.vip"], "measures": ["revenue"],
        "filters": [{"field": "customers.region", "operator": "in", "values": ["north", "süd"]}],
        "order_by": [["revenue", "desc"], "customers.name"], "limit": 40})",
    R"({"model": "orders", "dimensions": ["orders.created_at"], "time_grain": "week", "measures": ["n"],
        "time_range": {"start": "2023-02-01", "end": "2023-05-31"}, "order_by": ["orders.created_at"]})",
    R"({"model": "orders", "measures": ["n", "revenue", "buyers", "avg"]})",
    R"({"model": "orders", "dimensions": ["orders.created_at", "orders.status"], "time_grain": "year",
        "measures": ["n", "paid"], "filters": [{"field": "n", "operator": ">", "value": 10}]})",
};

// The host's columns: filled once before any thread starts, then only read.
struct Column {
  const char* table;
  const char* name;
  const char* format;
  int64_t length;
  std::vector<uint8_t> validity;  // empty: no nulls
  std::vector<uint8_t> values;    // fixed-width values, or utf8 offsets
  std::string bytes;              // utf8 data
};

uint64_t g_seed = 88172645463325252ull;
uint64_t nextRandom() {  // xorshift64: the same columns on every run
  g_seed ^= g_seed << 13;
  g_seed ^= g_seed >> 7;
  g_seed ^= g_seed << 17;
  return g_seed;
}

template <class T>
void put(Column& c, T v) {
  size_t at = c.values.size();
  c.values.resize(at + sizeof(T));
  std::memcpy(c.values.data() + at, &v, sizeof(T));
}

void setNull(Column& c, int64_t row) {
  if (c.validity.empty()) c.validity.assign((c.length + 7) / 8, 0xff);
  c.validity[row / 8] &= static_cast<uint8_t>(~(1u << (row % 8)));
}

Column strings(const char* table, const char* name, int64_t n, const std::vector<std::string>& pool) {
  Column c{table, name, "u", n, {}, {}, {}};
  put<int32_t>(c, 0);
  for (int64_t r = 0; r < n; ++r) {
    c.bytes += pool[nextRandom() % pool.size()];
    put<int32_t>(c, static_cast<int32_t>(c.bytes.size()));
  }
  return c;
}

std::vector<Column> makeColumns() {
  std::vector<Column> cols;
  Column id{"orders", "id", "l", kOrders, {}, {}, {}};
  Column customer{"orders", "customer_id", "l", kOrders, {}, {}, {}};
  Column amount{"orders", "amount", "g", kOrders, {}, {}, {}};
  Column created{"orders", "created_at", "tsu:", kOrders, {}, {}, {}};
  for (int64_t r = 0; r < kOrders; ++r) {
    put<int64_t>(id, r);
    put<int64_t>(customer, static_cast<int64_t>(nextRandom() % (kCustomers + 50)));  // some match nothing
    put<double>(amount, static_cast<double>(nextRandom() % 100000) / 100.0);
    if (nextRandom() % 20 == 0) setNull(amount, r);
    // 2022-01-01 plus up to three years, in microseconds.
    put<int64_t>(created, 1640995200000000ll + static_cast<int64_t>(nextRandom() % (3ull * 365 * 86400)) * 1000000);
  }
  cols.push_back(std::move(id));
  cols.push_back(std::move(customer));
  cols.push_back(std::move(amount));
  cols.push_back(std::move(created));
  cols.push_back(strings("orders", "status", kOrders, {"paid", "open", "void", "Paid", "réglé", "it's"}));
  Column cid{"customers", "id", "l", kCustomers, {}, {}, {}};
  Column vip{"customers", "vip", "b", kCustomers, {}, std::vector<uint8_t>((kCustomers + 7) / 8, 0), {}};
  for (int64_t r = 0; r < kCustomers; ++r) {
    put<int64_t>(cid, r);
    if (nextRandom() % 3 == 0) vip.values[r / 8] |= static_cast<uint8_t>(1u << (r % 8));
  }
  cols.push_back(std::move(cid));
  cols.push_back(std::move(vip));
  cols.push_back(strings("customers", "region", kCustomers, {"north", "süd", "east", "west"}));
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) names.push_back("customer " + std::to_string(i));
  cols.push_back(strings("customers", "name", kCustomers, names));
  return cols;
}

void releaseArray(ArrowArray* a) { a->release = nullptr; }
void releaseSchema(ArrowSchema* s) { s->release = nullptr; }

// Binds every column, the first `rows` rows of each table (all when 0).
int bindAll(quendra_ctx* ctx, const std::vector<Column>& cols, int64_t rows) {
  for (const Column& c : cols) {
    const void* buffers[3] = {c.validity.empty() ? nullptr : c.validity.data(), c.values.data(), c.bytes.data()};
    int64_t n = rows ? std::min(rows, c.length) : c.length;
    int64_t nulls = 0;
    for (int64_t r = 0; r < n && !c.validity.empty(); ++r) nulls += !(c.validity[r / 8] >> (r % 8) & 1);
    ArrowArray array{n, nulls, 0, c.format[0] == 'u' ? 3 : 2, 0, buffers, nullptr, nullptr, releaseArray, nullptr};
    ArrowSchema schema{c.format, c.name, nullptr, ARROW_FLAG_NULLABLE, 0, nullptr, nullptr, releaseSchema, nullptr};
    if (int rc = quendra_bind_column(ctx, c.table, c.name, &array, &schema)) return rc;
  }
  return 0;
}

// A context holding the manifest and the columns, or nullptr with the
// failing call's result in *rc.
quendra_ctx* newContext(const std::vector<Column>& cols, int64_t rows, int* rc) {
  quendra_ctx* ctx = quendra_new();
  *rc = ctx ? quendra_load_models(ctx, reinterpret_cast<const uint8_t*>(kManifest), std::strlen(kManifest)) : 5;
  if (*rc == 0) *rc = bindAll(ctx, cols, rows);
  if (*rc == 0) return ctx;
  quendra_free(ctx);
  return nullptr;
}

int run(quendra_ctx* ctx, const std::string& query, ArrowArray* a, ArrowSchema* s) {
  return quendra_execute(ctx, reinterpret_cast<const uint8_t*>(query.data()), query.size(), a, s);
}

bool isNull(const ArrowArray* col, int64_t r) {
  auto* bits = static_cast<const uint8_t*>(col->buffers[0]);
  int64_t i = col->offset + r;
  return col->null_count != 0 && bits && !(bits[i / 8] >> (i % 8) & 1);
}

// One text per answer, every value written exactly (floats to 17 digits).
std::string describe(const ArrowArray& a, const ArrowSchema& s) {
  std::string out = std::to_string(a.length) + " rows\n";
  char buf[64];
  for (int64_t r = 0; r < a.length; ++r) {
    for (int64_t c = 0; c < a.n_children; ++c) {
      const ArrowArray* col = a.children[c];
      const char* f = s.children[c]->format;
      int64_t i = col->offset + r;
      out += c ? " | " : "";
      out += s.children[c]->name;
      out += '=';
      if (isNull(col, r)) {
        out += "null";
      } else if (std::strcmp(f, "u") == 0) {
        auto* offs = static_cast<const int32_t*>(col->buffers[1]);
        out.append(static_cast<const char*>(col->buffers[2]) + offs[i], offs[i + 1] - offs[i]);
      } else if (std::strcmp(f, "g") == 0) {
        std::snprintf(buf, sizeof buf, "%.17g", static_cast<const double*>(col->buffers[1])[i]);
        out += buf;
      } else if (std::strcmp(f, "b") == 0) {
        out += static_cast<const uint8_t*>(col->buffers[1])[i / 8] >> (i % 8) & 1 ? "true" : "false";
      } else if (std::strcmp(f, "l") == 0 || std::strncmp(f, "ts", 2) == 0) {
        out += std::to_string(static_cast<const int64_t*>(col->buffers[1])[i]);
      } else {
        out += std::string("<format ") + f + ">";
      }
    }
    out += '\n';
  }
  return out;
}

struct Result {
  size_t query;
  ArrowArray array;
  ArrowSchema schema;
};

// Answers travelling from one worker to the next.
struct Mailbox {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Result> items;
};

std::mutex g_report_mu;
std::atomic<int> g_failures{0};

void fail(const std::string& what) {
  std::lock_guard<std::mutex> lock(g_report_mu);
  if (++g_failures <= 10) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
}

void worker(int me, const std::vector<Column>& cols, const std::vector<std::string>& expected, Mailbox* boxes) {
  Mailbox& next = boxes[(me + 1) % kWorkers];
  Mailbox& mine = boxes[me];
  size_t received = 0;
  const size_t due = kRounds * kQueries.size();
  auto check = [&](Result& got) {
    std::string text = describe(got.array, got.schema);
    if (text != expected[got.query])
      fail("worker " + std::to_string(me) + ", query " + std::to_string(got.query) + ":\n" + text);
    got.array.release(&got.array);  // children first, then the parent's own blocks
    got.schema.release(&got.schema);
    ++received;
  };
  auto drain = [&](bool wait) {
    std::unique_lock<std::mutex> lock(mine.mu);
    if (wait) mine.cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return !mine.items.empty(); });
    while (!mine.items.empty()) {
      Result got = mine.items.front();
      mine.items.pop_front();
      lock.unlock();
      check(got);
      lock.lock();
    }
  };
  for (int round = 0; round < kRounds; ++round) {
    int rc;
    quendra_ctx* ctx = newContext(cols, 0, &rc);
    if (!ctx) {
      fail("worker " + std::to_string(me) + ": context setup failed with " + std::to_string(rc));
      return;
    }
    for (size_t k = 0; k < kQueries.size(); ++k) {
      size_t q = (k + me + round) % kQueries.size();  // each worker in its own order
      Result r{q, {}, {}};
      if (run(ctx, kQueries[q], &r.array, &r.schema) != 0) {
        fail("worker " + std::to_string(me) + ", query " + std::to_string(q) + ": " + quendra_last_error(ctx));
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(next.mu);
        next.items.push_back(r);
      }
      next.cv.notify_one();
      drain(false);
    }
    quendra_free(ctx);  // the answers already sent live on without it
  }
  // Every worker sends `due` answers; a failure elsewhere (reported, and
  // perhaps nothing sent) ends the wait.
  while (received < due && g_failures == 0) drain(true);
}

// Refuses every heap request from the n-th on, for growing n, in a context
// of this thread: each call fails as out of memory or succeeds, and the
// hook's count and refusals must touch this thread's requests only.
void starver(const std::vector<Column>& cols, const std::string& expected) {
  for (uint64_t n = 1;; ++n) {
    quendra::setHeapFailure(n, true);
    int rc;
    quendra_ctx* ctx = newContext(cols, 500, &rc);
    ArrowArray a;
    ArrowSchema s;
    if (ctx) rc = run(ctx, kQueries[0], &a, &s);
    uint64_t made = quendra::heapRequests();
    quendra::setHeapFailure(0, false);
    if (ctx) quendra_free(ctx);
    if (rc == 0) {
      std::string text = describe(a, s);
      a.release(&a);
      s.release(&s);
      if (made < n) {
        if (text != expected) fail("starved context, once fed:\n" + text);
        std::printf("starver: %llu refusals before a run needed none\n", static_cast<unsigned long long>(n - 1));
        return;
      }
    } else if (rc != 5 && rc != 1) {  // 1: the JSON reader's OutOfMemory, for the manifest or the query
      fail("starved context: result " + std::to_string(rc) + " at request " + std::to_string(n));
      return;
    }
  }
}

}  // namespace

int main() {
  const std::vector<Column> cols = makeColumns();
  // The answers computed alone: every query over all rows, and the
  // starving thread's query over its 500 rows.
  std::vector<std::string> expected;
  for (size_t q = 0; q <= kQueries.size(); ++q) {
    int rc;
    quendra_ctx* ctx = newContext(cols, q < kQueries.size() ? 0 : 500, &rc);
    ArrowArray a;
    ArrowSchema s;
    if (ctx) rc = run(ctx, kQueries[q % kQueries.size()], &a, &s);
    if (rc != 0) {
      std::fprintf(stderr, "FAIL: query %zu alone: result %d\n", q, rc);
      return 1;
    }
    expected.push_back(describe(a, s));
    a.release(&a);
    s.release(&s);
    quendra_free(ctx);
    if (expected.back().rfind("0 rows", 0) == 0) {
      std::fprintf(stderr, "FAIL: query %zu answers no rows to compare\n", q);
      return 1;
    }
  }
  const std::string small = expected.back();
  expected.pop_back();

  Mailbox boxes[kWorkers];
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w) threads.emplace_back(worker, w, std::cref(cols), std::cref(expected), boxes);
  threads.emplace_back(starver, std::cref(cols), std::cref(small));
  for (auto& t : threads) t.join();
  // Anything left unchecked (only after a failure) is released here.
  for (Mailbox& box : boxes)
    for (Result& r : box.items) {
      r.array.release(&r.array);
      r.schema.release(&r.schema);
    }
  if (g_failures) {
    std::fprintf(stderr, "%d failures\n", g_failures.load());
    return 1;
  }
  std::printf("%d workers x %d rounds x %zu queries agree with the answers computed alone\n", kWorkers, kRounds,
              kQueries.size());
  return 0;
}
