// The cost of releasing many blocks through the configured heap, by the order
// of release: a million or two blocks of 256 bytes, freed in a random order
// and in ascending address order. A random order brings every page of the
// bucket back onto its list in no particular place, which is where a list
// that is searched for each page's place grows with the square of the pages.
// Each iteration builds a fresh heap, allocates the blocks and orders them
// with the clock stopped; only the releases are timed. The same through the
// drop-in's krax_malloc and krax_free, whose thread cache gives the blocks
// back to the heap in batches, trimmed after each iteration.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "heap/frontend/fast_heap.h"
#include "malloc/krax_malloc.h"

namespace {

constexpr int32_t BlockSize = 256;

void Order(std::vector<void *> &Blocks, bool Random) {
  if (Random)
    std::shuffle(Blocks.begin(), Blocks.end(), std::mt19937_64(42));
  else
    std::sort(Blocks.begin(), Blocks.end(), std::less<>());
}

// The clock runs only while the blocks are released; After cleans up unseen.
template <typename NEW, typename DELETE, typename AFTER>
void TimeReleases(benchmark::State &State, NEW New, DELETE Delete, AFTER After) {
  const auto Count = static_cast<size_t>(State.range(0));
  std::vector<void *> Blocks(Count);
  for (auto _ : State) {
    State.PauseTiming();
    for (void *&Block : Blocks)
      Block = New();
    Order(Blocks, State.range(1) != 0);
    State.ResumeTiming();
    for (void *Block : Blocks)
      Delete(Block);
    State.PauseTiming();
    After();
    State.ResumeTiming();
  }
  State.SetItemsProcessed(static_cast<int64_t>(State.iterations() * Count));
}

void BM_ReleaseOrder(benchmark::State &State) {
  std::unique_ptr<FAST_HEAP> Heap;
  TimeReleases(
      State,
      [&Heap] {
        if (Heap == nullptr)
          Heap = std::make_unique<FAST_HEAP>(1048576, true, false, true);
        return Heap->New(BlockSize);
      },
      [&Heap](void *Block) { Heap->Delete(Block, BlockSize); }, [&Heap] { Heap.reset(); });
}

void BM_ReleaseOrderDropIn(benchmark::State &State) {
  TimeReleases(
      State, [] { return krax_malloc(BlockSize); }, krax_free, [] { krax_trim(0); });
}

void Shapes(benchmark::internal::Benchmark *Benchmark) {
  Benchmark->ArgsProduct({{1 << 20, 2 << 20}, {0, 1}})
      ->ArgNames({"blocks", "random"})
      ->Unit(benchmark::kMillisecond)
      ->Iterations(1);
}

BENCHMARK(BM_ReleaseOrder)->Apply(Shapes);
BENCHMARK(BM_ReleaseOrderDropIn)->Apply(Shapes);

}  // namespace
