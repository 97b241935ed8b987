// Costs of the lowest allocator layers, one operation at a time: element
// allocation and release on one page, page creation and deletion in the page
// store, cache allocation and release with a warm ready stack, and address
// lookups by a lookaside hit and by a chain walk with descent.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "heap/buckets/cache.h"
#include "heap/core/find.h"
#include "heap/core/heap.h"
#include "heap/pages/duzovev_back_end.h"
#include "heap/pages/new_pages.h"
#include "heap/support/thread_safe.h"

namespace {

constexpr int32_t VectorSizes[] = {1, 4, 16, 64};

// A top cache of 64-KB pages, a middle cache of 4-KB elements and a cache of
// 64-byte elements, connected as the heap core would connect them.
struct BENCH_TREE {
  DUZOVEV_BACK_END BackEnd;
  THREAD_SAFE ThreadSafe;
  CACHE Top{65536, 0, 65536, 65536, false, &ThreadSafe};
  CACHE Middle{4096, 8, 65536, 65536, true, &ThreadSafe};
  CACHE Small;
  FIND Find;
  NEW_PAGES Store{VectorSizes, &BackEnd, 4, &ThreadSafe};
  HEAP Heap;

  BENCH_TREE(bool ThreadSafeFlag, int32_t SmallCacheSize, int32_t LookasideThreshold)
      : ThreadSafe(ThreadSafeFlag),
        Small(64, SmallCacheSize, 4096, 4096, true, &ThreadSafe),
        Find(4096, 8192, LookasideThreshold, false, true, &BackEnd, &ThreadSafe) {
    Heap.FreePageLimit = 4;
    Top.UpdateCache(&Heap, &Store, NoBucket(), &Find, nullptr);
    Middle.UpdateCache(&Heap, &Store, &Top, &Find, nullptr);
    Small.UpdateCache(&Heap, &Store, &Middle, &Find, nullptr);
    Store.TopCache = &Top;
    Find.RegisterHeap(65535, 4095);
  }
  ~BENCH_TREE() {
    Small.ResetCache();
    Middle.ResetCache();
    Top.ResetCache();
  }
};

void BM_PageElementNewDelete(benchmark::State &State) {
  BENCH_TREE Tree(false, 0, 0);
  void *Anchor = Tree.Small.New();  // keeps the page from emptying
  PAGE *Page = Tree.Small.FindPage(reinterpret_cast<uint64_t>(Anchor), &Tree.Find);
  for (auto _ : State) {
    void *Element = Page->New(ELEMENT_STATE::InUse);
    ELEMENT_INFO Record;
    Page->FindElement(reinterpret_cast<uint64_t>(Element), &Record, &Tree.Find, false);
    benchmark::DoNotOptimize(Page->Delete(Record));
  }
}
BENCHMARK(BM_PageElementNewDelete);

void BM_StoreNewPageDeletePage(benchmark::State &State) {
  BENCH_TREE Tree(State.range(0) != 0, 0, 0);
  void *Anchor = Tree.Middle.New();  // keeps the middle page in place
  for (auto _ : State) {
    PAGE *Page = Tree.Store.NewPage(&Tree.Small, -1);
    Tree.Store.DeletePage(Page);
  }
  benchmark::DoNotOptimize(Anchor);
}
BENCHMARK(BM_StoreNewPageDeletePage)->Arg(0)->Arg(1)->ArgName("locked");

void BM_CacheNewDeleteWarmStack(benchmark::State &State) {
  BENCH_TREE Tree(State.range(0) != 0, 64, 0);
  std::vector<void *> Warm;
  for (int Index = 0; Index < 64; ++Index)
    Warm.push_back(Tree.Small.New());
  PAGE *Page = Tree.Small.FindPage(reinterpret_cast<uint64_t>(Warm[1]), &Tree.Find);
  for (int Index = 1; Index < 64; Index += 2)  // half of them back onto the stack
    Tree.Small.Delete(Warm[static_cast<size_t>(Index)], Page, Page->CurrentVersion());
  // The top of the stack goes out and comes straight back: always the same
  // element, so its page is looked up once, outside the loop.
  void *Top = Tree.Small.New();
  PAGE *Holder = Tree.Small.FindPage(reinterpret_cast<uint64_t>(Top), &Tree.Find);
  const int32_t Version = Holder->CurrentVersion();
  Tree.Small.Delete(Top, Holder, Version);
  for (auto _ : State) {
    void *Element = Tree.Small.New();
    if (Element != Top) {
      State.SkipWithError("the stack did not hand back its top");
      break;
    }
    benchmark::DoNotOptimize(Tree.Small.Delete(Element, Holder, Version));
  }
  Tree.Small.Flush();
}
BENCHMARK(BM_CacheNewDeleteWarmStack)->Arg(0)->Arg(1)->ArgName("locked");

void BM_CacheNewDeleteThroughFind(benchmark::State &State) {
  BENCH_TREE Tree(true, 64, 0);
  std::vector<void *> Warm;
  for (int Index = 0; Index < 64; ++Index)
    Warm.push_back(Tree.Small.New());
  for (auto _ : State) {
    void *Element = Tree.Small.New();
    benchmark::DoNotOptimize(Tree.Find.Delete(Element, &Tree.Top));
  }
  Tree.Small.Flush();
}
BENCHMARK(BM_CacheNewDeleteThroughFind);

// Lookups of addresses spread over many small pages.
void Lookups(benchmark::State &State, int32_t Threshold) {
  BENCH_TREE Tree(true, 0, Threshold);
  std::vector<void *> Elements;
  for (int Index = 0; Index < 64 * 64; ++Index)
    Elements.push_back(Tree.Small.New());
  int32_t Size = 0;
  for (void *Element : Elements)  // fills the lookaside when it is on
    Tree.Find.DescribeAddress(Element, nullptr, &Tree.Top, Size);
  size_t Next = 0;
  for (auto _ : State) {
    benchmark::DoNotOptimize(Tree.Find.DescribeAddress(Elements[Next], nullptr, &Tree.Top, Size));
    Next = (Next + 97) % Elements.size();
  }
}

void BM_FindLookasideHit(benchmark::State &State) { Lookups(State, 0); }
BENCHMARK(BM_FindLookasideHit);

// With the lookaside never switched on, every lookup walks a chain and
// descends from the top page through the middle page to the small page.
void BM_FindChainWalk(benchmark::State &State) { Lookups(State, INT32_MAX); }
BENCHMARK(BM_FindChainWalk);

}  // namespace
