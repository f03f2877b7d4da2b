#include "arrow/import.h"

#include <bit>
#include <cstring>

namespace quendra {
namespace {

// The bit unpacking below writes eight mask bytes at once as one word.
static_assert(std::endian::native == std::endian::little, "bit unpacking assumes a little-endian host");

// Element i of an array of T that may not be aligned as T requires: Arrow
// recommends but does not promise alignment. Compilers turn this into one
// plain load.
template <class T>
T load(const unsigned char* p, size_t i) {
  T v;
  std::memcpy(&v, p + i * sizeof(T), sizeof(T));
  return v;
}

int64_t floorDiv(int64_t v, int64_t d) {  // REQUIRES: d > 0
  int64_t q = v / d;
  return q - (v % d < 0);
}

// Scaling is unchecked, as for any integer arithmetic on timestamps; it
// wraps through unsigned arithmetic rather than overflowing.
template <int64_t kFactor>
struct ScaleUp {
  int64_t operator()(int64_t v) const {
    return static_cast<int64_t>(static_cast<uint64_t>(v) * static_cast<uint64_t>(kFactor));
  }
};

template <int64_t kDivisor>
struct FloorDiv {
  int64_t operator()(int64_t v) const { return floorDiv(v, kDivisor); }
};

struct Keep {
  int64_t operator()(int64_t v) const { return v; }
};

// One pass over the source elements; the 64-bit case without a conversion
// is a plain memcpy.
template <class T, class Op>
ImportResult<int64_t*> convert(Arena& arena, const void* buf, size_t off, size_t n, Op op) {
  int64_t* out = arena.make<int64_t>(n);
  if (!out) return std::unexpected(ImportErr::OutOfMemory);
  if (n == 0) return out;
  const auto* src = static_cast<const unsigned char*>(buf) + off * sizeof(T);
  if constexpr (sizeof(T) == 8 && std::is_same_v<Op, Keep>) {
    std::memcpy(out, src, n * sizeof(T));
  } else {
    for (size_t i = 0; i < n; ++i) out[i] = op(static_cast<int64_t>(load<T>(src, i)));
  }
  return out;
}

// Writes n bytes, byte i being bit off+i (inverted when kInvert), and
// returns non-zero when any written byte is 1. Whole source bytes are
// spread to eight output bytes with one multiply; only the unaligned head
// and the tail go bit by bit.
template <bool kInvert>
uint64_t unpackBits(const uint8_t* bits, size_t off, size_t n, uint8_t* out) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  uint64_t any = 0;
  size_t i = 0;
  for (; i < n && ((off + i) & 7) != 0; ++i) {
    uint8_t b = bitAt(bits, off + i) ^ kInvert;
    out[i] = b;
    any |= b;
  }
  const uint8_t* src = bits + ((off + i) >> 3);
  size_t whole = (n - i) >> 3;
  for (size_t k = 0; k < whole; ++k) {
    // Byte j of the product holds the source byte; the mask keeps bit j of
    // it in byte j, and adding 0x7f carries any set bit into bit 7.
    uint64_t w = (src[k] * kOnes) & 0x8040201008040201ull;
    w = ((w + 0x7f7f7f7f7f7f7f7full) >> 7) & kOnes;
    if constexpr (kInvert) w ^= kOnes;
    std::memcpy(out + i + 8 * k, &w, 8);
    any |= w;
  }
  for (i += whole * 8; i < n; ++i) {
    uint8_t b = bitAt(bits, off + i) ^ kInvert;
    out[i] = b;
    any |= b;
  }
  return any;
}

enum class Fmt : uint8_t {
  i8, u8, i16, u16, i32, u32, i64, u64,
  f32, f64, bool_, utf8, large_utf8, date32, date64,
  ts_s, ts_ms, ts_us, ts_ns,
  unsupported,
};

Fmt parseFormat(const char* f) {
  struct Named {
    const char* text;
    Fmt fmt;
  };
  static constexpr Named kPlain[] = {
      {"c", Fmt::i8},    {"C", Fmt::u8},         {"s", Fmt::i16},      {"S", Fmt::u16},
      {"i", Fmt::i32},   {"I", Fmt::u32},        {"l", Fmt::i64},      {"L", Fmt::u64},
      {"f", Fmt::f32},   {"g", Fmt::f64},        {"b", Fmt::bool_},    {"u", Fmt::utf8},
      {"U", Fmt::large_utf8}, {"tdD", Fmt::date32}, {"tdm", Fmt::date64},
  };
  for (const Named& k : kPlain)
    if (std::strcmp(f, k.text) == 0) return k.fmt;
  // "ts" + unit + ":" + zone; the checks stop at the terminating NUL.
  if (f[0] == 't' && f[1] == 's' && f[2] != '\0' && f[3] == ':') {
    switch (f[2]) {
      case 's': return Fmt::ts_s;
      case 'm': return Fmt::ts_ms;
      case 'u': return Fmt::ts_us;
      case 'n': return Fmt::ts_ns;
      default: break;
    }
  }
  return Fmt::unsupported;
}

template <class T, class Op = Keep>
ImportResult<Vec> ints(Arena& arena, const void* values, size_t off, size_t n, const uint8_t* nulls, Kind kind,
                       Op op = {}) {
  int64_t* p = TRY(convert<T>(arena, values, off, n, op));
  return column(kind, n, nulls, intData(p));
}

template <class T>
ImportResult<Vec> floats(Arena& arena, const void* values, size_t off, size_t n, const uint8_t* nulls) {
  double* p = TRY(widenFloat<T>(arena, values, off, n));
  return column(Kind::float_, n, nulls, floatData(p));
}

}  // namespace

