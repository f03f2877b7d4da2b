// Statements for measures derived along time. The query is grouped once in
// a common table expression (q) over the rows that the derived measures
// read; a second one (w) adds each derived measure over those groups, by a
// self-join for offsets, a window for running totals and a range self-join
// for trailing windows; the outer SELECT keeps the groups of the query's
// own rows and applies having, order and limit.
#include <cstdio>

#include "sql/writer.h"
#include "time/calendar.h"

namespace quendra {
namespace {

Result<void> interval(Dialect d, Text& out, int64_t n, Grain unit) {
  static constexpr Bytes kUnits[] = {"SECOND", "MINUTE", "HOUR", "DAY", "DAY", "MONTH", "MONTH", "YEAR"};
  int64_t k = unit == Grain::week ? 7 * n : unit == Grain::quarter ? 3 * n : n;
  return writeInterval(d, out, k, kUnits[grainRank(unit)]);
}

// " AND " + sameDim for every dimension but the time one.
Result<void> sameSeries(const Writer& w, Text& out, Bytes a, Bytes b) {
  for (uint32_t i = 0; i < w.plan.dims.size(); ++i) {
    if (i == w.plan.time_dim) continue;
    TRY(out.put(" AND "));
    TRY(sameDim(w, out, a, b, i));
  }
  return {};
}

// Marks what the query itself reads: measures up to, not into, derived ones.
void markMain(const Plan& plan, uint32_t idx, bool* main) {
  if (main[idx]) return;
  main[idx] = true;
  const MeasureDef& d = plan.measures[idx].def;
  if (d.tag != MeasureDef::Tag::calc) return;
  for (const Node& n : d.calc.all())
    if (n.tag == Tag::ident)
      if (auto j = plan.findMeasure(n.text)) markMain(plan, *j, main);
}

// Marks every measure idx reads, through calculations.
void markAll(const Plan& plan, uint32_t idx, bool* seen) {
  if (seen[idx]) return;
  seen[idx] = true;
  const MeasureDef& d = plan.measures[idx].def;
  if (d.tag != MeasureDef::Tag::calc) return;
  for (const Node& n : d.calc.all())
    if (n.tag == Tag::ident)
      if (auto j = plan.findMeasure(n.text)) markAll(plan, *j, seen);
}

void markPredMain(const Plan& plan, const Pred& p, bool* main) {
  for (const Pred& c : p.children) markPredMain(plan, c, main);
  if (p.tag == Pred::Tag::cmp && p.cmp.lhs.tag == Operand::Tag::measure) markMain(plan, p.cmp.lhs.measure, main);
}

const Pred* rangeOf(const Plan& plan) {
  for (const Pred& p : plan.where)
    if (p.tag == Pred::Tag::range) return &p;
  return nullptr;
}

// The range with its start moved back to the earliest row a derived measure
// reads (no start at all for a running total from the first row); the end
// stays.
Result<void> writeWidenedAsText(const Writer& w, Text& out, const Range& r);

// With a zone, against a timestamp: the same bounds as instants, the
// earliest one worked out here as the executor does.
Result<void> writeWidened(const Writer& w, Text& out, const Range& r) {
  std::optional<int64_t> start = parseTimestamp(r.start);
  return writeRangeByType(w, out, r, start ? zonedRange(w.plan, r, widenedStart(w.plan, *start)) : std::nullopt,
                          [&] { return writeWidenedAsText(w, out, r); });
}

Result<void> writeWidenedAsText(const Writer& w, Text& out, const Range& r) {
  const Plan& plan = w.plan;
  const Grain g = *plan.dims[plan.time_dim].grain;
  bool unbounded = false;
  for (uint32_t idx : plan.derived) {
    const Derived& x = plan.measures[idx].def.derived;
    unbounded |= x.form == Derived::Form::running && !x.resets;
  }
  TRY(out.put('('));
  if (!unbounded) {
    TRY(out.put('('));
    bool first = true;
    for (uint32_t idx : plan.derived) {
      const Derived& x = plan.measures[idx].def.derived;
      if (!first) TRY(out.put(" OR "));
      first = false;
      TRY(out.put('('));
      TRY(writeBound(w, out, r.b));
      TRY(out.put(" >= "));
      const bool resets = x.form == Derived::Form::running;
      if (!resets) TRY(out.put('('));
      TRY(out.put("CAST("));
      TRY(writeTrunc(w, out, resets ? x.unit : g, resets ? x.fiscal : plan.dims[plan.time_dim].fiscal,
                     [&]() -> Result<void> {
        TRY(out.put("CAST("));
        TRY(writeStringLiteral(w.dialect, out, r.start));
        return out.put(" AS TIMESTAMP)");
      }));
      TRY(out.put(" AS TIMESTAMP)"));
      if (!resets) {
        TRY(out.put(" - "));
        TRY(interval(w.dialect, out, x.n, x.unit));
        TRY(out.put(')'));
      }
      TRY(out.put(')'));
    }
    TRY(out.put(") AND "));
  }
  TRY(writeBound(w, out, r.b));
  TRY(out.put(r.end_is_date ? Bytes(" < CAST(") : Bytes(" <= CAST(")));
  TRY(writeStringLiteral(w.dialect, out, r.end));
  if (!r.end_is_date) return out.put(" AS TIMESTAMP))");
  TRY(out.put(" AS TIMESTAMP) + "));
  TRY(writeInterval(w.dialect, out, 1, "DAY"));
  return out.put(')');
}

const Agg* windowBase(const Plan& plan, const Derived& x) {
  std::optional<uint32_t> b = plan.findMeasure(x.base);
  return b && plan.measures[*b].def.tag == MeasureDef::Tag::agg ? &plan.measures[*b].def.agg : nullptr;
}

Bytes windowFn(AggFn f) { return f == AggFn::min ? "MIN(" : f == AggFn::max ? "MAX(" : "SUM("; }

// PARTITION BY ... ORDER BY the period, from the first row to this one.
Result<void> runningSpec(const Writer& w, Text& out, const Derived& x) {
  const Plan& plan = w.plan;
  TRY(out.put(" OVER ("));
  bool any = false;
  for (uint32_t i = 0; i < plan.dims.size(); ++i) {
    if (i == plan.time_dim) continue;
    TRY(out.put(any ? Bytes(", ") : Bytes("PARTITION BY ")));
    any = true;
    TRY(column(w, out, "q", "d", i));
  }
  if (x.resets) {
    TRY(out.put(any ? Bytes(", ") : Bytes("PARTITION BY ")));
    TRY(writeTrunc(w, out, x.unit, x.fiscal, [&] { return column(w, out, "q", "d", plan.time_dim); }));
  }
  TRY(out.put(any || x.resets ? Bytes(" ORDER BY ") : Bytes("ORDER BY ")));
  TRY(column(w, out, "q", "d", plan.time_dim));
  return out.put(" ASC NULLS LAST ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW)");
}

Result<void> writeDerived(const Writer& w, Text& out, uint32_t idx) {
  const Plan& plan = w.plan;
  const Derived& x = plan.measures[idx].def.derived;
  char alias[24];
  switch (x.form) {
    case Derived::Form::offset: {
      std::snprintf(alias, sizeof alias, "o%u", idx);
      MeasureRefs refs{Bytes(alias), true};
      Writer ow{plan, w.dialect, &refs, nullptr};
      const uint32_t b = *plan.findMeasure(x.base);
      if (plan.measures[b].def.tag != MeasureDef::Tag::calc) return writeMeasure(ow, out, b, 0);
      // Without an earlier group there is nothing to calculate over: a
      // calculation over its missing columns could still answer
      // (COALESCE(m, 0)).
      TRY(out.put("CASE WHEN "));
      TRY(column(w, out, alias, "d", plan.time_dim));
      TRY(out.put(" IS NULL THEN NULL ELSE "));
      TRY(writeMeasure(ow, out, b, 0));
      return out.put(" END");
    }
    case Derived::Form::running: {
      const Agg& a = *windowBase(plan, x);
      const uint32_t b = *plan.findMeasure(x.base);
      TRY(out.put("CASE WHEN "));
      TRY(column(w, out, "q", "d", plan.time_dim));
      TRY(out.put(" IS NULL THEN NULL ELSE "));
      if (a.func == AggFn::mean) {
        TRY(out.put("(SUM("));
        TRY(column(w, out, "q", "ws", b));
        TRY(out.put(')'));
        TRY(runningSpec(w, out, x));
        TRY(out.put(" / NULLIF(SUM("));
        TRY(column(w, out, "q", "wc", b));
        TRY(out.put(')'));
        TRY(runningSpec(w, out, x));
        TRY(out.put(", 0))"));
      } else {
        TRY(out.put(windowFn(a.func)));
        TRY(column(w, out, "q", "w", b));
        TRY(out.put(')'));
        TRY(runningSpec(w, out, x));
      }
      return out.put(" END");
    }
    case Derived::Form::trailing: {
      std::snprintf(alias, sizeof alias, "r%u", idx);
      if (windowBase(plan, x)->func != AggFn::mean) return column(w, out, alias, "x", 0);
      TRY(out.put('('));
      TRY(column(w, out, alias, "s", 0));
      TRY(out.put(" / NULLIF("));
      TRY(column(w, out, alias, "c", 0));
      return out.put(", 0))");
    }
  }
  return {};
}

// The joins of w: a copy of q per offset, a windowed total per trailing
// measure.
Result<void> writeDerivedJoins(const Writer& w, Text& out, uint32_t idx) {
  const Plan& plan = w.plan;
  const Derived& x = plan.measures[idx].def.derived;
  const uint32_t t = plan.time_dim;
  const Grain g = *plan.dims[t].grain;
  char alias[24];
  if (x.form == Derived::Form::offset) {
    std::snprintf(alias, sizeof alias, "o%u", idx);
    TRY(out.put("\nLEFT JOIN q AS "));
    TRY(out.put(alias));
    TRY(out.put(" ON ("));
    TRY(column(w, out, alias, "d", t));
    TRY(out.put(" = ("));
    TRY(column(w, out, "q", "d", t));
    TRY(out.put(" - "));
    TRY(interval(w.dialect, out, x.n, x.unit));
    TRY(out.put("))"));
    return sameSeries(w, out, alias, "q");
  }
  if (x.form != Derived::Form::trailing) return {};
  std::snprintf(alias, sizeof alias, "r%u", idx);
  const Agg& a = *windowBase(plan, x);
  const uint32_t b = *plan.findMeasure(x.base);
  TRY(out.put("\nLEFT JOIN (SELECT "));
  for (uint32_t i = 0; i < plan.dims.size(); ++i) {
    TRY(column(w, out, "a", "d", i));
    TRY(out.put(" AS "));
    char name[16];
    std::snprintf(name, sizeof name, "d%u", i);
    TRY(quote(w.dialect, out, name));
    TRY(out.put(", "));
  }
  if (a.func == AggFn::mean) {
    TRY(out.put("SUM("));
    TRY(column(w, out, "b", "ws", b));
    TRY(out.put(") AS "));
    TRY(quote(w.dialect, out, "s0"));
    TRY(out.put(", SUM("));
    TRY(column(w, out, "b", "wc", b));
    TRY(out.put(") AS "));
    TRY(quote(w.dialect, out, "c0"));
  } else {
    TRY(out.put(windowFn(a.func)));
    TRY(column(w, out, "b", "w", b));
    TRY(out.put(") AS "));
    TRY(quote(w.dialect, out, "x0"));
  }
  // The periods whose start is at or after this period's end minus the
  // window, up to this one.
  TRY(out.put("\n           FROM q AS a JOIN q AS b ON ("));
  TRY(column(w, out, "b", "d", t));
  TRY(out.put(" >= (("));
  TRY(column(w, out, "a", "d", t));
  TRY(out.put(" + "));
  TRY(interval(w.dialect, out, 1, g));
  TRY(out.put(") - "));
  TRY(interval(w.dialect, out, x.n, x.unit));
  TRY(out.put(")) AND ("));
  TRY(column(w, out, "b", "d", t));
  TRY(out.put(" <= "));
  TRY(column(w, out, "a", "d", t));
  TRY(out.put(')'));
  TRY(sameSeries(w, out, "b", "a"));
  TRY(out.put("\n           GROUP BY "));
  for (uint32_t i = 0; i < plan.dims.size(); ++i) {
    if (i) TRY(out.put(", "));
    TRY(column(w, out, "a", "d", i));
  }
  TRY(out.put(") AS "));
  TRY(out.put(alias));
  TRY(out.put(" ON "));
  for (uint32_t i = 0; i < plan.dims.size(); ++i) {
    if (i) TRY(out.put(" AND "));
    TRY(sameDim(w, out, alias, "q", i));
  }
  return {};
}

}  // namespace

Result<void> writeTimePlan(const Writer& w, Text& out) {
  const Plan& plan = w.plan;
  const size_t nm = plan.measures.size();
  bool* main = out.arena->make<bool>(nm);
  bool* wide = out.arena->make<bool>(nm);
  if (!main || !wide) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < nm; ++i) main[i] = wide[i] = false;
  for (uint32_t i : plan.selected) markMain(plan, i, main);
  for (const Pred& p : plan.having) markPredMain(plan, p, main);
  for (uint32_t d : plan.derived) markAll(plan, *plan.findMeasure(plan.measures[d].def.derived.base), wide);
  const Pred* range = rangeOf(plan);

