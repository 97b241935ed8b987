// The allocator's only source of address space: committed, read-write areas
// whose start is aligned to a caller's power of two, and their release.
//
// The class has no data of its own, only its table of virtual operations, so
// any number of heaps may share one instance and a derived back end can change
// what an area is. The slot order is fixed: DeleteArea, AreaGranule, NewArea,
// then the destructor. Areas are known by their start address alone; the
// caller gives back exactly the start it received. Refusals are null results;
// only a failed release is a failure.
#pragma once

#include <cstdint>

class DUZOVEV_BACK_END {
 public:
  constexpr DUZOVEV_BACK_END() noexcept = default;

  // Releases the whole area that starts at Address.
  virtual void DeleteArea(void *Address, int32_t Size, bool UserSpace);
  // The platform's allocation granularity in bytes, a power of two.
  virtual int32_t AreaGranule();
  // Size committed bytes whose start has every bit of AlignMask clear, or null.
  virtual void *NewArea(int32_t AlignMask, int32_t Size, bool UserSpace);
  virtual ~DUZOVEV_BACK_END();

  // Filled on first use and shared by every instance; every writer stores the
  // same value, so the race between two first users is harmless.
  static int32_t CachedAreaGranule() { return AreaGranuleCache; }

  // Bytes that every instance together has taken from the system, given back
  // and held at most at once, for the drop-in allocator's statistics.
  static void ReadTotals(uint64_t &Taken, uint64_t &Returned, uint64_t &Peak);
  // Memory a user maps from the system itself (blocks beyond an area's
  // 32-bit size), counted with the areas.
  static void CountSystemBytes(uint64_t Taken, uint64_t Returned);

 private:
  static int32_t AreaGranuleCache;
};
