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

void BM_ReleaseOrder(benchmark::State &State) {
  const auto Count = static_cast<size_t>(State.range(0));
  const bool Random = State.range(1) != 0;
  std::vector<void *> Blocks(Count);
  for (auto _ : State) {
    State.PauseTiming();
    auto Heap = std::make_unique<FAST_HEAP>(1048576, true, false, true);
    for (void *&Block : Blocks)
      Block = Heap->New(BlockSize);
    Order(Blocks, Random);
    State.ResumeTiming();
    for (void *Block : Blocks)
      Heap->Delete(Block, BlockSize);
    State.PauseTiming();
    Heap.reset();
    State.ResumeTiming();
  }
  State.SetItemsProcessed(static_cast<int64_t>(State.iterations() * Count));
}

void BM_ReleaseOrderDropIn(benchmark::State &State) {
  const auto Count = static_cast<size_t>(State.range(0));
  const bool Random = State.range(1) != 0;
  std::vector<void *> Blocks(Count);
  for (auto _ : State) {
    State.PauseTiming();
    for (void *&Block : Blocks)
      Block = krax_malloc(BlockSize);
    Order(Blocks, Random);
    State.ResumeTiming();
    for (void *Block : Blocks)
      krax_free(Block);
    State.PauseTiming();
    krax_trim(0);
    State.ResumeTiming();
  }
  State.SetItemsProcessed(static_cast<int64_t>(State.iterations() * Count));
}

BENCHMARK(BM_ReleaseOrder)
    ->ArgsProduct({{1 << 20, 2 << 20}, {0, 1}})
    ->ArgNames({"blocks", "random"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_ReleaseOrderDropIn)
    ->ArgsProduct({{1 << 20, 2 << 20}, {0, 1}})
    ->ArgNames({"blocks", "random"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
