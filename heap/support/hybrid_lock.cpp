#include "heap/support/hybrid_lock.h"

namespace {

int32_t Processors() { return SYSTEM_FACTS::ProcessorCount > 1 ? SYSTEM_FACTS::ProcessorCount : 1; }

}  // namespace

// True when the lock was seen free. Spinning only pays while another
// processor can release the lock, and stops being offered once that many
// threads sleep on it.
bool HYBRID_LOCK::SpinUntilFree() const {
  const int32_t ProcessorCount = Processors();
  if (ProcessorCount <= 1 || Sleeping.load(std::memory_order_relaxed) >= ProcessorCount)
    return false;
  for (int32_t Spin = 0; Spin < MaxSpins; ++Spin) {
    if (Locked.load(std::memory_order_relaxed) == 0)
      return true;
    platform::PauseHint();
  }
  return false;
}

bool HYBRID_LOCK::WaitForRelease(uint32_t TimeOut) {
  LOCK_CLAIM_ANNOTATION Claim(this, ClaimKindOfWait(ExclusiveClaim, TimeOut != INFINITE_WAIT));
  for (;;) {
    if (!SpinUntilFree()) {
      Sleeping.fetch_add(1);
      if (TryLock()) {
        Sleeping.fetch_sub(1);
        return Claim.Taken();
      }
      // A woken thread does not lower Sleeping: its waker took the registration.
      if (!SleepQueue.Wait(TimeOut)) {
        // A waiter that gives up withdraws its registration, so that
        // stale registrations never pile up wake-ups nobody consumes.
        Sleeping.fetch_sub(1);
        return Claim.GivenUp();
      }
    }
    if (TryLock())
      return Claim.Taken();
  }
}

void HYBRID_LOCK::WakeSleepers() {
  int32_t Count = Sleeping.exchange(0);
  if (Count > 0) {
    const int32_t ProcessorCount = Processors();
    if (Count > ProcessorCount) {
      Sleeping.fetch_add(Count - ProcessorCount);
      Count = ProcessorCount;
    }
    SleepQueue.Signal(Count);
  } else if (Count < 0) {
    // A sleeper took the lock on its last try after a waker had cleared its
    // registration; give its withdrawal back.
    Sleeping.fetch_add(Count);
  }
}
