// Binding throughput over 10,000,000 rows, to be read beside
// BM_MemcpyBaseline (vec_bench.cc, same binary). Bytes processed count
// memory traffic as the kernel benchmarks do: every host buffer read and
// every column buffer written, once (an int64 column: 8 bytes read and 8
// written per row).
//
// BM_Bind* go through quendra_bind_column on a context whose tables are
// cleared before each bind, so every bind copies into memory freshly taken
// from the C heap, as a host's first bind does; BM_MemcpyFreshBaseline is
// their baseline. BM_Import* run importColumn into an arena that is reset
// between iterations and keeps one block large enough for every buffer,
// which isolates the copy from the cost of new pages; BM_MemcpyBaseline is
// theirs.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "arrow/import.h"
#include "base/arena.h"
#include "quendra.h"

namespace quendra {
namespace {

constexpr size_t kRows = 10'000'000;

// A column in the host's hands; the release callbacks only mark the
// structures released, since the host keeps its buffers for the next run.
struct Host {
  std::string format;
  std::vector<const void*> buffers;
  ArrowArray array{};
  ArrowSchema schema{};

  Host(const char* fmt, std::vector<const void*> bufs) : format(fmt), buffers(std::move(bufs)) {
    array.length = static_cast<int64_t>(kRows);
    array.n_buffers = static_cast<int64_t>(buffers.size());
    array.buffers = buffers.data();
    schema.format = format.c_str();
    arm();
  }
  void arm() {
    array.release = [](ArrowArray* a) { a->release = nullptr; };
    schema.release = [](ArrowSchema* s) { s->release = nullptr; };
  }
};

std::vector<int64_t> randomInts() {
  std::mt19937_64 rng(1);
  std::vector<int64_t> v(kRows);
  for (auto& x : v) x = static_cast<int64_t>(rng());
  return v;
}

// Lowercase strings of 5 to 15 bytes (10 on average), 32-bit offsets.
struct Utf8 {
  std::vector<int32_t> offsets;
  std::string bytes;
  Utf8() {
    std::mt19937_64 rng(2);
    offsets.reserve(kRows + 1);
    offsets.push_back(0);
    for (size_t i = 0; i < kRows; ++i) {
      size_t len = 5 + rng() % 11;
      for (size_t k = 0; k < len; ++k) bytes.push_back(static_cast<char>('a' + rng() % 26));
      offsets.push_back(static_cast<int32_t>(bytes.size()));
    }
  }
  // Offsets read (4 bytes) and written (8 bytes) per row, bytes read and written.
  size_t traffic() const { return kRows * 12 + 2 * bytes.size(); }
};

void bindLoop(benchmark::State& state, Host& host, size_t traffic) {
  quendra_ctx* ctx = quendra_new();
  for (auto _ : state) {
    quendra_clear_tables(ctx);
    host.arm();
    if (quendra_bind_column(ctx, "t", "c", &host.array, &host.schema) != 0) state.SkipWithError("bind failed");
    benchmark::ClobberMemory();
  }
  quendra_free(ctx);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * traffic));
}

void importLoop(benchmark::State& state, Host& host, size_t traffic) {
  // One block that holds every buffer of a column: a reset arena keeps only
  // its largest block, and the column's buffers must all land in warm memory.
  Arena arena;
  if (!arena.alloc(traffic)) state.SkipWithError("no memory");
  for (auto _ : state) {
    arena.reset();
    auto v = importColumn(arena, host.schema, host.array);
    if (!v) state.SkipWithError("import failed");
    benchmark::DoNotOptimize(v);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * traffic));
}

// BM_MemcpyBaseline's copy into a block freshly taken from the C heap and
// given back each time: the page cost every first bind also pays.
void BM_MemcpyFreshBaseline(benchmark::State& state) {
  constexpr size_t kBytes = kRows * 8;
  std::vector<char> src(kBytes, 1);
  for (auto _ : state) {
    void* dst = std::malloc(kBytes);
    if (!dst) state.SkipWithError("malloc failed");
    std::memcpy(dst, src.data(), kBytes);
    benchmark::DoNotOptimize(dst);
    benchmark::ClobberMemory();
    std::free(dst);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * kBytes));
}
BENCHMARK(BM_MemcpyFreshBaseline)->Unit(benchmark::kMillisecond);

void BM_BindInt64(benchmark::State& state) {
  auto values = randomInts();
  Host host("l", {nullptr, values.data()});
  bindLoop(state, host, kRows * 16);
}
BENCHMARK(BM_BindInt64)->Unit(benchmark::kMillisecond);

void BM_ImportInt64(benchmark::State& state) {
  auto values = randomInts();
  Host host("l", {nullptr, values.data()});
  importLoop(state, host, kRows * 16);
}
BENCHMARK(BM_ImportInt64)->Unit(benchmark::kMillisecond);

// One row in eight null: the validity bits are unpacked into a byte mask.
void BM_ImportInt64Nulls(benchmark::State& state) {
  auto values = randomInts();
  std::vector<uint8_t> validity(kRows / 8);
  std::mt19937_64 rng(3);
  for (auto& b : validity) b = static_cast<uint8_t>(~(1u << (rng() % 8)));
  Host host("l", {validity.data(), values.data()});
  host.array.null_count = -1;
  importLoop(state, host, kRows * 16 + kRows / 8 + kRows);
}
BENCHMARK(BM_ImportInt64Nulls)->Unit(benchmark::kMillisecond);

void BM_BindUtf8(benchmark::State& state) {
  Utf8 s;
  Host host("u", {nullptr, s.offsets.data(), s.bytes.data()});
  bindLoop(state, host, s.traffic());
}
BENCHMARK(BM_BindUtf8)->Unit(benchmark::kMillisecond);

void BM_ImportUtf8(benchmark::State& state) {
  Utf8 s;
  Host host("u", {nullptr, s.offsets.data(), s.bytes.data()});
  importLoop(state, host, s.traffic());
}
BENCHMARK(BM_ImportUtf8)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quendra
