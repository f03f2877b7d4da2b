// The frame's shared operations: column resolution, measures by name,
// turning evaluation errors into reports, and gather.
#include <cassert>
#include <cstring>

#include "exec/exec.h"
#include "expr/show.h"
#include "vec/time.h"

namespace quendra {

Result<Bytes> joinNames(Arena& arena, std::span<const Bytes> names) {
  size_t total = 0;
  for (size_t i = 0; i < names.size(); ++i) total += names[i].size() + (i ? 2 : 0);
  char* out = arena.make<char>(total);
  if (!out) return std::unexpected(Err::OutOfMemory);
  size_t at = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) {
      std::memcpy(out + at, ", ", 2);
      at += 2;
    }
    if (!names[i].empty()) std::memcpy(out + at, names[i].data(), names[i].size());
    at += names[i].size();
  }
  return Bytes(out, total);
}

EvalResult<Vec> Exec::Cx::resolve(Bytes name) {
  for (const Cached& c : ex.cache)
    if (c.alias == alias && c.name == name && !c.code) return c.v;
  const exec::Table* t = nullptr;
  if (alias == 0)
    t = &ex.base;
  else if (alias < kAliasSlots && ex.right[alias])
    t = &*ex.right[alias];
  if (!t) return std::unexpected(EvalErr::UnknownColumn);
  size_t i = 0;
  while (i < t->names.size() && t->names[i] != name) ++i;
  if (i == t->names.size()) {
    auto avail = joinNames(ex.arena, t->names);
    if (avail)
      ex.diag.set(Err::UnknownField, {"column '", name, "' not found in table (available: ", *avail, ")"});
    else
      ex.diag.set(Err::UnknownField, {"out of memory"});
    return std::unexpected(EvalErr::UnknownColumn);
  }
  Vec v = t->cols[i];
  if (alias != 0) {
    auto idx = ex.joinIdx(alias);
    if (!idx) return std::unexpected(EvalErr::OutOfMemory);
    v = TRY(gather(ex.arena, v, {*idx, ex.base.nrows}));
  }
  else if (ex.rows)
    v = TRY(gather(ex.arena, v, {ex.rows, ex.base.nrows}));
  if (!ex.cache.push(ex.arena, Cached{name, v, alias})) return std::unexpected(EvalErr::OutOfMemory);
  return v;
}

std::optional<Vec> Exec::joinedColumn(const Bound& b) const {
  if (b.alias == 0 || b.alias >= kAliasSlots || !right[b.alias] || !steps[b.alias].ready) return std::nullopt;
  if (b.e.count != 1 || b.e[b.e.root].tag != Tag::ident) return std::nullopt;
  const exec::Table& t = *right[b.alias];
  for (size_t i = 0; i < t.names.size(); ++i)
    if (t.names[i] == b.e[b.e.root].text) return t.cols[i];
  return std::nullopt;
}

const ColStats* Exec::baseStats(const Bound& b) const {
  if (b.alias != 0 || b.e.count != 1 || b.e[b.e.root].tag != Tag::ident || base.stats.empty()) return nullptr;
  for (size_t i = 0; i < base.names.size(); ++i)
    if (base.names[i] == b.e[b.e.root].text) return &base.stats[i];
  return nullptr;
}

EvalResult<Vec> Exec::MCx::resolve(Bytes name) {
  std::optional<uint32_t> i = ex.plan.findMeasure(name);
  if (!i) return std::unexpected(EvalErr::UnknownColumn);
  // Whatever went wrong inside the referenced measure fails the enclosing
  // calculation as a type mismatch, with the message the referenced measure
  // recorded when it is Invalid (its own expression says more than the
  // reference to it), except running out of memory, which is no fault of
  // the expression and must reach the host as such.
  auto v = ex.measureVec(*i, static_cast<uint8_t>(depth + 1));
  if (!v) {
    if (v.error() == Err::OutOfMemory) return std::unexpected(EvalErr::OutOfMemory);
    ex.met.recorded = v.error() == Err::Invalid;
    return std::unexpected(EvalErr::TypeMismatch);
  }
  return *v;
}

void Exec::Met::take(const Expr& x, uint32_t i, std::span<const Vec> ops) {
  e = x;
  node = i;
  n = static_cast<uint8_t>(ops.size() < kOps ? ops.size() : kOps);
  for (size_t k = 0; k < n; ++k) kinds[k] = ops[k].isNullScalar() ? kNull : static_cast<uint8_t>(ops[k].kind);
  set = true;
  recorded = false;
}

