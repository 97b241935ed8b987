#include "heap/buckets/page.h"

#include <gtest/gtest.h>

#include <new>
#include <vector>

#include "tests/heap/pages/test_tree.h"

namespace {

// A tree whose small bucket has 20 elements of 200 bytes in 4096-byte pages,
// carved from a 4096-byte middle cache inside 65536-byte top pages.
struct TWENTY_TREE : TEST_TREE {
  CACHE *Top;
  CACHE *Middle;
  CACHE *Twenty;
  TWENTY_TREE() {
    Top = Add(65536, 0, 65536, 65536, false, nullptr);
    Middle = Add(4096, 0, 65536, 65536, false, Top);
    Twenty = Add(200, 0, 4000, 4096, false, Middle);
    Register();
  }
  PAGE *PageOf(CACHE *Cache, void *Element) {
    return Cache->FindPage(reinterpret_cast<uint64_t>(Element), &*Find);
  }
};

TEST(Page, TwentyElementsInTwoWords) {
  TWENTY_TREE Tree;
  ASSERT_EQ(Tree.Twenty->ElementsPerPage, 20);
  ASSERT_EQ(Tree.Twenty->WordsPerPage, 2);
  std::vector<void *> Elements;
  for (int Index = 0; Index < 20; ++Index)
    Elements.push_back(Tree.Twenty->New());
  PAGE *Page = Tree.PageOf(Tree.Twenty, Elements[0]);
  ASSERT_NE(Page, nullptr);
  for (int Index = 0; Index < 20; ++Index)
    EXPECT_EQ(reinterpret_cast<uint64_t>(Elements[Index]), Page->Address + 200u * Index) << "lowest first";
  EXPECT_EQ(Page->Allocated, 20);
  EXPECT_EQ(Page->Available, 0);
  EXPECT_EQ(Page->New(ELEMENT_STATE::InUse), nullptr);
  EXPECT_EQ(Tree.Twenty->ActivePages, 0) << "a full page is off the bucket list";
  EXPECT_EQ(Page->BitVector[0], 0xAAAAAAAAu);
  EXPECT_EQ(Page->BitVector[1], 0xAA000000u) << "the twelve pairs beyond the last element stay 00";
  // A release puts the full page back on the list and moves the search back.
  EXPECT_TRUE(Tree.Find->Delete(Elements[17], Tree.Top));
  EXPECT_EQ(Tree.Twenty->ActivePages, 1);
  EXPECT_EQ(Page->FirstFreeWord, 1);
  EXPECT_EQ(Tree.Twenty->New(), Elements[17]);
}

TEST(Page, MultipleNewFillsFromTheTopOfTheArray) {
  TWENTY_TREE Tree;
  for (int Index = 0; Index < 17; ++Index)
    Tree.Twenty->New();
  PAGE *Page = Tree.Twenty->LowestPage();
  ASSERT_NE(Page, nullptr);
  void *Array[5] = {};
  int32_t Count = 0;
  EXPECT_FALSE(Page->MultipleNew(Count, Array, 5));
  EXPECT_EQ(Count, 3);
  EXPECT_EQ(Array[0], nullptr);
  EXPECT_EQ(Array[1], nullptr);
  EXPECT_EQ(reinterpret_cast<uint64_t>(Array[4]), Page->Address + 200u * 17);
  EXPECT_EQ(reinterpret_cast<uint64_t>(Array[3]), Page->Address + 200u * 18);
  EXPECT_EQ(reinterpret_cast<uint64_t>(Array[2]), Page->Address + 200u * 19);
  EXPECT_EQ(Tree.Twenty->ActivePages, 0);
}

TEST(Page, ChildElementsAndReleasesByTheirRecords) {
  TWENTY_TREE Tree;
  void *Element = Tree.Twenty->New();  // makes the middle cache lend one element
  PAGE *MiddlePage = Tree.PageOf(Tree.Middle, Element);
  ASSERT_NE(MiddlePage, nullptr);
  EXPECT_EQ(MiddlePage->BitVector[0] >> 30, 3u) << "the lent element is in state 11";
  void *Plain = Tree.Middle->New();
  EXPECT_EQ(reinterpret_cast<uint64_t>(Plain), MiddlePage->Address + 4096);
  EXPECT_EQ((MiddlePage->BitVector[0] >> 28) & 3u, 2u) << "a caller's element is in state 10";
  // Releasing a caller's element 8 bytes in, or twice, is refused.
  ELEMENT_INFO Record;
  ASSERT_EQ(MiddlePage->FindElement(reinterpret_cast<uint64_t>(Plain) + 8, &Record, &*Tree.Find, false), MiddlePage);
  EXPECT_FALSE(Record.OnBoundary);
  EXPECT_FALSE(MiddlePage->Delete(Record));
  ASSERT_EQ(MiddlePage->FindElement(reinterpret_cast<uint64_t>(Plain), &Record, &*Tree.Find, false), MiddlePage);
  EXPECT_EQ(Record.Index, 1);
  EXPECT_EQ(Record.Shift, 28);
  EXPECT_EQ(Record.InUseMask, 2u << 28);
  EXPECT_TRUE(MiddlePage->Delete(Record));
  EXPECT_FALSE(MiddlePage->Delete(Record));
  // Descent: the first byte of the small element is found in the small page.
  PAGE *Inner = MiddlePage->FindElement(reinterpret_cast<uint64_t>(Element), &Record, &*Tree.Find, true);
  EXPECT_EQ(Inner, Tree.PageOf(Tree.Twenty, Element));
  EXPECT_EQ(Record.Bucket, Tree.Twenty);
  // Releasing the last small element deletes the small page at once, which
  // clears both bits of the lent element, empties the middle page and gives it
  // back to the top page; the top cache keeps it up to the heap's limit (0).
  EXPECT_TRUE(Tree.Find->Delete(Element, Tree.Top));
  EXPECT_EQ(Tree.Find->PageCount, 0);
  EXPECT_EQ(Tree.BackEnd.OutstandingUserAreas(), 0);
}

TEST(Page, TopCacheKeepsEmptyPagesUpToTheLimit) {
  TEST_TREE Tree(false, 0, 1);
  CACHE *Top = Tree.Add(65536, 0, 65536, 65536, false, nullptr);
  Tree.Register();
  void *First = Top->New();
  void *Second = Top->New();
  EXPECT_TRUE(Tree.Find->Delete(First, Top));
  EXPECT_EQ(Top->ActivePages, 1);
  EXPECT_TRUE(Tree.Find->Delete(Second, Top));
  EXPECT_EQ(Top->ActivePages, 1) << "one empty page may stay";
  EXPECT_EQ(Tree.BackEnd.OutstandingUserAreas(), 1);
}

TEST(Page, ResetPageKeepsOnlyChildPages) {
  THREAD_SAFE ThreadSafe(false);
  CACHE Parent(64, 0, 4096, 4096, false, &ThreadSafe);
  alignas(PAGE) unsigned char Storage[512];
  PAGE *Page = new (Storage) PAGE(0x100000, &Parent, -1, NoBucket(), 2);
  // Full page: elements 3 and 7 hold child pages, all others are in use.
  for (int32_t Word = 0; Word < Parent.WordsPerPage; ++Word)
    Page->BitVector[Word] = 0xAAAAAAAAu;
  Page->BitVector[0] |= (1u << (30 - 2 * 3)) | (1u << (30 - 2 * 7));
  Page->Allocated = 64;
  Page->Available = 0;
  Parent.ChildCount = 1;
  Page->ResetPage();
  EXPECT_EQ(Page->Allocated, 2);
  EXPECT_EQ(Page->Available, 62);
  EXPECT_EQ(Page->BitVector[0], (3u << (30 - 2 * 3)) | (3u << (30 - 2 * 7)));
  EXPECT_EQ(Page->BitVector[1], 0u);
  EXPECT_EQ(Parent.ActivePages, 1) << "the full page returned to the list";
  EXPECT_EQ(Page->New(ELEMENT_STATE::InUse), reinterpret_cast<void *>(0x100000));
  Parent.ChildCount = 0;
  Page->ResetPage();
  EXPECT_EQ(Page->Allocated, 0);
  for (int32_t Word = 0; Word < Parent.WordsPerPage; ++Word)
    EXPECT_EQ(Page->BitVector[Word], 0u);
  Parent.DeleteFromBucketList(Page);
}

TEST(Page, VersionOfARebuiltDescriptorNeverMatchesAnEarlierStamp) {
  TEST_TREE Tree;
  CACHE *Top = Tree.Add(65536, 0, 65536, 65536, false, nullptr);
  Tree.Register();
  std::vector<int32_t> Seen;
  PAGE *Descriptor = nullptr;
  for (int Round = 0; Round < 5; ++Round) {
    PAGE *Page = Tree.Store->NewPage(Top, -1);
    ASSERT_TRUE(Descriptor == nullptr || Page == Descriptor);
    Descriptor = Page;
    for (int32_t Stamp : Seen)
      EXPECT_NE(Page->CurrentVersion(), Stamp);
    EXPECT_EQ(Page->CurrentVersion() % 2, 0);
    Seen.push_back(Page->CurrentVersion());
    Tree.Store->DeletePage(Page);
    EXPECT_EQ(Descriptor->CurrentVersion() % 2, 1);
    Seen.push_back(Descriptor->CurrentVersion());
  }
}

}  // namespace
