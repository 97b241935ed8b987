#include "platform/virtual_memory.h"

#include "platform/posix/fork_guard.h"

#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

namespace platform {

namespace {

// The unit in which this port hands out address space, the same as the Windows
// allocation granularity so that both builds carve memory alike.
constexpr uint64_t AreaGranuleBytes = 65536;

uint64_t SystemPageBytes() {
  const long PageBytes = sysconf(_SC_PAGESIZE);
  return PageBytes > 0 ? static_cast<uint64_t>(PageBytes) : 4096;
}

uint64_t RoundUp(uint64_t Value, uint64_t Unit) { return (Value + Unit - 1) & ~(Unit - 1); }

// The kernel keeps no record of which mappings were areas, and munmap takes
// any page-aligned range. Like the system on Windows, this port must refuse an
// address that is not the start of an area and give back a whole area whatever
// size the caller names, so it records every area it hands out: an open
// addressing table of (start, length) in mapped memory, never the C heap.
struct AREA_RECORD {
  uint64_t Start;   // 0: never used; Removed: used before, free again
  uint64_t Length;  // bytes mapped
};

constexpr uint64_t Removed = 1;  // no area starts at 1

class AREA_REGISTRY {
 public:
  // False when the table cannot grow; nothing is recorded then.
  bool Add(uint64_t Start, uint64_t Length) {
    LOCK Guard(Busy);
    if ((Used + 1) * 2 > Capacity && !Grow())
      return false;
    AREA_RECORD &Record = SlotFor(Start);
    if (Record.Start == 0)
      ++Used;
    Record = AREA_RECORD{Start, Length};
    ++Live;
    return true;
  }

  // Held across a fork by the fork handlers (fork_guard.h).
  void Hold() { LOCK::Take(Busy); }
  void Free() { Busy.clear(std::memory_order_release); }

  // The length of the area that starts at Start, forgotten; 0 when none does.
  uint64_t Take(uint64_t Start) {
    LOCK Guard(Busy);
    if (Capacity == 0)
      return 0;
    AREA_RECORD &Record = SlotFor(Start);
    if (Record.Start != Start)
      return 0;
    const uint64_t Length = Record.Length;
    Record.Start = Removed;
    --Live;
    return Length;
  }

 private:
  class LOCK {
   public:
    explicit LOCK(std::atomic_flag &Flag) : Flag(Flag) { Take(Flag); }
    static void Take(std::atomic_flag &Flag) {
      while (Flag.test_and_set(std::memory_order_acquire))
        sched_yield();
    }
    ~LOCK() { Flag.clear(std::memory_order_release); }

   private:
    std::atomic_flag &Flag;
  };

  static uint64_t Hash(uint64_t Start) { return (Start >> 16) * 0x9E3779B97F4A7C15u; }

  // The record of Start, or the slot where it would go: the first removed
  // slot on its probe path, else the empty slot that ends it.
  AREA_RECORD &SlotFor(uint64_t Start) {
    const uint64_t Mask = Capacity - 1;
    AREA_RECORD *Reusable = nullptr;
    for (uint64_t Index = Hash(Start) & Mask;; Index = (Index + 1) & Mask) {
      AREA_RECORD &Record = Table[Index];
      if (Record.Start == Start)
        return Record;
      if (Record.Start == Removed && Reusable == nullptr)
        Reusable = &Record;
      if (Record.Start == 0)
        return Reusable != nullptr ? *Reusable : Record;
    }
  }

  // Doubles the table (or keeps its size while removed slots make up the
  // load), dropping the removed slots. It starts at one page: records land
  // at hashed places, so a larger start would make every page of it resident
  // for a small program's few dozen areas.
  bool Grow() {
    uint64_t NewCapacity = Capacity == 0 ? 4096 / sizeof(AREA_RECORD) : Capacity;
    while ((Live + 1) * 4 > NewCapacity)
      NewCapacity *= 2;
    void *Mapped = mmap(nullptr, NewCapacity * sizeof(AREA_RECORD), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Mapped == MAP_FAILED)
      return false;
    AREA_RECORD *OldTable = Table;
    const uint64_t OldCapacity = Capacity;
    Table = static_cast<AREA_RECORD *>(Mapped);  // zero-filled: every slot empty
    Capacity = NewCapacity;
    Used = 0;
    for (uint64_t Index = 0; Index < OldCapacity; ++Index)
      if (OldTable[Index].Start > Removed) {
        SlotFor(OldTable[Index].Start) = OldTable[Index];
        ++Used;
      }
    if (OldTable != nullptr)
      munmap(OldTable, OldCapacity * sizeof(AREA_RECORD));
    return true;
  }

