// The global lock of one heap and its thread-safety switch.
//
// A whole-heap operation claims the global lock (recursively for its owner),
// takes every lock of the heap's group (the caches', the address lookup's and
// the page store's) and then engages the global lock: from then on the owning
// thread passes every lock of the group without touching it, while the group's
// locks, which it holds, keep all other threads out. With thread safety off,
// every operation returns at once and every group lock is skipped.
//
// Owner, Engaged and Recursion are written only by the thread that holds
// GlobalLock (or is taking or giving it up); other threads read them only to
// compare with their own identifier, which cannot match. -1 means no thread.
//
// A child forked by the owner has one thread, with a new identifier: that
// thread takes the claim over (ClaimForkDepth tells a claim made before the
// fork), so that the child can give back what it inherited. No other thread
// ever counts as the owner.
//
// The thread checker learns of the global lock through GlobalLock itself: only
// the outermost claim and release reach it, nested claims are counted here. A
// forced release from a thread other than the owner is reported by the checker
// as a release by the wrong thread, as it is for every lock it knows; in a
// forked child the checker still sees the owner's thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "heap/support/hybrid_lock.h"
#include "heap/support/share_lock.h"
#include "platform/threads.h"

struct THREAD_SAFE {
  std::atomic<int32_t> Owner;
  std::atomic<int32_t> Engaged;
  std::atomic<int32_t> Recursion;
  std::atomic<uint32_t> ClaimForkDepth{0};
  HYBRID_LOCK GlobalLock;
  bool ThreadSafe;

  explicit THREAD_SAFE(bool ThreadSafe);
  THREAD_SAFE(const THREAD_SAFE &) = delete;
  THREAD_SAFE &operator=(const THREAD_SAFE &) = delete;
  ~THREAD_SAFE() noexcept(false);

  // True when this call took the global lock; false when thread safety is off
  // or the caller already owned it (the claim is then counted in Recursion).
  bool ClaimGlobalLock();
  void EngageGlobalLock();
  // True when the global lock was really given up (the outermost release).
  // With Force, a thread other than the owner may release an owned lock.
  bool ReleaseGlobalLock(bool Force);
  // True when the calling thread holds the global lock (or has just taken over
  // the claim of the thread that forked it).
  bool HeldByCaller() { return ThreadSafe && HeldBy(platform::CurrentThreadId()); }

  // The group guard: a lock of the group is taken only when thread safety is
  // on and the calling thread has not engaged the global lock.
  bool ShouldLock() const {
    if (!ThreadSafe)
      return false;
    const int32_t EngagedThread = Engaged.load(std::memory_order_relaxed);
    return EngagedThread == -1 || EngagedThread != platform::CurrentThreadId();
  }

 private:
  bool HeldBy(int32_t Caller);
};

// The group guard for a member of a group that may have none (a null group
// takes no locks).
inline bool GroupShouldLock(const THREAD_SAFE *Group) { return Group != nullptr && Group->ShouldLock(); }

// A scoped claim of a group lock through the group guard. The decision is taken
// at each claim and kept for its release, so the release always matches it,
// also when a failure unwinds the scope. Release and Claim let an operation
// give the lock up in the middle (to call a parent or the back end) and take it
// again.
template <typename LOCK, void (LOCK::*ClaimOperation)(), void (LOCK::*ReleaseOperation)()>
class GROUP_GUARD {
 public:
  GROUP_GUARD(const THREAD_SAFE *NewGroup, LOCK &NewLock) : Group(NewGroup), Lock(NewLock) { Claim(); }
  // Takes over a claim its caller made without a scope (Taken: it took the lock).
  GROUP_GUARD(const THREAD_SAFE *NewGroup, LOCK &NewLock, bool Taken) : Group(NewGroup), Lock(NewLock), Held(Taken) {}
  ~GROUP_GUARD() { Release(); }
  GROUP_GUARD(const GROUP_GUARD &) = delete;
  GROUP_GUARD &operator=(const GROUP_GUARD &) = delete;

  void Claim() {
    Held = GroupShouldLock(Group);
    if (Held)
      (Lock.*ClaimOperation)();
  }

  void Release() {
    if (Held)
      (Lock.*ReleaseOperation)();
    Held = false;
  }

 private:
  const THREAD_SAFE *Group;
  LOCK &Lock;
  bool Held = false;
};

using GROUP_LOCK_GUARD = GROUP_GUARD<HYBRID_LOCK, &HYBRID_LOCK::Acquire, &HYBRID_LOCK::Release>;
using GROUP_SHARED_GUARD = GROUP_GUARD<SHARELOCK, &SHARELOCK::AcquireShared, &SHARELOCK::ReleaseShared>;
using GROUP_EXCLUSIVE_GUARD = GROUP_GUARD<SHARELOCK, &SHARELOCK::AcquireExclusive, &SHARELOCK::ReleaseExclusive>;
