// NEW_PAGES: the page store of one heap. It owns every page descriptor, hands a
// bucket a new page with its memory, takes pages back, wipes or walks all pages
// and carves small permanent blocks.
//
// Descriptors are grouped into size classes by bit-vector length; a class
// holds Capacity = 16 x W elements per page. Once made, a descriptor is on
// exactly one chain of its class (free, external = pages of parentless buckets,
// internal = pages of buckets with a parent) except while NewPage is getting
// memory for it. A class takes a whole area at a time but carves its slots into
// descriptors a system page's worth at a time, as it runs out (the rest of the
// area is never written, so never resident); descriptors are reused last in,
// first out; version stamps advance by 2 per use. Descriptor areas grow with
// their class, each about as large as all before it, up to LargeAreaBytes, which
// are aligned and asked to be backed by large pages: releases in any order
// then read descriptors without a translation miss each. Every area the store
// takes for itself (descriptor areas, permanent blocks) is in the area table,
// its size and kind in the entry's low bits, and goes back in the destructor;
// data pages belong to their page until DeletePage or DeleteAll. A descriptor
// area whose every slot is free may have its memory given back on a trim
// (DiscardUnusedAreas): its slots leave the free chain, read as zero from then
// on (an odd version never matches, a zero one matches no live stamp), and the
// area is carved afresh before a new one is taken.
//
// The store never holds its lock while it asks a parent cache for anything or
// claims an address lookup's lock, so its lock is always the innermost; a page
// walk reads the lookup under the claim its caller already holds.
#pragma once

#include <cstdint>

#include "heap/buckets/page.h"
#include "heap/support/chain.h"
#include "heap/support/hybrid_lock.h"
#include "heap/support/system_facts.h"
#include "heap/support/thread_safe.h"

class DUZOVEV_BACK_END;
struct BUCKET;

struct SIZE_CLASS {
  int32_t Capacity;
  // Bytes of the carving area already cut into slots.
  int32_t CarvedBytes = 0;
  CHAIN ExternalPages;
  CHAIN FreeDescriptors;
  CHAIN InternalPages;
  int32_t VectorBytes;
  // The area-table index of the class's area still being carved, -1 for none.
  int32_t CarveArea = -1;
};

struct NEW_PAGES : SYSTEM_FACTS_ATTACHMENT {
  int32_t CarveOffset = 0;
  int32_t SizeClassCount = 0;
  int32_t AreaTableCapacity = 0;
  int32_t AreaGranule = 0;
  int32_t FirstBlockSize = 0;
  int32_t AreaTableBytes = 0;
  int32_t AreaCount = 0;
  int32_t VersionCounter = 0;
  char *CarveBlock = nullptr;
  SIZE_CLASS *SizeClasses = nullptr;
  uint64_t *AreaTable = nullptr;
  DUZOVEV_BACK_END *BackEnd;
  CACHE *TopCache = nullptr;
  THREAD_SAFE *ThreadSafe;
  HYBRID_LOCK Lock;
  // Bytes of all descriptor areas, and of those whose memory was given back.
  int64_t DescriptorBytes = 0;
  int64_t DiscardedBytes = 0;

  static constexpr int32_t LargeAreaBytes = 2 << 20;
  // Each size-class record is counted as 64 bytes in the first block.
  static constexpr int32_t SizeClassBytes = 64;
  static constexpr int32_t CarveStep = 128;

  NEW_PAGES(const int32_t *VectorSizes, DUZOVEV_BACK_END *NewBackEnd, int32_t EntryCount,
            THREAD_SAFE *NewThreadSafe);
  ~NEW_PAGES() noexcept(false);

  int16_t FindSizeKey(int16_t ElementCount) const;
  PAGE *NewPage(CACHE *Bucket, int32_t PageBytes);
  void DeletePage(PAGE *Page);
  // Runs with every lock of the heap claimed and the global lock engaged (or
  // without thread safety): recycling a page can give its memory back to the
  // parent cache and so delete the parent's page, which passes through this
  // store again.
  void DeleteAll(bool KeepMemory);
  // DeleteAll's work, under whatever claim its caller holds; alone, only for
  // a heap that nobody else uses any more (its destruction).
  void WipePages(bool KeepMemory);
  bool NextWalkPage(ELEMENT_INFO &Walk, FIND *Find);
  void *NewPermanentArea(int32_t Size);
  void *VerifyNewArea(int32_t AlignMask, int32_t Size, bool UserSpace);
  // Gives back the memory of every descriptor area none of whose slots is in
  // use; their address space stays for later descriptors. Runs under the
  // store's lock, which a caller must hold with every cache lock and the
  // address lookups' exclusive claims (no stale descriptor read is under way).
  void DiscardUnusedAreas();

  // Bytes of one descriptor slot of a class.
  static int32_t SlotSize(int32_t VectorBytes) { return (((VectorBytes - 1) * 4 + 239) / CarveStep) * CarveStep; }

 private:
  void GrowAreaTable();
  bool MakeDescriptors(SIZE_CLASS &Class, CACHE *Bucket);
  int32_t NewDescriptorArea(int32_t SizeKey);
  int32_t CarvedBytesOf(int32_t Area) const;
  bool AreaIsUnused(int32_t Area) const;
  int32_t PageAlignMask(const CACHE *Bucket) const;
  void DropPage(SIZE_CLASS &Class, CHAIN &Chain, PAGE *Page);
  void ReleaseInternalPages(SIZE_CLASS &Class, bool KeepMemory);
  int32_t ClassOfFirstInternalPage(const PAGE *Page) const;
  PAGE *LastInternalPageFrom(int32_t FirstClass);
  PAGE *WalkPageAfter(const PAGE *Page);
};
