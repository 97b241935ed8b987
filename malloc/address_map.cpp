#include "malloc/address_map.h"

#include <cstring>

#include "platform/virtual_memory.h"

namespace dropin {

constinit std::atomic<ADDRESS_MAP::MIDDLE *> ADDRESS_MAP::Top[1 << TopBits] = {};

namespace {

// Installs a freshly mapped block unless another thread was first; the loser
// gives its block back. Mapped memory reads as zeros: an empty middle or leaf.
template <typename BLOCK>
BLOCK *Install(std::atomic<BLOCK *> &Slot, int32_t Bytes) {
  BLOCK *Present = Slot.load(std::memory_order_acquire);
  if (Present != nullptr)
    return Present;
  auto *Fresh = static_cast<BLOCK *>(platform::CommitArea(Bytes));
  if (Fresh == nullptr)
    return nullptr;
  if (Slot.compare_exchange_strong(Present, Fresh, std::memory_order_acq_rel))
    return Fresh;
  platform::ReleaseArea(Fresh, Bytes);
  return Present;
}

}  // namespace

bool ADDRESS_MAP::CoverOne(uint64_t Address) {
  if (TopIndex(Address) >= (1u << TopBits))
    return false;
  MIDDLE *Middle = Install(Top[TopIndex(Address)], static_cast<int32_t>(sizeof(MIDDLE)));
  if (Middle == nullptr)
    return false;
  return Install(Middle->Leaves[MiddleIndex(Address)], 1 << LeafBits) != nullptr;
}

bool ADDRESS_MAP::Cover(const void *Start, uint64_t Bytes) {
  const uint64_t First = Bits(Start);
  const uint64_t Last = First + (Bytes > 0 ? Bytes - 1 : 0);
  if (Last < First)
    return false;
  constexpr uint64_t LeafSpan = uint64_t{1} << (4 + LeafBits);
  for (uint64_t Address = First & ~(LeafSpan - 1); Address <= Last; Address += LeafSpan)
    if (Find(reinterpret_cast<const void *>(Address)) == nullptr && !CoverOne(Address))
      return false;
  return true;
}

void ADDRESS_MAP::SetPages(const void *Address, uint64_t Pages) {
  const char *Base = static_cast<const char *>(Address);
  for (int32_t Index = 1; Index <= DataBytes; ++Index) {
    Entry(Base + DataStride * Index).store(static_cast<uint8_t>(0x80 | (Pages & 0x7F)), std::memory_order_relaxed);
    Pages >>= 7;
  }
}

uint64_t ADDRESS_MAP::Pages(const void *Address) {
  const char *Base = static_cast<const char *>(Address);
  uint64_t Pages = 0;
  for (int32_t Index = DataBytes; Index >= 1; --Index)
    Pages = (Pages << 7) | (Entry(Base + DataStride * Index).load(std::memory_order_relaxed) & 0x7F);
  return Pages;
}

void ADDRESS_MAP::ClearPages(const void *Address) {
  const char *Base = static_cast<const char *>(Address);
  for (int32_t Index = 1; Index <= DataBytes; ++Index)
    Entry(Base + DataStride * Index).store(0, std::memory_order_relaxed);
}

// Runs of empty pages are given back in one call each.
void ADDRESS_MAP::ReleaseEmptyPages() {
  constexpr uint64_t PageEntries = PageBytes;
  static constexpr unsigned char Zeros[PageBytes] = {};
  for (auto &Slot : Top) {
    MIDDLE *Middle = Slot.load(std::memory_order_acquire);
    for (int32_t Index = 0; Middle != nullptr && Index < (1 << MiddleBits); ++Index) {
      auto *Leaf = reinterpret_cast<unsigned char *>(Middle->Leaves[Index].load(std::memory_order_acquire));
      uint64_t RunStart = 0;
      for (uint64_t Page = 0; Leaf != nullptr && Page <= (uint64_t{1} << LeafBits); Page += PageEntries) {
        const bool Empty = Page < (uint64_t{1} << LeafBits) && std::memcmp(Leaf + Page, Zeros, PageBytes) == 0;
        if (Empty)
          continue;
        if (Page > RunStart)
          platform::DiscardPages(Leaf + RunStart, Page - RunStart);
        RunStart = Page + PageEntries;
      }
    }
  }
}

}  // namespace dropin
