// Kernel throughput over 10,000,000 rows, with a plain memcpy of 80 MB as
// the memory-bandwidth baseline. Bytes processed count memory traffic:
// every input array read and every output array written, once per row
// (memcpy: 80 MB read plus 80 MB written). Items processed are rows.
//
// Each iteration resets the arena, so after the first one the result lands
// in already-touched memory, as it does for a context's call arena.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/arena.h"
#include "vec/kernels.h"
#include "vec/time.h"

namespace quendra {
namespace {

constexpr size_t kRows = 10'000'000;

Vec column(Kind kind, Data data, const uint8_t* nulls = nullptr) { return quendra::column(kind, kRows, nulls, data); }

Vec scalarOver(Kind kind, Data data) {
  Vec v;
  v.len = 1;
  v.data = data;
  v.kind = kind;
  v.scalar = true;
  return v;
}

std::vector<int64_t> randomInts(uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<int64_t> v(kRows);
  for (auto& x : v) x = static_cast<int64_t>(rng() % 2'000'000) - 1'000'000;
  return v;
}

// One null in eight rows.
std::vector<uint8_t> randomMask(uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> v(kRows);
  for (auto& x : v) x = rng() % 8 == 0;
  return v;
}

void setCounters(benchmark::State& state, size_t bytes_per_row) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRows * bytes_per_row));
}

template <class F>
void runKernel(benchmark::State& state, F kernel) {
  Arena arena;
  for (auto _ : state) {
    arena.reset();
    EvalResult<Vec> r = kernel(arena);
    if (!r) state.SkipWithError("kernel failed");
    benchmark::DoNotOptimize(r);
    benchmark::ClobberMemory();
  }
}

void BM_MemcpyBaseline(benchmark::State& state) {
  constexpr size_t kBytes = 80'000'000;
  std::vector<char> src(kBytes, 1), dst(kBytes, 0);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kBytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * kBytes));
}
BENCHMARK(BM_MemcpyBaseline)->Unit(benchmark::kMillisecond);

void BM_AddInt64ColCol(benchmark::State& state) {
  auto x = randomInts(1), y = randomInts(2);
  Vec a = column(Kind::int_, intData(x.data())), b = column(Kind::int_, intData(y.data()));
  runKernel(state, [&](Arena& arena) { return arith(arena, ArithOp::add, a, b); });
  setCounters(state, 24);
}
BENCHMARK(BM_AddInt64ColCol)->Unit(benchmark::kMillisecond);

void BM_AddInt64ColScalar(benchmark::State& state) {
  auto x = randomInts(1);
  int64_t k = 42;
  Vec a = column(Kind::int_, intData(x.data())), b = scalarOver(Kind::int_, intData(&k));
  runKernel(state, [&](Arena& arena) { return arith(arena, ArithOp::add, a, b); });
  setCounters(state, 16);
}
BENCHMARK(BM_AddInt64ColScalar)->Unit(benchmark::kMillisecond);

// About one divisor in a thousand is zero, so the lazily made mask appears
// and the marking pass runs.
void BM_DivFloatColCol(benchmark::State& state) {
  std::mt19937_64 rng(3);
  std::vector<double> x(kRows), y(kRows);
  for (size_t i = 0; i < kRows; ++i) {
    x[i] = static_cast<double>(rng() % 100000) / 7;
    y[i] = rng() % 1000 == 0 ? 0.0 : static_cast<double>(rng() % 1000 + 1) / 3;
  }
  Vec a = column(Kind::float_, floatData(x.data())), b = column(Kind::float_, floatData(y.data()));
  runKernel(state, [&](Arena& arena) { return arith(arena, ArithOp::div, a, b); });
  setCounters(state, 16 + 8 + 1);  // two reads, values and mask written
}
BENCHMARK(BM_DivFloatColCol)->Unit(benchmark::kMillisecond);

