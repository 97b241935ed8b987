#include "malloc/allocator.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "heap/frontend/duzovev_front_end.h"
#include "heap/frontend/process_objects.h"
#include "heap/pages/duzovev_back_end.h"
#include "malloc/large_reserve.h"
#include "malloc/large_spans.h"
#include "malloc/process_heap.h"
#include "malloc/statistics.h"
#include "platform/virtual_memory.h"

namespace dropin {

namespace {

constexpr uint64_t PageBytes = ADDRESS_MAP::PageBytes;
constexpr uint64_t MaxPages = MaxRequestBytes / PageBytes;
constexpr uint64_t MarkedBytes = ADDRESS_MAP::MarkedBytes;

// Pages of large allocations handed out and not yet freed: the reserve may
// keep a quarter as much again.
constinit std::atomic<uint64_t> LiveLargePages{0};

void *NoMemory() {
  errno = ENOMEM;
  return nullptr;
}

uint64_t PagesFor(size_t Bytes) { return Bytes == 0 ? 1 : Bytes / PageBytes + (Bytes % PageBytes != 0 ? 1 : 0); }

// The heap for a request that is not served by a thread cache.
DUZOVEV_FRONT_END *ReadyHeap(bool &Bootstrap) {
  Bootstrap = false;
  switch (PROCESS_HEAP::Prepare()) {
    case PROCESS_HEAP::ACCESS::Heap:
      return PROCESS_HEAP::Heap();
    case PROCESS_HEAP::ACCESS::Bootstrap:
      Bootstrap = true;
      return nullptr;
    case PROCESS_HEAP::ACCESS::None:
      break;
  }
  return nullptr;
}

void ReleaseLargeBlock(void *Block) {
  if (HEAP_CALL::Inside())
    return;  // kept out of circulation: the heap cannot be entered twice
  HEAP_CALL Call;
  PROCESS_HEAP::Heap()->Delete(Block, 0);
}

void *AllocateAligned(size_t Alignment, size_t Bytes) {
  const uint64_t Pages = PagesFor(Bytes);
  bool Bootstrap = false;
  if (Pages > MaxPages || Alignment > (size_t{1} << 30) || ReadyHeap(Bootstrap) == nullptr)
    return NoMemory();
  void *Area = ProcessBackEnd().NewArea(static_cast<int32_t>(Alignment - 1), static_cast<int32_t>(Pages * PageBytes),
                                        true);
  if (Area == nullptr)
    return NoMemory();
  if (!ADDRESS_MAP::Cover(Area, MarkedBytes)) {
    ProcessBackEnd().DeleteArea(Area, static_cast<int32_t>(Pages * PageBytes), true);
    return NoMemory();
  }
  ADDRESS_MAP::SetPages(Area, Pages);
  STATISTICS::BlockAdded(BLOCK_KIND::Aligned, Pages * PageBytes);
  ADDRESS_MAP::Mark(Area, ADDRESS_MAP::AlignedMark);
  return Area;
}

// Mappings of the system's own, counted with the memory the heap takes.
void *MapCounted(uint64_t Bytes) {
  void *Area = platform::MapPages(Bytes);
  if (Area != nullptr)
    STATISTICS::SystemMapped(Bytes, 0);
  return Area;
}

void UnmapCounted(void *Area, uint64_t Bytes) {
  if (platform::UnmapPages(Area, Bytes))
    STATISTICS::SystemMapped(0, Bytes);
}

// Pages mapped straight from the system (Target, when given, is such a
// mapping of Pages pages already), marked. Null when refused.
void *AllocateMapped(uint64_t Pages, void *Target = nullptr) {
  if (Pages > ADDRESS_MAP::MaxPages)
    return NoMemory();
  void *Area = Target != nullptr ? Target : MapCounted(Pages * PageBytes);
  if (Area == nullptr)
    return NoMemory();
  if (!ADDRESS_MAP::Cover(Area, MarkedBytes)) {
    UnmapCounted(Area, Pages * PageBytes);
    return NoMemory();
  }
  ADDRESS_MAP::SetPages(Area, Pages);
  STATISTICS::BlockAdded(BLOCK_KIND::Large, Pages * PageBytes);
  ADDRESS_MAP::Mark(Area, ADDRESS_MAP::MappedMark);
  return Area;
}

// A large block resized to Bytes as a mapping of its own. A mapping grows or
// shrinks where it is when the system can, else its pages move to a new
// place; any other block is copied into a new mapping. Growth takes a quarter
// more room than asked, so that a block grown in small steps moves (or is
// copied) only a logarithmic number of times. Null when refused (the block is
// then unchanged).
void *ResizeMapped(void *Address, uint8_t Mark, size_t Current, size_t Bytes) {
  const uint64_t CurrentPages = Current / PageBytes;
  const uint64_t Room = CurrentPages + CurrentPages / 4;
  uint64_t Pages = PagesFor(Bytes);
  if (Bytes > Current && Pages < Room && Room <= ADDRESS_MAP::MaxPages)
    Pages = Room;
  if (Pages > ADDRESS_MAP::MaxPages)
    return NoMemory();
  if (Mark == ADDRESS_MAP::MappedMark && platform::RemapPages(Address, Current, Pages * PageBytes, nullptr)) {
    ADDRESS_MAP::SetPages(Address, Pages);
    STATISTICS::BlockResized(BLOCK_KIND::Large, Current, Pages * PageBytes);
    STATISTICS::SystemMapped(Pages * PageBytes, Current);
    return Address;
  }
  void *Target = MapCounted(Pages * PageBytes);
  if (Target == nullptr || !ADDRESS_MAP::Cover(Target, MarkedBytes)) {
    if (Target != nullptr)
      UnmapCounted(Target, Pages * PageBytes);
    return NoMemory();
  }
  if (Mark != ADDRESS_MAP::MappedMark) {
    std::memcpy(Target, Address, Current < Bytes ? Current : Bytes);
    Free(Address);
    return AllocateMapped(Pages, Target);
  }
  // The old place is unmarked before it is given up: the system may hand it
  // to another thread, whose marks must not be overwritten.
  ADDRESS_MAP::ClearPages(Address);
  ADDRESS_MAP::Mark(Address, 0);
  STATISTICS::BlockRemoved(BLOCK_KIND::Large, Current);
  if (platform::RemapPages(Address, Current, Pages * PageBytes, Target)) {
    STATISTICS::SystemMapped(0, Current);
  } else {
    std::memcpy(Target, Address, Current < Bytes ? Current : Bytes);
    UnmapCounted(Address, Current);
  }
  return AllocateMapped(Pages, Target);
}

// A pointer that was never ours cannot be measured: it is counted instead.
size_t Measure(const void *Address, uint8_t Mark) {
  if (ADDRESS_MAP::IsMark(Mark)) {
    const uint32_t Class = Mark - 1u;
    if (Class < static_cast<uint32_t>(ClassCount))
      return static_cast<size_t>(ClassBytes[Class]);
    return ADDRESS_MAP::Pages(Address) * PageBytes;
  }
  if (PROCESS_HEAP::IsBootstrap(Address))
    return PROCESS_HEAP::BootstrapSize(Address);
  STATISTICS::Refused(Address, "malloc_usable_size");
  return 0;
}

// The calling thread's cache block, when its lists are open: its own span
// counts and reserve.
THREAD_CACHE *OwnBlock() { return ThreadCache->State == THREAD_CACHE::Open ? ThreadCache : nullptr; }

THREAD_COUNTS *OwnCounts() {
  THREAD_CACHE *Own = OwnBlock();
  return Own != nullptr ? &Own->Counts : nullptr;
}

// Whether a live allocation of Current bytes and this mark can take Bytes
// where it is: a class element that holds the request and is less than
// twice its size (four times from 2 KiB on), or of the request's own class
// (a program that trims a buffer by a little then pays no copy; four times
// for every class held on to Python's many shrunken small strings: 190 MiB
// at peak against 132, where elements of 2 KiB and more add 1 MiB); a span
// that stays above half the largest class (a page rounds such a request up
// by less than a quarter), whose tail is freed; or another block that holds
// the request and is not more than twice its size. (A span grows in place
// in GrowSpan.)
bool ResizeInPlace(void *Address, uint8_t Mark, size_t Current, size_t Bytes) {
  const uint32_t Class = Mark - 1u;
  if (Class < static_cast<uint32_t>(ClassCount)) {
    const size_t Least = Current / (Current >= 2048 ? 4 : 2);
    return Bytes <= Current && (Bytes > Least || ClassOf(Bytes) == static_cast<int32_t>(Class));
  }
  const uint64_t Pages = PagesFor(Bytes);
  if (Mark == ADDRESS_MAP::SpanMark && Bytes <= Current && Bytes > static_cast<size_t>(MaxClassBytes) / 2) {
    if (Pages < Current / PageBytes) {
      LARGE_SPANS::Shrink(Address, Current / PageBytes, Pages, OwnCounts());
      ADDRESS_MAP::SetPages(Address, Pages);
    }
    return true;
  }
  return Bytes <= Current && Bytes > Current / 2;
}

// Hands out a span of Pages that the spans gave (null: none); the spans
// take it back unused when the map cannot cover it.
void *MarkSpan(void *Span, uint64_t Pages, THREAD_COUNTS *Own) {
  if (Span == nullptr)
    return NoMemory();
  if (!ADDRESS_MAP::Cover(Span, MarkedBytes)) {
    LARGE_SPANS::Release(Span, Pages, Own, false);
    return NoMemory();
  }
  ADDRESS_MAP::SetPages(Span, Pages);
  ADDRESS_MAP::Mark(Span, ADDRESS_MAP::SpanMark);
  return Span;
}

// A span of the thread's reserve (covered by the map since it was first
// handed out), else one of the spans.
void *AllocateSpan(uint64_t Pages) {
  THREAD_CACHE *Own = OwnBlock();
  if (Own == nullptr)
    return MarkSpan(LARGE_SPANS::Allocate(Pages), Pages, nullptr);
  uint64_t Found = 0;
  if (void *Span = LARGE_SPANS::Take(Own->SpanReserve, Own->Counts, Pages, Found)) {
    ADDRESS_MAP::SetPages(Span, Found);
    ADDRESS_MAP::Mark(Span, ADDRESS_MAP::SpanMark);
    return Span;
  }
  return MarkSpan(LARGE_SPANS::Allocate(Pages, &Own->Counts), Pages, &Own->Counts);
}

// The block at Address takes Moved's place: the mark's atomic step comes
// before the copy (after it, it would wait for the copy's stores to drain).
void *MoveTo(void *Moved, void *Address, size_t Bytes) {
  const uint8_t Taken = TakeMark(Address);
  std::memcpy(Moved, Address, Bytes);
  ReleaseTaken(Address, Taken);
  return Moved;
}

// A span grown to Bytes (within the spans): into the free span behind it,
// else moved into a span of Room pages found in the same hold of the spans'
// lock, else into whatever a plain request gets. Null when refused.
void *GrowSpan(void *Address, size_t Current, size_t Bytes, size_t Room) {
  const uint64_t Pages = PagesFor(Bytes);
  const uint64_t RoomPages = PagesFor(Room);
  THREAD_COUNTS *Own = OwnCounts();
  void *Span = LARGE_SPANS::Resize(Address, Current / PageBytes, Pages, RoomPages, Own);
  if (Span == Address) {
    ADDRESS_MAP::SetPages(Address, Pages);
    return Address;
  }
  const int Errno = errno;
  void *Moved = MarkSpan(Span, RoomPages, Own);
  if (Moved == nullptr) {
    errno = Errno;  // the room was refused, not yet the request
    Moved = Malloc(Bytes);
  }
  return Moved == nullptr ? nullptr : MoveTo(Moved, Address, Current);
}

// An allocation of the heap's large cache (or the reserve), aligned to 65,536.
void *AllocateFromLargeCache(uint64_t Pages, bool *Fresh) {
  bool Bootstrap = false;
  DUZOVEV_FRONT_END *Heap = ReadyHeap(Bootstrap);
  if (Heap == nullptr) {
    if (Fresh != nullptr)
      *Fresh = true;  // the bootstrap buffer is never reused
    return Bootstrap ? PROCESS_HEAP::BootstrapAllocate(Pages * PageBytes) : NoMemory();
  }
  uint64_t Found = 0;
  void *Block = LARGE_RESERVE::Take(Pages, Found);
  if (Block != nullptr) {
    if (Fresh != nullptr)
      *Fresh = false;
  } else {
    if (HEAP_CALL::Inside())
      return NoMemory();
    {
      HEAP_CALL Call;
      Block = Heap->New(static_cast<int32_t>(Pages * PageBytes));
    }
    if (Block == nullptr)
      return NoMemory();
    if (!ADDRESS_MAP::Cover(Block, MarkedBytes)) {
      ReleaseLargeBlock(Block);
      return NoMemory();
    }
    // The large cache maps a fresh area for every allocation.
    if (Fresh != nullptr)
      *Fresh = true;
    Found = Pages;
  }
  LiveLargePages.fetch_add(Found, std::memory_order_relaxed);
  ADDRESS_MAP::SetPages(Block, Found);
  STATISTICS::BlockAdded(BLOCK_KIND::Large, Found * PageBytes);
  ADDRESS_MAP::Mark(Block, ADDRESS_MAP::LargeMark);
  return Block;
}

}  // namespace

// Up to MaxSpanPages pages from the spans, whose pages are reused where they
// are; more from the heap's large cache; beyond its 32-bit sizes, a mapping.
void *AllocateLarge(size_t Bytes, bool *Fresh) {
  const uint64_t Pages = PagesFor(Bytes);
  if (Pages > MaxPages) {
    if (Fresh != nullptr)
      *Fresh = true;
    return Bytes > ADDRESS_MAP::MaxPages * PageBytes ? NoMemory() : AllocateMapped(Pages);
  }
  if (Pages > LARGE_SPANS::MaxSpanPages)
    return AllocateFromLargeCache(Pages, Fresh);
  bool Bootstrap = false;
  if (ReadyHeap(Bootstrap) == nullptr) {
    if (Fresh != nullptr)
      *Fresh = true;  // the bootstrap buffer is never reused
    return Bootstrap ? PROCESS_HEAP::BootstrapAllocate(Bytes) : NoMemory();
  }
  if (Fresh != nullptr)
    *Fresh = false;
  return AllocateSpan(Pages);
}

void ReleaseOther(void *Address, uint8_t Mark) {
  if (Mark == ADDRESS_MAP::LargeMark) {
    const uint64_t Pages = ADDRESS_MAP::Pages(Address);
    ADDRESS_MAP::ClearPages(Address);
    STATISTICS::BlockRemoved(BLOCK_KIND::Large, Pages * PageBytes);
    const uint64_t Live = LiveLargePages.fetch_sub(Pages, std::memory_order_relaxed) - Pages;
    if (!LARGE_RESERVE::Give(Address, Pages, Live))
      ReleaseLargeBlock(Address);
  } else if (Mark == ADDRESS_MAP::SpanMark) {
    const uint64_t Pages = ADDRESS_MAP::Pages(Address);
    ADDRESS_MAP::ClearPages(Address);
    THREAD_CACHE *Own = OwnBlock();
    if (Own == nullptr)
      LARGE_SPANS::Release(Address, Pages);
    else if (!LARGE_SPANS::Keep(Own->SpanReserve, Own->Counts, Address, Pages))
      LARGE_SPANS::Release(Address, Pages, &Own->Counts);
  } else if (Mark == ADDRESS_MAP::MappedMark) {
    const uint64_t Pages = ADDRESS_MAP::Pages(Address);
    ADDRESS_MAP::ClearPages(Address);
    STATISTICS::BlockRemoved(BLOCK_KIND::Large, Pages * PageBytes);
    UnmapCounted(Address, Pages * PageBytes);
  } else if (Mark == ADDRESS_MAP::AlignedMark) {
    const uint64_t Pages = ADDRESS_MAP::Pages(Address);
    ADDRESS_MAP::ClearPages(Address);
    STATISTICS::BlockRemoved(BLOCK_KIND::Aligned, Pages * PageBytes);
    try {
      ProcessBackEnd().DeleteArea(Address, static_cast<int32_t>(Pages * PageBytes), true);
    } catch (...) {  // the system refused to unmap: the area stays mapped, unused
    }
  } else if (!PROCESS_HEAP::IsBootstrap(Address)) {
    STATISTICS::Refused(Address, "free");
  }
}

void *Calloc(size_t Count, size_t Size) {
  size_t Bytes = 0;
  if (__builtin_mul_overflow(Count, Size, &Bytes))
    return NoMemory();
  if (Bytes > static_cast<size_t>(MaxClassBytes)) {
    bool Fresh = false;
    void *Block = AllocateLarge(Bytes, &Fresh);
    // A fresh area is zero already; writing it would make every page resident.
    if (Block != nullptr && !Fresh)
      std::memset(Block, 0, Bytes);
    return Block;
  }
  void *Element = Malloc(Bytes);
  if (Element != nullptr)
    std::memset(Element, 0, Bytes);
  return Element;
}

void *Realloc(void *Address, size_t Bytes) {
  if (Address == nullptr)
    return Malloc(Bytes);
  if (Bytes == 0) {
    Free(Address);
    return nullptr;
  }
  const uint8_t Mark = ADDRESS_MAP::Read(Address);
  const bool Bootstrap = !ADDRESS_MAP::IsMark(Mark) && PROCESS_HEAP::IsBootstrap(Address);
  if (!ADDRESS_MAP::IsMark(Mark) && !Bootstrap) {
    STATISTICS::Refused(Address, "realloc");
    errno = EINVAL;
    return nullptr;  // the pointer stays what it was; nothing is freed or copied
  }
  const size_t Current = Measure(Address, Mark);
  if (!Bootstrap && ResizeInPlace(Address, Mark, Current, Bytes))
    return Address;
  constexpr size_t SpanBytes = LARGE_SPANS::MaxSpanPages * PageBytes;
  const bool Large = Current > static_cast<size_t>(MaxClassBytes);
  if (!Bootstrap && Large && Bytes > SpanBytes && (Bytes > Current || Mark == ADDRESS_MAP::MappedMark))
    return ResizeMapped(Address, Mark, Current, Bytes);
  // A block that outgrows its place and lands in the spans takes half as
  // much again, so that the next growth by as much stays where it is: spans
  // are carved best fit, and the pages behind one are seldom free.
  size_t Target = Bytes;
  if (Bytes > Current && Bytes > static_cast<size_t>(MaxClassBytes) && Bytes <= SpanBytes)
    Target = Bytes + Bytes / 2 < SpanBytes ? Bytes + Bytes / 2 : SpanBytes;
  if (Mark == ADDRESS_MAP::SpanMark && Bytes > Current && Bytes <= SpanBytes)
    return GrowSpan(Address, Current, Bytes, Target);
  const int Errno = errno;
  void *Moved = Malloc(Target);
  if (Moved == nullptr && Target != Bytes) {
    errno = Errno;  // the room was refused, not yet the request
    Moved = Malloc(Bytes);
  }
  return Moved == nullptr ? nullptr : MoveTo(Moved, Address, Current < Bytes ? Current : Bytes);
}

void *Memalign(size_t Alignment, size_t Bytes) {
  if (Alignment <= 16)
    return Malloc(Bytes);
  if (Bytes > MaxRequestBytes)
    return Alignment <= LARGE_SPANS::PageBytes ? AllocateLarge(Bytes, nullptr) : NoMemory();
  const int32_t Class = AlignedClassOf(Bytes, Alignment);
  if (Class >= 0)
    return THREAD_CACHE::Allocate(Class);
  const size_t Large = Bytes > MaxClassBytes ? Bytes : MaxClassBytes + 1;
  if (Alignment <= LARGE_SPANS::PageBytes)
    return AllocateLarge(Large, nullptr);
  if (Alignment <= LargeAlignment)
    return PagesFor(Large) > MaxPages ? NoMemory() : AllocateFromLargeCache(PagesFor(Large), nullptr);
  return AllocateAligned(Alignment, Bytes);
}

size_t UsableSize(const void *Address) {
  if (Address == nullptr)
    return 0;
  return Measure(Address, ADDRESS_MAP::Read(Address));
}

bool Check(const void *Address) {
  if (Address == nullptr)
    return true;
  const uint8_t Mark = ADDRESS_MAP::Read(Address);
  DUZOVEV_FRONT_END *Heap = PROCESS_HEAP::Heap();
  if (!ADDRESS_MAP::IsMark(Mark) || Heap == nullptr)
    return false;
  if (Mark == ADDRESS_MAP::AlignedMark || Mark == ADDRESS_MAP::SpanMark || Mark == ADDRESS_MAP::MappedMark)
    return true;
  int32_t Size = 0;
  if (HEAP_CALL::Inside())
    return false;
  HEAP_CALL Call;
  return Heap->CheckAddress(const_cast<void *>(Address), &Size) && static_cast<size_t>(Size) == Measure(Address, Mark);
}

// The heap's elements first, then the spans. An element the heap counts as
// handed out is in use for the caller only if its mark says so: thread
// caches and the reserve hold handed-out elements.
bool Walk(void **Address, size_t *Size, bool *InUse) {
  DUZOVEV_FRONT_END *Heap = PROCESS_HEAP::Heap();
  if (Heap == nullptr || Address == nullptr || Size == nullptr || InUse == nullptr || HEAP_CALL::Inside())
    return false;
  if (*Address == nullptr || !LARGE_SPANS::Contains(*Address)) {
    bool HeapInUse = false;
    int32_t Bytes = 0;
    bool Found = false;
    {
      HEAP_CALL Call;
      Found = Heap->WalkHeap(&HeapInUse, Address, &Bytes);
    }
    if (Found) {
      *Size = static_cast<size_t>(Bytes);
      *InUse = HeapInUse && ADDRESS_MAP::IsMark(ADDRESS_MAP::Read(*Address));
      return true;
    }
    *Address = nullptr;
  }
  uint64_t Pages = 0;
  bool Free = false;
  if (!LARGE_SPANS::Walk(*Address, Pages, Free))
    return false;
  *Size = static_cast<size_t>(Pages * PageBytes);
  *InUse = !Free && ADDRESS_MAP::IsMark(ADDRESS_MAP::Read(*Address));  // not a reserved one
  return true;
}

bool Trim(size_t KeepBytes) {
  DUZOVEV_FRONT_END *Heap = PROCESS_HEAP::Heap();
  if (Heap == nullptr)
    return true;  // nothing was ever allocated
  if (HEAP_CALL::Inside())
    return false;
  THREAD_CACHE::Flush();
  if (THREAD_CACHE *Own = OwnBlock())
    LARGE_SPANS::GiveBack(Own->SpanReserve, Own->Counts);
  CENTRAL_LISTS::Drain(THREAD_CACHE::ReleaseBatch);
  LARGE_RESERVE::Drain(ReleaseLargeBlock);
  LARGE_SPANS::Trim();
  const int32_t Keep = KeepBytes > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(KeepBytes);
  bool Trimmed = false;
  {
    HEAP_CALL Call;
    Trimmed = Heap->TrimHeap(Keep);
  }
  if (platform::ProcessIsSingleThreaded())
    ADDRESS_MAP::ReleaseEmptyPages();
  return Trimmed;
}

}  // namespace dropin
