// The allocator's counts against a model of one thread's calls, and threads
// that free each other's blocks. (The reports' text: tests/malloc/preload.)
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <cstring>
#include <thread>
#include <vector>

#include "malloc/krax_malloc.h"
#include "malloc/size_classes.h"

namespace {

constexpr int SpanKey = -1, LargeKey = -2, AlignedKey = -3;

// Nothing here allocates, so that the counts stay exact when the tests run
// with the library preloaded under malloc itself.
struct MODEL {
  static constexpr int Capacity = 1500;
  krax_statistics Counts;
  void *Pointers[Capacity];
  int Keys[Capacity];  // the block's class, or one of the keys above
  int Count = 0;

  krax_block_stats &Blocks(int Key) { return Key == SpanKey ? Counts.spans : Key == LargeKey ? Counts.large : Counts.aligned; }
  // A class element's usable size is its class's: a realloc that stays keeps it.
  void Add(void *Block, bool Aligned) {
    const size_t Usable = krax_usable_size(Block);
    const int Key = Aligned ? AlignedKey : Usable > 1048576 ? LargeKey : Usable > 32768 ? SpanKey : dropin::ClassOf(Usable);
    if (Key >= 0) {
      ++Counts.classes[Key].allocated;
      Counts.classes[Key].peak = std::max(Counts.classes[Key].peak, ++Counts.classes[Key].live);
    } else {
      krax_block_stats &Kind = Blocks(Key);
      ++Kind.allocated;
      Kind.peak = std::max(Kind.peak, ++Kind.live);
      Kind.peak_bytes = std::max(Kind.peak_bytes, Kind.live_bytes += Usable);
    }
    Pointers[Count] = Block;
    Keys[Count++] = Key;
  }
  // Entry Index, before its block is freed, while its size can be asked.
  void Remove(int Index) {
    const int Key = Keys[Index];
    if (Key >= 0) {
      --Counts.classes[Key].live;
      ++Counts.classes[Key].freed;
    } else {
      --Blocks(Key).live;
      ++Blocks(Key).freed;
      Blocks(Key).live_bytes -= krax_usable_size(Pointers[Index]);
    }
    Pointers[Index] = Pointers[--Count];
    Keys[Index] = Keys[Count];
  }
};

template <typename COUNTS>
bool Same(const COUNTS &Left, const COUNTS &Right) {
  return std::memcmp(&Left, &Right, sizeof Left) == 0;
}

// Every kind of block, frees refused as double, interior and foreign, and
// reallocs that stay or move: one thread, so even the peaks are exact.
TEST(Statistics, CountsFollowAModelOfOneThread) {
  MODEL Model;
  krax_stats(&Model.Counts);
  std::mt19937 Random(21);
  int OnStack = 0;
  for (int Step = 0; Step < 4000; ++Step) {
    const uint32_t Draw = Random() % 100;
    const int Index = Model.Count == 0 ? -1 : static_cast<int>(Random() % static_cast<uint32_t>(Model.Count));
    void *Some = Index < 0 ? nullptr : Model.Pointers[Index];
    const int Key = Index < 0 ? 0 : Model.Keys[Index];
    if ((Draw < 45 && Model.Count < MODEL::Capacity) || Some == nullptr) {
      const uint32_t Band = Random() % 100;
      const size_t Bytes = Band < 80 ? Random() % 2000 : Band < 95 ? 32769 + Random() % 900000 : 1100000 + Random() % 3000000;
      const bool Aligned = Random() % 50 == 0;
      Model.Add(Aligned ? krax_memalign(size_t{1} << 17, Bytes) : krax_malloc(Bytes), Aligned);
    } else if (Draw < 85) {
      Model.Remove(Index);
      krax_free(Some);
    } else if (Draw < 92) {
      const size_t Bytes = 1 + (Random() % 2 == 0 ? Random() % 2000 : 32769 + Random() % 600000);
      Model.Remove(Index);
      void *Moved = krax_realloc(Some, Bytes);
      Model.Add(Moved, Moved == Some && Key == AlignedKey);
      if (Moved == Some) {  // resized in place: no block was allocated or freed
        ASSERT_EQ(Model.Keys[Model.Count - 1], Key);
        --(Key >= 0 ? Model.Counts.classes[Key].allocated : Model.Blocks(Key).allocated);
        --(Key >= 0 ? Model.Counts.classes[Key].freed : Model.Blocks(Key).freed);
      }
    } else if (Key != AlignedKey) {
      krax_free(static_cast<char *>(Some) + 8);
      ++Model.Counts.refused_interior;
      krax_free(&OnStack);
      ++Model.Counts.refused_foreign;
      if (Key >= 0) {  // a class element waits in this thread's lists, its start known
        Model.Remove(Index);
        krax_free(Some);
        krax_free(Some);
        ++Model.Counts.refused_double;
      }
    }
  }
  while (Model.Count > 0) {
    void *Block = Model.Pointers[0];
    Model.Remove(0);
    krax_free(Block);
  }
  krax_statistics Got;
  krax_stats(&Got);
  for (uint32_t Class = 0; Class < Got.class_count; ++Class)
    EXPECT_TRUE(Same(Got.classes[Class], Model.Counts.classes[Class])) << "class of " << Got.classes[Class].size;
  EXPECT_TRUE(Same(Got.spans, Model.Counts.spans));
  EXPECT_TRUE(Same(Got.large, Model.Counts.large));
  EXPECT_TRUE(Same(Got.aligned, Model.Counts.aligned));
  EXPECT_EQ(Got.refused_double, Model.Counts.refused_double);
  EXPECT_EQ(Got.refused_interior, Model.Counts.refused_interior);
  EXPECT_EQ(Got.refused_foreign, Model.Counts.refused_foreign);
  EXPECT_GE(Got.system_peak, Got.system_taken - Got.system_returned);
}

// Threads that allocate blocks of one class and free each other's: every
// allocation and free is counted once, and the peak holds at least the most
// that were live at once.
TEST(Statistics, ThreadsFreeingEachOthersBlocksAreCountedOnce) {
  constexpr int Threads = 4, PerThread = 3000;
  krax_statistics Before, After;
  krax_stats(&Before);
  std::vector<std::vector<void *>> Blocks(Threads);  // never grown into the class of 2,500 bytes
  std::vector<std::thread> Workers;
  for (int Thread = 0; Thread < Threads; ++Thread)
    Workers.emplace_back([&Blocks, Thread] {
      for (int Index = 0; Index < PerThread; ++Index)
        Blocks[Thread].push_back(krax_malloc(2500));
    });
  for (std::thread &Worker : Workers)
    Worker.join();
  Workers.clear();
  for (int Thread = 0; Thread < Threads; ++Thread)
    Workers.emplace_back([&Blocks, Thread] {
      for (void *Block : Blocks[(Thread + 1) % Threads])
        krax_free(Block);
    });
  for (std::thread &Worker : Workers)
    Worker.join();
  krax_stats(&After);
  const int32_t Class = dropin::ClassOf(2500);
  const krax_class_stats &Was = Before.classes[Class], &Is = After.classes[Class];
  EXPECT_EQ(Is.allocated - Was.allocated, uint64_t{Threads * PerThread});
  EXPECT_EQ(Is.freed - Was.freed, uint64_t{Threads * PerThread});
  EXPECT_EQ(Is.live, Was.live);
  EXPECT_GE(Is.peak, Was.live + Threads * PerThread);
}

}  // namespace