void BM_LtInt64ColScalar(benchmark::State& state) {
  auto x = randomInts(1);
  int64_t k = 0;
  Vec a = column(Kind::int_, intData(x.data())), b = scalarOver(Kind::int_, intData(&k));
  runKernel(state, [&](Arena& arena) { return compare(arena, vec::CmpOp::lt, a, b); });
  setCounters(state, 8 + 1);
}
BENCHMARK(BM_LtInt64ColScalar)->Unit(benchmark::kMillisecond);

void BM_AndBoolNulls(benchmark::State& state) {
  std::mt19937_64 rng(4);
  std::vector<uint8_t> x(kRows), y(kRows);
  for (size_t i = 0; i < kRows; ++i) x[i] = rng() % 2, y[i] = rng() % 2;
  auto nx = randomMask(5), ny = randomMask(6);
  Vec a = column(Kind::bool_, boolData(x.data()), nx.data());
  Vec b = column(Kind::bool_, boolData(y.data()), ny.data());
  runKernel(state, [&](Arena& arena) { return logic(arena, true, a, b); });
  setCounters(state, 4 + 2);  // values and masks of both read; values and mask written
}
BENCHMARK(BM_AndBoolNulls)->Unit(benchmark::kMillisecond);

// Short strings (4 to 15 lowercase letters); one in ten starts with "abc".
struct Strings {
  std::string bytes;
  std::vector<uint64_t> offs{0};
  Strings() {
    std::mt19937_64 rng(7);
    bytes.reserve(kRows * 10);
    offs.reserve(kRows + 1);
    for (size_t i = 0; i < kRows; ++i) {
      size_t n = 4 + rng() % 12;
      size_t from = 0;
      if (rng() % 10 == 0) {
        bytes += "abc";
        from = 3;
      }
      for (size_t k = from; k < n; ++k) bytes += static_cast<char>('a' + rng() % 26);
      offs.push_back(bytes.size());
    }
  }
  Vec vec() const { return column(Kind::str, strData(offs.data(), bytes)); }
  size_t bytesPerRow() const { return bytes.size() / kRows + 8 + 1; }  // text, offset, result
};

void BM_LikePrefix(benchmark::State& state) {
  Strings s;
  Vec v = s.vec();
  uint64_t poffs[] = {0, 4};
  Vec pat = scalarOver(Kind::str, strData(poffs, "abc%"));
  runKernel(state, [&](Arena& arena) { return like(arena, v, pat, false, false); });
  setCounters(state, s.bytesPerRow());
}
BENCHMARK(BM_LikePrefix)->Unit(benchmark::kMillisecond);

void BM_IlikeContains(benchmark::State& state) {
  Strings s;
  Vec v = s.vec();
  uint64_t poffs[] = {0, 3};
  Vec pat = scalarOver(Kind::str, strData(poffs, "%x%"));
  runKernel(state, [&](Arena& arena) { return like(arena, v, pat, true, false); });
  setCounters(state, s.bytesPerRow());
}
BENCHMARK(BM_IlikeContains)->Unit(benchmark::kMillisecond);

// Instants spread over 1970-2050.
std::vector<int64_t> randomTimestamps() {
  std::mt19937_64 rng(8);
  std::vector<int64_t> v(kRows);
  for (auto& x : v) x = static_cast<int64_t>(rng() % (int64_t{80} * 365 * kMicrosPerDay));
  return v;
}

void truncateBench(benchmark::State& state, Grain grain) {
  auto x = randomTimestamps();
  Vec a = column(Kind::timestamp, intData(x.data()));
  runKernel(state, [&](Arena& arena) { return truncateVec(arena, grain, a); });
  setCounters(state, 16);
}

void BM_TruncateDay(benchmark::State& state) { truncateBench(state, Grain::day); }
BENCHMARK(BM_TruncateDay)->Unit(benchmark::kMillisecond);

void BM_TruncateMonth(benchmark::State& state) { truncateBench(state, Grain::month); }
BENCHMARK(BM_TruncateMonth)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quendra
