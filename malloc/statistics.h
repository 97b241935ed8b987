// STATISTICS: what the drop-in allocator has done, counted as it goes, for
// krax_stats, the C library's inquiry calls and the report at exit.
//
// A block of a size class is counted by the thread that allocates or frees
// it, in the counts of its thread cache block (THREAD_COUNTS): plain stores
// to memory no other thread writes, so the common malloc and free pay no
// atomic read-modify-write. Spans are counted the same way by a thread with
// lists (its spans' reserve takes and keeps them without a lock), and under
// the spans' own lock by other threads (LARGE_SPANS). Threads without lists,
// the other blocks above the classes and the refused pointers are rarer and
// count in shared relaxed atomics. A reader sums every thread's counts; the
// cache blocks are never given back, so the sum stays whole after their
// threads end.
//
// Live, allocated and freed are exact. A class's peak cannot be, without a
// shared write on every call: each thread settles its counts into the
// class's shared live count when its cache trades with the shared layers
// (at most one batch of calls apart), at its end and when it reads the
// counts, and the peak is the shared live count at a settlement plus the
// settling thread's highest excursion since its last one. With one thread
// that is the true peak; with several, an estimate within the batches the
// other threads have not settled yet. Spans settle likewise, whenever their
// thread takes the spans' lock: what is unsettled then is at most what the
// other threads took from or kept in their reserves (SPAN_RESERVE).
#pragma once

#include <atomic>
#include <cstdint>

#include "malloc/size_classes.h"

struct krax_statistics;

namespace dropin {

// Blocks above the spans, by where they come from.
enum class BLOCK_KIND : int32_t { Large, Aligned };
// What a refused pointer was: the start of a block that is free already, a
// pointer into a block, or no block of ours at all.
enum class REFUSAL_KIND : int32_t { Double, Interior, Foreign };

// One thread's counts of one class. Only the thread that holds the cache
// block writes them (relaxed atomics, so that readers may sum them at any
// time); Settled is the owner's alone.
struct CLASS_COUNT {
  std::atomic<uint64_t> Allocated;
  std::atomic<uint64_t> Freed;
  std::atomic<int64_t> High;  // the highest Allocated - Freed since the last settlement
  int64_t Settled;            // Allocated - Freed at the last settlement
};

// One thread's counts of spans, written like CLASS_COUNT by its thread only.
struct SPAN_COUNT {
  std::atomic<uint64_t> Allocated, Freed;  // ever
  std::atomic<int64_t> Net, NetPages;      // live spans and pages since the last settlement
  int64_t High, HighPages;                 // the most of each since then
};

struct THREAD_COUNTS {
  CLASS_COUNT Classes[ClassCount];
  SPAN_COUNT Spans;
  THREAD_COUNTS *NextMade;  // every block ever made, for the readers

  void Allocated(int32_t Class) {
    CLASS_COUNT &Count = Classes[Class];
    const uint64_t Allocations = Count.Allocated.load(std::memory_order_relaxed) + 1;
    Count.Allocated.store(Allocations, std::memory_order_relaxed);
    // Without a branch: right after a settlement every allocation is a new high.
    const int64_t Net = static_cast<int64_t>(Allocations - Count.Freed.load(std::memory_order_relaxed));
    const int64_t High = Count.High.load(std::memory_order_relaxed);
    Count.High.store(Net > High ? Net : High, std::memory_order_relaxed);
  }
  void Freed(int32_t Class) {
    CLASS_COUNT &Count = Classes[Class];
    Count.Freed.store(Count.Freed.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  // A span handed out (Change 1), freed (-1; taken back unhanded when
  // Undo) or resized (0), its pages changed by Pages.
  void SpanChanged(int64_t Change, int64_t Pages, bool Undo = false) {
    SPAN_COUNT &Count = Spans;
    std::atomic<uint64_t> &Total = Change > 0 || Undo ? Count.Allocated : Count.Freed;
    if (Change != 0)
      Total.store(Total.load(std::memory_order_relaxed) + (Undo ? ~uint64_t{0} : 1), std::memory_order_relaxed);
    const int64_t Net = Count.Net.load(std::memory_order_relaxed) + Change;
    const int64_t NetPages = Count.NetPages.load(std::memory_order_relaxed) + Pages;
    Count.Net.store(Net, std::memory_order_relaxed);
    Count.NetPages.store(NetPages, std::memory_order_relaxed);
    Count.High = Net > Count.High ? Net : Count.High;
    Count.HighPages = NetPages > Count.HighPages ? NetPages : Count.HighPages;
  }
  // Adds what this thread did since its last settlement to the shared counts.
  void Settle(int32_t Class);
  void SettleAll();
  // A new cache block: counts cleared and made known to the readers.
  void Enlist();
};

// Receives one refused pointer as it is refused (the errors report).
using REFUSAL_WATCH = void (*)(REFUSAL_KIND Kind, const void *Address, const char *Operation);

class STATISTICS {
 public:
  // A class element allocated or freed by a thread that keeps no lists.
  static void DirectAllocated(int32_t Class);
  static void DirectFreed(int32_t Class);
  static void BlockAdded(BLOCK_KIND Kind, uint64_t Bytes);
  static void BlockRemoved(BLOCK_KIND Kind, uint64_t Bytes);
  static void BlockResized(BLOCK_KIND Kind, uint64_t Bytes, uint64_t NewBytes);
  static void BootstrapUsed(uint64_t Bytes);
  // Bytes mapped from and given back to the system outside the heap's areas.
  static void SystemMapped(uint64_t Taken, uint64_t Returned);
  // Counts a pointer that free, realloc or malloc_usable_size refused, by
  // what it was, and tells the watch.
  static void Refused(const void *Address, const char *Operation);
  static void Watch(REFUSAL_WATCH Watch);

  // Every count, the calling thread's settled first.
  static void Read(krax_statistics &Statistics);
  // Every thread's counts ever made, linked by NextMade.
  static THREAD_COUNTS *MadeCounts();
};

}  // namespace dropin
