#include "exec/group.h"

#include <bit>
#include <cassert>
#include <cstring>

#include "base/hash.h"
#include "exec/exec.h"
#include "exec/keymap.h"

namespace quendra {
namespace {

constexpr uint64_t kCanonicalNaN = 0x7FF8000000000000ull;

inline uint64_t floatKey(double x) {
  if (x != x) return kCanonicalNaN;
  if (x == 0) return 0;  // -0.0 and +0.0 alike
  return std::bit_cast<uint64_t>(x);
}

inline bool nullAt(const Vec& v, uint32_t row) { return v.nulls && v.nulls[v.scalar ? 0 : row]; }

// Codes of 64-bit keys key(row): a direct table over a small range,
// otherwise a hash map; both hand out codes in first-appearance order.
template <class KeyOf>
Result<Codes> keyCodes(Arena& arena, const Vec& v, Sel sel, uint32_t* out, KeyOf key) {
  int64_t lo = INT64_MAX, hi = INT64_MIN;
  size_t live = 0;
  for (size_t k = 0; k < sel.n; ++k) {
    uint32_t row = sel.at(k);
    if (nullAt(v, row)) continue;
    int64_t x = static_cast<int64_t>(key(row));
    lo = x < lo ? x : lo;
    hi = x > hi ? x : hi;
    ++live;
  }
  if (live == 0) {
    std::memset(out, 0, sel.n * sizeof(uint32_t));
    return Codes{out, 1};
  }
  KeyMap map;
  if (!map.init(arena, lo, hi, live)) return std::unexpected(Err::OutOfMemory);
  uint32_t next = 1;
  for (size_t k = 0; k < sel.n; ++k) {
    uint32_t row = sel.at(k);
    if (nullAt(v, row)) {
      out[k] = 0;
      continue;
    }
    uint32_t* slot = map.upsert(arena, key(row));
    if (!slot) return std::unexpected(Err::OutOfMemory);
    if (!*slot) *slot = next++;
    out[k] = *slot;
  }
  return Codes{out, next};
}

}  // namespace

Result<Codes> codes(Arena& arena, const Vec& v, Sel sel) {
  uint32_t* out = arena.make<uint32_t>(sel.n);
  if (!out) return std::unexpected(Err::OutOfMemory);
  size_t at0 = 0;  // a scalar is read at position 0 for every row
  switch (v.data.tag) {
    case Data::Tag::int_: {
      const int64_t* x = v.data.ints;
      if (v.scalar) return keyCodes(arena, v, sel, out, [&](uint32_t) { return static_cast<uint64_t>(x[at0]); });
      return keyCodes(arena, v, sel, out, [&](uint32_t r) { return static_cast<uint64_t>(x[r]); });
    }
    case Data::Tag::float_: {
      const double* x = v.data.floats;
      if (v.scalar) return keyCodes(arena, v, sel, out, [&](uint32_t) { return floatKey(x[at0]); });
      return keyCodes(arena, v, sel, out, [&](uint32_t r) { return floatKey(x[r]); });
    }
    case Data::Tag::bool_:
      for (size_t k = 0; k < sel.n; ++k) {
        uint32_t row = sel.at(k);
        out[k] = nullAt(v, row) ? 0 : 1 + v.data.bools[v.scalar ? 0 : row];
      }
      return Codes{out, 3};
    case Data::Tag::str: break;
  }
  BytesMap<uint32_t> map;
  uint32_t next = 1;
  for (size_t k = 0; k < sel.n; ++k) {
    uint32_t row = sel.at(k);
    if (nullAt(v, row)) {
      out[k] = 0;
      continue;
    }
    auto slot = TRY(map.findOrInsert(arena, v.strAt(row)));
    if (slot.inserted) *slot.value = next++;
    out[k] = *slot.value;
  }
  return Codes{out, next};
}

Result<Groups> groupRows(Arena& arena, std::span<const Vec> dims, Sel sel) {
  const size_t n = sel.n;
  // Row indices, codes and group numbers are u32; binding refuses tables
  // whose rows could not all be numbered below the missing-row marker.
  assert(n < kMissingRow);
  Groups g;
  if (dims.empty()) {
    uint32_t* first = arena.make<uint32_t>(1);
    if (!first) return std::unexpected(Err::OutOfMemory);
    first[0] = n ? sel.at(0) : kMissingRow;
    g.ngroups = 1;
    g.first = first;
    return g;
  }
  uint32_t* gid = nullptr;
  size_t ngroups = 1;
  for (const Vec& d : dims) {
    Codes c = TRY(codes(arena, d, sel));
    if (!gid) {
      // First dimension: codes are already in first-appearance order
      // except for null's fixed code 0, so a table of c.n entries renumbers
      // them; the codes array becomes the group array.
      uint32_t* remap = arena.make<uint32_t>(c.n);
      if (!remap) return std::unexpected(Err::OutOfMemory);
      std::memset(remap, 0, c.n * sizeof(uint32_t));
      uint32_t next = 0;
      for (size_t k = 0; k < n; ++k) {
        uint32_t& m = remap[c.codes[k]];
        if (!m) m = ++next;
        c.codes[k] = m - 1;
      }
      gid = c.codes;
      ngroups = next;
      continue;
    }
    // Refinement: the pair (group so far, code) becomes the new group,
    // keyed as group * c.n + code (both below 2^32, so the key fits in 64
    // bits and is unique per pair). A direct table serves when groups ×
    // codes is small, a hash map otherwise.
    KeyMap map;
    uint64_t hi = static_cast<uint64_t>(ngroups) * c.n - 1;
    if (!map.init(arena, 0, static_cast<int64_t>(hi), n)) return std::unexpected(Err::OutOfMemory);
    uint32_t next = 0;
    for (size_t k = 0; k < n; ++k) {
      uint32_t* slot = map.upsert(arena, static_cast<uint64_t>(gid[k]) * c.n + c.codes[k]);
      if (!slot) return std::unexpected(Err::OutOfMemory);
      if (!*slot) *slot = ++next;
      gid[k] = *slot - 1;
    }
    ngroups = next;
  }
  if (n == 0) ngroups = 0;
  uint32_t* first = arena.make<uint32_t>(ngroups);
  if (!first) return std::unexpected(Err::OutOfMemory);
  // Groups are numbered by first appearance, so the next unseen group is
  // always the next number.
  uint32_t seen = 0;
  for (size_t k = 0; k < n && seen < ngroups; ++k)
    if (gid[k] == seen) first[seen++] = sel.at(k);
  g.gid = gid;
  g.ngroups = ngroups;
  g.first = first;
  return g;
}

}  // namespace quendra
