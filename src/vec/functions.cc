// The text and rounding functions: UPPER, LOWER, LENGTH, TRIM, SUBSTRING,
// CONCAT, ROUND, FLOOR and CEIL. Text is UTF-8 and counted in code points;
// bytes that are no valid sequence count as one character each.
#include <cmath>
#include <cstring>

#include "vec/generated/case_table.h"
#include "vec/kernels.h"

namespace quendra {
namespace {

// Code point at s[i] and the bytes it takes; an invalid or cut sequence
// is its first byte alone, kept as it is.
struct Decoded {
  uint32_t cp;
  size_t len;
  bool valid;
};

Decoded decode(Bytes s, size_t i) {
  const auto b = static_cast<uint8_t>(s[i]);
  if (b < 0x80) return {b, 1, true};
  const size_t n = static_cast<size_t>(utf8Len(b));
  if (n == 1 || i + n > s.size()) return {b, 1, false};
  uint32_t cp = b & (0xFF >> (n + 1));
  for (size_t k = 1; k < n; ++k) {
    const auto c = static_cast<uint8_t>(s[i + k]);
    if ((c & 0xC0) != 0x80) return {b, 1, false};
    cp = cp << 6 | (c & 0x3F);
  }
  return {cp, n, true};
}

size_t encodedLen(uint32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

void encode(uint32_t cp, char* out) {
  const size_t n = encodedLen(cp);
  if (n == 1) {
    out[0] = static_cast<char>(cp);
    return;
  }
  static constexpr uint8_t kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (size_t k = n - 1; k > 0; --k, cp >>= 6) out[k] = static_cast<char>(0x80 | (cp & 0x3F));
  out[0] = static_cast<char>(kLead[n] | cp);
}

template <size_t N>
uint32_t mapped(const CasePair (&table)[N], uint32_t cp) {
  size_t lo = 0, hi = N;
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (table[mid].from < cp)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo < N && table[lo].from == cp ? table[lo].to : cp;
}

// A str vector with v's shape and mask whose value i is f(v's value i)
// written by `write(s, out)` after `size(s)` bytes were counted for it.
template <class Size, class Write>
EvalResult<Vec> mapText(Arena& arena, const Vec& v, Size size, Write write) {
  if (v.isNullScalar()) return nullVec(arena, Kind::str, 1, true);
  if (v.kind != Kind::str) return std::unexpected(EvalErr::TypeMismatch);
  const size_t m = v.stored();
  uint64_t* offs = arena.make<uint64_t>(m + 1);
  if (!offs) return std::unexpected(EvalErr::OutOfMemory);
  uint64_t total = 0;
  offs[0] = 0;
  for (size_t i = 0; i < m; ++i) {
    if (!(v.nulls && v.nulls[i])) total += size(v.strAt(i));
    offs[i + 1] = total;
  }
  char* bytes = arena.make<char>(total + 1);
  if (!bytes) return std::unexpected(EvalErr::OutOfMemory);
  for (size_t i = 0; i < m; ++i)
    if (!(v.nulls && v.nulls[i])) write(v.strAt(i), bytes + offs[i]);
  Vec w = v;
  w.data = strData(offs, Bytes(bytes, total));
  return w;
}

// mapText for functions whose value is a piece of the text.
template <class Piece>
EvalResult<Vec> mapPieces(Arena& arena, const Vec& v, Piece piece) {
  return mapText(
      arena, v, [&](Bytes s) { return piece(s).size(); },
      [&](Bytes s, char* out) {
        Bytes t = piece(s);
        if (!t.empty()) std::memcpy(out, t.data(), t.size());
      });
}

// The byte offset of character `chars` of s (s.size() when s is shorter).
size_t charOffset(Bytes s, uint64_t chars) {
  size_t i = 0;
  for (uint64_t c = 0; c < chars && i < s.size(); ++c) i += decode(s, i).len;
  return i;
}

uint64_t charCount(Bytes s) {
  uint64_t n = 0;
  for (size_t i = 0; i < s.size(); i += decode(s, i).len) ++n;
  return n;
}

}  // namespace

EvalResult<Vec> changeCase(Arena& arena, const Vec& v, bool upper) {
  auto map = [upper](uint32_t cp) {
    if (cp < 0x80) {
      if (upper) return cp >= 'a' && cp <= 'z' ? cp - 32 : cp;
      return cp >= 'A' && cp <= 'Z' ? cp + 32 : cp;
    }
    return upper ? mapped(kUpperPairs, cp) : mapped(kLowerPairs, cp);
  };
  auto size = [&](Bytes s) {
    uint64_t n = 0;
    for (size_t i = 0; i < s.size();) {
      const Decoded d = decode(s, i);
      n += d.valid ? encodedLen(map(d.cp)) : 1;
      i += d.len;
    }
    return n;
  };
  auto write = [&](Bytes s, char* out) {
    for (size_t i = 0; i < s.size();) {
      const Decoded d = decode(s, i);
      if (d.valid) {
        const uint32_t cp = map(d.cp);
        encode(cp, out);
        out += encodedLen(cp);
      } else {
        *out++ = s[i];
      }
      i += d.len;
    }
  };
  return mapText(arena, v, size, write);
}

EvalResult<Vec> trimSpaces(Arena& arena, const Vec& v) {
  auto trimmed = [](Bytes s) {
    size_t b = 0, e = s.size();
    while (b < e && s[b] == ' ') ++b;
    while (e > b && s[e - 1] == ' ') --e;
    return s.substr(b, e - b);
  };
  return mapPieces(arena, v, trimmed);
}

EvalResult<Vec> substringOf(Arena& arena, const Vec& v, int64_t start, std::optional<int64_t> length) {
  // From the start's character (counted back from the end when negative,
  // the whole text from 0), length characters, none before the first.
  auto piece = [&](Bytes s) {
    const auto n = static_cast<int64_t>(start < 0 ? charCount(s) : 0);
    int64_t from = start > 0 ? start - 1 : start < 0 ? n + start : 0;
    int64_t to = length ? from + *length : INT64_MAX;
    if (from < 0) from = 0;
    if (from >= to) return Bytes();
    const size_t b = charOffset(s, static_cast<uint64_t>(from));
    const size_t e = to == INT64_MAX ? s.size() : b + charOffset(s.substr(b), static_cast<uint64_t>(to - from));
    return s.substr(b, e - b);
  };
  return mapPieces(arena, v, piece);
}

EvalResult<Vec> textLength(Arena& arena, const Vec& v) {
  if (v.isNullScalar()) return nullVec(arena, Kind::int_, 1, true);
  if (v.kind != Kind::str) return std::unexpected(EvalErr::TypeMismatch);
  const size_t m = v.stored();
  int64_t* out = arena.make<int64_t>(m);
  if (!out) return std::unexpected(EvalErr::OutOfMemory);
  for (size_t i = 0; i < m; ++i) out[i] = v.nulls && v.nulls[i] ? 0 : static_cast<int64_t>(charCount(v.strAt(i)));
  Vec w = v;
  w.kind = Kind::int_;
  w.data = intData(out);
  return w;
}

EvalResult<Vec> concatOf(Arena& arena, std::span<const Vec> ops) {
  size_t n = 1;
  bool scalar = true;
  for (const Vec& v : ops) {
    if (v.isNullScalar()) return nullVec(arena, Kind::str, 1, true);
    if (v.kind != Kind::str) return std::unexpected(EvalErr::TypeMismatch);
    if (!v.scalar) {
      scalar = false;
      n = v.len;
    }
  }
  const size_t m = scalar ? 1 : n;
  uint64_t* offs = arena.make<uint64_t>(m + 1);
  uint8_t* nulls = arena.make<uint8_t>(m);
  if (!offs || !nulls) return std::unexpected(EvalErr::OutOfMemory);
  bool any_null = false;
  uint64_t total = 0;
  offs[0] = 0;
  for (size_t i = 0; i < m; ++i) {
    nulls[i] = 0;
    for (const Vec& v : ops) nulls[i] |= v.isNull(i);
    any_null |= nulls[i] != 0;
    if (!nulls[i])
      for (const Vec& v : ops) total += v.strAt(i).size();
    offs[i + 1] = total;
  }
  char* bytes = arena.make<char>(total + 1);
  if (!bytes) return std::unexpected(EvalErr::OutOfMemory);
  for (size_t i = 0; i < m; ++i) {
    if (nulls[i]) continue;
    char* at = bytes + offs[i];
    for (const Vec& v : ops) {
      Bytes s = v.strAt(i);
      if (!s.empty()) std::memcpy(at, s.data(), s.size());
      at += s.size();
    }
  }
  Vec w = column(Kind::str, m, any_null ? nulls : nullptr, strData(offs, Bytes(bytes, total)));
  w.len = n;
  w.scalar = scalar;
  return w;
}

EvalResult<Vec> roundTo(Arena& arena, const Vec& v, int32_t digits) {
  if (v.isNullScalar()) return nullVec(arena, digits == 0 && v.kind == Kind::int_ ? Kind::int_ : Kind::float_, 1, true);
  if (!v.isNumeric()) return std::unexpected(EvalErr::TypeMismatch);
  // A whole number stays one; to digits, the value is a float.
  if (digits == 0 && v.kind == Kind::int_) return v;
  const size_t m = v.stored();
  double* out = arena.make<double>(m);
  if (!out) return std::unexpected(EvalErr::OutOfMemory);
  double scale = 1;
  for (int32_t k = 0; k < (digits < 0 ? -digits : digits); ++k) scale *= 10;
  for (size_t i = 0; i < m; ++i) {
    if (v.nulls && v.nulls[i]) {
      out[i] = 0;
      continue;
    }
    const double x = v.floatAt(i);
    // The value times a power of ten, rounded half away from zero, divided
    // back; from 2^52 up a float is whole already.
    if (digits == 0)
      out[i] = std::round(x);
    else if (digits < 0)
      out[i] = std::round(x / scale) * scale;
    else
      out[i] = std::fabs(x) >= 4503599627370496.0 ? x : std::round(x * scale) / scale;
  }
  Vec w = v;
  w.kind = Kind::float_;
  w.data = floatData(out);
  return w;
}

EvalResult<Vec> floorCeil(Arena& arena, const Vec& v, bool ceil) {
  if (v.isNullScalar()) return nullVec(arena, Kind::float_, 1, true);
  if (!v.isNumeric()) return std::unexpected(EvalErr::TypeMismatch);
  const size_t m = v.stored();
  double* out = arena.make<double>(m);
  if (!out) return std::unexpected(EvalErr::OutOfMemory);
  for (size_t i = 0; i < m; ++i) {
    const double x = v.nulls && v.nulls[i] ? 0 : v.floatAt(i);
    out[i] = ceil ? std::ceil(x) : std::floor(x);
  }
  Vec w = v;
  w.kind = Kind::float_;
  w.data = floatData(out);
  return w;
}

}  // namespace quendra
