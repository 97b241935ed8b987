#include "heap/frontend/duzovev_front_end.h"

#include <cstdlib>
#include <new>

#include "heap/buckets/cache.h"
#include "heap/core/find.h"
#include "heap/core/heap.h"
#include "heap/frontend/process_objects.h"
#include "heap/pages/duzovev_back_end.h"
#include "heap/pages/new_pages.h"
#include "heap/support/bit_utilities.h"
#include "heap/support/software_failure.h"
#include "heap/support/thread_safe.h"

namespace {
constexpr const char ConfigurationMessage[] = "Cache size in constructor for DUZOVEV_FRONT_END";
constexpr const char NoBlockMessage[] = "Heap constructor failed in DUZOVEV_FRONT_END";
constexpr const char UnknownExceptionText[] = "(unknown exception type)";

// Every object of the block starts on its own cache lines, as its locks want.
constexpr int64_t ObjectAlignment = 128;

int32_t CountRecords(const CACHE_DESCRIPTION *Table) {
  int32_t Count = 0;
  while (Table != nullptr && Table[Count].AllocationSize != 0)
    ++Count;
  return Count;
}

int32_t CountSizes(const int32_t *Sizes) {
  int32_t Count = 0;
  while (Sizes != nullptr && Sizes[Count] != 0)
    ++Count;
  return Count;
}

int64_t RoundUp(int64_t Value) { return (Value + ObjectAlignment - 1) & ~(ObjectAlignment - 1); }

// The process-wide lookup shared by the heaps built with SingleImage, with its
// own global lock wrapper; both live in static storage and are built by the
// first heap that needs them. ProcessFindLock guards all of it.
alignas(FIND) unsigned char ProcessFindStorage[sizeof(FIND)];
alignas(THREAD_SAFE) unsigned char ProcessThreadSafeStorage[sizeof(THREAD_SAFE)];
constinit int32_t ProcessFindUsers = 0;
constinit FIND *SharedFind = nullptr;
constinit THREAD_SAFE *ProcessThreadSafe = nullptr;

void DestroyProcessThreadSafe() {
  HYBRID_LOCK &Lock = ProcessFindLock();
  Lock.Acquire();
  THREAD_SAFE *Wrapper = ProcessThreadSafe;
  ProcessThreadSafe = nullptr;
  Lock.Release();
  if (Wrapper == nullptr)
    return;
  try {
    Wrapper->~THREAD_SAFE();
  } catch (...) {  // at exit there is nobody left to tell
  }
}

// Holds ProcessFindLock for a scope, also while a failure unwinds it.
class PROCESS_FIND_CLAIM {
 public:
  PROCESS_FIND_CLAIM() : Lock(ProcessFindLock()) { Lock.Acquire(); }
  ~PROCESS_FIND_CLAIM() { Lock.Release(); }
  PROCESS_FIND_CLAIM(const PROCESS_FIND_CLAIM &) = delete;
  PROCESS_FIND_CLAIM &operator=(const PROCESS_FIND_CLAIM &) = delete;

 private:
  HYBRID_LOCK &Lock;
};
}  // namespace

// Where each object of the heap block lies, in the order they are built.
struct DUZOVEV_FRONT_END::LAYOUT {
  int64_t ThreadSafe = 0;
  int64_t Caches = 0;
  int64_t Pointers = 0;
  int64_t OwnFind = 0;
  int64_t NewPages = 0;
  int64_t Heap = 0;
  int64_t Total = 0;

  explicit LAYOUT(int32_t CacheCount) {
    ThreadSafe = Place(sizeof(THREAD_SAFE));
    Caches = Place(static_cast<int64_t>(sizeof(CACHE)) * CacheCount);
    Pointers = Place(static_cast<int64_t>(sizeof(CACHE *)) * CacheCount);
    OwnFind = Place(sizeof(FIND));
    NewPages = Place(sizeof(NEW_PAGES));
    Heap = Place(sizeof(HEAP));
  }

 private:
  int64_t Place(int64_t Bytes) {
    const int64_t At = Total;
    Total = RoundUp(Total + Bytes);
    return At;
  }
};

