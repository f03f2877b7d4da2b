// Allocation-failure sweeps of the executor: every heap request of one
// query, refused in turn (once only, or from there on), must end the query
// as OutOfMemory.
#pragma once

#include <gtest/gtest.h>

#include "base/heap.h"
#include "exec/exec.h"
#include "../plan/plan_test_util.h"

namespace quendra::testing {

// Runs `query` over `tables` refusing request 1, 2, … until a run makes no
// more requests than the one refused; returns how many runs were refused.
// Every refused run must fail with OutOfMemory. With to_out, the result's
// columns may go to an arena of their own, as they do for export.
inline size_t refuseEach(const char* manifest, const char* query, const Tables& tables, bool every_after,
                         bool to_out = false) {
  size_t refused = 0;
  for (uint64_t n = 1;; ++n) {
    Arena call, out;
    Diag diag{&call, {}, {}};
    Json m = readOrDie(call, manifest);
    Json q = readOrDie(call, query);
    auto plan = build(call, m, q, diag);
    EXPECT_TRUE(plan) << diag.message;
    if (!plan) return refused;
    setHeapFailure(n, every_after);
    auto r = execute(call, *plan, tables, diag, to_out ? &out : nullptr);
    const uint64_t made = heapRequests();
    setHeapFailure(0, false);
    if (r) {
      if (made < n) return refused;
      continue;  // a refused request that the query did not need
    }
    EXPECT_EQ(r.error(), Err::OutOfMemory) << query << " at " << n << ": " << diag.message;
    if (r.error() != Err::OutOfMemory) return refused;
    ++refused;
  }
}

}  // namespace quendra::testing
