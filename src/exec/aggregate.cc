// Aggregates: one pass over the selected rows per measure, accumulating
// into dense per-group arrays. The loops are specialised once per call on
// the facts that would otherwise be per-row branches: whether there is a
// row list or every row is selected, whether there is a group array or a
// single group, and whether the argument has nulls.
#include <cstring>

#include "exec/exec.h"
#include "exec/group.h"
#include "exec/keymap.h"
#include "exec/order.h"

namespace quendra {
namespace {

// Calls f(row, group) for every selected row, in selection order.
template <class F>
inline void eachRow(Sel sel, const uint32_t* __restrict gid, F&& f) {
  if (sel.idx) {
    if (gid)
      for (size_t k = 0; k < sel.n; ++k) f(sel.idx[k], gid[k]);
    else
      for (size_t k = 0; k < sel.n; ++k) f(sel.idx[k], 0u);
  } else {
    if (gid)
      for (size_t k = 0; k < sel.n; ++k) f(static_cast<uint32_t>(k), gid[k]);
    else
      for (size_t k = 0; k < sel.n; ++k) f(static_cast<uint32_t>(k), 0u);
  }
}

// As eachRow, skipping rows where v is null and passing v's storage index
// (0 for a scalar) instead of the row.
template <class F>
inline void eachValue(Sel sel, const uint32_t* gid, const Vec& v, F&& f) {
  if (v.scalar) {
    if (v.nulls && v.nulls[0]) return;
    eachRow(sel, gid, [&](uint32_t, uint32_t g) { f(size_t{0}, g); });
  } else if (v.nulls) {
    const uint8_t* __restrict nulls = v.nulls;
    eachRow(sel, gid, [&](uint32_t r, uint32_t g) {
      if (!nulls[r]) f(size_t{r}, g);
    });
  } else {
    eachRow(sel, gid, [&](uint32_t r, uint32_t g) { f(size_t{r}, g); });
  }
}

// Integer sums wrap in two's complement, as the sum is defined; an integer
// added to a float sum is converted first.
inline int64_t add(int64_t s, int64_t x) {
  return static_cast<int64_t>(static_cast<uint64_t>(s) + static_cast<uint64_t>(x));
}
inline double add(double s, int64_t x) { return s + static_cast<double>(x); }
inline double add(double s, double x) { return s + x; }

template <class T>
T* zeroed(Arena& arena, size_t n) {
  T* p = arena.make<T>(n);
  if (p) std::memset(p, 0, n * sizeof(T));
  return p;
}

// Null where a group counted no value; no mask when every group did.
Result<const uint8_t*> emptyGroups(Arena& arena, const int64_t* counts, size_t n) {
  bool any = false;
  for (size_t g = 0; g < n; ++g) any |= counts[g] == 0;
  if (!any) return nullptr;
  uint8_t* mask = arena.make<uint8_t>(n);
  if (!mask) return std::unexpected(Err::OutOfMemory);
  for (size_t g = 0; g < n; ++g) mask[g] = counts[g] == 0;
  return mask;
}

// Rows per group, counted once per query and shared by every count(*),
// every count of a column without nulls, and every sum or mean over one.
Result<const int64_t*> groupSizes(Exec& ex) {
  if (ex.group_sizes) return ex.group_sizes;
  const size_t n = ex.ngroups;
  int64_t* sizes = zeroed<int64_t>(ex.arena, n);
  if (!sizes) return std::unexpected(Err::OutOfMemory);
  if (!ex.gid) {
    if (n) sizes[0] = static_cast<int64_t>(ex.sel.n);
  } else {
    // Locals, so the stores to sizes cannot be taken to change them.
    const uint32_t* __restrict gid = ex.gid;
    const size_t rows = ex.sel.n;
    for (size_t k = 0; k < rows; ++k) ++sizes[gid[k]];
  }
  ex.group_sizes = sizes;
  return sizes;
}

Result<Vec> countOf(Exec& ex, const Vec* v) {
  const size_t n = ex.ngroups;
  if (!v || !v->nulls) return column(Kind::int_, n, nullptr, intData(TRY(groupSizes(ex))));
  int64_t* counts = zeroed<int64_t>(ex.arena, n);
  if (!counts) return std::unexpected(Err::OutOfMemory);
  eachValue(ex.sel, ex.gid, *v, [&](size_t, uint32_t g) { ++counts[g]; });
  return column(Kind::int_, n, nullptr, intData(counts));
}

// Adds v's non-null values per group into sums (S is int64_t or double);
// counts values per group only when v has nulls, since otherwise the group
// sizes are the counts. Returns the counts.
template <class S, class X>
Result<const int64_t*> accumulate(Exec& ex, const Vec& v, const X* __restrict x, S* __restrict sums) {
  if (!v.nulls) {
    eachValue(ex.sel, ex.gid, v, [&](size_t i, uint32_t g) { sums[g] = add(sums[g], x[i]); });
    return groupSizes(ex);
  }
  int64_t* counts = zeroed<int64_t>(ex.arena, ex.ngroups);
  if (!counts) return std::unexpected(Err::OutOfMemory);
  eachValue(ex.sel, ex.gid, v, [&](size_t i, uint32_t g) {
    sums[g] = add(sums[g], x[i]);
    ++counts[g];
  });
  return counts;
}

Result<Vec> sumOrMean(Exec& ex, const Vec& v, bool mean) {
  if (!v.isNumeric()) return ex.diag.fail(Err::Invalid, {"sum/mean needs a numeric argument"});
  const size_t n = ex.ngroups;
  if (v.kind == Kind::int_ && !mean) {
    int64_t* sums = zeroed<int64_t>(ex.arena, n);
    if (!sums) return std::unexpected(Err::OutOfMemory);
    const int64_t* counts = TRY(accumulate(ex, v, v.data.ints, sums));
    const uint8_t* mask = TRY(emptyGroups(ex.arena, counts, n));
    return column(Kind::int_, n, mask, intData(sums));
  }
  double* sums = zeroed<double>(ex.arena, n);
  if (!sums) return std::unexpected(Err::OutOfMemory);
  // Added in selection order, one group at a time, so the result is the
  // same float a row-by-row sum gives.
  const int64_t* counts = v.kind == Kind::int_ ? TRY(accumulate(ex, v, v.data.ints, sums))
                                               : TRY(accumulate(ex, v, v.data.floats, sums));
  if (mean)
    for (size_t g = 0; g < n; ++g)
      if (counts[g]) sums[g] /= static_cast<double>(counts[g]);
  const uint8_t* mask = TRY(emptyGroups(ex.arena, counts, n));
  for (size_t g = 0; mask && g < n; ++g)
    if (mask[g]) sums[g] = 0;
  return column(Kind::float_, n, mask, floatData(sums));
}

// The best row per group: the first non-null row, replaced only by a row
// that is strictly better, so ties keep the earliest. `better(i, j)` says
// storage index i beats storage index j.
template <class Better>
void bestRows(Exec& ex, const Vec& v, uint32_t* best, Better better) {
  eachValue(ex.sel, ex.gid, v, [&](size_t i, uint32_t g) {
    uint32_t b = best[g];
    if (b == kMissingRow || better(i, b)) best[g] = static_cast<uint32_t>(i);
  });
}

Result<Vec> minOrMax(Exec& ex, const Vec& v, bool is_max) {
  const size_t n = ex.ngroups;
  uint32_t* best = ex.arena.make<uint32_t>(n);
  if (!best) return std::unexpected(Err::OutOfMemory);
  std::memset(best, 0xFF, n * sizeof(uint32_t));
  switch (v.data.tag) {
    case Data::Tag::int_: {
      const int64_t* x = v.data.ints;
      if (is_max)
        bestRows(ex, v, best, [&](size_t i, uint32_t b) { return x[i] > x[b]; });
      else
        bestRows(ex, v, best, [&](size_t i, uint32_t b) { return x[i] < x[b]; });
      break;
    }
    case Data::Tag::float_: {
      // Plain < and > make NaN neither better nor worse than anything.
      const double* x = v.data.floats;
      if (is_max)
        bestRows(ex, v, best, [&](size_t i, uint32_t b) { return x[i] > x[b]; });
      else
        bestRows(ex, v, best, [&](size_t i, uint32_t b) { return x[i] < x[b]; });
      break;
    }
    default: {
      Ord want = is_max ? Ord::gt : Ord::lt;
      bestRows(ex, v, best, [&](size_t i, uint32_t b) { return orderAt(v, i, b) == want; });
      break;
    }
  }
  // best holds storage indices, which for a scalar are all 0: gather reads
  // a scalar at 0 whatever the index, and marks groups without a value.
  auto out = gather(ex.arena, v, {best, n});
  if (!out) return std::unexpected(Err::OutOfMemory);
  return *out;
}

Result<Vec> nunique(Exec& ex, const Vec& v) {
  const size_t n = ex.ngroups;
  Codes c = TRY(codes(ex.arena, v, ex.sel));
  int64_t* counts = zeroed<int64_t>(ex.arena, n);
  if (!counts) return std::unexpected(Err::OutOfMemory);
  if (!ex.gid) {
    // One group: every code handed out was a distinct non-null value,
    // except for booleans, whose two codes are fixed and need a look.
    if (v.kind == Kind::bool_) {
      bool seen[3] = {};
      for (size_t k = 0; k < ex.sel.n; ++k) seen[c.codes[k]] = true;
      counts[0] = seen[1] + seen[2];
    } else {
      counts[0] = c.n - 1;
    }
    return column(Kind::int_, n, nullptr, intData(counts));
  }
  KeyMap seen;
  uint64_t hi = static_cast<uint64_t>(n) * c.n - 1;
  if (!seen.init(ex.arena, 0, static_cast<int64_t>(hi), ex.sel.n)) return std::unexpected(Err::OutOfMemory);
  for (size_t k = 0; k < ex.sel.n; ++k) {
    if (c.codes[k] == 0) continue;
    uint32_t g = ex.gid[k];
    uint32_t* slot = seen.upsert(ex.arena, static_cast<uint64_t>(g) * c.n + c.codes[k]);
    if (!slot) return std::unexpected(Err::OutOfMemory);
    if (!*slot) {
      *slot = 1;
      ++counts[g];
    }
  }
  return column(Kind::int_, n, nullptr, intData(counts));
}

}  // namespace

Result<Vec> Exec::aggregate(const Agg& a) {
  std::optional<Vec> v;
  if (a.arg) v = TRY(evalBound(*a.arg));
  // Only count may come without an argument; planning turns any other into
  // an invalid measure, which never reaches here.
  if (!v && a.func != AggFn::count) return diag.fail(Err::Invalid, {"sum/mean needs a numeric argument"});
  switch (a.func) {
    case AggFn::count: return countOf(*this, v ? &*v : nullptr);
    case AggFn::sum: return sumOrMean(*this, *v, false);
    case AggFn::mean: return sumOrMean(*this, *v, true);
    case AggFn::min: return minOrMax(*this, *v, false);
    case AggFn::max: return minOrMax(*this, *v, true);
    case AggFn::nunique: return nunique(*this, *v);
  }
  return std::unexpected(Err::Invalid);
}

}  // namespace quendra
