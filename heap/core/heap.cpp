#include "heap/core/heap.h"

#include <cstring>

#include "heap/buckets/cache.h"
#include "heap/core/find.h"
#include "heap/pages/duzovev_back_end.h"
#include "heap/pages/new_pages.h"
#include "heap/support/bit_utilities.h"
#include "heap/support/software_failure.h"
#include "heap/support/thread_safe.h"

namespace {
constexpr const char HeapSizeMessage[] = "A heap size in constructor for HEAP";
constexpr const char AllocationSizesMessage[] = "The allocation sizes in constructor for HEAP";
constexpr const char StrideMessage[] = "Cache size not multiple of stride";
constexpr const char OrderMessage[] = "Cache sizes not in ascending order";
constexpr const char ChunkMessage[] = "Chunk size not suitable for cache";
constexpr const char LargerThanParentMessage[] = "Cache size larger than parent size";
constexpr const char ParentSizeMessage[] = "Parent size exceeds 'TopCache' size";
constexpr const char TopMultipleMessage[] = "Top cache size not multiple of minimum";
constexpr const char TopChunkMessage[] = "Chunk size not suitable for top cache";
constexpr const char TopPageMessage[] = "Page size not suitable for top cache";
constexpr const char TopCacheSizeMessage[] = "Cache size not zero for top cache";
constexpr const char MappingTableMessage[] = "Mapping table in constructor for HEAP";
constexpr const char ParentBucketMessage[] = "Parent bucket is invalid";
constexpr const char DeletingAllocationMessage[] = "Deleting allocation in Resize";

constexpr int32_t SmallestPage = 32;

void Require(bool Condition, const char *Message) {
  if (!Condition)
    SoftwareFailure(Message);
}

// The checks of an ordinary cache against its part's stride and its successor.
void CheckOrdinaryCache(const CACHE *Cache, const CACHE *Next, int32_t Stride, int32_t TopPage) {
  Require(Cache->AllocationSize % Stride == 0, StrideMessage);
  Require(Cache->AllocationSize < Next->AllocationSize, OrderMessage);
  Require(Cache->AllocationSize <= Cache->ChunkSize && Cache->ChunkSize <= Cache->PageSize, ChunkMessage);
  Require(Cache->AllocationSize < Cache->PageSize, LargerThanParentMessage);
  Require(Cache->PageSize <= TopPage, ParentSizeMessage);
}

// The top and the large cache: one element per page, nothing kept ready.
void CheckTopCache(const CACHE *Cache, int32_t CoarseStride) {
  Require(Cache->AllocationSize % CoarseStride == 0, TopMultipleMessage);
  Require(Cache->AllocationSize == Cache->ChunkSize, TopChunkMessage);
  Require(Cache->AllocationSize == Cache->PageSize, TopPageMessage);
  Require(Cache->CacheSize == 0, TopCacheSizeMessage);
}

bool IsFirstByteOfHandedElement(const ELEMENT_INFO &Record) {
  return Record.OnBoundary && PAGE::StateOf(Record) == ELEMENT_STATE::InUse;
}
}  // namespace

