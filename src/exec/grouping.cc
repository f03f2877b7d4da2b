// How a query's rows are grouped: which dimensions group them (the others
// are read per group), and the form each takes for grouping to number it
// cheaply: a dictionary's codes, a CASE's branch codes, several
// dictionaries' codes combined into one, a joined column read through its
// join, a time at a day or coarser streamed before truncation, or else its
// values. One place picks the form from what is known of the dimension and
// its column; grouping then numbers whatever it is given.
#include "exec/exec.h"
#include "exec/group.h"
#include "vec/time.h"

namespace quendra {

Result<Grouping*> Exec::chooseGrouping(bool timed) {
  auto* g = arena.make<Grouping>(1);
  const size_t nd = plan.dims.size();
  if (!g) return std::unexpected(Err::OutOfMemory);
  new (g) Grouping();
  g->dep = arena.make<bool>(nd + 1);
  g->key = arena.make<uint32_t>(nd + 1);
  if (!g->dep || !g->key) return std::unexpected(Err::OutOfMemory);
  // Dimensions that others determine are read per group afterwards; not
  // once many-joins repeat rows, where a key fixes no row.
  if (plan.fanned) {
    for (size_t i = 0; i < nd; ++i) g->dep[i] = false;
  } else {
    markDetermined(timed, g->dep);
  }
  size_t nk = 0;
  for (size_t i = 0; i < nd; ++i)
    if (!g->dep[i]) g->key[nk++] = static_cast<uint32_t>(i);
  g->nk = nk;
  g->dims = arena.make<Vec>(nk);
  g->coded = arena.make<Grouping::Coded>(nk);
  g->values = arena.make<ValueCodes>(nk);
  // Per coded dimension, how many codes it takes, a null's included.
  uint64_t* width = arena.make<uint64_t>(nk);
  if (!g->dims || !g->coded || !g->values || !width) return std::unexpected(Err::OutOfMemory);
  using Coded = Grouping::Coded;
  Vec* dims = g->dims;
  for (size_t i = 0; i < nk; ++i) {
    const Dim& d = plan.dims[g->key[i]];
    g->coded[i] = Coded::no;
    if (!d.grain) {
      if (std::optional<Vec> codes = TRY(dictCodes(d.b))) {
        dims[i] = *codes;
        g->coded[i] = Coded::by_dict;
        const Vec* col = nullptr;
        width[i] = columnStats(d.b, &col)->dict.len + 1;
        continue;
      }
    }
    // With other dimensions, a joined table's text is numbered over that
    // table's rows and read through the join as codes, instead of each
    // position's text being gathered and hashed; codes per position only
    // if grouping needs them (below).
    if (nk > 1 && !d.grain && !plan.fanned) {
      new (&g->values[i]) ValueCodes();
      if (TRY(joinedCodes(d.b, &g->values[i]))) {
        g->coded[i] = Coded::by_join;
        width[i] = g->values[i].width;
        continue;
      }
    }
    // An expression over one column of few values (a date's YEAR, a CASE
    // of it, a date at a month's grain): grouped by the codes of its
    // answers, worked out once per value. A lone time dimension streams
    // cheaper still (below).
    const bool streams = d.grain && nk == 1 && !timed && grainRank(*d.grain) >= grainRank(Grain::day);
    if (!streams) {
      new (&g->values[i]) ValueCodes();
      if (TRY(valueCodes(d, &g->values[i]))) {
        g->coded[i] = Coded::by_values;  // codes per position only if grouping needs them (below)
        width[i] = g->values[i].width;
        continue;
      }
    }
    if (nk == 1 && !d.grain && !timed) {
      if (std::optional<Vec> right = joinedColumn(d.b)) {
        g->lazy = LazyDim{LazyDim::Form::joined, &d, nullptr, *right, TRY(joinIdx(d.b.alias)), false};
        g->is_lazy = true;
        continue;
      }
    }
    if (!d.grain) {
      if (std::optional<Vec> codes = TRY(caseCodes(d.b))) {
        dims[i] = *codes;
        g->coded[i] = Coded::by_case;
        width[i] = d.b.e.list(d.b.e[d.b.e.root]).size() / 2 + 1;  // a branch's, or none
        continue;
      }
    }
    if (d.grain && nk == 1 && !timed && grainRank(*d.grain) >= grainRank(Grain::day)) {
      // Wall-clock days of a zone: the instants themselves are keyed (by
      // their local days), and only each group's first converted.
      const Expr& e = d.b.e;
      if (plan.zone && e[e.root].tag == Tag::local && e.root + 1 == e.count) {
        const Bound raw{Expr{e.nodes, e.count - 1, e[e.root].a, e.args}, d.b.alias};
        Vec v = TRY(evalBound(raw));
        if (v.isTemporal() && !v.scalar) {
          const TimeZone* zone = v.kind == Kind::timestamp ? &*plan.zone : nullptr;
          g->lazy = LazyDim{LazyDim::Form::grain, &d, baseStats(raw), v, nullptr, false, zone};
          g->is_lazy = true;
          continue;
        }
      }
    }
    dims[i] = TRY(evalBound(d.b));
    if (d.grain) {
      if (nk == 1 && !timed && grainRank(*d.grain) >= grainRank(Grain::day) && dims[i].isTemporal() &&
          !dims[i].scalar) {
        g->lazy = LazyDim{LazyDim::Form::grain, &d, baseStats(d.b), dims[i], nullptr, false};
        g->is_lazy = true;
        continue;
      }
      auto t = truncateVec(arena, *d.grain, dims[i], plan.periodStart(*d.grain, d.fiscal));
      if (!t) return std::unexpected(lift(t.error()));
      dims[i] = *t;
    }
  }

  // Stats describe the bound column itself, not its values truncated.
  g->by = {dims, nk};
  const Dim* single = nk == 1 ? &plan.dims[g->key[0]] : nullptr;
  size_t dict_len = 0;
  if (single && g->coded[0] == Coded::by_dict) {
    const Vec* col = nullptr;
    dict_len = columnStats(single->b, &col)->dict.len;
  }
  g->stats = single && !single->grain ? baseStats(single->b) : nullptr;
  // Branch codes run from 0 to the number of branches.
  if (single && g->coded[0] != Coded::no) {
    const Expr& e = single->b.e;
    g->range.lo = 0;
    g->range.hi = g->coded[0] == Coded::by_case     ? static_cast<int64_t>(e.list(e[e.root]).size() / 2)
                  : g->coded[0] == Coded::by_values ? static_cast<int64_t>(g->values[0].width) - 1
                                                    : static_cast<int64_t>(dict_len) - 1;
    g->range.known = true;
    g->stats = &g->range;
  }
  // Several dimensions held as codes (dictionaries', joined tables',
  // CASE branches' or answers per value) whose codes combine within 32 bits: grouped as one
  // column of combined codes (a dictionary's null taking a code of its
  // own), which keeps each combination's first appearance; a small range
  // of them is numbered through a direct table.
  bool all_coded = nk >= 2 && !g->is_lazy;
  uint64_t combos = 1;
  for (size_t i = 0; all_coded && i < nk; ++i) {
    all_coded = g->coded[i] != Coded::no;
    if (all_coded) combos *= width[i];
    all_coded &= combos <= (uint64_t{1} << 32);
  }
  if (all_coded) {
    const size_t n = base.nrows;
    int64_t* code = arena.make<int64_t>(n + 1);
    bool* done = arena.make<bool>(nk);
    if (!code || !done) return std::unexpected(Err::OutOfMemory);
    for (size_t r = 0; r < n; ++r) code[r] = 0;
    for (size_t i = 0; i < nk; ++i) done[i] = false;
    for (size_t i = 0; i < nk; ++i) {
      if (done[i]) continue;
      if (g->coded[i] == Coded::by_values) {
        // Dimensions over the same column combine per value of it first,
        // then each position reads its value's combination once.
        const ValueCodes& v = g->values[i];
        int64_t* per = arena.make<int64_t>(v.entries);
        if (!per) return std::unexpected(Err::OutOfMemory);
        for (size_t e = 0; e < v.entries; ++e) per[e] = 0;
        int64_t w = 1;
        for (size_t j = i; j < nk; ++j) {
          if (g->coded[j] != Coded::by_values || g->values[j].at != v.at) continue;
          const int64_t wj = static_cast<int64_t>(width[j]);
          for (size_t e = 0; e < v.entries; ++e) per[e] = per[e] * wj + g->values[j].code[e];
          w *= wj;
          done[j] = true;
        }
        const uint32_t* __restrict at = v.at;
        for (size_t r = 0; r < n; ++r) code[r] = code[r] * w + per[at[r]];
        continue;
      }
      const int64_t w = static_cast<int64_t>(width[i]);
      if (g->coded[i] == Coded::by_join) {
        const uint32_t* __restrict at = g->values[i].at;
        const uint32_t* __restrict rc = g->values[i].code;
        for (size_t r = 0; r < n; ++r) code[r] = code[r] * w + (at[r] == kMissingRow ? 0 : rc[at[r]]);
        continue;
      }
      const int64_t* __restrict c = dims[i].data.ints;
      const uint8_t* nulls = dims[i].nulls;
      for (size_t r = 0; r < n; ++r) code[r] = code[r] * w + (nulls && nulls[r] ? w - 1 : c[r]);
    }
    g->combined = column(Kind::int_, n, nullptr, intData(code));
    g->range.lo = 0;
    g->range.hi = static_cast<int64_t>(combos) - 1;
    g->range.known = true;
    g->stats = combos <= (uint64_t{1} << 20) ? &g->range : nullptr;
    g->by = {&g->combined, 1};
  } else {
    for (size_t i = 0; i < nk; ++i) {
      if (g->coded[i] == Coded::by_values) dims[i] = TRY(valueCodesAt(g->values[i]));
      if (g->coded[i] == Coded::by_join) dims[i] = TRY(valueCodesAt(g->values[i]));
    }
  }
  return g;
}

Result<void> Exec::keyColumns(const Grouping& g, const Groups& groups, Vec* cols) {
  using Coded = Grouping::Coded;
  auto gathered = [&](const Vec& v, std::span<const uint32_t> idx) -> Result<Vec> {
    auto out = gather(arena, v, idx);
    if (!out) return std::unexpected(lift(out.error()));
    return *out;
  };
  const LazyDim& lazy = g.lazy;
  for (size_t i = lazy.streamed ? 1 : 0; i < g.nk; ++i) {
    Vec& c = cols[g.key[i]];
    if (g.coded[i] == Coded::by_join) {
      c = TRY(evalAt(plan.dims[g.key[i]].b, {groups.first, groups.ngroups}));
      continue;
    }
    if (g.coded[i] == Coded::by_values) {
      // Each group's code: the grouping's own key, or read at its first
      // position through the column's values.
      const ValueCodes& v = g.values[i];
      const Vec* keys = groups.keys && g.ownKeys() ? &groups.keys[i] : nullptr;
      uint32_t* idx = arena.make<uint32_t>(groups.ngroups + 1);
      if (!idx) return std::unexpected(Err::OutOfMemory);
      for (size_t k = 0; k < groups.ngroups; ++k)
        idx[k] = keys ? (keys->isNull(k) ? kMissingRow : static_cast<uint32_t>(keys->intAt(k)))
                 : groups.first[k] == kMissingRow ? kMissingRow
                                                   : v.code[v.at[groups.first[k]]];
      c = TRY(gathered(v.values, {idx, groups.ngroups}));
      continue;
    }
    c = groups.keys && g.ownKeys() ? groups.keys[i] : TRY(gathered(g.dims[i], {groups.first, groups.ngroups}));
    if (g.coded[i] == Coded::by_case) c = TRY(caseValues(plan.dims[g.key[i]].b, c));
    if (g.coded[i] == Coded::by_dict) c = TRY(dictValues(plan.dims[g.key[i]].b, c));
  }
  for (size_t i = 0; i < plan.dims.size(); ++i)
    if (g.dep[i]) cols[i] = TRY(evalAt(plan.dims[i].b, {groups.first, groups.ngroups}));
  if (lazy.streamed && lazy.form == LazyDim::Form::joined) {
    // The joined rows of the groups' first rows.
    uint32_t* rows_at = arena.make<uint32_t>(groups.ngroups);
    if (!rows_at) return std::unexpected(Err::OutOfMemory);
    for (size_t k = 0; k < groups.ngroups; ++k)
      rows_at[k] = groups.first[k] == kMissingRow ? kMissingRow : lazy.join[groups.first[k]];
    cols[g.key[0]] = TRY(gathered(lazy.v, {rows_at, groups.ngroups}));
  } else if (lazy.streamed) {
    // Truncating the groups' first values gives each group's period.
    Vec firsts = TRY(gathered(lazy.v, {groups.first, groups.ngroups}));
    if (lazy.zone) firsts = TRY(liftEval(localTime(arena, *lazy.zone, firsts)));
    auto t = truncateVec(arena, *lazy.dim->grain, firsts, plan.periodStart(*lazy.dim->grain, lazy.dim->fiscal));
    if (!t) return std::unexpected(lift(t.error()));
    cols[g.key[0]] = *t;
  }
  return {};
}

}  // namespace quendra
