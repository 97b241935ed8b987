// Threads that share a tree's deletion. Only the utility starts them; the
// allocator never does. A thread runs Body(Context) on a stack of the size the
// caller asks for, whatever the user's limits would give it, and is joined
// once. A thread that cannot be started is reported, never an exception.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// One thread. Lives at a fixed address from its start until it is joined: the
// thread reads Body and Context through it.
struct WALK_THREAD {
  uintptr_t Handle = 0;
  void (*Body)(void *) = nullptr;
  void *Context = nullptr;
};

// Starts Thread; false when the system refuses (Thread is then unchanged
// apart from Body and Context, and must not be joined).
bool StartWalkThread(WALK_THREAD &Thread, size_t StackBytes, void (*Body)(void *), void *Context);
// Waits until the thread has returned from Body, and lets go of it.
void JoinWalkThread(WALK_THREAD &Thread);

// The processor time the whole process has used so far, every thread's, in
// nanoseconds: set against the time that passed, it tells how much of it the
// walk's threads spent waiting rather than computing.
uint64_t ProcessorTimeUsed();

}  // namespace platform
