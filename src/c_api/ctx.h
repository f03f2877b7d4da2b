// Ctx: the state behind one quendra_ctx handle.
#pragma once

#include <cstddef>
#include <optional>

#include "base/arena.h"
#include "base/array.h"
#include "base/bytes.h"
#include "base/hash.h"
#include "base/json.h"
#include "exec/exec.h"
#include "vec/vec.h"

namespace quendra {

// The columns bound so far under one table name, all in data_arena. A
// builder in the map always holds at least one column; names and cols are
// parallel, and a name bound twice appears twice (lookups take the first).
struct TableBuilder {
  Array<Bytes> names;
  Array<Vec> cols;
  Array<ColStats> stats;  // parallel to cols
  size_t nrows = 0;  // shared by every column of the table
};

struct Ctx {
  // Bound columns, table and column names, and the builders map's storage;
  // freed wholesale by quendra_clear_tables and quendra_free.
  Arena data_arena;
  BytesMap<TableBuilder> builders;
  // Join maps of bound key columns that queries keep for later ones;
  // dropped whenever a column is bound and with the tables.
  exec::Keep keep;
  // The parsed manifest; freed at the start of every load.
  Arena manifest_arena;
  // Set only by a successful load: an object with a "models" member.
  std::optional<Json> manifest;
  // Everything one query call builds; reset (keeping its largest block) at
  // the start of every quendra_execute and quendra_emit_sql.
  Arena call_arena;
  // The current error document, NUL-terminated, on the C heap; or nullptr.
  char* error_json = nullptr;
};

}  // namespace quendra
