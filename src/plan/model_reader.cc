// The model reader: one model of the manifest becomes fields, joins and
// measures. Everything is checked at query time, in a fixed order, so the
// same manifest error is reported the same way on every query of the model.
#include <cstdio>

#include "base/bytes.h"
#include "expr/parser.h"
#include "expr/show.h"
#include "plan/builder.h"
#include "plan/suggest.h"

namespace quendra {

std::optional<Bytes> dimExprText(const Json& def) {
  if (def.isString()) return def.str();
  if (const Json* e = def.getString("expr")) return e->str();
  return std::nullopt;
}

const Json* dimMeasure(const Json& def) { return def.getString("expr") ? nullptr : def.getString("measure"); }

Result<Expr> Builder::withCalendar(Expr e) {
  bool fiscal = false;
  for (const Node& n : e.all())
    fiscal |= n.tag == Tag::part && (partOf(n.b) == DatePart::fiscal_year || partOf(n.b) == DatePart::fiscal_quarter);
  if (!fiscal || !fiscal_start) return e;
  Node* nodes = arena.make<Node>(e.count);
  if (!nodes) return std::unexpected(Err::OutOfMemory);
  for (uint32_t i = 0; i < e.count; ++i) {
    nodes[i] = e[i];
    const bool part = nodes[i].tag == Tag::part &&
                      (partOf(nodes[i].b) == DatePart::fiscal_year || partOf(nodes[i].b) == DatePart::fiscal_quarter);
    if (part) nodes[i].b |= uint32_t{fiscal_start} << 8;
  }
  e.nodes = nodes;
  return e;
}

namespace {

// The first node of e at which literalKindsFit fails (the nodes before it,
// its operands among them, fit), found by halving: a prefix of the node
// array is an expression of its own, and once one fails every longer one
// does. REQUIRES: e fails as a whole.
std::expected<uint32_t, ParseErr> firstMisfit(Arena& arena, const Expr& e) {
  uint32_t lo = 0, hi = e.count - 1;
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    Expr prefix = e;
    prefix.count = mid + 1;
    prefix.root = mid;
    const bool fits = TRY(literalKindsFit(arena, prefix));
    if (fits)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

// The kind node i shows before any column is bound, as messages name
// kinds; "?" where columns decide it.
Bytes seenKind(const Node& n) {
  switch (n.tag) {
    case Tag::int_:
    case Tag::length:
    case Tag::date_diff:
    case Tag::part: return "integer";
    case Tag::float_: return "float";
    case Tag::string:
    case Tag::zoned_text:
    case Tag::upper:
    case Tag::lower:
    case Tag::trim:
    case Tag::substring:
    case Tag::concat: return "text";
    case Tag::null_lit: return "null";
    default: break;
  }
  if ((n.tag >= Tag::eq && n.tag <= Tag::is_not_null) || n.tag == Tag::not_ || n.tag == Tag::in ||
      n.tag == Tag::not_in || (n.tag >= Tag::like && n.tag <= Tag::not_ilike) || n.tag == Tag::boolean)
    return "boolean";
  return "?";
}

}  // namespace

// The mismatch that literals alone show, as evaluation would report it: the
// first node that cannot work and the kinds its operands show. Only the
// words when the details cannot be had.
std::unexpected<Err> Builder::literalMismatch(const Expr& e) {
  const Bytes words = "type mismatch in expression";
  auto at = firstMisfit(arena, e);
  if (!at) {
    diag->setOr(Err::Invalid, words, {words});
    return std::unexpected(Err::Invalid);
  }
  const Node& n = e[*at];
  Bytes kinds[Shown::kMaxWords];
  size_t count = 0;
  auto add = [&](uint32_t op) {
    if (count < Shown::kMaxWords) kinds[count++] = seenKind(e[op]);
  };
  if (isVariadic(n.tag)) {
    for (uint32_t op : e.list(n)) add(op);
  } else {
    if (readsA(n.tag)) add(n.a);
    if (readsB(n.tag)) add(n.b);
  }
  Shown what, met;
  showExpr(what, e, *at);
  showExpr(met, e, *at, {kinds, count});
  diag->setOr(Err::Invalid, words, {words, ": '", what.view(), "' (", met.view(), ")"});
  return std::unexpected(Err::Invalid);
}

Result<Expr> Builder::parse(Bytes text) {
  ParseFail why;
  auto e = quendra::parse(arena, text, &why);
  if (e) {
    auto fits = literalKindsFit(arena, *e);
    if (!fits) return std::unexpected(Err::OutOfMemory);
    // As evaluation reports it; literals alone show that it cannot work.
    if (!*fits) return literalMismatch(*e);
    Expr out = TRY(withCalendar(*e));
    if (zone) return zonedExpr(arena, out, *zone);
    return out;
  }
  // The text as messages quote expressions: cut after kShownBytes.
  Shown cut, function;
  cut.put(text);
  text = cut.view();
  function.put(why.function);
  why.function = function.view();
  switch (e.error()) {
    case ParseErr::OutOfMemory: return std::unexpected(Err::OutOfMemory);
    case ParseErr::UnknownFunction:
      return diag->fail(Err::Invalid, {"unknown function '", why.function, "' in expression '", text, "'"});
    case ParseErr::WrongArity: {
      char got[12], min[12], max[12];
      std::snprintf(got, sizeof got, "%u", why.got);
      std::snprintf(min, sizeof min, "%u", why.min);
      std::snprintf(max, sizeof max, "%u", why.max);
      const bool one = why.max == why.min, many = why.max == UINT32_MAX;
      return diag->fail(Err::Invalid, {"function '", why.function, one ? "' takes " : many ? "' takes at least " : "' takes ",
                                       min, one || many ? "" : " to ", one || many ? "" : max,
                                       why.max == 1 || (many && why.min == 1) ? " argument, not " : " arguments, not ",
                                       got, ", in expression '", text, "'"});
    }
    case ParseErr::BadArgument:
      return diag->fail(Err::Invalid, {"function '", why.function, "': ", why.why, ", in expression '", text, "'"});
    case ParseErr::BadExpression: break;
  }
  return diag->fail(Err::Invalid, {"cannot parse expression '", text, "'"});
}

Result<Bound> Builder::bind(Bytes text, uint8_t alias) {
  Expr e = TRY(parse(text));
  return Bound{e, alias};
}

const Field* Builder::findField(Bytes name) const {
  for (const Field& f : fields)
    if (f.name == name) return &f;
  return nullptr;
}

std::optional<uint32_t> Builder::findMeasure(Bytes name) const {
  for (size_t i = 0; i < measures.len; ++i)
    if (measures[i].name == name) return static_cast<uint32_t>(i);
  if (name.size() > model_name.size() + 1 && name.starts_with(model_name) && name[model_name.size()] == '.') {
    Bytes rest = name.substr(model_name.size() + 1);
    for (size_t i = 0; i < measures.len; ++i)
      if (measures[i].name == rest) return static_cast<uint32_t>(i);
  }
  return std::nullopt;
}

Result<Field> Builder::fieldOf(Bytes name, Bytes key, const Json& def, uint8_t alias) {
  std::optional<Bytes> text = dimExprText(def);
  const bool by_measure = !text && dimMeasure(def);
  if (!text && !by_measure) return diag->fail(Err::Invalid, {"dimension '", key, "' has no expr"});
  Field f;
  f.name = name;
  f.expr = text.value_or(Bytes());
  f.alias = alias;
  f.by_measure = by_measure;
  f.key = key;
  if (def.isObject()) {
    const Json* time = def.get("time");
    f.time = time && time->isBool() && time->b;
    if (const Json* s = def.getString("smallest_time_grain")) f.smallest = s->str();
  }
  return f;
}

Result<void> Builder::addFields(const Json& m, std::optional<Bytes> prefix, uint8_t alias) {
  const Json* dims = m.getObject("dimensions");
  if (!dims) return {};
  for (const JsonMember& d : dims->members()) {
    if (!dimExprText(d.value) && !dimMeasure(d.value))
      return diag->fail(Err::Invalid, {"dimension '", d.key, "' has no expr"});
    Bytes name = prefix ? TRY(concat(arena, {*prefix, ".", d.key})) : d.key;
    TRY(fields.push(arena, TRY(fieldOf(name, d.key, d.value, alias))));
  }
  return {};
}

namespace {

// {"measure": M, ...}: exactly one of offset (with unit), running, or
// trailing (with unit). Sets def.invalid when the form is not one of them.
Result<void> derivedDef(Builder& b, const Json& d, MeasureDef& def) {
  Derived& x = def.derived;
  x.base = d.getString("measure")->str();
  const Json* offset = d.get("offset");
  const Json* running = d.get("running");
  const Json* trailing = d.get("trailing");
  if ((offset != nullptr) + (running != nullptr) + (trailing != nullptr) != 1) {
    def.invalid = "needs exactly one of 'offset', 'running' or 'trailing'";
    return {};
  }
  if (running) {
    x.form = Derived::Form::running;
    if (running->isBool() && running->b) {
      def.tag = MeasureDef::Tag::derived;
      return {};
    }
    std::optional<NamedGrain> g = running->isString() ? namedGrain(running->str()) : std::nullopt;
    if (!g || (g->grain != Grain::month && g->grain != Grain::quarter && g->grain != Grain::year)) {
      def.invalid = "'running' must be true, 'month', 'quarter' or 'year'";
      return {};
    }
    x.resets = true;
    x.unit = g->grain;
    x.fiscal = g->fiscal;
    def.tag = MeasureDef::Tag::derived;
    return {};
  }
  const Json* count = offset ? offset : trailing;
  x.form = offset ? Derived::Form::offset : Derived::Form::trailing;
  if (!count->isInt() || count->i <= 0 || count->i > 100000) {
    def.invalid = offset ? "'offset' must be a positive integer" : "'trailing' must be a positive integer";
    return {};
  }
  x.n = count->i;
  const Json* unit = d.getString("unit");
  std::optional<NamedGrain> g = unit ? namedGrain(unit->str()) : std::nullopt;
  if (!g) {
    def.invalid = TRY(concat(b.arena, {"'unit' must be a grain name (", offset ? "offset" : "trailing", ")"}));
    return {};
  }
  x.unit = g->grain;
  x.fiscal = g->fiscal;
  def.tag = MeasureDef::Tag::derived;
  return {};
}

// {"measure": M, "total": true | [dimension names]}. Sets def.invalid when
// the form is not that.
Result<void> totalDef(Builder& b, const Json& d, MeasureDef& def) {
  if (d.get("offset") || d.get("running") || d.get("trailing")) {
    def.invalid = "'total' cannot be combined with 'offset', 'running' or 'trailing'";
    return {};
  }
  const Json& t = *d.get("total");
  Total& x = def.total;
  x.base = d.getString("measure")->str();
  if (t.isBool() && t.b) {
    def.tag = MeasureDef::Tag::total;
    return {};
  }
  auto items = t.isArray() ? t.items() : std::span<const Json>();
  bool names = t.isArray() && !items.empty() && items.size() <= 64;
  for (const Json& i : items) names &= i.isString();
  if (!names) {
    def.invalid = "'total' must be true or an array of 1 to 64 dimension names";
    return {};
  }
  Bytes* dims = b.arena.make<Bytes>(items.size());
  if (!dims) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < items.size(); ++i) dims[i] = items[i].str();
  x.dims = {dims, items.size()};
  def.tag = MeasureDef::Tag::total;
  return {};
}

// {"measure": M, "rank": "desc" | "asc", "within": [dimension names]}.
Result<void> rankDef(Builder& b, const Json& d, MeasureDef& def) {
  if (d.get("offset") || d.get("running") || d.get("trailing") || d.get("total")) {
    def.invalid = "'rank' cannot be combined with 'offset', 'running', 'trailing' or 'total'";
    return {};
  }
  const Json& r = *d.get("rank");
  Rank& x = def.rank;
  x.base = d.getString("measure")->str();
  if (!r.isString() || (!eqNoCase(r.str(), "desc") && !eqNoCase(r.str(), "asc"))) {
    def.invalid = "'rank' must be 'desc' or 'asc'";
    return {};
  }
  x.desc = eqNoCase(r.str(), "desc");
  if (const Json* w = d.get("within")) {
    auto items = w->isArray() ? w->items() : std::span<const Json>();
    bool names = w->isArray() && items.size() <= 64;
    for (const Json& i : items) names &= i.isString();
    if (!names) {
      def.invalid = "'within' must be an array of up to 64 dimension names";
      return {};
    }
    Bytes* dims = b.arena.make<Bytes>(items.size() + 1);
    if (!dims) return std::unexpected(Err::OutOfMemory);
    for (size_t i = 0; i < items.size(); ++i) dims[i] = items[i].str();
    x.within = {dims, items.size()};
  }
  def.tag = MeasureDef::Tag::rank;
  return {};
}

}  // namespace

Result<MeasureDef> Builder::measureDef(const Json& d, uint8_t at) {
  MeasureDef def;
  if (d.getString("measure") && !d.get("calc") && !d.get("agg") && d.get("rank")) {
    TRY(rankDef(*this, d, def));
    return def;
  }
  if (d.getString("measure") && !d.get("calc") && !d.get("agg") && d.get("total")) {
    TRY(totalDef(*this, d, def));
    return def;
  }
  if (d.getString("measure") && !d.get("calc") && !d.get("agg")) {
    TRY(derivedDef(*this, d, def));
    return def;
  }
  if (const Json* calc = d.getString("calc")) {
    def.calc = TRY(parse(calc->str()));
    // Row filters select rows to aggregate; a calculation has none of its
    // own, and ignoring them would answer a different question silently.
    if (d.get("filters")) {
      def.invalid = "filters apply only to measures with 'agg'";
      return def;
    }
    def.tag = MeasureDef::Tag::calc;
    return def;
  }
  const Json* agg = d.getString("agg");
  def.tag = MeasureDef::Tag::invalid;
  if (!agg) {
    def.invalid = "needs 'agg' or 'calc'";
    return def;
  }
  Bytes a = agg->str();
  static constexpr struct {
    Bytes name;
    AggFn fn;
  } kAggs[] = {{"sum", AggFn::sum},           {"mean", AggFn::mean},       {"avg", AggFn::mean},
               {"min", AggFn::min},           {"max", AggFn::max},         {"count", AggFn::count},
               {"nunique", AggFn::nunique},   {"median", AggFn::median},   {"percentile", AggFn::percentile},
               {"stddev", AggFn::stddev},     {"variance", AggFn::variance}};
  std::optional<AggFn> fn;
  for (const auto& k : kAggs)
    if (k.name == a) {
      fn = k.fn;
      break;
    }
  if (!fn) {
    def.invalid = TRY(concat(arena, {"unsupported aggregate '", a, "'"}));
    return def;
  }
  const Json* expr = d.getString("expr");
  if (!expr && *fn != AggFn::count) {
    def.invalid = TRY(concat(arena, {"'", a, "' needs an expr"}));
    return def;
  }
  double p = 0.5;
  if (*fn == AggFn::percentile) {
    const Json* pj = d.get("p");
    bool ok = pj && (pj->isInt() || pj->kind == JsonKind::float_);
    if (ok) p = pj->isInt() ? static_cast<double>(pj->i) : pj->f;
    if (!ok || !(p >= 0 && p <= 1)) {
      def.invalid = "'percentile' needs 'p', a number from 0 to 1";
      return def;
    }
  }
  const Json* filters = d.get("filters");
  if (filters && !filters->isArray()) {
    def.invalid = "'filters' must be an array";
    return def;
  }
  def.tag = MeasureDef::Tag::agg;
  def.agg.func = *fn;
  def.agg.p = p;
  def.agg.filters_json = filters;
  if (expr) def.agg.arg = TRY(bind(expr->str(), at));
  return def;
}

Result<void> Builder::loadMeasures() {
  const Json* ms = model->getObject("measures");
  if (!ms) return {};
  for (const JsonMember& m : ms->members()) {
    Measure measure;
    measure.name = m.key;
    if (m.value.isObject()) {
      measure.def = TRY(measureDef(m.value));
    } else {
      measure.def.tag = MeasureDef::Tag::invalid;
      measure.def.invalid = "measure must be an object";
    }
    TRY(measures.push(arena, measure));
  }
  return {};
}

namespace {

// The dimension names of a join's left_on or right_on: one string, or an
// array of 1 to kMaxKeyParts strings. Empty with a message set on failure.
Result<std::span<const Bytes>> keyNames(Builder& b, Bytes label, Bytes side, const Json& v) {
  if (v.isString()) {
    Bytes* one = b.arena.make<Bytes>(1);
    if (!one) return std::unexpected(Err::OutOfMemory);
    *one = v.str();
    return std::span<const Bytes>(one, 1);
  }
  auto items = v.items();
  if (items.empty()) return b.diag->fail(Err::Invalid, {"join '", label, "': ", side, " is an empty array"});
  if (items.size() > kMaxKeyParts)
    return b.diag->fail(Err::Invalid, {"join '", label, "': ", side, " has more than 8 names"});
  Bytes* names = b.arena.make<Bytes>(items.size());
  if (!names) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < items.size(); ++i) {
    if (!items[i].isString())
      return b.diag->fail(Err::Invalid, {"join '", label, "': ", side, " entries must be strings"});
    names[i] = items[i].str();
  }
  return std::span<const Bytes>(names, items.size());
}

const Json* keySide(const Json& v, Bytes key) {
  const Json* side = v.get(key);
  return side && (side->isString() || side->isArray()) ? side : nullptr;
}

}  // namespace

