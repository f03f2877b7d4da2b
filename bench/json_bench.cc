// Throughput of the JSON reader over a manifest of about 1 MB.
#include <benchmark/benchmark.h>

#include <string>

#include "base/arena.h"
#include "base/json.h"

namespace {

// A realistic manifest: many models with string and object dimensions,
// measures of every shape, joins, and some escaped and non-ASCII text.
std::string bigManifest() {
  std::string s = "{\"models\": {";
  for (int m = 0; s.size() < 1'000'000; ++m) {
    std::string name = "model_" + std::to_string(m);
    if (m) s += ",\n";
    s += "  \"" + name + "\": {\n    \"table\": \"analytics." + name + "\",\n    \"dimensions\": {";
    for (int d = 0; d < 12; ++d) {
      if (d) s += ",";
      if (d % 3 == 0)
        s += "\n      \"dim_" + std::to_string(d) + "\": {\"expr\": \"created_at\", \"time\": true, "
             "\"smallest_time_grain\": \"day\"}";
      else
        s += "\n      \"dim_" + std::to_string(d) + "\": \"CASE WHEN status = 'pay\\u00e9' THEN 1 ELSE 0 END\"";
    }
    s += "\n    },\n    \"measures\": {";
    for (int k = 0; k < 8; ++k) {
      if (k) s += ",";
      s += "\n      \"m_" + std::to_string(k) + "\": {\"agg\": \"sum\", \"expr\": \"amount * " +
           std::to_string(k) + ".5\", \"weight\": " + std::to_string(k * 1234567) + "}";
    }
    s += ",\n      \"ratio\": {\"calc\": \"m_1 / m_2\"}\n    },\n    \"joins\": {\"customer\": "
         "{\"model\": \"customers\", \"left_on\": \"dim_1\", \"right_on\": \"id\", \"type\": \"one\"}}\n  }";
  }
  s += "\n}}";
  return s;
}

void BM_ReadManifest(benchmark::State& state) {
  std::string text = bigManifest();
  quendra::Arena arena;
  for (auto _ : state) {
    arena.reset();
    auto v = quendra::readJson(arena, text.data(), text.size());
    if (!v) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["doc_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ReadManifest)->Unit(benchmark::kMillisecond);

}  // namespace
