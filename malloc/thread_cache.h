// THREAD_CACHE: each thread's free elements, one list per size class, in
// front of the process heap. The common malloc and free touch only the
// calling thread's lists and the address map: no lock, no atomic
// read-modify-write besides the map's one step that ends an allocation.
//
// A class's list is a stack of up to two batches (Limit, 2 x Batch) of
// pointers in the thread's own block: malloc and free read and write the
// stack, never the elements, so freeing a block the program has not touched
// for long costs no miss on it. A free that finds the stack full hands its
// older batch on: to the central lists, packed into a few of its elements,
// or, when those are full, to the heap's batch release, which reads no
// element. A malloc that finds the stack empty takes a batch from the central
// lists, else one from the heap (MultipleNew, one cache lock for the batch).
// The thread's end gives every element back to the heap, and the lists stay
// closed (Limit 0) for whatever that thread still frees or allocates.
//
// The lists live in a block of the heap's permanent memory, and the thread
// keeps only a pointer to it: the thread-exit hook is handed the block itself,
// because a platform may tear down a thread's own storage before the hook
// runs. A new thread points at a shared block that is never open, an ended
// one at a shared block that is closed; blocks of ended threads are reused.
//
// Invariants: 0 <= Count <= Limit; Slots[0, Count) are free elements (map
// mark 0) of the class, the newest on top; Limit is 0 until the thread's
// lists are opened and after they are closed, which sends every free and
// malloc to the slow path; only the shared blocks have Limit 0 and they are
// never written. InHeap is set while this thread is inside the heap,
// where an allocation must not re-enter it (the runtime allocates an
// exception there and falls back on its emergency pool when refused).
#pragma once

#include <cstdint>

#include "malloc/address_map.h"
#include "malloc/central_lists.h"
#include "malloc/large_spans.h"
#include "malloc/size_classes.h"
#include "malloc/statistics.h"

namespace dropin {

struct FREE_LIST {
  void **Slots;   // this class's part of the block's SlotStore
  int32_t Count;
  int32_t Limit;
};

// Every class's stack: two batches each.
constexpr int32_t SlotCount = [] {
  int32_t Count = 0;
  for (int32_t Class = 0; Class < ClassCount; ++Class)
    Count += 2 * BatchOf(Class);
  return Count;
}();

struct THREAD_CACHE {
  enum : int32_t { Fresh, Open, Closed };

  FREE_LIST Lists[ClassCount];
  int32_t State;
  THREAD_CACHE *NextFree;  // on the pool of blocks of ended threads
  THREAD_COUNTS Counts = {};
  SPAN_RESERVE SpanReserve = {};
  void *SlotStore[SlotCount] = {};

  // An element of the class, or null with errno set to ENOMEM.
  static void *Allocate(int32_t Class);
  // Takes back an element whose mark Take has just removed.
  static void Release(void *Address, int32_t Class);

  static void *AllocateSlow(int32_t Class);
  static void ReleaseSlow(void *Address, int32_t Class);
  // Gives this thread's elements back to the heap; the lists stay open.
  static void Flush();
  // Hands a central batch to the heap.
  static void ReleaseBatch(int32_t Class, BATCH Batch);
  // Hands Count elements to the heap's batch release.
  static void ReleaseArray(int32_t Class, void **Elements, int32_t Count);
  // The thread-exit hook: everything back to the heap, lists closed.
  static void ThreadEnds(void *Cache);

  // The pool of blocks; built with the process heap, held across a fork.
  static void Build();
  static void LockPool();
  static void UnlockPool();
};

constinit extern thread_local THREAD_CACHE *ThreadCache;
constinit extern thread_local bool InHeap;

inline void *THREAD_CACHE::Allocate(int32_t Class) {
  FREE_LIST &List = ThreadCache->Lists[Class];
  if (List.Count == 0) [[unlikely]]
    return AllocateSlow(Class);
  void *Element = List.Slots[--List.Count];
  ThreadCache->Counts.Allocated(Class);
  ADDRESS_MAP::Mark(Element, static_cast<uint8_t>(Class + 1));
  return Element;
}

inline void THREAD_CACHE::Release(void *Address, int32_t Class) {
  FREE_LIST &List = ThreadCache->Lists[Class];
  if (List.Count >= List.Limit) [[unlikely]] {
    ReleaseSlow(Address, Class);
    return;
  }
  List.Slots[List.Count++] = Address;
  ThreadCache->Counts.Freed(Class);
}

// Marks this thread as inside the heap for the lifetime of the object.
class HEAP_CALL {
 public:
  HEAP_CALL() { InHeap = true; }
  ~HEAP_CALL() { InHeap = false; }
  HEAP_CALL(const HEAP_CALL &) = delete;
  HEAP_CALL &operator=(const HEAP_CALL &) = delete;
  static bool Inside() { return InHeap; }
};

}  // namespace dropin