template <class T>
ImportResult<int64_t*> widen(Arena& arena, const void* buf, size_t off, size_t n) {
  return convert<T>(arena, buf, off, n, Keep{});
}

template <class T>
ImportResult<double*> widenFloat(Arena& arena, const void* buf, size_t off, size_t n) {
  double* out = arena.make<double>(n);
  if (!out) return std::unexpected(ImportErr::OutOfMemory);
  if (n == 0) return out;
  const auto* src = static_cast<const unsigned char*>(buf) + off * sizeof(T);
  if constexpr (std::is_same_v<T, double>) {
    std::memcpy(out, src, n * sizeof(double));
  } else {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<double>(load<T>(src, i));
  }
  return out;
}

template <class O>
ImportResult<Str> strings(Arena& arena, const ArrowArray& arr, size_t off, size_t n) {
  const auto* src = static_cast<const unsigned char*>(buffer(arr, 1));
  if (n > 0 && !src) return std::unexpected(ImportErr::Malformed);
  uint64_t* offs = arena.make<uint64_t>(n + 1);
  if (!offs) return std::unexpected(ImportErr::OutOfMemory);
  offs[0] = 0;
  if (n == 0) return Str{offs, Bytes(reinterpret_cast<const char*>(offs), 0)};
  // Offsets are validated in the same pass that rebases them: one that
  // decreases or starts below 0 would make the copy below read outside the
  // host's byte buffer. Unsigned subtraction keeps rejected input defined.
  O base = load<O>(src, off);
  const auto ubase = static_cast<uint64_t>(static_cast<int64_t>(base));
  uint64_t decreases = 0;  // an integer, not a bool, so the loop vectorises
  for (size_t i = 0; i < n; ++i) {
    O lo = load<O>(src, off + i), hi = load<O>(src, off + i + 1);
    decreases |= static_cast<uint64_t>(hi < lo);
    offs[i + 1] = static_cast<uint64_t>(static_cast<int64_t>(hi)) - ubase;
  }
  if (base < 0 || decreases) return std::unexpected(ImportErr::Malformed);
  uint64_t total = offs[n];
  const auto* bytes = static_cast<const char*>(buffer(arr, 2));
  if (total > 0 && !bytes) return std::unexpected(ImportErr::Malformed);
  if (total > SIZE_MAX) return std::unexpected(ImportErr::OutOfMemory);
  char* copy = arena.make<char>(total);
  if (!copy) return std::unexpected(ImportErr::OutOfMemory);
  if (total > 0) std::memcpy(copy, bytes + ubase, total);
  return Str{offs, Bytes(copy, total)};
}

