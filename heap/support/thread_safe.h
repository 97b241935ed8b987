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

  // The group guard: a lock of the group is taken only when thread safety is
  // on and the calling thread has not engaged the global lock.
  bool ShouldLock() const {
    if (!ThreadSafe)
      return false;
    const int32_t EngagedThread = Engaged.load(std::memory_order_relaxed);
    return EngagedThread == -1 || EngagedThread != platform::CurrentThreadId();
  }
};

// Scoped claims of a group lock through the group guard. The decision is taken
// once, at the claim, so that the release always matches it.
class GROUP_LOCK_GUARD {
 public:
  GROUP_LOCK_GUARD(const THREAD_SAFE &Group, HYBRID_LOCK &Lock) : Held(Group.ShouldLock() ? &Lock : nullptr) {
    if (Held != nullptr)
      Held->Acquire();
  }
  ~GROUP_LOCK_GUARD() {
    if (Held != nullptr)
      Held->Release();
  }
  GROUP_LOCK_GUARD(const GROUP_LOCK_GUARD &) = delete;
  GROUP_LOCK_GUARD &operator=(const GROUP_LOCK_GUARD &) = delete;

 private:
  HYBRID_LOCK *Held;
};

class GROUP_SHARED_GUARD {
 public:
  GROUP_SHARED_GUARD(const THREAD_SAFE &Group, SHARELOCK &Lock) : Held(Group.ShouldLock() ? &Lock : nullptr) {
    if (Held != nullptr)
      Held->AcquireShared();
  }
  ~GROUP_SHARED_GUARD() {
    if (Held != nullptr)
      Held->ReleaseShared();
  }
  GROUP_SHARED_GUARD(const GROUP_SHARED_GUARD &) = delete;
  GROUP_SHARED_GUARD &operator=(const GROUP_SHARED_GUARD &) = delete;

 private:
  SHARELOCK *Held;
};

class GROUP_EXCLUSIVE_GUARD {
 public:
  GROUP_EXCLUSIVE_GUARD(const THREAD_SAFE &Group, SHARELOCK &Lock) : Held(Group.ShouldLock() ? &Lock : nullptr) {
    if (Held != nullptr)
      Held->AcquireExclusive();
  }
  ~GROUP_EXCLUSIVE_GUARD() {
    if (Held != nullptr)
      Held->ReleaseExclusive();
  }
  GROUP_EXCLUSIVE_GUARD(const GROUP_EXCLUSIVE_GUARD &) = delete;
  GROUP_EXCLUSIVE_GUARD &operator=(const GROUP_EXCLUSIVE_GUARD &) = delete;

 private:
  SHARELOCK *Held;
};
