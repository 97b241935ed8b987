// LARGE_SPANS: requests above the last size class and up to MaxSpanPages
// pages, carved out of chunks of ChunkBytes taken from the back end. The
// heap's large cache maps a fresh area for every allocation; a program that
// keeps allocating and freeing buffers of tens or hundreds of kilobytes would
// then fault in every page of every buffer again and unmap each on release.
// Here freed runs of pages are merged with their free neighbours and split
// for later requests of any size, so their pages are reused where they are.
//
// A chunk is aligned to its own size; its first page holds the links of the
// list of chunks in use and a tag for every page: a run of pages (a span,
// free or allocated) carries its length and state in the tags of its first
// and last page, and every other tag is 0. Free spans sit on bins: one per
// length up to MaxSpanPages, one for longer spans. Invariants: two free
// spans never touch; the kept empty chunk is on no list and has no tags; a
// chunk whose pages are all free is given back to the back end, except one
// kept for the next request; freed pages beyond a bound (as many as the
// spans in use hold, at least two chunks' worth) and, on a trim, all free
// pages but the first of each free span go back to the system while their
// chunk stays; every operation but a thread's on its own reserve holds the
// one lock, which is never held while calling the heap, and whose holder
// calls the system only to map, unmap or give back pages. The spans handed
// out are counted in their thread's own counts, settled under that lock, or
// under it for a thread without lists: never a shared atomic step per span
// on lines that every thread writes, which cost as much as the lock itself.
#pragma once

#include <cstdint>

struct krax_block_stats;

namespace dropin {

struct THREAD_COUNTS;

// A thread's few freed spans, kept in its cache block for its next requests
// of about their size, which then take no lock: oldest first, at most Slots
// of them and MaxPages pages (a thread's cycle of buffers of tens of
// kilobytes; with half of each, `mixed` gained about a third less), given
// back on a trim by that thread and at its end. Only its
// thread touches it. The counts of the spans a thread with such a reserve
// takes, keeps and frees are its own (THREAD_COUNTS), settled under the lock.
struct SPAN_RESERVE {
  static constexpr int32_t Slots = 8;
  static constexpr uint64_t MaxPages = 128;  // 512 KiB
  void *Spans[Slots];
  uint64_t Pages[Slots];
  int32_t Count;
  uint64_t HeldPages;

  void Drop(int32_t Slot);
};

class LARGE_SPANS {
 public:
  static constexpr uint64_t PageBytes = 4096;
  static constexpr uint64_t ChunkPages = 1024;
  static constexpr uint64_t ChunkBytes = ChunkPages * PageBytes;  // 4 MiB
  static constexpr uint64_t MaxSpanPages = 256;                   // 1 MiB

  static void Build();
  // Own, where given, is the calling thread's counts, else the shared ones count.
  // Pages (1 to MaxSpanPages) pages aligned to PageBytes; null without memory.
  static void *Allocate(uint64_t Pages, THREAD_COUNTS *Own = nullptr);
  // Gives back a span that Allocate returned with the same page count;
  // Handed false when it never reached the caller (it is then counted as
  // never allocated rather than freed).
  static void Release(void *Span, uint64_t Pages, THREAD_COUNTS *Own = nullptr, bool Handed = true);
  // Lengthens a span to NewPages where it is, from the free span after it;
  // false when that span is missing or too short (nothing changes then).
  static bool Grow(void *Span, uint64_t Pages, uint64_t NewPages);
  // Shortens a span to NewPages (1 or more) where it is; its tail becomes
  // free, merged with a free span behind it.
  static void Shrink(void *Span, uint64_t Pages, uint64_t NewPages, THREAD_COUNTS *Own = nullptr);
  // Grow, else a new span of MovePages (at least NewPages; 0: none), in one
  // hold of the lock: Span itself when grown, the new span (Span untouched)
  // when not, null without memory for either.
  static void *Resize(void *Span, uint64_t Pages, uint64_t NewPages, uint64_t MovePages, THREAD_COUNTS *Own);
  // A reserved span of Pages to a quarter more (Found), or null.
  static void *Take(SPAN_RESERVE &Reserve, THREAD_COUNTS &Own, uint64_t Pages, uint64_t &Found);
  // Keeps a freed span in the reserve, giving the oldest back to make room;
  // false for one too long to keep (nothing changes then).
  static bool Keep(SPAN_RESERVE &Reserve, THREAD_COUNTS &Own, void *Span, uint64_t Pages);
  // Every reserved span back to the bins, and the thread's counts settled.
  static void GiveBack(SPAN_RESERVE &Reserve, THREAD_COUNTS &Own);
  // Gives the kept empty chunk back to the back end and the pages of every
  // free span (all but its first) back to the system.
  static void Trim();
  // One step of a walk over the spans of every chunk: Address null starts it
  // and each call moves it to the next span, free or allocated. False at the
  // end, or when Address lies in no chunk.
  static bool Walk(void *&Address, uint64_t &Pages, bool &Free);
  static bool Contains(const void *Address);
  // The counts of the spans handed out (live, allocated, freed and peaks),
  // the caller's own settled first.
  static void Read(krax_block_stats &Out, THREAD_COUNTS *Own);

  static void Lock();
  static void Unlock();
};

}  // namespace dropin
