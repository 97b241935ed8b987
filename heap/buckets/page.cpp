#include "heap/buckets/page.h"

#include <bit>

#include "heap/buckets/cache.h"
#include "heap/core/heap.h"
#include "heap/pages/new_pages.h"
#include "heap/support/software_failure.h"

namespace {
constexpr const char CorruptInNewMessage[] = "Bit vector is corrupt in New";
constexpr const char CorruptInMultipleNewMessage[] = "Bit vector is corrupt in MultipleNew";

constexpr uint32_t FirstInUseBit = 0x80000000u;
constexpr uint32_t LowBitsOfPairs = 0x55555555u;
constexpr int32_t PairsPerWord = 16;

// The high bit of every pair that is not free: an element its cache holds
// (01) is as taken as a caller's.
uint32_t TakenPairs(uint32_t Word) { return (Word | (Word << 1)) & PAGE::FullWordMask; }
bool WordIsFull(uint32_t Word) { return TakenPairs(Word) == PAGE::FullWordMask; }

// The bit pair of State for the pair whose high bit is Mask.
uint32_t PairBits(ELEMENT_STATE State, uint32_t Mask) { return static_cast<uint32_t>(State) * (Mask >> 1); }
}  // namespace

PAGE::PAGE(uint64_t PageAddress, CACHE *Owner, int32_t PageSize, CACHE *Parent, int32_t PageVersion) {
  Build(PageAddress, Owner, PageSize, Parent, PageVersion);
}

void PAGE::Build(uint64_t PageAddress, CACHE *Owner, int32_t PageSize, CACHE *Parent, int32_t PageVersion) {
  BucketLink = CHAIN_LINK();
  StoreLink = CHAIN_LINK();
  LookupLinkA = CHAIN_LINK();
  LookupLinkB = CHAIN_LINK();
  BucketOrder = ORDER_LINK();
  Address = PageAddress;
  Size = PageSize;
  std::atomic_ref<int32_t>(Version).store(PageVersion, std::memory_order_relaxed);
  Allocated = 0;
  Available = Owner->ElementsPerPage;
  FirstFreeWord = 0;
  std::atomic_ref<CACHE *>(Bucket).store(Owner, std::memory_order_relaxed);
  ParentBucket = Parent;
  for (int32_t Word = 0; Word < Owner->WordsPerPage; ++Word)
    StoreWord(BitVector[Word], 0);
}

void PAGE::Destroy() {
  std::atomic_ref<int32_t>(Version).store(CurrentVersion() + 1, std::memory_order_relaxed);
  BucketLink = CHAIN_LINK();
  StoreLink = CHAIN_LINK();
  LookupLinkA = CHAIN_LINK();
  LookupLinkB = CHAIN_LINK();
  BucketOrder = ORDER_LINK();
}

void *PAGE::New(ELEMENT_STATE State) {
  const int32_t Words = Bucket->WordsPerPage;
  if (Available <= 0 || FirstFreeWord >= Words)
    return nullptr;
  // FirstFreeWord moves forward only over words that are full (or whose free
  // pairs lie beyond the last element).
  for (; FirstFreeWord < Words; ++FirstFreeWord) {
    const uint32_t Word = BitVector[FirstFreeWord];  // written only by the lock holder
    const uint32_t Taken = TakenPairs(Word);
    if (Taken == FullWordMask)
      continue;
    uint32_t Mask = FirstInUseBit;
    int32_t Position = 0;
    while ((Mask & Taken) != 0) {
      Mask >>= 2;
      ++Position;
    }
    if (Position >= PairsPerWord)
      SoftwareFailure(CorruptInNewMessage);
    const int32_t Index = PairsPerWord * FirstFreeWord + Position;
    if (Index >= Bucket->ElementsPerPage)
      continue;
    ++Allocated;
    --Available;
    StoreWord(BitVector[FirstFreeWord], Word | PairBits(State, Mask));
    if (Available <= 0)
      Bucket->DeleteFromBucketList(this);
    return reinterpret_cast<void *>(Bucket->AddressOfElement(Address, Index));
  }
  return nullptr;
}

bool PAGE::MultipleNew(int32_t &Count, void **Array, int32_t Requested, ELEMENT_STATE State) {
  const int32_t Words = Bucket->WordsPerPage;
  if (Available <= 0 || Count >= Requested || FirstFreeWord >= Words)
    return Count >= Requested;
  for (; FirstFreeWord < Words; ++FirstFreeWord) {
    uint32_t Word = BitVector[FirstFreeWord];
    uint32_t Mask = FirstInUseBit;
    int32_t Position = 0;
    while (!WordIsFull(Word)) {
      const uint32_t Taken = TakenPairs(Word);
      while ((Mask & Taken) != 0) {
        Mask >>= 2;
        ++Position;
      }
      if (Position >= PairsPerWord)
        SoftwareFailure(CorruptInMultipleNewMessage);
      const int32_t Index = PairsPerWord * FirstFreeWord + Position;
      if (Index >= Bucket->ElementsPerPage)
        break;
      ++Allocated;
      --Available;
      Word |= PairBits(State, Mask);
      StoreWord(BitVector[FirstFreeWord], Word);
      if (Available <= 0)
        Bucket->DeleteFromBucketList(this);
      // Filled from the end of the array: the lowest address ends up on top.
      Array[Requested - Count - 1] = reinterpret_cast<void *>(Bucket->AddressOfElement(Address, Index));
      ++Count;
      if (Count >= Requested)
        return true;
    }
  }
  return Count >= Requested;
}

