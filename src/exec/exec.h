// The executor frame: everything one in-memory query shares while it runs
// a plan over the bound tables, and the steps' entry points.
//
// The executor works a whole column at a time. Every vector, index list and
// map it builds lives in the call arena, which the next query resets; it
// never frees anything itself and never copies a bound column. Row and
// group indices are u32, with kMissingRow standing for "no row".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <span>

#include "base/arena.h"
#include "base/array.h"
#include "base/bytes.h"
#include "base/hash.h"
#include "exec/group.h"
#include "plan/diag.h"
#include "plan/plan.h"
#include "vec/eval.h"
#include "vec/vec.h"

namespace quendra {

class KeyMap;

// A vector's kind as messages name it ("integer", "float", "boolean",
// "text", "date", "timestamp"), or "null" for a null scalar, which stands
// for a null of any kind.
Bytes kindWord(const Vec& v);

// In a join index: the base row has no match. In a first-row list: the
// group has no row. gather turns it into a null.
constexpr uint32_t kMissingRow = 0xFFFFFFFF;

// A row list of one missing row: a frame over it has one position, whose
// every column is null. It stands in where no row is left, so that
// expressions are still evaluated once and their faults reported.
inline constexpr uint32_t kNullRow[1] = {kMissingRow};

// One slot per alias that a 32-bit alias mask can name.
constexpr int kAliasSlots = 32;

namespace exec {

// A bound table as the executor sees it: views, nothing copied. Column i is
// called names[i]; the first of two equal names wins.
// What queries keep for later ones over the same bound tables: the join
// maps of their key columns, in an arena of its own, dropped whenever a
// column is bound or the tables are cleared, and never more than `left`
// bytes of it.
struct Keep {
  static constexpr size_t kBudget = size_t{256} << 20;
  Arena arena;
  size_t left = kBudget;
};

struct Table {
  std::span<const Bytes> names;
  std::span<const Vec> cols;
  size_t nrows = 0;
  std::span<const ColStats> stats;  // parallel to cols, or empty
  Keep* keep = nullptr;             // where maps of its columns may be kept
};

// The answer of one query: the plan's output names, one column per name,
// nrows rows. Columns live in the call arena.
struct Result {
  std::span<const Bytes> names;
  std::span<const Vec> cols;
  size_t nrows = 0;
};

}  // namespace exec

using Tables = BytesMap<exec::Table>;

// One resolved column of the query, at most one per (alias, name).
struct Cached {
  Bytes name;
  Vec v;
  uint8_t alias = 0;
  // A column's domain instead (see Exec::domainOf): v its values, and per
  // position the entry of its value.
  const uint32_t* code = nullptr;
  bool reads_null = false;
};

// What a subtree of an expression reads, for evaluating it once per value
// of its column: `col` is the node of an identifier naming its one column
// (-1: no column, -2: several, -3: not worked out yet); `costly` whether it
// does work per row that a look-up is cheaper than.
struct Reads {
  int32_t col = -3;
  bool costly = false;
};

// What subtree i of e reads (identifiers read at `own` unless a path
// names their table), memoised in memo (one entry per node, from
// freshReads).
Reads readsOf(const Expr& e, uint32_t i, uint8_t own, Reads* memo);
[[nodiscard]] EvalResult<Reads*> freshReads(Arena& arena, const Expr& e);

// The one dimension of a query, kept in a cheaper form for as long as
// grouping can number it that way (`streamed`): a column of a joined table
// as that column and the join's index list instead of a copy gathered per
// base row, or a time dimension at a grain of a day or coarser as its
// values before truncation.
struct LazyDim {
  enum class Form : uint8_t { joined, grain };
  Form form = Form::joined;
  const Dim* dim = nullptr;
  const ColStats* stats = nullptr;  // grain: of the untruncated column
  Vec v;  // joined: the joined table's column; grain: the untruncated values
  const uint32_t* join = nullptr;
  bool streamed = false;
  // grain: the zone whose wall-clock time v's instants are read in (none:
  // as they are).
  const TimeZone* zone = nullptr;
};

// A dimension worked out per value of its one column: per position the
// column value's entry (`at`), per entry the code of the dimension's answer
// (`code`, 0 for null), and per code that answer (`values`).
struct ValueCodes {
  const uint32_t* at = nullptr;
  const uint32_t* code = nullptr;
  size_t entries = 0;
  uint32_t width = 0;
  Vec values;
};

// How the rows are grouped (see Exec::chooseGrouping).
struct Grouping {
  // What the grouping dimensions hold instead of their values.
  enum class Coded : uint8_t { no, by_case, by_dict, by_join, by_values };
  size_t nk = 0;               // grouping dimensions
  uint32_t* key = nullptr;     // the plan's index of each
  bool* dep = nullptr;         // per plan dimension: determined by others, read per group
  Vec* dims = nullptr;         // per grouping dimension: values, or codes as `coded` says
  Coded* coded = nullptr;
  ValueCodes* values = nullptr;  // by_values: how its codes are read
  LazyDim lazy;                // the one dimension, while still in its cheaper form
  bool is_lazy = false;
  std::span<Vec> by;           // what grouping numbers: dims, or the one column `combined`
  Vec combined;                // several dimensions' codes as one
  ColStats range;              // the range of codes, when they are codes
  const ColStats* stats = nullptr;  // what is known of a single grouping column
  // Whether grouping numbers the dimensions themselves, so that its keys are theirs.
  bool ownKeys() const { return by.data() == dims; }
};

// One step of a composite key whose codes so far leave few right rows
// each: per code so far, the list of its (part code, new code) pairs.
struct PairGroups {
  const uint32_t* start = nullptr;  // per code so far: its first entry
  const uint32_t* end = nullptr;    // per code so far: past its last entry
  const uint32_t* part = nullptr;   // per entry: the part's code
  const uint32_t* to = nullptr;     // per entry: the pair's code
  uint32_t count = 0;               // pairs
  // The most right rows one code so far may have for its pairs to be
  // listed; tests set 0 to reach the hashed form with small tables.
  static inline uint32_t max_group = 32;
  static void setMaxGroupForTesting(uint32_t n) { max_group = n; }
  // The code of the pair (acc, c); 0 when no right row has it.
  uint32_t find(uint32_t acc, uint32_t c) const {
    for (uint32_t e = start[acc]; e < end[acc]; ++e)
      if (part[e] == c) return to[e];
    return 0;
  }
};

// A composite key's right side, for looking up parent rows as they are
// needed: each part's right values numbered densely from 1, each further
// part's (code so far, code of the part) pairs numbered again, and the
// right row of each final code.
struct CompositeKey {
  std::span<const Vec> lks;       // the left key's parts over the parent's rows
  KeyMap** ints = nullptr;        // per part: integer value -> code (none live: nullptr)
  BytesMap<uint32_t>** strs = nullptr;  // per part: text value -> code
  KeyMap** pairs = nullptr;       // per part from the second on: pair -> code (hashed)
  PairGroups** groups = nullptr;  // or, per part, the pairs listed by code so far
  const uint32_t* row_of = nullptr;  // final code -> right row; [0] the marker
  size_t parent_rows = 0;         // rows of the parent's table
  bool live = false;              // some right row has every part non-null
};

// How a join finds the right row of a parent row (a base row, or a row of
// the joined table the join goes through): a map of the right key looked up
// with the left key at that row.
struct JoinStep {
  const uint32_t* idx = nullptr;        // right row per parent row, once made whole
  const CompositeKey* comp = nullptr;    // composite keys
  const KeyMap* ints = nullptr;          // integer key -> right row + 1 (none live: nullptr)
  BytesMap<uint32_t>* strs = nullptr;    // text key -> right row
  // A text key read from a column with a dictionary: per parent row its
  // value's code, and per code the right row (kMissingRow: none).
  const uint16_t* lcodes = nullptr;
  const uint32_t* code_row = nullptr;
  Vec lk;                                // left key over the parent's rows
  // Many-joins: per right row, the next right row with an equal key
  // (kMissingRow after the last); the maps give each key's first row.
  const uint32_t* next = nullptr;
  uint8_t parent = 0;
  bool ready = false;
};

struct Exec {
  Arena& arena;
  Diag& diag;
  Plan plan;
  exec::Table base;
  std::optional<exec::Table> right[kAliasSlots];
  // Slot k, once a step has needed it whole: one entry per position, the
  // matching row of right[k] or kMissingRow. Until then rows are looked up
  // only for the positions a step reads (joinRows), so that filters decide
  // first which rows are worth joining.
  const uint32_t* join_idx[kAliasSlots] = {};
  JoinStep steps[kAliasSlots];
  // The most positions whose rows of join k were looked up (at most one
  // selection, ascending), with the right row of each.
  struct Probe {
    Sel sel;
    const uint32_t* rows = nullptr;
  };
  Probe probed[kAliasSlots];
  Array<Cached> cache;
  // One per plan measure: its per-group value once computed.
  std::optional<Vec>* measure_vals = nullptr;
  size_t ngroups = 0;
  // The selected base rows and, per selected row, its group (nullptr when
  // every row is in group 0, as in a query without dimensions).
  Sel sel;
  const uint32_t* gid = nullptr;
  // Selected rows per group, once an aggregate has needed them.
  const int64_t* group_sizes = nullptr;
  // Measures derived along time need every row's group after grouping.
  bool keep_gid = false;
  // When set, range predicates start here instead of at their own start:
  // the earliest instant that the derived measures read.
  std::optional<int64_t> range_from;
  // When set, the frame's positions are rows of the bound table: position i
  // reads base row rows[i] (kMissingRow reads nulls), base.nrows counts the
  // positions and join_idx[] is per position. Set once filters have left
  // few rows, so that everything after them works on those rows alone.
  const uint32_t* rows = nullptr;
  // Where columns that go out as they are may be written: the exported
  // result's own memory (nullptr: arena). Set with out_dims, which marks
  // the grouping dimensions whose per-group values are output unchanged,
  // and out_measures, the measures whose accumulators are.
  Arena* out = nullptr;
  const bool* out_dims = nullptr;
  const bool* out_measures = nullptr;
  // Whether grouping must list each group's first row (for dimensions read
  // per group, or gathered from a group's first row).
  bool need_first = true;

