// Left joins: for every base row, the right row whose key equals its key,
// or kMissingRow. Joined columns are gathered lazily by column resolution
// through the index built here. The right key of a many-join may repeat:
// its map holds the first right row of each key, and a chain links each
// right row to the next one with an equal key, which expanding the frame
// follows.
#include <algorithm>
#include <cstring>

#include "exec/exec.h"
#include "exec/keymap.h"
#include "vec/time.h"

namespace quendra {
namespace {

constexpr Bytes kNotUnique = "join key is not unique in the right table (only many-to-one joins are supported)";

bool intKind(const Vec& v) { return storageOf(v.kind) == Data::Tag::int_; }

// A date key as the timestamps of its midnights, so that it meets a
// timestamp key at the same instant, as a comparison would.
Result<Vec> asTimestamps(Exec& ex, const Vec& v) {
  const size_t m = v.stored();
  int64_t* out = ex.arena.make<int64_t>(m);
  if (!out && m) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < m; ++i) out[i] = v.nulls && v.nulls[i] ? 0 : microsOfDay(v.data.ints[i]);
  Vec w = v;
  w.kind = Kind::timestamp;
  w.data = intData(out);
  return w;
}

// A map from each non-null key of rk (rn rows; a scalar is read at 0) to
// its row + 1; nullptr when no key is live, so that nothing matches. With
// `next`, keys may repeat: the map holds each key's first row and next[r]
// the row after r with the same key (kMissingRow after the last).
Result<KeyMap*> intKeyMap(Exec& ex, const Vec& rk, size_t rn, uint32_t* next) {
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
  if (live == 0) return nullptr;
  KeyMap* map = ex.arena.make<KeyMap>(1);
  if (!map) return std::unexpected(Err::OutOfMemory);
  new (map) KeyMap();
  // Right keys are unique, so a direct table of up to 8 slots per key
  // (4 bytes each) takes about what hashed slots take (16 bytes, at most
  // three quarters full), and finds a key without probing.
  if (!map->init(ex.arena, lo, hi, 2 * live, live)) return std::unexpected(Err::OutOfMemory);
  // Chains are built from the last row up, so that each starts at its
  // key's first row.
  for (size_t q = 0; q < rn; ++q) {
    const size_t r = next ? rn - 1 - q : q;
    if (rnull(r)) continue;
    uint32_t* slot = map->upsert(ex.arena, static_cast<uint64_t>(rkey(r)));
    if (!slot) return std::unexpected(Err::OutOfMemory);
    if (*slot && !next) return ex.diag.fail(Err::Unsupported, {kNotUnique});
    if (next) next[r] = *slot - 1;
    *slot = static_cast<uint32_t>(r) + 1;
  }
  return map;
}

// The stats of the bound column that v is, as it is (the same values at
// the same rows, not a copy or a conversion of them); nullptr otherwise.
const ColStats* asBound(const Exec& owner, const Expr& e, const Vec& v) {
  const Vec* col = nullptr;
  const ColStats* cs = owner.columnStats(Bound{e, 0}, &col);
  if (!cs || v.scalar || col->len != v.len || col->data.tag != v.data.tag) return nullptr;
  const bool same = v.data.tag == Data::Tag::str ? col->data.str.offs == v.data.str.offs : col->data.ints == v.data.ints;
  return same ? cs : nullptr;
}

// The map of a unique integer right key that is a bound column as it is
// (no where of the joined model, no conversion): kept with the column for
// later queries, or built and kept now while the budget allows (at most 48
// bytes per row: a direct table of 8 slots per key, or hashed slots).
Result<const KeyMap*> keptKeyMap(Exec& ex, const Join& j, const exec::Table& t, const Exec& rx, const Vec& rk) {
  const ColStats* cs = t.keep && j.where.empty() ? asBound(rx, j.right[0].e, rk) : nullptr;
  if (!cs) return intKeyMap(ex, rk, t.nrows, nullptr);
  if (cs->key_map) return cs->key_map;
  const size_t bytes = t.nrows * 48 + 4096;
  if (bytes > t.keep->left) return intKeyMap(ex, rk, t.nrows, nullptr);
  t.keep->left -= bytes;
  Exec kx(t.keep->arena, ex.diag, ex.plan, t);
  const KeyMap* map = TRY(intKeyMap(kx, rk, t.nrows, nullptr));
  if (!map) t.keep->left += bytes;  // no live key: nothing was made
  cs->key_map = map;
  return map;
}

// A map from each non-null key of rk to its row; `next` as for intKeyMap.
Result<BytesMap<uint32_t>*> strKeyMap(Exec& ex, const Vec& rk, size_t rn, uint32_t* next) {
  auto* map = ex.arena.make<BytesMap<uint32_t>>(1);
  if (!map) return std::unexpected(Err::OutOfMemory);
  new (map) BytesMap<uint32_t>();
  for (size_t q = 0; q < rn; ++q) {
    const size_t r = next ? rn - 1 - q : q;
    if (rk.isNull(r)) continue;
    auto slot = map->findOrInsert(ex.arena, rk.strAt(r));
    if (!slot) return std::unexpected(Err::OutOfMemory);
    if (!slot->inserted && !next) return ex.diag.fail(Err::Unsupported, {kNotUnique});
    if (next) next[r] = slot->inserted ? kMissingRow : *slot->value;
    *slot->value = static_cast<uint32_t>(r);
  }
  return map;
}

// A text key read from a parent column with a dictionary (kept from
// binding): each distinct value is looked up once here, and a parent row
// then reads its code's right row instead of hashing its text.
Result<void> codedKey(Exec& ex, const Exec& parent, const Expr& left, JoinStep& st) {
  // The key must be that very column, indexed as the codes are.
  const ColStats* cs = asBound(parent, left, st.lk);
  if (!cs || !cs->codes || !cs->dict.len) return {};
  const size_t nd = cs->dict.len;
  uint32_t* rows = ex.arena.make<uint32_t>(nd);
  if (!rows) return std::unexpected(Err::OutOfMemory);
  for (size_t c = 0; c < nd; ++c) {
    const uint32_t* r = st.strs->find(cs->dict.strAt(c));
    rows[c] = r ? *r : kMissingRow;
  }
  st.lcodes = cs->codes;
  st.code_row = rows;
  return {};
}

// The pairs of step k of a composite key, listed by code so far when the
// codes so far leave few right rows each: acc (codes so far, 0 for a null
// part) and code (the part's codes) become the pairs' new dense codes, in
// acc, numbered as the rows first show them. False (nothing changed) when
// some code so far has too many rows for a search in place.
Result<bool> groupedPairs(Exec& ex, uint32_t* acc, const uint32_t* code, size_t rn, uint32_t count, PairGroups*& out) {
  const uint32_t max_group = PairGroups::max_group;
  uint32_t* start = ex.arena.make<uint32_t>(size_t{count} + 2);
  if (!start) return std::unexpected(Err::OutOfMemory);
  std::memset(start, 0, (size_t{count} + 2) * sizeof(uint32_t));
  for (size_t r = 0; r < rn; ++r)
    if (acc[r] && code[r] && ++start[acc[r] + 1] > max_group) return false;
  for (size_t g = 1; g <= size_t{count} + 1; ++g) start[g] += start[g - 1];
  uint32_t* fill = ex.arena.make<uint32_t>(size_t{count} + 1);
  auto* groups = ex.arena.make<PairGroups>(1);
  uint32_t* part = ex.arena.make<uint32_t>(rn + 1);
  uint32_t* to = ex.arena.make<uint32_t>(rn + 1);
  if (!fill || !groups || !part || !to) return std::unexpected(Err::OutOfMemory);
  std::memcpy(fill, start, (size_t{count} + 1) * sizeof(uint32_t));
  uint32_t made = 0;
  for (size_t r = 0; r < rn; ++r) {
    if (!acc[r] || !code[r]) {
      acc[r] = 0;
      continue;
    }
    const uint32_t g = acc[r];
    uint32_t e = start[g];
    while (e < fill[g] && part[e] != code[r]) ++e;
    if (e == fill[g]) {
      part[e] = code[r];
      to[e] = ++made;
      ++fill[g];
    }
    acc[r] = to[e];
  }
  // Each code's list ends where its entries do.
  *groups = PairGroups{start, fill, part, to, made};
  out = groups;
  return true;
}

// Composite keys, one part at a time: every right value of a part gets a
// dense code, then the codes of the parts so far and of the next part pair
// up into a new dense code, so that after the last part two right rows
// share a code exactly when every part is equal. A parent row is looked up
// the same way, part by part, when a step first needs it; a part with no
// equal right value (or null) matches nothing.
Result<const CompositeKey*> compositeKey(Exec& ex, std::span<const Vec> lks, std::span<const Vec> rks, size_t rn,
                                         size_t parent_rows, uint32_t* next) {
  const size_t parts = lks.size();
  auto* key = ex.arena.make<CompositeKey>(1);
  auto** ints = ex.arena.make<KeyMap*>(parts);
  auto** strs = ex.arena.make<BytesMap<uint32_t>*>(parts);
  auto** pairs = ex.arena.make<KeyMap*>(parts);
  auto** groups = ex.arena.make<PairGroups*>(parts);
  if (!groups) return std::unexpected(Err::OutOfMemory);
  uint32_t* acc = ex.arena.make<uint32_t>(rn + 1);  // code so far per right row, 0: a null part
  uint32_t* code = ex.arena.make<uint32_t>(rn + 1);
  if (!key || !ints || !strs || !pairs || !acc || !code) return std::unexpected(Err::OutOfMemory);
  new (key) CompositeKey();
  uint32_t count = 0;
  for (size_t k = 0; k < parts; ++k) {
    const Vec& rk = rks[k];
    ints[k] = nullptr;
    strs[k] = nullptr;
    pairs[k] = nullptr;
    groups[k] = nullptr;
    uint32_t part_count = 0;
    if (intKind(rk)) {
      int64_t lo = INT64_MAX, hi = INT64_MIN;
      for (size_t r = 0; r < rn; ++r)
        if (!rk.isNull(r)) lo = std::min(lo, rk.intAt(r)), hi = std::max(hi, rk.intAt(r));
      if (lo <= hi) {
        ints[k] = ex.arena.make<KeyMap>(1);
        if (!ints[k]) return std::unexpected(Err::OutOfMemory);
        new (ints[k]) KeyMap();
        if (!ints[k]->init(ex.arena, lo, hi, rn, rn)) return std::unexpected(Err::OutOfMemory);
      }
      for (size_t r = 0; r < rn; ++r) {
        code[r] = 0;
        if (rk.isNull(r)) continue;
        uint32_t* slot = ints[k]->upsert(ex.arena, static_cast<uint64_t>(rk.intAt(r)));
        if (!slot) return std::unexpected(Err::OutOfMemory);
        if (!*slot) *slot = ++part_count;
        code[r] = *slot;
      }
    } else {
      strs[k] = ex.arena.make<BytesMap<uint32_t>>(1);
      if (!strs[k]) return std::unexpected(Err::OutOfMemory);
      new (strs[k]) BytesMap<uint32_t>();
      for (size_t r = 0; r < rn; ++r) {
        code[r] = 0;
        if (rk.isNull(r)) continue;
        auto slot = TRY(strs[k]->findOrInsert(ex.arena, rk.strAt(r)));
        if (slot.inserted) *slot.value = ++part_count;
        code[r] = *slot.value;
      }
    }
    if (k == 0) {
      std::memcpy(acc, code, rn * sizeof(uint32_t));
      count = part_count;
      continue;
    }
    // Few rows per code so far (a part and its suppliers): each code's
    // pairs are listed together and searched in place, which spares
    // hashing every right row.
    if (TRY(groupedPairs(ex, acc, code, rn, count, groups[k]))) {
      count = groups[k]->count;
      continue;
    }
    pairs[k] = ex.arena.make<KeyMap>(1);
    if (!pairs[k]) return std::unexpected(Err::OutOfMemory);
    new (pairs[k]) KeyMap();
    if (!pairs[k]->init(ex.arena, 1, 0, rn, rn)) return std::unexpected(Err::OutOfMemory);  // always hashed
    count = 0;
    for (size_t r = 0; r < rn; ++r) {
      if (!acc[r] || !code[r]) {
        acc[r] = 0;
        continue;
      }
      uint32_t* slot = pairs[k]->upsert(ex.arena, uint64_t{acc[r]} << 32 | code[r]);
      if (!slot) return std::unexpected(Err::OutOfMemory);
      if (!*slot) *slot = ++count;
      acc[r] = *slot;
    }
  }
  // The whole key must be unique among right rows without a null part
  // (or, with `next`, chained from its first row).
  uint32_t* row_of = ex.arena.make<uint32_t>(size_t{count} + 1);
  if (!row_of) return std::unexpected(Err::OutOfMemory);
  std::memset(row_of, 0xFF, (size_t{count} + 1) * sizeof(uint32_t));
  for (size_t q = 0; q < rn; ++q) {
    const size_t r = next ? rn - 1 - q : q;
    if (!acc[r]) continue;
    if (row_of[acc[r]] != kMissingRow && !next) return ex.diag.fail(Err::Unsupported, {kNotUnique});
    if (next) next[r] = row_of[acc[r]];
    row_of[acc[r]] = static_cast<uint32_t>(r);
  }
  key->lks = lks;
  key->ints = ints;
  key->strs = strs;
  key->pairs = pairs;
  key->groups = groups;
  key->row_of = row_of;
  key->parent_rows = parent_rows;
  key->live = count != 0;
  return key;
}

// The code of part k's value at parent row p (0: none equal, or null).
uint32_t partCode(const CompositeKey& key, size_t k, uint32_t p) {
  const Vec& lk = key.lks[k];
  if (lk.isNull(p)) return 0;
  if (key.ints[k]) return key.ints[k]->find(static_cast<uint64_t>(lk.intAt(p)));
  if (!key.strs[k]) return 0;
  const uint32_t* found = key.strs[k]->find(lk.strAt(p));
  return found ? *found : 0;
}

// The right row of every parent row, a part at a time: each loop is one
// map look-up per row, which lets the misses of many rows overlap.
Result<const uint32_t*> compositeAll(Exec& ex, const CompositeKey& key) {
  const size_t n = key.parent_rows;
  uint32_t* acc = ex.arena.make<uint32_t>(n + 1);
  uint32_t* code = ex.arena.make<uint32_t>(n + 1);
  if (!acc || !code) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < n; ++i) acc[i] = key.live ? partCode(key, 0, static_cast<uint32_t>(i)) : 0;
  for (size_t k = 1; k < key.lks.size(); ++k) {
    for (size_t i = 0; i < n; ++i) code[i] = acc[i] ? partCode(key, k, static_cast<uint32_t>(i)) : 0;
    if (const PairGroups* g = key.groups[k]) {
      for (size_t i = 0; i < n; ++i) acc[i] = acc[i] && code[i] ? g->find(acc[i], code[i]) : 0;
      continue;
    }
    const KeyMap& pairs = *key.pairs[k];
    for (size_t i = 0; i < n; ++i) acc[i] = acc[i] && code[i] ? pairs.find(uint64_t{acc[i]} << 32 | code[i]) : 0;
  }
  for (size_t i = 0; i < n; ++i) acc[i] = key.row_of[acc[i]];  // row_of[0] is the marker
  return acc;
}

