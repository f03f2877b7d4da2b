// The error document a host reads back through quendra_last_error.
#pragma once

#include <cstddef>

#include "base/bytes.h"
#include "base/err.h"

namespace quendra {

struct Ctx;

// Writes {"code":"CODE","message":MESSAGE} into a new NUL-terminated block
// from the C heap, or returns nullptr when none can be had. CODE is written
// verbatim; MESSAGE is a JSON string when the message is valid UTF-8, else a
// JSON array of its bytes in decimal.
[[nodiscard]] char* renderErrorDoc(Bytes code, Bytes message);

// Replaces the context's error document. When memory runs out the context
// is left without a document; nothing else is reported.
void setError(Ctx& ctx, Bytes code, Bytes message);

// Reports a failure of kind `e` carried in a diagnostic: the code text is the
// kind's name, the message `message` (the kind's name when empty). Returns
// the integer result for `e`.
int reportKind(Ctx& ctx, Err e, Bytes message);

// Frees the context's error document.
void clearError(Ctx& ctx);

}  // namespace quendra
