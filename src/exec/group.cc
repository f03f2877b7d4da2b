#include "exec/group.h"

#include <bit>
#include <cassert>
#include <cstring>

#include "base/hash.h"
#include "exec/exec.h"
#include "exec/keymap.h"
#include "vec/time.h"

namespace quendra {
namespace {

constexpr uint64_t kCanonicalNaN = 0x7FF8000000000000ull;

inline uint64_t floatKey(double x) {
  if (x != x) return kCanonicalNaN;
  if (x == 0) return 0;  // -0.0 and +0.0 alike
  return std::bit_cast<uint64_t>(x);
}

inline bool nullAt(const Vec& v, uint32_t row) { return v.nulls && v.nulls[v.scalar ? 0 : row]; }

// Calls f(k, row) for the selected positions k in [from, to), in order;
// Masked rows that are null go to g(k) instead. One loop per shape, so
// nothing is decided per row.
template <bool Masked, bool All, class F, class G>
inline bool eachSelected(Sel sel, size_t from, size_t to, const uint8_t* __restrict nulls, F&& f, G&& g) {
  for (size_t k = from; k < to; ++k) {
    uint32_t row = All ? static_cast<uint32_t>(k) : sel.idx[k];
    if (Masked && nulls[row]) {
      g(k);
      continue;
    }
    if (!f(k, row)) return false;
  }
  return true;
}

template <class F, class G>
inline bool bySelShape(const Vec& v, Sel sel, size_t from, size_t to, F&& f, G&& g) {
  const uint8_t* nulls = v.nulls;
  if (nulls)
    return sel.all() ? eachSelected<true, true>(sel, from, to, nulls, f, g)
                     : eachSelected<true, false>(sel, from, to, nulls, f, g);
  return sel.all() ? eachSelected<false, true>(sel, from, to, nulls, f, g)
                   : eachSelected<false, false>(sel, from, to, nulls, f, g);
}

template <class F, class G>
inline bool bySelShape(const Vec& v, Sel sel, F&& f, G&& g) {
  return bySelShape(v, sel, 0, sel.n, f, g);
}

// Strings of up to 16 bytes as two words and a length, the words read in
// one piece wherever 16 bytes lie within the buffer: no byte loop, no
// call, and equality is three compares.
struct ShortString {
  struct Key {
    uint64_t a, b, len;
  };

  static Key of(const char* p, uint64_t len, bool room) {
    uint64_t w[2] = {0, 0};
    if (room) {
      std::memcpy(w, p, 16);
      // Keep only the string's own bytes (little-endian: the low ones).
      if (len < 8) {
        w[0] &= len ? ~uint64_t{0} >> (64 - 8 * len) : 0;
        w[1] = 0;
      } else if (len < 16) {
        w[1] &= len > 8 ? ~uint64_t{0} >> (128 - 8 * len) : 0;
      }
    } else if (len) {
      std::memcpy(w, p, len);
    }
    return {w[0], w[1], len};
  }

