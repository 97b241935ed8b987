// Every lock hammered from more threads than processors for a bounded time. A
// lost wake-up would leave a waiter asleep for ever: the watchdog turns that
// into a failure instead of a hung suite.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "heap/support/hybrid_lock.h"
#include "heap/support/share_lock.h"
#include "heap/support/thread_safe.h"
#include "tests/heap/support/support_test_helpers.h"

namespace {

using std::chrono::steady_clock;

constexpr auto StressTime = std::chrono::milliseconds(400);
constexpr int MostRounds = 40000;

// Frees sleepers after the watchdog has fired; a failure of the wake-up itself
// (the semaphore full) is no reason to stop trying.
void WakeEveryone(SEMAPHORE &Queue, int32_t Count) {
  try {
    Queue.Signal(Count);
  } catch (unsigned char *) {
  }
}

class HybridLockStressTest : public ::testing::TestWithParam<int32_t> {};

TEST_P(HybridLockStressTest, NoWaiterIsLeftBehindAndNoUpdateIsLost) {
  HYBRID_LOCK Lock(GetParam(), 256);
  const int Threads = StressThreadCount();
  const auto End = steady_clock::now() + StressTime;
  int64_t Counter = 0;
  std::atomic<int64_t> Rounds{0};
  RunThreadsWithWatchdog(
      Threads,
      [&](int Index) {
        int Round = 0;
        for (; Round < MostRounds && steady_clock::now() < End; ++Round) {
          Lock.Acquire();
          ++Counter;
          if ((Round + Index) % 97 == 0)
            std::this_thread::yield();  // holders that lose their processor force sleeps
          Lock.Release();
        }
        Rounds.fetch_add(Round);
      },
      [&] { WakeEveryone(Lock.SleepQueue, Threads); });
  EXPECT_EQ(Counter, Rounds.load());
  EXPECT_EQ(Lock.Locked.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Spins, HybridLockStressTest, ::testing::Values(0, 64, 4096));

// A sleeper that wins the lock on its last try after a waker took its
// registration leaves that wake-up in the semaphore. Such wake-ups are used up
// by later waiters and never pile up past the semaphore's maximum, which a
// release would report as "Wakeup failed in Signal()": a maximum of exactly one
// per thread leaves no room for a pile.
TEST_P(HybridLockStressTest, StrayWakeUpsNeverPileUpPastTheMaximum) {
  const int Threads = StressThreadCount();
  HYBRID_LOCK Lock(GetParam(), Threads);
  const auto End = steady_clock::now() + StressTime;
  std::atomic<int> Failures{0};
  int64_t Counter = 0;
  std::atomic<int64_t> Rounds{0};
  RunThreadsWithWatchdog(
      Threads,
      [&](int Index) {
        int Round = 0;
        try {
          for (; Round < MostRounds && steady_clock::now() < End; ++Round) {
            Lock.Acquire();
            ++Counter;
            if ((Round + Index) % 13 == 0)
              std::this_thread::yield();
            Lock.Release();
          }
        } catch (unsigned char *) {
          Failures.fetch_add(1);
        }
        Rounds.fetch_add(Round);
      },
      [&] { WakeEveryone(Lock.SleepQueue, Threads); });
  EXPECT_EQ(Failures.load(), 0);
  EXPECT_EQ(Counter, Rounds.load());
  EXPECT_LE(Lock.SleepQueue.PendingSignals.load(), Threads);
}

class ShareLockStressTest : public ::testing::TestWithParam<int32_t> {};

// Readers check a pair that writers keep equal and count themselves against
// the maximum share; some readers change their claim to exclusive and write.
TEST_P(ShareLockStressTest, ReadersAndWritersNeverMeetAndNoWaiterIsLeftBehind) {
  constexpr int32_t MaxShare = 3;
  SHARELOCK Lock(GetParam(), 256, MaxShare);
  const int Threads = StressThreadCount();
  const auto End = steady_clock::now() + StressTime;
  int64_t First = 0, Second = 0;
  std::atomic<int> Readers{0}, Writers{0};
  std::atomic<int> MostReaders{0};
  std::atomic<int64_t> Writes{0}, Broken{0};
  const auto Write = [&] {
    if (Writers.fetch_add(1) != 0 || Readers.load() != 0)
      Broken.fetch_add(1);
    ++First;
    ++Second;
    Writes.fetch_add(1);
    Writers.fetch_sub(1);
  };
  RunThreadsWithWatchdog(
      Threads,
      [&](int Index) {
        for (int Round = 0; Round < MostRounds && steady_clock::now() < End; ++Round) {
          if ((Round + Index) % 4 == 0) {
            Lock.AcquireExclusive();
            Write();
            Lock.ReleaseExclusive();
            continue;
          }
          Lock.AcquireShared();
          const int Now = Readers.fetch_add(1) + 1;
          if (Now > MostReaders.load())
            MostReaders.store(Now);
          if (First != Second || Writers.load() != 0)
            Broken.fetch_add(1);
          if (Round % 53 == 0)
            std::this_thread::yield();
          Readers.fetch_sub(1);
          if (Round % 16 == 1) {
            Lock.ChangeSharedToExclusive();
            Write();
            Lock.ReleaseExclusive();
          } else {
            Lock.ReleaseShared();
          }
        }
      },
      [&] {
        WakeEveryone(Lock.ExclusiveQueue, Threads);
        WakeEveryone(Lock.SharedQueue, Threads);
      });
  EXPECT_EQ(Broken.load(), 0);
  EXPECT_EQ(First, Writes.load());
  EXPECT_EQ(Second, Writes.load());
  EXPECT_LE(MostReaders.load(), MaxShare);
  EXPECT_GE(MostReaders.load(), 1);
  EXPECT_EQ(Lock.ExclusiveAndUsers.load(), 0u);
}

// Threads that all hold the lock shared and then change to exclusive at once:
// each must get its turn. Withdrawn claims that come back together must not
// keep failing in lock step.
TEST_P(ShareLockStressTest, SimultaneousUpgradesAllFinish) {
  SHARELOCK Lock(GetParam(), 256, 256);
  for (const int Threads : {2, StressThreadCount()}) {
    constexpr int Rounds = 2000;
    int64_t Counter = 0;
    std::atomic<int> Writers{0};
    std::atomic<int> Sharing{0};
    std::atomic<int> Finished{0};
    std::atomic<int64_t> Broken{0};
    const auto AwaitAll = [&](std::atomic<int> &Arrivals, int Round) {
      Arrivals.fetch_add(1);
      while (Arrivals.load() < Threads * (Round + 1))
        std::this_thread::yield();
    };
    RunThreadsWithWatchdog(
        Threads,
        [&](int) {
          for (int Round = 0; Round < Rounds; ++Round) {
            Lock.AcquireShared();
            AwaitAll(Sharing, Round);  // every thread holds the lock shared
            Lock.ChangeSharedToExclusive();
            if (Writers.fetch_add(1) != 0)
              Broken.fetch_add(1);
            ++Counter;
            Writers.fetch_sub(1);
            Lock.ReleaseExclusive();
            AwaitAll(Finished, Round);
          }
        },
        [&] {
          WakeEveryone(Lock.ExclusiveQueue, Threads);
          WakeEveryone(Lock.SharedQueue, Threads);
        });
    EXPECT_EQ(Broken.load(), 0);
    EXPECT_EQ(Counter, static_cast<int64_t>(Threads) * Rounds);
    EXPECT_EQ(Lock.ExclusiveAndUsers.load(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Spins, ShareLockStressTest, ::testing::Values(1, 64, 4096));

// Whole-heap operations (claim twice, take the group, engage) against plain
// users of the group's lock.
TEST(ThreadSafeStressTest, WholeHeapClaimsAndGroupUsersExcludeEachOther) {
  THREAD_SAFE Global(true);
  HYBRID_LOCK GroupLock;
  const int Threads = StressThreadCount();
  const auto End = steady_clock::now() + StressTime;
  int64_t Counter = 0;
  std::atomic<int64_t> Rounds{0};
  RunThreadsWithWatchdog(
      Threads,
      [&](int Index) {
        int Round = 0;
        for (; Round < MostRounds / 4 && steady_clock::now() < End; ++Round) {
          if ((Round + Index) % 8 != 0) {
            GROUP_LOCK_GUARD Guard(&Global, GroupLock);
            ++Counter;
            continue;
          }
          ASSERT_TRUE(Global.ClaimGlobalLock());
          ASSERT_FALSE(Global.ClaimGlobalLock());
          if (Global.ShouldLock())
            GroupLock.Acquire();
          Global.EngageGlobalLock();
          {
            GROUP_LOCK_GUARD Passed(&Global, GroupLock);
            ++Counter;
          }
          ASSERT_FALSE(Global.ReleaseGlobalLock(false));
          ASSERT_TRUE(Global.ReleaseGlobalLock(true));
          if (Global.ShouldLock())
            GroupLock.Release();
        }
        Rounds.fetch_add(Round);
      },
      [&] {
        WakeEveryone(Global.GlobalLock.SleepQueue, Threads);
        WakeEveryone(GroupLock.SleepQueue, Threads);
      });
  EXPECT_EQ(Counter, Rounds.load());
  EXPECT_EQ(Global.Owner.load(), -1);
  EXPECT_EQ(GroupLock.Locked.load(), 0);
}

}  // namespace
