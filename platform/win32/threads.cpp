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

}  // namespace platform
