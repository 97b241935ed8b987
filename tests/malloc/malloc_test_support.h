// Shared by the drop-in allocator's tests: byte patterns that tell one
// allocation from another, and a count of the elements that the layer in
// front of the heap holds (handed out by the heap, but not live for any
// caller) read from a walk over the process heap.
#pragma once

#include <cstddef>
#include <cstdint>

#include "heap/frontend/duzovev_front_end.h"
#include "malloc/address_map.h"
#include "malloc/process_heap.h"

inline void FillPattern(void *Block, size_t Bytes, uint8_t Tag) {
  auto *Byte = static_cast<uint8_t *>(Block);
  for (size_t Index = 0; Index < Bytes; ++Index)
    Byte[Index] = static_cast<uint8_t>(Tag + Index * 13);
}

inline bool HoldsPattern(const void *Block, size_t Bytes, uint8_t Tag) {
  const auto *Byte = static_cast<const uint8_t *>(Block);
  for (size_t Index = 0; Index < Bytes; ++Index)
    if (Byte[Index] != static_cast<uint8_t>(Tag + Index * 13))
      return false;
  return true;
}

inline bool IsAligned(const void *Block, size_t Alignment) {
  return (reinterpret_cast<uintptr_t>(Block) & (Alignment - 1)) == 0;
}

// Elements (of at least AtLeast bytes) the heap counts as handed out that
// carry no mark: what thread caches, the central lists and the large reserve
// hold.
inline int64_t HeldInFront(int32_t AtLeast = 0) {
  DUZOVEV_FRONT_END *Heap = dropin::PROCESS_HEAP::Heap();
  if (Heap == nullptr)
    return 0;
  int64_t Held = 0;
  void *Address = nullptr;
  bool InUse = false;
  int32_t Size = 0;
  while (Heap->WalkHeap(&InUse, &Address, &Size))
    if (InUse && Size >= AtLeast && !dropin::ADDRESS_MAP::IsMark(dropin::ADDRESS_MAP::Read(Address)))
      ++Held;
  return Held;
}
