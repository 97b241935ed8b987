#include "heap/pages/new_pages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "heap/core/heap.h"
#include "tests/heap/frontend/frontend_test_support.h"
#include "tests/heap/pages/test_tree.h"

namespace {

constexpr const char SetupMessage[] = "Setup of pages in constructor for NEW_PAGES";
constexpr const char SizesMessage[] = "Sizes in constructor for NEW_PAGES";
constexpr const char NoMemoryMessage[] = "No memory in constructor for NEW_PAGES";
constexpr const char AlignmentMessage[] = "Alignment of allocation in VerifyNewArea";

constexpr int32_t Standard[] = {1, 4, 16, 64};

TEST(NewPages, StandardClassesAndInitialAreaTable) {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe(false);
  {
    NEW_PAGES Store(Standard, &BackEnd, 4, &ThreadSafe);
    ASSERT_EQ(Store.AreaGranule, 65536);
    EXPECT_EQ(Store.SizeClassCount, 4);
    EXPECT_EQ(Store.AreaTableCapacity, 8160);
    EXPECT_EQ(Store.AreaTableBytes, 0);
    EXPECT_EQ(Store.VersionCounter, 0);
    const int32_t Capacities[] = {16, 64, 256, 1024};
    const int32_t Slots[] = {128, 256, 384, 1152};
    for (int32_t Class = 0; Class < 4; ++Class) {
      EXPECT_EQ(Store.SizeClasses[Class].Capacity, Capacities[Class]);
      EXPECT_EQ(Store.SizeClasses[Class].VectorBytes, 4 * Standard[Class]);
      EXPECT_EQ(NEW_PAGES::SlotSize(Store.SizeClasses[Class].VectorBytes), Slots[Class]);
    }
    EXPECT_EQ(Store.FindSizeKey(1), 0);
    EXPECT_EQ(Store.FindSizeKey(16), 0);
    EXPECT_EQ(Store.FindSizeKey(17), 1);
    EXPECT_EQ(Store.FindSizeKey(1024), 3);
    EXPECT_EQ(Store.FindSizeKey(1025), -1);
    EXPECT_EQ(BackEnd.OutstandingAreas(), 1) << "only the first block";
  }
  EXPECT_EQ(BackEnd.OutstandingAreas(), 0);
}

TEST(NewPages, ConfigurationsAreCheckedBeforeAnythingIsTaken) {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe(false);
  const int32_t TooLarge[] = {4096};
  const int32_t Largest[] = {4095};
  const int32_t Repeated[] = {4, 4};
  const int32_t StartsAtZero[] = {0, 4};
  const int32_t Negative[] = {-1, 4};
  EXPECT_TRUE(RaisesFailure([&] { NEW_PAGES Store(TooLarge, &BackEnd, 1, &ThreadSafe); }, SetupMessage));
  EXPECT_TRUE(RaisesFailure([&] { NEW_PAGES Store(Standard, &BackEnd, 0, &ThreadSafe); }, SetupMessage));
  EXPECT_TRUE(RaisesFailure([&] { NEW_PAGES Store(Repeated, &BackEnd, 2, &ThreadSafe); }, SizesMessage));
  EXPECT_TRUE(RaisesFailure([&] { NEW_PAGES Store(StartsAtZero, &BackEnd, 2, &ThreadSafe); }, SizesMessage));
  EXPECT_TRUE(RaisesFailure([&] { NEW_PAGES Store(Negative, &BackEnd, 2, &ThreadSafe); }, SizesMessage));
  EXPECT_EQ(BackEnd.GrantedAreas(), 0) << "a refused configuration takes no memory";
  { NEW_PAGES Store(Largest, &BackEnd, 1, &ThreadSafe); }
  BackEnd.GranuleOverride = 3 * 4096;
  EXPECT_TRUE(RaisesFailure([&] { NEW_PAGES Store(Standard, &BackEnd, 4, &ThreadSafe); }, SetupMessage));
  BackEnd.GranuleOverride = 1024;  // below the system page size
  EXPECT_TRUE(RaisesFailure([&] { NEW_PAGES Store(Standard, &BackEnd, 4, &ThreadSafe); }, SetupMessage));
  BackEnd.GranuleOverride = 0;
  BackEnd.GrantsLeft = 0;
  EXPECT_TRUE(RaisesFailure([&] { NEW_PAGES Store(Standard, &BackEnd, 4, &ThreadSafe); }, NoMemoryMessage));
  EXPECT_EQ(BackEnd.OutstandingAreas(), 0);
}

TEST(NewPages, PermanentAreasAreCarvedIn128ByteSteps) {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe(false);
  {
    NEW_PAGES Store(Standard, &BackEnd, 4, &ThreadSafe);
    EXPECT_EQ(Store.NewPermanentArea(Store.AreaGranule), nullptr);
    EXPECT_EQ(Store.NewPermanentArea(0), nullptr);
    EXPECT_EQ(Store.NewPermanentArea(-5), nullptr);
    char *First = static_cast<char *>(Store.NewPermanentArea(1));
    char *Second = static_cast<char *>(Store.NewPermanentArea(1));
    ASSERT_NE(First, nullptr);
    EXPECT_EQ(Second, First + 128);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(First) % 65536, 0u);
    // A request that does not fit starts a new block; the rest is abandoned.
    char *Large = static_cast<char *>(Store.NewPermanentArea(65536 - 128));
    ASSERT_NE(Large, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(Large) % 65536, 0u);
    EXPECT_EQ(Store.AreaCount, 2);
    BackEnd.GrantsLeft = 0;
    EXPECT_EQ(Store.NewPermanentArea(1000), nullptr);
    BackEnd.GrantsLeft = -1;
  }
  EXPECT_EQ(BackEnd.OutstandingAreas(), 0);
}

