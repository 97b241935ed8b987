#include "heap/support/semaphore.h"

#include "heap/support/software_failure.h"

constinit SEMAPHORE_PLATFORM_CALLS SemaphorePlatformCalls;

namespace {

constexpr const char *MaxThreadsInvalid = "Max threads in constructor for SEMAPHORE";
constexpr const char *WakeupFailedInUpdate = "Wakeup failed in UpdateSemaphore()";
constexpr const char *WakeupFailedInSignal = "Wakeup failed in Signal()";
constexpr const char *WaitStatusInvalid = "Wait status in Wait";
constexpr const char *CloseFailed = "Close semaphore in destructor for SEMAPHORE";

// The platform calls, each counted for the test seam.
platform::SEMAPHORE_HANDLE CreatePlatformSemaphore(int32_t MaxThreads) {
  SemaphorePlatformCalls.Creates.fetch_add(1, std::memory_order_relaxed);
  return platform::CreateCountingSemaphore(MaxThreads);
}

bool ReleasePlatformSemaphore(platform::SEMAPHORE_HANDLE Semaphore, int32_t Count) {
  SemaphorePlatformCalls.Releases.fetch_add(1, std::memory_order_relaxed);
  SemaphorePlatformCalls.ReleasedCount.fetch_add(Count, std::memory_order_relaxed);
  return platform::ReleaseCountingSemaphore(Semaphore, Count);
}

platform::WAIT_RESULT WaitPlatformSemaphore(platform::SEMAPHORE_HANDLE Semaphore, uint32_t TimeOut) {
  SemaphorePlatformCalls.Waits.fetch_add(1, std::memory_order_relaxed);
  return platform::WaitCountingSemaphore(Semaphore, TimeOut);
}

bool ClosePlatformSemaphore(platform::SEMAPHORE_HANDLE Semaphore) {
  SemaphorePlatformCalls.Closes.fetch_add(1, std::memory_order_relaxed);
  return platform::CloseCountingSemaphore(Semaphore);
}

void SleepOneMillisecond() {
  SemaphorePlatformCalls.Sleeps.fetch_add(1, std::memory_order_relaxed);
  platform::SleepMilliseconds(1);
}

}  // namespace

SEMAPHORE::SEMAPHORE(int32_t MaxThreads) : MaxThreads(MaxThreads), Semaphore(nullptr), PendingSignals(0) {
  if (MaxThreads <= 0)
    SoftwareFailure(MaxThreadsInvalid);
}

SEMAPHORE::~SEMAPHORE() noexcept(false) {
  platform::SEMAPHORE_HANDLE Handle = Semaphore.load();
  if (Handle != nullptr && !ClosePlatformSemaphore(Handle))
    SoftwareFailure(CloseFailed);
}

// Wake-ups recorded while there was no platform object are passed on exactly
// once: whoever takes them out of PendingSignals releases them.
void SEMAPHORE::PassPendingSignals(const char *FailureMessage) {
  const int32_t Pending = PendingSignals.exchange(0);
  if (Pending >= 1 && !ReleasePlatformSemaphore(Semaphore.load(), Pending))
    SoftwareFailure(FailureMessage);
}

bool SEMAPHORE::UpdateSemaphore() {
  if (Semaphore.load() == nullptr) {
    platform::SEMAPHORE_HANDLE Created = CreatePlatformSemaphore(MaxThreads);
    platform::SEMAPHORE_HANDLE Expected = nullptr;
    if (Created != nullptr && !Semaphore.compare_exchange_strong(Expected, Created))
      ClosePlatformSemaphore(Created);  // another thread installed one first
  }
  if (Semaphore.load() == nullptr)
    return false;
  PassPendingSignals(WakeupFailedInUpdate);
  return true;
}

void SEMAPHORE::Signal(int32_t Count) {
  platform::SEMAPHORE_HANDLE Handle = Semaphore.load();
  if (Handle != nullptr) {
    if (!ReleasePlatformSemaphore(Handle, Count))
      SoftwareFailure(WakeupFailedInSignal);
    return;
  }
  PendingSignals.fetch_add(Count);
  // A waiter may have created the platform object meanwhile and already moved
  // the pending wake-ups; then these must follow it.
  if (Semaphore.load() != nullptr)
    PassPendingSignals(WakeupFailedInUpdate);
}

bool SEMAPHORE::Wait(uint32_t TimeOut) {
  while (Semaphore.load() == nullptr) {
    int32_t Pending = PendingSignals.load();
    if (Pending > 0 && PendingSignals.compare_exchange_strong(Pending, Pending - 1))
      return true;
    if (!UpdateSemaphore())
      SleepOneMillisecond();
  }
  switch (WaitPlatformSemaphore(Semaphore.load(), TimeOut)) {
    case platform::WAIT_RESULT::Signalled:
      return true;
    case platform::WAIT_RESULT::TimedOut:
      return false;
    default:
      SoftwareFailure(WaitStatusInvalid);
  }
}
