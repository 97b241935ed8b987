#include "heap/buckets/cache.h"

#include <gtest/gtest.h>

#include <new>
#include <set>
#include <vector>

#include "tests/heap/pages/test_tree.h"

namespace {

constexpr const char CacheSizeMessage[] = "Cache size in constructor for CACHE";
constexpr const char CacheActiveMessage[] = "Cache active in destructor for CACHE";

// A top cache, a middle cache of 4096-byte elements and one small cache of
// 64-byte elements (64 per 4096-byte page) with the given cache size.
struct SMALL_TREE : TEST_TREE {
  CACHE *Top;
  CACHE *Middle;
  CACHE *Small;
  SMALL_TREE(int32_t CacheSize, bool ReuseFreed, int32_t FreePageLimit = 0) : TEST_TREE(false, 0, FreePageLimit) {
    Top = Add(65536, 0, 65536, 65536, false, nullptr);
    Middle = Add(4096, 0, 65536, 65536, false, Top);
    Small = Add(64, CacheSize, 4096, 4096, ReuseFreed, Middle);
    Register();
  }
  bool Release(void *Element) { return Find->Delete(Element, Top); }
  PAGE *PageOf(void *Element) { return Small->FindPage(reinterpret_cast<uint64_t>(Element), &*Find); }
  ELEMENT_STATE StateOf(void *Element) {
    ELEMENT_INFO Record;
    PAGE *Page = PageOf(Element);
    if (Page == nullptr || Page->FindElement(reinterpret_cast<uint64_t>(Element), &Record, &*Find, false) == nullptr)
      return ELEMENT_STATE::Free;
    return PAGE::StateOf(Record);
  }
  bool InUse(void *Element) { return StateOf(Element) == ELEMENT_STATE::InUse; }
  int32_t StackTop() const { return Small->StackTop; }
};

// A queue of CacheSize entries of 24 bytes must fit one permanent block of the
// 65,536-byte area granule, or the cache could never activate.
TEST(Cache, SizesWhoseQueueCannotFitAPermanentBlockAreRefused) {
  THREAD_SAFE ThreadSafe(false);
  for (int32_t Size : {2731, 32767, 32768, -1})
    EXPECT_TRUE(RaisesFailure([&] { CACHE Cache(64, Size, 4096, 4096, false, &ThreadSafe); }, CacheSizeMessage))
        << Size;
  SMALL_TREE Tree(2730, true);
  EXPECT_EQ(Tree.Small->CacheSize, 2730);
  void *First = Tree.Small->New();
  EXPECT_TRUE(Tree.Small->Active) << "the largest accepted size activates";
  EXPECT_NE(Tree.Small->New(), nullptr);
  EXPECT_TRUE(Tree.Release(First));
  EXPECT_TRUE(Tree.FlushAll());
}

TEST(Cache, CacheSizeZeroPassesEverythingToTheBucket) {
  SMALL_TREE Tree(0, true);
  void *First = Tree.Small->New();
  void *Second = Tree.Small->New();
  EXPECT_FALSE(Tree.Small->Active);
  EXPECT_EQ(static_cast<char *>(Second), static_cast<char *>(First) + 64);
  EXPECT_TRUE(Tree.Release(First));
  EXPECT_FALSE(Tree.InUse(First)) << "released straight into the page";
  EXPECT_EQ(Tree.Small->New(), First);
}

TEST(Cache, RefillsDoubleUpToTheCacheSize) {
  SMALL_TREE Tree(64, true);
  void *First = Tree.Small->New();
  EXPECT_TRUE(Tree.Small->Active);
  EXPECT_EQ(Tree.Small->StackTop, 0) << "the activating request is served by the bucket";
  void *Second = Tree.Small->New();
  EXPECT_EQ(Tree.Small->FillSize, 2);
  EXPECT_EQ(Tree.Small->StackTop, 1);
  EXPECT_EQ(static_cast<char *>(Second), static_cast<char *>(First) + 64) << "the lowest address is on top";
  std::vector<int32_t> Fills;
  for (int Round = 0; Round < 6; ++Round) {
    while (Tree.Small->StackTop > 0)
      Tree.Small->New();
    Tree.Small->New();
    Fills.push_back(Tree.Small->FillSize);
    EXPECT_EQ(Tree.Small->StackTop, Tree.Small->FillSize - 1);
  }
  EXPECT_EQ(Fills, (std::vector<int32_t>{4, 8, 16, 32, 64, 64}));
}

TEST(Cache, MultipleNewTakesFromTheStackTopFirst) {
  SMALL_TREE Tree(64, true);
  Tree.Small->New();
  for (int Round = 0; Round < 3; ++Round) {  // refills of 2, 4 and 8
    while (Tree.Small->StackTop > 0)
      Tree.Small->New();
    Tree.Small->New();
  }
  while (Tree.Small->StackTop > 5)
    Tree.Small->New();
  ASSERT_EQ(Tree.Small->StackTop, 5);
  void *Top = Tree.Small->ReadyStack[4];
  void *Next = Tree.Small->ReadyStack[3];
  void *Array[3];
  int32_t Count = 0;
  EXPECT_TRUE(Tree.Small->MultipleNew(Count, Array, 3));
  EXPECT_EQ(Count, 3);
  EXPECT_EQ(Array[0], Top);
  EXPECT_EQ(Array[1], Next);
  EXPECT_EQ(Tree.Small->StackTop, 2);
}

TEST(Cache, LargeBatchBypassesTheStackAndTopsItUp) {
  SMALL_TREE Tree(64, true);
  Tree.Small->New();  // activates
  std::vector<void *> Array(100);
  int32_t Count = 0;
  EXPECT_TRUE(Tree.Small->MultipleNew(Count, Array.data(), 100));
  EXPECT_EQ(Count, 100);
  EXPECT_EQ(Tree.Small->FillSize, 2);
  EXPECT_EQ(Tree.Small->StackTop, 2) << "a stack at most half full is topped up";
  std::set<void *> Distinct(Array.begin(), Array.end());
  Distinct.insert(Tree.Small->ReadyStack[0]);
  Distinct.insert(Tree.Small->ReadyStack[1]);
  EXPECT_EQ(Distinct.size(), 102u);
}

TEST(Cache, WithoutReuseReleasesAreQueuedAndAppliedWhenFull) {
  SMALL_TREE Tree(64, false);
  std::vector<void *> Elements;
  for (int Index = 0; Index < 200; ++Index)
    Elements.push_back(Tree.Small->New());
  for (int Index = 0; Index < 63; ++Index) {
    ASSERT_TRUE(Tree.Release(Elements[Index]));
    EXPECT_EQ(Tree.Small->DelayedCount, Index + 1);
    EXPECT_EQ(Tree.StateOf(Elements[Index]), ELEMENT_STATE::Held) << "a queued element is held, not free";
  }
  EXPECT_TRUE(Tree.Small->SearchCache(Elements[10]));
  EXPECT_TRUE(Tree.Release(Elements[63]));
  EXPECT_EQ(Tree.Small->DelayedCount, 0);
  for (int Index = 0; Index < 64; ++Index)
    EXPECT_FALSE(Tree.InUse(Elements[Index]));
  EXPECT_FALSE(Tree.Small->SearchCache(Elements[10]));
  EXPECT_TRUE(Tree.FlushAll());
}

TEST(Cache, WithReuseLowReleasesGoOnTheStackHighOnesAreQueued) {
  SMALL_TREE Tree(64, true);
  std::vector<void *> Elements;
  for (int Index = 0; Index < 200; ++Index)
    Elements.push_back(Tree.Small->New());
  // Pages 0 to 2 are full, page 3 holds 8 elements. Free one element in page 0
  // and one in page 2 while the cache is inactive; taking the first back makes
  // page 2 the lowest page with room.
  std::vector<void *> Sorted(Elements);
  std::sort(Sorted.begin(), Sorted.end());
  Tree.Small->Flush();
  EXPECT_FALSE(Tree.Small->Active);
  EXPECT_TRUE(Tree.Release(Sorted[0]));  // inactive: straight to the page
  EXPECT_TRUE(Tree.Release(Sorted[150]));
  EXPECT_EQ(Tree.Small->New(), Sorted[0]) << "activates again, served by the bucket";
  EXPECT_EQ(Tree.Small->CurrentPageEnd, Tree.PageOf(Sorted[150])->Address + 4095);
  void *Low = Sorted[5];
  void *High = Sorted[199];
  ASSERT_GT(reinterpret_cast<uint64_t>(High), Tree.Small->CurrentPageEnd);
  const int32_t Stack = Tree.Small->StackTop;
  EXPECT_TRUE(Tree.Release(Low));
  EXPECT_EQ(Tree.Small->StackTop, Stack + 1);
  EXPECT_EQ(Tree.Small->ReadyStack[Stack], Low);
  EXPECT_TRUE(Tree.Release(High));
  EXPECT_EQ(Tree.Small->StackTop, Stack + 1) << "above the current page: queued although the stack has room";
  EXPECT_EQ(Tree.Small->DelayedCount, 1);
  EXPECT_TRUE(Tree.Small->SearchCache(Low));
  EXPECT_TRUE(Tree.Small->SearchCache(High));
  // The stack is served first, then the newest queued release.
  EXPECT_EQ(Tree.Small->New(), Low);
  while (Tree.Small->StackTop > 0)
    Tree.Small->New();
  EXPECT_EQ(Tree.Small->New(), High);
  EXPECT_TRUE(Tree.FlushAll());
}

TEST(Cache, BadReleasesAreRefusedAndLoseNothing) {
  SMALL_TREE Tree(64, true);
  void *First = Tree.Small->New();
  void *Second = Tree.Small->New();
  const int32_t Stack = Tree.Small->StackTop;
  EXPECT_FALSE(Tree.Release(static_cast<char *>(First) + 8)) << "not the first byte of an element";
  PAGE *Page = Tree.PageOf(First);
  void *Free = reinterpret_cast<void *>(Page->Address + 64u * 40);
  EXPECT_FALSE(Tree.InUse(Free));
  EXPECT_FALSE(Tree.Release(Free)) << "an element nobody holds";
  EXPECT_EQ(Tree.Small->StackTop, Stack);
  EXPECT_EQ(Tree.Small->DelayedCount, 0);
  EXPECT_TRUE(Tree.Release(First));
  EXPECT_TRUE(Tree.Release(Second));
  EXPECT_TRUE(Tree.FlushAll());
}

TEST(Cache, ASecondReleaseOfAQueuedElementIsRefusedAndFlushReleasesItOnce) {
  SMALL_TREE Tree(64, false);
  std::vector<void *> Elements;
  for (int Index = 0; Index < 10; ++Index)
    Elements.push_back(Tree.Small->New());
  ASSERT_TRUE(Tree.Release(Elements[3]));
  EXPECT_FALSE(Tree.Release(Elements[3])) << "already waiting in the queue";
  ASSERT_TRUE(Tree.Release(Elements[5]));
  EXPECT_EQ(Tree.Small->DelayedCount, 2);
  const int32_t StackBefore = Tree.Small->StackTop;
  EXPECT_TRUE(Tree.Small->Flush());
  EXPECT_FALSE(Tree.Small->Active);
  EXPECT_EQ(Tree.Small->DelayedCount, 0);
  EXPECT_EQ(Tree.Small->StackTop, 0);
  EXPECT_FALSE(Tree.InUse(Elements[3]));
  EXPECT_FALSE(Tree.InUse(Elements[5]));
  EXPECT_TRUE(Tree.InUse(Elements[4]));
  PAGE *Page = Tree.PageOf(Elements[0]);
  EXPECT_EQ(Page->Allocated, 8) << StackBefore << " stacked elements went back to the page as well";
  EXPECT_FALSE(Tree.Small->SearchCache(Elements[3]));
}

TEST(Cache, DestroyingAnActiveCacheFails) {
  SMALL_TREE Tree(64, false);
  alignas(CACHE) unsigned char Storage[sizeof(CACHE)];
  auto Build = [&] {
    CACHE *Cache = new (Storage) CACHE(64, 8, 4096, 4096, false, &Tree.ThreadSafe);
    Cache->UpdateCache(&Tree.Heap, &*Tree.Store, Tree.Middle, &*Tree.Find, nullptr);
    return Cache;
  };
  // Its pages are wiped first, so that nothing refers to the cache once it is gone.
  CACHE *Cache = Build();
  Cache->New();
  ASSERT_TRUE(Cache->Active);
  Tree.Store->DeleteAll(false);
  EXPECT_TRUE(RaisesFailure([&] { Cache->~CACHE(); }, CacheActiveMessage));
  // Flushed: destroyed quietly.
  Cache = Build();
  void *Element = Cache->New();
  EXPECT_TRUE(Tree.Find->Delete(Element, Tree.Top));
  EXPECT_TRUE(Cache->Flush());
  EXPECT_EQ(Cache->ActivePages, 0) << "the flushed release emptied and deleted the page";
  Cache->~CACHE();
  // Reset: destroyed quietly too.
  Cache = Build();
  Cache->New();
  Cache->ResetCache();
  Tree.Store->DeleteAll(false);
  Cache->~CACHE();
  Tree.Middle->ChildCount = static_cast<int16_t>(Tree.Middle->ChildCount - 3);
}

TEST(Cache, ChildCacheBorrowsPagesFromItsParentAndGivesThemBack) {
  SMALL_TREE Tree(8, false);
  EXPECT_EQ(Tree.Middle->ChildCount, 1);
  EXPECT_EQ(Tree.Top->ChildCount, 1);
  std::vector<void *> Elements;
  for (int Index = 0; Index < 64 * 3; ++Index)  // three small pages
    Elements.push_back(Tree.Small->New());
  EXPECT_TRUE(Tree.Small->Flush());
  PAGE *MiddlePage = Tree.Middle->FindPage(reinterpret_cast<uint64_t>(Elements[0]), &*Tree.Find);
  ASSERT_NE(MiddlePage, nullptr);
  const int32_t Lent = MiddlePage->Allocated;
  EXPECT_GE(Lent, 3);
  EXPECT_TRUE(Tree.Middle->SearchCache(Elements[0]) == false);
  for (void *Element : Elements)
    EXPECT_TRUE(Tree.Release(Element));
  EXPECT_TRUE(Tree.Small->Flush());
  EXPECT_EQ(Tree.Small->ActivePages, 0);
  EXPECT_EQ(Tree.Find->PageCount, 0) << "the small pages went back, then the middle page, then the top page";
  EXPECT_EQ(Tree.BackEnd.OutstandingUserAreas(), 0);
}

}  // namespace