TEST(NewPages, AreaTableGrowsAndEveryAreaGoesBack) {
  TEST_BACK_END BackEnd;
  BackEnd.GranuleOverride = 4096;
  THREAD_SAFE ThreadSafe(false);
  const int32_t One[] = {1};
  {
    NEW_PAGES Store(One, &BackEnd, 1, &ThreadSafe);
    ASSERT_EQ(Store.AreaTableCapacity, (4096 - 64) / 8);
    const int32_t Initial = Store.AreaTableCapacity;
    for (int32_t Block = 0; Block < Initial + 1; ++Block)
      ASSERT_NE(Store.NewPermanentArea(4000), nullptr) << Block;
    EXPECT_EQ(Store.AreaTableBytes, 8192);
    EXPECT_EQ(Store.AreaTableCapacity, 1024);
    EXPECT_EQ(Store.AreaCount, Initial + 1);
    EXPECT_EQ(BackEnd.OutstandingAreas(), Initial + 3) << "first block, table block, carved blocks";
    // A refused growth leaves the table as it is and the request gets null.
    for (int32_t Block = Store.AreaCount; Block < 1024; ++Block)
      ASSERT_NE(Store.NewPermanentArea(4000), nullptr);
    BackEnd.GrantsLeft = 0;
    EXPECT_EQ(Store.NewPermanentArea(4000), nullptr);
    EXPECT_EQ(Store.AreaTableCapacity, 1024);
    BackEnd.GrantsLeft = -1;
  }
  EXPECT_EQ(BackEnd.OutstandingAreas(), 0);
}

TEST(NewPages, MisalignedAreaIsGivenBackBeforeTheFailure) {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe(false);
  {
    NEW_PAGES Store(Standard, &BackEnd, 4, &ThreadSafe);
    BackEnd.Misalignment = 128;
    EXPECT_TRUE(RaisesFailure([&] { Store.VerifyNewArea(65535, 65536, true); }, AlignmentMessage));
    EXPECT_EQ(BackEnd.OutstandingAreas(), 1);
    EXPECT_TRUE(RaisesFailure([&] { Store.NewPermanentArea(64); }, AlignmentMessage));
    EXPECT_EQ(BackEnd.OutstandingAreas(), 1);
    EXPECT_EQ(Store.AreaCount, 0);
    // An alignment the misplaced area still meets passes.
    void *Area = Store.VerifyNewArea(127, 4096, false);
    ASSERT_NE(Area, nullptr);
    BackEnd.DeleteArea(Area, 4096, false);
    BackEnd.Misalignment = 0;
  }
  EXPECT_EQ(BackEnd.OutstandingAreas(), 0);
}

