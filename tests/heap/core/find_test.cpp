#include "heap/core/find.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <vector>

#include "tests/heap/pages/test_tree.h"

namespace {

testing::Environment *const TraceFile = testing::AddGlobalTestEnvironment(new TRACE_FILE_ENVIRONMENT("_core_tests"));

constexpr const char HashSizeMessage[] = "Hash table size in constructor for FIND";
constexpr const char CreateHashMessage[] = "Create hash fails in constructor for FIND";
constexpr const char TopCacheSizesMessage[] = "Different 'TopCache' sizes with 'SingleImage'";

// Descriptors at made-up addresses, one 64-KB page each, for the table alone.
struct LOOSE_PAGES {
  explicit LOOSE_PAGES(CACHE *Owner, int32_t Count) : Storage(new Slot[static_cast<size_t>(Count)]) {
    for (int32_t Index = 0; Index < Count; ++Index)
      Pages.push_back(new (&Storage[static_cast<size_t>(Index)]) PAGE(0x100000000ull + 0x10000ull * Index, Owner,
                                                                       65536, NoBucket(), 2));
  }
  struct alignas(PAGE) Slot {
    unsigned char Bytes[256];
  };
  std::unique_ptr<Slot[]> Storage;
  std::vector<PAGE *> Pages;
};

int32_t EntriesOf(const FIND &Find, const PAGE *Page) {
  int32_t Count = 0;
  for (int32_t Entry = 0; Entry < Find.LookasideSize; ++Entry)
    Count += Find.Lookaside[Entry].Page == Page ? 1 : 0;
  return Count;
}

TEST(Find, SizesAreChecked) {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe(false);
  auto Build = [&](int32_t Hash, int32_t Lookaside, int32_t Threshold) {
    FIND Find(Hash, Lookaside, Threshold, false, true, &BackEnd, &ThreadSafe);
  };
  EXPECT_TRUE(RaisesFailure([&] { Build(512, 128, 0); }, HashSizeMessage));
  EXPECT_TRUE(RaisesFailure([&] { Build(1536, 128, 0); }, HashSizeMessage));
  EXPECT_TRUE(RaisesFailure([&] { Build(1024, 64, 0); }, HashSizeMessage));
  EXPECT_TRUE(RaisesFailure([&] { Build(1024, 192, 0); }, HashSizeMessage));
  EXPECT_TRUE(RaisesFailure([&] { Build(1024, 128, -1); }, HashSizeMessage));
  EXPECT_EQ(BackEnd.GrantedAreas(), 0);
  {
    FIND Find(1024, 128, 0, false, true, &BackEnd, &ThreadSafe);
    EXPECT_EQ(Find.HashShift, 22);
    EXPECT_EQ(Find.LookasideShift, 25);
    EXPECT_EQ(Find.TopCacheMask, 0xFFFFFFFFu);
    EXPECT_EQ(BackEnd.OutstandingAreas(), 1);
  }
  EXPECT_EQ(BackEnd.OutstandingAreas(), 0);
  BackEnd.GranuleOverride = 3 * 4096;
  EXPECT_TRUE(RaisesFailure([&] { Build(1024, 128, 0); }, HashSizeMessage));
  BackEnd.GranuleOverride = 0;
  BackEnd.GrantsLeft = 0;
  EXPECT_TRUE(RaisesFailure([&] { Build(1024, 128, 0); }, CreateHashMessage));
}

TEST(Find, HeapsSharingATableMustAgreeOnTheTopCache) {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe(true);
  FIND Find(4096, 8192, 0, true, true, &BackEnd, &ThreadSafe);
  Find.RegisterHeap(65535, 8191);
  EXPECT_EQ(Find.GranuleMask, 8191u);
  Find.RegisterHeap(65535, 4095);
  EXPECT_EQ(Find.GranuleMask, 4095u);
  Find.RegisterHeap(65535, 16383);
  EXPECT_EQ(Find.GranuleMask, 4095u) << "the granule only shrinks";
  EXPECT_TRUE(RaisesFailure([&] { Find.RegisterHeap(32767, 4095); }, TopCacheSizesMessage));
  EXPECT_EQ(Find.TopCacheMask, 65535u);
}

TEST(Find, GrowsAtThe3073rdPageAndFindsEveryPage) {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe(false);
  CACHE Owner(65536, 0, 65536, 65536, false, &ThreadSafe);
  FIND Find(4096, 8192, 0, false, true, &BackEnd, &ThreadSafe);
  Find.RegisterHeap(65535, 4095);
  LOOSE_PAGES Loose(&Owner, 5000);
  for (int32_t Index = 0; Index < 3072; ++Index)
    Find.InsertPage(Loose.Pages[static_cast<size_t>(Index)]);
  EXPECT_EQ(Find.HashSize, 4096);
  EXPECT_EQ(Find.LookasideSize, 8192);
  Find.InsertPage(Loose.Pages[3072]);
  EXPECT_EQ(Find.HashSize, 8192);
  EXPECT_EQ(Find.HashShift, 19);
  EXPECT_EQ(Find.LookasideSize, 16384);
  EXPECT_EQ(BackEnd.OutstandingAreas(), 1 + Find.Map.AreaCount()) << "the old block went back";
  // Thousands of removals and inserts later every live page is found.
  std::set<int32_t> Live;
  for (int32_t Index = 0; Index <= 3072; ++Index)
    Live.insert(Index);
  for (int32_t Index = 0; Index <= 3072; Index += 3) {
    Find.RemovePage(Loose.Pages[static_cast<size_t>(Index)]);
    Live.erase(Index);
  }
  for (int32_t Index = 3073; Index < 5000; ++Index) {
    Find.InsertPage(Loose.Pages[static_cast<size_t>(Index)]);
    Live.insert(Index);
  }
  EXPECT_EQ(Find.PageCount, static_cast<int32_t>(Live.size()));
  for (int32_t Index = 0; Index < 5000; ++Index) {
    PAGE *Page = Loose.Pages[static_cast<size_t>(Index)];
    PAGE *Found = Find.LocatePage(Page->Address, NoBucket());
    if (Live.count(Index) != 0)
      EXPECT_EQ(Found, Page) << Index;
    else
      EXPECT_EQ(Found, nullptr) << Index;
    EXPECT_EQ(Find.LocatePage(Page->Address, &Owner), nullptr) << "the parent is part of the key";
  }
}

TEST(Find, FailedGrowthKeepsTheTableWorkingAtItsSize) {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe(false);
  CACHE Owner(65536, 0, 65536, 65536, false, &ThreadSafe);
  FIND Find(1024, 128, 0, false, true, &BackEnd, &ThreadSafe);
  Find.RegisterHeap(65535, 65535);
  LOOSE_PAGES Loose(&Owner, 2000);
  BackEnd.GrantsLeft = 0;
  for (PAGE *Page : Loose.Pages)
    Find.InsertPage(Page);
  EXPECT_FALSE(Find.Resizable);
  EXPECT_EQ(Find.HashSize, 1024);
  BackEnd.GrantsLeft = -1;
  Find.RemovePage(Loose.Pages[0]);
  Find.InsertPage(Loose.Pages[0]);
  EXPECT_EQ(Find.HashSize, 1024) << "a failed growth is never tried again";
  for (PAGE *Page : Loose.Pages)
    EXPECT_EQ(Find.LocatePage(Page->Address, NoBucket()), Page);
}

TEST(Find, LookasideHoldsOneEntryPerElementStartOrGranule) {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe(false);
  CACHE Eight(8192, 0, 65536, 65536, false, &ThreadSafe);
  CACHE Kilo(1024, 0, 8192, 8192, false, &ThreadSafe);
  FIND Find(4096, 8192, 0, false, true, &BackEnd, &ThreadSafe);
  Find.RegisterHeap(65535, 4095);
  alignas(PAGE) unsigned char Storage[2][512];
  PAGE *Large = new (Storage[0]) PAGE(0x7770000, &Eight, 65536, NoBucket(), 2);
  PAGE *Small = new (Storage[1]) PAGE(0x5550000, &Kilo, -1, &Eight, 4);
  Find.InsertPage(Large);
  Find.InsertPage(Small);
  EXPECT_EQ(EntriesOf(Find, Large), 8);
  EXPECT_EQ(EntriesOf(Find, Small), 2);
  for (uint64_t Offset = 0; Offset < 65536; Offset += 8192) {
    const LOOKASIDE_ENTRY &Entry = Find.Lookaside[FIND::HashIndex(0x7770000 + Offset, Find.LookasideShift, Find.LookasideMask)];
    EXPECT_EQ(Entry.Key, 0x7770000 + Offset);
    EXPECT_EQ(Entry.Page, Large);
  }
  // A lookup that missed may only add a key that the page's removal empties again.
  Find.UpdateLookaside(0x7770000 + 4096 + 8, Large, Large->CurrentVersion());
  EXPECT_EQ(EntriesOf(Find, Large), 8);
  // A page that changed while the lookup waited gets no entry.
  Find.RemovePage(Large);
  EXPECT_EQ(EntriesOf(Find, Large), 0);
  Find.UpdateLookaside(0x7770000, Large, Large->CurrentVersion() - 2);
  EXPECT_EQ(EntriesOf(Find, Large), 0);
  Find.UpdateLookaside(0x7770000, Large, Large->CurrentVersion());
  EXPECT_EQ(EntriesOf(Find, Large), 0) << "a page no longer filed gets no entry";
  Find.RemovePage(Small);
  EXPECT_EQ(EntriesOf(Find, Small), 0);
  Find.InsertPage(Large);
  Find.RemovePage(Large);
  EXPECT_EQ(EntriesOf(Find, Large), 0);
}

// The page store takes a page out of the table before it destroys the
// descriptor. A lookup that found the page and then waited for its exclusive
// claim must not file an entry in that gap: the version still matches, and the
// entry would outlive the page and answer for the descriptor's next life.
TEST(Find, ALookupWhosePageLeavesTheTableWhileItWaitsFilesNoEntry) {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe(false);
  CACHE Eight(8192, 0, 65536, 65536, false, &ThreadSafe);
  FIND Find(4096, 8192, 0, false, true, &BackEnd, &ThreadSafe);
  Find.RegisterHeap(65535, 4095);
  alignas(PAGE) unsigned char Storage[512];
  PAGE *Page = new (Storage) PAGE(0x7770000, &Eight, 65536, NoBucket(), 2);
  Find.InsertPage(Page);
  const uint64_t OldAddress = 0x7770000 + 8192;
  Find.RemovePage(Page);
  const int32_t Version = Page->CurrentVersion();
  Find.UpdateLookaside(OldAddress, Page, Version);
  EXPECT_EQ(EntriesOf(Find, Page), 0);
  Page->Destroy();
  Page->Build(0x9990000, &Eight, 65536, NoBucket(), Version + 2);
  Find.InsertPage(Page);
  int32_t Size = -1;
  EXPECT_FALSE(Find.DescribeAddress(reinterpret_cast<void *>(OldAddress), nullptr, &Eight, Size))
      << "an address of no page is reported as the reused descriptor's";
  EXPECT_EQ(Size, -1);
  Find.RemovePage(Page);
}

// A heap with smaller pages joining a shared table narrows the granule. Keys
// filed under the wider granule are not all among those a removal computes
// afterwards; none may outlive its page.
TEST(Find, AGranuleThatNarrowsLeavesNoEntryBehind) {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe(false);
  CACHE Wide(12288, 0, 65536, 65536, false, &ThreadSafe);
  FIND Find(4096, 8192, 0, true, true, &BackEnd, &ThreadSafe);
  Find.RegisterHeap(65535, 8191);
  alignas(PAGE) unsigned char Storage[512];
  PAGE *Page = new (Storage) PAGE(0x7770000, &Wide, 65536, NoBucket(), 2);
  Find.InsertPage(Page);
  EXPECT_EQ(EntriesOf(Find, Page), 6);
  Find.RegisterHeap(65535, 4095);
  Find.RemovePage(Page);
  EXPECT_EQ(EntriesOf(Find, Page), 0);
  int32_t Size = -1;
  EXPECT_FALSE(Find.DescribeAddress(reinterpret_cast<void *>(0x7772010), nullptr, &Wide, Size));
  EXPECT_EQ(Size, -1);
}

// A page filed while the lookaside is off (a heap-wide wipe restarted the
// count) gets no entries, but an entry of the page that encloses it, left from
// before, must not go on standing for its granules: a release there would act
// on the enclosing page's element, which holds the whole inner page.
TEST(Find, APageFiledWhileTheLookasideIsOffOutranksTheEnclosingEntry) {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe(false);
  CACHE Top(65536, 0, 65536, 65536, false, &ThreadSafe);
  CACHE Inner(8192, 0, 65536, 65536, false, &ThreadSafe);
  FIND Find(4096, 8192, 0, false, true, &BackEnd, &ThreadSafe);
  Find.RegisterHeap(65535, 4095);
  alignas(PAGE) unsigned char Storage[2][512];
  PAGE *Outer = new (Storage[0]) PAGE(0x7770000, &Top, 65536, NoBucket(), 2);
  Find.InsertPage(Outer);
  ASSERT_EQ(EntriesOf(Find, Outer), 1);
  Find.LookasideThreshold = 1;
  Find.LookasideLookups.store(0);
  PAGE *Page = new (Storage[1]) PAGE(0x7770000, &Inner, -1, &Top, 4);
  Find.InsertPage(Page);
  EXPECT_EQ(EntriesOf(Find, Page), 0) << "inserted while the lookaside is off";
  EXPECT_EQ(EntriesOf(Find, Outer), 0);
  int32_t Size = -1;
  Find.DescribeAddress(reinterpret_cast<void *>(0x7770000), nullptr, &Top, Size);  // counted: switches it on
  Size = -1;
  Find.DescribeAddress(reinterpret_cast<void *>(0x7770000), nullptr, &Top, Size);
  EXPECT_NE(Size, 65536) << "the enclosing page answered for the inner page's first element";
  Find.RemovePage(Page);
  Find.RemovePage(Outer);
}

struct LOOKUP_TREE : TEST_TREE {
  CACHE *Top;
  CACHE *Middle;
  CACHE *Small;
  explicit LOOKUP_TREE(int32_t Threshold) : TEST_TREE(false, Threshold, 0) {
    Top = Add(65536, 0, 65536, 65536, false, nullptr);
    Middle = Add(4096, 0, 65536, 65536, false, Top);
    Small = Add(64, 0, 4096, 4096, false, Middle);
    Register();
  }
};

TEST(Find, LookasideSwitchesOnAfterTheThreshold) {
  LOOKUP_TREE Tree(3);
  void *Element = Tree.Small->New();
  PAGE *SmallPage = Tree.Small->FindPage(reinterpret_cast<uint64_t>(Element), &*Tree.Find);
  ASSERT_NE(SmallPage, nullptr);
  EXPECT_EQ(EntriesOf(*Tree.Find, SmallPage), 0) << "inserted while the lookaside is off";
  int32_t Size = 0;
  for (int Lookup = 1; Lookup <= 2; ++Lookup) {
    ASSERT_TRUE(Tree.Find->DescribeAddress(Element, nullptr, Tree.Top, Size));
    EXPECT_EQ(Size, 64);
    EXPECT_EQ(Tree.Find->LookasideLookups.load(), Lookup);
    EXPECT_EQ(EntriesOf(*Tree.Find, SmallPage), 0);
  }
  // The third lookup is still counted, not probed; by the time it would fill
  // the entry the lookaside is on, so its miss fills it.
  ASSERT_TRUE(Tree.Find->DescribeAddress(Element, nullptr, Tree.Top, Size));
  EXPECT_EQ(Tree.Find->LookasideLookups.load(), 3);
  EXPECT_EQ(EntriesOf(*Tree.Find, SmallPage), 1);
  ASSERT_TRUE(Tree.Find->DescribeAddress(Element, nullptr, Tree.Top, Size));
  EXPECT_EQ(Tree.Find->LookasideLookups.load(), 3) << "the fourth lookup is a probe, no longer counted";
  // From now on inserts and removals keep entries.
  std::vector<void *> More;
  for (int Index = 0; Index < 64; ++Index)
    More.push_back(Tree.Small->New());
  PAGE *Second = Tree.Small->FindPage(reinterpret_cast<uint64_t>(More.back()), &*Tree.Find);
  ASSERT_NE(Second, SmallPage);
  EXPECT_EQ(EntriesOf(*Tree.Find, Second), 1);
  for (void *Item : More)
    EXPECT_TRUE(Tree.Find->Delete(Item, Tree.Top));
  EXPECT_TRUE(Tree.Find->Delete(Element, Tree.Top));
  EXPECT_EQ(Tree.Find->PageCount, 0);
  for (int32_t Entry = 0; Entry < Tree.Find->LookasideSize; ++Entry)
    EXPECT_EQ(Tree.Find->Lookaside[Entry].Key, ~0ull) << "no entry outlives its page";
}

TEST(Find, EntriesLeftWhileTheLookasideWasOffAreEmptiedToo) {
  LOOKUP_TREE Tree(0);
  void *Element = Tree.Small->New();
  PAGE *SmallPage = Tree.Small->FindPage(reinterpret_cast<uint64_t>(Element), &*Tree.Find);
  EXPECT_EQ(EntriesOf(*Tree.Find, SmallPage), 1);
  // A heap-wide wipe restarts the count under a threshold above 0.
  Tree.Find->LookasideThreshold = 2;
  Tree.Find->LookasideLookups.store(0);
  EXPECT_TRUE(Tree.Find->Delete(Element, Tree.Top));
  EXPECT_EQ(EntriesOf(*Tree.Find, SmallPage), 0);
}

TEST(Find, LookupsOfUnknownAddressesFindNothing) {
  LOOKUP_TREE Tree(0);
  void *Element = Tree.Small->New();
  int OnTheStack = 0;
  int32_t Size = -7;
  EXPECT_FALSE(Tree.Find->Delete(&OnTheStack, Tree.Top));
  EXPECT_FALSE(Tree.Find->DescribeAddress(&OnTheStack, nullptr, Tree.Top, Size));
  EXPECT_EQ(Size, -7);
  EXPECT_FALSE(Tree.Find->Contains(&OnTheStack, Tree.Top));
  EXPECT_TRUE(Tree.Find->Contains(static_cast<char *>(Element) + 12345, Tree.Top));
  EXPECT_EQ(Tree.Find->PageCount, 3);
  ELEMENT_INFO Record;
  EXPECT_TRUE(Tree.Find->DescribeAddress(static_cast<char *>(Element) + 5, &Record, Tree.Top, Size));
  EXPECT_EQ(Size, 64);
  EXPECT_FALSE(Record.OnBoundary);
  EXPECT_EQ(Record.Bucket, Tree.Small);
  EXPECT_TRUE(Tree.Find->Delete(Element, Tree.Top));
  EXPECT_FALSE(Tree.Find->Delete(Element, Tree.Top)) << "the page went away with its last element";
}

TEST(Find, WalkVisitsEveryElementOfTheInnerPages) {
  LOOKUP_TREE Tree(0);
  std::set<void *> Held;
  for (int Index = 0; Index < 100; ++Index)
    Held.insert(Tree.Small->New());
  void *Plain = Tree.Middle->New();
  bool InUse = false;
  void *Address = nullptr;
  int32_t Size = 0;
  ASSERT_TRUE(Tree.Find->WalkHeap(InUse, Address, Tree.Top, Size));
  void *First = Address;
  int32_t InUseSmall = 0;
  int32_t FreeSmall = 0;
  int32_t Steps = 0;
  bool SawPlain = false;
  do {
    ++Steps;
    if (Size == 64) {
      EXPECT_EQ(InUse, Held.count(Address) != 0) << Address;
      (InUse ? InUseSmall : FreeSmall) += 1;
    } else {
      EXPECT_EQ(Size, 4096);
      SawPlain = SawPlain || (Address == Plain && InUse);
    }
  } while (Tree.Find->WalkHeap(InUse, Address, Tree.Top, Size) && Steps < 10000);
  EXPECT_EQ(InUseSmall, 100);
  EXPECT_EQ(FreeSmall, 2 * 64 - 100);
  EXPECT_TRUE(SawPlain);
  EXPECT_EQ(Steps, 128 + 16 - 2) << "two small pages, one middle page less its two lent elements";
  void *Inside = static_cast<char *>(First) + 1;
  EXPECT_FALSE(Tree.Find->WalkHeap(InUse, Inside, Tree.Top, Size)) << "a step from inside an element";
  EXPECT_EQ(Inside, static_cast<char *>(First) + 1);
}

// A page that has left the table is being deleted on another thread (the page
// store takes it out of the table before it takes it off its chain and destroys
// the descriptor): a walk must step over it, not report its elements.
TEST(Find, WalkStepsOverAPageThatLeftTheTable) {
  LOOKUP_TREE Tree(0);
  std::vector<void *> Held;
  for (int Index = 0; Index < 65; ++Index)
    Held.push_back(Tree.Small->New());
  PAGE *Leaving = Tree.Small->FindPage(reinterpret_cast<uint64_t>(Held.front()), &*Tree.Find);
  ASSERT_NE(Leaving, nullptr);
  ASSERT_NE(Leaving, Tree.Small->FindPage(reinterpret_cast<uint64_t>(Held.back()), &*Tree.Find));
  Tree.Find->RemovePage(Leaving);
  bool InUse = false;
  void *Address = nullptr;
  int32_t Size = 0;
  int32_t Steps = 0;
  int32_t InLeaving = 0;
  while (Tree.Find->WalkHeap(InUse, Address, Tree.Top, Size) && Steps < 10000) {
    ++Steps;
    const uint64_t At = reinterpret_cast<uint64_t>(Address);
    InLeaving += At >= Leaving->Address && At < Leaving->Address + 4096 ? 1 : 0;
  }
  EXPECT_EQ(InLeaving, 0);
  EXPECT_EQ(Steps, 14 + 64) << "the middle page less its two lent elements, and the other small page";
  Tree.Find->InsertPage(Leaving);
  for (void *Item : Held)
    EXPECT_TRUE(Tree.Find->Delete(Item, Tree.Top));
}

}  // namespace

