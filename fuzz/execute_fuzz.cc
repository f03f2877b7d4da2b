// quendra_execute over small tables, a manifest and a query all shaped by
// the fuzzer's bytes. The tables are bound through quendra_bind_column in
// every supported format, with nulls and zero rows. Checked beyond "no
// crash": a success is a struct array whose children all have the parent's
// length and buffers that hold what their structure claims (every byte is
// read, so ASan sees an undersized buffer), released exactly once; a
// failure leaves an error document and the host's structures untouched;
// and the context then still answers a known query exactly.
//
// Input: a byte choosing one or two tables; per table a row count and a
// column count, per column a format pick, a null pattern and one value byte
// per row; then the manifest and the query, split at the first NUL byte
// (with no NUL, everything left is the query over a fixed manifest).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "quendra.h"

namespace {

struct Input {
  const uint8_t* p;
  size_t n;
  uint8_t byte() { return n ? (--n, *p++) : 0; }
};

constexpr const char* kManifest = R"({"calendar": {"week_start": "wednesday", "fiscal_year_start": 4}, "models": {
  "m": {"table": "t0",
    "dimensions": {"a": "a", "b": "b", "c": "c", "d": "d", "e": "a + 1", "t": {"expr": "d", "time": true},
                   "pj": "a + j.b", "ch": "m.e * 2 + j.kk.c", "nk": {"measure": "many.kn"}, "avg_b": {"measure": "mb"}},
    "measures": {"n": {"agg": "count"}, "sa": {"agg": "sum", "expr": "a"}, "mb": {"agg": "mean", "expr": "b"},
      "lo": {"agg": "min", "expr": "c"}, "hi": {"agg": "max", "expr": "d"}, "u": {"agg": "nunique", "expr": "c"},
      "r": {"calc": "sa / n"}, "rr": {"calc": "r * 2 - mb"},
      "fs": {"agg": "sum", "expr": "a", "filters": [{"field": "j.kk.c", "operator": "is not null"}]},
      "fn": {"agg": "count", "filters": [{"field": "m.b", "operator": ">", "value": 1}]},
      "tb": {"measure": "sa", "total": ["m.b", "m.t"]}, "tu": {"measure": "u", "total": true}, "sh": {"calc": "sa / tb"},
      "rk": {"measure": "sh", "rank": "desc", "within": ["m.b"]}, "ra": {"measure": "lo", "rank": "asc"}},
    "joins": {"j": {"model": "k", "left_on": "a", "right_on": "a"},
              "many": {"model": "k", "type": "many", "left_on": "b", "right_on": "b"}},
    "segments": {"small": [{"field": "a", "operator": "<", "value": 3}], "few": [{"field": "n", "operator": "<", "value": 4}]},
    "primary_key": "a"},
  "k": {"table": "t1", "primary_key": ["a", "c"], "where": [{"field": "b", "operator": "!=", "value": 2}],
        "dimensions": {"a": "a", "b": "b", "c": "c",
                                                                  "nd": {"measure": "down.kn"}},
    "measures": {"kn": {"agg": "count"}, "ks": {"agg": "sum", "expr": "b + kk.a",
                                                "filters": [{"field": "c", "operator": "is not null"}]}},
    "joins": {"kk": {"model": "k", "left_on": ["b", "c"], "right_on": ["a", "b"]},
              "down": {"model": "k", "type": "many", "left_on": "c", "right_on": "c"}}},
  "known": {"table": "known", "dimensions": {"g": "g"}, "measures": {"n": {"agg": "count"}, "s": {"agg": "sum", "expr": "v"}}}}})";

constexpr const char* kKnownQuery = R"({"model": "known", "dimensions": ["g"], "measures": ["n", "s"], "order_by": ["g"]})";

const char* const kFormats[] = {"l", "g", "b", "u", "tdD", "tsu:", "i", "U"};
const char* const kStrings[] = {"", "a", "A", "b", "é", "a%", "it's", "\\"};
const double kFloats[] = {0.0, -0.0, 1.5, -2.0, __builtin_nan(""), __builtin_inf(), 1e300, 3.0};

void noRelease(ArrowArray* a) { a->release = nullptr; }
void noReleaseSchema(ArrowSchema* s) { s->release = nullptr; }