TEST(NewPages, DescriptorsAreReusedLastInFirstOutWithNewVersions) {
  TEST_TREE Tree;
  CACHE *Top = Tree.Add(65536, 0, 65536, 65536, false, nullptr);
  Tree.Register();
  PAGE *First = Tree.Store->NewPage(Top, -1);
  PAGE *Second = Tree.Store->NewPage(Top, -1);
  ASSERT_NE(First, nullptr);
  ASSERT_NE(Second, nullptr);
  EXPECT_EQ(First->CurrentVersion(), 2);
  EXPECT_EQ(Second->CurrentVersion(), 4);
  EXPECT_EQ(Tree.Store->AreaCount, 1) << "one descriptor area of the smallest class";
  EXPECT_EQ(First->Size, 65536);
  EXPECT_EQ(First->ParentBucket, NoBucket());
  EXPECT_EQ(First->Address % 65536, 0u);
  Tree.Store->DeletePage(First);
  EXPECT_EQ(First->CurrentVersion(), 3) << "a destroyed descriptor carries an odd stamp";
  PAGE *Third = Tree.Store->NewPage(Top, -1);
  EXPECT_EQ(Third, First) << "the last descriptor freed is the first reused";
  EXPECT_EQ(Third->CurrentVersion(), 6);
  Tree.Store->DeletePage(Second);
  Tree.Store->DeletePage(Third);
  EXPECT_EQ(Tree.BackEnd.OutstandingUserAreas(), 0);
}

// Slots are carved a system page's worth at a time; an area discarded while
// partly carved is carved again from its start, and its slots are reused.
TEST(NewPages, DescriptorsAreCarvedAPageAtATimeAndAgainAfterADiscard) {
  TEST_TREE Tree;
  CACHE *Top = Tree.Add(65536, 0, 65536, 65536, false, nullptr);
  Tree.Register();
  SIZE_CLASS &Class = Tree.Store->SizeClasses[0];
  const int32_t PerPage = SYSTEM_FACTS::SystemPageSize / NEW_PAGES::SlotSize(Class.VectorBytes);
  std::vector<PAGE *> Pages;
  for (int32_t Round = 0; Round < 2; ++Round) {
    for (int32_t Index = 0; Index <= PerPage; ++Index)
      Pages.push_back(Tree.Store->NewPage(Top, -1));
    EXPECT_EQ(std::set<PAGE *>(Pages.begin(), Pages.end()).size(), static_cast<size_t>(PerPage + 1));
    EXPECT_EQ(Class.CarvedBytes, 2 * PerPage * NEW_PAGES::SlotSize(Class.VectorBytes)) << "round " << Round;
    for (PAGE *Page : Pages)
      Tree.Store->DeletePage(Page);
    Tree.Store->DiscardUnusedAreas();
    EXPECT_TRUE(Class.FreeDescriptors.Empty());
    EXPECT_EQ(Tree.Store->DiscardedBytes, Tree.Store->DescriptorBytes);
    Pages.clear();
  }
  EXPECT_EQ(Tree.Store->AreaCount, 1);
}

TEST(NewPages, RefusedPageMemoryLeavesTheStoreConsistent) {
  TEST_TREE Tree;
  CACHE *Top = Tree.Add(65536, 0, 65536, 65536, false, nullptr);
  Tree.Register();
  PAGE *Page = Tree.Store->NewPage(Top, -1);
  ASSERT_NE(Page, nullptr);
  Tree.Store->DeletePage(Page);
  const int32_t Counter = Tree.Store->VersionCounter;
  Tree.BackEnd.GrantsLeft = 0;
  EXPECT_EQ(Tree.Store->NewPage(Top, -1), nullptr);
  EXPECT_EQ(Tree.Store->VersionCounter, Counter);
  EXPECT_EQ(Top->ActivePages, 0);
  EXPECT_EQ(Tree.Find->PageCount, 0);
  Tree.BackEnd.GrantsLeft = -1;
  // The descriptor went back to the free chain and is the next one used.
  PAGE *Again = Tree.Store->NewPage(Top, -1);
  EXPECT_EQ(Again, Page);
  EXPECT_EQ(Again->CurrentVersion(), Counter + 2);
  // With no descriptor left and no area for more, NewPage gives null too.
  Tree.BackEnd.GrantsLeft = 0;
  CACHE *Big = Tree.Add(64, 0, 65536, 65536, false, Top);  // 1024 elements: the largest class
  EXPECT_EQ(Tree.Store->NewPage(Big, -1), nullptr);
  Tree.BackEnd.GrantsLeft = -1;
}

