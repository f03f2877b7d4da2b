// Kernels: whole-vector arithmetic, comparison, logic, IS NULL and LIKE.
//
// Every kernel takes the call's arena first, never modifies its inputs and
// returns a new Vec (which may share an input's arrays where stated) or an
// evaluation error. A two-operand result has the shape of outLen(a, b) and,
// unless stated otherwise, the null mask of mergeNulls(a, b); a value under
// a null entry is stored as 0 / false. Operand kinds and scalar-ness are
// resolved once per call; each kernel is then one tight pass over the m
// stored entries. No kernel fails on overflow.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "base/arena.h"
#include "base/bytes.h"
#include "vec/vec.h"

namespace quendra {

enum class ArithOp : uint8_t { add = 0, sub = 1, mul = 2, div = 3, mod = 4 };

namespace vec {
// The comparisons a kernel evaluates. The planner's wider operator set maps
// its first six values one to one onto these, which is why this one lives
// in its own namespace.
enum class CmpOp : uint8_t { eq = 0, ne = 1, lt = 2, le = 3, gt = 4, ge = 5 };
}  // namespace vec

// A three-way order between two values.
enum class Ord : uint8_t { gt = 0, lt = 1, eq = 2 };

// a op b over int and float operands. The result is float when op is div or
// either operand is float, else int (there is no integer division: 7 / 2 is
// 3.5). Integer add, sub and mul wrap modulo 2^64. Division by zero (0.0 or
// -0.0) and integer mod by zero make the row null; float mod by zero gives
// NaN. Integer mod keeps the dividend's sign (-7 % 3 = -1, INT64_MIN % -1 =
// 0); float mod maps a negative dividend into the divisor's range
// (-7.0 % 3 = 2.0). A null scalar operand yields nullVec(float for div,
// else int) before any kind check. TypeMismatch for any other kind.
[[nodiscard]] EvalResult<Vec> arith(Arena& arena, ArithOp op, const Vec& a, const Vec& b);

// 0 - v: int stays int (INT64_MIN stays itself), float stays float, a null
// scalar gives an int null.
[[nodiscard]] EvalResult<Vec> negate(Arena& arena, const Vec& v);

// a op b as a bool vector. Comparable pairs: int/float mixtures (two ints
// exactly, otherwise as doubles with NaN equal to everything), date and
// timestamp in any mix (as instants, a date being its midnight, compared
// exactly), str with str (bytewise, unsigned, a proper prefix is smaller),
// bool with bool (false < true). A str scalar compared with a date or
// timestamp is first read with parseTimestamp (BadLiteral when it is not a
// timestamp). A null scalar operand gives an all-null result without any
// check; an empty non-scalar result is returned before literal reading.
// TypeMismatch for any other pair.
[[nodiscard]] EvalResult<Vec> compare(Arena& arena, vec::CmpOp op, const Vec& a, const Vec& b);

// Kleene AND (is_and) or OR over bool operands or null scalars of any kind
// (TypeMismatch otherwise). The result has a mask only when some entry came
// out null.
[[nodiscard]] EvalResult<Vec> logic(Arena& arena, bool is_and, const Vec& a, const Vec& b);

// NOT: a null scalar is returned as is; a bool vector is negated and shares
// v's mask; TypeMismatch otherwise.
[[nodiscard]] EvalResult<Vec> not_(Arena& arena, const Vec& v);

// IS NULL (IS NOT NULL when negated) of any kind: a maskless bool vector
// with a's len and scalar flag.
[[nodiscard]] EvalResult<Vec> isNull(Arena& arena, const Vec& a, bool negated);

// [NOT] [I]LIKE: v must be str and pat a non-null str scalar (TypeMismatch
// otherwise). The result shares v's mask, so a null row stays null for LIKE
// and NOT LIKE alike.
[[nodiscard]] EvalResult<Vec> like(Arena& arena, const Vec& v, const Vec& pat, bool ci,
                                   bool negated);

// Where cond is true (and not null) a, elsewhere b: CASE, one branch at a
// time, and COALESCE, with cond from IS NOT NULL. a and b take one kind:
// equal kinds stay, int with float is float, date with timestamp is
// timestamp (a date as its midnight), a null scalar takes the other's
// kind; TypeMismatch for any other pair, and when cond is neither bool nor a
// null scalar, whatever it holds. Two null scalars give b; otherwise a scalar
// cond returns a or b as widened, and a column cond a column of its len
// whose mask is the chosen side's.
[[nodiscard]] EvalResult<Vec> choose(Arena& arena, const Vec& cond, const Vec& a, const Vec& b);

// |v| over int (INT64_MIN stays itself, as 0 - x does) or float; a null
// scalar gives a null of that kind; TypeMismatch otherwise. Shares v's mask.
[[nodiscard]] EvalResult<Vec> absolute(Arena& arena, const Vec& v);

// UPPER and LOWER: each character's one-to-one Unicode case (ASCII and
// beyond); characters whose case takes several keep theirs. Str only; a
// null scalar gives a null str. Shares v's mask.
[[nodiscard]] EvalResult<Vec> changeCase(Arena& arena, const Vec& v, bool upper);
// TRIM: without the spaces (U+0020 only) at either end.
[[nodiscard]] EvalResult<Vec> trimSpaces(Arena& arena, const Vec& v);
// SUBSTRING: from character `start` (1 the first, negative counted from the
// end, 0 as 1), `length` characters (all when none; none when negative),
// never before the first.
[[nodiscard]] EvalResult<Vec> substringOf(Arena& arena, const Vec& v, int64_t start, std::optional<int64_t> length);
// LENGTH: characters (code points) as int.
[[nodiscard]] EvalResult<Vec> textLength(Arena& arena, const Vec& v);
// CONCAT: the texts joined; null where any is null. Str only.
[[nodiscard]] EvalResult<Vec> concatOf(Arena& arena, std::span<const Vec> ops);
// ROUND: half away from zero; to no digits an int stays itself and a float
// stays a float; to digits (-15 to 15) the value times 10^digits is
// rounded and divided back, as a float.
[[nodiscard]] EvalResult<Vec> roundTo(Arena& arena, const Vec& v, int32_t digits);
// FLOOR and CEIL, as floats.
[[nodiscard]] EvalResult<Vec> floorCeil(Arena& arena, const Vec& v, bool ceil);

// Wildcard match: '%' matches any run of characters (none included), '_'
// exactly one UTF-8 character, every other pattern byte itself (ASCII
// case-folded when ci). There is no escape character. Never allocates; the
// cost is at most proportional to |s| * |p|.
bool likeMatch(Bytes s, Bytes p, bool ci);

// Length of the UTF-8 sequence a byte starts: 1 for ASCII and continuation
// bytes, else 2, 3 or 4 by the lead byte. Invalid UTF-8 is never an error.
inline int utf8Len(uint8_t b) {
  if (b < 0xC0) return 1;
  if (b < 0xE0) return 2;
  if (b < 0xF0) return 3;
  return 4;
}

inline uint8_t foldAscii(uint8_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Pattern byte a matches string byte b; with ci only ASCII letters fold.
inline bool eqChar(uint8_t a, uint8_t b, bool ci) {
  return ci ? foldAscii(a) == foldAscii(b) : a == b;
}

// lt when x < y, gt when x > y, eq otherwise (so NaN is eq to everything).
inline Ord floatOrder(double x, double y) {
  if (x < y) return Ord::lt;
  if (x > y) return Ord::gt;
  return Ord::eq;
}

inline bool ordApply(vec::CmpOp op, Ord o) {
  switch (op) {
    case vec::CmpOp::eq: return o == Ord::eq;
    case vec::CmpOp::ne: return o != Ord::eq;
    case vec::CmpOp::lt: return o == Ord::lt;
    case vec::CmpOp::le: return o != Ord::gt;
    case vec::CmpOp::gt: return o == Ord::gt;
    case vec::CmpOp::ge: return o != Ord::lt;
  }
  return false;
}

}  // namespace quendra
