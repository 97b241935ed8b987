// FAST_HEAP: the configured heap. Its constructor supplies a fixed
// configuration (47 size classes in a fine table of 4-byte steps up to 960
// bytes and a coarse table of 1,024-byte steps up to 65,536; page descriptors
// for up to 16, 64, 256 and 1,024 elements; an address lookup of 4,096 chains
// and 8,192 lookaside entries, in use from the first lookup) and the
// process-wide back end, and takes only four values from its caller. Like the
// front end it never throws: a configuration that cannot be built leaves an
// unusable heap.
#pragma once

#include <cstdint>

#include "heap/frontend/duzovev_front_end.h"

class FAST_HEAP : public DUZOVEV_FRONT_END {
 public:
  FAST_HEAP(int32_t FreeSpaceLimit, bool ReuseFreed, bool SingleImage, bool ThreadSafeFlag);
  ~FAST_HEAP() override;

  // The configuration, as constant data shared by every FAST_HEAP: two tables
  // of size classes, each ended by a record of zeros, and the descriptor sizes
  // ended by 0.
  static const CACHE_DESCRIPTION FineCaches[];
  static const CACHE_DESCRIPTION CoarseCaches[];
  static const int32_t VectorSizes[];
  static constexpr int32_t LookasideSize = 8192;
  static constexpr int32_t LookasideThreshold = 0;
  static constexpr int32_t HashSize = 4096;
  static constexpr int32_t FineStride = 4;
  static constexpr int32_t CoarseStride = 1024;
};
