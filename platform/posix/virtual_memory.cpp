#include "platform/virtual_memory.h"

#include <sys/mman.h>
#include <unistd.h>

namespace platform {

namespace {

// The unit in which this port hands out address space, the same as the Windows
// allocation granularity so that both builds carve memory alike.
constexpr uint64_t AreaGranuleBytes = 65536;

uint64_t SystemPageBytes() {
  const long PageBytes = sysconf(_SC_PAGESIZE);
  return PageBytes > 0 ? static_cast<uint64_t>(PageBytes) : 4096;
}

uint64_t RoundUp(uint64_t Value, uint64_t Unit) { return (Value + Unit - 1) & ~(Unit - 1); }

// Maps more than asked for and unmaps the head before the first aligned start
// and the tail behind the area, so that exactly the area stays mapped.
void *MapAligned(uint64_t Alignment, int32_t Size) {
  if (Size <= 0)
    return nullptr;
  const uint64_t PageBytes = SystemPageBytes();
  if (Alignment < PageBytes)
    Alignment = PageBytes;
  const uint64_t AreaBytes = RoundUp(static_cast<uint64_t>(Size), PageBytes);
  const uint64_t MappedBytes = AreaBytes + Alignment - PageBytes;
  void *Mapped = mmap(nullptr, MappedBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (Mapped == MAP_FAILED)
    return nullptr;
  const uint64_t Base = reinterpret_cast<uint64_t>(Mapped);
  const uint64_t Start = RoundUp(Base, Alignment);
  const uint64_t HeadBytes = Start - Base;
  const uint64_t TailBytes = MappedBytes - HeadBytes - AreaBytes;
  if (HeadBytes > 0)
    munmap(Mapped, HeadBytes);
  if (TailBytes > 0)
    munmap(reinterpret_cast<void *>(Start + AreaBytes), TailBytes);
  return reinterpret_cast<void *>(Start);
}

}  // namespace

void *CommitArea(int32_t Size) { return MapAligned(AreaGranuleBytes, Size); }

void *CommitAlignedArea(int32_t AlignMask, int32_t Size) {
  if (AlignMask < 0)
    return nullptr;
  return MapAligned(static_cast<uint64_t>(AlignMask) + 1, Size);
}

// The kernel keeps no record of which mappings were areas, and munmap accepts
// any page-aligned range, mapped or not. A foreign address is therefore refused
// by two tests before anything is unmapped: every area starts on the area
// granule, and the whole range must be mapped (msync reports ENOMEM for a range
// with unmapped pages and does nothing else for MS_ASYNC).
bool ReleaseArea(void *Address, int32_t Size) {
  const uint64_t Start = reinterpret_cast<uint64_t>(Address);
  if (Start == 0 || (Start & (AreaGranuleBytes - 1)) != 0 || Size <= 0)
    return false;
  const uint64_t Length = RoundUp(static_cast<uint64_t>(Size), SystemPageBytes());
  if (msync(Address, Length, MS_ASYNC) != 0)
    return false;
  return munmap(Address, Length) == 0;
}

}  // namespace platform
