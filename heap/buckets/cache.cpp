#include "heap/buckets/cache.h"

#include <algorithm>
#include <atomic>

#include "heap/core/find.h"
#include "heap/support/thread_safe.h"
#include "heap/pages/new_pages.h"
#include "heap/support/software_failure.h"

namespace {
constexpr const char CacheSizeMessage[] = "Cache size in constructor for CACHE";
constexpr const char CacheActiveMessage[] = "Cache active in destructor for CACHE";
constexpr const char NoDataPageMessage[] = "No data page in DeleteDataPage";

// CacheSize is a signed 16-bit field.
constexpr uint32_t MaxCacheSize = 32767;

static_assert(sizeof(DELAYED_DELETE) == 24, "queue entries are counted as 24 bytes");
}  // namespace

CACHE::CACHE(int32_t NewAllocationSize, int32_t NewCacheSize, int32_t NewChunkSize, int32_t NewPageSize,
             bool NewReuseFreed, THREAD_SAFE *NewThreadSafe)
    : BUCKET(NewAllocationSize, NewChunkSize, NewPageSize),
      ReuseFreed(NewReuseFreed),
      CacheSize(0),
      ThreadSafe(NewThreadSafe),
      Lock(4096, 256) {
  if (static_cast<uint32_t>(NewCacheSize) > MaxCacheSize)
    SoftwareFailure(CacheSizeMessage);
  CacheSize = static_cast<int16_t>(NewCacheSize);
}

CACHE::~CACHE() noexcept(false) {
  if (Active)
    SoftwareFailure(CacheActiveMessage);
}

void CACHE::UpdateCache(HEAP *NewHeap, NEW_PAGES *NewStore, CACHE *NewParent, FIND *NewOwnFind,
                        FIND *NewProcessFind) {
  if (NewParent != NoBucket() && NewParent != nullptr)
    ++NewParent->ChildCount;
  UpdateBucket(NewHeap, NewStore, NewParent, NewOwnFind, NewProcessFind);
}

// Active is also read before the lock is claimed (SearchCache), so every write
// is an atomic store; reads under the lock need no more than that.
void CACHE::SetActive(bool Value) { std::atomic_ref<bool>(Active).store(Value, std::memory_order_relaxed); }

bool CACHE::Activate() {
  if (CacheSize <= 1)
    return false;
  if (DelayedDeletes == nullptr)
    DelayedDeletes = static_cast<DELAYED_DELETE *>(NewPages->NewPermanentArea(CacheSize * sizeof(DELAYED_DELETE)));
  if (ReadyStack == nullptr)
    ReadyStack = static_cast<void **>(NewPages->NewPermanentArea(CacheSize * sizeof(void *)));
  if (DelayedDeletes == nullptr || ReadyStack == nullptr)
    return false;
  SetActive(true);
  FillSize = 1;
  DelayedCount = 0;
  StackTop = 0;
  return true;
}

void CACHE::GrowFillSize() {
  if (FillSize < CacheSize)
    FillSize = static_cast<int16_t>(std::min<int32_t>(2 * FillSize, CacheSize));
}

void *CACHE::New() {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  if (!Active) {
    Activate();
    return BUCKET::New(false, -1);
  }
  if (StackTop > 0)
    return ReadyStack[--StackTop];
  if (DelayedCount > 0 && ReuseFreed)
    return reinterpret_cast<void *>(DelayedDeletes[--DelayedCount].Address);
  GrowFillSize();
  int32_t Obtained = 0;
  if (!BUCKET::MultipleNew(Obtained, ReadyStack, FillSize))
    return nullptr;
  StackTop = Obtained;
  return ReadyStack[--StackTop];
}

bool CACHE::MultipleNew(int32_t &Count, void **Array, int32_t Requested) {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  if (Requested <= 0) {
    Count = 0;
    return false;
  }
  if (!Active) {
    Activate();
    return BUCKET::MultipleNew(Count, Array, Requested);
  }
  if (Requested > StackTop && ReuseFreed)
    while (DelayedCount > 0 && StackTop < CacheSize)
      ReadyStack[StackTop++] = reinterpret_cast<void *>(DelayedDeletes[--DelayedCount].Address);
  if (Requested <= StackTop) {
    for (int32_t Index = 0; Index < Requested; ++Index)
      Array[Index] = ReadyStack[--StackTop];
    Count = Requested;
    return true;
  }
  const bool Result = BUCKET::MultipleNew(Count, Array, Requested);
  if (StackTop <= CacheSize / 2) {
    GrowFillSize();
    int32_t Obtained = 0;
    BUCKET::MultipleNew(Obtained, ReadyStack + StackTop, std::min<int32_t>(FillSize, CacheSize - StackTop));
    StackTop += Obtained;
  }
  return Result;
}

