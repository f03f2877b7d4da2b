// Dimensions defined by measures: per row of a model, a measure of the
// model its first join reaches, aggregated over the rows linked to that
// row; or a measure of the model itself over its whole table. Each becomes
// a join to the answer of a plan of its own (grouped by the join's right
// key, or not grouped at all), so that every later step, in memory and in
// SQL, reads it as a column of a joined table.
#include "plan/builder.h"
#include "plan/plan.h"

namespace quendra {
namespace {

Json str(Bytes s) {
  Json j;
  j.kind = JsonKind::string;
  j.seq = {s.data(), s.size()};
  return j;
}

Json list(const Json* items, size_t n) {
  Json j;
  j.kind = JsonKind::array;
  j.seq = {items, n};
  return j;
}

Json object(const JsonMember* members, size_t n) {
  Json j;
  j.kind = JsonKind::object;
  j.seq = {members, n};
  return j;
}

// An expression of `count` nodes, operands first, with its variadic
// operand lists in `args`.
Result<Bound> made(Arena& arena, std::initializer_list<Node> ns, std::initializer_list<uint32_t> args, uint8_t alias) {
  Node* nodes = arena.make<Node>(ns.size());
  uint32_t* a = arena.make<uint32_t>(args.size() + 1);
  if (!nodes || !a) return std::unexpected(Err::OutOfMemory);
  size_t i = 0;
  for (const Node& n : ns) nodes[i++] = n;
  i = 0;
  for (uint32_t x : args) a[i++] = x;
  return Bound{Expr{nodes, static_cast<uint32_t>(ns.size()), static_cast<uint32_t>(ns.size() - 1), a}, alias};
}

// CASE WHEN <key> IS NOT NULL THEN <value> END, identifiers naming their
// aliases: the value only for the rows of a joined table that matched,
// whose right key is therefore not null.
Result<Bound> onlyMatched(Arena& arena, const Bound& key, const Bound& value) {
  const size_t count = key.e.count + value.e.count + 2;
  size_t nargs = 2;
  for (const Bound* b : {&key, &value})
    for (const Node& n : b->e.all())
      if (isVariadic(n.tag)) nargs += n.b;
  Node* ns = arena.make<Node>(count);
  uint32_t* as = arena.make<uint32_t>(nargs);
  if (!ns || !as) return std::unexpected(Err::OutOfMemory);
  uint32_t n = 0, na = 0;
  auto append = [&](const Bound& b) {
    const uint32_t base = n;
    for (uint32_t i = 0; i < b.e.count; ++i) {
      Node x = b.e[i];
      if (x.tag == Tag::ident) {
        x.a = static_cast<uint32_t>(identAlias(x, b.alias)) + 1;
      } else if (isVariadic(x.tag)) {
        const auto l = b.e.list(b.e[i]);
        for (size_t q = 0; q < l.size(); ++q) as[na + q] = l[q] + base;
        x.a = na;
        na += static_cast<uint32_t>(l.size());
      } else {
        if (readsA(x.tag)) x.a += base;
        if (readsB(x.tag)) x.b += base;
      }
      ns[n++] = x;
    }
    return base + b.e.root;
  };
  const uint32_t k = append(key);
  ns[n++] = Node{{}, k, 0, Tag::is_not_null};
  const uint32_t cond = n - 1;
  const uint32_t then = append(value);
  as[na] = cond;
  as[na + 1] = then;
  ns[n++] = Node{{}, na, 2, Tag::case_};
  return Bound{Expr{ns, n, n - 1, as}, kMixedAlias};
}

}  // namespace

Result<Bound> Builder::fieldBound(const Field& f) {
  if (!f.by_measure) return resolveNames(TRY(bind(f.expr, f.alias)));
  const Json& m = f.alias ? *nodes[f.alias - 1].model : *model;
  const Json* def = m.getObject("dimensions") ? m.getObject("dimensions")->get(f.key) : nullptr;
  if (!def) return diag->fail(Err::UnknownField, {"unknown dimension '", f.key, "'"});
  return measureDim(f.alias, f.key, *def);
}

Result<Bound> Builder::measureDim(uint8_t at, Bytes key, const Json& def) {
  for (const MeasureDimAt& x : measure_dims)
    if (x.at == at && x.key == key) return x.value;
  const Bytes owner = at ? nodes[at - 1].model_name : model_name;
  const Json& m = at ? *nodes[at - 1].model : *model;
  if (depth > 0)
    return diag->fail(Err::Unsupported, {"dimension '", key, "' of model '", owner,
                                         "' is defined by a measure, which the measure behind another such dimension "
                                         "may not read"});
  const Bytes name = dimMeasure(def)->str();

  // The plan of its values: the measure per right key of the first join
  // of the path, or the model's own measure over all its rows.
  const uint8_t hopped = TRY(hop(at, m, name));
  if (joins.len + 2 > kMaxJoins) return diag->fail(Err::Unsupported, {"too many joins"});
  const Bytes target = hopped ? nodes[hopped - 1].model_name : owner;
  const Bytes measure = hopped ? name.substr(nodes[hopped - 1].name.size() + 1) : name;
  const std::span<const Bytes> rights = hopped ? nodes[hopped - 1].right_on : std::span<const Bytes>();
  const Json* target_model = models->getObject(target);
  const Json* target_joins = target_model ? target_model->getObject("joins") : nullptr;
  const bool prefixed = target_joins && !target_joins->members().empty();
  Json* dim_names = arena.make<Json>(rights.size() + 1);
  Json* measure_names = arena.make<Json>(1);
  JsonMember* members = arena.make<JsonMember>(7);
  if (!dim_names || !measure_names || !members) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < rights.size(); ++i)
    dim_names[i] = str(prefixed ? TRY(concat(arena, {target, ".", rights[i]})) : rights[i]);
  measure_names[0] = str(measure);
  members[0] = JsonMember{"model", str(target)};
  members[1] = JsonMember{"dimensions", list(dim_names, rights.size())};
  members[2] = JsonMember{"measures", list(measure_names, 1)};
  // The measure reads time in the query's zone, as the query does.
  size_t nmembers = 3;
  if (zone_json) members[nmembers++] = JsonMember{"time_zone", *zone_json};
  const Json query = object(members, nmembers);
  Plan* sub = arena.make<Plan>(1);
  if (!sub) return std::unexpected(Err::OutOfMemory);
  new (sub) Plan(TRY(build(arena, *manifest, query, *diag, depth + 1)));
  const MeasureDef& md = sub->measures[sub->selected[0]].def;
  if ((md.tag != MeasureDef::Tag::agg && md.tag != MeasureDef::Tag::calc) || !sub->totals.empty() ||
      !sub->ranks.empty())
    return diag->fail(Err::Unsupported, {"dimension '", key, "' of model '", owner, "': measure '", name,
                                         "' is neither an aggregate nor a calculation over aggregates"});
  if (md.tag == MeasureDef::Tag::agg && sub->measures[sub->selected[0]].over == 0 && !md.agg.filters.empty()) {
    // The measure's own filters select the rows to group: a key none of
    // whose rows passes then has no row in the answer, and takes the
    // measure over no rows just as an unlinked row does. Grouping fewer
    // rows is the cheaper plan, in memory and in SQL.
    auto* ms = arena.make<Measure>(sub->measures.size());
    if (!ms) return std::unexpected(Err::OutOfMemory);
    for (size_t i = 0; i < sub->measures.size(); ++i) ms[i] = sub->measures[i];
    sub->where = ms[sub->selected[0]].def.agg.filters;
    ms[sub->selected[0]].def.agg.filters = {};
    sub->measures = {ms, sub->measures.size()};
  }
  Bytes* outs = arena.make<Bytes>(rights.size() + 1);
  if (!outs) return std::unexpected(Err::OutOfMemory);
  static constexpr const char* kKeys[] = {"k0", "k1", "k2", "k3", "k4", "k5", "k6", "k7"};
  for (size_t i = 0; i < rights.size(); ++i) outs[i] = kKeys[i];
  outs[rights.size()] = "v";
  sub->out_names = {outs, rights.size() + 1};