bool PAGE::FillRecord(uint64_t ElementAddress, ELEMENT_INFO &Record) {
  bool OnBoundary = false;
  const int32_t Index = Bucket->IndexOfOffset(OffsetOf(ElementAddress), OnBoundary);
  if (Index < 0)
    return false;
  Record.Address = ElementAddress;
  Record.Bucket = Bucket;
  Record.OnBoundary = OnBoundary;
  Record.Page = this;
  Record.Index = Index;
  Record.WordIndex = Index / PairsPerWord;
  Record.Shift = 30 - 2 * (Index % PairsPerWord);
  Record.InUseMask = 2u << Record.Shift;
  Record.ChildMask = 1u << Record.Shift;
  Record.Word = &BitVector[Record.WordIndex];
  return true;
}

PAGE *PAGE::FindElement(uint64_t ElementAddress, ELEMENT_INFO *Record, FIND *Find, bool Descend) {
  PAGE *Page = this;
  for (;;) {
    if (Page->Bucket->ChildCount <= 0 && Record == nullptr)
      return Page;
    ELEMENT_INFO Local;
    ELEMENT_INFO &Info = Record != nullptr ? *Record : Local;
    // An offset in the unused tail of a chunk or page belongs to no element.
    if (!Page->FillRecord(ElementAddress, Info))
      return nullptr;
    const uint32_t ChildState = Info.InUseMask | Info.ChildMask;
    if (!Descend || (LoadWord(*Info.Word) & ChildState) != ChildState)
      return Page;
    Page = Page->Bucket->FindChildPage(ElementAddress, Find);
    if (Page == nullptr)
      return nullptr;
  }
}

bool PAGE::Delete(ELEMENT_INFO &Record, ELEMENT_STATE Expected) {
  const uint32_t Word = *Record.Word;
  const uint32_t Pair = Record.InUseMask | Record.ChildMask;
  if (Expected == ELEMENT_STATE::Free || !Record.OnBoundary || (Word & Pair) != PairBits(Expected, Record.InUseMask))
    return false;
  StoreWord(*Record.Word, Word & ~Pair);
  if (Record.WordIndex < FirstFreeWord)
    FirstFreeWord = static_cast<int16_t>(Record.WordIndex);
  if (Available <= 0)
    Bucket->InsertInBucketList(this);
  --Allocated;
  ++Available;
  if (Allocated > 0)
    return true;
  CACHE *Owner = Bucket;
  if (Owner->Parent == NoBucket())
    Owner->BUCKET::TrimFreePages(Owner->Heap != nullptr ? Owner->Heap->FreePageLimit : 0);
  else
    Owner->NewPages->DeletePage(this);  // this descriptor is gone from here on
  return true;
}

void PAGE::ResetPage() {
  const bool WasFull = Available <= 0;
  Allocated = 0;
  FirstFreeWord = 0;
  Available = Bucket->ElementsPerPage;
  if (Bucket->ChildCount > 0) {
    // Only pairs in state 11 (child pages) survive.
    int32_t Survivors = 0;
    for (int32_t Index = 0; Index < Bucket->WordsPerPage; ++Index) {
      const uint32_t Word = BitVector[Index];
      uint32_t Keep = (Word >> 1) & Word & LowBitsOfPairs;
      Survivors += std::popcount(Keep);
      Keep |= Keep << 1;
      StoreWord(BitVector[Index], Word & Keep);
    }
    Allocated = static_cast<int16_t>(Allocated + Survivors);
    Available = static_cast<int16_t>(Available - Survivors);
  } else {
    for (int32_t Index = 0; Index < Bucket->WordsPerPage; ++Index)
      StoreWord(BitVector[Index], 0);
  }
  if (WasFull && Available > 0)
    Bucket->InsertInBucketList(this);
}

bool PAGE::NextElementOf(ELEMENT_INFO &Record, int32_t FirstIndex) {
  for (int32_t Index = FirstIndex; Index < Bucket->ElementsPerPage; ++Index) {
    if (!FillRecord(Bucket->AddressOfElement(Address, Index), Record))
      continue;
    if (StateOf(Record) != ELEMENT_STATE::ChildPage)
      return true;
  }
  return false;
}

bool PAGE::WalkNext(ELEMENT_INFO &Record, FIND *Find) {
  int32_t FirstIndex = Record.Index + 1;
  bool OnPage = Record.Address != 0 && Record.Page != nullptr;
  for (;;) {
    if (OnPage && Record.Page->NextElementOf(Record, FirstIndex))
      return true;
    if (Record.Bucket == nullptr || !Record.Bucket->NewPages->NextWalkPage(Record, Find))
      return false;
    FirstIndex = Record.Index;
    OnPage = true;
  }
}

int32_t PAGE::ActualSize() const { return ParentBucket == NoBucket() ? Size : Bucket->AllocationSize; }