// The right row of parent row p under a composite key, or kMissingRow.
uint32_t compositeRow(const CompositeKey& key, uint32_t p) {
  if (!key.live) return kMissingRow;
  uint32_t acc = 0;
  for (size_t k = 0; k < key.lks.size(); ++k) {
    const uint32_t c = partCode(key, k, p);
    if (!c) return kMissingRow;
    acc = k == 0 ? c : key.groups[k] ? key.groups[k]->find(acc, c) : key.pairs[k]->find(uint64_t{acc} << 32 | c);
    if (!acc) return kMissingRow;
  }
  return key.row_of[acc];
}

// p with every bound read at alias 0: the joined table as a frame's base.
Result<Pred> atBase(Arena& arena, const Pred& p) {
  Pred out = p;
  out.cmp.lhs.dim.alias = 0;
  out.expr.alias = 0;
  out.range.b.alias = 0;
  if (p.children.empty()) return out;
  Pred* kids = arena.make<Pred>(p.children.size());
  if (!kids) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < p.children.size(); ++i) new (&kids[i]) Pred(TRY(atBase(arena, p.children[i])));
  out.children = {kids, p.children.size()};
  return out;
}

// The right keys with every row that fails the joined model's where made
// null, so that no map holds it and it matches nothing.
Result<void> dropFailing(Exec& ex, Exec& rx, std::span<const Pred> where, std::span<Vec> rks) {
  std::optional<Vec> pass;
  for (const Pred& p : where) {
    Vec v = TRY(rx.evalPred(TRY(atBase(ex.arena, p))));
    if (pass) {
      auto both = logic(ex.arena, true, *pass, v);
      if (!both) return std::unexpected(ex.lift(both.error()));
      v = *both;
    }
    pass = v;
  }
  if (!pass) return {};
  uint8_t* drop = nullptr;
  for (Vec& rk : rks) {
    if (rk.scalar || pass->scalar) {
      // A key or a verdict the same for every row: a choice keeps its shape.
      auto none = nullVec(ex.arena, rk.kind, 1, true);
      if (!none) return std::unexpected(ex.lift(none.error()));
      auto kept = choose(ex.arena, *pass, rk, *none);
      if (!kept) return std::unexpected(ex.lift(kept.error()));
      rk = *kept;
      continue;
    }
    const size_t n = rk.len;
    if (!drop) {
      if (!(drop = ex.arena.make<uint8_t>(n))) return std::unexpected(Err::OutOfMemory);
      for (size_t i = 0; i < n; ++i) drop[i] = pass->isNull(i) || !pass->boolAt(i);
    }
    uint8_t* nulls = ex.arena.make<uint8_t>(n);
    if (!nulls) return std::unexpected(Err::OutOfMemory);
    for (size_t i = 0; i < n; ++i) nulls[i] = drop[i] | (rk.nulls ? rk.nulls[i] : 0);
    rk.nulls = nulls;
  }
  return {};
}

}  // namespace