TEST(NewPages, RecyclingDeleteAllForgetsEveryCallersElementAndGivesEmptiedPagesBack) {
  TEST_TREE Tree;
  CACHE *Top = Tree.Add(65536, 0, 65536, 65536, false, nullptr);
  CACHE *Middle = Tree.Add(4096, 0, 65536, 65536, false, Top);
  CACHE *Small = Tree.Add(64, 0, 4096, 4096, false, Middle);
  Tree.Register();
  void *Element = Small->New();  // a small page inside a middle page inside a top page
  void *Plain = Middle->New();   // a caller's element of the middle cache
  void *Whole = Top->New();      // a caller's element of the top cache: a page of its own
  ASSERT_NE(Element, nullptr);
  ASSERT_NE(Plain, nullptr);
  ASSERT_NE(Whole, nullptr);
  PAGE *MiddlePage = Middle->FindPage(reinterpret_cast<uint64_t>(Plain), &*Tree.Find);
  ASSERT_NE(MiddlePage, nullptr);
  EXPECT_EQ(MiddlePage->Allocated, 2);
  PAGE *WholePage = Top->FindPage(reinterpret_cast<uint64_t>(Whole), &*Tree.Find);
  ASSERT_NE(WholePage, nullptr);
  EXPECT_EQ(Tree.Find->PageCount, 4);
  Tree.Store->DeleteAll(true);
  // The small page loses its element and goes back to the middle page, which
  // then lends nothing and goes back to the top cache, which trims it to its
  // limit of 0. The top page of the caller's element stays (the store keeps
  // pages straight from the back end) but its element is forgotten too.
  EXPECT_EQ(Tree.Find->PageCount, 1);
  EXPECT_EQ(Tree.BackEnd.OutstandingUserAreas(), 1);
  EXPECT_EQ(Top->FindPage(reinterpret_cast<uint64_t>(Whole), &*Tree.Find), WholePage);
  EXPECT_EQ(WholePage->Allocated, 0);
  EXPECT_EQ(Top->ActivePages, 1);
  EXPECT_EQ(Top->New(), Whole) << "the forgotten element is handed out again";
  EXPECT_NE(Small->New(), nullptr) << "the heap is usable after the wipe";
  Tree.Store->DeleteAll(false);
  EXPECT_EQ(Tree.Find->PageCount, 0);
  EXPECT_EQ(Tree.BackEnd.OutstandingUserAreas(), 0);
}

TEST(NewPages, RecyclingDeleteAllKeepsPagesThatLendChildPages) {
  TEST_TREE Tree;
  CACHE *Top = Tree.Add(65536, 0, 65536, 65536, false, nullptr);
  CACHE *Middle = Tree.Add(4096, 0, 65536, 65536, false, Top);
  CACHE *Small = Tree.Add(64, 0, 4096, 4096, false, Middle);
  Tree.Register();
  void *Element = Small->New();
  PAGE *SmallPage = Small->FindPage(reinterpret_cast<uint64_t>(Element), &*Tree.Find);
  PAGE *MiddlePage = Middle->FindPage(SmallPage->Address, &*Tree.Find);
  ASSERT_NE(MiddlePage, nullptr);
  // A child page that keeps a child of its own (state 11 at element 0) stays,
  // and so does every page above it.
  Small->ChildCount = 1;
  SmallPage->BitVector[0] |= 3u << 30;
  Tree.Store->DeleteAll(true);
  EXPECT_EQ(Tree.Find->PageCount, 3);
  EXPECT_EQ(SmallPage->Allocated, 1);
  EXPECT_EQ(MiddlePage->Allocated, 1);
  SmallPage->BitVector[0] = 0;
  SmallPage->Allocated = 0;
  SmallPage->Available = Small->ElementsPerPage;
  Small->ChildCount = 0;
}

}  // namespace

