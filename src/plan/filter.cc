// Filter planning: structured filter objects become predicates, and every
// measure a query selects or filters on is checked for use.
#include <charconv>
#include <cmath>
#include <cstring>

#include "base/bytes.h"
#include "expr/parser.h"
#include "plan/builder.h"
#include "plan/suggest.h"

namespace quendra {
namespace {

// The operator text with byte-32 spaces trimmed and ASCII letters lowered.
Result<Bytes> normaliseOp(Arena& arena, Bytes op) {
  size_t b = 0, e = op.size();
  while (b < e && op[b] == ' ') ++b;
  while (e > b && op[e - 1] == ' ') --e;
  char* out = arena.make<char>(e - b);
  if (!out) return std::unexpected(Err::OutOfMemory);
  for (size_t i = b; i < e; ++i) {
    char c = op[i];
    out[i - b] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  return Bytes(out, e - b);
}

std::optional<CmpOp> singleValueOp(Bytes op) {
  static constexpr struct {
    Bytes text;
    CmpOp op;
  } kOps[] = {
      {"=", CmpOp::eq},     {"eq", CmpOp::eq},         {"equals", CmpOp::eq},  {"!=", CmpOp::ne},
      {"<>", CmpOp::ne},    {"ne", CmpOp::ne},         {">", CmpOp::gt},       {">=", CmpOp::ge},
      {"<", CmpOp::lt},     {"<=", CmpOp::le},         {"like", CmpOp::like},  {"not like", CmpOp::not_like},
      {"ilike", CmpOp::ilike}, {"not ilike", CmpOp::not_ilike},
  };
  for (const auto& k : kOps)
    if (k.text == op) return k.op;
  return std::nullopt;
}

}  // namespace

Result<Literal> Builder::literal(const Json& v) {
  Literal lit;
  switch (v.kind) {
    case JsonKind::null:
      lit.tag = Literal::Tag::null;
      return lit;
    case JsonKind::boolean:
      lit.tag = Literal::Tag::boolean;
      lit.b = v.b;
      return lit;
    case JsonKind::integer:
      lit.tag = Literal::Tag::int_;
      lit.i = v.i;
      return lit;
    case JsonKind::float_:
      lit.tag = Literal::Tag::float_;
      lit.f = v.f;
      return lit;
    case JsonKind::number_string: {
      // Integers beyond 64 bits become floats; a number no double can hold
      // (1e999) is refused so that no infinity reaches SQL or the executor.
      Bytes t = v.str();
      double d = 0;
      auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), d);
      if (ec != std::errc() || end != t.data() + t.size() || !std::isfinite(d))
        return diag->fail(Err::Invalid, {"bad number '", t, "'"});
      lit.tag = Literal::Tag::float_;
      lit.f = d;
      return lit;
    }
    case JsonKind::string:
      lit.tag = Literal::Tag::string;
      lit.s = v.str();
      if (zone) lit.instant = zonedInstantOf(lit.s, *zone);
      return lit;
    case JsonKind::array:
    case JsonKind::object:
      break;
  }
  return diag->fail(Err::Invalid, {"filter values must be scalars"});
}

Result<std::optional<Bound>> Builder::filterDim(Bytes name) {
  const Field* f = findField(name);
  if (!f) return std::optional<Bound>();
  return std::optional<Bound>(TRY(fieldBound(*f)));
}

