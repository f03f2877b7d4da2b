// Queries from the fuzzer's bytes against a fixed, realistic manifest, on one
// long-lived context, as a host would use it.
#include <cstddef>
#include <cstdint>

#include "emit_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static quendra_ctx* ctx = [] {
    quendra_ctx* c = quendra_new();
    const auto& m = quendra::fuzz::kManifest;
    quendra_load_models(c, reinterpret_cast<const uint8_t*>(m.data()), m.size());
    return c;
  }();
  quendra::fuzz::emitBoth(ctx, std::string_view(reinterpret_cast<const char*>(data), size));
  quendra::fuzz::checkStillAnswers(ctx);
  return 0;
}
