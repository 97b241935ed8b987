// The spans that serve requests from 32 KiB to 1 MiB: split, merged, grown in
// place, walked, and never handed out twice.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <vector>

#include "malloc/krax_malloc.h"
#include "malloc/large_spans.h"
#include "tests/malloc/malloc_test_support.h"

namespace {

using dropin::LARGE_SPANS;
constexpr uint64_t Page = LARGE_SPANS::PageBytes;

char *At(char *Span, uint64_t Pages) { return Span + Pages * Page; }

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
  EXPECT_FALSE(LARGE_SPANS::Grow(First, 40, 41));
  LARGE_SPANS::Shrink(First, 40, 5);
  EXPECT_TRUE(LARGE_SPANS::Grow(First, 5, 40)) << "the shrunk tail is free again";
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

}  // namespace
