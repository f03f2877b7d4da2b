#include "base/arena.h"

#include "base/heap.h"

namespace quendra {
Arena::Block* Arena::newBlock(size_t size) {
  if (size > SIZE_MAX - sizeof(Block)) return nullptr;
  auto* b = static_cast<Block*>(heapAlloc(sizeof(Block) + size));
  if (!b) return nullptr;
  b->size = size;
  reserved_ += sizeof(Block) + size;
  return b;
}

void* Arena::allocSlow(size_t n, size_t align) {
  if (n == 0) return empty_;
  if (n > SIZE_MAX - align) return nullptr;
  size_t need = n + align;  // room to align anywhere in the block
  size_t block = test_block_ ? test_block_ : next_size_;
  if (need > block / 4) {
    // A large request gets a block of its own, linked behind the current
    // one, so the space left in the current block is not abandoned.
    Block* b = newBlock(need);
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
  Block* b = newBlock(block);
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
  if (at + old_n != cur_ || new_n < old_n) return false;
  if (new_n - old_n > end_ - cur_) return false;
  cur_ = at + new_n;
  return true;
}

void Arena::reset() {
  Block* keep = nullptr;
  for (Block* b = head_; b; b = b->next)
    if (!keep || b->size > keep->size) keep = b;
  for (Block* b = head_; b;) {
    Block* next = b->next;
    if (b != keep) {
      reserved_ -= sizeof(Block) + b->size;
      heapFree(b);
    }
    b = next;
  }
  head_ = keep;
  if (keep) {
    keep->next = nullptr;
    cur_ = start(keep);
    end_ = cur_ + keep->size;
  } else {
    cur_ = end_ = emptyAt();
  }
}

void Arena::release() {
  for (Block* b = head_; b;) {
    Block* next = b->next;
    heapFree(b);
    b = next;
  }
  head_ = nullptr;
  cur_ = end_ = emptyAt();
  next_size_ = kFirstBlock;
  reserved_ = 0;
}

}  // namespace quendra