namespace {

// Names the measure in the message of a failure of its definition, since
// the query itself does not mention it.
std::unexpected<Err> inMeasure(Builder& b, uint32_t index, Err e) {
  if (e != Err::OutOfMemory && b.diag->err)
    b.diag->set(*b.diag->err, {"measure '", b.measures[index].name, "': ", b.diag->message});
  return std::unexpected(e);
}

// Resolves the paths of aggregate measure `index`'s argument and plans its
// filters on its first use.
Result<void> planMeasureFilters(Builder& b, uint32_t index) {
  if (b.measures[index].def.agg.filters_planned) return {};
  const uint8_t over = b.measures[index].over;
  b.filter_aliases |= 1u << over;
  std::optional<Bound> arg = b.measures[index].def.agg.arg;
  if (arg) {
    auto resolved = b.resolveNames(*arg);
    if (!resolved) return inMeasure(b, index, resolved.error());
    arg = *resolved;
    b.filter_aliases |= aliasesOf(*arg);
  }
  const Json* filters_json = b.measures[index].def.agg.filters_json;
  auto items = filters_json ? filters_json->items() : std::span<const Json>();
  Pred* preds = b.arena.make<Pred>(items.size() + 1);
  if (!preds) return std::unexpected(Err::OutOfMemory);
  // A measure of another model names that model's fields.
  b.filtering = index;
  b.home = over;
  for (size_t i = 0; i < items.size(); ++i) {
    new (&preds[i]) Pred();
    auto p = b.filter(items[i]);
    if (!p) {
      b.filtering.reset();
      b.home = 0;
      return inMeasure(b, index, p.error());
    }
    preds[i] = *p;
    b.filter_aliases |= predAliases(preds[i]);
  }
  b.filtering.reset();
  b.home = 0;
  Agg& agg = b.measures[index].def.agg;
  agg.arg = arg;
  agg.filters = {preds, items.size()};
  agg.filters_planned = true;
  return {};
}

}  // namespace

Result<std::optional<Bound>> Builder::rawColumn(Bytes name) {
  Bytes rest = name;
  if (name.size() > model_name.size() && name.starts_with(model_name) && name[model_name.size()] == '.')
    rest = name.substr(model_name.size() + 1);
  if (rest.empty() || rest.find('.') != Bytes::npos) return std::optional<Bound>();
  // A column whose name is a keyword (not, null) is no expression; it is
  // still the column.
  bool word = true;
  for (char c : rest) word &= c == '_' || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
  if (word) {
    auto e = quendra::parse(arena, rest);
    if (!e && e.error() == ParseErr::BadExpression) {
      Node* n = arena.make<Node>(1);
      if (!n) return std::unexpected(Err::OutOfMemory);
      *n = Node{rest, 0, 0, Tag::ident};
      return std::optional<Bound>(Bound{Expr{n, 1, 0, nullptr}, 0});
    }
  }
  return std::optional<Bound>(TRY(bind(rest, 0)));
}

std::unexpected<Err> Builder::unknownMeasure(Bytes measure, Bytes ref) {
  Suggestion hint{ref};
  for (const Measure& known : measures) hint.offer(known.name);
  offerReachable(hint, *models, *model, model_name, "measures");
  if (hint.found())
    return diag->fail(Err::UnknownField,
                      {"measure '", measure, "' refers to unknown measure '", ref, "'; did you mean '", hint.best, "'?"});
  return diag->fail(Err::UnknownField, {"measure '", measure, "' refers to unknown measure '", ref, "'"});
}

Result<void> Builder::checkMeasure(uint32_t index, uint32_t depth) {
  // A copy: naming a measure through a path may grow the list.
  const Measure m = measures[index];
  if (depth > 16) return diag->fail(Err::Invalid, {"calculated measure '", m.name, "' is too deeply nested or cyclic"});
  switch (m.def.tag) {
    case MeasureDef::Tag::agg:
      return planMeasureFilters(*this, index);
    case MeasureDef::Tag::derived:
      return checkDerived(index, depth);
    case MeasureDef::Tag::total:
      return checkTotal(index, depth);
    case MeasureDef::Tag::rank:
      return checkRank(index, depth);
    case MeasureDef::Tag::invalid: {
      Err kind = m.def.invalid.starts_with("unsupported") ? Err::Unsupported : Err::Invalid;
      return diag->fail(kind, {"measure '", m.name, "': ", m.def.invalid});
    }
    case MeasureDef::Tag::calc:
      break;
  }
  // Measures asked through paths join the list as they are first named.
  if (checked_len < measures.len) {
    int8_t* grown = arena.make<int8_t>(measures.len);
    if (!grown) return std::unexpected(Err::OutOfMemory);
    if (checked_len) std::memcpy(grown, checked_depth, checked_len);
    std::memset(grown + checked_len, -1, measures.len - checked_len);
    checked_depth = grown;
    checked_len = measures.len;
  }
  if (static_cast<int>(depth) <= checked_depth[index]) return {};
  const Expr calc = m.def.calc;
  const Bytes name = m.name;
  for (const Node& n : calc.all()) {
    if (n.tag != Tag::ident) continue;
    std::optional<uint32_t> ref = TRY(measureNamed(n.text));
    if (!ref) return unknownMeasure(name, n.text);
    TRY(checkMeasure(*ref, depth + 1));
  }
  checked_depth[index] = static_cast<int8_t>(depth);
  return {};
}

