// A heap claimed around a fork: the child's one thread, the one that forked,
// gives the claim it inherited back, then allocates and releases.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/heap/frontend/frontend_test_support.h"

TEST(FrontEndFork, TheChildOfTheClaimingThreadGivesTheClaimBackAndAllocates) {
  TEST_BACK_END BackEnd;
  TEST_HEAP Heap(&BackEnd);
  void *Before = Heap.New(100);
  Heap.ClaimAllLocks();
  const pid_t Child = fork();
  if (Child == 0) {
    Heap.ReleaseAllLocks();
    void *Element = Heap.New(100);
    _exit(Element != nullptr && Heap.Delete(Element) && Heap.Delete(Before) && Heap.Failures.empty() ? 0 : 1);
  }
  Heap.ReleaseAllLocks();
  int Status = -1;
  EXPECT_TRUE(Child > 0 && waitpid(Child, &Status, 0) == Child && WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
  EXPECT_TRUE(Heap.Delete(Before) && Heap.Failures.empty());
}
