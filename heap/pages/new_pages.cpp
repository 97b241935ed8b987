#include "heap/pages/new_pages.h"

#include <cstring>
#include <new>

#include "heap/buckets/cache.h"
#include "heap/core/find.h"
#include "heap/pages/duzovev_back_end.h"
#include "heap/support/thread_safe.h"
#include "heap/support/bit_utilities.h"
#include "heap/support/software_failure.h"
#include "platform/virtual_memory.h"

namespace {
constexpr const char SetupMessage[] = "Setup of pages in constructor for NEW_PAGES";
constexpr const char NoMemoryMessage[] = "No memory in constructor for NEW_PAGES";
constexpr const char SizesMessage[] = "Sizes in constructor for NEW_PAGES";
constexpr const char AlignmentMessage[] = "Alignment of allocation in VerifyNewArea";
constexpr const char DeletingDataPageMessage[] = "Deleting data page in DeletePage";
constexpr const char ResetDataPageMessage[] = "Reset data page in DeleteAll";

// A descriptor tracks at most 65,535 elements: 16 per bit-vector word.
constexpr int64_t MaxTrackedElements = 65535;

static_assert(sizeof(SIZE_CLASS) == NEW_PAGES::SizeClassBytes, "size classes are counted as 64 bytes");
// The smallest slot (one bit-vector word) holds the descriptor's fields, its
// list, lookup and index links included; larger vectors leave more room.
static_assert(sizeof(PAGE) + sizeof(uint32_t) <= NEW_PAGES::CarveStep, "a descriptor fits the smallest slot");

bool VectorSizesAscend(const int32_t *VectorSizes, int32_t EntryCount) {
  int32_t Previous = 0;
  for (int32_t Entry = 0; Entry < EntryCount; ++Entry) {
    if (VectorSizes[Entry] <= Previous)
      return false;
    Previous = VectorSizes[Entry];
  }
  return true;
}

void *AsPointer(uint64_t Address) { return reinterpret_cast<void *>(Address); }

// An area-table entry: the area's start, which has at least the system page's
// low bits clear, with its size and kind in those bits. Bits 0-4: log2 of the
// size; bit 5: a descriptor area; bit 6: its memory given back; bits 7-11: the
// size class of its slots (UntrackedClass: too high a class to tell, and such
// an area is never given back).
constexpr uint64_t SizeBits = 0x1F;
constexpr uint64_t DescriptorArea = 0x20;
constexpr uint64_t Discarded = 0x40;
constexpr int32_t ClassShift = 7;
constexpr uint64_t UntrackedClass = 0x1F;
constexpr uint64_t EntryBits = 0xFFF;

uint64_t AreaEntry(const void *Area, int32_t Bytes) {
  int32_t Shift = 0;
  PowerOfTwoShift(Bytes, Shift);
  return reinterpret_cast<uint64_t>(Area) | static_cast<uint64_t>(Shift);
}
uint64_t DescriptorEntry(const void *Area, int32_t Bytes, int32_t SizeKey) {
  const uint64_t Class = SizeKey < static_cast<int32_t>(UntrackedClass) ? static_cast<uint64_t>(SizeKey) : UntrackedClass;
  return AreaEntry(Area, Bytes) | DescriptorArea | Class << ClassShift;
}
char *EntryStart(uint64_t Entry) { return reinterpret_cast<char *>(Entry & ~EntryBits); }
int32_t EntryBytes(uint64_t Entry) { return static_cast<int32_t>(1u << (Entry & SizeBits)); }
int32_t EntryClass(uint64_t Entry) { return static_cast<int32_t>((Entry >> ClassShift) & UntrackedClass); }

// Visits each slot of a descriptor area while Visit answers true; true when
// every slot was visited.
template <typename VISIT>
bool EverySlot(char *Area, int32_t Bytes, int32_t Slot, VISIT Visit) {
  for (int32_t Index = 0; Index < Bytes / Slot; ++Index)
    if (!Visit(reinterpret_cast<PAGE *>(Area + static_cast<size_t>(Index) * Slot)))
      return false;
  return true;
}

bool OnChain(const CHAIN &Chain, const CHAIN_LINK &Link) {
  return Link.Next != nullptr || Link.Previous != nullptr || Chain.First == &Link;
}
}  // namespace

