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

namespace quendra {

struct Dim {
  Bytes name;                  // as written in the query
  Bound b;
  bool time = false;
  std::optional<Grain> grain;  // none: the raw value
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
  // Aliases read by the filters of the measures the query needs.
  uint32_t filter_aliases = 0;
  // Measures derived along time that the query needs, and the index in
  // dims of its one time dimension (which then has a grain).
  std::span<const uint32_t> derived;
  uint32_t time_dim = 0;

  size_t outCount() const { return dims.size() + selected.size(); }
  // Bit 0, the aliases of all dimensions, of every where/having predicate
  // and of the needed measures' filters, and the parent of every join in
  // the set.
  uint32_t usedAliases() const;
  // The first measure named exactly `name`.
  std::optional<uint32_t> findMeasure(Bytes name) const;
};

// Which measures a query must compute: needed[i] for every measure that an
// output or a having predicate reaches, directly or through calculations.
void markNeeded(const Plan& plan, uint32_t idx, bool* needed);
void markPred(const Plan& plan, const Pred& p, bool* needed);

// Builds the plan of `query` over the stored `manifest`. All of it lives in
// `arena`; failures are recorded in `diag`.
[[nodiscard]] Result<Plan> build(Arena& arena, const Json& manifest, const Json& query, Diag& diag);

}  // namespace quendra
