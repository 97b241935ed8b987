// The allocator's process-wide objects, built before the main routine and
// destroyed after it. The utility itself never allocates through the heap;
// the heap is built and torn down around it.
//
// Objects of one translation unit are initialised in the order they are
// defined, and every function-local static is destroyed in the reverse order
// of its completion: the back end, ProcessFindLock and TraceLock are made
// first (each with its destruction registered as it is built), then the
// process heap, which is therefore the first to go at exit.
#include "heap/frontend/krax_heap.h"
#include "heap/support/software_failure.h"

namespace {

struct PROCESS_OBJECTS {
  PROCESS_OBJECTS() {
    ProcessBackEnd();
    ProcessFindLock();
    TraceLock();
  }
} const ProcessObjects;

FAST_HEAP ProcessHeap(1048576, true, false, true);

}  // namespace