NEW_PAGES::NEW_PAGES(const int32_t *VectorSizes, DUZOVEV_BACK_END *NewBackEnd, int32_t EntryCount,
                     THREAD_SAFE *NewThreadSafe)
    : BackEnd(NewBackEnd), ThreadSafe(NewThreadSafe), Lock(4096, 256) {
  const int32_t Granule = BackEnd->AreaGranule();
  // The first block must hold the size classes and at least one table entry.
  if (!IsPowerOfTwo(Granule) || Granule < SYSTEM_FACTS::SystemPageSize || VectorSizes == nullptr || EntryCount < 1 ||
      static_cast<int64_t>(VectorSizes[EntryCount - 1]) * 16 > MaxTrackedElements ||
      static_cast<int64_t>(EntryCount) * SizeClassBytes + 8 > Granule)
    SoftwareFailure(SetupMessage);
  // Checked before the first block is taken, so that a refused table leaks nothing.
  if (!VectorSizesAscend(VectorSizes, EntryCount))
    SoftwareFailure(SizesMessage);
  void *FirstBlock = BackEnd->NewArea(Granule - 1, Granule, false);
  if (FirstBlock == nullptr)
    SoftwareFailure(NoMemoryMessage);
  SizeClassCount = EntryCount;
  AreaTableCapacity = static_cast<int32_t>((static_cast<uint32_t>(Granule) - SizeClassBytes * static_cast<uint32_t>(EntryCount)) >> 3);
  AreaGranule = Granule;
  FirstBlockSize = Granule;
  SizeClasses = static_cast<SIZE_CLASS *>(FirstBlock);
  AreaTable = reinterpret_cast<uint64_t *>(static_cast<char *>(FirstBlock) + SizeClassBytes * EntryCount);
  for (int32_t Entry = 0; Entry < EntryCount; ++Entry) {
    SIZE_CLASS *Class = new (&SizeClasses[Entry]) SIZE_CLASS();
    Class->Capacity = 16 * VectorSizes[Entry];
    Class->VectorBytes = 4 * VectorSizes[Entry];
  }
}

// A store being destroyed has no other user, so its pages are wiped without
// its lock: held while each page leaves the address lookups, the lock would
// come before the lookup's, against the lock order.
NEW_PAGES::~NEW_PAGES() noexcept(false) {
  WipePages(false);
  CarveOffset = 0;
  CarveBlock = nullptr;
  for (int32_t Area = 0; Area < AreaCount; ++Area)
    BackEnd->DeleteArea(EntryStart(AreaTable[Area]), EntryBytes(AreaTable[Area]), false);
  AreaCount = 0;
  if (AreaTableBytes > 0)
    BackEnd->DeleteArea(AreaTable, AreaTableBytes, false);
  for (int32_t Class = 0; Class < SizeClassCount; ++Class) {
    SizeClasses[Class].ExternalPages.Reset();
    SizeClasses[Class].FreeDescriptors.Reset();
    SizeClasses[Class].InternalPages.Reset();
  }
  BackEnd->DeleteArea(SizeClasses, FirstBlockSize, false);
}

int16_t NEW_PAGES::FindSizeKey(int16_t ElementCount) const {
  for (int32_t Class = 0; Class < SizeClassCount; ++Class)
    if (SizeClasses[Class].Capacity >= ElementCount)
      return static_cast<int16_t>(Class);
  return -1;
}

void *NEW_PAGES::VerifyNewArea(int32_t AlignMask, int32_t Size, bool UserSpace) {
  void *Area = BackEnd->NewArea(AlignMask, Size, UserSpace);
  if (Area != nullptr && (reinterpret_cast<uintptr_t>(Area) & static_cast<uint32_t>(AlignMask)) != 0) {
    BackEnd->DeleteArea(Area, Size, UserSpace);
    SoftwareFailure(AlignmentMessage);
  }
  return Area;
}

