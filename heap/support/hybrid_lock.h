// The allocator's mutual-exclusion lock: one compare-and-swap to take a free
// lock, inline at every use; a bounded spin when it is held (only with more
// than one processor and while fewer than that many threads sleep on it);
// then sleep on a lazily created SEMAPHORE. A release wakes at most one
// sleeper per processor; woken threads compete with new arrivals again.
//
// Not recursive and records no owner. Locked is 0 or 1. Sleeping counts the
// waiters registered for a wake-up and may be negative for a moment (it is
// repaired by the next WakeSleepers). The lock fills and is aligned to 128
// bytes, so that two locks never share a cache line. Its claims and releases
// are told to the thread checker (lock_annotations.h); the thread that
// releases the lock must be the one that took it.
#pragma once

#include <atomic>
#include <cstdint>

#include "heap/support/lock_annotations.h"
#include "heap/support/semaphore.h"
#include "heap/support/system_facts.h"

struct alignas(128) HYBRID_LOCK : private SYSTEM_FACTS_ATTACHMENT {
  int32_t MaxSpins;
  std::atomic<int32_t> Locked;
  std::atomic<int32_t> Sleeping;
  SEMAPHORE SleepQueue;

  explicit HYBRID_LOCK(int32_t MaxSpins = 4096, int32_t MaxUsers = 256)
      : MaxSpins(MaxSpins), Locked(0), Sleeping(0), SleepQueue(MaxUsers) {
    AnnotateLockCreated(this);
  }
  HYBRID_LOCK(const HYBRID_LOCK &) = delete;
  HYBRID_LOCK &operator=(const HYBRID_LOCK &) = delete;
  ~HYBRID_LOCK() { AnnotateLockDestroyed(this); }

  // The slow path tells the thread checker about its claim itself.
  void Acquire() {
    if (!AcquireIfFree()) [[unlikely]]
      WaitForRelease(INFINITE_WAIT);
  }

  // Acquire's fast path alone: one compare-and-swap, true when it took the
  // lock, which the checker then sees as an ordinary claim. A caller that
  // gets false decides for itself whether to wait (WaitForRelease).
  bool AcquireIfFree() {
    if (!TryLock()) [[unlikely]]
      return false;
    AnnotateLockTaken(this, ExclusiveClaim);
    return true;
  }

  // One compare-and-swap, no spinning, no waiting: true when it took the lock.
  bool TryAcquire() {
    if (!TryLock())
      return false;
    AnnotateLockTaken(this, ExclusiveClaim | TryClaim);
    return true;
  }

  void Release() {
    const LOCK_RELEASE_ANNOTATION Releasing(this, ExclusiveClaim);
    // The exchange orders the release before the read of Sleeping, which a
    // waiter raises before its last try: no registered sleeper is missed.
    Locked.exchange(0);
    if (Sleeping.load() > 0) [[unlikely]]
      WakeSleepers();
  }

  // The slow path of Acquire, also a claim of its own: true once the lock is
  // taken, false when a finite sleep timed out.
  bool WaitForRelease(uint32_t TimeOut);
  // The slow path of Release.
  void WakeSleepers();

 private:
  bool TryLock() {
    int32_t Free = 0;
    return Locked.compare_exchange_strong(Free, 1);
  }
  bool SpinUntilFree() const;
};

static_assert(sizeof(HYBRID_LOCK) == 128 && alignof(HYBRID_LOCK) == 128);
