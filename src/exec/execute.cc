// One query in memory, as a pipeline: joins built, kinds checked, rows
// selected (expanded through many-joins), settled into a frame of their
// own when few, grouped (the form of each grouping dimension chosen in
// chooseGrouping), aggregated (the measures that share the grouping pass
// there, every other model's in a pass of its own over its own rows,
// merged by group), output columns, measures derived along time, group
// filter, ordering, limit and the final gather, always in that order; the
// first failure ends it.
#include <algorithm>
#include <cstring>
#include <new>

#include "exec/exec.h"
#include "exec/group.h"
#include "exec/order.h"
#include "vec/time.h"

namespace quendra {
namespace {

Result<Vec> gathered(Exec& ex, const Vec& v, std::span<const uint32_t> idx) {
  auto out = gather(ex.arena, v, idx);
  if (!out) return std::unexpected(ex.lift(out.error()));
  return *out;
}

// A row list for the groups of sel; every entry of a "keep all" selection.
Result<std::span<uint32_t>> materialise(Arena& arena, Sel s) {
  uint32_t* out = arena.make<uint32_t>(s.n);
  if (!out) return std::unexpected(Err::OutOfMemory);
  for (size_t k = 0; k < s.n; ++k) out[k] = s.at(k);
  return std::span<uint32_t>(out, s.n);
}

bool plainBase(const Bound& b) { return b.alias == 0 && b.e.count == 1 && b.e[b.e.root].tag == Tag::ident; }

// True when a step after the filters computes something per row: an
// expression, a joined column, a measure's filters or a time grain (but
// that of a lone time dimension at a day or coarser, which grouping
// numbers from the stored values).
bool computesPerRow(const Plan& plan, const bool* needed, bool timed) {
  if (timed) return true;
  for (const Dim& d : plan.dims) {
    const bool lone_days = plan.dims.size() == 1 && d.grain && grainRank(*d.grain) >= grainRank(Grain::day);
    if ((d.grain && !lone_days) || !plainBase(d.b)) return true;
  }
  for (size_t i = 0; i < plan.measures.size(); ++i) {
    if (!needed[i] || plan.measures[i].def.tag != MeasureDef::Tag::agg) continue;
    const Agg& a = plan.measures[i].def.agg;
    if (!a.filters.empty() || (a.arg && !plainBase(*a.arg))) return true;
  }
  return false;
}

// Kinds whose values export hands over as they are stored.
bool sharedKind(Kind k) { return k == Kind::int_ || k == Kind::timestamp || k == Kind::float_; }

// The filters over sel, and the joins to answers per key that wait
// (Exec::deferred) filled between those that read none of them and the
// others.
Result<Sel> narrowFilling(Exec& ex, const Tables& tables, std::span<const Pred> where, Sel sel) {
  if (!ex.deferred) return ex.narrowList(where, sel);
  const size_t nw = where.size();
  Pred* early = ex.arena.make<Pred>(nw + 1);
  Pred* late = ex.arena.make<Pred>(nw + 1);
  if (!early || !late) return std::unexpected(Err::OutOfMemory);
  size_t ne = 0, nl = 0;
  for (const Pred& p : where) (predAliases(p) & ex.deferred ? late[nl++] : early[ne++]) = p;
  sel = TRY(ex.narrowList({early, ne}, sel));
  TRY(ex.subAnswers(tables, sel));
  return ex.narrowList({late, nl}, sel);
}

// Row selection across many-joins: the filters that read no many-join
// first, then the frame expanded through the many-joins the query's rows
// pass through, then the other filters over the expanded rows.
Result<Sel> fanOut(Exec& ex, const Tables& tables, Sel sel) {
  const Plan& plan = ex.plan;
  uint32_t below = 0;  // aliases under a many-join of the frame
  for (const Join& j : plan.joins)
    if ((plan.fan >> j.alias & 1) || (below >> j.parent & 1)) below |= 1u << j.alias;
  const size_t nw = plan.where.size();
  Pred* flat = ex.arena.make<Pred>(nw + 1);
  Pred* rest = ex.arena.make<Pred>(nw + 1);
  if (!flat || !rest) return std::unexpected(Err::OutOfMemory);
  size_t nf = 0, nr = 0;
  // Joins to answers per key are filled once the rows are expanded; a
  // filter reading one waits until then (reading a row's copies instead).
  for (const Pred& p : plan.where) (predAliases(p) & (below | ex.deferred) ? rest[nr++] : flat[nf++]) = p;
  sel = TRY(ex.narrowList({flat, nf}, sel));
  if (!sel.all()) TRY(ex.compact(sel));
  // In the order of the joins' paths (a join before those below it), not
  // of their aliases, which follow the order the query names them in: the
  // rows, and so the groups, come out the same however it names them.
  uint8_t order[kAliasSlots];
  int n = 0;
  for (uint32_t a = plan.fan; a; a &= a - 1) {
    const uint8_t k = static_cast<uint8_t>(__builtin_ctz(a));
    int i = n++;
    for (; i > 0 && plan.joins[k - 1].path < plan.joins[order[i - 1] - 1].path; --i) order[i] = order[i - 1];
    order[i] = k;
  }
  for (int i = 0; i < n; ++i) TRY(ex.expand(order[i]));
  return narrowFilling(ex, tables, {rest, nr}, Sel{nullptr, ex.base.nrows});
}

// The aggregates marked in `per` (those that do not share the grouping
// pass), each model's over its own rows: the frame as grouped when it
// reaches them, else a copy of it expanded through the further many-joins
// on the way to the model, each new position in the group of the position
// it came from.
Result<void> aggregatePerModel(Exec& ex, const bool* per) {
  const Plan& plan = ex.plan;
  const size_t nm = plan.measures.size();
  for (uint8_t over = 0; over < kAliasSlots; ++over) {
    bool any = false;
    for (size_t i = 0; i < nm; ++i) any |= per[i] && plan.measures[i].over == over;
    if (!any) continue;
    const uint32_t further = over ? plan.manyAbove(over) & ~plan.fan : 0;
    Exec px = ex.fork();
    if (further && ex.sel.n) {
      const uint32_t* gid = ex.gid;
      for (uint32_t a = further; a; a &= a - 1) {
        const uint32_t* origin = TRY(px.expand(static_cast<uint8_t>(__builtin_ctz(a))));
        uint32_t* moved = ex.arena.make<uint32_t>(px.base.nrows + 1);
        if (!moved) return std::unexpected(Err::OutOfMemory);
        for (size_t j = 0; j < px.base.nrows; ++j) moved[j] = gid ? gid[origin[j]] : 0;
        gid = moved;
      }
      px.gid = gid;
      px.sel = Sel{nullptr, px.base.nrows};
      px.group_sizes = nullptr;
    }
    for (size_t i = 0; i < nm; ++i) {
      const Measure& m = plan.measures[i];
      if (!per[i] || m.over != over) continue;
      const std::optional<Vec> arg = TRY(px.aggArg(m.def.agg));
      ex.measure_vals[i] = TRY(px.aggregateOver(m.def.agg, arg ? &*arg : nullptr, over));
    }
  }
  return {};
}

// Totals: their bases aggregated once more over the same rows, grouped by
// the dimensions of their partition (none: one group), in a frame of its
// own, once for all the totals that share a partition; each of the query's
// groups takes the value of its first row's partition. A base that the
// query's own measures would aggregate apart (a joined model's, or any
// once many-joins repeat rows) is aggregated apart here too, over the
// partitions' rows, so that each row of its model counts once per
// partition.
Result<void> aggregateTotals(Exec& ex, const Groups& groups, const bool* needed) {
  const Plan& plan = ex.plan;
  const size_t nm = plan.measures.size();
  for (size_t ti = 0; ti < plan.totals.size(); ++ti) {
    const uint64_t mask = plan.measures[plan.totals[ti]].def.total.mask;
    // The first needed total of each partition takes every total of it.
    bool first = needed[plan.totals[ti]];
    for (size_t tj = 0; first && tj < ti; ++tj)
      first = !(needed[plan.totals[tj]] && plan.measures[plan.totals[tj]].def.total.mask == mask);
    if (!first) continue;
    Exec px = ex.fork();
    px.out = nullptr;
    px.out_dims = nullptr;
    px.out_measures = nullptr;
    px.keep_gid = true;
    px.need_first = false;
    // Nothing of the query's own grouping carries over.
    px.gid = nullptr;
    px.group_sizes = nullptr;
    px.ngroups = 0;
    px.measure_vals = ex.arena.make<std::optional<Vec>>(nm);
    auto* args = ex.arena.make<std::optional<Vec>>(nm);
    bool* only = ex.arena.make<bool>(nm);
    bool* per = ex.arena.make<bool>(nm);
    Vec* dims = ex.arena.make<Vec>(plan.dims.size() + 1);
    if (!px.measure_vals || !args || !only || !per || !dims) return std::unexpected(Err::OutOfMemory);
    for (size_t i = 0; i < nm; ++i) {
      new (&px.measure_vals[i]) std::optional<Vec>();
      new (&args[i]) std::optional<Vec>();
      only[i] = false;
      per[i] = false;
    }
    bool apart = false;
    for (size_t tj = ti; tj < plan.totals.size(); ++tj) {
      const Total& x = plan.measures[plan.totals[tj]].def.total;
      if (!needed[plan.totals[tj]] || x.mask != mask || only[x.base_index] || per[x.base_index]) continue;
      if (plan.measures[x.base_index].over != 0 || plan.fanned) {
        per[x.base_index] = apart = true;
        continue;
      }
      only[x.base_index] = true;
      args[x.base_index] = TRY(px.aggArg(plan.measures[x.base_index].def.agg));
    }
    size_t k = 0;
    for (size_t i = 0; i < plan.dims.size(); ++i) {
      if (!(mask >> i & 1)) continue;
      const Dim& d = plan.dims[i];
      dims[k] = TRY(px.evalBound(d.b));
      if (d.grain) {
        auto tr = truncateVec(ex.arena, *d.grain, dims[k], plan.periodStart(*d.grain, d.fiscal));
        if (!tr) return std::unexpected(ex.lift(tr.error()));
        dims[k] = *tr;
      }
      ++k;
    }
    TRY(px.groupAndAggregate({dims, k}, ex.sel, only, args, nullptr, nullptr));
    if (apart) TRY(aggregatePerModel(px, per));
    // Each group's partition, by its first row's place in the selection.
    uint32_t* part = ex.arena.make<uint32_t>(groups.ngroups + 1);
    if (!part) return std::unexpected(Err::OutOfMemory);
    const Sel sel = ex.sel;
    for (size_t g = 0; g < groups.ngroups; ++g) {
      const uint32_t pos = groups.first[g];
      if (!k || !px.gid || pos == kMissingRow) {
        part[g] = 0;
        continue;
      }
      const size_t ord = sel.all() ? pos : static_cast<size_t>(std::lower_bound(sel.idx, sel.idx + sel.n, pos) - sel.idx);
      part[g] = px.gid[ord];
    }
    for (size_t tj = ti; tj < plan.totals.size(); ++tj) {
      const uint32_t t = plan.totals[tj];
      const Total& x = plan.measures[t].def.total;
      if (needed[t] && x.mask == mask)
        ex.measure_vals[t] = TRY(gathered(ex, *px.measure_vals[x.base_index], {part, groups.ngroups}));
    }
  }
  return {};
}

// Whether positions a and b of v hold the same value, nulls alike.
bool sameAt(const Vec& v, uint32_t a, uint32_t b) {
  const bool na = v.isNull(a), nb = v.isNull(b);
  if (na || nb) return na && nb;
  return orderAt(v, v.scalar ? 0 : a, v.scalar ? 0 : b) == Ord::eq;
}

// Ranks: each group's place among the groups of its partition (by the
// rank's dimensions) in the order of the ranked measure, nulls last, ties
// sharing a rank and the next leaving a gap; over every group, before
// filters on measures.
Result<void> rankGroups(Exec& ex, const Vec* cols, size_t ngroups, const bool* needed) {
  const Plan& plan = ex.plan;
  for (uint32_t r : plan.ranks) {
    if (!needed[r]) continue;
    const Rank& x = plan.measures[r].def.rank;
    Vec* keys = ex.arena.make<Vec>(plan.dims.size() + 1);
    Order* order = ex.arena.make<Order>(plan.dims.size() + 1);
    uint32_t* list = ex.arena.make<uint32_t>(ngroups + 1);
    int64_t* rank = ex.arena.make<int64_t>(ngroups + 1);
    if (!keys || !order || !list || !rank) return std::unexpected(Err::OutOfMemory);
    uint32_t k = 0;
    for (size_t i = 0; i < plan.dims.size(); ++i)
      if (x.mask >> i & 1) {
        keys[k] = cols[i];
        order[k] = Order{k, false};
        ++k;
      }
    keys[k] = TRY(ex.measureVec(x.base_index, 0));
    order[k] = Order{k, x.desc};
    for (size_t g = 0; g < ngroups; ++g) list[g] = static_cast<uint32_t>(g);
    TRY(sortGroups(ex.arena, SortCtx{{keys, size_t{k} + 1}, {order, size_t{k} + 1}}, {list, ngroups}));
    size_t start = 0;
    for (size_t j = 0; j < ngroups; ++j) {
      bool same = j > 0;
      for (uint32_t p = 0; same && p < k; ++p) same = sameAt(keys[p], list[j - 1], list[j]);
      if (!same) start = j;
      rank[list[j]] = same && sameAt(keys[k], list[j - 1], list[j]) ? rank[list[j - 1]]
                                                                     : static_cast<int64_t>(j - start + 1);
    }
    ex.measure_vals[r] = column(Kind::int_, ngroups, nullptr, intData(rank));
  }
  return {};
}

// Row selection: each predicate narrows the ascending selection; across
// many-joins, through the expanded rows. Measures derived along time read
// rows before the query's range too: the range then selects from the
// earliest instant they read, and is left in *ranged to mark the query's
// own rows apart once the rows are settled.
Result<Sel> selectRows(Exec& ex, const Tables& tables, bool timed, const Pred** ranged, const Sel* within) {
  const Plan& plan = ex.plan;
  Sel sel = within ? *within : Sel{nullptr, ex.base.nrows};
  // No row to read: the filters' kinds are checked, and they keep none.
  if (within && within->n == 0) return sel;
  if (plan.fanned) return fanOut(ex, tables, sel);
  if (!timed) return narrowFilling(ex, tables, plan.where, sel);
  // The range first: it keeps a span of days, often a small share of the
  // rows, read through zones and 16-bit days; the other filters then read
  // only its rows, in the order an untimed query's take.
  Pred* rest = ex.arena.make<Pred>(plan.where.size() + 1);
  if (!rest) return std::unexpected(Err::OutOfMemory);
  size_t nr = 0;
  for (const Pred& p : plan.where) {
    if (p.tag != Pred::Tag::range) {
      rest[nr++] = p;
      continue;
    }
    ex.range_from = TRY(ex.widenedStart(p.range));
    // Measures that read no row before the range (a running total that
    // resets at the range's start) leave every selected row the query's
    // own, with nothing to mark apart.
    if (*ex.range_from != *parseTimestamp(p.range.start)) *ranged = &p;
    auto widened = ex.narrow(p, sel);
    ex.range_from.reset();
    sel = TRY(std::move(widened));
  }
  return ex.narrowList({rest, nr}, sel);
}

// Once filters have left few rows, everything after them (dimensions,
// arguments, measure filters) works on those rows alone: columns are read
// through the selection instead of evaluated for every row. Plain columns
// of the base table are read through the selection anyway, so for them
// alone it pays only when very few rows are left (`per_row`: something is
// computed per row). Rows repeated by many-joins are always settled, so
// that later passes can expand them further.
// With no row left, one row of nulls stands in, selected by nothing.
// One unbroken run of rows (a window over a table stored in time order)
// reads through the selection as cheaply as from a copy.
Result<Sel> settle(Exec& ex, Sel sel, bool per_row) {
  const size_t n = ex.base.nrows;
  const size_t few = per_row ? n / 2 : n / 8;
  const bool run = !sel.all() && sel.n && sel.idx[sel.n - 1] - sel.idx[0] == sel.n - 1;
  if (sel.all() || !(ex.plan.fanned || (sel.n <= few && n && !(run && !per_row)))) return sel;
  const Sel rows = sel.n ? sel : Sel{kNullRow, 1};
  TRY(ex.compact(rows));
  return sel.n ? Sel{nullptr, sel.n} : Sel{kNullRow, 0};
}

}  // namespace

Result<exec::Result> execute(Arena& arena, const Plan& plan, const Tables& tables, Diag& diag, Arena* out,
                             const Sel* within) {
  const exec::Table* base = tables.find(plan.table);
  if (!base) return diag.fail(Err::UnknownModel, {"table '", plan.table, "' is not bound"});
  Exec ex(arena, diag, plan, *base);
  // Answers per key wait for the filters, which usually leave few keys;
  // not where time reads rows before the range.
  if (plan.derived.empty()) ex.deferred = ex.deferrableSubs();
  TRY(ex.buildJoins(tables));
  const size_t nm = plan.measures.size();
  bool* needed = arena.make<bool>(nm);
  if (!needed) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < nm; ++i) needed[i] = false;
  for (uint32_t i : plan.selected) markNeeded(plan, i, needed);
  for (const Pred& p : plan.having) markPred(plan, p, needed);
  // Faults of kinds and literals first: they must not hang on the data.
  TRY(ex.checkKinds(needed));
  // Measures of joined models aggregate their own rows, once each per
  // group, after grouping has numbered every selected row's group; so do
  // all measures once many-joins repeat rows.
  bool* own = arena.make<bool>(nm);
  bool* per = arena.make<bool>(nm);
  if (!own || !per) return std::unexpected(Err::OutOfMemory);
  const bool fanned = plan.fanned;
  bool joined = false;
  for (size_t i = 0; i < nm; ++i) {
    own[i] = needed[i] && plan.measures[i].over == 0 && !fanned;
    per[i] = needed[i] && !own[i] && plan.measures[i].def.tag == MeasureDef::Tag::agg;
    joined |= per[i];
  }

