// Measures and fields of the models that joins reach, named from the
// queried model (`orders.total_price`) or from the model a measure belongs
// to (its filters).
#include "base/bytes.h"
#include "plan/builder.h"

namespace quendra {
namespace {

// `calc` with every identifier (a measure of the model reached) prefixed
// with `path` and a dot, so that it names the same measure from the
// queried model.
Result<Expr> prefixed(Arena& arena, const Expr& calc, Bytes path) {
  Node* nodes = arena.make<Node>(calc.count);
  if (!nodes) return std::unexpected(Err::OutOfMemory);
  for (uint32_t i = 0; i < calc.count; ++i) {
    nodes[i] = calc[i];
    if (nodes[i].tag == Tag::ident) nodes[i].text = TRY(concat(arena, {path, ".", calc[i].text}));
  }
  Expr out = calc;
  out.nodes = nodes;
  return out;
}

// `name` as written in the model `model` (its own measure or dimension,
// bare or as `model.name`, or a path from it) named from the queried model
// through `path`.
Result<Bytes> throughPath(Arena& arena, Bytes name, Bytes model, Bytes path) {
  if (name.size() > model.size() + 1 && name.starts_with(model) && name[model.size()] == '.')
    name = name.substr(model.size() + 1);
  return concat(arena, {path, ".", name});
}

Result<std::span<const Bytes>> allThroughPath(Arena& arena, std::span<const Bytes> names, Bytes model, Bytes path) {
  Bytes* out = arena.make<Bytes>(names.size() + 1);
  if (!out) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < names.size(); ++i) out[i] = TRY(throughPath(arena, names[i], model, path));
  return std::span<const Bytes>(out, names.size());
}

}  // namespace

Result<std::optional<uint32_t>> Builder::measureNamed(Bytes name) {
  if (std::optional<uint32_t> own = findMeasure(name)) return std::optional<uint32_t>(*own);
  // Along the joins the name begins with, to a model with a measure called
  // what is left.
  uint8_t at = 0;
  const Json* m = model;
  Bytes rest = name;
  for (;;) {
    const uint8_t next = TRY(hop(at, *m, rest));
    if (!next) return std::nullopt;
    rest = rest.substr(nodes[next - 1].name.size() + 1);
    at = next;
    m = nodes[at - 1].model;
    const Json* ms = m->getObject("measures");
    const Json* def = ms ? ms->get(rest) : nullptr;
    if (!def) continue;
    Measure joined;
    joined.name = name;
    joined.over = at;
    if (!def->isObject()) {
      joined.def.tag = MeasureDef::Tag::invalid;
      joined.def.invalid = "measure must be an object";
    } else {
      joined.def = TRY(measureDef(*def, at));
    }
    const Bytes path = name.substr(0, name.size() - rest.size() - 1);
    if (joined.def.tag == MeasureDef::Tag::calc) joined.def.calc = TRY(prefixed(arena, joined.def.calc, path));
    // A total or a rank names its measure and dimensions as its model
    // does; through the path they name the same ones.
    const Bytes reached = nodes[at - 1].model_name;
    if (joined.def.tag == MeasureDef::Tag::total) {
      Total& x = joined.def.total;
      x.base = TRY(throughPath(arena, x.base, reached, path));
      x.dims = TRY(allThroughPath(arena, x.dims, reached, path));
    }
    if (joined.def.tag == MeasureDef::Tag::rank) {
      Rank& x = joined.def.rank;
      x.base = TRY(throughPath(arena, x.base, reached, path));
      x.within = TRY(allThroughPath(arena, x.within, reached, path));
    }
    if (joined.def.tag == MeasureDef::Tag::derived) {
      joined.def.tag = MeasureDef::Tag::invalid;
      joined.def.invalid = "unsupported through a join: it is derived along time";
    }
    TRY(measures.push(arena, joined));
    return std::optional<uint32_t>(static_cast<uint32_t>(measures.len - 1));
  }
}

