// The heap's operations through the front end: routing by size, hints,
// resizing, checks and walks, heap-wide claims, argument checks and failure
// values, containment of failures, memory given back, and heaps that share the
// process-wide lookup.
#include "heap/frontend/duzovev_front_end.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "heap/buckets/cache.h"
#include "heap/core/heap.h"
#include "heap/frontend/process_objects.h"
#include "heap/support/hybrid_lock.h"
#include "heap/support/thread_safe.h"
#include "tests/heap/frontend/frontend_test_support.h"

namespace {

testing::Environment *const TraceFile =
    testing::AddGlobalTestEnvironment(new TRACE_FILE_ENVIRONMENT("_frontend_tests"));

void *Filled(void *Element, int32_t Size, unsigned char Byte) {
  std::memset(Element, Byte, static_cast<size_t>(Size));
  return Element;
}

bool AllBytes(const void *Element, int32_t From, int32_t To, unsigned char Byte) {
  for (int32_t Index = From; Index < To; ++Index)
    if (static_cast<const unsigned char *>(Element)[Index] != Byte)
      return false;
  return true;
}

TEST(FrontEnd, NewRoutesEachSizeToItsCache) {
  TEST_BACK_END BackEnd;
  TEST_HEAP Heap(&BackEnd);
  ASSERT_TRUE(Heap.Usable());
  int32_t Actual = 0;
  // A released element comes back dirty; the zero fill covers its whole size.
  void *Dirty = Filled(Heap.New(100), 112, 0xAA);
  ASSERT_TRUE(Heap.Delete(Dirty, 100));
  void *Element = Heap.New(100, &Actual, true);
  EXPECT_EQ(Element, Dirty);
  EXPECT_EQ(Actual, 112);
  EXPECT_TRUE(AllBytes(Element, 0, 112, 0));
  const struct {
    int32_t Size;
    int32_t Actual;
  } Routes[] = {{0, 4}, {1, 4}, {5, 8}, {13, 16}, {961, 1024}, {1025, 2048}, {3000, 3072}, {10241, 12288},
                {21505, 32768}, {32768, 32768}, {32769, 32769}, {300000, 300000}};
  for (const auto &Route : Routes) {
    void *Allocation = Heap.New(Route.Size, &Actual);
    ASSERT_NE(Allocation, nullptr) << Route.Size;
    EXPECT_EQ(Actual, Route.Actual) << Route.Size;
    int32_t Checked = 0;
    EXPECT_TRUE(Heap.CheckAddress(Allocation, &Checked));
    EXPECT_EQ(Checked, Route.Actual);
    EXPECT_TRUE(Heap.Delete(Allocation, Route.Size));
  }
  EXPECT_TRUE(Heap.Delete(Element, 0));
}

TEST(FrontEnd, ReleasesFindEveryAllocationWhateverTheHint) {
  TEST_BACK_END BackEnd;
  TEST_HEAP Heap(&BackEnd);
  void *Small = Heap.New(24);
  void *Middle = Heap.New(5000);
  void *Large = Heap.New(70000);
  EXPECT_TRUE(Heap.Delete(Small, 9000)) << "a wrong hint";
  EXPECT_TRUE(Heap.Delete(Middle, -5)) << "no hint";
  EXPECT_TRUE(Heap.Delete(Large, 70000));
  EXPECT_FALSE(Heap.Delete(Small, 24)) << "released already";
  int OnTheStack = 0;
  EXPECT_FALSE(Heap.Delete(&OnTheStack, 4)) << "not an allocation";
  // A batch with bad addresses among good ones releases every good one.
  std::vector<void *> Batch;
  for (int Index = 0; Index < 6; ++Index)
    Batch.push_back(Heap.New(64));
  Batch.insert(Batch.begin() + 2, static_cast<char *>(Batch[1]) + 8);
  Batch.push_back(&OnTheStack);
  EXPECT_FALSE(Heap.MultipleDelete(static_cast<int32_t>(Batch.size()), Batch.data(), 64));
  for (void *Address : Batch)
    EXPECT_FALSE(Heap.CheckAddress(Address));
}

// A 112-byte element resized to 200 bytes (target 224) and to 50 (target 56)
// under every kind of threshold.
TEST(FrontEnd, ResizeMovesAsTheThresholdSays) {
  TEST_BACK_END BackEnd;
  TEST_HEAP Heap(&BackEnd);
  const struct {
    int32_t NewSize;
    int32_t Threshold;
    bool Moves;
    bool Refused;
    int32_t Actual;
  } Cases[] = {{200, 0, false, true, 0},   {200, -1, true, false, 224}, {200, 64, true, false, 224},
               {200, 200, false, true, 0}, {50, 0, false, false, 112},  {50, -32, true, false, 56},
               {50, -100, false, false, 112}};
  for (const auto &Case : Cases) {
    SCOPED_TRACE(testing::Message() << "to " << Case.NewSize << " with threshold " << Case.Threshold);
    void *Element = Filled(Heap.New(100), 112, 0x5C);
    int32_t Actual = 0;
    void *Result = Heap.Resize(Element, Case.NewSize, Case.Threshold, &Actual, false, true);
    if (Case.Refused) {
      EXPECT_EQ(Result, nullptr);
      EXPECT_TRUE(Heap.CheckAddress(Element)) << "unchanged";
      EXPECT_TRUE(Heap.Delete(Element, 100));
      continue;
    }
    EXPECT_EQ(Result != Element, Case.Moves);
    EXPECT_EQ(Actual, Case.Actual);
    const int32_t Copied = Case.NewSize < 112 ? Case.NewSize : 112;
    EXPECT_TRUE(AllBytes(Result, 0, Copied, 0x5C));
    if (Case.Moves) {
      EXPECT_TRUE(AllBytes(Result, Copied, Case.Actual, 0)) << "zero-filled behind the copy";
      EXPECT_FALSE(Heap.CheckAddress(Element)) << "the old allocation was released";
    }
    EXPECT_TRUE(Heap.Delete(Result, 0));
  }
  // KeepOld leaves the old allocation to the caller.
  void *Old = Heap.New(100);
  void *New = Heap.Resize(Old, 5000, 1, nullptr, true, false);
  ASSERT_NE(New, nullptr);
  EXPECT_TRUE(Heap.CheckAddress(Old));
  // An address that is not the first byte of a live allocation is refused and
  // costs nothing: the heap stays usable.
  int OnTheStack = 0;
  for (void *Bad : {static_cast<void *>(static_cast<char *>(Old) + 16), static_cast<void *>(&OnTheStack)})
    EXPECT_EQ(Heap.Resize(Bad, 3000, 1, nullptr, false, false), nullptr);
  ASSERT_TRUE(Heap.Delete(Old, 100));
  EXPECT_EQ(Heap.Resize(Old, 3000, 1, nullptr, false, false), nullptr) << "released already";
  EXPECT_TRUE(Heap.Usable());
  EXPECT_TRUE(Heap.Delete(New, 0));
  EXPECT_TRUE(Heap.Failures.empty());
}

TEST(FrontEnd, ElementsWaitingInACacheAreFreeToChecksAndWalks) {
  TEST_BACK_END BackEnd;
  TEST_HEAP Heap(&BackEnd);
  std::vector<void *> Elements;
  for (int Index = 0; Index < 8; ++Index)
    Elements.push_back(Heap.New(64));
  EXPECT_FALSE(Heap.CheckAddress(static_cast<char *>(Elements[0]) + 1)) << "the second byte";
  ASSERT_TRUE(Heap.Delete(Elements[3], 64));  // onto the ready stack
  EXPECT_FALSE(Heap.CheckAddress(Elements[3]));
  std::set<void *> InUse;
  bool Used = false;
  void *Address = nullptr;
  int32_t Size = 0;
  ASSERT_TRUE(Heap.WalkHeap(&Used, &Address, &Size)) << "a walk from 0 yields the heap's first element";
  do {
    if (Used)
      InUse.insert(Address);
  } while (Heap.WalkHeap(&Used, &Address, &Size));
  std::set<void *> Expected(Elements.begin(), Elements.end());
  Expected.erase(Elements[3]);
  EXPECT_EQ(InUse, Expected);
}

// A batch cut short leaves null behind its count, from a cache and from the
// large sizes; any byte of a large allocation is found.
TEST(FrontEnd, ShortBatchesLeaveNullAndTheInsideOfALargeAllocationIsFound) {
  for (const int32_t Size : {16384, 100000}) {
    TEST_BACK_END BackEnd;
    TEST_HEAP Heap(&BackEnd);
    void *Array[64];
    std::fill(std::begin(Array), std::end(Array), &Heap);
    int32_t Count = 0;
    BackEnd.GrantsLeft = 3;
    EXPECT_TRUE(!Heap.MultipleNew(&Count, Array, 64, Size) && Count > 0 && Heap.MultipleDelete(Count, Array, Size));
    EXPECT_EQ(std::count(Array + Count, std::end(Array), nullptr), 64 - Count) << Size;
  }
  TEST_BACK_END BackEnd;
  TEST_HEAP Heap(&BackEnd);
  char *Large = static_cast<char *>(Heap.New(300000));
  int32_t Size = 0;
  EXPECT_TRUE(Heap.Contains(Large + 70000) && Heap.DescribeAddress(Large + 299999, &Size) && Size == 300000);
  EXPECT_FALSE(Heap.Contains(Large + 300000) || Heap.CheckAddress(Large + 70000) || Heap.Delete(Large + 70000));
}

TEST(FrontEnd, NestedHeapWideClaimsAreReleasedByTheOutermostRelease) {
  TEST_BACK_END BackEnd;
  TEST_HEAP Heap(&BackEnd);
  THREAD_SAFE &Global = *Heap.Core()->ThreadSafe;
  CACHE &FirstCache = *Heap.Core()->Caches[0];
  Heap.ClaimAllLocks();
  Heap.ClaimAllLocks();
  EXPECT_NE(Heap.New(4), nullptr) << "the engaged thread passes every lock";
  Heap.ReleaseAllLocks();
  EXPECT_EQ(FirstCache.Lock.Locked.load(), 1) << "still held after the inner release";
  EXPECT_NE(Global.Owner.load(), -1);
  Heap.ReleaseAllLocks();
  EXPECT_EQ(FirstCache.Lock.Locked.load(), 0);
  EXPECT_EQ(Global.Owner.load(), -1);
  EXPECT_TRUE(Heap.Usable());
}

TEST(FrontEnd, ArgumentChecksAndTheValuesOfAnUnusableHeap) {
  TEST_BACK_END BackEnd;
  TEST_HEAP Heap(&BackEnd);
  void *Element = Heap.New(64);
  void *Array[4] = {};
  int32_t Count = -1;
  int32_t Actual = 0;
  bool Used = false;
  void *Address = nullptr;
  int32_t Size = 0;
  EXPECT_EQ(Heap.New(-1), nullptr);
  EXPECT_EQ(Heap.Resize(Element, -1, 1), nullptr);
  EXPECT_FALSE(Heap.MultipleDelete(0, &Element, 64));
  EXPECT_FALSE(Heap.MultipleDelete(1, nullptr, 64));
  EXPECT_FALSE(Heap.MultipleNew(&Count, nullptr, 4, 64));
  EXPECT_FALSE(Heap.MultipleNew(&Count, Array, 0, 64));
  EXPECT_FALSE(Heap.MultipleNew(&Count, Array, 4, -1));
  EXPECT_TRUE(Heap.MultipleNew(&Count, Array, 4, 0, &Actual));
  EXPECT_EQ(Count, 4);
  EXPECT_EQ(Actual, 4) << "a size of 0 is served as 1";
  EXPECT_TRUE(Heap.MultipleDelete(4, Array, 4));
  EXPECT_TRUE(Heap.CheckAddress(nullptr));
  EXPECT_FALSE(Heap.WalkHeap(nullptr, &Address, &Size));
  EXPECT_FALSE(Heap.WalkHeap(&Used, nullptr, &Size));
  EXPECT_FALSE(Heap.WalkHeap(&Used, &Address, nullptr));
  EXPECT_EQ(Heap.NewPermanentArea(0), nullptr);
  EXPECT_NE(Heap.NewPermanentArea(100), nullptr);
  void *FromResize = Heap.Resize(nullptr, 100, 1, &Actual);
  EXPECT_NE(FromResize, nullptr) << "a null address is a New";
  EXPECT_EQ(Actual, 112);
  EXPECT_TRUE(Heap.Usable());

  // Only two coarse records: unusable from the start, and every operation
  // gives its failure value without touching anything.
  const CACHE_DESCRIPTION TwoCoarse[] = {{65536, 0, 65536, 65536}, {65536, 0, 65536, 65536}, {0, 0, 0, 0}};
  TEST_BACK_END Other;
  DUZOVEV_FRONT_END Broken(FAST_HEAP::FineCaches, TwoCoarse, 8192, 0, 4096, 1048576, FAST_HEAP::VectorSizes, &Other,
                           true, false, 4, 1024, true);
  EXPECT_FALSE(Broken.Usable());
  EXPECT_EQ(Other.GrantedAreas(), 0);
  EXPECT_EQ(Broken.New(64), nullptr);
  EXPECT_EQ(Broken.Resize(nullptr, 64, 1), nullptr);
  EXPECT_FALSE(Broken.CheckAddress(nullptr));
  EXPECT_FALSE(Broken.Delete(Element));
  EXPECT_FALSE(Broken.DescribeAddress(Element));
  EXPECT_FALSE(Broken.Contains(Element));
  EXPECT_FALSE(Broken.MultipleNew(&Count, Array, 4, 64));
  EXPECT_FALSE(Broken.TrimHeap(0));
  EXPECT_FALSE(Broken.WalkHeap(&Used, &Address, &Size));
  EXPECT_EQ(Broken.NewPermanentArea(64), nullptr);
  Broken.DeleteAll(true);
  Broken.ClaimAllLocks();
  Broken.ReleaseAllLocks();
  EXPECT_EQ(Other.GrantedAreas(), 0);
}

// A back end that throws something other than a failure message, or fails to release.
class THROWING_BACK_END : public TEST_BACK_END {
 public:
  bool Throw = false;
  bool FailReleases = false;
  void *NewArea(int32_t AlignMask, int32_t Size, bool UserSpace) override {
    if (Throw)
      throw std::bad_alloc();
    return TEST_BACK_END::NewArea(AlignMask, Size, UserSpace);
  }
  void DeleteArea(void *Address, int32_t Size, bool UserSpace) override {
    if (FailReleases)
      SoftwareFailure("Delete fails in DeleteArea");
    TEST_BACK_END::DeleteArea(Address, Size, UserSpace);
  }
};

// A failure ends a heap-wide section in DeleteAll, by another thread's refused
// release, or in the owner's operation while a thread waits: no lock stays held.
TEST(FrontEnd, AFailureInAHeapWideSectionLeavesNoLockHeld) {
  const char *const Told[] = {"Delete fails in DeleteArea", "No claim before release in ReleaseGlobalLock",
                              "Alignment of allocation in VerifyNewArea"};
  for (int Case = 0; Case < 3; ++Case) {
    SCOPED_TRACE(Told[Case]);
    THROWING_BACK_END BackEnd;
    TEST_HEAP Heap(&BackEnd);
    HEAP &Core = *Heap.Core();
    BackEnd.FailReleases = Heap.New(300000) != nullptr && Case == 0;
    Case == 0 ? Heap.DeleteAll(false) : Heap.ClaimAllLocks();
    void *Waited = nullptr;
    std::thread Other([&] { Case == 1 ? Heap.ReleaseAllLocks() : (void)(Waited = Heap.New(100)); });
    while (Case == 2 && Core.FindCache(100)->Lock.Sleeping.load() == 0)
      std::this_thread::yield();  // until it waits for the claim
    if (Case == 2) {
      BackEnd.Misalignment = 4096;
      EXPECT_EQ(Heap.New(300000), nullptr);
    }
    Other.join();
    Heap.ReleaseAllLocks();  // a claim of its caller goes back even on an unusable heap
    EXPECT_EQ(Waited, nullptr);
    EXPECT_TRUE(Core.ThreadSafe->GlobalLock.Locked == 0 && Core.Caches[Core.CacheCount - 1]->Lock.Locked == 0);
    EXPECT_EQ(Heap.Failures, std::vector<std::string>{Told[Case]});
  }
}

TEST(FrontEnd, TheFirstFailureMakesTheHeapUnusableAndIsToldOnce) {
  const struct {
    const char *What;
    int32_t Misalignment;
    bool Throw;
    const char *Told;
  } Cases[] = {{"a misaligned page", 4096, false, "Alignment of allocation in VerifyNewArea"},
               {"a foreign exception", 0, true, "(unknown exception type)"}};
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.What);
    THROWING_BACK_END BackEnd;
    TEST_HEAP Heap(&BackEnd);
    ASSERT_TRUE(Heap.Usable());
    BackEnd.Misalignment = Case.Misalignment;
    BackEnd.Throw = Case.Throw;
    EXPECT_EQ(Heap.New(100), nullptr);
    EXPECT_FALSE(Heap.Usable());
    EXPECT_EQ(Heap.Failures, std::vector<std::string>{Case.Told});
    // From now on nothing reaches the layers below, whatever the back end does.
    BackEnd.Misalignment = 0;
    BackEnd.Throw = false;
    const int32_t Granted = BackEnd.GrantedAreas();
    EXPECT_EQ(Heap.New(100), nullptr);
    EXPECT_FALSE(Heap.CheckAddress(nullptr));
    EXPECT_FALSE(Heap.TrimHeap(0));
    EXPECT_EQ(BackEnd.GrantedAreas(), Granted);
    EXPECT_EQ(Heap.Failures.size(), 1u);
  }
}

