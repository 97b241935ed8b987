#include "heap/buckets/cache.h"

#include <algorithm>
#include <atomic>

#include "heap/core/find.h"
#include "heap/core/heap.h"
#include "heap/support/thread_safe.h"
#include "heap/pages/new_pages.h"
#include "heap/support/software_failure.h"

namespace {
constexpr const char CacheSizeMessage[] = "Cache size in constructor for CACHE";
constexpr const char CacheActiveMessage[] = "Cache active in destructor for CACHE";
constexpr const char NoDataPageMessage[] = "No data page in DeleteDataPage";
constexpr const char CorruptInNewMessage[] = "Cached element is corrupt in New";
constexpr const char CorruptInMultipleNewMessage[] = "Cached element is corrupt in MultipleNew";

// The release queue of CacheSize entries must fit one permanent block, which is
// smaller than the area granule (65,536 bytes on both builds).
constexpr int64_t PermanentBlockBytes = 65536;
constexpr int64_t MaxCacheSize = (PermanentBlockBytes - 1) / 24;

static_assert(sizeof(DELAYED_DELETE) == 24, "queue entries are counted as 24 bytes");

void *AsPointer(uint64_t Address) { return reinterpret_cast<void *>(Address); }
}  // namespace

CACHE::CACHE(int32_t NewAllocationSize, int32_t NewCacheSize, int32_t NewChunkSize, int32_t NewPageSize,
             bool NewReuseFreed, THREAD_SAFE *NewThreadSafe)
    : BUCKET(NewAllocationSize, NewChunkSize, NewPageSize),
      ReuseFreed(NewReuseFreed),
      CacheSize(0),
      ThreadSafe(NewThreadSafe),
      Lock(4096, 256) {
  if (NewCacheSize < 0 || NewCacheSize > MaxCacheSize)
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
  Locking = ThreadSafe != nullptr && ThreadSafe->ThreadSafe;
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
  if (ReadyStack == nullptr) {
    // The stack and the pages of its entries, side by side in one block.
    ReadyStack = static_cast<void **>(NewPages->NewPermanentArea(CacheSize * (sizeof(void *) + sizeof(PAGE *))));
    if (ReadyStack != nullptr)
      ReadyPages = reinterpret_cast<PAGE **>(ReadyStack + CacheSize);
  }
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

// The hot paths' helpers are inline: a call each costs as much as the work.

// The common paths' claim, as the group guard decides it but in another
// order: the compare-and-swap comes first, and only a busy lock asks whether
// this thread has engaged the heap's global lock (it then holds this lock
// already). With the switch copied into the cache, the claim reads nothing
// outside it before its locked instruction, which waits for every read
// before it.
[[gnu::always_inline]] inline bool CACHE::ClaimLock() {
  if (!Locking)
    return false;
  if (Lock.AcquireIfFree()) [[likely]]
    return true;
  if (!GroupShouldLock(ThreadSafe))
    return false;
  return Lock.WaitForRelease(INFINITE_WAIT);
}

[[gnu::always_inline]] inline void CACHE::ReleaseLock(bool Taken) {
  if (Taken)
    Lock.Release();
}

// Moves the element that starts at Element from state From to To in one of
// this cache's pages; false, with nothing changed, when it does not start an
// element there or is not in state From.
[[gnu::always_inline]] inline bool CACHE::SwitchState(PAGE *Page, uint64_t Element, ELEMENT_STATE From,
                                                      ELEMENT_STATE To) {
  const int32_t Index = StartingIndex(Page->OffsetOf(Element));
  return Index >= 0 && Page->ChangePair(Index, From, To);
}

[[gnu::always_inline]] inline void CACHE::Remember(PAGE *Page, int32_t Version) {
  if (Page == RecentPage && Version == RecentVersion)
    return;
  RecentPage = Page;
  RecentVersion = Version;
  RecentBase.store(Page->Address, std::memory_order_relaxed);
}

// The element on top of the stack goes to a caller; false when its pair says
// the cache did not hold it (corrupt).
[[gnu::always_inline]] inline bool CACHE::PopReady(void *&Element) {
  --StackTop;
  Element = ReadyStack[StackTop];
  PAGE *Page = ReadyPages[StackTop];
  if (!SwitchState(Page, reinterpret_cast<uint64_t>(Element), ELEMENT_STATE::Held, ELEMENT_STATE::InUse))
    return false;
  Remember(Page, Page->CurrentVersion());
  return true;
}

// The newest queued release goes to a caller again.
void *CACHE::PopQueued(const char *CorruptMessage) {
  const DELAYED_DELETE &Entry = DelayedDeletes[--DelayedCount];
  if (Entry.Page->CurrentVersion() != Entry.Version ||
      !SwitchState(Entry.Page, Entry.Address, ELEMENT_STATE::Held, ELEMENT_STATE::InUse))
    SoftwareFailure(CorruptMessage);
  return AsPointer(Entry.Address);
}

// The common case, the top of the ready stack, holds the lock only for the
// pop; a corrupt element is reported once the lock is given back.
void *CACHE::New() {
  const bool Taken = ClaimLock();
  void *Element = nullptr;
  if (Active && StackTop > 0) [[likely]] {
    const bool Sound = PopReady(Element);
    ReleaseLock(Taken);
    if (!Sound)
      SoftwareFailure(CorruptInNewMessage);
  } else {
    Element = NewClaimed(Taken);
  }
  if (Heap != nullptr && Element != nullptr)
    Heap->NoteHandedOut(Element, this);
  return Element;
}

void *CACHE::NewClaimed(bool Taken) {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock, Taken);
  if (!Active) {
    Activate();
    return BUCKET::New(ELEMENT_STATE::InUse, -1);
  }
  if (DelayedCount > 0 && ReuseFreed)
    return PopQueued(CorruptInNewMessage);
  GrowFillSize();
  int32_t Obtained = 0;
  if (!BUCKET::MultipleNew(Obtained, ReadyStack, FillSize, ELEMENT_STATE::Held, ReadyPages))
    return nullptr;
  StackTop = Obtained;
  void *Element = nullptr;
  if (!PopReady(Element))
    SoftwareFailure(CorruptInNewMessage);
  return Element;
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
    while (DelayedCount > 0 && StackTop < CacheSize) {
      const DELAYED_DELETE &Entry = DelayedDeletes[--DelayedCount];
      ReadyStack[StackTop] = AsPointer(Entry.Address);
      ReadyPages[StackTop++] = Entry.Page;
    }
  if (Requested <= StackTop) {
    for (int32_t Index = 0; Index < Requested; ++Index)
      if (!PopReady(Array[Index]))
        SoftwareFailure(CorruptInMultipleNewMessage);
    Count = Requested;
    return true;
  }
  const bool Result = BUCKET::MultipleNew(Count, Array, Requested);
  if (StackTop <= CacheSize / 2) {
    GrowFillSize();
    int32_t Obtained = 0;
    BUCKET::MultipleNew(Obtained, ReadyStack + StackTop, std::min<int32_t>(FillSize, CacheSize - StackTop),
                        ELEMENT_STATE::Held, ReadyPages + StackTop);
    StackTop += Obtained;
  }
  return Result;
}

