// Growable arrays whose storage lives in an arena.
//
// Growth doubles the capacity; the old storage is abandoned to the arena
// (or grown in place when it is the arena's latest allocation), which keeps
// the total waste below the final size.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <type_traits>

#include "base/arena.h"
#include "base/err.h"

namespace quendra {

template <class T>
struct Array {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "arena arrays hold plain values");

  T* ptr = nullptr;
  size_t len = 0;
  size_t cap = 0;

  // Ensures room for at least `want` elements in total.
  [[nodiscard]] Result<void> reserve(Arena& arena, size_t want) {
    if (want <= cap) return {};
    size_t grown = cap < 4 ? 4 : cap * 2;
    if (grown < want) grown = want;
    if (grown > SIZE_MAX / sizeof(T)) return std::unexpected(Err::OutOfMemory);
    if (ptr && arena.extend(ptr, cap * sizeof(T), grown * sizeof(T))) {
      cap = grown;
      return {};
    }
    T* fresh = arena.make<T>(grown);
    if (!fresh) return std::unexpected(Err::OutOfMemory);
    if (len) std::memcpy(static_cast<void*>(fresh), ptr, len * sizeof(T));
    ptr = fresh;
    cap = grown;
    return {};
  }

  [[nodiscard]] Result<void> push(Arena& arena, const T& v) {
    if (len == cap) {
      if (len == SIZE_MAX) return std::unexpected(Err::OutOfMemory);
      // Copy first: v may live in the storage that reserve abandons.
      T copy = v;
      auto r = reserve(arena, len + 1);
      if (!r) return r;
      ptr[len++] = copy;
      return {};
    }
    ptr[len++] = v;
    return {};
  }

  T& operator[](size_t i) { return ptr[i]; }
  const T& operator[](size_t i) const { return ptr[i]; }
  T* begin() { return ptr; }
  T* end() { return ptr + len; }
  const T* begin() const { return ptr; }
  const T* end() const { return ptr + len; }
  bool empty() const { return len == 0; }
  size_t size() const { return len; }
  std::span<T> span() { return {ptr, len}; }
  std::span<const T> span() const { return {ptr, len}; }
  void clear() { len = 0; }
};

}  // namespace quendra