Result<void> Builder::readJoin(Bytes label, Bytes name, const Json& v, const Json& parent, Bytes parent_name,
                               uint8_t parent_alias) {
  if (joins.len == kMaxJoins) return diag->fail(Err::Unsupported, {"too many joins"});
  if (!v.isObject()) return diag->fail(Err::Invalid, {"join '", label, "' must be an object"});
  const Json* type = v.getString("type");
  if (type && type->str() != "one" && type->str() != "many")
    return diag->fail(Err::Invalid, {"join '", label, "': type must be 'one' or 'many'"});
  const Json* target = v.getString("model");
  if (!target) return diag->fail(Err::Invalid, {"join '", label, "' has no model"});
  Bytes t = target->str();
  const Json* other = models->getObject(t);
  if (!other) {
    Suggestion hint{t};
    for (const JsonMember& known : models->members()) hint.offer(known.key);
    if (hint.found())
      return diag->fail(Err::UnknownModel, {"join '", label, "': unknown model '", t, "'; did you mean '", hint.best, "'?"});
    return diag->fail(Err::UnknownModel, {"join '", label, "': unknown model '", t, "'"});
  }
  const Json* left_on = keySide(v, "left_on");
  if (!left_on) return diag->fail(Err::Invalid, {"join '", label, "' has no left_on"});
  const Json* right_on = keySide(v, "right_on");
  if (!right_on) return diag->fail(Err::Invalid, {"join '", label, "' has no right_on"});
  std::span<const Bytes> ls = TRY(keyNames(*this, label, "left_on", *left_on));
  std::span<const Bytes> rs = TRY(keyNames(*this, label, "right_on", *right_on));
  if (ls.size() != rs.size())
    return diag->fail(Err::Invalid, {"join '", label, "': left_on and right_on differ in length"});
  const Json* parent_dims = parent.getObject("dimensions");
  const Json* other_dims = other->getObject("dimensions");
  auto alias = static_cast<uint8_t>(joins.len + 1);
  Bound* left = arena.make<Bound>(ls.size());
  Bound* right = arena.make<Bound>(ls.size());
  if (!left || !right) return std::unexpected(Err::OutOfMemory);
  const Json* table = nullptr;
  for (size_t k = 0; k < ls.size(); ++k) {
    const Json* left_def = parent_dims ? parent_dims->get(ls[k]) : nullptr;
    if (!left_def)
      return diag->fail(Err::UnknownField,
                        {"join '", label, "': left_on '", ls[k], "' is not a dimension of '", parent_name, "'"});
    const Json* right_def = other_dims ? other_dims->get(rs[k]) : nullptr;
    if (!right_def)
      return diag->fail(Err::UnknownField, {"join '", label, "': right_on '", rs[k], "' is not a dimension of '", t, "'"});
    if (dimMeasure(*left_def) || dimMeasure(*right_def))
      return diag->fail(Err::Unsupported,
                        {"join '", label, "': a key may not be a dimension defined by a measure"});
    if (k == 0 && !(table = other->getString("table"))) return diag->fail(Err::Invalid, {"model '", t, "' has no table"});
    // An empty text fails to parse: a right-hand dimension without an
    // expression is reported as an unparsable one.
    new (&left[k]) Bound(TRY(bind(dimExprText(*left_def).value_or(Bytes()), parent_alias)));
    new (&right[k]) Bound(TRY(bind(dimExprText(*right_def).value_or(Bytes()), alias)));
  }
  Join join;
  join.table = table->str();
  join.left = {left, ls.size()};
  join.right = {right, ls.size()};
  join.alias = alias;
  join.parent = parent_alias;
  join.many = type && type->str() == "many";
  join.path = label;
  TRY(joins.push(arena, join));
  TRY(nodes.push(arena, JoinNode{name, label, t, other, parent_alias, rs}));
  if (other->get("where")) {
    std::span<const Pred> where = TRY(rowFilters(alias));
    joins[alias - 1].where = where;
  }
  return {};
}