namespace {

Bytes wordOfKind(uint8_t kind) {
  switch (kind) {
    case static_cast<uint8_t>(Kind::int_): return "integer";
    case static_cast<uint8_t>(Kind::float_): return "float";
    case static_cast<uint8_t>(Kind::bool_): return "boolean";
    case static_cast<uint8_t>(Kind::str): return "text";
    case static_cast<uint8_t>(Kind::date): return "date";
    case static_cast<uint8_t>(Kind::timestamp): return "timestamp";
    default: return "null";
  }
}

}  // namespace

Bytes kindWord(const Vec& v) { return wordOfKind(v.isNullScalar() ? Exec::Met::kNull : static_cast<uint8_t>(v.kind)); }

namespace {

// The words that begin the message of e.
Bytes wordsOf(EvalErr e) {
  return e == EvalErr::BadLiteral ? Bytes("cannot read a literal in the expression (timestamps are YYYY-MM-DD[ HH:MM:SS])")
                                  : Bytes("type mismatch in expression");
}

}  // namespace

Err Exec::report(EvalErr e, Bytes before, Bytes name, Bytes after, Bytes kinds) {
  const Bytes words = wordsOf(e);
  if (kinds.empty())
    diag.setOr(Err::Invalid, words, {words, ": ", before, "'", name, "'", after});
  else
    diag.setOr(Err::Invalid, words, {words, ": ", before, "'", name, "'", after, " (", kinds, ")"});
  return Err::Invalid;
}

Err Exec::lift(EvalErr e) {
  switch (e) {
    case EvalErr::OutOfMemory: return Err::OutOfMemory;
    case EvalErr::UnknownColumn: return Err::UnknownField;
    case EvalErr::TypeMismatch:
    case EvalErr::BadLiteral: break;
  }
  const Met m = met;
  met.set = met.recorded = false;
  if (m.recorded && e == EvalErr::TypeMismatch && diag.err == Err::Invalid) return Err::Invalid;
  if (!m.set) {
    diag.setOr(Err::Invalid, wordsOf(e), {wordsOf(e)});
    return Err::Invalid;
  }
  Shown what, kinds;
  showExpr(what, m.e, m.node);
  Bytes words[Met::kOps];
  for (size_t k = 0; k < m.n; ++k) words[k] = wordOfKind(m.kinds[k]);
  if (m.n) showExpr(kinds, m.e, m.node, {words, m.n});
  return report(e, "", what.view(), "", kinds.view());
}

Err Exec::liftOrKeep(EvalErr e) {
  if (e == EvalErr::UnknownColumn) return diag.err ? *diag.err : Err::UnknownField;
  return lift(e);
}

Result<Vec> Exec::evalBound(const Bound& b) {
  Cx cx{*this, b.alias};
  auto v = evalExpr(arena, b.e, cx);
  if (!v) return std::unexpected(liftOrKeep(v.error()));
  return *v;
}

Result<void> Exec::checkKinds(const bool* needed) {
  // A copy of this frame whose one position reads nulls everywhere; its
  // resolved columns go to a cache of its own.
  Exec probe = fork();
  TRY(probe.compact(Sel{kNullRow, 1}));
  for (const Pred& p : plan.where) TRY(keepTrue(probe, Sel{nullptr, 1}, TRY(probe.evalPred(p)), 1));
  for (const Dim& d : plan.dims) {
    Vec v = TRY(probe.evalBound(d.b));
    if (!d.grain) continue;
    auto t = truncateVec(arena, *d.grain, v, plan.periodStart(*d.grain, d.fiscal));
    if (t || t.error() != EvalErr::TypeMismatch) {
      TRY(probe.liftEval(t));
      continue;
    }
    Shown name, grain;
    name.put(d.name);
    grain.put(" at grain ");
    grain.put(grainLabel(*d.grain, d.fiscal));
    return std::unexpected(report(EvalErr::TypeMismatch, "", name.view(), grain.view(), kindWord(v)));
  }
  for (size_t i = 0; i < plan.measures.size(); ++i)
    if (needed[i] && plan.measures[i].def.tag == MeasureDef::Tag::agg) TRY(probe.aggArg(plan.measures[i].def.agg));
  return {};
}