void *CACHE::NewSized(bool ChildPage, int32_t PageBytes) {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  return BUCKET::New(ChildPage ? ELEMENT_STATE::ChildPage : ELEMENT_STATE::InUse, PageBytes);
}

// Takes a caller's element into the cache's hands: only the first byte of an
// element a caller holds qualifies, so a release of an element that is free
// or already waiting here is refused and changes nothing.
[[gnu::always_inline]] inline bool CACHE::Hold(void *Address, PAGE *Page, int32_t Version) {
  return Page->CurrentVersion() == Version &&
         SwitchState(Page, reinterpret_cast<uint64_t>(Address), ELEMENT_STATE::InUse, ELEMENT_STATE::Held);
}

// An element just held goes onto the stack or into the queue; true when the
// queue is full and must be given back.
[[gnu::always_inline]] inline bool CACHE::Keep(void *Address, PAGE *Page, int32_t Version) {
  if (Stackable(reinterpret_cast<uint64_t>(Address))) {
    ReadyStack[StackTop] = Address;
    ReadyPages[StackTop++] = Page;
    return false;
  }
  DelayedDeletes[DelayedCount++] = DELAYED_DELETE{reinterpret_cast<uint64_t>(Address), Page, Version};
  return DelayedCount >= CacheSize;
}

[[gnu::always_inline]] inline bool CACHE::DeleteClaimed(void *Address, PAGE *Page, int32_t Version) {
  if (!Active)
    return BUCKET::Delete(Address, Page, Version);
  if (!Hold(Address, Page, Version))
    return false;
  Remember(Page, Version);
  return !Keep(Address, Page, Version) || ApplyQueue();
}

bool CACHE::Delete(void *Address, PAGE *Page, int32_t Version) {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  return DeleteClaimed(Address, Page, Version);
}

// Under this lock the cache's pages are neither made nor deleted, and a page
// leaves the map before its descriptor is destroyed: a page of this cache
// that the map names for the address now is live and holds it, whatever
// happened to the descriptor since the unclaimed read.
bool CACHE::DeleteMapped(void *Address, PAGE *Page, const PAGE_MAP &Map, bool &Mapped) {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  Mapped = Map.Read(reinterpret_cast<uint64_t>(Address)) == Page && Page->CurrentBucket() == this;
  return Mapped && DeleteClaimed(Address, Page, Page->CurrentVersion());
}

// The common case, an element of the remembered page going onto the ready
// stack, cannot fail, so it holds the lock without a scope.
bool CACHE::DeleteInRecentPage(void *Address) {
  const auto Element = reinterpret_cast<uint64_t>(Address);
  if (!InRecentPage(Element))
    return false;
  const bool Taken = ClaimLock();
  if (Active && Stackable(Element) && RecentPage != nullptr && InRecentPage(Element) &&
      RecentPage->CurrentVersion() == RecentVersion) [[likely]] {
    // The remembered base is at hand: no read of the descriptor's address.
    const int32_t Index = StartingIndex(static_cast<int32_t>(Element - RecentBase.load(std::memory_order_relaxed)));
    const bool Held = Index >= 0 && RecentPage->ChangePair(Index, ELEMENT_STATE::InUse, ELEMENT_STATE::Held);
    if (Held) {
      ReadyStack[StackTop] = Address;
      ReadyPages[StackTop++] = RecentPage;
    }
    ReleaseLock(Taken);
    return Held;
  }
  return DeleteInRecentPageClaimed(Address, Taken);
}

