#include "heap/core/find.h"

#include <cstring>
#include <new>

#include "heap/buckets/cache.h"
#include "heap/pages/duzovev_back_end.h"
#include "heap/support/thread_safe.h"
#include "heap/support/bit_utilities.h"
#include "heap/support/software_failure.h"
#include "platform/virtual_memory.h"

namespace {
constexpr const char HashSizeMessage[] = "Hash table size in constructor for FIND";
constexpr const char CreateHashMessage[] = "Create hash fails in constructor for FIND";
constexpr const char TopCacheSizesMessage[] = "Different 'TopCache' sizes with 'SingleImage'";

constexpr int32_t MinHashSize = 1024;
constexpr int32_t MinLookasideSize = 128;
constexpr int64_t EntryBytes = 16;  // one chain head or one lookaside entry
constexpr uint64_t EmptyKey = ~static_cast<uint64_t>(0);

PAGE *EmptyPage() { return reinterpret_cast<PAGE *>(~static_cast<uintptr_t>(0)); }

// Zeros a new level without making it resident: a leaf covers far more
// address space than a small program uses, and writing zeros over it would
// fault in every page of it. The whole system pages inside are given back
// (they read as zeros after); only the pieces at the ends are written.
void ClearLevel(void *Level, size_t Bytes) {
  const auto Page = static_cast<uintptr_t>(SYSTEM_FACTS::SystemPageSize);
  const auto Start = reinterpret_cast<uintptr_t>(Level);
  const uintptr_t End = Start + Bytes;
  const uintptr_t Inner = Page > 0 ? (Start + Page - 1) / Page * Page : End;
  const uintptr_t InnerEnd = Page > 0 ? End / Page * Page : End;
  if (Inner >= InnerEnd) {
    std::memset(Level, 0, Bytes);
    return;
  }
  std::memset(Level, 0, Inner - Start);
  platform::DiscardPages(reinterpret_cast<void *>(Inner), InnerEnd - Inner);
  std::memset(reinterpret_cast<void *>(InnerEnd), 0, End - InnerEnd);
}

bool BlockFits(int64_t ChainCount, int64_t EntryCount) { return (ChainCount + EntryCount) * EntryBytes <= INT32_MAX; }

int32_t BlockBytes(int32_t ChainCount, int32_t EntryCount) {
  return static_cast<int32_t>((static_cast<int64_t>(ChainCount) + EntryCount) * EntryBytes);
}
}  // namespace

template <typename T>
T *PAGE_MAP::LevelIn(T *&Slot, uint64_t Entries, bool Make) {
  T *Level = Load(Slot);
  if (Level != nullptr || !Make)
    return Level;
  const auto Bytes = static_cast<int32_t>(Entries * sizeof(void *));
  Level = static_cast<T *>(BackEnd->NewArea(BackEnd->AreaGranule() - 1, Bytes, false));
  if (Level == nullptr)
    return nullptr;
  ClearLevel(static_cast<void *>(Level), static_cast<size_t>(Bytes));
  ++Areas;
  Store(Slot, Level);
  return Level;
}

void PAGE_MAP::DeleteLevel(void *Level, uint64_t Entries) {
  BackEnd->DeleteArea(Level, static_cast<int32_t>(Entries * sizeof(void *)), false);
  --Areas;
}

void PAGE_MAP::Release() {
  for (uint64_t Top = 0; Root != nullptr && Top < RootEntries; ++Top) {
    if (Root[Top] == nullptr)
      continue;
    for (uint64_t Index = 0; Index <= MiddleMask; ++Index)
      if (Root[Top][Index] != nullptr)
        DeleteLevel(Root[Top][Index], LeafMask + 1);
    DeleteLevel(Root[Top], MiddleMask + 1);
  }
  if (Root != nullptr)
    DeleteLevel(Root, RootEntries);
  Root = nullptr;
  RootEntries = 0;
  LiveEntries = 0;
}