namespace {

TEST(NewPages, RecyclingDeleteAllRunsOnTheEngagedThread) {
  TEST_TREE Tree(true);
  CACHE *Top = Tree.Add(65536, 0, 65536, 65536, false, nullptr);
  CACHE *Middle = Tree.Add(4096, 0, 65536, 65536, false, Top);
  CACHE *Small = Tree.Add(64, 0, 4096, 4096, false, Middle);
  Tree.Register();
  ASSERT_NE(Small->New(), nullptr);
  // The heap-wide section: global lock, every group lock, then engaged. The
  // caches are taken in ascending size, as the heap takes them: a child
  // before its parent, the order every allocation that borrows a page from a
  // parent keeps.
  CACHE *const Ascending[] = {Small, Middle, Top};
  ASSERT_TRUE(Tree.ThreadSafe.ClaimGlobalLock());
  for (CACHE *Cache : Ascending)
    Cache->Lock.Acquire();
  Tree.Find->ShareLock.AcquireExclusive();
  Tree.Store->Lock.Acquire();
  Tree.ThreadSafe.EngageGlobalLock();
  Tree.Store->DeleteAll(true);  // resets the small page
  Tree.Store->DeleteAll(true);  // gives it back, and the middle and top pages after it
  EXPECT_EQ(Tree.Find->PageCount, 0);
  ASSERT_TRUE(Tree.ThreadSafe.ReleaseGlobalLock(true));
  Tree.Store->Lock.Release();
  Tree.Find->ShareLock.ReleaseExclusive();
  for (CACHE *Cache : Ascending)
    Cache->Lock.Release();
  EXPECT_NE(Small->New(), nullptr) << "every lock was given back";
}

// Without the global lock engaged, a thread-safe store that is destroyed with
// pages still filed wipes them without its own lock, which would otherwise be
// held while the pages leave the address lookup: the opposite of a heap walk's
// order (the lookup's shared claim, then the store's lock), which the annotated
// ThreadSanitizer build reports.
TEST(NewPages, DestroyingAThreadSafeStoreWipesItsPagesInTheLockOrder) {
  TEST_TREE Tree(true);
  CACHE *Top = Tree.Add(65536, 0, 65536, 65536, false, nullptr);
  CACHE *Small = Tree.Add(64, 0, 4096, 4096, false, Top);
  Tree.Register();
  void *Element = Small->New();
  ASSERT_NE(Element, nullptr);
  ASSERT_NE(Top->New(), nullptr);  // a second top page
  EXPECT_EQ(Tree.Find->PageCount, 3);
  bool InUse = false;
  void *Address = nullptr;
  int32_t Size = 0;
  ASSERT_TRUE(Tree.Find->WalkHeap(InUse, Address, Top, Size));
  EXPECT_EQ(Address, Element);
  Tree.Store.reset();
  EXPECT_EQ(Tree.Find->PageCount, 0);
  EXPECT_EQ(Tree.BackEnd.OutstandingUserAreas(), 0);
  EXPECT_EQ(Tree.BackEnd.OutstandingAreas(), 1 + Tree.Find->Map.AreaCount()) << "only the lookup's block and map";
}

}  // namespace

namespace {

TEST(NewPages, MisalignedDataPageIsGivenBackBeforeTheFailure) {
  TEST_TREE Tree;
  CACHE *Top = Tree.Add(65536, 0, 65536, 65536, false, nullptr);
  Tree.Register();
  PAGE *Page = Tree.Store->NewPage(Top, -1);  // makes the descriptor area
  ASSERT_NE(Page, nullptr);
  Tree.Store->DeletePage(Page);
  const int32_t Areas = Tree.BackEnd.OutstandingAreas();
  Tree.BackEnd.Misalignment = 4096;
  EXPECT_TRUE(RaisesFailure([&] { Tree.Store->NewPage(Top, -1); }, "Alignment of allocation in VerifyNewArea"));
  Tree.BackEnd.Misalignment = 0;
  EXPECT_EQ(Tree.BackEnd.OutstandingAreas(), Areas);
  EXPECT_EQ(Top->ActivePages, 0);
  EXPECT_EQ(Tree.Find->PageCount, 0);
}

// Churn through the configured heap, every block freed in a random order and
// the heap trimmed each cycle: no descriptor area stays resident after a trim,
// and later cycles carve the same areas again instead of adding new ones.
TEST(NewPages, DescriptorAreasGoBackOnATrimAndDoNotGrowAcrossChurn) {
  TEST_BACK_END BackEnd;
  TEST_HEAP Heap(&BackEnd);
  NEW_PAGES *Store = Heap.Core()->NewPages;
  std::mt19937 Random(7);
  std::vector<void *> Held;
  int64_t FirstCycle = 0;
  for (int Cycle = 0; Cycle < 4; ++Cycle) {
    for (int32_t Index = 0; Index < 30000; ++Index)
      Held.push_back(Heap.New(16 << (Index % 8)));
    std::shuffle(Held.begin(), Held.end(), Random);
    for (void *Element : Held)
      ASSERT_TRUE(Heap.Delete(Element));
    Held.clear();
    ASSERT_TRUE(Heap.TrimHeap(0));
    EXPECT_EQ(BackEnd.OutstandingUserAreas(), 0);
    if (Cycle == 0)
      FirstCycle = Store->DescriptorBytes;
    EXPECT_GT(Store->DescriptorBytes, 65536) << "more than one area was made";
    EXPECT_EQ(Store->DiscardedBytes, Store->DescriptorBytes) << "cycle " << Cycle;
    EXPECT_EQ(Store->DescriptorBytes, FirstCycle) << "cycle " << Cycle;
  }
  EXPECT_TRUE(Heap.Failures.empty());
}

}  // namespace
