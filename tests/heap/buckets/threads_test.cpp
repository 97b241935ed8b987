// Several threads allocating and releasing through shared caches, handing
// elements to each other; every element carries its owner's tag in every byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_set>
#include <vector>

#include "tests/heap/buckets/tree_model.h"

namespace {

struct HELD {
  void *Element;
  int32_t Size;
  uint32_t Tag;
};

// Which addresses have an owner: a second owner shows as a failed insert.
class OWNERSHIP {
 public:
  bool Claim(void *Element) {
    SHARD &Shard = ShardOf(Element);
    std::lock_guard<std::mutex> Guard(Shard.Mutex);
    return Shard.Owned.insert(Element).second;
  }
  bool Give(void *Element) {
    SHARD &Shard = ShardOf(Element);
    std::lock_guard<std::mutex> Guard(Shard.Mutex);
    return Shard.Owned.erase(Element) == 1;
  }

 private:
  struct SHARD {
    std::mutex Mutex;
    std::unordered_set<void *> Owned;
  };
  SHARD &ShardOf(void *Element) { return Shards[(reinterpret_cast<uintptr_t>(Element) >> 4) % 64]; }
  SHARD Shards[64];
};

struct SHARED_STATE {
  MODEL_TREE Tree{true};
  OWNERSHIP Owners;
  std::mutex ExchangeMutex;
  std::vector<HELD> Exchange;
  std::atomic<int32_t> Failures{0};
};

class WORKER {
 public:
  // With a private cache, only this worker allocates from it: a second release
  // of its element cannot meet somebody else's element in the same place.
  WORKER(SHARED_STATE &State, uint32_t Seed, CACHE *Private = nullptr)
      : State(State), Random(Seed), Thread(Seed << 24), Private(Private) {}

  void Run(int32_t Iterations) {
    for (int32_t Step = 0; Step < Iterations; ++Step) {
      const uint32_t Choice = Random() % 1000;
      if (Private != nullptr && Random() % 4 == 0)
        PrivateStep();
      else if (Choice < 520 || Mine.empty())
        Allocate();
      else if (Choice < 900)
        Release(TakeMine());
      else if (Choice < 950)
        Hand();
      else if (Choice < 995)
        Receive();
      else
        State.Tree.Users[Random() % State.Tree.Users.size()]->Flush();
    }
    while (!Mine.empty())
      Release(TakeMine());
    for (void *Element : PrivateElements)
      if (!State.Owners.Give(Element) || !State.Tree.Find->Delete(Element, State.Tree.Top))
        Fail();
    PrivateElements.clear();
  }

 private:
  // Allocates from the private cache, or releases one of its elements: the
  // release succeeds once and is refused after, also from inside the element.
  // The second release is only tried while another element keeps the page
  // alive: a page that empties goes back to the shared parent, which may hand
  // its memory to another thread at once, and then the same address is a
  // new, live allocation that no allocator could tell from this one.
  void PrivateStep() {
    if (PrivateElements.size() < 64 && Random() % 2 == 0) {
      void *Element = Private->New();
      if (Element == nullptr || !State.Owners.Claim(Element))
        Fail();
      else
        PrivateElements.push_back(Element);
      return;
    }
    if (PrivateElements.empty())
      return;
    const size_t Index = Random() % PrivateElements.size();
    void *Element = PrivateElements[Index];
    PrivateElements[Index] = PrivateElements.back();
    PrivateElements.pop_back();
    char *Inside = static_cast<char *>(Element) + 1 + Random() % (Private->AllocationSize - 1);
    if (State.Tree.Find->Delete(Inside, State.Tree.Top))
      Fail();
    const bool PageStays = std::any_of(PrivateElements.begin(), PrivateElements.end(), [&](void *Other) {
      return PageOf(Other) == PageOf(Element);
    });
    if (!State.Owners.Give(Element) || !State.Tree.Find->Delete(Element, State.Tree.Top))
      Fail();
    if (PageStays && State.Tree.Find->Delete(Element, State.Tree.Top))
      Fail();  // released twice
  }

  uintptr_t PageOf(void *Element) const {
    return reinterpret_cast<uintptr_t>(Element) & ~static_cast<uintptr_t>(Private->PageSize - 1);
  }

  void Fail() { State.Failures.fetch_add(1); }

  void Allocate() {
    CACHE *Cache = State.Tree.Users[Random() % State.Tree.Users.size()];
    void *Array[8];
    int32_t Count = 0;
    if (Random() % 8 == 0) {
      const int32_t Wanted = 1 + static_cast<int32_t>(Random() % 8);
      if (!Cache->MultipleNew(Count, Array, Wanted) || Count != Wanted)
        Fail();
    } else {
      Array[0] = Cache->New();
      Count = Array[0] == nullptr ? 0 : 1;
      if (Count == 0)
        Fail();
    }
    for (int32_t Index = 0; Index < Count; ++Index) {
      if (!State.Owners.Claim(Array[Index])) {
        Fail();  // handed to a second owner
        continue;
      }
      const HELD Held{Array[Index], Cache->AllocationSize, Thread | ++Serial};
      FillElement(Held.Element, Held.Size, Held.Tag);
      Mine.push_back(Held);
    }
  }

  HELD TakeMine() {
    const size_t Index = Random() % Mine.size();
    const HELD Held = Mine[Index];
    Mine[Index] = Mine.back();
    Mine.pop_back();
    return Held;
  }

