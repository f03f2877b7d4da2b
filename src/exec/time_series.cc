// Measures derived along the query's time dimension. The query is grouped
// once over the rows they read; each group belongs to a series (its values
// of the other dimensions) and a period (its time value at the grain). A
// derived measure reads its base measure's values of other groups of the
// same series: the one some periods earlier, the ones up to this period, or
// the ones in a trailing window, found through the groups sorted by series
// and period.
#include <algorithm>
#include <cstring>

#include "exec/exec.h"
#include "exec/order.h"
#include "vec/time.h"

namespace quendra {
namespace {

// The groups with a period, sorted by series then period.
struct Series {
  const uint32_t* sid = nullptr;  // per group
  const Vec* period = nullptr;    // per group, a timestamp column
  uint32_t* order = nullptr;
  size_t n = 0;                   // groups in order

  int64_t at(size_t k) const { return period->intAt(order[k]); }
  bool same(size_t a, size_t b) const { return sid[order[a]] == sid[order[b]]; }
};

// What a window over a base measure accumulates: sums (ints wrap, as sums
// do), a count of values, and for min and max the best group.
struct Window {
  const Vec* base;
  AggFn fn;
  const Vec* sums = nullptr;    // mean: per-group sums and counts
  const Vec* counts = nullptr;
  int64_t isum = 0;
  double fsum = 0;
  int64_t seen = 0;             // values added (for mean: the count)
  uint32_t best = kMissingRow;

  void clear() {
    isum = 0;
    fsum = 0;
    seen = 0;
    best = kMissingRow;
  }
  void add(uint32_t g) {
    if (fn == AggFn::mean) {
      if (sums->isNull(g)) return;
      fsum += sums->floatAt(g);
      seen += counts->intAt(g);
      return;
    }
    if (base->isNull(g)) return;
    if (fn == AggFn::min || fn == AggFn::max) {
      // Ties keep the earlier period, as a window's MIN or MAX has one value.
      if (best == kMissingRow || orderAt(*base, g, best) == (fn == AggFn::min ? Ord::lt : Ord::gt)) best = g;
      return;
    }
    if (base->kind == Kind::int_)
      isum = static_cast<int64_t>(static_cast<uint64_t>(isum) + static_cast<uint64_t>(base->intAt(g)));
    else
      fsum += base->floatAt(g);
    ++seen;
  }
};

// Output arrays for one derived measure over n groups, null until set.
struct Out {
  Kind kind;
  int64_t* ints = nullptr;
  double* floats = nullptr;
  uint32_t* rows = nullptr;  // min, max, offset: the group whose value it is
  uint8_t* nulls = nullptr;
};

Result<Out> makeOut(Arena& arena, size_t n, Kind kind, bool by_row) {
  Out o{kind};
  o.nulls = arena.make<uint8_t>(n);
  if (!o.nulls) return std::unexpected(Err::OutOfMemory);
  std::memset(o.nulls, 1, n);
  if (by_row) {
    if (!(o.rows = arena.make<uint32_t>(n))) return std::unexpected(Err::OutOfMemory);
    std::memset(o.rows, 0xFF, n * sizeof(uint32_t));
  } else if (kind == Kind::int_) {
    if (!(o.ints = arena.make<int64_t>(n))) return std::unexpected(Err::OutOfMemory);
    std::memset(o.ints, 0, n * sizeof(int64_t));
  } else {
    if (!(o.floats = arena.make<double>(n))) return std::unexpected(Err::OutOfMemory);
    std::memset(o.floats, 0, n * sizeof(double));
  }
  return o;
}

void store(Out& o, const Window& w, uint32_t g) {
  if (o.rows) {
    o.rows[g] = w.best;
    return;
  }
  if (w.fn == AggFn::mean) {
    o.nulls[g] = w.seen == 0;
    o.floats[g] = w.seen ? w.fsum / static_cast<double>(w.seen) : 0;
    return;
  }
  o.nulls[g] = w.seen == 0;
  if (o.ints)
    o.ints[g] = w.seen ? w.isum : 0;
  else
    o.floats[g] = w.seen ? w.fsum : 0;
}

Result<Vec> finish(Exec& ex, const Out& o, const Vec& base, size_t n) {
  if (o.rows) {
    auto v = gather(ex.arena, base, {o.rows, n});
    if (!v) return std::unexpected(ex.lift(v.error()));
    return *v;
  }
  bool any = false;
  for (size_t g = 0; g < n; ++g) any |= o.nulls[g];
  const uint8_t* nulls = any ? o.nulls : nullptr;
  return o.ints ? column(Kind::int_, n, nulls, intData(o.ints)) : column(Kind::float_, n, nulls, floatData(o.floats));
}

// The first position in [from, to) of s whose period is at least t.
size_t lowerBound(const Series& s, size_t from, size_t to, int64_t t) {
  while (from < to) {
    size_t mid = from + (to - from) / 2;
    if (s.at(mid) < t)
      from = mid + 1;
    else
      to = mid;
  }
  return from;
}

}  // namespace

Result<int64_t> Exec::widenedStart(const Range& r) {
  std::optional<int64_t> start = parseTimestamp(r.start);
  if (!start) return diag.fail(Err::Invalid, {"bad time_range start '", r.start, "'"});
  return quendra::widenedStart(plan, *start);
}

Result<void> Exec::deriveMeasures(std::span<const Vec> dims, const Vec* in_range, uint8_t* answered) {
  const size_t n = ngroups;
  const size_t nm = plan.measures.size();
  // The groups that hold a row of the query's own range.
  if (in_range) {
    std::memset(answered, 0, n);
    for (size_t k = 0; k < sel.n; ++k) {
      const uint32_t r = sel.at(k);
      answered[gid ? gid[k] : 0] |= !in_range->isNull(r) && in_range->boolAt(r);
    }
  }

  // The bases' values over every row read, kept apart from the query's own.
  bool* wide = arena.make<bool>(nm);
  auto* wide_vals = arena.make<std::optional<Vec>>(nm);
  if (!wide || !wide_vals) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < nm; ++i) {
    wide[i] = false;
    new (&wide_vals[i]) std::optional<Vec>();
  }
  for (uint32_t d : plan.derived) markNeeded(plan, *plan.findMeasure(plan.measures[d].def.derived.base), wide);
  for (size_t i = 0; i < nm; ++i) {
    if (!wide[i] || plan.measures[i].def.tag != MeasureDef::Tag::agg) continue;
    const Agg& a = plan.measures[i].def.agg;
    std::optional<Vec> arg = TRY(aggArg(a));
    wide_vals[i] = TRY(aggregate(a, arg ? &*arg : nullptr));
  }

