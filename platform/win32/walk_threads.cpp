#include "platform/walk_threads.h"

#include <windows.h>
#include <process.h>

namespace platform {

namespace {

unsigned __stdcall RunBody(void *Start) {
  const WALK_THREAD &Thread = *static_cast<WALK_THREAD *>(Start);
  Thread.Body(Thread.Context);
  return 0;
}

}  // namespace

bool StartWalkThread(WALK_THREAD &Thread, size_t StackBytes, void (*Body)(void *), void *Context) {
  Thread.Body = Body;
  Thread.Context = Context;
  // The runtime's own thread start, so that its per-thread state (wprintf's
  // among it) is set up and released with the thread.
  const uintptr_t Started =
      _beginthreadex(nullptr, static_cast<unsigned>(StackBytes), RunBody, &Thread, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (Started == 0)
    return false;
  Thread.Handle = Started;
  return true;
}

void JoinWalkThread(WALK_THREAD &Thread) {
  const HANDLE Handle = reinterpret_cast<HANDLE>(Thread.Handle);
  WaitForSingleObject(Handle, INFINITE);
  CloseHandle(Handle);
  Thread.Handle = 0;
}

uint64_t ProcessorTimeUsed() {
  FILETIME Created, Exited, Kernel, User;
  if (!GetProcessTimes(GetCurrentProcess(), &Created, &Exited, &Kernel, &User))
    return 0;
  const auto Ticks = [](const FILETIME &Time) {
    return (static_cast<uint64_t>(Time.dwHighDateTime) << 32) | Time.dwLowDateTime;
  };
  return (Ticks(Kernel) + Ticks(User)) * 100;  // in units of 100 ns
}

}  // namespace platform
