// quendra_bind_column and quendra_clear_tables driven through the C
// interface, with the bound tables inspected inside the context.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "arrow_testing.h"
#include "base/arena.h"
#include "base/heap.h"
#include "c_api/ctx.h"
#include "quendra.h"

namespace quendra {
namespace {

using testing::bitsOf;
using testing::bytesOf;
using testing::HostColumn;
using testing::utf8Of;

constexpr const char* kUnsupported =
    "unsupported Arrow type (supported: ints, floats, bool, utf8, large_utf8, date32, timestamps)";

std::string doc(const char* message) {
  return std::string(R"({"code":"invalid","message":")") + message + "\"}";
}

struct Handle {
  quendra_ctx* p = quendra_new();
  ~Handle() { quendra_free(p); }
  // The context behind the handle, to inspect what was bound.
  Ctx& ctx() const { return *reinterpret_cast<Ctx*>(p); }
  const TableBuilder* table(const char* name) const { return ctx().builders.find(name); }
  std::string error() const { return quendra_last_error(p); }
};

int bind(const Handle& h, const char* table, const char* column, HostColumn& c) {
  return quendra_bind_column(h.p, table, column, &c.array, &c.schema);
}

std::vector<std::string> namesOf(const TableBuilder& t) {
  std::vector<std::string> out;
  for (Bytes n : t.names) out.emplace_back(n);
  return out;
}

std::vector<int64_t> intsOf(const Vec& v) { return std::vector<int64_t>(v.data.ints, v.data.ints + v.len); }

// A few columns of 3 rows in every storage layout.
struct Columns {
  HostColumn ints{"i", 3, {bitsOf({true, false, true}), bytesOf<int32_t>({-7, 0, 9})}, 0, 1};
  std::pair<std::vector<uint8_t>, std::vector<uint8_t>> words = utf8Of<int64_t>({"ab", "", "cde"}, 2);
  HostColumn strs{"U", 3, {std::nullopt, words.first, words.second}};
  HostColumn flags{"b", 3, {std::nullopt, bitsOf({true, false, true})}};
};

TEST(BindColumn, FilesColumnsUnderTheirTables) {
  Handle h;
  Columns c;
  ASSERT_EQ(bind(h, "orders", "id", c.ints), 0);
  EXPECT_EQ(c.ints.releases, "as");
  ASSERT_EQ(bind(h, "orders", "note", c.strs), 0);
  ASSERT_EQ(bind(h, "flags", "on", c.flags), 0);
  c.ints.rearm();
  ASSERT_EQ(bind(h, "orders", "id", c.ints), 0);  // a second column of that name
  EXPECT_EQ(c.ints.releases, "asas");

  EXPECT_EQ(h.ctx().builders.size(), 2u);
  const TableBuilder* orders = h.table("orders");
  ASSERT_NE(orders, nullptr);
  EXPECT_EQ(orders->nrows, 3u);
  EXPECT_EQ(namesOf(*orders), (std::vector<std::string>{"id", "note", "id"}));
  ASSERT_EQ(orders->cols.size(), 3u);
  const Vec& id = orders->cols[0];
  EXPECT_EQ(intsOf(id)[0], -7);
  EXPECT_EQ(intsOf(id)[2], 9);
  EXPECT_TRUE(id.isNull(1));
  EXPECT_EQ(orders->cols[1].strAt(2), "cde");
  EXPECT_NE(orders->cols[2].data.ints, id.data.ints) << "each bind copies";
  const TableBuilder* flags = h.table("flags");
  ASSERT_NE(flags, nullptr);
  EXPECT_EQ(flags->cols[0].boolAt(0), true);
  EXPECT_EQ(flags->cols[0].boolAt(1), false);
  EXPECT_EQ(h.error(), "") << "success records nothing";
}

// Each failure records its document and result, releases the array and then
// the schema exactly once, and leaves the bound tables as they were.
TEST(BindColumn, EveryFailureReleasesBothOnceArrayFirst) {
  struct Case {
    const char* what;
    std::function<void(HostColumn&)> spoil;
    const char* table;
    int rc;
    const char* message;
    const char* releases;
  };
  const Case cases[] = {
      {"no table name", {}, nullptr, 1, "table and column names must not be NULL", "as"},
      {"unsupported", [](HostColumn& c) { c.format = "e", c.schema.format = c.format.c_str(); }, "t", 1, kUnsupported,
       "as"},
      {"dictionary", [](HostColumn& c) { c.schema.dictionary = &c.schema; }, "t", 1, kUnsupported, "as"},
      {"negative length", [](HostColumn& c) { c.array.length = -3; }, "t", 1, "malformed Arrow array", "as"},
      {"negative offset", [](HostColumn& c) { c.array.offset = -1; }, "t", 1, "malformed Arrow array", "as"},
      {"missing values", [](HostColumn& c) { c.array.n_buffers = 1; }, "t", 1, "malformed Arrow array", "as"},
      {"no format", [](HostColumn& c) { c.schema.format = nullptr; }, "t", 1, "malformed Arrow array", "as"},
      {"array released", [](HostColumn& c) { c.array.release = nullptr; }, "t", 1, "malformed Arrow array", "s"},
      {"schema released", [](HostColumn& c) { c.schema.release = nullptr; }, "t", 1, "malformed Arrow array", "a"},
      {"both released",
       [](HostColumn& c) { c.array.release = nullptr, c.schema.release = nullptr; }, "t", 1,
       "malformed Arrow array", ""},
      {"other length", [](HostColumn& c) { c.array.length = 2; }, "t", 1,
       "columns of one table must have the same length", "as"},
  };
  for (const Case& k : cases) {
    Handle h;
    HostColumn first("l", 3, {std::nullopt, bytesOf<int64_t>({1, 2, 3})});
    ASSERT_EQ(bind(h, "t", "first", first), 0);
    HostColumn col("l", 3, {std::nullopt, bytesOf<int64_t>({4, 5, 6})});
    if (k.spoil) k.spoil(col);
    EXPECT_EQ(bind(h, k.table, "c", col), k.rc) << k.what;
    EXPECT_EQ(h.error(), doc(k.message)) << k.what;
    EXPECT_EQ(col.releases, k.releases) << k.what;
    const TableBuilder* t = h.table("t");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(namesOf(*t), std::vector<std::string>{"first"}) << k.what;
    EXPECT_EQ(t->nrows, 3u) << k.what;
    EXPECT_EQ(h.ctx().builders.size(), 1u) << k.what;
  }
  // A null column name, and null structure pointers, release what is there.
  Handle h;
  HostColumn col("l", 0, {});
  EXPECT_EQ(quendra_bind_column(h.p, "t", nullptr, &col.array, &col.schema), 1);
  EXPECT_EQ(h.error(), doc("table and column names must not be NULL"));
  col.rearm();
  EXPECT_EQ(quendra_bind_column(h.p, "t", "c", nullptr, &col.schema), 1);
  EXPECT_EQ(quendra_bind_column(h.p, "t", "c", &col.array, nullptr), 1);
  EXPECT_EQ(quendra_bind_column(h.p, "t", "c", nullptr, nullptr), 1);
  EXPECT_EQ(h.error(), doc("malformed Arrow array"));
  EXPECT_EQ(col.releases, "assa");
  EXPECT_EQ(h.ctx().builders.size(), 0u) << "no table appears from failed binds";
}

// A failed bind does not clear the document of an earlier failure either way,
// and a successful one leaves it in place.
TEST(BindColumn, SuccessKeepsTheErrorDocument) {
  Handle h;
  Columns c;
  c.ints.schema.format = "z";
  EXPECT_EQ(bind(h, "t", "x", c.ints), 1);
  ASSERT_EQ(bind(h, "t", "s", c.strs), 0);
  EXPECT_EQ(h.error(), doc(kUnsupported));
}

TEST(BindColumn, ClearTablesFreesEverything) {
  Handle h;
  Columns c;
  ASSERT_EQ(bind(h, "t", "id", c.ints), 0);
  ASSERT_EQ(bind(h, "u", "s", c.strs), 0);
  EXPECT_GT(h.ctx().data_arena.reserved(), 0u);
  quendra_clear_tables(h.p);
  EXPECT_EQ(h.ctx().data_arena.reserved(), 0u);
  EXPECT_EQ(h.ctx().builders.size(), 0u);
  EXPECT_EQ(h.table("t"), nullptr);
  // A cleared context binds afresh; a table of another length is fine now.
  HostColumn two("l", 2, {std::nullopt, bytesOf<int64_t>({5, 6})});
  ASSERT_EQ(bind(h, "t", "id", two), 0);
  EXPECT_EQ(h.table("t")->nrows, 2u);
  EXPECT_EQ(intsOf(h.table("t")->cols[0]), (std::vector<int64_t>{5, 6}));
}

// One column per format, with nulls and a slice where the layout has them:
// what the failure sweep binds and then checks.
struct SweepColumn {
  std::string format;
  std::vector<std::vector<uint8_t>> bufs;  // after the validity buffer
  int64_t length, offset;
};

std::vector<SweepColumn> sweepColumns() {
  auto [s32, d32] = utf8Of<int32_t>({"x", "hello", "", "wide world"}, 3);
  auto [s64, d64] = utf8Of<int64_t>({"x", "hello", "", "wide world"});
  std::vector<SweepColumn> out;
  for (const char* f : {"c", "C"}) out.push_back({f, {bytesOf<int8_t>({1, -2, 3, 4})}, 3, 1});
  for (const char* f : {"s", "S"}) out.push_back({f, {bytesOf<int16_t>({1, -2, 3, 4})}, 3, 1});
  for (const char* f : {"i", "I", "tdD"}) out.push_back({f, {bytesOf<int32_t>({1, -2, 3, 4})}, 3, 1});
  for (const char* f : {"l", "L", "tdm", "tss:", "tsm:", "tsu:UTC", "tsn:Asia/Tokyo"})
    out.push_back({f, {bytesOf<int64_t>({1, -2, 3, 4})}, 3, 1});
  out.push_back({"f", {bytesOf<float>({1, -2.5f, 3, 4})}, 3, 1});
  out.push_back({"g", {bytesOf<double>({1, -2.5, 3, 4})}, 3, 1});
  out.push_back({"b", {bitsOf({true, false, true, true})}, 3, 1});
  out.push_back({"u", {s32, d32}, 3, 1});
  out.push_back({"U", {s64, d64}, 3, 1});
  return out;
}

// Every heap request a bind makes, refused alone and with every later one,
// for every format, binding into a new table and into an existing one: the
// call returns 5 with "out of memory" (or the document is what could not be
// had), releases both structures once, changes no table, and the context
// then binds and holds exactly the right columns. LeakSanitizer checks the
// rest when the context is freed.
TEST(BindColumn, SurvivesEveryAllocationFailure) {
  size_t swept = 0;
  // Blocks of 64 bytes make most allocations ask the heap; a block size of
  // 1 gives every allocation a block of its own, the smallest included.
  for (size_t block : {size_t{64}, size_t{1}}) {
    Arena::setBlockSizeForTesting(block);
    for (const SweepColumn& sc : sweepColumns()) {
      auto make = [&] {
        std::vector<testing::Buf> bufs{bitsOf({true, true, false, true})};
        for (auto& b : sc.bufs) bufs.push_back(b);
        return std::make_unique<HostColumn>(sc.format, sc.length, bufs, sc.offset, -1);
      };
      // The reference: the same column bound without interference.
      Handle ref;
      auto ref_col = make();
      ASSERT_EQ(bind(ref, "t", "c", *ref_col), 0) << sc.format;
      const Vec want = ref.table("t")->cols[0];
      auto same = [&](const Vec& got) {
        if (got.len != want.len || got.kind != want.kind || (got.nulls == nullptr) != (want.nulls == nullptr))
          return false;
        for (size_t i = 0; i < want.len; ++i) {
          if (got.isNull(i) != want.isNull(i)) return false;
          if (got.isNull(i)) continue;
          bool eq = want.kind == Kind::str     ? got.strAt(i) == want.strAt(i)
                    : want.kind == Kind::bool_  ? got.boolAt(i) == want.boolAt(i)
                    : want.kind == Kind::float_ ? got.floatAt(i) == want.floatAt(i)
                                                : got.intAt(i) == want.intAt(i);
          if (!eq) return false;
        }
        return true;
      };

      for (bool existing : {false, true}) {
        for (bool every_after : {false, true}) {
          for (uint64_t n = 1;; ++n) {
            ASSERT_LT(n, 1000u);
            Handle h;
            // Four columns fill the builder's first capacity, so appending
            // must grow both lists.
            std::vector<std::string> before;
            if (existing) before = {"f0", "f1", "f2", "f3"};
            for (const std::string& name : before) {
              auto other = make();
              ASSERT_EQ(bind(h, "t", name.c_str(), *other), 0);
            }
            auto col = make();
            setHeapFailure(n, every_after);
            int rc = bind(h, "t", "c", *col);
            setHeapFailure(0, false);
            EXPECT_EQ(col->releases, "as") << sc.format << " " << n;
            if (rc == 0) break;
            ++swept;
            ASSERT_EQ(rc, 5) << sc.format << " " << n;
            if (!h.error().empty()) EXPECT_EQ(h.error(), doc("out of memory")) << sc.format << " " << n;
            const TableBuilder* t = h.table("t");
            EXPECT_EQ(t != nullptr, existing) << sc.format << " " << n;
            if (t) EXPECT_EQ(namesOf(*t), before) << sc.format << " " << n;
            if (t) EXPECT_EQ(t->cols.size(), before.size()) << sc.format << " " << n;
            // The context still works: the same column binds and is right.
            col = make();
            ASSERT_EQ(bind(h, "t", "c", *col), 0) << sc.format << " " << n;
            t = h.table("t");
            ASSERT_NE(t, nullptr);
            std::vector<std::string> names = before;
            names.push_back("c");
            EXPECT_EQ(namesOf(*t), names);
            ASSERT_EQ(t->cols.size(), names.size());
            EXPECT_TRUE(same(t->cols.end()[-1])) << sc.format << " " << n;
          }
        }
      }
    }
  }
  Arena::setBlockSizeForTesting(0);
  std::printf("refused %zu heap requests across the bind sweep\n", swept);
  EXPECT_GT(swept, 100u);
}

}  // namespace
}  // namespace quendra
