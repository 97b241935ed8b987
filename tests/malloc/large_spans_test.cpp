// The spans that serve requests from 32 KiB to 1 MiB: split, merged, grown in
// place, walked, and never handed out twice.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "malloc/krax_malloc.h"
#include "malloc/large_spans.h"
#include "tests/heap/pages/test_support.h"
#include "tests/malloc/malloc_test_support.h"

namespace {

using dropin::LARGE_SPANS;
constexpr uint64_t Page = LARGE_SPANS::PageBytes;

char *At(char *Span, uint64_t Pages) { return Span + Pages * Page; }
char *ChunkOf(const void *Address) {
  return reinterpret_cast<char *>(reinterpret_cast<uintptr_t>(Address) & ~(LARGE_SPANS::ChunkBytes - 1));
}

// Every chunk in use is tiled to its end by spans of at least one page, and
// no two free spans touch. Stops at an empty span: the walk would not move.
testing::AssertionResult Tiled() {
  void *Address = nullptr;
  uint64_t Pages = 0;
  bool Free = false, PreviousFree = false;
  char *End = nullptr;
  while (LARGE_SPANS::Walk(Address, Pages, Free)) {
    auto *Span = static_cast<char *>(Address);
    if (Pages == 0)
      return testing::AssertionFailure() << "an empty span at " << Address;
    const bool SameChunk = End != nullptr && ChunkOf(Span) == ChunkOf(End - 1);
    if (End != nullptr && (SameChunk ? Span != End : End != ChunkOf(End - 1) + LARGE_SPANS::ChunkBytes))
      return testing::AssertionFailure() << "a gap or an overlap before " << Address;
    if (SameChunk && Free && PreviousFree)
      return testing::AssertionFailure() << "two free spans meet at " << Address;
    End = At(Span, Pages);
    PreviousFree = Free;
  }
  if (End != nullptr && End != ChunkOf(End - 1) + LARGE_SPANS::ChunkBytes)
    return testing::AssertionFailure() << "the last chunk is not tiled to its end";
  return testing::AssertionSuccess();
}

TEST(LargeSpans, GrowInPlaceOnlyIntoAFreeSpan) {
  krax_free(krax_malloc(40000));  // the process heap and the spans exist
  std::vector<char *> Spans;
  std::set<char *> Live;
  for (int Index = 0; Index < 200; ++Index) {
    Spans.push_back(static_cast<char *>(LARGE_SPANS::Allocate(20)));
    ASSERT_NE(Spans.back(), nullptr);
    EXPECT_TRUE(IsAligned(Spans.back(), Page));
    Live.insert(Spans.back());
  }
  // Three of them side by side: free the middle one, grow the first into it.
  char *First = nullptr;
  for (char *Span : Spans)
    if (Live.count(At(Span, 20)) != 0 && Live.count(At(Span, 40)) != 0) {
      First = Span;
      break;
    }
  ASSERT_NE(First, nullptr) << "carving 200 spans of one size lays some side by side";
  EXPECT_FALSE(LARGE_SPANS::Grow(First, 20, 21)) << "the next span is in use";
  LARGE_SPANS::Release(At(First, 20), 20);
  Live.erase(At(First, 20));
  EXPECT_FALSE(LARGE_SPANS::Grow(First, 20, 41)) << "only 20 free pages follow";
  EXPECT_TRUE(LARGE_SPANS::Grow(First, 20, 35));
  EXPECT_TRUE(LARGE_SPANS::Grow(First, 35, 40));
  EXPECT_TRUE(Tiled()) << "the free span was used up exactly";
  EXPECT_FALSE(LARGE_SPANS::Grow(First, 40, 41));
  LARGE_SPANS::Shrink(First, 40, 5);
  EXPECT_TRUE(Tiled());
  EXPECT_TRUE(LARGE_SPANS::Grow(First, 5, 40)) << "the shrunk tail is free again";
  EXPECT_TRUE(Tiled());
  LARGE_SPANS::Release(First, 40);
  Live.erase(First);
  for (char *Span : Live)
    LARGE_SPANS::Release(Span, 20);
}

// Random allocations and releases of random lengths: no two live spans
// overlap, and the walk sees each live span exactly where it is.
TEST(LargeSpans, RandomSpansNeverOverlap) {
  krax_free(krax_malloc(40000));
  std::mt19937 Random(5);
  std::map<char *, uint64_t> Live;
  for (int Step = 0; Step < 4000; ++Step) {
    if (Live.empty() || Random() % 100 < 55) {
      const uint64_t Pages = 1 + Random() % LARGE_SPANS::MaxSpanPages;
      auto *Span = static_cast<char *>(LARGE_SPANS::Allocate(Pages));
      ASSERT_NE(Span, nullptr);
      auto After = Live.lower_bound(Span);
      if (After != Live.end()) {
        ASSERT_GE(After->first, At(Span, Pages)) << "overlaps the next live span";
      }
      if (After != Live.begin()) {
        --After;
        ASSERT_LE(At(After->first, After->second), Span) << "overlaps the previous live span";
      }
      FillPattern(Span, 64, static_cast<uint8_t>(Pages));
      Live[Span] = Pages;
    } else {
      auto Victim = Live.begin();
      std::advance(Victim, Random() % Live.size());
      ASSERT_TRUE(HoldsPattern(Victim->first, 64, static_cast<uint8_t>(Victim->second)));
      LARGE_SPANS::Release(Victim->first, Victim->second);
      Live.erase(Victim);
    }
  }
  size_t Seen = 0;
  void *Address = nullptr;
  uint64_t Pages = 0;
  bool Free = false;
  while (LARGE_SPANS::Walk(Address, Pages, Free)) {
    auto Found = Live.find(static_cast<char *>(Address));
    if (Found != Live.end()) {
      EXPECT_FALSE(Free);
      EXPECT_EQ(Pages, Found->second);
      ++Seen;
    }
  }
  EXPECT_EQ(Seen, Live.size());
  for (auto &[Span, Length] : Live)
    LARGE_SPANS::Release(Span, Length);
}

// realloc within a span: shrinking by pages frees the tail (merged with a
// free one behind), shrinking within the last page changes nothing, growing
// takes the tail back.
TEST(LargeSpans, ResizesInPlaceLeaveOnlyWholeSpans) {
  const size_t Bytes = 20 * Page;
  void *Block = krax_malloc(Bytes);
  void *Behind = krax_malloc(Bytes);
  for (size_t To : {Bytes - 100, 12 * Page, 12 * Page - 1, 20 * Page, 10 * Page, 9 * Page - 100, 20 * Page}) {
    SCOPED_TRACE(To);
    ASSERT_EQ(krax_realloc(Block, To), Block);
    EXPECT_GE(krax_usable_size(Block), To);
    EXPECT_TRUE(Tiled());
  }
  krax_free(Block);
  krax_free(Behind);
  EXPECT_TRUE(Tiled());
}

// A chunk left empty is kept for the next request, which reuses it where it
// is (what was written there is still there: no new mapping); a second
// empty chunk is given back, and a trim gives back the kept one.
TEST(LargeSpans, OneEmptyChunkIsKeptAndReused) {
  krax_free(krax_malloc(40000));
  krax_trim(0);  // the freed span leaves this thread's reserve too
  void *Address = nullptr;
  uint64_t Pages = 0;
  bool Free = false;
  ASSERT_FALSE(LARGE_SPANS::Walk(Address, Pages, Free)) << "a span was left in use";
  std::map<char *, std::vector<char *>> Chunks;
  while (Chunks.size() < 2) {
    auto *Span = static_cast<char *>(LARGE_SPANS::Allocate(LARGE_SPANS::MaxSpanPages));
    ASSERT_NE(Span, nullptr);
    Chunks[ChunkOf(Span)].push_back(Span);
  }
  const uint64_t Marks[] = {0x4b52415831, 0x4b52415832};
  int Index = 0;
  for (auto &[Chunk, Spans] : Chunks) {
    std::memcpy(Spans[0] + 64, &Marks[Index++], sizeof(uint64_t));
    for (char *Span : Spans)
      LARGE_SPANS::Release(Span, LARGE_SPANS::MaxSpanPages);
    EXPECT_FALSE(LARGE_SPANS::Contains(Chunk));
    if (Index == 1) {
      EXPECT_TRUE(AreaStillMapped(Chunk, LARGE_SPANS::ChunkBytes)) << "the only empty chunk is kept";
    }
  }
  const bool FirstKept = AreaStillMapped(Chunks.begin()->first, LARGE_SPANS::ChunkBytes);
  const bool SecondKept = AreaStillMapped(Chunks.rbegin()->first, LARGE_SPANS::ChunkBytes);
  ASSERT_NE(FirstKept, SecondKept) << "one empty chunk is kept, the other given back";
  auto &[Kept, Spans] = *(FirstKept ? Chunks.begin() : std::next(Chunks.begin()));
  auto *Again = static_cast<char *>(LARGE_SPANS::Allocate(LARGE_SPANS::MaxSpanPages));
  EXPECT_EQ(ChunkOf(Again), Kept);
  EXPECT_EQ(std::memcmp(Spans[0] + 64, &Marks[FirstKept ? 0 : 1], sizeof(uint64_t)), 0) << "no new mapping";
  LARGE_SPANS::Release(Again, LARGE_SPANS::MaxSpanPages);
  LARGE_SPANS::Trim();
  EXPECT_FALSE(AreaStillMapped(Kept, LARGE_SPANS::ChunkBytes));
}

// Pages of the spans not free, reserved ones included.
uint64_t PagesInUse() {
  void *Address = nullptr;
  uint64_t Pages = 0, InUse = 0;
  bool Free = false;
  while (LARGE_SPANS::Walk(Address, Pages, Free))
    InUse += Free ? 0 : Pages;
  return InUse;
}

// A thread keeps some of the spans it frees, within its bound, and its end
// gives them back with every count whole.
TEST(LargeSpans, AThreadsReservedSpansAreBoundedAndGivenBackAtItsEnd) {
  krax_free(krax_malloc(40000));
  krax_trim(0);
  const uint64_t InUse = PagesInUse();
  krax_statistics Before, After;
  krax_stats(&Before);
  int Blocks = 0;
  std::thread([&] {
    krax_free(krax_malloc(16));  // the thread's lists open with its first element
    std::vector<void *> Spans;
    for (size_t Bytes = 33000; Bytes <= 1048576; Bytes += Bytes / 2, ++Blocks)
      Spans.push_back(krax_malloc(Bytes));
    for (void *Span : Spans)
      krax_free(Span);
    EXPECT_GT(PagesInUse(), InUse) << "nothing kept";
    EXPECT_LE(PagesInUse(), InUse + dropin::SPAN_RESERVE::MaxPages);
  }).join();
  EXPECT_EQ(PagesInUse(), InUse);
  krax_stats(&After);
  EXPECT_EQ(After.spans.live, Before.spans.live);
  EXPECT_EQ(After.spans.live_bytes, Before.spans.live_bytes);
  EXPECT_EQ(After.spans.allocated, Before.spans.allocated + Blocks);
  EXPECT_EQ(After.spans.freed, Before.spans.freed + Blocks);
}

}  // namespace