  void Release(const HELD &Held) {
    if (!ElementIntact(Held.Element, Held.Size, Held.Tag))
      Fail();
    int32_t Size = 0;
    if (Random() % 4 == 0 && (!State.Tree.Find->DescribeAddress(Held.Element, nullptr, State.Tree.Top, Size) ||
                              Size != Held.Size))
      Fail();
    if (!State.Owners.Give(Held.Element))
      Fail();
    if (!State.Tree.Find->Delete(Held.Element, State.Tree.Top))
      Fail();
  }

  void Hand() {
    if (Mine.empty())
      return;
    const HELD Held = TakeMine();
    std::lock_guard<std::mutex> Guard(State.ExchangeMutex);
    State.Exchange.push_back(Held);
  }

  void Receive() {
    HELD Held;
    {
      std::lock_guard<std::mutex> Guard(State.ExchangeMutex);
      if (State.Exchange.empty())
        return;
      Held = State.Exchange.back();
      State.Exchange.pop_back();
    }
    Release(Held);  // released by a thread other than the one that allocated it
  }

  SHARED_STATE &State;
  std::mt19937 Random;
  uint32_t Thread;
  uint32_t Serial = 0;
  std::vector<HELD> Mine;
  CACHE *Private;
  std::vector<void *> PrivateElements;
};

// Looks at the heap while the workers change it: walks the lookup's pages and
// asks for the size of addresses in flight. It checks only what must hold at
// any moment: a walk step names the first byte of an element of a plausible
// size, and an address being handed between workers lies in a known page.
void Observe(SHARED_STATE &State, const std::atomic<bool> &Done) {
  std::mt19937 Random(99);
  while (!Done.load()) {
    bool InUse = false;
    void *Address = nullptr;
    int32_t Size = 0;
    for (int32_t Step = 0; Step < 200 && State.Tree.Find->WalkHeap(InUse, Address, State.Tree.Top, Size); ++Step)
      if (Size <= 0 || Size > 65536)
        State.Failures.fetch_add(1);
    // Nobody may release an element while it waits in the exchange.
    std::lock_guard<std::mutex> Guard(State.ExchangeMutex);
    if (State.Exchange.empty())
      continue;
    const HELD &Held = State.Exchange[Random() % State.Exchange.size()];
    if (!State.Tree.Find->DescribeAddress(Held.Element, nullptr, State.Tree.Top, Size) || Size != Held.Size)
      State.Failures.fetch_add(1);
  }
}

TEST(CacheThreads, SharedCachesNeverHandAnElementToTwoOwners) {
  SHARED_STATE State;
  constexpr int32_t Threads = 4;
  constexpr int32_t Iterations = 20000;
  std::vector<std::thread> Workers;
  for (int32_t Index = 0; Index < Threads; ++Index)
    Workers.emplace_back([&State, Index] {
      WORKER Worker(State, static_cast<uint32_t>(Index + 1));
      Worker.Run(Iterations);
    });
  for (std::thread &Worker : Workers)
    Worker.join();
  EXPECT_EQ(State.Failures.load(), 0);
  for (const HELD &Held : State.Exchange) {
    EXPECT_TRUE(ElementIntact(Held.Element, Held.Size, Held.Tag));
    EXPECT_TRUE(State.Tree.Find->Delete(Held.Element, State.Tree.Top));
  }
  EXPECT_TRUE(State.Tree.FlushAll());
  EXPECT_LE(State.Tree.Top->ActivePages, 2);
  EXPECT_EQ(State.Tree.Find->PageCount, State.Tree.Top->ActivePages);
  EXPECT_EQ(State.Tree.BackEnd.OutstandingUserAreas(), State.Tree.Top->ActivePages);
}

// Every layer at once: threads allocating across size classes whose pages are
// made in and returned to shared parent caches, releasing each other's
// elements, trying interior and double releases, while another thread walks
// the heap and describes addresses. No element may ever have two owners.
TEST(CacheThreads, StressOfCachesPagesAndLookupNeverHandsAnElementToTwoOwners) {
  SHARED_STATE State;
  constexpr int32_t Threads = 4;
  constexpr int32_t Iterations = 8000;
  CACHE *Middle = State.Tree.Users.back();
  std::vector<CACHE *> Private;
  for (int32_t Index = 0; Index < Threads; ++Index)
    Private.push_back(State.Tree.Add(Index % 2 == 0 ? 32 : 256, Index % 2 == 0 ? 8 : 4, 4096, 4096, Index < 2, Middle));
  std::atomic<bool> Done{false};
  std::thread Observer([&State, &Done] { Observe(State, Done); });
  std::vector<std::thread> Workers;
  for (int32_t Index = 0; Index < Threads; ++Index)
    Workers.emplace_back([&State, &Private, Index] {
      WORKER Worker(State, static_cast<uint32_t>(Index + 11), Private[static_cast<size_t>(Index)]);
      Worker.Run(Iterations);
    });
  for (std::thread &Worker : Workers)
    Worker.join();
  Done.store(true);
  Observer.join();
  EXPECT_EQ(State.Failures.load(), 0);
  for (const HELD &Held : State.Exchange) {
    EXPECT_TRUE(ElementIntact(Held.Element, Held.Size, Held.Tag));
    EXPECT_TRUE(State.Tree.Find->Delete(Held.Element, State.Tree.Top));
  }
  EXPECT_TRUE(State.Tree.FlushAll());
  EXPECT_EQ(State.Tree.Find->PageCount, State.Tree.Top->ActivePages) << "every page below the top went back";
  EXPECT_EQ(State.Tree.BackEnd.OutstandingUserAreas(), State.Tree.Top->ActivePages);
}

}  // namespace
