// A shared/exclusive lock with a bounded number of sharers. Uncontended claims
// and releases are inline atomic operations; a contended claim spins for a
// bounded time (only with more than one processor and while fewer than that
// many threads sleep on it) and then sleeps on one of two SEMAPHOREs.
//
// Exclusive and Users form one 64-bit word, Exclusive in its low half and Users
// in its high half; the exclusive paths change both halves with one
// compare-and-swap, so no thread sees one changed without the other. Users
// counts holders of either kind plus claims being tried; while Exclusive is
// above 0, new shared claims wait. A sleeping exclusive claimant does not
// count in Exclusive. A release prefers waking exclusive sleepers and wakes at
// most one thread per processor. Not recursive, records no owners. The lock
// fills and is aligned to 128 bytes. Its claims and releases are told to the
// thread checker (lock_annotations.h); a claim is released by the thread that
// made it.
#pragma once

#include <atomic>
#include <cstdint>

#include "heap/support/lock_annotations.h"
#include "heap/support/semaphore.h"
#include "heap/support/system_facts.h"

struct alignas(128) SHARELOCK : private SYSTEM_FACTS_ATTACHMENT {
  int32_t MaxSpins;
  int32_t MaxShare;
  std::atomic<uint64_t> ExclusiveAndUsers;
  SEMAPHORE SharedQueue;
  std::atomic<int32_t> SharedSleeping;
  SEMAPHORE ExclusiveQueue;
  std::atomic<int32_t> ExclusiveSleeping;

  SHARELOCK(int32_t MaxSpins, int32_t MaxUsers, int32_t MaxShare);
  SHARELOCK(const SHARELOCK &) = delete;
  SHARELOCK &operator=(const SHARELOCK &) = delete;
  ~SHARELOCK() { AnnotateLockDestroyed(this); }

  // The two halves of the claim word, read as they stand at this moment.
  int32_t Exclusive() const { return ExclusiveOf(ExclusiveAndUsers.load()); }
  int32_t Users() const { return UsersOf(ExclusiveAndUsers.load()); }

  void AcquireShared() {
    const uint64_t Word = ExclusiveAndUsers.fetch_add(OneUser) + OneUser;
    if (ExclusiveOf(Word) > 0 || UsersOf(Word) > MaxShare) [[unlikely]]
      WaitForShared(INFINITE_WAIT);
    else
      AnnotateLockTaken(this, SharedClaim);
  }

  void ReleaseShared() {
    const LOCK_RELEASE_ANNOTATION Releasing(this, SharedClaim);
    ExclusiveAndUsers.fetch_sub(OneUser);
    WakeSleepersIfAny();
  }

  void AcquireExclusive() {
    if (UsersOf(ChangeClaims(1, 1)) != 1) [[unlikely]]
      WaitForExclusive(INFINITE_WAIT);
    else
      AnnotateLockTaken(this, ExclusiveClaim);
  }

  void ReleaseExclusive() {
    const LOCK_RELEASE_ANNOTATION Releasing(this, ExclusiveClaim);
    ChangeClaims(-1, -1);
    WakeSleepersIfAny();
  }

  // The caller holds a shared claim and ends up holding the lock exclusively,
  // its claim still counted in Users. Other sharers are waited for; while
  // waiting the claim is withdrawn, so another exclusive claim may come first:
  // for the thread checker the shared claim ends here and an exclusive one
  // begins.
  void ChangeSharedToExclusive() {
    AnnotateLockReleased(this, SharedClaim);
    if (UsersOf(ChangeClaims(1, 0)) != 1)
      WaitForExclusive(INFINITE_WAIT);
    else
      AnnotateLockTaken(this, ExclusiveClaim);
  }

  // The slow paths, claims of their own, entered with the caller's claim
  // already counted: true when the claim holds, false when it was given up
  // (time-out 0 or a sleep timed out), and then nothing of it remains counted.
  bool WaitForShared(uint32_t TimeOut);
  bool WaitForExclusive(uint32_t TimeOut);
  void WakeSleepers();

 private:
  static constexpr uint64_t OneUser = uint64_t{1} << 32;

  static int32_t ExclusiveOf(uint64_t Word) { return static_cast<int32_t>(static_cast<uint32_t>(Word)); }
  static int32_t UsersOf(uint64_t Word) { return static_cast<int32_t>(static_cast<uint32_t>(Word >> 32)); }
  static uint64_t WordOf(int32_t Exclusive, int32_t Users) {
    return (uint64_t{static_cast<uint32_t>(Users)} << 32) | static_cast<uint32_t>(Exclusive);
  }

  // Adds to both halves with one compare-and-swap, without a carry from one
  // half into the other; returns the new word.
  uint64_t ChangeClaims(int32_t ExclusiveChange, int32_t UsersChange) {
    uint64_t Word = ExclusiveAndUsers.load(std::memory_order_relaxed);
    uint64_t Changed;
    do {
      Changed = WordOf(ExclusiveOf(Word) + ExclusiveChange, UsersOf(Word) + UsersChange);
    } while (!ExclusiveAndUsers.compare_exchange_weak(Word, Changed));
    return Changed;
  }

  void WakeSleepersIfAny() {
    if (ExclusiveSleeping.load() > 0 || SharedSleeping.load() > 0) [[unlikely]]
      WakeSleepers();
  }

  bool SpinUntilShareable() const;
  bool SpinUntilNoUsers() const;
  bool SleepShared(uint32_t TimeOut);
  bool SleepExclusive(uint32_t TimeOut);
};

static_assert(sizeof(SHARELOCK) == 128 && alignof(SHARELOCK) == 128);