DUZOVEV_FRONT_END::DUZOVEV_FRONT_END(const CACHE_DESCRIPTION *FineCaches, const CACHE_DESCRIPTION *CoarseCaches,
                                     int32_t LookasideSize, int32_t LookasideThreshold, int32_t HashSize,
                                     int32_t FreeSpaceLimit, const int32_t *VectorSizes,
                                     DUZOVEV_BACK_END *NewBackEnd, bool ReuseFreed, bool NewSingleImage,
                                     int32_t FineStride, int32_t CoarseStride, bool ThreadSafeFlag)
    : BackEnd(NewBackEnd), SingleImage(NewSingleImage), ConstructedMark(UsableMark) {
  const int32_t FineCount = CountRecords(FineCaches);
  const int32_t CoarseCount = CountRecords(CoarseCaches);
  const int32_t VectorCount = CountSizes(VectorSizes);
  CacheCount = FineCount + CoarseCount;
  const int64_t Total = LAYOUT(CacheCount).Total;
  BlockSize = Total <= INT32_MAX ? static_cast<int32_t>(Total) : 0;
  int32_t CachesBuilt = 0;
  try {
    Build(FineCaches, CoarseCaches, FineCount, CoarseCount, LookasideSize, LookasideThreshold, HashSize,
          FreeSpaceLimit, VectorSizes, VectorCount, ReuseFreed, FineStride, CoarseStride, ThreadSafeFlag,
          CachesBuilt);
  } catch (...) {
    // A heap that never became one gives back all it had built: it has never
    // been used, so nothing in it can be half way through an operation.
    ConstructedMark.store(0, std::memory_order_relaxed);
    TearDown(CachesBuilt);
  }
}

void DUZOVEV_FRONT_END::Build(const CACHE_DESCRIPTION *FineCaches, const CACHE_DESCRIPTION *CoarseCaches,
                              int32_t FineCount, int32_t CoarseCount, int32_t LookasideSize,
                              int32_t LookasideThreshold, int32_t HashSize, int32_t FreeSpaceLimit,
                              const int32_t *VectorSizes, int32_t VectorCount, bool ReuseFreed, int32_t FineStride,
                              int32_t CoarseStride, bool ThreadSafeFlag, int32_t &CachesBuilt) {
  if (BackEnd == nullptr)
    SoftwareFailure(NoBlockMessage);
  const int32_t Granule = BackEnd->AreaGranule();
  if (!IsPowerOfTwo(Granule) || FineCount < 1 || CoarseCount < 3 || FineStride <= 0 || !IsPowerOfTwo(FineStride) ||
      CoarseStride < FineStride || !IsPowerOfTwo(CoarseStride))
    SoftwareFailure(ConfigurationMessage);
  const LAYOUT Layout(CacheCount);
  char *Block = BlockSize > 0 ? static_cast<char *>(BackEnd->NewArea(Granule - 1, BlockSize, false)) : nullptr;
  if (Block == nullptr)
    SoftwareFailure(NoBlockMessage);
  ThreadSafe = new (Block + Layout.ThreadSafe) THREAD_SAFE(ThreadSafeFlag);
  Caches = reinterpret_cast<CACHE *>(Block + Layout.Caches);
  CachePointers = reinterpret_cast<CACHE **>(Block + Layout.Pointers);
  for (; CachesBuilt < CacheCount; ++CachesBuilt) {
    const CACHE_DESCRIPTION &Row =
        CachesBuilt < FineCount ? FineCaches[CachesBuilt] : CoarseCaches[CachesBuilt - FineCount];
    new (&Caches[CachesBuilt])
        CACHE(Row.AllocationSize, Row.CacheSize, Row.ChunkSize, Row.PageSize, ReuseFreed, ThreadSafe);
  }
  for (int32_t Index = 0; Index < CacheCount; ++Index)
    CachePointers[Index] = &Caches[Index];
  OwnFind = new (Block + Layout.OwnFind)
      FIND(HashSize, LookasideSize, LookasideThreshold, false, true, BackEnd, ThreadSafe);
  if (SingleImage)
    JoinProcessFind(HashSize, LookasideSize);
  NewPages = new (Block + Layout.NewPages) NEW_PAGES(VectorSizes, BackEnd, VectorCount, ThreadSafe);
  Heap = new (Block + Layout.Heap)
      HEAP(CachePointers, CachePointers + FineCount, FreeSpaceLimit, NewPages, OwnFind, ProcessFind, BackEnd,
           FineCount, CoarseCount, FineStride, CoarseStride, ThreadSafe);
}

