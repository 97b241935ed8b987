#include "platform/threads.h"

#include <windows.h>

namespace platform {

SEMAPHORE_HANDLE CreateCountingSemaphore(int32_t MaximumCount) {
  return CreateSemaphoreA(nullptr, 0, MaximumCount, nullptr);
}

bool ReleaseCountingSemaphore(SEMAPHORE_HANDLE Semaphore, int32_t Count) {
  return ReleaseSemaphore(Semaphore, Count, nullptr) != FALSE;
}

WAIT_RESULT WaitCountingSemaphore(SEMAPHORE_HANDLE Semaphore, uint32_t TimeOut) {
  switch (WaitForSingleObject(Semaphore, TimeOut)) {
    case WAIT_OBJECT_0:
      return WAIT_RESULT::Signalled;
    case WAIT_TIMEOUT:
      return WAIT_RESULT::TimedOut;
    default:
      return WAIT_RESULT::Failed;
  }
}

bool CloseCountingSemaphore(SEMAPHORE_HANDLE Semaphore) { return CloseHandle(Semaphore) != FALSE; }

void SleepMilliseconds(uint32_t Milliseconds) { Sleep(Milliseconds); }

int32_t CurrentThreadId() { return static_cast<int32_t>(GetCurrentThreadId()); }

bool CreateThreadExitSlot(THREAD_EXIT_HOOK Hook, THREAD_EXIT_SLOT &Slot) {
  // Fiber-local storage calls its callback as each thread ends, before the
  // thread's modules hear of it. On x86-64 the callback's calling convention
  // is the ordinary one, so the hook is the callback itself.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
  const DWORD Index = FlsAlloc(reinterpret_cast<PFLS_CALLBACK_FUNCTION>(Hook));
#pragma GCC diagnostic pop
  if (Index == FLS_OUT_OF_INDEXES)
    return false;
  Slot = Index;
  return true;
}

bool SetThreadExitValue(THREAD_EXIT_SLOT Slot, void *Value) { return FlsSetValue(Slot, Value) != FALSE; }

// There is no fork on Windows.
bool RegisterForkHandlers(FORK_HANDLER, FORK_HANDLER, FORK_HANDLER) { return false; }

int32_t ThreadIdBeforeFork() { return -1; }

uint32_t ForkDepth() { return 0; }

}  // namespace platform
