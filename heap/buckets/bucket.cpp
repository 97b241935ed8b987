#include "heap/buckets/bucket.h"

#include <algorithm>
#include <cstring>

#include "heap/buckets/cache.h"
#include "heap/core/find.h"
#include "heap/pages/new_pages.h"
#include "heap/support/bit_utilities.h"
#include "heap/support/software_failure.h"

namespace {
constexpr const char ConfigurationMessage[] = "Configuration in constructor for BUCKET";
constexpr const char SizeKeyMessage[] = "Bucket can't get a size key in UpdateBucket";
constexpr const char SharingViolationMessage[] = "Sharing violation in UpdateConnections";
constexpr const char ActivePageCountMessage[] = "Active page count in DeleteFromBucketList";

// Element counts within a page are signed 16-bit values.
constexpr int64_t MaxElementsPerPage = 32767;

uint64_t AddOffset(uint64_t PageAddress, int32_t Offset) {
  return PageAddress + static_cast<uint64_t>(static_cast<int64_t>(Offset));
}

// The index is a treap: a search tree by address whose every node outranks
// its subtrees, the rank being a mix of the page's address. The ranks are as
// good as random whatever order the addresses come in, so the tree's depth is
// logarithmic in the number of pages, while insertion and removal stay
// iterative (a split and a merge along one path) and need no field beyond the
// two subtree links of each page. Pages at one address (which one bucket never
// holds) are told apart by their descriptors, so that the tree stays sound.
uint64_t Rank(const PAGE *Page) {
  uint64_t Mixed = Page->Address;
  Mixed = (Mixed ^ (Mixed >> 30)) * 0xBF58476D1CE4E5B9ull;
  Mixed = (Mixed ^ (Mixed >> 27)) * 0x94D049BB133111EBull;
  return Mixed ^ (Mixed >> 31);
}

bool Precedes(const PAGE *Page, const PAGE *Other) {
  return Page->Address < Other->Address || (Page->Address == Other->Address && Page < Other);
}

// The BucketOrder mark of a page that waits for its place: no descriptor
// lives at address 1.
PAGE *PendingMark() { return reinterpret_cast<PAGE *>(uintptr_t{1}); }

bool Outranks(const PAGE *Page, const PAGE *Other) {
  const uint64_t Mine = Rank(Page);
  const uint64_t Theirs = Rank(Other);
  return Mine > Theirs || (Mine == Theirs && Page > Other);
}
}  // namespace

void CONNECTIONS::UpdateConnections(HEAP *NewHeap, NEW_PAGES *NewStore, CACHE *NewParent, FIND *NewOwnFind,
                                    FIND *NewProcessFind) {
  if (!Connected) {
    Heap = NewHeap;
    NewPages = NewStore;
    Parent = NewParent;
    OwnFind = NewOwnFind;
    ProcessFind = NewProcessFind;
    Connected = true;
    return;
  }
  if (ProcessFind != NewProcessFind || NewPages != NewStore || Parent != NewParent)
    SoftwareFailure(SharingViolationMessage);
}

BUCKET::BUCKET(int32_t NewAllocationSize, int32_t NewChunkSize, int32_t NewPageSize)
    : AllocationSize(NewAllocationSize), ChunkSize(NewChunkSize), PageSize(NewPageSize) {
  if (AllocationSize <= 0 || ChunkSize < AllocationSize || PageSize < ChunkSize || !IsPowerOfTwo(PageSize))
    SoftwareFailure(ConfigurationMessage);
  const int64_t PerChunk = ChunkSize / AllocationSize;
  const int64_t PerPage = static_cast<int64_t>(PageSize / ChunkSize) * PerChunk;
  if (PerPage > MaxElementsPerPage)
    SoftwareFailure(ConfigurationMessage);
  int32_t Shift = 0;
  if (ChunkSize == PageSize || ChunkSize % AllocationSize == 0) {
    if (PowerOfTwoShift(AllocationSize, Shift)) {
      AllocationShift = static_cast<uint32_t>(Shift);
      ElementAddress = &BUCKET::AddressByShift;
      ElementIndex = &BUCKET::IndexByShift;
    } else {
      ElementAddress = &BUCKET::AddressByMultiply;
      ElementIndex = &BUCKET::IndexByDivide;
    }
  } else if (PowerOfTwoShift(ChunkSize, Shift)) {
    ChunkShift = static_cast<uint32_t>(Shift);
    ElementAddress = &BUCKET::AddressByChunkShift;
    ElementIndex = &BUCKET::IndexByChunkShift;
  } else {
    ElementAddress = &BUCKET::AddressByChunkMultiply;
    ElementIndex = &BUCKET::IndexByChunkDivide;
  }
  ElementsPerChunk = static_cast<int16_t>(PerChunk);
  ElementsPerPage = static_cast<int16_t>(PerPage);
  WordsPerPage = static_cast<int16_t>((ElementsPerPage - 1) / 16 + 1);
  SizeKey = -1;
}

