// Proof that the thread checker sees the allocator's locks. Each inverting
// scenario takes two locks in one order on one thread and in the other order on
// a second thread that starts only after the first has finished, so nothing can
// deadlock, yet the checker must report a lock-order inversion. The scenario
// that keeps the order (with a try-claim against it, which cannot deadlock)
// must pass without a report. And a claim whose wait fails must leave the
// thread fully checked afterwards: a data race it then takes part in must be
// reported. Registered only in the annotated ThreadSanitizer build, each
// passing only on the expected report (or its absence).
//
// Usage: lock_annotation_check SCENARIO
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>

#include "heap/frontend/fast_heap.h"
#include "heap/support/hybrid_lock.h"
#include "heap/support/share_lock.h"
#include "heap/support/software_failure.h"
#include "heap/support/thread_safe.h"
#include "platform/threads.h"
#include "platform/trace_file.h"

namespace {

// One thread after the other, never both at once.
void OneThenOther(const std::function<void()> &First, const std::function<void()> &Second) {
  std::thread(First).join();
  std::thread(Second).join();
}

// Two cache locks, child and parent, each taken inline.
void CacheLocksBothWays() {
  HYBRID_LOCK Child, Parent;
  OneThenOther(
      [&] {
        Child.Acquire();
        Parent.Acquire();
        Parent.Release();
        Child.Release();
      },
      [&] {
        Parent.Acquire();
        Child.Acquire();
        Child.Release();
        Parent.Release();
      });
}

// The same through the slow path: a wait for a free lock takes it at once.
void CacheLocksBothWaysThroughTheSlowPath() {
  HYBRID_LOCK Child, Parent;
  OneThenOther(
      [&] {
        Child.Acquire();
        Parent.WaitForRelease(INFINITE_WAIT);
        Parent.Release();
        Child.Release();
      },
      [&] {
        Parent.Acquire();
        Child.WaitForRelease(INFINITE_WAIT);
        Child.Release();
        Parent.Release();
      });
}

// The address lookup's shared claim and the page store's lock: the inversion
// of a page walk that reads the lookup under the store's lock.
void LookupAndPageStoreBothWays() {
  SHARELOCK Lookup(4096, 256, 256);
  HYBRID_LOCK PageStore;
  OneThenOther(
      [&] {
        Lookup.AcquireShared();
        PageStore.Acquire();
        PageStore.Release();
        Lookup.ReleaseShared();
      },
      [&] {
        PageStore.Acquire();
        Lookup.AcquireShared();
        Lookup.ReleaseShared();
        PageStore.Release();
      });
}

// A shared claim changed to an exclusive one counts as an exclusive claim.
void ChangedClaimAndCacheLockBothWays() {
  SHARELOCK Lookup(4096, 256, 256);
  HYBRID_LOCK Cache;
  OneThenOther(
      [&] {
        Cache.Acquire();
        Lookup.AcquireShared();
        Lookup.ChangeSharedToExclusive();
        Lookup.ReleaseExclusive();
        Cache.Release();
      },
      [&] {
        Lookup.AcquireExclusive();
        Cache.Acquire();
        Cache.Release();
        Lookup.ReleaseExclusive();
      });
}

// A heap's global lock after one of its group's locks.
void GlobalLockAfterAGroupLock() {
  THREAD_SAFE Global(true);
  HYBRID_LOCK CacheLock;
  OneThenOther(
      [&] {
        Global.ClaimGlobalLock();
        { GROUP_LOCK_GUARD Cache(&Global, CacheLock); }
        Global.ReleaseGlobalLock(false);
      },
      [&] {
        GROUP_LOCK_GUARD Cache(&Global, CacheLock);
        Global.ClaimGlobalLock();
        Global.ReleaseGlobalLock(false);
      });
}

// Two heaps sharing the process-wide lookup, each claimed by one thread that
// then releases an allocation of the other: against the rule, and reported.
void TwoHeapsEachClaimedWhileUsingTheOther() {
  FAST_HEAP First(1 << 20, true, true, true), Second(1 << 20, true, true, true);
  void *FromFirst = First.New(64), *FromSecond = Second.New(64);
  OneThenOther([&] { First.ClaimAllLocks(); First.Delete(FromSecond); First.ReleaseAllLocks(); },
               [&] { Second.ClaimAllLocks(); Second.Delete(FromFirst); Second.ReleaseAllLocks(); });
}

// The documented order on both threads, recursive and engaged claims of the
// global lock, and a try-claim against the order (as the lookup's resize lock
// is taken): nothing to report.
void OrderKept() {
  THREAD_SAFE Global(true);
  HYBRID_LOCK Child, Parent, PageStore, ResizeLock;
  SHARELOCK Lookup(4096, 256, 256);
  const auto InOrder = [&] {
    Global.ClaimGlobalLock();
    Global.ClaimGlobalLock();
    Child.Acquire();
    Parent.Acquire();
    Lookup.AcquireExclusive();
    PageStore.Acquire();
    Global.EngageGlobalLock();
    { GROUP_LOCK_GUARD Passed(&Global, Child); }
    Global.ReleaseGlobalLock(true);
    Global.ReleaseGlobalLock(true);
    PageStore.Release();
    Lookup.ReleaseExclusive();
    Parent.Release();
    Child.Release();
  };
  OneThenOther(InOrder, [&] {
    InOrder();
    Lookup.AcquireShared();
    Lookup.ChangeSharedToExclusive();
    if (ResizeLock.TryAcquire()) {
      Lookup.ReleaseExclusive();
      Lookup.AcquireExclusive();
      ResizeLock.Release();
    }
    Lookup.ReleaseExclusive();
  });
  OneThenOther(
      [&] {
        ResizeLock.Acquire();
        Lookup.AcquireShared();
        Lookup.ReleaseShared();
        ResizeLock.Release();
      },
      [] {});
}

// A waiter whose sleep fails (its semaphore's platform object is already
// closed) gives its claim up through the failure. The thread must be checked
// as before: its plain write, ordered against another thread's only by a
// relaxed flag, is a data race the checker reports.
void RaceAfterAFailedWait() {
  const std::string Suffix = "-krax-annotation-check-" + std::to_string(getpid());
  SetDebugTraceNameSuffix(Suffix.c_str());
  HYBRID_LOCK Lock(1, 256);
  platform::SEMAPHORE_HANDLE Closed = platform::CreateCountingSemaphore(1);
  platform::CloseCountingSemaphore(Closed);
  Lock.SleepQueue.Semaphore = Closed;
  std::atomic<bool> Held{false}, Failed{false}, Written{false}, Raced{false};
  int Shared = 0;
  std::thread Holder([&] {
    Lock.Acquire();
    Held = true;
    while (!Failed.load())
      std::this_thread::yield();
    Lock.Release();
  });
  std::thread Waiter([&] {
    while (!Held.load())
      std::this_thread::yield();
    try {
      Lock.Acquire();
      std::printf("the wait did not fail\n");
      Lock.Release();
    } catch (unsigned char *) {
      Lock.Sleeping = 0;  // the failed sleeper's registration, or the release would signal the closed queue
      Failed = true;
    }
    Shared = 1;
    Written.store(true, std::memory_order_relaxed);
    // A second write once the other thread's is done: the checker compares it
    // with the other thread's while this thread is alive, which makes the
    // report certain (the first pair alone was reported only now and then).
    while (!Raced.load(std::memory_order_relaxed))
      std::this_thread::yield();
    Shared = 3;
  });
  std::thread Racer([&] {
    while (!Written.load(std::memory_order_relaxed))
      std::this_thread::yield();
    Shared = 2;
    Raced.store(true, std::memory_order_relaxed);
  });
  Holder.join();
  Waiter.join();
  Racer.join();
  Lock.SleepQueue.Semaphore = nullptr;  // closed already
  SetDebugTraceNameSuffix("-krax-annotation-check-closed");
  for (int Location = 0; Location < platform::TraceFileLocations; ++Location) {
    char Name[256];
    std::snprintf(Name, sizeof Name, platform::TraceFileNameFormats[Location], Suffix.c_str());
    std::remove(Name);
  }
}

struct SCENARIO {
  const char *Name;
  void (*Run)();
};

constexpr SCENARIO Scenarios[] = {
    {"cache-locks", CacheLocksBothWays},
    {"slow-path", CacheLocksBothWaysThroughTheSlowPath},
    {"lookup-and-page-store", LookupAndPageStoreBothWays},
    {"changed-claim", ChangedClaimAndCacheLockBothWays},
    {"global-lock", GlobalLockAfterAGroupLock},
    {"two-heaps", TwoHeapsEachClaimedWhileUsingTheOther},
    {"order-kept", OrderKept},
    {"failed-wait", RaceAfterAFailedWait},
};

}  // namespace

int main(int Count, char **Arguments) {
  for (const SCENARIO &Scenario : Scenarios)
    if (Count == 2 && std::strcmp(Arguments[1], Scenario.Name) == 0) {
      Scenario.Run();
      std::printf("scenario %s ran to its end\n", Scenario.Name);
      return 0;
    }
  std::fprintf(stderr, "usage: lock_annotation_check SCENARIO\n");
  return 2;
}
