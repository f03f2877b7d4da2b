// Many-to-one left joins: for every base row, the one right row whose key
// equals its key, or kMissingRow. Joined columns are gathered lazily by
// column resolution through the index built here.
#include "exec/exec.h"
#include "exec/keymap.h"

namespace quendra {
namespace {

constexpr Bytes kNotUnique = "join key is not unique in the right table (only many-to-one joins are supported)";

bool intKind(const Vec& v) { return storageOf(v.kind) == Data::Tag::int_; }

// The row of right key vector rk (rn rows) for each of the n base rows of lk.
// A scalar key is read at position 0 for every row.
Result<uint32_t*> lookupInts(Exec& ex, const Vec& lk, const Vec& rk, size_t rn, size_t n) {
  uint32_t* out = ex.arena.make<uint32_t>(n);
  if (!out) return std::unexpected(Err::OutOfMemory);
  const int64_t* rv = rk.data.ints;
  auto rnull = [&](size_t r) { return rk.nulls && rk.nulls[rk.scalar ? 0 : r]; };
  auto rkey = [&](size_t r) { return rv[rk.scalar ? 0 : r]; };
  int64_t lo = INT64_MAX, hi = INT64_MIN;
  size_t live = 0;
  for (size_t r = 0; r < rn; ++r) {
    if (rnull(r)) continue;
    lo = rkey(r) < lo ? rkey(r) : lo;
    hi = rkey(r) > hi ? rkey(r) : hi;
    ++live;
  }
  if (live == 0) {
    for (size_t i = 0; i < n; ++i) out[i] = kMissingRow;
    return out;
  }
  KeyMap map;
  if (!map.init(ex.arena, lo, hi, live, live)) return std::unexpected(Err::OutOfMemory);  // right keys are unique
  for (size_t r = 0; r < rn; ++r) {
    if (rnull(r)) continue;
    uint32_t* slot = map.upsert(ex.arena, static_cast<uint64_t>(rkey(r)));
    if (!slot) return std::unexpected(Err::OutOfMemory);
    if (*slot) return ex.diag.fail(Err::Unsupported, {kNotUnique});
    *slot = static_cast<uint32_t>(r) + 1;
  }
  const int64_t* __restrict lv = lk.data.ints;
  const uint8_t* lnull = lk.nulls;
  // Stored values are row + 1, so an absent key (0) becomes the marker
  // by the same subtraction.
  if (lk.scalar) {
    uint32_t r = lnull && lnull[0] ? 0 : map.find(static_cast<uint64_t>(lv[0]));
    for (size_t i = 0; i < n; ++i) out[i] = r - 1;
  } else if (lnull) {
    for (size_t i = 0; i < n; ++i) out[i] = (lnull[i] ? 0 : map.find(static_cast<uint64_t>(lv[i]))) - 1;
  } else {
    for (size_t i = 0; i < n; ++i) out[i] = map.find(static_cast<uint64_t>(lv[i])) - 1;
  }
  return out;
}

Result<uint32_t*> lookupStrs(Exec& ex, const Vec& lk, const Vec& rk, size_t rn, size_t n) {
  uint32_t* out = ex.arena.make<uint32_t>(n);
  if (!out) return std::unexpected(Err::OutOfMemory);
  BytesMap<uint32_t> map;
  for (size_t r = 0; r < rn; ++r) {
    if (rk.isNull(r)) continue;
    auto slot = map.findOrInsert(ex.arena, rk.strAt(r));
    if (!slot) return std::unexpected(Err::OutOfMemory);
    if (!slot->inserted) return ex.diag.fail(Err::Unsupported, {kNotUnique});
    *slot->value = static_cast<uint32_t>(r);
  }
  for (size_t i = 0; i < n; ++i) {
    const uint32_t* r = lk.isNull(i) ? nullptr : map.find(lk.strAt(i));
    out[i] = r ? *r : kMissingRow;
  }
  return out;
}

}  // namespace

Result<void> Exec::buildJoins(const Tables& tables) {
  uint32_t used = plan.usedAliases();
  for (const Join& j : plan.joins) {
    if (j.alias >= kAliasSlots || !(used >> j.alias & 1)) continue;
    const exec::Table* t = tables.find(j.table);
    if (!t) return diag.fail(Err::UnknownModel, {"table '", j.table, "' is not bound"});
    right[j.alias] = *t;
    // The right key sees only the right table: a frame of its own with
    // that table as its base.
    Exec rx(arena, diag, plan, *t);
    Vec rk = TRY(rx.evalBound(Bound{j.right.e, 0}));
    Vec lk = TRY(evalBound(j.left));
    if (intKind(lk) && intKind(rk))
      join_idx[j.alias] = TRY(lookupInts(*this, lk, rk, t->nrows, base.nrows));
    else if (lk.kind == Kind::str && rk.kind == Kind::str)
      join_idx[j.alias] = TRY(lookupStrs(*this, lk, rk, t->nrows, base.nrows));
    else
      return diag.fail(Err::Invalid, {"join keys have incompatible types"});
  }
  return {};
}

}  // namespace quendra