HEAP::HEAP(CACHE **FineCaches, CACHE **CoarseCaches, int32_t MaxFreeSpace, NEW_PAGES *NewStore, FIND *NewOwnFind,
           FIND *NewProcessFind, DUZOVEV_BACK_END *NewBackEnd, int32_t FineCount, int32_t CoarseCount,
           int32_t FineStride, int32_t CoarseStride, THREAD_SAFE *NewThreadSafe) {
  Require(FineCount >= 1 && CoarseCount >= 3, HeapSizeMessage);
  CacheCount = FineCount + CoarseCount;
  SplitSize = CoarseCaches[0]->AllocationSize;
  MaxCacheSize = CoarseCaches[CoarseCount - 3]->AllocationSize;
  Caches = FineCaches;
  LargeCache = CoarseCaches[CoarseCount - 1];
  TopCache = CoarseCaches[CoarseCount - 2];
  NewPages = NewStore;
  OwnFind = NewOwnFind;
  ProcessFind = NewProcessFind;
  BackEnd = NewBackEnd;
  ThreadSafe = NewThreadSafe;
  CheckGeometry(FineCount, FineStride, CoarseStride);

  const int32_t TopPage = TopCache->PageSize;
  const int64_t FineBytes = static_cast<int64_t>(SplitSize / FineStride) * static_cast<int64_t>(sizeof(CACHE *));
  const int64_t CoarseBytes = static_cast<int64_t>(TopPage / CoarseStride) * static_cast<int64_t>(sizeof(CACHE *));
  FreePageLimit = MaxFreeSpace / TopCache->AllocationSize;
  MinPageMask = static_cast<uint32_t>(TopCache->AllocationSize - 1);
  // Tables that do not fit a signed 32-bit size are a block the back end cannot give.
  Require(FineBytes + CoarseBytes <= INT32_MAX, MappingTableMessage);
  FineTableBytes = static_cast<int32_t>(FineBytes);
  CoarseTableBytes = static_cast<int32_t>(CoarseBytes);
  const int32_t TableBytes = FineTableBytes + CoarseTableBytes;
  const int32_t Granule = BackEnd->AreaGranule();
  void *Block = BackEnd->NewArea(Granule - 1, TableBytes, false);
  Require(Block != nullptr, MappingTableMessage);
  FineTable = static_cast<CACHE **>(Block);
  CoarseTable = FineTable + FineTableBytes / static_cast<int32_t>(sizeof(CACHE *));
  try {
    FillTable(FineTable, SplitSize / FineStride, FineStride, Caches);
    FillTable(CoarseTable, TopPage / CoarseStride, CoarseStride, CoarseCaches);
    ConnectTree();
    PowerOfTwoShift(static_cast<int32_t>(MinPageMask + 1), GranuleShift);
    NewPages->TopCache = TopCache;
    OwnFind->RegisterHeap(static_cast<uint32_t>(TopCache->AllocationSize - 1), MinPageMask);
    if (ProcessFind != nullptr)
      ProcessFind->RegisterHeap(static_cast<uint32_t>(TopCache->AllocationSize - 1), MinPageMask);
  } catch (...) {
    // The tables are the heap's own: a heap that never became one gives them back.
    BackEnd->DeleteArea(Block, TableBytes, false);
    FineTable = CoarseTable = nullptr;
    throw;
  }
  Active = true;
}

void HEAP::CheckGeometry(int32_t FineCount, int32_t FineStride, int32_t CoarseStride) {
  const int32_t Granule = BackEnd->AreaGranule();
  const int32_t TopPage = TopCache->PageSize;
  Require(LargeCache->PageSize == TopPage, AllocationSizesMessage);
  Require(IsPowerOfTwo(Granule), AllocationSizesMessage);
  Require(Granule >= SYSTEM_FACTS::SystemPageSize, AllocationSizesMessage);
  Require(TopPage >= SYSTEM_FACTS::SystemPageSize && IsPowerOfTwo(TopPage), AllocationSizesMessage);
  Require(FineStride > 0 && IsPowerOfTwo(FineStride), AllocationSizesMessage);
  Require(CoarseStride >= FineStride && IsPowerOfTwo(CoarseStride), AllocationSizesMessage);
  PowerOfTwoShift(FineStride, FineShift);
  PowerOfTwoShift(CoarseStride, CoarseShift);
  for (int32_t Index = 0; Index < FineCount; ++Index)
    CheckOrdinaryCache(Caches[Index], Caches[Index + 1], FineStride, TopPage);
  for (int32_t Index = FineCount; Index < CacheCount - 2; ++Index)
    CheckOrdinaryCache(Caches[Index], Caches[Index + 1], CoarseStride, TopPage);
  CheckTopCache(TopCache, CoarseStride);
  CheckTopCache(LargeCache, CoarseStride);
}

// Entry k serves sizes up to (k + 1) x Stride. The sizes ascend strictly in
// multiples of the stride, so the cursor never needs more than one step.
void HEAP::FillTable(CACHE **Table, int32_t Entries, int32_t Stride, CACHE **Cursor) {
  for (int32_t Entry = 0; Entry < Entries; ++Entry) {
    if (static_cast<int64_t>(Entry + 1) * Stride > (*Cursor)->AllocationSize)
      ++Cursor;
    Table[Entry] = *Cursor;
  }
}

