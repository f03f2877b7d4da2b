// Result export: the layout every column kind takes, zero rows, empty
// strings, every order in which a host may release or move the structures
// (ASan turns an early or double free into a failure), and allocation
// failures that must leave the host's structures untouched.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "../vec/vec_testing.h"
#include "arrow/export.h"
#include "base/heap.h"

namespace quendra {
namespace {

using testing::Make;

struct Exported {
  ArrowArray array;
  ArrowSchema schema;
  Exported() {
    std::memset(&array, 0xAB, sizeof array);
    std::memset(&schema, 0xAB, sizeof schema);
  }
  bool untouched() const {
    Exported fresh;
    return std::memcmp(&array, &fresh.array, sizeof array) == 0 &&
           std::memcmp(&schema, &fresh.schema, sizeof schema) == 0;
  }
};

struct ExportTest : ::testing::Test {
  Arena arena;
  Make mk{arena};
  std::vector<Bytes> names{"i", "f", "b", "s", "d", "t", "i"};
  std::vector<Vec> cols;

  void SetUp() override {
    cols = {mk.ints({1, std::nullopt, -3}), mk.floats({0.5, -0.0, 2}), mk.bools({true, std::nullopt, false}),
            mk.strs({"x", "", std::nullopt}), mk.ints({-1, 0, 19753}, Kind::date),
            mk.ints({-1, 0, 1706659200000000}, Kind::timestamp), mk.ints({7, 8, 9})};
    // A mask with no null position must export without a bitmap.
    uint8_t* zeros = arena.make<uint8_t>(3);
    std::memset(zeros, 0, 3);
    cols[6].nulls = zeros;
  }

