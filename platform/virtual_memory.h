// Address space for the allocator's back end: committed, read-write areas whose
// start is aligned to a power of two, and their release. Areas are known by
// their start address alone; nothing here keeps records or allocates.
//
// Invariants both builds keep: every area starts on the platform's allocation
// granularity (65,536 bytes on both), and an area obtained with an alignment
// mask starts with every bit of the mask clear.
#pragma once

#include <cstdint>

namespace platform {

// Reserves and commits Size bytes anywhere. The start is aligned to the
// allocation granularity. Null when the operating system refuses.
void *CommitArea(int32_t Size);

// Reserves and commits Size bytes whose start has every bit of AlignMask clear,
// for masks wider than the allocation granularity. Null when refused.
void *CommitAlignedArea(int32_t AlignMask, int32_t Size);

// Gives back the whole area that starts at Address. Size is what was asked for
// when the area was obtained. False when Address is not the start of an area
// this process holds (the release then changes nothing).
bool ReleaseArea(void *Address, int32_t Size);

}  // namespace platform