void PAGE_MAP::SetGranule(int32_t NewShift) {
  if (Root != nullptr || NewShift <= 0 || NewShift >= AddressBits) {
    Store(LiveEntries, uint64_t{0});
    return;
  }
  const int32_t TopBits = AddressBits - NewShift - LeafBits - MiddleBits;
  RootEntries = uint64_t{1} << (TopBits > 0 ? TopBits : 0);
  Store(Shift, NewShift);
  Store(LiveEntries, RootEntries);
}

PAGE **PAGE_MAP::Entry(uint64_t Address, bool Make) {
  const uint64_t Granule = Address >> Shift;
  const uint64_t Top = Granule >> (LeafBits + MiddleBits);
  if (Top >= LiveEntries)
    return nullptr;
  PAGE ****Levels = LevelIn(Root, RootEntries, Make);
  PAGE ***Middle = Levels != nullptr ? LevelIn(Levels[Top], MiddleMask + 1, Make) : nullptr;
  PAGE **Leaf = Middle != nullptr ? LevelIn(Middle[(Granule >> LeafBits) & MiddleMask], LeafMask + 1, Make) : nullptr;
  return Leaf != nullptr ? &Leaf[Granule & LeafMask] : nullptr;
}

bool PAGE_MAP::Write(uint64_t Address, PAGE *Page) {
  PAGE **Slot = Entry(Address, true);
  if (Slot != nullptr)
    Store(*Slot, Page);
  return Slot != nullptr;
}

void PAGE_MAP::Erase(uint64_t Address, const PAGE *Page) {
  PAGE **Slot = Entry(Address, false);
  if (Slot != nullptr && *Slot == Page)
    Store(*Slot, static_cast<PAGE *>(nullptr));
}

static_assert(sizeof(LOOKASIDE_ENTRY) == 16 && sizeof(CHAIN) == 16, "both arrays are counted in 16-byte entries");

FIND::FIND(int32_t NewHashSize, int32_t NewLookasideSize, int32_t NewLookasideThreshold, bool NewUseLinkB,
           bool NewResizable, DUZOVEV_BACK_END *NewBackEnd, THREAD_SAFE *NewThreadSafe)
    : BackEnd(NewBackEnd), ThreadSafe(NewThreadSafe), ShareLock(4096, 256, 256), ResizeLock(4096, 256),
      Map(NewBackEnd) {
  const int32_t Granule = BackEnd->AreaGranule();
  int32_t HashBits = 0;
  int32_t LookasideBits = 0;
  if (!IsPowerOfTwo(Granule) || NewLookasideThreshold < 0 || NewHashSize < MinHashSize ||
      !PowerOfTwoShift(NewHashSize, HashBits) || NewLookasideSize < MinLookasideSize ||
      !PowerOfTwoShift(NewLookasideSize, LookasideBits) || !BlockFits(NewHashSize, NewLookasideSize))
    SoftwareFailure(HashSizeMessage);
  HashSize = NewHashSize;
  HashShift = 32 - HashBits;
  HashMask = NewHashSize - 1;
  UseLinkB = NewUseLinkB;
  Resizable = NewResizable;
  LookasideSize = NewLookasideSize;
  LookasideShift = 32 - LookasideBits;
  LookasideMask = NewLookasideSize - 1;
  LookasideThreshold = NewLookasideThreshold;
  void *Block = BackEnd->NewArea(Granule - 1, BlockBytes(HashSize, LookasideSize), false);
  if (Block == nullptr)
    SoftwareFailure(CreateHashMessage);
  HashTable = static_cast<CHAIN *>(Block);
  Lookaside = reinterpret_cast<LOOKASIDE_ENTRY *>(HashTable + HashSize);
  EmptyArrays(HashTable, HashSize, Lookaside, LookasideSize);
}

FIND::~FIND() noexcept(false) {
  for (int32_t Chain = 0; Chain < HashSize; ++Chain)
    HashTable[Chain].Reset();
  Map.Release();
  BackEnd->DeleteArea(HashTable, BlockBytes(HashSize, LookasideSize), false);
}

