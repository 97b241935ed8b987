// The allocator library's public header: what a program includes to create
// and use a heap.
//
//   FAST_HEAP Heap(1 << 20, true, false, true);   // free-space limit, reuse,
//   void *Block = Heap.New(100);                  // shared lookup, threads
//   Heap.Delete(Block);
//
// FAST_HEAP is the configured heap; DUZOVEV_FRONT_END builds a heap from a
// configuration of one's own, over any back end derived from
// DUZOVEV_BACK_END. No operation throws: a heap whose construction or
// operation failed becomes unusable and returns failure values (null, false);
// derive and override NotifyFailure to hear of it. A thread that holds one
// heap's claim (ClaimAllLocks) uses no other heap until it releases it.
#pragma once

#include "heap/frontend/duzovev_front_end.h"
#include "heap/frontend/fast_heap.h"
#include "heap/frontend/process_objects.h"
#include "heap/pages/duzovev_back_end.h"
