// Statements for queries that ask measures of joined models. Each model's
// measures are computed in a subquery of their own over the query's rows,
// grouped by the query's dimensions: the queried model's in q0, and each
// joined model's in q<alias>, after its rows are made distinct by the
// join's key (so that a row of it shared by many of the query's rows counts
// once per group). The outer SELECT joins them on the dimensions, nulls
// equal, and applies having, order and limit.
#include <cstdio>

#include "sql/writer.h"

namespace quendra {
namespace {

Result<void> groupBy(Text& out, size_t n) {
  TRY(out.put("\nGROUP BY "));
  for (size_t i = 0; i < n; ++i) {
    if (i) TRY(out.put(", "));
    TRY(out.putUint(i + 1));
  }
  return {};
}

// ",\n       " before every select item but the first.
Result<void> item(Text& out, bool& first) {
  if (!first) TRY(out.put(",\n       "));
  first = false;
  return {};
}

// The query's dimensions in `dims` (a mask; all of them by default) as
// select items "d<i>".
Result<void> dimItems(const Writer& w, Text& out, bool& first, uint64_t dims = ~uint64_t{0}) {
  for (uint32_t i = 0; i < w.plan.dims.size(); ++i) {
    if (i < 64 && !(dims >> i & 1)) continue;
    TRY(item(out, first));
    TRY(writeDim(w, out, w.plan.dims[i]));
    TRY(out.put(" AS "));
    TRY(columnName(w, out, "d", i));
  }
  return {};
}

// The joins a subquery reads: all that the query uses, unless a many-join
// is among them; then those of the dimensions and row filters, and those
// on the way to the model whose measures it aggregates (`over`) and that
// they read, so that two many-joins never multiply each other's rows.
uint32_t joinsFor(const Plan& plan, const bool* needed, uint8_t over) {
  if (!plan.fanned) return plan.usedAliases();
  uint32_t mask = 1u << over;
  for (const Dim& d : plan.dims) mask |= aliasesOf(d.b);
  for (const Pred& p : plan.where) mask |= predAliases(p);
  for (size_t i = 0; i < plan.measures.size(); ++i) {
    const Measure& m = plan.measures[i];
    if (!needed[i] || m.over != over || m.def.tag != MeasureDef::Tag::agg) continue;
    if (m.def.agg.arg) mask |= aliasesOf(*m.def.agg.arg);
    for (const Pred& p : m.def.agg.filters) mask |= predAliases(p);
  }
  return plan.withParents(mask);
}

// The query's rows: FROM, the joins of `mask` and WHERE, with the match of
// `also` AND-ed in.
Result<void> rows(const Writer& w, Text& out, const Join* also, uint32_t mask) {
  const Plan& plan = w.plan;
  TRY(writeFromJoins(w, out, mask));
  if (plan.where.empty() && !also) return {};
  TRY(out.put("\nWHERE "));
  TRY(writePreds(w, out, plan.where, " AND "));
  if (!also) return {};
  // Rows with a match only: a missing row of the joined model is no row
  // of it to count.
  for (size_t k = 0; k < also->right.size(); ++k) {
    if (k || !plan.where.empty()) TRY(out.put(" AND "));
    TRY(out.put('('));
    TRY(writeBound(w, out, also->right[k]));
    TRY(out.put(" IS NOT NULL)"));
  }
  return {};
}

bool aggOver(const Plan& plan, const bool* needed, uint32_t i, uint8_t over) {
  const Measure& m = plan.measures[i];
  return needed[i] && m.over == over && m.def.tag == MeasureDef::Tag::agg;
}

// q0: the dimensions and the queried model's own aggregates.
Result<void> ownSubquery(const Writer& w, Text& out, const bool* needed) {
  const Plan& plan = w.plan;
  TRY(out.put("(SELECT "));
  bool first = true;
  TRY(dimItems(w, out, first));
  for (uint32_t i = 0; i < plan.measures.size(); ++i) {
    if (!aggOver(plan, needed, i, 0)) continue;
    TRY(item(out, first));
    TRY(writeAgg(w, out, plan.measures[i].def.agg));
    TRY(out.put(" AS "));
    TRY(columnName(w, out, "m", i));
  }
  // One column at least; without dimensions, one row whatever is selected.
  if (first) {
    TRY(out.put("COUNT(*) AS "));
    TRY(columnName(w, out, "n", 0));
  }
  TRY(rows(w, out, nullptr, joinsFor(plan, needed, 0)));
  if (!plan.dims.empty())
    TRY(groupBy(out, plan.dims.size()));
  else
    TRY(out.put("\nGROUP BY GROUPING SETS (())"));
  return out.put(") AS q0");
}

// The subquery `name` (q<over> by default): the measures of the model at
// alias `over` over its distinct rows among the query's rows of each
// group, told apart by `key` (the join's right key, or the model's primary
// key), grouped by the dimensions in `dims` (a mask: a total's partition;
// all of them by default). For the queried model itself (over 0, its rows
// repeated by many-joins) every group is kept, with or without rows of the
// model.
Result<void> distinctSubquery(const Writer& w, Text& out, const bool* needed, uint8_t over,
                              std::span<const Bound> key, uint64_t dims = ~uint64_t{0}, Bytes name = {}) {
  const Plan& plan = w.plan;
  uint32_t nd = 0;
  TRY(out.put("(SELECT "));
  bool first = true;
  for (uint32_t i = 0; i < plan.dims.size(); ++i) {
    if (i < 64 && !(dims >> i & 1)) continue;
    TRY(item(out, first));
    TRY(column(w, out, "r", "d", i));
    ++nd;
  }
  for (uint32_t i = 0; i < plan.measures.size(); ++i) {
    if (!aggOver(plan, needed, i, over)) continue;
    const Agg& a = plan.measures[i].def.agg;
    TRY(item(out, first));
    TRY(writeAggHead(w, out, a));
    if (a.arg || !a.filters.empty())
      TRY(column(w, out, "r", "x", i));
    else
      TRY(out.put('*'));
    TRY(writeAggTail(w, out, a));
    TRY(out.put(" AS "));
    TRY(columnName(w, out, "m", i));
  }
  TRY(out.put("\nFROM (SELECT DISTINCT "));
  first = true;
  TRY(dimItems(w, out, first, dims));
  for (uint32_t k = 0; k < key.size(); ++k) {
    TRY(item(out, first));
    TRY(writeBound(w, out, key[k]));
    TRY(out.put(" AS "));
    TRY(columnName(w, out, "k", k));
  }
  for (uint32_t i = 0; i < plan.measures.size(); ++i) {
    if (!aggOver(plan, needed, i, over)) continue;
    const Agg& a = plan.measures[i].def.agg;
    if (!a.arg && a.filters.empty()) continue;
    TRY(item(out, first));
    TRY(writeAggArg(w, out, a));
    TRY(out.put(" AS "));
    TRY(columnName(w, out, "x", i));
  }
  TRY(rows(w, out, over ? &plan.joins[over - 1] : nullptr, joinsFor(plan, needed, over)));
  TRY(out.put(") AS r"));
  if (nd)
    TRY(groupBy(out, nd));
  else if (!over)
    TRY(out.put("\nGROUP BY GROUPING SETS (())"));
  if (!name.empty()) {
    TRY(out.put(") AS "));
    return out.put(name);
  }
  TRY(out.put(") AS q"));
  return out.putUint(over);
}

// t<index>: total `index`'s base over the query's rows, grouped by the
// dimensions of its partition (none: one row over all of them), over the
// rows the query's own subquery for the base's model reads. A base that
// the query aggregates over the distinct rows of its model (a joined
// model's, or the queried model's once many-joins repeat its rows) is
// aggregated so here too, at the partition's grain.
Result<void> totalSubquery(const Writer& w, Text& out, uint32_t index) {
  const Plan& plan = w.plan;
  const Total& x = plan.measures[index].def.total;
  char table[16];
  std::snprintf(table, sizeof table, "t%u", index);
  const uint8_t over = plan.measures[x.base_index].over;
  bool* only = out.arena->make<bool>(plan.measures.size());
  if (!only) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < plan.measures.size(); ++i) only[i] = i == x.base_index;
  if (over || plan.fan) {
    const Join* j = over ? &plan.joins[over - 1] : nullptr;
    return distinctSubquery(w, out, only, over, !j ? plan.base_key : j->many ? j->key : j->right, x.mask, table);
  }
  TRY(out.put("(SELECT "));
  bool first = true;
  uint32_t grouped = 0;
  for (uint32_t i = 0; i < plan.dims.size(); ++i) {
    if (!(x.mask >> i & 1)) continue;
    TRY(item(out, first));
    TRY(writeDim(w, out, plan.dims[i]));
    TRY(out.put(" AS "));
    TRY(columnName(w, out, "d", i));
    ++grouped;
  }
  TRY(item(out, first));
  TRY(writeAgg(w, out, plan.measures[x.base_index].def.agg));
  TRY(out.put(" AS "));
  TRY(columnName(w, out, "m", x.base_index));
  TRY(rows(w, out, nullptr, joinsFor(plan, only, 0)));
  if (grouped)
    TRY(groupBy(out, grouped));
  else
    TRY(out.put("\nGROUP BY GROUPING SETS (())"));
  TRY(out.put(") AS "));
  return out.put(table);
}

}  // namespace