// Every cache takes its pages from the cache whose elements are its pages; the
// top cache from the back end, and the large cache from the top cache.
void HEAP::ConnectTree() {
  for (int32_t Index = 0; Index < CacheCount - 1; ++Index) {
    CACHE *Cache = Caches[Index];
    const int32_t PageBytes = Cache->PageSize;
    CACHE *Parent = FindCache(PageBytes);
    Require(IsPowerOfTwo(PageBytes) && PageBytes >= SmallestPage && PageBytes == Parent->AllocationSize,
            ParentBucketMessage);
    if (static_cast<uint32_t>(PageBytes) < MinPageMask)
      MinPageMask = static_cast<uint32_t>(PageBytes - 1);
    Cache->UpdateCache(this, NewPages, Parent == Cache ? NoBucket() : Parent, OwnFind, ProcessFind);
  }
  LargeCache->UpdateCache(this, NewPages, TopCache, OwnFind, ProcessFind);
}

HEAP::~HEAP() noexcept(false) {
  if (FineTable == nullptr)
    return;  // only the fields, or a heap that never became one
  Active = false;
  for (int32_t Index = 0; Index < CacheCount; ++Index)
    Caches[Index]->ResetCache();
  // Nobody else uses the heap now; the store's lock, held while pages leave
  // the lookups, would only stand against the lock order.
  NewPages->WipePages(false);
  BackEnd->DeleteArea(FineTable, FineTableBytes + CoarseTableBytes, false);
  FineTable = CoarseTable = nullptr;
}

void *HEAP::New(int32_t Size, int32_t *ActualSize, bool ZeroFill) {
  if (!Active || Size <= 0)
    return nullptr;
  // The common request asks for no size and no zeroing: straight to its cache.
  if (Size <= MaxCacheSize && ActualSize == nullptr && !ZeroFill)
    return FindCache(Size)->New();
  void *Element = nullptr;
  int32_t Bytes = Size;
  if (Size <= MaxCacheSize) {
    CACHE *Cache = FindCache(Size);
    Element = Cache->New();
    Bytes = Cache->AllocationSize;
  } else {
    Element = LargeCache->NewSized(false, Size);
  }
  if (Element == nullptr)
    return nullptr;
  if (ActualSize != nullptr)
    *ActualSize = Bytes;
  if (ZeroFill)
    std::memset(Element, 0, static_cast<size_t>(Bytes));
  return Element;
}

bool HEAP::MultipleNew(int32_t *Count, void **Array, int32_t Requested, int32_t Size, int32_t *ActualSize,
                       bool ZeroFill) {
  if (!Active)
    return false;
  int32_t Obtained = 0;
  if (Count != nullptr)
    *Count = 0;
  if (Size <= 0)
    return false;
  int32_t Bytes = Size;
  if (Size <= MaxCacheSize) {
    CACHE *Cache = FindCache(Size);
    Bytes = Cache->AllocationSize;
    Cache->MultipleNew(Obtained, Array, Requested);
  } else {
    while (Obtained < Requested) {
      void *Element = LargeCache->NewSized(false, Size);
      Array[Obtained] = Element;
      if (Element == nullptr)
        break;
      ++Obtained;
    }
  }
  // A batch cut short leaves no address behind the count: the pages may have
  // left copies of the ones handed out there, which a caller could free twice.
  for (int32_t Index = Obtained; Index < Requested; ++Index)
    Array[Index] = nullptr;
  if (ActualSize != nullptr)
    *ActualSize = Bytes;
  if (ZeroFill)
    for (int32_t Index = 0; Index < Obtained; ++Index)
      std::memset(Array[Index], 0, static_cast<size_t>(Bytes));
  if (Count != nullptr)
    *Count = Obtained;
  return Obtained == Requested;
}

// Through the heap's own lookup from the hint, then from the top-level page,
// then through the lookup the process shares.
bool HEAP::Delete(void *Address, int32_t Size) {
  if (!Active)
    return false;
  const bool Hinted = Size > 0 && Size <= MaxCacheSize;
  // The page the cache used last needs no lookup: the common case of a
  // block given back soon after it was handed out. Without a size, the cache
  // that handed out an element near it last is the likely owner.
  CACHE *Cache = Hinted ? FindCache(Size) : RecentSlot(Address).load(std::memory_order_relaxed);
  if (Cache != nullptr && Cache->DeleteInRecentPage(Address))
    return true;
  return DeleteThroughLookup(Address, Hinted ? Size : 0);
}