BUCKET::~BUCKET() {
  BucketList.Reset();
  OrderRoot = nullptr;
  PendingPages.Reset();
  Connected = false;
  Heap = nullptr;
  NewPages = nullptr;
  Parent = nullptr;
  OwnFind = nullptr;
  ProcessFind = nullptr;
}

void BUCKET::UpdateBucket(HEAP *NewHeap, NEW_PAGES *NewStore, CACHE *NewParent, FIND *NewOwnFind,
                          FIND *NewProcessFind) {
  const int16_t Key = NewStore->FindSizeKey(ElementsPerPage);
  if (Key == -1)
    SoftwareFailure(SizeKeyMessage);
  SizeKey = Key;
  UpdateConnections(NewHeap, NewStore, NewParent, NewOwnFind, NewProcessFind);
}

// The four address mappings. Every index mapping refuses an offset outside the
// page, in the unused tail of a chunk or of the page (index -1): such an
// address is never handed out, and must never stand for another element.

uint64_t BUCKET::AddressByShift(uint64_t PageAddress, int32_t Index) const {
  return AddOffset(PageAddress, Index << AllocationShift);
}

int32_t BUCKET::IndexByShift(int32_t Offset, bool &OnBoundary) const {
  OnBoundary = false;
  if (Offset < 0 || Offset >= PageSize)
    return -1;
  const int32_t Index = Offset >> AllocationShift;
  if (Index >= ElementsPerPage)
    return -1;
  OnBoundary = (Index << AllocationShift) == Offset;
  return Index;
}

uint64_t BUCKET::AddressByMultiply(uint64_t PageAddress, int32_t Index) const {
  return AddOffset(PageAddress, Index * AllocationSize);
}

int32_t BUCKET::IndexByDivide(int32_t Offset, bool &OnBoundary) const {
  OnBoundary = false;
  if (Offset < 0 || Offset >= PageSize)
    return -1;
  const int32_t Index = Offset / AllocationSize;
  if (Index >= ElementsPerPage)
    return -1;
  OnBoundary = Offset % AllocationSize == 0;
  return Index;
}

uint64_t BUCKET::AddressByChunkShift(uint64_t PageAddress, int32_t Index) const {
  return AddOffset(PageAddress, (Index % ElementsPerChunk) * AllocationSize + ((Index / ElementsPerChunk) << ChunkShift));
}

int32_t BUCKET::IndexByChunkShift(int32_t Offset, bool &OnBoundary) const {
  OnBoundary = false;
  if (Offset < 0 || Offset >= PageSize)
    return -1;
  const int32_t Chunk = Offset >> ChunkShift;
  return ChunkedIndex(Chunk, Offset - (Chunk << ChunkShift), OnBoundary);
}

uint64_t BUCKET::AddressByChunkMultiply(uint64_t PageAddress, int32_t Index) const {
  return AddOffset(PageAddress, (Index % ElementsPerChunk) * AllocationSize + (Index / ElementsPerChunk) * ChunkSize);
}

int32_t BUCKET::IndexByChunkDivide(int32_t Offset, bool &OnBoundary) const {
  OnBoundary = false;
  if (Offset < 0 || Offset >= PageSize)
    return -1;
  const int32_t Chunk = Offset / ChunkSize;
  return ChunkedIndex(Chunk, Offset - Chunk * ChunkSize, OnBoundary);
}

int32_t BUCKET::ChunkedIndex(int32_t Chunk, int32_t Remainder, bool &OnBoundary) const {
  const int32_t InChunk = Remainder / AllocationSize;
  // The tail of a chunk: by the formulas it would name the next chunk's first
  // element, which must never be released for it.
  if (InChunk >= ElementsPerChunk)
    return -1;
  const int32_t Index = InChunk + Chunk * ElementsPerChunk;
  if (Index >= ElementsPerPage)
    return -1;
  OnBoundary = InChunk * AllocationSize == Remainder;
  return Index;
}

CACHE *BUCKET::AsCache() { return static_cast<CACHE *>(this); }

