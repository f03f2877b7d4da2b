#include "base/arena.h"

#include "base/heap.h"

#ifdef QUENDRA_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace quendra {
namespace {

// Spare blocks are poisoned while they wait, so that AddressSanitizer still
// reports an access through a pointer that outlived reset, as it would for
// a freed block.
void poison([[maybe_unused]] uintptr_t p, [[maybe_unused]] size_t n) {
#ifdef QUENDRA_ASAN
  ASAN_POISON_MEMORY_REGION(reinterpret_cast<void*>(p), n);
#endif
}

void unpoison([[maybe_unused]] uintptr_t p, [[maybe_unused]] size_t n) {
#ifdef QUENDRA_ASAN
  ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(p), n);
#endif
}

}  // namespace

// Merge sort: a reset may hand over thousands of blocks when tests shrink
// the block size.
Arena::Block* Arena::sortBySizeDesc(Block* list) {
  if (!list || !list->next) return list;
  Block* slow = list;
  for (Block* fast = list->next; fast && fast->next; fast = fast->next->next) slow = slow->next;
  Block* a = slow->next;
  slow->next = nullptr;
  a = sortBySizeDesc(a);
  Block* b = sortBySizeDesc(list);
  Block head{};
  Block* tail = &head;
  while (a && b) {
    Block*& from = a->size >= b->size ? a : b;
    tail->next = from;
    tail = from;
    from = from->next;
  }
  tail->next = a ? a : b;
  return head.next;
}

Arena::Block* Arena::newBlock(size_t size) {
  if (size > SIZE_MAX - sizeof(Block)) return nullptr;
  auto* b = static_cast<Block*>(heapAlloc(sizeof(Block) + size));
  if (!b) return nullptr;
  b->size = size;
  reserved_ += sizeof(Block) + size;
  return b;
}

// The spare list is short (a few hundred blocks at the retention cap) and
// only the slow path walks it, so a linear scan is cheap next to the heap
// request it saves.
Arena::Block* Arena::takeSpare(size_t need, size_t want, size_t limit) {
  Block* prev_fit = nullptr;  // predecessor of fit, when fit is not first
  Block* fit = nullptr;       // largest spare in [need, want)
  Block* prev = nullptr;
  Block* b = spare_;
  for (; b; prev = b, b = b->next) {
    if (b->size < need) continue;
    if (b->size < want) {
      prev_fit = prev;
      fit = b;
      continue;
    }
    break;
  }
  // b is now the smallest spare of at least `want` bytes, if any. One
  // bigger than `limit` held a large request, which the next call is likely
  // to make again; a smaller spare that fits is taken instead when there is
  // one.
  if (!b || (b->size > limit && fit)) {
    b = fit;
    prev = prev_fit;
  }
  if (!b) return nullptr;
  (prev ? prev->next : spare_) = b->next;
  unpoison(start(b), b->size);
  return b;
}

void* Arena::allocGuarded(size_t n, size_t align) {
  if (n == 0) {
    uintptr_t p = (cur_ + (align - 1)) & ~static_cast<uintptr_t>(align - 1);
    if (p >= cur_ && p <= end_) return reinterpret_cast<void*>(p);
    return allocSlow(0, align);
  }
  if (n > SIZE_MAX - kGap) return nullptr;
  uintptr_t p = (cur_ + (align - 1)) & ~static_cast<uintptr_t>(align - 1);
  void* out;
  if (p >= cur_ && p <= end_ && n + kGap <= end_ - p) {
    cur_ = p + n + kGap;
    out = reinterpret_cast<void*>(p);
  } else {
    out = allocSlow(n + kGap, align);
  }
  if (out && n) poison(reinterpret_cast<uintptr_t>(out) + n, kGap);
  return out;
}

