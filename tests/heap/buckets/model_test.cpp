// A long random sequence of allocations and releases through a tree of caches,
// checked against a model of which elements are in use and what they hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "tests/heap/buckets/tree_model.h"

namespace {

struct LIVE {
  int32_t Cache;
  int32_t Size;
  uint32_t Tag;
};

class CACHE_MODEL {
 public:
  explicit CACHE_MODEL(uint32_t Seed) : Random(Seed) {}

  MODEL_TREE Tree{false};
  std::map<uintptr_t, LIVE> Live;

  void Allocate() {
    const int32_t Cache = Pick(static_cast<int32_t>(Tree.Users.size()));
    if (Pick(10) == 0) {
      AllocateBatch(Cache);
      return;
    }
    void *Element = Tree.Users[static_cast<size_t>(Cache)]->New();
    ASSERT_NE(Element, nullptr);
    Adopt(Element, Cache);
  }

  void AllocateBatch(int32_t Cache) {
    void *Array[40];
    const int32_t Wanted = 1 + Pick(40);
    int32_t Count = 0;
    ASSERT_TRUE(Tree.Users[static_cast<size_t>(Cache)]->MultipleNew(Count, Array, Wanted));
    ASSERT_EQ(Count, Wanted);
    for (int32_t Index = 0; Index < Count; ++Index)
      Adopt(Array[Index], Cache);
  }

  void Release() {
    if (Live.empty())
      return;
    auto Victim = Live.begin();
    std::advance(Victim, Pick(static_cast<int32_t>(std::min<size_t>(Live.size(), 64))) * (Live.size() / 64 + 1) % Live.size());
    void *Element = reinterpret_cast<void *>(Victim->first);
    const LIVE Held = Victim->second;
    ASSERT_TRUE(ElementIntact(Element, Held.Size, Held.Tag)) << "bytes of a live element changed";
    CACHE *Owner = Tree.Users[static_cast<size_t>(Held.Cache)];
    if (Pick(8) == 0) {
      // An address inside the element is refused and changes nothing.
      char *Inside = static_cast<char *>(Element) + 1 + Pick(Held.Size - 1);
      EXPECT_FALSE(Tree.Find->Delete(Inside, Tree.Top));
      EXPECT_FALSE(Owner->DeleteInRecentPage(Inside));
    }
    // The middle cache (the last user) never releases another cache's element,
    // not even one inside a child page it lent.
    if (Owner != Tree.Users.back()) {
      EXPECT_FALSE(Tree.Users.back()->DeleteInRecentPage(Element));
    }
    // Through the page the owner used last when that page holds it, else
    // through the lookup, hinted by the owning cache or the top cache.
    CACHE *Hint = Pick(2) == 0 ? Tree.Top : Owner;
    ASSERT_TRUE((Pick(2) == 0 && Owner->DeleteInRecentPage(Element)) || Tree.Find->Delete(Element, Hint));
    EXPECT_FALSE(Owner->DeleteInRecentPage(Element)) << "released twice";
    Live.erase(Victim);
    ASSERT_FALSE(HeldByCaller(Element)) << "a released element still counts as the caller's";
  }

  // After every step: the first and last byte of every live element.
  void CheckEnds() {
    for (const auto &[Address, Held] : Live) {
      const auto *Bytes = reinterpret_cast<const unsigned char *>(Address);
      ASSERT_EQ(Bytes[0], static_cast<unsigned char>(Held.Tag));
      ASSERT_EQ(Bytes[Held.Size - 1], static_cast<unsigned char>(Held.Tag + static_cast<uint32_t>(Held.Size - 1) * 7u));
    }
  }

  // A heap-wide recycling wipe: the caches forget what they hold, every caller
  // element is dropped, pages that hold child pages and the top pages stay.
  void Wipe() {
    for (auto &Cache : Tree.Caches)
      Cache->ResetCache();
    Tree.Store->DeleteAll(true);
    Tree.Top->TrimFreePages(Tree.Heap.FreePageLimit);
    Live.clear();
  }

