#include "malloc/central_lists.h"

#include <new>

#include "heap/support/hybrid_lock.h"

namespace dropin {

namespace {

// About 256 KiB of each class may wait here, from 2 to MaxBatches batches.
// (64 KiB held 2 MiB less in a four-thread server pinned to one processor,
// but on two its threads reached the heap often enough to cost 10 to 20 %
// more processor time, and its peak there is set by scheduling anyway.)
constexpr int64_t CentralBytes = 262144;
constexpr int32_t MaxBatches = 64;

struct CLASS_LIST {
  HYBRID_LOCK Lock{4096, 256};
  int32_t Count = 0;
  int32_t Capacity = 0;
};

alignas(CLASS_LIST) constinit unsigned char ListStorage[sizeof(CLASS_LIST) * ClassCount] = {};
constinit CLASS_LIST *Lists = nullptr;
// Apart from the locks, which are built at start: zeros that no one writes
// until a class hands over its first batch, so that the classes a program
// never exchanges cost no resident memory. Line-aligned: two classes' batches
// never share a cache line.
alignas(64) constinit BATCH Batches[ClassCount][MaxBatches] = {};

int32_t CapacityOf(int32_t Class) {
  const int64_t Capacity = CentralBytes / (static_cast<int64_t>(BatchOf(Class)) * ClassBytes[Class]);
  return Capacity < 2 ? 2 : Capacity > MaxBatches ? MaxBatches : static_cast<int32_t>(Capacity);
}

}  // namespace

void CENTRAL_LISTS::Build() {
  auto *Built = reinterpret_cast<CLASS_LIST *>(ListStorage);
  for (int32_t Class = 0; Class < ClassCount; ++Class) {
    new (&Built[Class]) CLASS_LIST{};
    Built[Class].Capacity = CapacityOf(Class);
  }
  Lists = Built;
}

bool CENTRAL_LISTS::Give(int32_t Class, BATCH Batch) {
  CLASS_LIST &List = Lists[Class];
  List.Lock.Acquire();
  const bool Kept = List.Count < List.Capacity;
  if (Kept)
    Batches[Class][List.Count++] = Batch;
  List.Lock.Release();
  return Kept;
}

bool CENTRAL_LISTS::Take(int32_t Class, BATCH &Batch) {
  CLASS_LIST &List = Lists[Class];
  List.Lock.Acquire();
  const bool Found = List.Count > 0;
  if (Found)
    Batch = Batches[Class][--List.Count];
  List.Lock.Release();
  return Found;
}

void CENTRAL_LISTS::Drain(void (*Release)(int32_t Class, BATCH Batch)) {
  for (int32_t Class = 0; Class < ClassCount; ++Class) {
    BATCH Batch;
    while (Take(Class, Batch))
      Release(Class, Batch);
  }
}

void CENTRAL_LISTS::LockAll() {
  for (int32_t Class = 0; Class < ClassCount; ++Class)
    Lists[Class].Lock.Acquire();
}

void CENTRAL_LISTS::UnlockAll() {
  for (int32_t Class = 0; Class < ClassCount; ++Class)
    Lists[Class].Lock.Release();
}

}  // namespace dropin
