// Vec: a typed column, or a scalar standing for every row, with an optional
// null mask. Every value the in-memory engine touches is a Vec.
//
// A Vec is a few words that refer to arrays it does not own: they live in
// the current call's arena or in the context's data arena and are released
// with it. Kernels never modify an input's arrays; a result may share an
// input's arrays (its null mask, for instance) where the kernel says so.
//
// Storage rules:
//  - m, the number of stored entries, is 1 for a scalar and `len` otherwise.
//    Data arrays and the mask (when present) have m entries; a Str has
//    m + 1 non-decreasing offsets, the last not beyond `bytes`.
//  - The storage variant follows the kind: int, date and timestamp store
//    int64 (days since 1970-01-01 for date, microseconds since
//    1970-01-01 00:00:00 without time zone for timestamp), float stores
//    double, bool stores one byte 0/1, str stores a Str.
//  - The value under a null entry means nothing; kernels write 0 there.
//  - Two non-scalar operands of one kernel have the same `len`; kernels do
//    not check it.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <expected>
#include <type_traits>

#include "base/arena.h"
#include "base/bytes.h"
#include "base/err.h"

namespace quendra {

// Errors of evaluation: kernels and the expression evaluator return these
// without a message; the executor attaches messages when it reports them.
enum class EvalErr : uint8_t {
  TypeMismatch,   // operand kinds the operator does not accept
  UnknownColumn,  // an identifier that names no column or measure
  BadLiteral,     // a literal that cannot be read
  OutOfMemory,
};

template <class T>
using EvalResult = std::expected<T, EvalErr>;

// The logical type of a vector.
enum class Kind : uint8_t {
  int_ = 0,
  float_ = 1,
  bool_ = 2,
  str = 3,
  date = 4,
  timestamp = 5,
};

// The strings of a vector in one shared buffer: value k is
// bytes[offs[k], offs[k + 1]).
struct Str {
  const uint64_t* offs;
  Bytes bytes;
};

// The storage of a vector: a tagged variant over the four storage layouts.
struct Data {
  enum class Tag : uint8_t { int_ = 0, float_ = 1, bool_ = 2, str = 3 };

  Data() : ints(nullptr) {}

  Tag tag = Tag::int_;
  union {
    const int64_t* ints;
    const double* floats;
    const uint8_t* bools;
    Str str;
  };
};

inline Data intData(const int64_t* p) {
  Data d;
  d.tag = Data::Tag::int_;
  d.ints = p;
  return d;
}
inline Data floatData(const double* p) {
  Data d;
  d.tag = Data::Tag::float_;
  d.floats = p;
  return d;
}
inline Data boolData(const uint8_t* p) {
  Data d;
  d.tag = Data::Tag::bool_;
  d.bools = p;
  return d;
}
inline Data strData(const uint64_t* offs, Bytes bytes) {
  Data d;
  d.tag = Data::Tag::str;
  d.str = Str{offs, bytes};
  return d;
}

// The storage variant a kind uses.
constexpr Data::Tag storageOf(Kind k) {
  switch (k) {
    case Kind::float_: return Data::Tag::float_;
    case Kind::bool_: return Data::Tag::bool_;
    case Kind::str: return Data::Tag::str;
    case Kind::int_:
    case Kind::date:
    case Kind::timestamp: break;
  }
  return Data::Tag::int_;
}

struct Vec {
  size_t len = 0;                  // rows the vector stands for; 1 for a scalar
  const uint8_t* nulls = nullptr;  // m entries, 1 = null; absent: no nulls
  Data data;
  Kind kind = Kind::int_;
  bool scalar = false;

  // Stored entries: 1 for a scalar, len otherwise.
  size_t stored() const { return scalar ? 1 : len; }

  // The storage index of row i. No accessor checks i in release builds.
  size_t at(size_t i) const {
    assert(scalar || i < len);
    return scalar ? 0 : i;
  }

  bool isNull(size_t i) const { return nulls && nulls[at(i)]; }
  int64_t intAt(size_t i) const { return data.ints[at(i)]; }
  // The float entry, or the int entry converted to the nearest double.
  double floatAt(size_t i) const {
    return data.tag == Data::Tag::float_ ? data.floats[at(i)]
                                         : static_cast<double>(data.ints[at(i)]);
  }
  bool boolAt(size_t i) const { return data.bools[at(i)] != 0; }
  // A view into the vector's byte buffer.
  Bytes strAt(size_t i) const {
    size_t k = at(i);
    uint64_t from = data.str.offs[k];
    return Bytes(data.str.bytes.data() + from, data.str.offs[k + 1] - from);
  }

