// Plan: the checked, fully resolved description of one query, consumed by
// both the SQL writer and the in-memory executor.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "base/arena.h"
#include "base/bytes.h"
#include "base/grain.h"
#include "base/json.h"
#include "plan/diag.h"
#include "plan/model.h"
#include "plan/pred.h"
#include "time/zone.h"

namespace quendra {

struct Dim {
  Bytes name;                  // as written in the query
  Bound b;
  bool time = false;
  std::optional<Grain> grain;  // none: the raw value
  bool fiscal = false;         // the grain is a quarter or year of the fiscal calendar
};

struct Order {
  uint32_t out_index = 0;  // output column
  bool desc = false;
};

struct Plan {
  Bytes model;
  Bytes table;
  std::span<const Join> joins;        // every join, alias k at position k - 1
  std::span<const Dim> dims;          // query order
  std::span<const Measure> measures;  // every measure of the model
  std::span<const uint32_t> selected; // indices into measures, query order
  std::span<const Bytes> out_names;   // dimension strings, then measure strings
  std::span<const Pred> where;
  std::span<const Pred> having;
  std::span<const Order> order;
  std::optional<uint64_t> limit;
  // The weekday weeks start on: 0 Monday .. 6 Sunday (the model's
  // calendar, else the manifest's).
  uint8_t week_start = 0;
  // The fiscal year's first month after January (0..11).
  uint8_t fiscal_start = 0;
  // The zone time is read in (the query's, else the model's); none: UTC,
  // with timestamps taken as they are.
  std::optional<TimeZone> zone;
  // Aliases read by the filters of the measures the query needs.
  uint32_t filter_aliases = 0;
  // Measures derived along time that the query needs, and the index in
  // dims of its one time dimension (which then has a grain).
  std::span<const uint32_t> derived;
  uint32_t time_dim = 0;
  // Many-joins that the query's rows pass through (those its dimensions
  // and row filters read, and the many-joins above them), as a mask of
  // aliases; and whether any join the query uses, these or those on the
  // way to a measure's model, is a many-join. Then every measure counts
  // each row of its model once per group.
  uint32_t fan = 0;
  bool fanned = false;
  // Totals the query needs (their partitions resolved against dims).
  std::span<const uint32_t> totals;
  // Ranks the query needs, each after the ranks it reads.
  std::span<const uint32_t> ranks;
  // The queried model's primary key, when the query's rows repeat its rows
  // and it has measures to aggregate.
  std::span<const Bound> base_key;

  size_t outCount() const { return dims.size() + selected.size(); }
  // Where periods of grain g start, as truncation takes it: the week's
  // first weekday, the fiscal calendar's months for its quarters and years.
  int periodStart(Grain g, bool fiscal) const {
    return g == Grain::week ? week_start : fiscal && g >= Grain::quarter ? fiscal_start : 0;
  }
  // Bit 0, the aliases of all dimensions, of every where/having predicate
  // and of the needed measures' filters, and the parent of every join in
  // the set.
  uint32_t usedAliases() const;
  // mask with the parent of every join in it, and theirs.
  uint32_t withParents(uint32_t mask) const;
  // The many-joins on the way from the base table to alias k, k included.
  uint32_t manyAbove(uint8_t k) const;
  // The first measure named exactly `name`.
  std::optional<uint32_t> findMeasure(Bytes name) const;
};

// The earliest time the derived measures of `plan` read for a range that
// starts at `start` (INT64_MIN: every row, for a running total from the
// first period). REQUIRES: plan.derived is not empty.
int64_t widenedStart(const Plan& plan, int64_t start);

// Which measures a query must compute: needed[i] for every measure that an
// output or a having predicate reaches, directly or through calculations.
void markNeeded(const Plan& plan, uint32_t idx, bool* needed);
void markPred(const Plan& plan, const Pred& p, bool* needed);

// Builds the plan of `query` over the stored `manifest`. All of it lives in
// `arena`; failures are recorded in `diag`. `depth` 1 plans the values of a
// dimension defined by a measure.
[[nodiscard]] Result<Plan> build(Arena& arena, const Json& manifest, const Json& query, Diag& diag, int depth = 0);

}  // namespace quendra