void FIND::EmptyArrays(CHAIN *Chains, int32_t ChainCount, LOOKASIDE_ENTRY *Entries, int32_t EntryCount) {
  for (int32_t Chain = 0; Chain < ChainCount; ++Chain)
    new (&Chains[Chain]) CHAIN();
  for (int32_t Entry = 0; Entry < EntryCount; ++Entry)
    Entries[Entry] = LOOKASIDE_ENTRY{EmptyKey, EmptyPage()};
}

bool FIND::Locking() const { return GroupShouldLock(ThreadSafe); }

void FIND::ClaimShared() {
  if (Locking())
    ShareLock.AcquireShared();
}

void FIND::ReleaseShared() {
  if (Locking())
    ShareLock.ReleaseShared();
}

void FIND::ClaimExclusive() {
  if (Locking())
    ShareLock.AcquireExclusive();
}

void FIND::ReleaseExclusive() {
  if (Locking())
    ShareLock.ReleaseExclusive();
}

void FIND::RegisterHeap(uint32_t TopMask, uint32_t SmallestMask) {
  if (TopCacheMask != NoHeapMask && TopCacheMask != TopMask)
    SoftwareFailure(TopCacheSizesMessage);
  ClaimExclusive();
  TopCacheMask = TopMask;
  if (GranuleMask > SmallestMask) {
    GranuleMask = SmallestMask;
    // Keys filed under the wider granule are not all among those a removal
    // computes from now on: drop them, misses refill the lookaside.
    EmptyArrays(nullptr, 0, Lookaside, LookasideSize);
    int32_t GranuleShift = 0;
    PowerOfTwoShift(static_cast<int32_t>(SmallestMask + 1), GranuleShift);
    Map.SetGranule(GranuleShift);
  }
  ReleaseExclusive();
}

uint64_t FIND::LookasideStep(const PAGE *Page) const {
  const uint64_t Step = static_cast<uint64_t>(Page->Bucket->AllocationSize);
  return Step <= GranuleMask ? GranuleMask + 1 : Step;
}

// Every granule that can hold the first byte of one of the page's elements.
template <typename VISIT>
void FIND::ForEachLookasideKey(PAGE *Page, VISIT Visit) {
  const uint64_t Step = LookasideStep(Page);
  const uint64_t PageBytes = static_cast<uint64_t>(Page->Bucket->PageSize);
  for (uint64_t Offset = 0; Offset < PageBytes; Offset += Step)
    Visit((Page->Address + Offset) & ~GranuleMask);
}

bool FIND::IsLookasideKeyOf(uint64_t Key, const PAGE *Page) const {
  const uint64_t Step = LookasideStep(Page);
  const uint64_t PageBytes = static_cast<uint64_t>(Page->Bucket->PageSize);
  if (Key + GranuleMask < Page->Address)
    return false;
  // The first offset of the key set at or after the granule's start.
  const uint64_t FromPage = Key > Page->Address ? Key - Page->Address : 0;
  const uint64_t Offset = (FromPage + Step - 1) / Step * Step;
  return Offset < PageBytes && ((Page->Address + Offset) & ~GranuleMask) == Key;
}

void FIND::InsertPage(PAGE *Page) {
  ClaimExclusive();
  LinkOf(Page).Append(HashTable[HashIndex(Page->Address, HashShift, HashMask)]);
  const bool On = LookasideOn();
  // While the lookaside is off the page gets no entries, but an entry left
  // from before for an enclosing page must not go on standing for them.
  // The map's entries are exact (no other key shares them), so they are filed
  // whether or not the lookaside is on.
  ForEachLookasideKey(Page, [this, Page, On](uint64_t Key) {
    Map.Write(Key, Page);
    LOOKASIDE_ENTRY &Entry = Lookaside[HashIndex(Key, LookasideShift, LookasideMask)];
    if (On)
      Entry = LOOKASIDE_ENTRY{Key, Page};
    else if (Entry.Key == Key)
      Entry = LOOKASIDE_ENTRY{EmptyKey, EmptyPage()};
  });
  ++PageCount;
  if (Page->ParentBucket == NoBucket() && Page->Size > LargestTopPage)
    LargestTopPage = Page->Size;
  if (HashSize / 4 + PageCount > HashSize)
    ResizeHashTable();
  ReleaseExclusive();
}

