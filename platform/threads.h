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

// The processor's hint that the caller is spinning on a shared value.
inline void PauseHint() { __builtin_ia32_pause(); }

}  // namespace platform
