#include "vec/eval.h"

#include <charconv>

#include "vec/date_diff.h"
#include "vec/time.h"

namespace quendra {
namespace {

EvalResult<Vec> readInt(Arena& arena, Bytes text) {
  int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty())
    return std::unexpected(EvalErr::BadLiteral);
  return scalarInt(arena, v);
}

// The lexer hands over digits and points only, so a text is a decimal
// number unless it holds a second point. from_chars reads it exactly as the
// nearest double, independent of the host's locale.
EvalResult<Vec> readFloat(Arena& arena, Bytes text) {
  const char* first = text.data();
  const char* last = first + text.size();
  double v = 0;
  auto [end, ec] = std::from_chars(first, last, v, std::chars_format::fixed);
  if (end != last || text.empty()) return std::unexpected(EvalErr::BadLiteral);
  if (ec == std::errc::result_out_of_range) {
    // Too many digits for a double: the nearest value is infinity when the
    // number has a non-zero integer digit, else (all leading zeros) zero.
    bool big = false;
    for (const char* p = first; p != last && *p != '.'; ++p) big |= *p != '0';
    v = big ? __builtin_inf() : 0.0;
  } else if (ec != std::errc()) {
    return std::unexpected(EvalErr::BadLiteral);
  }
  return scalarFloat(arena, v);
}

}  // namespace

EvalResult<Vec> evalLiteral(Arena& arena, const Node& n) {
  switch (n.tag) {
    case Tag::int_: return readInt(arena, n.text);
    case Tag::float_: return readFloat(arena, n.text);
    case Tag::string:
    case Tag::zoned_text: return scalarStr(arena, n.text);
    case Tag::boolean: return scalarBool(arena, n.a == 1);
    default: break;
  }
  return nullVec(arena, Kind::int_, 1, true);
}

EvalResult<Vec> evalOp(Arena& arena, Tag tag, const Vec& a, const Vec& b) {
  switch (tag) {
    case Tag::neg: return negate(arena, a);
    case Tag::not_: return not_(arena, a);
    case Tag::is_null: return isNull(arena, a, false);
    case Tag::is_not_null: return isNull(arena, a, true);
    case Tag::add: return arith(arena, ArithOp::add, a, b);
    case Tag::sub: return arith(arena, ArithOp::sub, a, b);
    case Tag::mul: return arith(arena, ArithOp::mul, a, b);
    case Tag::div: return arith(arena, ArithOp::div, a, b);
    case Tag::mod: return arith(arena, ArithOp::mod, a, b);
    case Tag::eq: return compare(arena, vec::CmpOp::eq, a, b);
    case Tag::ne: return compare(arena, vec::CmpOp::ne, a, b);
    case Tag::lt: return compare(arena, vec::CmpOp::lt, a, b);
    case Tag::le: return compare(arena, vec::CmpOp::le, a, b);
    case Tag::gt: return compare(arena, vec::CmpOp::gt, a, b);
    case Tag::ge: return compare(arena, vec::CmpOp::ge, a, b);
    case Tag::and_: return logic(arena, true, a, b);
    case Tag::or_: return logic(arena, false, a, b);
    default: break;
  }
  // Leaves never reach here; evalNode routes them to evalLiteral.
  return std::unexpected(EvalErr::TypeMismatch);
}

EvalResult<Vec> evalList(Arena& arena, Tag tag, std::span<const Vec> ops) {
  const size_t n = ops.size();
  if (tag == Tag::case_) {
    // From the last branch back, each one's condition choosing between its
    // value and everything after it.
    Vec acc = n % 2 ? ops[n - 1] : TRY(nullVec(arena, Kind::int_, 1, true));
    for (size_t k = n / 2; k-- > 0;) acc = TRY(choose(arena, ops[2 * k], ops[2 * k + 1], acc));
    return acc;
  }
  if (tag == Tag::concat) return concatOf(arena, ops);
  if (tag == Tag::substring) {
    // Start and length are integer literals (see Node).
    if ((!ops[1].isNumeric() || ops[1].kind != Kind::int_) || (n > 2 && ops[2].kind != Kind::int_))
      return std::unexpected(EvalErr::TypeMismatch);
    return substringOf(arena, ops[0], ops[1].intAt(0), n > 2 ? std::optional<int64_t>(ops[2].intAt(0)) : std::nullopt);
  }
  if (tag == Tag::coalesce) {
    Vec acc = ops[n - 1];
    for (size_t k = n - 1; k-- > 0;) acc = TRY(choose(arena, TRY(isNull(arena, ops[k], true)), ops[k], acc));
    return acc;
  }
  // x IN (e1, ...) is x = e1 OR ...: null when no equality holds and one
  // is null, as in SQL.
  Vec acc = TRY(compare(arena, vec::CmpOp::eq, ops[0], ops[1]));
  for (size_t k = 2; k < n; ++k) acc = TRY(logic(arena, false, acc, TRY(compare(arena, vec::CmpOp::eq, ops[0], ops[k]))));
  return tag == Tag::in ? acc : not_(arena, acc);
}

