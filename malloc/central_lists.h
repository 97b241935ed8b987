// CENTRAL_LISTS: the process-wide exchange between thread caches. A thread
// whose cache of one size class overflows hands a whole batch (free
// elements packed by the thread cache: a few carriers, chained through their
// first word, that hold the other elements' addresses) to the class's central
// list; a thread whose cache runs dry takes a batch back before it asks the
// heap. Batches therefore move between threads in one locked step each,
// instead of one heap release and one heap allocation per element.
//
// Invariants: each class holds at most Capacity(class) batches; every element
// of a batch is free (its address-map mark is 0) and is an element the heap
// has handed out; only the thread cache reads or writes what is inside a
// batch, the lists keep its Head and Count. The lock of a class is held only
// for a few stores, never while calling the heap.
#pragma once

#include <cstdint>

#include "malloc/size_classes.h"

namespace dropin {

struct BATCH {
  void *Head = nullptr;
  int32_t Count = 0;
};

class CENTRAL_LISTS {
 public:
  // Builds the locks; run once while the process heap is built.
  static void Build();
  // Keeps a batch; false when the class is full (the caller releases it).
  static bool Give(int32_t Class, BATCH Batch);
  // A kept batch, or false when the class has none.
  static bool Take(int32_t Class, BATCH &Batch);
  // Hands every kept batch to Release, one class after another.
  static void Drain(void (*Release)(int32_t Class, BATCH Batch));

  // Held across a fork.
  static void LockAll();
  static void UnlockAll();
};

}  // namespace dropin
