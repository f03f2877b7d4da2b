// Parsed expressions: a flat node array addressed by 32-bit indices.
//
// The small expression language of model definitions and filters
// (identifiers, numbers, strings, TRUE/FALSE/NULL, arithmetic, one
// comparison, IS [NOT] NULL, NOT, AND, OR, parentheses) is parsed into an
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
};

// Field use by tag:
//   ident, int_, float_: text as written (a view into the source text)
//   string: the content with doubled quotes collapsed (an arena copy)
//   boolean: a is 1 for TRUE, 0 for FALSE
//   neg, not_, is_null, is_not_null: a is the operand
//   add .. or_: a and b are the left and right operands
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

  std::span<const Node> all() const { return {nodes, count}; }
  const Node& operator[](uint32_t i) const { return nodes[i]; }
};

}  // namespace quendra
