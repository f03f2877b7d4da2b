// Result export: a query's columns as one Arrow struct array that owns its
// memory, independent of the context that produced it.
//
// Everything one export allocates lives in a Block: one C-heap allocation
// holding an arena and an atomic reference count, one reference per
// exported structure (the parent array and schema and every child's). Each
// release callback drops its structure's reference, after releasing the
// children that have not been moved out; the last one frees the block. So
// the host may release the parent, or move children out and release them
// later, in any order and from any thread.
//
// A query may write its final columns straight into the block's arena
// (exportArena) before exporting: 64-bit integer, float and timestamp
// columns found there are handed over as they are instead of copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "base/arena.h"
#include "base/bytes.h"
#include "quendra.h"
#include "vec/vec.h"

namespace quendra {

enum class ExportErr : uint8_t {
  OutOfMemory,
  TooLarge,  // a string column of more bytes than 32-bit offsets can address
};

// Fills out_array/out_schema with a struct array of one nullable child per
// column: "l" int, "g" float, "b" bool (bit-packed), "u" str, "tdD" date,
// "tsu:" timestamp. A child has a validity bitmap only when some position
// is null. REQUIRES: names and cols have one entry per column; every column
// is a non-scalar vector of nrows positions. On failure nothing is left
// allocated and the host's structures are untouched.
[[nodiscard]] std::expected<void, ExportErr> exportTable(std::span<const Bytes> names, std::span<const Vec> cols,
                                                         size_t nrows, ArrowArray* out_array,
                                                         ArrowSchema* out_schema);

class ExportBlock;

// A block for one export; nullptr when the heap refuses.
[[nodiscard]] ExportBlock* newExport();
// The arena whose memory the exported structures will own.
Arena& exportArena(ExportBlock* block);
// Frees a block that will not be exported, with everything in its arena.
void dropExport(ExportBlock* block);

// exportTable into a block from newExport, which it takes over: the
// exported structures own it, or on failure it is freed.
[[nodiscard]] std::expected<void, ExportErr> exportTable(ExportBlock* block, std::span<const Bytes> names,
                                                         std::span<const Vec> cols, size_t nrows,
                                                         ArrowArray* out_array, ArrowSchema* out_schema);

// "OutOfMemory" or "TooLarge".
Bytes exportErrName(ExportErr e);

}  // namespace quendra
