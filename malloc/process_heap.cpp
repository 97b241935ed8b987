#include "malloc/process_heap.h"

#include <new>

#include "heap/core/heap.h"
#include "malloc/central_lists.h"
#include "malloc/dropin_heap.h"
#include "malloc/large_reserve.h"
#include "malloc/large_spans.h"
#include "malloc/statistics.h"
#include "malloc/thread_cache.h"

namespace dropin {

constinit std::atomic<PROCESS_HEAP::STATE> PROCESS_HEAP::State{STATE::Unbuilt};
constinit DUZOVEV_FRONT_END *PROCESS_HEAP::HeapObject = nullptr;
constinit platform::THREAD_EXIT_SLOT PROCESS_HEAP::ExitSlot = 0;
constinit bool PROCESS_HEAP::ExitSlotMade = false;
constinit std::atomic<uint64_t> PROCESS_HEAP::Refusals{0};

namespace {

// The heap's object lives in static storage and is never destroyed: memory
// is freed after main returns, by destructors and exit handlers.
alignas(DROPIN_HEAP) constinit unsigned char HeapStorage[sizeof(DROPIN_HEAP)] = {};

// Set on the thread that builds the heap, for its recursive calls.
constinit thread_local bool BuildingHere = false;

// What the runtime allocates while the heap registers its thread-exit slot
// and fork handlers: a few small blocks, never given back. Each block has a
// 16-byte header holding its size.
constexpr size_t BootstrapBytes = 32768;
alignas(16) constinit unsigned char BootstrapBuffer[BootstrapBytes] = {};
constinit std::atomic<size_t> BootstrapUsed{0};

}  // namespace

PROCESS_HEAP::ACCESS PROCESS_HEAP::Prepare() {
  STATE Now = State.load(std::memory_order_acquire);
  if (Now == STATE::Unbuilt) {
    if (State.compare_exchange_strong(Now, STATE::Building, std::memory_order_acq_rel)) {
      BuildingHere = true;
      Build();
      BuildingHere = false;
    }
    Now = State.load(std::memory_order_acquire);
  }
  if (Now == STATE::Building && BuildingHere)
    return ACCESS::Bootstrap;
  for (int32_t Spins = 0; Now == STATE::Building; Now = State.load(std::memory_order_acquire))
    if (++Spins < 1000)
      platform::PauseHint();
    else
      platform::SleepMilliseconds(1);
  return Now == STATE::Ready ? ACCESS::Heap : ACCESS::None;
}

void PROCESS_HEAP::Build() {
  auto *Made = new (HeapStorage) DROPIN_HEAP();
  if (!Made->Usable()) {
    State.store(STATE::Failed, std::memory_order_release);
    return;
  }
  CENTRAL_LISTS::Build();
  LARGE_RESERVE::Build();
  LARGE_SPANS::Build();
  THREAD_CACHE::Build();
  ExitSlotMade = platform::CreateThreadExitSlot(THREAD_CACHE::ThreadEnds, ExitSlot);
  HeapObject = Made;
  platform::RegisterForkHandlers(PrepareFork, AfterForkInParent, AfterForkInChild);
  State.store(STATE::Ready, std::memory_order_release);
}

void *PROCESS_HEAP::BootstrapAllocate(size_t Bytes) {
  const size_t Needed = ((Bytes + 15) & ~size_t{15}) + 16;
  if (Bytes > BootstrapBytes)
    return nullptr;
  size_t Used = BootstrapUsed.load(std::memory_order_relaxed);
  do {
    if (Used + Needed > BootstrapBytes)
      return nullptr;
  } while (!BootstrapUsed.compare_exchange_weak(Used, Used + Needed, std::memory_order_relaxed));
  unsigned char *Block = BootstrapBuffer + Used;
  *reinterpret_cast<size_t *>(Block) = Needed - 16;
  STATISTICS::BootstrapUsed(Needed - 16);
  return Block + 16;
}

bool PROCESS_HEAP::IsBootstrap(const void *Address) {
  const auto *Byte = static_cast<const unsigned char *>(Address);
  return Byte >= BootstrapBuffer && Byte < BootstrapBuffer + BootstrapBytes;
}

size_t PROCESS_HEAP::BootstrapSize(const void *Address) {
  const auto *Byte = static_cast<const unsigned char *>(Address);
  if (Byte < BootstrapBuffer + 16 || (Byte - BootstrapBuffer) % 16 != 0)
    return 0;
  return *reinterpret_cast<const size_t *>(Byte - 16);
}

// The heap's locks first (its own order), then the layer in front of it; the
// platform's locks follow, as their handlers were registered earlier.
void PROCESS_HEAP::PrepareFork() {
  DUZOVEV_FRONT_END *Process = Heap();
  if (Process == nullptr)
    return;
  Process->ClaimAllLocks();
  CENTRAL_LISTS::LockAll();
  LARGE_RESERVE::Lock();
  LARGE_SPANS::Lock();
  THREAD_CACHE::LockPool();
}

namespace {

// The locks of the layer in front of the heap, in the reverse order of taking.
void UnlockFrontLayer() {
  THREAD_CACHE::UnlockPool();
  LARGE_SPANS::Unlock();
  LARGE_RESERVE::Unlock();
  CENTRAL_LISTS::UnlockAll();
}

}  // namespace

void PROCESS_HEAP::AfterForkInParent() {
  DUZOVEV_FRONT_END *Process = Heap();
  if (Process == nullptr)
    return;
  UnlockFrontLayer();
  Process->ReleaseAllLocks();
}

// The child's one thread has a new identifier, so the claim is ended by force.
void PROCESS_HEAP::AfterForkInChild() {
  DUZOVEV_FRONT_END *Process = Heap();
  if (Process == nullptr)
    return;
  UnlockFrontLayer();
  try {
    if (HEAP *Core = Process->Core())
      Core->ReleaseAllLocks(true);
  } catch (...) {  // a fault here leaves the heap as it is; nobody is left to tell
  }
}

}  // namespace dropin