void FIND::RemovePage(PAGE *Page) {
  ClaimExclusive();
  LinkOf(Page).Unlink(HashTable[HashIndex(Page->Address, HashShift, HashMask)]);
  // Emptied even while the lookaside is off: an entry must never outlive its
  // page, or a later lookup would be handed a descriptor in its next life.
  ForEachLookasideKey(Page, [this, Page](uint64_t Key) {
    Map.Erase(Key, Page);
    LOOKASIDE_ENTRY &Entry = Lookaside[HashIndex(Key, LookasideShift, LookasideMask)];
    if (Entry.Key == Key)
      Entry = LOOKASIDE_ENTRY{EmptyKey, EmptyPage()};
  });
  --PageCount;
  ReleaseExclusive();
}

PAGE *FIND::LocatePage(uint64_t Key, CACHE *Parent) {
  CHAIN &Chain = HashTable[HashIndex(Key, HashShift, HashMask)];
  for (CHAIN_LINK *Link = Chain.Last; Link != nullptr; Link = Link->Previous) {
    PAGE *Page = PageOfLink(Link);
    if (Page->Address == Key && Page->ParentBucket == Parent)
      return Page;
  }
  return nullptr;
}

PAGE *FIND::ProbeLookaside(uint64_t Address) {
  const uint64_t Key = Address & ~GranuleMask;
  const int32_t Lookups = LookasideLookups.load(std::memory_order_relaxed);
  if (Lookups < LookasideThreshold) {
    LookasideLookups.store(Lookups + 1, std::memory_order_relaxed);
    return nullptr;
  }
  if (PAGE *Mapped = Map.Read(Key))
    return Mapped;
  const LOOKASIDE_ENTRY &Entry = Lookaside[HashIndex(Key, LookasideShift, LookasideMask)];
  return Entry.Key == Key ? Entry.Page : nullptr;
}

// Inside: from the top cache, an address beyond the first top page of a large
// allocation is looked for too.
PAGE *FIND::PageFrom(uint64_t Address, CACHE *Cache, bool Inside) {
  if (Cache == nullptr)
    return nullptr;
  PAGE *Page = Cache->FindPage(Address, this);
  if (Page == nullptr && Inside && Cache->Parent == NoBucket())
    Page = FindEnclosingTopPage(Address);
  return Page;
}

PAGE *FIND::SearchFrom(uint64_t Address, CACHE *Cache, ELEMENT_INFO *Record, bool Inside) {
  PAGE *Page = PageFrom(Address, Cache, Inside);
  return Page == nullptr ? nullptr : Page->FindElement(Address, Record, this, true);
}

// Top-level pages start on top-page boundaries and never overlap, so the
// nearest one below decides; none can start further down than the largest.
PAGE *FIND::FindEnclosingTopPage(uint64_t Address) {
  const uint64_t Step = TopCacheMask + 1;
  const uint64_t Key = Address & ~TopCacheMask;
  for (uint64_t Back = Step; Back < static_cast<uint64_t>(LargestTopPage) && Back <= Key; Back += Step)
    if (PAGE *Page = LocatePage(Key - Back, NoBucket()))
      return Address - Page->Address < static_cast<uint64_t>(Page->Size) ? Page : nullptr;
  return nullptr;
}

bool FIND::Contains(void *Address, CACHE *Cache) {
  ClaimShared();
  PAGE *Page = PageFrom(reinterpret_cast<uint64_t>(Address), Cache, true);
  ReleaseShared();
  return Page != nullptr;
}

