// The configured heap through its front end, beside the C library's malloc and
// free in the same run: one allocation and its release per iteration, with and
// without a size hint; batches of 64; and two threads that release each
// other's allocations.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "heap/frontend/fast_heap.h"

namespace {

FAST_HEAP &Heap() {
  static FAST_HEAP Shared(1048576, true, false, true);
  return Shared;
}

// A few live allocations of the size keep its pages from emptying, so that
// the pair measures the steady state, not page creation.
std::vector<void *> Anchor(int32_t Size) {
  std::vector<void *> Anchors;
  for (int Index = 0; Index < 4; ++Index)
    Anchors.push_back(Heap().New(Size));
  return Anchors;
}

void BM_HeapNewDelete(benchmark::State &State) {
  const int32_t Size = static_cast<int32_t>(State.range(0));
  const bool Hinted = State.range(1) != 0;
  const std::vector<void *> Anchors = Anchor(Size);
  for (auto _ : State) {
    void *Element = Heap().New(Size);
    benchmark::DoNotOptimize(Element);
    Heap().Delete(Element, Hinted ? Size : 0);
  }
  for (void *Element : Anchors)
    Heap().Delete(Element);
}

void BM_MallocFree(benchmark::State &State) {
  const size_t Size = static_cast<size_t>(State.range(0));
  std::vector<void *> Anchors;
  for (int Index = 0; Index < 4; ++Index)
    Anchors.push_back(std::malloc(Size));
  for (auto _ : State) {
    void *Element = std::malloc(Size);
    benchmark::DoNotOptimize(Element);
    std::free(Element);
  }
  for (void *Element : Anchors)
    std::free(Element);
}

void BM_HeapBatch64(benchmark::State &State) {
  void *Array[64];
  const std::vector<void *> Anchors = Anchor(64);
  for (auto _ : State) {
    int32_t Count = 0;
    Heap().MultipleNew(&Count, Array, 64, 64);
    benchmark::DoNotOptimize(Array[0]);
    Heap().MultipleDelete(Count, Array, 64);
  }
  for (void *Element : Anchors)
    Heap().Delete(Element);
}

void BM_MallocBatch64(benchmark::State &State) {
  void *Array[64];
  for (auto _ : State) {
    for (void *&Element : Array)
      Element = std::malloc(64);
    benchmark::DoNotOptimize(Array[0]);
    for (void *Element : Array)
      std::free(Element);
  }
}

// Each thread allocates into a ring that the other thread empties, so nearly
// every release is of an allocation the other thread made.
template <typename ALLOCATE, typename RELEASE>
void CrossThreadPairs(benchmark::State &State, ALLOCATE Allocate, RELEASE Release) {
  constexpr int Ring = 256;
  static std::atomic<void *> Slots[2][Ring];
  const int Mine = State.thread_index();
  const int Theirs = 1 - Mine;
  int Cursor = 0;
  for (auto _ : State) {
    void *Made = Allocate();
    void *Old = Slots[Mine][Cursor].exchange(Made, std::memory_order_acq_rel);
    void *Given = Slots[Theirs][Cursor].exchange(nullptr, std::memory_order_acq_rel);
    if (Given != nullptr)
      Release(Given);
    if (Old != nullptr)
      Release(Old);  // the other thread fell behind: this one goes back here
    Cursor = (Cursor + 1) % Ring;
  }
  if (Mine == 0)
    for (auto &Side : Slots)
      for (auto &Slot : Side)
        if (void *Left = Slot.exchange(nullptr))
          Release(Left);
}

void BM_HeapCrossThread(benchmark::State &State) {
  CrossThreadPairs(State, [] { return Heap().New(64); }, [](void *Element) { Heap().Delete(Element, 64); });
}

void BM_MallocCrossThread(benchmark::State &State) {
  CrossThreadPairs(State, [] { return std::malloc(64); }, [](void *Element) { std::free(Element); });
}

void Sizes(benchmark::internal::Benchmark *Bench) {
  for (int64_t Size : {16, 64, 256, 1024, 4096, 32768, 100000})
    Bench->Args({Size, 1})->Args({Size, 0});
}

BENCHMARK(BM_HeapNewDelete)->Apply(Sizes)->ArgNames({"size", "hint"});
BENCHMARK(BM_MallocFree)->Arg(16)->Arg(64)->Arg(256)->Arg(1024)->Arg(4096)->Arg(32768)->Arg(100000);
BENCHMARK(BM_HeapBatch64);
BENCHMARK(BM_MallocBatch64);
BENCHMARK(BM_HeapCrossThread)->Threads(2)->UseRealTime();
BENCHMARK(BM_MallocCrossThread)->Threads(2)->UseRealTime();

}  // namespace
