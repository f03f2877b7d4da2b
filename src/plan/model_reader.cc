// The model reader: one model of the manifest becomes fields, joins and
// measures. Everything is checked at query time, in a fixed order, so the
// same manifest error is reported the same way on every query of the model.
#include "base/bytes.h"
#include "expr/parser.h"
#include "plan/builder.h"

namespace quendra {

std::optional<Bytes> dimExprText(const Json& def) {
  if (def.isString()) return def.str();
  if (const Json* e = def.getString("expr")) return e->str();
  return std::nullopt;
}

Result<Expr> Builder::parse(Bytes text) {
  auto e = quendra::parse(arena, text);
  if (e) return *e;
  if (e.error() == ParseErr::OutOfMemory) return std::unexpected(Err::OutOfMemory);
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

Result<void> Builder::addFields(const Json& m, std::optional<Bytes> prefix, uint8_t alias) {
  const Json* dims = m.getObject("dimensions");
  if (!dims) return {};
  for (const JsonMember& d : dims->members()) {
    std::optional<Bytes> text = dimExprText(d.value);
    if (!text) return diag->fail(Err::Invalid, {"dimension '", d.key, "' has no expr"});
    Field f;
    f.expr = *text;
    f.alias = alias;
    if (d.value.isObject()) {
      const Json* time = d.value.get("time");
      f.time = time && time->isBool() && time->b;
      if (const Json* s = d.value.getString("smallest_time_grain")) f.smallest = s->str();
    }
    f.name = prefix ? TRY(concat(arena, {*prefix, ".", d.key})) : d.key;
    TRY(fields.push(arena, f));
  }
  return {};
}

Result<MeasureDef> Builder::measureDef(const Json& d) {
  MeasureDef def;
  if (const Json* calc = d.getString("calc")) {
    def.tag = MeasureDef::Tag::calc;
    def.calc = TRY(parse(calc->str()));
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
  } kAggs[] = {{"sum", AggFn::sum}, {"mean", AggFn::mean}, {"avg", AggFn::mean}, {"min", AggFn::min},
               {"max", AggFn::max}, {"count", AggFn::count}, {"nunique", AggFn::nunique}};
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
  def.tag = MeasureDef::Tag::agg;
  def.agg.func = *fn;
  if (expr) def.agg.arg = TRY(bind(expr->str(), 0));
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

Result<void> Builder::setup() {
  const Json* js = model->getObject("joins");
  bool has_joins = js && !js->members().empty();
  TRY(addFields(*model, has_joins ? std::optional<Bytes>(model_name) : std::nullopt, 0));
  TRY(loadMeasures());
  if (!has_joins) return {};
  const Json* base_dims = model->getObject("dimensions");
  size_t i = 0;
  for (const JsonMember& jm : js->members()) {
    Bytes j = jm.key;
    const Json& v = jm.value;
    if (i == kMaxJoins) return diag->fail(Err::Unsupported, {"too many joins"});
    if (!v.isObject()) return diag->fail(Err::Invalid, {"join '", j, "' must be an object"});
    const Json* type = v.getString("type");
    if (type && type->str() != "one")
      return diag->fail(Err::Unsupported, {"join '", j, "': only type 'one' is supported"});
    const Json* target = v.getString("model");
    if (!target) return diag->fail(Err::Invalid, {"join '", j, "' has no model"});
    Bytes t = target->str();
    const Json* other = models->getObject(t);
    if (!other) return diag->fail(Err::UnknownModel, {"join '", j, "': unknown model '", t, "'"});
    const Json* left_on = v.getString("left_on");
    if (!left_on) return diag->fail(Err::Invalid, {"join '", j, "' has no left_on"});
    const Json* right_on = v.getString("right_on");
    if (!right_on) return diag->fail(Err::Invalid, {"join '", j, "' has no right_on"});
    Bytes l = left_on->str();
    Bytes r = right_on->str();
    const Json* left_def = base_dims ? base_dims->get(l) : nullptr;
    if (!left_def)
      return diag->fail(Err::UnknownField,
                        {"join '", j, "': left_on '", l, "' is not a dimension of '", model_name, "'"});
    const Json* other_dims = other->getObject("dimensions");
    const Json* right_def = other_dims ? other_dims->get(r) : nullptr;
    if (!right_def)
      return diag->fail(Err::UnknownField, {"join '", j, "': right_on '", r, "' is not a dimension of '", t, "'"});
    const Json* table = other->getString("table");
    if (!table) return diag->fail(Err::Invalid, {"model '", t, "' has no table"});
    auto alias = static_cast<uint8_t>(i + 1);
    Join join;
    join.table = table->str();
    join.left = TRY(bind(dimExprText(*left_def).value_or(Bytes()), 0));
    join.right = TRY(bind(dimExprText(*right_def).value_or(Bytes()), alias));
    join.alias = alias;
    TRY(joins.push(arena, join));
    TRY(addFields(*other, j, alias));
    ++i;
  }
  return {};
}

}  // namespace quendra
