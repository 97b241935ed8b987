// The sleeping half of the allocator's locks: a counting semaphore whose
// platform object is created only when a thread really has to block.
//
// Wake-ups signalled before then wait in PendingSignals and are consumed
// without any platform call. Semaphore is set once, by compare-and-swap from
// null, and then stays until destruction, so at most one platform object is
// ever kept. There is no lock inside: any number of threads may Signal and
// Wait at the same time.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/threads.h"

// The time-out that waits without limit; every lock of the program passes it.
constexpr uint32_t INFINITE_WAIT = 0xFFFFFFFF;
static_assert(INFINITE_WAIT == platform::InfiniteTimeOut);

struct SEMAPHORE {
  int32_t MaxThreads;
  std::atomic<platform::SEMAPHORE_HANDLE> Semaphore;
  std::atomic<int32_t> PendingSignals;

  explicit SEMAPHORE(int32_t MaxThreads);
  SEMAPHORE(const SEMAPHORE &) = delete;
  SEMAPHORE &operator=(const SEMAPHORE &) = delete;
  ~SEMAPHORE() noexcept(false);

  // Wakes Count waiters, or records Count wake-ups for later waiters.
  void Signal(int32_t Count);
  // True when a wake-up was consumed, false when a finite wait timed out.
  bool Wait(uint32_t TimeOut);
  // Creates the platform object if there is none yet and moves the pending
  // wake-ups into it; false while there is still no platform object.
  bool UpdateSemaphore();

 private:
  void PassPendingSignals(const char *FailureMessage);
};

// Test seam: the platform calls made by every SEMAPHORE of the process, so that
// tests can check which paths stay free of them.
struct SEMAPHORE_PLATFORM_CALLS {
  std::atomic<int64_t> Creates{0};
  std::atomic<int64_t> Releases{0};
  std::atomic<int64_t> ReleasedCount{0};  // sum of the counts passed to Releases
  std::atomic<int64_t> Waits{0};
  std::atomic<int64_t> Closes{0};
  std::atomic<int64_t> Sleeps{0};
};
extern SEMAPHORE_PLATFORM_CALLS SemaphorePlatformCalls;