bool fromProbe(const Exec::Probe& pr, Sel at, uint32_t* out) {
  size_t j = 0;
  for (size_t i = 0; i < at.n; ++i) {
    const uint32_t pos = at.idx[i];
    if (pos == kMissingRow) {
      out[i] = kMissingRow;
      continue;
    }
    while (j < pr.sel.n && pr.sel.at(j) < pos) ++j;
    if (j == pr.sel.n || pr.sel.at(j) != pos) return false;
    out[i] = pr.rows[j];
  }
  return true;
}

Result<const uint32_t*> Exec::joinRows(uint8_t k, Sel at) {
  if (join_idx[k]) {
    if (at.all()) return join_idx[k];
    uint32_t* out = arena.make<uint32_t>(at.n + 1);
    if (!out) return std::unexpected(Err::OutOfMemory);
    for (size_t i = 0; i < at.n; ++i) out[i] = at.idx[i] == kMissingRow ? kMissingRow : join_idx[k][at.idx[i]];
    return out;
  }
  if (probed[k].rows && !at.all()) {
    // Filters narrow the rows step by step (and an OR's branches read
    // parts of one selection): a look-up over more rows often holds these.
    uint32_t* out = arena.make<uint32_t>(at.n + 1);
    if (!out) return std::unexpected(Err::OutOfMemory);
    if (fromProbe(probed[k], at, out)) return out;
  }
  const uint32_t* found = TRY(lookUp(k, at));
  // A look-up of every position is the join whole: kept, a later step over
  // fewer positions (grouping after a filter on the joined table) gathers
  // from it instead of hashing its keys again.
  if (at.all() && at.n == base.nrows) join_idx[k] = found;
  else if (!at.all() && at.n > probed[k].sel.n) probed[k] = Probe{at, found};
  return found;
}

