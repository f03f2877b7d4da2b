// Builder: reads the queried model of the manifest and plans filters.
//
// A Builder lives for one planning call. setup() turns the model into
// fields, joins and measures (checking the model and every model it joins);
// the plan builder and filter planning then resolve names against them.
// Every failure is recorded in the Diag before it is returned.
#pragma once

#include <cstdint>
#include <optional>

#include "base/arena.h"
#include "base/array.h"
#include "base/bytes.h"
#include "base/json.h"
#include "plan/diag.h"
#include "plan/model.h"
#include "plan/pred.h"
#include "time/zone.h"

namespace quendra {

// A join the builder has read, at position alias - 1 of its joins: where it
// hangs in the tree of joins that starts at the queried model.
struct JoinNode {
  Bytes name;         // its key in its parent model's "joins"
  Bytes path;         // the join names from the queried model, dot-separated
  Bytes model_name;   // the model it reaches
  const Json* model;  // that model's object
  uint8_t parent = 0;
  std::span<const Bytes> right_on;  // its right key's dimension names
};

struct Builder {
  Arena& arena;           // the call arena
  Diag* diag;
  Bytes model_name;       // as named by the query
  const Json* model;      // that model's object
  const Json* models;     // the manifest's "models" object
  Array<Field> fields;
  Array<Join> joins;
  Array<Measure> measures;
  Array<JoinNode> nodes = {};  // parallel to joins
  const Json* manifest = nullptr;
  // 0 while planning a query; 1 while planning the values of a dimension
  // defined by a measure, whose measure may not read another such
  // dimension.
  int depth = 0;

  using Kind = PredKind;

  // Fills fields, measures and joins. REQUIRES: the lists are empty.
  [[nodiscard]] Result<void> setup();
  // Appends the dimensions of `m` as fields named prefix.key (or key).
  [[nodiscard]] Result<void> addFields(const Json& m, std::optional<Bytes> prefix, uint8_t alias);
  // The field called `name` for dimension `key` (definition `def`) of the
  // table with alias `alias`.
  [[nodiscard]] Result<Field> fieldOf(Bytes name, Bytes key, const Json& def, uint8_t alias);
  // Reads and checks join `v` of model `parent` (named `parent_name`, alias
  // `parent_alias`), to take alias `alias`; `label` names it in messages.
  // Appends it to joins and nodes.
  [[nodiscard]] Result<void> readJoin(Bytes label, Bytes name, const Json& v, const Json& parent, Bytes parent_name,
                                      uint8_t parent_alias);
  // A name that is no field read as a path: join names followed from the
  // queried model, then a dimension key of the model reached. The joins it
  // passes are read (and get aliases) on first use. None when it is not one.
  [[nodiscard]] Result<std::optional<Field>> pathField(Bytes name);
  // b with its dotted names resolved against the model at b.alias: a name
  // that starts with one of that model's join names is a path (followed
  // from that model) to a dimension of the model reached, whose expression
  // takes its place over that model's alias, or else to a column of its
  // table; `model.key` names the model's own dimension `key`, written in
  // place. Other names, and names in double quotes, stay columns of the
  // model's own table. The result reads one alias, or is kMixedAlias.
  [[nodiscard]] Result<Bound> resolveNames(const Bound& b);
  // The join `name` begins with (its name and a dot), from the model at
  // alias `at` (`m`), read and numbered on first use; its alias, or 0 when
  // no join of `m` begins the name.
  [[nodiscard]] Result<uint8_t> hop(uint8_t at, const Json& m, Bytes name);
  // The dimensions being written in place, innermost last, to refuse
  // cycles.
  struct Inlining {
    uint8_t alias;
    Bytes key;
  };
  Array<Inlining> inlining = {};
  // The expression of field f over its model's alias: its parsed and
  // resolved text, or for a dimension defined by a measure, measureDim.
  [[nodiscard]] Result<Bound> fieldBound(const Field& f);
  // The value of dimension `key` of the model at alias `at`, defined by a
  // measure (`def`): a column of a join from `at` to the answer of a plan
  // that computes the measure per right key of the join its name starts
  // with, or once over the model's whole table. Planned once per (at, key).
  [[nodiscard]] Result<Bound> measureDim(uint8_t at, Bytes key, const Json& def);
  struct MeasureDimAt {
    uint8_t at;
    Bytes key;
    Bound value;
  };
  Array<MeasureDimAt> measure_dims = {};
  // findField, else pathField.
  [[nodiscard]] Result<std::optional<Field>> resolveField(Bytes name);
  // Appends the base model's measures.
  [[nodiscard]] Result<void> loadMeasures();
  // A measure definition whose argument reads the table at alias `at`.
  [[nodiscard]] Result<MeasureDef> measureDef(const Json& d, uint8_t at = 0);
  // The measure called `name`: the queried model's own (findMeasure), or
  // `<path>.<measure>`, a measure of the model the joins of the path reach,
  // added to `measures` on first use under that name (its calculation's
  // references prefixed with the path). None when neither.
  [[nodiscard]] Result<std::optional<uint32_t>> measureNamed(Bytes name);
  // The field `name` as the model at alias `at` names it: its own dimension
  // (`key` or `model.key`), a path from it, or a column of its table.
  [[nodiscard]] Result<std::optional<Bound>> fieldAt(uint8_t at, Bytes name);
  // Dimension `key` (or `model.key`) of the model at alias `at`, written
  // out; none when it has no such dimension.
  [[nodiscard]] Result<std::optional<Bound>> ownDim(uint8_t at, Bytes name);
  // Where a name that begins with a join of the model at `at` leads: the
  // alias reached, what is left of the name, and whether that is one of
  // the reached model's dimensions. None when no join begins the name.
  struct PathEnd {
    uint8_t at;
    Bytes rest;
    bool dimension;
  };
  [[nodiscard]] Result<std::optional<PathEnd>> followPath(uint8_t at, Bytes name);
  // The path `name` from the model at `at` as an expression: the
  // dimension it reaches, else the column of the reached model's table.
  [[nodiscard]] Result<Bound> pathBound(uint8_t at, Bytes name);
  // Whether `name` is a measure of the model at `at` (`key` or
  // `model.key`) or, through a path from it, of the model reached.
  [[nodiscard]] Result<bool> namesMeasure(uint8_t at, Bytes name);
  // Column `key` (or `model.key`) of the table of the model at `at`; none
  // for a name that still holds a dot.
  [[nodiscard]] Result<std::optional<Bound>> columnAt(uint8_t at, Bytes name);