bool BUCKET::Qualifies(const PAGE *Page, int32_t PageBytes) const {
  return Page->Size == -1 || Page->Size == PageBytes;
}

void BUCKET::UpdateCurrentPageEnd() {
  const PAGE *Lowest = LowestPage();
  CurrentPageEnd = Lowest == nullptr ? ~static_cast<uint64_t>(0)
                                     : Lowest->Address + static_cast<uint64_t>(PageSize) - 1;
}

// Puts the page into the index and returns the lowest indexed page above it
// (null when there is none).
PAGE *BUCKET::IndexPage(PAGE *Page) {
  PAGE *Above = nullptr;
  PAGE **Link = &OrderRoot;
  while (*Link != nullptr && Outranks(*Link, Page)) {
    PAGE *Node = *Link;
    if (Precedes(Page, Node)) {
      Above = Node;
      Link = &Node->BucketOrder.Lower;
    } else {
      Link = &Node->BucketOrder.Higher;
    }
  }
  // The page takes this place; the subtree that was here splits into the
  // pages below it and those above it.
  PAGE *Node = *Link;
  PAGE **LowerHook = &Page->BucketOrder.Lower;
  PAGE **HigherHook = &Page->BucketOrder.Higher;
  while (Node != nullptr) {
    if (Precedes(Page, Node)) {
      Above = Node;
      *HigherHook = Node;
      HigherHook = &Node->BucketOrder.Lower;
      Node = Node->BucketOrder.Lower;
    } else {
      *LowerHook = Node;
      LowerHook = &Node->BucketOrder.Higher;
      Node = Node->BucketOrder.Higher;
    }
  }
  *LowerHook = nullptr;
  *HigherHook = nullptr;
  *Link = Page;
  return Above;
}

void BUCKET::UnindexPage(PAGE *Page) {
  PAGE **Link = &OrderRoot;
  while (*Link != Page) {
    if (*Link == nullptr)
      return;  // not indexed: nothing to take out
    Link = Precedes(Page, *Link) ? &(*Link)->BucketOrder.Lower : &(*Link)->BucketOrder.Higher;
  }
  // The two subtrees merge into the page's place, the higher rank on top.
  PAGE *Lower = Page->BucketOrder.Lower;
  PAGE *Higher = Page->BucketOrder.Higher;
  while (Lower != nullptr && Higher != nullptr) {
    if (Outranks(Lower, Higher)) {
      *Link = Lower;
      Link = &Lower->BucketOrder.Higher;
      Lower = Lower->BucketOrder.Higher;
    } else {
      *Link = Higher;
      Link = &Higher->BucketOrder.Lower;
      Higher = Higher->BucketOrder.Lower;
    }
  }
  *Link = Lower != nullptr ? Lower : Higher;
  Page->BucketOrder = ORDER_LINK();
}

void BUCKET::InsertInBucketList(PAGE *Page) {
  ++ActivePages;
  Page->BucketOrder = ORDER_LINK{PendingMark(), nullptr};
  Page->BucketLink.Append(PendingPages);
  CurrentPageEnd = std::min(CurrentPageEnd, Page->Address + static_cast<uint64_t>(PageSize) - 1);
}

void BUCKET::PlacePendingPages() {
  while (!PendingPages.Empty()) {
    PAGE *Page = PAGE::FromBucketLink(PendingPages.Last);
    Page->BucketLink.Unlink(PendingPages);
    PlacePage(Page);
  }
}

void BUCKET::PlacePage(PAGE *Page) {
  Page->BucketOrder = ORDER_LINK();
  PAGE *Above = IndexPage(Page);
  // A page goes just below the lowest page whose address is greater, above
  // any at its own address.
  while (Above != nullptr && Above->Address == Page->Address)
    Above = HigherPage(Above);
  if (BucketList.Empty())
    Page->BucketLink.Append(BucketList);
  else if (Above == nullptr)
    BucketList.First->InsertBefore(BucketList, &Page->BucketLink);
  else
    Above->BucketLink.InsertAfter(BucketList, &Page->BucketLink);
}

void BUCKET::DeleteFromBucketList(PAGE *Page) {
  if (--ActivePages < 0)
    SoftwareFailure(ActivePageCountMessage);
  if (Page->BucketOrder.Lower == PendingMark()) {
    Page->BucketLink.Unlink(PendingPages);
    Page->BucketOrder = ORDER_LINK();
  } else {
    UnindexPage(Page);
    Page->BucketLink.Unlink(BucketList);
  }
  // Only the lowest page's leaving moves the end; finding the next lowest
  // places the waiting pages.
  if (Page->Address + static_cast<uint64_t>(PageSize) - 1 == CurrentPageEnd)
    UpdateCurrentPageEnd();
}

