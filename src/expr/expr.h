// Parsed expressions: a flat node array addressed by 32-bit indices.
//
// The small expression language of model definitions and filters
// (identifiers, numbers, strings, TRUE/FALSE/NULL, arithmetic, one
// comparison, IS [NOT] NULL, [NOT] IN, [NOT] [I]LIKE, NOT, AND, OR,
// parentheses, CASE, and the functions COALESCE, ABS, the date parts,
// DATE_DIFF and the text and rounding functions) is parsed into an
// Expr whose operands always precede the node that uses them; the root is
// the last node. SQL rendering and in-memory evaluation both walk this form.
#pragma once

#include <cstdint>
#include <span>

#include "base/bytes.h"

namespace quendra {

enum class Tag : uint8_t {
  ident,
  int_,
  float_,
  string,
  boolean,
  null_lit,
  neg,
  not_,
  add,
  sub,
  mul,
  div,
  mod,
  eq,
  ne,
  lt,
  le,
  gt,
  ge,
  and_,
  or_,
  is_null,
  is_not_null,
  case_,
  coalesce,
  in,
  not_in,
  like,
  not_like,
  ilike,
  not_ilike,
  abs,
  part,
  substring,
  upper,
  lower,
  length,
  trim,
  concat,
  round,
  floor,
  ceil,
  date_diff,
  // Planning adds these for a query with a time zone; the parser never
  // makes them.
  local,
  zoned_text,
};

// The date parts `part` nodes take, by the low byte of b. The fiscal ones
// carry the fiscal year's first month after January (0..11) in the byte
// above, which planning sets from the query's calendar.
enum class DatePart : uint8_t { year, quarter, month, day, hour, minute, isodow, fiscal_year, fiscal_quarter };
inline DatePart partOf(uint32_t b) { return static_cast<DatePart>(b & 0xFF); }
inline int fiscalStartOf(uint32_t b) { return static_cast<int>(b >> 8 & 0xFF); }

// Field use by tag:
//   ident, int_, float_: text as written (a view into the source text)
//   ident: b is 1 when the name was written in double quotes; a is 0, or
//     for a column of another table than the expression's own (a path
//     through joins), that table's alias + 1
//   string: the content with doubled quotes collapsed (an arena copy)
//   boolean: a is 1 for TRUE, 0 for FALSE
//   neg, not_, is_null, is_not_null: a is the operand
//   add .. or_: a and b are the left and right operands
//   case_, coalesce, in, not_in: b operands listed in Expr::args from a on;
//     case_ lists condition, value, condition, value, ..., then the ELSE
//     value when b is odd; in and not_in list the value tested first
//   like .. not_ilike: a is the operand, text the pattern (an arena copy)
//   abs, upper, lower, length, trim, floor, ceil: a is the operand
//   part: a is the operand, b the DatePart (and fiscal start), text the
//     name as written
//   substring, concat: operands listed in Expr::args from a on (b of
//     them); substring lists the text, then its start and, when given, its
//     length, both integer literals (start 0 written as 1, a negative
//     length as 0, which mean the same)
//   round: a is the operand, b the digits as int32_t (-15 to 15)
//   date_diff: a and b are the start and the end, text the unit's
//     canonical grain name ("second" .. "year"; never a fiscal one)
//   local: a is the operand, text the time zone's name: the operand's
//     wall-clock time there (a timestamp is a UTC instant; a date stays
//     its day)
//   zoned_text: a text compared with a value (the right operand of eq ..
//     ge, or an item of in / not_in): text is the text, read as it is
//     against anything but a timestamp; against a timestamp it is the
//     instant a (low 32 bits) | b << 32, the text read as a wall-clock
//     time of the query's zone
struct Node {
  Bytes text;
  uint32_t a = 0;
  uint32_t b = 0;
  Tag tag = Tag::null_lit;
};

struct Expr {
  const Node* nodes = nullptr;
  uint32_t count = 0;
  uint32_t root = 0;
  const uint32_t* args = nullptr;  // operand lists of the variadic nodes

  std::span<const Node> all() const { return {nodes, count}; }
  const Node& operator[](uint32_t i) const { return nodes[i]; }
  // The operands of a case_, coalesce, in or not_in node.
  std::span<const uint32_t> list(const Node& n) const { return {args + n.a, n.b}; }
};

// For an ident node: the alias its column is read at, given the
// expression's own alias.
inline uint8_t identAlias(const Node& n, uint8_t own) { return n.a ? static_cast<uint8_t>(n.a - 1) : own; }

// The instant of a zoned_text node.
inline int64_t zonedInstant(const Node& n) {
  return static_cast<int64_t>(static_cast<uint64_t>(n.a) | static_cast<uint64_t>(n.b) << 32);
}

// True for the tags whose operands are listed in Expr::args.
inline bool isVariadic(Tag t) {
  return t == Tag::case_ || t == Tag::coalesce || t == Tag::in || t == Tag::not_in || t == Tag::substring ||
         t == Tag::concat;
}

// Operand slots of node n that index other nodes: a, b, or both.
inline bool readsA(Tag t) {
  switch (t) {
    case Tag::ident:
    case Tag::int_:
    case Tag::float_:
    case Tag::string:
    case Tag::boolean:
    case Tag::null_lit:
    case Tag::zoned_text:
    case Tag::case_:
    case Tag::coalesce:
    case Tag::in:
    case Tag::not_in:
    case Tag::substring:
    case Tag::concat: return false;
    default: return true;
  }
}
inline bool readsB(Tag t) { return (t >= Tag::add && t <= Tag::or_) || t == Tag::date_diff; }

}  // namespace quendra
