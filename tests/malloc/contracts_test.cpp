// The C contracts of the malloc family, table by table, through the prefixed
// interface: alignment, usable size, errno, calloc's zeroing and overflow,
// realloc's moves and in-place changes, the size classes against the heap.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

#include "heap/frontend/fast_heap.h"
#include "malloc/allocator.h"
#include "malloc/dropin_heap.h"
#include "malloc/krax_malloc.h"
#include "malloc/large_reserve.h"
#include "malloc/large_spans.h"
#include "malloc/size_classes.h"
#include "tests/malloc/malloc_test_support.h"

// True while any page of the range is mapped in this process.
bool AreaStillMapped(const void *Start, size_t Length);
size_t ResidentBytes();

namespace {

const size_t Sizes[] = {0,    1,     15,    16,    17,    100,    112,    113,    960,     961,     1000,
                        1024, 1025,  4095,  4096,  21504, 32767,  32768,  32769,  65536,   100000,  1 << 20};

TEST(Contracts, EveryRequestIsAlignedLiveAndLargeEnough) {
  for (size_t Bytes : Sizes) {
    SCOPED_TRACE(Bytes);
    void *Block = krax_malloc(Bytes);
    ASSERT_NE(Block, nullptr);
    EXPECT_TRUE(IsAligned(Block, 16));
    EXPECT_GE(krax_usable_size(Block), Bytes);
    EXPECT_EQ(krax_check(Block), 1);
    FillPattern(Block, krax_usable_size(Block), 7);
    EXPECT_TRUE(HoldsPattern(Block, krax_usable_size(Block), 7));
    krax_free(Block);
    EXPECT_EQ(krax_check(Block), 0);
  }
}

// Each class is an allocation size of the drop-in's heap; above 128 bytes no
// request wastes more than a quarter of its class, and no page more than a
// sixteenth of itself to its tail.
TEST(Contracts, SizeClassesAreTheHeapsOwn) {
  dropin::DROPIN_HEAP Heap;
  for (int32_t Class = 0; Class < dropin::ClassCount; ++Class) {
    const int32_t Bytes = dropin::ClassBytes[Class];
    SCOPED_TRACE(Bytes);
    if (Bytes > 128) {
      EXPECT_LE(4 * (Bytes - dropin::ClassBytes[Class - 1] - 1), Bytes);
    }
    const int32_t Page = dropin::DROPIN_HEAP::PageBytesOf(Class);
    EXPECT_LE(16 * (Page % Bytes), Page);
    int32_t Actual = 0;
    void *Element = Heap.New(Bytes, &Actual);
    ASSERT_NE(Element, nullptr);
    EXPECT_EQ(Actual, Bytes);
    EXPECT_TRUE(Heap.Delete(Element));
    EXPECT_EQ(dropin::ClassOf(static_cast<size_t>(Bytes)), Class);
    EXPECT_EQ(dropin::ClassOf(static_cast<size_t>(Bytes) - 1), Class);
    if (Class + 1 < dropin::ClassCount) {
      EXPECT_EQ(dropin::ClassOf(static_cast<size_t>(Bytes) + 1), Class + 1);
    }
    void *Block = krax_malloc(static_cast<size_t>(Bytes));
    EXPECT_EQ(krax_usable_size(Block), static_cast<size_t>(Bytes));
    krax_free(Block);
  }
}

TEST(Contracts, PowerOfTwoAlignmentsUpToTwoMebibytes) {
  const size_t Requests[] = {1, 100, 5000, 40000, 300000};
  for (size_t Alignment = 1; Alignment <= (size_t{1} << 21); Alignment <<= 1)
    for (size_t Bytes : Requests) {
      SCOPED_TRACE(testing::Message() << Alignment << " " << Bytes);
      void *Block = krax_memalign(Alignment, Bytes);
      ASSERT_NE(Block, nullptr);
      EXPECT_TRUE(IsAligned(Block, Alignment < 16 ? 16 : Alignment));
      EXPECT_GE(krax_usable_size(Block), Bytes);
      FillPattern(Block, Bytes, 3);
      EXPECT_EQ(krax_check(Block), 1);
      krax_free(Block);
      EXPECT_EQ(krax_check(Block), 0);
    }
}

TEST(Contracts, AlignmentsThatAreNoPowerOfTwoAreRoundedUp) {
  void *Block = krax_memalign(48, 10);
  ASSERT_NE(Block, nullptr);
  EXPECT_TRUE(IsAligned(Block, 64));
  krax_free(Block);
}

TEST(Contracts, NoMemoryIsNullWithEnomem) {
  const size_t Requests[] = {SIZE_MAX, SIZE_MAX - 4095, SIZE_MAX / 2, size_t{1} << 41, size_t{1} << 40};
  for (size_t Bytes : Requests) {
    errno = 0;
    EXPECT_EQ(krax_malloc(Bytes), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    errno = 0;
    EXPECT_EQ(krax_memalign(1 << 20, Bytes), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    void *Small = krax_malloc(10);
    errno = 0;
    EXPECT_EQ(krax_realloc(Small, Bytes), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(krax_check(Small), 1) << "a failed realloc leaves the block alone";
    krax_free(Small);
  }
}

TEST(Contracts, CallocRefusesOverflowAndZeroes) {
  struct CASE {
    size_t Count, Size;
  };
  const CASE Overflowing[] = {{SIZE_MAX, 2}, {SIZE_MAX / 2 + 1, 2}, {size_t{1} << 33, size_t{1} << 31}};
  for (const CASE &Case : Overflowing) {
    errno = 0;
    EXPECT_EQ(krax_calloc(Case.Count, Case.Size), nullptr);
    EXPECT_EQ(errno, ENOMEM);
  }
  for (size_t Bytes : Sizes) {
    SCOPED_TRACE(Bytes);
    // Dirty memory of the same size first, so that calloc may get it back.
    for (int Round = 0; Round < 3; ++Round) {
      void *Dirty = krax_malloc(Bytes);
      memset(Dirty, 0xAB, Bytes);
      krax_free(Dirty);
      auto *Zeroed = static_cast<unsigned char *>(krax_calloc(1, Bytes));
      ASSERT_NE(Zeroed, nullptr);
      for (size_t Index = 0; Index < Bytes; ++Index)
        ASSERT_EQ(Zeroed[Index], 0) << Index;
      krax_free(Zeroed);
    }
  }
  void *Nothing = krax_calloc(0, 5);
  EXPECT_NE(Nothing, nullptr);
  krax_free(Nothing);
}

TEST(Contracts, ReallocMovesOnlyWhenTheBlockCannotHoldTheRequestWell) {
  enum PLACE { Stays, Moves, Either };  // a span may grow into free pages behind it
  struct CASE {
    size_t From, To;
    PLACE Place;
  };
  const CASE Cases[] = {
      {100, 112, Stays},        {100, 97, Stays},          {100, 113, Moves},        {16, 1, Stays},
      {1000, 513, Stays},       {1000, 512, Moves},        {20000, 5121, Stays},     {20000, 5120, Moves},
      {1700, 800, Moves},       {2048, 513, Stays},
      {1000, 1024, Stays},      {1000, 1025, Moves},       {32768, 30000, Stays},    {32768, 32769, Moves},
      {40000, 40960, Stays},    {40000, 45000, Either},    {300000, 200000, Stays},  {300000, 40000, Stays},
      {300000, 16385, Stays},   {300000, 16384, Moves},    {500000, 900000, Either}, {30000, 40000, Moves},
      {300000, 301000, Stays},  {300000, 400000, Either},  {100000, 100, Moves},     {100, 100000, Moves},
      {3000000, 2000000, Stays}, {3000000, 1000000, Moves}, {3000000, 3100000, Moves},
  };
  for (const CASE &Case : Cases) {
    SCOPED_TRACE(testing::Message() << Case.From << " -> " << Case.To);
    void *Block = krax_malloc(Case.From);
    ASSERT_NE(Block, nullptr);
    FillPattern(Block, Case.From, 9);
    void *Resized = krax_realloc(Block, Case.To);
    ASSERT_NE(Resized, nullptr);
    if (Case.Place != Either) {
      EXPECT_EQ(Resized == Block, Case.Place == Stays);
    }
    EXPECT_TRUE(HoldsPattern(Resized, Case.From < Case.To ? Case.From : Case.To, 9));
    EXPECT_GE(krax_usable_size(Resized), Case.To);
    if (Resized != Block) {
      EXPECT_EQ(krax_check(Block), 0) << "the old block is freed";
    }
    if (Resized != Block && Case.To > Case.From && Case.To > 32768 && Case.To <= (1 << 20)) {
      EXPECT_GE(krax_usable_size(Resized), std::min<size_t>(Case.To + Case.To / 2, 1 << 20)) << "room to grow again";
    }
    krax_free(Resized);
  }
}

// From 64 MiB on, a block's size in pages needs every data byte beside its
// mark: its usable size, a move that must copy its last page, a resize
// within it and its release all read that size.
TEST(Contracts, BlocksOfSixtyFourMebibytesAndMore) {
  const size_t Page = dropin::ADDRESS_MAP::PageBytes;
  for (size_t Bytes : {size_t{64} << 20, (size_t{64} << 20) + 1, (size_t{96} << 20) - 100}) {
    SCOPED_TRACE(Bytes);
    auto *Block = static_cast<char *>(krax_malloc(Bytes));
    ASSERT_NE(Block, nullptr);
    EXPECT_GE(krax_usable_size(Block), Bytes);
    EXPECT_LT(krax_usable_size(Block), Bytes + dropin::LargeAlignment);
    FillPattern(Block, 64, 1);
    FillPattern(Block + Bytes - Page, Page, 2);
    auto *Grown = static_cast<char *>(krax_realloc(Block, Bytes + (size_t{4} << 20)));
    ASSERT_NE(Grown, nullptr);
    EXPECT_TRUE(HoldsPattern(Grown, 64, 1));
    EXPECT_TRUE(HoldsPattern(Grown + Bytes - Page, Page, 2)) << "the last page moved along";
    EXPECT_GE(krax_usable_size(Grown), Bytes + (size_t{4} << 20));
    EXPECT_EQ(krax_realloc(Grown, Bytes), Grown) << "a block that still fits well stays";
    EXPECT_GE(krax_usable_size(Grown), Bytes);
    EXPECT_EQ(krax_check(Grown), 1);
    const uint64_t Refused = krax_refused();
    krax_free(Grown);
    EXPECT_EQ(krax_check(Grown), 0);
    EXPECT_EQ(krax_refused(), Refused);
  }
}

// Freed large blocks wait in a reserve that only grows while it holds at
// most a quarter of the large memory still in use, or MinTotalPages.
TEST(Contracts, TheLargeReserveStaysWithinItsBound) {
  using dropin::LARGE_RESERVE;
  const uint64_t Pages = dropin::LARGE_SPANS::MaxSpanPages + 1;  // beyond the spans
  ASSERT_LE(Pages, LARGE_RESERVE::MaxBlockPages);
  const size_t Bytes = Pages * dropin::ADDRESS_MAP::PageBytes;
  const int64_t Count = static_cast<int64_t>(8 * LARGE_RESERVE::MinTotalPages / Pages);
  ASSERT_EQ(krax_trim(0), 1);
  std::vector<void *> Blocks;
  for (int64_t Index = 0; Index < Count; ++Index)
    Blocks.push_back(krax_malloc(Bytes));
  ASSERT_EQ(HeldInFront(static_cast<int32_t>(Bytes)), 0);
  int64_t Kept = 0;
  for (int64_t Index = 0; Index < Count; ++Index) {
    krax_free(Blocks[static_cast<size_t>(Index)]);
    const int64_t Now = HeldInFront(static_cast<int32_t>(Bytes));
    const uint64_t Live = static_cast<uint64_t>(Count - 1 - Index) * Pages;
    if (Now > Kept) {
      EXPECT_LE(static_cast<uint64_t>(Now) * Pages, std::max(Live / 4, LARGE_RESERVE::MinTotalPages)) << Index;
    }
    Kept = Now;
  }
  EXPECT_GT(Kept, 0);
  void *Again = krax_malloc(Bytes);
  EXPECT_EQ(HeldInFront(static_cast<int32_t>(Bytes)), Kept - 1) << "a kept block is reused";
  krax_free(Again);
  EXPECT_EQ(krax_trim(0), 1);
}

// Beyond the heap's 32-bit sizes: pages of its own, usable at both ends and
// unmapped by free. A large block grown in small steps keeps its contents and
// moves only a logarithmic number of times.
TEST(Contracts, HugeBlocksAreMappedAndGrowWithoutCopyingEachStep) {
  const size_t Huge = size_t{3} << 30;
  auto *Block = static_cast<unsigned char *>(krax_malloc(Huge));
  ASSERT_NE(Block, nullptr);
  EXPECT_GE(krax_usable_size(Block), Huge);
  Block[0] = 1;
  Block[Huge - 1] = 2;
  EXPECT_EQ(Block[0] + Block[Huge - 1], 3);
  krax_free(Block);
  EXPECT_FALSE(AreaStillMapped(Block, Huge));
  void *Grown = krax_malloc(1 << 21);
  FillPattern(Grown, 1 << 21, 5);
  int Moves = 0;
  for (size_t Bytes = (1 << 21) + 65536; Bytes <= (size_t{1} << 26); Bytes += 65536) {
    void *Next = krax_realloc(Grown, Bytes);
    ASSERT_NE(Next, nullptr);
    Moves += Next != Grown ? 1 : 0;
    Grown = Next;
  }
  EXPECT_TRUE(HoldsPattern(Grown, 1 << 21, 5));
  EXPECT_LE(Moves, 20);
  krax_free(Grown);
}

// Freed spans stay resident only up to a bound without a trim: 30 MiB of
// them freed (a span in every chunk kept) leave at most 8 MiB, with a few MiB
// for the kept spans and the test's own pages. Then 128 MiB of small blocks
// freed and a trim leave at most 16 MiB beyond what was before.
TEST(Contracts, FreedMemoryGoesBackWithinItsBoundsAndOnATrim) {
  krax_trim(0);
  const size_t Before = ResidentBytes();
  if (Before == 0)
    GTEST_SKIP() << "resident memory is not known here";
  std::vector<void *> Small(1 << 19), Spans(320);
  for (void *&Block : Spans)
    memset(Block = krax_malloc(100000), 3, 100000);
  EXPECT_GE(ResidentBytes(), Before + (size_t{30} << 20));
  for (size_t Index = 0; Index < Spans.size(); ++Index)
    if (Index % 40 != 0)
      krax_free(Spans[Index]);
  EXPECT_LE(ResidentBytes(), Before + (size_t{14} << 20)) << "without a trim; before: " << Before;
  for (void *&Block : Small)
    memset(Block = krax_malloc(256), 1, 256);
  for (void *Block : Small)
    krax_free(Block);
  EXPECT_EQ(krax_trim(0), 1);
  EXPECT_LE(ResidentBytes(), Before + (size_t{16} << 20)) << "after a trim; before: " << Before;
  for (size_t Index = 0; Index < Spans.size(); Index += 40)
    krax_free(Spans[Index]);
}

TEST(Contracts, ReallocOfNullAllocatesAndOfZeroFrees) {
  void *Block = krax_realloc(nullptr, 50);
  ASSERT_NE(Block, nullptr);
  EXPECT_EQ(krax_check(Block), 1);
  EXPECT_EQ(krax_realloc(Block, 0), nullptr);
  EXPECT_EQ(krax_check(Block), 0);
  const uint64_t Refused = krax_refused();
  krax_free(nullptr);
  EXPECT_EQ(krax_refused(), Refused) << "free(NULL) does nothing";
  EXPECT_EQ(krax_usable_size(nullptr), 0u);
}

TEST(Contracts, CheckWalkAndTrim) {
  std::vector<void *> Blocks;
  for (size_t Bytes : Sizes)
    Blocks.push_back(krax_malloc(Bytes));
  EXPECT_EQ(krax_check(nullptr), 1);
  EXPECT_EQ(krax_check(static_cast<char *>(Blocks[5]) + 16), 0);
  size_t Found = 0;
  void *Address = nullptr;
  size_t Size = 0;
  int InUse = 0;
  while (krax_walk(&Address, &Size, &InUse))
    for (size_t Index = 0; Index < Blocks.size(); ++Index)
      if (Address == Blocks[Index] && InUse) {
        ++Found;
        EXPECT_GE(Size, Sizes[Index]);
      }
  EXPECT_EQ(Found, Blocks.size()) << "the walk meets every live block";
  for (void *Block : Blocks)
    krax_free(Block);
  EXPECT_EQ(krax_trim(0), 1);
  EXPECT_EQ(HeldInFront(), 0) << "a trim of the only thread leaves nothing held in front of the heap";
}

}  // namespace
