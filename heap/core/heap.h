// HEAP: the core of one heap. It holds the size-to-cache tables and the
// pointers to every layer of the heap; the caches read FreePageLimit, the
// number of empty top-level pages that may stay with the top cache.
//
// The fields are those of the finished heap core, in their order; this room
// holds them so that the lower layers can read them. The constructor that
// validates a configuration, builds the tables and connects the caches, and
// the heap operations, extend this structure.
#pragma once

#include <cstdint>

#include "heap/support/system_facts.h"

class DUZOVEV_BACK_END;
struct CACHE;
struct FIND;
struct NEW_PAGES;
struct THREAD_SAFE;

struct HEAP : SYSTEM_FACTS_ATTACHMENT {
  bool Active = false;
  int32_t FreePageLimit = 0;
  uint32_t MinPageMask = 0;
  int32_t CacheCount = 0;
  int32_t SplitSize = 0;
  int32_t MaxCacheSize = 0;
  int32_t FineTableBytes = 0;
  int32_t CoarseTableBytes = 0;
  int32_t FineShift = 0;
  int32_t CoarseShift = 0;
  CACHE **FineTable = nullptr;
  CACHE **CoarseTable = nullptr;
  CACHE **Caches = nullptr;
  CACHE *LargeCache = nullptr;
  NEW_PAGES *NewPages = nullptr;
  FIND *OwnFind = nullptr;
  FIND *ProcessFind = nullptr;
  DUZOVEV_BACK_END *BackEnd = nullptr;
  CACHE *TopCache = nullptr;
  THREAD_SAFE *ThreadSafe = nullptr;
};
