// Grouping: dense codes for one vector's values over the selected rows, and
// group numbers for combinations of dimension values.
#pragma once

#include <cstdint>
#include <span>

#include "base/arena.h"
#include "base/err.h"
#include "base/grain.h"
#include "exec/keymap.h"
#include "vec/time.h"
#include "vec/eval.h"
#include "vec/vec.h"

namespace quendra {

// One code per selected row (in selection order): 0 for null, 1, 2, ... for
// distinct values in order of first appearance. n is one more than the
// largest code handed out (always 3 for booleans: false 1, true 2). Floats
// are keyed by their bits with -0.0 taken as +0.0 and every NaN as one NaN.
// How values are numbered: as codes (null 0, values 1, 2, ...) or, for the
// first dimension of a grouping, as group numbers (0, 1, ... with null one
// more value in order of first appearance), which spares a renumbering pass.
struct Numbering {
  uint32_t next;  // the number the next new value gets
  bool null_is_value;
  uint32_t null_no = 0xFFFFFFFF;

  uint32_t forNull() {
    if (!null_is_value) return 0;
    if (null_no == 0xFFFFFFFF) null_no = next++;
    return null_no;
  }
};

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
  // When grouping wrote them itself (HashGroups): each dimension's value per
  // group, one column per dimension. first may then be nullptr.
  const Vec* keys = nullptr;
};
// Group numbers for the selected values of one int, float or temporal
// vector with a key range narrow enough for a direct table, one stretch of
// the selection at a time, so that no per-row group list need be kept.
// Numbers are as groupRows gives them for that vector alone.
class DirectGroups {
 public:
  // False when v is not of that shape (or every selected value is null).
  // With v's bound stats, the key range is taken from them instead of a
  // pass over the selected values.
  [[nodiscard]] Result<bool> init(Arena& arena, const Vec& v, Sel sel, const ColStats* stats);
  // For the values of `right` at join[row] (kMissingRow: null): the right
  // table's values are coded once, and rows are numbered by those codes.
  [[nodiscard]] Result<void> initJoined(Arena& arena, const Vec& right, const uint32_t* join, Sel sel);
  // For the non-scalar date or timestamp vector v truncated to `grain`, a
  // day or coarser: rows are keyed by their day, and each day's truncated
  // value is numbered once. False when v's days span too wide a range.
  // With `zone`, v's instants are keyed by their days in the zone's
  // wall-clock time.
  [[nodiscard]] Result<bool> initDays(Arena& arena, const Vec& v, Grain grain, int start, Sel sel,
                                      const ColStats* stats, const TimeZone* zone = nullptr);
  // The group numbers of the selection's positions [from, to), into out;
  // each new group's first selected row into first[group], and, unless
  // sizes is nullptr, each position counted into sizes[group]. False when
  // memory runs out.
  [[nodiscard]] bool number(Arena& arena, size_t from, size_t to, uint32_t* out, uint32_t* first, uint32_t* sizes);
  // Whether every selected row is numbered by its own integer key, never
  // null: eachNumbered may then be used in place of number.
  bool plainRows() const { return !days_ && !join_ && !floats_ && sel_.all() && !v_->nulls; }
  // For plainRows(): numbers rows [from, to), each new group's row into
  // first[group], and calls each(row, group) for every row as it goes, so
  // that a caller's work per row shares the numbering's loop.
  template <class Each>
  void eachNumbered(size_t from, size_t to, uint32_t* __restrict first, Each&& each) {
    const int64_t* __restrict x = v_->data.ints;
    uint32_t* __restrict tab = tab_;
    const uint64_t base = base_;
    uint32_t next = num_.next;
    for (size_t r = from; r < to; ++r) {
      uint32_t& slot = tab[static_cast<uint64_t>(x[r]) - base];
      if (!slot) [[unlikely]] {
        slot = ++next;
        first[next - 1] = static_cast<uint32_t>(r);
      }
      each(static_cast<uint32_t>(r), slot - 1);
    }
    num_.next = next;
  }
  // No more groups than this will be numbered.
  size_t bound() const { return bound_; }
  // Above this bound, the groups' state is readied only as numbering
  // reaches it; tests set 0 to take that path with small tables.
  static inline size_t ready_all_below = size_t{1} << 16;
  static void setReadyAllBelowForTesting(size_t n) { ready_all_below = n; }
  uint32_t ngroups() const { return num_.next; }