namespace {

// Whether measure `index` has the tag or reaches a measure that has it
// through calculations (depth-bounded: cycles were refused already).
bool reaches(const Builder& b, uint32_t index, MeasureDef::Tag tag, int depth) {
  const MeasureDef& d = b.measures[index].def;
  if (d.tag == tag) return true;
  if (d.tag != MeasureDef::Tag::calc || depth > 16) return false;
  for (const Node& n : d.calc.all())
    if (n.tag == Tag::ident)
      if (std::optional<uint32_t> r = b.findMeasure(n.text); r && reaches(b, *r, tag, depth + 1)) return true;
  return false;
}

}  // namespace

Result<void> Builder::checkTotal(uint32_t index, uint32_t depth) {
  const Measure m = measures[index];
  // The queried model's aggregate, or a joined model's through its path:
  // either is aggregated again over the partition's rows as it is over a
  // group's, each row of its model counted once.
  std::optional<uint32_t> base = TRY(measureNamed(m.def.total.base));
  if (!base) return unknownMeasure(m.name, m.def.total.base);
  TRY(checkMeasure(*base, depth + 1));
  if (measures[*base].def.tag != MeasureDef::Tag::agg)
    return diag->fail(Err::Unsupported, {"measure '", m.name, "': a total needs an aggregate measure, not '",
                                         m.def.total.base, "'"});
  measures[index].def.total.base_index = *base;
  for (uint32_t t : totals)
    if (t == index) return {};
  return totals.push(arena, index);
}

Result<void> Builder::checkRank(uint32_t index, uint32_t depth) {
  const Measure m = measures[index];
  std::optional<uint32_t> base = TRY(measureNamed(m.def.rank.base));
  if (!base) return unknownMeasure(m.name, m.def.rank.base);
  TRY(checkMeasure(*base, depth + 1));
  if (reaches(*this, *base, MeasureDef::Tag::rank, 0) || reaches(*this, *base, MeasureDef::Tag::derived, 0))
    return diag->fail(Err::Unsupported, {"measure '", m.name, "': '", m.def.rank.base,
                                         "' is a rank or derived along time; ranks rank aggregates, calculations and totals"});
  measures[index].def.rank.base_index = *base;
  for (uint32_t r : ranks)
    if (r == index) return {};
  return ranks.push(arena, index);
}

Result<void> Builder::checkDerived(uint32_t index, uint32_t depth) {
  const Measure& m = measures[index];
  const Derived& x = m.def.derived;
  std::optional<uint32_t> base = findMeasure(x.base);
  if (!base) return unknownMeasure(m.name, x.base);
  TRY(checkMeasure(*base, depth + 1));
  if (reaches(*this, *base, MeasureDef::Tag::derived, 0))
    return diag->fail(Err::Unsupported, {"measure '", m.name, "': '", x.base, "' is derived along time itself"});
  const MeasureDef& b = measures[*base].def;
  if (x.form != Derived::Form::offset) {
    bool windowed = b.tag == MeasureDef::Tag::agg &&
                    (b.agg.func == AggFn::sum || b.agg.func == AggFn::count || b.agg.func == AggFn::min ||
                     b.agg.func == AggFn::max || b.agg.func == AggFn::mean);
    if (!windowed)
      return diag->fail(Err::Unsupported, {"measure '", m.name, "': running and trailing windows need a sum, count, "
                                           "min, max or mean measure, not '", x.base, "'"});
  }
  for (uint32_t d : derived)
    if (d == index) return {};
  return derived.push(arena, index);
}