  // q: the grouping, over the rows the derived measures read. The query's
  // own measures count only the rows of its range; the derived ones' bases
  // count every row read.
  TRY(out.put("WITH q AS (\nSELECT "));
  for (uint32_t i = 0; i < plan.dims.size(); ++i) {
    if (i) TRY(out.put(",\n       "));
    TRY(writeDim(w, out, plan.dims[i]));
    TRY(out.put(" AS "));
    TRY(columnName(w, out, "d", i));
  }
  Writer own{plan, w.dialect, nullptr, range};
  for (uint32_t m = 0; m < nm; ++m) {
    const MeasureDef& d = plan.measures[m].def;
    if (d.tag != MeasureDef::Tag::agg) continue;
    if (main[m]) {
      TRY(out.put(",\n       "));
      TRY(writeAgg(own, out, d.agg));
      TRY(out.put(" AS "));
      TRY(columnName(w, out, "m", m));
    }
    if (!wide[m]) continue;
    TRY(out.put(",\n       "));
    TRY(writeAgg(w, out, d.agg));
    TRY(out.put(" AS "));
    TRY(columnName(w, out, "w", m));
    if (d.agg.func == AggFn::mean) {
      // A window's mean is its sum over its count, not a mean of means.
      Agg sum = d.agg, count = d.agg;
      sum.func = AggFn::sum;
      count.func = AggFn::count;
      TRY(out.put(",\n       "));
      TRY(writeAgg(w, out, sum));
      TRY(out.put(" AS "));
      TRY(columnName(w, out, "ws", m));
      TRY(out.put(",\n       "));
      TRY(writeAgg(w, out, count));
      TRY(out.put(" AS "));
      TRY(columnName(w, out, "wc", m));
    }
  }
  if (range) {
    TRY(out.put(",\n       COUNT(CASE WHEN "));
    TRY(writePred(w, out, *range));
    TRY(out.put(" THEN 1 END) AS "));
    TRY(quote(w.dialect, out, "in_range"));
  }
  TRY(writeFrom(w, out));
  if (!plan.where.empty()) {
    TRY(out.put("\nWHERE "));
    for (size_t i = 0; i < plan.where.size(); ++i) {
      if (i) TRY(out.put(" AND "));
      const Pred& p = plan.where[i];
      if (p.tag == Pred::Tag::range)
        TRY(writeWidened(w, out, p.range));
      else
        TRY(writePred(w, out, p));
    }
  }
  TRY(out.put("\nGROUP BY "));
  for (size_t i = 0; i < plan.dims.size(); ++i) {
    if (i) TRY(out.put(", "));
    TRY(out.putUint(i + 1));
  }

