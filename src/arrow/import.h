// Column import: one Arrow C Data Interface array copied into a Vec.
//
// The import reads the host's structures and buffers and never keeps a
// pointer into them: every value, mask entry and string byte of the result
// is copied into the given arena, so the host's structures may be released
// as soon as importColumn returns (whatever it returns). The import neither
// calls nor clears their release callbacks; that is the caller's duty.
//
// Formats and what they become:
//   "c" "s" "i" "l"        int8..int64           int, sign-extended
//   "C" "S" "I" "L"        uint8..uint64         int, zero-extended; uint64
//                                                keeps its 64 bits as signed
//   "f" "g"                float32, float64      float
//   "b"                    boolean               bool, one byte per value
//   "u" "U"                utf8, large utf8      str, offsets from 0
//   "tdD" "tdm"            date32, date64        date (days; ms floored)
//   "ts{s,m,u,n}:ZONE"     timestamp             timestamp (µs; ns floored,
//                                                zone ignored)
// Everything else, and any dictionary-encoded array, is unsupported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>

#include "base/arena.h"
#include "quendra.h"
#include "vec/vec.h"

namespace quendra {

enum class ImportErr : uint8_t {
  Unsupported,  // a format (or dictionary encoding) the engine does not hold
  Malformed,    // a shape the interface forbids, or one the engine cannot address
  OutOfMemory,
};

template <class T>
using ImportResult = std::expected<T, ImportErr>;

// Columns of this many rows or more cannot be addressed by 32-bit row
// indices, whose largest value is the missing-row marker.
constexpr int64_t kMaxImportRows = 0xFFFFFFFF;

// The array as a Vec of arr.length rows (never a scalar), all of whose
// memory is allocated from `arena`. The mask is present only when some row
// is null. REQUIRES: schema.format is NUL-terminated when not null.
// Malformed when: the length or offset is negative, length + offset
// overflows, the length is kMaxImportRows or more, the format is null, a
// buffer the format needs is absent (a boolean's values buffer even at
// length 0), or string offsets start below 0 or decrease. On failure the
// arena may hold abandoned partial allocations.
[[nodiscard]] ImportResult<Vec> importColumn(Arena& arena, const ArrowSchema& schema, const ArrowArray& arr);

// The i-th buffer pointer of the array; nullptr when `buffers` is null or
// n_buffers <= i (the pointer itself may of course be null as well).
inline const void* buffer(const ArrowArray& arr, int64_t i) {
  if (!arr.buffers || arr.n_buffers <= i) return nullptr;
  return arr.buffers[i];
}

// Bit i of a bit buffer: byte i >> 3, least significant bit first.
inline bool bitAt(const uint8_t* bits, size_t i) { return (bits[i >> 3] >> (i & 7)) & 1; }

// n 64-bit integers from elements off .. off+n-1 of `buf`, an array of T
// (any integer type up to 64 bits; signed types are sign-extended, unsigned
// ones zero-extended except uint64, whose bits are kept). `buf` need not be
// aligned. REQUIRES: buf is non-null when n > 0.
template <class T>
[[nodiscard]] ImportResult<int64_t*> widen(Arena& arena, const void* buf, size_t off, size_t n);

// As widen, for float and double elements, giving doubles.
template <class T>
[[nodiscard]] ImportResult<double*> widenFloat(Arena& arena, const void* buf, size_t off, size_t n);

// The strings of rows off .. off+n-1 of a utf8 array whose offsets are of
// type O (int32_t for "u", int64_t for "U"): n + 1 offsets rebased to start
// at 0 and the bytes they cover, copied into one buffer. For n == 0 the
// result is the single offset 0 and no bytes, whatever the buffers hold.
// Malformed when the offsets buffer is absent, the first offset is
// negative, an offset is smaller than the one before it, or the bytes
// buffer is absent while some string is non-empty.
template <class O>
[[nodiscard]] ImportResult<Str> strings(Arena& arena, const ArrowArray& arr, size_t off, size_t n);

}  // namespace quendra
