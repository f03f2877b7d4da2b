// The SQL statement writer: a checked plan becomes one SELECT statement in
// the DuckDB, Spark or PostgreSQL dialect.
#pragma once

#include <cstdint>

#include "base/arena.h"
#include "base/json.h"
#include "base/text.h"
#include "expr/render.h"
#include "plan/diag.h"
#include "plan/plan.h"

namespace quendra {

// Statements larger than this are refused rather than built: calculated
// measures expand in place, so a small manifest can describe a huge text.
constexpr size_t kMaxSqlBytes = size_t{64} << 20;

// Where a statement that first groups in a common table expression reads
// its measures: aggregate measures as columns "m<i>" (over the query's own
// rows) or, when `wide`, "w<i>" (over the rows that derived measures
// read), and derived ones as "v<i>", all of table `table`.
// With `across`, aggregate measure i is column "m<i>" of table q<over>
// instead, the subquery of the model whose rows it aggregates.
// With `every`, every measure i (calculations too) is column "x<i>" of table.
struct MeasureRefs {
  Bytes table;
  bool wide = false;
  bool across = false;
  bool every = false;
};

struct Writer {
  const Plan& plan;
  Dialect dialect;
  const MeasureRefs* refs = nullptr;  // measures as columns, when set
  const Pred* extra = nullptr;        // a filter every aggregate also applies
};

// Identifiers are columns of the table with alias `alias`: t<alias>."name".
struct IdentCtx {
  const Writer& w;
  uint8_t alias;
  Dialect dialect() const { return w.dialect; }
  [[nodiscard]] Result<void> writeIdent(Bytes name, Text& out) { return writeIdentAt(alias, name, out); }
  [[nodiscard]] Result<void> writeIdentAt(uint8_t at, Bytes name, Text& out);
};

// Identifiers are measures of the plan, expanded in place.
struct MeasureCtx {
  const Writer& w;
  uint8_t depth;
  Dialect dialect() const { return w.dialect; }
  [[nodiscard]] Result<void> writeIdent(Bytes name, Text& out);
};

// plan.measures[index] as its aggregate call or its expanded calculation.
[[nodiscard]] Result<void> writeMeasure(const Writer& w, Text& out, uint32_t index, uint8_t depth);
// One aggregate call, with the aggregate's filters (and w.extra) applied:
// writeAggHead, writeAggArg, writeAggTail.
[[nodiscard]] Result<void> writeAgg(const Writer& w, Text& out, const Agg& agg);
// "SUM(" and the like, with "DISTINCT " for a distinct count.
[[nodiscard]] Result<void> writeAggHead(const Writer& w, Text& out, const Agg& agg);
// What the aggregate reads per row: its argument (1 for a count without
// one) under a CASE of its filters and w.extra, or "*" for a plain count.
[[nodiscard]] Result<void> writeAggArg(const Writer& w, Text& out, const Agg& agg);
// The quantiles' fraction and the closing parenthesis.
[[nodiscard]] Result<void> writeAggTail(const Writer& w, Text& out, const Agg& agg);
[[nodiscard]] Result<void> writeBound(const Writer& w, Text& out, const Bound& b);
[[nodiscard]] Result<void> writeDim(const Writer& w, Text& out, const Dim& d);
// A table name split at dots, each part quoted (an empty part fails in
// duckdb, which cannot read an empty quoted name).
[[nodiscard]] Result<void> writeTable(const Writer& w, Text& out, Bytes name);
[[nodiscard]] Result<void> writePred(const Writer& w, Text& out, const Pred& p);
[[nodiscard]] Result<void> writeLiteral(const Writer& w, Text& out, const Literal& lit);
// A finite double as the shortest digits that read back as the same value,
// in positional notation. Spark reads positional literals as decimals of at
// most 38 digits, so in spark a value needing more is written as a double
// literal with an exponent (1E300).
[[nodiscard]] Result<void> writeFloat(Dialect d, Text& out, double v);
[[nodiscard]] Result<void> writePlan(const Writer& w, Text& out);
// The statement of a plan with measures of joined models: the query's own
// measures grouped in one subquery (q0), each joined model's in another
// (q<alias>) over its rows made distinct by the join's key, joined on the
// dimensions with null-safe equality; having, order and limit outside.
[[nodiscard]] Result<void> writeAcrossPlan(const Writer& w, Text& out);
// The statement of a plan with measures derived along time: grouped once in
// a common table expression over the rows they need, then offsets, running
// and trailing windows over the groups, then the query's own range, having,
// order and limit.
[[nodiscard]] Result<void> writeTimePlan(const Writer& w, Text& out);

// Pieces shared by the statement forms.
// "<prefix><i>", quoted.
[[nodiscard]] Result<void> columnName(const Writer& w, Text& out, const char* prefix, uint32_t i);
// table."<prefix><i>"
[[nodiscard]] Result<void> column(const Writer& w, Text& out, Bytes table, const char* prefix, uint32_t i);
// a."d<i>" and b."d<i>" equal, nulls included: "(a.d IS NOT DISTINCT FROM
// b.d)" in duckdb, "(a.d <=> b.d)" in spark.
[[nodiscard]] Result<void> sameDim(const Writer& w, Text& out, Bytes a, Bytes b, uint32_t i);
// "\nFROM <table> AS t0" and a LEFT JOIN per used join.
[[nodiscard]] Result<void> writeFrom(const Writer& w, Text& out);
// writeFrom with the joins of the alias mask `used` alone.
[[nodiscard]] Result<void> writeFromJoins(const Writer& w, Text& out, uint32_t used);
// The grain's name in date_trunc's first argument.
Bytes grainWord(Dialect d, Grain g);
// date_trunc of what `inner` writes, to grain g (of the fiscal calendar
// when `fiscal`); periods that start elsewhere than the engines' (weeks on
// the plan's week_start, fiscal quarters and years) by truncating the value
// that many days or months earlier and adding them back.
template <class Inner>
[[nodiscard]] Result<void> writeTrunc(const Writer& w, Text& out, Grain g, bool fiscal, Inner&& inner) {
  const int64_t shift = w.plan.periodStart(g, fiscal);
  const Bytes unit = g == Grain::week ? Bytes("DAY") : Bytes("MONTH");
  if (shift) TRY(out.put('('));
  TRY(out.put("date_trunc('"));
  TRY(out.put(grainWord(w.dialect, g)));
  TRY(out.put("', "));
  TRY(inner());
  if (shift) {
    TRY(out.put(" - "));
    TRY(writeInterval(w.dialect, out, shift, unit));
  }
  TRY(out.put(')'));
  if (!shift) return {};
  TRY(out.put(" + "));
  TRY(writeInterval(w.dialect, out, shift, unit));
  return out.put(')');
}
// Time read in the query's zone: a text as its instant, in the engines'
// timestamp text.
[[nodiscard]] Result<void> writeInstant(const Writer& w, Text& out, int64_t us);
// "(CASE WHEN <b is a timestamp> THEN ", which the caller completes.
[[nodiscard]] Result<void> writeIfTimestamp(const Writer& w, Text& out, const Bound& b);
// A range's ends as instants of the plan's zone (its start moved to the
// wall-clock time `from`, when given; INT64_MIN: no start), or none
// without a zone or for texts that are no timestamps.
std::optional<std::pair<int64_t, int64_t>> zonedRange(const Plan& plan, const Range& r, std::optional<int64_t> from);
// "(b >= 'lo' AND b < 'hi')" (<= for an end that is an instant).
[[nodiscard]] Result<void> writeInstantRange(const Writer& w, Text& out, const Range& r, std::pair<int64_t, int64_t> ends);
// The range as `as_text` writes it over its texts, chosen by type against
// `ends` as instants when the query has a zone (ends given).
template <class AsText>
[[nodiscard]] Result<void> writeRangeByType(const Writer& w, Text& out, const Range& r,
                                            std::optional<std::pair<int64_t, int64_t>> ends, AsText&& as_text) {
  if (ends) {
    TRY(writeIfTimestamp(w, out, r.b));
    TRY(writeInstantRange(w, out, r, *ends));
    TRY(out.put(" ELSE "));
  }
  TRY(as_text());
  return ends ? out.put(" END)") : Result<void>{};
}
// Predicates joined by " AND ".
[[nodiscard]] Result<void> writePreds(const Writer& w, Text& out, std::span<const Pred> preds, Bytes sep);
// "\nORDER BY ..." and "\nLIMIT n", as the plan asks.
[[nodiscard]] Result<void> writeOrderLimit(const Writer& w, Text& out);

// Writing errors as reported: OutOfMemory and UnknownField stay, everything
// else is WriteFailed.
Err mapErr(Err e);

// Plans `query` over `manifest` and writes the statement into `arena`.
// Failures are recorded in `diag` (planning messages; writing failures carry
// only their kind, except a statement over kMaxSqlBytes or a NUL byte in a
// name or text, which SQL cannot carry).
[[nodiscard]] Result<Bytes> emitSql(Arena& arena, const Json& manifest, const Json& query, Dialect dialect,
                                    Diag& diag);

}  // namespace quendra