// Out of line, so that the common release above saves fewer registers.
bool HEAP::DeleteThroughLookup(void *Address, int32_t Size) {
  const bool Hinted = Size > 0;
  if (Hinted && OwnFind->Delete(Address, FindCache(Size), true))
    return true;
  if (OwnFind->Delete(Address, TopCache, true))
    return true;
  if (ProcessFind == nullptr)
    return false;
  if (Hinted && ProcessFind->Delete(Address, FindCache(Size)))
    return true;
  return ProcessFind->Delete(Address, TopCache);
}

// The cache whose elements hold the pages of the cache for Size: one lookup
// from it finds any element of that size.
CACHE *HEAP::HintFor(int32_t Size) const {
  CACHE *Parent = FindCache(Size)->Parent;
  return Parent == NoBucket() || Parent == nullptr ? TopCache : Parent;
}

bool HEAP::DeleteAnywhere(void *Address, CACHE *Hint) {
  if (Hint != TopCache && OwnFind->Delete(Address, Hint, true))
    return true;
  if (OwnFind->Delete(Address, TopCache, true))
    return true;
  return ProcessFind != nullptr && ProcessFind->Delete(Address, TopCache);
}

// With a size, the cache of that size takes the batch in runs under one claim
// of its lock; what it leaves, and every element of a batch without a size,
// goes through the lookup one by one, with the same answer a single release
// would get.
bool HEAP::MultipleDelete(int32_t Count, void **Addresses, int32_t Size) {
  if (!Active)
    return false;
  const bool Hinted = Size > 0 && Size <= MaxCacheSize;
  CACHE *Hint = Hinted ? HintFor(Size) : TopCache;
  bool Result = true;
  constexpr int32_t Run = 128;
  void *Left[Run];
  for (int32_t Start = 0; Start < Count; Start += Run) {
    const int32_t Length = Count - Start < Run ? Count - Start : Run;
    void **Pending = Addresses + Start;
    int32_t Remaining = Length;
    if (Hinted) {
      Remaining = FindCache(Size)->DeleteBatch(Length, Pending, Left, Result);
      Pending = Left;
    }
    for (int32_t Index = 0; Index < Remaining; ++Index)
      if (!DeleteAnywhere(Pending[Index], Hint))
        Result = false;
  }
  return Result;
}

void *HEAP::Resize(void *Address, int32_t NewSize, int32_t MoveThreshold, int32_t *ActualSize, bool KeepOld,
                   bool ZeroFill) {
  if (!Active)
    return nullptr;
  // Only the first byte of a caller's allocation can be resized: anything
  // else would be moved and then fail to be released.
  int32_t Current = 0;
  if (!CheckAddress(Address, &Current))
    return nullptr;
  const int32_t Copied = Current < NewSize ? Current : NewSize;
  if (Copied <= 0)
    return nullptr;
  CACHE *Target = NewSize <= MaxCacheSize ? FindCache(NewSize) : nullptr;
  const int32_t Bytes = Target != nullptr ? Target->AllocationSize : NewSize;
  const int64_t Growth = static_cast<int64_t>(Bytes) - Current;
  bool Move = false;
  if (MoveThreshold > 0)
    Move = (Growth < 0 ? -Growth : Growth) >= MoveThreshold;
  else if (MoveThreshold < 0)
    Move = Growth > 0 || Growth <= MoveThreshold;
  if (!Move) {
    if (Growth > 0)
      return nullptr;  // it cannot grow where it is
    if (ActualSize != nullptr)
      *ActualSize = Current;
    return Address;
  }
  void *Moved = Target != nullptr ? Target->New() : LargeCache->NewSized(false, NewSize);
  if (Moved == nullptr)
    return nullptr;
  std::memcpy(Moved, Address, static_cast<size_t>(Copied));
  if (ActualSize != nullptr)
    *ActualSize = Bytes;
  if (!KeepOld && !Delete(Address, Current))
    SoftwareFailure(DeletingAllocationMessage);
  if (ZeroFill && Bytes > Copied)
    std::memset(static_cast<char *>(Moved) + Copied, 0, static_cast<size_t>(Bytes - Copied));
  return Moved;
}

bool HEAP::DescribeAddress(void *Address, ELEMENT_INFO *Record, int32_t *Size) {
  if (!Active)
    return false;
  int32_t Found = 0;
  if (!OwnFind->DescribeAddress(Address, Record, TopCache, Found) &&
      (ProcessFind == nullptr || !ProcessFind->DescribeAddress(Address, Record, TopCache, Found)))
    return false;
  if (Size != nullptr)
    *Size = Found;
  return true;
}

