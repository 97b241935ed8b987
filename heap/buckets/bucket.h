// BUCKET hands out elements of one fixed size from pages that the page store
// supplies; CONNECTIONS, its base, ties it to its heap, page store, parent
// bucket and address lookups.
//
// Invariants: AllocationSize <= ChunkSize <= PageSize, PageSize a power of two,
// 1 <= ElementsPerPage <= 32767. The pages with free elements are listed:
// each is either placed on BucketList, in descending address order from First
// to Last (Last is the lowest page), or waits on PendingPages, in no order,
// for its place. ActivePages counts both, and CurrentPageEnd is always the last
// byte of the lowest listed page (all ones when none is). OrderRoot indexes the
// placed pages as a search tree by address, threaded through their
// descriptors, so that a page finds its place on the list in logarithmic time.
// A page takes its place only when the order is next looked at (LowestPage,
// trimming) or the lowest page leaves, so that one that comes back and goes
// again before then (a page emptied by releases in random order) never costs
// an index operation; a waiting page is marked in its BucketOrder.
// Elements never straddle a chunk; the tail of a chunk or page too short for
// an element is never used, and an offset there maps to no element (index -1).
//
// A bucket has no lock: its operations run under the owning cache's lock.
#pragma once

#include <cstdint>

#include "heap/buckets/page.h"
#include "heap/support/chain.h"
#include "heap/support/system_facts.h"

struct HEAP;
struct NEW_PAGES;
struct DELAYED_DELETE;

struct CONNECTIONS : SYSTEM_FACTS_ATTACHMENT {
  bool Connected = false;
  HEAP *Heap = nullptr;
  NEW_PAGES *NewPages = nullptr;
  CACHE *Parent = nullptr;  // all ones (NoBucket) for the top cache once connected
  FIND *OwnFind = nullptr;
  FIND *ProcessFind = nullptr;

  void UpdateConnections(HEAP *NewHeap, NEW_PAGES *NewStore, CACHE *NewParent, FIND *NewOwnFind,
                         FIND *NewProcessFind);
};

struct BUCKET : CONNECTIONS {
  using ELEMENT_ADDRESS = uint64_t (BUCKET::*)(uint64_t PageAddress, int32_t Index) const;
  using ELEMENT_INDEX = int32_t (BUCKET::*)(int32_t Offset, bool &OnBoundary) const;

  int32_t AllocationSize;
  int32_t ChunkSize;
  int32_t PageSize;
  int32_t ActivePages = 0;
  CHAIN BucketList;
  PAGE *OrderRoot = nullptr;
  CHAIN PendingPages;
  uint64_t CurrentPageEnd = ~static_cast<uint64_t>(0);
  uint32_t AllocationShift = 0;
  uint32_t ChunkShift = 0;
  ELEMENT_ADDRESS ElementAddress;
  ELEMENT_INDEX ElementIndex;
  int16_t ElementsPerPage;
  int16_t ElementsPerChunk;
  int16_t WordsPerPage;
  int16_t SizeKey = -1;

  BUCKET(int32_t NewAllocationSize, int32_t NewChunkSize, int32_t NewPageSize);
  ~BUCKET();

  void UpdateBucket(HEAP *NewHeap, NEW_PAGES *NewStore, CACHE *NewParent, FIND *NewOwnFind, FIND *NewProcessFind);

  // Element address of Index in the page at PageAddress.
  uint64_t AddressOfElement(uint64_t PageAddress, int32_t Index) const {
    return (this->*ElementAddress)(PageAddress, Index);
  }
  // Element index of an offset into a page, -1 when the offset is in no element.
  int32_t IndexOfOffset(int32_t Offset, bool &OnBoundary) const { return (this->*ElementIndex)(Offset, OnBoundary); }
  // The index of the element that starts at Offset, -1 when none starts
  // there. The shift mapping, which most sizes use, is worked out inline:
  // every allocation and release through a cache asks it.
  int32_t StartingIndex(int32_t Offset) const {
    // The shift mapping is the one a size of 1 << AllocationShift gets (a
    // power of two divides every power-of-two chunk).
    if (AllocationSize == 1 << AllocationShift) {
      const int32_t Index = Offset >> AllocationShift;
      const bool Starts = static_cast<uint32_t>(Offset) < static_cast<uint32_t>(PageSize) &&
                          Index < ElementsPerPage && (Index << AllocationShift) == Offset;
      return Starts ? Index : -1;
    }
    bool OnBoundary = false;
    const int32_t Index = IndexOfOffset(Offset, OnBoundary);
    return OnBoundary ? Index : -1;
  }

  // One element in State (a caller's, a child page, or one its cache holds),
  // from a page of PageBytes (-1 for PageSize).
  void *New(ELEMENT_STATE State, int32_t PageBytes);
  // Up to Requested elements in State; with Pages, each element's page is
  // stored at the same position as its address.
  bool MultipleNew(int32_t &Count, void **Array, int32_t Requested, ELEMENT_STATE State = ELEMENT_STATE::InUse,
                   PAGE **Pages = nullptr);
  // Frees an element in state Expected of Page, unless the page has been
  // rebuilt since Version was read.
  bool Delete(void *Address, PAGE *Page, int32_t Version, ELEMENT_STATE Expected = ELEMENT_STATE::InUse);
  // Frees queued elements, which their cache holds.
  bool MultipleDelete(DELAYED_DELETE *Entries, int32_t &Deleted, int32_t EntryCount);
  void TrimFreePages(int32_t PageLimit);

  void InsertInBucketList(PAGE *Page);
  void DeleteFromBucketList(PAGE *Page);
  void InsertInFind(PAGE *Page);
  void DeleteFromFind(PAGE *Page);
  PAGE *FindPage(uint64_t Address, FIND *Find);
  PAGE *FindChildPage(uint64_t Address, FIND *Find);

  // The lowest page on the list (waiting pages placed first), and the next
  // higher one.
  PAGE *LowestPage() {
    if (!PendingPages.Empty())
      PlacePendingPages();
    return PAGE::FromBucketLink(BucketList.Last);
  }
  static PAGE *HigherPage(PAGE *Page) { return PAGE::FromBucketLink(Page->BucketLink.Previous); }

 private:
  CACHE *AsCache();
  bool Qualifies(const PAGE *Page, int32_t PageBytes) const;
  void UpdateCurrentPageEnd();
  void PlacePendingPages();
  void PlacePage(PAGE *Page);
  PAGE *IndexPage(PAGE *Page);
  void UnindexPage(PAGE *Page);

  // The four address mappings; the constructor picks one pair for good.
  uint64_t AddressByShift(uint64_t PageAddress, int32_t Index) const;
  int32_t IndexByShift(int32_t Offset, bool &OnBoundary) const;
  uint64_t AddressByMultiply(uint64_t PageAddress, int32_t Index) const;
  int32_t IndexByDivide(int32_t Offset, bool &OnBoundary) const;
  uint64_t AddressByChunkShift(uint64_t PageAddress, int32_t Index) const;
  int32_t IndexByChunkShift(int32_t Offset, bool &OnBoundary) const;
  uint64_t AddressByChunkMultiply(uint64_t PageAddress, int32_t Index) const;
  int32_t IndexByChunkDivide(int32_t Offset, bool &OnBoundary) const;
  int32_t ChunkedIndex(int32_t ChunkIndex, int32_t Remainder, bool &OnBoundary) const;
};
