// MEMORY_RESOURCE: a std::pmr::memory_resource over any heap of the
// allocator (a FAST_HEAP, a private heap, any DUZOVEV_FRONT_END), so that the
// standard containers can allocate from it.
//
// Every alignment is honoured. A request is first made for its size rounded
// up to the alignment, which the heap's power-of-two classes satisfy; when the
// element is not aligned, a larger element is taken and the aligned address
// inside it is handed out with the element's start stored just before it. A
// release tries the address itself first: the heap refuses an address that is
// not the start of an element, and then the stored start is released.
// Two resources are equal when they serve the same heap.
#pragma once

#include <cstddef>
#include <memory_resource>

class DUZOVEV_FRONT_END;

class MEMORY_RESOURCE : public std::pmr::memory_resource {
 public:
  explicit MEMORY_RESOURCE(DUZOVEV_FRONT_END &Heap) : Heap(Heap) {}

  DUZOVEV_FRONT_END &Target() const { return Heap; }

 private:
  void *do_allocate(size_t Bytes, size_t Alignment) override;
  void do_deallocate(void *Address, size_t Bytes, size_t Alignment) override;
  bool do_is_equal(const std::pmr::memory_resource &Other) const noexcept override;

  DUZOVEV_FRONT_END &Heap;
};