 private:
  const Vec* v_ = nullptr;
  Sel sel_;
  const uint32_t* join_ = nullptr;
  const uint32_t* right_codes_ = nullptr;
  uint32_t* tab_ = nullptr;
  uint64_t base_ = 0;
  uint64_t base_us_ = 0;  // days of timestamps: the first day's midnight
  size_t bound_ = 0;
  template <bool Sized>
  bool numberInto(Arena& arena, size_t from, size_t to, uint32_t* out, uint32_t* first, uint32_t* sizes);
  [[nodiscard]] Result<bool> prepare(Arena& arena, const Vec& v, Sel sel, int64_t lo, int64_t hi, size_t live);
  // days: the slot of a day not seen yet, for the (date or timestamp)
  // value it holds; false when memory runs out.
  bool numberDay(Arena& arena, uint32_t& slot, int64_t value, bool is_date);

  Numbering num_{0, true};
  KeyMap values_;  // days: truncated value -> group + 1
  Grain grain_ = Grain::day;
  int start_ = 0;  // where the grain's periods start, as truncate takes it
  bool floats_ = false;
  bool days_ = false;
  bool dates_ = false;  // days: the values are day numbers
  // days in a zone: its offsets over the values' instants
  ZoneTable zone_table_;
  std::optional<ZoneCursor> zone_cursor_;
};

// Group numbers for one or more non-scalar dimensions stored as 64-bit
// integers or floats, when many groups are expected: numbered a stretch at
// a time as DirectGroups does, with each group's values written once, at
// its first row, into per-group key columns that then serve as the
// dimensions' output. A slot of the table holds a group number and a few
// bits of its hash, 4 bytes where a key and number take 16: many groups
// take little more memory than their output, and the columns hold the
// keys that a matching tag must still be compared with. Numbers are as
// groupRows gives them for the same dimensions.
class HashGroups {
 public:
  // False when a dimension is not of that shape, or when the first rows
  // suggest fewer than manyGroups() groups. Dimension i's key column comes
  // from key_arenas[i], with room for every selected row; only the part
  // that groups fill is ever written.
  [[nodiscard]] Result<bool> init(Arena& arena, std::span<const Vec> dims, Sel sel, Arena* const* key_arenas);
  // The group numbers of the selection's positions [from, to), into out;
  // false when memory runs out.
  [[nodiscard]] bool number(Arena& arena, size_t from, size_t to, uint32_t* out);
  uint32_t ngroups() const { return ngroups_; }
  // Dimension i's value per group, ngroups() of them.
  Vec key(size_t i) const;

  // Fewer groups than this are numbered faster by groupRows, whose tables
  // stay in cache.
  static size_t manyGroups() { return many_; }
  // Test-only: makes every grouping of the right shape take this path.
  static void setManyGroupsForTesting(size_t n) { many_ = n ? n : kMany; }

 private:
  struct Key {
    const Vec* v;
    int64_t* ints;    // int-stored dimensions
    double* floats;   // float ones
    uint8_t* nulls;   // per group, when v has nulls
  };
  static constexpr size_t kMany = size_t{1} << 16;
  static inline size_t many_ = kMany;

  void hashRows(size_t from, size_t to, uint64_t* out) const;
  uint64_t hashGroup(uint32_t g) const;
  bool same(uint32_t row, uint32_t g) const;
  void addKeys(uint32_t row, uint32_t g);
  size_t index(uint64_t h) const { return static_cast<size_t>((static_cast<unsigned __int128>(h) * cap_) >> 64); }
  uint32_t tagOf(uint64_t h) const { return static_cast<uint32_t>((h & tag_mask_) << gbits_); }
  [[nodiscard]] bool alloc(Arena& arena, size_t cap);
  [[nodiscard]] bool grow(Arena& arena);

  Key* keys_ = nullptr;
  size_t nkeys_ = 0;
  Sel sel_;
  uint32_t* slots_ = nullptr;
  size_t cap_ = 0;
  size_t limit_ = 0;      // groups the table takes before it grows
  unsigned gbits_ = 0;    // low bits of a slot: group + 1
  uint64_t tag_mask_ = 0;
  uint32_t gmask_ = 0;
  uint32_t ngroups_ = 0;
};

[[nodiscard]] Result<Groups> groupRows(Arena& arena, std::span<const Vec> dims, Sel sel);

}  // namespace quendra