namespace {

// A lookup that missed finds the middle page P for a free element, and while it
// waits for its exclusive claim a child page C is made in that very element.
// The entry it then files may only name the innermost page: otherwise hits
// would report P's element size for C's elements, and a release of C's first
// element would clear P's record of the child page.
TEST(Find, ALookupThatWaitedNeverNamesTheOuterPageOfAChildMadeMeanwhile) {
  TEST_TREE Tree;
  CACHE *Top = Tree.Add(65536, 0, 65536, 65536, false, nullptr);
  CACHE *Middle = Tree.Add(4096, 0, 65536, 65536, false, Top);
  CACHE *Small = Tree.Add(64, 0, 4096, 4096, false, Middle);
  Tree.Register();
  void *Held = Middle->New();  // makes the middle page; its next element is free
  PAGE *MiddlePage = Middle->FindPage(reinterpret_cast<uint64_t>(Held), &*Tree.Find);
  ASSERT_NE(MiddlePage, nullptr);
  const uint64_t FreeElement = MiddlePage->Address + 4096;
  // The miss: the search ends in the middle page, whose version is read.
  Tree.Find->ClaimShared();
  ELEMENT_INFO Record;
  ASSERT_EQ(MiddlePage->FindElement(FreeElement, &Record, &*Tree.Find, true), MiddlePage);
  const int32_t Version = MiddlePage->CurrentVersion();
  Tree.Find->ReleaseShared();
  // Meanwhile: a child page in that element, with two elements handed out.
  void *First = Small->New();
  void *Second = Small->New();
  ASSERT_EQ(reinterpret_cast<uint64_t>(First), FreeElement);
  // The waiting lookup now files its entry.
  Tree.Find->ClaimShared();
  Tree.Find->UpdateLookaside(FreeElement, MiddlePage, Version);
  int32_t Size = 0;
  EXPECT_TRUE(Tree.Find->DescribeAddress(Second, nullptr, Top, Size));
  EXPECT_EQ(Size, 64) << "the element of the child page, not of the middle page";
  EXPECT_TRUE(Tree.Find->Delete(First, Top));
  ASSERT_EQ(MiddlePage->FindElement(FreeElement, &Record, &*Tree.Find, false), MiddlePage);
  EXPECT_EQ(PAGE::StateOf(Record), ELEMENT_STATE::ChildPage) << "the middle page still lends the element";
  EXPECT_NE(Middle->New(), reinterpret_cast<void *>(FreeElement));
  EXPECT_TRUE(Tree.Find->Delete(Second, Top));
  EXPECT_TRUE(Tree.Find->Delete(Held, Top));
}


TEST(Find, PageMapLevelsOnReusedMemoryReadEmpty) {
  struct DIRTY_BACK_END : TEST_BACK_END {
    void *NewArea(int32_t Mask, int32_t Size, bool User) override {
      void *Area = TEST_BACK_END::NewArea(Mask, Size, User);
      return Area != nullptr ? std::memset(Area, 0xA5, static_cast<size_t>(Size)) : nullptr;
    }
  } BackEnd;
  SYSTEM_FACTS_ATTACHMENT Facts;
  PAGE_MAP Map(&BackEnd);
  Map.SetGranule(12);
  ASSERT_TRUE(Map.Write(5 << 12, reinterpret_cast<PAGE *>(&Facts)));
  int32_t Wrong = 0;  // entries that read filled where none was written, or empty where one was
  for (uint64_t Granule = 0; Granule < (uint64_t{1} << PAGE_MAP::LeafBits); ++Granule)
    Wrong += (Map.Read(Granule << 12) != nullptr) != (Granule == 5) ? 1 : 0;
  EXPECT_EQ(Wrong, 0);
  Map.Release();
}

}  // namespace