bool HEAP::Contains(void *Address) {
  if (!Active)
    return false;
  return OwnFind->Contains(Address, TopCache) || (ProcessFind != nullptr && ProcessFind->Contains(Address, TopCache));
}

// An element its cache holds is in a state of its own, never "in use", so no
// search of the caches' stacks and queues is needed to report it as free.
bool HEAP::CheckAddress(void *Address, int32_t *Size) {
  if (!Active)
    return false;
  ELEMENT_INFO Record;
  int32_t Found = 0;
  if (!DescribeAddress(Address, &Record, &Found) || !IsFirstByteOfHandedElement(Record))
    return false;
  if (Size != nullptr)
    *Size = Found;
  return true;
}

// Only the heap's own pages are walked; elements its caches hold show as free.
bool HEAP::WalkHeap(bool *InUse, void **Address, int32_t *Size) {
  if (!Active || InUse == nullptr || Address == nullptr || Size == nullptr)
    return false;
  return OwnFind->WalkHeap(*InUse, *Address, TopCache, *Size);
}

bool HEAP::TrimHeap(int32_t MaxFreeSpace) {
  if (!Active)
    return true;
  bool Result = true;
  for (int32_t Index = 0; Index < CacheCount; ++Index)
    if (!Caches[Index]->Flush())
      Result = false;
  TopCache->TrimFreePages(MaxFreeSpace / TopCache->AllocationSize);
  // Descriptor areas left unused go back under every lock of the heap, so
  // that no release is between reading a descriptor and claiming its cache.
  // A lookup shared with other heaps has its own lock: there they stay.
  if (ProcessFind == nullptr) {
    ClaimAllLocks();
    NewPages->DiscardUnusedAreas();
    if (ThreadSafe->ReleaseGlobalLock(true))
      ReleaseGroupLocks(CacheCount + 2);
  }
  return Result;
}

// Heap-wide order: the global lock, the caches in ascending size (children
// before their parents), the own lookup, the page store; then the claim is
// engaged and this thread passes every lock of the heap. A claimed global
// lock means thread safety is on and nobody is engaged, so each lock is taken.
// A wait that fails gives back what was taken: outside this operation, the
// owner of the global lock always holds the whole group.
void HEAP::ClaimAllLocks() {
  if (!Active || !ThreadSafe->ClaimGlobalLock())
    return;
  int32_t Taken = 0;
  try {
    for (; Taken < CacheCount; ++Taken)
      Caches[Taken]->Lock.Acquire();
    OwnFind->ClaimExclusive();
    ++Taken;
    NewPages->Lock.Acquire();
  } catch (...) {
    ReleaseGroupLocks(Taken);
    ThreadSafe->ReleaseGlobalLock(true);
    throw;
  }
  ThreadSafe->EngageGlobalLock();
}

// The first Taken locks of the group in claim order (the caches, the own
// lookup, the page store), given back in release order.
void HEAP::ReleaseGroupLocks(int32_t Taken) {
  if (Taken > CacheCount + 1)
    NewPages->Lock.Release();
  if (Taken > CacheCount)
    OwnFind->ReleaseExclusive();
  for (int32_t Index = 0; Index < Taken && Index < CacheCount; ++Index)
    Caches[Index]->Lock.Release();
}

void HEAP::ReleaseAllLocks(bool Force) {
  if (!Active || !ThreadSafe->ReleaseGlobalLock(Force))
    return;
  ReleaseGroupLocks(CacheCount + 2);
}

void HEAP::GiveBackClaim(bool AllLevels) {
  if (!Active || !ThreadSafe->HeldByCaller())
    return;
  if (AllLevels)
    ThreadSafe->Recursion.store(0, std::memory_order_relaxed);
  ReleaseAllLocks(false);
}

void HEAP::DeleteAll(bool KeepMemory) {
  if (!Active)
    return;
  ClaimAllLocks();
  OwnFind->LookasideLookups.store(0, std::memory_order_relaxed);
  for (int32_t Index = 0; Index < CacheCount; ++Index)
    Caches[Index]->ResetCache();
  NewPages->DeleteAll(KeepMemory);
  if (Active && ThreadSafe->ReleaseGlobalLock(true))
    ReleaseGroupLocks(CacheCount + 2);
  if (KeepMemory)
    TopCache->TrimFreePages(FreePageLimit);
}
