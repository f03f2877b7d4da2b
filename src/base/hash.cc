#include "base/hash.h"

namespace quendra {
namespace {

inline uint64_t mulFold(uint64_t a, uint64_t b) {
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

constexpr uint64_t kSeed = 0x9e3779b97f4a7c15ull;
constexpr uint64_t kMulA = 0xa0761d6478bd642full;
constexpr uint64_t kMulB = 0xe7037ed1a0b428dbull;

}  // namespace

uint64_t hashBytes(Bytes s) {
  const char* p = s.data();
  size_t n = s.size();
  uint64_t h = kSeed ^ mulFold(n, kMulA);
  while (n >= 16) {
    uint64_t a, b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    h = mulFold(a ^ kMulA ^ h, b ^ kMulB);
    p += 16;
    n -= 16;
  }
  if (n >= 8) {
    uint64_t a;
    std::memcpy(&a, p, 8);
    h = mulFold(a ^ kMulA, h ^ kMulB);
    p += 8;
    n -= 8;
  }
  if (n > 0) {
    uint64_t a = 0;
    std::memcpy(&a, p, n);
    h = mulFold(a ^ kMulB, h ^ kMulA);
  }
  return mix64(h);
}

}  // namespace quendra
