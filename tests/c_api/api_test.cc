// The exported functions driven as a host would drive them.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/arena.h"
#include "base/heap.h"
#include "quendra.h"

namespace {

constexpr const char* kManifest =
    R"({"models": {"orders": {"table": "orders", "dimensions": {"status": "status"},
        "measures": {"n": {"agg": "count"}}}}})";

int load(quendra_ctx* ctx, const std::string& text) {
  return quendra_load_models(ctx, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

int sql(quendra_ctx* ctx, const std::string& query, int dialect, const char** out, size_t* len) {
  return quendra_emit_sql(ctx, reinterpret_cast<const uint8_t*>(query.data()), query.size(), dialect, out, len);
}

std::string doc(const char* code, const char* message) {
  return std::string("{\"code\":\"") + code + "\",\"message\":\"" + message + "\"}";
}

struct Ctx {
  quendra_ctx* p = quendra_new();
  ~Ctx() { quendra_free(p); }
};

// Release callbacks that record their order, so tests can check that the
// library releases host structures exactly once, array first.
std::vector<std::string> g_released;
void releaseArray(ArrowArray* a) {
  g_released.push_back("array");
  a->release = nullptr;
}
void releaseSchema(ArrowSchema* s) {
  g_released.push_back("schema");
  s->release = nullptr;
}

TEST(Api, VersionAndEmptyErrors) {
  EXPECT_STREQ(quendra_version(), "0.0.1");
  EXPECT_STREQ(quendra_last_error(nullptr), "");
  Ctx c;
  ASSERT_NE(c.p, nullptr);
  EXPECT_STREQ(quendra_last_error(c.p), "");
}

TEST(Api, NullContextTouchesNothing) {
  const char* out = "untouched";
  size_t len = 99;
  ArrowArray array{};
  ArrowSchema schema{};
  array.release = releaseArray;
  schema.release = releaseSchema;
  g_released.clear();
  EXPECT_EQ(load(nullptr, kManifest), 1);
  EXPECT_EQ(quendra_bind_column(nullptr, "t", "c", &array, &schema), 1);
  EXPECT_TRUE(g_released.empty());
  EXPECT_EQ(quendra_execute(nullptr, nullptr, 0, nullptr, nullptr), 1);
  EXPECT_EQ(sql(nullptr, "{}", 0, &out, &len), 1);
  EXPECT_STREQ(out, "untouched");
  EXPECT_EQ(len, 99u);
  quendra_clear_tables(nullptr);
  quendra_free(nullptr);
}

TEST(Api, LoadModelsChecksOnlyTheTopLevelShape) {
  const std::pair<std::string, std::string> cases[] = {
      {kManifest, ""},
      {R"({"models": 1})", ""},  // the kind of models is checked at query time
      {"[]", doc("invalid", "manifest must be an object with a 'models' key")},
      {"{}", doc("invalid", "manifest must be an object with a 'models' key")},
      {R"({"Models": {}})", doc("invalid", "manifest must be an object with a 'models' key")},
      {R"({"models": {}, "models": {}})", doc("invalid", "DuplicateField")},
      {R"({"models": {"a": {"t": 1, "t": 2}}})", doc("invalid", "DuplicateField")},
      {R"({"models": {)", doc("invalid", "UnexpectedEndOfInput")},
      {"", doc("invalid", "UnexpectedEndOfInput")},
      {R"({"models": {}} x)", doc("invalid", "SyntaxError")},
      {"{\"models\": \"\xff\"}", doc("invalid", "SyntaxError")},
      {std::string(600, '['), doc("invalid", "NestingTooDeep")},
  };
  for (const auto& [text, want] : cases) {
    Ctx c;
    int rc = load(c.p, text);
    EXPECT_EQ(rc, want.empty() ? 0 : 1) << text;
    EXPECT_EQ(quendra_last_error(c.p), want) << text;
  }
}

TEST(Api, FailedLoadDropsThePreviousManifest) {
  Ctx c;
  const char* out = nullptr;
  size_t len = 0;
  ASSERT_EQ(load(c.p, kManifest), 0);
  ASSERT_EQ(load(c.p, R"({"models": {"a": 1, "a": 2}})"), 1);
  EXPECT_EQ(sql(c.p, R"({"model": "orders", "measures": ["n"]})", 0, &out, &len), 1);
  EXPECT_EQ(quendra_last_error(c.p), doc("invalid", "no models loaded"));
  EXPECT_EQ(quendra_execute(c.p, nullptr, 0, nullptr, nullptr), 1);
  EXPECT_EQ(quendra_last_error(c.p), doc("invalid", "no models loaded"));
}

TEST(Api, ErrorDocumentIsSticky) {
  Ctx c;
  ASSERT_EQ(load(c.p, "[1,"), 1);
  std::string first = quendra_last_error(c.p);
  EXPECT_EQ(first, doc("invalid", "UnexpectedEndOfInput"));
  EXPECT_EQ(load(c.p, kManifest), 0);
  quendra_clear_tables(c.p);
  EXPECT_EQ(quendra_last_error(c.p), first);
}

TEST(Api, EmitSqlChecksDialectBeforeReadingTheQuery) {
  Ctx c;
  ASSERT_EQ(load(c.p, kManifest), 0);
  const char* out = "untouched";
  size_t len = 7;
  for (int dialect : {3, -1, 1000}) {
    EXPECT_EQ(sql(c.p, "not json at all", dialect, &out, &len), 1);
    EXPECT_EQ(quendra_last_error(c.p), doc("invalid", "unknown dialect"));
  }
  EXPECT_EQ(sql(c.p, R"({"model": )", 0, &out, &len), 1);
  EXPECT_EQ(quendra_last_error(c.p), doc("invalid", "UnexpectedEndOfInput"));
  EXPECT_EQ(sql(c.p, "{model}", 1, &out, &len), 1);
  EXPECT_EQ(quendra_last_error(c.p), doc("invalid", "SyntaxError"));
  EXPECT_STREQ(out, "untouched");
  EXPECT_EQ(len, 7u);
}

TEST(Api, ExecuteReadsTheQueryText) {
  Ctx c;
  ASSERT_EQ(load(c.p, kManifest), 0);
  std::string q = R"({"model": "orders", "measures": ["n"], "model": "x"})";
  EXPECT_EQ(quendra_execute(c.p, reinterpret_cast<const uint8_t*>(q.data()), q.size(), nullptr, nullptr), 1);
  EXPECT_EQ(quendra_last_error(c.p), doc("invalid", "DuplicateField"));
}

TEST(Api, PlanningFailuresReachTheErrorDocument) {
  Ctx c;
  ASSERT_EQ(load(c.p, kManifest), 0);
  const char* out = nullptr;
  size_t len = 0;
  EXPECT_EQ(sql(c.p, R"({"model": "nope"})", 0, &out, &len), 2);
  EXPECT_EQ(quendra_last_error(c.p), doc("UnknownModel", "unknown model 'nope'"));
  EXPECT_EQ(sql(c.p, R"({"model": "orders", "dimensions": ["region"]})", 1, &out, &len), 3);
  EXPECT_EQ(quendra_last_error(c.p), doc("UnknownField", "unknown dimension 'region' in model 'orders'"));
  std::string q = R"({"model": "orders", "measures": ["n"], "filters": [{"field": "status", "operator": "~"}]})";
  EXPECT_EQ(quendra_execute(c.p, reinterpret_cast<const uint8_t*>(q.data()), q.size(), nullptr, nullptr), 4);
  EXPECT_EQ(quendra_last_error(c.p), doc("Unsupported", "unsupported filter operator '~'"));
  ASSERT_EQ(load(c.p, R"({"models": 1})"), 0);
  EXPECT_EQ(sql(c.p, R"({"model": "orders"})", 0, &out, &len), 1);
  EXPECT_EQ(quendra_last_error(c.p), doc("Invalid", "manifest needs a 'models' object"));
}

TEST(Api, BindReleasesHostStructuresOnceArrayFirst) {
  Ctx c;
  ArrowArray array{};
  ArrowSchema schema{};
  array.release = releaseArray;
  schema.release = releaseSchema;
  int64_t values[2] = {7, 8};
  const void* buffers[2] = {nullptr, values};
  array.length = 2;
  array.n_buffers = 2;
  array.buffers = buffers;
  schema.format = "l";
  g_released.clear();
  EXPECT_EQ(quendra_bind_column(c.p, "orders", "id", &array, &schema), 0);
  EXPECT_EQ(g_released, (std::vector<std::string>{"array", "schema"}));
  // Structures already released (release == NULL) are not read or released
  // again: the column is refused.
  g_released.clear();
  EXPECT_EQ(quendra_bind_column(c.p, "orders", "id", &array, &schema), 1);
  EXPECT_EQ(quendra_last_error(c.p), doc("invalid", "malformed Arrow array"));
  EXPECT_TRUE(g_released.empty());
}

// Every heap request that quendra_load_models makes, failed alone and failed
// with every later one: the call reports out of memory (as the reader's
// failure name, code 1), never crashes or leaks, and the context then loads
// and answers normally.
TEST(Api, LoadModelsSurvivesEveryAllocationFailure) {
  int swept = 0;
  quendra::Arena::setBlockSizeForTesting(64);  // nearly every allocation asks the heap
  for (bool every_after : {false, true}) {
    for (uint64_t n = 1;; ++n) {
      Ctx c;
      ASSERT_EQ(load(c.p, R"({"models": {}})"), 0);
      quendra::setHeapFailure(n, every_after);
      int rc = load(c.p, kManifest);
      quendra::setHeapFailure(0, false);
      if (rc == 0) break;
      ++swept;
      ASSERT_EQ(rc, 1) << n;
      std::string err = quendra_last_error(c.p);
      // The document itself may be what could not be allocated.
      if (!err.empty()) {
        EXPECT_EQ(err, doc("invalid", "OutOfMemory")) << n;
      }
      EXPECT_EQ(load(c.p, kManifest), 0);
      const char* out = nullptr;
      size_t len = 0;
      EXPECT_EQ(sql(c.p, "{}", 7, &out, &len), 1);
      EXPECT_EQ(quendra_last_error(c.p), doc("invalid", "unknown dialect"));
      ASSERT_LT(n, 1000u);
    }
  }
  quendra::Arena::setBlockSizeForTesting(0);
  std::printf("refused %d heap requests across the sweep\n", swept);
  EXPECT_GT(swept, 10);
}

TEST(Api, NewFailsCleanlyWithoutMemory) {
  quendra::setHeapFailure(1, false);
  quendra_ctx* ctx = quendra_new();
  quendra::setHeapFailure(0, false);
  EXPECT_EQ(ctx, nullptr);
}

}  // namespace
