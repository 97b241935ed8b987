// Long random sequences of every operation of the configured heap, checked
// against a model of the live allocations and of every byte they hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "heap/buckets/cache.h"
#include "heap/core/heap.h"
#include "heap/pages/new_pages.h"
#include "tests/heap/frontend/frontend_test_support.h"

namespace {

struct LIVE {
  int32_t Size;  // usable bytes, as the heap reported them
  uint8_t Tag;
};

class HEAP_MODEL {
 public:
  explicit HEAP_MODEL(uint32_t Seed) : Random(Seed) {}

  TEST_BACK_END BackEnd;
  TEST_HEAP Heap{&BackEnd, true, true};
  std::map<uintptr_t, LIVE> Live;

  void Step() {
    const int32_t Choice = Pick(1000);
    if (Choice < 300 || Live.empty())
      New();
    else if (Choice < 340)
      MultipleNew();
    else if (Choice < 600)
      Delete();
    else if (Choice < 640)
      MultipleDelete();
    else if (Choice < 840)
      Resize();
    else if (Choice < 960)
      Check();
    else if (Choice < 980)
      Walk();
    else if (Choice < 996)
      Trim();
    else
      Wipe();
  }

  void CheckEveryByte() {
    for (const auto &[Address, Held] : Live)
      ASSERT_TRUE(Holds(reinterpret_cast<void *>(Address), 0, Held.Size, Held.Tag)) << "bytes of a live allocation";
  }

 private:
  int32_t Pick(int32_t Limit) { return static_cast<int32_t>(Random() % static_cast<uint32_t>(Limit)); }

  // Sizes from 0 to 300,000, most of them small.
  int32_t Size() {
    const int32_t Band = Pick(100);
    if (Band < 60)
      return Pick(257);
    if (Band < 85)
      return Pick(4097);
    if (Band < 97)
      return Pick(65537);
    return Pick(300001);
  }

  static bool Holds(const void *Element, int32_t From, int32_t To, uint8_t Tag) {
    for (int32_t Index = From; Index < To; ++Index)
      if (static_cast<const uint8_t *>(Element)[Index] != static_cast<uint8_t>(Tag + Index * 13))
        return false;
    return true;
  }

  void Adopt(void *Element, int32_t Size) {
    ASSERT_NE(Element, nullptr);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(Element) % 4, 0u);
    const uint8_t Tag = static_cast<uint8_t>(++Serial);
    for (int32_t Index = 0; Index < Size; ++Index)
      static_cast<uint8_t *>(Element)[Index] = static_cast<uint8_t>(Tag + Index * 13);
    ASSERT_TRUE(Live.emplace(reinterpret_cast<uintptr_t>(Element), LIVE{Size, Tag}).second)
        << "handed out while still live";
  }

  // The usable size the heap gives a request.
  int32_t Expected(int32_t Size) {
    const int32_t Bytes = Size == 0 ? 1 : Size;
    return Bytes <= Heap.Core()->MaxCacheSize ? Heap.Core()->FindCache(Bytes)->AllocationSize : Bytes;
  }

  std::map<uintptr_t, LIVE>::iterator AnyLive() {
    return std::next(Live.begin(), Pick(static_cast<int32_t>(Live.size())));
  }

  void New() {
    const int32_t Bytes = Size();
    int32_t Actual = -1;
    const bool Zero = Pick(4) == 0;
    void *Element = Heap.New(Bytes, &Actual, Zero);
    ASSERT_EQ(Actual, Expected(Bytes));
    if (Zero) {
      ASSERT_TRUE(std::all_of(static_cast<uint8_t *>(Element), static_cast<uint8_t *>(Element) + Actual,
                              [](uint8_t Byte) { return Byte == 0; }));
    }
    Adopt(Element, Actual);
  }

  void MultipleNew() {
    void *Array[32];
    const int32_t Wanted = 1 + Pick(32);
    const int32_t Bytes = Pick(3) == 0 ? Size() : Pick(1025);
    int32_t Count = -1;
    int32_t Actual = -1;
    ASSERT_TRUE(Heap.MultipleNew(&Count, Array, Wanted, Bytes, &Actual, false));
    ASSERT_EQ(Count, Wanted);
    ASSERT_EQ(Actual, Expected(Bytes));
    for (int32_t Index = 0; Index < Count; ++Index)
      Adopt(Array[Index], Actual);
  }

  void Delete() {
    auto Victim = AnyLive();
    void *Element = reinterpret_cast<void *>(Victim->first);
    const LIVE Held = Victim->second;
    ASSERT_TRUE(Holds(Element, 0, Held.Size, Held.Tag));
    const int32_t Hint = Pick(3) == 0 ? Held.Size : (Pick(2) == 0 ? 0 : Size());
    if (Held.Size > 1 && Pick(5) == 0) {
      ASSERT_FALSE(Heap.Delete(static_cast<char *>(Element) + 1 + Pick(Held.Size - 1), Hint)) << "inside";
    }
    ASSERT_TRUE(Heap.Delete(Element, Hint));
    Live.erase(Victim);
    ASSERT_FALSE(Heap.Delete(Element, Hint)) << "released twice";
  }

  void MultipleDelete() {
    std::vector<void *> Batch;
    const int32_t Wanted = 1 + Pick(12);
    for (int32_t Index = 0; Index < Wanted && !Live.empty(); ++Index) {
      auto Victim = AnyLive();
      void *Element = reinterpret_cast<void *>(Victim->first);
      ASSERT_TRUE(Holds(Element, 0, Victim->second.Size, Victim->second.Tag));
      Batch.push_back(Element);
      Live.erase(Victim);
    }
    const bool Bad = Pick(3) == 0;
    if (Bad)
      Batch.insert(Batch.begin() + Pick(static_cast<int32_t>(Batch.size())), static_cast<char *>(Batch[0]) + 2);
    ASSERT_EQ(Heap.MultipleDelete(static_cast<int32_t>(Batch.size()), Batch.data(), Pick(2) ? 0 : Size()), !Bad);
  }