  const bool timed = !plan.derived.empty();
  ex.keep_gid = timed || joined;
  std::optional<Vec> in_range;
  const Pred* ranged = nullptr;
  Sel sel = TRY(selectRows(ex, tables, timed, &ranged, within));
  ex.measure_vals = arena.make<std::optional<Vec>>(nm);
  auto* args = arena.make<std::optional<Vec>>(nm);
  if (!ex.measure_vals || !args) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < nm; ++i) {
    new (&ex.measure_vals[i]) std::optional<Vec>();
    new (&args[i]) std::optional<Vec>();
  }
  sel = TRY(settle(ex, sel, computesPerRow(plan, needed, timed)));
  // The query's own rows, marked over the settled positions: often far
  // fewer than the table's rows.
  if (ranged) in_range = TRY(ex.rangeMask(*ranged));

  // How the rows are grouped: the grouping dimensions in the form that
  // numbers them cheapest, chosen in one place from what is known of them.
  Grouping& g = *TRY(ex.chooseGrouping(timed));

  // Aggregate arguments, evaluated and checked in measure order.
  for (size_t i = 0; i < nm; ++i) {
    if (!own[i] || plan.measures[i].def.tag != MeasureDef::Tag::agg) continue;
    args[i] = TRY(ex.aggArg(plan.measures[i].def.agg));
    // The query's own measures count only the rows of its range.
    if (in_range) args[i] = TRY(ex.keepOnly(args[i], *in_range));
  }

  // Unordered and unfiltered, the groups come out in the order they are
  // numbered, so accumulators and keys can be written where the result
  // will own them.
  const bool own_keys = g.ownKeys();
  if (out && plan.order.empty() && plan.having.empty() && !timed) {
    bool* out_dims = arena.make<bool>(g.nk);
    bool* out_measures = arena.make<bool>(nm);
    if (!out_dims || !out_measures) return std::unexpected(Err::OutOfMemory);
    for (size_t i = 0; i < g.nk; ++i)
      out_dims[i] = own_keys && g.coded[i] == Grouping::Coded::no && !g.is_lazy && sharedKind(g.dims[i].kind);
    for (size_t i = 0; i < nm; ++i) out_measures[i] = false;
    for (uint32_t i : plan.selected) out_measures[i] = own[i];
    ex.out = out;
    ex.out_dims = out_dims;
    ex.out_measures = out_measures;
  }
  ex.need_first = !own_keys || !plan.totals.empty();
  for (size_t i = 0; i < plan.dims.size(); ++i) ex.need_first |= g.dep[i];
  Groups groups = TRY(ex.groupAndAggregate(g.by, sel, own, args, g.is_lazy ? &g.lazy : nullptr, g.stats));
  if (joined) TRY(aggregatePerModel(ex, per));
  TRY(aggregateTotals(ex, groups, needed));

  // Output columns at group level: dimensions at each group's first row,
  // then the selected measures.
  const size_t nd = plan.dims.size();
  const size_t nout = plan.outCount();
  Vec* cols = arena.make<Vec>(nout);
  if (!cols) return std::unexpected(Err::OutOfMemory);
  TRY(ex.keyColumns(g, groups, cols));
  Sel kept{nullptr, groups.ngroups};
  if (timed) {
    uint8_t* answered = in_range ? arena.make<uint8_t>(groups.ngroups) : nullptr;
    if (in_range && !answered) return std::unexpected(Err::OutOfMemory);
    TRY(ex.deriveMeasures({cols, nd}, in_range ? &*in_range : nullptr, answered));
    if (answered) kept = TRY(keepTrue(ex, kept, column(Kind::bool_, groups.ngroups, nullptr, boolData(answered)),
                                      groups.ngroups));
  }
  TRY(rankGroups(ex, cols, groups.ngroups, needed));
  for (size_t j = 0; j < plan.selected.size(); ++j) cols[nd + j] = TRY(ex.measureVec(plan.selected[j], 0));

  for (const Pred& p : plan.having) {
    Vec mask = TRY(ex.evalPred(p));
    kept = TRY(keepTrue(ex, kept, mask, groups.ngroups));
  }
  size_t nrows = kept.n;
  if (plan.limit && *plan.limit < nrows) nrows = static_cast<size_t>(*plan.limit);
  // Unordered and unfiltered, the groups are already in output order: each
  // column is cut to nrows where it lies, not copied.
  bool in_place = plan.order.empty() && kept.all();
  for (size_t i = 0; i < nout; ++i) in_place &= !cols[i].scalar;
  if (in_place) {
    for (size_t i = 0; i < nout; ++i) cols[i].len = nrows;
    return exec::Result{plan.out_names, {cols, nout}, nrows};
  }
  std::span<uint32_t> order = TRY(materialise(arena, kept));
  if (!plan.order.empty()) TRY(sortGroups(arena, SortCtx{{cols, nout}, plan.order}, order, nrows));

  // Columns that export hands over as they are go straight where it will.
  for (size_t i = 0; i < nout; ++i) {
    auto g = gather(out && sharedKind(cols[i].kind) ? *out : arena, cols[i], order.first(nrows));
    if (!g) return std::unexpected(ex.lift(g.error()));
    cols[i] = *g;
  }
  return exec::Result{plan.out_names, {cols, nout}, nrows};
}

}  // namespace quendra