  // Rows of the bound base table (base.nrows counts the frame's positions
  // once `rows` is set).
  size_t base_rows = 0;

  Exec(Arena& a, Diag& d, const Plan& p, const exec::Table& t) : arena(a), diag(d), plan(p), base(t), base_rows(t.nrows) {}

  // Identifiers as columns of the table `alias` denotes, one value per base
  // row (joined columns gathered once and cached).
  struct Cx {
    Exec& ex;
    uint8_t alias;
    // Per node of the expression being read, what domainShortcut found of
    // it (see Reads); allocated on first use.
    Reads* reads = nullptr;
    const Node* reads_of = nullptr;
    [[nodiscard]] EvalResult<Vec> resolve(Bytes name);
    [[nodiscard]] EvalResult<Vec> resolveAt(uint8_t at, Bytes name) { return Cx{ex, at}.resolve(name); }
    // A subtree over one column of few distinct values, evaluated once per
    // value and looked up per position; nullopt to evaluate it as usual.
    [[nodiscard]] EvalResult<std::optional<Vec>> shortcut(const Expr& e, uint32_t i) {
      return ex.domainShortcut(*this, e, i);
    }
    void note(const Expr& e, uint32_t i, std::span<const Vec> ops) { ex.met.take(e, i, ops); }
  };
  // Identifiers as other measures of the plan, one value per group.
  struct MCx {
    Exec& ex;
    uint8_t depth;
    [[nodiscard]] EvalResult<Vec> resolve(Bytes name);
    void note(const Expr& e, uint32_t i, std::span<const Vec> ops) { ex.met.take(e, i, ops); }
  };
  // What the last failed kernel of an expression met, until lift reports
  // it: the node and the kinds of up to kOps operands.
  struct Met {
    static constexpr size_t kOps = 8;
    static constexpr uint8_t kNull = 0xFF;  // a null scalar, of no kind
    Expr e;
    uint32_t node = 0;
    uint8_t n = 0;
    uint8_t kinds[kOps] = {};
    bool set = false;
    // The failure is a referenced measure's, whose message is recorded.
    bool recorded = false;
    void take(const Expr& x, uint32_t i, std::span<const Vec> ops);
  };
  Met met;

