#include "malloc/krax_malloc.h"

#include <cerrno>
#include <new>

#include "heap/frontend/fast_heap.h"
#include "malloc/allocator.h"
#include "malloc/process_heap.h"
#include "malloc/statistics.h"

struct krax_heap {
  FAST_HEAP Heap{1048576, true, false, true};
};

namespace {

size_t RoundedAlignment(size_t Alignment) {
  size_t Power = 16;
  while (Power < Alignment && Power != 0)
    Power <<= 1;
  return Power;
}

}  // namespace

extern "C" {

void *krax_malloc(size_t size) { return dropin::Malloc(size); }

void krax_free(void *pointer) { dropin::Free(pointer); }

void *krax_calloc(size_t count, size_t size) { return dropin::Calloc(count, size); }

void *krax_realloc(void *pointer, size_t size) { return dropin::Realloc(pointer, size); }

size_t krax_usable_size(const void *pointer) { return dropin::UsableSize(pointer); }

void *krax_memalign(size_t alignment, size_t size) {
  const size_t Alignment = RoundedAlignment(alignment);
  if (Alignment == 0) {
    errno = EINVAL;
    return nullptr;
  }
  return dropin::Memalign(Alignment, size);
}

int krax_check(const void *pointer) { return dropin::Check(pointer) ? 1 : 0; }

int krax_walk(void **address, size_t *size, int *in_use) {
  bool InUse = false;
  if (in_use == nullptr || !dropin::Walk(address, size, &InUse))
    return 0;
  *in_use = InUse ? 1 : 0;
  return 1;
}

int krax_trim(size_t keep_bytes) { return dropin::Trim(keep_bytes) ? 1 : 0; }

uint64_t krax_refused(void) { return dropin::PROCESS_HEAP::RefusalCount(); }

void krax_stats(krax_statistics *statistics) {
  if (statistics != nullptr)
    dropin::STATISTICS::Read(*statistics);
}

krax_heap *krax_heap_create(void) {
  void *Storage = dropin::Malloc(sizeof(krax_heap));
  if (Storage == nullptr)
    return nullptr;
  auto *Heap = new (Storage) krax_heap;
  if (Heap->Heap.Usable())
    return Heap;
  Heap->~krax_heap();
  dropin::Free(Storage);
  errno = ENOMEM;
  return nullptr;
}

void krax_heap_destroy(krax_heap *heap) {
  if (heap == nullptr)
    return;
  heap->~krax_heap();
  dropin::Free(heap);
}

// Sizes are rounded to 16 so that, as with krax_malloc, every element is
// aligned to 16.
void *krax_heap_alloc(krax_heap *heap, size_t size) {
  if (heap == nullptr || size > dropin::MaxRequestBytes) {
    errno = ENOMEM;
    return nullptr;
  }
  const size_t Rounded = size == 0 ? 16 : (size + 15) & ~size_t{15};
  void *Element = heap->Heap.New(static_cast<int32_t>(Rounded));
  if (Element == nullptr)
    errno = ENOMEM;
  return Element;
}

int krax_heap_free(krax_heap *heap, void *pointer) {
  if (heap == nullptr || pointer == nullptr)
    return 0;
  return heap->Heap.Delete(pointer) ? 1 : 0;
}

void krax_heap_wipe(krax_heap *heap) {
  if (heap != nullptr)
    heap->Heap.DeleteAll(true);
}

}  // extern "C"
