// The allocator's counts against a model of one thread's calls, threads that
// free each other's blocks, and the text of the reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "malloc/krax_malloc.h"
#include "malloc/statistics_report.h"

namespace {

enum KIND { Span, Large, Aligned };

// Nothing here allocates, so that the counts stay exact when the tests run
// with the library preloaded under malloc itself.
struct MODEL {
  static constexpr int Capacity = 1500;
  krax_statistics Counts;
  void *Pointers[Capacity];
  int Keys[Capacity];  // the block's class, or -1 - KIND
  int Count = 0;

  krax_block_stats &Blocks(int Key) { return Key == -1 ? Counts.spans : Key == -2 ? Counts.large : Counts.aligned; }
  void Add(void *Block, size_t Bytes, bool Aligned) {
    const size_t Usable = krax_usable_size(Block);
    int Key = Aligned ? -1 - KIND::Aligned : Usable > 1048576 ? -1 - Large : Usable > 32768 ? -1 - Span : 0;
    if (Key == 0) {
      while (Counts.classes[Key].size < Bytes)
        ++Key;
      krax_class_stats &Class = Counts.classes[Key];
      ++Class.allocated;
      Class.peak = std::max(Class.peak, ++Class.live);
    } else {
      ++Blocks(Key).allocated;
      Blocks(Key).peak = std::max(Blocks(Key).peak, ++Blocks(Key).live);
      Resize(Key, 0, Usable);
    }
    Pointers[Count] = Block;
    Keys[Count++] = Key;
  }
  void Resize(int Key, size_t Old, size_t New) {
    if (Key < 0) {
      Blocks(Key).live_bytes += New - Old;
      Blocks(Key).peak_bytes = std::max(Blocks(Key).peak_bytes, Blocks(Key).live_bytes);
    }
  }
  // Entry Index, before its block is freed, while its size can be asked.
  void Remove(int Index) {
    void *Block = Pointers[Index];
    const int Key = Keys[Index];
    if (Key >= 0) {
      --Counts.classes[Key].live;
      ++Counts.classes[Key].freed;
    } else {
      --Blocks(Key).live;
      ++Blocks(Key).freed;
      Blocks(Key).live_bytes -= krax_usable_size(Block);
    }
    --Count;
    Pointers[Index] = Pointers[Count];
    Keys[Index] = Keys[Count];
  }
};

void ExpectBlocks(const krax_block_stats &Got, const krax_block_stats &Want) {
  EXPECT_EQ(Got.live, Want.live);
  EXPECT_EQ(Got.live_bytes, Want.live_bytes);
  EXPECT_EQ(Got.peak, Want.peak);
  EXPECT_EQ(Got.peak_bytes, Want.peak_bytes);
  EXPECT_EQ(Got.allocated, Want.allocated);
  EXPECT_EQ(Got.freed, Want.freed);
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
      Model.Add(Aligned ? krax_memalign(size_t{1} << 17, Bytes) : krax_malloc(Bytes), Bytes, Aligned);
    } else if (Draw < 85) {
      Model.Remove(Index);
      krax_free(Some);
    } else if (Draw < 92) {
      const size_t Bytes = 1 + (Random() % 2 == 0 ? Random() % 2000 : 32769 + Random() % 600000);
      Model.Remove(Index);
      void *Moved = krax_realloc(Some, Bytes);
      Model.Add(Moved, Bytes, Moved == Some && Key == -1 - KIND::Aligned);
      if (Moved == Some) {  // resized in place: no block was allocated or freed
        ASSERT_EQ(Model.Keys[Model.Count - 1], Key);
        --(Key >= 0 ? Model.Counts.classes[Key].allocated : Model.Blocks(Key).allocated);
        --(Key >= 0 ? Model.Counts.classes[Key].freed : Model.Blocks(Key).freed);
      }
    } else if (Key != -1 - KIND::Aligned) {
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
  for (uint32_t Class = 0; Class < Got.class_count; ++Class) {
    SCOPED_TRACE(Got.classes[Class].size);
    EXPECT_EQ(Got.classes[Class].live, Model.Counts.classes[Class].live);
    EXPECT_EQ(Got.classes[Class].peak, Model.Counts.classes[Class].peak);
    EXPECT_EQ(Got.classes[Class].allocated, Model.Counts.classes[Class].allocated);
    EXPECT_EQ(Got.classes[Class].freed, Model.Counts.classes[Class].freed);
  }
  ExpectBlocks(Got.spans, Model.Counts.spans);
  ExpectBlocks(Got.large, Model.Counts.large);
  ExpectBlocks(Got.aligned, Model.Counts.aligned);
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
  std::vector<std::vector<void *>> Blocks(Threads);
  for (std::vector<void *> &List : Blocks)
    List.reserve(PerThread);
  std::vector<std::thread> Workers;
  Workers.reserve(Threads);
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

std::string Captured;
void Capture(const char *Text, size_t Length) { Captured.append(Text, Length); }

TEST(Statistics, ReportsNameTheLiveBlocksAndTheRefusals) {
  void *Blocks[6];
  for (void *&Block : Blocks)
    Block = krax_malloc(20000);  // class 36, of 21504 bytes
  Captured.clear();
  Captured.reserve(65536);  // the sink allocates nothing while the heap is walked
  dropin::WriteLeaks(Capture);
  char First[40];
  snprintf(First, sizeof First, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(Blocks[0])));
  const size_t Row = Captured.find("\n     36  21504          6        129024  0x");
  ASSERT_NE(Row, std::string::npos) << Captured;
  void *Listed = reinterpret_cast<void *>(std::stoull(Captured.substr(Row + 42), nullptr, 16));
  EXPECT_NE(std::find(std::begin(Blocks), std::end(Blocks), Listed), std::end(Blocks)) << Captured;
  Captured.clear();
  dropin::WriteStatistics(Capture);
  EXPECT_NE(Captured.find("\n     36  21504 "), std::string::npos) << Captured;
  EXPECT_NE(Captured.find("\nrefused: double "), std::string::npos) << Captured;
  Captured.clear();
  dropin::WriteRefusal(Capture, dropin::REFUSAL_KIND::Double, Blocks[0], "free");
  EXPECT_EQ(Captured, std::string("krax_malloc: free(") + First + ") refused: the block is free already\n");
  for (void *Block : Blocks)
    krax_free(Block);
}

}  // namespace