Result<const uint32_t*> Exec::lookUp(uint8_t k, Sel at) {
  JoinStep& st = steps[k];
  // A composite key asked for a good share of its parent's rows: every
  // parent row at once, kept for the steps after.
  if (st.comp && !st.idx && at.n * 4 >= st.comp->parent_rows) st.idx = TRY(compositeAll(*this, *st.comp));
  // Through a joined table, asked for more rows than that table has: each
  // of its rows is looked up once, and the rows asked for read the result.
  if (st.parent != 0 && !st.idx && at.n > right[st.parent]->nrows) {
    const size_t pn = right[st.parent]->nrows;
    Exec px(arena, diag, plan, *right[st.parent]);
    px.steps[k] = st;
    px.steps[k].parent = 0;
    st.idx = TRY(px.joinRows(k, Sel{nullptr, pn}));
  }
  // The parent's rows: the base table's (through this frame's rows), or a
  // joined table's, found the same way one step up.
  const uint32_t* up = nullptr;
  if (st.parent != 0) {
    up = TRY(joinRows(st.parent, at));
  } else if (rows) {
    if (at.all()) {
      up = rows;
    } else {
      uint32_t* composed = arena.make<uint32_t>(at.n + 1);
      if (!composed) return std::unexpected(Err::OutOfMemory);
      for (size_t i = 0; i < at.n; ++i) composed[i] = at.idx[i] == kMissingRow ? kMissingRow : rows[at.idx[i]];
      up = composed;
    }
  } else if (!at.all()) {
    up = at.idx;
  }
  uint32_t* out = arena.make<uint32_t>(at.n + 1);
  if (!out) return std::unexpected(Err::OutOfMemory);
  const size_t n = at.n;
  auto parentRow = [&](size_t i) { return up ? up[i] : static_cast<uint32_t>(i); };
  if (st.idx) {
    for (size_t i = 0; i < n; ++i) {
      const uint32_t p = parentRow(i);
      out[i] = p == kMissingRow ? kMissingRow : st.idx[p];
    }
  } else if (st.comp) {
    for (size_t i = 0; i < n; ++i) {
      const uint32_t p = parentRow(i);
      out[i] = p == kMissingRow ? kMissingRow : compositeRow(*st.comp, p);
    }
  } else if (st.code_row) {
    const uint16_t* __restrict codes = st.lcodes;
    const uint32_t* __restrict code_row = st.code_row;
    const uint8_t* lnull = st.lk.nulls;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t p = parentRow(i);
      out[i] = p == kMissingRow || (lnull && lnull[p]) ? kMissingRow : code_row[codes[p]];
    }
  } else if (st.strs) {
    for (size_t i = 0; i < n; ++i) {
      const uint32_t p = parentRow(i);
      const uint32_t* r = p == kMissingRow || st.lk.isNull(p) ? nullptr : st.strs->find(st.lk.strAt(p));
      out[i] = r ? *r : kMissingRow;
    }
  } else if (!st.ints || st.lk.scalar) {
    // No live right key, or one key for every row.
    const uint32_t r = !st.ints || st.lk.isNull(0) ? 0 : st.ints->find(static_cast<uint64_t>(st.lk.data.ints[0]));
    for (size_t i = 0; i < n; ++i) out[i] = parentRow(i) == kMissingRow ? kMissingRow : r - 1;
  } else {
    // Stored values are row + 1, so an absent key (0) becomes the marker
    // by the same subtraction.
    const KeyMap& map = *st.ints;
    const int64_t* __restrict lv = st.lk.data.ints;
    const uint8_t* lnull = st.lk.nulls;
    // Keys are fetched well ahead of their look-up, and the map's slot a
    // little ahead, once the key is at hand: rows left by filters lie
    // scattered, and so do a large map's slots.
    constexpr size_t kKeyAhead = 32, kSlotAhead = 8;
    if (!up && !lnull) {
      for (size_t i = 0; i < n; ++i) {
        if (i + kSlotAhead < n) map.prefetch(static_cast<uint64_t>(lv[i + kSlotAhead]));
        out[i] = map.find(static_cast<uint64_t>(lv[i])) - 1;
      }
    } else {
      for (size_t i = 0; i < n; ++i) {
        if (up && i + kKeyAhead < n && up[i + kKeyAhead] != kMissingRow) __builtin_prefetch(&lv[up[i + kKeyAhead]]);
        if (i + kSlotAhead < n) {
          const uint32_t q = parentRow(i + kSlotAhead);
          if (q != kMissingRow && !(lnull && lnull[q])) map.prefetch(static_cast<uint64_t>(lv[q]));
        }
        const uint32_t p = parentRow(i);
        out[i] = p == kMissingRow || (lnull && lnull[p]) ? kMissingRow : map.find(static_cast<uint64_t>(lv[p])) - 1;
      }
    }
  }
  return out;
}

