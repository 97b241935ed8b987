#include "malloc/memory_resource.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "heap/frontend/duzovev_front_end.h"

namespace {

constexpr size_t MaxBytes = 0x7FFFFFFF;

size_t RoundUp(size_t Bytes, size_t Alignment) { return (Bytes + Alignment - 1) & ~(Alignment - 1); }

bool IsAligned(const void *Address, size_t Alignment) {
  return (reinterpret_cast<uintptr_t>(Address) & (Alignment - 1)) == 0;
}

}  // namespace

void *MEMORY_RESOURCE::do_allocate(size_t Bytes, size_t Alignment) {
  if (Alignment == 0 || (Alignment & (Alignment - 1)) != 0 || Bytes > MaxBytes / 2 || Alignment > MaxBytes / 2)
    throw std::bad_alloc();
  const size_t Rounded = RoundUp(Bytes == 0 ? 1 : Bytes, Alignment);
  void *Element = Heap.New(static_cast<int32_t>(Rounded));
  if (Element != nullptr && IsAligned(Element, Alignment))
    return Element;
  if (Element != nullptr)
    Heap.Delete(Element, static_cast<int32_t>(Rounded));
  // Room for the start before the aligned address and the request after it.
  const size_t Padded = Rounded + Alignment + sizeof(void *);
  if (Padded > MaxBytes)
    throw std::bad_alloc();
  auto *Start = static_cast<char *>(Heap.New(static_cast<int32_t>(Padded)));
  if (Start == nullptr)
    throw std::bad_alloc();
  char *Aligned = Start + sizeof(void *);
  Aligned += (Alignment - reinterpret_cast<uintptr_t>(Aligned) % Alignment) % Alignment;
  std::memcpy(Aligned - sizeof(void *), &Start, sizeof(void *));
  return Aligned;
}

void MEMORY_RESOURCE::do_deallocate(void *Address, size_t Bytes, size_t Alignment) {
  if (Address == nullptr)
    return;
  const size_t Hint = Alignment != 0 && Bytes <= MaxBytes / 2 ? RoundUp(Bytes == 0 ? 1 : Bytes, Alignment) : 0;
  if (Heap.Delete(Address, static_cast<int32_t>(Hint)))
    return;
  void *Start = nullptr;
  std::memcpy(&Start, static_cast<char *>(Address) - sizeof(void *), sizeof(void *));
  Heap.Delete(Start);
}

bool MEMORY_RESOURCE::do_is_equal(const std::pmr::memory_resource &Other) const noexcept {
  const auto *Same = dynamic_cast<const MEMORY_RESOURCE *>(&Other);
  return Same != nullptr && &Same->Heap == &Heap;
}
