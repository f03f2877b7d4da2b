// Shared helpers for planning tests: read JSON texts and build plans.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "base/arena.h"
#include "base/json.h"
#include "plan/plan.h"

namespace quendra::testing {

inline Json readOrDie(Arena& a, const std::string& text) {
  auto v = readJson(a, text.data(), text.size());
  EXPECT_TRUE(v) << "bad test JSON: " << text;
  return v ? *v : Json();
}

// Builds a plan; on failure returns "Kind: message" in `err`.
struct Planned {
  Arena arena;
  Diag diag{&arena, {}, {}};
  Result<Plan> plan = std::unexpected(Err::Invalid);
  std::string err;

  Planned(const std::string& manifest, const std::string& query) {
    Json m = readOrDie(arena, manifest);
    Json q = readOrDie(arena, query);
    plan = build(arena, m, q, diag);
    if (!plan) err = std::string(errName(plan.error())) + ": " + std::string(diag.message);
  }
};

}  // namespace quendra::testing