Result<const uint32_t*> Exec::expand(uint8_t k) {
  const size_t n = base.nrows;
  const uint32_t* head = TRY(lookUp(k, Sel{nullptr, n}));
  const uint32_t* next = steps[k].next;
  size_t total = 0;
  for (size_t i = 0; i < n; ++i) {
    size_t matches = 1;
    if (head[i] != kMissingRow)
      for (uint32_t r = next[head[i]]; r != kMissingRow; r = next[r]) ++matches;
    total += matches;
  }
  if (total >= kMissingRow)
    return diag.fail(Err::Unsupported, {"the query's rows across its many-joins number more than 4294967294"});
  uint32_t* origin = arena.make<uint32_t>(total + 1);
  uint32_t* hit = arena.make<uint32_t>(total + 1);
  if (!origin || !hit) return std::unexpected(Err::OutOfMemory);
  size_t m = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t r = head[i];
    do {
      origin[m] = static_cast<uint32_t>(i);
      hit[m++] = r;
      r = r == kMissingRow ? kMissingRow : next[r];
    } while (r != kMissingRow);
  }
  // Everything per position follows its position.
  for (int a = 1; a < kAliasSlots; ++a) {
    if (!join_idx[a]) continue;
    uint32_t* idx = arena.make<uint32_t>(total + 1);
    if (!idx) return std::unexpected(Err::OutOfMemory);
    for (size_t j = 0; j < total; ++j) idx[j] = join_idx[a][origin[j]];
    join_idx[a] = idx;
  }
  uint32_t* base_of = arena.make<uint32_t>(total + 1);
  if (!base_of) return std::unexpected(Err::OutOfMemory);
  for (size_t j = 0; j < total; ++j) base_of[j] = rows ? rows[origin[j]] : origin[j];
  rows = base_of;
  join_idx[k] = hit;
  for (int a = 1; a < kAliasSlots; ++a) probed[a] = Probe{};
  base.nrows = total;
  cache.clear();
  return origin;
}

