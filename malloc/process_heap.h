// PROCESS_HEAP: the one heap behind malloc, built by the first allocation of
// the process (from whatever thread, before main or from the dynamic loader)
// and never destroyed, so that a free after the end of main still finds it.
//
// States: Unbuilt -> Building -> Ready or Failed, moved by one atomic value.
// While one thread builds, its own allocations (the runtime may allocate while
// the heap registers itself) are served from a small static bootstrap buffer,
// whose pointers free recognises and ignores; other threads wait until the
// building is over. Once Ready, the heap, the central lists, the large
// reserve, the thread-exit slot and the fork handlers all exist.
//
// Around a fork the handlers hold every lock of the heap and of the layer in
// front of it, so the child inherits none that a vanished thread held.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/threads.h"

class DUZOVEV_FRONT_END;

namespace dropin {

class PROCESS_HEAP {
 public:
  enum class STATE : int32_t { Unbuilt, Building, Ready, Failed };
  // What the caller of Prepare may do now.
  enum class ACCESS { Heap, Bootstrap, None };

  // The heap once Ready; null before.
  static DUZOVEV_FRONT_END *Heap() {
    return State.load(std::memory_order_acquire) == STATE::Ready ? HeapObject : nullptr;
  }
  // Builds the heap if nobody has; Bootstrap for the building thread's own
  // recursive calls, None when the heap could not be built.
  static ACCESS Prepare();

  static platform::THREAD_EXIT_SLOT ThreadExitSlot() { return ExitSlot; }
  static bool HasThreadExitSlot() { return ExitSlotMade; }

  // The bootstrap buffer: allocations that are never given back.
  static void *BootstrapAllocate(size_t Bytes);
  static bool IsBootstrap(const void *Address);
  static size_t BootstrapSize(const void *Address);

  // Pointers given to free, realloc or malloc_usable_size that were never
  // handed out or were already freed.
  static void CountRefusal() { Refusals.fetch_add(1, std::memory_order_relaxed); }
  static uint64_t RefusalCount() { return Refusals.load(std::memory_order_relaxed); }

 private:
  static constinit std::atomic<STATE> State;
  static constinit DUZOVEV_FRONT_END *HeapObject;
  static constinit platform::THREAD_EXIT_SLOT ExitSlot;
  static constinit bool ExitSlotMade;
  static constinit std::atomic<uint64_t> Refusals;

  static void Build();
  static void PrepareFork();
  static void AfterForkInParent();
  static void AfterForkInChild();
};

}  // namespace dropin
