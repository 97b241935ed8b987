#include "platform/threads.h"

#include "platform/posix/fork_guard.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <new>

namespace platform {

namespace {

// A counting semaphore on a futex. Count is the futex word: waiters sleep while
// it is 0. Waiters tells a release whether the wake-up system call is needed.
struct alignas(64) FUTEX_SEMAPHORE {
  std::atomic<int32_t> Count;
  std::atomic<int32_t> Waiters;
  int32_t MaximumCount;
  FUTEX_SEMAPHORE *NextFree;
};

// Semaphores come from a process-wide pool of mapped pages, never from the C
// heap. A page group is mapped when the pool runs dry and kept for reuse; the
// pool therefore only grows to the most semaphores alive at one time. A
// group's slots are handed out in address order as needed, so a process with
// a few semaphores writes, and keeps resident, one page of its group.
constexpr size_t PoolGroupBytes = 65536;

constinit std::atomic_flag PoolBusy = ATOMIC_FLAG_INIT;
constinit FUTEX_SEMAPHORE *FreeSemaphores = nullptr;

void LockPool() {
  while (PoolBusy.test_and_set(std::memory_order_acquire))
    sched_yield();
}

void UnlockPool() { PoolBusy.clear(std::memory_order_release); }

// The unused rest of the newest group.
constinit FUTEX_SEMAPHORE *FreshSlots = nullptr;
constinit FUTEX_SEMAPHORE *FreshEnd = nullptr;

bool GrowPool() {
  void *Group = mmap(nullptr, PoolGroupBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (Group == MAP_FAILED)
    return false;
  FreshSlots = static_cast<FUTEX_SEMAPHORE *>(Group);
  FreshEnd = FreshSlots + PoolGroupBytes / sizeof(FUTEX_SEMAPHORE);
  return true;
}

}  // namespace

void HoldSemaphorePool() { LockPool(); }
void FreeSemaphorePool() { UnlockPool(); }

namespace {

FUTEX_SEMAPHORE *TakeSlot() {
  LockPool();
  FUTEX_SEMAPHORE *Slot = FreeSemaphores;
  if (Slot != nullptr)
    FreeSemaphores = Slot->NextFree;
  else if (FreshSlots != FreshEnd || GrowPool())
    Slot = new (FreshSlots++) FUTEX_SEMAPHORE{};
  UnlockPool();
  return Slot;
}

void ReturnSlot(FUTEX_SEMAPHORE *Slot) {
  LockPool();
  Slot->NextFree = FreeSemaphores;
  FreeSemaphores = Slot;
  UnlockPool();
}

long Futex(std::atomic<int32_t> &Word, int Operation, int32_t Value, const timespec *TimeOut) {
  return syscall(SYS_futex, reinterpret_cast<int32_t *>(&Word), Operation | FUTEX_PRIVATE_FLAG, Value, TimeOut,
                 nullptr, 0);
}

int64_t MonotonicMilliseconds() {
  timespec Now;
  clock_gettime(CLOCK_MONOTONIC, &Now);
  return static_cast<int64_t>(Now.tv_sec) * 1000 + Now.tv_nsec / 1000000;
}

bool TryTake(FUTEX_SEMAPHORE &Semaphore) {
  int32_t Count = Semaphore.Count.load();
  while (Count > 0)
    if (Semaphore.Count.compare_exchange_weak(Count, Count - 1))
      return true;
  return false;
}

// One sleep on the futex while the count is 0; false on an unexpected error.
bool SleepWhileEmpty(FUTEX_SEMAPHORE &Semaphore, const timespec *TimeOut) {
  Semaphore.Waiters.fetch_add(1);
  const long Result = Futex(Semaphore.Count, FUTEX_WAIT, 0, TimeOut);
  const int Error = errno;
  Semaphore.Waiters.fetch_sub(1);
  return Result == 0 || Error == EAGAIN || Error == EINTR || Error == ETIMEDOUT;
}

}  // namespace

SEMAPHORE_HANDLE CreateCountingSemaphore(int32_t MaximumCount) {
  if (MaximumCount <= 0)
    return nullptr;
  FUTEX_SEMAPHORE *Semaphore = TakeSlot();
  if (Semaphore == nullptr)
    return nullptr;
  Semaphore->Count.store(0);
  Semaphore->Waiters.store(0);
  Semaphore->MaximumCount = MaximumCount;
  Semaphore->NextFree = nullptr;
  return Semaphore;
}

bool ReleaseCountingSemaphore(SEMAPHORE_HANDLE Handle, int32_t Count) {
  auto *Semaphore = static_cast<FUTEX_SEMAPHORE *>(Handle);
  if (Semaphore == nullptr || Semaphore->MaximumCount <= 0 || Count <= 0)
    return false;
  int32_t Current = Semaphore->Count.load();
  do {
    if (Current > Semaphore->MaximumCount - Count)
      return false;
  } while (!Semaphore->Count.compare_exchange_weak(Current, Current + Count));
  // The count was raised before Waiters is read, and a waiter registers before
  // the kernel checks the count: one of the two always sees the other.
  if (Semaphore->Waiters.load() > 0)
    Futex(Semaphore->Count, FUTEX_WAKE, Count, nullptr);
  return true;
}

WAIT_RESULT WaitCountingSemaphore(SEMAPHORE_HANDLE Handle, uint32_t TimeOut) {
  auto *Semaphore = static_cast<FUTEX_SEMAPHORE *>(Handle);
  if (Semaphore == nullptr || Semaphore->MaximumCount <= 0)
    return WAIT_RESULT::Failed;
  const bool Infinite = TimeOut == InfiniteTimeOut;
  const int64_t Deadline = Infinite ? 0 : MonotonicMilliseconds() + TimeOut;
  for (;;) {
    if (TryTake(*Semaphore))
      return WAIT_RESULT::Signalled;
    timespec Remaining{};
    if (!Infinite) {
      const int64_t Left = Deadline - MonotonicMilliseconds();
      if (Left <= 0)
        return WAIT_RESULT::TimedOut;
      Remaining.tv_sec = static_cast<time_t>(Left / 1000);
      Remaining.tv_nsec = static_cast<long>(Left % 1000) * 1000000;
    }
    if (!SleepWhileEmpty(*Semaphore, Infinite ? nullptr : &Remaining))
      return WAIT_RESULT::Failed;
  }
}

bool CloseCountingSemaphore(SEMAPHORE_HANDLE Handle) {
  auto *Semaphore = static_cast<FUTEX_SEMAPHORE *>(Handle);
  if (Semaphore == nullptr || Semaphore->MaximumCount <= 0)
    return false;
  Semaphore->MaximumCount = 0;  // a second close of the same handle fails
  ReturnSlot(Semaphore);
  return true;
}

void SleepMilliseconds(uint32_t Milliseconds) {
  timespec Request{static_cast<time_t>(Milliseconds / 1000), static_cast<long>(Milliseconds % 1000) * 1000000};
  timespec Remaining{};
  while (nanosleep(&Request, &Remaining) != 0 && errno == EINTR)
    Request = Remaining;
}

namespace {

// The system call is not cheap and a thread's identifier never changes, except
// across fork: the child's one thread starts with its parent's cached value,
// which another thread of the child may later be given, so it is forgotten.
constinit thread_local int32_t CachedThreadId = 0;
constinit thread_local int32_t ParentThreadId = -1;
// Written only in a child before it has a second thread.
constinit uint32_t Forks = 0;

void ForgetThreadIdInChild() {
  ParentThreadId = CachedThreadId != 0 ? CachedThreadId : -1;
  CachedThreadId = 0;
  ++Forks;
}

}  // namespace

int32_t CurrentThreadId() {
  if (CachedThreadId != 0)
    return CachedThreadId;
  // Without the fork handler the value cannot be trusted to stay right: ask every time.
  static const bool ForgottenInChild = pthread_atfork(nullptr, nullptr, ForgetThreadIdInChild) == 0;
  const int32_t ThreadId = static_cast<int32_t>(syscall(SYS_gettid));
  if (ForgottenInChild)
    CachedThreadId = ThreadId;
  return ThreadId;
}

int32_t ThreadIdBeforeFork() { return ParentThreadId; }

uint32_t ForkDepth() { return Forks; }

bool CreateThreadExitSlot(THREAD_EXIT_HOOK Hook, THREAD_EXIT_SLOT &Slot) {
  // The keys live in the thread library's static table; a value of one of the
  // first 32 keys is stored in the thread's own block without allocating, and
  // an allocator creates its key long before a program has made that many.
  pthread_key_t Key;
  if (pthread_key_create(&Key, Hook) != 0)
    return false;
  Slot = static_cast<THREAD_EXIT_SLOT>(Key);
  return true;
}

bool SetThreadExitValue(THREAD_EXIT_SLOT Slot, void *Value) {
  return pthread_setspecific(static_cast<pthread_key_t>(Slot), Value) == 0;
}

namespace {

// The platform's locks are taken last before a fork (prepare handlers run in
// the reverse order of registration) and set free first after it.
void HoldPlatformLocks() {
  HoldSemaphorePool();
  HoldAreaRecords();
}

void FreePlatformLocks() {
  FreeAreaRecords();
  FreeSemaphorePool();
}

}  // namespace

bool RegisterForkHandlers(FORK_HANDLER Prepare, FORK_HANDLER Parent, FORK_HANDLER Child) {
  // The thread identifier's own handler must come first too, so that a
  // caller's Child handler already sees the child's identifier.
  CurrentThreadId();
  static const bool PlatformRegistered =
      pthread_atfork(HoldPlatformLocks, FreePlatformLocks, FreePlatformLocks) == 0;
  return PlatformRegistered && pthread_atfork(Prepare, Parent, Child) == 0;
}

}  // namespace platform