Result<const uint32_t*> Exec::joinIdx(uint8_t k) {
  if (!join_idx[k]) join_idx[k] = TRY(joinRows(k, Sel{nullptr, base.nrows}));
  return join_idx[k];
}

Result<const exec::Table*> Exec::subTable(const Plan& sub, const Tables& tables, uint8_t alias) {
  // Waiting for the filters, or over some rows only: this alias's own.
  const bool own = deferred >> alias & 1;
  if (!own) {
    // A dimension read at several aliases is computed once.
    for (const SubTable& s : sub_tables)
      if (s.plan == &sub) return s.table;
  }
  const Sel none{kNullRow, 0};
  const Sel* within = own ? (sub_within ? sub_within : &none) : nullptr;
  exec::Result r = TRY(execute(arena, sub, tables, diag, nullptr, within));
  auto* t = arena.make<exec::Table>(1);
  if (!t) return std::unexpected(Err::OutOfMemory);
  *t = exec::Table{r.names, r.cols, r.nrows, {}};
  if (!own) TRY(sub_tables.push(arena, SubTable{&sub, t}));
  return t;
}

uint32_t Exec::deferrableSubs() const {
  // A plan grouped by the key of its own table's rows: the answer for a
  // key reads that key's rows only. Of a composite key, the rows holding
  // a first part left are read: more than needed, never fewer.
  uint32_t out = 0, parents = 0;
  for (const Join& j : plan.joins) {
    parents |= 1u << j.parent;
    const Plan* s = j.sub;
    if (!s || j.alias >= kAliasSlots || j.left.empty() || s->dims.size() != j.left.size() ||
        s->dims[0].b.alias != 0 || s->dims[0].grain || s->fanned || !s->derived.empty())
      continue;
    out |= 1u << j.alias;
  }
  return out & ~parents;
}

