#include "malloc/thread_cache.h"

#include <cerrno>

#include "heap/frontend/duzovev_front_end.h"
#include "malloc/process_heap.h"

namespace dropin {

constinit thread_local THREAD_CACHE ThreadCache = {};

namespace {

enum class ROUTE { Cached, Direct, Bootstrap, None };

void *NoMemory() {
  errno = ENOMEM;
  return nullptr;
}

// Opens this thread's lists once the heap exists. A thread whose end cannot
// be heard of keeps no lists: what it held would be lost when it ends.
ROUTE Admit() {
  THREAD_CACHE &Cache = ThreadCache;
  if (Cache.State == THREAD_CACHE::Open)
    return ROUTE::Cached;
  switch (PROCESS_HEAP::Prepare()) {
    case PROCESS_HEAP::ACCESS::Bootstrap:
      return ROUTE::Bootstrap;
    case PROCESS_HEAP::ACCESS::None:
      return ROUTE::None;
    case PROCESS_HEAP::ACCESS::Heap:
      break;
  }
  if (Cache.State == THREAD_CACHE::Closed || !PROCESS_HEAP::HasThreadExitSlot())
    return ROUTE::Direct;
  // Opened before the slot is set: setting it may allocate, and that
  // allocation must find the lists ready.
  for (int32_t Class = 0; Class < ClassCount; ++Class)
    Cache.Lists[Class].Batch = BatchOf(Class);
  Cache.State = THREAD_CACHE::Open;
  if (platform::SetThreadExitValue(PROCESS_HEAP::ThreadExitSlot(), &Cache))
    return ROUTE::Cached;
  THREAD_CACHE::ThreadEnds(&Cache);
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
  ADDRESS_MAP::Mark(Element, static_cast<uint8_t>(Class + 1));
  return Element;
}

void ReleaseDirect(void *Element, int32_t Class) {
  if (HEAP_CALL::Inside() || PROCESS_HEAP::Heap() == nullptr)
    return;  // kept out of circulation: the heap cannot be entered twice
  HEAP_CALL Call;
  PROCESS_HEAP::Heap()->Delete(Element, ClassBytes[Class]);
}

// A batch from the heap in one call: the first element goes to the caller,
// the rest become Head.
void *Refill(int32_t Class) {
  if (HEAP_CALL::Inside())
    return NoMemory();
  FREE_LIST &List = ThreadCache.Lists[Class];
  void *Elements[MaxBatch];
  int32_t Obtained = 0;
  {
    HEAP_CALL Call;
    PROCESS_HEAP::Heap()->MultipleNew(&Obtained, Elements, List.Batch, ClassBytes[Class]);
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
  void *Chain = nullptr;
  for (int32_t Index = Covered - 1; Index >= 1; --Index) {
    *static_cast<void **>(Elements[Index]) = Chain;
    Chain = Elements[Index];
  }
  List.Head = Chain;
  List.Count = Covered - 1;
  ADDRESS_MAP::Mark(Elements[0], static_cast<uint8_t>(Class + 1));
  return Elements[0];
}

}  // namespace

void *THREAD_CACHE::AllocateSlow(int32_t Class) {
  FREE_LIST &List = ThreadCache.Lists[Class];
  if (List.Batch == 0) {
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
    if (List.Head != nullptr)  // filled while the thread's slot was set
      return Allocate(Class);
  }
  if (List.Spill != nullptr) {
    List.Head = List.Spill;
    List.Spill = nullptr;
    List.Count = List.Batch;
    return Allocate(Class);
  }
  BATCH Batch;
  if (CENTRAL_LISTS::Take(Class, Batch)) {
    List.Head = Batch.Head;
    List.Count = Batch.Count;
    return Allocate(Class);
  }
  return Refill(Class);
}

void THREAD_CACHE::ReleaseSlow(void *Address, int32_t Class) {
  FREE_LIST &List = ThreadCache.Lists[Class];
  if (List.Batch == 0) {
    if (Admit() == ROUTE::Cached && List.Count < List.Batch) {
      Release(Address, Class);
      return;
    }
    if (List.Batch == 0) {
      ReleaseDirect(Address, Class);
      return;
    }
  }
  if (HEAP_CALL::Inside())
    return;  // a full list while inside the heap: kept out of circulation
  if (List.Spill != nullptr) {
    const BATCH Older{List.Spill, List.Batch};
    if (!CENTRAL_LISTS::Give(Class, Older))
      ReleaseBatch(Class, Older);
  }
  List.Spill = List.Head;
  *static_cast<void **>(Address) = nullptr;
  List.Head = Address;
  List.Count = 1;
}

void THREAD_CACHE::ReleaseBatch(int32_t Class, BATCH Batch) {
  if (HEAP_CALL::Inside())
    return;
  void *Elements[MaxBatch];
  void *Next = Batch.Head;
  while (Next != nullptr) {
    int32_t Count = 0;
    while (Next != nullptr && Count < MaxBatch) {
      Elements[Count++] = Next;
      Next = *static_cast<void **>(Next);
    }
    HEAP_CALL Call;
    PROCESS_HEAP::Heap()->MultipleDelete(Count, Elements, ClassBytes[Class]);
  }
}

void THREAD_CACHE::Flush() {
  for (int32_t Class = 0; Class < ClassCount; ++Class) {
    FREE_LIST &List = ThreadCache.Lists[Class];
    const BATCH Held{List.Head, List.Count};
    const BATCH Spilled{List.Spill, List.Batch};
    List.Head = List.Spill = nullptr;
    List.Count = 0;
    if (Held.Head != nullptr)
      ReleaseBatch(Class, Held);
    if (Spilled.Head != nullptr)
      ReleaseBatch(Class, Spilled);
  }
}

void THREAD_CACHE::ThreadEnds(void *) {
  THREAD_CACHE &Cache = ThreadCache;
  Cache.State = Closed;
  Flush();
  for (FREE_LIST &List : Cache.Lists)
    List.Batch = 0;
}

}  // namespace dropin