// The back end refuses the n-th request and every one after it, for every n
// up to the requests of a construction and a small workload: the heap is
// unusable or gives null and false, never fails, and gives back all it took.
TEST(FrontEnd, RefusedMemoryAtEveryRequestIsContained) {
  const auto Workload = [](TEST_HEAP &Heap) {
    std::vector<void *> Held;
    for (int32_t Size : {8, 64, 700, 3000, 40000, 100000, 8, 64})
      if (void *Element = Heap.New(Size))
        Held.push_back(Element);
    void *Array[16];
    int32_t Count = 0;
    Heap.MultipleNew(&Count, Array, 16, 48);
    for (int32_t Index = 0; Index < Count; ++Index)
      Held.push_back(Array[Index]);
    if (!Held.empty())
      if (void *Moved = Heap.Resize(Held.back(), 9000, 1))
        Held.back() = Moved;
    for (void *Element : Held)
      EXPECT_TRUE(Heap.Delete(Element));
    return Heap.TrimHeap(0);
  };
  int32_t Needed = 0;
  {
    TEST_BACK_END Counting;
    TEST_HEAP Heap(&Counting);
    EXPECT_TRUE(Workload(Heap));
    Needed = Counting.GrantedAreas();
  }
  ASSERT_GT(Needed, 5);
  for (int32_t Grants = 0; Grants <= Needed; ++Grants) {
    SCOPED_TRACE(testing::Message() << "refusing from request " << Grants + 1);
    TEST_BACK_END BackEnd;
    BackEnd.GrantsLeft = Grants;
    {
      TEST_HEAP Heap(&BackEnd);
      if (Heap.Usable())
        Workload(Heap);
      EXPECT_TRUE(Heap.Failures.empty());
      if (!Heap.Usable()) {
        EXPECT_EQ(BackEnd.OutstandingAreas(), 0) << "a heap that could not be built keeps nothing";
      }
    }
    EXPECT_EQ(BackEnd.OutstandingAreas(), 0);
  }
}

