// The thread identifier that THREAD_SAFE compares against its owner must be the
// calling thread's own, also in a child process made by fork: a stale value
// inherited from the parent could later match another thread of the child.
#include <gtest/gtest.h>

#include <cstdio>

#if __has_include(<sys/wait.h>)
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/threads.h"

TEST(ThreadIdentity, ChildOfForkReportsItsOwnIdentifier) {
  const int32_t ParentId = platform::CurrentThreadId();
  ASSERT_EQ(ParentId, static_cast<int32_t>(syscall(SYS_gettid)));
  std::fflush(nullptr);  // the child must not repeat output buffered here
  const pid_t Child = fork();
  ASSERT_NE(Child, -1);
  if (Child == 0) {
    const bool Own = platform::CurrentThreadId() == static_cast<int32_t>(syscall(SYS_gettid));
    _exit(Own ? 0 : 1);
  }
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  ASSERT_TRUE(WIFEXITED(Status));
  EXPECT_EQ(WEXITSTATUS(Status), 0) << "the child reported its parent's thread identifier";
}
#endif
