// The heap core's construction: every check and its message in order, the
// size-to-cache tables against a brute-force search, and the tree of parents.
#include "heap/core/heap.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "heap/buckets/cache.h"
#include "heap/core/find.h"
#include "heap/frontend/fast_heap.h"
#include "heap/pages/new_pages.h"
#include "tests/heap/frontend/frontend_test_support.h"

namespace {

// The layers a heap core is built over, from a configuration of rows.
struct CORE_PARTS {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe{false};
  std::vector<std::unique_ptr<CACHE>> Caches;
  std::vector<CACHE *> Pointers;
  std::optional<FIND> Find;
  std::optional<NEW_PAGES> Store;

  CORE_PARTS(const std::vector<CACHE_DESCRIPTION> &Rows) {
    for (const CACHE_DESCRIPTION &Row : Rows) {
      Caches.push_back(std::make_unique<CACHE>(Row.AllocationSize, Row.CacheSize, Row.ChunkSize, Row.PageSize,
                                               true, &ThreadSafe));
      Pointers.push_back(Caches.back().get());
    }
    Find.emplace(4096, 8192, 0, false, true, &BackEnd, &ThreadSafe);
    Store.emplace(FAST_HEAP::VectorSizes, &BackEnd, 4, &ThreadSafe);
  }
  ~CORE_PARTS() {
    Store.reset();
    Find.reset();
    for (auto &Cache : Caches)
      Cache->ResetCache();
  }
  void Build(std::optional<HEAP> &Heap, int32_t FineCount, int32_t FineStride = 4, int32_t CoarseStride = 1024,
             int32_t MaxFree = 1048576) {
    Heap.emplace(Pointers.data(), Pointers.data() + FineCount, MaxFree, &*Store, &*Find, nullptr, &BackEnd,
                 FineCount, static_cast<int32_t>(Pointers.size()) - FineCount, FineStride, CoarseStride,
                 &ThreadSafe);
  }
};

std::vector<CACHE_DESCRIPTION> FastRows() {
  std::vector<CACHE_DESCRIPTION> Rows;
  for (const CACHE_DESCRIPTION *Row = FAST_HEAP::FineCaches; Row->AllocationSize != 0; ++Row)
    Rows.push_back(*Row);
  for (const CACHE_DESCRIPTION *Row = FAST_HEAP::CoarseCaches; Row->AllocationSize != 0; ++Row)
    Rows.push_back(*Row);
  return Rows;
}

TEST(HeapCore, TheConfiguredHeapAsWorkedOut) {
  CORE_PARTS Parts(FastRows());
  std::optional<HEAP> Heap;
  Parts.Build(Heap, 31);
  ASSERT_TRUE(Heap->Active);
  EXPECT_EQ(Heap->CacheCount, 47);
  EXPECT_EQ(Heap->SplitSize, 1024);
  EXPECT_EQ(Heap->MaxCacheSize, 32768);
  EXPECT_EQ(Heap->FineTableBytes + Heap->CoarseTableBytes, 2560);
  EXPECT_EQ(Heap->FreePageLimit, 16);
  EXPECT_EQ(Heap->MinPageMask, 4095u);
  EXPECT_EQ(Heap->TopCache, Parts.Pointers[45]);
  EXPECT_EQ(Heap->LargeCache, Parts.Pointers[46]);
  // Every size maps to the first cache at least that large.
  for (int32_t Size = 1; Size <= 65536; ++Size) {
    CACHE *Expected = nullptr;
    for (CACHE *Cache : Parts.Pointers)
      if (Cache->AllocationSize >= Size) {
        Expected = Cache;
        break;
      }
    ASSERT_EQ(Heap->FindCache(Size), Expected) << "size " << Size;
  }
  // Parents: pages of 4096 bytes come from the 4096-byte cache, of 8192 from
  // the 8192-byte cache, of 65536 from the top cache, which has none.
  for (CACHE *Cache : Parts.Pointers) {
    if (Cache == Heap->TopCache)
      EXPECT_EQ(Cache->Parent, NoBucket());
    else if (Cache == Heap->LargeCache)
      EXPECT_EQ(Cache->Parent, Heap->TopCache);
    else
      EXPECT_EQ(Cache->Parent, Heap->FindCache(Cache->PageSize)) << Cache->AllocationSize;
    EXPECT_TRUE(Cache->Parent == NoBucket() || Cache->Parent->AllocationSize == Cache->PageSize);
  }
  EXPECT_EQ(Heap->FindCache(576)->Parent->AllocationSize, 8192);
  EXPECT_EQ(Heap->FindCache(3000)->Parent, Heap->TopCache);
  EXPECT_EQ(Parts.Store->TopCache, Heap->TopCache);
  EXPECT_EQ(Parts.Find->GranuleMask, 4095u);
  Heap.reset();
  EXPECT_EQ(Parts.BackEnd.OutstandingAreas(), 2) << "the tables went back; the lookup and the store remain";
}

// One change to the configured heap, and the message its first violation raises.
struct CONSTRUCTION_CASE {
  const char *What;
  std::function<void(std::vector<CACHE_DESCRIPTION> &)> Change;
  int32_t FineCount;
  int32_t FineStride;
  int32_t CoarseStride;
  const char *Message;
  // A change the caches' own constructors would refuse, made to the built caches.
  std::function<void(std::vector<std::unique_ptr<CACHE>> &)> After = nullptr;
};

TEST(HeapCore, EachCheckRaisesItsMessageAtTheFirstViolation) {
  auto Row = [](std::vector<CACHE_DESCRIPTION> &Rows, int32_t Index) -> CACHE_DESCRIPTION & {
    return Rows[static_cast<size_t>(Index < 0 ? static_cast<int32_t>(Rows.size()) + Index : Index)];
  };
  const std::vector<CONSTRUCTION_CASE> Cases = {
      {"no fine cache", [](auto &) {}, 0, 4, 1024, "A heap size in constructor for HEAP"},
      {"two coarse caches", [](auto &Rows) { Rows.erase(Rows.begin() + 31, Rows.begin() + 45); }, 31, 4, 1024,
       "A heap size in constructor for HEAP"},
      {"large and top pages differ", [&](auto &Rows) { Row(Rows, -1) = {131072, 0, 131072, 131072}; }, 31, 4, 1024,
       "The allocation sizes in constructor for HEAP"},
      {"fine stride 6", [](auto &) {}, 31, 6, 1024, "The allocation sizes in constructor for HEAP"},
      {"coarse stride below the fine", [](auto &) {}, 31, 4, 2, "The allocation sizes in constructor for HEAP"},
      {"10 bytes at stride 4", [&](auto &Rows) { Row(Rows, 1).AllocationSize = 10; }, 31, 4, 1024,
       "Cache size not multiple of stride"},
      {"64 twice in a row", [&](auto &Rows) { Row(Rows, 12).AllocationSize = 64; }, 31, 4, 1024,
       "Cache sizes not in ascending order"},
      {"last fine cache at the first coarse one", [&](auto &Rows) { Row(Rows, 30) = {1024, 4, 4096, 4096}; }, 31,
       4, 1024, "Cache sizes not in ascending order"},
      {"order wins over a bad top cache",
       [&](auto &Rows) {
         Row(Rows, 12).AllocationSize = 64;
         Row(Rows, -2).CacheSize = 1;
       },
       31, 4, 1024, "Cache sizes not in ascending order"},
      {"chunk below the element", [](auto &) {}, 31, 4, 1024, "Chunk size not suitable for cache",
       [](auto &Caches) { Caches[9]->ChunkSize = 44; }},
      {"element as large as its page", [&](auto &Rows) { Row(Rows, 23) = {512, 4, 512, 512}; }, 31, 4, 1024,
       "Cache size larger than parent size"},
      {"page above the top page", [&](auto &Rows) { Row(Rows, 44) = {32768, 0, 131072, 131072}; }, 31, 4, 1024,
       "Parent size exceeds 'TopCache' size"},
      {"top cache of 65,000", [&](auto &Rows) { Row(Rows, -2) = {65000, 0, 65000, 65536}; }, 31, 4, 1024,
       "Top cache size not multiple of minimum"},
      {"large cache chunk beyond its size", [&](auto &Rows) { Row(Rows, -1) = {32768, 0, 65536, 65536}; }, 31, 4,
       1024, "Chunk size not suitable for top cache"},
      {"large cache of two per page", [&](auto &Rows) { Row(Rows, -1) = {32768, 0, 32768, 65536}; }, 31, 4, 1024,
       "Page size not suitable for top cache"},
      {"top cache with a cache size of 1", [&](auto &Rows) { Row(Rows, -2).CacheSize = 1; }, 31, 4, 1024,
       "Cache size not zero for top cache"},
      {"4-byte cache on 16-byte pages", [&](auto &Rows) { Row(Rows, 0) = {4, 256, 16, 16}; }, 31, 4, 1024,
       "Parent bucket is invalid"},
      {"pages of 2048 bytes with no such cache",
       [&](auto &Rows) {
         Row(Rows, 31) = {1024, 8, 2048, 2048};
         Rows.erase(Rows.begin() + 32);
       },
       31, 4, 1024, "Parent bucket is invalid"},
  };
  for (const CONSTRUCTION_CASE &Case : Cases) {
    std::vector<CACHE_DESCRIPTION> Rows = FastRows();
    Case.Change(Rows);
    if (Case.FineCount == 0)
      Rows.erase(Rows.begin(), Rows.begin() + 31);
    CORE_PARTS Parts(Rows);
    if (Case.After)
      Case.After(Parts.Caches);
    std::optional<HEAP> Heap;
    EXPECT_TRUE(RaisesFailure([&] { Parts.Build(Heap, Case.FineCount, Case.FineStride, Case.CoarseStride); },
                              Case.Message))
        << Case.What;
    EXPECT_EQ(Parts.BackEnd.OutstandingAreas(), 2) << Case.What << ": the tables are given back";
  }
}

TEST(HeapCore, TablesTheBackEndRefusesAreAFailureAndAFreeSpaceBelowOnePageKeepsNone) {
  CORE_PARTS Parts(FastRows());
  std::optional<HEAP> Heap;
  Parts.BackEnd.GrantsLeft = 0;
  EXPECT_TRUE(RaisesFailure([&] { Parts.Build(Heap, 31); }, "Mapping table in constructor for HEAP"));
  CORE_PARTS Fresh(FastRows());
  std::optional<HEAP> Small;
  Fresh.Build(Small, 31, 4, 1024, 65535);
  EXPECT_EQ(Small->FreePageLimit, 0);
}

// A release without a size tries the cache its granule's slot names; when that
// is the parent whose remembered page holds the element's whole page, the
// parent sees a lent page there and the lookup decides, exactly as before.
TEST(HeapCore, AReleaseWithoutASizeThroughAParentsSlotIsDecidedByTheLookup) {
  FAST_HEAP Heap(1048576, true, false, true);
  HEAP *Core = Heap.Core();
  void *First = Heap.New(4096);
  void *Second = Heap.New(4096);  // through the ready stack: the page is remembered
  auto *Small = static_cast<char *>(Heap.New(64));
  ASSERT_EQ(reinterpret_cast<uintptr_t>(Small) / 65536, reinterpret_cast<uintptr_t>(Second) / 65536);
  for (std::atomic<CACHE *> &Slot : Core->RecentCaches)
    Slot.store(Core->FindCache(4096));
  EXPECT_FALSE(Heap.Delete(Small + 4));
  EXPECT_TRUE(Heap.Delete(Small));
  EXPECT_FALSE(Heap.Delete(Small));
  EXPECT_TRUE(Heap.Delete(Second) && Heap.Delete(First));
  EXPECT_FALSE(Heap.Delete(Second));
}

}  // namespace