Result<void> Builder::setup() {
  const Json* js = model->getObject("joins");
  bool has_joins = js && !js->members().empty();
  TRY(addFields(*model, has_joins ? std::optional<Bytes>(model_name) : std::nullopt, 0));
  TRY(loadMeasures());
  // The values of a dimension defined by a measure read the joins of their
  // model only as their measure's paths pass them, like any model reached
  // through a join.
  if (!has_joins || depth > 0) return {};
  for (const JsonMember& jm : js->members()) {
    TRY(readJoin(jm.key, jm.key, jm.value, *model, model_name, 0));
    TRY(addFields(*nodes[nodes.len - 1].model, jm.key, static_cast<uint8_t>(joins.len)));
  }
  return {};
}

Result<std::optional<Field>> Builder::resolveField(Bytes name) {
  if (const Field* f = findField(name)) return std::optional<Field>(*f);
  if (std::optional<Field> f = TRY(pathField(name))) return f;
  // A path that reaches no dimension names a column of the table reached,
  // as it does in every other place a path is written.
  std::optional<PathEnd> end = TRY(followPath(0, name));
  if (!end || end->dimension) return std::optional<Field>();
  size_t quotes = 0;
  for (char c : end->rest) quotes += c == '"';
  char* text = arena.make<char>(end->rest.size() + quotes + 2);
  if (!text) return std::unexpected(Err::OutOfMemory);
  size_t k = 0;
  text[k++] = '"';
  for (char c : end->rest) {
    text[k++] = c;
    if (c == '"') text[k++] = '"';
  }
  text[k++] = '"';
  Field f;
  f.name = name;
  f.key = end->rest;
  f.expr = Bytes(text, k);
  f.alias = end->at;
  return std::optional<Field>(f);
}

}  // namespace quendra
