// Expressions over one column with few distinct values, worked out once
// per value. A date column spans a few thousand days, and a text column
// with a dictionary from binding lists its values: YEAR, ISODOW, a CASE of
// a date or a test of a code is then computed per value, and each row
// looks its answer up by its value's entry instead of repeating a calendar
// or text computation. Grouping by such an expression numbers the answers
// once and groups the rows by those numbers.
#include "exec/exec.h"
#include "exec/group.h"
#include "vec/time.h"

namespace quendra {
namespace {

// The most values a domain holds, and the fewest positions per value for
// the look-ups to pay for the work over values no position may read.
constexpr uint64_t kMaxDomain = uint64_t{1} << 16;
constexpr uint64_t kRowsPerValue = 4;

// Work per row that a look-up is cheaper than: calendar parts, CASE and
// list tests, text functions. Over a text column everything is.
bool costlyTag(Tag t) {
  switch (t) {
    case Tag::part:
    case Tag::case_:
    case Tag::coalesce:
    case Tag::in:
    case Tag::not_in:
    case Tag::like:
    case Tag::not_like:
    case Tag::ilike:
    case Tag::not_ilike:
    case Tag::substring:
    case Tag::upper:
    case Tag::lower:
    case Tag::length:
    case Tag::trim:
    case Tag::concat:
    case Tag::date_diff:
    case Tag::local: return true;
    default: return false;
  }
}

}  // namespace

Reads readsOf(const Expr& e, uint32_t i, uint8_t own, Reads* memo) {
  if (memo[i].col != -3) return memo[i];
  const Node& n = e[i];
  Reads r{-1, costlyTag(n.tag)};
  auto take = [&](uint32_t c) {
    const Reads x = readsOf(e, c, own, memo);
    r.costly |= x.costly;
    if (x.col == -1 || r.col == -2) return;
    if (x.col == -2 || r.col == -1) {
      r.col = x.col;
      return;
    }
    const Node& a = e[static_cast<uint32_t>(r.col)];
    const Node& b = e[static_cast<uint32_t>(x.col)];
    if (identAlias(a, own) != identAlias(b, own) || a.text != b.text) r.col = -2;
  };
  if (n.tag == Tag::ident) {
    r.col = static_cast<int32_t>(i);
  } else {
    if (readsA(n.tag)) take(n.a);
    if (readsB(n.tag)) take(n.b);
    if (isVariadic(n.tag))
      for (uint32_t c : e.list(n)) take(c);
  }
  memo[i] = r;
  return r;
}

EvalResult<Reads*> freshReads(Arena& arena, const Expr& e) {
  Reads* memo = arena.make<Reads>(e.count);
  if (!memo) return std::unexpected(EvalErr::OutOfMemory);
  for (uint32_t k = 0; k < e.count; ++k) memo[k] = Reads{};
  return memo;
}

namespace {

// Every identifier as the domain's values.
struct DomainCx {
  const Vec& v;
  EvalResult<Vec> resolve(Bytes) { return v; }
  EvalResult<Vec> resolveAt(uint8_t, Bytes) { return v; }
};

}  // namespace

uint64_t Exec::domainSize(uint8_t alias, Bytes name, bool costly, const Vec** col, const ColStats** stats) const {
  if (alias >= kAliasSlots || (alias != 0 && (!right[alias] || !steps[alias].ready))) return 0;
  const exec::Table& t = alias == 0 ? base : *right[alias];
  if (t.stats.empty()) return 0;
  size_t c = 0;
  while (c < t.names.size() && t.names[c] != name) ++c;
  if (c == t.names.size() || t.cols[c].scalar) return 0;
  const Vec& v = t.cols[c];
  const ColStats& st = t.stats[c];
  uint64_t m = 0;
  if (st.codes && st.dict.len)
    m = st.dict.len;
  else if (costly && v.data.tag == Data::Tag::int_ && (v.kind == Kind::int_ || v.kind == Kind::date) && st.known &&
           st.lo <= st.hi && static_cast<uint64_t>(st.hi) - static_cast<uint64_t>(st.lo) < kMaxDomain)
    m = static_cast<uint64_t>(st.hi) - static_cast<uint64_t>(st.lo) + 1;
  if (!m || m > kMaxDomain || (!Domain::forced && m * kRowsPerValue > base.nrows)) return 0;
  *col = &v;
  *stats = &st;
  return m;
}

Result<Vec> Exec::domainValues(const Vec& col, const ColStats& st, uint64_t m) {
  if (st.codes && st.dict.len) {
    uint32_t* idx = arena.make<uint32_t>(m + 1);
    if (!idx) return std::unexpected(Err::OutOfMemory);
    for (uint32_t j = 0; j < m; ++j) idx[j] = j;
    idx[m] = kMissingRow;
    return liftEval(gather(arena, st.dict, {idx, m + 1}));
  }
  int64_t* vals = arena.make<int64_t>(m + 1);
  uint8_t* vnulls = arena.make<uint8_t>(m + 1);
  if (!vals || !vnulls) return std::unexpected(Err::OutOfMemory);
  for (uint64_t j = 0; j <= m; ++j) {
    vals[j] = j < m ? st.lo + static_cast<int64_t>(j) : 0;
    vnulls[j] = j == m;
  }
  return column(col.kind, m + 1, vnulls, intData(vals));
}

namespace {

// Per position of sel (all n positions when it is all), the entry of its
// value: `at` maps positions to the column's rows (none: the same), a
// missing row or a null value takes entry m. emit(k, entry) gets the k-th
// position. A date's entry is read from its 16-bit day when `days` (the
// column's own, when col is the bound column) is given. Returns whether
// some position took entry m.
template <class Emit>
bool entries(const Vec& col, const ColStats& st, const uint16_t* days, uint64_t m, const uint32_t* at, Sel sel,
             Emit emit) {
  const uint8_t* nulls = col.nulls;
  const auto none = static_cast<uint32_t>(m);
  bool reads_null = false;
  auto each = [&](auto entry) {
    if (!at && !nulls && sel.all()) {
      for (size_t k = 0; k < sel.n; ++k) emit(k, entry(static_cast<uint32_t>(k)));
      return;
    }
    for (size_t k = 0; k < sel.n; ++k) {
      const uint32_t p = sel.at(k);
      const uint32_t r = at ? at[p] : p;
      // Rows read through a list lie far apart: ask a little ahead.
      if (at && k + 64 < sel.n && at[sel.at(k + 64)] != kMissingRow) entry.prefetch(at[sel.at(k + 64)]);
      const bool null = r == kMissingRow || (nulls && nulls[r]);
      reads_null |= null;
      emit(k, null ? none : entry(r));
    }
  };
  struct Narrow {
    const uint16_t* cs;
    uint32_t operator()(uint32_t r) const { return cs[r]; }
    void prefetch(uint32_t r) const { __builtin_prefetch(cs + r); }
  };
  if (st.codes && st.dict.len) {
    each(Narrow{st.codes});
  } else if (days) {
    each(Narrow{days});
  } else {
    struct {
      const int64_t* x;
      int64_t lo;
      uint32_t operator()(uint32_t r) const { return static_cast<uint32_t>(x[r] - lo); }
      void prefetch(uint32_t r) const { __builtin_prefetch(x + r); }
    } ints{col.data.ints, st.lo};
    each(ints);
  }
  return reads_null;
}

}  // namespace

Result<std::optional<Exec::Domain>> Exec::domainOf(uint8_t alias, Bytes name, bool costly) {
  const Vec* col = nullptr;
  const ColStats* st = nullptr;
  const uint64_t m = domainSize(alias, name, costly, &col, &st);
  if (!m) return std::nullopt;
  // Worked out once per column while the frame's positions stay.
  for (const Cached& k : cache)
    if (k.code && k.alias == alias && k.name == name) return Domain{k.code, k.v, k.reads_null};
  const size_t n = base.nrows;
  // The table row each position reads: the frame's own rows, or the join's;
  // none when the column's values per position are at hand already.
  // (A date's 16-bit days are fewer bytes to read than its values.)
  const Vec* values = col;
  const uint32_t* at = nullptr;
  for (const Cached& k : cache)
    if (!k.code && k.alias == alias && k.name == name && !st->codes && !st->days) values = &k.v;
  if (values == col) at = alias == 0 ? rows : TRY(joinIdx(alias));
  uint32_t* code = arena.make<uint32_t>(n + 1);
  if (!code) return std::unexpected(Err::OutOfMemory);
  Domain d;
  d.code = code;
  d.values = TRY(domainValues(*col, *st, m));
  const uint16_t* days = values == col ? st->days : nullptr;
  d.reads_null = entries(*values, *st, days, m, at, Sel{nullptr, n}, [code](size_t k, uint32_t e) { code[k] = e; });
  if (!cache.push(arena, Cached{name, d.values, alias, d.code, d.reads_null})) return std::unexpected(Err::OutOfMemory);
  return d;
}

Result<std::optional<Sel>> Exec::domainFilter(const Pred& p, Sel sel) {
  const Bound* b = nullptr;
  if (p.tag == Pred::Tag::expr) b = &p.expr;
  if (p.tag == Pred::Tag::cmp && p.cmp.lhs.tag == Operand::Tag::dim) b = &p.cmp.lhs.dim;
  if (!b || b->alias != 0) return std::optional<Sel>();
  const Expr& e = b->e;
  if (e[e.root].tag == Tag::ident) return std::optional<Sel>();  // plain columns have their own ways
  Reads* memo = TRY(liftEval(freshReads(arena, e)));
  const Reads r = readsOf(e, e.root, 0, memo);
  if (r.col < 0) return std::optional<Sel>();
  const Node& id = e[static_cast<uint32_t>(r.col)];
  if (identAlias(id, 0) != 0) return std::optional<Sel>();
  const Vec* col = nullptr;
  const ColStats* st = nullptr;
  const uint64_t m = domainSize(0, id.text, r.costly || p.tag == Pred::Tag::cmp, &col, &st);
  if (!m || (!Domain::forced && m * kRowsPerValue > sel.n)) return std::optional<Sel>();
  // The condition once per value; then each position reads its value's.
  Domain d;
  d.values = TRY(domainValues(*col, *st, m));
  std::optional<Vec> got = TRY(liftEval(overDomain(e, e.root, d)));
  if (!got) return std::optional<Sel>();
  Vec v = *got;
  if (p.tag == Pred::Tag::cmp) {
    auto c = cmpVec(arena, p.cmp, v);
    if (!c) return c.error() == EvalErr::OutOfMemory ? Result<std::optional<Sel>>(std::unexpected(Err::OutOfMemory))
                                                     : std::optional<Sel>();
    v = *c;
  }
  if (v.kind != Kind::bool_ || v.scalar) return std::optional<Sel>();
  uint8_t* keep = arena.make<uint8_t>(m + 1);
  uint32_t* out = arena.make<uint32_t>(sel.n + 1);
  if (!keep || !out) return std::unexpected(Err::OutOfMemory);
  for (uint64_t j = 0; j <= m; ++j) keep[j] = v.data.bools[j] && !(v.nulls && v.nulls[j]);
  size_t kept = 0;
  entries(*col, *st, st->days, m, rows, sel, [&](size_t k, uint32_t entry) {
    out[kept] = sel.at(k);
    kept += keep[entry];
  });
  return std::optional<Sel>(Sel{out, kept});
}

EvalResult<Vec> Exec::answersAt(const Vec& r, const Domain& d) {
  const size_t n = base.nrows;
  if (r.scalar || r.data.tag == Data::Tag::str) return gather(arena, r, {d.code, n});
  // A null mask only when an entry that some position reads is null.
  bool nulls = false;
  if (r.nulls) {
    const size_t m = r.len - 1;
    for (size_t j = 0; j < m; ++j) nulls |= r.nulls[j] != 0;
    nulls |= d.reads_null && r.nulls[m];
  }
  Vec w = r;
  w.len = n;
  w.nulls = nullptr;
  const uint32_t* __restrict code = d.code;
  if (nulls) {
    uint8_t* mask = arena.make<uint8_t>(n);
    if (!mask) return std::unexpected(EvalErr::OutOfMemory);
    const uint8_t* __restrict rn = r.nulls;
    for (size_t p = 0; p < n; ++p) mask[p] = rn[code[p]];
    w.nulls = mask;
  }
  auto through = [&]<class T>(const T* __restrict src) -> EvalResult<T*> {
    T* out = arena.make<T>(n);
    if (!out) return std::unexpected(EvalErr::OutOfMemory);
    for (size_t p = 0; p < n; ++p) out[p] = src[code[p]];
    return out;
  };
  switch (r.data.tag) {
    case Data::Tag::int_: w.data = intData(TRY(through(r.data.ints))); break;
    case Data::Tag::float_: w.data = floatData(TRY(through(r.data.floats))); break;
    case Data::Tag::bool_: w.data = boolData(TRY(through(r.data.bools))); break;
    case Data::Tag::str: break;
  }
  return w;
}

EvalResult<std::optional<Vec>> Exec::overDomain(const Expr& e, uint32_t i, const Domain& d) {
  DomainCx cx{d.values};
  auto v = evalNode(arena, e, i, cx);
  if (!v) {
    if (v.error() == EvalErr::OutOfMemory) return std::unexpected(EvalErr::OutOfMemory);
    return std::nullopt;
  }
  return std::optional<Vec>(*v);
}

EvalResult<std::optional<Vec>> Exec::domainShortcut(Cx& cx, const Expr& e, uint32_t i) {
  const Tag tag = e[i].tag;
  if ((tag >= Tag::int_ && tag <= Tag::null_lit) || tag == Tag::zoned_text) return std::nullopt;
  if (!Domain::forced && base.nrows < 64) return std::nullopt;
  if (cx.reads_of != e.nodes) {
    cx.reads = TRY(freshReads(arena, e));
    cx.reads_of = e.nodes;
  }
  const Reads r = readsOf(e, i, cx.alias, cx.reads);
  if (r.col < 0) return std::nullopt;
  const Node& id = e[static_cast<uint32_t>(r.col)];
  auto d = domainOf(identAlias(id, cx.alias), id.text, r.costly);
  if (!d) return std::unexpected(EvalErr::OutOfMemory);  // as resolving a joined column does
  if (!*d) return std::nullopt;
  std::optional<Vec> vals = TRY(overDomain(e, i, **d));
  if (!vals) return std::nullopt;
  return std::optional<Vec>(TRY(answersAt(*vals, **d)));
}

Result<bool> Exec::valueCodes(const Dim& d, ValueCodes* out) {
  const Expr& e = d.b.e;
  // A plain column groups as it is, unless a grain truncates it.
  if (e[e.root].tag == Tag::ident && !d.grain) return false;
  Reads* memo = TRY(liftEval(freshReads(arena, e)));
  const Reads r = readsOf(e, e.root, d.b.alias, memo);
  if (r.col < 0) return false;
  const Node& id = e[static_cast<uint32_t>(r.col)];
  std::optional<Domain> dom = TRY(domainOf(identAlias(id, d.b.alias), id.text, r.costly || d.grain));
  if (!dom) return false;
  std::optional<Vec> got = TRY(liftEval(overDomain(e, e.root, *dom)));
  if (!got) return false;
  Vec vals = *got;
  if (vals.scalar) return false;
  if (d.grain) {
    auto t = truncateVec(arena, *d.grain, vals, plan.periodStart(*d.grain, d.fiscal));
    if (!t) {
      if (t.error() == EvalErr::OutOfMemory) return std::unexpected(Err::OutOfMemory);
      return false;
    }
    vals = *t;
  }
  // Equal answers share a code (0: null); each code's value is its first
  // entry's.
  const size_t m1 = dom->values.len;
  const Codes c = TRY(codes(arena, vals, Sel{nullptr, m1}));
  uint32_t* first = arena.make<uint32_t>(c.n);
  if (!first) return std::unexpected(Err::OutOfMemory);
  for (uint32_t k = 0; k < c.n; ++k) first[k] = kMissingRow;
  for (size_t j = m1; j-- > 0;) first[c.codes[j]] = static_cast<uint32_t>(j);
  out->values = TRY(liftEval(gather(arena, vals, {first, c.n})));
  out->at = dom->code;
  out->code = c.codes;
  out->entries = m1;
  out->width = c.n;
  return true;
}

Result<Vec> Exec::valueCodesAt(const ValueCodes& v) {
  const size_t n = base.nrows;
  int64_t* out = arena.make<int64_t>(n + 1);
  if (!out) return std::unexpected(Err::OutOfMemory);
  const uint32_t* __restrict cc = v.code;
  const uint32_t* __restrict pc = v.at;
  for (size_t p = 0; p < n; ++p) out[p] = pc[p] == kMissingRow ? 0 : cc[pc[p]];
  return column(Kind::int_, n, nullptr, intData(out));
}

}  // namespace quendra
