#include "heap/support/thread_safe.h"

#include "heap/support/software_failure.h"

namespace {

constexpr const char *NoClaimBeforeEngage = "No claim before engage in EngageGlobalLock";
constexpr const char *NoClaimBeforeRelease = "No claim before release in ReleaseGlobalLock";
constexpr const char *GlobalLockBusy = "Global lock busy in destructor for THREAD_SAFE";

constexpr int32_t NoThread = -1;

}  // namespace

THREAD_SAFE::THREAD_SAFE(bool ThreadSafe)
    : Owner(NoThread), Engaged(NoThread), Recursion(0), GlobalLock(4096, 256), ThreadSafe(ThreadSafe) {}

// GlobalLock is destroyed after the body, also while a failure unwinds it.
THREAD_SAFE::~THREAD_SAFE() noexcept(false) {
  if (Owner.load() != NoThread || Engaged.load() != NoThread || Recursion.load() != 0)
    SoftwareFailure(GlobalLockBusy);
}

bool THREAD_SAFE::ClaimGlobalLock() {
  if (!ThreadSafe)
    return false;
  const int32_t Caller = platform::CurrentThreadId();
  if (Owner.load(std::memory_order_relaxed) == Caller) {
    Recursion.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  GlobalLock.Acquire();
  Owner.store(Caller, std::memory_order_relaxed);
  return true;
}

void THREAD_SAFE::EngageGlobalLock() {
  if (!ThreadSafe)
    return;
  const int32_t Caller = platform::CurrentThreadId();
  if (Owner.load(std::memory_order_relaxed) != Caller)
    SoftwareFailure(NoClaimBeforeEngage);
  Engaged.store(Caller, std::memory_order_relaxed);
}

bool THREAD_SAFE::ReleaseGlobalLock(bool Force) {
  if (!ThreadSafe)
    return false;
  const int32_t CurrentOwner = Owner.load(std::memory_order_relaxed);
  if (CurrentOwner != platform::CurrentThreadId() && (!Force || CurrentOwner == NoThread))
    SoftwareFailure(NoClaimBeforeRelease);
  if (Recursion.load(std::memory_order_relaxed) >= 1) {
    Recursion.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  Owner.store(NoThread, std::memory_order_relaxed);
  Engaged.store(NoThread, std::memory_order_relaxed);
  GlobalLock.Release();
  return true;
}