void *BUCKET::New(ELEMENT_STATE State, int32_t PageBytes) {
  if (!Connected)
    return nullptr;
  const int32_t Wanted = PageBytes == -1 ? PageSize : PageBytes;
  for (;;) {
    for (PAGE *Page = LowestPage(); Page != nullptr; Page = HigherPage(Page))
      if (Qualifies(Page, Wanted))
        return Page->New(State);
    if (NewPages->NewPage(AsCache(), PageBytes) == nullptr)
      return nullptr;
  }
}

bool BUCKET::MultipleNew(int32_t &Count, void **Array, int32_t Requested, ELEMENT_STATE State, PAGE **Pages) {
  Count = 0;
  if (!Connected || Requested <= 0)
    return false;
  do {
    PAGE *Page = LowestPage();
    while (Page != nullptr) {
      PAGE *Higher = HigherPage(Page);  // a page that fills up leaves the list
      if (Qualifies(Page, PageSize)) {
        const int32_t Before = Count;
        const bool Filled = Page->MultipleNew(Count, Array, Requested, State);
        // The page wrote positions Requested - Count to Requested - Before - 1.
        if (Pages != nullptr)
          for (int32_t Position = Requested - Count; Position < Requested - Before; ++Position)
            Pages[Position] = Page;
        if (Filled)
          return true;
      }
      Page = Higher;
    }
  } while (NewPages->NewPage(AsCache(), -1) != nullptr);
  if (Count >= Requested)
    return true;
  if (Count <= 0)
    return false;
  // The pages filled the top end of the array; close the gap, keeping order.
  std::memmove(Array, Array + (Requested - Count), static_cast<size_t>(Count) * sizeof(void *));
  if (Pages != nullptr)
    std::memmove(Pages, Pages + (Requested - Count), static_cast<size_t>(Count) * sizeof(PAGE *));
  return true;
}

bool BUCKET::Delete(void *Address, PAGE *Page, int32_t Version, ELEMENT_STATE Expected) {
  if (Page->CurrentVersion() != Version)
    return false;
  ELEMENT_INFO Record;
  PAGE *Found = Page->FindElement(reinterpret_cast<uint64_t>(Address), &Record, OwnFind, false);
  return Found != nullptr && Found->Delete(Record, Expected);
}

bool BUCKET::MultipleDelete(DELAYED_DELETE *Entries, int32_t &Deleted, int32_t EntryCount) {
  Deleted = 0;
  for (int32_t Entry = 0; Entry < EntryCount; ++Entry)
    if (Delete(reinterpret_cast<void *>(Entries[Entry].Address), Entries[Entry].Page, Entries[Entry].Version,
               ELEMENT_STATE::Held))
      ++Deleted;
  return Deleted == EntryCount;
}

void BUCKET::TrimFreePages(int32_t PageLimit) {
  int32_t Remaining = ActivePages;
  if (Remaining <= PageLimit)
    return;
  PlacePendingPages();
  // From the highest page down, so that the heap stays compact.
  CHAIN_LINK *Link = BucketList.First;
  while (Link != nullptr && Remaining > PageLimit) {
    CHAIN_LINK *Lower = Link->Next;
    PAGE *Page = PAGE::FromBucketLink(Link);
    if (Page->Allocated <= 0) {
      NewPages->DeletePage(Page);
      --Remaining;
    }
    Link = Lower;
  }
}

void BUCKET::InsertInFind(PAGE *Page) {
  if (OwnFind != nullptr)
    OwnFind->InsertPage(Page);
  if (ProcessFind != nullptr)
    ProcessFind->InsertPage(Page);
}

void BUCKET::DeleteFromFind(PAGE *Page) {
  if (ProcessFind != nullptr)
    ProcessFind->RemovePage(Page);
  if (OwnFind != nullptr)
    OwnFind->RemovePage(Page);
}

PAGE *BUCKET::FindPage(uint64_t Address, FIND *Find) {
  if (Find == nullptr)
    return nullptr;
  return Find->LocatePage(Address & ~static_cast<uint64_t>(PageSize - 1), Parent);
}

PAGE *BUCKET::FindChildPage(uint64_t Address, FIND *Find) {
  if (Find == nullptr)
    return nullptr;
  return Find->LocatePage(Address & ~static_cast<uint64_t>(AllocationSize - 1), AsCache());
}
