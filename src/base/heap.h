// The library's only door to the C heap.
//
// Arenas, the context, the error document and (later) export blocks take
// their memory through these functions and nowhere else, so that a test can
// make any single allocation fail and prove that every caller turns the
// failure into the out-of-memory path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quendra {

// Returns n bytes aligned for any scalar type, or nullptr when the heap (or
// the failure hook) refuses. n == 0 is treated as 1.
[[nodiscard]] void* heapAlloc(size_t n);

// Resizes a block from heapAlloc/heapRealloc; nullptr on failure, in which
// case the old block is untouched and still owned by the caller.
[[nodiscard]] void* heapRealloc(void* p, size_t n);

// Frees a block from heapAlloc/heapRealloc; nullptr is ignored.
void heapFree(void* p);

// Test-only failure injection for the calling thread. Counting starts at 1
// with the thread's next request after the call: with every_after false
// only request number n fails, with it true request n and every later one
// fail. n == 0 disables refusals (requests are still counted). Requests
// made on other threads are neither counted nor refused.
void setHeapFailure(uint64_t n, bool every_after);

// Requests (heapAlloc and heapRealloc calls) the calling thread made since
// its last setHeapFailure call.
uint64_t heapRequests();

}  // namespace quendra
