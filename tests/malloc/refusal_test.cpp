// Pointers the allocator did not hand out, or no longer owns, given to free,
// realloc and the usable size: each is refused and counted, and no element
// ever reaches two owners.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <vector>

#include "malloc/address_map.h"
#include "malloc/krax_malloc.h"
#include "malloc/thread_cache.h"
#include "tests/malloc/malloc_test_support.h"

namespace {

int StaticVariable = 0;

TEST(Refusal, DoubleInteriorAndForeignFreesAreCounted) {
  void *Small = krax_malloc(64);
  void *Large = krax_malloc(100000);
  void *Aligned = krax_memalign(1 << 20, 100);
  int OnStack = 0;
  void *Foreign = std::malloc(32);  // the C library's own, not ours (unless preloaded)
  struct CASE {
    void *Pointer;
    bool Live;
  };
  const CASE Cases[] = {
      {static_cast<char *>(Small) + 16, true},   {static_cast<char *>(Small) + 1, true},
      {static_cast<char *>(Large) + 16, true},   {static_cast<char *>(Large) + 4096, true},
      {static_cast<char *>(Aligned) + 32, true}, {&OnStack, false},
      {&StaticVariable, false},                  {reinterpret_cast<void *>(16), false},
      {reinterpret_cast<void *>(~uintptr_t{15}), false},
  };
  for (const CASE &Case : Cases) {
    SCOPED_TRACE(Case.Pointer);
    const uint64_t Before = krax_refused();
    krax_free(Case.Pointer);
    EXPECT_EQ(krax_refused(), Before + 1);
    EXPECT_EQ(krax_usable_size(Case.Pointer), 0u);
    EXPECT_EQ(krax_refused(), Before + 2);
    errno = 0;
    EXPECT_EQ(krax_realloc(Case.Pointer, 10), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(krax_refused(), Before + 3);
    EXPECT_EQ(krax_check(Case.Pointer), 0);
  }
  if (krax_check(Foreign) == 0) {
    const uint64_t Before = krax_refused();
    krax_free(Foreign);
    EXPECT_EQ(krax_refused(), Before + 1);
  }
  std::free(Foreign);
  // The blocks themselves were untouched by all of it.
  for (void *Block : {Small, Large, Aligned}) {
    EXPECT_EQ(krax_check(Block), 1);
    const uint64_t Before = krax_refused();
    krax_free(Block);
    EXPECT_EQ(krax_refused(), Before);
    krax_free(Block);
    EXPECT_EQ(krax_refused(), Before + 1) << "the second free is refused";
  }
}

TEST(Refusal, DoubleFreesNeverHandAnElementOutTwice) {
  for (size_t Bytes : {size_t{16}, size_t{200}, size_t{3000}, size_t{40000}}) {
    SCOPED_TRACE(Bytes);
    std::vector<void *> First;
    for (int Index = 0; Index < 300; ++Index)
      First.push_back(krax_malloc(Bytes));
    for (void *Block : First)
      krax_free(Block);
    const uint64_t Before = krax_refused();
    for (void *Block : First)
      krax_free(Block);
    EXPECT_EQ(krax_refused(), Before + First.size());
    std::set<void *> Handed;
    for (int Index = 0; Index < 900; ++Index) {
      void *Block = krax_malloc(Bytes);
      EXPECT_TRUE(Handed.insert(Block).second) << "handed out twice: " << Block;
    }
    for (void *Block : Handed)
      krax_free(Block);
  }
}

TEST(Refusal, TheMapKeepsItsDataBytesOutOfReach) {
  struct CASE {
    size_t Bytes;
    uint8_t Mark;
  };
  const CASE Cases[] = {{200000, dropin::ADDRESS_MAP::SpanMark}, {3000000, dropin::ADDRESS_MAP::LargeMark}};
  for (const CASE &Case : Cases) {
    SCOPED_TRACE(Case.Bytes);
    void *Large = krax_malloc(Case.Bytes);
    const uint64_t Pages = dropin::ADDRESS_MAP::Pages(Large);
    EXPECT_EQ(Pages, (Case.Bytes + 4095) / 4096);
    for (int Offset = 16; Offset <= 48; Offset += 16)
      EXPECT_EQ(dropin::ADDRESS_MAP::Take(static_cast<char *>(Large) + Offset), 0) << "a size byte is no mark";
    EXPECT_EQ(krax_usable_size(Large), Pages * 4096);
    EXPECT_EQ(dropin::ADDRESS_MAP::Take(Large), Case.Mark);
    EXPECT_EQ(dropin::ADDRESS_MAP::Take(Large), 0) << "taken once only";
    // Put the mark back, as the allocator had left it, and free it properly.
    dropin::ADDRESS_MAP::Mark(Large, Case.Mark);
    krax_free(Large);
    EXPECT_EQ(dropin::ADDRESS_MAP::Read(Large), 0);
  }
}

// The runtime allocates an exception thrown inside the heap with malloc: a
// thread that is inside the heap is served from its own lists, or refused,
// and never lets the heap be entered twice.
TEST(Refusal, AThreadInsideTheHeapDoesNotEnterItAgain) {
  krax_free(krax_malloc(64));  // one element waits in this thread's list
  ASSERT_EQ(krax_trim(0), 1);  // and nothing waits in the reserve
  void *Waiting = krax_malloc(64);
  krax_free(Waiting);
  dropin::InHeap = true;
  void *Listed = krax_malloc(64);
  errno = 0;
  void *Large = krax_malloc(5000000);
  const int Error = errno;
  dropin::InHeap = false;
  EXPECT_EQ(Listed, Waiting) << "served from the thread's own list";
  EXPECT_EQ(Large, nullptr) << "only the heap could serve it";
  EXPECT_EQ(Error, ENOMEM);
  krax_free(Listed);
}

}  // namespace
