#include "base/heap.h"

#include <atomic>
#include <cstdlib>

namespace quendra {
namespace {

// The failure hook's state belongs to the thread that set it: a test's
// count and its refusals touch only the calls it drives, and contexts on
// other threads neither disturb nor see them. Production never arms the
// hook, so every heap request pays one relaxed load of a flag that is
// never written and a predictable branch (arenas make requests rare); the
// thread-local state is reached only in processes that armed the hook.
std::atomic<bool> g_armed{false};

struct Hook {
  uint64_t requests = 0;
  uint64_t fail_at = 0;
  bool every_after = false;
};
thread_local Hook t_hook;

bool shouldFail() {
  if (!g_armed.load(std::memory_order_relaxed)) [[likely]]
    return false;
  Hook& h = t_hook;
  ++h.requests;
  if (h.fail_at == 0) return false;
  return h.every_after ? h.requests >= h.fail_at : h.requests == h.fail_at;
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
  g_armed.store(true, std::memory_order_relaxed);
  t_hook = Hook{0, n, every_after};
}

uint64_t heapRequests() { return t_hook.requests; }

}  // namespace quendra