void NEW_PAGES::GrowAreaTable() {
  const int64_t NewBytes = 2 * static_cast<int64_t>(AreaTableBytes > 0 ? AreaTableBytes : AreaGranule);
  if (NewBytes > INT32_MAX)
    return;
  auto *NewTable = static_cast<uint64_t *>(BackEnd->NewArea(AreaGranule - 1, static_cast<int32_t>(NewBytes), false));
  if (NewTable == nullptr)
    return;
  std::memcpy(NewTable, AreaTable, static_cast<size_t>(AreaTableCapacity) * sizeof(uint64_t));
  uint64_t *OldTable = AreaTable;
  const int32_t OldCapacity = AreaTableCapacity;
  const bool OldHadOwnBlock = AreaTableBytes > 0;
  AreaTableCapacity = static_cast<int32_t>(NewBytes / 8);
  AreaTableBytes = static_cast<int32_t>(NewBytes);
  AreaTable = NewTable;
  // A table still inside the first block is simply abandoned there.
  if (OldHadOwnBlock)
    BackEnd->DeleteArea(OldTable, OldCapacity * 8, false);
}

// A descriptor area given back before is carved again first; else a new one,
// as large as the class's descriptor areas so far (at least a granule, at most
// LargeAreaBytes), aligned to its size. Its area-table index, -1 when none.
int32_t NEW_PAGES::NewDescriptorArea(int32_t SizeKey) {
  int64_t ClassBytes = 0;
  for (int32_t Area = 0; Area < AreaCount; ++Area) {
    const uint64_t Entry = AreaTable[Area];
    if ((Entry & (DescriptorArea | Discarded)) == DescriptorArea && EntryClass(Entry) == SizeKey)
      ClassBytes += EntryBytes(Entry);
    if ((Entry & Discarded) != 0) {
      AreaTable[Area] = DescriptorEntry(EntryStart(Entry), EntryBytes(Entry), SizeKey);
      DiscardedBytes -= EntryBytes(Entry);
      return Area;
    }
  }
  if (AreaCount >= AreaTableCapacity)
    GrowAreaTable();
  if (AreaCount >= AreaTableCapacity)
    return -1;
  int32_t Bytes = AreaGranule;
  while (Bytes < LargeAreaBytes && Bytes < ClassBytes)
    Bytes *= 2;
  char *Area = static_cast<char *>(VerifyNewArea(Bytes - 1, Bytes, false));
  if (Area == nullptr)
    return -1;
  if (Bytes >= LargeAreaBytes)
    platform::PreferLargePages(Area, static_cast<uint64_t>(Bytes));
  AreaTable[AreaCount] = DescriptorEntry(Area, Bytes, SizeKey);
  DescriptorBytes += Bytes;
  return AreaCount++;
}

// Carves the slots that start in the next system page of the class's current
// area (at least one), taking a new area when it is used up. Slots are carved
// only as they are needed: a class that uses a few descriptors writes, and so
// makes resident, a few pages of its area rather than all of it.
bool NEW_PAGES::MakeDescriptors(SIZE_CLASS &Class, CACHE *Bucket) {
  const int32_t Slot = SlotSize(Class.VectorBytes);
  if (AreaGranule / Slot <= 0)
    return false;
  if (Class.CarveArea < 0 || Class.CarvedBytes + Slot > EntryBytes(AreaTable[Class.CarveArea])) {
    const int32_t Area = NewDescriptorArea(static_cast<int32_t>(&Class - SizeClasses));
    if (Area < 0)
      return false;
    Class.CarveArea = Area;
    Class.CarvedBytes = 0;
  }
  const int32_t AreaBytes = EntryBytes(AreaTable[Class.CarveArea]);
  const int32_t PageEnd = (Class.CarvedBytes / SYSTEM_FACTS::SystemPageSize + 1) * SYSTEM_FACTS::SystemPageSize;
  char *Start = EntryStart(AreaTable[Class.CarveArea]);
  do {
    PAGE *Page = new (Start + Class.CarvedBytes) PAGE(0, Bucket, 0, nullptr, 0);
    Page->Destroy();
    Page->StoreLink.Append(Class.FreeDescriptors);
    Class.CarvedBytes += Slot;
  } while (Class.CarvedBytes < PageEnd && Class.CarvedBytes + Slot <= AreaBytes);
  return true;
}

