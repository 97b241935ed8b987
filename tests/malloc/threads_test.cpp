// Threads that free each other's blocks, a randomised model of one thread's
// allocations, and the memory a thread holds coming back when it ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "malloc/krax_malloc.h"
#include "heap/frontend/fast_heap.h"
#include "malloc/central_lists.h"
#include "malloc/dropin_heap.h"
#include "malloc/size_classes.h"
#include "malloc/thread_cache.h"
#include "tests/malloc/malloc_test_support.h"

namespace {

struct PARCEL {
  void *Block;
  size_t Bytes;
  uint8_t Tag;
};

// Producers allocate and fill, consumers check and free: every block is
// freed by a thread other than the one that allocated it.
TEST(Threads, CrossThreadFreesKeepEveryBlockIntact) {
  constexpr int Producers = 3;
  constexpr int Consumers = 3;
  constexpr int PerProducer = 20000;
  std::mutex Mutex;
  std::deque<PARCEL> Queue;
  std::atomic<int> Produced{0};
  std::atomic<int> Broken{0};
  std::atomic<int> Consumed{0};
  std::vector<std::thread> Threads;
  for (int Producer = 0; Producer < Producers; ++Producer)
    Threads.emplace_back([&, Producer] {
      std::mt19937 Random(Producer);
      for (int Index = 0; Index < PerProducer; ++Index) {
        const size_t Bytes = Random() % 8 == 0 ? Random() % 70000 : Random() % 600;
        const uint8_t Tag = static_cast<uint8_t>(Random());
        void *Block = krax_malloc(Bytes);
        if (Block == nullptr) {
          ++Broken;
          continue;
        }
        FillPattern(Block, Bytes, Tag);
        std::lock_guard<std::mutex> Guard(Mutex);
        Queue.push_back(PARCEL{Block, Bytes, Tag});
        ++Produced;
      }
    });
  for (int Consumer = 0; Consumer < Consumers; ++Consumer)
    Threads.emplace_back([&] {
      for (;;) {
        PARCEL Parcel{};
        {
          std::lock_guard<std::mutex> Guard(Mutex);
          if (Queue.empty()) {
            if (Consumed.load() + Broken.load() >= Producers * PerProducer)
              return;
          } else {
            Parcel = Queue.front();
            Queue.pop_front();
          }
        }
        if (Parcel.Block == nullptr) {
          std::this_thread::yield();
          continue;
        }
        if (!HoldsPattern(Parcel.Block, Parcel.Bytes, Parcel.Tag) || krax_check(Parcel.Block) != 1)
          ++Broken;
        krax_free(Parcel.Block);
        ++Consumed;
      }
    });
  for (std::thread &Thread : Threads)
    Thread.join();
  EXPECT_EQ(Broken.load(), 0);
  EXPECT_EQ(Consumed.load(), Producers * PerProducer);
}

// Each thread allocates, resizes and frees at random and keeps a model of
// what it holds; live blocks never overlap and keep their bytes.
void RunModel(uint32_t Seed, int Steps, std::atomic<int> &Faults) {
  std::mt19937 Random(Seed);
  std::map<uintptr_t, PARCEL> Live;
  auto Overlaps = [&](void *Block, size_t Bytes) {
    const uintptr_t Start = reinterpret_cast<uintptr_t>(Block);
    auto After = Live.lower_bound(Start);
    if (After != Live.end() && After->first < Start + (Bytes == 0 ? 1 : Bytes))
      return true;
    if (After == Live.begin())
      return false;
    --After;
    return After->first + krax_usable_size(After->second.Block) > Start;
  };
  auto PickSize = [&]() -> size_t {
    const uint32_t Band = Random() % 100;
    return Band < 70 ? Random() % 300 : Band < 95 ? Random() % 9000 : Random() % 300000;
  };
  for (int Step = 0; Step < Steps; ++Step) {
    const uint32_t Choice = Random() % 100;
    if (Choice < 45 || Live.empty()) {
      const size_t Bytes = PickSize();
      void *Block = nullptr;
      const uint32_t How = Random() % 4;
      if (How == 0)
        Block = krax_calloc(1, Bytes);
      else if (How == 1)
        Block = krax_memalign(size_t{16} << (Random() % 10), Bytes);
      else
        Block = krax_malloc(Bytes);
      if (Block == nullptr || Overlaps(Block, krax_usable_size(Block)) || krax_usable_size(Block) < Bytes) {
        ++Faults;
        continue;
      }
      const uint8_t Tag = static_cast<uint8_t>(Random());
      FillPattern(Block, Bytes, Tag);
      Live[reinterpret_cast<uintptr_t>(Block)] = PARCEL{Block, Bytes, Tag};
    } else {
      auto Victim = Live.begin();
      std::advance(Victim, Random() % Live.size());
      PARCEL Parcel = Victim->second;
      Live.erase(Victim);
      if (!HoldsPattern(Parcel.Block, Parcel.Bytes, Parcel.Tag))
        ++Faults;
      if (Choice < 75) {
        krax_free(Parcel.Block);
        continue;
      }
      const size_t Bytes = PickSize();
      void *Resized = krax_realloc(Parcel.Block, Bytes);
      if (Bytes == 0)
        continue;
      const size_t Kept = Bytes < Parcel.Bytes ? Bytes : Parcel.Bytes;
      if (Resized == nullptr || !HoldsPattern(Resized, Kept, Parcel.Tag) || Overlaps(Resized, Bytes)) {
        ++Faults;
        continue;
      }
      FillPattern(Resized, Bytes, Parcel.Tag);
      Live[reinterpret_cast<uintptr_t>(Resized)] = PARCEL{Resized, Bytes, Parcel.Tag};
    }
  }
  for (auto &[Address, Parcel] : Live) {
    if (!HoldsPattern(Parcel.Block, Parcel.Bytes, Parcel.Tag))
      ++Faults;
    krax_free(Parcel.Block);
  }
}

TEST(Threads, RandomisedModelOnOneThread) {
  std::atomic<int> Faults{0};
  RunModel(1234, 40000, Faults);
  EXPECT_EQ(Faults.load(), 0);
}

TEST(Threads, RandomisedModelOnFourThreads) {
  std::atomic<int> Faults{0};
  std::vector<std::thread> Threads;
  for (uint32_t Seed = 1; Seed <= 4; ++Seed)
    Threads.emplace_back([&Faults, Seed] { RunModel(Seed, 15000, Faults); });
  for (std::thread &Thread : Threads)
    Thread.join();
  EXPECT_EQ(Faults.load(), 0);
}

// A thread that takes fewer than a batch of every class keeps its elements in
// its own lists; they are back in the heap once it has ended.
TEST(Threads, AnEndingThreadGivesItsMemoryBack) {
  krax_free(krax_malloc(1));  // the process heap exists
  ASSERT_EQ(krax_trim(0), 1);
  const int64_t Before = HeldInFront();
  std::mutex Mutex;
  std::condition_variable Signal;
  bool Filled = false;
  bool MayEnd = false;
  std::thread Worker([&] {
    for (int32_t Class = 0; Class < dropin::ClassCount; ++Class) {
      void *First = krax_malloc(static_cast<size_t>(dropin::ClassBytes[Class]));
      void *Second = krax_malloc(static_cast<size_t>(dropin::ClassBytes[Class]));
      krax_free(First);
      krax_free(Second);
    }
    std::unique_lock<std::mutex> Lock(Mutex);
    Filled = true;
    Signal.notify_all();
    Signal.wait(Lock, [&] { return MayEnd; });
  });
  {
    std::unique_lock<std::mutex> Lock(Mutex);
    Signal.wait(Lock, [&] { return Filled; });
  }
  const int64_t WhileAlive = HeldInFront();
  {
    std::lock_guard<std::mutex> Lock(Mutex);
    MayEnd = true;
  }
  Signal.notify_all();
  Worker.join();
  EXPECT_GE(WhileAlive - Before, 2 * dropin::ClassCount) << "the worker held its elements";
  EXPECT_EQ(HeldInFront(), Before) << "and gave them all back when it ended";
}

// A thread's list of one class: a refill takes one batch from the heap, the
// list holds a batch and a spilled one, and the free that overflows both
// hands the older batch to the central lists.
TEST(Threads, ListsTakeAndGiveWholeBatches) {
  krax_free(krax_malloc(1));  // the process heap exists
  std::thread Worker([] {
    for (int32_t Class : {0, dropin::ClassCount / 2, dropin::ClassCount - 1}) {
      SCOPED_TRACE(Class);
      const int32_t Batch = dropin::BatchOf(Class);
      const size_t Bytes = static_cast<size_t>(dropin::ClassBytes[Class]);
      krax_free(krax_malloc(Bytes));  // this thread's lists are open
      ASSERT_EQ(krax_trim(0), 1);     // and empty, as are the central lists
      const int64_t Before = HeldInFront();
      std::vector<void *> Blocks{krax_malloc(Bytes)};
      EXPECT_EQ(HeldInFront() - Before, Batch - 1) << "one refill";
      while (Blocks.size() < 3 * static_cast<size_t>(Batch))
        Blocks.push_back(krax_malloc(Bytes));
      EXPECT_EQ(HeldInFront(), Before) << "three refills, all handed out";
      dropin::BATCH Given;
      for (size_t Index = 0; Index < Blocks.size(); ++Index) {
        krax_free(Blocks[Index]);
        const bool Central = dropin::CENTRAL_LISTS::Take(Class, Given);
        ASSERT_EQ(Central, Index + 1 == 2 * static_cast<size_t>(Batch) + 1) << Index;
        if (Central) {
          EXPECT_EQ(Given.Count, Batch);
          dropin::THREAD_CACHE::ReleaseBatch(Class, Given);
        }
      }
    }
  });
  Worker.join();
}

// The older batch that a free hands on reaches another thread whole, in
// every class: carriers of two words up to thousands.
TEST(Threads, AHandedOnBatchReachesAnotherThreadWhole) {
  for (int32_t Class = 0; Class < dropin::ClassCount; ++Class) {
    const auto Batch = static_cast<size_t>(dropin::BatchOf(Class));
    const auto Bytes = static_cast<size_t>(dropin::ClassBytes[Class]);
    std::vector<void *> Freed(3 * Batch), Taken(Batch);  // no allocation on the threads
    std::thread([&] {
      ASSERT_EQ(krax_trim(0), 1);  // the central lists are empty
      for (void *&Block : Freed)
        Block = krax_malloc(Bytes);  // three refills, all handed out
      for (void *Block : Freed)
        krax_free(Block);  // the free after two batches hands on the first
    }).join();
    std::thread([&] {
      krax_free(krax_malloc(Class == 0 ? 32 : 16));  // this thread's lists are open
      for (void *&Block : Taken)
        Block = krax_malloc(Bytes);
    }).join();
    EXPECT_TRUE(std::is_permutation(Taken.begin(), Taken.end(), Freed.begin())) << "class " << Class;
    for (void *Block : Taken)
      krax_free(Block);
  }
}

// Two threads release batches of one cache's elements, other sizes and interior addresses
// mixed in, through caches with stacks (FAST_HEAP) and without (the drop-in's): the answer is
// true exactly for a nonempty batch without an interior address; an element is in use exactly
// while its thread keeps it.
void ReleaseInBatches(DUZOVEV_FRONT_END &Heap) {
  std::vector<void *> Kept[2];
  auto Work = [&Heap](std::vector<void *> &Live, uint32_t Seed) {
    std::mt19937 Random(Seed);
    for (int32_t Round = 0; Round < 60; ++Round) {
      void *Array[300];
      int32_t Count = 0;
      Heap.MultipleNew(&Count, Array, 1 + static_cast<int32_t>(Random() % 300), Random() % 4 ? 256 : 48);
      Live.insert(Live.end(), Array, Array + Count);
      std::shuffle(Live.begin(), Live.end(), Random);
      std::vector<void *> Batch(Live.end() - static_cast<int64_t>(Random() % (Live.size() + 1)), Live.end());
      Live.resize(Live.size() - Batch.size());
      const bool Bad = !Live.empty() && Random() % 3 == 0;
      if (Bad)
        Batch.insert(Batch.begin() + static_cast<int64_t>(Random() % (Batch.size() + 1)),
                     static_cast<char *>(Live[0]) + 16);
      ASSERT_EQ(Heap.MultipleDelete(static_cast<int32_t>(Batch.size()), Batch.data(), 256), !Bad && !Batch.empty());
      for (void *Element : Live)
        ASSERT_TRUE(Heap.CheckAddress(Element, nullptr));
    }
  };
  std::thread Other(Work, std::ref(Kept[1]), 2u);
  Work(Kept[0], 1u);
  Other.join();
  for (std::vector<void *> &Live : Kept) {
    EXPECT_TRUE(Live.empty() || Heap.MultipleDelete(static_cast<int32_t>(Live.size()), Live.data(), 256));
    for (void *Element : Live)
      EXPECT_FALSE(Heap.CheckAddress(Element, nullptr));
  }
}

TEST(Threads, BatchReleasesAnswerPerElement) {
  FAST_HEAP Cached(1048576, true, false, true);
  ReleaseInBatches(Cached);
  dropin::DROPIN_HEAP Uncached;
  ReleaseInBatches(Uncached);
}

}  // namespace
