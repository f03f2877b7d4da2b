// What the model reader makes of one model of the manifest: fields
// (dimensions, including those reached through joins), joins and measures.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "base/bytes.h"
#include "base/grain.h"
#include "base/json.h"
#include "expr/expr.h"

namespace quendra {

// Joins take aliases 1..kMaxJoins; alias 0 is the base table. Alias sets are
// 32-bit masks, bit k for alias k.
constexpr int kMaxJoins = 30;
// Dimensions in one join key, on each side.
constexpr int kMaxKeyParts = 8;

// Alias of an expression that reads columns of several tables: each of its
// identifiers names its own (see Node).
constexpr uint8_t kMixedAlias = 0xFF;

// A parsed expression whose identifiers name columns of the table `alias`
// designates (or, under kMixedAlias, each of the table its node names).
struct Bound {
  Expr e;
  uint8_t alias = 0;
};

// The aliases b reads, as a mask.
uint32_t aliasesOf(const Bound& b);

// One dimension available to queries.
struct Field {
  Bytes name;                     // key, or prefix + "." + key
  Bytes expr;                     // expression text, parsed only when used
  std::optional<Bytes> smallest;  // smallest_time_grain text, unvalidated
  uint8_t alias = 0;
  bool time = false;
  // Defined by a measure (`{"measure": ...}`) rather than an expression:
  // `key` is the dimension's name in its model, and expr is empty.
  bool by_measure = false;
  Bytes key;
};

struct Plan;
struct Pred;

// A join from the base table, or from a table joined before it (its
// parent): a join through joined models. Keys have one to kMaxKeyParts
// parts; a row matches when every part is equal. A `one` join matches at
// most one row (its right key is unique); a `many` join matches any number,
// and a parent row with n matches stands for n rows of the query.
struct Join {
  Bytes table;                   // the joined model's table
  std::span<const Bound> left;   // key parts over the parent's table (alias `parent`)
  std::span<const Bound> right;  // key parts over the joined table (the join's alias)
  uint8_t alias = 0;
  uint8_t parent = 0;            // 0: the base table; always below alias
  bool many = false;
  Bytes path;                    // the join names from the queried model, dot-separated
  // The joined model's primary key over this alias, read when a query
  // counts that model's rows across a many-join; empty until then.
  std::span<const Bound> key;
  // A join to the answer of another plan instead of a table: the values of
  // a dimension defined by a measure, one row per right key (columns k0..,
  // then v). Without key parts, that answer is one row joined to every row.
  const Plan* sub = nullptr;
  // The joined model's `where`, over this alias: a right row failing it
  // matches nothing.
  std::span<const Pred> where;
};

enum class AggFn : uint8_t {
  sum = 0,
  mean = 1,
  min = 2,
  max = 3,
  count = 4,
  nunique = 5,
  median = 6,
  percentile = 7,  // continuous, at Agg::p
  stddev = 8,      // sample
  variance = 9,    // sample
};

// The statistical aggregates: numeric argument, float result.
inline bool isStatistic(AggFn f) { return f >= AggFn::median; }

struct Pred;

struct Agg {
  std::optional<Bound> arg;  // one value per base row (paths read joined columns); none for COUNT(*)
  AggFn func = AggFn::count;
  double p = 0.5;  // median and percentile: the fraction of the way up
  // The measure's own row filters: it aggregates only the selected rows
  // where every one is true. Planned from `filters_json` when a query first
  // uses the measure, so a measure nobody asks for costs nothing.
  const Json* filters_json = nullptr;
  std::span<const Pred> filters;
  // Whether the filters are planned and the argument's paths resolved.
  bool filters_planned = false;
};

// A measure derived from another along the query's time dimension: its
// value some periods earlier, its running total, or its total over a
// trailing window of periods.
struct Derived {
  enum class Form : uint8_t { offset, running, trailing };
  Form form = Form::offset;
  Bytes base;             // the measure it derives from, as named
  int64_t n = 0;          // offset, trailing: how many units
  Grain unit = Grain::day;  // offset, trailing: the unit; running: where it restarts
  bool fiscal = false;      // the unit is a quarter or year of the fiscal calendar
  bool resets = false;    // running: restarts at each unit
};

// A measure at a coarser grain than the query's: another aggregate measure
// over all of the query's rows after its row filters, or over each
// partition of them by some of the query's dimensions, every group taking
// its partition's value.
struct Total {
  Bytes base;                    // the aggregate measure, as named
  std::span<const Bytes> dims;   // dimension names as queries name them; empty: all rows
  uint32_t base_index = 0;       // set when checked
  uint64_t mask = 0;             // set per query: the query's dimensions that partition
};

// A measure's rank among the query's groups (RANK(): ties share a rank and
// the next leaves a gap; nulls last), within partitions by some of the
// query's dimensions.
struct Rank {
  Bytes base;                     // the measure ranked, as named
  std::span<const Bytes> within;  // dimension names as queries name them; empty: all groups
  bool desc = true;
  uint32_t base_index = 0;        // set when checked
  uint64_t mask = 0;              // set per query: the query's dimensions that partition
};

// A measure's definition: an aggregate, a calculation over other measures,
// the reason it cannot be used (reported only when a query uses it), a
// measure derived from another along time, a total of another, or a rank.
struct MeasureDef {
  enum class Tag : uint8_t { agg, calc, invalid, derived, total, rank };
  Tag tag = Tag::invalid;
  Agg agg;          // tag agg
  Expr calc;        // tag calc: identifiers name other measures
  Bytes invalid;    // tag invalid
  Derived derived;  // tag derived
  Total total;      // tag total
  Rank rank;        // tag rank
};

struct Measure {
  Bytes name;
  MeasureDef def;
  // The alias of the model whose rows it aggregates: 0 for the queried
  // model's own measures, the join's alias for a measure asked through a
  // path (`orders.total_price`), which counts each of that model's rows
  // once however many rows of the query share it.
  uint8_t over = 0;
};

// A dimension definition's expression text: the definition itself when it is
// a string, its "expr" member when that is a string, else none.
std::optional<Bytes> dimExprText(const Json& def);
// The measure name of a dimension defined by a measure: its "measure" member
// when it is an object with one and without "expr", else nullptr.
const Json* dimMeasure(const Json& def);

}  // namespace quendra