ImportResult<Vec> importColumn(Arena& arena, const ArrowSchema& schema, const ArrowArray& arr) {
  if (schema.dictionary || arr.dictionary) return std::unexpected(ImportErr::Unsupported);
  if (arr.length < 0 || arr.offset < 0) return std::unexpected(ImportErr::Malformed);
  // Row indices are 32-bit; and length + offset must be addressable at all.
  if (arr.length >= kMaxImportRows || arr.offset > INT64_MAX - arr.length)
    return std::unexpected(ImportErr::Malformed);
  if (!schema.format) return std::unexpected(ImportErr::Malformed);
  Fmt fmt = parseFormat(schema.format);
  if (fmt == Fmt::unsupported) return std::unexpected(ImportErr::Unsupported);

  const size_t n = static_cast<size_t>(arr.length), off = static_cast<size_t>(arr.offset);
  const void* values = buffer(arr, 1);
  // Buffers are checked before anything is allocated. Strings check their
  // own (their offsets are validated while they are copied).
  bool fixed_width = fmt != Fmt::utf8 && fmt != Fmt::large_utf8 && fmt != Fmt::bool_;
  if (fixed_width && n > 0 && !values) return std::unexpected(ImportErr::Malformed);
  if (fmt == Fmt::bool_ && !values) return std::unexpected(ImportErr::Malformed);

  // A validity buffer counts only when null_count says there may be nulls
  // (-1 means unknown); the mask is kept only when some row is null.
  const uint8_t* nulls = nullptr;
  const auto* validity = static_cast<const uint8_t*>(buffer(arr, 0));
  if (arr.null_count != 0 && validity) {
    uint8_t* mask = arena.make<uint8_t>(n);
    if (!mask) return std::unexpected(ImportErr::OutOfMemory);
    if (unpackBits<true>(validity, off, n, mask)) nulls = mask;
  }

  switch (fmt) {
    case Fmt::i8: return ints<int8_t>(arena, values, off, n, nulls, Kind::int_);
    case Fmt::u8: return ints<uint8_t>(arena, values, off, n, nulls, Kind::int_);
    case Fmt::i16: return ints<int16_t>(arena, values, off, n, nulls, Kind::int_);
    case Fmt::u16: return ints<uint16_t>(arena, values, off, n, nulls, Kind::int_);
    case Fmt::i32: return ints<int32_t>(arena, values, off, n, nulls, Kind::int_);
    case Fmt::u32: return ints<uint32_t>(arena, values, off, n, nulls, Kind::int_);
    case Fmt::i64: return ints<int64_t>(arena, values, off, n, nulls, Kind::int_);
    case Fmt::u64: return ints<uint64_t>(arena, values, off, n, nulls, Kind::int_);
    case Fmt::f32: return floats<float>(arena, values, off, n, nulls);
    case Fmt::f64: return floats<double>(arena, values, off, n, nulls);
    case Fmt::bool_: {
      uint8_t* p = arena.make<uint8_t>(n);
      if (!p) return std::unexpected(ImportErr::OutOfMemory);
      unpackBits<false>(static_cast<const uint8_t*>(values), off, n, p);
      return column(Kind::bool_, n, nulls, boolData(p));
    }
    case Fmt::utf8: {
      Str s = TRY(strings<int32_t>(arena, arr, off, n));
      return column(Kind::str, n, nulls, strData(s.offs, s.bytes));
    }
    case Fmt::large_utf8: {
      Str s = TRY(strings<int64_t>(arena, arr, off, n));
      return column(Kind::str, n, nulls, strData(s.offs, s.bytes));
    }
    case Fmt::date32: return ints<int32_t>(arena, values, off, n, nulls, Kind::date);
    case Fmt::date64:
      return ints<int64_t>(arena, values, off, n, nulls, Kind::date, FloorDiv<86'400'000>{});
    case Fmt::ts_s: return ints<int64_t>(arena, values, off, n, nulls, Kind::timestamp, ScaleUp<1'000'000>{});
    case Fmt::ts_ms: return ints<int64_t>(arena, values, off, n, nulls, Kind::timestamp, ScaleUp<1'000>{});
    case Fmt::ts_us: return ints<int64_t>(arena, values, off, n, nulls, Kind::timestamp);
    case Fmt::ts_ns:
      return ints<int64_t>(arena, values, off, n, nulls, Kind::timestamp, FloorDiv<1'000>{});
    case Fmt::unsupported: break;
  }
  return std::unexpected(ImportErr::Unsupported);
}

template ImportResult<int64_t*> widen<int8_t>(Arena&, const void*, size_t, size_t);
template ImportResult<int64_t*> widen<uint8_t>(Arena&, const void*, size_t, size_t);
template ImportResult<int64_t*> widen<int16_t>(Arena&, const void*, size_t, size_t);
template ImportResult<int64_t*> widen<uint16_t>(Arena&, const void*, size_t, size_t);
template ImportResult<int64_t*> widen<int32_t>(Arena&, const void*, size_t, size_t);
template ImportResult<int64_t*> widen<uint32_t>(Arena&, const void*, size_t, size_t);
template ImportResult<int64_t*> widen<int64_t>(Arena&, const void*, size_t, size_t);
template ImportResult<int64_t*> widen<uint64_t>(Arena&, const void*, size_t, size_t);
template ImportResult<double*> widenFloat<float>(Arena&, const void*, size_t, size_t);
template ImportResult<double*> widenFloat<double>(Arena&, const void*, size_t, size_t);
template ImportResult<Str> strings<int32_t>(Arena&, const ArrowArray&, size_t, size_t);
template ImportResult<Str> strings<int64_t>(Arena&, const ArrowArray&, size_t, size_t);

}  // namespace quendra