Result<void> Exec::subAnswers(const Tables& tables, Sel sel) {
  for (const Join& j : plan.joins) {
    if (j.alias >= kAliasSlots || !(deferred >> j.alias & 1)) continue;
    const uint8_t k = j.alias;
    const JoinStep& st = steps[k];
    // The keys of the rows left: a bit each over their range. With every
    // row of the table left, every key is likely to be.
    std::optional<Sel> within;
    if (!(sel.all() && !rows) && st.ready && intKind(st.lk) && !st.lk.scalar) {
      const uint32_t* up = j.parent ? TRY(joinRows(j.parent, sel)) : nullptr;
      auto parentRow = [&](size_t i) {
        if (j.parent) return up[i];
        const uint32_t pos = sel.at(i);
        return rows ? rows[pos] : pos;
      };
      const int64_t* lv = st.lk.data.ints;
      int64_t lo = INT64_MAX, hi = INT64_MIN;
      for (size_t i = 0; i < sel.n; ++i) {
        const uint32_t p = parentRow(i);
        if (p == kMissingRow || st.lk.isNull(p)) continue;
        lo = lv[p] < lo ? lv[p] : lo;
        hi = lv[p] > hi ? lv[p] : hi;
      }
      const uint64_t range = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
      const exec::Table* sb = tables.find(j.sub->table);
      if (sb && (lo > hi || range < (uint64_t{1} << 32))) {
        const size_t words = lo > hi ? 1 : range / 64 + 1;
        uint64_t* bits = arena.make<uint64_t>(words);
        if (!bits) return std::unexpected(Err::OutOfMemory);
        std::memset(bits, 0, words * sizeof(uint64_t));
        for (size_t i = 0; i < sel.n; ++i) {
          const uint32_t p = parentRow(i);
          if (p == kMissingRow || st.lk.isNull(p)) continue;
          const uint64_t d = static_cast<uint64_t>(lv[p]) - static_cast<uint64_t>(lo);
          bits[d >> 6] |= uint64_t{1} << (d & 63);
        }
        // The sub-plan's rows holding one of them.
        Exec sx(arena, diag, *j.sub, *sb);
        Vec key = TRY(sx.evalBound(j.sub->dims[0].b));
        // Dates meet timestamps as the instants of their midnights, as the
        // join itself compares them.
        if (key.kind == Kind::date && st.lk.kind == Kind::timestamp) key = TRY(asTimestamps(*this, key));
        if (intKind(key) && !key.scalar) {
          uint32_t* idx = arena.make<uint32_t>(sb->nrows + 1);
          if (!idx) return std::unexpected(Err::OutOfMemory);
          size_t m = 0;
          const int64_t* kv = key.data.ints;
          for (size_t r = 0; r < sb->nrows; ++r) {
            const uint64_t d = static_cast<uint64_t>(kv[r]) - static_cast<uint64_t>(lo);
            idx[m] = static_cast<uint32_t>(r);
            m += !key.isNull(r) && d <= range && lo <= hi && (bits[d >> 6] >> (d & 63) & 1);
          }
          // Most rows kept: reading them all is cheaper than through a list.
          if (m * 2 <= sb->nrows) within = Sel{idx, m};
        }
      }
    }
    // Whatever was found of the empty table goes.
    probed[k] = Probe{};
    join_idx[k] = nullptr;
    size_t kept = 0;
    for (size_t c = 0; c < cache.size(); ++c)
      if (cache[c].alias != k) cache[kept++] = cache[c];
    cache.len = kept;
    // Over every row, the answers are those of any alias that asks.
    if (!within) deferred &= ~(1u << k);
    sub_within = within ? &*within : nullptr;
    auto built = buildJoins(tables, 1u << k);
    sub_within = nullptr;
    deferred &= ~(1u << k);
    TRY(std::move(built));
  }
  return {};
}

