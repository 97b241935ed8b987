// LARGE_RESERVE: freed large allocations kept for reuse. Above what the
// large spans serve, the heap maps a fresh area for every allocation and unmaps it on
// release; a program that allocates and frees large buffers in a loop would
// pay a mapping, a page fault for every page it touches and an unmapping
// (with its flush of every processor's address translations) each time.
// The reserve keeps freed areas of at most MaxBlockPages pages, in all at
// most a quarter of the large memory in use or MinTotalPages, whichever is
// more, and hands one out again for a request that it fits without wasting
// more than a quarter of it.
//
// Invariants: every kept block is an allocation of the process heap's large
// cache whose address-map mark is 0; at most MaxBlocks are kept, and the kept
// pages never exceed the limit in force when each was given; the lock is
// never held while calling the heap.
#pragma once

#include <cstdint>

namespace dropin {

class LARGE_RESERVE {
 public:
  static constexpr uint64_t MaxBlockPages = 4096;  // 16 MiB
  static constexpr uint64_t MinTotalPages = 2048;  // 8 MiB

  static void Build();
  // A kept block of at least Pages pages and not much more; its size in
  // pages is stored in Found. Null when none fits.
  static void *Take(uint64_t Pages, uint64_t &Found);
  // Keeps a block; false when it is too large or the reserve is full.
  // LivePages: the pages of large allocations in use, this one excluded.
  static bool Give(void *Block, uint64_t Pages, uint64_t LivePages);
  // Hands every kept block to Release.
  static void Drain(void (*Release)(void *Block));

  static void Lock();
  static void Unlock();
};

}  // namespace dropin
