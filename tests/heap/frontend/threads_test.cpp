// Threads allocating, resizing and releasing each other's allocations through
// one configured heap, while another thread now and then holds the whole heap
// and walks it. Every allocation carries its owner's tag in every byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <iterator>
#include <random>
#include <thread>
#include <unordered_set>
#include <vector>

#include "heap/frontend/fast_heap.h"

namespace {

struct HELD {
  void *Element;
  int32_t Size;
  uint32_t Tag;
};

void Fill(const HELD &Held) {
  for (int32_t Index = 0; Index < Held.Size; ++Index)
    static_cast<unsigned char *>(Held.Element)[Index] = static_cast<unsigned char>(Held.Tag + Index * 7u);
}

bool Intact(const HELD &Held, int32_t Bytes) {
  for (int32_t Index = 0; Index < Bytes; ++Index)
    if (static_cast<unsigned char *>(Held.Element)[Index] != static_cast<unsigned char>(Held.Tag + Index * 7u))
      return false;
  return true;
}

struct SHARED {
  FAST_HEAP Heap{1048576, true, false, true};
  std::mutex Mutex;  // guards Owned and Exchange
  std::unordered_set<void *> Owned;
  std::vector<HELD> Exchange;
  std::atomic<int32_t> Failures{0};
  std::atomic<int32_t> Walks{0};

  // False when somebody else owns the allocation already.
  bool Claim(void *Element) {
    std::lock_guard<std::mutex> Guard(Mutex);
    return Owned.insert(Element).second;
  }
  bool Give(void *Element) {
    std::lock_guard<std::mutex> Guard(Mutex);
    return Owned.erase(Element) == 1;
  }
};

class WORKER {
 public:
  WORKER(SHARED &Shared, uint32_t Seed) : Shared(Shared), Random(Seed), Thread(Seed << 24) {}

  void Run(int32_t Steps) {
    for (int32_t Step = 0; Step < Steps; ++Step) {
      const uint32_t Choice = Random() % 100;
      if (Choice < 40 || Mine.empty())
        Allocate();
      else if (Choice < 55)
        Resize();
      else if (Choice < 85)
        Release(Take());
      else if (Choice < 93)
        Hand();
      else
        Receive();
    }
    while (!Mine.empty())
      Release(Take());
  }

 private:
  int32_t Size() {
    const uint32_t Band = Random() % 100;
    return static_cast<int32_t>(Band < 70 ? Random() % 257 : Band < 95 ? Random() % 8193 : Random() % 70001);
  }

  void Fail() { Shared.Failures.fetch_add(1); }

  void Adopt(void *Element, int32_t Size) {
    if (Element == nullptr || !Shared.Claim(Element)) {
      Fail();
      return;
    }
    const HELD Held{Element, Size, Thread | ++Serial};
    Fill(Held);
    Mine.push_back(Held);
  }

  void Allocate() {
    int32_t Actual = 0;
    void *Element = Shared.Heap.New(Size(), &Actual);
    Adopt(Element, Actual);
  }

  HELD Take() {
    const size_t Index = Random() % Mine.size();
    const HELD Held = Mine[Index];
    Mine[Index] = Mine.back();
    Mine.pop_back();
    return Held;
  }

  void Resize() {
    HELD Held = Take();
    if (!Intact(Held, Held.Size))
      Fail();
    int32_t Actual = 0;
    const int32_t Wanted = Size();
    // A move releases the old allocation inside the call, and another thread
    // may get it at once: the ownership goes first.
    if (!Shared.Give(Held.Element))
      Fail();
    void *Result = Shared.Heap.Resize(Held.Element, Wanted, 1, &Actual, false, false);
    if (Result == nullptr || Result == Held.Element) {
      if (!Shared.Claim(Held.Element))  // refused or kept: still the same allocation
        Fail();
      Mine.push_back(Held);
      return;
    }
    // What was copied: the old size or the size asked for, whichever is less.
    const int32_t Copied = Wanted < Held.Size ? (Wanted > 0 ? Wanted : 1) : Held.Size;
    if (!Intact(HELD{Result, Actual, Held.Tag}, Copied))
      Fail();
    Adopt(Result, Actual);
  }

  void Release(const HELD &Held) {
    if (!Intact(Held, Held.Size) || !Shared.Give(Held.Element))
      Fail();
    if (!Shared.Heap.Delete(Held.Element, Random() % 2 == 0 ? Held.Size : 0))
      Fail();
  }

  void Hand() {
    const HELD Held = Take();
    std::lock_guard<std::mutex> Guard(Shared.Mutex);
    Shared.Exchange.push_back(Held);
  }