bool FIND::Delete(void *Address, CACHE *Cache, bool OwnPages) {
  const uint64_t Element = reinterpret_cast<uint64_t>(Address);
  // In the heap's own table, a page of the hinted cache is confirmed under
  // that cache's lock instead of read under this table's claim. The claim's
  // two atomic steps each wait for the descriptor's read, which in a random
  // release misses the cache, and keep the next release's read from
  // overlapping it.
  PAGE *Guess = Map.Read(Element);
  if (Guess != nullptr && OwnPages && Cache != nullptr && Guess->CurrentBucket() == Cache) {
    bool Mapped = false;
    const bool Deleted = Cache->DeleteMapped(Address, Guess, Map, Mapped);
    if (Mapped)
      return Deleted;
  } else if (Guess != nullptr) {
    // Asked for before the claim, the read that misses overlaps it.
    __builtin_prefetch(&Guess->Version);
  }
  ClaimShared();
  PAGE *Page = ProbeLookaside(Element);
  const bool Hit = Page != nullptr;
  if (!Hit)
    Page = SearchFrom(Element, Cache, nullptr);
  if (Page == nullptr) {
    ReleaseShared();
    return false;
  }
  const int32_t Version = Page->CurrentVersion();
  CACHE *Owner = Page->Bucket;
  if (Hit)
    ReleaseShared();
  else
    UpdateLookaside(Element, Page, Version);
  // Outside any claim of this table: the cache's lock guards the element, and
  // the version catches a page deleted in between.
  return Owner->Delete(Address, Page, Version);
}

bool FIND::DescribeAddress(void *Address, ELEMENT_INFO *Record, CACHE *Cache, int32_t &Size) {
  const uint64_t Element = reinterpret_cast<uint64_t>(Address);
  ClaimShared();
  PAGE *Entry = ProbeLookaside(Element);
  PAGE *Page = nullptr;
  if (Entry != nullptr)
    Page = Record != nullptr ? Entry->FindElement(Element, Record, this, true) : Entry;
  else
    Page = SearchFrom(Element, Cache, Record, true);
  if (Page != nullptr)
    Size = Page->ActualSize();
  if (Entry == nullptr && Page != nullptr)
    UpdateLookaside(Element, Page, Page->CurrentVersion());
  else
    ReleaseShared();
  return Page != nullptr;
}

bool FIND::WalkHeap(bool &InUse, void *&Address, CACHE *Cache, int32_t &Size) {
  const uint64_t Start = reinterpret_cast<uint64_t>(Address);
  ClaimShared();
  ELEMENT_INFO Record;
  bool Result = false;
  if (Start != 0) {
    PAGE *Entry = ProbeLookaside(Start);
    PAGE *Page = Entry != nullptr ? Entry : (Cache != nullptr ? Cache->FindPage(Start, this) : nullptr);
    PAGE *Found = Page != nullptr ? Page->FindElement(Start, &Record, this, true) : nullptr;
    if (Found != nullptr && Record.OnBoundary)
      Result = PAGE::WalkNext(Record, this);
    if (Result) {
      InUse = (LoadWord(*Record.Word) & Record.InUseMask) != 0;
      Address = reinterpret_cast<void *>(Record.Address);
      Size = Record.Page->ActualSize();
    }
    if (Entry == nullptr && Result && (Start & ~GranuleMask) == (Record.Address & ~GranuleMask))
      UpdateLookaside(Start, Found, Found->CurrentVersion());
    else
      ReleaseShared();
    return Result;
  }
  Record.Address = 0;
  Record.Bucket = Cache;
  Record.Page = nullptr;
  Result = Cache != nullptr && PAGE::WalkNext(Record, this);
  if (Result) {
    InUse = (LoadWord(*Record.Word) & Record.InUseMask) != 0;
    Address = reinterpret_cast<void *>(Record.Address);
    Size = Record.Page->ActualSize();
  }
  ReleaseShared();
  return Result;
}