namespace {

constexpr const char NoDataPageMessage[] = "No data page in DeleteDataPage";
constexpr const char DeletingDataPageMessage[] = "Deleting data page in DeletePage";
constexpr const char ResetDataPageMessage[] = "Reset data page in DeleteAll";

TEST(Cache, ParentRefusingAPageBackIsAFailure) {
  SMALL_TREE Tree(0, false);
  int OnTheStack = 0;
  EXPECT_TRUE(RaisesFailure([&] { Tree.Middle->DeleteDataPage(&OnTheStack); }, NoDataPageMessage));
  void *Element = Tree.Small->New();
  PAGE *SmallPage = Tree.PageOf(Element);
  PAGE *MiddlePage = Tree.Middle->FindPage(SmallPage->Address, &*Tree.Find);
  ASSERT_NE(MiddlePage, nullptr);
  // Damage the parent's record of the lent element: giving the page back fails.
  ELEMENT_INFO Record;
  ASSERT_NE(MiddlePage->FindElement(SmallPage->Address, &Record, &*Tree.Find, false), nullptr);
  *Record.Word &= ~(Record.InUseMask | Record.ChildMask);
  EXPECT_FALSE(Tree.Middle->DeleteDataPage(reinterpret_cast<void *>(SmallPage->Address)));
  EXPECT_TRUE(RaisesFailure([&] { Tree.Find->Delete(Element, Tree.Top); }, DeletingDataPageMessage));
  *Record.Word |= Record.InUseMask | Record.ChildMask;  // repaired for the teardown
}

TEST(Cache, ParentRefusingAnEmptyPageDuringARecyclingWipeIsAFailure) {
  SMALL_TREE Tree(0, false);
  // Two small pages; the wipe meets the newer one first, while the older one
  // keeps the middle page lending.
  void *Element = nullptr;
  for (int Index = 0; Index < 65; ++Index)
    Element = Tree.Small->New();
  PAGE *SmallPage = Tree.PageOf(Element);
  PAGE *MiddlePage = Tree.Middle->FindPage(SmallPage->Address, &*Tree.Find);
  ELEMENT_INFO Record;
  ASSERT_NE(MiddlePage->FindElement(SmallPage->Address, &Record, &*Tree.Find, false), nullptr);
  // Damage the parent's record of the newer small page: no longer a child page.
  *Record.Word &= ~Record.ChildMask;
  // The wipe forgets the callers' elements; the emptied small page goes back
  // and its parent refuses it.
  EXPECT_TRUE(RaisesFailure([&] { Tree.Store->DeleteAll(true); }, ResetDataPageMessage));
}

}  // namespace

