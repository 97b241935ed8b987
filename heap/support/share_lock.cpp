#include "heap/support/share_lock.h"

#include "heap/support/software_failure.h"

namespace {

constexpr const char *MaximumSpinsInvalid = "Maximum spins invalid in constructor for SHARELOCK";
constexpr const char *MaximumShareInvalid = "Maximum share invalid in constructor for SHARELOCK";

int32_t Processors() { return SYSTEM_FACTS::ProcessorCount > 1 ? SYSTEM_FACTS::ProcessorCount : 1; }

// Takes every registration of a sleeper queue, keeps at most one per
// processor for waking and gives the rest (or a negative balance) back.
int32_t TakeSleepers(std::atomic<int32_t> &Sleeping) {
  int32_t Count = Sleeping.exchange(0);
  const int32_t ProcessorCount = Processors();
  if (Count > ProcessorCount) {
    Sleeping.fetch_add(Count - ProcessorCount);
    Count = ProcessorCount;
  }
  return Count;
}

}  // namespace

// Members are built before the checks; a failure leaving the constructor
// destroys the semaphores and detaches from the system facts again.
SHARELOCK::SHARELOCK(int32_t MaxSpins, int32_t MaxUsers, int32_t MaxShare)
    : MaxSpins(0),
      MaxShare(0),
      ExclusiveAndUsers(0),
      SharedQueue(MaxUsers),
      SharedSleeping(0),
      ExclusiveQueue(MaxUsers),
      ExclusiveSleeping(0) {
  if (MaxSpins <= 0)
    SoftwareFailure(MaximumSpinsInvalid);
  this->MaxSpins = MaxSpins;
  if (MaxShare <= 0 || MaxShare > SharedQueue.MaxThreads)
    SoftwareFailure(MaximumShareInvalid);
  this->MaxShare = MaxShare;
  AnnotateLockCreated(this);  // only a lock that was built exists for the checker
}

// True when the lock was seen open to one more sharer.
bool SHARELOCK::SpinUntilShareable() const {
  const int32_t ProcessorCount = Processors();
  if (ProcessorCount <= 1 || ExclusiveSleeping.load(std::memory_order_relaxed) +
                                     SharedSleeping.load(std::memory_order_relaxed) >=
                                 ProcessorCount)
    return false;
  for (int32_t Spin = 0; Spin < MaxSpins; ++Spin) {
    const uint64_t Word = ExclusiveAndUsers.load(std::memory_order_relaxed);
    if (ExclusiveOf(Word) <= 0 && UsersOf(Word) < MaxShare)
      return true;
    platform::PauseHint();
  }
  return false;
}

// True when the lock was seen without users.
bool SHARELOCK::SpinUntilNoUsers() const {
  const int32_t ProcessorCount = Processors();
  if (ProcessorCount <= 1 || ExclusiveSleeping.load(std::memory_order_relaxed) >= ProcessorCount)
    return false;
  for (int32_t Spin = 0; Spin < MaxSpins; ++Spin) {
    if (UsersOf(ExclusiveAndUsers.load(std::memory_order_relaxed)) <= 0)
      return true;
    platform::PauseHint();
  }
  return false;
}

// Sleeps only while somebody holds the lock, whose release will wake us. On a
// time-out the registration is withdrawn and any wake-up this thread may have
// absorbed is passed on, so that no other sleeper is stranded.
bool SHARELOCK::SleepShared(uint32_t TimeOut) {
  SharedSleeping.fetch_add(1);
  if (Users() <= 0) {
    SharedSleeping.fetch_sub(1);
    return true;
  }
  if (SharedQueue.Wait(TimeOut))
    return true;
  SharedSleeping.fetch_sub(1);
  WakeSleepersIfAny();
  return false;
}

bool SHARELOCK::SleepExclusive(uint32_t TimeOut) {
  ChangeClaims(-1, 0);  // a sleeping exclusive claimant does not hold back sharers
  ExclusiveSleeping.fetch_add(1);
  if (Users() <= 0) {
    ExclusiveSleeping.fetch_sub(1);
  } else if (!ExclusiveQueue.Wait(TimeOut)) {
    ExclusiveSleeping.fetch_sub(1);
    WakeSleepersIfAny();
    return false;
  }
  ChangeClaims(1, 0);
  return true;
}

bool SHARELOCK::WaitForShared(uint32_t TimeOut) {
  LOCK_CLAIM_ANNOTATION Claim(this, ClaimKindOfWait(SharedClaim, TimeOut != INFINITE_WAIT));
  for (;;) {
    const uint64_t Word = ExclusiveAndUsers.load();
    if (ExclusiveOf(Word) <= 0 && UsersOf(Word) <= MaxShare)
      return Claim.Taken();
    ExclusiveAndUsers.fetch_sub(OneUser);
    if (TimeOut == 0) {
      WakeSleepersIfAny();
      return Claim.GivenUp();
    }
    if (!SpinUntilShareable() && !SleepShared(TimeOut))
      return Claim.GivenUp();
    ExclusiveAndUsers.fetch_add(OneUser);
  }
}

bool SHARELOCK::WaitForExclusive(uint32_t TimeOut) {
  LOCK_CLAIM_ANNOTATION Claim(this, ClaimKindOfWait(ExclusiveClaim, TimeOut != INFINITE_WAIT));
  uint64_t Word = ExclusiveAndUsers.load();
  for (;;) {
    if (UsersOf(Word) == 1)
      return Claim.Taken();
    ExclusiveAndUsers.fetch_sub(OneUser);  // Exclusive stays raised: sharers keep out
    if (TimeOut == 0) {
      ChangeClaims(-1, 0);
      WakeSleepersIfAny();
      return Claim.GivenUp();
    }
    if (!SpinUntilNoUsers() && !SleepExclusive(TimeOut))
      return Claim.GivenUp();
    // The claim comes back with one atomic add whose own result decides: of
    // several claimants that return together, the first is alone and wins,
    // where a fresh read would show them all each other and send them all
    // round again in lock step.
    Word = ExclusiveAndUsers.fetch_add(OneUser) + OneUser;
  }
}

void SHARELOCK::WakeSleepers() {
  const int32_t Exclusives = TakeSleepers(ExclusiveSleeping);
  if (Exclusives > 0) {
    ExclusiveQueue.Signal(Exclusives);
    return;
  }
  const int32_t Sharers = TakeSleepers(SharedSleeping);
  if (Sharers > 0)
    SharedQueue.Signal(Sharers);
  else if (Sharers < 0)
    SharedSleeping.fetch_add(Sharers);
  if (Exclusives < 0)
    ExclusiveSleeping.fetch_add(Exclusives);
}