TEST(FrontEnd, MemoryGoesBackAfterTrimmingAndAfterAWipe) {
  TEST_BACK_END BackEnd;
  TEST_HEAP Heap(&BackEnd);
  const int32_t Bookkeeping = BackEnd.OutstandingAreas();  // block, lookup, store, tables
  std::vector<void *> Held;
  for (int Round = 0; Round < 40; ++Round)
    for (int32_t Size : {16, 200, 960, 2000, 5000, 30000, 50000})
      Held.push_back(Heap.New(Size));
  EXPECT_GT(BackEnd.OutstandingUserAreas(), 16);
  for (void *Element : Held)
    ASSERT_TRUE(Heap.Delete(Element));
  EXPECT_TRUE(Heap.TrimHeap(0));
  EXPECT_EQ(BackEnd.OutstandingUserAreas(), 0) << "no page stays";
  const int32_t Kept = BackEnd.OutstandingAreas();
  EXPECT_GE(Kept, Bookkeeping);
  // What stays besides the bookkeeping is the store's own: descriptor areas
  // and the caches' permanent arrays.
  EXPECT_LE(Kept - Bookkeeping, 8);
  // A wipe keeping memory leaves at most the free-page limit of top pages.
  Held.clear();
  for (int Round = 0; Round < 40; ++Round)
    for (int32_t Size : {16, 960, 30000, 50000})
      Held.push_back(Heap.New(Size));
  Heap.DeleteAll(true);
  EXPECT_LE(BackEnd.OutstandingUserAreas(), Heap.Core()->FreePageLimit);
  for (void *Element : Held)
    EXPECT_FALSE(Heap.CheckAddress(Element)) << "forgotten";
  void *After = Heap.New(30000);
  EXPECT_TRUE(Heap.CheckAddress(After));
  Heap.DeleteAll(false);
  EXPECT_EQ(BackEnd.OutstandingUserAreas(), 0);
  EXPECT_TRUE(Heap.Usable());
  EXPECT_TRUE(Heap.Failures.empty());
}

