// importColumn over hand-built Arrow arrays: every format, offsets, validity
// bitmaps, empty arrays, and the shapes it must refuse.
#include "arrow/import.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "arrow_testing.h"

namespace quendra {
namespace {

using testing::bitsOf;
using testing::Buf;
using testing::bytesOf;
using testing::HostColumn;
using testing::utf8Of;

template <class T>
using Opt = std::vector<std::optional<T>>;

ImportResult<Vec> import(Arena& arena, HostColumn& c) { return importColumn(arena, c.schema, c.array); }

// The column's rows as optionals (nullopt where the mask says null).
Opt<int64_t> intsOf(const Vec& v) {
  Opt<int64_t> out;
  for (size_t i = 0; i < v.len; ++i) out.push_back(v.isNull(i) ? std::nullopt : std::optional(v.intAt(i)));
  return out;
}
Opt<std::string> strsOf(const Vec& v) {
  Opt<std::string> out;
  for (size_t i = 0; i < v.len; ++i)
    out.push_back(v.isNull(i) ? std::nullopt : std::optional(std::string(v.strAt(i))));
  return out;
}

// Each integer format from one row in front of the slice, and the extremes
// of the type: signed types sign-extend, unsigned ones zero-extend, uint64
// keeps its bits. The values buffer starts one byte into its storage, so
// reads must not rely on alignment.
TEST(BindImport, IntegersOfEveryWidth) {
  auto unaligned = [](std::vector<uint8_t> b) {
    b.insert(b.begin(), 0xEE);
    return b;
  };
  struct Case {
    const char* format;
    std::vector<uint8_t> values;
    std::vector<int64_t> want;  // rows 1.. of the buffer
  };
  const Case cases[] = {
      {"c", bytesOf<int8_t>({9, -128, 127, -1, 0}), {-128, 127, -1, 0}},
      {"C", bytesOf<uint8_t>({9, 0, 255, 1, 128}), {0, 255, 1, 128}},
      {"s", bytesOf<int16_t>({9, -32768, 32767, -1, 0}), {-32768, 32767, -1, 0}},
      {"S", bytesOf<uint16_t>({9, 0, 65535, 1, 32768}), {0, 65535, 1, 32768}},
      {"i", bytesOf<int32_t>({9, INT32_MIN, INT32_MAX, -1, 0}), {INT32_MIN, INT32_MAX, -1, 0}},
      {"I", bytesOf<uint32_t>({9, 0, UINT32_MAX, 1, 1u << 31}), {0, UINT32_MAX, 1, int64_t{1} << 31}},
      {"l", bytesOf<int64_t>({9, INT64_MIN, INT64_MAX, -1, 0}), {INT64_MIN, INT64_MAX, -1, 0}},
      {"L", bytesOf<uint64_t>({9, 0, UINT64_MAX, uint64_t{1} << 63, INT64_MAX}), {0, -1, INT64_MIN, INT64_MAX}},
  };
  for (const Case& c : cases) {
    Arena arena;
    Buf values = unaligned(c.values);
    HostColumn col(c.format, 4, {std::nullopt, values}, 1);
    col.ptrs[1] = static_cast<const uint8_t*>(col.ptrs[1]) + 1;
    col.array.buffers = col.ptrs.data();
    auto v = import(arena, col);
    ASSERT_TRUE(v) << c.format;
    EXPECT_EQ(v->kind, Kind::int_) << c.format;
    EXPECT_EQ(v->data.tag, Data::Tag::int_) << c.format;
    EXPECT_FALSE(v->scalar);
    EXPECT_EQ(v->nulls, nullptr);
    EXPECT_EQ(std::vector<int64_t>(v->data.ints, v->data.ints + v->len), c.want) << c.format;
    EXPECT_EQ(col.releases, "") << "importing never releases";
  }
}

TEST(BindImport, FloatsAndBooleans) {
  Arena arena;
  const float inf = std::numeric_limits<float>::infinity();
  HostColumn f32("f", 4, {std::nullopt, bytesOf<float>({7, 1.5f, -0.0f, inf, 0.1f})}, 1);
  auto v = import(arena, f32);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->kind, Kind::float_);
  EXPECT_EQ(v->data.floats[0], 1.5);
  EXPECT_TRUE(std::signbit(v->data.floats[1]));
  EXPECT_EQ(v->data.floats[2], std::numeric_limits<double>::infinity());
  EXPECT_EQ(v->data.floats[3], static_cast<double>(0.1f));

