// Maps from 64-bit keys to nonzero u32 values, for grouping, distinct
// counts and join lookups: the per-row inner loops of the executor.
//
// Two shapes, chosen once per call from the key range: a direct table
// indexed by key - min when the range is small, otherwise open addressing
// with linear probing over slots holding a key and its value (a value of 0
// marks an empty slot, so callers store code + 1, row + 1 and so on).
// Neither hashes strings; those use BytesMap.
#pragma once

#include <cstdint>
#include <cstring>

#include "base/arena.h"

namespace quendra {

// Ranges up to this many keys, or a few times the number of keys looked
// up, get a direct table: cheaper than hashing and touched only where used.
constexpr uint64_t kDirectRange = uint64_t{1} << 20;

inline bool useDirect(uint64_t range, uint64_t n) {
  return range < kDirectRange || (n <= (uint64_t{1} << 60) && range < 4 * n);
}

// How many different keys to expect among key(0) .. key(n - 1), judged
// from the first 2048: when most of those differ, about as many in every
// stretch will; otherwise a few times what they hold, which growth corrects.
template <class KeyAt>
uint64_t expectDistinct(Arena& arena, size_t n, KeyAt key) {
  constexpr size_t kSample = 2048, kSlots = 4096;
  if (n <= kSample) return n;
  uint64_t* keys = arena.make<uint64_t>(kSlots);
  uint8_t* used = arena.make<uint8_t>(kSlots);
  if (!keys || !used) return kSample;
  std::memset(used, 0, kSlots);
  size_t d = 0;
  for (size_t k = 0; k < kSample; ++k) {
    uint64_t x = key(k);
    size_t i = (x * 0x9E3779B97F4A7C15ull) >> 52;
    while (used[i] && keys[i] != x) i = (i + 1) & (kSlots - 1);
    if (!used[i]) {
      used[i] = 1;
      keys[i] = x;
      ++d;
    }
  }
  return d * 2 > kSample ? n / kSample * d : 4 * d;
}

class KeyMap {
 public:
  // A map for keys in [lo, hi] (only consulted by the direct shape), about
  // n of which will be looked up, `distinct` of them different (a guess:
  // growth covers more). False when memory runs out.
  [[nodiscard]] bool init(Arena& arena, int64_t lo, int64_t hi, uint64_t n, uint64_t distinct) {
    uint64_t range = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
    if (lo <= hi && useDirect(range, n)) {
      direct_ = true;
      lo_ = static_cast<uint64_t>(lo);
      return alloc(arena, range + 1);
    }
    direct_ = false;
    size_t cap = 64;
    // Room for the expected keys at the load that triggers growth, so a
    // good guess means no growth (whose abandoned tables the arena keeps)
    // and a low-cardinality column stays in cache.
    while (cap / 4 * 3 <= distinct && cap < (size_t{1} << 40)) cap *= 2;
    bits_ = static_cast<unsigned>(__builtin_ctzll(cap));
    return alloc(arena, cap);
  }

  // The value slot of key (0 when the key is new; the caller then stores a
  // nonzero value), or nullptr when growing the table runs out of memory.
  uint32_t* upsert(Arena& arena, uint64_t key) {
    if (direct_) return &vals_[key - lo_];
    // Up to three quarters full: probe runs stay short with this hash,
    // and a table of many keys takes half the memory it would at one half.
    if (used_ >= cap_ / 4 * 3) [[unlikely]] {
      if (!grow(arena)) return nullptr;
    }
    size_t i = slot(key);
    while (slots_[i].val != 0) {
      if (slots_[i].key == key) return &slots_[i].val;
      i = (i + 1) & (cap_ - 1);
    }
    slots_[i].key = key;
    ++used_;
    return &slots_[i].val;
  }

  // Starts fetching the memory find(key) will read first.
  void prefetch(uint64_t key) const {
    if (direct_) {
      const uint64_t d = key - lo_;
      if (d < cap_) __builtin_prefetch(&vals_[d]);
    } else {
      __builtin_prefetch(&slots_[slot(key)]);
    }
  }

  // The value of key, or 0 when absent.
  uint32_t find(uint64_t key) const {
    if (direct_) {
      uint64_t d = key - lo_;
      return d < cap_ ? vals_[d] : 0;
    }
    for (size_t i = slot(key);; i = (i + 1) & (cap_ - 1)) {
      if (slots_[i].val == 0) return 0;
      if (slots_[i].key == key) return slots_[i].val;
    }
  }

 private:
  // Key and value side by side: a probe costs one cache line, not two.
  struct Slot {
    uint64_t key;
    uint32_t val;
  };

  size_t slot(uint64_t key) const { return (key * 0x9E3779B97F4A7C15ull) >> (64 - bits_); }

  bool alloc(Arena& arena, uint64_t cap) {
    if (cap > SIZE_MAX / 16) return false;
    if (direct_) {
      vals_ = arena.make<uint32_t>(cap);
      if (!vals_) return false;
      std::memset(vals_, 0, cap * sizeof(uint32_t));
    } else {
      slots_ = arena.make<Slot>(cap);
      if (!slots_) return false;
      for (size_t i = 0; i < cap; ++i) slots_[i].val = 0;
    }
    cap_ = cap;
    return true;
  }

  bool grow(Arena& arena) {
    Slot* old = slots_;
    size_t old_cap = cap_;
    ++bits_;
    if (!alloc(arena, old_cap * 2)) {
      slots_ = old;
      cap_ = old_cap;
      --bits_;
      return false;
    }
    for (size_t j = 0; j < old_cap; ++j) {
      if (old[j].val == 0) continue;
      size_t i = slot(old[j].key);
      while (slots_[i].val != 0) i = (i + 1) & (cap_ - 1);
      slots_[i] = old[j];
    }
    return true;
  }

  Slot* slots_ = nullptr;   // hashed
  uint32_t* vals_ = nullptr;  // direct
  size_t cap_ = 0;
  size_t used_ = 0;
  uint64_t lo_ = 0;
  unsigned bits_ = 6;
  bool direct_ = false;
};

}  // namespace quendra
