// The allocator's locks beside the standard library's: an uncontended acquire
// and release, and a counter shared by 2 and 8 threads, all in one run so the
// figures compare on the same machine and load.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "heap/support/hybrid_lock.h"
#include "heap/support/share_lock.h"
#include "heap/support/thread_safe.h"

namespace {

// The C library takes cheaper, non-atomic paths in std::mutex while a process
// has only ever had one thread. The heap's locks matter in threaded programs,
// so every figure here is taken in one: a thread is started (and joined) before
// the first benchmark runs.
const bool ProcessIsThreaded = [] {
  std::thread([] {}).join();
  return true;
}();

// One adapter per lock and claim kind, so that every benchmark runs the same loop.
struct HYBRID {
  HYBRID_LOCK Lock{4096, 256};
  void Acquire() { Lock.Acquire(); }
  void Release() { Lock.Release(); }
};

struct SHARE_EXCLUSIVE {
  SHARELOCK Lock{4096, 256, 256};
  void Acquire() { Lock.AcquireExclusive(); }
  void Release() { Lock.ReleaseExclusive(); }
};

struct SHARE_SHARED {
  SHARELOCK Lock{4096, 256, 256};
  void Acquire() { Lock.AcquireShared(); }
  void Release() { Lock.ReleaseShared(); }
};

// A cache lock as the heap takes it: through the group guard of its heap.
struct GROUP_GUARDED {
  THREAD_SAFE Group{true};
  HYBRID_LOCK Lock{4096, 256};
  void Acquire() {
    if (Group.ShouldLock())
      Lock.Acquire();
  }
  void Release() {
    if (Group.ShouldLock())
      Lock.Release();
  }
};

// A heap's global lock, claimed and released as a whole-heap operation does.
struct GLOBAL {
  THREAD_SAFE Global{true};
  void Acquire() { Global.ClaimGlobalLock(); }
  void Release() { Global.ReleaseGlobalLock(false); }
};

struct STD_MUTEX {
  std::mutex Lock;
  void Acquire() { Lock.lock(); }
  void Release() { Lock.unlock(); }
};

struct STD_SHARED_MUTEX_EXCLUSIVE {
  std::shared_mutex Lock;
  void Acquire() { Lock.lock(); }
  void Release() { Lock.unlock(); }
};

struct STD_SHARED_MUTEX_SHARED {
  std::shared_mutex Lock;
  void Acquire() { Lock.lock_shared(); }
  void Release() { Lock.unlock_shared(); }
};

template <class LOCK>
void Uncontended(benchmark::State &State) {
  LOCK Lock;
  for (auto _ : State) {
    Lock.Acquire();
    benchmark::ClobberMemory();
    Lock.Release();
  }
}

// Every thread of one run shares one lock and one counter, set up before the
// threads start and checked after they have all finished.
template <class LOCK>
struct SHARED_RUN {
  static inline LOCK *Lock = nullptr;
  static inline int64_t Counter = 0;
  static inline std::atomic<int64_t> Rounds{0};
};

template <class LOCK>
void SetUpRun(const benchmark::State &) {
  SHARED_RUN<LOCK>::Lock = new LOCK;
  SHARED_RUN<LOCK>::Counter = 0;
  SHARED_RUN<LOCK>::Rounds = 0;
}

template <class LOCK>
void TearDownRun(const benchmark::State &) {
  if (SHARED_RUN<LOCK>::Counter != SHARED_RUN<LOCK>::Rounds.load()) {
    std::fprintf(stderr, "lock lost updates: %lld counted, %lld rounds\n",
                 static_cast<long long>(SHARED_RUN<LOCK>::Counter),
                 static_cast<long long>(SHARED_RUN<LOCK>::Rounds.load()));
    std::abort();
  }
  delete SHARED_RUN<LOCK>::Lock;
}

template <class LOCK>
void ContendedCounter(benchmark::State &State) {
  LOCK &Lock = *SHARED_RUN<LOCK>::Lock;
  int64_t &Counter = SHARED_RUN<LOCK>::Counter;
  int64_t Rounds = 0;
  for (auto _ : State) {
    Lock.Acquire();
    ++Counter;
    Lock.Release();
    ++Rounds;
  }
  SHARED_RUN<LOCK>::Rounds.fetch_add(Rounds);
}

// The same, with some work outside the lock between claims, as an allocator's
// callers do: the lock is contended but not held all the time.
template <class LOCK>
void ContendedCounterWithWork(benchmark::State &State) {
  LOCK &Lock = *SHARED_RUN<LOCK>::Lock;
  int64_t &Counter = SHARED_RUN<LOCK>::Counter;
  int64_t Rounds = 0;
  for (auto _ : State) {
    Lock.Acquire();
    ++Counter;
    Lock.Release();
    ++Rounds;
    for (int Work = 0; Work < 100; ++Work)
      benchmark::DoNotOptimize(Work);
  }
  SHARED_RUN<LOCK>::Rounds.fetch_add(Rounds);
}

}  // namespace

BENCHMARK(Uncontended<STD_MUTEX>)->Name("Uncontended/std::mutex");
BENCHMARK(Uncontended<HYBRID>)->Name("Uncontended/HYBRID_LOCK");
BENCHMARK(Uncontended<GROUP_GUARDED>)->Name("Uncontended/HYBRID_LOCK+group guard");
BENCHMARK(Uncontended<GLOBAL>)->Name("Uncontended/THREAD_SAFE claim");
BENCHMARK(Uncontended<STD_SHARED_MUTEX_EXCLUSIVE>)->Name("Uncontended/std::shared_mutex exclusive");
BENCHMARK(Uncontended<SHARE_EXCLUSIVE>)->Name("Uncontended/SHARELOCK exclusive");
BENCHMARK(Uncontended<STD_SHARED_MUTEX_SHARED>)->Name("Uncontended/std::shared_mutex shared");
BENCHMARK(Uncontended<SHARE_SHARED>)->Name("Uncontended/SHARELOCK shared");

#define KRAX_CONTENDED(BENCH, LOCK, NAME)                                                    \
  BENCHMARK(BENCH<LOCK>)                                                                     \
      ->Name(#BENCH "/" NAME)                                                                \
      ->Setup(SetUpRun<LOCK>)                                                                \
      ->Teardown(TearDownRun<LOCK>)                                                          \
      ->Threads(2)                                                                           \
      ->Threads(8)                                                                           \
      ->UseRealTime()

KRAX_CONTENDED(ContendedCounter, STD_MUTEX, "std::mutex");
KRAX_CONTENDED(ContendedCounter, HYBRID, "HYBRID_LOCK");
KRAX_CONTENDED(ContendedCounter, STD_SHARED_MUTEX_EXCLUSIVE, "std::shared_mutex exclusive");
KRAX_CONTENDED(ContendedCounter, SHARE_EXCLUSIVE, "SHARELOCK exclusive");
KRAX_CONTENDED(ContendedCounterWithWork, STD_MUTEX, "std::mutex");
KRAX_CONTENDED(ContendedCounterWithWork, HYBRID, "HYBRID_LOCK");
KRAX_CONTENDED(ContendedCounterWithWork, STD_SHARED_MUTEX_EXCLUSIVE, "std::shared_mutex exclusive");
KRAX_CONTENDED(ContendedCounterWithWork, SHARE_EXCLUSIVE, "SHARELOCK exclusive");
