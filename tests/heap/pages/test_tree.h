// A small heap for the tests of the lower layers: a back end, a thread-safety
// switch, one address lookup, one page store and caches connected into a tree,
// with the heap core's fields that the caches read. Torn down in the heap's
// order: caches reset, page store, lookup, caches.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "heap/buckets/cache.h"
#include "heap/core/find.h"
#include "heap/core/heap.h"
#include "heap/pages/new_pages.h"
#include "heap/support/thread_safe.h"
#include "tests/heap/pages/test_support.h"

struct TEST_TREE {
  static constexpr int32_t VectorSizes[] = {1, 4, 16, 64};

  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe;
  std::vector<std::unique_ptr<CACHE>> Caches;
  std::optional<FIND> Find;
  std::optional<NEW_PAGES> Store;
  HEAP Heap;

  explicit TEST_TREE(bool ThreadSafeFlag = false, int32_t LookasideThreshold = 0, int32_t FreePageLimit = 0)
      : ThreadSafe(ThreadSafeFlag) {
    Find.emplace(4096, 8192, LookasideThreshold, false, true, &BackEnd, &ThreadSafe);
    Store.emplace(VectorSizes, &BackEnd, 4, &ThreadSafe);
    Heap.FreePageLimit = FreePageLimit;
    Heap.NewPages = &*Store;
    Heap.OwnFind = &*Find;
    Heap.BackEnd = &BackEnd;
    Heap.ThreadSafe = &ThreadSafe;
  }
  ~TEST_TREE() {
    for (auto &Cache : Caches)
      Cache->ResetCache();
    Store.reset();
    Find.reset();
    Caches.clear();
  }

  // A cache connected under Parent (null: the parentless top cache).
  CACHE *Add(int32_t AllocationSize, int32_t CacheSize, int32_t ChunkSize, int32_t PageSize, bool ReuseFreed,
             CACHE *Parent) {
    Caches.push_back(
        std::make_unique<CACHE>(AllocationSize, CacheSize, ChunkSize, PageSize, ReuseFreed, &ThreadSafe));
    CACHE *Cache = Caches.back().get();
    Cache->UpdateCache(&Heap, &*Store, Parent == nullptr ? NoBucket() : Parent, &*Find, nullptr);
    if (Parent == nullptr) {
      Store->TopCache = Cache;
      Heap.TopCache = Cache;
    }
    return Cache;
  }

  // Registers the heap with its lookup once every cache is in place.
  void Register() {
    int32_t SmallestPage = Heap.TopCache->PageSize;
    for (auto &Cache : Caches)
      SmallestPage = std::min(SmallestPage, Cache->PageSize);
    Find->RegisterHeap(static_cast<uint32_t>(Heap.TopCache->AllocationSize - 1),
                       static_cast<uint32_t>(SmallestPage - 1));
  }

  // Every data page given back: empties the caches' stacks and queues first.
  bool FlushAll() {
    bool Result = true;
    for (auto Cache = Caches.rbegin(); Cache != Caches.rend(); ++Cache)
      Result = (*Cache)->Flush() && Result;
    return Result;
  }
};