Result<std::optional<Bound>> Builder::ownDim(uint8_t at, Bytes name) {
  const Json& m = at ? *nodes[at - 1].model : *model;
  const Bytes m_name = at ? nodes[at - 1].model_name : model_name;
  const Json* dims = m.getObject("dimensions");
  Bytes key = name;
  if (name.size() > m_name.size() + 1 && name.starts_with(m_name) && name[m_name.size()] == '.')
    key = name.substr(m_name.size() + 1);
  const Json* def = dims ? dims->get(key) : nullptr;
  if (!def) return std::optional<Bound>();
  if (dimMeasure(*def)) return std::optional<Bound>(TRY(measureDim(at, key, *def)));
  std::optional<Bytes> text = dimExprText(*def);
  if (!text) return diag->fail(Err::Invalid, {"dimension '", key, "' has no expr"});
  return std::optional<Bound>(TRY(resolveNames(TRY(bind(*text, at)))));
}

Result<std::optional<Builder::PathEnd>> Builder::followPath(uint8_t at, Bytes name) {
  const Json* m = at ? nodes[at - 1].model : model;
  Bytes rest = name;
  bool moved = false;
  // The same walk as resolveNames: a dimension key met on the way wins over
  // a longer path.
  for (;;) {
    if (moved) {
      const Json* dims = m->getObject("dimensions");
      if (dims && dims->get(rest)) return std::optional<PathEnd>(PathEnd{at, rest, true});
    }
    const uint8_t next = TRY(hop(at, *m, rest));
    if (!next) break;
    rest = rest.substr(nodes[next - 1].name.size() + 1);
    at = next;
    m = nodes[at - 1].model;
    moved = true;
  }
  if (!moved) return std::optional<PathEnd>();
  return std::optional<PathEnd>(PathEnd{at, rest, false});
}

Result<Bound> Builder::pathBound(uint8_t at, Bytes name) {
  Node* n = arena.make<Node>(1);
  if (!n) return std::unexpected(Err::OutOfMemory);
  *n = Node{name, 0, 0, Tag::ident};
  return resolveNames(Bound{Expr{n, 1, 0, nullptr}, at});
}

Result<bool> Builder::namesMeasure(uint8_t at, Bytes name) {
  const Json& m = at ? *nodes[at - 1].model : *model;
  const Bytes m_name = at ? nodes[at - 1].model_name : model_name;
  const Json* ms = m.getObject("measures");
  if (ms && ms->get(name)) return true;
  if (name.size() > m_name.size() + 1 && name.starts_with(m_name) && name[m_name.size()] == '.' &&
      ms && ms->get(name.substr(m_name.size() + 1)))
    return true;
  if (std::optional<PathEnd> end = TRY(followPath(at, name))) {
    const Json* reached = nodes[end->at - 1].model->getObject("measures");
    return !end->dimension && reached && reached->get(end->rest);
  }
  return false;
}

Result<std::optional<Bound>> Builder::fieldAt(uint8_t at, Bytes name) {
  if (std::optional<Bound> dim = TRY(ownDim(at, name))) return dim;
  // A path from this model, read as it would be inside its expressions.
  if (TRY(followPath(at, name))) return std::optional<Bound>(TRY(pathBound(at, name)));
  return columnAt(at, name);
}

Result<std::optional<Bound>> Builder::columnAt(uint8_t at, Bytes name) {
  const Bytes m_name = at ? nodes[at - 1].model_name : model_name;
  Bytes key = name;
  if (name.size() > m_name.size() + 1 && name.starts_with(m_name) && name[m_name.size()] == '.')
    key = name.substr(m_name.size() + 1);
  if (key.empty() || key.find('.') != Bytes::npos) return std::optional<Bound>();
  Node* n = arena.make<Node>(1);
  if (!n) return std::unexpected(Err::OutOfMemory);
  *n = Node{key, 0, 0, Tag::ident};
  return std::optional<Bound>(Bound{Expr{n, 1, 0, nullptr}, at});
}

}  // namespace quendra
