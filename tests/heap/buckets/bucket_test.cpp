#include "heap/buckets/bucket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <random>
#include <set>
#include <vector>

#include "tests/heap/buckets/tree_model.h"

namespace {

testing::Environment *const TraceFile = testing::AddGlobalTestEnvironment(new TRACE_FILE_ENVIRONMENT("_buckets_tests"));

constexpr const char ConfigurationMessage[] = "Configuration in constructor for BUCKET";
constexpr const char SizeKeyMessage[] = "Bucket can't get a size key in UpdateBucket";
constexpr const char SharingMessage[] = "Sharing violation in UpdateConnections";
constexpr const char ActivePageCountMessage[] = "Active page count in DeleteFromBucketList";

struct GEOMETRY {
  int32_t AllocationSize;
  int32_t ChunkSize;
  int32_t PageSize;
};

// The layout by its definition: whole elements packed into chunks, chunks
// packed into the page, tails unused.
void ExpectMappingMatchesLayout(const GEOMETRY &Geometry) {
  SCOPED_TRACE(testing::Message() << "(" << Geometry.AllocationSize << ", " << Geometry.ChunkSize << ", "
                                  << Geometry.PageSize << ")");
  BUCKET Bucket(Geometry.AllocationSize, Geometry.ChunkSize, Geometry.PageSize);
  const int32_t PerChunk = Geometry.ChunkSize / Geometry.AllocationSize;
  const int32_t Chunks = Geometry.PageSize / Geometry.ChunkSize;
  ASSERT_EQ(Bucket.ElementsPerChunk, PerChunk);
  ASSERT_EQ(Bucket.ElementsPerPage, PerChunk * Chunks);
  ASSERT_EQ(Bucket.WordsPerPage, (PerChunk * Chunks - 1) / 16 + 1);
  std::vector<int32_t> Expected(static_cast<size_t>(Geometry.PageSize), -1);
  std::vector<bool> Starts(static_cast<size_t>(Geometry.PageSize), false);
  for (int32_t Index = 0; Index < Bucket.ElementsPerPage; ++Index) {
    const int32_t Start = (Index / PerChunk) * Geometry.ChunkSize + (Index % PerChunk) * Geometry.AllocationSize;
    ASSERT_EQ(Bucket.AddressOfElement(0x10000000, Index), 0x10000000u + static_cast<uint64_t>(Start)) << Index;
    Starts[static_cast<size_t>(Start)] = true;
    for (int32_t Offset = Start; Offset < Start + Geometry.AllocationSize; ++Offset)
      Expected[static_cast<size_t>(Offset)] = Index;
  }
  int32_t Mismatches = 0;
  for (int32_t Offset = 0; Offset < Geometry.PageSize && Mismatches < 5; ++Offset) {
    bool OnBoundary = true;
    const int32_t Index = Bucket.IndexOfOffset(Offset, OnBoundary);
    const bool Good = Index == Expected[static_cast<size_t>(Offset)] &&
                      OnBoundary == (Index >= 0 && Starts[static_cast<size_t>(Offset)]);
    if (!Good) {
      ++Mismatches;
      ADD_FAILURE() << "offset " << Offset << ": index " << Index << " boundary " << OnBoundary << ", expected "
                    << Expected[static_cast<size_t>(Offset)];
    }
  }
  bool OnBoundary = true;
  EXPECT_EQ(Bucket.IndexOfOffset(-1, OnBoundary), -1);
  EXPECT_FALSE(OnBoundary);
  EXPECT_EQ(Bucket.IndexOfOffset(Geometry.PageSize, OnBoundary), -1);
}

TEST(BucketMapping, WorkedExamples) {
  BUCKET Shift(64, 4096, 4096);
  EXPECT_EQ(Shift.AllocationShift, 6u);
  EXPECT_EQ(Shift.ElementsPerPage, 64);
  EXPECT_EQ(Shift.WordsPerPage, 4);
  EXPECT_EQ(Shift.AddressOfElement(0x40000, 5), 0x40000u + 320);
  bool OnBoundary = true;
  EXPECT_EQ(Shift.IndexOfOffset(321, OnBoundary), 5);
  EXPECT_FALSE(OnBoundary);

  BUCKET Multiply(48, 4096, 4096);
  EXPECT_EQ(Multiply.AllocationShift, 0u);
  EXPECT_EQ(Multiply.ElementsPerPage, 85);
  EXPECT_EQ(Multiply.WordsPerPage, 6);
  EXPECT_EQ(Multiply.IndexOfOffset(4080, OnBoundary), -1) << "the last 16 bytes are never used";

  BUCKET ChunkShift(12, 64, 4096);
  EXPECT_EQ(ChunkShift.ChunkShift, 6u);
  EXPECT_EQ(ChunkShift.ElementsPerChunk, 5);
  EXPECT_EQ(ChunkShift.ElementsPerPage, 320);
  EXPECT_EQ(ChunkShift.WordsPerPage, 20);
  EXPECT_EQ(ChunkShift.AddressOfElement(0, 7), 88u);
  EXPECT_EQ(ChunkShift.IndexOfOffset(88, OnBoundary), 7);
  EXPECT_TRUE(OnBoundary);
  // The first byte of a chunk's tail would name the next chunk's first element.
  EXPECT_EQ(ChunkShift.IndexOfOffset(60, OnBoundary), -1);
  EXPECT_FALSE(OnBoundary);

  BUCKET ChunkMultiply(24, 100, 4096);
  EXPECT_EQ(ChunkMultiply.ElementsPerChunk, 4);
  EXPECT_EQ(ChunkMultiply.ElementsPerPage, 160);
  EXPECT_EQ(ChunkMultiply.AddressOfElement(0, 4), 100u);
  EXPECT_EQ(ChunkMultiply.IndexOfOffset(96, OnBoundary), -1);
  EXPECT_EQ(ChunkMultiply.IndexOfOffset(100, OnBoundary), 4);
  EXPECT_TRUE(OnBoundary);
}

TEST(BucketMapping, EveryOffsetOfAPageMapsAsTheLayoutSays) {
  const GEOMETRY Geometries[] = {{64, 4096, 4096},   {48, 4096, 4096},   {12, 64, 4096},     {24, 100, 4096},
                                 {255, 4096, 4096},  {4, 32, 4096},      {20, 64, 4096},     {96, 288, 8192},
                                 {1000, 3000, 65536}, {4096, 65536, 65536}, {65536, 65536, 65536},
                                 {5120, 65536, 65536}, {21504, 65536, 65536}, {12, 40, 4096}};
  for (const GEOMETRY &Geometry : Geometries)
    ExpectMappingMatchesLayout(Geometry);
}

TEST(BucketMapping, ImpossibleGeometriesAreRefused) {
  EXPECT_TRUE(RaisesFailure([] { BUCKET Bucket(96, 64, 4096); }, ConfigurationMessage));
  EXPECT_TRUE(RaisesFailure([] { BUCKET Bucket(64, 64, 3000); }, ConfigurationMessage));
  EXPECT_TRUE(RaisesFailure([] { BUCKET Bucket(0, 64, 4096); }, ConfigurationMessage));
  EXPECT_TRUE(RaisesFailure([] { BUCKET Bucket(64, 8192, 4096); }, ConfigurationMessage));
  // Counts within a page are 16-bit: 32,768 elements do not fit.
  EXPECT_TRUE(RaisesFailure([] { BUCKET Bucket(2, 2, 65536); }, ConfigurationMessage));
  EXPECT_TRUE(RaisesFailure([] { BUCKET Bucket(32, 32, 1 << 20); }, ConfigurationMessage));
  EXPECT_TRUE(RaisesFailure([] { BUCKET Bucket(4, 4, 131072); }, ConfigurationMessage));
  BUCKET Large(5, 5, 131072);
  EXPECT_EQ(Large.ElementsPerPage, 26214);
}

}  // namespace