// The first heap to join builds the shared lookup with its own sizes and back
// end. A failure on the way gives the claim back and takes the count down
// again, so that a later heap can try afresh.
void DUZOVEV_FRONT_END::JoinProcessFind(int32_t HashSize, int32_t LookasideSize) {
  PROCESS_FIND_CLAIM Claim;
  if (ProcessFindUsers == 0) {
    if (ProcessThreadSafe == nullptr) {
      static const bool Registered = std::atexit(DestroyProcessThreadSafe) == 0;
      (void)Registered;
      ProcessThreadSafe = new (ProcessThreadSafeStorage) THREAD_SAFE(true);
    }
    SharedFind = new (ProcessFindStorage) FIND(HashSize, LookasideSize, 0, true, true, BackEnd, ProcessThreadSafe);
  }
  ++ProcessFindUsers;
  ProcessFind = SharedFind;
}

void DUZOVEV_FRONT_END::LeaveProcessFind() {
  PROCESS_FIND_CLAIM Claim;
  ProcessFind = nullptr;
  if (--ProcessFindUsers > 0)
    return;
  FIND *Last = SharedFind;
  SharedFind = nullptr;
  Last->~FIND();
}

// In the reverse order of building; a failure stops it, and whatever is left
// stays where it is.
void DUZOVEV_FRONT_END::TearDown(int32_t CachesBuilt) {
  try {
    if (Heap != nullptr)
      Heap->~HEAP();
    Heap = nullptr;
    if (NewPages != nullptr)
      NewPages->~NEW_PAGES();
    NewPages = nullptr;
    if (ProcessFind != nullptr)
      LeaveProcessFind();
    if (OwnFind != nullptr)
      OwnFind->~FIND();
    OwnFind = nullptr;
    for (int32_t Index = 0; Index < CachesBuilt; ++Index)
      Caches[Index].~CACHE();
    if (ThreadSafe != nullptr) {
      void *Block = ThreadSafe;
      ThreadSafe->~THREAD_SAFE();
      ThreadSafe = nullptr;
      BackEnd->DeleteArea(Block, BlockSize, false);
    }
  } catch (...) {
    ConstructedMark.store(0, std::memory_order_relaxed);
    return;
  }
  CachePointers = nullptr;
  Caches = nullptr;
  BlockSize = 0;
  CacheCount = 0;
  SingleImage = false;
}

DUZOVEV_FRONT_END::~DUZOVEV_FRONT_END() {
  // An unusable heap keeps what it has: a failure may have left it half way
  // through an operation.
  if (!Usable() || CacheCount <= 0 || BlockSize <= 0)
    return;
  ConstructedMark.store(0, std::memory_order_relaxed);
  TearDown(CacheCount);
}

// Turning unusable leaves no lock held: whatever this thread had of a
// heap-wide section goes back, after the mark, so that the threads waiting for
// it find the heap unusable when they get their locks.
void DUZOVEV_FRONT_END::Fail(const char *Message) {
  uint64_t Expected = UsableMark;
  const bool First = ConstructedMark.compare_exchange_strong(Expected, 0);
  GiveBackClaim(true);
  if (!First)
    return;  // another thread's failure came first
  try {
    NotifyFailure(Message);
  } catch (...) {
  }
}

// Only a heap that was built has a claim to give back; a failure while giving
// it back leaves the rest where it is.
void DUZOVEV_FRONT_END::GiveBackClaim(bool AllLevels) {
  if (Heap == nullptr || !Heap->Active)
    return;
  try {
    Heap->GiveBackClaim(AllLevels);
  } catch (...) {
  }
}

// A call that waited for a lock that a failure gave back ends as the calls of
// an unusable heap do.
template <typename RESULT, typename CALL>
RESULT DUZOVEV_FRONT_END::Contained(RESULT FailureValue, CALL Call) {
  if (!Usable())
    return FailureValue;
  try {
    const RESULT Result = Call();
    if (Usable()) [[likely]]
      return Result;
  } catch (unsigned char *Message) {
    Fail(reinterpret_cast<const char *>(Message));
  } catch (...) {
    Fail(UnknownExceptionText);
  }
  return FailureValue;
}

bool DUZOVEV_FRONT_END::Delete(void *Address, int32_t Size) {
  return Contained(false, [&] { return Heap->Delete(Address, Size); });
}

