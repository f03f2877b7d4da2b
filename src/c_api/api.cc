// The nine exported functions. Each checks its context, delegates, and turns
// failures into a result code and the context's error document; nothing
// unwinds across this boundary (the library is built without exceptions).
#include <cstring>
#include <new>

#include "arrow/export.h"
#include "arrow/import.h"
#include "base/bytes.h"
#include "base/heap.h"
#include "base/json.h"
#include "c_api/ctx.h"
#include "c_api/error_doc.h"
#include "exec/exec.h"
#include "plan/diag.h"
#include "plan/plan.h"
#include "quendra.h"
#include "sql/writer.h"

using quendra::Bytes;
using quendra::Ctx;

struct quendra_ctx {};  // never defined as such: handles point at a Ctx

namespace {

Ctx* asCtx(quendra_ctx* h) { return reinterpret_cast<Ctx*>(h); }
const Ctx* asCtx(const quendra_ctx* h) { return reinterpret_cast<const Ctx*>(h); }

constexpr Bytes kInvalid = "invalid";

// Steps shared by the two query entry points: a manifest must be loaded, the
// call arena starts afresh, and the query text must be one JSON document.
// Returns 0 with the query in `out`, or the code already reported.
int readQuery(Ctx& ctx, const uint8_t* ptr, size_t len, quendra::Json& out) {
  ctx.call_arena.reset();
  auto q = quendra::readJson(ctx.call_arena, reinterpret_cast<const char*>(ptr), len);
  if (!q) {
    quendra::setError(ctx, kInvalid, quendra::jsonErrorName(q.error()));
    return 1;
  }
  out = *q;
  return 0;
}

// Reads the query and builds its plan in the call arena. Returns 0 with the
// plan in `out`, or the code already reported.
int planQuery(Ctx& ctx, const uint8_t* ptr, size_t len, quendra::Plan& out) {
  quendra::Json query;
  if (int rc = readQuery(ctx, ptr, len, query)) return rc;
  quendra::Diag diag{&ctx.call_arena, {}, {}};
  auto plan = quendra::build(ctx.call_arena, *ctx.manifest, query, diag);
  if (!plan) return quendra::reportKind(ctx, plan.error(), diag.message);
  out = *plan;
  return 0;
}

int noModels(Ctx& ctx) {
  quendra::setError(ctx, kInvalid, "no models loaded");
  return 1;
}

// Binding reports every failure, out of memory included, under the code
// text "invalid"; the integer result tells memory exhaustion apart.
int bindFailed(Ctx& ctx, Bytes message, int rc) {
  quendra::setError(ctx, kInvalid, message);
  return rc;
}

constexpr Bytes kMalformed = "malformed Arrow array";

// Files an imported column under table.column: finds or creates the
// table's builder and appends the column. Every allocation happens before
// any builder changes, so a failure leaves the bound tables as they were
// (a new builder enters the map only once it can hold its first column).
// Drops what queries kept of the bound tables, before they change.
void dropKept(Ctx& ctx) {
  ctx.builders.forEach([](Bytes, const quendra::TableBuilder& tb) {
    for (const quendra::ColStats& st : tb.stats.span()) st.key_map = nullptr;
  });
  ctx.keep.arena.release();
  ctx.keep.left = quendra::exec::Keep::kBudget;
}

int fileColumn(Ctx& ctx, Bytes table, Bytes column, const quendra::Vec& col) {
  dropKept(ctx);
  quendra::Arena& arena = ctx.data_arena;
  quendra::TableBuilder* tb = ctx.builders.find(table);
  if (tb && !tb->cols.empty() && tb->nrows != col.len)
    return bindFailed(ctx, "columns of one table must have the same length", 1);
  auto name = quendra::copyBytes(arena, column);
  std::optional<quendra::ColStats> stats = quendra::statsOf(arena, col);
  if (!name || !stats) return bindFailed(ctx, "out of memory", 5);
  if (!tb) {
    quendra::TableBuilder fresh;
    auto key = quendra::copyBytes(arena, table);
    if (!key || !fresh.names.reserve(arena, 1) || !fresh.cols.reserve(arena, 1) || !fresh.stats.reserve(arena, 1))
      return bindFailed(ctx, "out of memory", 5);
    auto slot = ctx.builders.findOrInsert(arena, *key);
    if (!slot) return bindFailed(ctx, "out of memory", 5);
    *slot->value = fresh;
    tb = slot->value;
  } else if (!tb->names.reserve(arena, tb->names.size() + 1) || !tb->cols.reserve(arena, tb->cols.size() + 1) ||
             !tb->stats.reserve(arena, tb->stats.size() + 1)) {
    return bindFailed(ctx, "out of memory", 5);
  }
  // Room is reserved, so no push can fail.
  static_cast<void>(tb->names.push(arena, *name));
  static_cast<void>(tb->cols.push(arena, col));
  static_cast<void>(tb->stats.push(arena, *stats));
  tb->nrows = col.len;
  return 0;
}

// Every step of a bind but the release of the host's structures.
int bindColumn(Ctx& ctx, const char* table_name, const char* column_name, const ArrowArray* array,
               const ArrowSchema* schema) {
  if (!table_name || !column_name) return bindFailed(ctx, "table and column names must not be NULL", 1);
  // A released structure (release == NULL) must not be read.
  if (!array || !schema || !array->release || !schema->release) return bindFailed(ctx, kMalformed, 1);
  auto col = quendra::importColumn(ctx.data_arena, *schema, *array);
  if (!col) {
    switch (col.error()) {
      case quendra::ImportErr::Unsupported:
        return bindFailed(
            ctx, "unsupported Arrow type (supported: ints, floats, bool, utf8, large_utf8, date32, timestamps)", 1);
      case quendra::ImportErr::Malformed: return bindFailed(ctx, kMalformed, 1);
      case quendra::ImportErr::OutOfMemory: break;
    }
    return bindFailed(ctx, "out of memory", 5);
  }
  return fileColumn(ctx, table_name, column_name, *col);
}

// The bound tables as the executor's name -> Table map, in the call arena:
// views of the builders' lists, no column copied. False when memory runs out.
bool tableViews(Ctx& ctx, quendra::Tables& out) {
  bool ok = true;
  ctx.builders.forEach([&](Bytes name, const quendra::TableBuilder& tb) {
    if (!ok) return;
    auto slot = out.findOrInsert(ctx.call_arena, name);
    if (!slot) {
      ok = false;
      return;
    }
    *slot->value = quendra::exec::Table{tb.names.span(), tb.cols.span(), tb.nrows, tb.stats.span(), &ctx.keep};
  });
  return ok;
}

}  // namespace