  static uint64_t hash(const Key& k) { return mix64((k.a ^ (k.len << 59)) * 0x9E3779B97F4A7C15ull + k.b); }
  static bool eq(const Key& x, const Key& y) { return x.a == y.a && x.b == y.b && x.len == y.len; }
};

struct KeyRange {
  int64_t lo = INT64_MAX, hi = INT64_MIN;
  size_t live = 0;  // selected rows that are not null
};

template <class KeyOf>
KeyRange keyRange(const Vec& v, Sel sel, KeyOf key) {
  KeyRange r;
  if (sel.all() && !v.nulls && sel.n) {
    // The common case of a whole column: four independent minima and
    // maxima, so the compare-and-select chains overlap.
    int64_t lo[4] = {INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX};
    int64_t hi[4] = {INT64_MIN, INT64_MIN, INT64_MIN, INT64_MIN};
    const size_t n = sel.n;
    size_t k = 0;
    for (; k + 4 <= n; k += 4)
      for (size_t j = 0; j < 4; ++j) {
        int64_t x = static_cast<int64_t>(key(static_cast<uint32_t>(k + j)));
        lo[j] = x < lo[j] ? x : lo[j];
        hi[j] = x > hi[j] ? x : hi[j];
      }
    for (; k < n; ++k) {
      int64_t x = static_cast<int64_t>(key(static_cast<uint32_t>(k)));
      lo[0] = x < lo[0] ? x : lo[0];
      hi[0] = x > hi[0] ? x : hi[0];
    }
    for (size_t j = 0; j < 4; ++j) {
      r.lo = lo[j] < r.lo ? lo[j] : r.lo;
      r.hi = hi[j] > r.hi ? hi[j] : r.hi;
    }
    r.live = n;
    return r;
  }
  bySelShape(
      v, sel,
      [&](size_t, uint32_t row) {
        int64_t x = static_cast<int64_t>(key(row));
        r.lo = x < r.lo ? x : r.lo;
        r.hi = x > r.hi ? x : r.hi;
        ++r.live;
        return true;
      },
      [](size_t) {});
  return r;
}

// Numbers positions [from, to) of sel through a direct table over keys
// from `base`, holding number + 1 (0: not seen yet): put(k, row, number)
// takes each position's number.
template <class KeyOf, class Put>
void directNumbers(const Vec& v, Sel sel, size_t from, size_t to, KeyOf key, uint32_t* __restrict tab,
                   uint64_t base, Numbering& num, Put&& put) {
  bySelShape(
      v, sel, from, to,
      [&](size_t k, uint32_t row) {
        uint32_t& slot = tab[key(row) - base];
        if (!slot) slot = ++num.next;
        put(k, row, slot - 1);
        return true;
      },
      [&](size_t k) { put(k, sel.at(k), num.forNull()); });
}

uint64_t intKey(const int64_t* x, uint32_t r) { return static_cast<uint64_t>(x[r]); }

// Numbers the 64-bit keys key(row) of a non-scalar vector: a direct table
// over a small key range, otherwise a hash map; the tables hold number + 1
// so that 0 marks a key not seen yet.
template <class KeyOf>
Result<Codes> keyCodes(Arena& arena, const Vec& v, Sel sel, uint32_t* out, KeyOf key, Numbering num) {
  const auto [lo, hi, live] = keyRange(v, sel, key);
  auto onNull = [&](size_t k) { out[k] = num.forNull(); };
  if (live == 0) {
    for (size_t k = 0; k < sel.n; ++k) out[k] = num.forNull();
    return Codes{out, num.next};
  }
  uint64_t range = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
  if (useDirect(range, live)) {
    uint32_t* tab = arena.make<uint32_t>(range + 1);
    if (!tab) return std::unexpected(Err::OutOfMemory);
    std::memset(tab, 0, (range + 1) * sizeof(uint32_t));
    directNumbers(v, sel, 0, sel.n, key, tab, static_cast<uint64_t>(lo), num,
                  [out](size_t k, uint32_t, uint32_t g) { out[k] = g; });
    return Codes{out, num.next};
  }
  KeyMap map;
  const uint64_t distinct = expectDistinct(arena, sel.n, [&](size_t k) { return key(sel.at(k)); });
  if (!map.init(arena, lo, hi, live, distinct)) return std::unexpected(Err::OutOfMemory);
  bool ok = bySelShape(
      v, sel,
      [&](size_t k, uint32_t row) {
        uint32_t* slot = map.upsert(arena, key(row));
        if (!slot) return false;
        if (!*slot) *slot = ++num.next;
        out[k] = *slot - 1;
        return true;
      },
      onNull);
  if (!ok) return std::unexpected(Err::OutOfMemory);
  return Codes{out, num.next};
}

// codes() or, with num.null_is_value, group numbers; scalars number every
// row alike, booleans use their fixed codes and strings a map of bytes.
Result<Codes> number(Arena& arena, const Vec& v, Sel sel, Numbering num) {
  uint32_t* out = arena.make<uint32_t>(sel.n);
  if (!out) return std::unexpected(Err::OutOfMemory);
  if (v.scalar) {
    uint32_t c = 0;
    if (sel.n) c = v.isNull(0) ? num.forNull() : num.next++;
    for (size_t k = 0; k < sel.n; ++k) out[k] = c;
    return Codes{out, num.next};
  }
  switch (v.data.tag) {
    case Data::Tag::int_: {
      const int64_t* x = v.data.ints;
      return keyCodes(arena, v, sel, out, [x](uint32_t r) { return intKey(x, r); }, num);
    }
    case Data::Tag::float_: {
      const double* x = v.data.floats;
      return keyCodes(arena, v, sel, out, [x](uint32_t r) { return floatKey(x[r]); }, num);
    }
    case Data::Tag::bool_: break;
    case Data::Tag::str: {
      HashMap<ShortString, uint32_t> shorts;
      BytesMap<uint32_t> longs;
      const uint64_t* offs = v.data.str.offs;
      const char* bytes = v.data.str.bytes.data();
      const uint64_t total = v.data.str.bytes.size();
      bool ok = bySelShape(
          v, sel,
          [&](size_t k, uint32_t row) {
            const uint64_t from = offs[row], len = offs[row + 1] - from;
            uint32_t* value;
            if (len <= 16) {
              auto slot = shorts.findOrInsert(arena, ShortString::of(bytes + from, len, from + 16 <= total));
              if (!slot) return false;
              value = slot->value;
            } else {
              auto slot = longs.findOrInsert(arena, Bytes(bytes + from, len));
              if (!slot) return false;
              value = slot->value;
            }
            if (!*value) *value = ++num.next;
            out[k] = *value - 1;
            return true;
          },
          [&](size_t k) { out[k] = num.forNull(); });
      if (!ok) return std::unexpected(Err::OutOfMemory);
      return Codes{out, num.next};
    }
  }
  // Booleans: false 1, true 2 as codes; as group numbers in order of first
  // appearance, null included.
  uint32_t group_of[3] = {kMissingRow, kMissingRow, kMissingRow};
  const uint8_t* b = v.data.bools;
  for (size_t k = 0; k < sel.n; ++k) {
    uint32_t row = sel.at(k);
    uint32_t c = nullAt(v, row) ? 0 : 1 + b[row];
    if (num.null_is_value) {
      if (group_of[c] == kMissingRow) group_of[c] = num.next++;
      c = group_of[c];
    }
    out[k] = c;
  }
  return Codes{out, num.null_is_value ? num.next : 3};
}

}  // namespace

// The direct table for keys lo..hi, of which `live` selected rows hold
// one; false when that range is too wide for one.
Result<bool> DirectGroups::prepare(Arena& arena, const Vec& v, Sel sel, int64_t lo, int64_t hi, size_t live) {
  uint64_t range = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
  if (live == 0 || lo > hi || !useDirect(range, live)) return false;
  tab_ = arena.make<uint32_t>(range + 1);
  if (!tab_) return std::unexpected(Err::OutOfMemory);
  std::memset(tab_, 0, (range + 1) * sizeof(uint32_t));
  v_ = &v;
  sel_ = sel;
  base_ = static_cast<uint64_t>(lo);
  // Every distinct key, and null when some selected row may be null.
  bound_ = (range < live ? range + 1 : live) + (live < sel.n || v.nulls);
  return true;
}

Result<bool> DirectGroups::init(Arena& arena, const Vec& v, Sel sel, const ColStats* stats) {
  if (v.scalar || (v.data.tag != Data::Tag::int_ && v.data.tag != Data::Tag::float_)) return false;
  floats_ = v.data.tag == Data::Tag::float_;
  if (stats && stats->known && !floats_) return prepare(arena, v, sel, stats->lo, stats->hi, sel.n);
  const double* f = v.data.floats;
  const int64_t* x = v.data.ints;
  const KeyRange r = floats_ ? keyRange(v, sel, [f](uint32_t i) { return floatKey(f[i]); })
                             : keyRange(v, sel, [x](uint32_t i) { return intKey(x, i); });
  return prepare(arena, v, sel, r.lo, r.hi, r.live);
}

Result<void> DirectGroups::initJoined(Arena& arena, const Vec& right, const uint32_t* join, Sel sel) {
  Codes c = TRY(codes(arena, right, Sel{nullptr, right.len}));
  tab_ = arena.make<uint32_t>(c.n);
  if (!tab_) return std::unexpected(Err::OutOfMemory);
  std::memset(tab_, 0, c.n * sizeof(uint32_t));
  join_ = join;
  right_codes_ = c.codes;
  sel_ = sel;
  base_ = 0;
  bound_ = c.n < sel.n ? c.n : sel.n;
  return {};
}

namespace {

inline int64_t dayOf(int64_t us) {
  int64_t q = us / kMicrosPerDay;
  return q - (us % kMicrosPerDay < 0);
}

}  // namespace

Result<bool> DirectGroups::initDays(Arena& arena, const Vec& v, Grain grain, int start, Sel sel,
                                    const ColStats* stats, const TimeZone* zone) {
  const int64_t* x = v.data.ints;
  const bool is_date = v.kind == Kind::date;
  KeyRange r;
  if (stats && stats->known) {
    // Days grow with the instant, so the extreme instants give the extreme days.
    r = is_date ? KeyRange{stats->lo, stats->hi, sel.n} : KeyRange{dayOf(stats->lo), dayOf(stats->hi), sel.n};
  } else {
    r = is_date ? keyRange(v, sel, [x](uint32_t i) { return intKey(x, i); })
                : keyRange(v, sel, [x](uint32_t i) { return static_cast<uint64_t>(dayOf(x[i])); });
  }
  if (zone && !is_date) {
    // A wall-clock day lies within a day of its instant's.
    if (r.lo == INT64_MIN || r.hi >= INT64_MAX - 1) return false;
    int64_t first = 0, last = 0;
    if (__builtin_mul_overflow(r.lo, kMicrosPerDay, &first) || __builtin_mul_overflow(r.hi + 1, kMicrosPerDay, &last))
      return false;
    if (!zone_table_.build(arena, *zone, first, last - 1)) return false;
    zone_cursor_.emplace(*zone);
    r.lo -= 1;
    r.hi += 1;
  }
  // Timestamps find their day's slot by one unsigned division of their
  // distance from the first day's midnight.
  int64_t midnight = 0;
  if (!is_date && __builtin_mul_overflow(r.lo, kMicrosPerDay, &midnight)) return false;
  if (!TRY(prepare(arena, v, sel, r.lo, r.hi, r.live))) return false;
  base_us_ = static_cast<uint64_t>(midnight);
  if (!values_.init(arena, 1, 0, 64, 16)) return std::unexpected(Err::OutOfMemory);
  grain_ = grain;
  start_ = start;
  dates_ = is_date;
  days_ = true;
  return true;
}

bool DirectGroups::numberDay(Arena& arena, uint32_t& slot, int64_t value, bool is_date) {
  // A day not seen yet: its period may have been.
  uint32_t* g = values_.upsert(arena, static_cast<uint64_t>(truncateStored(grain_, is_date, value, start_)));
  if (!g) return false;
  if (!*g) *g = ++num_.next;
  slot = *g;
  return true;
}

bool DirectGroups::number(Arena& arena, size_t from, size_t to, uint32_t* out, uint32_t* first, uint32_t* sizes) {
  return sizes ? numberInto<true>(arena, from, to, out, first, sizes)
               : numberInto<false>(arena, from, to, out, first, nullptr);
}

template <bool Sized>
bool DirectGroups::numberInto(Arena& arena, size_t from, size_t to, uint32_t* __restrict out,
                              uint32_t* __restrict first, uint32_t* __restrict sizes) {
  // Each position's number is tallied where it is made: a separate pass
  // over the stretch's numbers for first rows and sizes cost a third of a
  // few-group query's time (measured: 10M rows by 100 keys, 33 ms -> 22).
  uint32_t seen = num_.next;
  auto put = [&](size_t k, uint32_t row, uint32_t g) {
    out[k - from] = g;
    // Numbers go by first appearance: an unseen group is the next number.
    if (g == seen) first[seen++] = row;
    if constexpr (Sized) ++sizes[g];
  };
  if (days_ && zone_cursor_) {
    const int64_t* x = v_->data.ints;
    ZoneCursor& c = *zone_cursor_;
    const int64_t* off = zone_table_.off;
    const uint64_t zone_base = zone_table_.base, base_us = base_us_;
    uint32_t* tab = tab_;
    return bySelShape(
        *v_, sel_, from, to,
        [&](size_t k, uint32_t row) {
          constexpr uint64_t kDay = kMicrosPerDay;
          const int64_t at = x[row];
          const int64_t o = off[(static_cast<uint64_t>(at) - zone_base) >> ZoneTable::kShift];
          const int64_t local = o != ZoneTable::kMixed ? at + o : c.toLocal(at);
          uint32_t& slot = tab[(static_cast<uint64_t>(local) - base_us) / kDay];
          if (!slot && !numberDay(arena, slot, local, false)) [[unlikely]] return false;
          put(k, row, slot - 1);
          return true;
        },
        [&](size_t k) { put(k, sel_.at(k), num_.forNull()); });
  }
  if (days_) {
    const int64_t* x = v_->data.ints;
    const bool is_date = dates_;
    return bySelShape(
        *v_, sel_, from, to,
        [&](size_t k, uint32_t row) {
          constexpr uint64_t kDay = kMicrosPerDay;
          const uint64_t at = static_cast<uint64_t>(x[row]);
          uint32_t& slot = tab_[is_date ? at - base_ : (at - base_us_) / kDay];
          if (!slot && !numberDay(arena, slot, x[row], is_date)) [[unlikely]] return false;
          put(k, row, slot - 1);
          return true;
        },
        [&](size_t k) { put(k, sel_.at(k), num_.forNull()); });
  }
  if (join_) {
    // Code 0, null, is numbered like any value: at its first appearance.
    const uint32_t* join = join_;
    const uint32_t* rc = right_codes_;
    static const Vec kNoNulls;
    directNumbers(
        kNoNulls, sel_, from, to, [join, rc](uint32_t i) { return join[i] == kMissingRow ? 0 : rc[join[i]]; }, tab_,
        base_, num_, put);
  } else if (floats_) {
    const double* f = v_->data.floats;
    directNumbers(*v_, sel_, from, to, [f](uint32_t i) { return floatKey(f[i]); }, tab_, base_, num_, put);
  } else {
    const int64_t* x = v_->data.ints;
    directNumbers(*v_, sel_, from, to, [x](uint32_t i) { return intKey(x, i); }, tab_, base_, num_, put);
  }
  return true;
}

Result<Codes> codes(Arena& arena, const Vec& v, Sel sel) { return number(arena, v, sel, Numbering{1, false}); }

namespace {

// Several dimensions whose first is an integer-stored column: its value
// (null as one more value) and the later dimensions' codes make one 64-bit
// key whenever their ranges multiply within 64 bits, so every combination
// is numbered in one pass over one map instead of one pass per dimension.
// nullopt when the ranges do not fit.
Result<std::optional<Codes>> combinedGroups(Arena& arena, std::span<const Vec> dims, Sel sel) {
  const Vec& d0 = dims[0];
  if (d0.scalar || d0.data.tag != Data::Tag::int_) return std::nullopt;
  const int64_t* x = d0.data.ints;
  const KeyRange r = keyRange(d0, sel, [x](uint32_t i) { return intKey(x, i); });
  const uint64_t lo = static_cast<uint64_t>(r.lo);
  if (r.live && static_cast<uint64_t>(r.hi) - lo > (UINT64_MAX >> 2)) return std::nullopt;
  const uint64_t null_key = r.live ? static_cast<uint64_t>(r.hi) - lo + 1 : 0;
  uint64_t total = null_key + 1;
  Codes* later = arena.make<Codes>(dims.size());
  if (!later) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 1; i < dims.size(); ++i) {
    later[i] = TRY(codes(arena, dims[i], sel));
    if (__builtin_mul_overflow(total, uint64_t{later[i].n}, &total)) return std::nullopt;
  }
  const uint8_t* nulls = d0.nulls;
  auto key = [&](uint32_t k) {
    const uint32_t row = sel.at(k);
    uint64_t v = nulls && nulls[row] ? null_key : static_cast<uint64_t>(x[row]) - lo;
    for (size_t i = 1; i < dims.size(); ++i) v = v * later[i].n + later[i].codes[k];
    return v;
  };
  uint32_t* out = arena.make<uint32_t>(sel.n);
  if (!out) return std::unexpected(Err::OutOfMemory);
  // Keys by selection position: every position holds one, null included.
  Vec positions;
  positions.len = sel.n;
  return TRY(keyCodes(arena, positions, Sel{nullptr, sel.n}, out, key, Numbering{0, true}));
}

}  // namespace