Result<Pred> Builder::filter(const Json& f) {
  if (!f.isObject()) return diag->fail(Err::Unsupported, {"only object filters are supported"});
  const Json* op_json = f.getString("operator");
  if (!op_json) return diag->fail(Err::Invalid, {"filter needs 'operator'"});
  Bytes written = op_json->str();
  Bytes op = TRY(normaliseOp(arena, written));

  const Json* conditions = f.get("conditions");
  if (conditions && conditions->isArray()) {
    bool is_and = op == "and";
    if (!is_and && op != "or")
      return diag->fail(Err::Invalid, {"compound filter operator must be AND or OR, got '", written, "'"});
    auto items = conditions->items();
    if (items.empty()) return diag->fail(Err::Invalid, {"compound filter has no conditions"});
    Pred* children = arena.make<Pred>(items.size());
    if (!children) return std::unexpected(Err::OutOfMemory);
    for (size_t i = 0; i < items.size(); ++i) {
      new (&children[i]) Pred();
      children[i] = TRY(filter(items[i]));
    }
    Pred p;
    p.tag = is_and ? Pred::Tag::all : Pred::Tag::any;
    p.children = {children, items.size()};
    return p;
  }

  const Json* field = f.getString("field");
  if (!field) return diag->fail(Err::Invalid, {"filter needs 'field'"});
  Bytes name = field->str();
  Operand lhs;
  // A model's where names the model's own fields, at every alias it is read.
  const bool own = home || scoped;
  if (scoped) {
    // Names that are no dimension are columns of the model's table; a path
    // would read the where of the model it reaches, which may read this one.
    const Json& sm = home ? *nodes[home - 1].model : *model;
    if (const Json* js = sm.getObject("joins"))
      for (const JsonMember& jm : js->members())
        if (name.size() > jm.key.size() + 1 && name.starts_with(jm.key) && name[jm.key.size()] == '.')
          return diag->fail(Err::Unsupported, {"'where' may read only the model's own columns"});
  }
  // A joined model's segment names that model's measures before the
  // columns of its table, as a query names the queried model's.
  bool measure_first = false;
  if (home && !scoped && !filtering) {
    const Json& hm = *nodes[home - 1].model;
    const Json* ds = hm.getObject("dimensions");
    const Json* ms = hm.getObject("measures");
    measure_first = ms && ms->get(name) && !(ds && ds->get(name));
  }
  // Names written inside a model (its measures' filters, its segments, its
  // where) are that model's, however the query reaches it: its dimension
  // (`key` or `model.key`), a path from it to a dimension of the model
  // reached, a measure, then a column of the table reached. A query's own
  // filters name the query's fields first.
  const bool inside = own || filtering || segmenting;
  std::optional<Bound> dim;
  if (!measure_first) {
    dim = home || scoped ? TRY(ownDim(home, name)) : TRY(filterDim(name));
    if (!dim && inside && !home) dim = TRY(ownDim(0, name));
  }
  std::optional<PathEnd> path;
  if (!dim && !measure_first) path = TRY(followPath(home, name));
  if (!dim && !own && !findMeasure(name)) {
    dim = TRY(rawColumn(name));
    if (!dim)
      if (std::optional<Field> f = TRY(pathField(name))) dim = TRY(fieldBound(*f));
  }
  if (!dim && own && path && path->dimension) dim = TRY(pathBound(home, name));
  // A measure filter names rows, never another measure, however that
  // measure is reached.
  if (!dim && filtering && TRY(namesMeasure(home, name)))
    return diag->fail(Err::Invalid, {"a measure filter cannot name measure '", name, "'"});
  std::optional<uint32_t> m;
  if (!dim && !filtering && !scoped)
    m = home && !home_path.empty() ? TRY(measureNamed(TRY(concat(arena, {home_path, ".", name}))))
                                   : TRY(measureNamed(name));
  if (!dim && !m && path) dim = TRY(pathBound(home, name));
  if (!dim && !m && own) dim = TRY(columnAt(home, name));
  if (dim) {
    lhs.tag = Operand::Tag::dim;
    lhs.dim = *dim;
  } else if (m) {
    TRY(checkMeasure(*m, 0));
    lhs.tag = Operand::Tag::measure;
    lhs.measure = *m;
  } else {
    Suggestion hint{name};
    for (const Field& known : fields) hint.offer(known.name);
    for (const Measure& known : measures) hint.offer(known.name);
    offerReachable(hint, *models, *model, model_name, "measures");
    if (hint.found()) return diag->fail(Err::UnknownField, {"unknown filter field '", name, "'; did you mean '", hint.best, "'?"});
    return diag->fail(Err::UnknownField, {"unknown filter field '", name, "'"});
  }

  Pred p;
  p.tag = Pred::Tag::cmp;
  p.cmp.lhs = lhs;
  p.cmp.field = name;
  if (op == "is null" || op == "is not null") {
    p.cmp.op = op == "is null" ? CmpOp::is_null : CmpOp::is_not_null;
    return p;
  }
  if (op == "in" || op == "not in") {
    const Json* values = f.get("values");
    if (!values || !values->isArray()) return diag->fail(Err::Invalid, {"operator '", op, "' needs 'values'"});
    auto items = values->items();
    if (items.empty()) return diag->fail(Err::Invalid, {"operator '", op, "' needs at least one value"});
    Literal* lits = arena.make<Literal>(items.size());
    if (!lits) return std::unexpected(Err::OutOfMemory);
    for (size_t i = 0; i < items.size(); ++i) lits[i] = TRY(literal(items[i]));
    p.cmp.op = op == "in" ? CmpOp::in : CmpOp::not_in;
    p.cmp.values = {lits, items.size()};
    return p;
  }
  std::optional<CmpOp> cmp = singleValueOp(op);
  if (!cmp) return diag->fail(Err::Unsupported, {"unsupported filter operator '", written, "'"});
  const Json* value = f.get("value");
  if (!value) return diag->fail(Err::Invalid, {"operator '", op, "' needs 'value'"});
  Literal* lit = arena.make<Literal>(1);
  if (!lit) return std::unexpected(Err::OutOfMemory);
  *lit = TRY(literal(*value));
  p.cmp.op = *cmp;
  p.cmp.values = {lit, 1};
  return p;
}

