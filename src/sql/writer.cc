#include "sql/writer.h"

#include <charconv>
#include <cstdio>
#include <cmath>

#include "time/calendar.h"

namespace quendra {

Err mapErr(Err e) { return e == Err::OutOfMemory || e == Err::UnknownField ? e : Err::WriteFailed; }

Result<void> IdentCtx::writeIdentAt(uint8_t at, Bytes name, Text& out) {
  TRY(out.put('t'));
  TRY(out.putUint(at));
  TRY(out.put('.'));
  return quote(w.dialect, out, name);
}

Result<void> MeasureCtx::writeIdent(Bytes name, Text& out) {
  std::optional<uint32_t> m = w.plan.findMeasure(name);
  if (!m) return std::unexpected(Err::UnknownField);
  return writeMeasure(w, out, *m, static_cast<uint8_t>(depth + 1));
}

Result<void> writeMeasure(const Writer& w, Text& out, uint32_t index, uint8_t depth) {
  const MeasureDef& def = w.plan.measures[index].def;
  if (w.refs && w.refs->every) {
    TRY(out.put(w.refs->table));
    TRY(out.put('.'));
    return columnName(w, out, "x", index);
  }
  if (w.refs && w.refs->across && def.tag == MeasureDef::Tag::rank) {
    // A window over the query's groups (the rows of q0 and its joins).
    const Rank& x = def.rank;
    TRY(out.put("RANK() OVER ("));
    bool first = true;
    for (uint32_t i = 0; i < w.plan.dims.size(); ++i) {
      if (!(x.mask >> i & 1)) continue;
      TRY(out.put(first ? Bytes("PARTITION BY ") : Bytes(", ")));
      first = false;
      TRY(column(w, out, "q0", "d", i));
    }
    TRY(out.put(first ? Bytes("ORDER BY ") : Bytes(" ORDER BY ")));
    TRY(writeMeasure(w, out, x.base_index, static_cast<uint8_t>(depth + 1)));
    return out.put(x.desc ? Bytes(" DESC NULLS LAST)") : Bytes(" ASC NULLS LAST)"));
  }
  if (def.tag == MeasureDef::Tag::calc) {
    MeasureCtx ctx{w, depth};
    return writeSql(def.calc, out, ctx);
  }
  if (w.refs && w.refs->across && def.tag == MeasureDef::Tag::total) {
    // Its base aggregated in a subquery of its own, t<index>. A partition
    // with no row of a joined model has no row there, and a count of
    // nothing is 0.
    const Measure& base = w.plan.measures[def.total.base_index];
    const bool count = base.over && (base.def.agg.func == AggFn::count || base.def.agg.func == AggFn::nunique);
    if (count) TRY(out.put("COALESCE("));
    char table[16];
    std::snprintf(table, sizeof table, "t%u", index);
    TRY(column(w, out, table, "m", def.total.base_index));
    return count ? out.put(", 0)") : Result<void>{};
  }
  if (w.refs && w.refs->across && def.tag == MeasureDef::Tag::agg) {
    // A group with no row of a joined model: no row of its subquery, and
    // a count of nothing is 0.
    const uint8_t over = w.plan.measures[index].over;
    const bool count = over && (def.agg.func == AggFn::count || def.agg.func == AggFn::nunique);
    if (count) TRY(out.put("COALESCE("));
    char table[8];
    std::snprintf(table, sizeof table, "q%u", over);
    TRY(column(w, out, table, "m", index));
    return count ? out.put(", 0)") : Result<void>{};
  }
  if (w.refs && (def.tag == MeasureDef::Tag::agg || def.tag == MeasureDef::Tag::derived)) {
    TRY(out.put(w.refs->table));
    TRY(out.put('.'));
    char name[16];
    const char* prefix = def.tag == MeasureDef::Tag::derived ? "v" : w.refs->wide ? "w" : "m";
    std::snprintf(name, sizeof name, "%s%u", prefix, index);
    return quote(w.dialect, out, name);
  }
  if (def.tag != MeasureDef::Tag::agg) return std::unexpected(Err::WriteFailed);  // refused by planning
  return writeAgg(w, out, def.agg);
}

namespace {

bool pgFloatAgg(AggFn f) {
  return f == AggFn::mean || f == AggFn::stddev || f == AggFn::variance || f == AggFn::median ||
         f == AggFn::percentile;
}

}  // namespace

Result<void> writeAggHead(const Writer& w, Text& out, const Agg& agg) {
  // By AggFn; the quantiles take the fraction after the argument.
  static constexpr Bytes kNames[] = {"SUM(",          "AVG(",          "MIN(",       "MAX(",      "COUNT(",
                                     "COUNT(",        "quantile_cont(", "quantile_cont(", "stddev_samp(", "var_samp("};
  const bool quantile = agg.func == AggFn::median || agg.func == AggFn::percentile;
  if (w.dialect == Dialect::postgres) {
    // PostgreSQL answers a numeric for the average and spread of integers.
    if (pgFloatAgg(agg.func)) TRY(out.put("CAST("));
    if (quantile) {
      TRY(out.put("percentile_cont("));
      TRY(writeFloat(w.dialect, out, agg.p));
      return out.put(") WITHIN GROUP (ORDER BY ");
    }
  }
  if (quantile && w.dialect == Dialect::spark)
    TRY(out.put("percentile("));
  else
    TRY(out.put(kNames[static_cast<int>(agg.func)]));
  if (agg.arg && agg.func == AggFn::nunique) TRY(out.put("DISTINCT "));
  return {};
}

Result<void> writeAggTail(const Writer& w, Text& out, const Agg& agg) {
  if (w.dialect == Dialect::postgres) return out.put(pgFloatAgg(agg.func) ? Bytes(") AS DOUBLE PRECISION)") : Bytes(")"));
  if (agg.func == AggFn::median || agg.func == AggFn::percentile) {
    TRY(out.put(", "));
    TRY(writeFloat(w.dialect, out, agg.p));
  }
  return out.put(')');
}

Result<void> writeAgg(const Writer& w, Text& out, const Agg& agg) {
  TRY(writeAggHead(w, out, agg));
  TRY(writeAggArg(w, out, agg));
  return writeAggTail(w, out, agg);
}

Result<void> writeAggArg(const Writer& w, Text& out, const Agg& agg) {
  const bool filtered = !agg.filters.empty() || w.extra;
  if (filtered) {
    // Rows outside the filters give the aggregate a NULL, which every
    // aggregate skips: the same rows the executor leaves out.
    TRY(out.put("CASE WHEN "));
    TRY(writePreds(w, out, agg.filters, " AND "));
    if (w.extra) {
      if (!agg.filters.empty()) TRY(out.put(" AND "));
      TRY(writePred(w, out, *w.extra));
    }
    TRY(out.put(" THEN "));
  }
  if (agg.arg)
    TRY(writeBound(w, out, *agg.arg));
  else
    TRY(out.put(filtered ? Bytes("1") : Bytes("*")));
  if (filtered) TRY(out.put(" END"));
  return {};
}

Result<void> writeBound(const Writer& w, Text& out, const Bound& b) {
  IdentCtx ctx{w, b.alias};
  return writeSql(b.e, out, ctx);
}

Bytes grainWord(Dialect d, Grain g) {
  static constexpr Bytes kLower[] = {"second", "minute", "hour", "day", "week", "month", "quarter", "year"};
  static constexpr Bytes kUpper[] = {"SECOND", "MINUTE", "HOUR", "DAY", "WEEK", "MONTH", "QUARTER", "YEAR"};
  return d == Dialect::spark ? kUpper[grainRank(g)] : kLower[grainRank(g)];
}

Result<void> writeDim(const Writer& w, Text& out, const Dim& d) {
  if (!d.grain) return writeBound(w, out, d.b);
  TRY(out.put("CAST("));
  TRY(writeTrunc(w, out, *d.grain, d.fiscal, [&] { return writeBound(w, out, d.b); }));
  return out.put(" AS TIMESTAMP)");
}

Result<void> writeTable(const Writer& w, Text& out, Bytes name) {
  size_t start = 0;
  for (;;) {
    size_t dot = name.find('.', start);
    TRY(quote(w.dialect, out, name.substr(start, dot == Bytes::npos ? Bytes::npos : dot - start)));
    if (dot == Bytes::npos) return {};
    TRY(out.put('.'));
    start = dot + 1;
  }
}

Result<void> writeFloat(Dialect d, Text& out, double v) {
  if (d == Dialect::postgres) {
    // A number with a point is a numeric in PostgreSQL; every such number
    // is a 64-bit float here.
    if (std::isnan(v)) return out.put("CAST('NaN' AS DOUBLE PRECISION)");
    if (std::isinf(v)) return out.put(v < 0 ? Bytes("CAST('-Infinity' AS DOUBLE PRECISION)") : Bytes("CAST('Infinity' AS DOUBLE PRECISION)"));
    TRY(out.put("CAST("));
    TRY(writeFloat(Dialect::duckdb, out, v));
    return out.put(" AS DOUBLE PRECISION)");
  }
  if (std::isnan(v)) return out.put("nan");
  if (std::isinf(v)) return out.put(v < 0 ? Bytes("-inf") : Bytes("inf"));
  if (v == 0) return out.put('0');
  // Shortest round-trip digits in scientific form: d[.ddd]e[+-]x.
  char sci[40];
  auto [end, ec] = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  if (ec != std::errc()) return std::unexpected(Err::WriteFailed);
  char digits[24];
  size_t nd = 0;
  const char* p = sci;
  bool neg = *p == '-';
  if (neg) ++p;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits[nd++] = *p;
  int exp = 0;
  std::from_chars(p + 1 + (p[1] == '+'), end, exp);
  // The decimal point sits after digit number exp + 1.
  int point = exp + 1;
  if (neg) TRY(out.put('-'));
  size_t positions = point <= 0 ? nd - point : std::max(nd, static_cast<size_t>(point));
  if (d == Dialect::spark && positions > 38) {
    TRY(out.put(digits[0]));
    if (nd > 1) {
      TRY(out.put('.'));
      TRY(out.put(Bytes(digits + 1, nd - 1)));
    }
    TRY(out.put('E'));
    return out.putInt(exp);
  }
  if (point <= 0) {
    TRY(out.put("0."));
    for (int i = 0; i < -point; ++i) TRY(out.put('0'));
    return out.put(Bytes(digits, nd));
  }
  if (static_cast<size_t>(point) >= nd) {
    TRY(out.put(Bytes(digits, nd)));
    for (size_t i = nd; i < static_cast<size_t>(point); ++i) TRY(out.put('0'));
    return {};
  }
  TRY(out.put(Bytes(digits, point)));
  TRY(out.put('.'));
  return out.put(Bytes(digits + point, nd - point));
}

Result<void> writeLiteral(const Writer& w, Text& out, const Literal& lit) {
  switch (lit.tag) {
    case Literal::Tag::null: return out.put("NULL");
    case Literal::Tag::boolean: return out.put(lit.b ? Bytes("TRUE") : Bytes("FALSE"));
    case Literal::Tag::int_: return out.putInt(lit.i);
    case Literal::Tag::float_: return writeFloat(w.dialect, out, lit.f);
    case Literal::Tag::string: return writeStringLiteral(w.dialect, out, lit.s);
  }
  return {};
}

Result<void> writeInstant(const Writer& w, Text& out, int64_t us) {
  char buf[32];
  const size_t n = formatTimestamp(us, true, buf);
  if (!n) return std::unexpected(Err::WriteFailed);
  return writeStringLiteral(w.dialect, out, Bytes(buf, n));
}

Result<void> writeIfTimestamp(const Writer& w, Text& out, const Bound& b) {
  TRY(out.put(typeofHead(w.dialect)));
  TRY(writeBound(w, out, b));
  return out.put(isTimestampTail(w.dialect));
}

std::optional<std::pair<int64_t, int64_t>> zonedRange(const Plan& plan, const Range& r, std::optional<int64_t> from) {
  if (!plan.zone) return std::nullopt;
  std::optional<int64_t> start = parseTimestamp(r.start), end = parseTimestamp(r.end);
  if (!start || !end) return std::nullopt;
  ZoneCursor c(*plan.zone);
  const int64_t lo = from ? (*from == INT64_MIN ? INT64_MIN : c.toUtc(*from)) : c.toUtc(*start);
  char buf[32];
  const int64_t hi = c.toUtc(r.end_is_date ? *end + kMicrosPerDay : *end);
  if (!formatTimestamp(hi, true, buf) || (lo != INT64_MIN && !formatTimestamp(lo, true, buf))) return std::nullopt;
  return std::pair<int64_t, int64_t>{lo, hi};
}

Result<void> writeInstantRange(const Writer& w, Text& out, const Range& r, std::pair<int64_t, int64_t> ends) {
  TRY(out.put('('));
  if (ends.first != INT64_MIN) {
    TRY(writeBound(w, out, r.b));
    TRY(out.put(" >= "));
    TRY(writeInstant(w, out, ends.first));
    TRY(out.put(" AND "));
  }
  TRY(writeBound(w, out, r.b));
  TRY(out.put(r.end_is_date ? Bytes(" < ") : Bytes(" <= ")));
  TRY(writeInstant(w, out, ends.second));
  return out.put(')');
}

namespace {

Bytes cmpText(CmpOp op) {
  switch (op) {
    case CmpOp::eq: return " = ";
    case CmpOp::ne: return " <> ";
    case CmpOp::lt: return " < ";
    case CmpOp::le: return " <= ";
    case CmpOp::gt: return " > ";
    case CmpOp::ge: return " >= ";
    case CmpOp::like: return " LIKE ";
    case CmpOp::not_like: return " NOT LIKE ";
    case CmpOp::ilike: return " ILIKE ";
    case CmpOp::not_ilike: return " NOT ILIKE ";
    case CmpOp::in: return " IN (";
    case CmpOp::not_in: return " NOT IN (";
    case CmpOp::is_null: return " IS NULL";
    case CmpOp::is_not_null: return " IS NOT NULL";
  }
  return "";
}

Result<void> writePattern(const Writer& w, Text& out, const Literal& lit) {
  if (lit.tag != Literal::Tag::string) return writeLiteral(w, out, lit);
  return writeLikePattern(w.dialect, out, lit.s);
}

// A literal as the value it stands for: with `instants`, a text the
// query's zone reads as a wall-clock time is its instant.
Result<void> writeValue(const Writer& w, Text& out, const Literal& lit, bool instants) {
  if (!instants || !lit.instant) return writeLiteral(w, out, lit);
  return writeInstant(w, out, *lit.instant);
}

Result<void> writeCmpAs(const Writer& w, Text& out, const Cmp& c, bool instants);

// With texts read in the query's zone, the comparison is written twice,
// chosen by the operand's type: the writer does not know the columns'
// types, and a date is a day, not an instant.
Result<void> writeCmp(const Writer& w, Text& out, const Cmp& c) {
  bool zoned = false;
  for (const Literal& l : c.values) zoned |= l.instant.has_value();
  if (!zoned) return writeCmpAs(w, out, c, false);
  TRY(out.put(typeofHead(w.dialect)));
  if (c.lhs.tag == Operand::Tag::measure)
    TRY(writeMeasure(w, out, c.lhs.measure, 0));
  else
    TRY(writeBound(w, out, c.lhs.dim));
  TRY(out.put(isTimestampTail(w.dialect)));
  TRY(writeCmpAs(w, out, c, true));
  TRY(out.put(" ELSE "));
  TRY(writeCmpAs(w, out, c, false));
  return out.put(" END)");
}

Result<void> writeCmpAs(const Writer& w, Text& out, const Cmp& c, bool instants) {
  TRY(out.put('('));
  if (c.lhs.tag == Operand::Tag::measure)
    TRY(writeMeasure(w, out, c.lhs.measure, 0));
  else
    TRY(writeBound(w, out, c.lhs.dim));
  TRY(out.put(cmpText(c.op)));
  switch (c.op) {
    case CmpOp::is_null:
    case CmpOp::is_not_null:
      break;
    case CmpOp::in:
    case CmpOp::not_in:
      for (size_t i = 0; i < c.values.size(); ++i) {
        if (i) TRY(out.put(", "));
        TRY(writeValue(w, out, c.values[i], instants));
      }
      TRY(out.put(')'));
      break;
    case CmpOp::like:
    case CmpOp::not_like:
    case CmpOp::ilike:
    case CmpOp::not_ilike:
      if (c.values.empty()) return std::unexpected(Err::WriteFailed);
      TRY(writePattern(w, out, c.values[0]));
      break;
    default:
      // Planning gives every single-value operator exactly one literal.
      if (c.values.empty()) return std::unexpected(Err::WriteFailed);
      TRY(writeValue(w, out, c.values[0], instants));
  }
  return out.put(')');
}

// The range over its texts, as dates and queries without a zone read it.
Result<void> writeRangeAsText(const Writer& w, Text& out, const Range& r);

Result<void> writeRange(const Writer& w, Text& out, const Range& r) {
  return writeRangeByType(w, out, r, zonedRange(w.plan, r, std::nullopt), [&] { return writeRangeAsText(w, out, r); });
}

Result<void> writeRangeAsText(const Writer& w, Text& out, const Range& r) {
  TRY(out.put('('));
  TRY(writeBound(w, out, r.b));
  TRY(out.put(" >= CAST("));
  TRY(writeStringLiteral(w.dialect, out, r.start));
  TRY(out.put(" AS TIMESTAMP) AND "));
  TRY(writeBound(w, out, r.b));
  TRY(out.put(r.end_is_date ? Bytes(" < CAST(") : Bytes(" <= CAST(")));
  TRY(writeStringLiteral(w.dialect, out, r.end));
  if (!r.end_is_date) return out.put(" AS TIMESTAMP))");
  TRY(out.put(" AS TIMESTAMP) + "));
  TRY(writeInterval(w.dialect, out, 1, "DAY"));
  return out.put(')');
}

// True when another output column's name equals column `index`'s ignoring
// ASCII case.
bool sharesNameIgnoringCase(const Plan& plan, uint32_t index) {
  for (size_t i = 0; i < plan.out_names.size(); ++i)
    if (i != index && eqNoCase(plan.out_names[i], plan.out_names[index])) return true;
  return false;
}

}  // namespace

Result<void> writePreds(const Writer& w, Text& out, std::span<const Pred> preds, Bytes sep) {
  for (size_t i = 0; i < preds.size(); ++i) {
    if (i) TRY(out.put(sep));
    TRY(writePred(w, out, preds[i]));
  }
  return {};
}

Result<void> writePred(const Writer& w, Text& out, const Pred& p) {
  switch (p.tag) {
    case Pred::Tag::all:
    case Pred::Tag::any:
      TRY(out.put('('));
      TRY(writePreds(w, out, p.children, p.tag == Pred::Tag::all ? Bytes(" AND ") : Bytes(" OR ")));
      return out.put(')');
    case Pred::Tag::expr:
      return writeBound(w, out, p.expr);
    case Pred::Tag::cmp:
      return writeCmp(w, out, p.cmp);
    case Pred::Tag::range:
      return writeRange(w, out, p.range);
  }
  return {};
}

namespace {

// Whether writing measure `index` writes an aggregate call somewhere in it.
// Planning has refused cycles and deep nesting; the depth bound only keeps
// this walk finite on a plan that skipped that check.
bool aggregates(const Plan& plan, uint32_t index, int depth) {
  const MeasureDef& def = plan.measures[index].def;
  if (def.tag != MeasureDef::Tag::calc || depth > 64) return true;
  for (const Node& n : def.calc.all()) {
    if (n.tag != Tag::ident) continue;
    std::optional<uint32_t> m = plan.findMeasure(n.text);
    if (m && aggregates(plan, *m, depth + 1)) return true;
  }
  return false;
}

bool aggregates(const Plan& plan, const Pred& p) {
  for (const Pred& c : p.children)
    if (aggregates(plan, c)) return true;
  return p.tag == Pred::Tag::cmp && p.cmp.lhs.tag == Operand::Tag::measure && aggregates(plan, p.cmp.lhs.measure, 0);
}

// Whether a measure of a joined model is among those the query computes.
bool readsJoinedMeasures(const Plan& plan) {
  bool any = false;
  for (const Measure& m : plan.measures) any |= m.over != 0;
  return any;
}

// A query without dimensions answers exactly one row. A statement whose
// measures are calculations over literals alone holds no aggregate call,
// and without one the engine would answer a row per selected input row.
bool needsEmptyGrouping(const Plan& plan) {
  if (!plan.dims.empty()) return false;
  for (uint32_t m : plan.selected)
    if (aggregates(plan, m, 0)) return false;
  for (const Pred& p : plan.having)
    if (aggregates(plan, p)) return false;
  return true;
}

}  // namespace

Result<void> columnName(const Writer& w, Text& out, const char* prefix, uint32_t i) {
  char text[24];
  std::snprintf(text, sizeof text, "%s%u", prefix, i);
  return quote(w.dialect, out, text);
}

Result<void> column(const Writer& w, Text& out, Bytes table, const char* prefix, uint32_t i) {
  TRY(out.put(table));
  TRY(out.put('.'));
  return columnName(w, out, prefix, i);
}

Result<void> sameDim(const Writer& w, Text& out, Bytes a, Bytes b, uint32_t i) {
  TRY(out.put('('));
  TRY(column(w, out, a, "d", i));
  TRY(out.put(w.dialect == Dialect::spark ? Bytes(" <=> ") : Bytes(" IS NOT DISTINCT FROM ")));
  TRY(column(w, out, b, "d", i));
  return out.put(')');
}

Result<void> writeFrom(const Writer& w, Text& out) { return writeFromJoins(w, out, w.plan.usedAliases()); }

Result<void> writeFromJoins(const Writer& w, Text& out, uint32_t used) {
  const Plan& plan = w.plan;
  TRY(out.put("\nFROM "));
  TRY(writeTable(w, out, plan.table));
  TRY(out.put(" AS t0"));
  for (const Join& j : plan.joins) {
    if (!(used >> j.alias & 1)) continue;
    if (j.sub) {
      // A dimension defined by a measure: its values per key, or its one
      // value for every row.
      const bool every = j.left.empty() && j.parent == 0;
      TRY(out.put(every ? Bytes("\nCROSS JOIN (") : Bytes("\nLEFT JOIN (")));
      TRY(writePlan(Writer{*j.sub, w.dialect}, out));
      TRY(out.put(")"));
      if (j.left.empty()) {
        TRY(out.put(" AS t"));
        TRY(out.putUint(j.alias));
        if (every) continue;
        // The one value, for the rows of the joined table it belongs to:
        // those that matched, whose key is therefore not null.
        TRY(out.put(" ON ("));
        TRY(writeBound(w, out, plan.joins[j.parent - 1].right[0]));
        TRY(out.put(" IS NOT NULL)"));
        continue;
      }
    } else {
      TRY(out.put("\nLEFT JOIN "));
      TRY(writeTable(w, out, j.table));
    }
    TRY(out.put(" AS t"));
    TRY(out.putUint(j.alias));
    TRY(out.put(" ON "));
    const bool composite = j.left.size() > 1;
    for (size_t k = 0; k < j.left.size(); ++k) {
      if (k) TRY(out.put(" AND "));
      if (composite) TRY(out.put('('));
      TRY(writeBound(w, out, j.left[k]));
      TRY(out.put(" = "));
      TRY(writeBound(w, out, j.right[k]));
      if (composite) TRY(out.put(')'));
    }
    // The joined model's where: a row failing it is no match, and the
    // parent row stays with nulls.
    for (const Pred& p : j.where) {
      TRY(out.put(" AND "));
      TRY(writePred(w, out, p));
    }
  }
  return {};
}

Result<void> writeOrderLimit(const Writer& w, Text& out) {
  const Plan& plan = w.plan;
  if (!plan.order.empty()) {
    TRY(out.put("\nORDER BY "));
    for (size_t i = 0; i < plan.order.size(); ++i) {
      if (i) TRY(out.put(", "));
      Bytes name = plan.out_names[plan.order[i].out_index];
      // Both engines resolve ORDER BY names ignoring case: with another
      // output named alike, DuckDB silently takes the last such column and
      // Spark refuses the statement. The position names the column exactly.
      if (sharesNameIgnoringCase(plan, plan.order[i].out_index))
        TRY(out.putUint(plan.order[i].out_index + 1));
      else
        TRY(quote(w.dialect, out, name));
      TRY(out.put(plan.order[i].desc ? Bytes(" DESC NULLS LAST") : Bytes(" ASC NULLS LAST")));
    }
  }
  // Spark takes only a 32-bit LIMIT; a larger one cuts nothing that Spark
  // could return, so it is left out.
  if (plan.limit && (w.dialect != Dialect::spark || *plan.limit <= INT32_MAX)) {
    TRY(out.put("\nLIMIT "));
    TRY(out.putUint(*plan.limit));
  }
  return {};
}

Result<void> writePlan(const Writer& w, Text& out) {
  const Plan& plan = w.plan;
  if (!plan.derived.empty()) return writeTimePlan(w, out);
  if (readsJoinedMeasures(plan) || plan.fanned || !plan.totals.empty() || !plan.ranks.empty())
    return writeAcrossPlan(w, out);
  TRY(out.put("SELECT "));
  for (size_t i = 0; i < plan.outCount(); ++i) {
    if (i) TRY(out.put(",\n       "));
    if (i < plan.dims.size())
      TRY(writeDim(w, out, plan.dims[i]));
    else
      TRY(writeMeasure(w, out, plan.selected[i - plan.dims.size()], 0));
    TRY(out.put(" AS "));
    TRY(quote(w.dialect, out, plan.out_names[i]));
  }
  TRY(writeFrom(w, out));
  if (!plan.where.empty()) {
    TRY(out.put("\nWHERE "));
    TRY(writePreds(w, out, plan.where, " AND "));
  }
  if (!plan.dims.empty()) {
    TRY(out.put("\nGROUP BY "));
    for (size_t i = 0; i < plan.dims.size(); ++i) {
      if (i) TRY(out.put(", "));
      TRY(out.putUint(i + 1));
    }
  } else if (needsEmptyGrouping(plan)) {
    // Both engines read this as one group over all selected rows, also
    // when none is selected; DuckDB's shorter GROUP BY () is not Spark's.
    TRY(out.put("\nGROUP BY GROUPING SETS (())"));
  }
  if (!plan.having.empty()) {
    TRY(out.put("\nHAVING "));
    TRY(writePreds(w, out, plan.having, " AND "));
  }
  return writeOrderLimit(w, out);
}

Result<Bytes> emitSql(Arena& arena, const Json& manifest, const Json& query, Dialect dialect, Diag& diag) {
  Plan plan = TRY(build(arena, manifest, query, diag));
  Writer w{plan, dialect};
  Text out;
  out.arena = &arena;
  out.limit = kMaxSqlBytes;
  auto r = writePlan(w, out);
  if (!r) {
    Err e = mapErr(r.error());
    if (!out.failure.empty()) return diag.fail(e, {out.failure});
    return std::unexpected(e);
  }
  return out.view();
}

}  // namespace quendra