Result<void> writeAcrossPlan(const Writer& w, Text& out) {
  const Plan& plan = w.plan;
  const size_t nm = plan.measures.size();
  bool* needed = out.arena->make<bool>(nm + 1);
  if (!needed) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < nm; ++i) needed[i] = false;
  for (uint32_t i : plan.selected) markNeeded(plan, i, needed);
  for (const Pred& p : plan.having) markPred(plan, p, needed);

  const MeasureRefs refs{"", false, true};
  const Writer outer{plan, w.dialect, &refs, w.extra};
  // Ranks are windows, which a filter cannot hold: filtered on, the
  // statement is wrapped, every output as "c<k>" and every needed measure
  // as "x<i>" of w, and the filters read those.
  bool wrap = false;
  for (uint32_t r : plan.ranks) wrap |= needed[r] && !plan.having.empty();
  TRY(out.put("SELECT "));
  for (uint32_t i = 0; wrap && i < plan.outCount(); ++i) {
    if (i) TRY(out.put(",\n       "));
    TRY(column(w, out, "w", "c", i));
    TRY(out.put(" AS "));
    TRY(quote(w.dialect, out, plan.out_names[i]));
  }
  if (wrap) TRY(out.put("\nFROM (SELECT "));
  for (uint32_t i = 0; i < plan.outCount(); ++i) {
    if (i) TRY(out.put(",\n       "));
    if (i < plan.dims.size())
      TRY(column(w, out, "q0", "d", i));
    else
      TRY(writeMeasure(outer, out, plan.selected[i - plan.dims.size()], 0));
    TRY(out.put(" AS "));
    if (wrap)
      TRY(columnName(w, out, "c", i));
    else
      TRY(quote(w.dialect, out, plan.out_names[i]));
  }
  for (uint32_t i = 0; wrap && i < nm; ++i) {
    if (!needed[i]) continue;
    TRY(out.put(",\n       "));
    TRY(writeMeasure(outer, out, i, 0));
    TRY(out.put(" AS "));
    TRY(columnName(w, out, "x", i));
  }
  TRY(out.put("\nFROM "));
  bool own = false;
  for (uint32_t i = 0; i < nm; ++i) own |= aggOver(plan, needed, i, 0);
  if (plan.fan && own)
    TRY(distinctSubquery(w, out, needed, 0, plan.base_key));
  else
    TRY(ownSubquery(w, out, needed));
  for (const Join& j : plan.joins) {
    bool reads = false;
    for (size_t i = 0; i < nm; ++i) reads |= needed[i] && plan.measures[i].over == j.alias;
    if (!reads) continue;
    TRY(out.put(plan.dims.empty() ? Bytes("\nCROSS JOIN ") : Bytes("\nLEFT JOIN ")));
    TRY(distinctSubquery(w, out, needed, j.alias, j.many ? j.key : j.right));
    if (plan.dims.empty()) continue;
    char table[8];
    std::snprintf(table, sizeof table, "q%u", j.alias);
    TRY(out.put(" ON "));
    for (uint32_t i = 0; i < plan.dims.size(); ++i) {
      if (i) TRY(out.put(" AND "));
      TRY(sameDim(w, out, "q0", table, i));
    }
  }
  for (uint32_t t : plan.totals) {
    if (!needed[t]) continue;
    const uint64_t mask = plan.measures[t].def.total.mask;
    TRY(out.put(mask ? Bytes("\nLEFT JOIN ") : Bytes("\nCROSS JOIN ")));
    TRY(totalSubquery(w, out, t));
    if (!mask) continue;
    char table[16];
    std::snprintf(table, sizeof table, "t%u", t);
    TRY(out.put(" ON "));
    bool and_ = false;
    for (uint32_t i = 0; i < plan.dims.size(); ++i) {
      if (!(mask >> i & 1)) continue;
      if (and_) TRY(out.put(" AND "));
      and_ = true;
      TRY(sameDim(w, out, "q0", table, i));
    }
  }
  if (wrap) {
    TRY(out.put(") AS w\nWHERE "));
    const MeasureRefs every{"w", false, false, true};
    TRY(writePreds(Writer{plan, w.dialect, &every, w.extra}, out, plan.having, " AND "));
  } else if (!plan.having.empty()) {
    TRY(out.put("\nWHERE "));
    TRY(writePreds(outer, out, plan.having, " AND "));
  }
  return writeOrderLimit(w, out);
}

}  // namespace quendra
