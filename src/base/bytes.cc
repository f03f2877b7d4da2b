#include "base/bytes.h"

#include <cstring>

namespace quendra {

Result<Bytes> copyBytes(Arena& arena, Bytes s) {
  char* p = arena.copy(s.data(), s.size());
  if (!p) return std::unexpected(Err::OutOfMemory);
  return Bytes(p, s.size());
}

Result<Bytes> concat(Arena& arena, std::initializer_list<Bytes> pieces) {
  size_t n = 0;
  for (Bytes s : pieces) {
    if (s.size() > SIZE_MAX - n) return std::unexpected(Err::OutOfMemory);
    n += s.size();
  }
  char* p = arena.make<char>(n);
  if (!p) return std::unexpected(Err::OutOfMemory);
  size_t at = 0;
  for (Bytes s : pieces) {
    if (!s.empty()) std::memcpy(p + at, s.data(), s.size());
    at += s.size();
  }
  return Bytes(p, n);
}

bool eqNoCase(Bytes a, Bytes b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (static_cast<unsigned>(x - 'A') < 26u) x += 32;
    if (static_cast<unsigned>(y - 'A') < 26u) y += 32;
    if (x != y) return false;
  }
  return true;
}

size_t utf8SeqLen(const unsigned char* p, size_t n) {
  unsigned char c = p[0];
  auto cont = [&](size_t i) { return i < n && (p[i] & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (n < 2) return 0;
    // E0 needs A0..BF (no overlongs), ED needs 80..9F (no surrogates).
    unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
    unsigned char hi = c == 0xED ? 0x9F : 0xBF;
    if (p[1] < lo || p[1] > hi) return 0;
    return cont(2) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (n < 2) return 0;
    // F0 needs 90..BF (no overlongs), F4 needs 80..8F (nothing past U+10FFFF).
    unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
    unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
    if (p[1] < lo || p[1] > hi) return 0;
    return cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

bool validUtf8(Bytes s) {
  auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    // Skip ASCII eight bytes at a time; messages and names are mostly ASCII.
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    size_t len = utf8SeqLen(p + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

}  // namespace quendra