TEST(FrontEnd, SingleImageHeapsShareOneLookupThatGoesWithTheLastOfThem) {
  TEST_BACK_END BackEnd;
  auto First = std::make_unique<TEST_HEAP>(&BackEnd, true, true, true);
  auto Second = std::make_unique<TEST_HEAP>(&BackEnd, true, true, true);
  ASSERT_TRUE(First->Usable() && Second->Usable());
  EXPECT_EQ(First->Core()->ProcessFind, Second->Core()->ProcessFind);
  std::vector<void *> FromFirst, FromSecond;
  for (int32_t Size : {8, 100, 3000, 40000}) {
    FromFirst.push_back(First->New(Size));
    FromSecond.push_back(Second->New(Size));
  }
  for (void *Element : FromFirst)
    EXPECT_TRUE(Second->Delete(Element)) << "released by the other heap";
  EXPECT_TRUE(First->CheckAddress(FromSecond[1]));
  EXPECT_TRUE(First->Delete(FromSecond[1]));
  FromSecond.erase(FromSecond.begin() + 1);
  First.reset();
  // The shared lookup is still there for the second heap.
  ASSERT_NE(Second->Core()->ProcessFind, nullptr);
  for (void *Element : FromSecond)
    EXPECT_TRUE(Second->Delete(Element));
  const int32_t WithLookup = BackEnd.OutstandingAreas();
  Second.reset();
  EXPECT_EQ(BackEnd.OutstandingAreas(), 0) << "the shared lookup went with the second heap";
  EXPECT_GT(WithLookup, 0);
}

// The shared lookup cannot be built (the back end refuses its block, the
// third request): the heap is unusable, ProcessFindLock is free again, and a
// later heap builds the lookup afresh.
TEST(FrontEnd, AFailedSharedLookupLeavesTheWayOpenForTheNextHeap) {
  TEST_BACK_END Refusing;
  Refusing.GrantsLeft = 2;
  {
    TEST_HEAP Heap(&Refusing, true, true, true);
    EXPECT_FALSE(Heap.Usable());
  }
  EXPECT_EQ(Refusing.OutstandingAreas(), 0);
  EXPECT_EQ(ProcessFindLock().Locked.load(), 0);
  TEST_BACK_END BackEnd;
  {
    TEST_HEAP Heap(&BackEnd, true, true, true);
    ASSERT_TRUE(Heap.Usable());
    void *Element = Heap.New(64);
    EXPECT_TRUE(Heap.Delete(Element));
  }
  EXPECT_EQ(BackEnd.OutstandingAreas(), 0);
}

}  // namespace
