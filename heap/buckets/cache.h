// CACHE: a bucket with a ready stack of elements and a queue of delayed
// releases in front of it, under a lock of its own. Every bucket of a heap is a
// cache; it is also the parent side of the page tree, lending one element to a
// child bucket as a whole page (NewDataPage) and taking it back
// (DeleteDataPage).
//
// Invariants: every element on the stack and in the queue is in the held state
// (01) in its page, so that no caller can release it and no page search hands
// it out, while lookups see it as free; the stack keeps each element's page
// beside it. 0 <= StackTop <= CacheSize and 0 <= DelayedCount < CacheSize
// between operations; the arrays exist whenever Active is set; 1 <= FillSize
// <= max(CacheSize, 1). A queued release carries the page's version from when
// it was queued. A cache may only be destroyed inactive.
//
// Lock order: a child's cache lock before its parent's; a cache lock before
// the address lookup's share lock and the page store's lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "heap/buckets/bucket.h"
#include "heap/support/hybrid_lock.h"
#include "heap/support/thread_safe.h"

class FIND_SHARED_CLAIM;
class PAGE_MAP;

struct DELAYED_DELETE {
  uint64_t Address;
  PAGE *Page;
  int32_t Version;  // the page's version when the release was queued
};

struct CACHE : BUCKET {
  bool Active = false;
  bool ReuseFreed;
  bool Locking = false;  // thread safety on: a copy of the group's switch, set on connection
  int16_t CacheSize;
  int16_t FillSize = 1;
  int16_t ChildCount = 0;
  DELAYED_DELETE *DelayedDeletes = nullptr;
  void **ReadyStack = nullptr;
  PAGE **ReadyPages = nullptr;  // the page of each ReadyStack entry
  THREAD_SAFE *ThreadSafe;
  int32_t DelayedCount = 0;
  int32_t StackTop = 0;
  // The page of the element last handed out or taken back, with its version
  // then: a release whose size names this cache finds its page here without
  // the address lookup. Under the lock, this cache's pages are neither made
  // nor deleted by anyone else, so the page is still the one at RecentBase
  // exactly when its version holds. RecentBase is also read unlocked, as a
  // first sieve.
  std::atomic<uint64_t> RecentBase{~static_cast<uint64_t>(0)};
  PAGE *RecentPage = nullptr;
  int32_t RecentVersion = -1;
  HYBRID_LOCK Lock;

  CACHE(int32_t NewAllocationSize, int32_t NewCacheSize, int32_t NewChunkSize, int32_t NewPageSize,
        bool NewReuseFreed, THREAD_SAFE *NewThreadSafe);
  ~CACHE() noexcept(false);

  void UpdateCache(HEAP *NewHeap, NEW_PAGES *NewStore, CACHE *NewParent, FIND *NewOwnFind, FIND *NewProcessFind);

  void *New();
  bool MultipleNew(int32_t &Count, void **Array, int32_t Requested);
  void *NewSized(bool ChildPage, int32_t PageBytes);
  bool Delete(void *Address, PAGE *Page, int32_t Version);
  // Releases Address in Page, which Map named for it without the lookup's
  // claim: Mapped turns false, with nothing done, when under this cache's
  // lock Map no longer names Page there or Page is not this cache's.
  bool DeleteMapped(void *Address, PAGE *Page, const PAGE_MAP &Map, bool &Mapped);
  // Releases an element of the remembered page; false when the address is
  // not the first byte of a caller's element there (the address lookup then
  // decides, as for any release).
  bool DeleteInRecentPage(void *Address);
  // Releases a run of elements under one claim of this cache's lock. An
  // element's page comes from the heap's lookup only when it is not the page
  // of the element before (at first, the remembered page), under one shared
  // claim of the lookup held as long as no page can leave it. An element this
  // way cannot settle (another cache's, not a caller's element here, an
  // inactive cache) is left untouched in Left for the lookup to decide alone.
  // Returns how many went to Left; Sound turns false when a queue given back
  // on the way failed.
  int32_t DeleteBatch(int32_t Count, void *const *Addresses, void **Left, bool &Sound);
  void *NewDataPage();
  bool DeleteDataPage(void *Address);
  void TrimFreePages(int32_t PageLimit);
  bool SearchCache(void *Address);
  bool Flush();
  void ResetCache();

 private:
  void SetActive(bool Value);
  bool Activate();
  void GrowFillSize();
  bool SwitchState(PAGE *Page, uint64_t Element, ELEMENT_STATE From, ELEMENT_STATE To);
  bool Hold(void *Address, PAGE *Page, int32_t Version);
  bool DeleteClaimed(void *Address, PAGE *Page, int32_t Version);
  void Remember(PAGE *Page, int32_t Version);
  PAGE *BatchPage(uint64_t Address, FIND_SHARED_CLAIM &Shared);
  bool Keep(void *Address, PAGE *Page, int32_t Version);
  bool InRecentPage(uint64_t Address) const {
    return Address - RecentBase.load(std::memory_order_relaxed) < static_cast<uint64_t>(PageSize);
  }
  bool ClaimLock();
  void ReleaseLock(bool Taken);
  bool PopReady(void *&Element);
  bool Stackable(uint64_t Address) const {
    return ReuseFreed && Address < CurrentPageEnd && StackTop < CacheSize;
  }
  void *NewClaimed(bool Taken);
  bool DeleteInRecentPageClaimed(void *Address, bool Taken);
  void *PopQueued(const char *CorruptMessage);
  bool ApplyQueue();
  void QueueStackForRelease();
};