  Bound* right = arena.make<Bound>(rights.size() + 1);
  if (!right) return std::unexpected(Err::OutOfMemory);
  const auto alias = static_cast<uint8_t>(joins.len + 1);
  for (size_t i = 0; i < rights.size(); ++i)
    new (&right[i]) Bound(TRY(made(arena, {Node{outs[i], 0, 0, Tag::ident}}, {}, alias)));
  Join j;
  j.table = sub->table;
  if (hopped) j.left = joins[hopped - 1].left;
  j.right = {right, rights.size()};
  j.alias = alias;
  j.parent = at;
  j.path = key;
  j.sub = sub;
  TRY(joins.push(arena, j));
  // No name: paths never pass through it.
  TRY(nodes.push(arena, JoinNode{Bytes(), key, target, target_model, at, {}}));

  // A row with no linked row takes the measure over no rows: 0 for a
  // count; for a calculation, its value over no rows, planned with a
  // filter that keeps none and joined to every row.
  Bound value;
  const Node v{"v", 0, 0, Tag::ident};
  if (!hopped || (md.tag == MeasureDef::Tag::agg && md.agg.func != AggFn::count && md.agg.func != AggFn::nunique)) {
    value = TRY(made(arena, {v}, {}, alias));
  } else if (md.tag == MeasureDef::Tag::agg) {
    value = TRY(made(arena, {v, Node{"0", 0, 0, Tag::int_}, Node{{}, 0, 2, Tag::coalesce}}, {0, 1}, alias));
  } else {
    members[3] = JsonMember{"model", str(target)};
    members[4] = JsonMember{"measures", list(measure_names, 1)};
    members[5] = JsonMember{"filter", str("FALSE")};
    if (zone_json) members[6] = JsonMember{"time_zone", *zone_json};
    const Json none_query = object(members + 3, zone_json ? 4 : 3);
    Plan* none = arena.make<Plan>(1);
    Bytes* none_outs = arena.make<Bytes>(1);
    if (!none || !none_outs) return std::unexpected(Err::OutOfMemory);
    new (none) Plan(TRY(build(arena, *manifest, none_query, *diag, depth + 1)));
    none_outs[0] = "v";
    none->out_names = {none_outs, 1};
    Join e;
    e.table = none->table;
    e.alias = static_cast<uint8_t>(joins.len + 1);
    e.parent = at;
    e.path = key;
    e.sub = none;
    TRY(joins.push(arena, e));
    TRY(nodes.push(arena, JoinNode{Bytes(), key, target, target_model, at, {}}));
    // CASE WHEN k0 IS NULL THEN (over no rows) ELSE v END: a matched row
    // has a key, since null keys match nothing.
    const auto ka = static_cast<uint32_t>(alias + 1), ea = static_cast<uint32_t>(e.alias + 1);
    value = TRY(made(arena,
                     {Node{outs[0], ka, 0, Tag::ident}, Node{{}, 0, 0, Tag::is_null}, Node{"v", ea, 0, Tag::ident},
                      Node{"v", ka, 0, Tag::ident}, Node{{}, 0, 3, Tag::case_}},
                     {1, 2, 3}, kMixedAlias));
  }
  // Through a join, a row of it that is missing has no value: not the
  // 0 or the value over no rows that an unlinked row of it takes.
  const bool filled = hopped && !(value.e.count == 1);
  if (filled && at != 0) value = TRY(onlyMatched(arena, joins[at - 1].right[0], value));
  TRY(measure_dims.push(arena, MeasureDimAt{at, key, value}));
  return value;
}

}  // namespace quendra
