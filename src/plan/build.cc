// Plan building: a query document and the stored manifest become a Plan.
// The checks run in a fixed order so that a query with several faults always
// reports the same one.
#include "base/array.h"
#include "plan/builder.h"
#include "plan/suggest.h"
#include "plan/plan.h"

namespace quendra {

uint32_t Plan::usedAliases() const {
  uint32_t mask = 1;
  for (const Dim& d : dims) mask |= aliasesOf(d.b);
  for (const Pred& p : where) mask |= predAliases(p);
  for (const Pred& p : having) mask |= predAliases(p);
  mask |= filter_aliases;
  return withParents(mask);
}

uint32_t Plan::withParents(uint32_t mask) const {
  // A join through joined models needs its parent, which has a lower alias.
  for (size_t k = joins.size(); k-- > 0;)
    if (mask >> joins[k].alias & 1) mask |= 1u << joins[k].parent;
  return mask;
}

std::optional<uint32_t> Plan::findMeasure(Bytes name) const {
  for (size_t i = 0; i < measures.size(); ++i)
    if (measures[i].name == name) return static_cast<uint32_t>(i);
  return std::nullopt;
}

void markNeeded(const Plan& plan, uint32_t idx, bool* needed) {
  if (needed[idx]) return;
  // Marking before descending makes a measure that reaches itself harmless.
  needed[idx] = true;
  const MeasureDef& d = plan.measures[idx].def;
  if (d.tag == MeasureDef::Tag::rank) markNeeded(plan, d.rank.base_index, needed);
  if (d.tag != MeasureDef::Tag::calc) return;
  for (const Node& n : d.calc.all()) {
    if (n.tag != Tag::ident) continue;
    if (auto j = plan.findMeasure(n.text)) markNeeded(plan, *j, needed);
  }
}

void markPred(const Plan& plan, const Pred& p, bool* needed) {
  switch (p.tag) {
    case Pred::Tag::all:
    case Pred::Tag::any:
      for (const Pred& c : p.children) markPred(plan, c, needed);
      return;
    case Pred::Tag::cmp:
      if (p.cmp.lhs.tag == Operand::Tag::measure) markNeeded(plan, p.cmp.lhs.measure, needed);
      return;
    case Pred::Tag::expr:
    case Pred::Tag::range: return;
  }
}

namespace {

// The grain a time dimension is truncated to: its time_grains entry, else the
// query's time_grain, checked against the field's smallest grain.
// Sets `out` (left empty for no grain).
Result<void> grainFor(const Field& f, const Json& query, Diag& diag, std::optional<Grain>& out, bool& fiscal) {
  if (!f.time) return {};
  const Json* requested = nullptr;
  if (const Json* per = query.getObject("time_grains")) requested = per->getString(f.name);
  if (!requested) requested = query.getString("time_grain");
  if (!requested) return {};
  Bytes g = requested->str();
  std::optional<NamedGrain> named = namedGrain(g);
  if (!named) return diag.fail(Err::Invalid, {"unknown time grain '", g, "'"});
  std::optional<Grain> grain = named->grain;
  fiscal = named->fiscal;
  if (f.smallest) {
    std::optional<Grain> smallest = grainFromName(*f.smallest);
    if (!smallest) return diag.fail(Err::Invalid, {"unknown time grain '", *f.smallest, "'"});
    if (grainRank(*grain) < grainRank(*smallest))
      return diag.fail(Err::Invalid, {"time grain '", grainLabel(*grain, fiscal), "' is finer than the smallest grain '",
                                      grainName(*smallest), "' of '", f.name, "'"});
  }
  out = grain;
  return {};
}

std::span<const Json> arrayOrEmpty(const Json& query, Bytes key) {
  const Json* v = query.get(key);
  return v && v->isArray() ? v->items() : std::span<const Json>();
}

// The output index an order_by name refers to: the last matching dimension
// string, else the last matching measure string.
std::optional<uint32_t> resolveOrder(Bytes name, std::span<const Json> dims, std::span<const Json> measures) {
  std::optional<uint32_t> found;
  for (size_t i = 0; i < dims.size(); ++i)
    if (dims[i].str() == name) found = static_cast<uint32_t>(i);
  if (found) return found;
  for (size_t i = 0; i < measures.size(); ++i)
    if (measures[i].str() == name) found = static_cast<uint32_t>(dims.size() + i);
  return found;
}

// Whether periods of `unit` are whole periods of `grain`: the grain itself,
// or anything coarser, except that weeks straddle months, quarters and
// years, and that the fiscal calendar's quarters and years hold whole
// calendar quarters (and the calendar's years whole fiscal quarters) only
// when it starts a whole number of quarters after January.
bool fits(Grain unit, bool unit_fiscal, Grain grain, bool grain_fiscal, int fiscal_start) {
  if (grain == Grain::week) return unit == Grain::week;
  if (grainRank(unit) < grainRank(grain)) return false;
  if (unit_fiscal == grain_fiscal || grain <= Grain::month) return true;
  return fiscal_start % (grain == Grain::quarter ? 3 : 12) == 0;
}

// The index of the one time dimension that measures derived along time run
// over; every derived measure's units must fit its grain.
Result<uint32_t> checkTimeDim(const Builder& b, std::span<const Dim> dims, Diag& diag, int fiscal_start) {
  const Measure& first = b.measures[b.derived[0]];
  std::optional<uint32_t> t;
  size_t times = 0;
  for (size_t i = 0; i < dims.size(); ++i)
    if (dims[i].time) {
      ++times;
      t = static_cast<uint32_t>(i);
    }
  if (times != 1 || !dims[*t].grain)
    return diag.fail(Err::Invalid, {"measure '", first.name, "' needs one time dimension with a grain in the query"});
  const Grain g = *dims[*t].grain;
  for (uint32_t idx : b.derived) {
    const Measure& m = b.measures[idx];
    const Derived& x = m.def.derived;
    if (x.form == Derived::Form::running && !x.resets) continue;
    if (!fits(x.unit, x.fiscal, g, dims[*t].fiscal, fiscal_start))
      return diag.fail(Err::Invalid, {"measure '", m.name, "': ", x.form == Derived::Form::running ? "running by '" : "unit '",
                                      grainLabel(x.unit, x.fiscal), "' does not fit the grain '", grainLabel(g, dims[*t].fiscal),
                                      "'"});
  }
  return *t;
}

// An unknown dimension's failure, with the closest name the model has.
std::unexpected<Err> unknownDimension(const Builder& b, Diag& diag, Bytes n, Bytes m) {
  Suggestion s{n};
  for (const Field& known : b.fields) s.offer(known.name);
  if (s.found())
    return diag.fail(Err::UnknownField, {"unknown dimension '", n, "' in model '", m, "'; did you mean '", s.best, "'?"});
  return diag.fail(Err::UnknownField, {"unknown dimension '", n, "' in model '", m, "'"});
}

bool sameField(const Field& x, const Field& y) { return x.alias == y.alias && x.key == y.key; }

}  // namespace

Result<Plan> build(Arena& arena, const Json& manifest, const Json& query, Diag& diag, int depth) {
  const Json* models = manifest.getObject("models");
  if (!models) return diag.fail(Err::Invalid, {"manifest needs a 'models' object"});
  if (!query.isObject()) return diag.fail(Err::Invalid, {"query must be an object"});
  const Json* model_json = query.getString("model");
  if (!model_json) return diag.fail(Err::Invalid, {"query needs 'model'"});
  Bytes m = model_json->str();
  const Json* model = models->getObject(m);
  if (!model) {
    Suggestion hint{m};
    for (const JsonMember& known : models->members()) hint.offer(known.key);
    if (hint.found()) return diag.fail(Err::UnknownModel, {"unknown model '", m, "'; did you mean '", hint.best, "'?"});
    return diag.fail(Err::UnknownModel, {"unknown model '", m, "'"});
  }
  const Json* table = model->getString("table");
  if (!table) return diag.fail(Err::Invalid, {"model '", m, "' has no table"});
  if (const Json* having = query.get("having"); having && having->isArray() && !having->items().empty())
    return diag.fail(Err::Unsupported, {"'having' is not supported yet; filter on a measure field instead"});

  const Calendar calendar = TRY(readCalendar(manifest, *model, diag));
  Builder b{arena, &diag, m, model, models, {}, {}, {}};
  b.manifest = &manifest;
  b.depth = depth;
  b.fiscal_start = calendar.fiscal_start;
  b.zone = TRY(readTimeZone(query, *model, diag, &b.zone_json));
  TRY(b.setup());

  std::span<const Json> dim_names = arrayOrEmpty(query, "dimensions");
  std::span<const Json> measure_names = arrayOrEmpty(query, "measures");
  if (dim_names.empty() && measure_names.empty())
    return diag.fail(Err::Invalid, {"query needs at least one dimension or measure"});

  Array<Dim> dims;
  TRY(dims.reserve(arena, dim_names.size()));
  std::optional<Bound> time_dim;
  std::optional<Field> time_field;
  for (const Json& d : dim_names) {
    if (!d.isString()) return diag.fail(Err::Invalid, {"dimensions must be strings"});
    Bytes n = d.str();
    std::optional<Field> f = TRY(b.resolveField(n));
    if (!f) return unknownDimension(b, diag, n, m);
    Dim dim;
    dim.name = n;
    dim.b = TRY(b.fieldBound(*f));
    TRY(grainFor(*f, query, diag, dim.grain, dim.fiscal));
    dim.time = f->time;
    if (f->time && !time_dim) {
      time_dim = dim.b;
      time_field = f;
    }
    // Shown and truncated as the zone's wall-clock time; ranges compare
    // the instants themselves.
    if (f->time && b.zone) dim.b = TRY(localBound(arena, dim.b, *b.zone));
    TRY(dims.push(arena, dim));
  }

  Array<uint32_t> selected;
  TRY(selected.reserve(arena, measure_names.size()));
  for (const Json& s : measure_names) {
    if (!s.isString()) return diag.fail(Err::Invalid, {"measures must be strings"});
    std::optional<uint32_t> idx = TRY(b.measureNamed(s.str()));
    if (!idx) {
      Suggestion hint{s.str()};
      for (const Measure& known : b.measures) hint.offer(known.name);
      offerReachable(hint, *models, *model, m, "measures");
      if (hint.found()) return diag.fail(Err::UnknownField, {"unknown measure '", s.str(), "'; did you mean '", hint.best, "'?"});
      return diag.fail(Err::UnknownField, {"unknown measure '", s.str(), "'"});
    }
    TRY(b.checkMeasure(*idx, 0));
    TRY(selected.push(arena, *idx));
  }

  Array<Pred> where;
  Array<Pred> having;
  // The model's own rows first: those failing its where never exist.
  for (const Pred& p : TRY(b.rowFilters(0))) TRY(where.push(arena, p));
  if (const Json* f = query.getString("filter")) {
    Pred p;
    p.tag = Pred::Tag::expr;
    p.expr = TRY(b.resolveNames(TRY(b.bind(f->str(), 0))));
    TRY(where.push(arena, p));
  }

  // The time dimension a time_range applies to: the one the query names,
  // grouped by or not, else the first one it groups by.
  if (const Json* td = query.get("time_dimension")) {
    if (!td->isString()) return diag.fail(Err::Invalid, {"time_dimension must be the name of a time dimension"});
    Bytes n = td->str();
    std::optional<Field> f = TRY(b.resolveField(n));
    if (!f) return unknownDimension(b, diag, n, m);
    if (!f->time) return diag.fail(Err::Invalid, {"time_dimension '", n, "' is not a time dimension"});
    // Measures derived along time widen the range over the time dimension
    // they run over; a range over another one would not say which rows
    // their earlier periods read.
    if (!b.derived.empty() && query.get("time_range") && time_field && !sameField(*f, *time_field))
      return diag.fail(Err::Unsupported, {"time_dimension '", n, "': measures derived along time need the time_range on "
                                          "the time dimension they run over"});
    time_dim = TRY(b.fieldBound(*f));
  }

  if (const Json* tr = query.get("time_range")) {
    Pred p;
    p.tag = Pred::Tag::range;
    TRY(readTimeRange(arena, diag, query, *tr, p.range, calendar, b.zone));
    if (!time_dim)
      return diag.fail(Err::Invalid, {"time_range requires a time dimension among the query dimensions"});
    p.range.b = *time_dim;
    TRY(where.push(arena, p));
  }

  for (const Json& f : arrayOrEmpty(query, "filters")) {
    Pred p = TRY(b.filter(f));
    PredKind kind;
    kindOf(p, kind);
    if (kind.dim && kind.measure)
      return diag.fail(Err::Unsupported, {"a filter may not mix dimension and measure fields"});
    TRY((kind.measure ? having : where).push(arena, p));
  }

  if (const Json* segs = query.get("segments")) {
    if (!segs->isArray()) return diag.fail(Err::Invalid, {"'segments' must be an array of segment names"});
    for (const Json& s : segs->items()) {
      if (!s.isString()) return diag.fail(Err::Invalid, {"segments must be strings"});
      TRY(b.segment(s.str(), where, having));
    }
  }

  // A total's partition: the dimensions it lists that the query has (a
  // listed dimension the query lacks partitions nothing).
  for (uint32_t t : b.totals) {
    Total& x = b.measures[t].def.total;
    x.mask = 0;
    for (Bytes name : x.dims)
      for (size_t i = 0; i < dim_names.size(); ++i)
        if (dim_names[i].str() == name) x.mask |= uint64_t{1} << i;
  }
  for (uint32_t r : b.ranks) {
    Rank& x = b.measures[r].def.rank;
    x.mask = 0;
    for (Bytes name : x.within)
      for (size_t i = 0; i < dim_names.size() && i < 64; ++i)
        if (dim_names[i].str() == name) x.mask |= uint64_t{1} << i;
  }
  if (!b.ranks.empty() && !b.derived.empty())
    return diag.fail(Err::Unsupported, {"measure '", b.measures[b.ranks[0]].name,
                                        "': ranks cannot be asked with measures derived along time"});
  if (!b.totals.empty()) {
    const Bytes first = b.measures[b.totals[0]].name;
    if (!b.derived.empty())
      return diag.fail(Err::Unsupported, {"measure '", first, "': totals cannot be asked with measures derived along time"});
    if (dim_names.size() > 64) return diag.fail(Err::Unsupported, {"measure '", first, "': totals need at most 64 dimensions"});
  }

  uint32_t series_time = 0;
  if (!b.derived.empty()) {
    for (const Measure& joined : b.measures)
      if (joined.over != 0)
        return diag.fail(Err::Unsupported, {"measures derived along time cannot be asked with measures of joined "
                                            "models, such as '", joined.name, "'"});
    series_time = TRY(checkTimeDim(b, dims.span(), diag, calendar.fiscal_start));
  }

  Array<Order> order;
  for (const Json& o : arrayOrEmpty(query, "order_by")) {
    Bytes name;
    bool desc = false;
    if (o.isString()) {
      name = o.str();
    } else if (o.isArray() && !o.items().empty() && o.items()[0].isString()) {
      name = o.items()[0].str();
      if (o.items().size() > 1 && o.items()[1].isString()) {
        Bytes dir = o.items()[1].str();
        if (eqNoCase(dir, "desc"))
          desc = true;
        else if (!eqNoCase(dir, "asc"))
          return diag.fail(Err::Invalid, {"order direction must be 'asc' or 'desc'"});
      }
    } else {
      return diag.fail(Err::Invalid, {"order_by entries must be a name or [name, direction]"});
    }
    std::optional<uint32_t> idx = resolveOrder(name, dim_names, measure_names);
    if (!idx) {
      Suggestion hint{name};
      for (const Json& d : dim_names) hint.offer(d.str());
      for (const Json& s : measure_names) hint.offer(s.str());
      if (hint.found())
        return diag.fail(Err::UnknownField, {"order_by '", name, "' is not a selected dimension or measure; did you mean '",
                                             hint.best, "'?"});
      return diag.fail(Err::UnknownField, {"order_by '", name, "' is not a selected dimension or measure"});
    }
    TRY(order.push(arena, Order{*idx, desc}));
  }

  std::optional<uint64_t> limit;
  if (const Json* l = query.get("limit")) {
    if (!l->isInt() || l->i < 0) return diag.fail(Err::Invalid, {"limit must be a non-negative integer"});
    limit = static_cast<uint64_t>(l->i);
  }

  Bytes* out_names = arena.make<Bytes>(dim_names.size() + measure_names.size());
  if (!out_names) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < dim_names.size(); ++i) out_names[i] = dim_names[i].str();
  for (size_t i = 0; i < measure_names.size(); ++i) out_names[dim_names.size() + i] = measure_names[i].str();

  Plan plan;
  plan.model = m;
  plan.table = table->str();
  plan.joins = b.joins.span();
  plan.dims = dims.span();
  plan.measures = b.measures.span();
  plan.selected = selected.span();
  plan.out_names = {out_names, dim_names.size() + measure_names.size()};
  plan.where = where.span();
  plan.having = having.span();
  plan.order = order.span();
  plan.limit = limit;
  plan.week_start = calendar.week_start;
  plan.fiscal_start = calendar.fiscal_start;
  plan.zone = b.zone;
  plan.filter_aliases = b.filter_aliases;
  plan.derived = b.derived.span();
  plan.time_dim = series_time;
  plan.totals = b.totals.span();
  plan.ranks = b.ranks.span();
  TRY(planFanOut(b, plan));
  return plan;
}

}  // namespace quendra
