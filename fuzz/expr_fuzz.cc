// The expression parser followed by SQL rendering of what it parsed, in both
// dialects: whatever parses must render to balanced, closed SQL.
#include <cstddef>
#include <cstdint>

#include "expr/parser.h"
#include "fuzz_check.h"
#include "sql/writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quendra::Arena arena;
  quendra::Bytes src(reinterpret_cast<const char*>(data), size);
  auto e = quendra::parse(arena, src);
  if (!e) return 0;
  if (e->root != e->count - 1) quendra::fuzz::die("root is not the last node", src);
  quendra::Plan plan;
  for (auto d : {quendra::Dialect::duckdb, quendra::Dialect::spark}) {
    quendra::Writer w{plan, d};
    quendra::Text out;
    out.arena = &arena;
    quendra::IdentCtx ctx{w, 3};
    auto r = quendra::writeSql(*e, out, ctx);
    if (!r) {
      // Only text SQL cannot carry (a NUL byte) may be refused, with a reason.
      if (r.error() != quendra::Err::WriteFailed || out.failure.empty()) quendra::fuzz::die("rendering failed", src);
      continue;
    }
    quendra::fuzz::checkSql(out.view(), d);
  }
  return 0;
}
