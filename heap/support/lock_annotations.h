// What the allocator's locks tell ThreadSanitizer. The locks are made of
// atomic operations and futex waits, in which the checker sees no lock at all;
// told who claims and releases which lock, it checks the lock order (it reports
// two locks taken in both orders) and each lock's use (a release by a thread
// that does not hold it, a second claim, a lock destroyed while held).
//
// Compiled in only when KRAX_TSAN_LOCK_ANNOTATIONS is defined (the linux-tsan
// preset). Otherwise every function is empty and every scope is an empty
// object, so that the locks compile to the same code as without this header.
//
// How the locks use it:
// - AnnotateLockCreated once the lock is fully constructed, and
//   AnnotateLockDestroyed first thing in its destructor: the checker's record
//   of a lock must live exactly as long as the lock, or a lock built later at
//   the same address inherits it.
// - A claim that succeeds on its inline atomic operation calls
//   AnnotateLockTaken right after it. A slow path opens a
//   LOCK_CLAIM_ANNOTATION before it spins or sleeps and returns through
//   Taken() or GivenUp(); a failure that unwinds it counts as given up. A wait
//   that may time out is a try-claim: it cannot deadlock.
// - A release opens a LOCK_RELEASE_ANNOTATION before it changes the lock word,
//   so that the checker has given the lock up before another thread can take
//   it, and keeps it open while it wakes sleepers.
// The checker ignores the atomic operations inside an open scope: from then on
// the scope, not the lock word, tells it who holds what. The semaphores'
// wake-ups are not lock operations and are never annotated.
#pragma once

#if defined(KRAX_TSAN_LOCK_ANNOTATIONS)
#include <sanitizer/tsan_interface.h>
#endif

#if defined(KRAX_TSAN_LOCK_ANNOTATIONS)

// The kinds of claim, combined with |.
inline constexpr unsigned ExclusiveClaim = 0;
inline constexpr unsigned SharedClaim = __tsan_mutex_read_lock;
inline constexpr unsigned TryClaim = __tsan_mutex_try_lock;

inline void AnnotateLockCreated(void *Lock) { __tsan_mutex_create(Lock, 0); }
inline void AnnotateLockDestroyed(void *Lock) { __tsan_mutex_destroy(Lock, 0); }

inline void AnnotateLockTaken(void *Lock, unsigned Kind) {
  __tsan_mutex_pre_lock(Lock, Kind);
  __tsan_mutex_post_lock(Lock, Kind, 0);
}

// The part of a release that has no lock word to change: the shared claim
// given up when it turns into an exclusive one.
inline void AnnotateLockReleased(void *Lock, unsigned Kind) {
  __tsan_mutex_pre_unlock(Lock, Kind);
  __tsan_mutex_post_unlock(Lock, Kind);
}

class LOCK_CLAIM_ANNOTATION {
 public:
  LOCK_CLAIM_ANNOTATION(void *NewLock, unsigned NewKind) : Lock(NewLock), Kind(NewKind) {
    __tsan_mutex_pre_lock(Lock, Kind);
  }
  ~LOCK_CLAIM_ANNOTATION() {
    if (Open)
      GivenUp();
  }
  LOCK_CLAIM_ANNOTATION(const LOCK_CLAIM_ANNOTATION &) = delete;
  LOCK_CLAIM_ANNOTATION &operator=(const LOCK_CLAIM_ANNOTATION &) = delete;

  bool Taken() {
    Open = false;
    __tsan_mutex_post_lock(Lock, Kind, 0);
    return true;
  }
  bool GivenUp() {
    Open = false;
    __tsan_mutex_post_lock(Lock, Kind | __tsan_mutex_try_lock_failed, 0);
    return false;
  }

 private:
  void *Lock;
  unsigned Kind;
  bool Open = true;
};

class LOCK_RELEASE_ANNOTATION {
 public:
  LOCK_RELEASE_ANNOTATION(void *NewLock, unsigned NewKind) : Lock(NewLock), Kind(NewKind) {
    __tsan_mutex_pre_unlock(Lock, Kind);
  }
  ~LOCK_RELEASE_ANNOTATION() { __tsan_mutex_post_unlock(Lock, Kind); }
  LOCK_RELEASE_ANNOTATION(const LOCK_RELEASE_ANNOTATION &) = delete;
  LOCK_RELEASE_ANNOTATION &operator=(const LOCK_RELEASE_ANNOTATION &) = delete;

 private:
  void *Lock;
  unsigned Kind;
};

#else

inline constexpr unsigned ExclusiveClaim = 0;
inline constexpr unsigned SharedClaim = 0;
inline constexpr unsigned TryClaim = 0;

inline void AnnotateLockCreated(void *) {}
inline void AnnotateLockDestroyed(void *) {}
inline void AnnotateLockTaken(void *, unsigned) {}
inline void AnnotateLockReleased(void *, unsigned) {}

// Trivial types without state: nothing of them survives compilation.
class LOCK_CLAIM_ANNOTATION {
 public:
  LOCK_CLAIM_ANNOTATION(void *, unsigned) {}
  bool Taken() { return true; }
  bool GivenUp() { return false; }
};

class LOCK_RELEASE_ANNOTATION {
 public:
  LOCK_RELEASE_ANNOTATION(void *, unsigned) {}
};

#endif

// The kind of claim a wait makes: one that can time out cannot deadlock.
inline unsigned ClaimKindOfWait(unsigned Kind, bool CanTimeOut) { return CanTimeOut ? Kind | TryClaim : Kind; }