// The bytes of a descriptor area that hold slots: all of them, but in the
// area its class is still carving.
int32_t NEW_PAGES::CarvedBytesOf(int32_t Area) const {
  const uint64_t Entry = AreaTable[Area];
  const int32_t Class = EntryClass(Entry);
  if (Class < SizeClassCount && SizeClasses[Class].CarveArea == Area)
    return SizeClasses[Class].CarvedBytes;
  return EntryBytes(Entry);
}

// Every carved slot destroyed and waiting on its class's free chain: a slot
// that NewPage has taken is off the chain while its memory is obtained.
bool NEW_PAGES::AreaIsUnused(int32_t Area) const {
  const uint64_t Entry = AreaTable[Area];
  const int32_t Class = EntryClass(Entry);
  if ((Entry & (DescriptorArea | Discarded)) != DescriptorArea || Class == static_cast<int32_t>(UntrackedClass) ||
      Class >= SizeClassCount)
    return false;
  const CHAIN &Free = SizeClasses[Class].FreeDescriptors;
  return EverySlot(EntryStart(Entry), CarvedBytesOf(Area), SlotSize(SizeClasses[Class].VectorBytes),
                   [&Free](const PAGE *Page) { return (Page->CurrentVersion() & 1) != 0 && OnChain(Free, Page->StoreLink); });
}

void NEW_PAGES::DiscardUnusedAreas() {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  for (int32_t Area = 0; Area < AreaCount; ++Area) {
    const uint64_t Entry = AreaTable[Area];
    if (!AreaIsUnused(Area))
      continue;
    SIZE_CLASS &Class = SizeClasses[EntryClass(Entry)];
    EverySlot(EntryStart(Entry), CarvedBytesOf(Area), SlotSize(Class.VectorBytes), [&Class](PAGE *Page) {
      Page->StoreLink.Unlink(Class.FreeDescriptors);
      return true;
    });
    // Its slots are carved afresh, in whichever class takes the area next.
    if (Class.CarveArea == Area)
      Class.CarveArea = -1;
    platform::DiscardPages(EntryStart(Entry), static_cast<uint64_t>(EntryBytes(Entry)));
    AreaTable[Area] = Entry | Discarded;
    DiscardedBytes += EntryBytes(Entry);
  }
}

int32_t NEW_PAGES::PageAlignMask(const CACHE *Bucket) const {
  // Before a heap names its top cache, a page is aligned to its own size,
  // which is what looking a page up by its address needs.
  return (TopCache != nullptr ? TopCache->PageSize : Bucket->PageSize) - 1;
}

