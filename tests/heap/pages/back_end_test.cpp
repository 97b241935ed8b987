#include "heap/pages/duzovev_back_end.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "heap/support/bit_utilities.h"
#include "tests/heap/pages/test_support.h"

namespace {

testing::Environment *const TraceFile = testing::AddGlobalTestEnvironment(new TRACE_FILE_ENVIRONMENT("_pages_tests"));

constexpr const char DeleteFailsMessage[] = "Delete fails in DeleteArea";

bool IsAligned(const void *Area, int32_t AlignMask) {
  return (reinterpret_cast<uintptr_t>(Area) & static_cast<uint32_t>(AlignMask)) == 0;
}

// Touches the first and last byte so that an area shorter than asked faults.
void TouchEnds(void *Area, int32_t Size) {
  auto *Bytes = static_cast<volatile unsigned char *>(Area);
  Bytes[0] = 0x5A;
  EXPECT_EQ(Bytes[0], 0x5A);
  Bytes[Size - 1] = 0xA5;
  EXPECT_EQ(Bytes[Size - 1], 0xA5);
}

TEST(BackEnd, AreaGranuleIsAPowerOfTwoAtLeastThePageAndIsKept) {
  DUZOVEV_BACK_END BackEnd;
  const int32_t Granule = BackEnd.AreaGranule();
  EXPECT_GT(Granule, 0);
  EXPECT_TRUE(IsPowerOfTwo(Granule));
  EXPECT_EQ(Granule, 65536) << "both builds carve address space in 64 KB units";
  EXPECT_EQ(DUZOVEV_BACK_END::CachedAreaGranule(), Granule);
  DUZOVEV_BACK_END Other;
  EXPECT_EQ(Other.AreaGranule(), Granule);
}

TEST(BackEnd, AreasAreAlignedForMasksBelowAtAndAboveTheGranule) {
  DUZOVEV_BACK_END BackEnd;
  const int32_t Granule = BackEnd.AreaGranule();
  const int32_t Masks[] = {0, 4095, Granule / 2 - 1, Granule - 1, 2 * Granule - 1, 4 * Granule - 1, 16 * Granule - 1};
  const int32_t Sizes[] = {1, 4096, 5000, Granule, 3 * Granule + 17};
  for (int32_t Mask : Masks) {
    for (int32_t Size : Sizes) {
      void *Area = BackEnd.NewArea(Mask, Size, true);
      ASSERT_NE(Area, nullptr) << "mask " << Mask << " size " << Size;
      EXPECT_TRUE(IsAligned(Area, Mask)) << "mask " << Mask;
      // Every area starts on the granule, whatever the mask.
      EXPECT_TRUE(IsAligned(Area, Granule - 1));
      TouchEnds(Area, Size);
      BackEnd.DeleteArea(Area, Size, true);
    }
  }
}

TEST(BackEnd, BadRequestsAreRefusedWithNull) {
  DUZOVEV_BACK_END BackEnd;
  EXPECT_EQ(BackEnd.NewArea(4095, 0, false), nullptr);
  EXPECT_EQ(BackEnd.NewArea(4095, -4096, false), nullptr);
  EXPECT_EQ(BackEnd.NewArea(-1, 4096, false), nullptr);
  EXPECT_EQ(BackEnd.NewArea(4094, 4096, false), nullptr) << "a mask must be a power of two minus one";
  EXPECT_EQ(BackEnd.NewArea(0x30000, 4096, false), nullptr);
}

TEST(BackEnd, DeleteAreaOfAForeignAddressFails) {
  DUZOVEV_BACK_END BackEnd;
  const int32_t Granule = BackEnd.AreaGranule();
  char *Area = static_cast<char *>(BackEnd.NewArea(Granule - 1, 2 * Granule, false));
  ASSERT_NE(Area, nullptr);
  // An address inside an area is not the start of one, not even on a granule
  // boundary, where the system's own calls would punch a hole in the area.
  EXPECT_TRUE(RaisesFailure([&] { BackEnd.DeleteArea(Area + 4096, Granule, false); }, DeleteFailsMessage));
  EXPECT_TRUE(RaisesFailure([&] { BackEnd.DeleteArea(Area + Granule, Granule, false); }, DeleteFailsMessage));
  int OnTheStack = 0;
  EXPECT_TRUE(RaisesFailure([&] { BackEnd.DeleteArea(&OnTheStack, 4096, false); }, DeleteFailsMessage));
  EXPECT_TRUE(RaisesFailure([&] { BackEnd.DeleteArea(nullptr, 4096, false); }, DeleteFailsMessage));
  // The refused releases left the area intact and in place.
  TouchEnds(Area, 2 * Granule);
  BackEnd.DeleteArea(Area, 2 * Granule, false);
  // (A start already given back is not tried: the system may have handed the
  // range to someone else in the meantime, and then the release would succeed.)
}

// The release gives back the whole area whatever size the caller names.
TEST(BackEnd, DeleteAreaGivesBackTheWholeArea) {
  DUZOVEV_BACK_END BackEnd;
  const int32_t Granule = BackEnd.AreaGranule();
  for (const int32_t Named : {Granule, 2 * Granule, 8 * Granule}) {
    char *Area = static_cast<char *>(BackEnd.NewArea(Granule - 1, 4 * Granule, false));
    ASSERT_NE(Area, nullptr);
    TouchEnds(Area, 4 * Granule);
    BackEnd.DeleteArea(Area, Named, false);
    EXPECT_FALSE(AreaStillMapped(Area + Granule, 3 * Granule)) << "named " << Named << " bytes";
  }
}

TEST(BackEnd, ConcurrentStrictAlignmentsNeverOverlap) {
  DUZOVEV_BACK_END BackEnd;
  const int32_t Granule = BackEnd.AreaGranule();
  const int32_t Mask = 4 * Granule - 1;
  constexpr int Threads = 4;
  constexpr int PerThread = 40;
  std::vector<std::vector<char *>> Areas(Threads);
  std::atomic<int> Misaligned{0};
  std::vector<std::thread> Workers;
  for (int Thread = 0; Thread < Threads; ++Thread) {
    Workers.emplace_back([&, Thread] {
      for (int Index = 0; Index < PerThread; ++Index) {
        char *Area = static_cast<char *>(BackEnd.NewArea(Mask, Granule, true));
        if (Area == nullptr || !IsAligned(Area, Mask)) {
          ++Misaligned;
          continue;
        }
        std::memset(Area, Thread + 1, static_cast<size_t>(Granule));
        Areas[Thread].push_back(Area);
      }
    });
  }
  for (std::thread &Worker : Workers)
    Worker.join();
  EXPECT_EQ(Misaligned.load(), 0);
  // Each area still holds its own thread's bytes: no two overlapped.
  for (int Thread = 0; Thread < Threads; ++Thread) {
    for (char *Area : Areas[Thread]) {
      EXPECT_EQ(Area[0], Thread + 1);
      EXPECT_EQ(Area[Granule - 1], Thread + 1);
      BackEnd.DeleteArea(Area, Granule, true);
    }
  }
}

TEST(BackEnd, DerivedBackEndAnswersThroughTheVirtualSlots) {
  TEST_BACK_END BackEnd;
  DUZOVEV_BACK_END &Base = BackEnd;
  BackEnd.GranuleOverride = 8192;
  EXPECT_EQ(Base.AreaGranule(), 8192);
  BackEnd.GrantsLeft = 1;
  void *Area = Base.NewArea(4095, 4096, false);
  ASSERT_NE(Area, nullptr);
  EXPECT_EQ(Base.NewArea(4095, 4096, false), nullptr);
  EXPECT_EQ(BackEnd.OutstandingAreas(), 1);
  Base.DeleteArea(Area, 4096, false);
  EXPECT_EQ(BackEnd.OutstandingAreas(), 0);
}

}  // namespace