  std::expected<void, ExportErr> run(Exported& out, size_t nrows = 3) {
    return exportTable(names, cols, nrows, &out.array, &out.schema);
  }
};

template <class T>
T at(const ArrowArray* a, int buf, size_t i) {
  return static_cast<const T*>(a->buffers[buf])[i];
}

bool bit(const ArrowArray* a, int buf, size_t i) {
  return (static_cast<const uint8_t*>(a->buffers[buf])[i / 8] >> (i % 8)) & 1;
}

TEST_F(ExportTest, EveryKindLaysOutAsArrowPrescribes) {
  Exported e;
  ASSERT_TRUE(run(e));
  EXPECT_STREQ(e.schema.format, "+s");
  EXPECT_STREQ(e.schema.name, "");
  EXPECT_EQ(e.schema.n_children, 7);
  EXPECT_EQ(e.array.length, 3);
  EXPECT_EQ(e.array.n_buffers, 1);
  EXPECT_EQ(e.array.buffers[0], nullptr);
  const char* formats[] = {"l", "g", "b", "u", "tdD", "tsu:", "l"};
  const int64_t null_counts[] = {1, 0, 1, 1, 0, 0, 0};
  for (int i = 0; i < 7; ++i) {
    ArrowSchema* s = e.schema.children[i];
    ArrowArray* a = e.array.children[i];
    EXPECT_STREQ(s->format, formats[i]);
    EXPECT_EQ(std::string(s->name), std::string(names[i]));
    EXPECT_EQ(s->flags, ARROW_FLAG_NULLABLE);
    EXPECT_EQ(a->length, 3);
    EXPECT_EQ(a->offset, 0);
    EXPECT_EQ(a->null_count, null_counts[i]) << i;
    EXPECT_EQ(a->buffers[0] == nullptr, null_counts[i] == 0) << i;
    EXPECT_EQ(a->n_buffers, i == 3 ? 3 : 2);
  }
  ArrowArray** c = e.array.children;
  EXPECT_EQ(at<int64_t>(c[0], 1, 2), -3);
  EXPECT_FALSE(bit(c[0], 0, 1));
  EXPECT_TRUE(bit(c[0], 0, 2));
  EXPECT_TRUE(std::signbit(at<double>(c[1], 1, 1)));
  EXPECT_TRUE(bit(c[2], 1, 0));
  EXPECT_FALSE(bit(c[2], 1, 2));
  EXPECT_EQ(at<int32_t>(c[3], 1, 0), 0);
  EXPECT_EQ(at<int32_t>(c[3], 1, 1), 1);
  EXPECT_EQ(at<int32_t>(c[3], 1, 3), 1);
  EXPECT_EQ(static_cast<const char*>(c[3]->buffers[2])[0], 'x');
  EXPECT_EQ(at<int32_t>(c[4], 1, 0), -1);
  EXPECT_EQ(at<int32_t>(c[4], 1, 2), 19753);
  EXPECT_EQ(at<int64_t>(c[5], 1, 2), 1706659200000000);
  e.array.release(&e.array);
  e.schema.release(&e.schema);
  EXPECT_EQ(e.array.release, nullptr);
  EXPECT_EQ(e.schema.release, nullptr);
}

TEST_F(ExportTest, ZeroRowsAndEmptyStrings) {
  cols = {mk.strs({}), mk.ints({})};
  names = {"s", "n"};
  Exported e;
  ASSERT_TRUE(run(e, 0));
  ArrowArray* s = e.array.children[0];
  EXPECT_EQ(s->length, 0);
  EXPECT_EQ(s->buffers[0], nullptr);
  EXPECT_EQ(at<int32_t>(s, 1, 0), 0);
  EXPECT_NE(s->buffers[2], nullptr);
  e.schema.release(&e.schema);  // schema first this time
  e.array.release(&e.array);

  cols = {mk.strs({"", ""})};
  names = {"s"};
  Exported f;
  ASSERT_TRUE(run(f, 2));
  EXPECT_NE(f.array.children[0]->buffers[2], nullptr);
  f.array.release(&f.array);
  f.schema.release(&f.schema);
}

// Children moved out of the parent outlive it; whatever the order, the
// memory goes with the last release and reading a moved child before that
// is valid (ASan reports otherwise).
TEST_F(ExportTest, MovedChildrenOutliveTheParent) {
  for (int order = 0; order < 3; ++order) {
    Exported e;
    ASSERT_TRUE(run(e));
    ArrowArray child = *e.array.children[3];
    ArrowSchema child_schema = *e.schema.children[3];
    e.array.children[3]->release = nullptr;
    e.schema.children[3]->release = nullptr;
    if (order == 0) {
      e.array.release(&e.array);
      e.schema.release(&e.schema);
    } else if (order == 1) {
      e.schema.release(&e.schema);
      child_schema.release(&child_schema);
      e.array.release(&e.array);
    } else {
      // Children released one by one before the parent.
      for (int i = 0; i < 7; ++i)
        if (e.array.children[i]->release) e.array.children[i]->release(e.array.children[i]);
      e.array.release(&e.array);
    }
    EXPECT_EQ(static_cast<const char*>(child.buffers[2])[0], 'x');
    EXPECT_STREQ(child_schema.format, "u");
    child.release(&child);
    if (order != 1) child_schema.release(&child_schema);
    if (order == 2) e.schema.release(&e.schema);
  }
}

// Columns written into the block's own arena are handed over, not copied,
// when Arrow stores them as they are (64-bit integers, floats, timestamps);
// the rest are converted as always, and the block outlives the call.
TEST_F(ExportTest, ColumnsInTheBlockAreHandedOver) {
  ExportBlock* block = newExport();
  ASSERT_NE(block, nullptr);
  Make own{exportArena(block)};
  std::vector<Vec> owned = {own.ints({4, 5}), own.floats({1.5, std::nullopt}), own.ints({1, 2}, Kind::timestamp),
                            own.ints({3, 4}, Kind::date), mk.ints({6, 7})};
  Exported e;
  ASSERT_TRUE(exportTable(block, std::vector<Bytes>{"a", "b", "c", "d", "e"}, owned, 2, &e.array, &e.schema));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(e.array.children[i]->buffers[1], owned[i].data.ints) << i;
  for (int i = 3; i < 5; ++i) EXPECT_NE(e.array.children[i]->buffers[1], owned[i].data.ints) << i;
  EXPECT_EQ(at<int32_t>(e.array.children[3], 1, 1), 4);
  EXPECT_EQ(at<int64_t>(e.array.children[4], 1, 1), 7);
  EXPECT_FALSE(bit(e.array.children[1], 0, 1));
  e.schema.release(&e.schema);
  EXPECT_EQ(at<double>(e.array.children[1], 1, 0), 1.5);
  e.array.release(&e.array);
}

TEST_F(ExportTest, FailuresLeaveTheHostsStructuresUntouched) {
  for (bool every_after : {false, true}) {
    size_t refused = 0;
    for (uint64_t n = 1;; ++n) {
      Exported e;
      setHeapFailure(n, every_after);
      auto r = run(e);
      setHeapFailure(0, false);
      if (r) {
        e.array.release(&e.array);
        e.schema.release(&e.schema);
        break;
      }
      EXPECT_EQ(r.error(), ExportErr::OutOfMemory);
      EXPECT_TRUE(e.untouched());
      ++refused;
    }
    EXPECT_GE(refused, 1u);
  }
  // More string bytes than 32-bit offsets address: refused before any copy.
  static const uint64_t offs[] = {0, 0x80000000ull};
  Vec big;
  big.len = 1;
  big.kind = Kind::str;
  big.data = strData(offs, Bytes("", 0));
  cols = {big};
  names = {"s"};
  // A day that date32 cannot hold is refused, not cut to its low bits;
  // under a null it does not matter.
  Vec far = mk.ints({1, int64_t{1} << 31}, Kind::date);
  Vec far_null = mk.ints({1, std::nullopt}, Kind::date);
  const_cast<int64_t*>(far_null.data.ints)[1] = int64_t{1} << 40;
  for (const Vec& v : {big, far}) {
    cols = {v};
    Exported e;
    auto r = run(e, v.len);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), ExportErr::TooLarge);
    EXPECT_TRUE(e.untouched());
  }
  cols = {far_null};
  Exported ok;
  ASSERT_TRUE(run(ok, 2));
  ok.array.release(&ok.array);
  ok.schema.release(&ok.schema);
}

}  // namespace
}  // namespace quendra
