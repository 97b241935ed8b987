// Several threads allocating and releasing through shared caches, handing
// elements to each other; every element carries its owner's tag in every byte.
#include <gtest/gtest.h>

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
  WORKER(SHARED_STATE &State, uint32_t Seed) : State(State), Random(Seed), Thread(Seed << 24) {}

  void Run(int32_t Iterations) {
    for (int32_t Step = 0; Step < Iterations; ++Step) {
      const uint32_t Choice = Random() % 1000;
      if (Choice < 520 || Mine.empty())
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
  }

 private:
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
};

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

}  // namespace
