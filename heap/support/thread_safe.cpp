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

// The owner, or the one thread of a child that the owner forked while it held
// the claim: that thread takes the claim over under its new identifier.
bool THREAD_SAFE::HeldBy(int32_t Caller) {
  const int32_t Holder = Owner.load(std::memory_order_relaxed);
  if (Holder == Caller)
    return true;
  if (Holder == NoThread || Holder != platform::ThreadIdBeforeFork() ||
      ClaimForkDepth.load(std::memory_order_relaxed) + 1 != platform::ForkDepth())
    return false;
  Owner.store(Caller, std::memory_order_relaxed);
  if (Engaged.load(std::memory_order_relaxed) == Holder)
    Engaged.store(Caller, std::memory_order_relaxed);
  ClaimForkDepth.store(platform::ForkDepth(), std::memory_order_relaxed);
  return true;
}

bool THREAD_SAFE::ClaimGlobalLock() {
  if (!ThreadSafe)
    return false;
  const int32_t Caller = platform::CurrentThreadId();
  if (HeldBy(Caller)) {
    Recursion.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  GlobalLock.Acquire();
  Owner.store(Caller, std::memory_order_relaxed);
  ClaimForkDepth.store(platform::ForkDepth(), std::memory_order_relaxed);
  return true;
}

void THREAD_SAFE::EngageGlobalLock() {
  if (!ThreadSafe)
    return;
  const int32_t Caller = platform::CurrentThreadId();
  if (!HeldBy(Caller))
    SoftwareFailure(NoClaimBeforeEngage);
  Engaged.store(Caller, std::memory_order_relaxed);
}

bool THREAD_SAFE::ReleaseGlobalLock(bool Force) {
  if (!ThreadSafe)
    return false;
  if (!HeldBy(platform::CurrentThreadId()) && (!Force || Owner.load(std::memory_order_relaxed) == NoThread))
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
