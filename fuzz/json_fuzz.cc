// The JSON reader over arbitrary bytes: it must answer, and a value it
// returns must be walkable.
#include <cstddef>
#include <cstdint>

#include "base/json.h"

namespace {

size_t walk(const quendra::Json& v) {
  size_t n = 1;
  if (v.isArray())
    for (const quendra::Json& x : v.items()) n += walk(x);
  if (v.isObject())
    for (const quendra::JsonMember& m : v.members()) n += m.key.size() + walk(m.value);
  if (v.isString() || v.isNumberString()) n += v.str().size();
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quendra::Arena arena;
  auto v = quendra::readJson(arena, reinterpret_cast<const char*>(data), size);
  if (v) walk(*v);
  return 0;
}