EvalResult<Vec> evalUnary(Arena& arena, const Node& n, const Vec& a) {
  switch (n.tag) {
    case Tag::abs: return absolute(arena, a);
    case Tag::part: return datePart(arena, partOf(n.b), a, fiscalStartOf(n.b));
    case Tag::upper: return changeCase(arena, a, true);
    case Tag::lower: return changeCase(arena, a, false);
    case Tag::trim: return trimSpaces(arena, a);
    case Tag::length: return textLength(arena, a);
    case Tag::round: return roundTo(arena, a, static_cast<int32_t>(n.b));
    case Tag::floor: return floorCeil(arena, a, false);
    case Tag::ceil: return floorCeil(arena, a, true);
    case Tag::local: {
      std::optional<TimeZone> z = findTimeZone(n.text);
      if (!z) return std::unexpected(EvalErr::TypeMismatch);
      return localTime(arena, *z, a);
    }
    default: break;
  }
  if (a.isNullScalar()) return nullVec(arena, Kind::bool_, 1, true);
  bool ci = n.tag == Tag::ilike || n.tag == Tag::not_ilike;
  bool negated = n.tag == Tag::not_like || n.tag == Tag::not_ilike;
  return like(arena, a, TRY(scalarStr(arena, n.text)), ci, negated);
}

EvalResult<Vec> evalDateDiff(Arena& arena, const Node& n, const Vec& a, const Vec& b) {
  // The parser wrote the unit's canonical name.
  std::optional<Grain> unit = grainFromName(n.text);
  if (!unit) return std::unexpected(EvalErr::TypeMismatch);
  return dateDiff(arena, *unit, a, b);
}

EvalResult<Vec> zonedText(Arena& arena, const Node& n, const Vec& other) {
  if (other.kind == Kind::timestamp) return scalarTimestamp(arena, zonedInstant(n));
  return scalarStr(arena, n.text);
}

namespace {
// An empty list still points somewhere: a Sel with a null list means "every
// row", so an empty selection must never be mistaken for one.
uint32_t kNoRows[1];
}  // namespace

EvalResult<std::span<uint32_t>> selection(Arena& arena, const Vec& mask, size_t n) {
  if (mask.isNullScalar()) return std::span<uint32_t>(kNoRows, 0);
  if (mask.kind != Kind::bool_) return std::unexpected(EvalErr::TypeMismatch);
  if (mask.scalar) {
    if (!mask.boolAt(0) || (mask.nulls && mask.nulls[0])) return std::span<uint32_t>(kNoRows, 0);
    uint32_t* out = arena.make<uint32_t>(n);
    if (!out) return std::unexpected(EvalErr::OutOfMemory);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint32_t>(i);
    return std::span<uint32_t>(out, n);
  }
  // Count first so the list takes exactly its size; both passes are
  // branch-free over the bytes.
  const uint8_t* __restrict v = mask.data.bools;
  const uint8_t* __restrict nulls = mask.nulls;
  size_t kept = 0;
  if (nulls)
    for (size_t i = 0; i < n; ++i) kept += v[i] & !nulls[i];
  else
    for (size_t i = 0; i < n; ++i) kept += v[i];
  // One spare entry: the branch-free pass writes every position once more
  // after the last kept one.
  uint32_t* out = arena.make<uint32_t>(kept + 1);
  if (!out) return std::unexpected(EvalErr::OutOfMemory);
  size_t k = 0;
  if (nulls) {
    for (size_t i = 0; i < n; ++i) {
      out[k] = static_cast<uint32_t>(i);
      k += v[i] & !nulls[i];
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      out[k] = static_cast<uint32_t>(i);
      k += v[i];
    }
  }
  return std::span<uint32_t>(out, kept);
}

EvalResult<Sel> intersect(Arena& arena, Sel s, std::span<const uint32_t> keep) {
  if (s.all()) {
    // Every entry of keep lies below s.n, being a position of the same rows.
    return Sel{keep.data() ? keep.data() : kNoRows, keep.size()};
  }
  uint32_t* out = arena.make<uint32_t>(s.n < keep.size() ? s.n : keep.size());
  if (!out) return std::unexpected(EvalErr::OutOfMemory);
  size_t i = 0, j = 0, k = 0;
  while (i < s.n && j < keep.size()) {
    uint32_t a = s.idx[i], b = keep[j];
    out[k] = a;
    k += a == b;
    i += a <= b;
    j += b <= a;
  }
  return Sel{out, k};
}

}  // namespace quendra
