#include "platform/walk_threads.h"

#include <limits.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

namespace platform {

namespace {

void *RunBody(void *Start) {
  const WALK_THREAD &Thread = *static_cast<WALK_THREAD *>(Start);
  Thread.Body(Thread.Context);
  return nullptr;
}

}  // namespace

bool StartWalkThread(WALK_THREAD &Thread, size_t StackBytes, void (*Body)(void *), void *Context) {
  Thread.Body = Body;
  Thread.Context = Context;
  const long PageSize = sysconf(_SC_PAGESIZE);
  const size_t Page = PageSize > 0 ? static_cast<size_t>(PageSize) : 4096;
  const size_t Minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
  const size_t Rounded = ((StackBytes < Minimum ? Minimum : StackBytes) + Page - 1) / Page * Page;
  pthread_attr_t Attributes;
  if (pthread_attr_init(&Attributes) != 0)
    return false;
  pthread_t Started;
  const bool Done = pthread_attr_setstacksize(&Attributes, Rounded) == 0 &&
                    pthread_create(&Started, &Attributes, RunBody, &Thread) == 0;
  pthread_attr_destroy(&Attributes);
  if (Done)
    Thread.Handle = static_cast<uintptr_t>(Started);
  return Done;
}

void JoinWalkThread(WALK_THREAD &Thread) {
  pthread_join(static_cast<pthread_t>(Thread.Handle), nullptr);
  Thread.Handle = 0;
}

uint64_t ProcessorTimeUsed() {
  timespec Used;
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &Used) != 0)
    return 0;
  return static_cast<uint64_t>(Used.tv_sec) * 1000000000u + static_cast<uint64_t>(Used.tv_nsec);
}

}  // namespace platform
