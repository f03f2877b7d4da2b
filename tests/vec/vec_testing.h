// Builders for test vectors: columns and scalars from std containers, with
// std::nullopt marking a null entry. Storage lives in the given arena.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/arena.h"
#include "vec/vec.h"

namespace quendra::testing {

template <class T>
using Opt = std::vector<std::optional<T>>;

struct Make {
  Arena& arena;

  template <class T>
  T* store(const std::vector<T>& v) {
    T* p = arena.make<T>(v.size());
    if (!v.empty()) std::memcpy(p, v.data(), v.size() * sizeof(T));
    return p;
  }

  // A mask only when some entry is null.
  template <class T>
  const uint8_t* maskOf(const Opt<T>& v) {
    std::vector<uint8_t> m;
    bool any = false;
    for (auto& x : v) {
      m.push_back(!x.has_value());
      any |= !x.has_value();
    }
    return any ? store(m) : nullptr;
  }

  template <class T>
  std::vector<T> valuesOf(const Opt<T>& v) {
    std::vector<T> out;
    for (auto& x : v) out.push_back(x.value_or(T{}));
    return out;
  }

  Vec base(Kind k, size_t len, const uint8_t* nulls, Data d, bool scalar = false) {
    Vec v;
    v.len = len;
    v.nulls = nulls;
    v.data = d;
    v.kind = k;
    v.scalar = scalar;
    return v;
  }

  Vec ints(const Opt<int64_t>& v, Kind k = Kind::int_) {
    return base(k, v.size(), maskOf(v), intData(store(valuesOf(v))));
  }
  Vec floats(const Opt<double>& v) {
    return base(Kind::float_, v.size(), maskOf(v), floatData(store(valuesOf(v))));
  }
  Vec bools(const Opt<bool>& v) {
    std::vector<uint8_t> raw;
    for (auto& x : v) raw.push_back(x.value_or(false));
    return base(Kind::bool_, v.size(), maskOf(v), boolData(store(raw)));
  }
  Vec strs(const Opt<std::string>& v) {
    std::string bytes;
    std::vector<uint64_t> offs{0};
    for (auto& x : v) {
      bytes += x.value_or("");
      offs.push_back(bytes.size());
    }
    char* b = arena.make<char>(bytes.size());
    if (!bytes.empty()) std::memcpy(b, bytes.data(), bytes.size());
    return base(Kind::str, v.size(), maskOf(v), strData(store(offs), Bytes(b, bytes.size())));
  }

  // Scalars: a one-entry column marked scalar.
  static Vec asScalar(Vec v) {
    v.scalar = true;
    return v;
  }
  Vec sInt(int64_t x, Kind k = Kind::int_) { return asScalar(ints({x}, k)); }
  Vec sFloat(double x) { return asScalar(floats({x})); }
  Vec sBool(bool x) { return asScalar(bools({x})); }
  Vec sStr(const std::string& s) { return asScalar(strs({s})); }
  Vec sNull(Kind k = Kind::int_) {
    auto v = nullVec(arena, k, 1, true);
    EXPECT_TRUE(v);
    return *v;
  }
};

// Entries of a result, null entries as nullopt.
inline Opt<bool> boolsOf(const Vec& v) {
  Opt<bool> out;
  for (size_t i = 0; i < v.stored(); ++i)
    out.push_back(v.isNull(i) ? std::nullopt : std::optional(v.boolAt(i)));
  return out;
}

}  // namespace quendra::testing