void* Arena::allocSlow(size_t n, size_t align) {
  if (n == 0) return empty_;
  if (n > SIZE_MAX - align) return nullptr;
  size_t need = n + align;  // room to align anywhere in the block
  size_t block = test_block_ ? test_block_ : next_size_;
  if (need > block / 4) {
    // A large request gets a block of its own, linked behind the current
    // one, so the space left in the current block is not abandoned. The
    // smallest spare that fits wastes least of what is kept.
    Block* b = takeSpare(need, need, SIZE_MAX);
    if (!b) b = newBlock(need);
    if (!b) return nullptr;
    if (head_) {
      b->next = head_->next;
      head_->next = b;
    } else {
      b->next = nullptr;
      head_ = b;
      cur_ = end_ = start(b) + b->size;
    }
    uintptr_t p = (start(b) + (align - 1)) & ~static_cast<uintptr_t>(align - 1);
    return reinterpret_cast<void*>(p);
  }
  // A spare at least as big as a new block would be (ordinary blocks never
  // exceed the larger of kMaxBlock and block), else the biggest smaller one
  // that still holds the request.
  size_t limit = block > kMaxBlock ? block : kMaxBlock;
  Block* b = takeSpare(need, block, limit);
  if (!b) b = newBlock(block);
  if (!b) return nullptr;
  if (next_size_ < kMaxBlock) next_size_ *= 2;
  b->next = head_;
  head_ = b;
  cur_ = start(b);
  end_ = cur_ + b->size;
  uintptr_t p = (cur_ + (align - 1)) & ~static_cast<uintptr_t>(align - 1);
  cur_ = p + n;
  return reinterpret_cast<void*>(p);
}

bool Arena::extend(void* p, size_t old_n, size_t new_n) {
  auto at = reinterpret_cast<uintptr_t>(p);
#ifdef QUENDRA_ASAN
  // The allocation is followed by its poisoned gap; the gap moves along.
  if (old_n == 0 || at + old_n + kGap != cur_ || new_n < old_n) return false;
  if (new_n - old_n > end_ - cur_) return false;
  unpoison(at + old_n, new_n - old_n + kGap);
  cur_ = at + new_n + kGap;
  poison(at + new_n, kGap);
  return true;
#else
  if (at + old_n != cur_ || new_n < old_n) return false;
  if (new_n - old_n > end_ - cur_) return false;
  cur_ = at + new_n;
  return true;
#endif
}

bool Arena::holds(const void* p) const {
  const auto at = reinterpret_cast<uintptr_t>(p);
  for (const Block* b = head_; b; b = b->next)
    if (at >= start(b) && at < start(b) + b->size) return true;
  return false;
}

void Arena::reset() {
  // Blocks in use and spares from earlier resets compete alike: largest
  // first, since one big block serves what several small ones cannot.
  Block* all = head_;
  if (all) {
    Block* last = all;
    while (last->next) last = last->next;
    last->next = spare_;
  } else {
    all = spare_;
  }
  all = sortBySizeDesc(all);
  // Pushing each kept block at the front turns descending order into the
  // ascending order takeSpare expects.
  spare_ = nullptr;
  size_t kept = 0;
  for (Block* b = all; b;) {
    Block* next = b->next;
    size_t bytes = sizeof(Block) + b->size;
    if (kept == 0 || (kept <= kMaxRetained && bytes <= kMaxRetained - kept)) {
      kept += bytes;
      poison(start(b), b->size);
      b->next = spare_;
      spare_ = b;
    } else {
      reserved_ -= bytes;
      heapFree(b);
    }
    b = next;
  }
  head_ = nullptr;
  cur_ = end_ = emptyAt();
}

void Arena::release() {
  Block* lists[] = {head_, spare_};
  for (Block* list : lists) {
    for (Block* b = list; b;) {
      Block* next = b->next;
      heapFree(b);
      b = next;
    }
  }
  head_ = spare_ = nullptr;
  cur_ = end_ = emptyAt();
  next_size_ = kFirstBlock;
  reserved_ = 0;
}

}  // namespace quendra
