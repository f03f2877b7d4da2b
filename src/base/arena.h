// Arena: bump allocation over blocks from the C heap, freed wholesale.
//
// Every piece of library memory lives in an arena (the context's data,
// manifest and call arenas), so nothing is freed piecemeal. A failed
// allocation returns nullptr; callers turn that into Err::OutOfMemory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#if defined(__SANITIZE_ADDRESS__)
#define QUENDRA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUENDRA_ASAN 1
#endif
#endif

namespace quendra {

class Arena {
 public:
  // Largest alignment alloc() accepts.
  static constexpr size_t kMaxAlign = 64;
  // Bytes of poisoned gap after every allocation under AddressSanitizer.
#ifdef QUENDRA_ASAN
  static constexpr size_t kGap = 32;
#else
  static constexpr size_t kGap = 0;
#endif

  Arena() = default;
  ~Arena() { release(); }
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // Returns n bytes aligned to `align`, or nullptr when the heap refuses.
  // REQUIRES: align is a power of two and at most kMaxAlign.
  // n == 0 yields a valid pointer that must not be written through.
  [[nodiscard]] void* alloc(size_t n, size_t align = alignof(std::max_align_t)) {
#ifdef QUENDRA_ASAN
    return allocGuarded(n, align);
#endif
    uintptr_t p = (cur_ + (align - 1)) & ~static_cast<uintptr_t>(align - 1);
    if (p >= cur_ && p <= end_ && n <= end_ - p) [[likely]] {
      cur_ = p + n;
      return reinterpret_cast<void*>(p);
    }
    return allocSlow(n, align);
  }

  // Uninitialised storage for n values of T; nullptr on failure or when
  // n * sizeof(T) overflows. T must be trivially destructible: arenas never
  // run destructors.
  template <class T>
  [[nodiscard]] T* make(size_t n) {
    static_assert(std::is_trivially_destructible_v<T>);
    static_assert(alignof(T) <= kMaxAlign);
    if (n > SIZE_MAX / sizeof(T)) return nullptr;
    return static_cast<T*>(alloc(n * sizeof(T), alignof(T)));
  }

  // A copy of n values; nullptr on failure.
  template <class T>
  [[nodiscard]] T* copy(const T* src, size_t n) {
    T* dst = make<T>(n);
    if (dst && n) std::memcpy(dst, src, n * sizeof(T));
    return dst;
  }

  // Grows the most recent allocation in place from old_n to new_n bytes when
  // it ends at the bump pointer and the block has room; false otherwise (the
  // allocation is then unchanged).
  bool extend(void* p, size_t old_n, size_t new_n);

  // Makes every earlier allocation invalid and keeps the arena's blocks as
  // spares, largest first, while the kept total stays within kMaxRetained
  // bytes (the largest block is kept whatever its size); the others go back
  // to the heap. Later allocations take a spare before asking the heap, so
  // a call that repeats a large workload reuses pages it already touched
  // instead of faulting in fresh ones. Memory from a spare is not cleared.
  void reset();

  // Frees every block, spares included.
  void release();

  // True when p lies in memory this arena handed out since its last reset
  // or release (spares excluded): what outlives the call that asked.
  bool holds(const void* p) const;

  // Bytes currently held from the heap (headers included), spares included.
  size_t reserved() const { return reserved_; }

  // Most bytes (headers included) that reset keeps, unless the largest block
  // alone is bigger, in which case it is kept alone. A query over a few
  // million rows works in several hundred megabytes; faulting that in
  // afresh on every call costs as much as the query itself.
  static constexpr size_t kMaxRetained = size_t{1} << 30;

  // Test-only: when n != 0, every arena takes blocks of n bytes (and a block
  // of its own for anything larger than n / 4), so that nearly every
  // allocation is a separate heap request that failure tests can refuse
  // (after a reset, spares serve allocations without one).
  static void setBlockSizeForTesting(size_t n) { test_block_ = n; }

 private:
  struct Block {
    Block* next;
    size_t size;  // usable bytes after the header
  };
  static constexpr size_t kFirstBlock = 4096;
  static constexpr size_t kMaxBlock = size_t{1} << 20;

  void* allocSlow(size_t n, size_t align);
  // Under AddressSanitizer every allocation is followed by a poisoned gap,
  // so that reading or writing past one allocation into the next, which
  // an arena would otherwise let pass, is reported.
  void* allocGuarded(size_t n, size_t align);
  Block* newBlock(size_t size);
  // Unlinks and returns a spare of at least `need` usable bytes: the
  // smallest of at least `want` bytes, unless that one exceeds `limit` and
  // a smaller one fits, in which case the largest such; nullptr when none
  // fits.
  Block* takeSpare(size_t need, size_t want, size_t limit);
  static Block* sortBySizeDesc(Block* list);
  static uintptr_t start(const Block* b) { return reinterpret_cast<uintptr_t>(b + 1); }

  // Zero-byte requests are served from here, so that an empty arena still
  // returns a valid, aligned pointer for them without touching the heap.
  alignas(kMaxAlign) static inline char empty_[kMaxAlign];
  static inline size_t test_block_ = 0;
  static uintptr_t emptyAt() { return reinterpret_cast<uintptr_t>(empty_); }

  Block* head_ = nullptr;  // the block bump allocation currently uses
  Block* spare_ = nullptr;  // blocks kept by reset, by ascending size
  uintptr_t cur_ = emptyAt();
  uintptr_t end_ = emptyAt();
  size_t next_size_ = kFirstBlock;
  size_t reserved_ = 0;
};

}  // namespace quendra