namespace {

// A null's stand-in in a row's hash; equality still tells it from a value.
constexpr uint64_t kNullBits = 0x5BD1E9955BD1E995ull;
constexpr uint64_t kHashSeed = 0x243F6A8885A308D3ull;

// One more dimension folded into a row's hash; the rotation keeps the
// dimensions' order apart, and mix64 finishes the hash once at the end.
inline uint64_t fold(uint64_t h, uint64_t x) { return (std::rotl(h, 29) ^ x) * 0x9E3779B97F4A7C15ull; }

template <bool All, class F>
inline void eachPosition(const uint32_t* __restrict idx, size_t from, size_t to, F&& f) {
  for (size_t k = from; k < to; ++k) f(k, All ? static_cast<uint32_t>(k) : idx[k]);
}

}  // namespace

void HashGroups::hashRows(size_t from, size_t to, uint64_t* __restrict out) const {
  for (size_t k = from; k < to; ++k) out[k - from] = kHashSeed;
  // A dimension at a time: each loop reads one column and decides nothing
  // per row but a null.
  for (size_t d = 0; d < nkeys_; ++d) {
    const Vec& v = *keys_[d].v;
    const uint8_t* __restrict nulls = v.nulls;
    auto each = [&](auto bits) {
      auto f = [&](size_t k, uint32_t row) {
        const uint64_t x = nulls && nulls[row] ? kNullBits : bits(row);
        out[k - from] = fold(out[k - from], x);
      };
      if (sel_.all())
        eachPosition<true>(sel_.idx, from, to, f);
      else
        eachPosition<false>(sel_.idx, from, to, f);
    };
    if (keys_[d].floats) {
      const double* __restrict x = v.data.floats;
      each([x](uint32_t r) { return floatKey(x[r]); });
    } else {
      const int64_t* __restrict x = v.data.ints;
      each([x](uint32_t r) { return static_cast<uint64_t>(x[r]); });
    }
  }
  for (size_t k = from; k < to; ++k) out[k - from] = mix64(out[k - from]);
}