  void Receive() {
    HELD Held;
    {
      std::lock_guard<std::mutex> Guard(Shared.Mutex);
      if (Shared.Exchange.empty())
        return;
      Held = Shared.Exchange.back();
      Shared.Exchange.pop_back();
    }
    Release(Held);  // made by another thread
  }

  SHARED &Shared;
  std::mt19937 Random;
  uint32_t Thread;
  uint32_t Serial = 0;
  std::vector<HELD> Mine;
};

// Holds the whole heap and walks it: with every lock taken, every element in
// use has a plausible size and nobody else can change the heap meanwhile.
void WalkNowAndThen(SHARED &Shared, const std::atomic<bool> &Done) {
  while (!Done.load()) {
    Shared.Heap.ClaimAllLocks();
    bool Used = false;
    void *Address = nullptr;
    int32_t Size = 0;
    int32_t Elements = 0;
    while (Shared.Heap.WalkHeap(&Used, &Address, &Size)) {
      ++Elements;
      if (Size <= 0 || (Used && !Shared.Heap.CheckAddress(Address)))
        Shared.Failures.fetch_add(1);
    }
    Shared.Heap.ReleaseAllLocks();
    Shared.Walks.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

TEST(HeapThreads, SharedHeapNeverHandsAnAllocationToTwoOwners) {
  SHARED Shared;
  ASSERT_TRUE(Shared.Heap.Usable());
  constexpr int32_t Threads = 4;
  std::atomic<bool> Done{false};
  std::thread Walker([&] { WalkNowAndThen(Shared, Done); });
  std::vector<std::thread> Workers;
  for (int32_t Index = 0; Index < Threads; ++Index)
    Workers.emplace_back([&Shared, Index] { WORKER(Shared, static_cast<uint32_t>(Index + 1)).Run(5000); });
  for (std::thread &Worker : Workers)
    Worker.join();
  Done.store(true);
  Walker.join();
  EXPECT_EQ(Shared.Failures.load(), 0);
  EXPECT_GT(Shared.Walks.load(), 0);
  for (const HELD &Held : Shared.Exchange) {
    EXPECT_TRUE(Intact(Held, Held.Size));
    EXPECT_TRUE(Shared.Heap.Delete(Held.Element));
  }
  EXPECT_TRUE(Shared.Heap.TrimHeap(0));
  bool Used = false;
  void *Address = nullptr;
  int32_t Size = 0;
  while (Shared.Heap.WalkHeap(&Used, &Address, &Size))
    EXPECT_FALSE(Used) << "nothing is left in use";
  EXPECT_TRUE(Shared.Heap.Usable());
}

// Releases of an address inside an element, sized, while another thread makes
// and deletes the pages under it for caches of every size: the release may
// read a descriptor that is being destroyed or rebuilt, and must refuse
// without touching anyone's element.
TEST(HeapThreads, RefusedReleasesWhilePagesComeAndGo) {
  FAST_HEAP Heap{1048576, true, false, true};
  std::atomic<uintptr_t> Published{0};
  std::atomic<bool> Done{false};
  std::atomic<int32_t> Accepted{0};
  std::thread Refused([&] {
    while (!Done.load())
      Accepted += Heap.Delete(reinterpret_cast<void *>(Published.load() + 1), 256) ? 1 : 0;
  });
  constexpr int32_t Sizes[] = {256, 192, 512, 1024, 4096, 256, 64};
  std::mt19937 Random(7);
  int32_t Faults = 0;  // failed calls and blocks changed under their owner
  for (int32_t Round = 0; Round < 300; ++Round) {
    std::vector<HELD> Blocks;
    for (int32_t Index = 0; Index < 200; ++Index) {
      const int32_t Size = Sizes[Random() % std::size(Sizes)];
      Blocks.push_back(HELD{Heap.New(Size), Size, static_cast<uint32_t>(Round * 1000 + Index)});
      Fill(Blocks.back());
      Published.store(reinterpret_cast<uintptr_t>(Blocks.back().Element));
    }
    std::shuffle(Blocks.begin(), Blocks.end(), Random);
    for (const HELD &Held : Blocks)
      Faults += Intact(Held, Held.Size) && Heap.Delete(Held.Element, Held.Size) ? 0 : 1;
    Faults += Round % 10 == 9 && !Heap.TrimHeap(0) ? 1 : 0;
  }
  Done.store(true);
  Refused.join();
  EXPECT_EQ(Accepted.load(), 0);
  EXPECT_EQ(Faults, 0);
  EXPECT_TRUE(Heap.Usable());
}

}  // namespace