bool DUZOVEV_FRONT_END::DescribeAddress(void *Address, int32_t *Size) {
  return Contained(false, [&] { return Heap->DescribeAddress(Address, nullptr, Size); });
}

bool DUZOVEV_FRONT_END::Contains(void *Address) {
  return Contained(false, [&] { return Heap->Contains(Address); });
}

bool DUZOVEV_FRONT_END::MultipleDelete(int32_t Count, void **Addresses, int32_t Size) {
  if (Count <= 0 || Addresses == nullptr)
    return false;
  return Contained(false, [&] { return Heap->MultipleDelete(Count, Addresses, Size); });
}

bool DUZOVEV_FRONT_END::MultipleNew(int32_t *Count, void **Array, int32_t Requested, int32_t Size,
                                    int32_t *ActualSize, bool ZeroFill) {
  if (Array == nullptr || Requested <= 0 || Size < 0)
    return false;
  const int32_t Bytes = Size == 0 ? 1 : Size;
  return Contained(false, [&] { return Heap->MultipleNew(Count, Array, Requested, Bytes, ActualSize, ZeroFill); });
}

void *DUZOVEV_FRONT_END::New(int32_t Size, int32_t *ActualSize, bool ZeroFill) {
  if (Size < 0)
    return nullptr;
  const int32_t Bytes = Size == 0 ? 1 : Size;
  return Contained(static_cast<void *>(nullptr), [&] { return Heap->New(Bytes, ActualSize, ZeroFill); });
}

void *DUZOVEV_FRONT_END::Resize(void *Address, int32_t NewSize, int32_t MoveThreshold, int32_t *ActualSize,
                                bool KeepOld, bool ZeroFill) {
  if (Address == nullptr)
    return New(NewSize, ActualSize, ZeroFill);
  if (NewSize < 0)
    return nullptr;
  const int32_t Bytes = NewSize == 0 ? 1 : NewSize;
  return Contained(static_cast<void *>(nullptr),
                   [&] { return Heap->Resize(Address, Bytes, MoveThreshold, ActualSize, KeepOld, ZeroFill); });
}

bool DUZOVEV_FRONT_END::CheckAddress(void *Address, int32_t *Size) {
  return Contained(false, [&] { return Address == nullptr || Heap->CheckAddress(Address, Size); });
}

// Claimed first, so that a wipe that waited for a section a failure ended
// leaves the unusable heap as it is.
void DUZOVEV_FRONT_END::DeleteAll(bool KeepMemory) {
  Contained(false, [&] {
    Heap->ClaimAllLocks();
    if (Usable())
      Heap->DeleteAll(KeepMemory);
    Heap->ReleaseAllLocks(false);
    return true;
  });
}

// A claim that waited for a section a failure ended is given back at once: an
// unusable heap's ClaimAllLocks holds nothing.
void DUZOVEV_FRONT_END::ClaimAllLocks() {
  Contained(false, [&] {
    Heap->ClaimAllLocks();
    if (!Usable())
      Heap->ReleaseAllLocks(false);
    return true;
  });
}

bool DUZOVEV_FRONT_END::TrimHeap(int32_t MaxFreeSpace) {
  return Contained(false, [&] { return Heap->TrimHeap(MaxFreeSpace); });
}

// Only the thread that claimed may release (or the one thread of a child it
// forked meanwhile): another thread's release is a failure, not a theft of the
// claim. On an unusable heap, a claim of the calling thread still goes back:
// nothing else would ever give it back.
void DUZOVEV_FRONT_END::ReleaseAllLocks() {
  if (!Usable())
    return GiveBackClaim(false);
  Contained(false, [&] {
    Heap->ReleaseAllLocks(false);
    return true;
  });
}

bool DUZOVEV_FRONT_END::WalkHeap(bool *InUse, void **Address, int32_t *Size) {
  if (InUse == nullptr || Address == nullptr || Size == nullptr)
    return false;
  return Contained(false, [&] {
    bool Found = false;
    if (!Heap->WalkHeap(&Found, Address, Size))
      return false;
    *InUse = Found;
    return true;
  });
}

void DUZOVEV_FRONT_END::NotifyFailure(const char *) {}

void *DUZOVEV_FRONT_END::NewPermanentArea(int32_t Size) {
  if (Size <= 0)
    return nullptr;
  return Contained(static_cast<void *>(nullptr), [&] { return NewPages->NewPermanentArea(Size); });
}
