#include "heap/support/bit_utilities.h"
#include "heap/support/system_facts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>
#include <vector>

TEST(BitUtilities, PowerOfTwoShiftAtItsEdges) {
  int32_t Shift = 99;
  EXPECT_FALSE(PowerOfTwoShift(0, Shift));
  EXPECT_FALSE(PowerOfTwoShift(-4, Shift));
  EXPECT_FALSE(PowerOfTwoShift(INT_MIN, Shift));
  EXPECT_FALSE(PowerOfTwoShift(12, Shift));
  EXPECT_EQ(Shift, 99);
  EXPECT_TRUE(PowerOfTwoShift(1, Shift));
  EXPECT_EQ(Shift, 0);
  EXPECT_TRUE(PowerOfTwoShift(65536, Shift));
  EXPECT_EQ(Shift, 16);
  EXPECT_TRUE(PowerOfTwoShift(1 << 30, Shift));
  EXPECT_EQ(Shift, 30);
}

TEST(BitUtilities, IsPowerOfTwoIncludesZeroAndTheMostNegativeValue) {
  EXPECT_TRUE(IsPowerOfTwo(0));
  EXPECT_TRUE(IsPowerOfTwo(INT_MIN));
  EXPECT_TRUE(IsPowerOfTwo(1));
  EXPECT_TRUE(IsPowerOfTwo(4096));
  EXPECT_FALSE(IsPowerOfTwo(12));
  EXPECT_FALSE(IsPowerOfTwo(-1));
}

TEST(SystemFacts, AttachReadsPlausibleFacts) {
  SYSTEM_FACTS::AttachSystemFacts();
  EXPECT_GE(SYSTEM_FACTS::ProcessorCount, 1);
  EXPECT_TRUE(IsPowerOfTwo(SYSTEM_FACTS::SystemPageSize));
  EXPECT_GE(SYSTEM_FACTS::SystemPageSize, 4096);
  SYSTEM_FACTS::DetachSystemFacts();
}

TEST(SystemFacts, TwoAttachmentsAndOneDetachmentKeepTheFactsReadOnce) {
  const int32_t References = SYSTEM_FACTS::References.load();
  const int32_t Reads = SYSTEM_FACTS::PlatformReads.load();
  SYSTEM_FACTS::AttachSystemFacts();
  SYSTEM_FACTS::AttachSystemFacts();
  SYSTEM_FACTS::DetachSystemFacts();
  // Only the first attachment since the count last fell to 0 asks the platform.
  EXPECT_EQ(SYSTEM_FACTS::PlatformReads.load(), Reads + (References == 0 ? 1 : 0));
  EXPECT_EQ(SYSTEM_FACTS::References.load(), References + 1);
  EXPECT_GE(SYSTEM_FACTS::ProcessorCount, 1);
  SYSTEM_FACTS::DetachSystemFacts();
  EXPECT_EQ(SYSTEM_FACTS::References.load(), References);
  EXPECT_GE(SYSTEM_FACTS::ProcessorCount, 1);  // the facts stay readable
}

TEST(SystemFacts, AttachingAgainAfterTheCountFellToZeroReadsTheFactsAgain) {
  // Let go of every attachment this process holds, then restore them.
  const int32_t Held = SYSTEM_FACTS::References.load();
  for (int32_t Count = 0; Count < Held; ++Count)
    SYSTEM_FACTS::DetachSystemFacts();
  const int32_t Reads = SYSTEM_FACTS::PlatformReads.load();
  SYSTEM_FACTS::AttachSystemFacts();
  SYSTEM_FACTS::AttachSystemFacts();
  EXPECT_EQ(SYSTEM_FACTS::PlatformReads.load(), Reads + 1);
  SYSTEM_FACTS::DetachSystemFacts();
  SYSTEM_FACTS::DetachSystemFacts();
  for (int32_t Count = 0; Count < Held; ++Count)
    SYSTEM_FACTS::AttachSystemFacts();
  EXPECT_EQ(SYSTEM_FACTS::References.load(), Held);
}

TEST(SystemFacts, ConcurrentFirstAttachmentsAllSeeTheFactsReadOnce) {
  const int32_t Held = SYSTEM_FACTS::References.load();
  for (int32_t Count = 0; Count < Held; ++Count)
    SYSTEM_FACTS::DetachSystemFacts();
  const int16_t Processors = SYSTEM_FACTS::ProcessorCount;
  const int32_t PageSize = SYSTEM_FACTS::SystemPageSize;
  SYSTEM_FACTS::ProcessorCount = 0;  // as in a process that never read them
  SYSTEM_FACTS::SystemPageSize = 0;
  const int32_t Reads = SYSTEM_FACTS::PlatformReads.load();
  constexpr int Threads = 8;
  std::atomic<int> Ready{0};
  std::atomic<int> SawNoFacts{0};
  std::vector<std::thread> Attachers;
  for (int Index = 0; Index < Threads; ++Index)
    Attachers.emplace_back([&] {
      Ready.fetch_add(1);
      while (Ready.load() < Threads) {
      }
      SYSTEM_FACTS::AttachSystemFacts();
      if (SYSTEM_FACTS::ProcessorCount == 0 || SYSTEM_FACTS::SystemPageSize == 0)
        SawNoFacts.fetch_add(1);
    });
  for (std::thread &Attacher : Attachers)
    Attacher.join();
  EXPECT_EQ(SawNoFacts.load(), 0);
  EXPECT_EQ(SYSTEM_FACTS::PlatformReads.load(), Reads + 1);
  EXPECT_EQ(SYSTEM_FACTS::ProcessorCount, Processors);
  EXPECT_EQ(SYSTEM_FACTS::SystemPageSize, PageSize);
  for (int Index = 0; Index < Threads; ++Index)
    SYSTEM_FACTS::DetachSystemFacts();
  for (int32_t Count = 0; Count < Held; ++Count)
    SYSTEM_FACTS::AttachSystemFacts();
}