namespace {

// Puts `what` before the recorded message, so that a failure inside a
// model's definitions names the definition.
std::unexpected<Err> within(Builder& b, Bytes kind, Bytes name, Err e) {
  if (e != Err::OutOfMemory && b.diag->err) b.diag->set(*b.diag->err, {kind, " '", name, "': ", b.diag->message});
  return std::unexpected(e);
}

}  // namespace

Result<std::span<const Pred>> Builder::rowFilters(uint8_t at) {
  const Json& m = at ? *nodes[at - 1].model : *model;
  const Bytes m_name = at ? nodes[at - 1].model_name : model_name;
  const Json* w = m.get("where");
  if (!w) return std::span<const Pred>();
  if (!w->isArray()) return diag->fail(Err::Invalid, {"model '", m_name, "': 'where' must be an array of filters"});
  // Read while another model's where is planned: that where passed a join.
  if (scoped) return diag->fail(Err::Unsupported, {"'where' may read only the model's own columns"});
  auto items = w->items();
  Pred* preds = arena.make<Pred>(items.size() + 1);
  if (!preds) return std::unexpected(Err::OutOfMemory);
  // A join may be read while a measure's filters or a segment are planned:
  // their state comes back however this ends.
  struct Restore {
    Builder& b;
    uint8_t home;
    Bytes path;
    std::optional<uint32_t> filtering;
    bool scoped;
    ~Restore() {
      b.home = home;
      b.home_path = path;
      b.filtering = filtering;
      b.scoped = scoped;
    }
  } restore{*this, home, home_path, filtering, scoped};
  home = at;
  scoped = true;
  home_path = {};
  filtering.reset();
  for (size_t i = 0; i < items.size(); ++i) {
    new (&preds[i]) Pred();
    auto p = filter(items[i]);
    if (!p) return within(*this, "model", m_name, p.error());
    PredKind kind;
    kindOf(*p, kind);
    if (kind.measure)
      return diag->fail(Err::Invalid, {"model '", m_name, "': 'where' filters rows and may not name a measure"});
    // Its rows exist or not before any join from them is made.
    if (predAliases(*p) != 1u << at)
      return diag->fail(Err::Unsupported, {"model '", m_name, "': 'where' may read only the model's own columns"});
    preds[i] = *p;
  }
  return std::span<const Pred>(preds, items.size());
}

