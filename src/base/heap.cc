#include "base/heap.h"

#include <cstdlib>

namespace quendra {
namespace {

// Plain globals: the hook is for tests, which drive one context from one
// thread. In production fail_at stays 0 and the check is one predictable
// branch per heap request (arenas make those rare).
uint64_t g_requests = 0;
uint64_t g_fail_at = 0;
bool g_every_after = false;

bool shouldFail() {
  ++g_requests;
  if (g_fail_at == 0) return false;
  return g_every_after ? g_requests >= g_fail_at : g_requests == g_fail_at;
}

}  // namespace

void* heapAlloc(size_t n) {
  if (shouldFail()) return nullptr;
  return std::malloc(n == 0 ? 1 : n);
}

void* heapRealloc(void* p, size_t n) {
  if (shouldFail()) return nullptr;
  return std::realloc(p, n == 0 ? 1 : n);
}

void heapFree(void* p) { std::free(p); }

void setHeapFailure(uint64_t n, bool every_after) {
  g_requests = 0;
  g_fail_at = n;
  g_every_after = every_after;
}

uint64_t heapRequests() { return g_requests; }

}  // namespace quendra