uint64_t HashGroups::hashGroup(uint32_t g) const {
  uint64_t h = kHashSeed;
  for (size_t d = 0; d < nkeys_; ++d) {
    const Key& key = keys_[d];
    const uint64_t x = key.nulls && key.nulls[g] ? kNullBits
                       : key.floats            ? floatKey(key.floats[g])
                                               : static_cast<uint64_t>(key.ints[g]);
    h = fold(h, x);
  }
  return mix64(h);
}

bool HashGroups::same(uint32_t row, uint32_t g) const {
  for (size_t d = 0; d < nkeys_; ++d) {
    const Key& key = keys_[d];
    const Vec& v = *key.v;
    if (key.nulls) {
      const bool null = v.nulls[row] != 0;
      if (null != (key.nulls[g] != 0)) return false;
      if (null) continue;
    }
    if (key.floats ? floatKey(v.data.floats[row]) != floatKey(key.floats[g]) : v.data.ints[row] != key.ints[g])
      return false;
  }
  return true;
}

void HashGroups::addKeys(uint32_t row, uint32_t g) {
  for (size_t d = 0; d < nkeys_; ++d) {
    Key& key = keys_[d];
    const Vec& v = *key.v;
    const bool null = v.nulls && v.nulls[row];
    if (key.nulls) key.nulls[g] = null;
    if (key.floats)
      key.floats[g] = null ? 0 : v.data.floats[row];
    else
      key.ints[g] = null ? 0 : v.data.ints[row];
  }
}

