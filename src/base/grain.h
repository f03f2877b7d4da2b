// Time grains, from finest to coarsest. Shared by planning (which reads them
// from queries), SQL writing and in-memory truncation.
#pragma once

#include <cstdint>
#include <optional>

#include "base/bytes.h"

namespace quendra {

// The value is the grain's rank: a smaller value is a finer grain.
enum class Grain : uint8_t {
  second = 0,
  minute = 1,
  hour = 2,
  day = 3,
  week = 4,
  month = 5,
  quarter = 6,
  year = 7,
};

inline int grainRank(Grain g) { return static_cast<int>(g); }

// The canonical lower-case name ("second" ... "year").
Bytes grainName(Grain g);

// The grain whose canonical name equals `text` ignoring ASCII case; none for
// any other text (texts longer than 32 bytes and the empty text included).
std::optional<Grain> grainFromName(Bytes text);

// A grain as queries and measures name it: a calendar grain, or a quarter
// or year of the fiscal calendar ("fiscal_quarter", "fiscal_year").
struct NamedGrain {
  Grain grain;
  bool fiscal = false;
};
std::optional<NamedGrain> namedGrain(Bytes text);
Bytes grainLabel(Grain g, bool fiscal);

}  // namespace quendra