namespace {

TEST(Cache, RefusedMemoryGivesNullAndTheCacheRecovers) {
  SMALL_TREE Tree(16, true);
  Tree.BackEnd.GrantsLeft = 0;
  // No permanent block for the arrays and no page: inactive, and null.
  EXPECT_EQ(Tree.Small->New(), nullptr);
  EXPECT_FALSE(Tree.Small->Active);
  void *Array[4] = {};
  int32_t Count = -1;
  EXPECT_FALSE(Tree.Small->MultipleNew(Count, Array, 4));
  EXPECT_EQ(Count, 0);
  EXPECT_EQ(Tree.Find->PageCount, 0);
  EXPECT_EQ(Tree.Store->VersionCounter, 0);
  // With memory again the cache activates and serves; a later refusal while
  // the stack and the current page are empty gives null without losing anything.
  Tree.BackEnd.GrantsLeft = -1;
  std::vector<void *> Elements;
  for (int Index = 0; Index < 64; ++Index)
    Elements.push_back(Tree.Small->New());
  EXPECT_TRUE(Tree.Small->Active);
  while (Tree.Small->StackTop > 0)
    Elements.push_back(Tree.Small->New());
  const int32_t Pages = Tree.Find->PageCount;
  Tree.BackEnd.GrantsLeft = 0;
  void *Next = nullptr;
  while ((Next = Tree.Small->New()) != nullptr)  // what the middle page still lends
    Elements.push_back(Next);
  EXPECT_EQ(Tree.Small->New(), nullptr);
  EXPECT_GE(Tree.Find->PageCount, Pages);
  Tree.BackEnd.GrantsLeft = -1;
  EXPECT_NE(Tree.Small->New(), nullptr);
  std::set<void *> Distinct(Elements.begin(), Elements.end());
  EXPECT_EQ(Distinct.size(), Elements.size());
}

}  // namespace

