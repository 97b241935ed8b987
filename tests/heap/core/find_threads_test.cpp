// Threads inserting, removing and looking up pages while the table grows
// under them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "heap/core/find.h"
#include "tests/heap/pages/test_tree.h"

namespace {

TEST(FindThreads, LookupsInsertsAndRemovalsWhileTheTableGrows) {
  TEST_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe(true);
  CACHE Owner(65536, 0, 65536, 65536, false, &ThreadSafe);
  FIND Find(1024, 128, 0, false, true, &BackEnd, &ThreadSafe);
  Find.RegisterHeap(65535, 65535);
  constexpr int32_t Threads = 4;
  constexpr int32_t PerThread = 1000;
  struct alignas(PAGE) SLOT {
    unsigned char Bytes[256];
  };
  std::vector<SLOT> Storage(static_cast<size_t>(Threads * PerThread));
  std::vector<PAGE *> Pages;
  for (int32_t Index = 0; Index < Threads * PerThread; ++Index)
    Pages.push_back(new (&Storage[static_cast<size_t>(Index)])
                        PAGE(0x200000000ull + 0x10000ull * static_cast<uint64_t>(Index), &Owner, 65536, NoBucket(), 2));
  std::atomic<int32_t> Failures{0};
  std::vector<std::thread> Workers;
  for (int32_t Thread = 0; Thread < Threads; ++Thread) {
    Workers.emplace_back([&, Thread] {
      const int32_t First = Thread * PerThread;
      for (int32_t Round = 0; Round < 3; ++Round) {
        for (int32_t Index = First; Index < First + PerThread; ++Index)
          Find.InsertPage(Pages[static_cast<size_t>(Index)]);
        for (int32_t Index = First; Index < First + PerThread; ++Index) {
          Find.ClaimShared();
          PAGE *Found = Find.LocatePage(Pages[static_cast<size_t>(Index)]->Address, NoBucket());
          Find.ReleaseShared();
          if (Found != Pages[static_cast<size_t>(Index)])
            Failures.fetch_add(1);
        }
        if (Round == 2)
          break;  // the last round leaves its pages in
        for (int32_t Index = First; Index < First + PerThread; Index += 2)
          Find.RemovePage(Pages[static_cast<size_t>(Index)]);
        for (int32_t Index = First; Index < First + PerThread; Index += 2)
          Find.InsertPage(Pages[static_cast<size_t>(Index)]);
        for (int32_t Index = First; Index < First + PerThread; ++Index)
          Find.RemovePage(Pages[static_cast<size_t>(Index)]);
      }
    });
  }
  for (std::thread &Worker : Workers)
    Worker.join();
  EXPECT_EQ(Failures.load(), 0);
  EXPECT_EQ(Find.PageCount, Threads * PerThread);
  EXPECT_GE(Find.HashSize, 8192) << "4000 pages pass three quarters of 4096 chains";
  for (PAGE *Page : Pages)
    EXPECT_EQ(Find.LocatePage(Page->Address, NoBucket()), Page);
  EXPECT_EQ(BackEnd.OutstandingAreas(), 1 + Find.Map.AreaCount()) << "every outgrown block went back";
}

}  // namespace