bool HashGroups::alloc(Arena& arena, size_t cap) {
  uint32_t* slots = arena.make<uint32_t>(cap);
  if (!slots) return false;
  std::memset(slots, 0, cap * sizeof(uint32_t));
  slots_ = slots;
  cap_ = cap;
  limit_ = cap - cap / 4;
  // A slot holds group + 1, at most limit_, below the tag.
  gbits_ = static_cast<unsigned>(std::bit_width(limit_));
  if (gbits_ > 32) gbits_ = 32;
  tag_mask_ = gbits_ == 32 ? 0 : (uint64_t{1} << (32 - gbits_)) - 1;
  gmask_ = gbits_ == 32 ? 0xFFFFFFFFu : (uint32_t{1} << gbits_) - 1;
  return true;
}

bool HashGroups::grow(Arena& arena) {
  if (cap_ > SIZE_MAX / 8) return false;
  if (!alloc(arena, cap_ * 2)) return false;
  for (uint32_t g = 0; g < ngroups_; ++g) {
    const uint64_t h = hashGroup(g);
    size_t i = index(h);
    while (slots_[i]) i = i + 1 == cap_ ? 0 : i + 1;
    slots_[i] = tagOf(h) | (g + 1);
  }
  return true;
}

Result<bool> HashGroups::init(Arena& arena, std::span<const Vec> dims, Sel sel, Arena* const* key_arenas) {
  if (dims.empty() || sel.n == 0) return false;
  for (const Vec& d : dims)
    if (d.scalar || (d.data.tag != Data::Tag::int_ && d.data.tag != Data::Tag::float_)) return false;
  nkeys_ = dims.size();
  sel_ = sel;
  keys_ = arena.make<Key>(nkeys_);
  if (!keys_) return std::unexpected(Err::OutOfMemory);
  for (size_t d = 0; d < nkeys_; ++d) keys_[d] = Key{&dims[d], nullptr, nullptr, nullptr};
  // How many groups to expect, from the hashes of the first rows.
  const size_t sample = sel.n < 2048 ? sel.n : 2048;
  uint64_t* h = arena.make<uint64_t>(sample);
  if (!h) return std::unexpected(Err::OutOfMemory);
  hashRows(0, sample, h);
  const uint64_t expect = expectDistinct(arena, sel.n, [h](size_t k) { return h[k]; });
  if (expect < many_) return false;
  for (size_t d = 0; d < nkeys_; ++d) {
    Key& key = keys_[d];
    if (dims[d].data.tag == Data::Tag::float_)
      key.floats = key_arenas[d]->make<double>(sel.n);
    else
      key.ints = key_arenas[d]->make<int64_t>(sel.n);
    if (dims[d].nulls) key.nulls = arena.make<uint8_t>(sel.n);
    if ((!key.floats && !key.ints) || (dims[d].nulls && !key.nulls)) return std::unexpected(Err::OutOfMemory);
  }
  // Room for half as many again as expected before the table grows, which
  // would need a table twice the size beside it; never more than one group
  // per selected row needs.
  size_t cap = expect + expect / 2;
  const size_t most = sel.n + sel.n / 3 + 4;
  if (cap > most) cap = most;
  if (cap < 64) cap = 64;
  if (!alloc(arena, cap)) return std::unexpected(Err::OutOfMemory);
  return true;
}

