#include "malloc/large_spans.h"

#include <new>

#include "heap/frontend/process_objects.h"
#include "heap/pages/duzovev_back_end.h"
#include "heap/support/hybrid_lock.h"
#include "malloc/krax_malloc.h"
#include "malloc/statistics.h"
#include "platform/virtual_memory.h"

namespace dropin {

namespace {

constexpr uint64_t FirstPage = 1;  // page 0 holds the tags
constexpr uint64_t UsablePages = LARGE_SPANS::ChunkPages - FirstPage;
constexpr uint64_t LongBin = LARGE_SPANS::MaxSpanPages + 1;  // every longer free span
constexpr uint64_t BinCount = LongBin + 1;
constexpr uint16_t FreeTag = 0x8000;
// Freed pages that may stay resident for reuse, in all chunks together: as
// many as the spans in use hold, at least two chunks' worth. A program that
// cycles buffers then reuses them without a page fault on every page (with a
// quarter of that, a program reallocating buffers of tens of kilobytes spent
// more in faults than in copying), while anything beyond goes back.
constexpr uint64_t MinDirtyPages = 2 * LARGE_SPANS::ChunkPages;

struct CHUNK_HEADER {
  CHUNK_HEADER *Next;
  CHUNK_HEADER *Previous;
  uint16_t Tags[LARGE_SPANS::ChunkPages];
};
static_assert(sizeof(CHUNK_HEADER) <= LARGE_SPANS::PageBytes);

// The first page of a free span links it into its bin and counts how many of
// its pages were freed since they were last given back (a piece carved from
// it is taken to hold them first: recently freed pages are where the next
// request of their size lands).
struct FREE_SPAN {
  FREE_SPAN *Next;
  FREE_SPAN *Previous;
  uint64_t Dirty;
};

struct SPANS {
  HYBRID_LOCK Lock{4096, 256};
  FREE_SPAN *Bins[BinCount] = {};
  FREE_SPAN *Last[BinCount] = {};  // each bin's tail
  uint64_t Occupied[(BinCount + 63) / 64] = {};  // one bit per non-empty bin
  uint64_t DirtyPages = 0;                       // the sum of the free spans' Dirty
  uint64_t LivePages = 0;                        // in allocated spans, reserves' too
  // The counts of spans handed out: settled threads' and those of threads
  // without lists (whose allocations and frees are counted here alone).
  int64_t Handed = 0, HandedPages = 0;
  int64_t Peak = 0, PeakPages = 0;               // the most of each at once
  uint64_t Allocated = 0, Freed = 0;
  uint64_t SpareDirty = 0;                       // the spare chunk's, not in DirtyPages
  char *SpareChunk = nullptr;                    // an empty chunk kept for reuse
  CHUNK_HEADER *Chunks = nullptr;                // every chunk with spans
};

alignas(SPANS) constinit unsigned char SpansStorage[sizeof(SPANS)] = {};
constinit SPANS *Spans = nullptr;

char *ChunkOf(const void *Address) {
  return reinterpret_cast<char *>(reinterpret_cast<uintptr_t>(Address) & ~(LARGE_SPANS::ChunkBytes - 1));
}

CHUNK_HEADER *HeaderOf(char *Chunk) { return reinterpret_cast<CHUNK_HEADER *>(Chunk); }

uint16_t *TagsOf(char *Chunk) { return HeaderOf(Chunk)->Tags; }

// A chunk joins the list when its pages become spans and leaves it when they
// are all free again.
void Enlist(char *Chunk) {
  CHUNK_HEADER *Header = HeaderOf(Chunk);
  Header->Previous = nullptr;
  Header->Next = Spans->Chunks;
  if (Header->Next != nullptr)
    Header->Next->Previous = Header;
  Spans->Chunks = Header;
}

void Delist(char *Chunk) {
  CHUNK_HEADER *Header = HeaderOf(Chunk);
  if (Header->Previous != nullptr)
    Header->Previous->Next = Header->Next;
  else
    Spans->Chunks = Header->Next;
  if (Header->Next != nullptr)
    Header->Next->Previous = Header->Previous;
}

bool Listed(const char *Chunk) {
  for (CHUNK_HEADER *Header = Spans->Chunks; Header != nullptr; Header = Header->Next)
    if (reinterpret_cast<const char *>(Header) == Chunk)
      return true;
  return false;
}

char *PageAt(char *Chunk, uint64_t Page) { return Chunk + Page * LARGE_SPANS::PageBytes; }

uint64_t PageOf(char *Chunk, const void *Address) {
  return static_cast<uint64_t>(static_cast<const char *>(Address) - Chunk) / LARGE_SPANS::PageBytes;
}

uint64_t BinOf(uint64_t Pages) { return Pages < LongBin ? Pages : LongBin; }

void Tag(char *Chunk, uint64_t First, uint64_t Pages, bool Free) {
  const auto Value = static_cast<uint16_t>(Pages | (Free ? FreeTag : 0));
  uint16_t *Tags = TagsOf(Chunk);
  Tags[First] = Value;
  Tags[First + Pages - 1] = Value;
}

void Untag(char *Chunk, uint64_t First, uint64_t Pages) {
  uint16_t *Tags = TagsOf(Chunk);
  Tags[First] = 0;
  Tags[First + Pages - 1] = 0;
}

void Insert(char *Chunk, uint64_t First, uint64_t Pages, uint64_t Dirty) {
  Tag(Chunk, First, Pages, true);
  auto *Span = reinterpret_cast<FREE_SPAN *>(PageAt(Chunk, First));
  const uint64_t Bin = BinOf(Pages);
  Span->Dirty = Dirty;
  Spans->DirtyPages += Dirty;
  // Spans with resident pages first, so that requests reuse those pages
  // rather than fault in given-back ones.
  FREE_SPAN *&Head = Spans->Bins[Bin];
  FREE_SPAN *&Tail = Spans->Last[Bin];
  if (Head == nullptr) {
    Span->Next = Span->Previous = nullptr;
    Head = Tail = Span;
  } else if (Dirty > 0) {
    Span->Previous = nullptr;
    Span->Next = Head;
    Head->Previous = Span;
    Head = Span;
  } else {
    Span->Next = nullptr;
    Span->Previous = Tail;
    Tail->Next = Span;
    Tail = Span;
  }
  Spans->Occupied[Bin / 64] |= uint64_t{1} << (Bin % 64);
}

// Unlinks a free span; returns its Dirty, which leaves DirtyPages with it.
uint64_t Remove(char *Chunk, uint64_t First, uint64_t Pages) {
  auto *Span = reinterpret_cast<FREE_SPAN *>(PageAt(Chunk, First));
  const uint64_t Bin = BinOf(Pages);
  Spans->DirtyPages -= Span->Dirty;
  if (Span->Previous != nullptr)
    Span->Previous->Next = Span->Next;
  else
    Spans->Bins[Bin] = Span->Next;
  if (Span->Next != nullptr)
    Span->Next->Previous = Span->Previous;
  else
    Spans->Last[Bin] = Span->Previous;
  if (Spans->Bins[Bin] == nullptr)
    Spans->Occupied[Bin / 64] &= ~(uint64_t{1} << (Bin % 64));
  Untag(Chunk, First, Pages);
  return Span->Dirty;
}

// The first non-empty bin from Bin on; BinCount when there is none.
uint64_t NextBin(uint64_t Bin) {
  for (uint64_t Word = Bin / 64; Word < sizeof(Spans->Occupied) / 8; ++Word) {
    uint64_t Bits = Spans->Occupied[Word];
    if (Word == Bin / 64)
      Bits &= ~uint64_t{0} << (Bin % 64);
    if (Bits != 0)
      return Word * 64 + static_cast<uint64_t>(__builtin_ctzll(Bits));
  }
  return BinCount;
}

uint64_t SpanLength(uint16_t Tag) { return Tag & ~FreeTag; }

// A new chunk, its usable pages one free span. The lock is not held.
char *NewChunk() {
  void *Area = ProcessBackEnd().NewArea(static_cast<int32_t>(LARGE_SPANS::ChunkBytes - 1),
                                        static_cast<int32_t>(LARGE_SPANS::ChunkBytes), true);
  return static_cast<char *>(Area);
}

void DeleteChunk(char *Chunk) {
  try {
    ProcessBackEnd().DeleteArea(Chunk, static_cast<int32_t>(LARGE_SPANS::ChunkBytes), true);
  } catch (...) {  // the system refused to unmap: the chunk stays mapped, unused
  }
}

// Gives the memory of a free span back to the system, all but its first
// page, which holds its links. The lock is held: nobody can carve it meanwhile.
void Discard(char *Chunk, uint64_t First, uint64_t Length) {
  if (Length > 1)
    platform::DiscardPages(PageAt(Chunk, First + 1), (Length - 1) * LARGE_SPANS::PageBytes);
}

// Gives back the pages of free spans counted as resident, longest spans
// first, until at most Bound are: when the pages in use shrink, so does what
// may stay resident beside them.
void Clean(uint64_t Bound) {
  for (uint64_t Bin = LongBin; Bin >= 1 && Spans->DirtyPages > Bound; --Bin)
    while (Spans->DirtyPages > Bound && Spans->Bins[Bin] != nullptr && Spans->Bins[Bin]->Dirty > 0) {
      FREE_SPAN *Span = Spans->Bins[Bin];
      char *Chunk = ChunkOf(Span);
      const uint64_t First = PageOf(Chunk, Span);
      const uint64_t Length = SpanLength(TagsOf(Chunk)[First]);
      Remove(Chunk, First, Length);
      Discard(Chunk, First, Length);
      Insert(Chunk, First, Length, 0);
    }
}

// Files the free span at First, made of the Pages pages freed at Freed and
// of free neighbours with Neighbours resident pages. Beyond the bound the
// freed pages go back to the system (but for the span's first page, which
// holds its links), and so do other free spans' while the count still
// exceeds it.
void Freed(char *Chunk, uint64_t First, uint64_t Length, uint64_t Freed, uint64_t Pages, uint64_t Neighbours) {
  const uint64_t Bound = Spans->LivePages > MinDirtyPages ? Spans->LivePages : MinDirtyPages;
  uint64_t Dirty = Neighbours + Pages;
  if (Spans->DirtyPages + Dirty > Bound) {
    const uint64_t From = Freed == First ? Freed + 1 : Freed;
    if (Freed + Pages > From)
      platform::DiscardPages(PageAt(Chunk, From), (Freed + Pages - From) * LARGE_SPANS::PageBytes);
    Dirty = Neighbours;
  }
  Insert(Chunk, First, Length, Dirty);
  if (Spans->DirtyPages > Bound)
    Clean(Bound);
}

void RaisePeaks(int64_t Excursion, int64_t PagesExcursion) {
  if (Spans->Handed + Excursion > Spans->Peak)
    Spans->Peak = Spans->Handed + Excursion;
  if (Spans->HandedPages + PagesExcursion > Spans->PeakPages)
    Spans->PeakPages = Spans->HandedPages + PagesExcursion;
}

// Adds what a thread counted since its last settlement; the lock is held.
void Settle(THREAD_COUNTS &Own) {
  SPAN_COUNT &Count = Own.Spans;
  RaisePeaks(Count.High, Count.HighPages);
  Spans->Handed += Count.Net.load(std::memory_order_relaxed);
  Spans->HandedPages += Count.NetPages.load(std::memory_order_relaxed);
  Count.Net.store(0, std::memory_order_relaxed);
  Count.NetPages.store(0, std::memory_order_relaxed);
  Count.High = Count.HighPages = 0;
}

// Counts a span handed out (Change 1), freed (-1, or taken back unhanded
// when Undo) or resized (0) by Pages: in the thread's own counts, settled
// at once since the lock is held, or else in the shared ones.
void Count(THREAD_COUNTS *Own, int64_t Change, int64_t Pages, bool Undo = false) {
  if (Own != nullptr) {
    Own->SpanChanged(Change, Pages, Undo);
    Settle(*Own);
    return;
  }
  if (Undo)
    --Spans->Allocated;
  else if (Change != 0)
    ++(Change > 0 ? Spans->Allocated : Spans->Freed);
  Spans->Handed += Change;
  Spans->HandedPages += Pages;
  RaisePeaks(0, 0);
}

// Takes the first Pages pages of the free span of Length pages at First,
// giving the rest back to the bins.
void *Carve(char *Chunk, uint64_t First, uint64_t Length, uint64_t Pages) {
  Spans->LivePages += Pages;
  const uint64_t Dirty = Remove(Chunk, First, Length);
  if (Length > Pages)
    Insert(Chunk, First + Pages, Length - Pages, Dirty > Pages ? Dirty - Pages : 0);
  Tag(Chunk, First, Pages, false);
  return PageAt(Chunk, First);
}

void *CarveFromBins(uint64_t Pages) {
  const uint64_t Bin = NextBin(Pages);
  if (Bin >= BinCount)
    return nullptr;
  FREE_SPAN *Span = Spans->Bins[Bin];
  char *Chunk = ChunkOf(Span);
  const uint64_t First = PageOf(Chunk, Span);
  return Carve(Chunk, First, SpanLength(TagsOf(Chunk)[First]), Pages);
}

// A span from the bins, else from the spare chunk; the lock is held.
void *CarveHeld(uint64_t Pages) {
  void *Span = CarveFromBins(Pages);
  if (Span == nullptr && Spans->SpareChunk != nullptr) {
    char *Chunk = Spans->SpareChunk;
    Spans->SpareChunk = nullptr;
    Enlist(Chunk);
    Insert(Chunk, FirstPage, UsablePages, Spans->SpareDirty);
    Span = CarveFromBins(Pages);
  }
  return Span;
}

// A span from a chunk mapped for it; the lock is not held.
void *CarveFromNewChunk(uint64_t Pages, THREAD_COUNTS *Own) {
  char *Chunk = NewChunk();
  if (Chunk == nullptr)
    return nullptr;
  Spans->Lock.Acquire();
  Enlist(Chunk);
  Insert(Chunk, FirstPage, UsablePages, 0);
  void *Span = CarveFromBins(Pages);
  if (Span != nullptr)
    Count(Own, 1, static_cast<int64_t>(Pages));
  Spans->Lock.Release();
  return Span;
}

// Lengthens the span at First of Pages pages to NewPages from the free span
// behind it, if that is long enough; the lock is held.
bool GrowHeld(char *Chunk, uint64_t First, uint64_t Pages, uint64_t NewPages) {
  uint16_t *Tags = TagsOf(Chunk);
  const uint64_t Next = First + Pages;
  if (Next >= LARGE_SPANS::ChunkPages || (Tags[Next] & FreeTag) == 0)
    return false;
  const uint64_t After = SpanLength(Tags[Next]);
  if (Pages + After < NewPages)
    return false;
  const uint64_t Dirty = Remove(Chunk, Next, After);
  const uint64_t Rest = Pages + After - NewPages;
  if (Rest > 0)
    Insert(Chunk, First + NewPages, Rest, Dirty > NewPages - Pages ? Dirty - (NewPages - Pages) : 0);
  Untag(Chunk, First, Pages);
  Tag(Chunk, First, NewPages, false);
  Spans->LivePages += NewPages - Pages;
  return true;
}

// Gives back a span of Pages, merged with its free neighbours; the lock is
// held. Returns a chunk left empty beside the kept one, to be given back
// once the lock is released.
char *ReleaseHeld(void *Span, uint64_t Pages) {
  char *Chunk = ChunkOf(Span);
  uint16_t *Tags = TagsOf(Chunk);
  uint64_t First = PageOf(Chunk, Span);
  const uint64_t Start = First;
  uint64_t Length = Pages;
  uint64_t Dirty = 0;
  char *Empty = nullptr;
  Spans->LivePages -= Pages;
  Untag(Chunk, First, Length);
  if (First > FirstPage && (Tags[First - 1] & FreeTag) != 0) {
    const uint64_t Before = SpanLength(Tags[First - 1]);
    Dirty += Remove(Chunk, First - Before, Before);
    First -= Before;
    Length += Before;
  }
  if (First + Length < LARGE_SPANS::ChunkPages && (Tags[First + Length] & FreeTag) != 0) {
    const uint64_t After = SpanLength(Tags[First + Length]);
    Dirty += Remove(Chunk, First + Length, After);
    Length += After;
  }
  if (Length == UsablePages) {
    // The chunk is empty: keep it for the next request, or give it back.
    Delist(Chunk);
    Empty = Spans->SpareChunk == nullptr ? nullptr : Chunk;
    if (Empty == nullptr) {
      Spans->SpareChunk = Chunk;
      Spans->SpareDirty = Dirty + Pages;
    }
  } else {
    Freed(Chunk, First, Length, Start, Pages, Dirty);
  }
  return Empty;
}

// Gives back the chunks that releasing a reserve left empty (null: none),
// once the lock is released.
void DeleteChunks(char *const (&Empty)[SPAN_RESERVE::Slots]) {
  for (char *Chunk : Empty)
    if (Chunk != nullptr)
      DeleteChunk(Chunk);
}

}  // namespace

void LARGE_SPANS::Build() { Spans = new (SpansStorage) SPANS{}; }

void *LARGE_SPANS::Allocate(uint64_t Pages, THREAD_COUNTS *Own) {
  Spans->Lock.Acquire();
  void *Span = CarveHeld(Pages);
  if (Span != nullptr)
    Count(Own, 1, static_cast<int64_t>(Pages));
  Spans->Lock.Release();
  return Span != nullptr ? Span : CarveFromNewChunk(Pages, Own);
}

void LARGE_SPANS::Release(void *Span, uint64_t Pages, THREAD_COUNTS *Own, bool Handed) {
  Spans->Lock.Acquire();
  Count(Own, -1, -static_cast<int64_t>(Pages), !Handed);
  char *Empty = ReleaseHeld(Span, Pages);
  Spans->Lock.Release();
  if (Empty != nullptr)
    DeleteChunk(Empty);
}

bool LARGE_SPANS::Grow(void *Span, uint64_t Pages, uint64_t NewPages) {
  return Resize(Span, Pages, NewPages, 0, nullptr) == Span;
}

void *LARGE_SPANS::Resize(void *Span, uint64_t Pages, uint64_t NewPages, uint64_t MovePages, THREAD_COUNTS *Own) {
  char *Chunk = ChunkOf(Span);
  Spans->Lock.Acquire();
  void *Result = nullptr;
  if (GrowHeld(Chunk, PageOf(Chunk, Span), Pages, NewPages)) {
    Result = Span;
    Count(Own, 0, static_cast<int64_t>(NewPages - Pages));
  } else if (MovePages > 0 && (Result = CarveHeld(MovePages)) != nullptr) {
    Count(Own, 1, static_cast<int64_t>(MovePages));
  }
  Spans->Lock.Release();
  return Result != nullptr || MovePages == 0 ? Result : CarveFromNewChunk(MovePages, Own);
}

void LARGE_SPANS::Shrink(void *Span, uint64_t Pages, uint64_t NewPages, THREAD_COUNTS *Own) {
  char *Chunk = ChunkOf(Span);
  uint16_t *Tags = TagsOf(Chunk);
  const uint64_t First = PageOf(Chunk, Span);
  uint64_t Tail = First + NewPages;
  uint64_t Length = Pages - NewPages;
  uint64_t Dirty = 0;
  Spans->Lock.Acquire();
  Count(Own, 0, -static_cast<int64_t>(Pages - NewPages));
  Spans->LivePages -= Pages - NewPages;
  Untag(Chunk, First, Pages);
  Tag(Chunk, First, NewPages, false);
  if (Tail + Length < ChunkPages && (Tags[Tail + Length] & FreeTag) != 0) {
    const uint64_t After = SpanLength(Tags[Tail + Length]);
    Dirty += Remove(Chunk, Tail + Length, After);
    Length += After;
  }
  Freed(Chunk, Tail, Length, Tail, Pages - NewPages, Dirty);
  Spans->Lock.Release();
}

void LARGE_SPANS::Trim() {
  Spans->Lock.Acquire();
  for (uint64_t Bin = NextBin(1); Bin < BinCount; Bin = NextBin(Bin + 1))
    for (FREE_SPAN *Span = Spans->Bins[Bin]; Span != nullptr; Span = Span->Next) {
      char *Chunk = ChunkOf(Span);
      const uint64_t First = PageOf(Chunk, Span);
      Discard(Chunk, First, SpanLength(TagsOf(Chunk)[First]));
      Span->Dirty = 0;
    }
  Spans->DirtyPages = 0;
  char *Spare = Spans->SpareChunk;
  Spans->SpareChunk = nullptr;
  Spans->Lock.Release();
  if (Spare != nullptr)
    DeleteChunk(Spare);
}

void *LARGE_SPANS::Take(SPAN_RESERVE &Reserve, THREAD_COUNTS &Own, uint64_t Pages, uint64_t &Found) {
  int32_t Best = -1;
  for (int32_t Slot = 0; Slot < Reserve.Count; ++Slot) {
    const uint64_t Length = Reserve.Pages[Slot];
    if (Length >= Pages && Length <= Pages + Pages / 4 && (Best < 0 || Length < Reserve.Pages[Best]))
      Best = Slot;
  }
  if (Best < 0)
    return nullptr;
  void *Span = Reserve.Spans[Best];
  Found = Reserve.Pages[Best];
  Reserve.HeldPages -= Found;
  Reserve.Drop(Best);
  Own.SpanChanged(1, static_cast<int64_t>(Found));
  return Span;
}

bool LARGE_SPANS::Keep(SPAN_RESERVE &Reserve, THREAD_COUNTS &Own, void *Span, uint64_t Pages) {
  if (Pages > SPAN_RESERVE::MaxPages)
    return false;
  if (Reserve.Count == SPAN_RESERVE::Slots || Reserve.HeldPages + Pages > SPAN_RESERVE::MaxPages) {
    // The oldest go back (the newest freed is the likeliest still cached)
    // until the reserve is half empty, so that the next few frees take no
    // lock either.
    char *Empty[SPAN_RESERVE::Slots] = {};
    Spans->Lock.Acquire();
    Count(&Own, -1, -static_cast<int64_t>(Pages));
    for (int32_t Slot = 0; Reserve.Count > 0 && (Reserve.Count >= SPAN_RESERVE::Slots / 2 ||
                                                  Reserve.HeldPages + Pages > SPAN_RESERVE::MaxPages / 2);
         ++Slot) {
      Empty[Slot] = ReleaseHeld(Reserve.Spans[0], Reserve.Pages[0]);
      Reserve.HeldPages -= Reserve.Pages[0];
      Reserve.Drop(0);
    }
    Spans->Lock.Release();
    DeleteChunks(Empty);
  } else {
    Own.SpanChanged(-1, -static_cast<int64_t>(Pages));
  }
  Reserve.Spans[Reserve.Count] = Span;
  Reserve.Pages[Reserve.Count++] = Pages;
  Reserve.HeldPages += Pages;
  return true;
}

void LARGE_SPANS::GiveBack(SPAN_RESERVE &Reserve, THREAD_COUNTS &Own) {
  char *Empty[SPAN_RESERVE::Slots] = {};
  Spans->Lock.Acquire();
  for (int32_t Slot = 0; Slot < Reserve.Count; ++Slot)
    Empty[Slot] = ReleaseHeld(Reserve.Spans[Slot], Reserve.Pages[Slot]);
  Reserve.Count = 0;
  Reserve.HeldPages = 0;
  Settle(Own);
  Spans->Lock.Release();
  DeleteChunks(Empty);
}

void SPAN_RESERVE::Drop(int32_t Slot) {
  for (--Count; Slot < Count; ++Slot) {
    Spans[Slot] = Spans[Slot + 1];
    Pages[Slot] = Pages[Slot + 1];
  }
}

void LARGE_SPANS::Read(krax_block_stats &Out, THREAD_COUNTS *Own) {
  Out = krax_block_stats{};
  if (Spans == nullptr)
    return;  // nothing was ever allocated
  Spans->Lock.Acquire();
  if (Own != nullptr)
    Settle(*Own);
  int64_t Live = Spans->Handed, LivePages = Spans->HandedPages;
  Out.allocated = Spans->Allocated;
  Out.freed = Spans->Freed;
  for (THREAD_COUNTS *Counts = STATISTICS::MadeCounts(); Counts != nullptr; Counts = Counts->NextMade) {
    Live += Counts->Spans.Net.load(std::memory_order_relaxed);
    LivePages += Counts->Spans.NetPages.load(std::memory_order_relaxed);
    Out.allocated += Counts->Spans.Allocated.load(std::memory_order_relaxed);
    Out.freed += Counts->Spans.Freed.load(std::memory_order_relaxed);
  }
  Out.live = Live > 0 ? static_cast<uint64_t>(Live) : 0;
  Out.live_bytes = LivePages > 0 ? static_cast<uint64_t>(LivePages) * PageBytes : 0;
  Out.peak = static_cast<uint64_t>(Spans->Peak) > Out.live ? static_cast<uint64_t>(Spans->Peak) : Out.live;
  const uint64_t PeakBytes = static_cast<uint64_t>(Spans->PeakPages) * PageBytes;
  Out.peak_bytes = PeakBytes > Out.live_bytes ? PeakBytes : Out.live_bytes;
  Spans->Lock.Release();
}

bool LARGE_SPANS::Contains(const void *Address) {
  Spans->Lock.Acquire();
  const bool Found = Listed(ChunkOf(Address));
  Spans->Lock.Release();
  return Found;
}

// The spans of a listed chunk tile its usable pages: from its first page,
// each span's first tag gives the start of the next.
bool LARGE_SPANS::Walk(void *&Address, uint64_t &Pages, bool &Free) {
  Spans->Lock.Acquire();
  char *Chunk = reinterpret_cast<char *>(Spans->Chunks);
  uint64_t Page = FirstPage;
  if (Address != nullptr) {
    Chunk = ChunkOf(Address);
    if (!Listed(Chunk)) {
      Spans->Lock.Release();
      return false;
    }
    const uint64_t Current = PageOf(Chunk, Address);
    while (Page < ChunkPages && Page <= Current)
      Page += SpanLength(TagsOf(Chunk)[Page]);
  }
  while (Chunk != nullptr && Page >= ChunkPages) {
    Chunk = reinterpret_cast<char *>(HeaderOf(Chunk)->Next);
    Page = FirstPage;
  }
  const bool Found = Chunk != nullptr;
  if (Found) {
    const uint16_t Tag = TagsOf(Chunk)[Page];
    Address = PageAt(Chunk, Page);
    Pages = SpanLength(Tag);
    Free = (Tag & FreeTag) != 0;
  }
  Spans->Lock.Release();
  return Found;
}

void LARGE_SPANS::Lock() { Spans->Lock.Acquire(); }
void LARGE_SPANS::Unlock() { Spans->Lock.Release(); }

}  // namespace dropin
