#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <gtest/gtest.h>

#include "heap/pages/duzovev_back_end.h"
#include "platform/virtual_memory.h"

namespace {

// A small heap keeps to the pages it touches; once the process holds tens of
// MiB, the areas made for callers arrive resident and zeroed, the heap's own
// bookkeeping areas still do not.
TEST(BackEnd, CallersAreasArriveResidentOnceTheHeapIsLarge) {
  DUZOVEV_BACK_END BackEnd;
  const auto PageBytes = static_cast<int32_t>(sysconf(_SC_PAGESIZE));
  const int32_t Bytes = 64 * PageBytes;
  const auto Resident = [&](void *Area) {
    unsigned char Pages[64] = {};
    EXPECT_EQ(mincore(Area, static_cast<size_t>(Bytes), Pages), 0);
    return std::count_if(Pages, Pages + 64, [](unsigned char Page) { return (Page & 1) != 0; });
  };
  void *Small = BackEnd.NewArea(Bytes - 1, Bytes, true);
  void *Held = BackEnd.NewArea(65535, 64 << 20, false);  // never touched
  void *Caller = BackEnd.NewArea(Bytes - 1, Bytes, true);
  void *Own = BackEnd.NewArea(Bytes - 1, Bytes, false);
  ASSERT_TRUE(Small != nullptr && Held != nullptr && Caller != nullptr && Own != nullptr);
  EXPECT_EQ(Resident(Small) + Resident(Own), 0);
  EXPECT_EQ(Resident(Caller), 64);
  EXPECT_EQ(static_cast<char *>(Caller)[Bytes - 1], 0);
  for (void *Area : {Small, Caller, Own})
    BackEnd.DeleteArea(Area, Bytes, true);
  BackEnd.DeleteArea(Held, 64 << 20, false);
}

// The system refusing advice (here on an inaccessible range) or an in-place
// growth (the next page is taken) leaves errno as the caller had it.
TEST(BackEnd, RefusedAdviceAndRemapKeepErrno) {
  const auto PageBytes = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void *Closed = mmap(nullptr, 2 * PageBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(Closed, MAP_FAILED);
  errno = 1234;
  platform::PopulatePages(Closed, 2 * PageBytes);
  EXPECT_FALSE(platform::RemapPages(Closed, PageBytes, 2 * PageBytes, nullptr));
  platform::DiscardPages(Closed, 2 * PageBytes);
  platform::PreferLargePages(Closed, 2 * PageBytes);
  EXPECT_EQ(errno, 1234);
  munmap(Closed, 2 * PageBytes);
}

}  // namespace
