#include "heap/support/thread_safe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <thread>

#include "tests/heap/support/support_test_helpers.h"

namespace {

// Runs Action on a thread of its own and waits for it.
template <class ACTION>
void OnOtherThread(ACTION Action) {
  std::thread Other(Action);
  Other.join();
}

TEST(ThreadSafeTest, WithThreadSafetyOffEveryOperationReturnsAtOnceOnEveryThread) {
  THREAD_SAFE Global(false);
  const auto ExpectInert = [&] {
    EXPECT_FALSE(Global.ClaimGlobalLock());
    Global.EngageGlobalLock();
    EXPECT_FALSE(Global.ReleaseGlobalLock(false));
    EXPECT_FALSE(Global.ReleaseGlobalLock(true));
    EXPECT_FALSE(Global.ShouldLock());
  };
  ExpectInert();
  OnOtherThread(ExpectInert);
  EXPECT_EQ(Global.Owner.load(), -1);
  EXPECT_EQ(Global.Engaged.load(), -1);
  EXPECT_EQ(Global.GlobalLock.Locked.load(), 0);
}

TEST(ThreadSafeTest, ClaimsOfTheOwnerAreCountedAndOnlyTheOutermostReleaseFrees) {
  THREAD_SAFE Global(true);
  EXPECT_EQ(Global.GlobalLock.MaxSpins, 4096);
  EXPECT_TRUE(Global.ClaimGlobalLock());
  EXPECT_EQ(Global.Owner.load(), platform::CurrentThreadId());
  EXPECT_FALSE(Global.ClaimGlobalLock());
  EXPECT_FALSE(Global.ClaimGlobalLock());
  EXPECT_EQ(Global.Recursion.load(), 2);
  EXPECT_FALSE(Global.ReleaseGlobalLock(false));
  EXPECT_FALSE(Global.ReleaseGlobalLock(false));
  EXPECT_EQ(Global.GlobalLock.Locked.load(), 1);
  EXPECT_TRUE(Global.ReleaseGlobalLock(false));
  EXPECT_EQ(Global.Owner.load(), -1);
  EXPECT_EQ(Global.GlobalLock.Locked.load(), 0);
}

TEST(ThreadSafeTest, AClaimKeepsOtherThreadsOutUntilTheOutermostRelease) {
  THREAD_SAFE Global(true);
  std::atomic<bool> Claimed{false};
  std::atomic<bool> OtherIn{false};
  RunThreadsWithWatchdog(
      2,
      [&](int Index) {
        if (Index == 0) {
          ASSERT_TRUE(WaitUntil([&] { return Claimed.load(); }));
          EXPECT_TRUE(Global.ClaimGlobalLock());
          OtherIn = true;
          EXPECT_TRUE(Global.ReleaseGlobalLock(false));
        } else {
          EXPECT_TRUE(Global.ClaimGlobalLock());
          EXPECT_FALSE(Global.ClaimGlobalLock());
          Claimed = true;
          EXPECT_TRUE(WaitUntil([&] { return Global.GlobalLock.Sleeping.load() == 1; }));
          EXPECT_FALSE(Global.ReleaseGlobalLock(false));  // the nested claim only
          EXPECT_EQ(Global.GlobalLock.Locked.load(), 1);
          EXPECT_FALSE(OtherIn.load());
          EXPECT_TRUE(Global.ReleaseGlobalLock(false));
        }
      },
      [&] { Global.GlobalLock.SleepQueue.Signal(1); });
  EXPECT_TRUE(OtherIn.load());
  EXPECT_EQ(Global.Owner.load(), -1);
}

TEST(ThreadSafeTest, TheEngagedOwnerPassesTheGroupLocksAndOtherThreadsTakeThem) {
  THREAD_SAFE Global(true);
  HYBRID_LOCK CacheLock;
  SHARELOCK FindLock(4096, 256, 256);
  EXPECT_TRUE(Global.ShouldLock());

  // The whole-heap protocol: claim, take the group, engage.
  ASSERT_TRUE(Global.ClaimGlobalLock());
  { GROUP_LOCK_GUARD Cache(&Global, CacheLock); }
  if (Global.ShouldLock())
    CacheLock.Acquire();
  if (Global.ShouldLock())
    FindLock.AcquireExclusive();
  Global.EngageGlobalLock();
  EXPECT_EQ(Global.Engaged.load(), platform::CurrentThreadId());
  EXPECT_FALSE(Global.ShouldLock());
  {
    GROUP_LOCK_GUARD Cache(&Global, CacheLock);  // would deadlock if it were taken again
    GROUP_SHARED_GUARD Reading(&Global, FindLock);
    GROUP_EXCLUSIVE_GUARD Writing(&Global, FindLock);
    EXPECT_EQ(CacheLock.Locked.load(), 1);
    EXPECT_EQ(FindLock.Users(), 1);
  }
  EXPECT_EQ(CacheLock.Locked.load(), 1);
  OnOtherThread([&] { EXPECT_TRUE(Global.ShouldLock()); });

  EXPECT_TRUE(Global.ReleaseGlobalLock(true));
  EXPECT_TRUE(Global.ShouldLock());
  if (Global.ShouldLock())
    FindLock.ReleaseExclusive();
  if (Global.ShouldLock())
    CacheLock.Release();
  EXPECT_EQ(CacheLock.Locked.load(), 0);
  EXPECT_EQ(FindLock.ExclusiveAndUsers.load(), 0u);
  {
    GROUP_SHARED_GUARD Reading(&Global, FindLock);
    EXPECT_EQ(FindLock.Users(), 1);
  }
  EXPECT_EQ(FindLock.Users(), 0);
}

TEST(ThreadSafeTest, AnotherThreadMayForceTheReleaseOfAnOwnedLock) {
  THREAD_SAFE Global(true);
  ASSERT_TRUE(Global.ClaimGlobalLock());
  Global.EngageGlobalLock();
  OnOtherThread([&] {
    ExpectSoftwareFailure([&] { Global.ReleaseGlobalLock(false); }, "No claim before release in ReleaseGlobalLock");
    EXPECT_TRUE(Global.ReleaseGlobalLock(true));
  });
  EXPECT_EQ(Global.Owner.load(), -1);
  EXPECT_EQ(Global.Engaged.load(), -1);
  EXPECT_EQ(Global.GlobalLock.Locked.load(), 0);
  OnOtherThread([&] {
    EXPECT_TRUE(Global.ClaimGlobalLock());
    EXPECT_TRUE(Global.ReleaseGlobalLock(false));
  });
}

TEST(ThreadSafeFailureTest, EngagingWithoutAClaimFails) {
  THREAD_SAFE Global(true);
  ExpectSoftwareFailure([&] { Global.EngageGlobalLock(); }, "No claim before engage in EngageGlobalLock");
  ASSERT_TRUE(Global.ClaimGlobalLock());
  OnOtherThread([&] {
    ExpectSoftwareFailure([&] { Global.EngageGlobalLock(); }, "No claim before engage in EngageGlobalLock");
  });
  EXPECT_EQ(Global.Engaged.load(), -1);
  EXPECT_TRUE(Global.ReleaseGlobalLock(false));
}

TEST(ThreadSafeFailureTest, ReleasingALockWithoutOwnerFailsEvenWithForce) {
  THREAD_SAFE Global(true);
  ExpectSoftwareFailure([&] { Global.ReleaseGlobalLock(false); }, "No claim before release in ReleaseGlobalLock");
  ExpectSoftwareFailure([&] { Global.ReleaseGlobalLock(true); }, "No claim before release in ReleaseGlobalLock");
  EXPECT_EQ(Global.GlobalLock.Locked.load(), 0);
}

TEST(ThreadSafeFailureTest, DestroyingAClaimedOrEngagedInstanceFails) {
  const int32_t References = SYSTEM_FACTS::References.load();
  for (int Case = 0; Case < 3; ++Case) {
    alignas(THREAD_SAFE) unsigned char Storage[sizeof(THREAD_SAFE)];
    THREAD_SAFE *Global = new (Storage) THREAD_SAFE(true);
    ASSERT_TRUE(Global->ClaimGlobalLock());
    if (Case == 1)
      Global->EngageGlobalLock();
    if (Case == 2) {
      EXPECT_FALSE(Global->ClaimGlobalLock());
      Global->Owner = -1;  // only the outstanding recursive claim is left
    }
    ExpectSoftwareFailure([&] { Global->~THREAD_SAFE(); }, "Global lock busy in destructor for THREAD_SAFE");
  }
  // The global lock was destroyed while the failure unwound.
  EXPECT_EQ(SYSTEM_FACTS::References.load(), References);
}

}  // namespace