void FIND::UpdateLookaside(uint64_t Address, PAGE *Page, int32_t Version) {
  if (!LookasideOn()) {
    ReleaseShared();
    return;
  }
  const bool Held = Locking();
  if (Held)
    ShareLock.ChangeSharedToExclusive();
  const uint64_t Key = Address & ~GranuleMask;
  // Only the page's own keys are written, those its removal will empty again.
  // While this claim waited, the page may have left the table: the page store
  // removes it before it destroys the descriptor, so the version alone still
  // matches in that gap, and the entry would outlive the page. Nor may a child
  // page have been made in the element meanwhile: an entry names the innermost
  // page, and hits are used without descending.
  if (Page->CurrentVersion() == Version && IsLookasideKeyOf(Key, Page) &&
      LocatePage(Page->Address, Page->ParentBucket) == Page && !HoldsChildPage(Page, Address)) {
    Map.Write(Key, Page);
    Lookaside[HashIndex(Key, LookasideShift, LookasideMask)] = LOOKASIDE_ENTRY{Key, Page};
  }
  if (Held)
    ShareLock.ReleaseExclusive();
}

// A parent's elements are whole granules (a page is never smaller than one),
// so the element at Address tells for its whole granule.
bool FIND::HoldsChildPage(PAGE *Page, uint64_t Address) {
  if (Page->Bucket->ChildCount <= 0)
    return false;
  ELEMENT_INFO Record;
  return Page->FindElement(Address, &Record, this, false) != nullptr &&
         PAGE::StateOf(Record) == ELEMENT_STATE::ChildPage;
}

void FIND::MovePages(CHAIN *OldTable, int32_t OldHashSize) {
  for (int32_t Index = 0; Index < OldHashSize; ++Index) {
    CHAIN &Chain = OldTable[Index];
    while (!Chain.Empty()) {
      CHAIN_LINK *Link = Chain.Last;
      PAGE *Page = PageOfLink(Link);
      Link->Unlink(Chain);
      Link->Append(HashTable[HashIndex(Page->Address, HashShift, HashMask)]);
    }
  }
}

bool FIND::TryClaimResizeLock() { return ResizeLock.TryAcquire(); }

void FIND::ResizeHashTable() {
  if (!Resizable || !TryClaimResizeLock())
    return;
  const int64_t NewHashSize = 2 * static_cast<int64_t>(HashSize);
  const int64_t NewLookasideSize = 2 * static_cast<int64_t>(LookasideSize);
  const int32_t Granule = BackEnd->AreaGranule();
  if (IsPowerOfTwo(Granule) && BlockFits(NewHashSize, NewLookasideSize) && HashSize / 4 + PageCount > HashSize) {
    // Lookups and updates go on while the back end is asked for memory.
    ReleaseExclusive();
    void *Block = BackEnd->NewArea(Granule - 1, BlockBytes(static_cast<int32_t>(NewHashSize), static_cast<int32_t>(NewLookasideSize)), false);
    auto *NewChains = static_cast<CHAIN *>(Block);
    if (Block != nullptr)
      EmptyArrays(NewChains, static_cast<int32_t>(NewHashSize), reinterpret_cast<LOOKASIDE_ENTRY *>(NewChains + NewHashSize),
                  static_cast<int32_t>(NewLookasideSize));
    ClaimExclusive();
    if (Block == nullptr) {
      Resizable = false;
    } else {
      CHAIN *OldTable = HashTable;
      const int32_t OldHashSize = HashSize;
      const int32_t OldLookasideSize = LookasideSize;
      int32_t HashBits = 0;
      int32_t LookasideBits = 0;
      PowerOfTwoShift(static_cast<int32_t>(NewHashSize), HashBits);
      PowerOfTwoShift(static_cast<int32_t>(NewLookasideSize), LookasideBits);
      HashSize = static_cast<int32_t>(NewHashSize);
      HashShift = 32 - HashBits;
      HashMask = HashSize - 1;
      LookasideSize = static_cast<int32_t>(NewLookasideSize);
      LookasideShift = 32 - LookasideBits;
      LookasideMask = LookasideSize - 1;
      HashTable = NewChains;
      Lookaside = reinterpret_cast<LOOKASIDE_ENTRY *>(NewChains + HashSize);
      MovePages(OldTable, OldHashSize);
      ReleaseExclusive();
      BackEnd->DeleteArea(OldTable, BlockBytes(OldHashSize, OldLookasideSize), false);
      ClaimExclusive();
    }
  }
  ResizeLock.Release();
}
