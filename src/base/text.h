// Text: a growable byte buffer in an arena, for writing SQL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/arena.h"
#include "base/bytes.h"
#include "base/err.h"

namespace quendra {

struct Text {
  Arena* arena = nullptr;
  char* ptr = nullptr;
  size_t len = 0;
  size_t cap = 0;
  // Growth past this many bytes fails with WriteFailed.
  size_t limit = SIZE_MAX;
  // Why writing failed, when the reason is more than a full buffer (for
  // example the limit above); empty otherwise.
  Bytes failure;

  // Appends bytes. Fails with WriteFailed when the buffer cannot grow.
  [[nodiscard]] Result<void> put(Bytes s) {
    if (s.size() > cap - len) {
      auto r = grow(s.size());
      if (!r) return r;
    }
    if (!s.empty()) std::memcpy(ptr + len, s.data(), s.size());
    len += s.size();
    return {};
  }
  [[nodiscard]] Result<void> put(char c) {
    if (len == cap) {
      auto r = grow(1);
      if (!r) return r;
    }
    ptr[len++] = c;
    return {};
  }
  [[nodiscard]] Result<void> putUint(uint64_t v);
  [[nodiscard]] Result<void> putInt(int64_t v);

  Bytes view() const { return Bytes(ptr, len); }

 private:
  Result<void> grow(size_t extra);
};

}  // namespace quendra