  // A copy of this frame: its joins, positions, selection and groups,
  // with a cache of resolved columns of its own, so that what the copy
  // changes (compacting, expanding, grouping again) leaves this one as is.
  Exec fork() const {
    Exec copy = *this;
    copy.cache = Array<Cached>{};
    return copy;
  }
  // Evaluates b over every base row under its alias; failures are reported.
  [[nodiscard]] Result<Vec> evalBound(const Bound& b);
  // Reports an evaluation error and returns its kind: TypeMismatch and
  // BadLiteral record their messages, with the expression and the kinds it
  // met when an evaluation took note of them (see Met); UnknownColumn keeps
  // what column resolution stored; OutOfMemory records nothing.
  Err lift(EvalErr e);
  // Records TypeMismatch or BadLiteral (as Invalid) with its words, then
  // ": " before 'name' after and, unless empty, " (" kinds ")"; only the
  // words when the message cannot be allocated. Returns Invalid.
  Err report(EvalErr e, Bytes before, Bytes name, Bytes after, Bytes kinds);
  // Reports comparison c failing (e) on its left side `left`: the filter's
  // field and the kinds compared.
  Err cmpFailed(EvalErr e, const Cmp& c, const Vec& left);
  // As lift, except that UnknownColumn yields the kind already recorded (or
  // UnknownField when none is).
  Err liftOrKeep(EvalErr e);
  // The per-group value of plans.measures[idx]: an aggregate computed
  // earlier, or a calculated measure, evaluated on first use and kept.
  [[nodiscard]] Result<Vec> measureVec(uint32_t idx, uint8_t depth);