  // Series: the groups numbered by their other dimensions.
  const uint32_t t = plan.time_dim;
  Vec* others = arena.make<Vec>(dims.size());
  if (!others) return std::unexpected(Err::OutOfMemory);
  size_t no = 0;
  for (size_t i = 0; i < dims.size(); ++i)
    if (i != t) others[no++] = dims[i];
  Series s;
  s.period = &dims[t];
  if (no) {
    Groups sg = TRY(groupRows(arena, {others, no}, Sel{nullptr, n}));
    s.sid = sg.gid;
  } else {
    uint32_t* zero = arena.make<uint32_t>(n);
    if (!zero) return std::unexpected(Err::OutOfMemory);
    std::memset(zero, 0, n * sizeof(uint32_t));
    s.sid = zero;
  }
  if (!(s.order = arena.make<uint32_t>(n))) return std::unexpected(Err::OutOfMemory);
  for (uint32_t g = 0; g < n; ++g)
    if (!s.period->isNull(g)) s.order[s.n++] = g;
  std::sort(s.order, s.order + s.n, [&](uint32_t a, uint32_t b) {
    if (s.sid[a] != s.sid[b]) return s.sid[a] < s.sid[b];
    return s.period->intAt(a) < s.period->intAt(b);
  });
  // Where each series starts and ends in the order.
  uint32_t* first = arena.make<uint32_t>(s.n + 1);
  if (!first) return std::unexpected(Err::OutOfMemory);
  for (size_t k = 0; k < s.n; ++k) first[k] = k && s.same(k, k - 1) ? first[k - 1] : static_cast<uint32_t>(k);

  const Grain grain = *plan.dims[t].grain;
  for (uint32_t d : plan.derived) {
    const Derived& x = plan.measures[d].def.derived;
    const uint32_t b = *plan.findMeasure(x.base);
    // The base's value per group: an aggregate, or a calculation over
    // the bases' values rather than the query's own.
    Vec base;
    if (plan.measures[b].def.tag == MeasureDef::Tag::agg) {
      base = *wide_vals[b];
    } else {
      std::optional<Vec>* own = measure_vals;
      measure_vals = wide_vals;
      auto v = measureVec(b, 1);
      measure_vals = own;
      base = TRY(std::move(v));
    }
    if (x.form == Derived::Form::offset) {
      Out o = TRY(makeOut(arena, n, base.kind, true));
      for (size_t k = 0; k < s.n; ++k) {
        const int64_t want = shiftTime(s.at(k), -x.n, x.unit);
        size_t end = k + 1;
        while (end < s.n && s.same(end, k)) ++end;  // this series' end
        const size_t at = lowerBound(s, first[k], end, want);
        if (at < end && s.at(at) == want) o.rows[s.order[k]] = s.order[at];
      }
      measure_vals[d] = TRY(finish(*this, o, base, n));
      continue;
    }
    const Agg& a = plan.measures[b].def.agg;
    Window w{&base, a.func};
    std::optional<Vec> sums, counts;
    if (a.func == AggFn::mean) {
      std::optional<Vec> arg = TRY(aggArg(a));
      Agg sa = a, ca = a;
      sa.func = AggFn::sum;
      ca.func = AggFn::count;
      sums = TRY(aggregate(sa, &*arg));
      counts = TRY(aggregate(ca, &*arg));
      w.sums = &*sums;
      w.counts = &*counts;
    }
    const bool by_row = a.func == AggFn::min || a.func == AggFn::max;
    const Kind kind = a.func == AggFn::mean ? Kind::float_ : base.kind;
    Out o = TRY(makeOut(arena, n, kind, by_row));
    if (x.form == Derived::Form::running) {
      for (size_t k = 0; k < s.n; ++k) {
        const bool restart = k == 0 || !s.same(k, k - 1) ||
                             (x.resets && truncate(x.unit, s.at(k), plan.periodStart(x.unit, x.fiscal)) !=
                                            truncate(x.unit, s.at(k - 1), plan.periodStart(x.unit, x.fiscal)));
        if (restart) w.clear();
        w.add(s.order[k]);
        store(o, w, s.order[k]);
      }
    } else {
      // The periods starting at or after this period's end less the window.
      for (size_t k = 0; k < s.n; ++k) {
        const int64_t from = shiftTime(shiftTime(s.at(k), 1, grain), -x.n, x.unit);
        w.clear();
        for (size_t j = lowerBound(s, first[k], k + 1, from); j <= k; ++j) w.add(s.order[j]);
        store(o, w, s.order[k]);
      }
    }
    measure_vals[d] = TRY(finish(*this, o, base, n));
  }
  return {};
}

}  // namespace quendra
