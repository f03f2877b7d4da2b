// Queries across many-joins: which joins multiply the query's rows, which
// models' rows must then be told apart by their primary keys, and what
// cannot be asked that way.
#include "base/bytes.h"
#include "plan/builder.h"
#include "plan/plan.h"

namespace quendra {

uint32_t Plan::manyAbove(uint8_t k) const {
  uint32_t mask = 0;
  while (k != 0) {
    const Join& j = joins[k - 1];
    if (j.many) mask |= 1u << k;
    k = j.parent;
  }
  return mask;
}

namespace {

// The lowest alias of a non-empty mask.
uint8_t first(uint32_t mask) { return static_cast<uint8_t>(__builtin_ctz(mask)); }

uint32_t aggAliases(const Agg& a) {
  uint32_t mask = a.arg ? aliasesOf(*a.arg) : 0;
  for (const Pred& p : a.filters) mask |= predAliases(p);
  return mask;
}

// The primary key of the model at alias `at` (`m`, called `name`), each
// name read as that model's fields are; `across` names the join in the
// message when it has none.
Result<std::span<const Bound>> primaryKey(Builder& b, uint8_t at, const Json& m, Bytes name, Bytes across) {
  const Json* pk = m.get("primary_key");
  if (!pk) return b.diag->fail(Err::Invalid, {"model '", name, "' needs a primary_key to be aggregated across the join '", across, "'"});
  std::span<const Json> items = pk->isArray() ? pk->items() : std::span<const Json>(pk, 1);
  if (items.empty() || items.size() > kMaxKeyParts)
    return b.diag->fail(Err::Invalid, {"model '", name, "': primary_key must be a name or an array of 1 to 8 names"});
  Bound* key = b.arena.make<Bound>(items.size());
  if (!key) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < items.size(); ++i) {
    if (!items[i].isString())
      return b.diag->fail(Err::Invalid, {"model '", name, "': primary_key must be a name or an array of 1 to 8 names"});
    std::optional<Bound> f = TRY(b.fieldAt(at, items[i].str()));
    if (!f)
      return b.diag->fail(Err::UnknownField, {"model '", name, "': primary_key '", items[i].str(), "' is no field"});
    new (&key[i]) Bound(*f);
  }
  return std::span<const Bound>(key, items.size());
}

}  // namespace

Result<void> planFanOut(Builder& b, Plan& plan) {
  uint32_t frame = 1;
  for (const Dim& d : plan.dims) frame |= aliasesOf(d.b);
  for (const Pred& p : plan.where) frame |= predAliases(p);
  for (uint32_t a = frame; a; a &= a - 1) plan.fan |= plan.manyAbove(first(a));
  const size_t nm = plan.measures.size();
  bool* needed = b.arena.make<bool>(nm + 1);
  if (!needed) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < nm; ++i) needed[i] = false;
  for (uint32_t i : plan.selected) markNeeded(plan, i, needed);
  for (const Pred& p : plan.having) markPred(plan, p, needed);
  // A total's base is aggregated too, over the partitions' rows: its model
  // is told apart by its key as a group's measure's is.
  for (uint32_t t : plan.totals)
    if (needed[t]) needed[plan.measures[t].def.total.base_index] = true;

  uint32_t over = 0;  // models whose measures are needed
  for (size_t i = 0; i < nm; ++i) {
    const Measure& m = plan.measures[i];
    if (!needed[i] || m.def.tag != MeasureDef::Tag::agg) continue;
    over |= 1u << m.over;
    // A row of the measure's model may not stand for many rows of a model
    // below it: its value would have to be one of them.
    const uint32_t below = [&] {
      uint32_t mask = 0;
      for (uint32_t a = aggAliases(m.def.agg); a; a &= a - 1) mask |= plan.manyAbove(first(a));
      return mask & ~plan.manyAbove(m.over);
    }();
    if (below)
      return b.diag->fail(Err::Invalid, {"measure '", m.name, "' reads through the join '", plan.joins[first(below) - 1].path,
                                         "', which can match many rows of one of its rows; ask for a measure of the "
                                         "joined model instead"});
  }
  uint32_t fanned = plan.fan;
  for (uint32_t a = over; a; a &= a - 1) fanned |= plan.manyAbove(first(a));
  plan.fanned = fanned != 0;
  if (!plan.fanned) return {};
  if (!plan.derived.empty())
    return b.diag->fail(Err::Unsupported, {"measures derived along time cannot be asked across the many-join '",
                                           plan.joins[first(fanned) - 1].path, "'"});
  // The queried model's rows are told apart once the query's rows repeat
  // them; a model reached by a many-join always is.
  if (plan.fan && (over & 1))
    plan.base_key = TRY(primaryKey(b, 0, *b.model, b.model_name, plan.joins[first(plan.fan) - 1].path));
  plan.joins = b.joins.span();
  // In the order the query first names their measures.
  for (size_t i = 0; i < nm; ++i) {
    const uint8_t k = plan.measures[i].over;
    if (!needed[i] || !k || !b.joins[k - 1].many || !b.joins[k - 1].key.empty() ||
        plan.measures[i].def.tag != MeasureDef::Tag::agg)
      continue;
    // A key that is a path may read joins not read before: the list may grow.
    std::span<const Bound> key = TRY(primaryKey(b, k, *b.nodes[k - 1].model, b.nodes[k - 1].model_name, b.joins[k - 1].path));
    b.joins[k - 1].key = key;
    plan.joins = b.joins.span();
  }
  return {};
}

}  // namespace quendra
