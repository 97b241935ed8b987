// HYBRID_CLAIM: a scoped claim of one of a heap's HYBRID_LOCKs. The claim is
// skipped when the heap runs without thread safety or the calling thread has
// engaged the heap's global lock (it already excludes everyone). The decision
// is made when claiming and kept for the release, so a claim is given back on
// every exit, failures included.
#pragma once

#include "heap/support/hybrid_lock.h"
#include "heap/support/thread_safe.h"

inline bool ShouldLockFor(const THREAD_SAFE *ThreadSafe) { return ThreadSafe != nullptr && ThreadSafe->ShouldLock(); }

class HYBRID_CLAIM {
 public:
  HYBRID_CLAIM(HYBRID_LOCK &NewLock, const THREAD_SAFE *NewThreadSafe) : Lock(NewLock), ThreadSafe(NewThreadSafe) {
    Claim();
  }
  ~HYBRID_CLAIM() { Release(); }
  HYBRID_CLAIM(const HYBRID_CLAIM &) = delete;
  HYBRID_CLAIM &operator=(const HYBRID_CLAIM &) = delete;

  void Claim() {
    Held = ShouldLockFor(ThreadSafe);
    if (Held)
      Lock.Acquire();
  }
  void Release() {
    if (Held)
      Lock.Release();
    Held = false;
  }

 private:
  HYBRID_LOCK &Lock;
  const THREAD_SAFE *ThreadSafe;
  bool Held = false;
};
