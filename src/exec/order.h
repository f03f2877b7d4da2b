// Ordering of groups by output columns, and the three-way order of two
// positions of one vector that min and max share.
#pragma once

#include <cstdint>
#include <span>

#include "base/arena.h"
#include "base/err.h"
#include "plan/plan.h"
#include "vec/kernels.h"
#include "vec/vec.h"

namespace quendra {

// Position i against position j of v (both 0 for a scalar); nulls are not
// looked at. Integers signed, floats with NaN equal to everything, false
// before true, strings bytewise unsigned with a proper prefix first.
Ord orderAt(const Vec& v, size_t i, size_t j);

struct SortCtx {
  std::span<const Vec> cols;
  std::span<const Order> keys;

  // Whether group a sorts before group b: key by key, nulls last in either
  // direction, the first unequal key deciding.
  bool less(uint32_t a, uint32_t b) const;
};

// Sorts groups stably by ctx.less: equal groups keep their order. With
// keep below the list's length only the first keep entries are guaranteed
// (the ones a full sort would put there, in the same order); the rest of
// the list is left in no particular order.
[[nodiscard]] Result<void> sortGroups(Arena& arena, const SortCtx& ctx, std::span<uint32_t> groups,
                                      size_t keep = SIZE_MAX);

}  // namespace quendra