  // w: every group with its derived measures.
  TRY(out.put("\n), w AS (\nSELECT q.*"));
  for (uint32_t d : plan.derived) {
    TRY(out.put(",\n       "));
    TRY(writeDerived(w, out, d));
    TRY(out.put(" AS "));
    TRY(columnName(w, out, "v", d));
  }
  TRY(out.put("\nFROM q"));
  for (uint32_t d : plan.derived) TRY(writeDerivedJoins(w, out, d));

  // The query's own groups, measures, having, order and limit.
  MeasureRefs refs{"w", false};
  Writer outer{plan, w.dialect, &refs, nullptr};
  TRY(out.put("\n)\nSELECT "));
  for (size_t i = 0; i < plan.outCount(); ++i) {
    if (i) TRY(out.put(",\n       "));
    if (i < plan.dims.size())
      TRY(column(w, out, "w", "d", static_cast<uint32_t>(i)));
    else
      TRY(writeMeasure(outer, out, plan.selected[i - plan.dims.size()], 0));
    TRY(out.put(" AS "));
    TRY(quote(w.dialect, out, plan.out_names[i]));
  }
  TRY(out.put("\nFROM w"));
  if (range || !plan.having.empty()) {
    TRY(out.put("\nWHERE "));
    if (range) {
      TRY(out.put("(w."));
      TRY(quote(w.dialect, out, "in_range"));
      TRY(out.put(" > 0)"));
      if (!plan.having.empty()) TRY(out.put(" AND "));
    }
    TRY(writePreds(outer, out, plan.having, " AND "));
  }
  return writeOrderLimit(w, out);
}

}  // namespace quendra
