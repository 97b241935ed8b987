// The size classes of the drop-in allocator, which configures its heap with
// them (DROPIN_HEAP): multiples of 16, so that every element is aligned to
// alignof(max_align_t); 16-byte steps up to 128, then four classes per power
// of two (eight from 512 to 1,024), so that no request above 128 bytes gets
// more than a quarter of its class as waste. A request is rounded up to a multiple of 16 and served by
// the smallest class that holds it; the classes whose sizes are powers of two
// also serve alignments up to their own size. Requests above the last class
// go to the large spans.
//
// Invariants: ClassBytes ascends strictly; each entry is an allocation size of
// the drop-in's heap (the tests check this against the heap itself); ClassOf
// returns the smallest class of at least the request for 0 to MaxClassBytes;
// ClassCount + 1 stays below the address map's first large mark.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace dropin {

constexpr int32_t ClassCount = 44;
constexpr int32_t FineLimit = 1024;       // classes up to here are found in 16-byte steps
constexpr int32_t CoarseStep = 256;       // above it, in steps of 256
constexpr int32_t MaxClassBytes = 32768;  // the largest class; beyond it, the large spans

constexpr std::array<int32_t, ClassCount> ClassBytes = {
    16,    32,    48,    64,    80,    96,    112,   128,   160,   192,   224,   256,   320,   384,   448,
    512,   576,   640,   704,   768,   832,   896,   960,   1024,  1280,  1536,  1792,  2048,  2560,  3072,
    3584,  4096,  5120,  6144,  7168,  8192,  10240, 12288, 14336, 16384, 20480, 24576, 28672, 32768};

namespace detail {

constexpr int32_t SmallestClassOf(int32_t Bytes) {
  int32_t Class = 0;
  while (ClassBytes[Class] < Bytes)
    ++Class;
  return Class;
}

// Entry i: the class of a request of up to 16 x i bytes (fine) or CoarseStep x
// i bytes (coarse).
template <int32_t STEP, int32_t ENTRIES>
constexpr std::array<uint8_t, ENTRIES> StepTable() {
  std::array<uint8_t, ENTRIES> Table{};
  for (int32_t Index = 0; Index < ENTRIES; ++Index)
    Table[Index] = static_cast<uint8_t>(SmallestClassOf(Index * STEP));
  return Table;
}

inline constexpr std::array<uint8_t, FineLimit / 16 + 1> FineClasses = StepTable<16, FineLimit / 16 + 1>();
inline constexpr std::array<uint8_t, MaxClassBytes / CoarseStep + 1> CoarseClasses =
    StepTable<CoarseStep, MaxClassBytes / CoarseStep + 1>();

}  // namespace detail

// The class of a request of at most MaxClassBytes bytes.
inline int32_t ClassOf(size_t Bytes) {
  if (Bytes <= static_cast<size_t>(FineLimit))
    return detail::FineClasses[(Bytes + 15) >> 4];
  return detail::CoarseClasses[(Bytes + CoarseStep - 1) / CoarseStep];
}

// How many elements of a class a thread takes from the heap at once, and so
// the size of a batch exchanged between threads: about 8 KiB worth, from 2
// to 64 elements. A thread keeps at most two batches of each class, and a
// class's pages grow by up to a batch beyond its most live elements: 16 KiB
// cost a small program 100 KiB more at its peak than 8, for no time saved
// (the classes above 128 bytes are the ones it changes).
constexpr int32_t MaxBatch = 64;
constexpr int32_t BatchOf(int32_t Class) {
  const int32_t Count = 8192 / ClassBytes[Class];
  return Count < 2 ? 2 : Count > MaxBatch ? MaxBatch : Count;
}

// The class that serves Bytes at an alignment of Alignment (a power of two
// from 16 to MaxClassBytes): the smallest power-of-two class that holds both,
// since only those are aligned to their own size. -1 when none does.
inline int32_t AlignedClassOf(size_t Bytes, size_t Alignment) {
  size_t Power = Alignment;
  while (Power < Bytes)
    Power <<= 1;
  return Power <= static_cast<size_t>(MaxClassBytes) ? ClassOf(Power) : -1;
}

}  // namespace dropin
