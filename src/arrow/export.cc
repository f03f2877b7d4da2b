#include "arrow/export.h"

#include <atomic>
#include <cstring>
#include <new>

#include "base/arena.h"
#include "base/heap.h"

namespace quendra {

class ExportBlock {
 public:
  Arena arena;
  std::atomic<size_t> refs{0};
};

namespace {

using Block = ExportBlock;

void unref(Block* b) {
  if (b->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  b->~Block();  // frees the arena's blocks: every buffer of the export
  heapFree(b);
}

void releaseArray(ArrowArray* a) {
  auto* b = static_cast<Block*>(a->private_data);
  a->release = nullptr;
  // Children the host moved out have release == nullptr here and are
  // released by whoever holds them now.
  for (int64_t i = 0; i < a->n_children; ++i)
    if (a->children[i]->release) a->children[i]->release(a->children[i]);
  unref(b);
}

void releaseSchema(ArrowSchema* s) {
  auto* b = static_cast<Block*>(s->private_data);
  s->release = nullptr;
  for (int64_t i = 0; i < s->n_children; ++i)
    if (s->children[i]->release) s->children[i]->release(s->children[i]);
  unref(b);
}

// Arrow's empty string data must still be a valid pointer.
alignas(8) const uint8_t kEmptyBytes[1] = {0};

using Fail = std::unexpected<ExportErr>;

const char* formatOf(Kind k) {
  switch (k) {
    case Kind::int_: return "l";
    case Kind::float_: return "g";
    case Kind::bool_: return "b";
    case Kind::str: return "u";
    case Kind::date: return "tdD";
    case Kind::timestamp: break;
  }
  return "tsu:";
}

// A bitmap with bit i set where keep(i); nullptr for n == 0 is never asked.
template <class Keep>
uint8_t* bits(Arena& arena, size_t n, Keep keep) {
  uint8_t* out = arena.make<uint8_t>((n + 7) / 8);
  if (!out) return nullptr;
  std::memset(out, 0, (n + 7) / 8);
  for (size_t i = 0; i < n; ++i) out[i >> 3] |= static_cast<uint8_t>(keep(i)) << (i & 7);
  return out;
}

std::expected<void, ExportErr> exportColumn(Arena& arena, Block* block, Bytes name, const Vec& v, size_t n,
                                            ArrowSchema* s, ArrowArray* a) {
  char* cname = arena.make<char>(name.size() + 1);
  const void** buffers = arena.make<const void*>(3);
  if (!cname || !buffers) return Fail(ExportErr::OutOfMemory);
  if (!name.empty()) std::memcpy(cname, name.data(), name.size());
  cname[name.size()] = '\0';

  int64_t nulls = 0;
  if (v.nulls)
    for (size_t i = 0; i < n; ++i) nulls += v.nulls[i] != 0;
  buffers[0] = nullptr;
  if (nulls) {
    const uint8_t* mask = v.nulls;
    buffers[0] = bits(arena, n, [&](size_t i) { return !mask[i]; });
    if (!buffers[0]) return Fail(ExportErr::OutOfMemory);
  }
  int64_t nbuf = 2;
  switch (v.kind) {
    case Kind::int_:
    case Kind::timestamp:
      buffers[1] = arena.holds(v.data.ints) ? v.data.ints : arena.copy(v.data.ints, n);
      break;
    case Kind::float_: buffers[1] = arena.holds(v.data.floats) ? v.data.floats : arena.copy(v.data.floats, n); break;
    case Kind::bool_: {
      const uint8_t* x = v.data.bools;
      buffers[1] = bits(arena, n, [&](size_t i) { return x[i] != 0; });
      break;
    }
    case Kind::date: {
      // date32 holds 32-bit day numbers; a day beyond them (a date64 column
      // can carry one) is refused rather than cut to its low bits.
      const int64_t* x = v.data.ints;
      for (size_t i = 0; i < n; ++i)
        if ((x[i] < INT32_MIN || x[i] > INT32_MAX) && !(v.nulls && v.nulls[i])) return Fail(ExportErr::TooLarge);
      int32_t* out = arena.make<int32_t>(n);
      if (out)
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<int32_t>(x[i]);
      buffers[1] = out;
      break;
    }
    case Kind::str: {
      const uint64_t* offs = v.data.str.offs;
      uint64_t first = offs[0], total = offs[n] - first;
      if (total > 0x7FFFFFFF) return Fail(ExportErr::TooLarge);
      int32_t* out = arena.make<int32_t>(n + 1);
      if (!out) return Fail(ExportErr::OutOfMemory);
      for (size_t i = 0; i <= n; ++i) out[i] = static_cast<int32_t>(offs[i] - first);
      buffers[1] = out;
      if (total == 0) {
        buffers[2] = kEmptyBytes;
      } else {
        buffers[2] = arena.copy(v.data.str.bytes.data() + first, total);
        if (!buffers[2]) return Fail(ExportErr::OutOfMemory);
      }
      nbuf = 3;
      break;
    }
  }
  if (!buffers[1]) return Fail(ExportErr::OutOfMemory);

  *s = ArrowSchema{formatOf(v.kind), cname, nullptr, ARROW_FLAG_NULLABLE, 0, nullptr, nullptr, releaseSchema, block};
  *a = ArrowArray{static_cast<int64_t>(n), nulls, 0, nbuf, 0, buffers, nullptr, nullptr, releaseArray, block};
  return {};
}

}  // namespace

Bytes exportErrName(ExportErr e) { return e == ExportErr::TooLarge ? "TooLarge" : "OutOfMemory"; }

ExportBlock* newExport() {
  void* mem = heapAlloc(sizeof(Block));
  return mem ? new (mem) Block() : nullptr;
}

Arena& exportArena(ExportBlock* block) { return block->arena; }

void dropExport(ExportBlock* block) {
  block->~Block();
  heapFree(block);
}

std::expected<void, ExportErr> exportTable(std::span<const Bytes> names, std::span<const Vec> cols, size_t nrows,
                                           ArrowArray* out_array, ArrowSchema* out_schema) {
  Block* block = newExport();
  if (!block) return Fail(ExportErr::OutOfMemory);
  return exportTable(block, names, cols, nrows, out_array, out_schema);
}

std::expected<void, ExportErr> exportTable(ExportBlock* block, std::span<const Bytes> names,
                                           std::span<const Vec> cols, size_t nrows, ArrowArray* out_array,
                                           ArrowSchema* out_schema) {
  const size_t ncols = cols.size();
  block->refs.store(2 * ncols + 2, std::memory_order_relaxed);
  auto fail = [&](ExportErr e) {
    dropExport(block);
    return Fail(e);
  };
  Arena& arena = block->arena;
  auto** child_schemas = arena.make<ArrowSchema*>(ncols);
  auto** child_arrays = arena.make<ArrowArray*>(ncols);
  ArrowSchema* schemas = arena.make<ArrowSchema>(ncols);
  ArrowArray* arrays = arena.make<ArrowArray>(ncols);
  const void** parent_buffers = arena.make<const void*>(1);
  if (!child_schemas || !child_arrays || !schemas || !arrays || !parent_buffers)
    return fail(ExportErr::OutOfMemory);
  parent_buffers[0] = nullptr;
  for (size_t i = 0; i < ncols; ++i) {
    auto r = exportColumn(arena, block, names[i], cols[i], nrows, &schemas[i], &arrays[i]);
    if (!r) return fail(r.error());
    child_schemas[i] = &schemas[i];
    child_arrays[i] = &arrays[i];
  }
  // Nothing can fail from here on: the host's structures change only now.
  *out_schema = ArrowSchema{"+s", "", nullptr, 0, static_cast<int64_t>(ncols), child_schemas, nullptr,
                            releaseSchema, block};
  *out_array = ArrowArray{static_cast<int64_t>(nrows), 0, 0, 1, static_cast<int64_t>(ncols), parent_buffers,
                          child_arrays, nullptr, releaseArray, block};
  return {};
}

}  // namespace quendra