namespace {

// Elements a cache holds (on its ready stack or in its release queue) are handed
// out again without a look at their page, so a release of one must be refused
// and change nothing; otherwise it reaches a second owner.
TEST(Cache, AReleaseOfAnElementTheCacheHoldsIsRefused) {
  for (const bool ReuseFreed : {false, true}) {
    SCOPED_TRACE(ReuseFreed ? "reusing released elements" : "queueing every release");
    SMALL_TREE Tree(4, ReuseFreed);
    // Allocate, release, flush, allocate twice: the element released before is
    // with a caller again, and its neighbour sits on the ready stack.
    void *Earlier = Tree.Small->New();
    ASSERT_TRUE(Tree.Release(Earlier));
    ASSERT_TRUE(Tree.Small->Flush());
    void *First = Tree.Small->New();
    void *Second = Tree.Small->New();
    ASSERT_EQ(Tree.Small->StackTop, 1);
    void *Ready = Tree.Small->ReadyStack[0];
    EXPECT_EQ(Tree.StateOf(Ready), ELEMENT_STATE::Held);
    EXPECT_FALSE(Tree.Release(Ready)) << "never handed out since it was refilled";
    // A release that went into the cache cannot be repeated either.
    ASSERT_TRUE(Tree.Release(Second));
    EXPECT_FALSE(Tree.Release(Second)) << "a second release of an element waiting in the cache";
    EXPECT_EQ(Tree.StackTop(), ReuseFreed ? 2 : 1);
    EXPECT_EQ(Tree.Small->DelayedCount, ReuseFreed ? 0 : 1);
    // Nothing was handed to two owners: a run of allocations gives distinct
    // elements, each with a caller, and the holder of First keeps it.
    std::set<void *> Owned{First};
    for (int Index = 0; Index < 20; ++Index) {
      void *Element = Tree.Small->New();
      EXPECT_TRUE(Owned.insert(Element).second) << "handed out twice";
      EXPECT_TRUE(Tree.InUse(Element));
    }
    EXPECT_TRUE(Tree.InUse(First));
    for (void *Element : Owned)
      EXPECT_TRUE(Tree.Release(Element));
    EXPECT_TRUE(Tree.FlushAll());
    EXPECT_EQ(Tree.Find->PageCount, 0);
  }
}

}  // namespace