Result<void> Exec::buildJoins(const Tables& tables, uint32_t only) {
  uint32_t used = plan.usedAliases() & only;
  for (const Join& j : plan.joins) {
    if (j.alias >= kAliasSlots || !(used >> j.alias & 1)) continue;
    const exec::Table* t = j.sub ? TRY(subTable(*j.sub, tables, j.alias)) : tables.find(j.table);
    if (!t) return diag.fail(Err::UnknownModel, {"table '", j.table, "' is not bound"});
    right[j.alias] = *t;
    // The right key sees only the right table: a frame of its own with
    // that table as its base. A join through a joined model reads its left
    // key over the parent's table, once per parent row, not per base row.
    Exec rx(arena, diag, plan, *t);
    const bool nested = j.parent != 0;
    // Filled once the frame holds positions of its own (a join waiting
    // for the filters), a join from the base table still reads its left
    // key per base table row, as look-ups do.
    exec::Table whole = base;
    whole.nrows = base_rows;
    const exec::Table& parent = nested ? *right[j.parent] : whole;
    Exec px(arena, diag, plan, parent);
    const size_t nkeys = j.left.size();
    if (nkeys == 0) {
      // One row (a measure over a whole table), every parent row's match.
      const size_t pn = nested ? parent.nrows : base_rows;
      uint32_t* zero = arena.make<uint32_t>(pn + 1);
      if (!zero) return std::unexpected(Err::OutOfMemory);
      std::memset(zero, 0, (pn + 1) * sizeof(uint32_t));
      steps[j.alias] = JoinStep{};
      steps[j.alias].idx = zero;
      steps[j.alias].parent = j.parent;
      steps[j.alias].ready = true;
      continue;
    }
    Vec* lks = arena.make<Vec>(nkeys + 1);
    Vec* rks = arena.make<Vec>(nkeys + 1);
    if (!lks || !rks) return std::unexpected(Err::OutOfMemory);
    for (size_t k = 0; k < nkeys; ++k) {
      rks[k] = TRY(rx.evalBound(Bound{j.right[k].e, 0}));
      lks[k] = nested || rows ? TRY(px.evalBound(Bound{j.left[k].e, 0})) : TRY(evalBound(j.left[k]));
      if (!(intKind(lks[k]) && intKind(rks[k])) && !(lks[k].kind == Kind::str && rks[k].kind == Kind::str))
        return diag.fail(Err::Invalid, {"join keys have incompatible types"});
      // Other integer kinds meet as stored numbers.
      if (lks[k].kind == Kind::date && rks[k].kind == Kind::timestamp) lks[k] = TRY(asTimestamps(*this, lks[k]));
      if (rks[k].kind == Kind::date && lks[k].kind == Kind::timestamp) rks[k] = TRY(asTimestamps(*this, rks[k]));
    }
    TRY(dropFailing(*this, rx, j.where, {rks, nkeys}));
    // The right key's map is built here, with the checks that it is
    // unique; each parent row is looked up only when a step first needs it.
    JoinStep& st = steps[j.alias];
    st = JoinStep{};
    st.parent = j.parent;
    uint32_t* next = nullptr;
    if (j.many) {
      // Rows without a live key are in no chain.
      next = arena.make<uint32_t>(t->nrows + 1);
      if (!next) return std::unexpected(Err::OutOfMemory);
      std::memset(next, 0xFF, (t->nrows + 1) * sizeof(uint32_t));
      st.next = next;
    }
    if (nkeys > 1)
      st.comp = TRY(compositeKey(*this, {lks, nkeys}, {rks, nkeys}, t->nrows, parent.nrows, next));
    else if (intKind(lks[0]))
      st.ints = next || j.sub ? TRY(intKeyMap(*this, rks[0], t->nrows, next)) : TRY(keptKeyMap(*this, j, *t, rx, rks[0]));
    else
      st.strs = TRY(strKeyMap(*this, rks[0], t->nrows, next));
    st.lk = lks[0];
    if (st.strs) TRY(codedKey(*this, nested ? px : *this, j.left[0].e, st));
    st.ready = true;
  }
  return {};
}

}  // namespace quendra