PAGE *NEW_PAGES::NewPage(CACHE *Bucket, int32_t PageBytes) {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  if (Bucket->SizeKey < 0 || Bucket->SizeKey >= SizeClassCount)
    return nullptr;
  SIZE_CLASS &Class = SizeClasses[Bucket->SizeKey];
  if (Class.FreeDescriptors.Empty())
    MakeDescriptors(Class, Bucket);
  if (Class.FreeDescriptors.Empty())
    return nullptr;
  PAGE *Page = PAGE::FromStoreLink(Class.FreeDescriptors.Last);
  Page->StoreLink.Unlink(Class.FreeDescriptors);
  Claim.Release();

  // The memory is obtained unlocked: the parent cache and the back end may take
  // their own locks and time.
  const bool Parentless = Bucket->Parent == NoBucket();
  int32_t Bytes = PageBytes;
  CACHE *Parent = NoBucket();
  void *Memory = nullptr;
  if (Parentless || PageBytes != -1) {
    if (Bytes == -1)
      Bytes = Bucket->PageSize;
    Memory = VerifyNewArea(PageAlignMask(Bucket), Bytes, true);
  } else {
    Parent = Bucket->Parent;
    Memory = Parent->NewDataPage();
  }

  Claim.Claim();
  if (Memory == nullptr) {
    Page->StoreLink.Append(Class.FreeDescriptors);
    return nullptr;
  }
  // Wraps after 2^31 pages without ever turning odd.
  VersionCounter = static_cast<int32_t>(static_cast<uint32_t>(VersionCounter) + 2u);
  Page->Build(reinterpret_cast<uint64_t>(Memory), Bucket, Bytes, Parent, VersionCounter);
  Bucket->InsertInBucketList(Page);
  Page->StoreLink.Append(Parentless ? Class.ExternalPages : Class.InternalPages);
  Claim.Release();
  // The address lookups come after the store in the lock order: register the
  // page once the store's lock is given back. Until then no address inside the
  // page has been handed out, and the caller's cache lock keeps it private.
  Bucket->InsertInFind(Page);
  return Page;
}

void NEW_PAGES::DeletePage(PAGE *Page) {
  const uint64_t Address = Page->Address;
  CACHE *Bucket = Page->Bucket;
  const int32_t Size = Page->Size;
  // Unregistered before the store's lock is claimed, as in NewPage.
  Bucket->DeleteFromFind(Page);
  {
    GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
    SIZE_CLASS &Class = SizeClasses[Bucket->SizeKey];
    if (Page->Available > 0)
      Bucket->DeleteFromBucketList(Page);
    Page->StoreLink.Unlink(Bucket->Parent == NoBucket() ? Class.ExternalPages : Class.InternalPages);
    Page->Destroy();
    Page->StoreLink.Append(Class.FreeDescriptors);
  }
  if (Size == -1) {
    if (!Bucket->Parent->DeleteDataPage(AsPointer(Address)))
      SoftwareFailure(DeletingDataPageMessage);
  } else {
    BackEnd->DeleteArea(AsPointer(Address), Size, true);
  }
}

void NEW_PAGES::DropPage(SIZE_CLASS &Class, CHAIN &Chain, PAGE *Page) {
  CACHE *Bucket = Page->Bucket;
  if (Page->Available > 0)
    Bucket->DeleteFromBucketList(Page);
  Bucket->DeleteFromFind(Page);
  Page->StoreLink.Unlink(Chain);
  Page->Destroy();
  Page->StoreLink.Append(Class.FreeDescriptors);
}

void NEW_PAGES::ReleaseInternalPages(SIZE_CLASS &Class, bool KeepMemory) {
  CHAIN_LINK *Link = Class.InternalPages.Last;
  while (Link != nullptr) {
    PAGE *Page = PAGE::FromStoreLink(Link);
    const uint64_t Address = Page->Address;
    CACHE *Bucket = Page->Bucket;
    const int32_t Size = Page->Size;
    if (Size != -1) {
      BackEnd->DeleteArea(AsPointer(Address), Size, true);
    } else if (KeepMemory) {
      // Callers' elements are forgotten. A page that still lends child pages
      // stays; one that is left empty goes back to its parent, so that the
      // parent can empty in turn and the top cache can trim.
      if (Page->Allocated > 0)
        Page->ResetPage();
      if (Page->Allocated > 0) {
        Link = Link->Previous;
        continue;
      }
      // Giving the memory back may delete the parent's page, which can be
      // this page's neighbour on the chain: read the neighbour afterwards.
      if (!Bucket->Parent->DeleteDataPage(AsPointer(Address)))
        SoftwareFailure(ResetDataPageMessage);
    }
    CHAIN_LINK *Previous = Link->Previous;
    DropPage(Class, Class.InternalPages, Page);
    Link = Previous;
  }
}

void NEW_PAGES::DeleteAll(bool KeepMemory) {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  WipePages(KeepMemory);
}

