#include "malloc/statistics.h"

#include "heap/buckets/page.h"
#include "heap/core/heap.h"
#include "heap/frontend/duzovev_front_end.h"
#include "heap/pages/duzovev_back_end.h"
#include "malloc/krax_malloc.h"
#include "malloc/large_spans.h"
#include "malloc/process_heap.h"
#include "malloc/thread_cache.h"

namespace dropin {

static_assert(ClassCount <= KRAX_STATS_MAX_CLASSES);

namespace {

// Raises Peak to Value unless it is higher already.
template <typename VALUE>
void Raise(std::atomic<VALUE> &Peak, VALUE Value) {
  VALUE Known = Peak.load(std::memory_order_relaxed);
  while (Value > Known && !Peak.compare_exchange_weak(Known, Value, std::memory_order_relaxed)) {
  }
}

// A class's counts shared by every thread: the live blocks settled so far
// and their peak, and what threads without lists did.
struct SHARED_CLASS {
  std::atomic<int64_t> Live;
  std::atomic<int64_t> Peak;
  std::atomic<uint64_t> DirectAllocated;
  std::atomic<uint64_t> DirectFreed;
};

struct SHARED_BLOCKS {
  std::atomic<uint64_t> Live, LiveBytes, Peak, PeakBytes, Allocated, Freed;
};

constinit SHARED_CLASS SharedClasses[ClassCount] = {};
constinit SHARED_BLOCKS SharedBlocks[2] = {};
constinit std::atomic<uint64_t> BootstrapBlocks{0};
constinit std::atomic<uint64_t> BootstrapBytes{0};
constinit std::atomic<uint64_t> Refusals[3] = {};
constinit std::atomic<THREAD_COUNTS *> Made{nullptr};
constinit std::atomic<REFUSAL_WATCH> RefusalWatch{nullptr};

// Adds Change live blocks to a class and raises its peak to what was live
// before plus Excursion.
void SettleShared(int32_t Class, int64_t Change, int64_t Excursion) {
  SHARED_CLASS &Shared = SharedClasses[Class];
  const int64_t Before = Shared.Live.fetch_add(Change, std::memory_order_relaxed);
  Raise(Shared.Peak, Before + Excursion);
}

SHARED_BLOCKS &Blocks(BLOCK_KIND Kind) { return SharedBlocks[static_cast<int32_t>(Kind)]; }

// Whether Address starts a span of the large spans; Inside is set when it
// lies in one.
bool StartsSpan(const void *Address, bool &Inside) {
  Inside = LARGE_SPANS::Contains(Address);
  if (!Inside)
    return false;
  const uintptr_t Chunk = reinterpret_cast<uintptr_t>(Address) & ~(LARGE_SPANS::ChunkBytes - 1);
  void *Span = reinterpret_cast<void *>(Chunk);
  uint64_t Pages = 0;
  bool Free = false;
  const uintptr_t Wanted = reinterpret_cast<uintptr_t>(Address);
  while (LARGE_SPANS::Walk(Span, Pages, Free)) {
    const uintptr_t At = reinterpret_cast<uintptr_t>(Span);
    if (At - Chunk >= LARGE_SPANS::ChunkBytes || At > Wanted)
      return false;
    if (At == Wanted)
      return true;
  }
  return false;
}

// What a refused pointer was, from the heap's pages and the spans; a thread
// inside the heap cannot ask the heap and judges by the spans alone.
REFUSAL_KIND Classify(const void *Address) {
  DUZOVEV_FRONT_END *Heap = PROCESS_HEAP::Heap();
  if (Heap == nullptr)
    return REFUSAL_KIND::Foreign;  // nothing was ever handed out
  bool InSpan = false;
  if (StartsSpan(Address, InSpan))
    return REFUSAL_KIND::Double;
  if (InSpan)
    return REFUSAL_KIND::Interior;
  if (Heap->Core() == nullptr || HEAP_CALL::Inside())
    return REFUSAL_KIND::Foreign;
  ELEMENT_INFO Record;
  int32_t Size = 0;
  bool Found = false;
  try {
    HEAP_CALL Call;
    Found = Heap->Core()->DescribeAddress(const_cast<void *>(Address), &Record, &Size);
  } catch (...) {  // a fault of the heap makes the pointer no block of ours
  }
  if (!Found)
    return REFUSAL_KIND::Foreign;
  return Record.OnBoundary ? REFUSAL_KIND::Double : REFUSAL_KIND::Interior;
}

void ReadBlocks(const SHARED_BLOCKS &Shared, krax_block_stats &Out) {
  Out.live = Shared.Live.load(std::memory_order_relaxed);
  Out.live_bytes = Shared.LiveBytes.load(std::memory_order_relaxed);
  Out.peak = Shared.Peak.load(std::memory_order_relaxed);
  Out.peak_bytes = Shared.PeakBytes.load(std::memory_order_relaxed);
  Out.allocated = Shared.Allocated.load(std::memory_order_relaxed);
  Out.freed = Shared.Freed.load(std::memory_order_relaxed);
}

}  // namespace

void THREAD_COUNTS::Settle(int32_t Class) {
  CLASS_COUNT &Count = Classes[Class];
  const int64_t Net = static_cast<int64_t>(Count.Allocated.load(std::memory_order_relaxed) -
                                           Count.Freed.load(std::memory_order_relaxed));
  const int64_t High = Count.High.load(std::memory_order_relaxed);
  if (Net == Count.Settled && High == Net)
    return;
  SettleShared(Class, Net - Count.Settled, High - Count.Settled);
  Count.Settled = Net;
  Count.High.store(Net, std::memory_order_relaxed);
}

void THREAD_COUNTS::SettleAll() {
  for (int32_t Class = 0; Class < ClassCount; ++Class)
    Settle(Class);
}

void THREAD_COUNTS::Enlist() {
  for (CLASS_COUNT &Count : Classes) {
    Count.Allocated.store(0, std::memory_order_relaxed);
    Count.Freed.store(0, std::memory_order_relaxed);
    Count.High.store(0, std::memory_order_relaxed);
    Count.Settled = 0;
  }
  Spans.Allocated.store(0, std::memory_order_relaxed);
  Spans.Freed.store(0, std::memory_order_relaxed);
  Spans.Net.store(0, std::memory_order_relaxed);
  Spans.NetPages.store(0, std::memory_order_relaxed);
  Spans.High = Spans.HighPages = 0;
  THREAD_COUNTS *Head = Made.load(std::memory_order_relaxed);
  do
    NextMade = Head;
  while (!Made.compare_exchange_weak(Head, this, std::memory_order_release, std::memory_order_relaxed));
}

void STATISTICS::DirectAllocated(int32_t Class) {
  SharedClasses[Class].DirectAllocated.fetch_add(1, std::memory_order_relaxed);
  SettleShared(Class, 1, 1);
}

void STATISTICS::DirectFreed(int32_t Class) {
  SharedClasses[Class].DirectFreed.fetch_add(1, std::memory_order_relaxed);
  SettleShared(Class, -1, 0);
}

void STATISTICS::BlockAdded(BLOCK_KIND Kind, uint64_t Bytes) {
  SHARED_BLOCKS &Shared = Blocks(Kind);
  Shared.Allocated.fetch_add(1, std::memory_order_relaxed);
  Raise(Shared.Peak, Shared.Live.fetch_add(1, std::memory_order_relaxed) + 1);
  Raise(Shared.PeakBytes, Shared.LiveBytes.fetch_add(Bytes, std::memory_order_relaxed) + Bytes);
}

void STATISTICS::BlockRemoved(BLOCK_KIND Kind, uint64_t Bytes) {
  SHARED_BLOCKS &Shared = Blocks(Kind);
  Shared.Freed.fetch_add(1, std::memory_order_relaxed);
  Shared.Live.fetch_sub(1, std::memory_order_relaxed);
  Shared.LiveBytes.fetch_sub(Bytes, std::memory_order_relaxed);
}

void STATISTICS::BlockResized(BLOCK_KIND Kind, uint64_t Bytes, uint64_t NewBytes) {
  SHARED_BLOCKS &Shared = Blocks(Kind);
  Raise(Shared.PeakBytes, Shared.LiveBytes.fetch_add(NewBytes - Bytes, std::memory_order_relaxed) + NewBytes - Bytes);
}

void STATISTICS::SystemMapped(uint64_t Taken, uint64_t Returned) {
  DUZOVEV_BACK_END::CountSystemBytes(Taken, Returned);
}

void STATISTICS::BootstrapUsed(uint64_t Bytes) {
  BootstrapBlocks.fetch_add(1, std::memory_order_relaxed);
  BootstrapBytes.fetch_add(Bytes, std::memory_order_relaxed);
}

void STATISTICS::Refused(const void *Address, const char *Operation) {
  PROCESS_HEAP::CountRefusal();
  const REFUSAL_KIND Kind = Classify(Address);
  Refusals[static_cast<int32_t>(Kind)].fetch_add(1, std::memory_order_relaxed);
  if (REFUSAL_WATCH Watch = RefusalWatch.load(std::memory_order_acquire))
    Watch(Kind, Address, Operation);
}

void STATISTICS::Watch(REFUSAL_WATCH Watch) { RefusalWatch.store(Watch, std::memory_order_release); }

THREAD_COUNTS *STATISTICS::MadeCounts() { return Made.load(std::memory_order_acquire); }

void STATISTICS::Read(krax_statistics &Out) {
  const bool Open = ThreadCache->State == THREAD_CACHE::Open;
  if (Open)
    ThreadCache->Counts.SettleAll();
  Out = krax_statistics{};
  Out.class_count = ClassCount;
  for (int32_t Class = 0; Class < ClassCount; ++Class) {
    const SHARED_CLASS &Shared = SharedClasses[Class];
    krax_class_stats &Row = Out.classes[Class];
    Row.size = static_cast<uint64_t>(ClassBytes[Class]);
    Row.allocated = Shared.DirectAllocated.load(std::memory_order_relaxed);
    Row.freed = Shared.DirectFreed.load(std::memory_order_relaxed);
  }
  for (THREAD_COUNTS *Counts = Made.load(std::memory_order_acquire); Counts != nullptr; Counts = Counts->NextMade)
    for (int32_t Class = 0; Class < ClassCount; ++Class) {
      Out.classes[Class].freed += Counts->Classes[Class].Freed.load(std::memory_order_relaxed);
      Out.classes[Class].allocated += Counts->Classes[Class].Allocated.load(std::memory_order_relaxed);
    }
  for (int32_t Class = 0; Class < ClassCount; ++Class) {
    krax_class_stats &Row = Out.classes[Class];
    // Read apart from the frees, a thread's allocations may lag them.
    Row.live = Row.allocated > Row.freed ? Row.allocated - Row.freed : 0;
    const int64_t Peak = SharedClasses[Class].Peak.load(std::memory_order_relaxed);
    Row.peak = Peak > 0 && static_cast<uint64_t>(Peak) > Row.live ? static_cast<uint64_t>(Peak) : Row.live;
    Out.live_bytes += Row.live * Row.size;
  }
  LARGE_SPANS::Read(Out.spans, Open ? &ThreadCache->Counts : nullptr);
  ReadBlocks(Blocks(BLOCK_KIND::Large), Out.large);
  ReadBlocks(Blocks(BLOCK_KIND::Aligned), Out.aligned);
  Out.live_bytes += Out.spans.live_bytes + Out.large.live_bytes + Out.aligned.live_bytes;
  Out.bootstrap_blocks = BootstrapBlocks.load(std::memory_order_relaxed);
  Out.bootstrap_bytes = BootstrapBytes.load(std::memory_order_relaxed);
  Out.live_bytes += Out.bootstrap_bytes;
  DUZOVEV_BACK_END::ReadTotals(Out.system_taken, Out.system_returned, Out.system_peak);
  Out.refused_double = Refusals[static_cast<int32_t>(REFUSAL_KIND::Double)].load(std::memory_order_relaxed);
  Out.refused_interior = Refusals[static_cast<int32_t>(REFUSAL_KIND::Interior)].load(std::memory_order_relaxed);
  Out.refused_foreign = Refusals[static_cast<int32_t>(REFUSAL_KIND::Foreign)].load(std::memory_order_relaxed);
}

}  // namespace dropin