bool CACHE::DeleteInRecentPageClaimed(void *Address, bool Taken) {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock, Taken);
  return RecentPage != nullptr && InRecentPage(reinterpret_cast<uint64_t>(Address)) &&
         RecentPage->CurrentVersion() == RecentVersion && DeleteClaimed(Address, RecentPage, RecentVersion);
}

// This cache's page that holds Address, from the lookup's page map under
// its shared claim, which is taken once and kept until a page may leave the
// lookup; null when the map names no page of this cache there.
PAGE *CACHE::BatchPage(uint64_t Address, FIND_SHARED_CLAIM &Shared) {
  Shared.Claim();
  PAGE *Page = OwnFind->Map.Read(Address);
  return Page != nullptr && Page->Bucket == this && Address - Page->Address < static_cast<uint64_t>(PageSize)
             ? Page
             : nullptr;
}

// Under this cache's lock its pages are neither made nor deleted by anyone
// else, so a page found once serves every following element inside it as long
// as its version holds (checked first: the version is the one field read
// safely from a descriptor that may have moved on). Emptying a page or giving
// back a full queue may delete pages, which takes the parent's lock and the
// lookup's exclusive claim: the shared claim is given up before it, and the
// next element's page is looked up anew.
int32_t CACHE::DeleteBatch(int32_t Count, void *const *Addresses, void **Left, bool &Sound) {
  // Released in random order, nearly every element has a page of its own:
  // the descriptors are asked for before the lock, through the map's
  // unclaimed hints, so that their reads overlap one another.
  uint64_t Previous = ~static_cast<uint64_t>(0);
  for (int32_t Index = 0; Index < Count; ++Index) {
    const auto Element = reinterpret_cast<uint64_t>(Addresses[Index]);
    if ((Element ^ Previous) < static_cast<uint64_t>(PageSize))
      continue;
    Previous = Element;
    if (const PAGE *Guess = OwnFind->Map.Read(Element)) {
      __builtin_prefetch(&Guess->Version);
      __builtin_prefetch(&Guess->BitVector[0]);
      __builtin_prefetch(&Guess->BitVector[WordsPerPage - 1]);
    }
  }
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  int32_t LeftCount = 0;
  // Given back before the cache's lock on every way out, a failure's too.
  FIND_SHARED_CLAIM Shared(*OwnFind, false);
  PAGE *Page = RecentPage;
  int32_t Version = RecentVersion;
  for (int32_t Index = 0; Index < Count; ++Index) {
    void *Address = Addresses[Index];
    const auto Element = reinterpret_cast<uint64_t>(Address);
    if (Page == nullptr || Page->CurrentVersion() != Version ||
        Element - Page->Address >= static_cast<uint64_t>(PageSize)) {
      Page = BatchPage(Element, Shared);
      Version = Page != nullptr ? Page->CurrentVersion() : -1;
    }
    if (Page == nullptr) {
      Left[LeftCount++] = Address;
      continue;
    }
    // Without a stack and queue the element goes straight back to its page,
    // and the last one of a page deletes it.
    const bool Deletes = Active ? DelayedCount + 1 >= CacheSize && !Stackable(Element) : Page->Allocated <= 1;
    if (Deletes)
      Shared.Release();
    const bool Released = Active ? Hold(Address, Page, Version) : BUCKET::Delete(Address, Page, Version);
    if (!Released)
      Left[LeftCount++] = Address;
    else if (Active && Keep(Address, Page, Version))
      Sound = ApplyQueue() && Sound;
    if (Deletes)
      Page = nullptr;
  }
  Shared.Release();
  if (Page != nullptr)
    Remember(Page, Version);
  return LeftCount;
}

void *CACHE::NewDataPage() {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  return BUCKET::New(ELEMENT_STATE::ChildPage, -1);
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
  return Page->Delete(Record, ELEMENT_STATE::ChildPage);
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

// The stack keeps each element's page, and a held element keeps its page
// alive, so no lookup is needed to queue it.
void CACHE::QueueStackForRelease() {
  while (StackTop > 0) {
    --StackTop;
    PAGE *Page = ReadyPages[StackTop];
    DelayedDeletes[DelayedCount++] =
        DELAYED_DELETE{reinterpret_cast<uint64_t>(ReadyStack[StackTop]), Page, Page->CurrentVersion()};
  }
}

bool CACHE::Flush() {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  bool Result = true;
  SetActive(false);
  FillSize = 1;
  if (DelayedCount > 0)
    Result = ApplyQueue();
  QueueStackForRelease();
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
