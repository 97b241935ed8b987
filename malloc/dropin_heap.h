// DROPIN_HEAP: the heap behind the drop-in allocator, configured with the
// drop-in's own size classes (size_classes.h) rather than FAST_HEAP's tables,
// which stay as the utility uses them.
//
// Its pages: every class gets the smallest page, among the power-of-two
// classes from 4 KiB up and the top page, that holds at least 128 elements
// and loses at most a sixteenth of itself to the tail no element fills, else
// the top page (TopPageBytes), large enough that the classes above 4 KiB lose
// at most that much too. Many elements per page mean few pages: few page
// descriptors, which the heap keeps for good once made (a gigabyte of 256-byte
// blocks on 4 KiB pages left 32 MiB of them), and short bucket lists. The heap's own caches are off
// (cache size 0): the thread caches and central lists in front of it batch
// already, and an element waiting twice is memory held twice.
//
// Empty top pages go back to the system on their own beyond FreeSpaceBytes
// (one span chunk's worth): enough to absorb a program that frees and
// allocates a few megabytes in turn without mapping and unmapping each time,
// small against what a trim must leave.
#pragma once

#include <cstdint>

#include "heap/frontend/duzovev_front_end.h"

namespace dropin {

class DROPIN_HEAP : public DUZOVEV_FRONT_END {
 public:
  static constexpr int32_t TopPageBytes = 262144;
  static constexpr int32_t FreeSpaceBytes = 4194304;

  DROPIN_HEAP();
  ~DROPIN_HEAP() override;

  // The page size of a class's pages (for the tests and the statistics).
  static int32_t PageBytesOf(int32_t Class);
};

}  // namespace dropin
