// Suggestions for misspelt names in messages.
#pragma once

#include <cstdint>

#include "base/bytes.h"

namespace quendra {

// The candidate that an unknown `name` most likely meant, offered one at a
// time: one that differs from it only by a leading "prefix." (added, as
// 'flights.dest' for 'dest', or dropped), else the nearest within two edits
// (a character inserted, deleted, replaced, or two neighbours swapped) that
// leaves at least two thirds of the longer name alike. The first offered
// wins a tie.
struct Suggestion {
  explicit Suggestion(Bytes unknown) : name(unknown) {}

  Bytes name;
  Bytes best;
  uint32_t score = UINT32_MAX;  // 0 for a prefix, else the edits

  void offer(Bytes candidate);
  bool found() const { return score != UINT32_MAX; }
};

}  // namespace quendra
