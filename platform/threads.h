// Threads, time and the counting semaphore that the allocator's locks sleep on.
// Every call reports failure as a result; none of them allocates through the
// C or C++ heap, so the allocator may one day sit underneath malloc itself.
#pragma once

#include <cstdint>

namespace platform {

// A counting semaphore: null stands for none. The count never exceeds the
// maximum given at creation; a release that would exceed it fails and changes
// nothing.
using SEMAPHORE_HANDLE = void *;

// The time-out value that means "wait for ever".
constexpr uint32_t InfiniteTimeOut = 0xFFFFFFFF;

enum class WAIT_RESULT { Signalled, TimedOut, Failed };

// Initial count 0; null when the semaphore cannot be created (a maximum of 0
// or less cannot).
SEMAPHORE_HANDLE CreateCountingSemaphore(int32_t MaximumCount);
// Raises the count by Count (1 or more) and wakes that many waiters.
bool ReleaseCountingSemaphore(SEMAPHORE_HANDLE Semaphore, int32_t Count);
// Takes one from the count, waiting up to TimeOut milliseconds for it.
WAIT_RESULT WaitCountingSemaphore(SEMAPHORE_HANDLE Semaphore, uint32_t TimeOut);
bool CloseCountingSemaphore(SEMAPHORE_HANDLE Semaphore);

void SleepMilliseconds(uint32_t Milliseconds);

// The operating system's identifier of the calling thread; never -1, which the
// allocator uses for "no thread".
int32_t CurrentThreadId();

// Where the platform has fork: in a child, the identifier that its one thread
// had in the parent when it forked (kept by that thread for good); -1 for
// every other thread, and where there is no fork. ForkDepth counts the forks
// between the first process and this one, so that a record made before a fork
// can be told from one made after it.
int32_t ThreadIdBeforeFork();
uint32_t ForkDepth();

// The processor's hint that the caller is spinning on a shared value.
inline void PauseHint() { __builtin_ia32_pause(); }

// A process-wide slot with one value per thread; when a thread whose value is
// not null ends, the slot's hook is called on that thread with the value.
// Creating the slot and setting a value never allocate through the C heap, so
// an allocator that keeps memory for each thread can give it back at the
// thread's end. A thread that ends the process (exit from the main routine)
// may never call the hook.
using THREAD_EXIT_HOOK = void (*)(void *Value);
using THREAD_EXIT_SLOT = uint32_t;

bool CreateThreadExitSlot(THREAD_EXIT_HOOK Hook, THREAD_EXIT_SLOT &Slot);
bool SetThreadExitValue(THREAD_EXIT_SLOT Slot, void *Value);

// Handlers run around a fork of the process, where the platform has one:
// Prepare in the parent before the fork (in the reverse order of
// registration), Parent and Child after it (in the order of registration).
// The platform's own locks that the allocator reaches are held across the
// fork and set free on both sides after every caller's handlers have been
// prepared and before any caller's Child handler runs. False where the
// platform has no fork (Windows) or the handlers cannot be registered.
using FORK_HANDLER = void (*)();
bool RegisterForkHandlers(FORK_HANDLER Prepare, FORK_HANDLER Parent, FORK_HANDLER Child);

}  // namespace platform
