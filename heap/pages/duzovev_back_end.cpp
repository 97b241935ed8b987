#include "heap/pages/duzovev_back_end.h"

#include <atomic>

#include "heap/support/software_failure.h"
#include "platform/system.h"
#include "platform/virtual_memory.h"

namespace {
constexpr const char DeleteFailsMessage[] = "Delete fails in DeleteArea";

// A mask is usable when it is one less than a positive power of two.
bool IsAlignMask(int32_t AlignMask) {
  const uint32_t Bits = static_cast<uint32_t>(AlignMask);
  return AlignMask >= 0 && (Bits & (Bits + 1u)) == 0;
}
}  // namespace

constinit int32_t DUZOVEV_BACK_END::AreaGranuleCache = 0;

namespace {
// Counted on every area, which is rare next to the work an area serves.
constinit std::atomic<uint64_t> TakenBytes{0};
constinit std::atomic<uint64_t> ReturnedBytes{0};
constinit std::atomic<uint64_t> PeakBytes{0};

void CountTaken(uint64_t Bytes) {
  const uint64_t Held =
      TakenBytes.fetch_add(Bytes, std::memory_order_relaxed) + Bytes - ReturnedBytes.load(std::memory_order_relaxed);
  uint64_t Peak = PeakBytes.load(std::memory_order_relaxed);
  while (Held > Peak && !PeakBytes.compare_exchange_weak(Peak, Held, std::memory_order_relaxed)) {
  }
}

// A heap that holds this much has its callers' areas of up to
// PopulatedAreaBytes (pages it carves into elements) brought in when they
// are made, in one system call instead of a fault per page: a heap that has
// grown this far fills its new pages. Below it, and for larger areas (a
// block of its own, which its program may touch only in part), the memory
// arrives as it is touched.
constexpr uint64_t LargeHeapBytes = uint64_t{32} << 20;
constexpr int32_t PopulatedAreaBytes = 256 << 10;

bool HeldIsLarge() {
  return TakenBytes.load(std::memory_order_relaxed) - ReturnedBytes.load(std::memory_order_relaxed) >= LargeHeapBytes;
}

void *Counted(void *Area, int32_t Size) {
  if (Area != nullptr)
    CountTaken(static_cast<uint64_t>(Size));
  return Area;
}
}  // namespace

void DUZOVEV_BACK_END::CountSystemBytes(uint64_t Taken, uint64_t Returned) {
  ReturnedBytes.fetch_add(Returned, std::memory_order_relaxed);
  if (Taken != 0)
    CountTaken(Taken);
}

void DUZOVEV_BACK_END::ReadTotals(uint64_t &Taken, uint64_t &Returned, uint64_t &Peak) {
  Returned = ReturnedBytes.load(std::memory_order_relaxed);
  Taken = TakenBytes.load(std::memory_order_relaxed);
  Peak = PeakBytes.load(std::memory_order_relaxed);
}

DUZOVEV_BACK_END::~DUZOVEV_BACK_END() = default;

void DUZOVEV_BACK_END::DeleteArea(void *Address, int32_t Size, bool) {
  if (!platform::ReleaseArea(Address, Size))
    SoftwareFailure(DeleteFailsMessage);
  ReturnedBytes.fetch_add(static_cast<uint64_t>(Size), std::memory_order_relaxed);
}

int32_t DUZOVEV_BACK_END::AreaGranule() {
  // Relaxed atomic access: two first users may both ask the system, and both
  // store the same value.
  std::atomic_ref<int32_t> Cache(AreaGranuleCache);
  const int32_t Known = Cache.load(std::memory_order_relaxed);
  if (Known > 0)
    return Known;
  platform::SYSTEM_INFORMATION Information;
  platform::ReadSystemInformation(Information);
  Cache.store(Information.AllocationGranularity, std::memory_order_relaxed);
  return Information.AllocationGranularity;
}

void *DUZOVEV_BACK_END::NewArea(int32_t AlignMask, int32_t Size, bool UserSpace) {
  const int32_t Granule = AreaGranule();
  if (Size <= 0 || !IsAlignMask(AlignMask))
    return nullptr;
  // The system's own granularity already gives enough alignment.
  void *Area = AlignMask <= Granule ? platform::CommitArea(Size) : platform::CommitAlignedArea(AlignMask, Size);
  if (Area != nullptr && UserSpace && Size <= PopulatedAreaBytes && HeldIsLarge())
    platform::PopulatePages(Area, static_cast<uint64_t>(Size));
  return Counted(Area, Size);
}