// One host column: buffers built from the input, bound, then dropped.
int bindColumn(quendra_ctx* ctx, const char* table, const char* name, Input& in, size_t rows) {
  const char* format = kFormats[in.byte() % 8];
  uint8_t nulls = in.byte();
  std::vector<uint8_t> validity((rows + 7) / 8 + 1, 0);
  int64_t null_count = 0;
  std::vector<uint8_t> values(rows);
  for (size_t r = 0; r < rows; ++r) {
    values[r] = in.byte();
    bool null = nulls && (values[r] % (nulls % 5 + 2)) == 0;
    if (!null) validity[r / 8] |= static_cast<uint8_t>(1 << (r % 8));
    null_count += null;
  }
  std::vector<int64_t> i64(rows);
  std::vector<int32_t> i32(rows + 1, 0);
  std::vector<double> f64(rows);
  std::vector<uint8_t> bits((rows + 7) / 8 + 1, 0);
  std::vector<int64_t> o64(rows + 1, 0);
  std::vector<int32_t> o32(rows + 1, 0);
  std::string bytes;
  for (size_t r = 0; r < rows; ++r) {
    auto v = static_cast<int8_t>(values[r]);
    i64[r] = std::strcmp(format, "tsu:") == 0 ? int64_t{v} * 3'600'000'000 : v;
    i32[r] = std::strcmp(format, "tdD") == 0 ? 19700 + v : v;
    f64[r] = kFloats[values[r] % 8];
    if (values[r] & 1) bits[r / 8] |= static_cast<uint8_t>(1 << (r % 8));
    bytes += kStrings[values[r] % 8];
    o32[r + 1] = static_cast<int32_t>(bytes.size());
    o64[r + 1] = static_cast<int64_t>(bytes.size());
  }
  const void* buffers[3] = {null_count ? validity.data() : nullptr, nullptr, bytes.data()};
  int64_t n_buffers = 2;
  std::string f = format;
  if (f == "l" || f == "tsu:") buffers[1] = i64.data();
  if (f == "g") buffers[1] = f64.data();
  if (f == "b") buffers[1] = bits.data();
  if (f == "i" || f == "tdD") buffers[1] = i32.data();
  if (f == "u" || f == "U") {
    buffers[1] = f == "u" ? static_cast<const void*>(o32.data()) : o64.data();
    n_buffers = 3;
  }
  ArrowSchema schema{format, name, nullptr, ARROW_FLAG_NULLABLE, 0, nullptr, nullptr, noReleaseSchema, nullptr};
  ArrowArray array{static_cast<int64_t>(rows), null_count, 0, n_buffers, 0, buffers, nullptr, nullptr, noRelease,
                   nullptr};
  return quendra_bind_column(ctx, table, name, &array, &schema);
}

// Reads every byte a child claims to have; returns its rows as text so the
// known query's answer can be compared.
std::string checkChild(const ArrowArray* a, const ArrowSchema* s, int64_t length) {
  using quendra::fuzz::die;
  if (a->length != length || a->offset != 0 || a->n_children != 0) die("child shape", s->format);
  std::string f = s->format;
  size_t n = static_cast<size_t>(length);
  volatile uint8_t sink = 0;
  int64_t nulls = 0;
  const auto* valid = static_cast<const uint8_t*>(a->buffers[0]);
  if (valid)
    for (size_t i = 0; i < n; ++i) nulls += !((valid[i / 8] >> (i % 8)) & 1);
  if (nulls != a->null_count || (!valid && a->null_count != 0)) die("null_count does not match the bitmap", f);
  if (valid && nulls == 0) die("bitmap without a null", f);
  size_t width = f == "l" || f == "g" || f == "tsu:" ? 8 : f == "tdD" ? 4 : 0;
  std::string text;
  if (f == "u") {
    if (a->n_buffers != 3) die("string child without three buffers", f);
    const auto* offs = static_cast<const int32_t*>(a->buffers[1]);
    if (offs[0] != 0) die("first offset not 0", f);
    for (size_t i = 0; i < n; ++i)
      if (offs[i + 1] < offs[i]) die("offsets decrease", f);
    const auto* bytes = static_cast<const uint8_t*>(a->buffers[2]);
    if (!bytes) die("string bytes absent", f);
    for (int32_t i = 0; i < offs[n]; ++i) sink = sink + bytes[i];
    for (size_t i = 0; i < n; ++i) text += std::string(reinterpret_cast<const char*>(bytes) + offs[i], offs[i + 1] - offs[i]) + ",";
  } else if (f == "b") {
    const auto* bits = static_cast<const uint8_t*>(a->buffers[1]);
    for (size_t i = 0; i < (n + 7) / 8; ++i) sink = sink + bits[i];
  } else if (width) {
    const auto* bytes = static_cast<const uint8_t*>(a->buffers[1]);
    for (size_t i = 0; i < n * width; ++i) sink = sink + bytes[i];
    if (f == "l")
      for (size_t i = 0; i < n; ++i)
        text += (valid && !((valid[i / 8] >> (i % 8)) & 1)) ? "null," : std::to_string(reinterpret_cast<const int64_t*>(bytes)[i]) + ",";
  } else {
    die("unexpected child format", f);
  }
  return text;
}