  void Flush() { Tree.Users[static_cast<size_t>(Pick(static_cast<int32_t>(Tree.Users.size())))]->Flush(); }

  // In use in its page and not waiting in its cache: what a caller holds.
  bool HeldByCaller(void *Element) {
    ELEMENT_INFO Record;
    int32_t Size = 0;
    if (!Tree.Find->DescribeAddress(Element, &Record, Tree.Top, Size))
      return false;
    if (!Record.OnBoundary || (*Record.Word & Record.InUseMask) == 0)
      return false;
    return !Record.Bucket->SearchCache(Element);
  }

  // Every element of every inner page: held by a caller exactly when the model says so.
  void CheckEverything() {
    for (const auto &[Address, Held] : Live) {
      void *Element = reinterpret_cast<void *>(Address);
      ASSERT_TRUE(ElementIntact(Element, Held.Size, Held.Tag));
      ASSERT_TRUE(HeldByCaller(Element));
    }
    size_t CallerElements = 0;
    bool InUse = false;
    void *Address = nullptr;
    int32_t Size = 0;
    while (Tree.Find->WalkHeap(InUse, Address, Tree.Top, Size)) {
      if (!InUse)
        continue;
      ELEMENT_INFO Record;
      int32_t Ignored = 0;
      ASSERT_TRUE(Tree.Find->DescribeAddress(Address, &Record, Tree.Top, Ignored));
      if (Record.Bucket->SearchCache(Address))
        continue;
      const bool InModel = Live.count(reinterpret_cast<uintptr_t>(Address)) != 0;
      ASSERT_TRUE(InModel) << "an element in use that nobody holds: " << Address;
      ++CallerElements;
    }
    // Elements of the top cache are not on inner pages; none are held here.
    ASSERT_EQ(CallerElements, Live.size());
  }

  int32_t Pick(int32_t Range) { return static_cast<int32_t>(Random() % static_cast<uint32_t>(Range)); }

 private:
  void Adopt(void *Element, int32_t Cache) {
    const auto Address = reinterpret_cast<uintptr_t>(Element);
    const int32_t Size = Tree.Users[static_cast<size_t>(Cache)]->AllocationSize;
    ASSERT_EQ(Live.count(Address), 0u) << "handed out twice";
    auto Above = Live.lower_bound(Address);
    if (Above != Live.end()) {
      ASSERT_GE(Above->first, Address + static_cast<uintptr_t>(Size)) << "overlaps the next element";
    }
    if (Above != Live.begin()) {
      auto Below = std::prev(Above);
      ASSERT_LE(Below->first + static_cast<uintptr_t>(Below->second.Size), Address) << "overlaps the previous element";
    }
    ELEMENT_INFO Record;
    int32_t Actual = 0;
    ASSERT_TRUE(Tree.Find->DescribeAddress(Element, &Record, Tree.Top, Actual));
    ASSERT_EQ(Actual, Size);
    ASSERT_EQ(Record.Bucket, Tree.Users[static_cast<size_t>(Cache)]);
    ASSERT_TRUE(Record.OnBoundary);
    const uint32_t Tag = ++Serial;
    FillElement(Element, Size, Tag);
    Live[Address] = LIVE{Cache, Size, Tag};
  }

