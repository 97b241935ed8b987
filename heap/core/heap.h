// HEAP: the core of one heap. It checks that a configuration of caches forms a
// usable heap, maps every request size to the smallest cache that serves it
// through a fine and a coarse table, connects the caches into one tree of pages
// inside pages (the top cache takes its pages from the back end, every other
// cache from the cache whose elements are as large as its pages), and routes
// every request of the front end to the caches and the address lookups.
//
// Invariants once Active: allocation sizes ascend strictly up to TopCache; each
// cache's page size is a power of two of at least 32 bytes and exactly the
// allocation size of its parent; FindCache(s) is the first cache at least s
// large for every s from 1 to the top page size; the tables never change.
// The heap owns only the block of the two tables; the front end owns the rest.
//
// A default-built HEAP is only its fields, as the layers below read them; the
// full constructor makes a working heap.
#pragma once

#include <atomic>
#include <cstdint>

#include "heap/support/system_facts.h"

class DUZOVEV_BACK_END;
struct CACHE;
struct ELEMENT_INFO;
struct FIND;
struct NEW_PAGES;
struct THREAD_SAFE;

struct HEAP : SYSTEM_FACTS_ATTACHMENT {
  bool Active = false;
  int32_t FreePageLimit = 0;
  uint32_t MinPageMask = 0;
  int32_t CacheCount = 0;
  int32_t SplitSize = 0;
  int32_t MaxCacheSize = 0;
  int32_t FineTableBytes = 0;
  int32_t CoarseTableBytes = 0;
  int32_t FineShift = 0;
  int32_t CoarseShift = 0;
  CACHE **FineTable = nullptr;
  CACHE **CoarseTable = nullptr;
  CACHE **Caches = nullptr;
  CACHE *LargeCache = nullptr;
  NEW_PAGES *NewPages = nullptr;
  FIND *OwnFind = nullptr;
  FIND *ProcessFind = nullptr;
  DUZOVEV_BACK_END *BackEnd = nullptr;
  CACHE *TopCache = nullptr;
  THREAD_SAFE *ThreadSafe = nullptr;
  // The cache that last handed out an element in each granule of the
  // smallest page, slot by granule number modulo RecentSlots. A release
  // without a size tries that cache's remembered page before the address
  // lookup; the cache checks the page under its own lock, so a slot that is
  // stale or shared by two granules costs a lookup and never a wrong release.
  // A page lent to a child covers whole granules, so the elements of one
  // granule are mostly one cache's; a slot is written only when it changes,
  // so threads on different sizes rarely write the same line.
  static constexpr int32_t RecentSlots = 256;
  int32_t GranuleShift = 0;
  alignas(128) std::atomic<CACHE *> RecentCaches[RecentSlots] = {};

  HEAP() = default;
  // FineCaches is an array of FineCount + CoarseCount cache pointers in
  // ascending size; CoarseCaches points at its FineCount-th entry. The last
  // coarse cache is the large cache, the one before it the top cache.
  HEAP(CACHE **FineCaches, CACHE **CoarseCaches, int32_t MaxFreeSpace, NEW_PAGES *NewStore, FIND *NewOwnFind,
       FIND *NewProcessFind, DUZOVEV_BACK_END *NewBackEnd, int32_t FineCount, int32_t CoarseCount,
       int32_t FineStride, int32_t CoarseStride, THREAD_SAFE *NewThreadSafe);
  ~HEAP() noexcept(false);
  HEAP(const HEAP &) = delete;
  HEAP &operator=(const HEAP &) = delete;

  // The cache for a size from 1 to the top page size (inline: every request
  // asks it).
  CACHE *FindCache(int32_t Size) const {
    if (Size < SplitSize)
      return FineTable[(Size - 1) >> FineShift];
    return CoarseTable[(Size - 1) >> CoarseShift];
  }

  void *New(int32_t Size, int32_t *ActualSize, bool ZeroFill);
  std::atomic<CACHE *> &RecentSlot(const void *Address) {
    return RecentCaches[(reinterpret_cast<uint64_t>(Address) >> GranuleShift) & (RecentSlots - 1)];
  }
  // Called by a cache for each element it hands out through New.
  void NoteHandedOut(const void *Element, CACHE *Cache) {
    std::atomic<CACHE *> &Slot = RecentSlot(Element);
    if (Slot.load(std::memory_order_relaxed) != Cache)
      Slot.store(Cache, std::memory_order_relaxed);
  }
  bool MultipleNew(int32_t *Count, void **Array, int32_t Requested, int32_t Size, int32_t *ActualSize, bool ZeroFill);
  // Size is a hint (0 or less when unknown); a wrong one costs a second lookup.
  bool Delete(void *Address, int32_t Size);
  bool MultipleDelete(int32_t Count, void **Addresses, int32_t Size);
  void *Resize(void *Address, int32_t NewSize, int32_t MoveThreshold, int32_t *ActualSize, bool KeepOld,
               bool ZeroFill);
  bool DescribeAddress(void *Address, ELEMENT_INFO *Record, int32_t *Size);
  bool Contains(void *Address);
  bool CheckAddress(void *Address, int32_t *Size);
  bool WalkHeap(bool *InUse, void **Address, int32_t *Size);
  bool TrimHeap(int32_t MaxFreeSpace);
  void DeleteAll(bool KeepMemory);
  void ClaimAllLocks();
  // With Force, a thread other than the owner may end the claim (a forked
  // child, whose one thread has a new identifier).
  void ReleaseAllLocks(bool Force = true);
  // Gives back the heap-wide claim of the calling thread, one level of it or
  // all, once a failure has ended its use; nothing when it holds none.
  void GiveBackClaim(bool AllLevels);

 private:
  void CheckGeometry(int32_t FineCount, int32_t FineStride, int32_t CoarseStride);
  void FillTable(CACHE **Table, int32_t Entries, int32_t Stride, CACHE **Cursor);
  void ConnectTree();
  void ReleaseGroupLocks(int32_t Taken);
  CACHE *HintFor(int32_t Size) const;
  bool DeleteAnywhere(void *Address, CACHE *Hint);
  // A release whose remembered page did not take it; Size is 0 when unknown.
  bool DeleteThroughLookup(void *Address, int32_t Size);
};