  // Reads every row-level expression the query evaluates (where
  // predicates, dimensions with their grains, the arguments and filters of
  // the aggregates marked in needed) once over a row of nulls, so that a
  // literal that does not suit its column's kind, or operands of mismatched
  // kinds, fail whatever rows the tables hold or the filters leave. Needs
  // the joins built; changes nothing in this frame.
  [[nodiscard]] Result<void> checkKinds(const bool* needed);
  // Expands the frame through many-join k (whose parent's rows the frame
  // already has): each position becomes one position per matching row of
  // k's table, or one with none (the rows a LEFT JOIN forms). Returns, per
  // new position, the position it came from.
  // REQUIRES: the frame's positions all selected, no step reading k yet.
  [[nodiscard]] Result<const uint32_t*> expand(uint8_t k);
  // The tables of joins to the answers of other plans (dimensions defined
  // by measures), each computed on first use.
  struct SubTable {
    const Plan* plan;
    const exec::Table* table;
  };
  Array<SubTable> sub_tables;
  // Joins to a plan's answers per key that wait for the query's filters:
  // until then their table holds no row (its columns' kinds are right), and
  // once the filters that read none of them have run, they hold the keys
  // of the rows left (subAnswers), computed from those keys' rows alone.
  uint32_t deferred = 0;
  // The sub-plan rows a join being filled reads (nullptr: all of them).
  const Sel* sub_within = nullptr;
  [[nodiscard]] Result<const exec::Table*> subTable(const Plan& sub, const Tables& tables, uint8_t alias);
  // Fills right[] and steps[] for every join the plan uses in `only`.
  [[nodiscard]] Result<void> buildJoins(const Tables& tables, uint32_t only = ~0u);
  // The joins to answers per key that can wait for the filters.
  uint32_t deferrableSubs() const;
  // Fills the deferred joins for the positions `sel` keeps.
  [[nodiscard]] Result<void> subAnswers(const Tables& tables, Sel sel);
  // The right rows of join k for the positions `at` (all of them when it
  // is "all"), one per entry.
  [[nodiscard]] Result<const uint32_t*> joinRows(uint8_t k, Sel at);
  // joinRows without the reuse of earlier look-ups.
  [[nodiscard]] Result<const uint32_t*> lookUp(uint8_t k, Sel at);
  // join_idx[k], made on first use.
  [[nodiscard]] Result<const uint32_t*> joinIdx(uint8_t k);
  // One boolean per base row (where) or per group (having), or a scalar.
  [[nodiscard]] Result<Vec> evalPred(const Pred& p);
  // The rows of sel (over the base rows) for which where-predicate p holds.
  // Each predicate is evaluated over the rows still selected, or once per
  // row of a joined table when that table is the smaller.
  [[nodiscard]] Result<Sel> narrow(const Pred& p, Sel sel);
  // True when p compares a column of a bound table (the base table's or a
  // joined one's) with literals that suit it: cheap, and sure not to fail.
  bool cheap(const Pred& p) const;
  // Per row of table t (a predicate q over it as its base), whether q
  // holds; *keep_missing: whether it holds over a row of nulls.
  [[nodiscard]] Result<const uint8_t*> keepMask(const Pred& q, const exec::Table& t, bool* keep_missing);
  // The rows of sel whose row of join a is kept (keep_missing: without
  // one).
  [[nodiscard]] Result<Sel> keepJoined(uint8_t a, Sel sel, const uint8_t* keep, bool keep_missing);
  // narrow for comparisons on join a's table and the tables joined from
  // it: one keep mask over a's rows, then one look-up per selected row.
  [[nodiscard]] Result<Sel> narrowJoined(uint8_t a, std::span<const Pred*> ps, Sel sel);
  // narrow for each of ps in turn (an AND).
  [[nodiscard]] Result<Sel> narrowList(std::span<const Pred> ps, Sel sel);
  // Two comparisons of one column of the bound table with literals, in one
  // pass where they make an interval; nullopt when they do not.
  [[nodiscard]] Result<std::optional<Sel>> narrowPair(const Pred& p1, const Pred& p2, Sel sel);
  // Marks in dep the dimensions that others determine, which grouping can
  // leave out: plain columns of a joined table whose row is fixed by a
  // dimension that is the join's key (its left key column, or the joined
  // table's unique right key column), or by such a table's own row through
  // a join from it. None for measures derived along time (`timed`).
  void markDetermined(bool timed, bool* dep) const;
  // b evaluated at the given positions (kMissingRow: nulls), one value each.
  [[nodiscard]] Result<Vec> evalAt(const Bound& b, std::span<const uint32_t> at);
  // Makes the rows of sel the frame's positions (see `rows`).
  [[nodiscard]] Result<void> compact(Sel sel);
  // narrow for a predicate on one table, evaluated over this frame's
  // positions: comparisons of a column with a literal keep rows straight
  // from the column, anything else goes through a boolean vector.
  [[nodiscard]] Result<Sel> narrowHere(const Pred& p, Sel sel);
  // The rows of sel (into out) that a comparison of the column left with
  // literals keeps, read straight from the column; nullopt when the
  // comparison has no such path.
  [[nodiscard]] Result<std::optional<size_t>> keepDirect(const Cmp& c, const Vec& left, Sel sel, uint32_t* out);
  // The stats (zones, days) of b's column when b is nothing but a column of
  // the bound table that this frame's positions are.
  const ColStats* rowStats(const Bound& b) const;
  // The start and end instants of a range (the end past a whole last day),
  // from range_from when set; bad texts are reported.
  [[nodiscard]] Result<std::pair<int64_t, int64_t>> rangeEnds(const Range& r, Kind kind);
  // The argument of an aggregate over every base row (none for count(*)),
  // checked to suit the aggregate; failures are reported.
  [[nodiscard]] Result<std::optional<Vec>> aggArg(const Agg& a);
  // The argument of a measure with filters: v (or, for count(*), a 1) as a
  // column over the base rows, null where the filters are not all true.
  [[nodiscard]] Result<Vec> filteredArg(const Agg& a, const std::optional<Vec>& v);
  // v (or, for count(*), a 1) as a column over the base rows, null where
  // the bool vector keep is not true.
  [[nodiscard]] Result<Vec> keepOnly(const std::optional<Vec>& v, const Vec& keep);
  // An evaluation result, its error lifted into a report.
  template <class T>
  [[nodiscard]] Result<T> liftEval(EvalResult<T> r) {
    if (!r) return std::unexpected(lift(r.error()));
    return *r;
  }
  // The per-group value of an aggregate over sel and gid.
  [[nodiscard]] Result<Vec> aggregate(const Agg& a, const Vec* v);
  // aggregate over the rows of join k's table instead (k 0: of the base
  // table): each of them once per group however many selected positions
  // share it, and none for positions without a match. v is over the
  // positions, as for aggregate.
  // REQUIRES: gid kept (keep_gid) when there are several groups.
  [[nodiscard]] Result<Vec> aggregateOver(const Agg& a, const Vec* v, uint8_t k);
  // Groups the selected rows by dims and computes every aggregate measure
  // marked in needed, from its argument in args, into measure_vals. Sets
  // sel, ngroups, gid (which stays nullptr when no aggregate needs a
  // per-row group list) and group_sizes.
  // With `lazy`, dims holds one dimension, which is only evaluated into
  // dims[0] when grouping cannot number the lazy form. `stats`: the bound
  // stats of a single dimension's column, when it is one.
  [[nodiscard]] Result<Groups> groupAndAggregate(std::span<Vec> dims, Sel s, const bool* needed,
                                                 const std::optional<Vec>* args, LazyDim* lazy,
                                                 const ColStats* stats);
  // The grouping of the frame's positions by the plan's dimensions, each
  // in the form grouping numbers cheapest (see Grouping); dimensions are
  // evaluated here, in order.
  [[nodiscard]] Result<Grouping*> chooseGrouping(bool timed);
  // The grouping dimensions' output columns (into cols at their plan
  // index), one value per group, as grouping left them.
  [[nodiscard]] Result<void> keyColumns(const Grouping& g, const Groups& groups, Vec* cols);
  // For a CASE whose values are all literals of one kind: per base row, the
  // number of the first branch with its value that the row takes (ELSE and
  // no branch: the number of branches). Grouping by it groups by the value.
  // nullopt for any other expression.
  [[nodiscard]] Result<std::optional<Vec>> caseCodes(const Bound& b);
  // An expression over one column with few distinct values: per position
  // the entry of its value among them. See domain.cc.
  struct Domain {
    const uint32_t* code = nullptr;  // per position
    Vec values;                      // the column's possible values, then a null
    bool reads_null = false;         // whether some position's entry is the null
    // Tests take every domain, however few the positions.
    static inline bool forced = false;
    static void forceForTesting(bool on) { forced = on; }
  };
  // The domain of the column `name` of the table at alias; nullopt when it
  // has too many values or is not a bound column.
  [[nodiscard]] Result<std::optional<Domain>> domainOf(uint8_t alias, Bytes name, bool costly);
  // The number of values domainOf would take (0: none), and the column.
  uint64_t domainSize(uint8_t alias, Bytes name, bool costly, const Vec** col, const ColStats** stats) const;
  // An AND of several conditions narrowed one condition at a time, the
  // cheapest first, each over the rows the earlier ones kept; nullopt when
  // p is no such AND.
  [[nodiscard]] Result<std::optional<Sel>> narrowConjuncts(const Pred& p, Sel sel);
  // The m values of a domain's column, then a null.
  [[nodiscard]] Result<Vec> domainValues(const Vec& col, const ColStats& st, uint64_t m);
  // A filter over one base column of few values: the condition worked out
  // per value, and the positions of sel whose value passes; nullopt for
  // any other filter.
  [[nodiscard]] Result<std::optional<Sel>> domainFilter(const Pred& p, Sel sel);
  // Per position, the entry of r (one per domain entry) its code names.
  [[nodiscard]] EvalResult<Vec> answersAt(const Vec& r, const Domain& d);
  // A range's mask over the frame's positions: once per day, then looked
  // up by each position's day, when its column is a date of few days.
  [[nodiscard]] Result<Vec> rangeMask(const Pred& p);
  // The value of each domain entry under the subtree i of e (whose one
  // column the domain is); nullopt when evaluating it fails, which leaves
  // the failure to the evaluation per position.
  [[nodiscard]] EvalResult<std::optional<Vec>> overDomain(const Expr& e, uint32_t i, const Domain& d);
  // Subtree i of e answered per value of the one column it reads, one
  // answer per position; nullopt to evaluate it as usual. What each node
  // reads is worked out once per expression, in cx.
  [[nodiscard]] EvalResult<std::optional<Vec>> domainShortcut(Cx& cx, const Expr& e, uint32_t i);
  // For a grouping dimension over one column of few values: its answers
  // numbered per value of the column (see ValueCodes); false otherwise.
  [[nodiscard]] Result<bool> valueCodes(const Dim& d, ValueCodes* out);
  // Their codes per position (a joined dimension's too: a position
  // without a joined row takes code 0).
  [[nodiscard]] Result<Vec> valueCodesAt(const ValueCodes& v);
  // The stats of b's column (and the column, in *col) when b is nothing but
  // a column of the base table or of a joined one; nullptr otherwise.
  const ColStats* columnStats(const Bound& b, const Vec** col) const;
  // For a column of a bound table with a dictionary: per position
  // the code of its value (null where the value is), numbered 0 up to the
  // dictionary's size. nullopt for any other expression.
  [[nodiscard]] Result<std::optional<Vec>> dictCodes(const Bound& b);
  // For a text column of a joined table with far fewer rows than the
  // positions: the code each of that table's rows has among its values
  // (0: null) as `code`, the joined row of each position as `at`
  // (kMissingRow: none, code 0), and the number of codes as `width`.
  // False otherwise.
  [[nodiscard]] Result<bool> joinedCodes(const Bound& b, ValueCodes* out);
  // The values of the codes dictCodes gave (one per group).
  [[nodiscard]] Result<Vec> dictValues(const Bound& b, const Vec& codes);
  // The CASE's values for the codes caseCodes gave (one per group).
  [[nodiscard]] Result<Vec> caseValues(const Bound& b, const Vec& codes);
  // The earliest instant the plan's derived measures read, for a range
  // over the query's time dimension; INT64_MIN for a running total from
  // the first row.
  [[nodiscard]] Result<int64_t> widenedStart(const Range& r);
  // Computes every derived measure of the plan into measure_vals, over the
  // groups whose output dimension columns are dims (grouped with a per-row
  // group list). `in_range`, when given, marks the query's own rows: the
  // groups without one are cleared in `answered`.
  [[nodiscard]] Result<void> deriveMeasures(std::span<const Vec> dims, const Vec* in_range, uint8_t* answered);
  // The joined table's column when b is nothing but a column of a joined
  // table; nullopt otherwise.
  std::optional<Vec> joinedColumn(const Bound& b) const;
  // The bound stats of the base table's column when b is nothing but one;
  // nullptr otherwise.
  const ColStats* baseStats(const Bound& b) const;
};

// The right rows of positions `at` read from the earlier look-up pr, into
// out; false when some position of `at` is not among pr's.
bool fromProbe(const Exec::Probe& pr, Sel at, uint32_t* out);

// Narrows sel (over n positions) to the true, non-null positions of mask.
[[nodiscard]] Result<Sel> keepTrue(Exec& ex, Sel sel, const Vec& mask, size_t n);

// One comparison of a filter as a boolean vector over left's rows.
[[nodiscard]] EvalResult<Vec> cmpVec(Arena& arena, const Cmp& c, const Vec& left);

// The names joined with ", ".
[[nodiscard]] Result<Bytes> joinNames(Arena& arena, std::span<const Bytes> names);

// The values of v at the positions in idx (kMissingRow gives a null), as a
// new non-scalar vector of v's kind; strings are copied into one buffer.
// A scalar v is read at position 0. OutOfMemory also when the gathered
// strings' total length cannot be represented.
[[nodiscard]] EvalResult<Vec> gather(Arena& arena, const Vec& v, std::span<const uint32_t> idx);


// Runs the plan over the bound tables. The result's columns live in arena;
// a failure's kind is returned and its message left in diag.
// With `out`, columns of the result that need no conversion may be written
// there instead (see Exec::out).
// With `within`, only those base rows (ascending) are read.
[[nodiscard]] Result<exec::Result> execute(Arena& arena, const Plan& plan, const Tables& tables, Diag& diag,
                                           Arena* out = nullptr, const Sel* within = nullptr);

}  // namespace quendra
