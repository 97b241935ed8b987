// Every standard form of operator new and operator delete, for the
// preloadable library. A throwing new calls the new-handler until memory is
// found or there is no handler, then throws std::bad_alloc; a nothrow new
// does the same and returns null instead of throwing.
#include <cstddef>
#include <new>

#include "malloc/allocator.h"

namespace {

void *Obtain(size_t Bytes, size_t Alignment) {
  return Alignment <= 16 ? dropin::Malloc(Bytes) : dropin::Memalign(Alignment, Bytes);
}

void *NewOrThrow(size_t Bytes, size_t Alignment) {
  for (;;) {
    if (void *Block = Obtain(Bytes, Alignment))
      return Block;
    std::new_handler Handler = std::get_new_handler();
    if (Handler == nullptr)
      throw std::bad_alloc();
    Handler();
  }
}

void *NewOrNull(size_t Bytes, size_t Alignment) noexcept {
  try {
    return NewOrThrow(Bytes, Alignment);
  } catch (...) {
    return nullptr;
  }
}

size_t AlignmentOf(std::align_val_t Alignment) { return static_cast<size_t>(Alignment); }

}  // namespace

void *operator new(size_t Bytes) { return NewOrThrow(Bytes, 0); }
void *operator new[](size_t Bytes) { return NewOrThrow(Bytes, 0); }
void *operator new(size_t Bytes, const std::nothrow_t &) noexcept { return NewOrNull(Bytes, 0); }
void *operator new[](size_t Bytes, const std::nothrow_t &) noexcept { return NewOrNull(Bytes, 0); }
void *operator new(size_t Bytes, std::align_val_t Alignment) { return NewOrThrow(Bytes, AlignmentOf(Alignment)); }
void *operator new[](size_t Bytes, std::align_val_t Alignment) { return NewOrThrow(Bytes, AlignmentOf(Alignment)); }
void *operator new(size_t Bytes, std::align_val_t Alignment, const std::nothrow_t &) noexcept {
  return NewOrNull(Bytes, AlignmentOf(Alignment));
}
void *operator new[](size_t Bytes, std::align_val_t Alignment, const std::nothrow_t &) noexcept {
  return NewOrNull(Bytes, AlignmentOf(Alignment));
}

void operator delete(void *Block) noexcept { dropin::Free(Block); }
void operator delete[](void *Block) noexcept { dropin::Free(Block); }
void operator delete(void *Block, const std::nothrow_t &) noexcept { dropin::Free(Block); }
void operator delete[](void *Block, const std::nothrow_t &) noexcept { dropin::Free(Block); }
void operator delete(void *Block, size_t) noexcept { dropin::Free(Block); }
void operator delete[](void *Block, size_t) noexcept { dropin::Free(Block); }
void operator delete(void *Block, std::align_val_t) noexcept { dropin::Free(Block); }
void operator delete[](void *Block, std::align_val_t) noexcept { dropin::Free(Block); }
void operator delete(void *Block, std::align_val_t, const std::nothrow_t &) noexcept { dropin::Free(Block); }
void operator delete[](void *Block, std::align_val_t, const std::nothrow_t &) noexcept { dropin::Free(Block); }
void operator delete(void *Block, size_t, std::align_val_t) noexcept { dropin::Free(Block); }
void operator delete[](void *Block, size_t, std::align_val_t) noexcept { dropin::Free(Block); }