// Checks a successful result, releases it, and returns its rows as text.
std::string consume(ArrowArray& a, ArrowSchema& s) {
  using quendra::fuzz::die;
  if (std::strcmp(s.format, "+s") != 0 || a.n_children != s.n_children || a.null_count != 0 || a.length < 0)
    die("parent shape", s.format);
  std::string text;
  for (int64_t i = 0; i < a.n_children; ++i) text += checkChild(a.children[i], s.children[i], a.length) + "|";
  a.release(&a);
  if (a.release) die("parent array still marked live", "");
  s.release(&s);
  if (s.release) die("parent schema still marked live", "");
  return text;
}

int run(quendra_ctx* ctx, const std::string& q, ArrowArray* a, ArrowSchema* s) {
  return quendra_execute(ctx, reinterpret_cast<const uint8_t*>(q.data()), q.size(), a, s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using quendra::fuzz::die;
  Input in{data, size};
  quendra_ctx* ctx = quendra_new();
  if (!ctx) return 0;
  // A table the fuzzer cannot touch, for the known query at the end.
  {
    Input fixed{reinterpret_cast<const uint8_t*>("\x00\x00\x01\x02\x01"), 5};
    static const int64_t v[] = {5, 7, 9};
    const void* vb[] = {nullptr, v};
    ArrowSchema s{"l", "v", nullptr, 2, 0, nullptr, nullptr, noReleaseSchema, nullptr};
    ArrowArray arr{3, 0, 0, 2, 0, vb, nullptr, nullptr, noRelease, nullptr};
    if (quendra_bind_column(ctx, "known", "v", &arr, &s) != 0 || bindColumn(ctx, "known", "g", fixed, 3) != 0)
      die("binding the known table failed", quendra_last_error(ctx));
  }
  int ntables = 1 + (in.byte() & 1);
  for (int t = 0; t < ntables; ++t) {
    const char* table = t ? "t1" : "t0";
    size_t rows = in.byte() % 20;
    int ncols = 1 + in.byte() % 4;
    for (int c = 0; c < ncols; ++c) {
      const char name[2] = {static_cast<char>('a' + c), 0};
      if (bindColumn(ctx, table, name, in, rows) != 0) die("binding a well-formed column failed", quendra_last_error(ctx));
    }
  }
  std::string rest(reinterpret_cast<const char*>(in.p), in.n);
  size_t nul = rest.find('\0');
  std::string manifest = nul == std::string::npos ? kManifest : rest.substr(0, nul);
  std::string query = nul == std::string::npos ? rest : rest.substr(nul + 1);
  if (quendra_load_models(ctx, reinterpret_cast<const uint8_t*>(manifest.data()), manifest.size()) == 0) {
    ArrowArray a;
    ArrowSchema s;
    std::memset(&a, 0xAB, sizeof a);
    std::memset(&s, 0xAB, sizeof s);
    int rc = run(ctx, query, &a, &s);
    if (rc == 0) {
      if (*quendra_last_error(ctx)) die("success left an error document", quendra_last_error(ctx));
      consume(a, s);
    } else {
      if (rc < 1 || rc > 6) die("result code out of range", query);
      quendra::fuzz::checkErrorDoc(quendra_last_error(ctx));
      if (!*quendra_last_error(ctx)) die("failure without an error document", query);
      if (reinterpret_cast<const uint8_t*>(&a)[0] != 0xAB || reinterpret_cast<const uint8_t*>(&s)[0] != 0xAB)
        die("failure wrote the host's structures", query);
    }
  }
  if (quendra_load_models(ctx, reinterpret_cast<const uint8_t*>(kManifest), std::strlen(kManifest)) != 0)
    die("the fixed manifest no longer loads", quendra_last_error(ctx));
  ArrowArray a;
  ArrowSchema s;
  if (run(ctx, kKnownQuery, &a, &s) != 0) die("the known query failed", quendra_last_error(ctx));
  std::string got = consume(a, s);
  if (got != "1,2,|2,1,|14,7,|") die("the known query's answer changed", got);
  quendra_free(ctx);
  return 0;
}
