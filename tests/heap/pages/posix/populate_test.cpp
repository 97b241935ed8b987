#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "heap/pages/duzovev_back_end.h"

namespace {

int32_t ResidentPages(void *Area, int32_t Bytes, int32_t PageBytes) {
  unsigned char Pages[64] = {};
  EXPECT_EQ(mincore(Area, static_cast<size_t>(Bytes), Pages), 0);
  int32_t Count = 0;
  for (int32_t Page = 0; Page < Bytes / PageBytes; ++Page)
    Count += Pages[Page] & 1;
  return Count;
}

// A small heap keeps to the pages it touches; once the process holds tens of
// MiB, the areas made for callers arrive resident and zeroed, the heap's own
// bookkeeping areas still do not.
TEST(BackEnd, CallersAreasArriveResidentOnceTheHeapIsLarge) {
  DUZOVEV_BACK_END BackEnd;
  const int32_t PageBytes = static_cast<int32_t>(sysconf(_SC_PAGESIZE));
  const int32_t Bytes = 64 * PageBytes;
  void *Small = BackEnd.NewArea(Bytes - 1, Bytes, true);
  void *Held = BackEnd.NewArea(65535, 64 << 20, false);  // never touched
  void *Caller = BackEnd.NewArea(Bytes - 1, Bytes, true);
  void *Own = BackEnd.NewArea(Bytes - 1, Bytes, false);
  ASSERT_TRUE(Small != nullptr && Held != nullptr && Caller != nullptr && Own != nullptr);
  EXPECT_EQ(ResidentPages(Small, Bytes, PageBytes), 0);
  EXPECT_EQ(ResidentPages(Caller, Bytes, PageBytes), 64);
  EXPECT_EQ(ResidentPages(Own, Bytes, PageBytes), 0);
  EXPECT_EQ(static_cast<char *>(Caller)[Bytes - 1], 0);
  for (void *Area : {Small, Caller, Own})
    BackEnd.DeleteArea(Area, Bytes, true);
  BackEnd.DeleteArea(Held, 64 << 20, false);
}

}  // namespace
