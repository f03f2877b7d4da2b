// Grouping: dense codes for one vector's values over the selected rows, and
// group numbers for combinations of dimension values.
#pragma once

#include <cstdint>
#include <span>

#include "base/arena.h"
#include "base/err.h"
#include "vec/eval.h"
#include "vec/vec.h"

namespace quendra {

// One code per selected row (in selection order): 0 for null, 1, 2, ... for
// distinct values in order of first appearance. n is one more than the
// largest code handed out (always 3 for booleans: false 1, true 2). Floats
// are keyed by their bits with -0.0 taken as +0.0 and every NaN as one NaN.
struct Codes {
  uint32_t* codes = nullptr;
  uint32_t n = 1;
};
[[nodiscard]] Result<Codes> codes(Arena& arena, const Vec& v, Sel sel);

// A group per selected row, numbered 0, 1, ... in order of first
// appearance of each combination of dimension values; gid is nullptr when
// there are no dimensions (every row is in group 0). first holds each
// group's first selected base row, or kMissingRow for the one group of a
// query without dimensions and without rows.
struct Groups {
  const uint32_t* gid = nullptr;
  size_t ngroups = 0;
  const uint32_t* first = nullptr;
};
[[nodiscard]] Result<Groups> groupRows(Arena& arena, std::span<const Vec> dims, Sel sel);

}  // namespace quendra
