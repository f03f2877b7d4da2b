#include "plan/diag.h"

#include <gtest/gtest.h>

#include "base/heap.h"

namespace quendra {
namespace {

Result<int> lookUp(Diag& d, Bytes name) { return d.fail(Err::UnknownModel, {"unknown model '", name, "'"}); }

TEST(Diag, FailRecordsKindAndMessage) {
  Arena a;
  Diag d{&a, {}, {}};
  auto r = lookUp(d, "orders");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), Err::UnknownModel);
  EXPECT_EQ(d.err, Err::UnknownModel);
  EXPECT_EQ(d.message, "unknown model 'orders'");
}

TEST(Diag, MessageFallsBackWhenMemoryRunsOut) {
  Arena a;
  Diag d{&a, {}, {}};
  setHeapFailure(1, true);
  d.set(Err::Invalid, {"dimension '", "x", "' has no expr"});
  setHeapFailure(0, false);
  EXPECT_EQ(d.err, Err::Invalid);
  EXPECT_EQ(d.message, "out of memory");
}

TEST(Err, CodesAndNames) {
  const std::tuple<Err, int, const char*> cases[] = {
      {Err::Invalid, 1, "Invalid"},         {Err::UnknownModel, 2, "UnknownModel"},
      {Err::UnknownField, 3, "UnknownField"}, {Err::Unsupported, 4, "Unsupported"},
      {Err::OutOfMemory, 5, "OutOfMemory"}, {Err::WriteFailed, 6, "WriteFailed"},
  };
  for (auto [e, code, name] : cases) {
    EXPECT_EQ(codeOf(e), code);
    EXPECT_EQ(errName(e), name);
  }
}

}  // namespace
}  // namespace quendra
