// Names inside expressions: paths through joins to the fields of other
// models, and a model's own dimensions named as `model.key`, written in
// place so that every later step sees plain columns.
#include "base/bytes.h"
#include "plan/builder.h"

namespace quendra {

uint32_t aliasesOf(const Bound& b) {
  if (b.alias != kMixedAlias) return 1u << b.alias;
  uint32_t mask = 0;
  for (const Node& n : b.e.all())
    if (n.tag == Tag::ident) mask |= 1u << identAlias(n, 0);
  return mask;
}

Result<uint8_t> Builder::hop(uint8_t at, const Json& m, Bytes name) {
  // The first join of m, in document order, whose name and a dot begin the
  // name; join names may hold dots themselves.
  const Json* js = m.getObject("joins");
  if (!js) return 0;
  const JsonMember* hit = nullptr;
  for (const JsonMember& jm : js->members())
    if (name.size() > jm.key.size() + 1 && name.starts_with(jm.key) && name[jm.key.size()] == '.') {
      hit = &jm;
      break;
    }
  if (!hit) return 0;
  for (size_t k = 0; k < nodes.len; ++k)
    if (nodes[k].parent == at && nodes[k].name == hit->key && !joins[k].sub) return static_cast<uint8_t>(k + 1);
  // Only the queried model's joins are read up front; a join further down
  // is read, checked and numbered when a name first passes it.
  Bytes label = at ? TRY(concat(arena, {nodes[at - 1].path, ".", hit->key})) : hit->key;
  Bytes parent_name = at ? nodes[at - 1].model_name : model_name;
  TRY(readJoin(label, hit->key, hit->value, m, parent_name, at));
  return static_cast<uint8_t>(joins.len);
}

Result<std::optional<Field>> Builder::pathField(Bytes name) {
  uint8_t at = 0;  // the table reached so far
  const Json* m = model;
  Bytes rest = name;
  for (;;) {
    if (at != 0) {
      const Json* dims = m->getObject("dimensions");
      if (const Json* def = dims ? dims->get(rest) : nullptr)
        return std::optional<Field>(TRY(fieldOf(name, rest, *def, at)));
    }
    const uint8_t next = TRY(hop(at, *m, rest));
    if (!next) return std::optional<Field>();
    rest = rest.substr(nodes[next - 1].name.size() + 1);
    at = next;
    m = nodes[at - 1].model;
  }
}

namespace {

bool isPathCandidate(const Node& n) { return n.tag == Tag::ident && n.a == 0 && n.b == 0 && n.text.find('.') != Bytes::npos; }



}  // namespace

Result<Bound> Builder::resolveNames(const Bound& b) {
  bool any = false;
  for (const Node& n : b.e.all()) any |= isPathCandidate(n);
  if (!any) return b;
  const uint8_t own = b.alias;
  const Json& m = own ? *nodes[own - 1].model : *model;
  const Bytes m_name = own ? nodes[own - 1].model_name : model_name;

  // What each dotted name becomes: an expression over some alias, written
  // in place of the name (none: the name stays a column).
  const Expr& e = b.e;
  auto* with = arena.make<std::optional<Bound>>(e.count);
  if (!with) return std::unexpected(Err::OutOfMemory);
  size_t nodes_out = 0, args_out = 0;
  for (uint32_t i = 0; i < e.count; ++i) {
    new (&with[i]) std::optional<Bound>();
    const Node& n = e[i];
    if (isVariadic(n.tag)) args_out += n.b;
    ++nodes_out;
    if (!isPathCandidate(n)) continue;
    // A dimension (written in place, over its model's alias) or a column of
    // the model at `at`, reached from `own` through joins.
    auto dimensionAt = [&](uint8_t at, Bytes key, const Json& def) -> Result<Bound> {
      const Bytes owner = at ? nodes[at - 1].model_name : model_name;
      for (const Inlining& x : inlining)
        if (x.alias == at && x.key == key)
          return diag->fail(Err::Invalid, {"dimension '", key, "' of model '", owner, "' refers to itself"});
      if (dimMeasure(def)) return measureDim(at, key, def);
      std::optional<Bytes> text = dimExprText(def);
      if (!text) return diag->fail(Err::Invalid, {"dimension '", key, "' has no expr"});
      TRY(inlining.push(arena, Inlining{at, key}));
      auto sub = bind(*text, at);
      if (sub) sub = resolveNames(*sub);
      --inlining.len;
      return sub;
    };
    uint8_t at = own;
    const Json* cur = &m;
    Bytes rest = n.text;
    bool moved = false;
    for (;;) {
      if (moved) {
        const Json* dims = cur->getObject("dimensions");
        if (const Json* def = dims ? dims->get(rest) : nullptr) {
          with[i] = TRY(dimensionAt(at, rest, *def));
          break;
        }
      }
      const uint8_t next = TRY(hop(at, *cur, rest));
      if (!next) break;
      rest = rest.substr(nodes[next - 1].name.size() + 1);
      at = next;
      cur = nodes[at - 1].model;
      moved = true;
    }
    if (with[i]) {
    } else if (moved) {
      Node* col = arena.make<Node>(1);
      if (!col) return std::unexpected(Err::OutOfMemory);
      *col = Node{rest, 0, 0, Tag::ident};
      with[i] = Bound{Expr{col, 1, 0, nullptr}, at};
    } else if (n.text.size() > m_name.size() + 1 && n.text.starts_with(m_name) && n.text[m_name.size()] == '.') {
      const Bytes key = n.text.substr(m_name.size() + 1);
      const Json* dims = m.getObject("dimensions");
      if (const Json* def = dims ? dims->get(key) : nullptr) with[i] = TRY(dimensionAt(own, key, *def));
    }
    if (with[i]) {
      nodes_out += with[i]->e.count - 1;
      for (const Node& s : with[i]->e.all())
        if (isVariadic(s.tag)) args_out += s.b;
    }
  }

  // The new node list, operands still first: each replaced name becomes the
  // nodes of its expression, every identifier of which names its alias.
  Node* out = arena.make<Node>(nodes_out);
  uint32_t* args = arena.make<uint32_t>(args_out + 1);
  uint32_t* at_of = arena.make<uint32_t>(e.count);  // where node i went
  if (!out || !args || !at_of) return std::unexpected(Err::OutOfMemory);
  uint32_t k = 0, na = 0;
  // Appends node n (node j of src), its operands mapped through `map`.
  auto append = [&](Node n, const uint32_t* map, const Expr& src, uint32_t j) {
    if (isVariadic(n.tag)) {
      const auto list = src.list(src[j]);
      for (size_t q = 0; q < list.size(); ++q) args[na + q] = map[list[q]];
      n.a = na;
      na += static_cast<uint32_t>(list.size());
    } else {
      if (readsA(n.tag)) n.a = map[n.a];
      if (readsB(n.tag)) n.b = map[n.b];
    }
    out[k] = n;
    return k++;
  };
  for (uint32_t i = 0; i < e.count; ++i) {
    if (!with[i]) {
      at_of[i] = append(e[i], at_of, e, i);
      continue;
    }
    const Bound& r = *with[i];
    uint32_t* where = arena.make<uint32_t>(r.e.count);
    if (!where) return std::unexpected(Err::OutOfMemory);
    for (uint32_t j = 0; j < r.e.count; ++j) {
      Node n = r.e[j];
      if (n.tag == Tag::ident) n.a = static_cast<uint32_t>(identAlias(n, r.alias)) + 1;
      where[j] = append(n, where, r.e, j);
    }
    at_of[i] = where[r.e.root];
  }

  // One alias for all: the plain form, which every step reads as before.
  uint32_t mask = 0;
  for (uint32_t j = 0; j < k; ++j)
    if (out[j].tag == Tag::ident) mask |= 1u << identAlias(out[j], own);
  const bool one = mask == 0 || (mask & (mask - 1)) == 0;
  const uint8_t only = mask ? static_cast<uint8_t>(__builtin_ctz(mask)) : own;
  for (uint32_t j = 0; j < k; ++j)
    if (out[j].tag == Tag::ident) out[j].a = one ? 0 : static_cast<uint32_t>(identAlias(out[j], own)) + 1;
  return Bound{Expr{out, k, at_of[e.root], args}, one ? only : kMixedAlias};
}

}  // namespace quendra