  // Parses `text`; a bad text fails as "cannot parse expression '<text>'".
  [[nodiscard]] Result<Expr> parse(Bytes text);
  // Fails with the type mismatch that the literals of e show.
  std::unexpected<Err> literalMismatch(const Expr& e);
  // The fiscal year's first month after January (0..11), from the query's
  // calendar: FISCAL_YEAR and FISCAL_QUARTER read it from their nodes.
  uint8_t fiscal_start = 0;
  [[nodiscard]] Result<Expr> withCalendar(Expr e);
  // The query's time zone, which every parsed expression reads time in
  // (see zonedExpr), and its name as the query or model gave it.
  std::optional<TimeZone> zone = {};
  const Json* zone_json = nullptr;
  [[nodiscard]] Result<Bound> bind(Bytes text, uint8_t alias);

  // The first field named exactly `name`, or nullptr.
  const Field* findField(Bytes name) const;
  // The first measure named `name`, else the first named what follows a
  // leading model_name + "." in `name`.
  std::optional<uint32_t> findMeasure(Bytes name) const;

  // Plans one element of a query's "filters" array.
  [[nodiscard]] Result<Pred> filter(const Json& f);
  [[nodiscard]] Result<Literal> literal(const Json& v);
  // A field's parsed expression, when `name` is a field.
  [[nodiscard]] Result<std::optional<Bound>> filterDim(Bytes name);
  // A base-table column named `name` or model_name + "." + name.
  [[nodiscard]] Result<std::optional<Bound>> rawColumn(Bytes name);
  // Rejects measures that cannot be used: invalid definitions, and calculated
  // measures with unknown references, cycles or more than 16 levels.
  [[nodiscard]] Result<void> checkMeasure(uint32_t index, uint32_t depth);
  // Fails with "measure 'measure' refers to unknown measure 'ref'", with a
  // suggestion when one of the measures is near.
  std::unexpected<Err> unknownMeasure(Bytes measure, Bytes ref);
  // checkMeasure for a measure derived along time: its base exists, is
  // usable, is not derived itself, and suits the form. Records it in
  // `derived`.
  [[nodiscard]] Result<void> checkDerived(uint32_t index, uint32_t depth);

