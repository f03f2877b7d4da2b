/*
 * quendra.h - the C interface of libquendra, a semantic-layer query engine.
 *
 * A host creates a context, loads a JSON manifest of models, binds Arrow
 * columns as tables, and then asks JSON queries: each is either compiled
 * into one SQL SELECT (quendra_emit_sql) or executed in memory over the
 * bound columns (quendra_execute).
 *
 * Results. Functions returning int return 0 on success and otherwise:
 *   1 invalid input (including a NULL context), 2 unknown model,
 *   3 unknown field, 4 unsupported, 5 out of memory, 6 write failed.
 * After a non-zero result, quendra_last_error() holds a JSON document
 * {"code":"...","message":...}. The document is sticky: calls that succeed
 * without producing output (load, bind, clear) leave it in place, so read it
 * only after a failure.
 *
 * Ownership and lifetimes.
 *   - Manifest and query bytes are read during the call only; the host may
 *     free them as soon as the call returns. They need no terminating NUL.
 *   - The string from quendra_last_error() belongs to the context and stays
 *     valid until the next call that records an error, the next successful
 *     quendra_execute/quendra_emit_sql, or quendra_free. Never NULL.
 *   - SQL text from quendra_emit_sql belongs to the context and stays valid
 *     until the next quendra_execute or quendra_emit_sql on the same context,
 *     or quendra_free. Do not free it. Nothing is stored on failure.
 *   - quendra_bind_column takes over the host's ArrowArray and ArrowSchema:
 *     with a non-NULL context it always calls their release callbacks
 *     (array first) before returning, success or not; the host must not
 *     release them again. With a NULL context it releases nothing.
 *   - Arrays written by quendra_execute own their memory independently of
 *     the context; release them through their release callbacks. They may
 *     outlive the context.
 *
 * Threads. A context must be used by one thread at a time; distinct
 * contexts share nothing.
 */
#ifndef QUENDRA_H
#define QUENDRA_H

#include <stddef.h>
#include <stdint.h>

#if defined(QUENDRA_BUILD) && defined(__GNUC__)
#define QUENDRA_API __attribute__((visibility("default")))
#else
#define QUENDRA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  // Array type description
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;

  // Release callback
  void (*release)(struct ArrowSchema*);
  // Opaque producer-specific data
  void* private_data;
};

struct ArrowArray {
  // Array data description
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;

  // Release callback
  void (*release)(struct ArrowArray*);
  // Opaque producer-specific data
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

/* Opaque per-handle context. */
typedef struct quendra_ctx quendra_ctx;

/* A new context, or NULL when memory cannot be had. */
QUENDRA_API quendra_ctx* quendra_new(void);

/* Frees the context and everything it owns; NULL is ignored. Arrays
 * exported earlier by quendra_execute stay valid. */
QUENDRA_API void quendra_free(quendra_ctx* ctx);

/* The library version, a static string ("0.0.1"). */
QUENDRA_API const char* quendra_version(void);

/* The current error document, or "" when there is none or ctx is NULL. */
QUENDRA_API const char* quendra_last_error(const quendra_ctx* ctx);

/* Replaces the manifest with the JSON document in json_ptr[0..len). The old
 * manifest is dropped first, so a failed load leaves no models loaded. */
QUENDRA_API int quendra_load_models(quendra_ctx* ctx, const uint8_t* json_ptr, size_t len);

/* Copies one Arrow column into the context as column `column_name` of table
 * `table_name` (both NUL-terminated, never NULL) and releases the host's
 * array and schema (see above). Columns of one table must have one length;
 * a column name bound twice is kept twice. Formats: integers of every width,
 * float32/64, boolean, utf8, large utf8, date32/date64 and timestamps of
 * any unit and zone. Returns 1 for a rejected column (unsupported format or
 * dictionary, malformed or already released array, other length), 5 when
 * memory runs out; the bound tables are then as they were. */
QUENDRA_API int quendra_bind_column(quendra_ctx* ctx, const char* table_name, const char* column_name,
                                    struct ArrowArray* array, struct ArrowSchema* schema);

/* Drops every bound table and frees its memory; NULL is ignored. */
QUENDRA_API void quendra_clear_tables(quendra_ctx* ctx);

/* Runs a JSON query in memory over the bound tables. On success fills
 * out_array/out_schema with a struct array (one child per output column). */
QUENDRA_API int quendra_execute(quendra_ctx* ctx, const uint8_t* query_ptr, size_t query_len,
                                struct ArrowArray* out_array, struct ArrowSchema* out_schema);

/* Compiles a JSON query into one SQL statement; dialect 0 is DuckDB, 1 is
 * Spark. On success stores the NUL-terminated text and its length. */
QUENDRA_API int quendra_emit_sql(quendra_ctx* ctx, const uint8_t* query_ptr, size_t query_len, int dialect,
                                 const char** out_ptr, size_t* out_len);

#ifdef __cplusplus
}
#endif

#endif /* QUENDRA_H */