  std::atomic_flag Busy = ATOMIC_FLAG_INIT;
  AREA_RECORD *Table = nullptr;
  uint64_t Capacity = 0;  // a power of two, or 0 before the first area
  uint64_t Used = 0;      // slots not empty, removed ones included
  uint64_t Live = 0;      // areas recorded
};

constinit AREA_REGISTRY Areas;

// Maps more than asked for and unmaps the head before the first aligned start
// and the tail behind the area, so that exactly the area stays mapped.
void *MapAligned(uint64_t Alignment, int32_t Size) {
  if (Size <= 0)
    return nullptr;
  const uint64_t PageBytes = SystemPageBytes();
  if (Alignment < PageBytes)
    Alignment = PageBytes;
  const uint64_t AreaBytes = RoundUp(static_cast<uint64_t>(Size), PageBytes);
  const uint64_t MappedBytes = AreaBytes + Alignment - PageBytes;
  void *Mapped = mmap(nullptr, MappedBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (Mapped == MAP_FAILED)
    return nullptr;
  const uint64_t Base = reinterpret_cast<uint64_t>(Mapped);
  const uint64_t Start = RoundUp(Base, Alignment);
  const uint64_t HeadBytes = Start - Base;
  const uint64_t TailBytes = MappedBytes - HeadBytes - AreaBytes;
  if (HeadBytes > 0)
    munmap(Mapped, HeadBytes);
  if (TailBytes > 0)
    munmap(reinterpret_cast<void *>(Start + AreaBytes), TailBytes);
  if (!Areas.Add(Start, AreaBytes)) {
    munmap(reinterpret_cast<void *>(Start), AreaBytes);
    return nullptr;
  }
  return reinterpret_cast<void *>(Start);
}

// Advice is optional and an in-place remap that fails has a fallback: a
// refusal from the system must not show through errno to a caller whose
// allocation then succeeds.
class KEEP_ERRNO {
 public:
  KEEP_ERRNO() : Saved(errno) {}
  ~KEEP_ERRNO() { errno = Saved; }
  KEEP_ERRNO(const KEEP_ERRNO &) = delete;
  KEEP_ERRNO &operator=(const KEEP_ERRNO &) = delete;

 private:
  int Saved;
};

}  // namespace

void HoldAreaRecords() { Areas.Hold(); }
void FreeAreaRecords() { Areas.Free(); }

void *CommitArea(int32_t Size) { return MapAligned(AreaGranuleBytes, Size); }

void *CommitAlignedArea(int32_t AlignMask, int32_t Size) {
  if (AlignMask < 0)
    return nullptr;
  return MapAligned(static_cast<uint64_t>(AlignMask) + 1, Size);
}

// The record is taken before the area is unmapped, so a second release of the
// same start, even a racing one, finds nothing and changes nothing.
bool ReleaseArea(void *Address, int32_t) {
  const uint64_t Start = reinterpret_cast<uint64_t>(Address);
  if (Start <= Removed)
    return false;
  const uint64_t Length = Areas.Take(Start);
  if (Length == 0)
    return false;
  return munmap(Address, Length) == 0;
}

void *MapPages(uint64_t Bytes) {
  void *Mapped = mmap(nullptr, Bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return Mapped == MAP_FAILED ? nullptr : Mapped;
}

bool UnmapPages(void *Address, uint64_t Bytes) { return munmap(Address, Bytes) == 0; }

bool RemapPages(void *Address, uint64_t Bytes, uint64_t NewBytes, void *Target) {
  const KEEP_ERRNO Keep;
  if (Target == nullptr)
    return mremap(Address, Bytes, NewBytes, 0) != MAP_FAILED;
  return mremap(Address, Bytes, NewBytes, MREMAP_MAYMOVE | MREMAP_FIXED, Target) != MAP_FAILED;
}

void DiscardPages(void *Address, uint64_t Bytes) {
  const KEEP_ERRNO Keep;
  madvise(Address, Bytes, MADV_DONTNEED);
}

// Writing each page would fault it in just the same, one trap at a time;
// a kernel without the advice (before 5.14) refuses it and nothing changes.
void PopulatePages(void *Address, uint64_t Bytes) {
#ifndef MADV_POPULATE_WRITE
  constexpr int MADV_POPULATE_WRITE = 23;
#endif
  const KEEP_ERRNO Keep;
  madvise(Address, Bytes, MADV_POPULATE_WRITE);
}

void PreferLargePages(void *Address, uint64_t Bytes) {
#ifdef MADV_HUGEPAGE
  const KEEP_ERRNO Keep;
  madvise(Address, Bytes, MADV_HUGEPAGE);
#else
  (void)Address;
  (void)Bytes;
#endif
}

}  // namespace platform
