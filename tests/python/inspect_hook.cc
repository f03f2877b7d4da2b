// libquendra_inspect.so: a test-only library through which pytest reads the
// columns a context holds, so that columns exported by pyarrow itself can be
// checked value by value after binding. It reads the Ctx that
// libquendra.so allocated directly, which is sound only because both are
// built from the same headers by the same compiler; it is never installed,
// and it adds nothing to libquendra.so.
#include <cstddef>
#include <cstdint>

#include "c_api/ctx.h"

namespace {

const quendra::TableBuilder* findTable(const void* handle, const char* table) {
  const auto& ctx = *static_cast<const quendra::Ctx*>(handle);
  const quendra::TableBuilder* found = nullptr;
  ctx.builders.forEach([&](quendra::Bytes key, const quendra::TableBuilder& tb) {
    if (key == table) found = &tb;
  });
  return found;
}

}  // namespace

extern "C" {

// One bound column. `values` points at the int64, double or byte entries,
// or, for strings, at the len + 1 offsets into bytes[0, bytes_len).
struct QuendraBoundColumn {
  const char* name;
  size_t name_len;
  size_t len;
  int kind;              // the Kind enumerator's value
  const uint8_t* nulls;  // len entries, 1 = null; NULL when no row is null
  const void* values;
  const char* bytes;
  size_t bytes_len;
};

// The number of columns bound under `table`, with the table's row count in
// *nrows; -1 when no table of that name is bound.
__attribute__((visibility("default"))) long quendra_inspect_table(const void* ctx, const char* table,
                                                                   size_t* nrows) {
  const quendra::TableBuilder* tb = findTable(ctx, table);
  if (!tb) return -1;
  *nrows = tb->nrows;
  return static_cast<long>(tb->cols.size());
}

// Fills *out with column i of `table`; 0 when there is no such column.
__attribute__((visibility("default"))) int quendra_inspect_column(const void* ctx, const char* table, size_t i,
                                                                  QuendraBoundColumn* out) {
  const quendra::TableBuilder* tb = findTable(ctx, table);
  if (!tb || i >= tb->cols.size()) return 0;
  const quendra::Vec& v = tb->cols[i];
  out->name = tb->names[i].data();
  out->name_len = tb->names[i].size();
  out->len = v.len;
  out->kind = static_cast<int>(v.kind);
  out->nulls = v.nulls;
  out->bytes = nullptr;
  out->bytes_len = 0;
  switch (v.data.tag) {
    case quendra::Data::Tag::int_: out->values = v.data.ints; break;
    case quendra::Data::Tag::float_: out->values = v.data.floats; break;
    case quendra::Data::Tag::bool_: out->values = v.data.bools; break;
    case quendra::Data::Tag::str:
      out->values = v.data.str.offs;
      out->bytes = v.data.str.bytes.data();
      out->bytes_len = v.data.str.bytes.size();
      break;
  }
  return 1;
}

}  // extern "C"