bool HashGroups::number(Arena& arena, size_t from, size_t to, uint32_t* out) {
  // Hashes a batch at a time, and the batch's slots are fetched before any
  // is probed, so that their misses overlap.
  constexpr size_t kBatch = 256;
  uint64_t h[kBatch];
  for (size_t b = from; b < to; b += kBatch) {
    const size_t e = to - b < kBatch ? to : b + kBatch;
    hashRows(b, e, h);
    for (size_t k = b; k < e; ++k) __builtin_prefetch(&slots_[index(h[k - b])]);
    for (size_t k = b; k < e; ++k) {
      const uint32_t row = sel_.at(k);
      const uint64_t hk = h[k - b];
      uint32_t g = 0;
      for (;;) {
        const uint32_t tag = tagOf(hk);
        size_t i = index(hk);
        uint32_t s;
        while ((s = slots_[i]) != 0) {
          if ((s & ~gmask_) == tag && same(row, (s & gmask_) - 1)) break;
          i = i + 1 == cap_ ? 0 : i + 1;
        }
        if (s) {
          g = (s & gmask_) - 1;
          break;
        }
        if (ngroups_ == limit_) {
          if (!grow(arena)) return false;
          continue;  // its slot moved
        }
        g = ngroups_++;
        addKeys(row, g);
        slots_[i] = tag | (g + 1);
        break;
      }
      out[k - from] = g;
    }
  }
  return true;
}