Result<void> Builder::segment(Bytes name, Array<Pred>& where, Array<Pred>& having) {
  uint8_t at = 0;
  const Json* m = model;
  Bytes rest = name;
  const Json* def = nullptr;
  for (;;) {
    const Json* segs = m->getObject("segments");
    if ((def = segs ? segs->get(rest) : nullptr)) break;
    const uint8_t next = TRY(hop(at, *m, rest));
    if (!next) {
      Suggestion hint{name};
      offerReachable(hint, *models, *model, {}, "segments");
      if (hint.found()) return diag->fail(Err::UnknownField, {"unknown segment '", name, "'; did you mean '", hint.best, "'?"});
      return diag->fail(Err::UnknownField, {"unknown segment '", name, "'"});
    }
    rest = rest.substr(nodes[next - 1].name.size() + 1);
    at = next;
    m = nodes[at - 1].model;
  }
  if (!def->isArray()) return diag->fail(Err::Invalid, {"segment '", name, "' must be an array of filters"});
  // Its names are the model's at `at`, until this ends.
  struct Home {
    Builder& b;
    ~Home() {
      b.home = 0;
      b.home_path = {};
      b.segmenting = false;
    }
  } reset{*this};
  home = at;
  home_path = at ? nodes[at - 1].path : Bytes();
  segmenting = true;
  for (const Json& f : def->items()) {
    auto p = filter(f);
    if (!p) return within(*this, "segment", name, p.error());
    PredKind kind;
    kindOf(*p, kind);
    if (kind.dim && kind.measure)
      return diag->fail(Err::Unsupported, {"segment '", name, "': a filter may not mix dimension and measure fields"});
    TRY((kind.measure ? having : where).push(arena, *p));
  }
  return {};
}

void kindOf(const Pred& p, PredKind& kind) {
  switch (p.tag) {
    case Pred::Tag::all:
    case Pred::Tag::any:
      for (const Pred& c : p.children) kindOf(c, kind);
      return;
    case Pred::Tag::cmp:
      if (p.cmp.lhs.tag == Operand::Tag::measure)
        kind.measure = true;
      else
        kind.dim = true;
      return;
    case Pred::Tag::expr:
    case Pred::Tag::range:
      kind.dim = true;
      return;
  }
}

uint32_t predAliases(const Pred& p) {
  switch (p.tag) {
    case Pred::Tag::all:
    case Pred::Tag::any: {
      uint32_t mask = 0;
      for (const Pred& c : p.children) mask |= predAliases(c);
      return mask;
    }
    case Pred::Tag::cmp:
      return p.cmp.lhs.tag == Operand::Tag::measure ? 1u : aliasesOf(p.cmp.lhs.dim);
    case Pred::Tag::expr:
      return aliasesOf(p.expr);
    case Pred::Tag::range:
      return aliasesOf(p.range.b);
  }
  return 1;
}

}  // namespace quendra
