// Byte strings: every name, text and message inside the library is a byte
// sequence with a length, compared bytewise. A Bytes is a view; the arena
// that holds the bytes owns them.
#pragma once

#include <initializer_list>
#include <string_view>

#include "base/arena.h"
#include "base/err.h"

namespace quendra {

using Bytes = std::string_view;

// A copy of s in `arena` (OutOfMemory when it cannot be had).
[[nodiscard]] Result<Bytes> copyBytes(Arena& arena, Bytes s);

// The pieces joined into one new string in `arena`.
[[nodiscard]] Result<Bytes> concat(Arena& arena, std::initializer_list<Bytes> pieces);

// True when a and b are equal ignoring ASCII case; other bytes compare exactly.
bool eqNoCase(Bytes a, Bytes b);

// True when s is well-formed UTF-8: no overlong forms, no surrogates, nothing
// above U+10FFFF, no truncated sequence.
bool validUtf8(Bytes s);

// Length of the well-formed UTF-8 sequence starting at p[0] (which must be a
// byte >= 0x80), or 0 when the bytes there are not one. n is the number of
// bytes available from p.
size_t utf8SeqLen(const unsigned char* p, size_t n);

}  // namespace quendra
