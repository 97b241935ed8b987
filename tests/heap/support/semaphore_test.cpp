#include "heap/support/semaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>

#include "tests/heap/support/support_test_helpers.h"

namespace {

// The platform calls made between construction and Delta().
struct PLATFORM_CALL_COUNT {
  int64_t Creates = SemaphorePlatformCalls.Creates.load();
  int64_t Releases = SemaphorePlatformCalls.Releases.load();
  int64_t Waits = SemaphorePlatformCalls.Waits.load();
  int64_t Closes = SemaphorePlatformCalls.Closes.load();
  int64_t Sleeps = SemaphorePlatformCalls.Sleeps.load();

  PLATFORM_CALL_COUNT Delta() const {
    PLATFORM_CALL_COUNT Now;
    Now.Creates -= Creates;
    Now.Releases -= Releases;
    Now.Waits -= Waits;
    Now.Closes -= Closes;
    Now.Sleeps -= Sleeps;
    return Now;
  }
  int64_t Total() const { return Creates + Releases + Waits + Closes + Sleeps; }
};

TEST(SemaphoreTest, PendingWakeUpsAreConsumedWithoutAnyPlatformCall) {
  const PLATFORM_CALL_COUNT Before;
  {
    SEMAPHORE Semaphore(256);
    Semaphore.Signal(3);
    EXPECT_EQ(Semaphore.PendingSignals.load(), 3);
    for (int Wait = 0; Wait < 3; ++Wait)
      EXPECT_TRUE(Semaphore.Wait(INFINITE_WAIT));
    EXPECT_EQ(Semaphore.PendingSignals.load(), 0);
    EXPECT_EQ(Semaphore.Semaphore.load(), nullptr);
    EXPECT_EQ(Before.Delta().Total(), 0);

    // The fourth finds nothing pending: it creates the platform semaphore and
    // blocks on it, here until its time-out.
    EXPECT_FALSE(Semaphore.Wait(20));
    EXPECT_NE(Semaphore.Semaphore.load(), nullptr);
    EXPECT_EQ(Before.Delta().Creates, 1);
    EXPECT_EQ(Before.Delta().Waits, 1);
    EXPECT_EQ(Before.Delta().Releases, 0);
  }
  EXPECT_EQ(Before.Delta().Closes, 1);
}

TEST(SemaphoreTest, ASemaphoreThatNeverBlockedIsDestroyedWithoutPlatformCall) {
  const PLATFORM_CALL_COUNT Before;
  { SEMAPHORE Semaphore(1); }
  { SEMAPHORE Semaphore(4); Semaphore.Signal(2); }
  EXPECT_EQ(Before.Delta().Total(), 0);
}

TEST(SemaphoreTest, FiniteWaitsTimeOutWithoutFailure) {
  SEMAPHORE Semaphore(2);
  EXPECT_FALSE(Semaphore.Wait(0));
  EXPECT_FALSE(Semaphore.Wait(30));
  EXPECT_EQ(Semaphore.PendingSignals.load(), 0);
}

TEST(SemaphoreTest, WakeUpsSignalledOnceThePlatformObjectExistsGoThroughIt) {
  SEMAPHORE Semaphore(4);
  EXPECT_FALSE(Semaphore.Wait(0));  // creates the platform object
  const PLATFORM_CALL_COUNT Before;
  Semaphore.Signal(2);
  EXPECT_EQ(Semaphore.PendingSignals.load(), 0);
  EXPECT_EQ(Before.Delta().Releases, 1);
  EXPECT_TRUE(Semaphore.Wait(0));
  EXPECT_TRUE(Semaphore.Wait(0));
  EXPECT_FALSE(Semaphore.Wait(0));
}

TEST(SemaphoreTest, UpdateSemaphoreMovesPendingWakeUpsIntoTheNewPlatformObject) {
  SEMAPHORE Semaphore(4);
  Semaphore.Signal(3);
  EXPECT_TRUE(Semaphore.UpdateSemaphore());
  EXPECT_EQ(Semaphore.PendingSignals.load(), 0);
  const PLATFORM_CALL_COUNT Before;
  EXPECT_TRUE(Semaphore.Wait(0));
  EXPECT_TRUE(Semaphore.Wait(0));
  EXPECT_TRUE(Semaphore.Wait(0));
  EXPECT_FALSE(Semaphore.Wait(0));
  EXPECT_EQ(Before.Delta().Waits, 4);
  EXPECT_EQ(Before.Delta().Creates, 0);
}

TEST(SemaphoreTest, ASignalWakesAThreadBlockedOnThePlatformObject) {
  SEMAPHORE Semaphore(1);
  std::atomic<bool> Woken{false};
  RunThreadsWithWatchdog(
      2,
      [&](int Index) {
        if (Index == 0) {
          EXPECT_TRUE(Semaphore.Wait(INFINITE_WAIT));
          Woken = true;
        } else {
          ASSERT_TRUE(WaitUntil([&] { return Semaphore.Semaphore.load() != nullptr; }));
          Semaphore.Signal(1);
        }
      },
      [&] { Semaphore.Signal(1); });
  EXPECT_TRUE(Woken);
  EXPECT_FALSE(Semaphore.Wait(0));
}

TEST(SemaphoreTest, EveryWakeUpIsPassedOnOrConsumedExactlyOnce) {
  // Signals race with waiters creating the platform object (each round starts
  // without one); each wake-up must end up consumed exactly once, and none may
  // be made up.
  constexpr int Rounds = 150;
  constexpr int Pairs = 2;
  constexpr int WakeUps = 200;
  for (int Round = 0; Round < Rounds; ++Round) {
    SEMAPHORE Semaphore(Pairs * WakeUps);  // producers may run far ahead
    std::atomic<int> Consumed{0};
    RunThreadsWithWatchdog(
        2 * Pairs,
        [&](int Index) {
          for (int Count = 0; Count < WakeUps; ++Count) {
            if (Index % 2 == 0) {
              Semaphore.Signal(1);
            } else {
              EXPECT_TRUE(Semaphore.Wait(INFINITE_WAIT));
              Consumed.fetch_add(1);
            }
          }
        },
        [&] { Semaphore.Signal(1); });
    ASSERT_EQ(Consumed.load(), Pairs * WakeUps);
    ASSERT_EQ(Semaphore.PendingSignals.load(), 0);
    ASSERT_FALSE(Semaphore.Wait(0));
  }
}

TEST(SemaphoreFailureTest, ConstructorRefusesAMaximumOfZeroOrLess) {
  ExpectSoftwareFailure([] { SEMAPHORE Semaphore(0); }, "Max threads in constructor for SEMAPHORE");
  ExpectSoftwareFailure([] { SEMAPHORE Semaphore(-7); }, "Max threads in constructor for SEMAPHORE");
}

TEST(SemaphoreFailureTest, PendingWakeUpsBeyondTheMaximumCannotBePassedOn) {
  SEMAPHORE Semaphore(1);
  Semaphore.Signal(2);
  ExpectSoftwareFailure([&] { Semaphore.UpdateSemaphore(); }, "Wakeup failed in UpdateSemaphore()");
  EXPECT_EQ(Semaphore.PendingSignals.load(), 0);  // taken before the release failed
}

TEST(SemaphoreFailureTest, ASignalBeyondTheMaximumFails) {
  SEMAPHORE Semaphore(1);
  EXPECT_FALSE(Semaphore.Wait(0));
  Semaphore.Signal(1);
  ExpectSoftwareFailure([&] { Semaphore.Signal(1); }, "Wakeup failed in Signal()");
  EXPECT_TRUE(Semaphore.Wait(0));  // the first wake-up is still there
}

// A handle the platform has already closed makes the platform itself refuse
// the wait and the close.
TEST(SemaphoreFailureTest, AWaitOrCloseThatThePlatformRefusesFails) {
  alignas(SEMAPHORE) unsigned char Storage[sizeof(SEMAPHORE)];
  SEMAPHORE *Semaphore = new (Storage) SEMAPHORE(1);
  platform::SEMAPHORE_HANDLE Closed = platform::CreateCountingSemaphore(1);
  ASSERT_NE(Closed, nullptr);
  ASSERT_TRUE(platform::CloseCountingSemaphore(Closed));
  Semaphore->Semaphore = Closed;
  ExpectSoftwareFailure([&] { Semaphore->Wait(0); }, "Wait status in Wait");
  ExpectSoftwareFailure([&] { Semaphore->~SEMAPHORE(); }, "Close semaphore in destructor for SEMAPHORE");
}

}  // namespace
