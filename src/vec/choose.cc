// Kernels that pick values: a choice between two vectors (CASE, COALESCE)
// and the absolute value.
#include <cmath>
#include <cstring>

#include "vec/kernels.h"
#include "vec/time.h"

namespace quendra {
namespace {

// The kind a and b take together: equal kinds stay, int with float is
// float, date with timestamp is timestamp, and a null scalar takes the
// other's kind. Nothing for any other pair.
std::optional<Kind> common(const Vec& a, const Vec& b) {
  if (a.isNullScalar()) return b.kind;
  if (b.isNullScalar() || a.kind == b.kind) return a.kind;
  if (a.isNumeric() && b.isNumeric()) return Kind::float_;
  if (a.isTemporal() && b.isTemporal()) return Kind::timestamp;
  return std::nullopt;
}

// v as kind k (one of the widenings `common` allows), same shape and mask.
EvalResult<Vec> widen(Arena& arena, const Vec& v, Kind k) {
  if (v.kind == k) return v;
  if (v.isNullScalar()) return nullVec(arena, k, 1, true);
  const size_t m = v.stored();
  Vec w = v;
  w.kind = k;
  if (k == Kind::float_) {
    double* out = arena.make<double>(m);
    if (!out) return std::unexpected(EvalErr::OutOfMemory);
    for (size_t i = 0; i < m; ++i) out[i] = v.nulls && v.nulls[i] ? 0 : static_cast<double>(v.data.ints[i]);
    w.data = floatData(out);
    return w;
  }
  int64_t* out = arena.make<int64_t>(m);  // date to timestamp: its midnight
  if (!out) return std::unexpected(EvalErr::OutOfMemory);
  for (size_t i = 0; i < m; ++i) out[i] = v.nulls && v.nulls[i] ? 0 : microsOfDay(v.data.ints[i]);
  w.data = intData(out);
  return w;
}

template <class T>
void pickFixed(const uint8_t* take, const uint8_t* nulls, size_t n, const T* a, bool as, const T* b, bool bs,
               T* out) {
  for (size_t i = 0; i < n; ++i) out[i] = take[i] ? a[as ? 0 : i] : b[bs ? 0 : i];
  if (nulls)
    for (size_t i = 0; i < n; ++i)
      if (nulls[i]) out[i] = T{};
}

}  // namespace

EvalResult<Vec> choose(Arena& arena, const Vec& cond, const Vec& a0, const Vec& b0) {
  if (cond.kind != Kind::bool_ && !cond.isNullScalar()) return std::unexpected(EvalErr::TypeMismatch);
  // Null either way: still a null of no particular kind, which a later
  // choice between it and a value of any kind can take.
  if (a0.isNullScalar() && b0.isNullScalar()) return b0;
  std::optional<Kind> k = common(a0, b0);
  if (!k) return std::unexpected(EvalErr::TypeMismatch);
  Vec a = TRY(widen(arena, a0, *k));
  Vec b = TRY(widen(arena, b0, *k));
  if (cond.scalar) return !cond.isNull(0) && cond.boolAt(0) ? a : b;
  // Per row: 1 where a is taken.
  const size_t n = cond.len;
  uint8_t* take = arena.make<uint8_t>(n);
  if (!take) return std::unexpected(EvalErr::OutOfMemory);
  for (size_t i = 0; i < n; ++i) take[i] = !(cond.nulls && cond.nulls[i]) && cond.data.bools[i];
  uint8_t* nulls = nullptr;
  if (a.nulls || b.nulls) {
    if (!(nulls = arena.make<uint8_t>(n))) return std::unexpected(EvalErr::OutOfMemory);
    for (size_t i = 0; i < n; ++i) nulls[i] = take[i] ? a.isNull(i) : b.isNull(i);
  }
  // Null entries hold 0 (an empty string), whatever the chosen side held.
  auto live = [&](size_t i) { return !(nulls && nulls[i]); };
  Vec out = column(*k, n, nulls, Data());
  switch (storageOf(*k)) {
    case Data::Tag::int_: {
      int64_t* p = arena.make<int64_t>(n);
      if (!p) return std::unexpected(EvalErr::OutOfMemory);
      pickFixed(take, nulls, n, a.data.ints, a.scalar, b.data.ints, b.scalar, p);
      out.data = intData(p);
      break;
    }
    case Data::Tag::float_: {
      double* p = arena.make<double>(n);
      if (!p) return std::unexpected(EvalErr::OutOfMemory);
      pickFixed(take, nulls, n, a.data.floats, a.scalar, b.data.floats, b.scalar, p);
      out.data = floatData(p);
      break;
    }
    case Data::Tag::bool_: {
      uint8_t* p = arena.make<uint8_t>(n);
      if (!p) return std::unexpected(EvalErr::OutOfMemory);
      pickFixed(take, nulls, n, a.data.bools, a.scalar, b.data.bools, b.scalar, p);
      out.data = boolData(p);
      break;
    }
    case Data::Tag::str: {
      // Offsets first, refusing a total that would wrap; then the bytes.
      uint64_t* offs = arena.make<uint64_t>(n + 1);
      if (!offs || n == SIZE_MAX) return std::unexpected(EvalErr::OutOfMemory);
      uint64_t total = 0;
      offs[0] = 0;
      for (size_t i = 0; i < n; ++i) {
        if (live(i) && __builtin_add_overflow(total, (take[i] ? a : b).strAt(i).size(), &total))
          return std::unexpected(EvalErr::OutOfMemory);
        offs[i + 1] = total;
      }
      char* bytes = arena.make<char>(total);
      if (!bytes && total) return std::unexpected(EvalErr::OutOfMemory);
      for (size_t i = 0; i < n; ++i) {
        if (!live(i)) continue;
        Bytes s = (take[i] ? a : b).strAt(i);
        if (!s.empty()) std::memcpy(bytes + offs[i], s.data(), s.size());
      }
      out.data = strData(offs, Bytes(bytes, total));
      break;
    }
  }
  return out;
}

EvalResult<Vec> absolute(Arena& arena, const Vec& v) {
  if (v.isNullScalar()) return nullVec(arena, v.kind == Kind::float_ ? Kind::float_ : Kind::int_, 1, true);
  if (!v.isNumeric()) return std::unexpected(EvalErr::TypeMismatch);
  const size_t m = v.stored();
  Vec w = v;
  if (v.kind == Kind::int_) {
    int64_t* out = arena.make<int64_t>(m);
    if (!out) return std::unexpected(EvalErr::OutOfMemory);
    // Negated as unsigned, so INT64_MIN wraps to itself as 0 - x does.
    const int64_t* x = v.data.ints;
    for (size_t i = 0; i < m; ++i)
      out[i] = v.nulls && v.nulls[i] ? 0 : x[i] < 0 ? static_cast<int64_t>(0 - static_cast<uint64_t>(x[i])) : x[i];
    w.data = intData(out);
  } else {
    double* out = arena.make<double>(m);
    if (!out) return std::unexpected(EvalErr::OutOfMemory);
    for (size_t i = 0; i < m; ++i) out[i] = v.nulls && v.nulls[i] ? 0 : std::fabs(v.data.floats[i]);
    w.data = floatData(out);
  }
  return w;
}

}  // namespace quendra