void *CACHE::NewSized(bool ChildPage, int32_t PageBytes) {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  return BUCKET::New(ChildPage, PageBytes);
}

bool CACHE::IsReleasable(void *Address, PAGE *Page, int32_t Version) {
  if (Page->CurrentVersion() != Version)
    return false;
  ELEMENT_INFO Record;
  if (Page->FindElement(reinterpret_cast<uint64_t>(Address), &Record, OwnFind, false) == nullptr)
    return false;
  return Record.OnBoundary && (LoadWord(*Record.Word) & (Record.InUseMask | Record.ChildMask)) == Record.InUseMask;
}

bool CACHE::Delete(void *Address, PAGE *Page, int32_t Version) {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  if (!Active)
    return BUCKET::Delete(Address, Page, Version);
  // Held elements are handed out again without a look at their page, so only
  // the first byte of an element that a caller holds may enter the stack or
  // the queue.
  if (!IsReleasable(Address, Page, Version))
    return false;
  if (ReuseFreed && reinterpret_cast<uint64_t>(Address) < CurrentPageEnd && StackTop < CacheSize) {
    ReadyStack[StackTop++] = Address;
    return true;
  }
  DelayedDeletes[DelayedCount++] = DELAYED_DELETE{reinterpret_cast<uint64_t>(Address), Page, Version};
  if (DelayedCount >= CacheSize)
    return ApplyQueue();
  return true;
}

void *CACHE::NewDataPage() {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  return BUCKET::New(true, -1);
}

bool CACHE::DeleteDataPage(void *Address) {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  const uint64_t Element = reinterpret_cast<uint64_t>(Address);
  ELEMENT_INFO Record;
  PAGE *Page = nullptr;
  {
    FIND_SHARED_CLAIM Shared(*OwnFind);
    if (PAGE *Holder = FindPage(Element, OwnFind))
      Page = Holder->FindElement(Element, &Record, OwnFind, false);
  }
  if (Page == nullptr)
    SoftwareFailure(NoDataPageMessage);
  return Page->Delete(Record);
}

void CACHE::TrimFreePages(int32_t PageLimit) {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  BUCKET::TrimFreePages(PageLimit);
}

bool CACHE::SearchCache(void *Address) {
  if (!std::atomic_ref<bool>(Active).load(std::memory_order_relaxed))
    return false;
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  if (!Active)
    return false;
  for (int32_t Index = StackTop - 1; Index >= 0; --Index)
    if (ReadyStack[Index] == Address)
      return true;
  for (int32_t Index = DelayedCount - 1; Index >= 0; --Index)
    if (DelayedDeletes[Index].Address == reinterpret_cast<uint64_t>(Address))
      return true;
  return false;
}

bool CACHE::ApplyQueue() {
  int32_t Deleted = 0;
  const bool Result = BUCKET::MultipleDelete(DelayedDeletes, Deleted, DelayedCount);
  DelayedCount = 0;
  return Result;
}

bool CACHE::QueueStackForRelease() {
  bool Result = true;
  FIND_SHARED_CLAIM Shared(*OwnFind);
  while (StackTop > 0) {
    void *Address = ReadyStack[--StackTop];
    PAGE *Page = FindPage(reinterpret_cast<uint64_t>(Address), OwnFind);
    if (Page == nullptr) {
      Result = false;
      continue;
    }
    DelayedDeletes[DelayedCount++] = DELAYED_DELETE{reinterpret_cast<uint64_t>(Address), Page, Page->CurrentVersion()};
  }
  return Result;
}

bool CACHE::Flush() {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  bool Result = true;
  SetActive(false);
  FillSize = 1;
  if (DelayedCount > 0)
    Result = ApplyQueue();
  if (StackTop > 0 && !QueueStackForRelease())
    Result = false;
  if (DelayedCount > 0) {
    const bool Applied = ApplyQueue();
    Result = Result && Applied;
  }
  return Result;
}

void CACHE::ResetCache() {
  SetActive(false);
  FillSize = 1;
  DelayedCount = 0;
  StackTop = 0;
}
