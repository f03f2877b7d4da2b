// Hashing and open-addressing hash maps over arena storage.
//
// One table layout serves both key types: a power-of-two array of slots,
// linear probing, the key's 64-bit hash kept in the slot (0 marks an empty
// slot) so that probes compare hashes before keys. Keys are not copied: a
// byte-string key must live as long as the map. Values are plain data.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "base/arena.h"
#include "base/bytes.h"
#include "base/err.h"

namespace quendra {

// Finaliser with full avalanche, for integer keys and to close byte hashes.
inline uint64_t mix64(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  x ^= x >> 31;
  return x;
}

// A fast 64-bit hash of a byte string, reading eight bytes at a time.
uint64_t hashBytes(Bytes s);

struct IntKey {
  using Key = uint64_t;
  static uint64_t hash(uint64_t k) { return mix64(k); }
  static bool eq(uint64_t a, uint64_t b) { return a == b; }
};

struct BytesKey {
  using Key = Bytes;
  static uint64_t hash(Bytes k) { return hashBytes(k); }
  static bool eq(Bytes a, Bytes b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
  }
};

template <class Traits, class V>
class HashMap {
 public:
  using Key = typename Traits::Key;
  static_assert(std::is_trivially_copyable_v<V> && std::is_trivially_destructible_v<V>);

  struct Slot {
    uint64_t hash;  // 0 when empty
    Key key;
    V value;
  };

  // The value stored under key, or nullptr.
  V* find(Key key) const {
    if (size_ == 0) return nullptr;
    uint64_t h = slotHash(key);
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.hash == 0) return nullptr;
      if (s.hash == h && Traits::eq(s.key, key)) return &s.value;
    }
  }

  struct Found {
    V* value;
    bool inserted;  // true when the key was absent and value is new
  };

  // The value stored under key; when absent the key is inserted with a
  // value-initialised V. Fails only with OutOfMemory, leaving the map as it was.
  [[nodiscard]] Result<Found> findOrInsert(Arena& arena, Key key) {
    uint64_t h = slotHash(key);
    if (size_) {
      for (size_t i = h & mask_;; i = (i + 1) & mask_) {
        Slot& s = slots_[i];
        if (s.hash == 0) break;
        if (s.hash == h && Traits::eq(s.key, key)) return Found{&s.value, false};
      }
    }
    // Keep the load at or below 3/4 so that probe runs stay short.
    if ((size_ + 1) * 4 > cap_ * 3) {
      auto r = grow(arena);
      if (!r) return std::unexpected(r.error());
    }
    size_t i = h & mask_;
    while (slots_[i].hash != 0) i = (i + 1) & mask_;
    slots_[i].hash = h;
    slots_[i].key = key;
    slots_[i].value = V{};
    ++size_;
    return Found{&slots_[i].value, true};
  }

  // Forgets every entry. The storage stays with the arena.
  void clear() {
    slots_ = nullptr;
    cap_ = mask_ = size_ = 0;
  }

  size_t size() const { return size_; }

  // Calls f(key, value&) for every entry, in slot order.
  template <class F>
  void forEach(F&& f) const {
    for (size_t i = 0; i < cap_; ++i)
      if (slots_[i].hash != 0) f(slots_[i].key, slots_[i].value);
  }

 private:
  static uint64_t slotHash(Key key) {
    uint64_t h = Traits::hash(key);
    return h ? h : 1;
  }

  Result<void> grow(Arena& arena) {
    size_t cap = cap_ ? cap_ * 2 : 16;
    Slot* fresh = arena.make<Slot>(cap);
    if (!fresh) return std::unexpected(Err::OutOfMemory);
    for (size_t i = 0; i < cap; ++i) fresh[i].hash = 0;
    size_t mask = cap - 1;
    for (size_t i = 0; i < cap_; ++i) {
      if (slots_[i].hash == 0) continue;
      size_t j = slots_[i].hash & mask;
      while (fresh[j].hash != 0) j = (j + 1) & mask;
      fresh[j] = slots_[i];
    }
    slots_ = fresh;
    cap_ = cap;
    mask_ = mask;
    return {};
  }

  Slot* slots_ = nullptr;
  size_t cap_ = 0;
  size_t mask_ = 0;
  size_t size_ = 0;
};

template <class V>
using BytesMap = HashMap<BytesKey, V>;
template <class V>
using IntMap = HashMap<IntKey, V>;

}  // namespace quendra