Vec HashGroups::key(size_t i) const {
  const Key& key = keys_[i];
  return column(key.v->kind, ngroups_, key.nulls, key.floats ? floatData(key.floats) : intData(key.ints));
}

Result<Groups> groupRows(Arena& arena, std::span<const Vec> dims, Sel sel) {
  const size_t n = sel.n;
  // Row indices, codes and group numbers are u32; binding refuses tables
  // whose rows could not all be numbered below the missing-row marker.
  assert(n < kMissingRow);
  Groups g;
  if (dims.empty()) {
    uint32_t* first = arena.make<uint32_t>(1);
    if (!first) return std::unexpected(Err::OutOfMemory);
    first[0] = n ? sel.at(0) : kMissingRow;
    g.ngroups = 1;
    g.first = first;
    return g;
  }
  uint32_t* gid = nullptr;
  size_t ngroups = 1;
  if (dims.size() >= 2 && n > 0) {
    if (std::optional<Codes> c = TRY(combinedGroups(arena, dims, sel))) {
      gid = c->codes;
      ngroups = c->n;
      dims = {};  // every dimension is numbered
    }
  }
  for (const Vec& d : dims) {
    if (!gid) {
      // The first dimension's values numbered as groups directly.
      Codes c = TRY(number(arena, d, sel, Numbering{0, true}));
      gid = c.codes;
      ngroups = c.n;
      continue;
    }
    Codes c = TRY(codes(arena, d, sel));
    // Refinement: the pair (group so far, code) becomes the new group,
    // keyed as group * c.n + code (both below 2^32, so the key fits in 64
    // bits and is unique per pair). A direct table serves when groups ×
    // codes is small, a hash map otherwise.
    KeyMap map;
    uint64_t hi = static_cast<uint64_t>(ngroups) * c.n - 1;
    const uint64_t distinct =
        expectDistinct(arena, n, [&](size_t k) { return static_cast<uint64_t>(gid[k]) * c.n + c.codes[k]; });
    if (!map.init(arena, 0, static_cast<int64_t>(hi), n, distinct)) return std::unexpected(Err::OutOfMemory);
    uint32_t next = 0;
    for (size_t k = 0; k < n; ++k) {
      uint32_t* slot = map.upsert(arena, static_cast<uint64_t>(gid[k]) * c.n + c.codes[k]);
      if (!slot) return std::unexpected(Err::OutOfMemory);
      if (!*slot) *slot = ++next;
      gid[k] = *slot - 1;
    }
    ngroups = next;
  }
  if (n == 0) ngroups = 0;
  uint32_t* first = arena.make<uint32_t>(ngroups);
  if (!first) return std::unexpected(Err::OutOfMemory);
  // Groups are numbered by first appearance, so the next unseen group is
  // always the next number.
  uint32_t seen = 0;
  for (size_t k = 0; k < n && seen < ngroups; ++k)
    if (gid[k] == seen) first[seen++] = sel.at(k);
  g.gid = gid;
  g.ngroups = ngroups;
  g.first = first;
  return g;
}

}  // namespace quendra