namespace {

// Descriptors for pages at made-up addresses, for the list operations.
struct LOOSE_PAGES {
  alignas(PAGE) unsigned char Storage[8][512];
  PAGE *Make(int Slot, uint64_t Address, CACHE *Owner) {
    return new (Storage[Slot]) PAGE(Address, Owner, -1, NoBucket(), 2);
  }
};

TEST(BucketList, KeepsDescendingAddressOrderAndTheCurrentPageEnd) {
  THREAD_SAFE ThreadSafe(false);
  CACHE Cache(64, 0, 4096, 4096, false, &ThreadSafe);
  LOOSE_PAGES Pages;
  EXPECT_EQ(Cache.CurrentPageEnd, ~0ull);
  PAGE *High = Pages.Make(0, 0x30000, &Cache);
  PAGE *Low = Pages.Make(1, 0x10000, &Cache);
  PAGE *Middle = Pages.Make(2, 0x20000, &Cache);
  Cache.InsertInBucketList(High);
  Cache.InsertInBucketList(Low);
  Cache.InsertInBucketList(Middle);
  EXPECT_EQ(Cache.ActivePages, 3);
  std::vector<uint64_t> Visited;
  for (PAGE *Page = Cache.LowestPage(); Page != nullptr; Page = BUCKET::HigherPage(Page))
    Visited.push_back(Page->Address);
  EXPECT_EQ(Visited, (std::vector<uint64_t>{0x10000, 0x20000, 0x30000}));
  EXPECT_EQ(Cache.CurrentPageEnd, 0x10000u + 4096 - 1);
  Cache.DeleteFromBucketList(Low);
  EXPECT_EQ(Cache.CurrentPageEnd, 0x20000u + 4096 - 1);
  PAGE *Lowest = Pages.Make(3, 0x08000, &Cache);
  PAGE *Highest = Pages.Make(4, 0x50000, &Cache);
  Cache.InsertInBucketList(Highest);
  Cache.InsertInBucketList(Lowest);
  Visited.clear();
  for (PAGE *Page = Cache.LowestPage(); Page != nullptr; Page = BUCKET::HigherPage(Page))
    Visited.push_back(Page->Address);
  EXPECT_EQ(Visited, (std::vector<uint64_t>{0x08000, 0x20000, 0x30000, 0x50000}));
  for (PAGE *Page : {Lowest, Middle, High, Highest})
    Cache.DeleteFromBucketList(Page);
  EXPECT_EQ(Cache.CurrentPageEnd, ~0ull);
  EXPECT_TRUE(RaisesFailure([&] { Cache.DeleteFromBucketList(Low); }, ActivePageCountMessage));
}

// Pages come and go in random order; the list always runs in address order,
// wherever a page lands among the others.
TEST(BucketList, RandomInsertionsAndRemovalsKeepTheOrder) {
  THREAD_SAFE ThreadSafe(false);
  CACHE Cache(64, 0, 4096, 4096, false, &ThreadSafe);
  std::vector<uint64_t> Addresses;
  for (uint64_t Index = 0; Index < 200; ++Index)
    Addresses.push_back(0x100000 + 0x1000 * Index);
  ADDRESSED_PAGES Loose(Cache, Addresses);
  const std::vector<PAGE *> &Pages = Loose.Pages;
  std::mt19937 Random(5);
  std::vector<PAGE *> Listed;
  for (int Step = 0; Step < 4000; ++Step) {
    PAGE *Page = Pages[Random() % Pages.size()];
    const auto Found = std::find(Listed.begin(), Listed.end(), Page);
    if (Found == Listed.end()) {
      Cache.InsertInBucketList(Page);
      Listed.push_back(Page);
    } else {
      Cache.DeleteFromBucketList(Page);
      Listed.erase(Found);
    }
    std::vector<uint64_t> Expected;
    for (PAGE *Kept : Listed)
      Expected.push_back(Kept->Address);
    std::sort(Expected.begin(), Expected.end());
    std::vector<uint64_t> Visited;
    for (PAGE *Kept = Cache.LowestPage(); Kept != nullptr; Kept = BUCKET::HigherPage(Kept))
      Visited.push_back(Kept->Address);
    ASSERT_EQ(Visited, Expected) << "step " << Step;
    ASSERT_EQ(Cache.ActivePages, static_cast<int32_t>(Listed.size()));
    ASSERT_EQ(Cache.CurrentPageEnd, Listed.empty() ? ~0ull : Expected.front() + 4095);
  }
  for (PAGE *Page : Listed)
    Cache.DeleteFromBucketList(Page);
}

// Pages that come and go between looks at the order wait for their places:
// the count and the lowest page's end are exact after every change, and each
// look finds every listed page in order.
TEST(BucketList, PagesListedBetweenLooksKeepTheEndExactAndTheOrder) {
  THREAD_SAFE ThreadSafe(false);
  CACHE Cache(64, 0, 4096, 4096, false, &ThreadSafe);
  std::vector<uint64_t> Addresses;
  for (uint64_t Index = 0; Index < 300; ++Index)
    Addresses.push_back(0x200000 + 0x1000 * (Index * 97 % 300));
  ADDRESSED_PAGES Loose(Cache, Addresses);
  std::mt19937 Random(9);
  std::set<uint64_t> Listed;
  for (int Step = 0; Step < 6000; ++Step) {
    PAGE *Page = Loose.Pages[Random() % Loose.Pages.size()];
    if (Listed.erase(Page->Address) != 0) {
      Cache.DeleteFromBucketList(Page);
    } else {
      Cache.InsertInBucketList(Page);
      Listed.insert(Page->Address);
    }
    ASSERT_EQ(Cache.ActivePages, static_cast<int32_t>(Listed.size()));
    ASSERT_EQ(Cache.CurrentPageEnd, Listed.empty() ? ~0ull : *Listed.begin() + 4095) << "step " << Step;
    if (Random() % 16 != 0)
      continue;
    std::vector<uint64_t> Visited;
    for (PAGE *Kept = Cache.LowestPage(); Kept != nullptr; Kept = BUCKET::HigherPage(Kept))
      Visited.push_back(Kept->Address);
    ASSERT_EQ(Visited, std::vector<uint64_t>(Listed.begin(), Listed.end())) << "step " << Step;
  }
  for (PAGE *Page : Loose.Pages)
    if (Listed.count(Page->Address) != 0)
      Cache.DeleteFromBucketList(Page);
  EXPECT_EQ(Cache.ActivePages, 0);
  EXPECT_EQ(Cache.OrderRoot, nullptr);
}

TEST(BucketConnections, SizeKeyAndSharingAreChecked) {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe(false);
  const int32_t Small[] = {1, 4};
  NEW_PAGES Store(Small, &BackEnd, 2, &ThreadSafe);
  NEW_PAGES Other(Small, &BackEnd, 2, &ThreadSafe);
  CACHE Fits(64, 0, 4096, 4096, false, &ThreadSafe);  // 64 elements: class 1
  CACHE TooMany(16, 0, 4096, 4096, false, &ThreadSafe);  // 256 elements
  CACHE Parent(4096, 0, 65536, 65536, false, &ThreadSafe);
  HEAP Heap;
  EXPECT_TRUE(RaisesFailure([&] { TooMany.UpdateBucket(&Heap, &Store, NoBucket(), nullptr, nullptr); }, SizeKeyMessage));
  EXPECT_EQ(TooMany.SizeKey, -1);
  Fits.UpdateBucket(&Heap, &Store, &Parent, nullptr, nullptr);
  EXPECT_EQ(Fits.SizeKey, 1);
  EXPECT_TRUE(Fits.Connected);
  // A second connection must agree on the store, the parent and the shared lookup.
  Fits.UpdateBucket(nullptr, &Store, &Parent, nullptr, nullptr);
  EXPECT_EQ(Fits.Heap, &Heap) << "a later heap is neither compared nor stored";
  EXPECT_TRUE(RaisesFailure([&] { Fits.UpdateBucket(&Heap, &Other, &Parent, nullptr, nullptr); }, SharingMessage));
  EXPECT_TRUE(RaisesFailure([&] { Fits.UpdateBucket(&Heap, &Store, NoBucket(), nullptr, nullptr); }, SharingMessage));
}

TEST(BucketPages, PartialBatchIsCompactedToTheFrontInOrder) {
  TEST_TREE Tree;
  CACHE *Top = Tree.Add(16384, 0, 16384, 65536, false, nullptr);  // four elements per page
  Tree.Register();
  Tree.BackEnd.GrantsLeft = 2;  // one descriptor area and one page
  void *Array[10] = {};
  int32_t Count = -1;
  EXPECT_TRUE(Top->BUCKET::MultipleNew(Count, Array, 10));
  ASSERT_EQ(Count, 4);
  for (int32_t Index = 0; Index < 3; ++Index)
    EXPECT_EQ(static_cast<char *>(Array[Index]), static_cast<char *>(Array[Index + 1]) + 16384)
        << "the lowest address ends last, nearest the top of a stack";
  EXPECT_FALSE(Top->BUCKET::MultipleNew(Count, Array, 10));
  EXPECT_EQ(Count, 0);
  Tree.BackEnd.GrantsLeft = -1;
}

TEST(BucketPages, StaleVersionIsRefused) {
  TEST_TREE Tree(false, 0, 4);
  CACHE *Top = Tree.Add(32768, 0, 32768, 65536, false, nullptr);
  Tree.Register();
  void *Element = Top->New();
  ASSERT_NE(Element, nullptr);
  PAGE *Page = Top->FindPage(reinterpret_cast<uint64_t>(Element), &*Tree.Find);
  ASSERT_NE(Page, nullptr);
  const int32_t Stale = Page->CurrentVersion() - 2;
  EXPECT_FALSE(Top->Delete(Element, Page, Stale));
  EXPECT_EQ(Page->Allocated, 1);
  EXPECT_TRUE(Top->Delete(Element, Page, Page->CurrentVersion()));
  EXPECT_EQ(Page->Allocated, 0);
}

TEST(BucketPages, TrimFreePagesReleasesTheHighestEmptyPagesOnly) {
  TEST_TREE Tree(false, 0, 100);  // empty top pages stay until trimmed
  CACHE *Top = Tree.Add(32768, 0, 32768, 65536, false, nullptr);
  Tree.Register();
  std::vector<void *> Elements;
  for (int Index = 0; Index < 10; ++Index)
    Elements.push_back(Top->New());
  std::vector<PAGE *> Pages;
  for (void *Element : Elements) {
    PAGE *Page = Top->FindPage(reinterpret_cast<uint64_t>(Element), &*Tree.Find);
    if (std::find(Pages.begin(), Pages.end(), Page) == Pages.end())
      Pages.push_back(Page);
  }
  ASSERT_EQ(Pages.size(), 5u);
  std::sort(Pages.begin(), Pages.end(), [](PAGE *A, PAGE *B) { return A->Address < B->Address; });
  // The two lowest pages keep one element each, the three highest are emptied.
  for (void *Element : Elements) {
    PAGE *Page = Top->FindPage(reinterpret_cast<uint64_t>(Element), &*Tree.Find);
    const bool Lowest = Page == Pages[0] || Page == Pages[1];
    if (!Lowest || reinterpret_cast<uint64_t>(Element) != Page->Address) {
      ASSERT_TRUE(Tree.Find->Delete(Element, Top));
    }
  }
  ASSERT_EQ(Top->ActivePages, 5);
  const int32_t Before = Tree.BackEnd.OutstandingUserAreas();
  Top->TrimFreePages(2);
  EXPECT_EQ(Top->ActivePages, 2);
  EXPECT_EQ(Tree.BackEnd.OutstandingUserAreas(), Before - 3);
  EXPECT_EQ(Top->LowestPage(), Pages[0]);
  EXPECT_EQ(BUCKET::HigherPage(Pages[0]), Pages[1]);
  Top->TrimFreePages(0);
  EXPECT_EQ(Top->ActivePages, 2) << "pages in use are never touched";
}

}  // namespace