  std::mt19937 Random;
  uint32_t Serial = 0;
};

TEST(CacheModel, RandomSequenceMatchesTheModelAfterEveryStep) {
  for (uint32_t Seed : {1u, 7u}) {
    SCOPED_TRACE(testing::Message() << "seed " << Seed);
    CACHE_MODEL Model(Seed);
    const bool WithWipe = Seed == 7;
    for (int32_t Step = 0; Step < 8000; ++Step) {
      const int32_t Choice = Model.Pick(100);
      // Grow to about 1000 live elements, then hover there.
      const int32_t AllocateBelow = Model.Live.size() < 1000 ? 60 : 45;
      if (Choice < AllocateBelow)
        Model.Allocate();
      else if (Choice < 99)
        Model.Release();
      else
        Model.Flush();
      if (testing::Test::HasFatalFailure())
        return;
      Model.CheckEnds();
      if (testing::Test::HasFatalFailure())
        return;
      if (WithWipe && Step == 4000) {
        Model.Wipe();
        Model.CheckEverything();
        if (testing::Test::HasFatalFailure())
          return;
      }
      if (Step % 1000 == 999) {
        Model.CheckEverything();
        if (testing::Test::HasFatalFailure())
          return;
      }
    }
    Model.CheckEverything();
    while (!Model.Live.empty())
      Model.Release();
    EXPECT_TRUE(Model.Tree.FlushAll());
    // A recycling wipe keeps pages that it emptied; the next wipe gives them back.
    if (WithWipe)
      Model.Wipe();
    // Everything went back up the tree; only the top cache's allowance of
    // empty pages stays.
    EXPECT_LE(Model.Tree.Top->ActivePages, 2);
    EXPECT_EQ(Model.Tree.Find->PageCount, Model.Tree.Top->ActivePages);
    EXPECT_EQ(Model.Tree.BackEnd.OutstandingUserAreas(), Model.Tree.Top->ActivePages);
  }
}

// The bucket list against the list as written: a page goes in front when no
// listed page lies above it, otherwise just below the first page above it,
// found by a walk up from the lowest. Pages far apart and in sorted runs.
TEST(BucketListModel, RandomInsertionsAndRemovalsMatchTheWrittenList) {
  THREAD_SAFE ThreadSafe(false);
  CACHE Cache(64, 0, 4096, 4096, false, &ThreadSafe);
  std::mt19937_64 Random(11);
  std::vector<uint64_t> Addresses;
  for (uint64_t Index = 0; Index < 1500; ++Index)
    Addresses.push_back(Index < 500 ? 0x7F0000000000 + 0x1000 * Index : (Random() % (1ull << 35)) << 12);
  ADDRESSED_PAGES Loose(Cache, Addresses);
  const std::vector<PAGE *> &Pages = Loose.Pages;
  std::vector<PAGE *> Written;  // first (highest) to last (lowest)
  for (int Step = 0; Step < 12000; ++Step) {
    // A third of the steps take the next page of the sorted run, the rest any page.
    PAGE *Page = Pages[Step % 3 == 0 ? static_cast<size_t>(Step / 3) % 500 : Random() % Pages.size()];
    const auto Found = std::find(Written.begin(), Written.end(), Page);
    if (Found != Written.end()) {
      Cache.DeleteFromBucketList(Page);
      Written.erase(Found);
    } else {
      Cache.InsertInBucketList(Page);
      auto Place = Written.end();
      while (Place != Written.begin() && (*std::prev(Place))->Address <= Page->Address)
        --Place;
      Written.insert(Place, Page);
    }
    // Exact before any waiting page is placed; a look at the order places them.
    ASSERT_EQ(Cache.CurrentPageEnd, Written.empty() ? ~0ull : Written.back()->Address + 4095);
    Cache.LowestPage();
    std::vector<PAGE *> Listed;
    for (CHAIN_LINK *Link = Cache.BucketList.First; Link != nullptr; Link = Link->Next)
      Listed.push_back(PAGE::FromBucketLink(Link));
    ASSERT_EQ(Listed, Written) << "step " << Step;
    ASSERT_EQ(Cache.ActivePages, static_cast<int32_t>(Written.size()));
    ASSERT_EQ(Cache.CurrentPageEnd, Written.empty() ? ~0ull : Written.back()->Address + 4095);
  }
  for (PAGE *Page : Written)
    Cache.DeleteFromBucketList(Page);
  EXPECT_EQ(Cache.OrderRoot, nullptr);
}

}  // namespace
