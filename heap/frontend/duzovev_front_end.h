// DUZOVEV_FRONT_END: the public face of one heap. Its sixteen virtual
// operations are the whole allocation interface; its constructor builds every
// object of the heap inside one block from the back end, in this order: the
// global lock wrapper, the caches (fine table, then coarse table), the array
// of pointers to them, the heap's own address lookup, the page store and the
// heap core.
//
// No exception ever leaves it. The first failure of the layers below makes the
// heap unusable for good (ConstructedMark 0) and is told once to NotifyFailure;
// from then on every operation returns its failure value at once. A
// constructor that fails gives back what it had built and leaves an unusable
// heap. The front end adds no lock of its own: with thread safety on, any
// number of threads may call it at once. A failure leaves no lock held: the
// heap-wide claim of the failing thread goes back at once, a thread that was
// waiting for a lock returns its failure value, and ReleaseAllLocks still gives
// back a claim of its caller.
//
// A thread that holds one heap's claim (ClaimAllLocks) uses no other heap
// until it releases it: with SingleImage a release through either heap may
// need the other's locks, and two threads that each hold one heap and use the
// other deadlock. The lock-annotated build reports the inversion.
#pragma once

#include <atomic>
#include <cstdint>

class DUZOVEV_BACK_END;
struct CACHE;
struct FIND;
struct HEAP;
struct NEW_PAGES;
struct THREAD_SAFE;

// One size class of a configuration: allocation size, cache size, chunk size
// and page size. A table of them ends with a record whose first field is 0.
struct CACHE_DESCRIPTION {
  int32_t AllocationSize;
  int32_t CacheSize;
  int32_t ChunkSize;
  int32_t PageSize;
};

class DUZOVEV_FRONT_END {
 public:
  // The mark of a usable heap.
  static constexpr uint64_t UsableMark = 0xDEADBEEFDEADBEEFull;

  DUZOVEV_FRONT_END(const CACHE_DESCRIPTION *FineCaches, const CACHE_DESCRIPTION *CoarseCaches,
                    int32_t LookasideSize, int32_t LookasideThreshold, int32_t HashSize, int32_t FreeSpaceLimit,
                    const int32_t *VectorSizes, DUZOVEV_BACK_END *BackEnd, bool ReuseFreed, bool SingleImage,
                    int32_t FineStride, int32_t CoarseStride, bool ThreadSafeFlag);
  DUZOVEV_FRONT_END(const DUZOVEV_FRONT_END &) = delete;
  DUZOVEV_FRONT_END &operator=(const DUZOVEV_FRONT_END &) = delete;

  // Slot 0: releases a live allocation; Size is a hint (0 or less: unknown).
  virtual bool Delete(void *Address, int32_t Size = 0);
  // Slot 1: true when a page of this heap (or of a heap sharing its lookup)
  // holds Address: a page of one size's elements or a large allocation, any
  // byte of it. It tells nothing of the element's state: one released, waiting
  // in a cache or never handed out answers true too (CheckAddress tells a live
  // allocation). Size receives the page's element size, or the large
  // allocation's size.
  virtual bool DescribeAddress(void *Address, int32_t *Size = nullptr);
  // Slot 2: true when Address lies inside a top-level page of the heap (or of
  // a heap sharing its lookup): a page of the top cache, whatever it holds, or
  // any byte of a large allocation. True does not mean an allocation.
  virtual bool Contains(void *Address);
  // Slot 3: releases every address it can; true when all were released.
  virtual bool MultipleDelete(int32_t Count, void **Addresses, int32_t Size = 0);
  // Slot 4: up to Requested allocations of Size bytes into Array.
  virtual bool MultipleNew(int32_t *Count, void **Array, int32_t Requested, int32_t Size,
                           int32_t *ActualSize = nullptr, bool ZeroFill = false);
  // Slot 5: one allocation; a size of 0 is served as 1.
  virtual void *New(int32_t Size, int32_t *ActualSize = nullptr, bool ZeroFill = false);
  // Slot 6: moves or keeps an allocation (see HEAP::Resize); null Address: New.
  virtual void *Resize(void *Address, int32_t NewSize, int32_t MoveThreshold, int32_t *ActualSize = nullptr,
                       bool KeepOld = false, bool ZeroFill = false);
  // Slot 7: true when Address is the first byte of a live allocation (or null).
  virtual bool CheckAddress(void *Address, int32_t *Size = nullptr);
  // Slot 8: forgets every allocation; the heap stays usable.
  virtual void DeleteAll(bool KeepMemory);
  // Slots 9 and 11: bracket a section in which this thread holds the whole
  // heap (nested claims need as many releases). Around a fork: claim, fork,
  // then release in the parent and in the child, whose one thread takes over
  // the claim of the thread that forked; no other thread may release it.
  virtual void ClaimAllLocks();
  // Slot 10: gives back what the caches hold and empty top pages beyond MaxFreeSpace.
  virtual bool TrimHeap(int32_t MaxFreeSpace);
  virtual void ReleaseAllLocks();
  // Slot 12: one step of a walk over the heap's elements; *Address 0 starts it.
  virtual bool WalkHeap(bool *InUse, void **Address, int32_t *Size);
  virtual ~DUZOVEV_FRONT_END();
  // Slot 14: told once of the failure that made the heap unusable.
  virtual void NotifyFailure(const char *Message);
  // Slot 15: memory that lives as long as the heap, never released alone.
  virtual void *NewPermanentArea(int32_t Size);

  bool Usable() const { return ConstructedMark.load(std::memory_order_relaxed) == UsableMark; }
  // The heap core, for code that extends the heap (a drop-in allocator in
  // front of it, tests); null on an unusable heap's failed construction.
  HEAP *Core() const { return Heap; }

 protected:
  CACHE **CachePointers = nullptr;
  CACHE *Caches = nullptr;
  HEAP *Heap = nullptr;
  NEW_PAGES *NewPages = nullptr;
  FIND *OwnFind = nullptr;
  FIND *ProcessFind = nullptr;
  DUZOVEV_BACK_END *BackEnd = nullptr;
  THREAD_SAFE *ThreadSafe = nullptr;
  bool SingleImage = false;
  // Read and written by every thread; a failure anywhere ends its use.
  std::atomic<uint64_t> ConstructedMark{0};
  int32_t CacheCount = 0;
  int32_t BlockSize = 0;

 private:
  struct LAYOUT;
  template <typename RESULT, typename CALL>
  RESULT Contained(RESULT FailureValue, CALL Call);
  void Fail(const char *Message);
  void GiveBackClaim(bool AllLevels);
  void Build(const CACHE_DESCRIPTION *FineCaches, const CACHE_DESCRIPTION *CoarseCaches, int32_t FineCount,
             int32_t CoarseCount, int32_t LookasideSize, int32_t LookasideThreshold, int32_t HashSize,
             int32_t FreeSpaceLimit, const int32_t *VectorSizes, int32_t VectorCount, bool ReuseFreed,
             int32_t FineStride, int32_t CoarseStride, bool ThreadSafeFlag, int32_t &CachesBuilt);
  void JoinProcessFind(int32_t HashSize, int32_t LookasideSize);
  void LeaveProcessFind();
  void TearDown(int32_t CachesBuilt);
};
