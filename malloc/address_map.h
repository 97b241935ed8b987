// ADDRESS_MAP: one byte for every 16 bytes of address space, telling whether a
// live allocation of the drop-in allocator starts there and of which kind. It
// lets free, realloc and malloc_usable_size judge a pointer without a lock
// and without reading the memory the pointer names: a double free, a pointer
// into the middle of an allocation and a pointer that was never ours all read
// "no allocation starts here".
//
// A mark is 0 (no allocation starts here), k + 1 for an element of size class
// k, LargeMark for an allocation of the heap's large cache, SpanMark for a
// span of the large spans, AlignedMark for an area taken straight from the
// back end or MappedMark for pages mapped straight from the system. The
// DataBytes bytes after one of the last four, every DataStride bytes (the
// granules whose entries share the mark's page of the map), hold the allocation's size in
// pages, 7 bits each with the top bit set; a data byte is never a mark and
// never taken by Take. The map lives
// in a radix table of lazily mapped leaves of 1 MiB (16 MiB of address space
// each, their entries interleaved so that neighbouring granules never share a
// cache line) under a directory of lazily mapped middles; neither comes from the C
// heap and neither is ever unmapped, so a reader never sees one go away (a
// trim of a process with one thread gives back the memory of their empty pages).
//
// Writers of a mark own the allocation (they are the allocator handing it
// out); Take is the one atomic step that ends an allocation, so two threads
// freeing one pointer cannot both succeed.
#pragma once

#include <atomic>
#include <cstdint>

namespace dropin {

class ADDRESS_MAP {
 public:
  static constexpr uint8_t LargeMark = 0x40;
  static constexpr uint8_t AlignedMark = 0x41;
  static constexpr uint8_t SpanMark = 0x42;
  static constexpr uint8_t MappedMark = 0x43;
  static constexpr uint64_t PageBytes = 4096;
  static constexpr int32_t DataBytes = 4;
  // The bytes of an allocation that its mark and data bytes describe.
  static constexpr uint64_t DataStride = 64;
  static constexpr uint64_t MarkedBytes = DataStride * DataBytes + 16;
  // The largest size in pages that the data bytes can hold (1 TiB - 4 KiB).
  static constexpr uint64_t MaxPages = (uint64_t{1} << (7 * DataBytes)) - 1;

  // Maps the leaves for every address of [Start, Start + Bytes); false when
  // the platform refuses the memory.
  static bool Cover(const void *Start, uint64_t Bytes);

  // Writes the mark of an allocation whose leaf exists (Cover was called).
  static void Mark(const void *Address, uint8_t Value) { Entry(Address).store(Value, std::memory_order_relaxed); }

  // The mark at Address; 0 where no leaf exists or for an address no
  // allocation of ours can have.
  static uint8_t Read(const void *Address) {
    std::atomic<uint8_t> *Found = Find(Address);
    return Found != nullptr ? Found->load(std::memory_order_relaxed) : 0;
  }

  // Ends the allocation that starts at Address: its mark is replaced by 0 and
  // returned. 0 when no allocation starts there (already freed, interior,
  // foreign): nothing is changed then.
  static uint8_t Take(const void *Address) {
    std::atomic<uint8_t> *Found = Find(Address);
    if (Found == nullptr)
      return 0;
    uint8_t Value = Found->load(std::memory_order_relaxed);
    while (IsMark(Value))
      if (Found->compare_exchange_weak(Value, 0, std::memory_order_acquire, std::memory_order_relaxed))
        return Value;
    return 0;
  }

  // Take for a process that has only one thread: nobody can race it.
  static uint8_t TakeAlone(const void *Address) {
    std::atomic<uint8_t> *Found = Find(Address);
    if (Found == nullptr)
      return 0;
    const uint8_t Value = Found->load(std::memory_order_relaxed);
    if (!IsMark(Value))
      return 0;
    Found->store(0, std::memory_order_relaxed);
    return Value;
  }

  // The size in pages of a large or aligned allocation, kept beside its mark.
  static void SetPages(const void *Address, uint64_t Pages);
  static uint64_t Pages(const void *Address);
  static void ClearPages(const void *Address);

  static bool IsMark(uint8_t Value) { return Value != 0 && Value < 0x80; }

  // Gives back the memory of every page of the leaves that holds only zeros;
  // the leaves stay mapped and read as zeros. Only for a process that has
  // one thread: a mark written between the look and the release would be lost.
  static void ReleaseEmptyPages();

 private:
  static constexpr int32_t LeafBits = 20;    // entries per leaf: 16 MiB of addresses
  static_assert(LeafBits >= 14, "a leaf holds whole pages of entries");
  static constexpr int32_t MiddleBits = 12;  // leaves per middle
  static constexpr int32_t TopBits = 12;     // middles: 48 bits of address in all
  static constexpr int32_t AddressBits = 4 + LeafBits + MiddleBits + TopBits;

  struct MIDDLE {
    std::atomic<std::atomic<uint8_t> *> Leaves[1 << MiddleBits];
  };

  static constinit std::atomic<MIDDLE *> Top[1 << TopBits];

  static uint64_t Bits(const void *Address) { return reinterpret_cast<uint64_t>(Address); }
  static uint64_t TopIndex(uint64_t Address) { return Address >> (AddressBits - TopBits); }
  static uint64_t MiddleIndex(uint64_t Address) { return (Address >> (4 + LeafBits)) & ((1u << MiddleBits) - 1); }
  // A page of a leaf holds the entries of one granule in four (the two low
  // bits) within 256 KiB of addresses: a small program's few objects make
  // few pages resident, and a large program of 32- or 64-byte objects, whose
  // starts skip those bits, leaves a half or three quarters of the pages
  // untouched. Inside a page the entries are shuffled (a line holds granules
  // whose two 6-bit fields above the low two XOR to one value) so that
  // granules less than 4 KiB apart share a line only where a carry cancels
  // out, one neighbouring pair in 4,096: two threads working on nearby small
  // objects do not fight over a line of the map. It costs a few operations
  // on every malloc and free, fewer than swapping the fields.
  static uint64_t LeafIndex(uint64_t Address) {
    const uint64_t Granule = (Address >> 4) & ((1u << LeafBits) - 1);
    const uint64_t Rotated = (Granule >> 2) | ((Granule & 3) << (LeafBits - 2));
    return Rotated ^ ((Rotated & 63) << 6);
  }

  static std::atomic<uint8_t> &Entry(const void *Address) {
    const uint64_t At = Bits(Address);
    MIDDLE *Middle = Top[TopIndex(At)].load(std::memory_order_acquire);
    return Middle->Leaves[MiddleIndex(At)].load(std::memory_order_acquire)[LeafIndex(At)];
  }

  // Every allocation starts on 16 bytes: any other address shares its entry
  // with one that does and must not be mistaken for it.
  static std::atomic<uint8_t> *Find(const void *Address) {
    const uint64_t At = Bits(Address);
    if ((At & 15) != 0 || TopIndex(At) >= (1u << TopBits))
      return nullptr;
    MIDDLE *Middle = Top[TopIndex(At)].load(std::memory_order_acquire);
    if (Middle == nullptr)
      return nullptr;
    std::atomic<uint8_t> *Leaf = Middle->Leaves[MiddleIndex(At)].load(std::memory_order_acquire);
    return Leaf != nullptr ? &Leaf[LeafIndex(At)] : nullptr;
  }

  static bool CoverOne(uint64_t Address);
};

}  // namespace dropin
