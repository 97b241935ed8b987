#include "heap/support/share_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "tests/heap/support/support_test_helpers.h"

namespace {

TEST(ShareLockTest, ConstructorChecksSpinsFirstAndDetachesOnFailure) {
  const int32_t Before = SYSTEM_FACTS::References.load();
  const char *Spins = "Maximum spins invalid in constructor for SHARELOCK";
  const char *Share = "Maximum share invalid in constructor for SHARELOCK";
  ExpectSoftwareFailure([] { SHARELOCK Lock(0, 256, 256); }, Spins);
  ExpectSoftwareFailure([] { SHARELOCK Lock(-1, 256, 0); }, Spins);
  ExpectSoftwareFailure([] { SHARELOCK Lock(4096, 256, 0); }, Share);
  ExpectSoftwareFailure([] { SHARELOCK Lock(4096, 256, 257); }, Share);
  ExpectSoftwareFailure([] { SHARELOCK Lock(4096, 0, 1); }, "Max threads in constructor for SEMAPHORE");
  EXPECT_EQ(SYSTEM_FACTS::References.load(), Before);
  SHARELOCK Widest(1, 8, 8);
  EXPECT_EQ(Widest.MaxShare, 8);
}

TEST(ShareLockTest, UncontendedClaimsNeverCreateAPlatformSemaphore) {
  const int64_t Creates = SemaphorePlatformCalls.Creates.load();
  SHARELOCK Lock(4096, 256, 256);
  for (int Round = 0; Round < 500; ++Round) {
    Lock.AcquireShared();
    Lock.AcquireShared();
    EXPECT_EQ(Lock.ExclusiveAndUsers.load(), uint64_t{2} << 32);  // Users in the high half
    Lock.ReleaseShared();
    Lock.ChangeSharedToExclusive();
    EXPECT_EQ(Lock.ExclusiveAndUsers.load(), (uint64_t{1} << 32) | 1u);
    Lock.ReleaseExclusive();
    Lock.AcquireExclusive();
    EXPECT_EQ(Lock.Exclusive(), 1);
    EXPECT_EQ(Lock.Users(), 1);
    Lock.ReleaseExclusive();
  }
  EXPECT_EQ(Lock.ExclusiveAndUsers.load(), 0u);
  EXPECT_EQ(SemaphorePlatformCalls.Creates.load(), Creates);
}

TEST(ShareLockTest, WithAMaximumShareOfTwoAThirdSharerWaitsForARelease) {
  SHARELOCK Lock(16, 256, 2);
  Lock.AcquireShared();
  Lock.AcquireShared();
  std::atomic<bool> ThirdIn{false};
  RunThreadsWithWatchdog(
      2,
      [&](int Index) {
        if (Index == 0) {
          Lock.AcquireShared();
          ThirdIn = true;
          EXPECT_LE(Lock.Users(), 2);
          Lock.ReleaseShared();
        } else {
          EXPECT_TRUE(WaitUntil([&] { return Lock.SharedSleeping.load() == 1; }));
          EXPECT_FALSE(ThirdIn.load());
          Lock.ReleaseShared();
        }
      },
      [&] { Lock.SharedQueue.Signal(1); });
  EXPECT_TRUE(ThirdIn.load());
  Lock.ReleaseShared();
  EXPECT_EQ(Lock.ExclusiveAndUsers.load(), 0u);
}

TEST(ShareLockTest, AnExclusiveClaimWaitsUntilEverySharerHasReleased) {
  SHARELOCK Lock(16, 256, 256);
  Lock.AcquireShared();
  Lock.AcquireShared();
  std::atomic<bool> WriterIn{false};
  RunThreadsWithWatchdog(
      2,
      [&](int Index) {
        if (Index == 0) {
          Lock.AcquireExclusive();
          WriterIn = true;
          EXPECT_EQ(Lock.Users(), 1);
          Lock.ReleaseExclusive();
        } else {
          EXPECT_TRUE(WaitUntil([&] { return Lock.ExclusiveSleeping.load() == 1; }));
          Lock.ReleaseShared();
          EXPECT_FALSE(WriterIn.load());
          Lock.ReleaseShared();
        }
      },
      [&] { Lock.ExclusiveQueue.Signal(1); });
  EXPECT_TRUE(WriterIn.load());
  EXPECT_EQ(Lock.ExclusiveAndUsers.load(), 0u);
}

TEST(ShareLockTest, AnExclusiveClaimThatSpinsHoldsBackNewSharers) {
  const PROCESSOR_COUNT_OVERRIDE TwoProcessors(2);
  SHARELOCK Lock(INT_MAX, 256, 256);  // nobody runs out of spins
  Lock.AcquireShared();
  std::mutex OrderGuard;
  std::string Order;
  RunThreadsWithWatchdog(
      3,
      [&](int Index) {
        if (Index == 0) {
          Lock.AcquireExclusive();
          std::lock_guard<std::mutex> Guard(OrderGuard);
          Order += "E";
          Lock.ReleaseExclusive();
        } else if (Index == 1) {
          ASSERT_TRUE(WaitUntil([&] { return Lock.Exclusive() == 1; }));
          Lock.AcquireShared();
          std::lock_guard<std::mutex> Guard(OrderGuard);
          Order += "S";
          Lock.ReleaseShared();
        } else {
          ASSERT_TRUE(WaitUntil([&] { return Lock.Exclusive() == 1; }));
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          {
            std::lock_guard<std::mutex> Guard(OrderGuard);
            EXPECT_EQ(Order, "");
          }
          Lock.ReleaseShared();
        }
      },
      [&] { Lock.ReleaseShared(); });
  EXPECT_EQ(Order, "ES");
  EXPECT_EQ(Lock.ExclusiveAndUsers.load(), 0u);
}

TEST(ShareLockTest, OnceAnExclusiveClaimSleepsNewSharersPassIt) {
  SHARELOCK Lock(1, 256, 256);
  Lock.AcquireShared();
  std::atomic<bool> WriterIn{false};
  RunThreadsWithWatchdog(
      2,
      [&](int Index) {
        if (Index == 0) {
          Lock.AcquireExclusive();
          WriterIn = true;
          Lock.ReleaseExclusive();
        } else {
          ASSERT_TRUE(WaitUntil([&] { return Lock.ExclusiveSleeping.load() == 1; }));
          EXPECT_EQ(Lock.Exclusive(), 0);
          Lock.AcquireShared();  // passes the sleeping writer at once
          EXPECT_EQ(Lock.Users(), 2);
          EXPECT_FALSE(WriterIn.load());
          Lock.ReleaseShared();
          Lock.ReleaseShared();
        }
      },
      [&] { Lock.ExclusiveQueue.Signal(1); });
  EXPECT_TRUE(WriterIn.load());
  EXPECT_EQ(Lock.ExclusiveAndUsers.load(), 0u);
}

TEST(ShareLockTest, AReleaseWakesOnlyExclusiveSleepersWhenBothKindsAreRegistered) {
  SHARELOCK Lock(4096, 256, 256);
  const int32_t Processors = SYSTEM_FACTS::ProcessorCount;
  Lock.ExclusiveSleeping = Processors + 1;
  Lock.SharedSleeping = 3;
  Lock.WakeSleepers();
  EXPECT_EQ(Lock.ExclusiveQueue.PendingSignals.load(), Processors);
  EXPECT_EQ(Lock.ExclusiveSleeping.load(), 1);
  EXPECT_EQ(Lock.SharedQueue.PendingSignals.load(), 0);
  EXPECT_EQ(Lock.SharedSleeping.load(), 3);

  Lock.ExclusiveSleeping = -1;  // a late withdrawal; sharers are woken, at most P
  Lock.SharedSleeping = Processors + 2;
  Lock.WakeSleepers();
  EXPECT_EQ(Lock.SharedQueue.PendingSignals.load(), Processors);
  EXPECT_EQ(Lock.SharedSleeping.load(), 2);
  EXPECT_EQ(Lock.ExclusiveSleeping.load(), -1);
  Lock.ExclusiveSleeping = 0;
  Lock.SharedSleeping = 0;
}

// The thread that holds the exclusive claim releases it itself, as every user
// of the lock must (the thread checker reports anything else).
TEST(ShareLockTest, ASleepingWriterIsWokenBeforeSleepingReaders) {
  SHARELOCK Lock(1, 256, 256);
  std::atomic<bool> Held{false};
  std::mutex OrderGuard;
  std::string Order;
  const auto Record = [&](const char *Step) {
    std::lock_guard<std::mutex> Guard(OrderGuard);
    Order += Step;
  };
  RunThreadsWithWatchdog(
      4,
      [&](int Index) {
        if (Index < 2) {
          ASSERT_TRUE(WaitUntil([&] { return Held.load(); }));
          Lock.AcquireShared();
          Record("S");
          Lock.ReleaseShared();
        } else if (Index == 2) {
          ASSERT_TRUE(WaitUntil([&] { return Lock.SharedSleeping.load() == 2; }));
          Lock.AcquireExclusive();
          Record("E");
          Lock.ReleaseExclusive();
        } else {
          Lock.AcquireExclusive();
          Held = true;
          ASSERT_TRUE(WaitUntil(
              [&] { return Lock.SharedSleeping.load() == 2 && Lock.ExclusiveSleeping.load() == 1; }));
          Lock.ReleaseExclusive();
        }
      },
      [&] {
        Lock.ExclusiveQueue.Signal(1);
        Lock.SharedQueue.Signal(2);
      });
  EXPECT_EQ(Order, "ESS");
  EXPECT_EQ(Lock.ExclusiveAndUsers.load(), 0u);
}

TEST(ShareLockTest, ChangingSharedToExclusiveWaitsForTheOtherSharers) {
  SHARELOCK Lock(16, 256, 256);
  Lock.AcquireShared();
  std::atomic<bool> Changed{false};
  RunThreadsWithWatchdog(
      2,
      [&](int Index) {
        if (Index == 0) {
          Lock.AcquireShared();
          Lock.ChangeSharedToExclusive();
          Changed = true;
          EXPECT_EQ(Lock.Exclusive(), 1);
          EXPECT_EQ(Lock.Users(), 1);
          Lock.ReleaseExclusive();
        } else {
          ASSERT_TRUE(WaitUntil([&] { return Lock.ExclusiveSleeping.load() == 1; }));
          EXPECT_FALSE(Changed.load());
          Lock.ReleaseShared();
        }
      },
      [&] { Lock.ExclusiveQueue.Signal(1); });
  EXPECT_TRUE(Changed.load());
  EXPECT_EQ(Lock.ExclusiveAndUsers.load(), 0u);
}

TEST(ShareLockTest, ClaimsGivenUpWithoutWaitingLeaveNothingCounted) {
  SHARELOCK Lock(16, 256, 256);
  Lock.AcquireExclusive();
  Lock.ExclusiveAndUsers.fetch_add(uint64_t{1} << 32);  // a shared claim, as AcquireShared counts it
  EXPECT_FALSE(Lock.WaitForShared(0));
  EXPECT_EQ(Lock.Users(), 1);
  Lock.ReleaseExclusive();

  Lock.AcquireShared();
  Lock.ExclusiveAndUsers.fetch_add((uint64_t{1} << 32) | 1u);  // an exclusive claim
  EXPECT_FALSE(Lock.WaitForExclusive(0));
  EXPECT_EQ(Lock.Exclusive(), 0);
  EXPECT_EQ(Lock.Users(), 1);
  Lock.ReleaseShared();
  EXPECT_EQ(Lock.ExclusiveAndUsers.load(), 0u);
}

TEST(ShareLockTest, ASleepThatTimesOutGivesUpTheClaim) {
  SHARELOCK Lock(1, 256, 256);
  Lock.AcquireExclusive();
  RunThreadsWithWatchdog(
      1,
      [&](int) {
        Lock.ExclusiveAndUsers.fetch_add(uint64_t{1} << 32);
        EXPECT_FALSE(Lock.WaitForShared(30));
        Lock.ExclusiveAndUsers.fetch_add((uint64_t{1} << 32) | 1u);
        EXPECT_FALSE(Lock.WaitForExclusive(30));
      },
      [] {});
  EXPECT_EQ(Lock.Exclusive(), 1);
  EXPECT_EQ(Lock.Users(), 1);
  EXPECT_EQ(Lock.SharedSleeping.load(), 0);
  EXPECT_EQ(Lock.ExclusiveSleeping.load(), 0);
  Lock.ReleaseExclusive();
  EXPECT_EQ(Lock.ExclusiveAndUsers.load(), 0u);
}

}  // namespace