  // checkMeasure's memory: for each measure, the deepest level at which it
  // was already found usable (-1: not yet). A measure usable at some depth is
  // usable at every shallower one, so shared references are checked once per
  // depth instead of once per path, which keeps wide reference graphs fast.
  int8_t* checked_depth = nullptr;
  size_t checked_len = 0;
  // The alias whose model a measure's filters are planned for: 0, or the
  // model of a measure asked through a path.
  uint8_t home = 0;
  // Aliases read by the filters of the measures checked so far (every
  // measure a query needs is checked).
  uint32_t filter_aliases = 0;
  // While a measure's own filters are planned: that measure.
  std::optional<uint32_t> filtering = std::nullopt;
  // The measures derived along time that the query needs, in the order
  // they were first checked.
  Array<uint32_t> derived = {};
  // The totals the query needs, in the order they were first checked.
  Array<uint32_t> totals = {};
  // The ranks the query needs, likewise.
  Array<uint32_t> ranks = {};
  // checkMeasure for a rank: its base is usable and not derived along time.
  [[nodiscard]] Result<void> checkRank(uint32_t index, uint32_t depth);
  // checkMeasure for a total: its base is an aggregate measure of the
  // queried model. Records it in `totals`.
  [[nodiscard]] Result<void> checkTotal(uint32_t index, uint32_t depth);

  // The join path to the model at `home` while a segment of that model is
  // planned: its measures are named through it.
  Bytes home_path = {};
  // While a segment is planned.
  bool segmenting = false;
  // While a model's where is planned: its names are the model's own, at
  // the queried model too.
  bool scoped = false;
  // The model's `where` at alias `at` (the queried model at 0), planned
  // over that alias alone: rows failing it are no rows of the model.
  [[nodiscard]] Result<std::span<const Pred>> rowFilters(uint8_t at);
  // Appends the filters of segment `name` (the queried model's own, or
  // `<path>.<segment>` of a model the path reaches) to where and having.
  [[nodiscard]] Result<void> segment(Bytes name, Array<Pred>& where, Array<Pred>& having);
};

// Reads a query's time_range into `out` (all but its bound): "start" and
// "end" texts, or a range relative to the query's "now" ({"last": N,
// "unit": U, "complete": bool}, {"this": U}, {"previous": U}, {"to_date":
// U}), written as the texts of the same instants.
struct Calendar {
  uint8_t week_start = 0;    // 0 Monday .. 6 Sunday
  uint8_t fiscal_start = 0;  // the fiscal year's first month after January, 0..11
};
[[nodiscard]] Result<void> readTimeRange(Arena& arena, Diag& diag, const Json& query, const Json& tr, Range& out,
                                        const Calendar& calendar, const std::optional<TimeZone>& zone);

// The query's "time_zone", else the model's (none without either), and
// the Json that named it in *name. Invalid for a name that is no zone.
[[nodiscard]] Result<std::optional<TimeZone>> readTimeZone(const Json& query, const Json& model, Diag& diag,
                                                           const Json** name);
// e reading time in zone z: each date part's operand is its wall-clock
// time there (a local node), and each text compared with a non-literal
// (by =, <>, <, <=, >, >= or in a list of literals) becomes a zoned_text
// on the right of its comparison, carrying the instant it names there.
[[nodiscard]] Result<Expr> zonedExpr(Arena& arena, Expr e, const TimeZone& z);
// b's value as a wall-clock time in z.
[[nodiscard]] Result<Bound> localBound(Arena& arena, const Bound& b, const TimeZone& z);
// The instant of the wall-clock text `text` in z, when it is a timestamp
// text whose instant lies within the years 0 to 9999.
std::optional<int64_t> zonedInstantOf(Bytes text, const TimeZone& z);
// The query's calendar: each of "week_start" (a weekday's name) and
// "fiscal_year_start" (a month, 1..12) from the model's calendar, else the
// manifest's; Monday and January without either.
[[nodiscard]] Result<Calendar> readCalendar(const Json& manifest, const Json& model, Diag& diag);

struct Plan;
// Fills plan.fan, fanned, base_key and the needed joins' keys, and refuses
// what a query across many-joins cannot ask.
[[nodiscard]] Result<void> planFanOut(Builder& b, Plan& plan);

}  // namespace quendra
