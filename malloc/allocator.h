// The malloc family's contracts on top of the thread caches, the large
// reserve and the process heap; both the standard names (the preloadable
// library) and the prefixed C interface call these.
//
// Every pointer handed out is aligned to 16 and carries a mark in the address
// map from the moment it is handed out until the free that takes the mark;
// a pointer without a mark is never released, resized or measured (it is
// counted as refused). Out of memory is a null result with errno ENOMEM.
#pragma once

#include <cstddef>
#include <cstdint>

#include "malloc/address_map.h"
#include "malloc/size_classes.h"
#include "malloc/thread_cache.h"
#include "platform/single_threaded.h"

namespace dropin {

// The largest request the heap serves: it measures sizes in signed 32 bits.
// Larger ones are pages mapped straight from the system.
constexpr size_t MaxRequestBytes = size_t{0x7FFFF000};
// Alignments above this are areas straight from the back end.
constexpr size_t LargeAlignment = 65536;

void *AllocateLarge(size_t Bytes, bool *Fresh);
void ReleaseOther(void *Address, uint8_t Mark);

inline void *Malloc(size_t Bytes) {
  if (Bytes <= static_cast<size_t>(MaxClassBytes)) [[likely]]
    return THREAD_CACHE::Allocate(ClassOf(Bytes));
  return AllocateLarge(Bytes, nullptr);
}

// Ends the allocation at Address: its mark, 0 when it was not a live one.
inline uint8_t TakeMark(void *Address) {
  return platform::ProcessIsSingleThreaded() ? ADDRESS_MAP::TakeAlone(Address) : ADDRESS_MAP::Take(Address);
}

// Gives back what TakeMark ended (a pointer without a mark is only counted).
inline void ReleaseTaken(void *Address, uint8_t Mark) {
  const uint32_t Class = Mark - 1u;
  if (Class < static_cast<uint32_t>(ClassCount)) [[likely]]
    THREAD_CACHE::Release(Address, static_cast<int32_t>(Class));
  else
    ReleaseOther(Address, Mark);
}

inline void Free(void *Address) {
  if (Address != nullptr)
    ReleaseTaken(Address, TakeMark(Address));
}

void *Calloc(size_t Count, size_t Size);
// realloc as glibc has it: null is malloc, 0 bytes frees and returns null,
// a block that still holds the request well stays in place; one that moves
// into the spans to grow takes room to grow as much again there;
// a large block that outgrows its place becomes a mapping of its own.
void *Realloc(void *Address, size_t Bytes);
// Alignment must be a power of two.
void *Memalign(size_t Alignment, size_t Bytes);
size_t UsableSize(const void *Address);

// The heap's extras for the prefixed interface.
bool Check(const void *Address);
bool Walk(void **Address, size_t *Size, bool *InUse);
bool Trim(size_t KeepBytes);

}  // namespace dropin
