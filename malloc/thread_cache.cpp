#include "malloc/thread_cache.h"

#include <cerrno>
#include <cstring>

#include <new>

#include "heap/frontend/duzovev_front_end.h"
#include "heap/support/hybrid_lock.h"
#include "malloc/process_heap.h"

namespace dropin {

namespace {

// Every list empty with Limit 0: the blocks of threads that have none.
constinit THREAD_CACHE FreshBlock = {{}, THREAD_CACHE::Fresh, nullptr};
constinit THREAD_CACHE ClosedBlock = {{}, THREAD_CACHE::Closed, nullptr};

alignas(HYBRID_LOCK) constinit unsigned char PoolLockStorage[sizeof(HYBRID_LOCK)] = {};
constinit HYBRID_LOCK *PoolLock = nullptr;
constinit THREAD_CACHE *Pool = nullptr;

// A block of an ended thread, or a new one of the heap's permanent memory.
THREAD_CACHE *TakeBlock() {
  PoolLock->Acquire();
  THREAD_CACHE *Block = Pool;
  if (Block != nullptr)
    Pool = Block->NextFree;
  PoolLock->Release();
  if (Block == nullptr && !InHeap) {
    InHeap = true;
    Block = static_cast<THREAD_CACHE *>(PROCESS_HEAP::Heap()->NewPermanentArea(sizeof(THREAD_CACHE)));
    InHeap = false;
    if (Block != nullptr) {
      Block->Counts.Enlist();
      Block->SpanReserve = SPAN_RESERVE{};
    }
  }
  return Block;
}

void ReturnBlock(THREAD_CACHE *Block) {
  PoolLock->Acquire();
  Block->NextFree = Pool;
  Pool = Block;
  PoolLock->Release();
}

}  // namespace

constinit thread_local THREAD_CACHE *ThreadCache = &FreshBlock;
constinit thread_local bool InHeap = false;

namespace {

enum class ROUTE { Cached, Direct, Bootstrap, None };

void *NoMemory() {
  errno = ENOMEM;
  return nullptr;
}

void FlushBlock(THREAD_CACHE &Cache) {
  for (int32_t Class = 0; Class < ClassCount; ++Class) {
    FREE_LIST &List = Cache.Lists[Class];
    const int32_t Count = List.Count;
    List.Count = 0;
    THREAD_CACHE::ReleaseArray(Class, List.Slots, Count);
  }
}

// A batch between threads is packed: every element that starts a run of as
// many elements as it has words carries the rest of its run (words 1 and on)
// and the next such carrier (word 0, null at the last). A batch of 64
// elements of 256 bytes then writes and reads two elements instead of 64,
// and the one who takes it waits for two misses in a row instead of 64.
BATCH Pack(int32_t Class, void **Elements, int32_t Count) {
  const int32_t Words = ClassBytes[Class] / static_cast<int32_t>(sizeof(void *));
  for (int32_t First = 0; First < Count; First += Words) {
    auto **Carrier = static_cast<void **>(Elements[First]);
    Carrier[0] = First + Words < Count ? Elements[First + Words] : nullptr;
    for (int32_t Word = 1; Word < Words && First + Word < Count; ++Word)
      Carrier[Word] = Elements[First + Word];
  }
  return BATCH{Count > 0 ? Elements[0] : nullptr, Count};
}

// Hands every element of a packed batch to Take, a carrier after what it
// carries, so that Take may release it.
template <typename TAKE>
void Unpack(int32_t Class, BATCH Batch, TAKE &&Take) {
  const int32_t Words = ClassBytes[Class] / static_cast<int32_t>(sizeof(void *));
  int32_t Left = Batch.Count;
  for (void *Next = Batch.Head; Next != nullptr && Left > 0;) {
    auto **Carrier = static_cast<void **>(Next);
    Next = Carrier[0];
    const int32_t Carried = Left - 1 < Words - 1 ? Left - 1 : Words - 1;
    for (int32_t Word = 1; Word <= Carried; ++Word)
      Take(Carrier[Word]);
    Take(static_cast<void *>(Carrier));
    Left -= Carried + 1;
  }
}

// The stack's older batch leaves it: to the central list while it has room,
// else to the heap.
void HandOnOlderBatch(int32_t Class, FREE_LIST &List) {
  const int32_t Batch = List.Limit / 2;
  if (!CENTRAL_LISTS::Give(Class, Pack(Class, List.Slots, Batch)))
    THREAD_CACHE::ReleaseArray(Class, List.Slots, Batch);
  List.Count -= Batch;
  std::memmove(List.Slots, List.Slots + Batch, static_cast<size_t>(List.Count) * sizeof(void *));
}

// A central batch becomes the stack. No thread gives more than a batch; a
// batch that would not fit all the same goes back to the heap.
void TakeCentralBatch(int32_t Class, FREE_LIST &List, BATCH Batch) {
  if (Batch.Count > List.Limit) {
    THREAD_CACHE::ReleaseBatch(Class, Batch);
    return;
  }
  Unpack(Class, Batch, [&List](void *Element) { List.Slots[List.Count++] = Element; });
}

// Opens lists for this thread once the heap exists. A thread whose end
// cannot be heard of keeps no lists: what it held would be lost when it ends.
ROUTE Admit() {
  if (ThreadCache->State == THREAD_CACHE::Open)
    return ROUTE::Cached;
  switch (PROCESS_HEAP::Prepare()) {
    case PROCESS_HEAP::ACCESS::Bootstrap:
      return ROUTE::Bootstrap;
    case PROCESS_HEAP::ACCESS::None:
      return ROUTE::None;
    case PROCESS_HEAP::ACCESS::Heap:
      break;
  }
  if (ThreadCache != &FreshBlock || !PROCESS_HEAP::HasThreadExitSlot())
    return ROUTE::Direct;
  THREAD_CACHE *Block = TakeBlock();
  if (Block == nullptr)
    return ROUTE::Direct;
  // Opened before the slot is set: setting it may allocate, and that
  // allocation must find the lists ready.
  void **Slots = Block->SlotStore;
  for (int32_t Class = 0; Class < ClassCount; ++Class) {
    Block->Lists[Class] = FREE_LIST{Slots, 0, 2 * BatchOf(Class)};
    Slots += 2 * BatchOf(Class);
  }
  Block->State = THREAD_CACHE::Open;
  Block->NextFree = nullptr;
  ThreadCache = Block;
  if (platform::SetThreadExitValue(PROCESS_HEAP::ThreadExitSlot(), Block))
    return ROUTE::Cached;
  THREAD_CACHE::ThreadEnds(Block);
  return ROUTE::Direct;
}

void *AllocateDirect(int32_t Class) {
  if (HEAP_CALL::Inside())
    return NoMemory();
  void *Element = nullptr;
  {
    HEAP_CALL Call;
    Element = PROCESS_HEAP::Heap()->New(ClassBytes[Class]);
  }
  if (Element == nullptr)
    return NoMemory();
  if (!ADDRESS_MAP::Cover(Element, 16)) {
    HEAP_CALL Call;
    PROCESS_HEAP::Heap()->Delete(Element, ClassBytes[Class]);
    return NoMemory();
  }
  STATISTICS::DirectAllocated(Class);
  ADDRESS_MAP::Mark(Element, static_cast<uint8_t>(Class + 1));
  return Element;
}

void ReleaseDirect(void *Element, int32_t Class) {
  STATISTICS::DirectFreed(Class);
  if (HEAP_CALL::Inside() || PROCESS_HEAP::Heap() == nullptr)
    return;  // kept out of circulation: the heap cannot be entered twice
  HEAP_CALL Call;
  PROCESS_HEAP::Heap()->Delete(Element, ClassBytes[Class]);
}

// A batch from the heap in one call: the first element goes to the caller,
// the rest become the stack.
void *Refill(int32_t Class) {
  if (HEAP_CALL::Inside())
    return NoMemory();
  FREE_LIST &List = ThreadCache->Lists[Class];
  void *Elements[MaxBatch];
  int32_t Obtained = 0;
  {
    HEAP_CALL Call;
    PROCESS_HEAP::Heap()->MultipleNew(&Obtained, Elements, List.Limit / 2, ClassBytes[Class]);
  }
  int32_t Covered = 0;
  while (Covered < Obtained && ADDRESS_MAP::Cover(Elements[Covered], 16))
    ++Covered;
  if (Covered < Obtained) {
    HEAP_CALL Call;
    PROCESS_HEAP::Heap()->MultipleDelete(Obtained - Covered, Elements + Covered, ClassBytes[Class]);
  }
  if (Covered == 0)
    return NoMemory();
  // Elements smaller than a cache line are handed out a line apart (0, 4, 8,
  // ..., 1, 5, 9, ... for 16 bytes): consecutive allocations that a program
  // gives to different threads then do not share a line.
  const int32_t PerLine = ClassBytes[Class] < 64 && 64 % ClassBytes[Class] == 0 ? 64 / ClassBytes[Class] : 1;
  List.Count = 0;
  for (int32_t Phase = (PerLine < Covered ? PerLine : Covered) - 1; Phase >= 0; --Phase)
    for (int32_t Index = Phase + (Covered - 1 - Phase) / PerLine * PerLine; Index >= 1; Index -= PerLine)
      List.Slots[List.Count++] = Elements[Index];
  ThreadCache->Counts.Allocated(Class);
  ADDRESS_MAP::Mark(Elements[0], static_cast<uint8_t>(Class + 1));
  return Elements[0];
}

}  // namespace

void *THREAD_CACHE::AllocateSlow(int32_t Class) {
  if (ThreadCache->State == Open)
    ThreadCache->Counts.Settle(Class);
  if (ThreadCache->Lists[Class].Limit == 0) {
    switch (Admit()) {
      case ROUTE::Bootstrap:
        return PROCESS_HEAP::BootstrapAllocate(static_cast<size_t>(ClassBytes[Class]));
      case ROUTE::None:
        return NoMemory();
      case ROUTE::Direct:
        return AllocateDirect(Class);
      case ROUTE::Cached:
        break;
    }
    if (ThreadCache->Lists[Class].Count != 0)  // filled while the thread's slot was set
      return Allocate(Class);
  }
  BATCH Batch;
  if (CENTRAL_LISTS::Take(Class, Batch)) {
    TakeCentralBatch(Class, ThreadCache->Lists[Class], Batch);
    if (ThreadCache->Lists[Class].Count != 0)
      return Allocate(Class);
  }
  return Refill(Class);
}

void THREAD_CACHE::ReleaseSlow(void *Address, int32_t Class) {
  if (ThreadCache->Lists[Class].Limit == 0) {
    if (Admit() != ROUTE::Cached) {
      ReleaseDirect(Address, Class);
      return;
    }
    if (ThreadCache->Lists[Class].Count < ThreadCache->Lists[Class].Limit) {
      Release(Address, Class);
      return;
    }
  }
  ThreadCache->Counts.Freed(Class);
  ThreadCache->Counts.Settle(Class);
  FREE_LIST &List = ThreadCache->Lists[Class];
  if (HEAP_CALL::Inside())
    return;  // a full list while inside the heap: kept out of circulation
  HandOnOlderBatch(Class, List);
  List.Slots[List.Count++] = Address;
}

void THREAD_CACHE::ReleaseBatch(int32_t Class, BATCH Batch) {
  if (HEAP_CALL::Inside())
    return;
  void *Elements[MaxBatch];
  int32_t Count = 0;
  Unpack(Class, Batch, [&](void *Element) {
    Elements[Count++] = Element;
    if (Count == MaxBatch) {
      ReleaseArray(Class, Elements, Count);
      Count = 0;
    }
  });
  ReleaseArray(Class, Elements, Count);
}

void THREAD_CACHE::ReleaseArray(int32_t Class, void **Elements, int32_t Count) {
  if (HEAP_CALL::Inside())
    return;
  for (int32_t Done = 0; Done < Count; Done += MaxBatch) {
    HEAP_CALL Call;
    PROCESS_HEAP::Heap()->MultipleDelete(Count - Done < MaxBatch ? Count - Done : MaxBatch, Elements + Done,
                                         ClassBytes[Class]);
  }
}

void THREAD_CACHE::Flush() {
  if (ThreadCache->State == Open)
    FlushBlock(*ThreadCache);
}

// Handed the thread's own block: the thread's storage may be gone already.
// The thread points at the closed block from now on, so that whatever it
// still allocates or frees goes straight to the heap, and the block can be
// reused by a thread that starts later.
void THREAD_CACHE::ThreadEnds(void *Cache) {
  auto *Block = static_cast<THREAD_CACHE *>(Cache);
  ThreadCache = &ClosedBlock;
  if (Block == nullptr || Block == &FreshBlock || Block == &ClosedBlock)
    return;
  Block->Counts.SettleAll();
  FlushBlock(*Block);
  LARGE_SPANS::GiveBack(Block->SpanReserve, Block->Counts);
  Block->State = Closed;
  ReturnBlock(Block);
}

void THREAD_CACHE::Build() { PoolLock = new (PoolLockStorage) HYBRID_LOCK(4096, 256); }
void THREAD_CACHE::LockPool() { PoolLock->Acquire(); }
void THREAD_CACHE::UnlockPool() { PoolLock->Release(); }

}  // namespace dropin