  // A scalar whose one value is null. A column whose mask is all ones is
  // not entirely null in this sense.
  bool isNullScalar() const { return scalar && nulls && nulls[0]; }
  bool isNumeric() const { return kind == Kind::int_ || kind == Kind::float_; }
  bool isTemporal() const { return kind == Kind::date || kind == Kind::timestamp; }
};

// Plain values: arena arrays of Vecs copy them bytewise.
static_assert(std::is_trivially_copyable_v<Vec> && std::is_trivially_destructible_v<Vec>);

// A column (never a scalar) of n rows over existing storage.
inline Vec column(Kind kind, size_t n, const uint8_t* nulls, Data data) {
  Vec v;
  v.len = n;
  v.nulls = nulls;
  v.data = data;
  v.kind = kind;
  return v;
}

// Scalars (len 1, no mask). Each fails only with OutOfMemory.
[[nodiscard]] EvalResult<Vec> scalarInt(Arena& arena, int64_t v);
[[nodiscard]] EvalResult<Vec> scalarFloat(Arena& arena, double v);
[[nodiscard]] EvalResult<Vec> scalarBool(Arena& arena, bool v);
// s itself becomes the byte buffer (not copied): it must outlive the arena's
// use of the result.
[[nodiscard]] EvalResult<Vec> scalarStr(Arena& arena, Bytes s);
// scalarInt(us) with kind timestamp.
[[nodiscard]] EvalResult<Vec> scalarTimestamp(Arena& arena, int64_t us);

// A vector of n rows (a scalar when `scalar`) in which every value is null:
// m mask entries all 1 and m zeroed entries of the kind's storage (a str
// vector gets m + 1 zero offsets and an empty buffer).
[[nodiscard]] EvalResult<Vec> nullVec(Arena& arena, Kind kind, size_t n, bool scalar);

// Shape of a two-operand result: scalar only when both operands are; n is 1
// then, else the len of the first non-scalar operand in the order a, b.
struct OutLen {
  size_t n;
  bool scalar;
  size_t stored() const { return scalar ? 1 : n; }
};
OutLen outLen(const Vec& a, const Vec& b);

// The union of a's and b's nulls over the m entries of outLen(a, b), with n
// the result's len: nullptr when neither has a mask, otherwise a fresh array
// (never an operand's mask) that the caller may mark further.
[[nodiscard]] EvalResult<uint8_t*> mergeNulls(Arena& arena, const Vec& a, const Vec& b, size_t n);

class KeyMap;

// The smallest and largest non-null value of an integer-stored column
// (ints, dates, timestamps), learned once when it is bound; unknown for
// other columns and for a column without a non-null value.
struct ColStats {
  int64_t lo = 0, hi = 0;
  bool known = false;
  // Per block of kZoneRows rows, the smallest and largest non-null value
  // (lo > hi for a block without one), as pairs; nullptr when not known.
  // A filter on a column stored in order skips the blocks it excludes.
  const int64_t* zones = nullptr;
  // A text column whose values repeat: per row the number of its value in
  // dict, the distinct values in order of first appearance (a null row's
  // code means nothing). nullptr when the column has too many values.
  const uint16_t* codes = nullptr;
  Vec dict;
  // A date column spanning at most 65,536 days: per row its day less lo (a
  // null row's means nothing). Passes that read only the days (a range, a
  // date's parts or grain per day) read a quarter of the bytes.
  const uint16_t* days = nullptr;
  // An integer column joined on as a unique right key: its map from value
  // to row + 1, kept by the first query that built it for the later ones
  // (see exec::Keep); nullptr until then.
  mutable const KeyMap* key_map = nullptr;
};

constexpr size_t kZoneRows = 4096;

// The stats of v (a column of its full length), its zones and dictionary
// in arena; nullopt when they do not fit.
std::optional<ColStats> statsOf(Arena& arena, const Vec& v);

}  // namespace quendra
