// The memory resource over any heap and the private heaps of the C interface.
#include <gtest/gtest.h>

#include <cstring>
#include <memory_resource>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "heap/frontend/fast_heap.h"
#include "malloc/krax_malloc.h"
#include "malloc/memory_resource.h"
#include "tests/malloc/malloc_test_support.h"

namespace {

TEST(MemoryResource, HonoursEveryAlignment) {
  FAST_HEAP Heap(1048576, true, false, true);
  MEMORY_RESOURCE Resource(Heap);
  const size_t Requests[] = {1, 3, 24, 100, 1000, 5000, 40000};
  for (size_t Alignment = 1; Alignment <= 65536; Alignment <<= 1)
    for (size_t Bytes : Requests) {
      SCOPED_TRACE(testing::Message() << Alignment << " " << Bytes);
      void *Block = Resource.allocate(Bytes, Alignment);
      ASSERT_NE(Block, nullptr);
      EXPECT_TRUE(IsAligned(Block, Alignment));
      FillPattern(Block, Bytes, 5);
      EXPECT_TRUE(Heap.Contains(Block));
      Resource.deallocate(Block, Bytes, Alignment);
    }
  bool InUse = false;
  void *Address = nullptr;
  int32_t Size = 0;
  int32_t Live = 0;
  while (Heap.WalkHeap(&InUse, &Address, &Size))
    Live += InUse ? 1 : 0;
  EXPECT_EQ(Live, 0) << "every element went back, padded ones included";
}

TEST(MemoryResource, ServesStandardContainersAndComparesByHeap) {
  FAST_HEAP Heap(1048576, true, false, true);
  FAST_HEAP Other(1048576, true, false, true);
  MEMORY_RESOURCE Resource(Heap);
  MEMORY_RESOURCE Same(Heap);
  MEMORY_RESOURCE Different(Other);
  EXPECT_TRUE(Resource == Same);
  EXPECT_FALSE(Resource == Different);
  {
    std::pmr::vector<std::pmr::string> Words(&Resource);
    for (int Index = 0; Index < 2000; ++Index)
      Words.emplace_back(static_cast<size_t>(Index % 97), static_cast<char>('a' + Index % 26));
    for (int Index = 0; Index < 2000; ++Index)
      ASSERT_EQ(std::string_view(Words[static_cast<size_t>(Index)]),
                std::string(static_cast<size_t>(Index % 97), static_cast<char>('a' + Index % 26)));
    EXPECT_TRUE(Heap.Contains(Words.data()));
  }
  EXPECT_THROW((void)Resource.allocate(size_t{1} << 40, 16), std::bad_alloc);
}

TEST(PrivateHeap, AllocatesFreesAndWipes) {
  krax_heap *Heap = krax_heap_create();
  ASSERT_NE(Heap, nullptr);
  std::set<void *> Blocks;
  for (size_t Bytes = 0; Bytes < 70000; Bytes += 997) {
    void *Block = krax_heap_alloc(Heap, Bytes);
    ASSERT_NE(Block, nullptr);
    EXPECT_TRUE(IsAligned(Block, 16));
    FillPattern(Block, Bytes, 1);
    EXPECT_TRUE(Blocks.insert(Block).second);
  }
  void *First = *Blocks.begin();
  EXPECT_EQ(krax_heap_free(Heap, First), 1);
  EXPECT_EQ(krax_heap_free(Heap, First), 0) << "a second release is refused";
  // A private heap's block is not krax_free's to release, nor the reverse.
  void *Second = *std::next(Blocks.begin());
  const uint64_t Refused = krax_refused();
  krax_free(Second);
  EXPECT_EQ(krax_refused(), Refused + 1);
  void *Shared = krax_malloc(100);
  EXPECT_EQ(krax_heap_free(Heap, Shared), 0);
  EXPECT_EQ(krax_check(Shared), 1);
  krax_free(Shared);
  krax_heap_wipe(Heap);
  void *After = krax_heap_alloc(Heap, 100);
  ASSERT_NE(After, nullptr);
  EXPECT_EQ(krax_heap_free(Heap, Second), 0) << "the wipe forgot every block";
  EXPECT_EQ(krax_heap_free(Heap, After), 1);
  krax_heap_destroy(Heap);
  EXPECT_EQ(krax_heap_alloc(nullptr, 10), nullptr);
  krax_heap_destroy(nullptr);
}

}  // namespace