extern "C" {

quendra_ctx* quendra_new(void) {
  void* mem = quendra::heapAlloc(sizeof(Ctx));
  if (!mem) return nullptr;
  return reinterpret_cast<quendra_ctx*>(new (mem) Ctx());
}

void quendra_free(quendra_ctx* h) {
  if (!h) return;
  Ctx* ctx = asCtx(h);
  quendra::clearError(*ctx);
  ctx->~Ctx();  // releases the three arenas
  quendra::heapFree(ctx);
}

const char* quendra_version(void) { return QUENDRA_VERSION_TEXT; }

const char* quendra_last_error(const quendra_ctx* h) {
  if (!h || !asCtx(h)->error_json) return "";
  return asCtx(h)->error_json;
}

int quendra_load_models(quendra_ctx* h, const uint8_t* json_ptr, size_t len) {
  if (!h) return 1;
  Ctx& ctx = *asCtx(h);
  ctx.manifest.reset();
  ctx.manifest_arena.release();
  auto doc = quendra::readJson(ctx.manifest_arena, reinterpret_cast<const char*>(json_ptr), len);
  if (!doc) {
    ctx.manifest_arena.release();
    quendra::setError(ctx, kInvalid, quendra::jsonErrorName(doc.error()));
    return 1;
  }
  if (!doc->get("models")) {
    ctx.manifest_arena.release();
    quendra::setError(ctx, kInvalid, "manifest must be an object with a 'models' key");
    return 1;
  }
  ctx.manifest = *doc;
  return 0;
}

int quendra_bind_column(quendra_ctx* h, const char* table_name, const char* column_name,
                        struct ArrowArray* array, struct ArrowSchema* schema) {
  if (!h) return 1;
  int rc = bindColumn(*asCtx(h), table_name, column_name, array, schema);
  // The host hands its structures over on every path, success or not. The
  // column has been copied by now, so nothing reads them after this.
  if (array && array->release) array->release(array);
  if (schema && schema->release) schema->release(schema);
  return rc;
}

void quendra_clear_tables(quendra_ctx* h) {
  if (!h) return;
  Ctx& ctx = *asCtx(h);
  dropKept(ctx);
  ctx.builders.clear();
  ctx.data_arena.release();
}

int quendra_execute(quendra_ctx* h, const uint8_t* query_ptr, size_t query_len, struct ArrowArray* out_array,
                    struct ArrowSchema* out_schema) {
  if (!h) return 1;
  Ctx& ctx = *asCtx(h);
  if (!ctx.manifest) return noModels(ctx);
  quendra::Plan plan;
  if (int rc = planQuery(ctx, query_ptr, query_len, plan)) return rc;
  if (!out_array || !out_schema) {
    quendra::setError(ctx, kInvalid, "out_array and out_schema must not be NULL");
    return 1;
  }
  quendra::Diag diag{&ctx.call_arena, {}, {}};
  quendra::Tables tables;
  if (!tableViews(ctx, tables)) {
    quendra::setError(ctx, "OutOfMemory", diag.message.empty() ? Bytes("OutOfMemory") : diag.message);
    return 5;
  }
  // The result's final columns are written where the export will own them.
  quendra::ExportBlock* block = quendra::newExport();
  if (!block) return quendra::reportKind(ctx, quendra::Err::OutOfMemory, {});
  auto result = quendra::execute(ctx.call_arena, plan, tables, diag, &quendra::exportArena(block));
  if (!result) {
    quendra::dropExport(block);
    return quendra::reportKind(ctx, result.error(), diag.message);
  }
  auto out = quendra::exportTable(block, result->names, result->cols, result->nrows, out_array, out_schema);
  if (!out) {
    quendra::setError(ctx, quendra::exportErrName(out.error()), "cannot export the result");
    return 5;
  }
  quendra::clearError(ctx);
  return 0;
}

int quendra_emit_sql(quendra_ctx* h, const uint8_t* query_ptr, size_t query_len, int dialect, const char** out_ptr,
                     size_t* out_len) {
  if (!h) return 1;
  Ctx& ctx = *asCtx(h);
  if (!ctx.manifest) return noModels(ctx);
  // The dialect is checked before the query text is even read.
  if (dialect < 0 || dialect > 2) {
    quendra::setError(ctx, kInvalid, "unknown dialect");
    return 1;
  }
  if (!out_ptr || !out_len) {
    quendra::setError(ctx, kInvalid, "out_ptr and out_len must not be NULL");
    return 1;
  }
  quendra::Json query;
  if (int rc = readQuery(ctx, query_ptr, query_len, query)) return rc;
  quendra::Diag diag{&ctx.call_arena, {}, {}};
  auto sql = quendra::emitSql(ctx.call_arena, *ctx.manifest, query, static_cast<quendra::Dialect>(dialect), diag);
  if (!sql) return quendra::reportKind(ctx, sql.error(), diag.message);
  char* text = ctx.call_arena.make<char>(sql->size() + 1);
  if (!text) {
    quendra::setError(ctx, "OutOfMemory", "out of memory");
    return 5;
  }
  if (!sql->empty()) std::memcpy(text, sql->data(), sql->size());
  text[sql->size()] = '\0';
  quendra::clearError(ctx);
  *out_ptr = text;
  *out_len = sql->size();
  return 0;
}

}  // extern "C"
