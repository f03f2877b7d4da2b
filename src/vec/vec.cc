#include "vec/vec.h"

#include <cstring>

#include "base/hash.h"

namespace quendra {
namespace {

template <class T>
EvalResult<Vec> scalarOf(Arena& arena, Kind kind, T v) {
  T* p = arena.make<T>(1);
  if (!p) return std::unexpected(EvalErr::OutOfMemory);
  *p = v;
  Vec out;
  out.len = 1;
  out.kind = kind;
  out.scalar = true;
  if constexpr (std::is_same_v<T, int64_t>) out.data = intData(p);
  if constexpr (std::is_same_v<T, double>) out.data = floatData(p);
  if constexpr (std::is_same_v<T, uint8_t>) out.data = boolData(p);
  return out;
}

}  // namespace

EvalResult<Vec> scalarInt(Arena& arena, int64_t v) { return scalarOf(arena, Kind::int_, v); }
EvalResult<Vec> scalarFloat(Arena& arena, double v) { return scalarOf(arena, Kind::float_, v); }
EvalResult<Vec> scalarBool(Arena& arena, bool v) {
  return scalarOf(arena, Kind::bool_, static_cast<uint8_t>(v));
}
EvalResult<Vec> scalarTimestamp(Arena& arena, int64_t us) {
  return scalarOf(arena, Kind::timestamp, us);
}

EvalResult<Vec> scalarStr(Arena& arena, Bytes s) {
  uint64_t* offs = arena.make<uint64_t>(2);
  if (!offs) return std::unexpected(EvalErr::OutOfMemory);
  offs[0] = 0;
  offs[1] = s.size();
  Vec out;
  out.len = 1;
  out.kind = Kind::str;
  out.scalar = true;
  out.data = strData(offs, s);
  return out;
}

EvalResult<Vec> nullVec(Arena& arena, Kind kind, size_t n, bool scalar) {
  size_t m = scalar ? 1 : n;
  uint8_t* mask = arena.make<uint8_t>(m);
  if (!mask) return std::unexpected(EvalErr::OutOfMemory);
  std::memset(mask, 1, m);
  Vec out;
  out.len = n;
  out.nulls = mask;
  out.kind = kind;
  out.scalar = scalar;
  // All storage variants are zeroed the same way; only the element size and
  // the offsets' extra entry differ.
  switch (storageOf(kind)) {
    case Data::Tag::int_: {
      int64_t* p = arena.make<int64_t>(m);
      if (!p) return std::unexpected(EvalErr::OutOfMemory);
      std::memset(p, 0, m * sizeof *p);
      out.data = intData(p);
      break;
    }
    case Data::Tag::float_: {
      double* p = arena.make<double>(m);
      if (!p) return std::unexpected(EvalErr::OutOfMemory);
      std::memset(p, 0, m * sizeof *p);
      out.data = floatData(p);
      break;
    }
    case Data::Tag::bool_: {
      uint8_t* p = arena.make<uint8_t>(m);
      if (!p) return std::unexpected(EvalErr::OutOfMemory);
      std::memset(p, 0, m);
      out.data = boolData(p);
      break;
    }
    case Data::Tag::str: {
      if (m == SIZE_MAX) return std::unexpected(EvalErr::OutOfMemory);
      uint64_t* p = arena.make<uint64_t>(m + 1);
      if (!p) return std::unexpected(EvalErr::OutOfMemory);
      std::memset(p, 0, (m + 1) * sizeof *p);
      out.data = strData(p, Bytes());
      break;
    }
  }
  return out;
}

OutLen outLen(const Vec& a, const Vec& b) {
  if (a.scalar && b.scalar) return {1, true};
  return {a.scalar ? b.len : a.len, false};
}

EvalResult<uint8_t*> mergeNulls(Arena& arena, const Vec& a, const Vec& b, size_t n) {
  if (!a.nulls && !b.nulls) return nullptr;
  size_t m = outLen(a, b).scalar ? 1 : n;
  uint8_t* out = arena.make<uint8_t>(m);
  if (!out) return std::unexpected(EvalErr::OutOfMemory);
  // A scalar's mask decides for every row at once; only column masks need a
  // per-entry pass.
  const uint8_t* col_a = a.scalar ? nullptr : a.nulls;
  const uint8_t* col_b = b.scalar ? nullptr : b.nulls;
  bool all_null = (a.scalar && a.nulls && a.nulls[0]) || (b.scalar && b.nulls && b.nulls[0]);
  if (all_null) {
    std::memset(out, 1, m);
  } else if (col_a && col_b) {
    for (size_t i = 0; i < m; ++i) out[i] = col_a[i] | col_b[i];
  } else if (col_a || col_b) {
    std::memcpy(out, col_a ? col_a : col_b, m);
  } else {
    std::memset(out, 0, m);
  }
  return out;
}

namespace {

// The dictionary of a text column whose rows hold at most 65,535 distinct
// values, each on average at least 8 times: filters on it are then
// evaluated once per distinct value, grouping numbers the codes, and a
// join on it looks each value up once. Gives up as soon as the values show
// too many different ones, or mostly different ones so far: a value new
// in most early rows, as a comment's, stays so, while a code's early rows
// (the first days of a year of flights) may already show most of its
// values and repeat them later. False when memory runs out.
bool encode(Arena& arena, const Vec& v, ColStats& st) {
  constexpr size_t kMaxDistinct = 65535, kRepeats = 8, kJudgeFrom = 8192;
  if (v.scalar || v.kind != Kind::str || v.len < kJudgeFrom) return true;
  Arena scratch;
  BytesMap<uint16_t> map;
  uint16_t* codes = scratch.make<uint16_t>(v.len);
  if (!codes) return false;
  for (size_t r = 0; r < v.len; ++r) {
    if (v.nulls && v.nulls[r]) {
      codes[r] = 0;
      continue;
    }
    auto slot = map.findOrInsert(scratch, v.strAt(r));
    if (!slot) return false;
    if (slot->inserted) {
      if (map.size() > kMaxDistinct || map.size() * kRepeats > v.len || (r + 1 >= kJudgeFrom && map.size() * 2 > r + 1))
        return true;
      *slot->value = static_cast<uint16_t>(map.size() - 1);
    }
    codes[r] = *slot->value;
  }
  if (map.size() * kRepeats > v.len) return true;
  const size_t nd = map.size();
  uint64_t* offs = arena.make<uint64_t>(nd + 1);
  uint16_t* kept = arena.make<uint16_t>(v.len);
  if (!offs || !kept) return false;
  std::memset(offs, 0, (nd + 1) * sizeof(uint64_t));
  map.forEach([&](Bytes key, uint16_t code) { offs[code + 1] = key.size(); });
  for (size_t c = 0; c < nd; ++c) offs[c + 1] += offs[c];
  char* bytes = arena.make<char>(offs[nd]);
  if (!bytes && offs[nd]) return false;
  map.forEach([&](Bytes key, uint16_t code) {
    if (!key.empty()) std::memcpy(bytes + offs[code], key.data(), key.size());
  });
  std::memcpy(kept, codes, v.len * sizeof(uint16_t));
  st.codes = kept;
  st.dict = column(Kind::str, nd, nullptr, strData(offs, Bytes(bytes, offs[nd])));
  return true;
}

}  // namespace

std::optional<ColStats> statsOf(Arena& arena, const Vec& v) {
  ColStats st;
  if (!encode(arena, v, st)) return std::nullopt;
  if (v.scalar || v.data.tag != Data::Tag::int_ || v.len == 0) return st;
  const size_t nzones = (v.len + kZoneRows - 1) / kZoneRows;
  int64_t* zones = arena.make<int64_t>(2 * nzones);
  if (!zones) return std::nullopt;
  const int64_t* __restrict x = v.data.ints;
  const uint8_t* __restrict nulls = v.nulls;
  st.lo = INT64_MAX;
  st.hi = INT64_MIN;
  for (size_t z = 0; z < nzones; ++z) {
    const size_t from = z * kZoneRows, to = from + kZoneRows < v.len ? from + kZoneRows : v.len;
    // Four independent minima and maxima, so the compare-and-select chains
    // overlap; a null compares as neither.
    int64_t lo[4] = {INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX};
    int64_t hi[4] = {INT64_MIN, INT64_MIN, INT64_MIN, INT64_MIN};
    size_t i = from;
    for (; i + 4 <= to; i += 4)
      for (size_t j = 0; j < 4; ++j) {
        const bool live = !nulls || !nulls[i + j];
        const int64_t a = x[i + j];
        lo[j] = live && a < lo[j] ? a : lo[j];
        hi[j] = live && a > hi[j] ? a : hi[j];
        st.known |= live;
      }
    for (; i < to; ++i) {
      const bool live = !nulls || !nulls[i];
      lo[0] = live && x[i] < lo[0] ? x[i] : lo[0];
      hi[0] = live && x[i] > hi[0] ? x[i] : hi[0];
      st.known |= live;
    }
    for (size_t j = 1; j < 4; ++j) {
      lo[0] = lo[j] < lo[0] ? lo[j] : lo[0];
      hi[0] = hi[j] > hi[0] ? hi[j] : hi[0];
    }
    zones[2 * z] = lo[0];
    zones[2 * z + 1] = hi[0];
    st.lo = lo[0] < st.lo ? lo[0] : st.lo;
    st.hi = hi[0] > st.hi ? hi[0] : st.hi;
  }
  st.zones = zones;
  if (!st.known) st.lo = st.hi = 0;
  if (v.kind == Kind::date && st.known && static_cast<uint64_t>(st.hi) - static_cast<uint64_t>(st.lo) < 65536) {
    uint16_t* days = arena.make<uint16_t>(v.len);
    if (!days) return std::nullopt;
    const auto lo = static_cast<uint64_t>(st.lo);
    for (size_t i = 0; i < v.len; ++i) days[i] = static_cast<uint16_t>(static_cast<uint64_t>(x[i]) - lo);
    st.days = days;
  }
  return st;
}

}  // namespace quendra
