// The C library's allocation functions, under their standard names, for the
// preloadable library: each is the drop-in allocator's contract.
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include "heap/support/system_facts.h"
#include "malloc/allocator.h"

namespace {

bool IsPowerOfTwo(size_t Value) { return Value != 0 && (Value & (Value - 1)) == 0; }

size_t PageSize() {
  const int32_t Known = SYSTEM_FACTS::SystemPageSize;
  return Known > 0 ? static_cast<size_t>(Known) : 4096;
}

}  // namespace

extern "C" {

void *malloc(size_t size) noexcept { return dropin::Malloc(size); }

void free(void *pointer) noexcept { dropin::Free(pointer); }

void *calloc(size_t count, size_t size) noexcept { return dropin::Calloc(count, size); }

void *realloc(void *pointer, size_t size) noexcept { return dropin::Realloc(pointer, size); }

void *reallocarray(void *pointer, size_t count, size_t size) noexcept {
  size_t Bytes = 0;
  if (__builtin_mul_overflow(count, size, &Bytes)) {
    errno = ENOMEM;
    return nullptr;
  }
  return dropin::Realloc(pointer, Bytes);
}

int posix_memalign(void **result, size_t alignment, size_t size) noexcept {
  if (!IsPowerOfTwo(alignment) || alignment % sizeof(void *) != 0)
    return EINVAL;
  const int Saved = errno;  // the result carries the error; errno stays as it was
  void *Block = dropin::Memalign(alignment, size);
  errno = Saved;
  if (Block == nullptr)
    return ENOMEM;
  *result = Block;
  return 0;
}

void *aligned_alloc(size_t alignment, size_t size) noexcept {
  if (!IsPowerOfTwo(alignment)) {
    errno = EINVAL;
    return nullptr;
  }
  return dropin::Memalign(alignment, size);
}

// As the C library does, an alignment that is not a power of two is rounded up.
void *memalign(size_t alignment, size_t size) noexcept {
  size_t Power = 1;
  while (Power < alignment && Power != 0)
    Power <<= 1;
  if (Power == 0) {
    errno = EINVAL;
    return nullptr;
  }
  return dropin::Memalign(Power, size);
}

void *valloc(size_t size) noexcept { return dropin::Memalign(PageSize(), size); }

void *pvalloc(size_t size) noexcept {
  const size_t Page = PageSize();
  if (size > SIZE_MAX - Page) {
    errno = ENOMEM;
    return nullptr;
  }
  return dropin::Memalign(Page, size == 0 ? Page : (size + Page - 1) & ~(Page - 1));
}

size_t malloc_usable_size(void *pointer) noexcept { return dropin::UsableSize(pointer); }

int malloc_trim(size_t pad) noexcept { return dropin::Trim(pad) ? 1 : 0; }

}  // extern "C"
