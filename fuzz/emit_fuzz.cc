// Manifest and query from the fuzzer's bytes (split at the first NUL byte)
// through quendra_load_models and quendra_emit_sql in both dialects.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "emit_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const void* nul = std::memchr(data, 0, size);
  size_t msize = nul ? static_cast<const uint8_t*>(nul) - data : size;
  const uint8_t* query = nul ? data + msize + 1 : data + size;
  size_t qsize = size - msize - (nul ? 1 : 0);
  quendra_ctx* ctx = quendra_new();
  int rc = quendra_load_models(ctx, data, msize);
  if (rc != 0) quendra::fuzz::checkErrorDoc(quendra_last_error(ctx));
  quendra::fuzz::emitBoth(ctx, std::string_view(reinterpret_cast<const char*>(query), qsize));
  const auto& m = quendra::fuzz::kManifest;
  quendra_load_models(ctx, reinterpret_cast<const uint8_t*>(m.data()), m.size());
  quendra::fuzz::checkStillAnswers(ctx);
  quendra_free(ctx);
  return 0;
}
