// Suggestions for misspelt names in messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "base/bytes.h"
#include "base/json.h"

namespace quendra {

// Names longer than this are never suggested, nor compared.
constexpr size_t kMaxSuggested = 64;

// The candidate that an unknown `name` most likely meant, offered one at a
// time: one that differs from it only by a leading "prefix." (added, as
// 'flights.dest' for 'dest', or dropped), else the nearest within two edits
// (a character inserted, deleted, replaced, or two neighbours swapped) that
// leaves at least two thirds of the longer name alike. The first offered
// wins a tie.
struct Suggestion {
  explicit Suggestion(Bytes unknown) : name(unknown) {}
  // best may point into the Suggestion itself.
  Suggestion(const Suggestion&) = delete;
  Suggestion& operator=(const Suggestion&) = delete;

  Bytes name;
  Bytes best;
  uint32_t score = UINT32_MAX;  // 0 for a prefix, else the edits

  void offer(Bytes candidate);
  // Offers the pieces joined, without allocating: a name that is built
  // only to be offered (a path and a key), kept here when it wins.
  void offer(std::initializer_list<Bytes> pieces);
  bool found() const { return score != UINT32_MAX; }

 private:
  char held_[kMaxSuggested];
};

// Offers every name under which a query of model `m` (in the manifest's
// `models`) reaches an entry of `section` ("measures", "segments") of a
// model: `key` for its own (and `m_name.key` unless m_name is empty, for
// the sections that read that form), `path.key` through its joins, up to
// three joins deep.
void offerReachable(Suggestion& s, const Json& models, const Json& m, Bytes m_name, Bytes section);

}  // namespace quendra
