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

// Whole pages straight from the system, for blocks beyond what the heap's
// 32-bit sizes can name: page-aligned, zero-filled, known to nothing here.
// Null when refused.
void *MapPages(uint64_t Bytes);
// Gives back pages that MapPages (or RemapPages) returned, Bytes as mapped.
bool UnmapPages(void *Address, uint64_t Bytes);
// Resizes such a mapping to NewBytes: where it is when Target is null, else
// onto Target (a mapping of NewBytes that it replaces), its pages moving with
// their contents, nothing copied. False when the platform cannot; nothing
// has changed then and the caller copies.
bool RemapPages(void *Address, uint64_t Bytes, uint64_t NewBytes, void *Target);
// Asks that a committed range be backed by large pages where the system grants
// them on request; the range behaves the same either way.
void PreferLargePages(void *Address, uint64_t Bytes);
// Brings in the physical memory behind whole pages of a committed range now,
// in one call rather than a fault per page, where the system can; the range
// behaves the same either way.
void PopulatePages(void *Address, uint64_t Bytes);
// Returns the physical memory behind whole pages of a committed range to the
// system; the range stays usable and reads as zeros.
void DiscardPages(void *Address, uint64_t Bytes);

}  // namespace platform