  void Resize() {
    auto Victim = AnyLive();
    void *Element = reinterpret_cast<void *>(Victim->first);
    const LIVE Held = Victim->second;
    const int32_t NewSize = Pick(2) == 0 ? Size() : std::max(0, Held.Size + Pick(257) - 128);
    const int32_t Threshold = std::vector<int32_t>{0, 1, 64, 4096, -1, -64}[static_cast<size_t>(Pick(6))];
    const bool KeepOld = Pick(6) == 0;
    const bool Zero = Pick(3) == 0;
    const int32_t Target = Expected(NewSize);
    const int32_t Bytes = NewSize == 0 ? 1 : NewSize;
    const int32_t Growth = Target - Held.Size;
    bool Moves = false;
    if (Threshold > 0)
      Moves = std::abs(Growth) >= Threshold;
    else if (Threshold < 0)
      Moves = Growth > 0 || Growth <= Threshold;
    int32_t Actual = -1;
    void *Result = Heap.Resize(Element, NewSize, Threshold, &Actual, KeepOld, Zero);
    if (!Moves && Growth > 0) {
      ASSERT_EQ(Result, nullptr) << "it cannot grow in place";
      return;
    }
    if (!Moves) {
      ASSERT_EQ(Result, Element);
      ASSERT_EQ(Actual, Held.Size);
      return;
    }
    ASSERT_NE(Result, nullptr);
    ASSERT_EQ(Actual, Target);
    const int32_t Copied = std::min(Held.Size, Bytes);
    ASSERT_TRUE(Holds(Result, 0, Copied, Held.Tag)) << "the copy";
    if (Zero) {
      for (int32_t Index = Copied; Index < Target; ++Index)
        ASSERT_EQ(static_cast<uint8_t *>(Result)[Index], 0);
    }
    if (!KeepOld)
      Live.erase(Victim);
    Adopt(Result, Actual);
  }

  void Check() {
    auto Victim = AnyLive();
    void *Element = reinterpret_cast<void *>(Victim->first);
    int32_t Size = -1;
    ASSERT_TRUE(Heap.CheckAddress(Element, &Size));
    ASSERT_EQ(Size, Victim->second.Size);
    ASSERT_TRUE(Heap.DescribeAddress(Element, &Size));
    ASSERT_EQ(Size, Victim->second.Size);
    if (Victim->second.Size > 1) {
      ASSERT_FALSE(Heap.CheckAddress(static_cast<char *>(Element) + 1));
    }
    ASSERT_TRUE(Heap.Contains(Element));
  }

  // The walk's elements in use are exactly the live allocations.
  void Walk() {
    std::set<uintptr_t> InUse;
    bool Used = false;
    void *Address = nullptr;
    int32_t Size = 0;
    while (Heap.WalkHeap(&Used, &Address, &Size)) {
      if (Used) {
        ASSERT_TRUE(InUse.insert(reinterpret_cast<uintptr_t>(Address)).second) << "walked twice";
      }
    }
    ASSERT_EQ(InUse.size(), Live.size());
    for (const auto &[Element, Held] : Live)
      ASSERT_EQ(InUse.count(Element), 1u);
  }

  void Trim() { ASSERT_TRUE(Heap.TrimHeap(Pick(3) * 65536)); }

  // Top-level pages, those straight from the back end for the top cache.
  int32_t TopPages() {
    const NEW_PAGES *Store = Heap.Core()->NewPages;
    int32_t Count = 0;
    for (int32_t Index = 0; Index < Store->SizeClassCount; ++Index)
      for (CHAIN_LINK *Link = Store->SizeClasses[Index].ExternalPages.First; Link != nullptr; Link = Link->Next)
        Count += PAGE::FromStoreLink(Link)->Bucket == Heap.Core()->TopCache ? 1 : 0;
    return Count;
  }

  // A wipe that keeps its memory keeps no more than FreePageLimit top pages,
  // however many the heap had. Top elements are taken as a child cache takes
  // its pages, so that only the wipe itself empties them.
  void Wipe() {
    const bool KeepMemory = Pick(2) == 0;
    const int32_t Limit = Heap.Core()->FreePageLimit;
    for (int32_t Index = 0; KeepMemory && TopPages() <= 2 * Limit && Index < 10000; ++Index)
      ASSERT_NE(Heap.Core()->TopCache->New(), nullptr);
    ASSERT_TRUE(!KeepMemory || TopPages() > 2 * Limit);
    Heap.DeleteAll(KeepMemory);
    if (KeepMemory) {
      ASSERT_LE(TopPages(), Limit);
    }
    for (const auto &[Element, Held] : Live)
      ASSERT_FALSE(Heap.CheckAddress(reinterpret_cast<void *>(Element)));
    Live.clear();
  }

  std::mt19937 Random;
  uint32_t Serial = 0;
};

TEST(HeapModel, RandomOperationsAgreeWithTheModel) {
  for (uint32_t Seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(testing::Message() << "seed " << Seed);
    HEAP_MODEL Model(Seed);
    for (int32_t Step = 0; Step < 6000; ++Step) {
      Model.Step();
      if (testing::Test::HasFatalFailure())
        return;
      if (Step % 1000 == 999)
        Model.CheckEveryByte();
    }
    Model.CheckEveryByte();
    EXPECT_TRUE(Model.Heap.Usable());
    EXPECT_TRUE(Model.Heap.Failures.empty());
  }
}

}  // namespace
