// Dimensions that other dimensions determine. A joined table's row is a
// function of its join's key, so once a grouping dimension is that key
// (the left key column, or the joined table's unique right key column),
// every plain column of that table, and of the tables joined from it, is
// the same throughout a group: grouping leaves those out and reads them
// once per group.
#include "exec/exec.h"
#include "exec/group.h"

namespace quendra {
namespace {

bool isPlainColumn(const Bound& b) { return b.e.count == 1 && b.e[b.e.root].tag == Tag::ident; }

Bytes nameOf(const Bound& b) { return b.e[b.e.root].text; }

}  // namespace

void Exec::markDetermined(bool timed, bool* dep) const {
  const size_t nd = plan.dims.size();
  for (size_t i = 0; i < nd; ++i) dep[i] = false;
  if (timed || nd < 2) return;
  // A plain column that exists in its table: reading it cannot fail, so
  // reading it later changes no reported fault.
  auto plain = [&](const Dim& d) {
    if (d.grain || !isPlainColumn(d.b) || d.b.alias >= kAliasSlots) return false;
    const exec::Table* t = d.b.alias == 0 ? &base : right[d.b.alias] ? &*right[d.b.alias] : nullptr;
    if (!t || (d.b.alias != 0 && !steps[d.b.alias].ready)) return false;
    for (const Bytes& n : t->names)
      if (n == nameOf(d.b)) return true;
    return false;
  };
  // The joins whose row the dimension's value fixes.
  auto fixes = [&](const Dim& d, const Join& j) {
    if (j.alias >= kAliasSlots || !steps[j.alias].ready || j.left.size() != 1) return false;
    if (d.b.alias == j.parent && isPlainColumn(j.left[0]) && nameOf(j.left[0]) == nameOf(d.b)) return true;
    return d.b.alias == j.alias && isPlainColumn(j.right[0]) && nameOf(j.right[0]) == nameOf(d.b);
  };
  bool fixed[kAliasSlots] = {};
  auto take = [&](const Dim& d) {
    for (const Join& j : plan.joins)
      if (fixes(d, j)) fixed[j.alias] = true;
    for (const Join& j : plan.joins)  // parents come first
      if (j.alias < kAliasSlots && j.parent != 0 && fixed[j.parent]) fixed[j.alias] = true;
  };
  auto anchors = [&](const Dim& d) {
    for (const Join& j : plan.joins)
      if (fixes(d, j)) return true;
    return false;
  };
  // Key dimensions first, so that they fix what they can before the rest.
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < nd; ++i) {
      const Dim& d = plan.dims[i];
      if (!plain(d) || anchors(d) != (pass == 0)) continue;
      if (d.b.alias != 0 && fixed[d.b.alias])
        dep[i] = true;
      else
        take(d);
    }
  }
}

const ColStats* Exec::columnStats(const Bound& b, const Vec** col) const {
  if (b.alias >= kAliasSlots || !isPlainColumn(b)) return nullptr;
  if (b.alias != 0 && (!right[b.alias] || !steps[b.alias].ready)) return nullptr;
  const exec::Table& t = b.alias == 0 ? base : *right[b.alias];
  if (t.stats.empty()) return nullptr;
  for (size_t i = 0; i < t.names.size(); ++i) {
    if (t.names[i] != nameOf(b)) continue;
    *col = &t.cols[i];
    return &t.stats[i];
  }
  return nullptr;
}

Result<std::optional<Vec>> Exec::dictCodes(const Bound& b) {
  const Vec* col = nullptr;
  const ColStats* st = columnStats(b, &col);
  if (!st || !st->codes || !st->dict.len) return std::nullopt;
  // The table row each position reads: the frame's own rows, or the join's.
  const uint32_t* at = b.alias == 0 ? rows : TRY(joinIdx(b.alias));
  const uint8_t* vnulls = col->nulls;
  const size_t n = base.nrows;
  int64_t* out = arena.make<int64_t>(n + 1);
  uint8_t* nulls = vnulls || at ? arena.make<uint8_t>(n + 1) : nullptr;
  if (!out || ((vnulls || at) && !nulls)) return std::unexpected(Err::OutOfMemory);
  const uint16_t* __restrict codes = st->codes;
  if (!at && !vnulls) {
    for (size_t i = 0; i < n; ++i) out[i] = codes[i];
  } else {
    for (size_t i = 0; i < n; ++i) {
      const uint32_t r = at ? at[i] : static_cast<uint32_t>(i);
      const bool null = r == kMissingRow || (vnulls && vnulls[r]);
      out[i] = null ? 0 : codes[r];
      nulls[i] = null;
    }
  }
  return std::optional<Vec>(column(Kind::int_, n, nulls, intData(out)));
}

Result<bool> Exec::joinedCodes(const Bound& b, ValueCodes* out) {
  const std::optional<Vec> right = joinedColumn(b);
  // The joined table's values are numbered once; worth it when each is
  // read by several positions, as a dimension table's are.
  if (!right || right->kind != Kind::str || right->scalar || right->len * 4 > base.nrows) return false;
  const Codes rc = TRY(codes(arena, *right, Sel{nullptr, right->len}));
  out->at = TRY(joinIdx(b.alias));
  out->code = rc.codes;
  out->entries = right->len;
  out->width = rc.n;
  return true;
}

Result<Vec> Exec::dictValues(const Bound& b, const Vec& codes) {
  const Vec* col = nullptr;
  const Vec& dict = columnStats(b, &col)->dict;
  uint32_t* idx = arena.make<uint32_t>(codes.len + 1);
  if (!idx) return std::unexpected(Err::OutOfMemory);
  for (size_t g = 0; g < codes.len; ++g)
    idx[g] = codes.isNull(g) ? kMissingRow : static_cast<uint32_t>(codes.intAt(g));
  return liftEval(gather(arena, dict, {idx, codes.len}));
}

Result<Vec> Exec::evalAt(const Bound& b, std::span<const uint32_t> at) {
  // Over no position, one row of nulls is evaluated and none kept.
  const Sel s = at.empty() ? Sel{kNullRow, 1} : Sel{at.data(), at.size()};
  const uint32_t* where = nullptr;
  if (b.alias != 0) {
    where = TRY(joinRows(b.alias, s));
  } else {
    uint32_t* composed = arena.make<uint32_t>(s.n);
    if (!composed) return std::unexpected(Err::OutOfMemory);
    for (size_t i = 0; i < s.n; ++i)
      composed[i] = s.idx[i] == kMissingRow ? kMissingRow : rows ? rows[s.idx[i]] : s.idx[i];
    where = composed;
  }
  Exec sub(arena, diag, plan, b.alias == 0 ? base : *right[b.alias]);
  sub.rows = where;
  sub.base.nrows = s.n;
  Vec v = TRY(sub.evalBound(Bound{b.e, 0}));
  if (at.empty() && !v.scalar) v.len = 0;
  return v;
}

}  // namespace quendra
