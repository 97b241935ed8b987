#include "platform/virtual_memory.h"

#include <windows.h>

namespace platform {

void *CommitArea(int32_t Size) {
  return VirtualAlloc(nullptr, static_cast<SIZE_T>(Size), MEM_COMMIT, PAGE_READWRITE);
}

namespace {

// Reserves the padded range anywhere and gives it straight back: the range is
// only a hint where an aligned block of Size bytes fits.
void *ProbeFreeRange(SIZE_T PaddedSize) {
  void *Base = VirtualAlloc(nullptr, PaddedSize, MEM_RESERVE, PAGE_READWRITE);
  if (Base == nullptr)
    return nullptr;
  if (!VirtualFree(Base, 0, MEM_RELEASE))
    return nullptr;
  return Base;
}

}  // namespace

void *CommitAlignedArea(int32_t AlignMask, int32_t Size) {
  // The padded size is a 32-bit sum; two positive 32-bit values cannot wrap it.
  const uint32_t Padded = static_cast<uint32_t>(Size) + static_cast<uint32_t>(AlignMask);
  const SIZE_T PaddedSize = static_cast<SIZE_T>(Padded);
  // The complement is taken in 32 bits and sign-extended to the address width.
  const uintptr_t ClearMask = static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<int32_t>(~AlignMask)));
  for (;;) {
    void *Base = ProbeFreeRange(PaddedSize);
    if (Base == nullptr)
      return nullptr;
    const uintptr_t Aligned = (reinterpret_cast<uintptr_t>(Base) + static_cast<uintptr_t>(AlignMask)) & ClearMask;
    void *Area = VirtualAlloc(reinterpret_cast<void *>(Aligned), static_cast<SIZE_T>(Size), MEM_RESERVE | MEM_COMMIT,
                              PAGE_READWRITE);
    if (Area != nullptr)
      return Area;
    // Another thread took part of the range between the probe and the claim.
  }
}

bool ReleaseArea(void *Address, int32_t) { return VirtualFree(Address, 0, MEM_RELEASE) != 0; }

void *MapPages(uint64_t Bytes) {
  return VirtualAlloc(nullptr, static_cast<SIZE_T>(Bytes), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

bool UnmapPages(void *Address, uint64_t) { return VirtualFree(Address, 0, MEM_RELEASE) != 0; }

// A reservation cannot be extended in place or moved: the caller copies.
bool RemapPages(void *, uint64_t, uint64_t, void *) { return false; }

// Decommitted and committed again: the pages are zero and not resident until touched.
void DiscardPages(void *Address, uint64_t Bytes) {
  if (VirtualFree(Address, static_cast<SIZE_T>(Bytes), MEM_DECOMMIT))
    VirtualAlloc(Address, static_cast<SIZE_T>(Bytes), MEM_COMMIT, PAGE_READWRITE);
}

// Committed pages are brought in as they are touched; nothing asks for a
// range of them at once.
void PopulatePages(void *, uint64_t) {}

// Large pages on Windows need a privilege and must be asked for when the range
// is reserved; ordinary pages serve.
void PreferLargePages(void *, uint64_t) {}

}  // namespace platform
