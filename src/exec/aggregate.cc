// Aggregates: one pass over the selected rows per measure, accumulating
// into dense per-group arrays. The loops are specialised once per call on
// the facts that would otherwise be per-row branches: whether there is a
// row list or every row is selected, whether there is a group array or a
// single group, and whether the argument has nulls.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "exec/exec.h"
#include "exec/group.h"
#include "exec/keymap.h"
#include "exec/order.h"
#include "vec/time.h"

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

// Null where a group counted (or saw) no value; no mask when every group did.
template <class C>
Result<const uint8_t*> emptyGroups(Arena& arena, const C* counts, size_t n) {
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

// The column of per-group sums (or means) once every value is added:
// null where a group had no value.
Result<Vec> finishSum(Exec& ex, int64_t* isums, double* fsums, const int64_t* counts, bool mean,
                      uint8_t* seen = nullptr) {
  const size_t n = ex.ngroups;
  const uint8_t* mask = nullptr;
  if (seen) {
    // The flags are not needed after this: they become the mask in place.
    bool any = false;
    for (size_t g = 0; g < n; ++g) any |= seen[g] == 0;
    if (any) {
      for (size_t g = 0; g < n; ++g) seen[g] = seen[g] == 0;
      mask = seen;
    }
  } else {
    mask = TRY(emptyGroups(ex.arena, counts, n));
  }
  if (isums) return column(Kind::int_, n, mask, intData(isums));
  if (mean)
    for (size_t g = 0; g < n; ++g)
      if (counts[g]) fsums[g] /= static_cast<double>(counts[g]);
  for (size_t g = 0; mask && g < n; ++g)
    if (mask[g]) fsums[g] = 0;
  return column(Kind::float_, n, mask, floatData(fsums));
}

Result<Vec> sumOrMean(Exec& ex, const Vec& v, bool mean) {
  const size_t n = ex.ngroups;
  if (v.kind == Kind::int_ && !mean) {
    int64_t* sums = zeroed<int64_t>(ex.arena, n);
    if (!sums) return std::unexpected(Err::OutOfMemory);
    const int64_t* counts = TRY(accumulate(ex, v, v.data.ints, sums));
    return finishSum(ex, sums, nullptr, counts, false);
  }
  double* sums = zeroed<double>(ex.arena, n);
  if (!sums) return std::unexpected(Err::OutOfMemory);
  // Added in selection order, one group at a time, so the result is the
  // same float a row-by-row sum gives.
  const int64_t* counts = v.kind == Kind::int_ ? TRY(accumulate(ex, v, v.data.ints, sums))
                                               : TRY(accumulate(ex, v, v.data.floats, sums));
  return finishSum(ex, nullptr, sums, counts, mean);
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

// best holds storage indices, which for a scalar are all 0: gather reads
// a scalar at 0 whatever the index, and marks groups without a value.
Result<Vec> finishBest(Exec& ex, const Vec& v, const uint32_t* best) {
  auto out = gather(ex.arena, v, {best, ex.ngroups});
  if (!out) return std::unexpected(Err::OutOfMemory);
  return *out;
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
  return finishBest(ex, v, best);
}

// Whether no group's rows are interrupted by another group's: once the
// rows move on from a group, it never comes back.
Result<bool> groupsContiguous(Arena& arena, const uint32_t* gid, size_t m, size_t ngroups) {
  uint64_t* left = zeroed<uint64_t>(arena, ngroups / 64 + 1);
  if (!left) return std::unexpected(Err::OutOfMemory);
  for (size_t k = 1; k < m; ++k) {
    if (gid[k] == gid[k - 1]) continue;
    left[gid[k - 1] >> 6] |= uint64_t{1} << (gid[k - 1] & 63);
    if (left[gid[k] >> 6] >> (gid[k] & 63) & 1) return false;
  }
  return true;
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
  // Each group's rows one after another (grouping by the key a table is
  // stored in order of): a value is new to its group when the group that
  // last held it is another one. An entry per distinct value, however many
  // groups there are.
  if (n > 1 && TRY(groupsContiguous(ex.arena, ex.gid, ex.sel.n, n))) {
    uint32_t* last = ex.arena.make<uint32_t>(c.n);
    if (!last) return std::unexpected(Err::OutOfMemory);
    std::memset(last, 0xFF, size_t{c.n} * sizeof(uint32_t));
    const uint32_t* __restrict gid = ex.gid;
    const uint32_t* __restrict code = c.codes;
    for (size_t k = 0; k < ex.sel.n; ++k) {
      const uint32_t g = gid[k];
      counts[g] += code[k] != 0 && last[code[k]] != g;
      last[code[k]] = g;
    }
    return column(Kind::int_, n, nullptr, intData(counts));
  }
  uint64_t hi = static_cast<uint64_t>(n) * c.n - 1;
  if (hi / 8 < std::max<uint64_t>(uint64_t{1} << 24, 2 * ex.sel.n)) {
    // A bit per (group, code) pair: a fraction of any map's size, so the
    // random probes mostly stay in cache.
    uint64_t* bits = zeroed<uint64_t>(ex.arena, hi / 64 + 1);
    if (!bits) return std::unexpected(Err::OutOfMemory);
    const uint32_t* __restrict gid = ex.gid;
    const uint32_t* __restrict code = c.codes;
    for (size_t k = 0; k < ex.sel.n; ++k) {
      const uint64_t pair = static_cast<uint64_t>(gid[k]) * c.n + code[k];
      const uint64_t bit = uint64_t{1} << (pair & 63);
      const bool fresh = code[k] != 0 && !(bits[pair >> 6] & bit);
      bits[pair >> 6] |= bit;
      counts[gid[k]] += fresh;
    }
    return column(Kind::int_, n, nullptr, intData(counts));
  }
  KeyMap seen;
  const uint64_t distinct = expectDistinct(ex.arena, ex.sel.n, [&](size_t k) {
    return static_cast<uint64_t>(ex.gid[k]) * c.n + c.codes[k];
  });
  if (!seen.init(ex.arena, 0, static_cast<int64_t>(hi), ex.sel.n, distinct)) return std::unexpected(Err::OutOfMemory);
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

// Sample variance (or its square root) per group, by Welford's update:
// each value moves the running mean and the sum of squared deviations from
// it, which stays exact where the textbook sum of squares cancels. Null for
// fewer than two values.
// The sample variance (or, with root, deviation) of each group into out,
// from its count(g) and m2(g), the sum of squared deviations from its
// mean; null below two values.
template <class Count, class M2>
Result<Vec> finishSpread(Exec& ex, double* out, Count count, M2 m2, bool root) {
  const size_t n = ex.ngroups;
  uint8_t* nulls = ex.arena.make<uint8_t>(n);
  if (!nulls) return std::unexpected(Err::OutOfMemory);
  bool any = false;
  for (size_t g = 0; g < n; ++g) {
    const int64_t c = count(g);
    nulls[g] = c < 2;
    any |= nulls[g];
    const double var = nulls[g] ? 0 : m2(g) / static_cast<double>(c - 1);
    out[g] = root ? std::sqrt(var) : var;
  }
  return column(Kind::float_, n, any ? nulls : nullptr, floatData(out));
}

Result<Vec> spread(Exec& ex, const Vec& v, bool root) {
  const size_t n = ex.ngroups;
  int64_t* counts = zeroed<int64_t>(ex.arena, n);
  double* mean = zeroed<double>(ex.arena, n);
  double* m2 = zeroed<double>(ex.arena, n);
  if (!counts || !mean || !m2) return std::unexpected(Err::OutOfMemory);
  auto update = [&](uint32_t g, double x) {
    const double delta = x - mean[g];
    mean[g] += delta / static_cast<double>(++counts[g]);
    m2[g] += delta * (x - mean[g]);
  };
  if (v.kind == Kind::float_)
    eachValue(ex.sel, ex.gid, v, [&](size_t i, uint32_t g) { update(g, v.data.floats[i]); });
  else if (!v.isNullScalar())
    eachValue(ex.sel, ex.gid, v, [&](size_t i, uint32_t g) { update(g, static_cast<double>(v.data.ints[i])); });
  return finishSpread(ex, m2, [counts](size_t g) { return counts[g]; }, [m2](size_t g) { return m2[g]; }, root);
}

// The continuous quantile at p of each group's non-null values: the value
// p of the way from the smallest to the largest rank, interpolated
// linearly between the two closest ranks. Each group's values are gathered
// next to each other and selected, not sorted. NaN sorts above every
// number, as the SQL engines order it.
Result<Vec> quantile(Exec& ex, const Vec& v, double p) {
  const size_t n = ex.ngroups;
  uint64_t* start = zeroed<uint64_t>(ex.arena, n + 1);
  uint8_t* nulls = ex.arena.make<uint8_t>(n);
  double* out = ex.arena.make<double>(n);
  if (!start || !nulls || !out) return std::unexpected(Err::OutOfMemory);
  if (v.isNullScalar()) {
    std::memset(nulls, 1, n);
    std::memset(out, 0, n * sizeof(double));
    return column(Kind::float_, n, nulls, floatData(out));
  }
  eachValue(ex.sel, ex.gid, v, [&](size_t, uint32_t g) { ++start[g + 1]; });
  for (size_t g = 0; g < n; ++g) start[g + 1] += start[g];
  double* vals = ex.arena.make<double>(start[n]);
  uint64_t* fill = ex.arena.copy(start, n);
  if ((!vals && start[n]) || !fill) return std::unexpected(Err::OutOfMemory);
  eachValue(ex.sel, ex.gid, v, [&](size_t i, uint32_t g) { vals[fill[g]++] = v.floatAt(i); });
  bool any = false;
  for (size_t g = 0; g < n; ++g) {
    double* first = vals + start[g];
    double* last = vals + start[g + 1];
    nulls[g] = first == last;
    any |= nulls[g];
    out[g] = 0;
    if (first == last) continue;
    // NaNs to the end, where they rank; plain < then orders the rest.
    double* nan = std::partition(first, last, [](double x) { return !std::isnan(x); });
    const double pos = p * static_cast<double>(last - first - 1);
    const auto lo = static_cast<size_t>(pos);
    const double frac = pos - static_cast<double>(lo);
    auto at = [&](size_t k, double* from) {
      if (first + k >= nan) return __builtin_nan("");
      std::nth_element(from, first + k, nan);
      return first[k];
    };
    const double x = at(lo, first);
    // The next rank is the smallest value above rank lo.
    const double y = frac == 0 ? x : first + lo + 1 < nan ? *std::min_element(first + lo + 1, nan) : __builtin_nan("");
    // Selection may land on either of two equal zeros; the answer is +0.
    out[g] = frac == 0 ? x + 0.0 : x + (y - x) * frac + 0.0;
  }
  return column(Kind::float_, n, any ? nulls : nullptr, floatData(out));
}

// ---- Aggregates sharing one pass
//
// Counts, sums, means, minima, maxima, standard deviations and variances
// over non-scalar numeric or temporal vectors run together, a stretch of
// selected rows at a time: the stretch's group numbers are read (or, for a
// single dimension over a narrow key range, numbered right there, so that
// no per-row group list is ever written) once and stay in cache while every
// aggregate consumes them.

// With few groups, whose state stays in cache, stretches are very short:
// the loops then advance through every column they read nearly together,
// which the memory system streams far better than one column after another
// (measured: 10M rows by 100 keys 61 ms at 2,048 rows a stretch, 43 ms at
// 32; by month 100 ms and 49 ms). With many groups their state misses
// anyway, and long stretches save the loops' restarts.
constexpr size_t kStretch = 32768;
constexpr size_t kShortStretch = 32;
constexpr size_t kFewGroups = size_t{1} << 16;
constexpr uint32_t kNoGroups[kStretch] = {};  // every row in group 0

bool shared(AggFn fn, const Vec* v) {
  if (!v) return fn == AggFn::count;
  if (v->scalar) return false;
  switch (fn) {
    case AggFn::count: return true;
    case AggFn::sum:
    case AggFn::mean: return v->isNumeric();
    case AggFn::min:
    case AggFn::max: return v->data.tag == Data::Tag::int_ || v->data.tag == Data::Tag::float_;
    case AggFn::stddev:
    case AggFn::variance: return v->isNumeric();
    case AggFn::nunique:
    case AggFn::median:
    case AggFn::percentile: return false;
  }
  return false;
}

struct Acc {
  AggFn fn;
  const Vec* v;       // nullptr for count(*)
  int64_t* isums;     // integer sums
  double* fsums;      // float sums and means
  int64_t* counts;    // values per group, when v has nulls (but for sums)
  uint8_t* seen;      // sums over v with nulls: whether a group had a value
  uint32_t* best;     // min and max: the best row per group
  // stddev and variance: one group's state together, a single cache line
  // to miss when groups are many; fsums takes the answers at the end
  struct Spread {
    double mean;
    double m2;  // sum of squared deviations from the mean
    int64_t count;
  }* spread;
  uint32_t measure;
};

// Calls f(row, group) for the selection's positions [from, to) whose row is
// not null in `nulls` (nullptr: none is); g holds the stretch's groups.
template <bool All, bool Masked, class F>
inline void stretchRows(const uint32_t* __restrict idx, const uint8_t* __restrict nulls, size_t from, size_t to,
                        const uint32_t* __restrict g, F&& f) {
  for (size_t k = from; k < to; ++k) {
    uint32_t row = All ? static_cast<uint32_t>(k) : idx[k];
    if (Masked && nulls[row]) continue;
    f(row, g[k - from]);
  }
}

template <class F>
inline void eachInStretch(Sel sel, const uint8_t* nulls, size_t from, size_t to, const uint32_t* g, F&& f) {
  if (sel.all()) {
    if (nulls)
      stretchRows<true, true>(sel.idx, nulls, from, to, g, f);
    else
      stretchRows<true, false>(sel.idx, nulls, from, to, g, f);
  } else {
    if (nulls)
      stretchRows<false, true>(sel.idx, nulls, from, to, g, f);
    else
      stretchRows<false, false>(sel.idx, nulls, from, to, g, f);
  }
}

template <class X>
void stepBest(Acc& a, Sel sel, size_t from, size_t to, const uint32_t* g, const X* __restrict x) {
  uint32_t* __restrict best = a.best;
  const bool is_max = a.fn == AggFn::max;
  // Plain < and > make NaN neither better nor worse than anything.
  if (is_max)
    eachInStretch(sel, a.v->nulls, from, to, g, [&](uint32_t r, uint32_t gg) {
      uint32_t b = best[gg];
      if (b == kMissingRow || x[r] > x[b]) best[gg] = r;
    });
  else
    eachInStretch(sel, a.v->nulls, from, to, g, [&](uint32_t r, uint32_t gg) {
      uint32_t b = best[gg];
      if (b == kMissingRow || x[r] < x[b]) best[gg] = r;
    });
}

// x when live is 1, else zero (+0.0 for a float), by masking its bits: a
// select the compiler cannot turn back into a branch.
inline int64_t orZero(int64_t x, uint64_t live) { return static_cast<int64_t>(static_cast<uint64_t>(x) & (0 - live)); }
inline double orZero(double x, uint64_t live) {
  return std::bit_cast<double>(std::bit_cast<uint64_t>(x) & (0 - live));
}

template <class S, class X>
void stepSum(Acc& a, Sel sel, size_t from, size_t to, const uint32_t* g, S* __restrict sums, const X* __restrict x) {
  int64_t* __restrict counts = a.counts;
  if (a.seen) {
    // A sum needs only to know whether a group had a value: with many
    // groups a byte each, where a count takes eight, keeps more of their
    // state in cache.
    const uint8_t* __restrict nulls = a.v->nulls;
    uint8_t* __restrict seen = a.seen;
    eachInStretch(sel, nullptr, from, to, g, [&](uint32_t r, uint32_t gg) {
      const uint64_t live = !nulls[r];
      sums[gg] = add(sums[gg], orZero(x[r], live));
      seen[gg] |= static_cast<uint8_t>(live);
    });
  } else if (counts) {
    // Nulls add a zero and count nothing, without a branch that a random
    // null pattern would mispredict. That is exact: a sum starts at +0.0
    // and so is never -0.0, the one value that adding +0.0 changes.
    const uint8_t* __restrict nulls = a.v->nulls;
    eachInStretch(sel, nullptr, from, to, g, [&](uint32_t r, uint32_t gg) {
      const uint64_t live = !nulls[r];
      sums[gg] = add(sums[gg], orZero(x[r], live));
      counts[gg] += static_cast<int64_t>(live);
    });
  } else
    eachInStretch(sel, nullptr, from, to, g, [&](uint32_t r, uint32_t gg) { sums[gg] = add(sums[gg], x[r]); });
}

// Each group's values in selection order, as spread() takes them, so the
// answer is the same float.
template <class X>
void stepSpread(Acc& a, Sel sel, size_t from, size_t to, const uint32_t* g, const X* __restrict x) {
  Acc::Spread* __restrict sp = a.spread;
  eachInStretch(sel, a.v->nulls, from, to, g, [&](uint32_t r, uint32_t gg) {
    Acc::Spread& s = sp[gg];
    const double v = static_cast<double>(x[r]);
    const double delta = v - s.mean;
    s.mean += delta / static_cast<double>(++s.count);
    s.m2 += delta * (v - s.mean);
  });
}

void step(Acc& a, Sel sel, size_t from, size_t to, const uint32_t* g) {
  const Vec* v = a.v;
  switch (a.fn) {
    case AggFn::count:
      if (a.counts) {
        int64_t* __restrict counts = a.counts;
        eachInStretch(sel, v->nulls, from, to, g, [&](uint32_t, uint32_t gg) { ++counts[gg]; });
      }
      return;  // otherwise the group sizes are the counts
    case AggFn::sum:
    case AggFn::mean:
      if (a.isums)
        stepSum(a, sel, from, to, g, a.isums, v->data.ints);
      else if (v->data.tag == Data::Tag::int_)
        stepSum(a, sel, from, to, g, a.fsums, v->data.ints);
      else
        stepSum(a, sel, from, to, g, a.fsums, v->data.floats);
      return;
    case AggFn::min:
    case AggFn::max:
      if (v->data.tag == Data::Tag::int_)
        stepBest(a, sel, from, to, g, v->data.ints);
      else
        stepBest(a, sel, from, to, g, v->data.floats);
      return;
    case AggFn::stddev:
    case AggFn::variance:
      if (v->kind == Kind::float_)
        stepSpread(a, sel, from, to, g, v->data.floats);
      else
        stepSpread(a, sel, from, to, g, v->data.ints);
      return;
    default: return;
  }
}

// ---- One loop for numbering and a few sums
//
// With few groups keyed by a plain integer column, every aggregate a
// common query asks (a count, one or two sums) runs inside the loop that
// numbers the rows: each row's group stays in a register, where a loop
// per aggregate reads it back from the stretch (measured: 10M rows by 100
// keys, a float sum over nulls, an integer sum and a count, 32 -> 25.5 ms).

enum class Lane : uint8_t { none, isum, fsum, fsum_nulls };

struct LaneData {
  const int64_t* ints = nullptr;
  const double* floats = nullptr;
  const uint8_t* nulls = nullptr;
  int64_t* isums = nullptr;
  double* fsums = nullptr;
  int64_t* counts = nullptr;
};

template <Lane L>
inline void laneStep(const LaneData& d, uint32_t r, uint32_t g) {
  if constexpr (L == Lane::isum) {
    d.isums[g] = add(d.isums[g], d.ints[r]);
  } else if constexpr (L == Lane::fsum) {
    d.fsums[g] = add(d.fsums[g], d.floats[r]);
  } else if constexpr (L == Lane::fsum_nulls) {
    // As stepSum: a null adds +0.0 and counts nothing, without a branch.
    const uint64_t live = !d.nulls[r];
    d.fsums[g] = add(d.fsums[g], orZero(d.floats[r], live));
    d.counts[g] += static_cast<int64_t>(live);
  }
}

using FusedPass = void (*)(DirectGroups&, size_t, size_t, uint32_t*, uint32_t*, LaneData, LaneData);

template <Lane A, Lane B>
void fusedPass(DirectGroups& d, size_t from, size_t to, uint32_t* first, uint32_t* sizes, LaneData a, LaneData b) {
  const LaneData la = a, lb = b;
  uint32_t* __restrict sz = sizes;
  d.eachNumbered(from, to, first, [&](uint32_t r, uint32_t g) {
    ++sz[g];
    laneStep<A>(la, r, g);
    laneStep<B>(lb, r, g);
  });
}

template <Lane A>
FusedPass fusedWith(Lane b) {
  switch (b) {
    case Lane::none: return fusedPass<A, Lane::none>;
    case Lane::isum: return fusedPass<A, Lane::isum>;
    case Lane::fsum: return fusedPass<A, Lane::fsum>;
    case Lane::fsum_nulls: return fusedPass<A, Lane::fsum_nulls>;
  }
  return nullptr;
}

// The lane of one shared aggregate, when it has one; none for a count
// that the group sizes answer.
std::optional<Lane> laneOf(const Acc& a, LaneData& d) {
  const Vec* v = a.v;
  if (a.fn == AggFn::count) return a.counts ? std::nullopt : std::optional<Lane>(Lane::none);
  if (a.fn != AggFn::sum && a.fn != AggFn::mean) return std::nullopt;
  if (a.isums && v->data.tag == Data::Tag::int_ && !v->nulls) {
    d.ints = v->data.ints;
    d.isums = a.isums;
    return Lane::isum;
  }
  if (!a.fsums || v->data.tag != Data::Tag::float_ || a.seen || (v->nulls && !a.counts)) return std::nullopt;
  d.floats = v->data.floats;
  d.fsums = a.fsums;
  if (!v->nulls) return Lane::fsum;
  d.nulls = v->nulls;
  d.counts = a.counts;
  return Lane::fsum_nulls;
}

// The single loop for these aggregates, or nullptr when they need more
// than two lanes or one that it lacks.
FusedPass fusedFor(std::span<const Acc> accs, LaneData& a, LaneData& b) {
  Lane lanes[2] = {Lane::none, Lane::none};
  LaneData* data[2] = {&a, &b};
  size_t used = 0;
  for (const Acc& acc : accs) {
    LaneData d;
    const std::optional<Lane> l = laneOf(acc, d);
    if (!l) return nullptr;
    if (*l == Lane::none) continue;
    if (used == 2) return nullptr;
    lanes[used] = *l;
    *data[used++] = d;
  }
  switch (lanes[0]) {
    case Lane::none: return fusedWith<Lane::none>(lanes[1]);
    case Lane::isum: return fusedWith<Lane::isum>(lanes[1]);
    case Lane::fsum: return fusedWith<Lane::fsum>(lanes[1]);
    case Lane::fsum_nulls: return fusedWith<Lane::fsum_nulls>(lanes[1]);
  }
  return nullptr;
}

template <class T>
T* room(Arena& arena, size_t n, bool zero) {
  T* p = arena.make<T>(n);
  if (p && zero) std::memset(p, 0, n * sizeof(T));
  return p;
}

// Room for `cap` groups in every accumulator a needs, the ones that become
// the measure's column from `home`. Zeroed (min and max: no row yet)
// unless `lazy`: clear then readies each group once it is numbered, so
// that room for more groups than turn up is never touched.
bool allocate(Arena& arena, Arena& home, Acc& a, size_t cap, bool lazy) {
  const bool nulls = a.v && a.v->nulls;
  if (a.fn == AggFn::min || a.fn == AggFn::max) {
    a.best = arena.make<uint32_t>(cap);
    if (a.best && !lazy) std::memset(a.best, 0xFF, cap * sizeof(uint32_t));
    return a.best != nullptr;
  }
  if (a.fn == AggFn::stddev || a.fn == AggFn::variance)
    return (a.spread = room<Acc::Spread>(arena, cap, !lazy)) && (a.fsums = room<double>(home, cap, false));
  if (nulls && a.fn == AggFn::sum && cap > kFewGroups) {
    if (!(a.seen = room<uint8_t>(arena, cap, !lazy))) return false;
  } else if (nulls && !(a.counts = room<int64_t>(a.fn == AggFn::count ? home : arena, cap, !lazy))) {
    return false;
  }
  if (a.fn == AggFn::count) return true;
  if (a.fn == AggFn::sum && a.v->kind == Kind::int_) return (a.isums = room<int64_t>(home, cap, !lazy)) != nullptr;
  return (a.fsums = room<double>(home, cap, !lazy)) != nullptr;
}

// Readies groups [from, to) of a lazily allocated accumulator.
void clear(Acc& a, size_t from, size_t to) {
  const size_t n = to - from;
  if (a.best) std::memset(a.best + from, 0xFF, n * sizeof(uint32_t));
  if (a.seen) std::memset(a.seen + from, 0, n);
  if (a.counts) std::memset(a.counts + from, 0, n * sizeof(int64_t));
  if (a.isums) std::memset(a.isums + from, 0, n * sizeof(int64_t));
  if (a.fsums) std::memset(a.fsums + from, 0, n * sizeof(double));
  if (a.spread) std::memset(a.spread + from, 0, n * sizeof(Acc::Spread));
}

Result<Vec> finish(Exec& ex, Acc& a) {
  switch (a.fn) {
    case AggFn::count:
      return column(Kind::int_, ex.ngroups, nullptr, intData(a.counts ? a.counts : ex.group_sizes));
    case AggFn::min:
    case AggFn::max: return finishBest(ex, *a.v, a.best);
    case AggFn::stddev:
    case AggFn::variance: {
      const Acc::Spread* sp = a.spread;
      return finishSpread(
          ex, a.fsums, [sp](size_t g) { return sp[g].count; }, [sp](size_t g) { return sp[g].m2; },
          a.fn == AggFn::stddev);
    }
    default:
      return finishSum(ex, a.isums, a.fsums, a.counts ? a.counts : ex.group_sizes, a.fn == AggFn::mean, a.seen);
  }
}

}  // namespace

Result<std::optional<Vec>> Exec::aggArg(const Agg& a) {
  std::optional<Vec> v;
  if (a.arg) v = TRY(evalBound(*a.arg));
  // Only count may come without an argument; planning turns any other into
  // an invalid measure, which never reaches here.
  if (!v && a.func != AggFn::count) return diag.fail(Err::Invalid, {"sum/mean needs a numeric argument"});
  if ((a.func == AggFn::sum || a.func == AggFn::mean) && !v->isNumeric())
    return diag.fail(Err::Invalid, {"sum/mean needs a numeric argument"});
  if (isStatistic(a.func) && !v->isNumeric() && !v->isNullScalar())
    return diag.fail(Err::Invalid, {"median, percentile, stddev and variance need a numeric argument"});
  if (a.filters.empty()) return v;
  return std::optional<Vec>(TRY(filteredArg(a, v)));
}

Result<Vec> Exec::filteredArg(const Agg& a, const std::optional<Vec>& v) {
  // The measure's filters over every base row, AND-ed as the where list is.
  Vec keep = TRY(evalPred(a.filters[0]));
  for (size_t i = 1; i < a.filters.size(); ++i) {
    auto both = logic(arena, true, keep, TRY(evalPred(a.filters[i])));
    if (!both) return std::unexpected(lift(both.error()));
    keep = *both;
  }
  if (keep.kind != Kind::bool_ && !keep.isNullScalar()) return diag.fail(Err::Invalid, {"type mismatch in expression"});
  return keepOnly(v, keep);
}

Result<Vec> Exec::keepOnly(const std::optional<Vec>& v, const Vec& keep) {
  // The argument, null wherever keep is not true, so that every aggregate
  // skips those rows on its usual path; COUNT(*) counts a 1.
  const size_t n = base.nrows;
  auto kept = [&](size_t r) { return !keep.isNull(r) && keep.boolAt(r); };
  if (v && !v->scalar) {
    uint8_t* nulls = arena.make<uint8_t>(n);
    if (!nulls) return std::unexpected(Err::OutOfMemory);
    for (size_t r = 0; r < n; ++r) nulls[r] = (v->nulls && v->nulls[r]) || !kept(r);
    Vec out = *v;
    out.nulls = nulls;
    return out;
  }
  Vec one = v ? *v : TRY(liftEval(scalarInt(arena, 1)));
  uint32_t* idx = arena.make<uint32_t>(n);
  if (!idx) return std::unexpected(Err::OutOfMemory);
  for (size_t r = 0; r < n; ++r) idx[r] = kept(r) ? 0 : kMissingRow;
  return liftEval(gather(arena, one, {idx, n}));
}

Result<Vec> Exec::aggregate(const Agg& a, const Vec* v) {
  switch (a.func) {
    case AggFn::count: return countOf(*this, v);
    case AggFn::sum: return sumOrMean(*this, *v, false);
    case AggFn::mean: return sumOrMean(*this, *v, true);
    case AggFn::min: return minOrMax(*this, *v, false);
    case AggFn::max: return minOrMax(*this, *v, true);
    case AggFn::nunique: return nunique(*this, *v);
    case AggFn::median:
    case AggFn::percentile: return quantile(*this, *v, a.p);
    case AggFn::stddev: return spread(*this, *v, true);
    case AggFn::variance: return spread(*this, *v, false);
  }
  return std::unexpected(Err::Invalid);
}

Result<Vec> Exec::aggregateOver(const Agg& a, const Vec* v, uint8_t k) {
  // The first selected position of each (group, row) pair stands for the
  // pair: a row shared by many positions of a group counts once there.
  const uint32_t* x = k ? TRY(joinIdx(k)) : rows;  // nullptr: the position is the row
  const uint64_t width = uint64_t{k ? right[k]->nrows : base_rows} + 1;
  auto rowAt = [&](uint32_t pos) { return x ? x[pos] : pos; };
  uint32_t* firsts = arena.make<uint32_t>(sel.n + 1);
  uint32_t* gids = arena.make<uint32_t>(sel.n + 1);
  if (!firsts || !gids) return std::unexpected(Err::OutOfMemory);
  KeyMap seen;
  const uint64_t hi = static_cast<uint64_t>(ngroups ? ngroups : 1) * width;
  const uint64_t distinct = expectDistinct(arena, sel.n, [&](size_t i) {
    return (gid ? gid[i] : 0) * width + rowAt(sel.at(i));
  });
  if (!seen.init(arena, 0, hi > INT64_MAX ? INT64_MAX : static_cast<int64_t>(hi), sel.n, distinct))
    return std::unexpected(Err::OutOfMemory);
  size_t m = 0;
  for (size_t i = 0; i < sel.n; ++i) {
    const uint32_t r = sel.at(i), xr = rowAt(r);
    if (xr == kMissingRow) continue;
    const uint32_t g = gid ? gid[i] : 0;
    uint32_t* slot = seen.upsert(arena, g * width + xr);
    if (!slot) return std::unexpected(Err::OutOfMemory);
    if (*slot) continue;
    *slot = 1;
    firsts[m] = r;
    gids[m++] = g;
  }
  const Sel own_sel = sel;
  const uint32_t* own_gid = gid;
  const int64_t* own_sizes = group_sizes;
  sel = Sel{firsts, m};
  gid = gids;
  group_sizes = nullptr;
  auto out = aggregate(a, v);
  sel = own_sel;
  gid = own_gid;
  group_sizes = own_sizes;
  return out;
}

Result<Groups> Exec::groupAndAggregate(std::span<Vec> dims, Sel s, const bool* needed,
                                       const std::optional<Vec>* args, LazyDim* lazy, const ColStats* stats) {
  sel = s;
  const size_t nm = plan.measures.size();
  Array<Acc> accs;
  bool alone = true;  // every needed aggregate shares the pass
  bool sizes_needed = false;
  for (size_t i = 0; i < nm; ++i) {
    const MeasureDef& def = plan.measures[i].def;
    if (!needed[i] || def.tag != MeasureDef::Tag::agg) continue;
    const Vec* v = args[i] ? &*args[i] : nullptr;
    if (!shared(def.agg.func, v)) {
      alone = false;
      continue;
    }
    TRY(accs.push(arena, Acc{def.agg.func, v, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, static_cast<uint32_t>(i)}));
    sizes_needed |= def.agg.func != AggFn::min && def.agg.func != AggFn::max && !isStatistic(def.agg.func) &&
                    !(v && v->nulls);
  }

  Groups groups;
  DirectGroups direct;
  HashGroups hashed;
  bool streamed = false;
  const bool streams = alone && !accs.empty() && sel.n > 0 && !keep_gid;
  if (dims.size() == 1 && streams) {
    if (!lazy) {
      streamed = TRY(direct.init(arena, dims[0], sel, stats));
    } else if (lazy->form == LazyDim::Form::joined) {
      TRY(direct.initJoined(arena, lazy->v, lazy->join, sel));
      streamed = true;
    } else {
      streamed = TRY(direct.initDays(arena, lazy->v, *lazy->dim->grain,
                                       plan.periodStart(*lazy->dim->grain, lazy->dim->fiscal), sel, lazy->stats,
                                       lazy->zone));
    }
  }
  if (lazy) {
    lazy->streamed = streamed;
    if (!streamed && lazy->form == LazyDim::Form::joined) dims[0] = TRY(evalBound(lazy->dim->b));
    if (!streamed && lazy->form == LazyDim::Form::grain) {
      Vec v = lazy->v;
      if (lazy->zone) v = TRY(liftEval(localTime(arena, *lazy->zone, v)));
      auto t = truncateVec(arena, *lazy->dim->grain, v, plan.periodStart(*lazy->dim->grain, lazy->dim->fiscal));
      if (!t) return std::unexpected(lift(t.error()));
      dims[0] = *t;
    }
  }
  // Many groups of integer or float keys: numbered a stretch at a time too,
  // their keys written straight into the output.
  bool by_hash = false;
  if (!streamed && streams) {
    Arena** key_arenas = arena.make<Arena*>(dims.size());
    if (!key_arenas) return std::unexpected(Err::OutOfMemory);
    for (size_t i = 0; i < dims.size(); ++i) key_arenas[i] = out && out_dims && out_dims[i] ? out : &arena;
    by_hash = streamed = TRY(hashed.init(arena, dims, sel, key_arenas));
  }
  if (!streamed) {
    groups = TRY(groupRows(arena, dims, sel));
    gid = groups.gid;
    ngroups = groups.ngroups;
  }
  // Hashed groups may number up to one per selected row; their state is
  // readied as they appear.
  const size_t cap = by_hash ? sel.n : streamed ? direct.bound() : ngroups;
  // Room for many groups is readied only as groups may reach it: the bound
  // of a direct table is often far above the groups that turn up (a key
  // combining two dimensions), and room never written is never paged in.
  const bool lazily = by_hash || (streamed && cap > DirectGroups::ready_all_below);
  // Counted in 32 bits (rows are numbered in 32), half the state of a
  // large group count; widened once at the end. Hashed groups, which are
  // many and miss the cache anyway, count straight into the 64-bit column.
  uint32_t* sizes = nullptr;
  int64_t* wide_sizes = nullptr;
  uint32_t* first = nullptr;
  uint32_t* stretch = nullptr;
  if (!accs.empty()) {
    auto home = [&](uint32_t measure) -> Arena& {
      return out && out_measures && out_measures[measure] ? *out : arena;
    };
    bool sizes_out = false;
    for (Acc& a : accs) {
      if (!allocate(arena, home(a.measure), a, cap, lazily)) return std::unexpected(Err::OutOfMemory);
      sizes_out |= a.fn == AggFn::count && !a.counts && &home(a.measure) != &arena;
    }
    if (sizes_needed) {
      if (by_hash ? !(wide_sizes = room<int64_t>(sizes_out ? *out : arena, cap, false))
                  : !(sizes = room<uint32_t>(arena, cap, !lazily)))
        return std::unexpected(Err::OutOfMemory);
    }
    if (streamed) {
      first = by_hash && !need_first ? nullptr : arena.make<uint32_t>(cap);
      stretch = arena.make<uint32_t>(kStretch);
      if ((!first && !(by_hash && !need_first)) || !stretch) return std::unexpected(Err::OutOfMemory);
    }
    uint32_t seen = 0;
    size_t ready = 0;  // groups readied so far, [0, ready) of direct numbering
    // A sparse row list reads scattered rows: there long stretches let
    // more of their misses overlap.
    const bool sparse = !sel.all() && sel.n < base.nrows / 8;
    const size_t len = cap > kFewGroups || sparse ? kStretch : kShortStretch;
    LaneData lane_a, lane_b;
    const FusedPass fused = streamed && !by_hash && !lazily && sizes && direct.plainRows()
                                ? fusedFor(std::span<const Acc>(accs.begin(), accs.size()), lane_a, lane_b)
                                : nullptr;
    if (fused) fused(direct, 0, sel.n, first, sizes, lane_a, lane_b);
    for (size_t from = 0; from < sel.n && !fused; from += len) {
      const size_t to = sel.n - from < len ? sel.n : from + len;
      const uint32_t* g = gid ? gid + from : kNoGroups;
      if (by_hash) {
        const uint32_t before = hashed.ngroups();
        if (!hashed.number(arena, from, to, stretch)) return std::unexpected(Err::OutOfMemory);
        const uint32_t after = hashed.ngroups();
        for (Acc& a : accs) clear(a, before, after);
        if (wide_sizes) std::memset(wide_sizes + before, 0, (after - before) * sizeof(int64_t));
        g = stretch;
      } else if (streamed) {
        // A stretch numbers at most one new group per position.
        const size_t mark = lazily ? std::min(cap, direct.ngroups() + (to - from)) : 0;
        if (mark > ready) {
          for (Acc& a : accs) clear(a, ready, mark);
          if (sizes) std::memset(sizes + ready, 0, (mark - ready) * sizeof(uint32_t));
          ready = mark;
        }
        if (!direct.number(arena, from, to, stretch, first, sizes)) return std::unexpected(Err::OutOfMemory);
        g = stretch;
      }
      // Groups are numbered by first appearance, so the next unseen group
      // is always the next number. Direct numbering tallies both itself.
      if (first && by_hash)
        for (size_t k = from; k < to; ++k)
          if (stretch[k - from] == seen) first[seen++] = sel.at(k);
      if (sizes && !streamed) {
        uint32_t* __restrict sz = sizes;
        eachInStretch(sel, nullptr, from, to, g, [&](uint32_t, uint32_t gg) { ++sz[gg]; });
      }
      if (wide_sizes) {
        int64_t* __restrict sz = wide_sizes;
        eachInStretch(sel, nullptr, from, to, g, [&](uint32_t, uint32_t gg) { ++sz[gg]; });
      }
      for (Acc& a : accs) step(a, sel, from, to, g);
    }
    if (streamed) {
      ngroups = by_hash ? hashed.ngroups() : direct.ngroups();
      groups = Groups{nullptr, ngroups, first, nullptr};
    }
    if (by_hash) {
      Vec* keys = arena.make<Vec>(dims.size());
      if (!keys) return std::unexpected(Err::OutOfMemory);
      for (size_t i = 0; i < dims.size(); ++i) keys[i] = hashed.key(i);
      groups.keys = keys;
    }
    if (wide_sizes) group_sizes = wide_sizes;
    if (sizes) {
      int64_t* wide = arena.make<int64_t>(ngroups);
      if (!wide) return std::unexpected(Err::OutOfMemory);
      for (size_t i = 0; i < ngroups; ++i) wide[i] = sizes[i];
      group_sizes = wide;
    }
    for (Acc& a : accs) measure_vals[a.measure] = TRY(finish(*this, a));
  }
  for (size_t i = 0; i < nm; ++i) {
    const MeasureDef& def = plan.measures[i].def;
    if (needed[i] && def.tag == MeasureDef::Tag::agg && !measure_vals[i])
      measure_vals[i] = TRY(aggregate(def.agg, args[i] ? &*args[i] : nullptr));
  }
  return groups;
}

}  // namespace quendra
