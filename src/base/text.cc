#include "base/text.h"

namespace quendra {

Result<void> Text::grow(size_t extra) {
  if (extra > limit - len || len + extra < len) {
    failure = "the SQL statement would exceed its size limit";
    return std::unexpected(Err::WriteFailed);
  }
  size_t want = len + extra;
  size_t next = cap < 128 ? 256 : cap * 2;
  if (next < want) next = want;
  if (next > limit) next = limit;
  if (ptr && arena->extend(ptr, cap, next)) {
    cap = next;
    return {};
  }
  char* fresh = arena->make<char>(next);
  if (!fresh) return std::unexpected(Err::WriteFailed);
  if (len) std::memcpy(fresh, ptr, len);
  ptr = fresh;
  cap = next;
  return {};
}

Result<void> Text::putUint(uint64_t v) {
  char buf[20];
  size_t n = 0;
  do {
    buf[sizeof buf - ++n] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  return put(Bytes(buf + sizeof buf - n, n));
}

Result<void> Text::putInt(int64_t v) {
  if (v < 0) {
    auto r = put('-');
    if (!r) return r;
    // Negate as unsigned so that the most negative value is exact.
    return putUint(0 - static_cast<uint64_t>(v));
  }
  return putUint(static_cast<uint64_t>(v));
}

}  // namespace quendra
