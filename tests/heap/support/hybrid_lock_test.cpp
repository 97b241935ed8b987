#include "heap/support/hybrid_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <thread>

#include "tests/heap/support/support_test_helpers.h"

namespace {

TEST(HybridLockTest, ConstructionAttachesToTheSystemFactsAndDestructionDetaches) {
  const int32_t Before = SYSTEM_FACTS::References.load();
  {
    HYBRID_LOCK Lock;
    EXPECT_EQ(Lock.MaxSpins, 4096);
    EXPECT_EQ(Lock.SleepQueue.MaxThreads, 256);
    EXPECT_EQ(SYSTEM_FACTS::References.load(), Before + 1);
    EXPECT_GE(SYSTEM_FACTS::ProcessorCount, 1);
  }
  EXPECT_EQ(SYSTEM_FACTS::References.load(), Before);
}

TEST(HybridLockTest, AFailedSleepQueueDetachesBeforeTheFailurePropagates) {
  const int32_t Before = SYSTEM_FACTS::References.load();
  ExpectSoftwareFailure([] { HYBRID_LOCK Lock(4096, 0); }, "Max threads in constructor for SEMAPHORE");
  EXPECT_EQ(SYSTEM_FACTS::References.load(), Before);
}

TEST(HybridLockTest, UncontendedUseNeverCreatesAPlatformSemaphore) {
  const int64_t Creates = SemaphorePlatformCalls.Creates.load();
  HYBRID_LOCK Lock;
  for (int Round = 0; Round < 1000; ++Round) {
    Lock.Acquire();
    EXPECT_EQ(Lock.Locked.load(), 1);
    Lock.Release();
  }
  EXPECT_EQ(Lock.Locked.load(), 0);
  EXPECT_EQ(Lock.Sleeping.load(), 0);
  EXPECT_EQ(Lock.SleepQueue.Semaphore.load(), nullptr);
  EXPECT_EQ(SemaphorePlatformCalls.Creates.load(), Creates);
}

// Threads add to a plain counter under the lock; lost updates or two threads
// inside at once show up in the totals (and to the thread sanitizer).
void ExpectMutualExclusion(int32_t MaxSpins) {
  HYBRID_LOCK Lock(MaxSpins, 256);
  const int Threads = StressThreadCount();
  constexpr int Rounds = 4000;
  int64_t Counter = 0;
  std::atomic<int> Inside{0};
  std::atomic<int> MostInside{0};
  RunThreadsWithWatchdog(
      Threads,
      [&](int) {
        for (int Round = 0; Round < Rounds; ++Round) {
          Lock.Acquire();
          const int Now = Inside.fetch_add(1) + 1;
          if (Now > MostInside.load())
            MostInside.store(Now);
          ++Counter;
          if (Round % 64 == 0)
            std::this_thread::yield();  // let waiters run out of spins and sleep
          Inside.fetch_sub(1);
          Lock.Release();
        }
      },
      [&] { Lock.SleepQueue.Signal(Threads); });
  EXPECT_EQ(Counter, int64_t{Threads} * Rounds);
  EXPECT_EQ(MostInside.load(), 1);
  EXPECT_EQ(Lock.Locked.load(), 0);
}

TEST(HybridLockTest, ExcludesUnderRealContentionWithTheSpinPhase) { ExpectMutualExclusion(4096); }

TEST(HybridLockTest, ExcludesUnderRealContentionWithoutTheSpinPhase) { ExpectMutualExclusion(0); }

// In the tests below the thread that holds the lock is the one that releases
// it, as every user of the lock must (the thread checker reports anything else).

TEST(HybridLockTest, OnASingleProcessorAContendedAcquireSleepsAtOnce) {
  const PROCESSOR_COUNT_OVERRIDE OneProcessor(1);
  HYBRID_LOCK Lock(INT_MAX, 256);  // a spin phase would outlast the deadline
  std::atomic<bool> Held{false};
  RunThreadsWithWatchdog(
      2,
      [&](int Index) {
        if (Index == 0) {
          ASSERT_TRUE(WaitUntil([&] { return Held.load(); }));
          Lock.Acquire();
          Lock.Release();
        } else {
          Lock.Acquire();
          Held = true;
          EXPECT_TRUE(WaitUntil([&] { return Lock.Sleeping.load() == 1; }));
          Lock.Release();
        }
      },
      [&] { Lock.SleepQueue.Signal(1); });
  EXPECT_EQ(Lock.Locked.load(), 0);
  EXPECT_EQ(Lock.Sleeping.load(), 0);
}

TEST(HybridLockTest, NoSpinningIsOfferedWhileAsManySleepersAsProcessorsAreRegistered) {
  const PROCESSOR_COUNT_OVERRIDE TwoProcessors(2);
  HYBRID_LOCK Lock(INT_MAX, 256);
  std::atomic<bool> Held{false};
  RunThreadsWithWatchdog(
      2,
      [&](int Index) {
        if (Index == 0) {
          ASSERT_TRUE(WaitUntil([&] { return Held.load(); }));
          Lock.Acquire();
          Lock.Release();
        } else {
          Lock.Acquire();
          Lock.Sleeping = 2;  // two registrations without threads behind them
          Held = true;
          EXPECT_TRUE(WaitUntil([&] { return Lock.Sleeping.load() == 3; }));
          Lock.Release();  // wakes two, one of them the real sleeper
        }
      },
      [&] { Lock.SleepQueue.Signal(1); });
  EXPECT_EQ(Lock.Locked.load(), 0);
}

TEST(HybridLockTest, OneReleaseWakesAtMostOneSleeperPerProcessor) {
  HYBRID_LOCK Lock;
  const int32_t Processors = SYSTEM_FACTS::ProcessorCount;
  Lock.Sleeping = Processors + 3;
  Lock.WakeSleepers();
  EXPECT_EQ(Lock.Sleeping.load(), 3);
  EXPECT_EQ(Lock.SleepQueue.PendingSignals.load(), Processors);

  Lock.Sleeping = -2;  // a sleeper's late withdrawal is given back, nobody woken
  Lock.WakeSleepers();
  EXPECT_EQ(Lock.Sleeping.load(), -2);
  EXPECT_EQ(Lock.SleepQueue.PendingSignals.load(), Processors);
  Lock.Sleeping = 0;
}

TEST(HybridLockTest, OneReleaseWakesAtMostOneRealSleeperPerProcessor) {
  const int32_t Processors = SYSTEM_FACTS::ProcessorCount;
  const int Sleepers = Processors + 2;
  HYBRID_LOCK Lock(0, 256);  // no spin phase: every waiter sleeps at once
  std::atomic<bool> Held{false};
  std::atomic<int> Done{0};
  std::atomic<int64_t> WokenByOneRelease{-1};
  RunThreadsWithWatchdog(
      Sleepers + 1,
      [&](int Index) {
        if (Index < Sleepers) {
          ASSERT_TRUE(WaitUntil([&] { return Held.load(); }));
          Lock.Acquire();
          Done.fetch_add(1);
          Lock.Release();
          return;
        }
        Lock.Acquire();
        Held = true;
        EXPECT_TRUE(WaitUntil([&] { return Lock.Sleeping.load() == Sleepers; }));
        // What Release does once the lock word is 0; the lock stays held here,
        // so the woken threads fail their claim and register again.
        const int64_t Before = SemaphorePlatformCalls.ReleasedCount.load() + Lock.SleepQueue.PendingSignals.load();
        Lock.WakeSleepers();
        WokenByOneRelease =
            SemaphorePlatformCalls.ReleasedCount.load() + Lock.SleepQueue.PendingSignals.load() - Before;
        EXPECT_GE(Lock.Sleeping.load(), Sleepers - Processors);
        EXPECT_TRUE(WaitUntil([&] { return Lock.Sleeping.load() == Sleepers; }));
        EXPECT_EQ(Done.load(), 0);
        Lock.Release();
      },
      [&] { Lock.SleepQueue.Signal(Sleepers); });
  EXPECT_EQ(WokenByOneRelease.load(), Processors);
  EXPECT_EQ(Done.load(), Sleepers);
}

TEST(HybridLockTest, AFiniteWaitForAHeldLockTimesOutAndWithdrawsItsRegistration) {
  HYBRID_LOCK Lock(16, 256);
  Lock.Acquire();
  RunThreadsWithWatchdog(
      1, [&](int) { EXPECT_FALSE(Lock.WaitForRelease(30)); }, [] {});
  EXPECT_EQ(Lock.Locked.load(), 1);
  EXPECT_EQ(Lock.Sleeping.load(), 0);
  Lock.Release();
  EXPECT_TRUE(Lock.WaitForRelease(0));  // a free lock is taken even without waiting
  EXPECT_EQ(Lock.Locked.load(), 1);
  Lock.Release();
}

}  // namespace