  HostColumn f64("g", 2, {std::nullopt, bytesOf<double>({0.1, std::nan(""), -2.5})}, 1);
  v = import(arena, f64);
  ASSERT_TRUE(v);
  EXPECT_TRUE(std::isnan(v->data.floats[0]));
  EXPECT_EQ(v->data.floats[1], -2.5);

  // 70 booleans read from bit 3 on: the unaligned head, whole bytes, a tail.
  std::vector<bool> bits(73);
  for (size_t i = 0; i < bits.size(); ++i) bits[i] = (i * 7) % 3 == 1;
  HostColumn b("b", 70, {std::nullopt, bitsOf(bits)}, 3);
  v = import(arena, b);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->kind, Kind::bool_);
  for (size_t i = 0; i < 70; ++i) EXPECT_EQ(v->data.bools[i], bits[i + 3] ? 1 : 0) << i;
}

TEST(BindImport, DatesAndTimestamps) {
  struct Case {
    const char* format;
    std::vector<uint8_t> values;
    Kind kind;
    std::vector<int64_t> want;
  };
  const int64_t day_ms = 86'400'000;
  const std::vector<int64_t> raw{-1, 1, -1'000, 1'999, INT32_MAX};
  const Case cases[] = {
      {"tdD", bytesOf<int32_t>({-1, 0, 19'000, INT32_MIN}), Kind::date, {-1, 0, 19'000, INT32_MIN}},
      // Milliseconds floor to whole days, also below the epoch.
      {"tdm", bytesOf<int64_t>({-1, -day_ms, -day_ms - 1, day_ms - 1, 3 * day_ms}), Kind::date, {-1, -1, -2, 0, 3}},
      {"tss:", bytesOf(raw), Kind::timestamp, {-1'000'000, 1'000'000, -1'000'000'000, 1'999'000'000,
                                               int64_t{INT32_MAX} * 1'000'000}},
      {"tsm:UTC", bytesOf(raw), Kind::timestamp, {-1'000, 1'000, -1'000'000, 1'999'000, int64_t{INT32_MAX} * 1'000}},
      {"tsu:", bytesOf(raw), Kind::timestamp, raw},
      {"tsu:Europe/Paris", bytesOf(raw), Kind::timestamp, raw},
      {"tsu:+07:30", bytesOf(raw), Kind::timestamp, raw},
      // Nanoseconds floor to microseconds: -1 ns is -1 µs.
      {"tsn:America/New_York", bytesOf(raw), Kind::timestamp, {-1, 0, -1, 1, INT32_MAX / 1'000}},
  };
  for (const Case& c : cases) {
    Arena arena;
    size_t n = c.want.size();
    HostColumn col(c.format, static_cast<int64_t>(n), {std::nullopt, c.values});
    auto v = import(arena, col);
    ASSERT_TRUE(v) << c.format;
    EXPECT_EQ(v->kind, c.kind) << c.format;
    EXPECT_EQ(std::vector<int64_t>(v->data.ints, v->data.ints + n), c.want) << c.format;
  }
}

// Strings of a slice: offsets rebased to 0 whatever the first one is, only
// the covered bytes copied, empty strings kept, both offset widths.
TEST(BindImport, StringsAreRebasedAndCopied) {
  const std::string nul("a\0b", 3);
  const std::vector<std::string> words{"skip", "", "héllo", nul, "", "last"};
  for (bool large : {false, true}) {
    auto [offs, data] = large ? utf8Of<int64_t>(words, 5) : utf8Of<int32_t>(words, 5);
    Arena arena;
    HostColumn col(large ? "U" : "u", 4, {std::nullopt, offs, data}, 1);
    auto v = import(arena, col);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->kind, Kind::str);
    EXPECT_EQ(strsOf(*v), (Opt<std::string>{"", "héllo", nul, ""}));
    EXPECT_EQ(v->data.str.offs[0], 0u);
    EXPECT_EQ(v->data.str.bytes.size(), std::string("héllo").size() + 3);
    EXPECT_NE(v->data.str.bytes.data(), reinterpret_cast<const char*>(col.buffers[2]->data()) + 5 + 4);
  }
  // Only empty strings: the bytes buffer may be absent.
  Arena arena;
  HostColumn empties("u", 2, {std::nullopt, bytesOf<int32_t>({3, 3, 3}), std::nullopt});
  auto v = import(arena, empties);
  ASSERT_TRUE(v);
  EXPECT_EQ(strsOf(*v), (Opt<std::string>{"", ""}));
}

TEST(BindImport, NullMaskFollowsTheValidityBuffer) {
  // Rows 2.. of the buffers; bit 0 of each validity byte is row 0.
  std::vector<bool> valid{true, false, true, false, true, true};
  auto values = bytesOf<int64_t>({0, 1, 2, 3, 4, 5});
  struct Case {
    std::vector<bool> validity;  // empty: no validity buffer
    int64_t null_count;
    Opt<int64_t> want;
  };
  const Case cases[] = {
      {valid, 1, {2, std::nullopt, 4, 5}},
      {valid, -1, {2, std::nullopt, 4, 5}},    // unknown count: the bits decide
      {valid, 0, {2, 3, 4, 5}},                // null_count 0 ignores the bitmap
      {{}, 3, {2, 3, 4, 5}},                   // no bitmap: no nulls whatever the count
      {{true, false, true, true, true, true}, -1, {2, 3, 4, 5}},  // none null in the slice
  };
  for (const Case& c : cases) {
    Arena arena;
    Buf validity;
    if (!c.validity.empty()) validity = bitsOf(c.validity);
    HostColumn col("l", 4, {validity, values}, 2, c.null_count);
    auto v = import(arena, col);
    ASSERT_TRUE(v);
    EXPECT_EQ(intsOf(*v), c.want);
    bool any_null = false;
    for (auto& x : c.want) any_null |= !x;
    EXPECT_EQ(v->nulls != nullptr, any_null) << "a mask only when some row is null";
  }
  // Nulls over strings and booleans as well.
  Arena arena;
  auto [offs, data] = utf8Of<int32_t>({"x", "yy", "zzz"});
  HostColumn s("u", 3, {bitsOf({true, false, true}), offs, data}, 0, 1);
  auto v = import(arena, s);
  ASSERT_TRUE(v);
  EXPECT_EQ(strsOf(*v), (Opt<std::string>{"x", std::nullopt, "zzz"}));
  HostColumn b("b", 3, {bitsOf({false, false, true}), bitsOf({true, true, false})}, 0, 2);
  v = import(arena, b);
  ASSERT_TRUE(v);
  ASSERT_NE(v->nulls, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(v->nulls, v->nulls + 3), (std::vector<uint8_t>{1, 1, 0}));
}

// The byte-at-a-time unpacking against bitAt, for every start bit within a
// byte and lengths around byte and word boundaries, over random bits.
TEST(BindImport, BitUnpackingMatchesBitAt) {
  std::mt19937_64 rng(7);
  for (int64_t n : {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 200}) {
    for (int64_t off = 0; off < 18; ++off) {
      std::vector<uint8_t> validity(static_cast<size_t>((n + off + 7) / 8 + 1)), values(validity.size());
      for (auto& b : validity) b = static_cast<uint8_t>(rng());
      for (auto& b : values) b = static_cast<uint8_t>(rng());
      Arena arena;
      HostColumn col("b", n, {validity, values}, off, -1);
      auto v = import(arena, col);
      ASSERT_TRUE(v);
      bool any_null = false;
      for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
        size_t bit = static_cast<size_t>(off) + i;
        bool is_null = !bitAt(validity.data(), bit);
        any_null |= is_null;
        if (v->nulls) ASSERT_EQ(v->nulls[i], is_null) << n << " " << off << " " << i;
        ASSERT_EQ(v->data.bools[i], bitAt(values.data(), bit)) << n << " " << off << " " << i;
      }
      EXPECT_EQ(v->nulls != nullptr, any_null) << n << " " << off;
    }
  }
}

TEST(BindImport, EmptyColumnsNeedNoBuffersButBooleansDo) {
  for (const char* f : {"c", "C", "s", "S", "i", "I", "l", "L", "f", "g", "u", "U", "tdD", "tdm", "tss:", "tsn:UTC"}) {
    Arena arena;
    HostColumn col(f, 0, {});
    auto v = import(arena, col);
    ASSERT_TRUE(v) << f;
    EXPECT_EQ(v->len, 0u);
    EXPECT_EQ(v->nulls, nullptr);
    if (v->kind == Kind::str) EXPECT_EQ(v->data.str.offs[0], 0u);
  }
  Arena arena;
  HostColumn bare("b", 0, {});
  EXPECT_EQ(import(arena, bare).error(), ImportErr::Malformed);
  HostColumn null_values("b", 0, {std::nullopt, std::nullopt});
  EXPECT_EQ(import(arena, null_values).error(), ImportErr::Malformed);
  HostColumn with_values("b", 0, {std::nullopt, std::vector<uint8_t>{0}});
  EXPECT_TRUE(import(arena, with_values));
}

TEST(BindImport, MalformedShapesAreRefused) {
  auto [offs, data] = utf8Of<int32_t>({"ab", "c"});
  auto values = bytesOf<int64_t>({1, 2});
  struct Case {
    const char* what;
    const char* format;
    int64_t length, offset;
    std::vector<Buf> buffers;
  };
  const Case cases[] = {
      {"negative length", "l", -1, 0, {std::nullopt, values}},
      {"negative offset", "l", 1, -1, {std::nullopt, values}},
      {"negative length, unsupported format", "z", -1, 0, {}},
      {"too many rows for 32-bit row indices", "l", kMaxImportRows, 0, {}},
      {"length + offset overflows", "l", 1, INT64_MAX, {std::nullopt, values}},
      {"no buffers at all", "l", 2, 0, {}},
      {"values buffer beyond n_buffers", "i", 2, 0, {std::nullopt}},
      {"null values pointer", "g", 2, 0, {std::nullopt, std::nullopt}},
      {"boolean without values", "b", 2, 0, {bitsOf({true, true})}},
      {"date without values", "tdD", 1, 0, {std::nullopt}},
      {"timestamp without values", "tsu:", 1, 0, {std::nullopt, std::nullopt}},
      {"string without offsets", "u", 2, 0, {std::nullopt, std::nullopt, data}},
      {"string without bytes", "u", 2, 0, {std::nullopt, offs, std::nullopt}},
      {"string with two buffers", "U", 1, 0, {std::nullopt, bytesOf<int64_t>({0, 2})}},
      {"decreasing offsets", "u", 3, 0, {std::nullopt, bytesOf<int32_t>({0, 2, 1, 3}), data}},
      {"decreasing large offsets", "U", 2, 0, {std::nullopt, bytesOf<int64_t>({0, 3, INT64_MIN}), data}},
      {"decreasing offsets in the slice", "u", 1, 1, {std::nullopt, bytesOf<int32_t>({0, 2, 1}), data}},
      {"negative first offset", "u", 1, 0, {std::nullopt, bytesOf<int32_t>({-2, 1}), data}},
      {"negative first large offset", "U", 1, 0, {std::nullopt, bytesOf<int64_t>({-1, 1}), data}},
  };
  for (const Case& c : cases) {
    Arena arena;
    HostColumn col(c.format, c.length, c.buffers, c.offset);
    auto v = import(arena, col);
    ASSERT_FALSE(v) << c.what;
    EXPECT_EQ(v.error(), ImportErr::Malformed) << c.what;
  }
  Arena arena;
  HostColumn no_format("l", 1, {std::nullopt, values});
  no_format.schema.format = nullptr;
  EXPECT_EQ(import(arena, no_format).error(), ImportErr::Malformed);
}

TEST(BindImport, UnsupportedFormats) {
  for (const char* f : {"e", "z", "Z", "vu", "vz", "d:10,2", "d:38,10,256", "w:4", "+s", "+l", "+m", "n", "tdh",
                        "tts", "ttm", "tDs", "tiM", "ts", "tsu", "tsuX", "tsx:", "ts:", "", "ll", "uu"}) {
    Arena arena;
    HostColumn col(f, 0, {});
    EXPECT_EQ(import(arena, col).error(), ImportErr::Unsupported) << f;
  }
  // Dictionary encoding is refused before anything else is looked at.
  ArrowSchema dict_schema{};
  ArrowArray dict_array{};
  for (bool on_schema : {true, false}) {
    Arena arena;
    HostColumn col("i", -1, {});
    if (on_schema)
      col.schema.dictionary = &dict_schema;
    else
      col.array.dictionary = &dict_array;
    EXPECT_EQ(import(arena, col).error(), ImportErr::Unsupported) << on_schema;
  }
}

}  // namespace
}  // namespace quendra
