// quendra_bind_column over Arrow arrays and schemas shaped by the fuzzer's
// bytes: format, length, offset, null count, which buffers exist and what
// they hold. Every buffer is as large as the structure claims, so only the
// library can be at fault. Checked beyond "no crash": the result code, each
// release callback called exactly once (array first), the error document's
// shape, and that the context still binds a good column afterwards.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "quendra.h"

namespace {

// Reads the fuzzer's bytes front to back; past the end everything is 0.
struct Input {
  const uint8_t* p;
  size_t n;
  uint8_t byte() { return n ? (--n, *p++) : 0; }
  uint32_t u16() { return byte() | uint32_t{byte()} << 8; }
};

const char* const kFormats[] = {"c", "C", "s", "S", "i", "I", "l", "L", "f", "g", "b", "u", "U", "tdD", "tdm",
                                "tss:", "tsm:UTC", "tsu:Europe/Paris", "tsn:+01:00", "tsx:", "ts", "e", "z",
                                "Z", "d:10,2", "+s", "+l", "n", "", "tdX", "uu", "tss"};

// Bytes per value of a fixed-width format, 0 for others.
size_t widthOf(const std::string& f) {
  if (f == "c" || f == "C") return 1;
  if (f == "s" || f == "S") return 2;
  if (f == "i" || f == "I" || f == "f" || f == "tdD") return 4;
  if (f == "l" || f == "L" || f == "g" || f == "tdm" || (f.size() > 3 && f[0] == 't' && f[1] == 's')) return 8;
  return 0;
}

struct Calls {
  int array = 0;
  int schema = 0;
  int order = 0;  // 1 when the array was released before the schema
};

void releaseArray(ArrowArray* a) {
  auto* c = static_cast<Calls*>(a->private_data);
  ++c->array;
  if (c->schema == 0) c->order = 1;
  a->release = nullptr;
}

void releaseSchema(ArrowSchema* s) {
  ++static_cast<Calls*>(s->private_data)->schema;
  s->release = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  uint8_t pick = in.byte();
  std::string format;
  if (pick < 240) {
    format = kFormats[pick % (sizeof kFormats / sizeof *kFormats)];
  } else {
    for (int i = pick - 240; i > 0; --i) format += static_cast<char>(in.byte() | 1);  // no NUL inside
  }
  uint8_t shape = in.byte();
  int64_t length = in.u16() % 700;
  int64_t offset = in.byte() % 70;
  if (shape & 0x80) length = -length - 1;  // malformed on purpose
  if ((shape & 0x60) == 0x60) offset = -offset - 1;
  int64_t null_count = (shape & 3) == 0 ? 0 : (shape & 3) == 1 ? -1 : in.byte();
  uint8_t present = in.byte();  // which buffers exist
  int64_t rows = length > 0 && offset >= 0 ? length + offset : 0;

  // Buffers as large as the structure claims, filled from the input.
  auto fill = [&](size_t bytes) {
    std::vector<uint8_t> b(bytes + 1);
    for (auto& x : b) x = in.byte();
    return b;
  };
  std::vector<uint8_t> validity = fill((rows + 7) / 8);
  bool large = format == "U";
  std::vector<uint8_t> values, chars;
  if (format == "u" || format == "U") {
    // Offsets mostly grow by small steps; some inputs break them on purpose.
    std::vector<int64_t> offs(rows + 1);
    int64_t at = (shape & 0x10) ? -static_cast<int64_t>(in.byte() % 3) : in.byte() % 5;
    for (auto& o : offs) {
      o = at;
      uint8_t step = in.byte();
      at += (step == 255 && (shape & 0x08)) ? -3 : step % 9;
    }
    int64_t top = 0;
    for (int64_t o : offs) top = o > top ? o : top;
    chars = fill(top);
    values.resize(offs.size() * (large ? 8 : 4));
    for (size_t i = 0; i < offs.size(); ++i) {
      if (large) {
        std::memcpy(values.data() + 8 * i, &offs[i], 8);
      } else {
        auto o32 = static_cast<int32_t>(offs[i]);
        std::memcpy(values.data() + 4 * i, &o32, 4);
      }
    }
  } else if (format == "b") {
    values = fill((rows + 7) / 8);
  } else {
    values = fill(rows * (widthOf(format) ? widthOf(format) : 8));
  }

  const void* buffers[3] = {present & 1 ? validity.data() : nullptr, present & 2 ? values.data() : nullptr,
                            present & 4 ? chars.data() : nullptr};
  Calls calls;
  ArrowSchema dict_schema{};
  ArrowArray dict_array{};
  ArrowSchema schema{};
  schema.format = format.c_str();
  schema.release = releaseSchema;
  schema.private_data = &calls;
  if (present & 0x40) schema.dictionary = &dict_schema;
  ArrowArray array{};
  array.length = length;
  array.offset = offset;
  array.null_count = null_count;
  array.n_buffers = (present & 0x80) ? present % 3 : 3;
  array.buffers = (present & 0x20) ? nullptr : buffers;
  array.release = releaseArray;
  array.private_data = &calls;
  if ((present & 0x18) == 0x18) array.dictionary = &dict_array;

  quendra_ctx* ctx = quendra_new();
  std::string table = (shape & 0x04) ? "t" : "t.with \"odd\" `name`";
  int rc = quendra_bind_column(ctx, table.c_str(), "c", &array, &schema);
  std::string_view what(reinterpret_cast<const char*>(data), size);
  if (rc != 0 && rc != 1 && rc != 5) quendra::fuzz::die("bind returned an unexpected code", what);
  if (calls.array != 1 || calls.schema != 1 || calls.order != 1)
    quendra::fuzz::die("release callbacks not called exactly once, array first", what);
  if (rc != 0) quendra::fuzz::checkErrorDoc(quendra_last_error(ctx));

  // The context still binds a good column to another table, and to this one
  // when the first bind succeeded with the same length.
  int64_t good_len = rc == 0 ? length : 3;
  std::vector<int64_t> good(good_len > 0 ? good_len : 1, 7);
  const void* good_buffers[2] = {nullptr, good.data()};
  Calls good_calls;
  ArrowSchema good_schema{};
  good_schema.format = "l";
  good_schema.release = releaseSchema;
  good_schema.private_data = &good_calls;
  ArrowArray good_array{};
  good_array.length = good_len;
  good_array.n_buffers = 2;
  good_array.buffers = good_buffers;
  good_array.release = releaseArray;
  good_array.private_data = &good_calls;
  if (quendra_bind_column(ctx, rc == 0 ? table.c_str() : "other", "d", &good_array, &good_schema) != 0)
    quendra::fuzz::die("a good column no longer binds", what);
  quendra_free(ctx);
  return 0;
}