void NEW_PAGES::WipePages(bool KeepMemory) {
  for (int32_t Index = 0; Index < SizeClassCount; ++Index) {
    SIZE_CLASS &Class = SizeClasses[Index];
    ReleaseInternalPages(Class, KeepMemory);
    if (KeepMemory)
      continue;
    while (!Class.ExternalPages.Empty()) {
      PAGE *Page = PAGE::FromStoreLink(Class.ExternalPages.Last);
      BackEnd->DeleteArea(AsPointer(Page->Address), Page->Size, true);
      DropPage(Class, Class.ExternalPages, Page);
    }
  }
  if (!KeepMemory)
    return;
  // The pages straight from the back end stay, but what their buckets handed
  // to callers is forgotten like everything else; the heap trims them after.
  for (int32_t Index = 0; Index < SizeClassCount; ++Index)
    for (CHAIN_LINK *Link = SizeClasses[Index].ExternalPages.Last; Link != nullptr; Link = Link->Previous)
      PAGE::FromStoreLink(Link)->ResetPage();
}

PAGE *NEW_PAGES::LastInternalPageFrom(int32_t FirstClass) {
  for (int32_t Index = FirstClass; Index < SizeClassCount; ++Index)
    if (!SizeClasses[Index].InternalPages.Empty())
      return PAGE::FromStoreLink(SizeClasses[Index].InternalPages.Last);
  return nullptr;
}

int32_t NEW_PAGES::ClassOfFirstInternalPage(const PAGE *Page) const {
  for (int32_t Index = 0; Index < SizeClassCount; ++Index)
    if (SizeClasses[Index].InternalPages.First == &Page->StoreLink)
      return Index;
  return -1;
}

PAGE *NEW_PAGES::WalkPageAfter(const PAGE *Page) {
  if (Page->StoreLink.Previous != nullptr)
    return PAGE::FromStoreLink(Page->StoreLink.Previous);
  const int32_t Class = ClassOfFirstInternalPage(Page);
  return Class >= 0 ? LastInternalPageFrom(Class + 1) : nullptr;
}

bool NEW_PAGES::NextWalkPage(ELEMENT_INFO &Walk, FIND *Find) {
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  PAGE *Next = Walk.Address == 0 || Walk.Page == nullptr ? LastInternalPageFrom(0) : WalkPageAfter(Walk.Page);
  // A page on its chain but not in the walk's lookup is being made or deleted
  // on another thread, and its descriptor may be destroyed or rebuilt as soon
  // as this lock is given back. A filed page stays while the walk's claim on
  // the lookup lasts.
  while (Next != nullptr && Find != nullptr && Find->LocatePage(Next->Address, Next->ParentBucket) != Next)
    Next = WalkPageAfter(Next);
  if (Next == nullptr) {
    Walk.Address = 0;
    return false;
  }
  Walk.Page = Next;
  Walk.Address = Next->Address;
  Next->FindElement(Next->Address, &Walk, Find, false);
  return true;
}

void *NEW_PAGES::NewPermanentArea(int32_t Size) {
  if (Size <= 0)
    return nullptr;
  GROUP_LOCK_GUARD Claim(ThreadSafe, Lock);
  if (CarveBlock == nullptr || static_cast<int64_t>(CarveOffset) + Size > AreaGranule) {
    if (AreaCount >= AreaTableCapacity)
      GrowAreaTable();
    if (Size >= AreaGranule || AreaCount >= AreaTableCapacity)
      return nullptr;
    char *Block = static_cast<char *>(VerifyNewArea(AreaGranule - 1, AreaGranule, false));
    if (Block == nullptr)
      return nullptr;
    AreaTable[AreaCount++] = AreaEntry(Block, AreaGranule);
    CarveBlock = Block;  // the rest of the previous block is abandoned
    CarveOffset = 0;
  }
  void *Result = CarveBlock + CarveOffset;
  CarveOffset = (CarveOffset + Size + CarveStep - 1) & ~(CarveStep - 1);
  return Result;
}