Result<Vec> Exec::measureVec(uint32_t idx, uint8_t depth) {
  if (measure_vals[idx]) return *measure_vals[idx];
  const Measure& m = plan.measures[idx];
  if (m.def.tag != MeasureDef::Tag::calc)
    return diag.fail(Err::Invalid, {"measure '", m.name, "' was not aggregated"});
  MCx cx{*this, depth};
  auto v = evalExpr(arena, m.def.calc, cx);
  if (!v) return std::unexpected(lift(v.error()));
  measure_vals[idx] = *v;
  return *v;
}

namespace {

// Fixed-width values at idx; a marker position gets 0. Separate loops for
// the common cases so that a join's gather without misses is a plain copy
// through the index.
template <class T>
void gatherFixed(const T* __restrict src, bool scalar, const uint32_t* __restrict idx, size_t n,
                 T* __restrict out, bool missing) {
  if (scalar) {
    for (size_t k = 0; k < n; ++k) out[k] = idx[k] == kMissingRow ? T{} : src[0];
  } else if (missing) {
    for (size_t k = 0; k < n; ++k) out[k] = idx[k] == kMissingRow ? T{} : src[idx[k]];
  } else {
    // Rows far apart miss the cache each; asking a little ahead overlaps
    // those misses.
    constexpr size_t kAhead = 64;
    size_t k = 0;
    for (; k + kAhead < n; ++k) {
      __builtin_prefetch(src + idx[k + kAhead]);
      out[k] = src[idx[k]];
    }
    for (; k < n; ++k) out[k] = src[idx[k]];
  }
}

}  // namespace

EvalResult<Vec> gather(Arena& arena, const Vec& v, std::span<const uint32_t> idx) {
  const size_t n = idx.size();
  const uint32_t* ix = idx.data();
  bool missing = false;
  for (size_t k = 0; k < n; ++k) missing |= ix[k] == kMissingRow;
  Vec w;
  w.len = n;
  w.kind = v.kind;
  w.scalar = false;
  w.data = strData(nullptr, Bytes());  // every word of the union defined
  if (v.nulls || missing) {
    uint8_t* mask = arena.make<uint8_t>(n);
    if (!mask) return std::unexpected(EvalErr::OutOfMemory);
    for (size_t k = 0; k < n; ++k) mask[k] = ix[k] == kMissingRow || (v.nulls && v.nulls[v.scalar ? 0 : ix[k]]);
    w.nulls = mask;
  }
  switch (v.data.tag) {
    case Data::Tag::int_: {
      int64_t* out = arena.make<int64_t>(n);
      if (!out) return std::unexpected(EvalErr::OutOfMemory);
      gatherFixed(v.data.ints, v.scalar, ix, n, out, missing);
      w.data = intData(out);
      break;
    }
    case Data::Tag::float_: {
      double* out = arena.make<double>(n);
      if (!out) return std::unexpected(EvalErr::OutOfMemory);
      gatherFixed(v.data.floats, v.scalar, ix, n, out, missing);
      w.data = floatData(out);
      break;
    }
    case Data::Tag::bool_: {
      uint8_t* out = arena.make<uint8_t>(n);
      if (!out) return std::unexpected(EvalErr::OutOfMemory);
      gatherFixed(v.data.bools, v.scalar, ix, n, out, missing);
      w.data = boolData(out);
      break;
    }
    case Data::Tag::str: {
      if (n == SIZE_MAX) return std::unexpected(EvalErr::OutOfMemory);
      uint64_t* offs = arena.make<uint64_t>(n + 1);
      if (!offs) return std::unexpected(EvalErr::OutOfMemory);
      const uint8_t* mask = w.nulls;
      const uint64_t* so = v.data.str.offs;
      // Offsets first, refusing a total that would wrap: the same long
      // string gathered for billions of rows must fail, not alias.
      uint64_t total = 0;
      offs[0] = 0;
      for (size_t k = 0; k < n; ++k) {
        if (!(mask && mask[k])) {
          size_t at = v.scalar ? 0 : ix[k];
          if (__builtin_add_overflow(total, so[at + 1] - so[at], &total))
            return std::unexpected(EvalErr::OutOfMemory);
        }
        offs[k + 1] = total;
      }
      char* bytes = arena.make<char>(total);
      if (!bytes) return std::unexpected(EvalErr::OutOfMemory);
      const char* src = v.data.str.bytes.data();
      for (size_t k = 0; k < n; ++k) {
        uint64_t len = offs[k + 1] - offs[k];
        if (len) std::memcpy(bytes + offs[k], src + so[v.scalar ? 0 : ix[k]], len);
      }
      w.data = strData(offs, Bytes(bytes, total));
      break;
    }
  }
  return w;
}

}  // namespace quendra
