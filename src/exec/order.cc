#include "exec/order.h"

#include <cstring>
#include <utility>

#include "exec/group.h"

namespace quendra {

Ord orderAt(const Vec& v, size_t i, size_t j) {
  i = v.scalar ? 0 : i;
  j = v.scalar ? 0 : j;
  switch (v.data.tag) {
    case Data::Tag::int_: {
      int64_t x = v.data.ints[i], y = v.data.ints[j];
      return x < y ? Ord::lt : x > y ? Ord::gt : Ord::eq;
    }
    case Data::Tag::float_: return floatOrder(v.data.floats[i], v.data.floats[j]);
    case Data::Tag::bool_: {
      uint8_t x = v.data.bools[i] != 0, y = v.data.bools[j] != 0;
      return x < y ? Ord::lt : x > y ? Ord::gt : Ord::eq;
    }
    case Data::Tag::str: break;
  }
  int c = v.strAt(i).compare(v.strAt(j));
  return c < 0 ? Ord::lt : c > 0 ? Ord::gt : Ord::eq;
}

bool SortCtx::less(uint32_t a, uint32_t b) const {
  for (const Order& key : keys) {
    const Vec& v = cols[key.out_index];
    bool na = v.isNull(a), nb = v.isNull(b);
    if (na && nb) continue;
    if (na != nb) return nb;
    Ord o = orderAt(v, a, b);
    if (o == Ord::eq) continue;
    return o == (key.desc ? Ord::gt : Ord::lt);
  }
  return false;
}

namespace {

// Stable: on ties the element from the left run goes first.
void merge(const SortCtx& ctx, const uint32_t* left, size_t nl, const uint32_t* right, size_t nr, uint32_t* out) {
  size_t i = 0, j = 0, k = 0;
  while (i < nl && j < nr) out[k++] = ctx.less(right[j], left[i]) ? right[j++] : left[i++];
  while (i < nl) out[k++] = left[i++];
  while (j < nr) out[k++] = right[j++];
}

constexpr size_t kRun = 16;

}  // namespace

namespace {

// Before, for the stable order: by less, then by position in the list
// (positions are what stability preserves).
struct Ranked {
  const SortCtx& ctx;
  const uint32_t* list;
  bool operator()(uint32_t i, uint32_t j) const {
    if (ctx.less(list[i], list[j])) return true;
    if (ctx.less(list[j], list[i])) return false;
    return i < j;
  }
};

// The keep entries a stable sort would put first, in that order: a heap of
// the best keep positions seen so far (its top the worst of them), then a
// sort of the heap. n log keep comparisons instead of n log n.
Result<void> topK(Arena& arena, const SortCtx& ctx, std::span<uint32_t> groups, size_t keep) {
  if (keep == 0) return {};
  uint32_t* heap = arena.make<uint32_t>(keep);
  if (!heap) return std::unexpected(Err::OutOfMemory);
  Ranked before{ctx, groups.data()};
  auto siftDown = [&](size_t i, size_t n) {
    for (;;) {
      size_t worst = i, l = 2 * i + 1, r = l + 1;
      if (l < n && before(heap[worst], heap[l])) worst = l;
      if (r < n && before(heap[worst], heap[r])) worst = r;
      if (worst == i) return;
      std::swap(heap[i], heap[worst]);
      i = worst;
    }
  };
  size_t size = 0;
  for (uint32_t pos = 0; pos < groups.size(); ++pos) {
    if (size < keep) {
      heap[size] = pos;
      for (size_t i = size++; i > 0 && before(heap[(i - 1) / 2], heap[i]); i = (i - 1) / 2)
        std::swap(heap[i], heap[(i - 1) / 2]);
    } else if (before(pos, heap[0])) {
      heap[0] = pos;
      siftDown(0, size);
    }
  }
  // Popping the worst to the back leaves the heap sorted best first.
  for (size_t n = size; n > 1; --n) {
    std::swap(heap[0], heap[n - 1]);
    siftDown(0, n - 1);
  }
  for (size_t i = 0; i < size; ++i) heap[i] = groups[heap[i]];
  std::memcpy(groups.data(), heap, size * sizeof(uint32_t));
  return {};
}

}  // namespace

// Bottom-up merge sort: insertion-sorted runs, then merges that alternate
// between the list and one scratch buffer from the arena.
namespace {

Result<void> sortPlain(Arena& arena, const SortCtx& ctx, std::span<uint32_t> groups, size_t keep);

// Text keys of many groups holding few distinct values: each group's value
// as its rank among them (nulls kept), so that comparing two groups
// compares integers. The same columns (nullptr: none changed) otherwise.
Result<const Vec*> rankedTexts(Arena& arena, const SortCtx& ctx, size_t n) {
  constexpr size_t kFrom = 4096, kRepeats = 8;
  Vec* cols = nullptr;
  if (n < kFrom) return cols;
  for (const Order& key : ctx.keys) {
    const Vec& v = ctx.cols[key.out_index];
    if (v.kind != Kind::str || v.scalar || (cols && cols[key.out_index].kind != Kind::str)) continue;
    const Codes c = TRY(codes(arena, v, Sel{nullptr, v.len}));
    if (size_t{c.n} * kRepeats > v.len) continue;
    // Code 0 is null's; the others in the order of their values.
    uint32_t* first = arena.make<uint32_t>(c.n);
    int64_t* rank_of = arena.make<int64_t>(c.n);
    int64_t* rank = arena.make<int64_t>(v.len + 1);
    if (!first || !rank_of || !rank) return std::unexpected(Err::OutOfMemory);
    for (size_t r = v.len; r-- > 0;) first[c.codes[r]] = static_cast<uint32_t>(r);
    const Order by{key.out_index, false};
    TRY(sortPlain(arena, SortCtx{ctx.cols, {&by, 1}}, {first + 1, c.n - 1}, SIZE_MAX));
    rank_of[0] = 0;
    for (size_t k = 1; k < c.n; ++k) rank_of[c.codes[first[k]]] = static_cast<int64_t>(k);
    for (size_t r = 0; r < v.len; ++r) rank[r] = rank_of[c.codes[r]];
    if (!cols) {
      cols = arena.make<Vec>(ctx.cols.size());
      if (!cols) return std::unexpected(Err::OutOfMemory);
      for (size_t i = 0; i < ctx.cols.size(); ++i) cols[i] = ctx.cols[i];
    }
    cols[key.out_index] = column(Kind::int_, v.len, v.nulls, intData(rank));
  }
  return cols;
}

}  // namespace

Result<void> sortGroups(Arena& arena, const SortCtx& ctx, std::span<uint32_t> groups, size_t keep) {
  const Vec* ranked = TRY(rankedTexts(arena, ctx, groups.size()));
  return sortPlain(arena, ranked ? SortCtx{{ranked, ctx.cols.size()}, ctx.keys} : ctx, groups, keep);
}

namespace {

Result<void> sortPlain(Arena& arena, const SortCtx& ctx, std::span<uint32_t> groups, size_t keep) {
  const size_t n = groups.size();
  // A small limit over many groups needs only the first few in order.
  if (keep < n / 8) return topK(arena, ctx, groups, keep);
  uint32_t* a = groups.data();
  for (size_t lo = 0; lo < n; lo += kRun) {
    size_t hi = lo + kRun < n ? lo + kRun : n;
    for (size_t i = lo + 1; i < hi; ++i) {
      uint32_t x = a[i];
      size_t j = i;
      for (; j > lo && ctx.less(x, a[j - 1]); --j) a[j] = a[j - 1];
      a[j] = x;
    }
  }
  if (n <= kRun) return {};
  uint32_t* scratch = arena.make<uint32_t>(n);
  if (!scratch) return std::unexpected(Err::OutOfMemory);
  uint32_t* src = a;
  uint32_t* dst = scratch;
  for (size_t width = kRun; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      size_t mid = lo + width < n ? lo + width : n;
      size_t hi = lo + 2 * width < n ? lo + 2 * width : n;
      merge(ctx, src + lo, mid - lo, src + mid, hi - mid, dst + lo);
    }
    uint32_t* t = src;
    src = dst;
    dst = t;
  }
  if (src != a) std::memcpy(a, src, n * sizeof(uint32_t));
  return {};
}

}  // namespace

}  // namespace quendra
